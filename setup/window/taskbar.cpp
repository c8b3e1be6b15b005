#include "setup/window/window.h"

#include <shobjidl.h>

namespace murk::setup {

namespace {

// The taskbar button's progress; empty until the shell says the button exists, and for good
// where the shell has no such interface.
ComPtr<ITaskbarList3> s_taskbar;

}  // namespace

UINT TaskbarCreatedMessage() {
    static const UINT message = RegisterWindowMessageW(L"TaskbarButtonCreated");
    return message;
}

void TaskbarButtonCreated() {
    if (s_taskbar) return;
    ITaskbarList3* raw = nullptr;
    if (FAILED(
            CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&raw))))
        return;
    ComPtr<ITaskbarList3> taskbar(raw);
    if (FAILED(taskbar->HrInit())) return;
    s_taskbar = std::move(taskbar);
}

void TaskbarProgress(int value) {
    if (!s_taskbar) return;
    if (value < 0) {
        s_taskbar->SetProgressState(s_window, TBPF_INDETERMINATE);
        return;
    }
    s_taskbar->SetProgressState(s_window, TBPF_NORMAL);
    s_taskbar->SetProgressValue(s_window, static_cast<ULONGLONG>(value < 100 ? value : 100), 100);
}

void TaskbarIdle() {
    if (s_taskbar) s_taskbar->SetProgressState(s_window, TBPF_NOPROGRESS);
}

void FlashIfInBackground() {
    if (GetForegroundWindow() == s_window) return;
    // Flashes until the user brings the window to the front.
    FLASHWINFO flash{.cbSize = sizeof flash,
                     .hwnd = s_window,
                     .dwFlags = FLASHW_ALL | FLASHW_TIMERNOFG,
                     .uCount = 0,
                     .dwTimeout = 0};
    FlashWindowEx(&flash);
}

void ReleaseTaskbar() {
    s_taskbar.reset();
}

}  // namespace murk::setup
