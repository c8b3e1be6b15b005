#include "tests/window/window_fixture.h"

#include <commctrl.h>

namespace murk::test {
namespace {

namespace fs = std::filesystem;
using namespace murk::setup;

constexpr std::uint64_t kMiB = 1ull << 20;
constexpr std::uint64_t kGiB = 1ull << 30;
constexpr wchar_t kNoteTail[] =
    L" free on that drive; about 14 GB is needed (6 GB once the disc is extracted).";

bool Marquee(HWND bar) {
    return (GetWindowLongPtrW(bar, GWL_STYLE) & PBS_MARQUEE) != 0;
}

TEST_F(WindowTest, ProgressClampsAndSwitchesTheMarqueeOnlyWhenNeeded) {
    Open();
    // Where the shell offers taskbar progress, the button mirrors the bar from here on.
    SendMessageW(s_window, TaskbarCreatedMessage(), 0, 0);
    SetBusy(true);
    HWND bar = Item(kProgressBar);
    PostProgress(150);
    Pump();
    EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 100);
    EXPECT_FALSE(Marquee(bar));

    PostProgress(-1);
    Pump();
    EXPECT_TRUE(Marquee(bar));
    PostProgress(-1);
    Pump();
    EXPECT_TRUE(Marquee(bar)) << "a second -1 leaves the animation running";

    PostProgress(50);
    Pump();
    EXPECT_FALSE(Marquee(bar));
    EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 50);
    PostProgress(0);
    Pump();
    EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 0);
}

TEST_F(WindowTest, LogLinesAndStatusTextReachTheirControls) {
    Open();
    PostText(kLogMessage, L"first");
    PostText(kLogMessage, L"");
    PostText(kLogMessage, L"M\u00FCll");
    PostText(kStatusMessage, L"Checking the tools");
    Pump();
    EXPECT_EQ(ItemText(kDetailsView), L"first\r\n\r\nM\u00FCll\r\n");
    EXPECT_EQ(ItemText(kStatusLine), L"Checking the tools");
}

TEST_F(WindowTest, DetailsViewDropsTheOldestHundredThousandCharactersPastFourHundredThousand) {
    Open();
    HWND view = Item(kDetailsView);
    // 5,000 lines of 80 characters: the first 1,250 lines are the oldest 100,000 characters.
    const std::wstring oldLine = std::wstring(78, L'o') + L"\r\n";
    const std::wstring newLine = std::wstring(78, L'b') + L"\r\n";
    std::wstring text;
    for (int i = 0; i < 5000; ++i)
        text += i < 1250 ? oldLine : newLine;
    ASSERT_EQ(text.size(), 400'000u);
    SetWindowTextW(view, text.c_str());  // exactly 400,000: still kept whole
    PostText(kLogMessage, L"x");
    Pump();
    EXPECT_EQ(GetWindowTextLengthW(view), 400'003);

    PostText(kLogMessage, L"tail");  // 400,003 > 400,000: trims first
    Pump();
    const std::wstring now = ItemText(kDetailsView);
    EXPECT_EQ(now.size(), 400'003u - 100'000u + 6u);
    EXPECT_EQ(now.find(L'o'), std::wstring::npos) << "the oldest characters went";
    EXPECT_EQ(now.substr(now.size() - 9), L"x\r\ntail\r\n");
}

TEST_F(WindowTest, SourceKindOptionsClearTheSourceAndFollowWithNoteAndDeleteOption) {
    Open();
    Click(kDeleteImageOption);
    ASSERT_TRUE(Checked(kDeleteImageOption));
    SetItemText(kSourceBox, L"D:\\disc.iso");

    Click(kFolderOption);
    EXPECT_EQ(ItemText(kSourceBox), L"");
    EXPECT_EQ(ItemText(kSourceNote),
              L"The folder with default.xex, lu0, media, streams0... (from extract-xiso, Xenia, "
              L"etc.). It's copied.");
    EXPECT_FALSE(Enabled(kDeleteImageOption));
    EXPECT_FALSE(Checked(kDeleteImageOption));

    SetItemText(kSourceBox, L"D:\\disc");
    Click(kFolderOption);  // the option already chosen clears the box too
    EXPECT_EQ(ItemText(kSourceBox), L"");

    SetItemText(kSourceBox, L"D:\\disc");
    Click(kImageOption);
    EXPECT_EQ(ItemText(kSourceBox), L"");
    EXPECT_EQ(ItemText(kSourceNote),
              L"A dump of your own disc (Redump's \"MURK (USA, Europe)\" and others).");
    EXPECT_TRUE(Enabled(kDeleteImageOption));
    EXPECT_FALSE(Checked(kDeleteImageOption)) << "stays cleared";
}

std::vector<fs::path> s_asked;
std::optional<std::uint64_t> s_answer;
std::optional<std::uint64_t> RecordingFreeBytes(const fs::path& path) {
    s_asked.push_back(path);
    return s_answer;
}

TEST_F(WindowTest, SpaceNoteShowsMegabytesOrGigabytesOfTheNearestExistingFolder) {
    s_freeBytes = RecordingFreeBytes;
    s_answer = 500 * kMiB;
    Open();
    SetItemText(kFolderBox, (temp / L"not" / L"yet").native());
    s_asked.clear();
    SendMessageW(s_window, WM_COMMAND, MAKEWPARAM(kFolderBox, EN_KILLFOCUS),
                 reinterpret_cast<LPARAM>(Item(kFolderBox)));
    ASSERT_EQ(s_asked.size(), 1u);
    EXPECT_EQ(s_asked[0], temp.path());
    EXPECT_EQ(ItemText(kSpaceNote), std::wstring(L"500 MB") + kNoteTail);

    s_answer = kGiB + kGiB / 2;
    SendMessageW(s_window, WM_COMMAND, MAKEWPARAM(kFolderBox, EN_KILLFOCUS),
                 reinterpret_cast<LPARAM>(Item(kFolderBox)));
    EXPECT_EQ(ItemText(kSpaceNote), std::wstring(L"1.5 GB") + kNoteTail);

    s_answer = std::nullopt;
    SendMessageW(s_window, WM_COMMAND, MAKEWPARAM(kFolderBox, EN_KILLFOCUS),
                 reinterpret_cast<LPARAM>(Item(kFolderBox)));
    EXPECT_EQ(ItemText(kSpaceNote), L"") << "unreadable free space: no note";

    s_answer = kGiB;
    s_asked.clear();
    SetItemText(kFolderBox, L"");
    SendMessageW(s_window, WM_COMMAND, MAKEWPARAM(kFolderBox, EN_KILLFOCUS),
                 reinterpret_cast<LPARAM>(Item(kFolderBox)));
    EXPECT_EQ(ItemText(kSpaceNote), L"");
    EXPECT_TRUE(s_asked.empty());

    EXPECT_EQ(FreeSpaceNote(kGiB - 1), std::wstring(L"1024 MB") + kNoteTail);
    EXPECT_EQ(FreeSpaceNote(kGiB), std::wstring(L"1.0 GB") + kNoteTail);
}

TEST_F(WindowTest, TypingInTheFolderBoxChangesTheNoteOnlyWhenItLosesTheFocus) {
    s_freeBytes = RecordingFreeBytes;
    s_answer = 500 * kMiB;
    Open();
    const std::wstring before = ItemText(kSpaceNote);
    s_answer = 3 * kGiB;
    SetItemText(kFolderBox, temp.path().native());  // sends EN_CHANGE, as typing does
    EXPECT_EQ(ItemText(kSpaceNote), before);
    SendMessageW(s_window, WM_COMMAND, MAKEWPARAM(kFolderBox, EN_KILLFOCUS),
                 reinterpret_cast<LPARAM>(Item(kFolderBox)));
    EXPECT_EQ(ItemText(kSpaceNote), std::wstring(L"3.0 GB") + kNoteTail);
}

TEST_F(WindowTest, SuccessShowsTheFinalMessageThenPlayAndUpdate) {
    Open();
    SetBusy(true);
    BoxAnswerer answerer({{IDOK, L""}});
    PostDone(true, L"MURK is ready.");
    ASSERT_TRUE(answerer.Finished());
    const auto seen = answerer.Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].text, L"MURK is ready.");
    EXPECT_TRUE(seen[0].hasOk);
    EXPECT_FALSE(seen[0].detailsVisible);
    EXPECT_TRUE(seen[0].fromWindowThread);
    EXPECT_EQ(ItemText(kStatusLine), L"MURK is ready.");
    EXPECT_EQ(ItemText(kMainButton), L"Update");
    EXPECT_TRUE(Visible(kPlayButton));
    EXPECT_TRUE(Enabled(kSourceBox));
    EXPECT_FALSE(s_busy);
    EXPECT_EQ(SendMessageW(Item(kProgressBar), PBM_GETPOS, 0, 0), 100);
    EXPECT_EQ(ClientSize().cy, 422);
}

TEST_F(WindowTest, FailureOpensTheDetailsBeforeTheWarningAndOffersInstallAgain) {
    fs::create_directories(temp / L"murk-recomp" / L"game" / L"extracted");
    WriteBytes(temp / L"murk-recomp" / L"game" / L"extracted" / L"default.xex", "XEX2");
    Open(L"--update \"" + temp.path().native() + L"\"");
    MSG queued;
    PeekMessageW(&queued, s_window, WM_COMMAND, WM_COMMAND, PM_REMOVE);  // no real update
    SetBusy(true);
    PostProgress(40);
    BoxAnswerer answerer({{IDOK, L""}});
    PostDone(false, L"Cancelled.");
    ASSERT_TRUE(answerer.Finished());
    auto seen = answerer.Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].text, L"Cancelled.");
    EXPECT_EQ(seen[0].ownerClientHeight, 660);
    EXPECT_TRUE(seen[0].detailsVisible);
    EXPECT_EQ(ItemText(kMainButton), L"Install");
    EXPECT_EQ(ItemText(kDetailsButton), L"Hide details");
    EXPECT_FALSE(Visible(kPlayButton));
    EXPECT_EQ(SendMessageW(Item(kProgressBar), PBM_GETPOS, 0, 0), 0);
    for (int id : {kImageOption, kFolderOption, kSourceBox, kSourceBrowse, kDeleteImageOption})
        EXPECT_TRUE(Enabled(id)) << id;

    // Already open: the size stays.
    SetBusy(true);
    BoxAnswerer again({{IDOK, L""}});
    PostDone(false, L"Not enough disk space.");
    ASSERT_TRUE(again.Finished());
    EXPECT_EQ(again.Seen().at(0).ownerClientHeight, 660);
    EXPECT_EQ(ClientSize().cy, 660);
}

TEST_F(WindowTest, SuccessInUpdateModeWithoutALauncherStaysIdleWithoutABox) {
    fs::create_directories(temp / L"murk-recomp" / L"game" / L"extracted");
    WriteBytes(temp / L"murk-recomp" / L"game" / L"extracted" / L"default.xex", "XEX2");
    Open(L"--update \"" + temp.path().native() + L"\"");
    MSG queued;
    PeekMessageW(&queued, s_window, WM_COMMAND, WM_COMMAND, PM_REMOVE);
    s_installed = temp / L"missing" / L"MurkLauncher.exe";
    SetBusy(true);
    PostDone(true, L"Done.");
    Pump();
    PumpUntil([] { return false; }, 300);  // a box would show within this time
    EXPECT_EQ(FindDialog(kTitle), nullptr);
    EXPECT_FALSE(WindowGone());
    EXPECT_EQ(ItemText(kMainButton), L"Update");
    EXPECT_TRUE(Visible(kPlayButton));
    EXPECT_EQ(ItemText(kStatusLine), L"Done.");
}

TEST_F(WindowTest, ClosingTheIdleWindowAsksNothingAndEndsTheLoop) {
    Open();
    PostMessageW(s_window, WM_CLOSE, 0, 0);
    ASSERT_TRUE(PumpUntil([this] { return WindowGone(); }, 5000));
    EXPECT_TRUE(QuitPosted());
    EXPECT_EQ(FindDialog(kTitle), nullptr);
}

}  // namespace
}  // namespace murk::test
