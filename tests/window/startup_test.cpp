#include "tests/window/window_fixture.h"

#include <commctrl.h>

namespace murk::test {
namespace {

namespace fs = std::filesystem;
using namespace murk::setup;

void MakeInstall(const fs::path& folder) {
    fs::create_directories(folder / L"murk-recomp" / L"game" / L"extracted");
    WriteBytes(folder / L"murk-recomp" / L"game" / L"extracted" / L"default.xex", "XEX2");
}

bool MainButtonCommandQueued() {
    MSG message;
    while (PeekMessageW(&message, s_window, WM_COMMAND, WM_COMMAND, PM_REMOVE)) {
        if (LOWORD(message.wParam) == kMainButton && HIWORD(message.wParam) == 0 &&
            message.lParam == 0)
            return true;
    }
    return false;
}

TEST(CommandLine, UpdateTakesTheArgumentAfterTheLastUpdateOption) {
    EXPECT_EQ(UpdateFolder(L"setup.exe"), L"");
    EXPECT_EQ(UpdateFolder(L"setup.exe --update D:\\Games\\MURK"), L"D:\\Games\\MURK");
    EXPECT_EQ(UpdateFolder(L"setup.exe --update \"D:\\My Games\" --update E:\\M"), L"E:\\M");
    EXPECT_EQ(UpdateFolder(L"setup.exe --update D:\\A --update"), L"D:\\A")
        << "a trailing option without a value is ignored";
    EXPECT_EQ(UpdateFolder(L"setup.exe --Update D:\\A"), L"") << "the name is case-sensitive";
    EXPECT_EQ(UpdateFolder(L"setup.exe --update \"\""), L"");
    EXPECT_EQ(UpdateFolder(L"setup.exe --verbose x --update D:\\A y"), L"D:\\A");
    EXPECT_EQ(UpdateFolder(L"--update"), L"") << "the program's own name is never the option";
}

TEST(DefaultFolder, UpdateFolderThenAnInstallAroundTheProgramThenTheSystemDrive) {
    TempFolder temp;
    EXPECT_EQ(DefaultInstallFolder(L"E:\\Here", temp.path()), L"E:\\Here");

    wchar_t saved[64] = {};
    GetEnvironmentVariableW(L"SystemDrive", saved, 64);
    SetEnvironmentVariableW(L"SystemDrive", L"D:");
    EXPECT_EQ(DefaultInstallFolder(L"", temp.path()), L"D:\\MURK-Recomp");
    SetEnvironmentVariableW(L"SystemDrive", nullptr);
    EXPECT_EQ(DefaultInstallFolder(L"", temp.path()), L"C:\\MURK-Recomp");
    SetEnvironmentVariableW(L"SystemDrive", saved);

    fs::create_directories(temp / L"murk-recomp" / L".git");
    EXPECT_EQ(DefaultInstallFolder(L"", temp.path()), temp.path());
}

TEST_F(WindowTest, FreshInstallLookWithoutArguments) {
    Open();
    wchar_t drive[8] = L"C:";
    GetEnvironmentVariableW(L"SystemDrive", drive, 8);
    EXPECT_EQ(ItemText(kFolderBox), std::wstring(drive) + L"\\MURK-Recomp");
    EXPECT_FALSE(s_updateMode);
    EXPECT_EQ(ItemText(kMainButton), L"Install");
    EXPECT_EQ(ItemText(kStatusLine), L"Ready.");
    for (int id : {kImageOption, kFolderOption, kSourceBox, kSourceBrowse, kDeleteImageOption})
        EXPECT_TRUE(Enabled(id)) << id;
    EXPECT_FALSE(Visible(kPlayButton));
    EXPECT_FALSE(Visible(kDetailsView));
    EXPECT_FALSE(MainButtonCommandQueued());
}

TEST_F(WindowTest, UpdateModeInAnExistingInstallShowsUpdateAndStartsByItself) {
    MakeInstall(temp.path());
    SetForegroundWindow(Open(L"--update \"" + temp.path().native() + L"\""));  // as at a start
    EXPECT_EQ(GetFocus(), Item(kMainButton)) << "an update needs no typing";
    EXPECT_TRUE(s_updateMode);
    EXPECT_EQ(ItemText(kFolderBox), temp.path().native());
    EXPECT_EQ(ItemText(kMainButton), L"Update");
    EXPECT_EQ(ItemText(kStatusLine),
              L"Already installed here: Update gets the latest version and rebuilds.");
    EXPECT_EQ(ItemText(kSourceNote), L"Not needed: the game's files are already in this install.");
    for (int id : {kImageOption, kFolderOption, kSourceBox, kSourceBrowse, kDeleteImageOption})
        EXPECT_FALSE(Enabled(id)) << id;
    for (int id : {kFolderBox, kFolderBrowse, kShortcutOption, kFreeSpaceOption, kMainButton})
        EXPECT_TRUE(Enabled(id)) << id;
    EXPECT_EQ(ClientSize().cy, 422);
    EXPECT_FALSE(Visible(kPlayButton));
    EXPECT_TRUE(MainButtonCommandQueued()) << "the job starts as soon as the loop runs";
}

TEST_F(WindowTest, UpdateModeWithoutTheGameRunsTheJobWhichAsksForTheDisc) {
    BoxAnswerer answerer({{IDOK, L""}});
    Open(L"--update \"" + temp.path().native() + L"\"");
    EXPECT_EQ(ItemText(kMainButton), L"Install") << "keeps the install look";
    ASSERT_TRUE(answerer.Finished());
    const auto seen = answerer.Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].text, L"Choose your MURK disc image (.iso) or extracted disc folder first.");
    EXPECT_TRUE(seen[0].hasOk);
    EXPECT_FALSE(seen[0].hasYesNo);
    EXPECT_TRUE(seen[0].detailsVisible) << "the log is opened before the warning";
    EXPECT_EQ(seen[0].ownerClientHeight, 660);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(ItemText(kStatusLine),
              L"Choose your MURK disc image (.iso) or extracted disc folder first.");
    EXPECT_FALSE(Visible(kPlayButton));
    EXPECT_NE(ReadBytes(temp / L"setup.log").find("installing to"), std::string::npos);
}

TEST_F(WindowTest, EmptyUpdateFolderIsNotUpdateMode) {
    MakeInstall(temp.path());
    Open(L"--update \"\"");
    EXPECT_FALSE(s_updateMode);
    EXPECT_NE(ItemText(kFolderBox), temp.path().native());
    EXPECT_FALSE(MainButtonCommandQueued());
}

TEST_F(WindowTest, ExistingInstallIsNoticedOnlyAtStart) {
    MakeInstall(temp.path());
    Open(L"--update \"" + temp.path().native() + L"\"");
    MainButtonCommandQueued();  // don't let the update run
    SetItemText(kFolderBox, (temp / L"elsewhere").native());
    SendMessageW(s_window, WM_COMMAND, MAKEWPARAM(kFolderBox, EN_KILLFOCUS),
                 reinterpret_cast<LPARAM>(Item(kFolderBox)));
    EXPECT_EQ(ItemText(kMainButton), L"Update");
}

// The real program, copied into a folder that holds an install's working copy.
class RealProgram {
  public:
    RealProgram(const fs::path& folder, const std::wstring& arguments) {
        const fs::path built =
            ThisProgramFolder().parent_path().parent_path() / L"setup" / L"MurkSetup.exe";
        exe_ = folder / L"MurkSetup.exe";
        fs::copy_file(built, exe_, fs::copy_options::overwrite_existing);
        std::wstring commandLine = Quote(exe_) + L" " + arguments;
        STARTUPINFOW startup{.cb = sizeof startup};
        PROCESS_INFORMATION info{};
        if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                            folder.c_str(), &startup, &info))
            return;
        process_.reset(info.hProcess);
        UniqueHandle thread(info.hThread);
        id_ = info.dwProcessId;
    }
    ~RealProgram() {
        if (process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT)
            TerminateProcess(process_.get(), 1);
        if (process_) WaitForSingleObject(process_.get(), 5000);
    }
    HANDLE process() const { return process_.get(); }

    HWND Window(DWORD timeoutMilliseconds = 20000) const {
        const ULONGLONG deadline = GetTickCount64() + timeoutMilliseconds;
        while (GetTickCount64() < deadline) {
            HWND window = nullptr;
            while ((window = FindWindowExW(nullptr, window, kWindowClass, nullptr))) {
                DWORD owner = 0;
                GetWindowThreadProcessId(window, &owner);
                if (owner == id_ && IsWindowVisible(window)) return window;
            }
            Sleep(20);
        }
        return nullptr;
    }

    HWND Box(DWORD timeoutMilliseconds = 20000) const {
        const ULONGLONG deadline = GetTickCount64() + timeoutMilliseconds;
        while (GetTickCount64() < deadline) {
            HWND box = nullptr;
            while ((box = FindWindowExW(nullptr, box, L"#32770", kTitle))) {
                DWORD owner = 0;
                GetWindowThreadProcessId(box, &owner);
                if (owner == id_ && IsWindowVisible(box)) return box;
            }
            Sleep(20);
        }
        return nullptr;
    }

    DWORD ExitCode(DWORD timeoutMilliseconds = 20000) const {
        if (WaitForSingleObject(process_.get(), timeoutMilliseconds) != WAIT_OBJECT_0)
            return STILL_ACTIVE;
        DWORD code = STILL_ACTIVE;
        GetExitCodeProcess(process_.get(), &code);
        return code;
    }

  private:
    fs::path exe_;
    UniqueHandle process_;
    DWORD id_ = 0;
};

std::wstring ControlText(HWND window, int id) {
    wchar_t text[1024] = {};
    SendMessageTimeoutW(GetDlgItem(window, id), WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text),
                        SMTO_ABORTIFHUNG, 5000, nullptr);
    return ShownText(GetDlgItem(window, id), text);
}

TEST(Program, StartedInsideAnInstallOffersThatFolderAndClosesQuietly) {
    TempFolder temp;
    fs::create_directories(temp / L"murk-recomp" / L".git");
    RealProgram program(temp.path(), L"");
    ASSERT_NE(program.process(), nullptr);
    HWND window = program.Window();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(ControlText(window, kFolderBox), temp.path().native());
    EXPECT_EQ(ControlText(window, kMainButton), L"Install");
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(program.ExitCode(), 0u) << "closing the idle window asks nothing and ends it";
}

TEST(Program, UpdateWithoutTheGameWarnsAndKeepsRunning) {
    TempFolder temp;
    const fs::path install = temp / L"install";
    RealProgram program(temp.path(), L"--update \"" + install.native() + L"\"");
    ASSERT_NE(program.process(), nullptr);
    HWND box = program.Box();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(WindowText(GetDlgItem(box, 0xFFFF)),
              L"Choose your MURK disc image (.iso) or extracted disc folder first.");
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    HWND window = program.Window();
    ASSERT_NE(window, nullptr);
    // The window stays after the failure: a click that comes once the failure is handled still
    // reaches it (the failure opened the details; the click hides them). The window's thread is
    // back in its loop when it answers a sent message: whatever the failure posted comes first.
    ASSERT_TRUE(Eventually([&] { return !IsWindow(box); }, 20000));
    SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 20000, nullptr);
    PostMessageW(GetDlgItem(window, kDetailsButton), BM_CLICK, 0, 0);
    const auto clicked = [&] { return ControlText(window, kDetailsButton) == L"Show details"; };
    EXPECT_TRUE(Eventually([&] { return !IsWindow(window) || clicked(); }, 20000) && clicked());
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(program.ExitCode(), 0u);
    EXPECT_NE(ReadBytes(install / L"setup.log").find("extracted disc folder first."),
              std::string::npos);
}

}  // namespace
}  // namespace murk::test
