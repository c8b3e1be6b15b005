#include "setup/job/channel.h"

#include "tests/support/test_support.h"

#include <gtest/gtest.h>

namespace murk::setup {
namespace {

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
    const std::wstring fallback = Widen("\xE9");
    ASSERT_EQ(fallback.size(), 1u);
    EXPECT_NE(fallback[0], L'\uFFFD');
}

}  // namespace
}  // namespace murk::setup
