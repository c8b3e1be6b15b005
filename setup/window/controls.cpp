#include "setup/window/window.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>

namespace murk::setup {

const ControlRow kControls[27] = {
    {L"STATIC", 0, L"", SS_ICON, 16, 12, 48, 48},
    {L"STATIC", 0, L"MURK Recompiled Setup", SS_LEFT, 76, 14, 540, 26},
    {L"STATIC", 0,
     L"Builds the game from your own copy of MURK. The build tools are downloaded if they aren't "
     L"installed; nothing from the game is downloaded.",
     SS_LEFT, 76, 40, 548, 32},
    {L"BUTTON", kSourceGroup, L"&Your copy of MURK", BS_GROUPBOX, 12, 78, 616, 96},
    {L"BUTTON", kImageOption, L"Disc i&mage (.iso)", BS_AUTORADIOBUTTON | WS_GROUP | WS_TABSTOP, 28,
     98, 150, 20},
    {L"BUTTON", kFolderOption, L"&Extracted disc folder", BS_AUTORADIOBUTTON, 190, 98, 190, 20},
    {L"STATIC", 0, L"Disc image or folder:", SS_LEFT | WS_GROUP, 28, 122, 488, 20, false},
    {L"EDIT", kSourceBox, L"", WS_BORDER | WS_GROUP | WS_TABSTOP | ES_AUTOHSCROLL, 28, 122, 488,
     23},
    {L"BUTTON", kSourceBrowse, L"Browse...", BS_PUSHBUTTON | WS_TABSTOP, 524, 121, 88, 25},
    {L"STATIC", kSourceNote, L"", SS_LEFT | SS_NOPREFIX, 28, 150, 588, 18},
    {L"BUTTON", 0, L"Install &folder", BS_GROUPBOX, 12, 182, 616, 74},
    {L"STATIC", 0, L"Install folder:", SS_LEFT, 28, 204, 488, 20, false},
    {L"EDIT", kFolderBox, nullptr, WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 28, 204, 488, 23},
    {L"BUTTON", kFolderBrowse, L"Browse...", BS_PUSHBUTTON | WS_TABSTOP, 524, 203, 88, 25},
    {L"STATIC", kSpaceNote, L"", SS_LEFT | SS_NOPREFIX, 28, 232, 588, 18},
    {L"BUTTON", 0, L"When it's done", BS_GROUPBOX, 12, 264, 616, 86},
    {L"BUTTON", kShortcutOption, L"Add a desktop &shortcut to the launcher",
     BS_AUTOCHECKBOX | WS_TABSTOP, 28, 284, 580, 20},
    {L"BUTTON", kFreeSpaceOption,
     L"F&ree up space: delete the build tools and leftovers (2-4 GB; the next update takes "
     L"longer)",
     BS_AUTOCHECKBOX | WS_TABSTOP, 28, 304, 590, 20},
    {L"BUTTON", kDeleteImageOption,
     L"De&lete the disc image once it's extracted (the game doesn't need it)",
     BS_AUTOCHECKBOX | WS_TABSTOP, 28, 324, 580, 20},
    {L"STATIC", kStatusLine, L"Ready.", SS_LEFTNOWORDWRAP | SS_ENDELLIPSIS | SS_NOPREFIX, 12, 364,
     410, 20},
    {L"BUTTON", kPlayButton, L"&Play", BS_PUSHBUTTON | WS_TABSTOP, 434, 359, 90, 28},
    {L"BUTTON", kMainButton, L"&Install", BS_DEFPUSHBUTTON | WS_TABSTOP, 530, 359, 98, 28},
    {L"STATIC", 0, L"Progress:", SS_LEFT, 12, 394, 504, 20, false},
    {PROGRESS_CLASSW, kProgressBar, L"", 0, 12, 394, 504, 16},
    {L"BUTTON", kDetailsButton, L"Show &details", BS_PUSHBUTTON | WS_TABSTOP, 524, 390, 104, 24},
    {L"STATIC", 0, L"Details:", SS_LEFT, 12, 422, 616, 20, false},
    {L"EDIT", kDetailsView, L"",
     WS_BORDER | WS_VSCROLL | WS_TABSTOP | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY, 12, 422,
     616, 228},
};

UINT s_dpi = USER_DEFAULT_SCREEN_DPI;

namespace {

// The message font's character height at 96 DPI that the table is drawn for: Segoe UI 9 pt.
constexpr int kStandardTextHeight = 12;
// The DPI the table is scaled to: the screen's, or more where the user made the text bigger
// than it comes at that DPI, so that every control grows with its text. Never less than the
// screen's, so that a smaller font than the standard one moves nothing.
int s_layoutDpi = USER_DEFAULT_SCREEN_DPI;

}  // namespace

int Scale(int value) {
    return MulDiv(value, s_layoutDpi, USER_DEFAULT_SCREEN_DPI);
}

RECT ScaledRect(const ControlRow& row) {
    return {Scale(row.x), Scale(row.y), Scale(row.x + row.width), Scale(row.y + row.height)};
}

const ControlRow& RowOf(int id) {
    return *std::find_if(std::begin(kControls), std::end(kControls),
                         [id](const ControlRow& row) { return row.id == id; });
}

namespace {

// The table keeps this much room between the controls and the client area's right edge.
constexpr int kRightMargin = 12;
// A control widened inside a group box stops this far inside the box's frame.
constexpr int kGroupInset = 6;
// A control widened towards a neighbour on its row stops this far before it.
constexpr int kNeighbourGap = 6;
// Room a push button's text needs besides itself: the frame and a little air on each side.
constexpr int kPushButtonPadding = 12;
// Between a check box's or option's glyph and its text.
constexpr int kGlyphGap = 4;

struct IconDeleter {
    void operator()(HICON icon) const noexcept { DestroyIcon(icon); }
};

// The image shown by the icon control, loaded at the window's DPI; it must outlive the control.
std::unique_ptr<std::remove_pointer_t<HICON>, IconDeleter> s_bigIcon;
// The controls of kControls, row by row.
HWND s_controls[std::size(kControls)] = {};

HWND CreateControl(HINSTANCE instance, const ControlRow& row, const wchar_t* text) {
    const RECT rect = ScaledRect(row);
    const DWORD style = WS_CHILD | (row.shown ? WS_VISIBLE : 0) | row.style;
    return CreateWindowExW(0, row.className, text, style, rect.left, rect.top,
                           rect.right - rect.left, rect.bottom - rect.top, s_window,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(row.id)), instance,
                           nullptr);
}

LOGFONTW MessageFont(UINT dpi) {
    NONCLIENTMETRICSW metrics{.cbSize = sizeof metrics};
    SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi);
    return metrics.lfMessageFont;
}

bool IsButton(const ControlRow& row) {
    return std::wstring_view(row.className) == L"BUTTON";
}

bool IsTextStatic(const ControlRow& row) {
    return std::wstring_view(row.className) == L"STATIC" && (row.style & SS_TYPEMASK) == SS_LEFT;
}

// A '&' shows as such in a text without mnemonics (a path in a note); elsewhere it underlines the
// next letter and takes no room.
UINT PrefixFormat(const ControlRow& row) {
    return std::wstring_view(row.className) == L"STATIC" && (row.style & SS_NOPREFIX) ? DT_NOPREFIX
                                                                                      : 0;
}

// Widening is for fixed texts that wrap or get cut; the status line ends its texts with an
// ellipsis by design, and a group box is only a frame around its controls.
bool Widens(const ControlRow& row) {
    if (IsTextStatic(row)) return true;
    if (!IsButton(row)) return false;
    return (row.style & BS_TYPEMASK) != BS_GROUPBOX;
}

bool Inside(const ControlRow& inner, const ControlRow& outer) {
    return inner.x >= outer.x && inner.y >= outer.y &&
           inner.x + inner.width <= outer.x + outer.width &&
           inner.y + inner.height <= outer.y + outer.height;
}

// How far right a widened control may reach: the client area's margin, the inside of the group
// box around it, and the next control on its row.
int RightLimit(const ControlRow& row) {
    int limit = Scale(kClientWidth - kRightMargin);
    for (const ControlRow& other : kControls) {
        if (&other == &row) continue;
        const bool group = IsButton(other) && (other.style & BS_TYPEMASK) == BS_GROUPBOX;
        if (group && Inside(row, other)) {
            limit = std::min(limit, Scale(other.x + other.width - kGroupInset));
            continue;
        }
        const bool sameRow = other.y < row.y + row.height && row.y < other.y + other.height;
        if (!group && sameRow && other.x >= row.x + row.width)
            limit = std::min(limit, Scale(other.x - kNeighbourGap));
    }
    return limit;
}

// Whether the control's text, in the control's font, fits a width and height.
bool TextFits(HWND control, const ControlRow& row, int width, int height) {
    const std::wstring text = ControlText(control);
    const WindowContext owner(control);
    HDC context = owner.get();
    const HGDIOBJ previous =
        SelectObject(context, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
    bool fits = false;
    if (IsTextStatic(row)) {
        RECT needed{0, 0, width, 0};
        DrawTextW(context, text.c_str(), static_cast<int>(text.size()), &needed,
                  DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS | PrefixFormat(row));
        fits = needed.right <= width && needed.bottom <= height;
    } else {
        RECT needed{};
        DrawTextW(context, text.c_str(), static_cast<int>(text.size()), &needed,
                  DT_CALCRECT | DT_SINGLELINE);
        const DWORD type = row.style & BS_TYPEMASK;
        const bool glyph = type == BS_AUTOCHECKBOX || type == BS_AUTORADIOBUTTON;
        const int padding = glyph ? GetSystemMetricsForDpi(SM_CXMENUCHECK, s_dpi) + Scale(kGlyphGap)
                                  : Scale(kPushButtonPadding);
        fits = needed.right + padding <= width;
    }
    SelectObject(context, previous);
    return fits;
}

// The table's width scaled, or more where the text in this DPI's font needs it and the limits
// leave room. The table itself holds at 96 DPI and the standard text size, where it was drawn.
int FittedWidth(HWND control, const ControlRow& row, const RECT& scaled) {
    const int width = scaled.right - scaled.left;
    const int height = scaled.bottom - scaled.top;
    if (s_layoutDpi == USER_DEFAULT_SCREEN_DPI || !Widens(row)) return width;
    const int widest = RightLimit(row) - scaled.left;
    if (widest <= width || TextFits(control, row, width, height)) return width;
    if (!TextFits(control, row, widest, height)) return widest;
    int tooNarrow = width, wideEnough = widest;
    while (wideEnough - tooNarrow > 1) {
        const int middle = tooNarrow + (wideEnough - tooNarrow) / 2;
        (TextFits(control, row, middle, height) ? wideEnough : tooNarrow) = middle;
    }
    return wideEnough;
}

// A multi-line edit takes every key, and turns Esc into a close of its parent, as in a dialog
// that Esc cancels. Here Esc is left to the window as in every other control: it asks before
// stopping a job and does nothing while idle.
LRESULT CALLBACK DetailsViewProc(HWND view, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                 DWORD_PTR) {
    const LRESULT result = DefSubclassProc(view, message, wParam, lParam);
    if (message != WM_GETDLGCODE || wParam != VK_ESCAPE) return result;
    return result & ~static_cast<LRESULT>(DLGC_WANTALLKEYS);
}

}  // namespace

void CreateFonts() {
    LOGFONTW font = MessageFont(s_dpi);
    // The height is normally a character height (negative); a cell height is taken as one too.
    const int textDpi =
        MulDiv(std::abs(font.lfHeight), USER_DEFAULT_SCREEN_DPI, kStandardTextHeight);
    s_layoutDpi = std::max(static_cast<int>(s_dpi), textDpi);
    s_font.reset(CreateFontIndirectW(&font));
    font.lfHeight = font.lfHeight * 3 / 2;
    font.lfWeight = FW_BOLD;
    s_titleFont.reset(CreateFontIndirectW(&font));
}

void ApplyFonts() {
    for (HWND control : s_controls)
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(s_font.get()), TRUE);
    SendMessageW(s_controls[1], WM_SETFONT, reinterpret_cast<WPARAM>(s_titleFont.get()), TRUE);
}

void ShowIcon() {
    const int size = Scale(48);
    const auto instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(s_window, GWLP_HINSTANCE));
    // Loaded at the size it is shown at, from the nearest of the icon's images.
    decltype(s_bigIcon) icon(static_cast<HICON>(
        LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON, size, size, LR_DEFAULTCOLOR)));
    SendMessageW(s_controls[0], STM_SETICON, reinterpret_cast<WPARAM>(icon.get()), 0);
    s_bigIcon = std::move(icon);
}

void PlaceControls() {
    for (size_t i = 0; i < std::size(kControls); ++i) {
        const RECT scaled = ScaledRect(kControls[i]);
        MoveWindow(s_controls[i], scaled.left, scaled.top,
                   FittedWidth(s_controls[i], kControls[i], scaled), scaled.bottom - scaled.top,
                   TRUE);
    }
}

void CreateControls(HINSTANCE instance, const std::wstring& installFolder) {
    for (size_t i = 0; i < std::size(kControls); ++i) {
        const ControlRow& row = kControls[i];
        s_controls[i] = CreateControl(instance, row, row.text ? row.text : installFolder.c_str());
    }
    ApplyFonts();
    ShowIcon();
    CheckDlgButton(s_window, kImageOption, BST_CHECKED);
    CheckDlgButton(s_window, kShortcutOption, BST_CHECKED);
    ShowWindow(GetDlgItem(s_window, kPlayButton), SW_HIDE);
    SendDlgItemMessageW(s_window, kDetailsView, EM_LIMITTEXT, 0, 0);
    SetWindowSubclass(GetDlgItem(s_window, kDetailsView), DetailsViewProc, 0, 0);
    MarkLiveRegion(GetDlgItem(s_window, kStatusLine));
}

}  // namespace murk::setup
