#include "setup/job/process.h"

#include "setup/job/channel.h"
#include "setup/job/environment.h"
#include "setup/job/system.h"

#include <algorithm>
#include <system_error>
#include <vector>

namespace murk::setup {

UniqueHandle s_job;
std::atomic<bool> s_cancel{false};
std::atomic<bool> s_sessionEnding{false};

namespace {

namespace fs = std::filesystem;

constexpr DWORD kReadSize = 4096;
// How often a wait looks at the cancel flag: well inside what a user notices.
constexpr DWORD kCancelPollMilliseconds = 50;
constexpr std::size_t kLineStartReach = 1024;
// ERROR_SYSTEM_INTEGRITY_POLICY_VIOLATION: Smart App Control, which MinGW's headers don't name.
constexpr DWORD kIntegrityPolicyViolation = 4551;

// Only lines that start with the line's progress pattern are meters; every other line, a
// compiler's source excerpt with a printf format or a traceback's "%s" among them, is a
// diagnostic the user may need. The plain tests come first: most lines end there.
bool IsProgressMeter(const std::string& line) {
    if (!line.starts_with("  ") || line.find('%') == std::string::npos) return false;
    static const std::regex percent(kPercentPattern);
    std::smatch match;
    return MatchesLineStart(line, percent, match);
}

// Who gets a child's lines besides the log; at most one of the two is set.
struct Receivers {
    const LineHandler& handler;
    const LineTaker& taker;
};

void Deliver(const std::string& line, const Receivers& to, bool filterMeters) {
    if (to.taker && to.taker(line)) return;
    if (to.handler) to.handler(line);
    if (filterMeters && IsProgressMeter(line)) return;
    Log(Widen(line));
}

// Cuts every complete line out of pending; CR and LF each end a line, empty lines are dropped.
void CutLines(std::string& pending, const Receivers& to) {
    size_t start = 0;
    for (;;) {
        const size_t end = pending.find_first_of("\r\n", start);
        if (end == std::string::npos) break;
        if (end > start) Deliver(pending.substr(start, end - start), to, true);
        start = end + 1;
    }
    pending.erase(0, start);
}

void ReadLines(HANDLE readEnd, const Receivers& to) {
    std::string pending;
    char buffer[kReadSize];
    DWORD got = 0;
    while (ReadFile(readEnd, buffer, kReadSize, &got, nullptr) && got > 0) {
        pending.append(buffer, got);
        CutLines(pending, to);
    }
    if (!pending.empty()) Deliver(pending, to, false);
}

// The first token of a command line, as CreateProcessW reads it: up to the closing quote when
// it begins with one, otherwise up to the first space or tab.
std::wstring FirstToken(const std::wstring& commandLine) {
    if (!commandLine.empty() && commandLine[0] == L'"') {
        const std::size_t end = commandLine.find(L'"', 1);
        return commandLine.substr(1, end == std::wstring::npos ? std::wstring::npos : end - 1);
    }
    return commandLine.substr(0, commandLine.find_first_of(L" \t"));
}

// The program a command line names, decided here: left to itself, CreateProcessW would look in
// this exe's folder and in the current folder before PATH, and both are often Downloads, where
// anything called git.exe or python.exe may lie. A full path is taken as it is; a bare name
// (".exe" added when it has no extension) only from the folders of the PATH the child gets,
// Store aliases skipped, so it is the program the tools step logged. Any other relative path
// names nothing.
fs::path ProgramToStart(const std::wstring& commandLine) {
    const std::wstring token = FirstToken(commandLine);
    const fs::path program(token);
    if (program.is_absolute()) return program;
    if (token.empty() || token.find_first_of(L"\\/:") != std::wstring::npos) return {};
    const std::wstring name = program.has_extension() ? token : token + L".exe";
    for (const fs::path& folder : PathFolders()) {
        if (HoldsStoreAliases(folder)) continue;
        std::error_code error;
        if (fs::exists(folder / name, error)) return folder / name;
    }
    return {};
}

// Used when a line handler or Log throws: the child must not outlive the failed call.
void Stop(HANDLE process) {
    if (s_job) TerminateJobObject(s_job.get(), 1);
    TerminateProcess(process, 1);
    WaitForSingleObject(process, INFINITE);
}

}  // namespace

bool MatchesLineStart(const std::string& line, const std::regex& pattern, std::smatch& match) {
    const auto end =
        line.begin() + static_cast<std::ptrdiff_t>(std::min(line.size(), kLineStartReach));
    return std::regex_search(line.begin(), end, match, pattern,
                             std::regex_constants::match_continuous);
}

std::wstring PathVariable() {
    return ChildVariable(L"PATH").value_or(L"");
}

std::vector<fs::path> PathFolders() {
    const std::wstring path = PathVariable();
    std::vector<fs::path> folders;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = path.find(L';', start);
        const fs::path entry =
            path.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        if (entry.is_absolute()) folders.push_back(entry);
        if (end == std::wstring::npos) return folders;
        start = end + 1;
    }
}

bool HoldsStoreAliases(const fs::path& folder) {
    return folder.native().find(L"WindowsApps") != std::wstring::npos;
}

UniqueHandle CreateKillOnCloseJob() {
    UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
    if (!job) return job;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);
    return job;
}

namespace {

int RunFor(const std::wstring& commandLine, const fs::path& workingFolder, const Receivers& to) {
    Log(L"$ " + commandLine);
    const fs::path program = ProgramToStart(commandLine);
    if (program.empty()) Fail(L"Couldn't start: " + commandLine);

    SECURITY_ATTRIBUTES inheritable{.nLength = sizeof(SECURITY_ATTRIBUTES),
                                    .lpSecurityDescriptor = nullptr,
                                    .bInheritHandle = TRUE};
    HANDLE rawRead = nullptr;
    HANDLE rawWrite = nullptr;
    if (!CreatePipe(&rawRead, &rawWrite, &inheritable, 0)) Fail(L"Couldn't create a pipe.");
    UniqueHandle readEnd(rawRead);
    UniqueHandle writeEnd(rawWrite);
    SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{.cb = sizeof(STARTUPINFOW),
                         .dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW,
                         .wShowWindow = SW_HIDE,
                         .hStdInput = GetStdHandle(STD_INPUT_HANDLE),
                         .hStdOutput = writeEnd.get(),
                         .hStdError = writeEnd.get()};
    std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
    writable.push_back(L'\0');
    std::vector<wchar_t> environment = ChildEnvironmentBlock();
    PROCESS_INFORMATION started{};
    // The command line stays as it was given: it is what the log shows and what the program sees.
    const BOOL ok = s_createProcess(
        program.c_str(), writable.data(), nullptr, nullptr, TRUE,
        CREATE_NO_WINDOW | CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT, environment.data(),
        workingFolder.empty() ? nullptr : workingFolder.c_str(), &startup, &started);
    const DWORD startError = GetLastError();
    // Only the child may hold the write end now, so the pipe ends when the child's tree does.
    writeEnd.reset();
    if (!ok) Fail(BlockedByPolicy(startError, program).value_or(L"Couldn't start: " + commandLine));
    UniqueHandle process(started.hProcess);
    UniqueHandle thread(started.hThread);

    // In the job before it runs, so that nothing it starts escapes a cancel.
    if (s_job) AssignProcessToJobObject(s_job.get(), process.get());
    // A cancel flags first and then ends the job's processes: one that came before this child
    // joined the job would otherwise let it run to its end, a whole build, say.
    if (s_cancel.load()) {
        Stop(process.get());
        Fail(L"Cancelled.");
    }
    ResumeThread(thread.get());

    try {
        ReadLines(readEnd.get(), to);
    } catch (...) {
        Stop(process.get());
        throw;
    }
    readEnd.reset();

    WaitForSingleObject(process.get(), INFINITE);
    DWORD exitCode = 1;
    GetExitCodeProcess(process.get(), &exitCode);
    thread.reset();
    process.reset();

    if (s_cancel.load()) Fail(L"Cancelled.");
    return static_cast<int>(exitCode);
}

}  // namespace

int Run(const std::wstring& commandLine, const std::filesystem::path& workingFolder,
        const LineHandler& handler) {
    return RunFor(commandLine, workingFolder, {handler, {}});
}

int RunTaking(const std::wstring& commandLine, const std::filesystem::path& workingFolder,
              const LineTaker& taker) {
    return RunFor(commandLine, workingFolder, {{}, taker});
}

std::wstring Quote(const std::filesystem::path& path) {
    std::wstring quoted = L"\"" + path.native();
    // Programs split their command line by the C runtime's rules, where a backslash before a
    // quote escapes it: "E:\" would reach them as E:" and swallow what follows. Doubled
    // trailing backslashes reach them as the path itself.
    const size_t trailing = quoted.size() - 1 - quoted.find_last_not_of(L'\\');
    quoted.append(trailing, L'\\');
    quoted += L'"';
    return quoted;
}

std::optional<std::wstring> BlockedByPolicy(DWORD error, const std::filesystem::path& program) {
    if (error != kIntegrityPolicyViolation && error != ERROR_ACCESS_DISABLED_BY_POLICY)
        return std::nullopt;
    return L"Windows blocked " + program.native() +
           L" (Smart App Control or your organisation's policy).";
}

bool GitOutput(const std::filesystem::path& repository, const std::wstring& arguments,
               std::string& output) {
    output.clear();
    const std::wstring commandLine = L"git -C " + Quote(repository) + L" " + arguments;
    const int exitCode = Run(commandLine, repository, [&output](const std::string& line) {
        if (output.empty()) output = line;
    });
    return exitCode == 0;
}

void CheckCancel() {
    if (s_cancel.load()) Fail(L"Cancelled.");
}

bool WaitUnlessCancelled(HANDLE event, DWORD limitMilliseconds) {
    const ULONGLONG start = GetTickCount64();
    while (!s_cancel.load()) {
        if (WaitForSingleObject(event, kCancelPollMilliseconds) == WAIT_OBJECT_0)
            return !s_cancel.load();
        if (limitMilliseconds != INFINITE && GetTickCount64() - start >= limitMilliseconds)
            return false;
    }
    return false;
}

}  // namespace murk::setup
