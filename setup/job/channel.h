#pragma once
// The channel from the install job (worker thread) to the window and setup.log.

#include "setup/job/handles.h"

#include <windows.h>

#include <cstddef>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace murk::setup {

// Posted to s_window. Lines, status and progress wait in one pending slot per kind, and their
// message is posted only when the slot goes from empty to filled: the window, answering it,
// takes the whole slot at once (TakeLog, TakeStatus, TakeProgress). So however fast a build
// prints, at most one message of each kind is queued, and a slow window gets fewer, larger
// batches instead of a queue that grows without end (or, on Windows, refuses posts past 10,000).
inline constexpr UINT kLogMessage = WM_APP + 1;       // the lines logged since the last take
inline constexpr UINT kStatusMessage = WM_APP + 2;    // the latest status text
inline constexpr UINT kProgressMessage = WM_APP + 3;  // the latest progress: 0..100, -1 busy
inline constexpr UINT kDoneMessage = WM_APP + 4;      // wParam: 1 success; lParam: final message

// The details view keeps the last lines: past kLogKept characters it is cut back to
// kLogTrimmedTo. Pending lines are bounded the same way, so a window that falls far behind
// never holds more than it would show.
inline constexpr std::size_t kLogKept = 400'000;
inline constexpr std::size_t kLogTrimmedTo = 300'000;

inline constexpr wchar_t kTitle[] = L"MURK Recompiled Setup";

extern HWND s_window;
// setup.log while a job runs, opened for appending only: every write lands at the file's end
// as it is then, after whatever another writer added. Empty between jobs, and from a failed
// write to the end of the job.
extern UniqueHandle s_logFile;
extern std::mutex s_logLock;

// Ends a job with a message for the user. Deliberately not a std::exception, so that the
// job frame's handler for unexpected errors never swallows it.
struct Failed {
    std::wstring message;
};

void Log(std::wstring_view text);
void Status(std::wstring_view text);
[[noreturn]] void Fail(std::wstring_view message);

std::wstring Widen(std::string_view bytes);
std::string Utf8(std::wstring_view text);

// The status text without logging it (passing progress text); the latest one wins.
void PostStatus(std::wstring_view text);
void PostProgress(int percent);
// The job's end report: retried while the window exists, so it is never lost to a full queue
// (unless a cancel is pending and the queue stays full: the window is then waiting for the job
// to end, not reading). The window takes what is still pending before it handles it.
void PostDone(bool success, std::wstring_view finalMessage);

// What the window takes from the log slot: the lines in order, each followed by CR LF.
struct PendingLog {
    std::wstring text;
    // Older lines were dropped because more was pending than the view keeps: the text replaces
    // the view instead of following it.
    bool replace = false;
};

// Where the last count characters of text begin, moved back to the start of their first line
// (when the text has a line end before it).
std::size_t StartOfLastLines(std::wstring_view text, std::size_t count);

// The receiving side (the window thread) empties a slot when it handles its message; an empty
// slot (taken earlier) gives nothing.
PendingLog TakeLog();
std::optional<std::wstring> TakeStatus();
std::optional<int> TakeProgress();
// Empties every slot: for a window that drops the job's messages instead of showing them.
void DropPending();

// The receiving side takes ownership of the end report's payload.
inline std::unique_ptr<std::wstring> TakePayload(LPARAM lParam) {
    return std::unique_ptr<std::wstring>(reinterpret_cast<std::wstring*>(lParam));
}

// Opens setup.log in folder for appending, under s_logLock; a failure leaves lines to the window.
void OpenLog(const std::filesystem::path& folder);
void CloseLog();

}  // namespace murk::setup
