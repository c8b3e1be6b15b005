#include "setup/window/window.h"

#include <commctrl.h>

#include <algorithm>
#include <iterator>

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

UINT s_dpi = USER_DEFAULT_SCREEN_DPI;

int Scale(int value) {
    return MulDiv(value, static_cast<int>(s_dpi), USER_DEFAULT_SCREEN_DPI);
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

RECT ScaledRect(const ControlRow& row) {
    return {Scale(row.x), Scale(row.y), Scale(row.x + row.width), Scale(row.y + row.height)};
}

HWND CreateControl(HINSTANCE instance, const ControlRow& row, const wchar_t* text) {
    const RECT rect = ScaledRect(row);
    return CreateWindowExW(0, row.className, text, WS_CHILD | WS_VISIBLE | row.style, rect.left,
                           rect.top, rect.right - rect.left, rect.bottom - rect.top, s_window,
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
                  DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS);
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
// leave room. The table itself holds at 96 DPI, where it was drawn.
int FittedWidth(HWND control, const ControlRow& row, const RECT& scaled) {
    const int width = scaled.right - scaled.left;
    const int height = scaled.bottom - scaled.top;
    if (s_dpi == USER_DEFAULT_SCREEN_DPI || !Widens(row)) return width;
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

}  // namespace

void CreateFonts() {
    LOGFONTW font = MessageFont(s_dpi);
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
}

}  // namespace murk::setup
