#include "setup/window/window.h"

#include "setup/job/process.h"

#include <commctrl.h>
#include <shellapi.h>

namespace murk::setup {

UniqueFont s_font;
UniqueFont s_titleFont;
bool s_updateMode = false;

namespace {

namespace fs = std::filesystem;

constexpr wchar_t kUpdateOption[] = L"--update";

void RegisterWindowClass(HINSTANCE instance) {
    WNDCLASSEXW windowClass{.cbSize = sizeof windowClass,
                            .style = 0,
                            .lpfnWndProc = WndProc,
                            .hInstance = instance,
                            .hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1)),
                            .hCursor = LoadCursorW(nullptr, IDC_ARROW),
                            .hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1),
                            .lpszClassName = kWindowClass};
    RegisterClassExW(&windowClass);
}

fs::path ProgramFolder() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return fs::path(path).parent_path();
}

// On the monitor the window opened on, which is the primary one unless the system chose another.
void SizeAndPlaceWindow() {
    Layout();
    RECT frame{};
    GetWindowRect(s_window, &frame);
    MONITORINFO monitor{.cbSize = sizeof monitor};
    GetMonitorInfoW(MonitorFromWindow(s_window, MONITOR_DEFAULTTOPRIMARY), &monitor);
    const RECT& screen = monitor.rcMonitor;
    const POINT origin = WindowOrigin(screen.right - screen.left, screen.bottom - screen.top,
                                      frame.right - frame.left, frame.bottom - frame.top);
    SetWindowPos(s_window, nullptr, screen.left + origin.x, screen.top + origin.y, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    KeepInWorkArea();
}

// The game's files extracted into this folder: the window offers an update instead.
void ShowExistingInstallLook() {
    std::error_code error;
    const fs::path marker =
        fs::path(Text(kFolderBox)) / L"murk-recomp" / L"game" / L"extracted" / L"default.xex";
    if (!fs::exists(marker, error)) return;
    SetDlgItemTextW(s_window, kMainButton, L"&Update");
    SetDlgItemTextW(s_window, kStatusLine,
                    L"Already installed here: Update gets the latest version and rebuilds.");
    for (int id : {kImageOption, kFolderOption, kSourceBox, kSourceBrowse, kDeleteImageOption})
        EnableWindow(GetDlgItem(s_window, id), FALSE);
    SetDlgItemTextW(s_window, kSourceNote,
                    L"Not needed: the game's files are already in this install.");
    // The folder box would be the first control that takes the focus; an update needs no typing.
    FocusControl(GetDlgItem(s_window, kMainButton));
}

}  // namespace

void LoadDllsFromSystemFolderOnly() {
    // The DLLs that aren't the system's KnownDLLs are delay-loaded (see the build), so none of
    // them is looked for before this; the system DLLs' own loads follow it as well.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    SetDllDirectoryW(L"");
    // BCrypt is also a dependency of other system DLLs (crypt32, which WinHTTP loads), and not
    // every loader searches for those the way this process asks. Once the system's copy is in,
    // a search for it by name on anyone's behalf ends there. It stays loaded for the program's
    // life, as it would as an ordinary import.
    static const UniqueModule systemBcrypt(
        LoadLibraryExW(L"bcrypt.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
}

std::wstring UpdateFolder(const std::wstring& commandLine) {
    int count = 0;
    std::unique_ptr<LPWSTR, LocalFreer> arguments(CommandLineToArgvW(commandLine.c_str(), &count));
    std::wstring folder;
    if (!arguments) return folder;
    LPWSTR* argv = arguments.get();
    for (int i = 1; i + 1 < count; ++i) {
        if (std::wstring_view(argv[i]) == kUpdateOption) folder = argv[i + 1];
    }
    return folder;
}

std::wstring DefaultInstallFolder(const std::wstring& updateFolder, const fs::path& programFolder) {
    if (!updateFolder.empty()) return updateFolder;
    std::error_code error;
    // Setup copied into an existing install (next to its working copy) updates that install.
    if (fs::exists(programFolder / L"murk-recomp" / L".git", error)) return programFolder;
    wchar_t drive[8] = L"C:";
    GetEnvironmentVariableW(L"SystemDrive", drive, 8);
    return std::wstring(drive) + L"\\MURK-Recomp";
}

POINT WindowOrigin(int screenWidth, int screenHeight, int windowWidth, int windowHeight) {
    return {(screenWidth - windowWidth) / 2, (screenHeight - windowHeight) / 3};
}

void SetUpProcess(HINSTANCE instance) {
    INITCOMMONCONTROLSEX classes{.dwSize = sizeof classes,
                                 .dwICC = ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&classes);
    s_job = CreateKillOnCloseJob();
    RegisterWindowClass(instance);
}

HWND CreateMainWindow(HINSTANCE instance, const std::wstring& commandLine, int show) {
    const std::wstring updateFolder = UpdateFolder(commandLine);
    s_updateMode = !updateFolder.empty();
    s_window = CreateWindowExW(0, kWindowClass, kTitle, kWindowStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                               100, 100, nullptr, nullptr, instance, nullptr);
    // The fonts and every length follow the DPI of the monitor the window opened on.
    s_dpi = GetDpiForWindow(s_window);
    if (s_dpi == 0) s_dpi = USER_DEFAULT_SCREEN_DPI;
    CreateFonts();
    CreateControls(instance, DefaultInstallFolder(updateFolder, ProgramFolder()));
    UpdateSourceChoice();
    UpdateFreeSpace();
    SizeAndPlaceWindow();
    ShowExistingInstallLook();
    // Widening measures the texts the controls now show.
    PlaceControls();
    ShowWindow(s_window, show);
    if (s_updateMode) PostMessageW(s_window, WM_COMMAND, MAKEWPARAM(kMainButton, 0), 0);
    return s_window;
}

void RunMessageLoop() {
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (IsDialogMessageW(s_window, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

int RunSetup(HINSTANCE instance, int show) {
    bool jobLeftRunning = false;
    {
        ComApartment apartment;
        SetUpProcess(instance);
        CreateMainWindow(instance, GetCommandLineW(), show);
        RunMessageLoop();
        // The loop can end without a close (the session ending): a job still running must
        // stop before the program's state goes away under it. One that Windows' end of the
        // session didn't give time enough is ended with the process, which leaves at once:
        // neither a thread still to be joined nor the program's state going away may meet it.
        if (s_worker.joinable()) {
            StopJob();
            jobLeftRunning = !WaitForWorker(s_sessionEnding ? 0 : INFINITE);
        }
        ReleaseTaskbar();
        // Kills whatever child of a job might still run.
        s_job.reset();
    }
    if (jobLeftRunning) ExitProcess(0);
    return 0;
}

}  // namespace murk::setup
