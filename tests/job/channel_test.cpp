#include "setup/job/channel.h"

#include "tests/support/test_support.h"

#include <gtest/gtest.h>

namespace murk::setup {
namespace {

namespace fs = std::filesystem;
using test::Collector;
using test::ReadBytes;
using test::TempFolder;

TEST(Channel, StatusWritesMarkedLineAndPostsLineBeforeText) {
    TempFolder folder;
    Collector window;
    OpenLog(folder.path());
    Status(L"Checking the tools");
    Log(L"");
    CloseLog();
    window.Drain();

    EXPECT_EQ(ReadBytes(folder / L"setup.log"), "== Checking the tools\r\n\r\n");
    ASSERT_EQ(window.events.size(), 3u);
    EXPECT_EQ(window.events[0].message, kLogMessage);
    EXPECT_EQ(window.events[0].text, L"== Checking the tools");
    EXPECT_EQ(window.events[1].message, kStatusMessage);
    EXPECT_EQ(window.events[1].text, L"Checking the tools");
    EXPECT_EQ(window.events[2].text, L"");
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
        // What a full disk leaves behind: a stream whose write failed.
        std::lock_guard lock(s_logLock);
        s_logFile.setstate(std::ios::badbit);
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
    PostText(kStatusMessage, text);
    text[0] = L'X';
    PostProgress(-1);
    PostProgress(100);
    window.Drain();
    EXPECT_EQ(window.statuses, std::vector<std::wstring>{L"Downloading CMake"});
    EXPECT_EQ(window.progress, (std::vector<int>{-1, 100}));
}

// Without a window a post must fail: posting to no window would put the message in this
// thread's own queue, where nobody frees its payload.
TEST(Channel, WithoutAWindowPostsFailAndLeaveNothingQueued) {
    ASSERT_EQ(s_window, nullptr);
    EXPECT_FALSE(PostText(kLogMessage, L"lost"));
    Log(L"lost too");
    Status(L"lost as well");
    PostProgress(5);
    PostDone(true, L"done");
    MSG message;
    EXPECT_FALSE(PeekMessageW(&message, reinterpret_cast<HWND>(-1), 0, 0, PM_REMOVE));

    HWND gone =
        CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(gone, nullptr);
    DestroyWindow(gone);
    s_window = gone;
    const ULONGLONG start = GetTickCount64();
    PostDone(false, L"Cancelled.");
    EXPECT_FALSE(PostText(kStatusMessage, L"lost"));
    s_window = nullptr;
    EXPECT_LT(GetTickCount64() - start, 1000u) << "the end report waited for a window that is gone";
}

}  // namespace
}  // namespace murk::setup
