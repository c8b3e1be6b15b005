// The output pipeline: a child writes 50 MB of 80-byte lines. Measured three ways: read and
// thrown away (the pipe's own cost), through Run with Log writing setup.log and posting each
// line to a window that handles its messages on another thread, and through Run with only
// one of the two (file or window), to see where the time goes.
#include "setup/job/channel.h"
#include "setup/job/handles.h"
#include "setup/job/process.h"
#include "tests/support/test_support.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <thread>

namespace {

using namespace murk::setup;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr unsigned long kLineBytes = 80;
constexpr unsigned long kTotalBytes = 50ul << 20;
constexpr unsigned long kLines = kTotalBytes / kLineBytes;

std::atomic<long> g_received{0};

LRESULT CALLBACK DrainProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kLogMessage || message == kStatusMessage || message == kDoneMessage) {
        TakePayload(lParam);
        ++g_received;
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
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

}  // namespace

int main() {
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
    return 0;
}
