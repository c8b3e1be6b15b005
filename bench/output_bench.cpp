// The output pipeline: a child writes 50 MB of 80-byte lines. Measured three ways: read and
// thrown away (the pipe's own cost), through Run with Log writing setup.log and posting each
// line to a window that handles its messages on another thread, and through Run with only
// one of the two (file or window), to see where the time goes.
//
// Then a build's flood as the user meets it: 300,000 lines through Run, setup.log and the
// program's own window, its details view hidden as it opens and then shown, while another
// thread checks that the window still answers. "output_bench window" runs only the first of
// these, "output_bench window-shown" only the second.
//
// Last, an unpack of Clang as the same window meets it: tar's 50,000 "x <path>" lines, one per
// file, through Run with the unpack's counter, which keeps them out of the log and moves the bar;
// its cost per line beside the flood's ("output_bench unpack" runs it alone).
#include "setup/job/channel.h"
#include "setup/job/handles.h"
#include "setup/job/process.h"
#include "setup/job/system.h"
#include "setup/tools/unpack.h"
#include "setup/window/window.h"
#include "tests/support/test_support.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <optional>
#include <thread>

namespace {

using namespace murk::setup;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr unsigned long kLineBytes = 80;
constexpr unsigned long kTotalBytes = 50ul << 20;
constexpr unsigned long kLines = kTotalBytes / kLineBytes;

std::atomic<long> g_received{0};

// Counts the lines it takes (each ends with CR LF).
LRESULT CALLBACK DrainProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case kLogMessage: {
            const std::wstring text = TakeLog().text;
            long lines = 0;
            for (size_t at = text.find(L'\n'); at != std::wstring::npos;
                 at = text.find(L'\n', at + 1))
                ++lines;
            g_received += lines;
            return 0;
        }
        case kStatusMessage:
            TakeStatus();
            return 0;
        case kProgressMessage:
            TakeProgress();
            return 0;
        case kDoneMessage:
            TakePayload(lParam);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

// A window on its own thread that handles every message as fast as it can.
struct DrainingWindow {
    DrainingWindow() {
        std::promise<void> created;
        auto ready = created.get_future();
        thread = std::thread([this, &created] {
            window = CreateWindowExW(0, L"MurkBenchWindow", L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                     nullptr, GetModuleHandleW(nullptr), nullptr);
            threadId = GetCurrentThreadId();
            created.set_value();
            MSG message;
            while (GetMessageW(&message, nullptr, 0, 0) > 0)
                DispatchMessageW(&message);
            DestroyWindow(window);
        });
        ready.wait();
    }
    // Waits until the window has handled `count` messages; returns the seconds it took.
    double WaitFor(long count) {
        const auto start = Clock::now();
        while (g_received < count)
            Sleep(1);
        return std::chrono::duration<double>(Clock::now() - start).count();
    }
    ~DrainingWindow() {
        PostThreadMessageW(threadId, WM_QUIT, 0, 0);
        thread.join();
    }
    HWND window = nullptr;
    DWORD threadId = 0;
    std::thread thread;
};

std::wstring FloodCommand() {
    return murk::test::ChildCommand(L"lines:" + std::to_wstring(kLines) + L":" +
                                    std::to_wstring(kLineBytes));
}

// The pipe alone: the same child, its output read in 4096-byte pieces and thrown away.
double Baseline() {
    SECURITY_ATTRIBUTES inheritable{.nLength = sizeof inheritable, .bInheritHandle = TRUE};
    HANDLE rawRead = nullptr;
    HANDLE rawWrite = nullptr;
    CreatePipe(&rawRead, &rawWrite, &inheritable, 0);
    UniqueHandle readEnd(rawRead);
    UniqueHandle writeEnd(rawWrite);
    SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{.cb = sizeof startup,
                         .dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW,
                         .wShowWindow = SW_HIDE,
                         .hStdInput = GetStdHandle(STD_INPUT_HANDLE),
                         .hStdOutput = writeEnd.get(),
                         .hStdError = writeEnd.get()};
    std::wstring commandLine = FloodCommand();
    PROCESS_INFORMATION started{};
    const auto start = Clock::now();
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &startup, &started))
        return 0;
    UniqueHandle process(started.hProcess);
    UniqueHandle thread(started.hThread);
    writeEnd.reset();
    char buffer[4096];
    DWORD got = 0;
    unsigned long long total = 0;
    while (ReadFile(readEnd.get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
        total += got;
    WaitForSingleObject(process.get(), INFINITE);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (total != kTotalBytes) std::printf("  (baseline read %llu bytes)\n", total);
    return seconds;
}

// Run with an empty handler, as the source-code step runs git; returns its seconds.
double ThroughRun() {
    const auto start = Clock::now();
    Run(FloodCommand(), {}, {});
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void Report(const char* what, double seconds) {
    std::printf("%-44s %7.2f s %8.1f MB/s %7.2f us/line\n", what, seconds,
                kTotalBytes / double(1 << 20) / seconds, seconds * 1e6 / kLines);
}

// --- The real window ---

constexpr unsigned long kWindowLines = 300000;
constexpr unsigned long kWindowLineBytes = 78;  // 80 with CR LF
constexpr wchar_t kFinalMessage[] = L"Flood done.";
constexpr DWORD kProbeTimeout = 2000;
constexpr unsigned long kUnpackedFiles = 50000;

struct WindowFlood {
    bool unpack = false;
    Clock::time_point started;
    Clock::time_point lastChildLine;
    std::atomic<unsigned long> childLines{0};
    Clock::time_point boxShown;
    bool boxShownOnce = false;
    std::wstring boxText;
    bool viewEndsWithTheLastLines = false;
    size_t viewLength = 0;
};

WindowFlood* g_flood = nullptr;

// This program again, as a verbose tar listing Clang's files: "output_bench files".
std::wstring UnpackCommand() {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    return Quote(self) + L" files";
}

// Lines of 75 bytes (the flood's are 80), written in pieces of 64 KB to standard error.
void ListUnpackedFiles() {
    std::string piece;
    char line[128];
    for (unsigned long i = 0; i < kUnpackedFiles; ++i) {
        std::snprintf(line, sizeof line,
                      "x llvm-mingw-20241217-ucrt-x86_64/include/c++/v1/__algorithm/file%07lu.h\n",
                      i);
        piece += line;
        if (piece.size() >= 1 << 16 || i + 1 == kUnpackedFiles) {
            DWORD written = 0;
            WriteFile(GetStdHandle(STD_ERROR_HANDLE), piece.data(),
                      static_cast<DWORD>(piece.size()), &written, nullptr);
            piece.clear();
        }
    }
}

// Stands in for the end report's box: the moment it would appear, and what the user sees then.
int WINAPI FloodBox(HWND, LPCWSTR text, LPCWSTR, UINT) {
    WindowFlood& flood = *g_flood;
    flood.boxShown = Clock::now();
    flood.boxShownOnce = true;
    flood.boxText = text ? text : L"";
    const std::wstring view = Text(kDetailsView);
    // An unpack's last line is its command: the files it lists are counted, not logged.
    const std::string last = flood.unpack
                                 ? Utf8(L"$ " + UnpackCommand())
                                 : murk::test::ChildLine(kWindowLines - 1, kWindowLineBytes);
    const std::wstring tail = Widen(last) + L"\r\n" + kFinalMessage + L"\r\n";
    flood.viewEndsWithTheLastLines = view.ends_with(tail);
    flood.viewLength = view.size();
    return IDOK;
}

void WindowFloodJob(const fs::path& folder) {
    WindowFlood& flood = *g_flood;
    OpenLog(folder);
    bool success = false;
    try {
        if (flood.unpack) {
            // Tar's lines for Clang's files, as many as its archive has entries.
            CountUnpacked counter{kUnpackedFiles};
            success = RunTaking(UnpackCommand(), {}, [&flood, &counter](const std::string& line) {
                          if (++flood.childLines == kUnpackedFiles)
                              flood.lastChildLine = Clock::now();
                          return counter(line);
                      }) == 0;
        } else {
            const std::wstring command =
                murk::test::ChildCommand(L"lines:" + std::to_wstring(kWindowLines) + L":" +
                                         std::to_wstring(kWindowLineBytes + 2) + L":crlf");
            success = Run(command, {}, [&flood](const std::string&) {
                          if (++flood.childLines == kWindowLines)
                              flood.lastChildLine = Clock::now();
                      }) == 0;
        }
    } catch (const Failed&) {
    }
    Log(kFinalMessage);
    CloseLog();
    PostDone(success, kFinalMessage);
}

void BenchRealWindow(bool detailsShown, bool unpack = false) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    static const bool setUp = [instance] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        SetUpProcess(instance);
        return true;
    }();
    (void)setUp;
    murk::test::TempFolder folder;
    s_freeBytes = [](const fs::path&) -> std::optional<std::uint64_t> { return 100ull << 30; };
    s_messageBox = FloodBox;
    WindowFlood flood{.unpack = unpack};
    g_flood = &flood;
    HWND window = CreateMainWindow(instance, L"\"MurkSetup.exe\"", SW_SHOWNOACTIVATE);
    s_showLog = detailsShown;
    Layout();
    SetBusy(true);

    // The user's view of "frozen": a window that doesn't answer within 2 s.
    std::atomic<bool> stop{false};
    std::atomic<long> probes{0};
    std::atomic<long> unanswered{0};
    std::atomic<long long> slowestMicroseconds{0};
    std::atomic<bool> proberDone{false};
    std::thread prober([&] {
        while (!stop) {
            const auto sent = Clock::now();
            DWORD_PTR result = 0;
            if (!SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, kProbeTimeout, &result))
                ++unanswered;
            ++probes;
            const long long took =
                std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - sent).count();
            if (took > slowestMicroseconds) slowestMicroseconds = took;
            Sleep(20);
        }
        proberDone = true;
    });

    long posted[4] = {};
    flood.started = Clock::now();
    std::thread job(WindowFloodJob, folder.path());
    MSG message;
    while (!flood.boxShownOnce && GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.message >= kLogMessage && message.message <= kDoneMessage)
            ++posted[message.message - kLogMessage];
        if (IsDialogMessageW(window, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    job.join();
    stop = true;
    // A probe may be waiting for this thread: keep answering until the prober has stopped.
    while (!proberDone) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
    }
    prober.join();

    const double total = std::chrono::duration<double>(flood.boxShown - flood.started).count();
    const double lag = std::chrono::duration<double>(flood.boxShown - flood.lastChildLine).count();
    const unsigned long lines = unpack ? kUnpackedFiles : kWindowLines;
    if (unpack)
        std::printf(
            "real window, details %s: an unpack's %lu \"x\" lines of 75 bytes through Run "
            "with the unpack's counter, setup.log and the window\n",
            detailsShown ? "shown" : "hidden", lines);
    else
        std::printf(
            "real window, details %s: %lu lines of %lu bytes through Run, setup.log and "
            "the window\n",
            detailsShown ? "shown" : "hidden", lines, kWindowLineBytes + 2);
    std::printf("  job start to end report's box: %.2f s, %.2f us/line\n", total,
                total * 1e6 / lines);
    std::printf("  child's last line to the box:  %.3f s\n", lag);
    std::printf("  messages posted: %ld log, %ld status, %ld progress, %ld done\n", posted[0],
                posted[1], posted[2], posted[3]);
    std::printf("  view at the box: %zu characters, ends with the last lines: %s; box text: %ls\n",
                flood.viewLength, flood.viewEndsWithTheLastLines ? "yes" : "NO",
                flood.boxText.c_str());
    std::printf("  WM_NULL probes: %ld, unanswered within 2 s: %ld, slowest answer %.3f s\n",
                probes.load(), unanswered.load(), slowestMicroseconds / 1e6);
    std::printf("  setup.log: %llu bytes\n",
                static_cast<unsigned long long>(fs::file_size(folder / L"setup.log")));
    DestroyWindow(window);
    s_window = nullptr;
    // The window's end posted WM_QUIT, which isn't meant for the next case's loop.
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "window") == 0) {
        BenchRealWindow(false);
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "window-shown") == 0) {
        BenchRealWindow(true);
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "files") == 0) {
        ListUnpackedFiles();
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "unpack") == 0) {
        BenchRealWindow(false, true);
        return 0;
    }
    WNDCLASSW windowClass{.lpfnWndProc = DrainProcedure,
                          .hInstance = GetModuleHandleW(nullptr),
                          .lpszClassName = L"MurkBenchWindow"};
    RegisterClassW(&windowClass);
    s_job = CreateKillOnCloseJob();
    murk::test::TempFolder folder;
    std::printf("output pipeline: %lu lines of %lu bytes (%lu MB), reads of 4096 bytes\n", kLines,
                kLineBytes, kTotalBytes >> 20);

    Baseline();  // the first start of a program costs more under Wine
    Report("baseline: pipe read, output discarded", Baseline());

    {
        OpenLog(folder.path());
        DrainingWindow window;
        s_window = window.window;
        g_received = 0;
        const double seconds = ThroughRun();
        const double drain = window.WaitFor(static_cast<long>(kLines) + 1);
        s_window = nullptr;
        CloseLog();
        Report("Run: setup.log + window on another thread", seconds);
        std::printf("  window handled its last line %.2f s after Run returned\n", drain);
        std::printf("  setup.log: %llu bytes\n",
                    static_cast<unsigned long long>(fs::file_size(folder / L"setup.log")));
        fs::remove(folder / L"setup.log");
    }
    {
        OpenLog(folder.path());
        Report("Run: setup.log only (no window)", ThroughRun());
        CloseLog();
    }
    {
        DrainingWindow window;
        s_window = window.window;
        g_received = 0;
        const double seconds = ThroughRun();
        window.WaitFor(static_cast<long>(kLines) + 1);
        s_window = nullptr;
        Report("Run: window only (log closed)", seconds);
    }
    s_job.reset();
    BenchRealWindow(false);
    BenchRealWindow(true);
    BenchRealWindow(false, true);
    return 0;
}
