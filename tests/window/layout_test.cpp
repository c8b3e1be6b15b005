#include "tests/window/window_fixture.h"

#include <commctrl.h>

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

TEST_F(WindowTest, FreshWindowHasTheTwentyThreeControlsInTabOrder) {
    Open();
    const std::wstring folder = ItemText(kFolderBox);
    const std::wstring spaceNote = ItemText(kSpaceNote);
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
         SS_LEFT,
         {28, 150, 616, 168},
         true,
         true},
        {L"Button", 0, L"Install folder", BS_GROUPBOX, {12, 182, 628, 256}, true, true},
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
        {L"Static", 117, spaceNote.c_str(), SS_LEFT, {28, 232, 616, 250}, true, true},
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
         L"Free up space: delete the build tools and leftovers (2-4 GB; the next update gets "
         L"them again and takes longer)",
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
         SS_LEFTNOWORDWRAP | SS_ENDELLIPSIS,
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
        {L"msctls_progress32", 106, L"", 0, {12, 394, 516, 410}, true, true},
        {L"Button",
         114,
         L"Show details",
         BS_PUSHBUTTON | WS_TABSTOP,
         {524, 390, 628, 414},
         true,
         true},
        {L"Edit",
         107,
         L"",
         WS_BORDER | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY,
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
        EXPECT_EQ(WindowText(control), want.text);
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
    EXPECT_EQ(control, nullptr) << "more than 23 controls";

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

}  // namespace
}  // namespace murk::test
