#include "setup/window/window.h"

#include "setup/job/process.h"
#include "setup/job/system.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdio>

namespace murk::setup {

bool s_showLog = false;
std::atomic<bool> s_busy{false};

namespace {

namespace fs = std::filesystem;

constexpr UINT kMarqueeMilliseconds = 30;
constexpr wchar_t kShutdownReason[] = L"Building the game. Shutting down stops the build.";
// Windows gives a program about 5 s after WM_ENDSESSION; the job gets most of it to end.
constexpr DWORD kEndSessionWaitMilliseconds = 3000;
constexpr std::uint64_t kGiB = 1ull << 30;
constexpr std::uint64_t kMiB = 1ull << 20;

// The job's lines, status and progress are taken by a timer: while it runs the job's slots
// stay filled, nothing is posted, and the queue empties, so the user's input and painting come
// through even when a build prints without pause (posted messages always go before them). The
// wait is as long as the last take took, so a window far behind spends half its time on other
// things than the details view.
constexpr UINT_PTR kTakeTimer = 1;
constexpr UINT kShortestTakeWait = 10;
constexpr UINT kLongestTakeWait = 500;
UINT s_takeWait = kShortestTakeWait;

// The details view keeps at least this much of its height (in table pixels) when the window
// would be taller than the work area.
constexpr int kShortestDetails = 60;

// The control that had the focus when the window was last deactivated, or that is to have it
// when the window is next activated.
HWND s_focus = nullptr;

constexpr wchar_t kStopQuestion[] = L"Setup is still running. Stop it?";
constexpr wchar_t kFolderNote[] =
    L"The folder with default.xex, lu0, media, streams0... (from extract-xiso, Xenia, etc.). "
    L"It's copied.";
constexpr wchar_t kImageNote[] =
    L"A dump of your own disc (Redump's \"MURK (USA, Europe)\" and others).";

HWND Control(int id) {
    return GetDlgItem(s_window, id);
}

bool FolderOptionChosen() {
    return IsDlgButtonChecked(s_window, kFolderOption) == BST_CHECKED;
}

bool IsControl(HWND window) {
    return window && IsChild(s_window, window);
}

// As the dialog manager gives the focus on a Tab: an edit's text is selected.
void FocusAndSelect(HWND control) {
    if (!control) return;
    if (SendMessageW(control, WM_GETDLGCODE, 0, 0) & DLGC_HASSETSEL)
        SendMessageW(control, EM_SETSEL, 0, -1);
    FocusControl(control);
}

// Play after a success, else the main button.
int DefaultButton() {
    return IsWindowVisible(Control(kPlayButton)) ? kPlayButton : kMainButton;
}

// The default button looks it, and the other one doesn't.
void MarkDefaultButton() {
    const int id = DefaultButton();
    for (int button : {kPlayButton, kMainButton})
        SendMessageW(Control(button), BM_SETSTYLE, button == id ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON,
                     TRUE);
}

// What Enter presses: a focused push button, as in a dialog, else the default button; while a
// job runs none, so that Enter in the details view can't stop it (Esc asks first).
LRESULT OnGetDefId() {
    HWND focus = GetFocus();
    const bool onButton = IsControl(focus) && (SendMessageW(focus, WM_GETDLGCODE, 0, 0) &
                                               (DLGC_DEFPUSHBUTTON | DLGC_UNDEFPUSHBUTTON)) != 0;
    if (onButton) return MAKELRESULT(GetDlgCtrlID(focus), DC_HASDEFID);
    return s_busy ? 0 : MAKELRESULT(DefaultButton(), DC_HASDEFID);
}

// A multi-line edit hands Tab and Enter to its parent this way, and a mnemonic of a label or
// group box moves on from it: wParam is the control (lParam non-zero), or backwards or not.
void OnNextDlgCtl(WPARAM wParam, LPARAM lParam) {
    if (LOWORD(lParam)) {
        FocusAndSelect(reinterpret_cast<HWND>(wParam));
        return;
    }
    HWND focus = GetFocus();
    FocusAndSelect(GetNextDlgTabItem(s_window, IsControl(focus) ? focus : nullptr, wParam != 0));
}

// A message box, another program or a minimised window takes the focus away; it comes back to
// the same control, or to the first one of the tab order that can take it.
void OnActivate(WORD state, bool minimised) {
    if (state == WA_INACTIVE) {
        HWND focus = GetFocus();
        if (IsControl(focus)) s_focus = focus;
        return;
    }
    if (minimised) return;
    HWND control = s_focus;
    if (!IsControl(control) || !IsWindowEnabled(control) || !IsWindowVisible(control))
        control = GetNextDlgTabItem(s_window, nullptr, FALSE);
    SetFocus(control ? control : s_window);
}

// Esc: the same question as closing the window while a job runs; Yes cancels the job as the
// Cancel button does, and the window stays. While idle there is nothing to cancel.
void OnEscape() {
    if (!s_busy) return;
    if (Ask(kStopQuestion, MB_YESNO | MB_ICONQUESTION) != IDYES) return;
    // The job may have ended while the question was up: then nothing is started instead.
    if (s_busy) StartOrCancel();
}

// False for the identifiers that only the default handling cares about.
bool OnCommand(int id, int code) {
    switch (id) {
        case kSourceBrowse:
            BrowseSource();
            return true;
        case kFolderBox:
            if (code == EN_KILLFOCUS) UpdateFreeSpace();
            return true;
        case kFolderBrowse:
            BrowseDir();
            UpdateFreeSpace();
            return true;
        case kMainButton:
            StartOrCancel();
            return true;
        case kPlayButton:
            Play();
            return true;
        case kImageOption:
        case kFolderOption:
            SetDlgItemTextW(s_window, kSourceBox, L"");
            UpdateSourceChoice();
            return true;
        case kDetailsButton:
            s_showLog = !s_showLog;
            Layout();
            return true;
        case IDCANCEL:
            OnEscape();
            return true;
        default:
            return false;
    }
}

// The window's size for its client area at s_dpi and the text size, with or without the details
// view (less what it gives up). The frame is the system's, drawn for the DPI the system gives the
// window.
SIZE WindowSize(int detailsGivenUp) {
    const int height =
        s_showLog ? Scale(kClientHeightWithLog) - detailsGivenUp : Scale(kClientHeight);
    RECT frame{0, 0, Scale(kClientWidth), height};
    AdjustWindowRectExForDpi(&frame, kWindowStyle, FALSE, 0, GetDpiForWindow(s_window));
    return {frame.right - frame.left, frame.bottom - frame.top};
}

// The work area of the window's monitor; empty when it can't be read.
RECT WorkArea() {
    MONITORINFO monitor{.cbSize = sizeof monitor};
    if (!GetMonitorInfoW(MonitorFromWindow(s_window, MONITOR_DEFAULTTONEAREST), &monitor))
        return {};
    return monitor.rcWork;
}

// How much of its height the details view gives up so that the window fits its work area, as far
// as the view can give.
int DetailsGivenUp() {
    const RECT work = WorkArea();
    if (!s_showLog || IsRectEmpty(&work)) return 0;
    const LONG excess = WindowSize(0).cy - (work.bottom - work.top);
    const RECT view = ScaledRect(RowOf(kDetailsView));
    return static_cast<int>(
        std::clamp<LONG>(excess, 0, view.bottom - view.top - Scale(kShortestDetails)));
}

// New fonts for the DPI and the text size, and everything laid out for them. Nothing else about
// the window's state changes.
void LayOutAgain() {
    // The old fonts go only once no control uses them any more.
    const UniqueFont oldFont = std::move(s_font);
    const UniqueFont oldTitleFont = std::move(s_titleFont);
    CreateFonts();
    ApplyFonts();
    ShowIcon();
    PlaceControls();
    Layout();
}

// The window went to a monitor of another DPI (or that monitor's scaling changed): laid out for
// that DPI, at the place the system suggests; the size is this program's own (Layout).
void OnDpiChanged(WPARAM dpi, const RECT& suggested) {
    s_dpi = LOWORD(dpi);
    SetWindowPos(s_window, nullptr, suggested.left, suggested.top, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    LayOutAgain();
}

// The user made the text bigger or smaller (the message font is one of the metrics).
void OnSettingChange(WPARAM what) {
    if (what == SPI_SETNONCLIENTMETRICS) LayOutAgain();
}

// In a high-contrast theme grey means disabled: the notes then keep the theme's text colour.
bool HighContrast() {
    HIGHCONTRASTW contrast{.cbSize = sizeof contrast};
    return SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof contrast, &contrast, 0) &&
           (contrast.dwFlags & HCF_HIGHCONTRASTON);
}

LRESULT OnCtlColorStatic(HDC context) {
    SetTextColor(context, GetSysColor(COLOR_GRAYTEXT));
    SetBkMode(context, TRANSPARENT);
    return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
}

void OnClose() {
    if (s_busy && Ask(kStopQuestion, MB_YESNO | MB_ICONQUESTION) != IDYES) return;
    const bool stopping = s_busy;
    StopJob();
    // A step stuck in a network wait may take a while to notice the cancel: rather than a
    // window that no longer repaints, the user sees it close at once.
    if (stopping) ShowWindow(s_window, SW_HIDE);
    WaitForWorker();
    DestroyWindow(s_window);
}

void OnDestroy() {
    UnmarkLiveRegion();
    s_focus = nullptr;
    PostQuitMessage(0);
}

// A shutdown or sign-out waits for the user's word while a job runs, never for an idle Setup.
LRESULT OnQueryEndSession() {
    return s_busy ? FALSE : TRUE;
}

// Windows is ending the session anyway (the user chose to, a forced sign-out, an update's
// restart): the job stops as after a close answered Yes, without a question or a box, and the
// program ends. What the job did stays for the next run, as after a cancel.
void OnEndSession(bool ending) {
    if (!ending || !s_busy) return;
    s_sessionEnding.exchange(true);
    StopJob();
    ShowWindow(s_window, SW_HIDE);
    WaitForWorker(kEndSessionWaitMilliseconds);
    DestroyWindow(s_window);
}

void ReplaceSelection(HWND view, WPARAM start, LPARAM end, const wchar_t* text) {
    SendMessageW(view, EM_SETSEL, start, end);
    SendMessageW(view, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text));
}

// Past kLogKept characters the oldest text goes, down to kLogTrimmedTo (possibly in the middle
// of a line); when nothing shown would stay, the last lines taken replace it all.
void ShowLines(HWND view, const PendingLog& pending) {
    const std::wstring& text = pending.text;
    const size_t length = static_cast<size_t>(GetWindowTextLengthW(view));
    const size_t total = length + text.size();
    const size_t excess = total > kLogTrimmedTo ? total - kLogTrimmedTo : 0;
    if (pending.replace || (total > kLogKept && excess >= length)) {
        ReplaceSelection(view, 0, -1, text.c_str() + StartOfLastLines(text, kLogTrimmedTo));
        return;
    }
    if (total > kLogKept) ReplaceSelection(view, 0, static_cast<LPARAM>(excess), L"");
    const WPARAM end = static_cast<WPARAM>(GetWindowTextLengthW(view));
    ReplaceSelection(view, end, static_cast<LPARAM>(end), text.c_str());
}

// Takes every line logged since the last take and adds them at once: the view's cost is per
// batch, not per line.
void ShowPendingLines() {
    const PendingLog pending = TakeLog();
    if (pending.text.empty()) return;
    HWND view = Control(kDetailsView);
    // A shown view would redraw itself at every change; it is drawn once, after them.
    const bool shown = IsWindowVisible(view);
    if (shown) SendMessageW(view, WM_SETREDRAW, FALSE, 0);
    ShowLines(view, pending);
    if (!shown) return;
    SendMessageW(view, WM_SETREDRAW, TRUE, 0);
    RedrawWindow(view, nullptr, nullptr, RDW_ERASE | RDW_FRAME | RDW_INVALIDATE);
}

void ShowPendingStatus() {
    if (const auto text = TakeStatus()) SetStatus(*text);
}

void ShowPendingProgress() {
    if (const auto value = TakeProgress()) SetProgress(*value);
}

void ShowJobReports() {
    ShowPendingLines();
    ShowPendingStatus();
    ShowPendingProgress();
}

// A job's line, status or progress is waiting in its slot.
void OnJobReport() {
    SetTimer(s_window, kTakeTimer, s_takeWait, nullptr);
}

void OnTakeTimer() {
    KillTimer(s_window, kTakeTimer);
    const ULONGLONG start = GetTickCount64();
    ShowJobReports();
    const ULONGLONG took = GetTickCount64() - start;
    s_takeWait =
        static_cast<UINT>(std::clamp<ULONGLONG>(took, kShortestTakeWait, kLongestTakeWait));
}

void OnDoneMessage(bool success, LPARAM payload) {
    const auto finalMessage = TakePayload(payload);
    // Whatever the job reported last is shown before its end, at once: the final line is
    // then the view's last when the box appears.
    KillTimer(s_window, kTakeTimer);
    ShowJobReports();
    s_takeWait = kShortestTakeWait;
    SetDlgItemTextW(s_window, kStatusLine, finalMessage->c_str());
    AnnounceLiveRegion();
    SetBusy(false);
    SetProgress(success ? 100 : 0);
    FlashIfInBackground();
    // The box below gives the focus back to where the player goes next.
    FocusControl(Control(success ? kPlayButton : kMainButton));
    if (success) {
        SetDlgItemTextW(s_window, kMainButton, L"&Update");
        ShowWindow(Control(kPlayButton), SW_SHOW);
        MarkDefaultButton();
        if (s_updateMode) {
            Play();
            return;
        }
        Ask(*finalMessage, MB_OK | MB_ICONINFORMATION);
        return;
    }
    // The log tells what went wrong: open it before the warning hides the window's state.
    if (!s_showLog) {
        s_showLog = true;
        Layout();
    }
    Ask(*finalMessage, MB_OK | MB_ICONWARNING);
}

}  // namespace

LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND:
            if (!OnCommand(LOWORD(wParam), HIWORD(wParam))) break;
            return 0;
        case WM_CTLCOLORSTATIC: {
            HWND control = reinterpret_cast<HWND>(lParam);
            if (control != Control(kSourceNote) && control != Control(kSpaceNote)) break;
            if (HighContrast()) break;
            return OnCtlColorStatic(reinterpret_cast<HDC>(wParam));
        }
        case DM_GETDEFID:
            return OnGetDefId();
        case WM_NEXTDLGCTL:
            OnNextDlgCtl(wParam, lParam);
            return 0;
        case WM_ACTIVATE:
            OnActivate(LOWORD(wParam), HIWORD(wParam) != 0);
            return 0;
        case WM_SETTINGCHANGE:
            OnSettingChange(wParam);
            return 0;
        case WM_CLOSE:
            OnClose();
            return 0;
        case WM_DESTROY:
            OnDestroy();
            return 0;
        case WM_QUERYENDSESSION:
            return OnQueryEndSession();
        case WM_ENDSESSION:
            OnEndSession(wParam != FALSE);
            return 0;
        case WM_DPICHANGED:
            OnDpiChanged(wParam, *reinterpret_cast<const RECT*>(lParam));
            return 0;
        case kLogMessage:
        case kStatusMessage:
        case kProgressMessage:
            OnJobReport();
            return 0;
        case WM_TIMER:
            if (wParam != kTakeTimer) break;
            OnTakeTimer();
            return 0;
        case kDoneMessage:
            OnDoneMessage(wParam != 0, lParam);
            return 0;
        default:
            if (message == TaskbarCreatedMessage()) {
                TaskbarButtonCreated();
                return 0;
            }
            break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void Layout() {
    const int givenUp = DetailsGivenUp();
    const RECT view = ScaledRect(RowOf(kDetailsView));
    SetWindowPos(Control(kDetailsView), nullptr, 0, 0, view.right - view.left,
                 view.bottom - view.top - givenUp, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    const SIZE size = WindowSize(givenUp);
    SetWindowPos(s_window, nullptr, 0, 0, size.cx, size.cy,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    KeepInWorkArea();
    ShowWindow(Control(kDetailsView), s_showLog ? SW_SHOW : SW_HIDE);
    SetDlgItemTextW(s_window, kDetailsButton, s_showLog ? L"Hide &details" : L"Show &details");
}

void KeepInWorkArea() {
    // A minimised window's rectangle is its caption bar's parking place, not where it opens.
    if (IsIconic(s_window)) return;
    RECT frame{};
    GetWindowRect(s_window, &frame);
    const RECT work = WorkArea();
    if (IsRectEmpty(&work)) return;
    // Up as far as the bottom needs, but the caption stays reachable below the area's top.
    const LONG top =
        std::max(work.top, std::min(frame.top, work.bottom - (frame.bottom - frame.top)));
    if (top == frame.top) return;
    SetWindowPos(s_window, nullptr, frame.left, top, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

std::wstring Text(int id) {
    return ControlText(Control(id));
}

std::wstring ControlText(HWND control) {
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
    const int copied = GetWindowTextW(control, text.data(), static_cast<int>(text.size()));
    text.resize(static_cast<size_t>(copied > 0 ? copied : 0));
    return text;
}

void FocusControl(HWND control) {
    s_focus = control;
    if (GetActiveWindow() == s_window) SetFocus(control);
}

void SetStatus(const std::wstring& text) {
    const auto words = [](std::wstring status) {
        std::erase_if(status, [](wchar_t c) { return c >= L'0' && c <= L'9'; });
        return status;
    };
    const bool newStep = words(Text(kStatusLine)) != words(text);
    SetDlgItemTextW(s_window, kStatusLine, text.c_str());
    if (newStep) AnnounceLiveRegion();
}

void UpdateSourceChoice() {
    const bool folder = FolderOptionChosen();
    SetDlgItemTextW(s_window, kSourceNote, folder ? kFolderNote : kImageNote);
    if (folder) {
        EnableWindow(Control(kDeleteImageOption), FALSE);
        CheckDlgButton(s_window, kDeleteImageOption, BST_UNCHECKED);
        return;
    }
    EnableWindow(Control(kDeleteImageOption), !s_busy);
}

std::wstring FreeSpaceNote(std::uint64_t freeBytes) {
    wchar_t amount[32];
    if (freeBytes >= kGiB)
        swprintf(amount, 32, L"%.1f GB", static_cast<double>(freeBytes) / kGiB);
    else
        swprintf(amount, 32, L"%.0f MB", static_cast<double>(freeBytes) / kMiB);
    return std::wstring(amount) +
           L" free on that drive; about 14 GB is needed (6 GB once the disc is extracted).";
}

void UpdateFreeSpace() {
    fs::path path = Text(kFolderBox);
    // A folder that doesn't exist yet will be made on the drive of its nearest existing parent.
    while (!path.empty()) {
        std::error_code error;
        const fs::file_status status = fs::status(path, error);
        if (!error && fs::exists(status)) break;
        const fs::path parent = path.parent_path();
        if (parent == path) break;
        path = parent;
    }
    const auto freeBytes = path.empty() ? std::nullopt : FreeBytes(path);
    const std::wstring note = freeBytes ? FreeSpaceNote(*freeBytes) : std::wstring();
    SetDlgItemTextW(s_window, kSpaceNote, note.c_str());
}

void SetBusy(bool busy) {
    s_busy.store(busy);
    for (int id : {kSourceBox, kSourceBrowse, kFolderBox, kFolderBrowse, kShortcutOption,
                   kImageOption, kFolderOption, kFreeSpaceOption})
        EnableWindow(Control(id), !busy);
    EnableWindow(Control(kDeleteImageOption), !busy && !FolderOptionChosen());
    SetDlgItemTextW(s_window, kMainButton, busy ? L"&Cancel" : L"&Install");
    MarkDefaultButton();
    // A control that was disabled with the focus (Enter in the folder box) leaves it nowhere.
    if (busy && GetActiveWindow() == s_window && !GetFocus()) FocusControl(Control(kMainButton));
    // Windows shows the reason to a user who shuts down meanwhile. Where it isn't supported
    // (Wine) only the text is missing; the answer to WM_QUERYENDSESSION still holds it up.
    if (busy) {
        ShutdownBlockReasonCreate(s_window, kShutdownReason);
        return;
    }
    ShutdownBlockReasonDestroy(s_window);
    TaskbarIdle();
}

void SetProgress(int value) {
    HWND bar = Control(kProgressBar);
    const LONG_PTR style = GetWindowLongPtrW(bar, GWL_STYLE);
    if (s_busy) TaskbarProgress(value);
    if (value < 0) {
        if (style & PBS_MARQUEE) return;
        SetWindowLongPtrW(bar, GWL_STYLE, style | PBS_MARQUEE);
        SendMessageW(bar, PBM_SETMARQUEE, TRUE, kMarqueeMilliseconds);
        return;
    }
    if (style & PBS_MARQUEE) {
        SendMessageW(bar, PBM_SETMARQUEE, FALSE, 0);
        SetWindowLongPtrW(bar, GWL_STYLE, style & ~static_cast<LONG_PTR>(PBS_MARQUEE));
    }
    SendMessageW(bar, PBM_SETPOS, value < 100 ? value : 100, 0);
}

}  // namespace murk::setup
