#include "setup/window/window.h"

#include "setup/install/install_folder.h"
#include "setup/install/install.h"
#include "setup/job/process.h"
#include "setup/job/system.h"

#include <shobjidl.h>

#include <algorithm>
#include <system_error>

namespace murk::setup {

std::thread s_worker;

namespace {

namespace fs = std::filesystem;

constexpr wchar_t kInstallLeaf[] = L"MURK-Recomp";
// Two entries, each a name and a pattern, ended by an empty pair.
constexpr wchar_t kImageFilter[] = L"Disc images (*.iso)\0*.iso\0All files\0*.*\0";
constexpr DWORD kFileNameSize = 260;
// While the window waits for a cancelled job, it still looks for the job's question often.
constexpr DWORD kWaitSliceMilliseconds = 50;

// Signalled by the job's thread as the very last thing it does: std::thread offers nothing
// a message-aware wait can use.
UniqueHandle s_workerEnded;

std::wstring ShowFolderPicker(HWND owner) {
    std::wstring result;
    IFileOpenDialog* raw = nullptr;
    if (FAILED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER,
                                IID_PPV_ARGS(&raw))))
        return result;
    ComPtr<IFileOpenDialog> dialog(raw);
    FILEOPENDIALOGOPTIONS options = 0;
    dialog->GetOptions(&options);
    dialog->SetOptions(options | FOS_PICKFOLDERS);
    if (FAILED(dialog->Show(owner))) return result;
    IShellItem* rawItem = nullptr;
    if (FAILED(dialog->GetResult(&rawItem))) return result;
    ComPtr<IShellItem> item(rawItem);
    PWSTR rawPath = nullptr;
    if (FAILED(item->GetDisplayName(SIGDN_FILESYSPATH, &rawPath))) return result;
    std::unique_ptr<wchar_t, CoTaskMemFreer> path(rawPath);
    result = path.get();
    return result;
}

std::thread StartThread(std::function<void()> body) {
    return std::thread(std::move(body));
}

bool HasNonAscii(std::wstring_view text) {
    return std::any_of(text.begin(), text.end(), [](wchar_t c) { return c > 127; });
}

// Where the folder is can cost a player the whole build: asked before anything is made there. An
// update goes where the player chose when installing.
bool PlaceConfirmed(const std::filesystem::path& folder) {
    if (s_updateMode) return true;
    const auto refused = [&folder](bool applies, const wchar_t* why) {
        return applies && Ask(folder.native() + why + L"\n\nInstall there anyway?",
                              MB_YESNO | MB_ICONWARNING) != IDYES;
    };
    return !refused(InsideOneDrive(folder),
                    L" is inside OneDrive. OneDrive would upload the whole build (about 14 GB) and "
                    L"can hold its files while the build needs them.") &&
           !refused(OnNetworkDrive(folder),
                    L" is on a network drive. The build would be slow there and can fail.");
}

// The game this build makes isn't signed: with Smart App Control on, Windows will likely refuse to
// start it, which the player should hear before the half hour the build takes.
bool SmartAppControlConfirmed() {
    if (!SmartAppControlOn()) return true;
    if (Ask(L"Smart App Control is on. It blocks programs that aren't signed, so Windows will "
            L"likely refuse to run the game this build makes.\n\nInstall anyway?",
            MB_YESNO | MB_ICONWARNING) == IDYES)
        return true;
    // Started to update: nothing is left to do.
    if (s_updateMode) PostMessageW(s_window, WM_CLOSE, 0, 0);
    return false;
}

// The checks and questions before a job; false when the user must change something first.
bool Confirmed(const Choices& choices, bool folderSource) {
    if (choices.folder.empty()) {
        Ask(L"Choose a folder to install to.", MB_OK | MB_ICONINFORMATION);
        return false;
    }
    if (HasNonAscii(choices.folder.native()) &&
        Ask(L"The folder's path has non-English characters, which some build tools can't "
            L"handle. A folder like C:\\MURK-Recomp is safer. Continue anyway?",
            MB_YESNO | MB_ICONWARNING) != IDYES)
        return false;
    if (!PlaceConfirmed(choices.folder)) return false;
    if (FolderInUse(choices.folder)) {
        Ask(kAlreadyRunning, MB_OK | MB_ICONINFORMATION);
        // Started to update a folder that another Setup is busy with: nothing is left to do.
        if (s_updateMode) PostMessageW(s_window, WM_CLOSE, 0, 0);
        return false;
    }
    if (!SmartAppControlConfirmed()) return false;
    std::error_code error;
    if (folderSource && !choices.source.empty() && !fs::is_directory(choices.source, error)) {
        Ask(L"That isn't a folder. Choose the folder of your extracted disc.",
            MB_OK | MB_ICONINFORMATION);
        return false;
    }
    if (choices.deleteImage && !s_updateMode &&
        Ask(L"Delete the disc image when it's been extracted?\n\n" + choices.source.native() +
                L"\n\nThe game only needs the extracted files; you'd need the disc image again "
                L"only to install somewhere else.",
            MB_YESNO | MB_ICONQUESTION) != IDYES)
        return false;
    return true;
}

void StartJob(Choices choices) {
    const bool playShown = IsWindowVisible(GetDlgItem(s_window, kPlayButton));
    const std::wstring idleText = Text(kMainButton);
    s_cancel.exchange(false);
    ShowWindow(GetDlgItem(s_window, kPlayButton), SW_HIDE);
    SetBusy(true);
    s_workerEnded.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    HANDLE ended = s_workerEnded.get();
    try {
        s_worker = s_startThread([choices = std::move(choices), ended]() mutable {
            Install(std::move(choices));
            if (ended) SetEvent(ended);
        });
    } catch (const std::system_error&) {
        // Nothing started: the window goes back to exactly where it was.
        s_workerEnded.reset();
        SetBusy(false);
        SetDlgItemTextW(s_window, kMainButton, idleText.c_str());
        if (playShown) ShowWindow(GetDlgItem(s_window, kPlayButton), SW_SHOW);
        Ask(L"Setup couldn't start the install: Windows is short of resources. Close some "
            L"programs and try again.",
            MB_OK | MB_ICONWARNING);
    }
}

// Job messages that arrive while the window is closing are dropped, with what they would
// have taken and the end report's payload.
void DropJobMessages() {
    MSG message;
    while (PeekMessageW(&message, nullptr, kLogMessage, kDoneMessage, PM_REMOVE)) {
        if (message.message == kDoneMessage) TakePayload(message.lParam);
    }
    DropPending();
}

// A question the job shows from its own thread (owned by the window) would keep a closing
// window waiting for an answer to a job the user has just stopped: answer it with No.
BOOL CALLBACK AnswerJobQuestion(HWND candidate, LPARAM) {
    wchar_t className[16] = {};
    GetClassNameW(candidate, className, 16);
    if (std::wstring_view(className) != L"#32770") return TRUE;
    if (GetWindow(candidate, GW_OWNER) != s_window) return TRUE;
    DWORD process = 0;
    if (GetWindowThreadProcessId(candidate, &process) == GetCurrentThreadId()) return TRUE;
    if (process != GetCurrentProcessId()) return TRUE;
    PostMessageW(candidate, WM_COMMAND, MAKEWPARAM(IDNO, BN_CLICKED), 0);
    return TRUE;
}

}  // namespace

FolderPickerCall s_folderPicker = ShowFolderPicker;
OpenFileCall s_openFile = GetOpenFileNameW;
ThreadStarter s_startThread = StartThread;

std::wstring PickFolder() {
    return s_folderPicker(s_window);
}

void BrowseSource() {
    if (IsDlgButtonChecked(s_window, kFolderOption) == BST_CHECKED) {
        const std::wstring folder = PickFolder();
        if (!folder.empty()) SetDlgItemTextW(s_window, kSourceBox, folder.c_str());
        return;
    }
    wchar_t file[kFileNameSize] = {};
    OPENFILENAMEW request{.lStructSize = sizeof request,
                          .hwndOwner = s_window,
                          .lpstrFilter = kImageFilter,
                          .nFilterIndex = 1,
                          .lpstrFile = file,
                          .nMaxFile = kFileNameSize,
                          .Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST};
    if (!s_openFile(&request)) return;
    SetDlgItemTextW(s_window, kSourceBox, file);
}

void BrowseDir() {
    const fs::path chosen = PickFolder();
    if (chosen.empty()) return;
    const fs::path folder = chosen.filename() == kInstallLeaf ? chosen : chosen / kInstallLeaf;
    SetDlgItemTextW(s_window, kFolderBox, folder.c_str());
}

void StartOrCancel() {
    if (s_busy) {
        StopJob();
        SetStatus(L"Cancelling...");
        return;
    }
    if (s_worker.joinable()) s_worker.join();
    Choices choices{.shortcut = true, .freeSpace = false, .deleteImage = false};
    choices.source = Text(kSourceBox);
    choices.folder = Text(kFolderBox);
    const bool folderSource = IsDlgButtonChecked(s_window, kFolderOption) == BST_CHECKED;
    choices.shortcut = IsDlgButtonChecked(s_window, kShortcutOption) == BST_CHECKED;
    choices.freeSpace = IsDlgButtonChecked(s_window, kFreeSpaceOption) == BST_CHECKED;
    choices.deleteImage =
        IsDlgButtonChecked(s_window, kDeleteImageOption) == BST_CHECKED && !folderSource;
    if (!Confirmed(choices, folderSource)) return;
    StartJob(std::move(choices));
}

void Play() {
    std::wstring commandLine = Quote(s_installed);
    const fs::path folder = s_installed.parent_path();
    STARTUPINFOW startup{.cb = sizeof startup};
    PROCESS_INFORMATION process{};
    // The launcher the build made, by its full path: nothing is searched for.
    if (!s_createProcess(s_installed.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                         nullptr, folder.c_str(), &startup, &process)) {
        // Any other failure leaves the window as it is; a refusal by policy must be explained, or
        // the player is left pressing Play.
        if (const auto blocked = BlockedByPolicy(GetLastError(), s_installed))
            Ask(*blocked, MB_OK | MB_ICONWARNING);
        return;
    }
    // The launcher runs on its own, outside the job object: nothing here waits for it.
    UniqueHandle thread(process.hThread);
    UniqueHandle launcher(process.hProcess);
    PostMessageW(s_window, WM_CLOSE, 0, 0);
}

void StopJob() {
    // The flag first: a step whose child dies then reports a cancel, not a broken tool.
    s_cancel.exchange(true);
    if (s_job) TerminateJobObject(s_job.get(), 1);
}

bool WaitForWorker(DWORD limitMilliseconds) {
    if (!s_worker.joinable()) return true;
    const ULONGLONG start = GetTickCount64();
    // Read afresh each time: a wait nested in this one (the session ending while a close waits)
    // may have ended the job's thread already.
    while (HANDLE ended = s_workerEnded.get()) {
        EnumWindows(AnswerJobQuestion, 0);
        const DWORD woke = MsgWaitForMultipleObjects(1, &ended, FALSE, kWaitSliceMilliseconds,
                                                     QS_SENDMESSAGE | QS_POSTMESSAGE);
        if (woke == WAIT_OBJECT_0) break;
        if (woke == WAIT_FAILED) break;
        if (limitMilliseconds != INFINITE && GetTickCount64() - start >= limitMilliseconds)
            return false;
        // Serves messages sent from other threads (the job's question disabling this window).
        MSG message;
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        DropJobMessages();
    }
    if (s_worker.joinable()) s_worker.join();
    s_workerEnded.reset();
    DropJobMessages();
    return true;
}

}  // namespace murk::setup
