// A child that prints far faster than a slow window handles messages: the job must still end
// with exactly one end report, setup.log must hold every line, and no payload may leak.
// This program counts every allocation of its own, so it is a test program of its own.
//
// Windows refuses posts once a thread's queue holds 10,000 messages; Wine 8 has no such limit
// (200,000 posts to a window that handles none all succeed), so under Wine every line arrives
// and the failed-post path is not exercised here. The allocation count covers both: a payload
// is either freed by the window or by the sender whose post failed.
#include "setup/job/channel.h"
#include "setup/job/process.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <future>
#include <new>
#include <thread>

namespace {

std::atomic<long long> g_liveAllocations{0};

}  // namespace

void* operator new(std::size_t size) {
    void* memory = std::malloc(size ? size : 1);
    if (!memory) throw std::bad_alloc();
    g_liveAllocations.fetch_add(1, std::memory_order_relaxed);
    return memory;
}

void* operator new[](std::size_t size) {
    return ::operator new(size);
}

void operator delete(void* memory) noexcept {
    if (!memory) return;
    g_liveAllocations.fetch_sub(1, std::memory_order_relaxed);
    std::free(memory);
}

void operator delete[](void* memory) noexcept {
    ::operator delete(memory);
}

void operator delete(void* memory, std::size_t) noexcept {
    ::operator delete(memory);
}

void operator delete[](void* memory, std::size_t) noexcept {
    ::operator delete(memory);
}

namespace murk::setup {
namespace {

namespace fs = std::filesystem;

// What the slow window saw. Only plain counters: the window itself allocates nothing.
struct Seen {
    std::atomic<long> logLines{0};
    std::atomic<long> otherTexts{0};
    std::atomic<long> doneReports{0};
    std::atomic<long> afterDone{0};
    std::atomic<long> maxBacklog{0};
    std::atomic<bool> doneSuccess{false};
};

Seen* g_seen = nullptr;
std::atomic<long> g_linesHandled{0};  // lines the job has cut so far

constexpr wchar_t kSlowWindowClass[] = L"MurkSlowWindow";

LRESULT CALLBACK SlowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Seen& seen = *g_seen;
    switch (message) {
        case kLogMessage:
        case kStatusMessage:
        case kDoneMessage: {
            auto text = TakePayload(lParam);
            if (seen.doneReports > 0) ++seen.afterDone;
            if (message == kDoneMessage) {
                ++seen.doneReports;
                seen.doneSuccess = wParam == 1;
            } else if (message == kLogMessage) {
                const long count = ++seen.logLines;
                const long backlog = g_linesHandled - count;
                if (backlog > seen.maxBacklog) seen.maxBacklog = backlog;
                // A window thread busy painting: it falls behind a fast build.
                if (count % 32 == 0) Sleep(1);
            } else {
                ++seen.otherTexts;
            }
            return 0;
        }
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

// The window thread: a message-only window that handles messages slowly until WM_QUIT.
void WindowThread(std::promise<std::pair<HWND, DWORD>> created) {
    HWND window = CreateWindowExW(0, kSlowWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    created.set_value({window, GetCurrentThreadId()});
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
        DispatchMessageW(&message);
    DestroyWindow(window);
}

// The job's side as the frame does it: log open, the child run, final line, log closed, end
// report.
void JobThread(const fs::path& folder, unsigned long lines) {
    OpenLog(folder);
    bool success = false;
    try {
        const std::wstring command =
            test::ChildCommand(L"lines:" + std::to_wstring(lines) + L":40:crlf");
        success = Run(command, {}, [](const std::string&) { ++g_linesHandled; }) == 0;
    } catch (const Failed&) {
    }
    Log(L"Flood done.");
    CloseLog();
    PostDone(success, L"Flood done.");
}

// Runs one flood through a slow window on its own thread; returns when both threads ended.
void Flood(const fs::path& folder, unsigned long lines, Seen& seen) {
    g_seen = &seen;
    g_linesHandled = 0;
    std::promise<std::pair<HWND, DWORD>> created;
    auto window = created.get_future();
    std::thread windowThread(WindowThread, std::move(created));
    const auto [handle, threadId] = window.get();
    s_window = handle;
    std::thread job(JobThread, folder, lines);
    job.join();
    // Give the window time to reach the end report and anything (wrongly) after it.
    const ULONGLONG deadline = GetTickCount64() + 120000;
    while (seen.doneReports == 0 && GetTickCount64() < deadline)
        Sleep(10);
    Sleep(100);
    PostThreadMessageW(threadId, WM_QUIT, 0, 0);
    windowThread.join();
    s_window = nullptr;
}

TEST(Flood, SlowWindowGetsOneEndReportLogGetsEveryLineAndNoPayloadLeaks) {
    static const ATOM registered = [] {
        WNDCLASSW windowClass{.lpfnWndProc = SlowProcedure,
                              .hInstance = GetModuleHandleW(nullptr),
                              .lpszClassName = kSlowWindowClass};
        return RegisterClassW(&windowClass);
    }();
    ASSERT_NE(registered, 0);
    test::TempFolder warmFolder;
    test::TempFolder folder;

    // Whatever the process allocates once (threads, locale, stream buffers) is made first.
    Seen warm;
    Flood(warmFolder.path(), 100, warm);
    ASSERT_EQ(warm.doneReports, 1);

    constexpr unsigned long kLines = 200000;
    Seen seen;
    const long long before = g_liveAllocations;
    ASSERT_GT(before, 0) << "the allocation count isn't hooked";
    Flood(folder.path(), kLines, seen);
    const long long leaked = g_liveAllocations - before;

    EXPECT_EQ(leaked, 0) << "payloads or other allocations left behind";
    EXPECT_EQ(seen.doneReports, 1);
    EXPECT_TRUE(seen.doneSuccess);
    EXPECT_EQ(seen.afterDone, 0) << "messages after the end report";
    EXPECT_EQ(g_linesHandled, static_cast<long>(kLines));
    // The scenario is real only if the window fell far behind the job.
    EXPECT_GT(seen.maxBacklog, 10000) << "the window kept up; the queue never filled";
    // Every post either arrived (and was freed by the window) or failed (and was freed by the
    // sender, which the leak count shows): under Wine no post fails, Windows drops some.
    EXPECT_LE(seen.logLines, static_cast<long>(kLines) + 2);
    std::printf("flood: %lu lines, window received %ld log lines, most behind %ld\n", kLines,
                seen.logLines.load(), seen.maxBacklog.load());

    const std::string log = test::ReadBytes(folder / L"setup.log");
    std::string expected = "$ " + Utf8(test::ChildCommand(L"lines:200000:40:crlf")) + "\r\n";
    expected.reserve(log.size());
    for (unsigned long i = 0; i < kLines; ++i)
        expected += test::ChildLine(i, 38) + "\r\n";
    expected += "Flood done.\r\n";
    EXPECT_EQ(log.size(), expected.size());
    EXPECT_TRUE(log == expected) << "setup.log lacks or garbles lines";
}

}  // namespace
}  // namespace murk::setup
