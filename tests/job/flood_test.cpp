// A child that prints far faster than a slow window handles messages: the job must still end
// with exactly one end report, setup.log must hold every line, no allocation may be left
// behind, and the window must get the lines in batches rather than one message each, so that
// its queue stays short and the end report comes at once. The window is the program's own
// (its window procedure and details view), made slow by a fixed sleep before every message of
// the job. This program counts every allocation of its own, so it is a test program of its
// own.
#include "setup/job/channel.h"
#include "setup/job/process.h"
#include "setup/job/system.h"
#include "setup/window/window.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <new>
#include <optional>
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

constexpr DWORD kSleepPerMessage = 3;
constexpr wchar_t kFinalMessage[] = L"Flood done.";
// More job messages than could ever be queued at once by a sound channel.
constexpr int kMostQueued = 64;

// What the slow window saw. Only plain values: watching allocates nothing.
struct Seen {
    long messages = 0;
    long doneReports = 0;
    long afterDone = 0;
    int mostQueued = 0;
    bool doneSuccess = false;
    bool boxShown = false;
    wchar_t boxText[64] = {};
};

Seen* g_seen = nullptr;

// The end report's box, as the user would read it.
int WINAPI RecordBox(HWND, LPCWSTR text, LPCWSTR, UINT) {
    g_seen->boxShown = true;
    lstrcpynW(g_seen->boxText, text ? text : L"", 64);
    return IDOK;
}

// Takes every job message queued at this moment (their number is the backlog), then hands
// them to the window one by one, each after the same sleep: a window thread busy painting.
void HandleQueuedJobMessages(Seen& seen) {
    MSG queued[kMostQueued];
    int count = 0;
    while (count < kMostQueued &&
           PeekMessageW(&queued[count], nullptr, kLogMessage, kDoneMessage, PM_REMOVE))
        ++count;
    seen.mostQueued = std::max(seen.mostQueued, count);
    for (int i = 0; i < count; ++i) {
        ++seen.messages;
        if (seen.doneReports > 0) ++seen.afterDone;
        if (queued[i].message == kDoneMessage) {
            ++seen.doneReports;
            seen.doneSuccess = queued[i].wParam == 1;
        }
        Sleep(kSleepPerMessage);
        DispatchMessageW(&queued[i]);
    }
}

// The job's side as the frame does it: log open, the child run (its lines also moving the bar
// and now and then the status), final line, log closed, end report.
void JobThread(const fs::path& folder, unsigned long lines) {
    OpenLog(folder);
    bool success = false;
    try {
        const std::wstring command =
            test::ChildCommand(L"lines:" + std::to_wstring(lines) + L":40:crlf");
        unsigned long count = 0;
        success = Run(command, {}, [&count, lines](const std::string&) {
                      ++count;
                      PostProgress(static_cast<int>(count * 100 / lines));
                      if (count % 1000 == 0) PostStatus(L"Building " + std::to_wstring(count));
                  }) == 0;
    } catch (const Failed&) {
    }
    Log(kFinalMessage);
    CloseLog();
    PostDone(success, kFinalMessage);
}

// Runs one flood through the window on this thread; returns when the job has ended and the
// window has had time for anything (wrongly) after the end report.
void Flood(const fs::path& folder, unsigned long lines, Seen& seen) {
    g_seen = &seen;
    SetBusy(true);
    std::thread job(JobThread, folder, lines);
    const ULONGLONG deadline = GetTickCount64() + 120000;
    ULONGLONG quietUntil = 0;
    while (GetTickCount64() < deadline && (!seen.boxShown || GetTickCount64() < quietUntil)) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        HandleQueuedJobMessages(seen);
        // Everything else (painting, the bar's animation) as usual.
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, kLogMessage - 1, PM_REMOVE) ||
               PeekMessageW(&message, nullptr, kDoneMessage + 1, UINT_MAX, PM_REMOVE))
            DispatchMessageW(&message);
        if (seen.boxShown && !quietUntil) quietUntil = GetTickCount64() + 200;
    }
    job.join();
}

TEST(Flood, SlowWindowGetsBatchesOneEndReportAtOnceAndLogGetsEveryLine) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    SetUpProcess(GetModuleHandleW(nullptr));
    s_freeBytes = [](const fs::path&) -> std::optional<std::uint64_t> { return 100ull << 30; };
    s_messageBox = RecordBox;
    HWND window =
        CreateMainWindow(GetModuleHandleW(nullptr), L"\"MurkSetup.exe\"", SW_SHOWNOACTIVATE);
    ASSERT_NE(window, nullptr);
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

    EXPECT_EQ(leaked, 0) << "pending lines or other allocations left behind";
    EXPECT_EQ(seen.doneReports, 1);
    EXPECT_TRUE(seen.doneSuccess);
    EXPECT_EQ(seen.afterDone, 0) << "messages after the end report";
    // One message of each kind at most (lines, status, progress) and the end report.
    EXPECT_LE(seen.mostQueued, 4) << "the window's queue grew with the build's output";
    EXPECT_LT(seen.messages * 10, static_cast<long>(kLines)) << "lines weren't batched";
    std::printf("flood: %lu lines, the window handled %ld messages, at most %d queued\n", kLines,
                seen.messages, seen.mostQueued);

    const std::string log = test::ReadBytes(folder / L"setup.log");
    std::string expected = "$ " + Utf8(test::ChildCommand(L"lines:200000:40:crlf")) + "\r\n";
    expected.reserve(log.size());
    for (unsigned long i = 0; i < kLines; ++i)
        expected += test::ChildLine(i, 38) + "\r\n";
    expected += "Flood done.\r\n";
    EXPECT_EQ(log.size(), expected.size());
    EXPECT_TRUE(log == expected) << "setup.log lacks or garbles lines";

    // The view ends as setup.log does (its first line may be cut), and the box says the end.
    EXPECT_TRUE(seen.boxShown);
    EXPECT_EQ(std::wstring(seen.boxText), kFinalMessage);
    const std::wstring view = Text(kDetailsView);
    ASSERT_GE(view.size(), kLogTrimmedTo);
    ASSERT_LE(view.size(), kLogKept);
    const size_t firstWhole = view.find(L"\r\n") + 2;
    const std::string shown = Utf8(view.substr(firstWhole));
    EXPECT_TRUE(log.ends_with(shown)) << "the view isn't the end of setup.log";
    EXPECT_TRUE(shown.ends_with(test::ChildLine(kLines - 1, 38) + "\r\nFlood done.\r\n"));

    DestroyWindow(window);
    s_window = nullptr;
    s_messageBox = MessageBoxW;
}

}  // namespace
}  // namespace murk::setup
