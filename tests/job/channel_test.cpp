#include "setup/job/channel.h"

#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

namespace murk::setup {
namespace {

namespace fs = std::filesystem;
using test::Collector;
using test::ReadBytes;
using test::TempFolder;

TEST(Channel, StatusWritesTheMarkedLineAndShowsTheTextAlone) {
    TempFolder folder;
    Collector window;
    OpenLog(folder.path());
    Status(L"Checking the tools");
    Log(L"");
    CloseLog();
    window.Drain();

    EXPECT_EQ(ReadBytes(folder / L"setup.log"), "== Checking the tools\r\n\r\n");
    EXPECT_EQ(window.logs, (std::vector<std::wstring>{L"== Checking the tools", L""}));
    EXPECT_EQ(window.statuses, std::vector<std::wstring>{L"Checking the tools"});
}

// However fast the job reports, the window's queue holds one message of each kind, and the
// window gets everything in one take: the lines in order, the latest status and progress.
TEST(Channel, EachKindQueuesOneMessageAndTheWindowTakesItsWholeSlot) {
    TempFolder folder;
    Collector window;
    OpenLog(folder.path());
    std::string expected;
    for (int i = 0; i < 3000; ++i) {
        Log(L"line " + std::to_wstring(i));
        PostStatus(L"Downloading Git: " + std::to_wstring(i) + L" MB");
        PostProgress(i % 101 - 1);
        expected += "line " + std::to_string(i) + "\r\n";
    }
    CloseLog();
    int queued = 0;
    MSG message;
    while (PeekMessageW(&message, window.window(), 0, 0, PM_REMOVE)) {
        ++queued;
        DispatchMessageW(&message);
    }
    EXPECT_EQ(queued, 3);
    EXPECT_EQ(ReadBytes(folder / L"setup.log"), expected) << "one line per Log, as before";
    ASSERT_EQ(window.logs.size(), 3000u);
    EXPECT_EQ(window.logs.front(), L"line 0");
    EXPECT_EQ(window.logs.back(), L"line 2999");
    EXPECT_EQ(window.logBatches, 1);
    EXPECT_EQ(window.statuses, std::vector<std::wstring>{L"Downloading Git: 2999 MB"});
    EXPECT_EQ(window.progress, std::vector<int>{2999 % 101 - 1});

    // A taken slot posts again with the next report.
    Log(L"again");
    PostProgress(-1);
    window.Drain();
    EXPECT_EQ(window.logs.back(), L"again");
    EXPECT_EQ(window.progress, (std::vector<int>{2999 % 101 - 1, -1}));
}

// A window that takes nothing for long holds no more than the view keeps: the oldest lines
// go, and what remains is whole consecutive lines up to the last one logged.
TEST(Channel, PendingLinesPastWhatTheViewKeepsDropTheOldest) {
    Collector window;
    const std::wstring fill(70, L'x');
    constexpr int kLines = 20000;  // 20,000 lines of 80 characters with CR LF: 1.6 M
    for (int i = 0; i < kLines; ++i) {
        wchar_t number[16];
        std::swprintf(number, 16, L"%07d ", i);
        Log(number + fill);
    }
    window.Drain();
    ASSERT_TRUE(window.logsDropped);
    EXPECT_EQ(window.logBatches, 1);
    const size_t kept = window.logs.size();
    EXPECT_GE(kept * 80, kLogTrimmedTo);
    EXPECT_LE(kept * 80, kLogKept);
    for (size_t i = 0; i < kept; ++i) {
        wchar_t number[16];
        std::swprintf(number, 16, L"%07zu ", kLines - kept + i);
        ASSERT_EQ(window.logs[i], number + fill) << i;
    }
}

TEST(Channel, WidenFallsBackToAnsiForInvalidUtf8) {
    EXPECT_EQ(Widen(""), L"");
    EXPECT_EQ(Widen("M\xC3\xBCll"), L"M\u00FCll");
    EXPECT_EQ(Widen(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
    const std::wstring fallback = Widen("\xE9");
    ASSERT_EQ(fallback.size(), 1u);
    EXPECT_NE(fallback[0], L'\uFFFD');
}

TEST(Channel, NonAsciiTextIsUtf8OnDiskAndUnchangedInTheWindow) {
    TempFolder folder;
    Collector window;
    const std::wstring text = L"Installing to C:\\Spi\u00e9le\\\u30b2\u30fc\u30e0";
    OpenLog(folder.path());
    Log(text);
    CloseLog();
    window.Drain();

    EXPECT_EQ(ReadBytes(folder / L"setup.log"),
              "Installing to C:\\Spi\xC3\xA9le\\\xE3\x82\xB2\xE3\x83\xBC\xE3\x83\xA0\r\n");
    EXPECT_EQ(window.logs, std::vector<std::wstring>{text});
}

TEST(Channel, ClosedOrUnopenableLogStillReachesTheWindow) {
    TempFolder folder;
    Collector window;
    Log(L"between jobs");
    OpenLog(folder / L"missing");
    Log(L"no file");
    CloseLog();
    window.Drain();

    EXPECT_EQ(window.logs, (std::vector<std::wstring>{L"between jobs", L"no file"}));
    EXPECT_TRUE(fs::is_empty(folder.path()));
}

TEST(Channel, FailedStreamIsSkippedUntilTheNextJobOpensTheLogAgain) {
    TempFolder folder;
    Collector window;
    OpenLog(folder.path());
    Log(L"one");
    {
        // A handle whose writes fail, as on a full disk.
        std::lock_guard lock(s_logLock);
        s_logFile = OwnFileHandle(CreateFileW((folder / L"setup.log").c_str(), GENERIC_READ,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    Log(L"two");
    CloseLog();
    OpenLog(folder / L"missing");  // an earlier job whose log couldn't be opened
    CloseLog();
    OpenLog(folder.path());
    Log(L"three");
    CloseLog();
    window.Drain();

    EXPECT_EQ(ReadBytes(folder / L"setup.log"), "one\r\nthree\r\n");
    EXPECT_EQ(window.logs, (std::vector<std::wstring>{L"one", L"two", L"three"}));
}

// Another writer (an older Setup, another program) adds a line between two of the job's: it
// stays, and the job's next line follows it. A line end inside a text is CR LF on disk too.
TEST(Channel, ALineAnotherWriterAppendsStaysBetweenTheJobsLines) {
    TempFolder folder;
    Collector window;
    test::WriteBytes(folder / L"setup.log", "earlier job\r\n");
    OpenLog(folder.path());
    Log(L"one");
    std::ofstream(folder / L"setup.log", std::ios::binary | std::ios::app) << "theirs\r\n";
    Log(L"two\n\nthree");
    CloseLog();
    EXPECT_EQ(ReadBytes(folder / L"setup.log"),
              "earlier job\r\none\r\ntheirs\r\ntwo\r\n\r\nthree\r\n");
}

TEST(Channel, FailThrowsItsMessageAndReportsNothing) {
    TempFolder folder;
    Collector window;
    OpenLog(folder.path());
    try {
        Fail(L"Couldn't start: git");
        ADD_FAILURE() << "Fail returned";
    } catch (const Failed& failure) {
        EXPECT_EQ(failure.message, L"Couldn't start: git");
    }
    CloseLog();
    window.Drain();
    EXPECT_EQ(ReadBytes(folder / L"setup.log"), "");
    EXPECT_TRUE(window.events.empty());
}

TEST(Channel, ProgressKeepsItsSignAndTextsTheirOwnCopies) {
    Collector window;
    std::wstring text = L"Downloading CMake";
    PostStatus(text);
    text[0] = L'X';
    PostProgress(-1);
    window.Drain();
    PostProgress(100);
    window.Drain();
    EXPECT_EQ(window.statuses, std::vector<std::wstring>{L"Downloading CMake"});
    EXPECT_EQ(window.progress, (std::vector<int>{-1, 100}));
}

// Without a window a post must fail: posting to no window would put the message in this
// thread's own queue, which nobody reads. A failed post empties its slot, so the reports of
// the next window aren't held back behind a message that was never queued.
TEST(Channel, WithoutAWindowPostsFailLeaveNothingQueuedAndNothingPending) {
    ASSERT_EQ(s_window, nullptr);
    Log(L"lost");
    Status(L"lost as well");
    PostProgress(5);
    PostDone(true, L"done");
    MSG message;
    EXPECT_FALSE(PeekMessageW(&message, reinterpret_cast<HWND>(-1), 0, 0, PM_REMOVE));
    EXPECT_TRUE(TakeLog().text.empty());
    EXPECT_FALSE(TakeStatus());
    EXPECT_FALSE(TakeProgress());

    HWND gone =
        CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(gone, nullptr);
    DestroyWindow(gone);
    s_window = gone;
    const ULONGLONG start = GetTickCount64();
    PostDone(false, L"Cancelled.");
    PostStatus(L"lost");
    Log(L"lost too");
    EXPECT_FALSE(TakeStatus());
    EXPECT_TRUE(TakeLog().text.empty());
    s_window = nullptr;
    EXPECT_LT(GetTickCount64() - start, 1000u) << "the end report waited for a window that is gone";
}

}  // namespace
}  // namespace murk::setup
