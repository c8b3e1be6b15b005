#include "tests/window/window_fixture.h"

#include <commctrl.h>

namespace murk::test {

using namespace murk::setup;

namespace {

constexpr DWORD kPollMilliseconds = 5;
bool s_quitPosted = false;
DWORD s_windowThread = 0;
// The product's own dialogs and thread start, put back after every test.
FolderPickerCall s_realFolderPicker = nullptr;
OpenFileCall s_realOpenFile = nullptr;
ThreadStarter s_realStartThread = nullptr;

struct Search {
    std::wstring_view title;
    std::wstring_view textStart;
    bool anyTitle;
    HWND found = nullptr;
};

BOOL CALLBACK MatchDialog(HWND candidate, LPARAM context) {
    auto* search = reinterpret_cast<Search*>(context);
    DWORD process = 0;
    GetWindowThreadProcessId(candidate, &process);
    if (process != GetCurrentProcessId() || !IsWindowVisible(candidate)) return TRUE;
    wchar_t className[16] = {};
    GetClassNameW(candidate, className, 16);
    if (std::wstring_view(className) != L"#32770") return TRUE;
    if (!search->anyTitle && WindowText(candidate) != search->title) return TRUE;
    if (!WindowText(GetDlgItem(candidate, 0xFFFF)).starts_with(search->textStart)) return TRUE;
    search->found = candidate;
    return FALSE;
}

}  // namespace

std::wstring WindowText(HWND window) {
    if (!window) return {};
    wchar_t text[4096] = {};
    // Another thread's window may be busy: InternalGetWindowText needs no answer from it. Edit
    // controls keep their text to themselves, so this thread's windows are asked.
    if (GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId())
        GetWindowTextW(window, text, 4096);
    else
        InternalGetWindowText(window, text, 4096);
    return text;
}

HWND FindDialog(std::wstring_view title, std::wstring_view textStart) {
    Search search{title, textStart, title.empty()};
    EnumWindows(MatchDialog, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

BoxAnswerer::BoxAnswerer(std::vector<Step> steps)
    : steps_(std::move(steps)), windowThread_(GetCurrentThreadId()), thread_([this] { Work(); }) {}

BoxAnswerer::~BoxAnswerer() {
    stop_ = true;
    thread_.join();
}

void BoxAnswerer::Work() {
    for (const Step& step : steps_) {
        HWND box = nullptr;
        while (!stop_ && !(box = FindDialog(step.title, step.textStart)))
            Sleep(kPollMilliseconds);
        if (stop_) return;
        SeenBox seen{.title = WindowText(box),
                     .text = WindowText(GetDlgItem(box, 0xFFFF)),
                     .hasYesNo = GetDlgItem(box, IDYES) && GetDlgItem(box, IDNO),
                     .hasOk = GetDlgItem(box, IDOK) != nullptr,
                     .fromWindowThread = GetWindowThreadProcessId(box, nullptr) == windowThread_};
        HWND owner = GetWindow(box, GW_OWNER);
        RECT client{};
        if (owner && GetClientRect(owner, &client)) seen.ownerClientHeight = client.bottom;
        if (owner) seen.detailsVisible = IsWindowVisible(GetDlgItem(owner, kDetailsView));
        {
            std::lock_guard guard(lock_);
            seen_.push_back(seen);
        }
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(step.button, BN_CLICKED), 0);
        while (!stop_ && IsWindow(box))
            Sleep(kPollMilliseconds);
    }
    done_ = true;
}

bool BoxAnswerer::Finished(DWORD timeoutMilliseconds) {
    return PumpUntil([this] { return done_.load(); }, timeoutMilliseconds);
}

std::vector<SeenBox> BoxAnswerer::Seen() {
    std::lock_guard guard(lock_);
    return seen_;
}

void Pump() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            s_quitPosted = true;
            continue;
        }
        if (s_window && IsWindow(s_window) && IsDialogMessageW(s_window, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMilliseconds) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMilliseconds;
    for (;;) {
        Pump();
        if (done()) return true;
        if (GetTickCount64() > deadline) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, kPollMilliseconds, QS_ALLINPUT);
    }
}

bool QuitPosted() {
    return s_quitPosted;
}

std::optional<std::uint64_t> PlentyOfSpace(const std::filesystem::path&) {
    return 100ull << 30;
}

void WindowTest::SetUp() {
    static const bool setUp = [] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        SetUpProcess(GetModuleHandleW(nullptr));
        s_realFolderPicker = s_folderPicker;
        s_realOpenFile = s_openFile;
        s_realStartThread = s_startThread;
        return true;
    }();
    (void)setUp;
    s_windowThread = GetCurrentThreadId();
    s_quitPosted = false;
    s_freeBytes = PlentyOfSpace;
}

void WindowTest::TearDown() {
    if (s_worker.joinable()) {
        StopJob();
        WaitForWorker();
    }
    if (IsWindow(window_)) DestroyWindow(window_);
    Pump();
    s_window = nullptr;
    s_busy = false;
    s_showLog = false;
    s_updateMode = false;
    s_cancel = false;
    s_installed.clear();
    s_freeBytes = PlentyOfSpace;
    s_messageBox = MessageBoxW;
    s_folderPicker = s_realFolderPicker;
    s_openFile = s_realOpenFile;
    s_startThread = s_realStartThread;
}

HWND WindowTest::Open(const std::wstring& arguments) {
    window_ = CreateMainWindow(GetModuleHandleW(nullptr), L"\"MurkSetup.exe\" " + arguments,
                               SW_SHOWNOACTIVATE);
    return window_;
}

SIZE WindowTest::ClientSize() const {
    RECT client{};
    GetClientRect(s_window, &client);
    return {client.right, client.bottom};
}

void WindowTest::HoldJobUntilCancelled() {
    s_freeBytes = [](const std::filesystem::path&) -> std::optional<std::uint64_t> {
        if (GetCurrentThreadId() == s_windowThread) return 100ull << 30;
        const ULONGLONG deadline = GetTickCount64() + 20000;
        while (!s_cancel && GetTickCount64() < deadline)
            Sleep(kPollMilliseconds);
        // Too little space: the job checks for a cancel before it would ask about it.
        return 1ull << 30;
    };
}

}  // namespace murk::test
