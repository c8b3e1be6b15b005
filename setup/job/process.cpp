#include "setup/job/process.h"

#include "setup/job/channel.h"

#include <vector>

namespace murk::setup {

UniqueHandle s_job;
std::atomic<bool> s_cancel{false};

namespace {

constexpr DWORD kReadSize = 4096;

// Indented percentage lines are progress meters: the build's parser wants them, the log doesn't.
bool IsProgressMeter(const std::string& line) {
    return line.size() >= 2 && line[0] == ' ' && line[1] == ' ' &&
           line.find('%') != std::string::npos;
}

void Deliver(const std::string& line, const LineHandler& handler, bool filterMeters) {
    if (handler) handler(line);
    if (filterMeters && IsProgressMeter(line)) return;
    Log(Widen(line));
}

// Cuts every complete line out of pending; CR and LF each end a line, empty lines are dropped.
void CutLines(std::string& pending, const LineHandler& handler) {
    size_t start = 0;
    for (;;) {
        const size_t end = pending.find_first_of("\r\n", start);
        if (end == std::string::npos) break;
        if (end > start) Deliver(pending.substr(start, end - start), handler, true);
        start = end + 1;
    }
    pending.erase(0, start);
}

void ReadLines(HANDLE readEnd, const LineHandler& handler) {
    std::string pending;
    char buffer[kReadSize];
    DWORD got = 0;
    while (ReadFile(readEnd, buffer, kReadSize, &got, nullptr) && got > 0) {
        pending.append(buffer, got);
        CutLines(pending, handler);
    }
    if (!pending.empty()) Deliver(pending, handler, false);
}

// Used when a line handler or Log throws: the child must not outlive the failed call.
void Stop(HANDLE process) {
    if (s_job) TerminateJobObject(s_job.get(), 1);
    TerminateProcess(process, 1);
    WaitForSingleObject(process, INFINITE);
}

}  // namespace

UniqueHandle CreateKillOnCloseJob() {
    UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
    if (!job) return job;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);
    return job;
}

int Run(const std::wstring& commandLine, const std::filesystem::path& workingFolder,
        const LineHandler& handler) {
    Log(L"$ " + commandLine);

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
    PROCESS_INFORMATION started{};
    const BOOL ok = CreateProcessW(
        nullptr, writable.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW | CREATE_SUSPENDED,
        nullptr, workingFolder.empty() ? nullptr : workingFolder.c_str(), &startup, &started);
    // Only the child may hold the write end now, so the pipe ends when the child's tree does.
    writeEnd.reset();
    if (!ok) Fail(L"Couldn't start: " + commandLine);
    UniqueHandle process(started.hProcess);
    UniqueHandle thread(started.hThread);

    // In the job before it runs, so that nothing it starts escapes a cancel.
    if (s_job) AssignProcessToJobObject(s_job.get(), process.get());
    ResumeThread(thread.get());

    try {
        ReadLines(readEnd.get(), handler);
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

}  // namespace murk::setup
