#pragma once
// A self-contained world for the whole program: a loopback server that answers like the
// code-hosting service and the package index, tool archives laid out like the real ones
// holding the stand-ins, the project's remote as a folder, a disc image and an extracted disc.
// The real program (its world variant) runs as a separate process and is driven from outside
// through its window, as a user would.

#include "setup/job/handles.h"
#include "tests/support/http_server.h"
#include "tests/support/test_support.h"

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace murk::test {

// What the project's build script does, one command a line (see the python stand-in).
// "{hold}" marks where a scenario may make it wait for a go-ahead.
std::string BuildScript(const std::string& hold = "");

class World {
  public:
    World();
    ~World();
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    // --- The services ---
    // The latest releases of the four tool repositories and the package index's Python.
    void PublishTools();
    // Serves one archive in pieces; the second piece waits until ReleaseDownload().
    void StallDownload(const std::string& asset);
    void ReleaseDownload();
    // The project's own latest release.
    void PublishProject(const std::string& tag = "v0.3.0");
    // Requests for anything but the project's release document.
    std::vector<std::string> ToolRequests() const;
    std::wstring Origin() const { return server.Origin(); }
    // The size of everything in the published tool archives, as unpacked.
    std::uint64_t unpackedBytes = 0;
    // The SHA-512 the package index lists for the Python package, in base64.
    std::string pythonSha512;

    // --- The remote project ---
    void SetBuildScript(const std::string& script);

    // --- The program ---
    // Starts the program with arguments (after the program name) in the current folder given
    // and waits for its window. One started before runs on, out of the world's view.
    void Start(const std::wstring& arguments = L"");
    std::filesystem::path program;        // the build's MurkSetupWorld.exe, or a copy of it
    std::filesystem::path currentFolder;  // root
    HWND Window() const { return window_; }
    HWND Item(int id) const { return GetDlgItem(window_, id); }
    std::wstring Text(int id) const;
    bool Visible(int id) const { return IsWindowVisible(Item(id)) != FALSE; }
    bool Enabled(int id) const { return IsWindowEnabled(Item(id)) != FALSE; }
    bool Checked(int id) const;
    int Progress() const;
    void SetText(int id, const std::wstring& text);
    // A click as the user makes it (posted: a click that opens a box must not block the test).
    void Click(int id);
    void Close();
    // The next visible message box of the program; nothing on time-out.
    HWND WaitForBox(std::chrono::milliseconds timeout = std::chrono::seconds(60));
    static std::wstring BoxText(HWND box);
    // Presses a box's button and waits until the box is gone.
    static void Press(HWND box, int button);
    // The program's exit code once it has ended; STILL_ACTIVE on time-out.
    DWORD WaitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(60));
    DWORD ProcessId() const { return processId_; }
    // Running processes that the program started itself, as "id program.exe".
    std::vector<std::string> RunningChildren() const;

    // --- What is left ---
    // setup.log, line by line (CR LF ends each).
    std::vector<std::string> LogLines() const;
    std::filesystem::path Shortcut() const { return desktop_ / L"MURK Recompiled.lnk"; }
    std::filesystem::path Repository() const { return install / L"murk-recomp"; }
    std::filesystem::path Launcher() const {
        return Repository() / L"build" / L"runtime" / L"MurkLauncher.exe";
    }
    // The git stand-in's calls: "working folder<TAB>arguments..." each.
    std::vector<std::string> GitCalls() const;

    HttpServer server;
    TempFolder root;
    std::filesystem::path install;     // root\Games\MURK-Recomp
    std::filesystem::path image;       // a disc image, with spaces in its name
    std::filesystem::path discFolder;  // the same disc, extracted
    std::filesystem::path remote;      // the project as its remote has it
    std::filesystem::path state;       // the git stand-in's state; go-ahead files
    // The program's environment beyond this process's: the origin, the seams' answers, the git
    // stand-in's state and a PATH with the system folders only (an empty value: unset).
    std::map<std::wstring, std::wstring> environment;

  private:
    setup::ComApartment apartment_;  // the shortcut is read through the shell's COM objects
    void Serve(const std::string& repository, const std::string& asset, const std::string& zip);

    std::filesystem::path desktop_;
    std::map<std::string, std::string> archives_;  // by asset name
    setup::UniqueHandle process_;
    std::vector<setup::UniqueHandle> earlier_;
    DWORD processId_ = 0;
    HWND window_ = nullptr;
    setup::UniqueHandle go_;  // lets a stalled download go on
};

// UTF-8 of wide text, for comparing with setup.log.
std::string U8(const std::wstring& text);
// Waits for a condition, checking every 20 ms; false on time-out.
bool WaitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(60));

// A desktop shortcut's target, working folder and description.
struct ShortcutInfo {
    std::wstring target, folder, description;
};
ShortcutInfo ReadShortcut(const std::filesystem::path& file);

}  // namespace murk::test
