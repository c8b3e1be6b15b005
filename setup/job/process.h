#pragma once
// Outside programs run by the install job: hidden, in one job object, output line by line.

#include "setup/job/handles.h"

#include <atomic>
#include <filesystem>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

namespace murk::setup {

// Every child of the install job lives in this job object; terminating it stops a child and
// everything the child started. Closing the last handle kills whatever is left.
extern UniqueHandle s_job;
// Set by the window thread (exchange), then s_job is terminated; read by the job.
extern std::atomic<bool> s_cancel;
// Set by the window thread before it cancels because Windows is ending the session; the job
// then ends with a message that says so.
extern std::atomic<bool> s_sessionEnding;

// Gets each output line: the child's bytes (UTF-8) without the terminator, never empty.
using LineHandler = std::function<void(const std::string&)>;

// Gets each output line as a LineHandler does and answers whether it took the line: a line it
// took stays out of the log (tar's one line per file unpacked, which the bar counts instead).
using LineTaker = std::function<bool(const std::string&)>;

// A progress meter's percentage: digits at the start of a line, after optional white space,
// directly followed by a percent sign. Run keeps indented lines that match it out of the log;
// the build step reads the bar's position from them.
inline constexpr char kPercentPattern[] = R"(^\s*([0-9]+)%)";

// Whether pattern matches at the very start of line. Only that one place is tried (the matcher
// would otherwise attempt, and reject, every later position of a long compiler line), and only
// the first 1024 bytes are looked at: the matcher recurses once per character of a repeated
// class, and a line starting with a few thousand spaces or digits would otherwise overflow the
// worker thread's stack.
bool MatchesLineStart(const std::string& line, const std::regex& pattern, std::smatch& match);

// PATH as the job's children get it (environment.h); empty when it is unset.
std::wstring PathVariable();

// PATH's folders in order, as far as each names one folder whatever the current one is: empty
// entries are left out, and so are relative ones (".", "bin", "\tools", "D:tools").
std::vector<std::filesystem::path> PathFolders();

// Store app aliases live in folders with "WindowsApps" in their path; they only open the Store.
bool HoldsStoreAliases(const std::filesystem::path& folder);

// A job object that kills its processes when its last handle closes; empty on failure.
UniqueHandle CreateKillOnCloseJob();

// Runs commandLine in workingFolder (empty: the current folder) with the children's environment
// (environment.h) and returns its exit code. The program is the first token: a full path, or a
// bare name found in PathFolders() (Store aliases skipped), never one beside this exe or in the
// current folder. Fails with "Couldn't start: ..." or "Cancelled.".
int Run(const std::wstring& commandLine, const std::filesystem::path& workingFolder,
        const LineHandler& handler);

// Run, with the lines that taker takes kept out of the log.
int RunTaking(const std::wstring& commandLine, const std::filesystem::path& workingFolder,
              const LineTaker& taker);

std::wstring Quote(const std::filesystem::path& path);

// What to tell the user when CreateProcessW failed with error because Smart App Control or an
// organisation's policy (AppLocker) refused program; nothing for any other error.
std::optional<std::wstring> BlockedByPolicy(DWORD error, const std::filesystem::path& program);

// Runs "git -C <repository> <arguments>"; output becomes git's first non-empty line.
bool GitOutput(const std::filesystem::path& repository, const std::wstring& arguments,
               std::string& output);

void CheckCancel();

// Waits until event is set (true), or until about limitMilliseconds (INFINITE: no limit) have
// passed or the user cancels (false); a cancel ends the wait at once.
bool WaitUnlessCancelled(HANDLE event, DWORD limitMilliseconds);

}  // namespace murk::setup
