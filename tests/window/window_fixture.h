#pragma once
// Drives the real setup window in this process: opens it as the program does, pumps its
// messages, and answers its message boxes from a helper thread as a user would.

#include "setup/install/install.h"
#include "setup/job/process.h"
#include "setup/job/system.h"
#include "setup/window/window.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace murk::test {

// A message box (or other dialog) as the helper thread found it.
struct SeenBox {
    std::wstring title;
    std::wstring text;  // the static control 0xFFFF of a message box
    bool hasYesNo = false;
    bool hasOk = false;
    bool fromWindowThread = false;  // shown by the thread that owns the main window
    int ownerClientHeight = 0;      // the main window's client height while the box was up
    bool detailsVisible = false;
};

// Answers dialogs of this process one after the other. Each step waits for a visible dialog
// whose title and text begin as given (empty: any) and presses its button.
class BoxAnswerer {
  public:
    struct Step {
        int button;
        std::wstring textStart;
        std::wstring title = L"MURK Recompiled Setup";
    };
    explicit BoxAnswerer(std::vector<Step> steps);
    ~BoxAnswerer();
    BoxAnswerer(const BoxAnswerer&) = delete;
    BoxAnswerer& operator=(const BoxAnswerer&) = delete;

    // Waits until every step has been answered; false on timeout.
    bool Finished(DWORD timeoutMilliseconds = 20000);
    std::vector<SeenBox> Seen();

  private:
    void Work();
    std::vector<Step> steps_;
    DWORD windowThread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> done_{false};
    std::mutex lock_;
    std::vector<SeenBox> seen_;
    std::thread thread_;
};

// Visible dialog of this process matching title (empty: any title) and text start.
HWND FindDialog(std::wstring_view title, std::wstring_view textStart = {});
std::wstring WindowText(HWND window);

// Handles this thread's messages until done() or the timeout; false on timeout.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMilliseconds = 20000);
void Pump();
// WM_QUIT reached this thread's loop (the window posts it when it is destroyed).
bool QuitPosted();

// Free space that the seam reports: plenty, so a job never asks about it.
std::optional<std::uint64_t> PlentyOfSpace(const std::filesystem::path&);

class WindowTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Opens the window for a command line's arguments (after the program's name).
    HWND Open(const std::wstring& arguments = L"");
    HWND Item(int id) const { return GetDlgItem(setup::s_window, id); }
    std::wstring ItemText(int id) const { return ShownText(Item(id), setup::Text(id)); }
    bool Enabled(int id) const { return IsWindowEnabled(Item(id)) != FALSE; }
    bool Visible(int id) const { return IsWindowVisible(Item(id)) != FALSE; }
    bool Checked(int id) const { return IsDlgButtonChecked(setup::s_window, id) == BST_CHECKED; }
    void SetItemText(int id, const std::wstring& text) {
        SetDlgItemTextW(setup::s_window, id, text.c_str());
    }
    // A click as the user makes it: the button changes and notifies the window.
    void Click(int id) { SendMessageW(Item(id), BM_CLICK, 0, 0); }
    SIZE ClientSize() const;
    bool WindowGone() const { return !IsWindow(window_); }
    // Waits until the running job has reported its end and the window is idle again.
    bool WaitIdle() {
        return PumpUntil([] { return !setup::s_busy; });
    }
    // A job that stays running until it is cancelled: its free-space query waits for the flag.
    static void HoldJobUntilCancelled();

    TempFolder temp;
    HWND window_ = nullptr;
};

}  // namespace murk::test
