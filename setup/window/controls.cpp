#include "setup/window/window.h"

#include <commctrl.h>

namespace murk::setup {

const ControlRow kControls[23] = {
    {L"STATIC", 0, L"", SS_ICON, 16, 12, 48, 48},
    {L"STATIC", 0, L"MURK Recompiled Setup", SS_LEFT, 76, 14, 540, 26},
    {L"STATIC", 0,
     L"Builds the game from your own copy of MURK. The build tools are downloaded if they aren't "
     L"installed; nothing from the game is downloaded.",
     SS_LEFT, 76, 40, 548, 32},
    {L"BUTTON", kSourceGroup, L"Your copy of MURK", BS_GROUPBOX, 12, 78, 616, 96},
    {L"BUTTON", kImageOption, L"Disc image (.iso)", BS_AUTORADIOBUTTON | WS_GROUP | WS_TABSTOP, 28,
     98, 150, 20},
    {L"BUTTON", kFolderOption, L"Extracted disc folder", BS_AUTORADIOBUTTON, 190, 98, 190, 20},
    {L"EDIT", kSourceBox, L"", WS_BORDER | WS_GROUP | WS_TABSTOP | ES_AUTOHSCROLL, 28, 122, 488,
     23},
    {L"BUTTON", kSourceBrowse, L"Browse...", BS_PUSHBUTTON | WS_TABSTOP, 524, 121, 88, 25},
    {L"STATIC", kSourceNote, L"", SS_LEFT, 28, 150, 588, 18},
    {L"BUTTON", 0, L"Install folder", BS_GROUPBOX, 12, 182, 616, 74},
    {L"EDIT", kFolderBox, nullptr, WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 28, 204, 488, 23},
    {L"BUTTON", kFolderBrowse, L"Browse...", BS_PUSHBUTTON | WS_TABSTOP, 524, 203, 88, 25},
    {L"STATIC", kSpaceNote, L"", SS_LEFT, 28, 232, 588, 18},
    {L"BUTTON", 0, L"When it's done", BS_GROUPBOX, 12, 264, 616, 86},
    {L"BUTTON", kShortcutOption, L"Add a desktop shortcut to the launcher",
     BS_AUTOCHECKBOX | WS_TABSTOP, 28, 284, 580, 20},
    {L"BUTTON", kFreeSpaceOption,
     L"Free up space: delete the build tools and leftovers (2-4 GB; the next update gets them "
     L"again and takes longer)",
     BS_AUTOCHECKBOX | WS_TABSTOP, 28, 304, 590, 20},
    {L"BUTTON", kDeleteImageOption,
     L"Delete the disc image once it's extracted (the game doesn't need it)",
     BS_AUTOCHECKBOX | WS_TABSTOP, 28, 324, 580, 20},
    {L"STATIC", kStatusLine, L"Ready.", SS_LEFTNOWORDWRAP | SS_ENDELLIPSIS, 12, 364, 410, 20},
    {L"BUTTON", kPlayButton, L"Play", BS_PUSHBUTTON | WS_TABSTOP, 434, 359, 90, 28},
    {L"BUTTON", kMainButton, L"Install", BS_DEFPUSHBUTTON | WS_TABSTOP, 530, 359, 98, 28},
    {PROGRESS_CLASSW, kProgressBar, L"", 0, 12, 394, 504, 16},
    {L"BUTTON", kDetailsButton, L"Show details", BS_PUSHBUTTON | WS_TABSTOP, 524, 390, 104, 24},
    {L"EDIT", kDetailsView, L"",
     WS_BORDER | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY, 12, 422, 616, 228},
};

namespace {

struct IconDeleter {
    void operator()(HICON icon) const noexcept { DestroyIcon(icon); }
};

// The 48 px image shown by the icon control; it must outlive the control.
std::unique_ptr<std::remove_pointer_t<HICON>, IconDeleter> s_bigIcon;

HWND CreateControl(HINSTANCE instance, const ControlRow& row, const wchar_t* text) {
    HWND control =
        CreateWindowExW(0, row.className, text, WS_CHILD | WS_VISIBLE | row.style, row.x, row.y,
                        row.width, row.height, s_window,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(row.id)), instance, nullptr);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(s_font.get()), TRUE);
    return control;
}

}  // namespace

void CreateControls(HINSTANCE instance, const std::wstring& installFolder) {
    for (const ControlRow& row : kControls) {
        HWND control = CreateControl(instance, row, row.text ? row.text : installFolder.c_str());
        if (&row == &kControls[0]) {
            s_bigIcon.reset(static_cast<HICON>(
                LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON, 48, 48, LR_DEFAULTCOLOR)));
            SendMessageW(control, STM_SETICON, reinterpret_cast<WPARAM>(s_bigIcon.get()), 0);
        } else if (&row == &kControls[1]) {
            SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(s_titleFont.get()), TRUE);
        }
    }
    CheckDlgButton(s_window, kImageOption, BST_CHECKED);
    CheckDlgButton(s_window, kShortcutOption, BST_CHECKED);
    ShowWindow(GetDlgItem(s_window, kPlayButton), SW_HIDE);
    SendDlgItemMessageW(s_window, kDetailsView, EM_LIMITTEXT, 0, 0);
}

}  // namespace murk::setup
