#include "tests/window/window_fixture.h"

#include <commctrl.h>
#include <shobjidl.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

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

LONG_PTR Position(HWND bar) {
    return SendMessageW(bar, PBM_GETPOS, 0, 0);
}

// How often the window starts its bar's animation, seen on the way (the window's thread only).
WNDPROC s_barProcedure = nullptr;
int s_marqueeStarts = 0;

LRESULT CALLBACK CountMarqueeStarts(HWND bar, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == PBM_SETMARQUEE && wParam) ++s_marqueeStarts;
    return CallWindowProcW(s_barProcedure, bar, message, wParam, lParam);
}

// Stands in for the shell's taskbar list while it is registered for that class in this
// process, recording what the window tells its taskbar button. It outlives every window.
class TaskbarRecorder : public ITaskbarList3, public IClassFactory {
  public:
    std::string shows;  // "busy", or "N of M"
    int statesTold = 0;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        *object = nullptr;
        if (IsEqualIID(iid, __uuidof(IClassFactory))) *object = static_cast<IClassFactory*>(this);
        for (const IID& list : {__uuidof(IUnknown), __uuidof(ITaskbarList), __uuidof(ITaskbarList2),
                                __uuidof(ITaskbarList3)})
            if (IsEqualIID(iid, list)) *object = static_cast<ITaskbarList3*>(this);
        return *object ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
        return outer ? CLASS_E_NOAGGREGATION : QueryInterface(iid, object);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetProgressValue(HWND, ULONGLONG done, ULONGLONG total) override {
        shows = std::to_string(done) + " of " + std::to_string(total);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetProgressState(HWND, TBPFLAG state) override {
        ++statesTold;
        if (state == TBPF_INDETERMINATE) shows = "busy";
        return S_OK;
    }
    // Nothing else of the interface is used.
    HRESULT STDMETHODCALLTYPE HrInit() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE AddTab(HWND) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE DeleteTab(HWND) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE ActivateTab(HWND) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetActiveAlt(HWND) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE MarkFullscreenWindow(HWND, BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE RegisterTab(HWND, HWND) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE UnregisterTab(HWND) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetTabOrder(HWND, HWND) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetTabActive(HWND, HWND, DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE ThumbBarAddButtons(HWND, UINT, LPTHUMBBUTTON) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ThumbBarUpdateButtons(HWND, UINT, LPTHUMBBUTTON) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ThumbBarSetImageList(HWND, HIMAGELIST) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetOverlayIcon(HWND, HICON, LPCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetThumbnailTooltip(HWND, LPCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetThumbnailClip(HWND, RECT*) override { return S_OK; }
};

TaskbarRecorder s_taskbarButton;

TEST_F(WindowTest, ProgressClampsAndSwitchesTheMarqueeOnlyWhenNeeded) {
    s_taskbarButton = {};  // whatever an earlier repetition left
    s_marqueeStarts = 0;
    DWORD registration = 0;
    ASSERT_EQ(
        CoRegisterClassObject(CLSID_TaskbarList, static_cast<IClassFactory*>(&s_taskbarButton),
                              CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &registration),
        S_OK);
    Open();
    // Where the shell offers taskbar progress, the button mirrors the bar from here on.
    SendMessageW(s_window, TaskbarCreatedMessage(), 0, 0);
    SetBusy(true);
    HWND bar = Item(kProgressBar);
    s_barProcedure = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(bar, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(CountMarqueeStarts)));
    PostProgress(150);
    EXPECT_TRUE(PumpUntil([&] { return Position(bar) == 100; }));
    EXPECT_FALSE(Marquee(bar));
    EXPECT_EQ(s_taskbarButton.shows, "100 of 100");

    PostProgress(-1);
    EXPECT_TRUE(PumpUntil([&] { return Marquee(bar); }));
    PostProgress(-1);
    // The button hears of every value the window takes: then the second -1 was taken.
    EXPECT_TRUE(PumpUntil([&] { return s_taskbarButton.statesTold == 3; }));
    EXPECT_EQ(s_marqueeStarts, 1) << "a second -1 leaves the animation running";
    EXPECT_TRUE(Marquee(bar));
    EXPECT_EQ(s_taskbarButton.shows, "busy");

    PostProgress(50);
    EXPECT_TRUE(PumpUntil([&] { return !Marquee(bar); }));
    EXPECT_EQ(Position(bar), 50);
    PostProgress(70);
    PostProgress(0);  // the latest value wins
    EXPECT_TRUE(PumpUntil([&] { return Position(bar) == 0; }));
    EXPECT_EQ(s_taskbarButton.shows, "0 of 100");
    CoRevokeClassObject(registration);
}

TEST_F(WindowTest, LogLinesAndStatusTextReachTheirControls) {
    Open();
    Log(L"first");
    Log(L"");
    Log(L"M\u00FCll");
    PostStatus(L"Checking the tools");
    PostStatus(L"Downloading Git: 1 MB");
    EXPECT_TRUE(PumpUntil([&] { return ItemText(kDetailsView) == L"first\r\n\r\nM\u00FCll\r\n"; }));
    EXPECT_TRUE(PumpUntil([&] { return ItemText(kStatusLine) == L"Downloading Git: 1 MB"; }))
        << "the latest status wins";
    Log(L"next");
    EXPECT_TRUE(
        PumpUntil([&] { return ItemText(kDetailsView) == L"first\r\n\r\nM\u00FCll\r\nnext\r\n"; }));
}

TEST_F(WindowTest, DetailsViewPastFourHundredThousandCharactersKeepsTheLastThreeHundredThousand) {
    Open();
    HWND view = Item(kDetailsView);
    // 5,000 lines of 80 characters: the first 1,250 lines are the oldest 100,000 characters.
    const std::wstring oldLine = std::wstring(78, L'o') + L"\r\n";
    const std::wstring newLine = std::wstring(78, L'b') + L"\r\n";
    std::wstring text;
    for (int i = 0; i < 5000; ++i)
        text += i < 1250 ? oldLine : newLine;
    ASSERT_EQ(text.size(), 400'000u);
    SetWindowTextW(view, text.substr(3).c_str());
    Log(L"x");  // exactly 400,000 with it: still kept whole
    ASSERT_TRUE(PumpUntil([&] { return GetWindowTextLengthW(view) != 399'997; }));
    EXPECT_EQ(GetWindowTextLengthW(view), 400'000);

    Log(L"tail");  // 400,006 > 400,000: the oldest go
    ASSERT_TRUE(PumpUntil([&] { return GetWindowTextLengthW(view) != 400'000; }));
    const std::wstring now = ItemText(kDetailsView);
    EXPECT_EQ(now.size(), 300'000u);
    EXPECT_EQ(now.find(L'o'), std::wstring::npos) << "the oldest characters went";
    EXPECT_EQ(now.substr(now.size() - 9), L"x\r\ntail\r\n");
}

// A window that couldn't take its lines for a long while (a build printing faster than it
// shows) gets them in one batch that replaces the view: still the last lines, in order.
TEST_F(WindowTest, DetailsViewReplacedByMorePendingLinesThanItKeepsShowsTheLastOnes) {
    Open();
    Log(L"before the flood");
    ASSERT_TRUE(PumpUntil([&] { return !ItemText(kDetailsView).empty(); }));
    const std::wstring fill(70, L'y');
    constexpr int kLines = 8000;  // 640,000 characters
    auto line = [&fill](int number) {
        wchar_t text[16];
        std::swprintf(text, 16, L"%07d ", number);
        return text + fill;
    };
    for (int i = 0; i < kLines; ++i)
        Log(line(i));
    ASSERT_TRUE(
        PumpUntil([&] { return ItemText(kDetailsView).ends_with(line(kLines - 1) + L"\r\n"); }));
    const std::wstring now = ItemText(kDetailsView);
    ASSERT_GE(now.size(), kLogTrimmedTo);
    ASSERT_LE(now.size(), kLogKept);
    ASSERT_EQ(now.size() % 80, 0u) << "whole lines";
    const int first = kLines - static_cast<int>(now.size() / 80);
    for (size_t i = 0; i < now.size(); i += 80)
        ASSERT_EQ(now.substr(i, 80), line(first + static_cast<int>(i / 80)) + L"\r\n") << i;
}

// Posted messages go before painting and the user's input: a window that a build's reports
// kept busy without pause would neither repaint nor take a click until the build fell silent.
TEST_F(WindowTest, AFloodOfReportsLeavesRoomForPainting) {
    Open();
    SetBusy(true);
    std::atomic<bool> ended{false};
    // Stopped and joined on every path, a failed check's included.
    std::jthread job([&ended](std::stop_token stop) {
        // Bounded, so that a window that can't keep up fails here rather than hangs.
        const ULONGLONG deadline = GetTickCount64() + 30000;
        for (int i = 0; !stop.stop_requested() && GetTickCount64() < deadline; ++i) {
            Log(L"[" + std::to_wstring(i) + L"/1000000] Building CXX object");
            PostProgress(i % 100);
        }
        ended = true;
    });
    // The flood is on once the window has taken its first batch.
    ASSERT_TRUE(PumpUntil([this] { return !ItemText(kDetailsView).empty(); }));
    HWND status = Item(kStatusLine);
    InvalidateRect(status, nullptr, TRUE);
    bool paintedDuringTheFlood = false;
    PumpUntil(
        [&] {
            if (GetUpdateRect(status, nullptr, FALSE)) return ended.load();
            paintedDuringTheFlood = !ended;
            return true;
        },
        10000);
    job.request_stop();
    job.join();
    EXPECT_TRUE(paintedDuringTheFlood) << "no paint while the reports kept coming";
    EXPECT_TRUE(
        PumpUntil([&] { return ItemText(kDetailsView).ends_with(L"Building CXX object\r\n"); }));
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
    FakeSystem boxes(100 * kGiB, IDOK);  // a box would be recorded, not shown
    SetBusy(true);
    PostDone(true, L"Done.");
    Pump();  // the end report, and whatever its handling posts
    EXPECT_TRUE(boxes.questions().empty());
    EXPECT_FALSE(WindowGone());
    EXPECT_EQ(ItemText(kMainButton), L"Update");
    EXPECT_TRUE(Visible(kPlayButton));
    EXPECT_EQ(ItemText(kStatusLine), L"Done.");
}

std::vector<HWND> s_liveRegionChanges;
void CALLBACK OnLiveRegionChanged(HWINEVENTHOOK, DWORD, HWND window, LONG object, LONG child, DWORD,
                                  DWORD) {
    if (object == OBJID_CLIENT && child == CHILDID_SELF) s_liveRegionChanges.push_back(window);
}

// The focus starts on the first control and goes where the player goes next; screen readers hear
// of a new step and of the end, not of a new number.
TEST_F(WindowTest, FocusFollowsThePlayerAndScreenReadersHearANewStepAndTheEnd) {
    s_liveRegionChanges.clear();
    const HWINEVENTHOOK hook =
        SetWinEventHook(EVENT_OBJECT_LIVEREGIONCHANGED, EVENT_OBJECT_LIVEREGIONCHANGED, nullptr,
                        OnLiveRegionChanged, GetCurrentProcessId(), 0, WINEVENT_OUTOFCONTEXT);
    SetForegroundWindow(Open());  // activated, as at a start
    EXPECT_EQ(GetFocus(), Item(kImageOption));
    for (const wchar_t* status : {L"Downloading Git: 1 MB", L"Downloading Git: 12 MB"}) {
        PostStatus(status);
        ASSERT_TRUE(PumpUntil([&] { return ItemText(kStatusLine) == status; }));
    }
    for (bool success : {true, false}) {
        SetBusy(true);
        BoxAnswerer answerer({{IDOK, L"Downloading Git: 12 MB"}});
        PostDone(success, L"Downloading Git: 12 MB");  // the same words, but now the end
        ASSERT_TRUE(answerer.Finished());
        const HWND next = Item(success ? kPlayButton : kMainButton);
        EXPECT_TRUE(PumpUntil([next] { return GetFocus() == next; }, 5000)) << success;
    }
    // In order: by the ends' events, one for the new number would have come.
    PumpUntil([] { return s_liveRegionChanges.size() >= 3; }, 5000);
    EXPECT_EQ(s_liveRegionChanges, std::vector<HWND>(3, Item(kStatusLine)));
    UnhookWinEvent(hook);
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
