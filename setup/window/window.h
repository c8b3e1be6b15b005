#pragma once
// The setup window: start-up, the window procedure, and the actions behind its buttons.
// Everything here runs on the window thread.

#include "setup/job/channel.h"
#include "setup/job/handles.h"

#include <windows.h>
#include <commdlg.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

namespace murk::setup {

// Control identifiers; WndProc dispatches on them and tests find controls by them.
inline constexpr int kSourceBox = 100;
inline constexpr int kSourceBrowse = 101;
inline constexpr int kFolderBox = 102;
inline constexpr int kFolderBrowse = 103;
inline constexpr int kMainButton = 104;
inline constexpr int kStatusLine = 105;
inline constexpr int kProgressBar = 106;
inline constexpr int kDetailsView = 107;
inline constexpr int kShortcutOption = 108;
inline constexpr int kPlayButton = 109;
inline constexpr int kImageOption = 110;
inline constexpr int kFolderOption = 111;
inline constexpr int kFreeSpaceOption = 112;
inline constexpr int kDeleteImageOption = 113;
inline constexpr int kDetailsButton = 114;
inline constexpr int kSourceGroup = 115;
inline constexpr int kSourceNote = 116;
inline constexpr int kSpaceNote = 117;

inline constexpr wchar_t kWindowClass[] = L"MurkSetup";
inline constexpr DWORD kWindowStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
inline constexpr int kClientWidth = 640;
inline constexpr int kClientHeight = 422;
inline constexpr int kClientHeightWithLog = 660;

// One row of the window's control table.
struct ControlRow {
    const wchar_t* className;
    int id;  // 0: the control is never addressed
    const wchar_t* text;
    DWORD style;  // besides WS_CHILD (and WS_VISIBLE when shown)
    int x, y, width, height;
    // A label that only names the control after it for screen readers, where the window already
    // shows its words, is never shown.
    bool shown = true;
};

// The 27 controls in creation (and tab) order. The folder box's text is the install folder,
// known only at start-up.
extern const ControlRow kControls[27];

struct FontDeleter {
    void operator()(HFONT font) const noexcept { DeleteObject(font); }
};
using UniqueFont = std::unique_ptr<std::remove_pointer_t<HFONT>, FontDeleter>;

extern UniqueFont s_font;
extern UniqueFont s_titleFont;
// The DPI the window is laid out for: its monitor's, from creation and every WM_DPICHANGED.
extern UINT s_dpi;
extern std::thread s_worker;
extern bool s_showLog;
extern bool s_updateMode;
extern std::atomic<bool> s_busy;

// Seams for the answers a test cannot give to a real dialog in time. The product shows the
// system's folder picker (owned by the window) and the standard open-file dialog.
using FolderPickerCall = std::wstring (*)(HWND owner);
using OpenFileCall = BOOL(WINAPI*)(OPENFILENAMEW* request);
extern FolderPickerCall s_folderPicker;
extern OpenFileCall s_openFile;
// How the job's thread is made; a test makes it fail the way an exhausted system would.
using ThreadStarter = std::thread (*)(std::function<void()> body);
extern ThreadStarter s_startThread;

// A length of the control table (drawn for 96 DPI and the standard 9-point message font) at
// s_dpi and the user's text size.
int Scale(int value);
// A row's place in client pixels at s_dpi and the user's text size.
RECT ScaledRect(const ControlRow& row);
const ControlRow& RowOf(int id);
// s_font and s_titleFont for s_dpi and the user's text size, which the layout follows.
void CreateFonts();
// Creates the controls of kControls on s_window with their fonts and initial states.
void CreateControls(HINSTANCE instance, const std::wstring& installFolder);
// Gives every control its font again, and the icon control an icon of its size at s_dpi.
void ApplyFonts();
void ShowIcon();
// Puts every control where the table scaled to s_dpi says; at other DPIs than 96 a control
// whose text doesn't fit in that DPI's font is widened as far as its group box, its row and the
// client area allow.
void PlaceControls();

// --- Start-up (entry.cpp) ---
// The first thing every entry point does: DLLs are loaded from the system folder only, never
// from this exe's folder (often Downloads) or the current one.
void LoadDllsFromSystemFolderOnly();
// The whole program: set up, window, message loop, clean up. Returns 0.
int RunSetup(HINSTANCE instance, int show);
// COM, common controls, the job object and the window class.
void SetUpProcess(HINSTANCE instance);
// Builds the window for a command line (as GetCommandLineW gives it) and shows it; posts the
// main button's command in update mode. Returns s_window.
HWND CreateMainWindow(HINSTANCE instance, const std::wstring& commandLine, int show);
void RunMessageLoop();
// The folder after the last "--update" that has a following argument; empty when none.
std::wstring UpdateFolder(const std::wstring& commandLine);
std::wstring DefaultInstallFolder(const std::wstring& updateFolder,
                                  const std::filesystem::path& programFolder);
// Top-left corner of a window centred horizontally with a third of the spare height above.
POINT WindowOrigin(int screenWidth, int screenHeight, int windowWidth, int windowHeight);

// --- The window procedure and its helpers (window_proc.cpp) ---
LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void Layout();
// Keeps the window inside its monitor's work area from top to bottom: moved up where it runs
// past the area's bottom, but never above the area's top.
void KeepInWorkArea();
std::wstring Text(int id);
std::wstring ControlText(HWND control);
// The control gets the focus now if the window is active, or when it is next activated.
void FocusControl(HWND control);
// Sets the status line; screen readers are told when it names another step, not when only its
// numbers change.
void SetStatus(const std::wstring& text);
void UpdateSourceChoice();
void UpdateFreeSpace();
void SetBusy(bool busy);
void SetProgress(int value);
// Space note text for a free byte count, e.g. "1.5 GB free on that drive; ...".
std::wstring FreeSpaceNote(std::uint64_t freeBytes);

// --- Actions (actions.cpp) ---
void BrowseSource();
void BrowseDir();
std::wstring PickFolder();
void StartOrCancel();
void Play();
// Sets s_cancel, then kills every child process of the running job.
void StopJob();
// Blocks until the job's thread has ended, still serving what other threads send to this one.
// False when it still runs after the limit (and is then still to be joined).
bool WaitForWorker(DWORD limitMilliseconds = INFINITE);

// --- For screen readers (live_region.cpp) ---
// Makes a control a polite live region: screen readers read its changes without the focus on it.
void MarkLiveRegion(HWND control);
void UnmarkLiveRegion();
// Tells screen readers that the live region's text changed.
void AnnounceLiveRegion();

// --- The taskbar button (taskbar.cpp); silently does nothing where unsupported ---
void TaskbarButtonCreated();
void TaskbarProgress(int value);  // negative: indeterminate
void TaskbarIdle();
void FlashIfInBackground();
void ReleaseTaskbar();
UINT TaskbarCreatedMessage();

}  // namespace murk::setup
