#include "tests/window/window_fixture.h"

#include <commctrl.h>

#include <set>

namespace murk::test {
namespace {

using namespace murk::setup;

struct Expected {
    const wchar_t* className;
    int id;
    const wchar_t* text;
    DWORD style;
    RECT rect;
    bool visible;
    bool enabled;
};

std::wstring ClassOf(HWND control) {
    wchar_t name[64] = {};
    GetClassNameW(control, name, 64);
    return name;
}

RECT ClientRectOf(HWND control) {
    RECT rect{};
    GetWindowRect(control, &rect);
    MapWindowPoints(HWND_DESKTOP, s_window, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

int ScaleTo(UINT dpi, int value) {
    return MulDiv(value, static_cast<int>(dpi), 96);
}

// Whether a text shows whole in a control of a row's kind, size and font: statics wrap at
// spaces (the status line keeps one line), buttons keep one line beside the glyph of a check box
// or option, or inside their frame.
bool TextShows(const ControlRow& row, const std::wstring& text, HFONT font, SIZE size, UINT dpi) {
    const bool button = std::wstring_view(row.className) == L"BUTTON";
    const DWORD type = row.style & BS_TYPEMASK;
    const int room = !button ? size.cx
                     : type == BS_AUTOCHECKBOX || type == BS_AUTORADIOBUTTON
                         ? size.cx - GetSystemMetricsForDpi(SM_CXMENUCHECK, dpi) - ScaleTo(dpi, 3)
                         : size.cx - ScaleTo(dpi, 8);
    const bool wraps = !button && (row.style & SS_TYPEMASK) == SS_LEFT;
    const WindowContext screen(nullptr);
    HDC context = screen.get();
    const HGDIOBJ previous = SelectObject(context, font);
    RECT needed{0, 0, room, 0};
    DrawTextW(context, text.c_str(), -1, &needed,
              DT_CALCRECT | (wraps ? DT_WORDBREAK : DT_SINGLELINE));
    SelectObject(context, previous);
    return needed.right <= room && needed.bottom <= size.cy;
}

// The message font and the title font that the system's metrics give for a DPI.
std::pair<UniqueFont, UniqueFont> FontsFor(UINT dpi) {
    NONCLIENTMETRICSW metrics{.cbSize = sizeof metrics};
    SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi);
    UniqueFont message(CreateFontIndirectW(&metrics.lfMessageFont));
    metrics.lfMessageFont.lfHeight = metrics.lfMessageFont.lfHeight * 3 / 2;
    metrics.lfMessageFont.lfWeight = FW_BOLD;
    return {std::move(message), UniqueFont(CreateFontIndirectW(&metrics.lfMessageFont))};
}

LONG FontHeight(HFONT font) {
    LOGFONTW description{};
    GetObjectW(font, sizeof description, &description);
    return description.lfHeight;
}

int IconWidth() {
    const auto icon =
        reinterpret_cast<HICON>(SendMessageW(GetWindow(s_window, GW_CHILD), STM_GETICON, 0, 0));
    ICONINFO info{};
    if (!GetIconInfo(icon, &info)) return 0;
    const std::unique_ptr<void, GdiObjectDeleter> colour(info.hbmColor), mask(info.hbmMask);
    BITMAP bitmap{};
    GetObjectW(info.hbmColor, sizeof bitmap, &bitmap);
    return bitmap.bmWidth;
}

// The window laid out for a DPI: its client area, the icon and the fonts of that DPI, every
// control at its scaled table place (wider only away from 96 DPI, and never past the client
// area's margin), and every text that shows whole in the table at 96 DPI whole too.
void ExpectLaidOutFor(UINT dpi, bool details) {
    SCOPED_TRACE(testing::Message() << dpi << " DPI");
    RECT client{};
    GetClientRect(s_window, &client);
    EXPECT_EQ(client.right, ScaleTo(dpi, 640));
    EXPECT_EQ(client.bottom, ScaleTo(dpi, details ? 660 : 422));
    EXPECT_EQ(IconWidth(), ScaleTo(dpi, 48));
    const auto wanted = FontsFor(dpi);
    EXPECT_EQ(FontHeight(s_font.get()), FontHeight(wanted.first.get()));
    EXPECT_EQ(FontHeight(s_titleFont.get()), FontHeight(wanted.second.get()));

    const auto at96 = FontsFor(96);
    int wholeAt96 = 0;
    HWND control = GetWindow(s_window, GW_CHILD);
    for (const ControlRow& row : kControls) {
        SCOPED_TRACE(testing::Message() << "control " << row.id << " at x " << row.x);
        const RECT rect = ClientRectOf(control);
        EXPECT_EQ(rect.left, ScaleTo(dpi, row.x));
        EXPECT_EQ(rect.top, ScaleTo(dpi, row.y));
        EXPECT_EQ(rect.bottom, ScaleTo(dpi, row.y + row.height));
        const int right = ScaleTo(dpi, row.x + row.width);
        EXPECT_TRUE(rect.right == right || (dpi != 96 && rect.right > right &&
                                            rect.right <= ScaleTo(dpi, kClientWidth - 12)))
            << rect.right;
        const bool title = &row == &kControls[1];
        const std::wstring text = WindowText(control);
        const bool readable = std::wstring_view(row.className) != L"EDIT" &&
                              row.id != kProgressBar && row.id != kPlayButton && !text.empty();
        if (readable && TextShows(row, text, (title ? at96.second : at96.first).get(),
                                  {row.width, row.height}, 96)) {
            ++wholeAt96;
            const auto font = reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
            EXPECT_TRUE(
                TextShows(row, text, font, {rect.right - rect.left, rect.bottom - rect.top}, dpi))
                << "cut: " << text;
        }
        control = GetWindow(control, GW_HWNDNEXT);
    }
    EXPECT_GE(wholeAt96, 19) << "of the window's 21 texts";
}

// Every text shows whole in its control, in the control's own font; each of the ten mnemonics is
// one '&' before a letter of its own.
void ExpectTextsWholeAndMnemonicsApart() {
    std::set<wchar_t> letters;
    HWND control = GetWindow(s_window, GW_CHILD);
    for (const ControlRow& row : kControls) {
        const RECT rect = ClientRectOf(control);
        const auto font = reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
        const SIZE size{rect.right - rect.left, rect.bottom - rect.top};
        const std::wstring text = WindowText(control);
        const bool edit = std::wstring_view(row.className) == L"EDIT";
        EXPECT_TRUE(edit || text.empty() || TextShows(row, text, font, size, s_dpi)) << text;
        if (ShownText(control, text) != text) {
            EXPECT_EQ(text.find(L'&', text.find(L'&') + 1), std::wstring::npos) << text;
            EXPECT_TRUE(letters.insert(towlower(text[text.find(L'&') + 1])).second) << text;
        }
        control = GetWindow(control, GW_HWNDNEXT);
    }
    EXPECT_EQ(letters.size(), 10u);
}

RECT Frame() {
    RECT frame{};
    GetWindowRect(s_window, &frame);
    return frame;
}

RECT WorkArea() {
    MONITORINFO monitor{.cbSize = sizeof monitor};
    GetMonitorInfoW(MonitorFromWindow(s_window, MONITOR_DEFAULTTONEAREST), &monitor);
    return monitor.rcWork;
}

// As Windows sends it when the window moves to a monitor of another DPI.
void ChangeDpi(UINT dpi, RECT suggested = {40, 30, 700, 500}) {
    SendMessageW(s_window, WM_DPICHANGED, MAKEWPARAM(dpi, dpi),
                 reinterpret_cast<LPARAM>(&suggested));
}

TEST_F(WindowTest, FreshWindowHasTheTwentySevenControlsInTabOrder) {
    Open();
    wchar_t drive[8] = L"C:";
    GetEnvironmentVariableW(L"SystemDrive", drive, 8);
    const std::wstring folder = std::wstring(drive) + L"\\MURK-Recomp";
    // The fixture's drives have 100 GiB free.
    const std::wstring spaceNote =
        L"100.0 GB free on that drive; about 14 GB is needed (6 GB once the disc is extracted).";
    const Expected expected[] = {
        {L"Static", 0, L"", SS_ICON, {16, 12, 64, 60}, true, true},
        {L"Static", 0, L"MURK Recompiled Setup", SS_LEFT, {76, 14, 616, 40}, true, true},
        {L"Static",
         0,
         L"Builds the game from your own copy of MURK. The build tools are downloaded if they "
         L"aren't installed; nothing from the game is downloaded.",
         SS_LEFT,
         {76, 40, 624, 72},
         true,
         true},
        {L"Button", 115, L"Your copy of MURK", BS_GROUPBOX, {12, 78, 628, 174}, true, true},
        {L"Button",
         110,
         L"Disc image (.iso)",
         BS_AUTORADIOBUTTON | WS_GROUP | WS_TABSTOP,
         {28, 98, 178, 118},
         true,
         true},
        {L"Button",
         111,
         L"Extracted disc folder",
         BS_AUTORADIOBUTTON,
         {190, 98, 380, 118},
         true,
         true},
        {L"Static", 0, L"Disc image or folder:", SS_LEFT, {28, 122, 516, 142}, false, true},
        {L"Edit",
         100,
         L"",
         WS_BORDER | WS_GROUP | WS_TABSTOP | ES_AUTOHSCROLL,
         {28, 122, 516, 145},
         true,
         true},
        {L"Button",
         101,
         L"Browse...",
         BS_PUSHBUTTON | WS_TABSTOP,
         {524, 121, 612, 146},
         true,
         true},
        {L"Static",
         116,
         L"A dump of your own disc (Redump's \"MURK (USA, Europe)\" and others).",
         SS_LEFT | SS_NOPREFIX,
         {28, 150, 616, 168},
         true,
         true},
        {L"Button", 0, L"Install folder", BS_GROUPBOX, {12, 182, 628, 256}, true, true},
        {L"Static", 0, L"Install folder:", SS_LEFT, {28, 204, 516, 224}, false, true},
        {L"Edit",
         102,
         folder.c_str(),
         WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL,
         {28, 204, 516, 227},
         true,
         true},
        {L"Button",
         103,
         L"Browse...",
         BS_PUSHBUTTON | WS_TABSTOP,
         {524, 203, 612, 228},
         true,
         true},
        {L"Static", 117, spaceNote.c_str(), SS_LEFT | SS_NOPREFIX, {28, 232, 616, 250}, true, true},
        {L"Button", 0, L"When it's done", BS_GROUPBOX, {12, 264, 628, 350}, true, true},
        {L"Button",
         108,
         L"Add a desktop shortcut to the launcher",
         BS_AUTOCHECKBOX | WS_TABSTOP,
         {28, 284, 608, 304},
         true,
         true},
        {L"Button",
         112,
         L"Free up space: delete the build tools and leftovers (2-4 GB; the next update takes "
         L"longer)",
         BS_AUTOCHECKBOX | WS_TABSTOP,
         {28, 304, 618, 324},
         true,
         true},
        {L"Button",
         113,
         L"Delete the disc image once it's extracted (the game doesn't need it)",
         BS_AUTOCHECKBOX | WS_TABSTOP,
         {28, 324, 608, 344},
         true,
         true},
        {L"Static",
         105,
         L"Ready.",
         SS_LEFTNOWORDWRAP | SS_ENDELLIPSIS | SS_NOPREFIX,
         {12, 364, 422, 384},
         true,
         true},
        {L"Button", 109, L"Play", BS_PUSHBUTTON | WS_TABSTOP, {434, 359, 524, 387}, false, true},
        {L"Button",
         104,
         L"Install",
         BS_DEFPUSHBUTTON | WS_TABSTOP,
         {530, 359, 628, 387},
         true,
         true},
        {L"Static", 0, L"Progress:", SS_LEFT, {12, 394, 516, 414}, false, true},
        {L"msctls_progress32", 106, L"", 0, {12, 394, 516, 410}, true, true},
        {L"Button",
         114,
         L"Show details",
         BS_PUSHBUTTON | WS_TABSTOP,
         {524, 390, 628, 414},
         true,
         true},
        {L"Static", 0, L"Details:", SS_LEFT, {12, 422, 628, 442}, false, true},
        {L"Edit",
         107,
         L"",
         WS_BORDER | WS_VSCROLL | WS_TABSTOP | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY,
         {12, 422, 628, 650},
         false,
         true},
    };

    HWND control = GetWindow(s_window, GW_CHILD);
    for (const Expected& want : expected) {
        ASSERT_NE(control, nullptr) << "missing control " << want.id;
        SCOPED_TRACE(testing::Message() << "control " << want.id << " '" << want.text << "'");
        EXPECT_EQ(_wcsicmp(ClassOf(control).c_str(), want.className), 0) << ClassOf(control);
        EXPECT_EQ(GetDlgCtrlID(control), want.id);
        EXPECT_EQ(ShownText(control, WindowText(control)), want.text);
        const DWORD style = static_cast<DWORD>(GetWindowLongPtrW(control, GWL_STYLE));
        const DWORD exStyle = static_cast<DWORD>(GetWindowLongPtrW(control, GWL_EXSTYLE));
        DWORD wanted = WS_CHILD | want.style;
        if (ClassOf(control) == L"Edit") {
            // An edit control takes WS_BORDER out of its style and draws the border itself.
            wanted &= ~WS_BORDER;
        } else {
            // The low style bits select the kind of static or button: they must match exactly.
            EXPECT_EQ(style & 0x1F, want.style & 0x1F);
            EXPECT_EQ(exStyle & ~WS_EX_NOPARENTNOTIFY, 0u) << "no extended style";
        }
        EXPECT_EQ(style & wanted, wanted);
        const RECT rect = ClientRectOf(control);
        EXPECT_EQ(rect.left, want.rect.left);
        EXPECT_EQ(rect.top, want.rect.top);
        EXPECT_EQ(rect.right, want.rect.right);
        EXPECT_EQ(rect.bottom, want.rect.bottom);
        EXPECT_EQ(IsWindowVisible(control) != FALSE, want.visible);
        EXPECT_EQ(IsWindowEnabled(control) != FALSE, want.enabled);
        control = GetWindow(control, GW_HWNDNEXT);
    }
    EXPECT_EQ(control, nullptr) << "more than 27 controls";

    EXPECT_TRUE(Checked(kImageOption));
    EXPECT_FALSE(Checked(kFolderOption));
    EXPECT_TRUE(Checked(kShortcutOption));
    EXPECT_FALSE(Checked(kFreeSpaceOption));
    EXPECT_FALSE(Checked(kDeleteImageOption));
    EXPECT_EQ(SendMessageW(Item(kProgressBar), PBM_GETPOS, 0, 0), 0);
    EXPECT_GE(static_cast<DWORD>(SendMessageW(Item(kDetailsView), EM_GETLIMITTEXT, 0, 0)),
              0x7FFFFFFEu)
        << "the details view takes as much text as it can";
    EXPECT_NE(SendMessageW(GetWindow(s_window, GW_CHILD), STM_GETICON, 0, 0), 0)
        << "the icon control shows the program's icon";
    ExpectTextsWholeAndMnemonicsApart();
}

TEST_F(WindowTest, ControlsGetTheMessageFontAndTheTitleABoldOneHalfAsLarge) {
    Open();
    const HFONT font = reinterpret_cast<HFONT>(SendMessageW(Item(kMainButton), WM_GETFONT, 0, 0));
    EXPECT_EQ(font, s_font.get());
    HWND title = GetWindow(GetWindow(s_window, GW_CHILD), GW_HWNDNEXT);
    const HFONT titleFont = reinterpret_cast<HFONT>(SendMessageW(title, WM_GETFONT, 0, 0));
    ASSERT_EQ(titleFont, s_titleFont.get());
    LOGFONTW message{}, bold{};
    GetObjectW(font, sizeof message, &message);
    GetObjectW(titleFont, sizeof bold, &bold);
    EXPECT_EQ(bold.lfHeight, message.lfHeight * 3 / 2);
    EXPECT_EQ(bold.lfWeight, FW_BOLD);
    EXPECT_STREQ(bold.lfFaceName, message.lfFaceName);
}

TEST_F(WindowTest, WindowIsFixedSizeAndPlacedInTheUpperThirdOfTheScreen) {
    Open();
    wchar_t className[32] = {};
    GetClassNameW(s_window, className, 32);
    EXPECT_STREQ(className, L"MurkSetup");
    EXPECT_EQ(WindowText(s_window), L"MURK Recompiled Setup");
    const DWORD style = static_cast<DWORD>(GetWindowLongPtrW(s_window, GWL_STYLE));
    EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME),
              WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX);
    EXPECT_EQ(GetMenu(s_window), nullptr);
    EXPECT_EQ(ClientSize().cx, 640);
    EXPECT_EQ(ClientSize().cy, 422);

    RECT frame{};
    GetWindowRect(s_window, &frame);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    EXPECT_EQ(frame.left, (GetSystemMetrics(SM_CXSCREEN) - width) / 2);
    EXPECT_EQ(frame.top, (GetSystemMetrics(SM_CYSCREEN) - height) / 3);

    EXPECT_EQ(WindowOrigin(1920, 1080, 656, 461).y, 206);
    EXPECT_EQ(WindowOrigin(1920, 1080, 656, 461).x, 632);
    // A window larger than the screen goes above and left of it rather than wrapping around.
    EXPECT_EQ(WindowOrigin(600, 400, 656, 461).x, -28);
    EXPECT_EQ(WindowOrigin(600, 400, 656, 461).y, -20);
}

TEST_F(WindowTest, DetailsButtonGrowsAndShrinksTheWindowWithoutMovingIt) {
    Open();
    RECT before{};
    GetWindowRect(s_window, &before);
    Click(kDetailsButton);
    EXPECT_EQ(ClientSize().cx, 640);
    EXPECT_EQ(ClientSize().cy, 660);
    EXPECT_TRUE(Visible(kDetailsView));
    EXPECT_EQ(ItemText(kDetailsButton), L"Hide details");
    RECT grown{};
    GetWindowRect(s_window, &grown);
    EXPECT_EQ(grown.left, before.left);
    EXPECT_EQ(grown.top, before.top);

    Click(kDetailsButton);
    EXPECT_EQ(ClientSize().cy, 422);
    EXPECT_FALSE(Visible(kDetailsView));
    EXPECT_EQ(ItemText(kDetailsButton), L"Show details");
}

TEST_F(WindowTest, NotesAreGreyOnTheDialogFaceOthersKeepDefaultColours) {
    Open();
    HDC context = GetDC(s_window);
    SetTextColor(context, RGB(1, 2, 3));
    const LRESULT brush =
        SendMessageW(s_window, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(context),
                     reinterpret_cast<LPARAM>(Item(kSpaceNote)));
    EXPECT_EQ(brush, reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE)));
    EXPECT_EQ(GetTextColor(context), GetSysColor(COLOR_GRAYTEXT));
    EXPECT_EQ(GetBkMode(context), TRANSPARENT);

    SetTextColor(context, RGB(1, 2, 3));
    SendMessageW(s_window, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(context),
                 reinterpret_cast<LPARAM>(Item(kStatusLine)));
    EXPECT_NE(GetTextColor(context), GetSysColor(COLOR_GRAYTEXT));
    ReleaseDC(s_window, context);
}

TEST_F(WindowTest, DpiChangeLaysTheWindowOutAgainAndKeepsItsState) {
    Open();
    Click(kFolderOption);
    SetItemText(kSourceBox, L"D:\\MURK");
    Click(kDetailsButton);
    SetItemText(kDetailsView, L"== Checking the build tools\r\n");
    ShowWindow(Item(kPlayButton), SW_SHOW);
    SetBusy(true);
    // At 200 % the details make the window taller than the test's screen: they are hidden there.
    for (const auto& [dpi, details] :
         {std::pair{120u, true}, {144u, true}, {192u, false}, {96u, true}}) {
        if (details != s_showLog) Click(kDetailsButton);
        ChangeDpi(dpi);
        ExpectLaidOutFor(dpi, details);
        const RECT frame = Frame(), work = WorkArea();
        EXPECT_EQ(frame.left, 40);
        EXPECT_EQ(frame.top,
                  std::max(work.top, std::min(30L, work.bottom - frame.bottom + frame.top)));
        EXPECT_EQ(Visible(kDetailsView), details);
        EXPECT_EQ(ItemText(kDetailsView), L"== Checking the build tools\r\n");
        EXPECT_TRUE(Visible(kPlayButton));
        EXPECT_EQ(ItemText(kMainButton), L"Cancel");
        EXPECT_FALSE(Enabled(kSourceBox));
        EXPECT_EQ(ItemText(kSourceBox), L"D:\\MURK");
        EXPECT_TRUE(Checked(kFolderOption));
        EXPECT_FALSE(Enabled(kDeleteImageOption));
    }
    SetBusy(false);
}

TEST_F(WindowTest, AwayFrom96DpiAControlWidensForItsTextWithinTheMargin) {
    Open();
    const ControlRow& row = RowOf(kDeleteImageOption);
    const SIZE scaled{ScaleTo(144, row.width), ScaleTo(144, row.height)};
    std::wstring text = L"Delete";  // made just too long for the scaled table at 144 DPI
    while (TextShows(row, text, FontsFor(144).first.get(), scaled, 144))
        text += L" x";
    SetItemText(kDeleteImageOption, text);
    ChangeDpi(144);
    ExpectLaidOutFor(144, false);
    const RECT rect = ClientRectOf(Item(kDeleteImageOption));
    EXPECT_TRUE(TextShows(row, text, s_font.get(), {rect.right - rect.left, scaled.cy}, 144));
    ChangeDpi(96);
    EXPECT_EQ(ClientRectOf(Item(kDeleteImageOption)).right, row.x + row.width)
        << "the table holds at 96 DPI, cut or not";
}

TEST_F(WindowTest, DetailsAtTheWorkAreasBottomMoveTheWindowUpNeverAboveTheTop) {
    Open();
    const RECT work = WorkArea(), start = Frame();
    SetWindowPos(s_window, nullptr, start.left, work.bottom - start.bottom + start.top - 10, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    Click(kDetailsButton);
    const RECT grown = Frame();
    EXPECT_EQ(grown.bottom, work.bottom) << "up as far as needed";
    EXPECT_EQ(grown.left, start.left);
    Click(kDetailsButton);
    EXPECT_EQ(Frame().top, grown.top) << "hiding the details doesn't move it";
    // At 400 % the window is taller than the screen: its caption stays reachable.
    ChangeDpi(384, {0, work.top + 100, 100, 100});
    Click(kDetailsButton);
    EXPECT_GT(Frame().bottom - Frame().top, work.bottom - work.top);
    EXPECT_EQ(Frame().top, work.top);
}

// Runs in the Wine prefix whose message font is twice the standard one ("Make text bigger", 200 %).
class LargeTextWindowTest : public WindowTest {};

TEST_F(LargeTextWindowTest, LaysTheWindowOutTwiceAsLargeCutsNoTextAndFollowsAChange) {
    ASSERT_EQ(FontHeight(FontsFor(96).first.get()), -24) << "belongs in the 200 % text prefix";
    std::filesystem::create_directories(temp / L"murk-recomp" / L"game" / L"extracted");
    WriteBytes(temp / L"murk-recomp" / L"game" / L"extracted" / L"default.xex", "XEX2");
    Open(L"--update \"" + temp.path().native() + L"\"");  // the update's look, then a job's
    MSG queued;
    PeekMessageW(&queued, s_window, WM_COMMAND, WM_COMMAND, PM_REMOVE);  // no real update
    EXPECT_EQ(ClientSize().cx, 2 * 640);
    ExpectTextsWholeAndMnemonicsApart();
    SetBusy(true);
    ExpectTextsWholeAndMnemonicsApart();
    SetBusy(false);
    // 1320 pixels of client area don't fit the test's screen: the details view gives way.
    Click(kDetailsButton);
    ExpectTextsWholeAndMnemonicsApart();
    EXPECT_EQ(Frame().bottom - Frame().top, WorkArea().bottom - WorkArea().top);
    // Back to the standard size while it runs (set for this process only, not in the registry).
    NONCLIENTMETRICSW metrics{.cbSize = sizeof metrics};
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    metrics.lfMessageFont.lfHeight = -12;
    SystemParametersInfoW(SPI_SETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    SendMessageW(s_window, WM_SETTINGCHANGE, SPI_SETNONCLIENTMETRICS, 0);
    EXPECT_EQ(ClientSize().cx, 640);
}

// Runs in the Wine prefix whose screen has 144 DPI (150 %), as most laptops have.
class HighDpiWindowTest : public WindowTest {};

TEST_F(HighDpiWindowTest, OpensScaledForTheScreenWithLargerFontsAndNothingNewlyCut) {
    ASSERT_EQ(GetDpiForSystem(), 144u) << "belongs in the 144 DPI prefix (MURK_TEST_DPI=144)";
    Open();
    ExpectLaidOutFor(144, false);
    EXPECT_LT(FontHeight(s_font.get()), FontHeight(FontsFor(96).first.get()));
    MONITORINFO monitor{.cbSize = sizeof monitor};
    GetMonitorInfoW(MonitorFromWindow(s_window, MONITOR_DEFAULTTONEAREST), &monitor);
    const RECT& screen = monitor.rcMonitor;
    const RECT frame = Frame();
    EXPECT_EQ(frame.left, (screen.right - screen.left - frame.right + frame.left) / 2);
    EXPECT_EQ(frame.top, (screen.bottom - screen.top - frame.bottom + frame.top) / 3);

    Click(kDetailsButton);
    ExpectLaidOutFor(144, true);
    const RECT grown = Frame(), work = WorkArea();
    EXPECT_EQ(grown.top,
              std::max(work.top, std::min(frame.top, work.bottom - grown.bottom + grown.top)));
}

}  // namespace
}  // namespace murk::test
