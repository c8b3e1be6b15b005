#include "tests/window/window_fixture.h"

#include <system_error>

namespace murk::test {
namespace {

namespace fs = std::filesystem;
using namespace murk::setup;

constexpr wchar_t kNeedDisc[] =
    L"Choose your MURK disc image (.iso) or extracted disc folder first.";
constexpr wchar_t kNonAscii[] =
    L"The folder's path has non-English characters, which some build tools can't handle. A "
    L"folder like C:\\MURK-Recomp is safer. Continue anyway?";
constexpr wchar_t kNotAFolder[] = L"That isn't a folder. Choose the folder of your extracted disc.";

class ActionTest : public WindowTest {
  protected:
    void SetUp() override {
        WindowTest::SetUp();
        // A job that gets past its own checks waits for a cancel instead of going online.
        HoldJobUntilCancelled();
        Open();
        SetItemText(kFolderBox, (temp / L"install").native());
    }
    // Presses the main button; every box it raises is answered by the steps given.
    std::vector<SeenBox> PressMain(std::vector<BoxAnswerer::Step> steps) {
        BoxAnswerer answerer(std::move(steps));
        Click(kMainButton);
        EXPECT_TRUE(answerer.Finished());
        return answerer.Seen();
    }
    bool JobStarted() const { return s_worker.joinable(); }
    void CancelJob() {
        ASSERT_TRUE(s_busy);
        BoxAnswerer answerer({{IDOK, L"Cancelled."}});
        Click(kMainButton);
        ASSERT_TRUE(answerer.Finished());
        EXPECT_FALSE(s_busy);
    }
};

TEST_F(ActionTest, EmptyFolderIsRefusedBeforeAnythingStarts) {
    SetItemText(kFolderBox, L"");
    const auto seen = PressMain({{IDOK, L""}});
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].text, L"Choose a folder to install to.");
    EXPECT_TRUE(seen[0].hasOk);
    EXPECT_FALSE(JobStarted());
    EXPECT_EQ(ItemText(kMainButton), L"Install");
    // Enter in the folder box answers as the main button.
    SetFocus(Item(kFolderBox));
    BoxAnswerer answerer({{IDOK, L"Choose a folder to install to."}});
    PostMessageW(Item(kFolderBox), WM_KEYDOWN, VK_RETURN, 0);
    EXPECT_TRUE(answerer.Finished(5000));
}

TEST_F(ActionTest, NonAsciiFolderIsQuestionedOnceAndNoKeepsEverything) {
    const std::wstring folder = (temp / L"Spiele" / L"M\u00FCll \u00E4\u00F6").native();
    SetItemText(kFolderBox, folder);
    auto seen = PressMain({{IDNO, L""}});
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].text, kNonAscii);
    EXPECT_TRUE(seen[0].hasYesNo);
    EXPECT_FALSE(JobStarted());
    EXPECT_EQ(ItemText(kFolderBox), folder);

    // Yes goes on: the job runs and asks for the disc it wasn't given.
    seen = PressMain({{IDYES, L""}, {IDOK, L""}});
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].text, kNeedDisc);
    EXPECT_TRUE(JobStarted());
    EXPECT_TRUE(fs::exists(fs::path(folder) / L"setup.log"));
}

TEST_F(ActionTest, NonAsciiSourceRaisesNoQuestionAndAnEmptySourceReachesTheJob) {
    SetItemText(kSourceBox, L"C:\\Spiele\\M\u00FCll.iso");
    auto seen = PressMain({{IDOK, L""}});
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].text, kNeedDisc) << "the missing image is the job's to refuse";
    EXPECT_FALSE(seen[0].fromWindowThread && seen[0].hasYesNo);

    SetItemText(kSourceBox, L"");
    seen = PressMain({{IDOK, L""}});
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].text, kNeedDisc);
    EXPECT_EQ(ItemText(kStatusLine), kNeedDisc);
}

TEST_F(ActionTest, FolderSourceMustBeAnExistingFolder) {
    Click(kFolderOption);
    WriteBytes(temp / L"disc.iso", "ISO");
    for (const fs::path& source : {temp / L"disc.iso", temp / L"missing"}) {
        SetItemText(kSourceBox, source.native());
        const auto seen = PressMain({{IDOK, L""}});
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].text, kNotAFolder);
        EXPECT_TRUE(seen[0].hasOk);
        EXPECT_FALSE(JobStarted());
    }
    // A real folder passes; the job then starts (and here asks nothing more).
    SetItemText(kSourceBox, temp.path().native());
    const auto seen = PressMain({});
    EXPECT_TRUE(seen.empty());
    EXPECT_TRUE(JobStarted());
    CancelJob();
}

TEST_F(ActionTest, DeletingTheImageIsConfirmedWithItsPathAndNoStartsNothing) {
    const fs::path image = temp / L"MURK (USA, Europe).iso";
    WriteBytes(image, "ISO");
    SetItemText(kSourceBox, image.native());
    Click(kDeleteImageOption);
    const auto seen = PressMain({{IDNO, L""}});
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].text, L"Delete the disc image when it's been extracted?\n\n" +
                                image.native() +
                                L"\n\nThe game only needs the extracted files; you'd need the "
                                L"disc image again only to install somewhere else.");
    EXPECT_TRUE(seen[0].hasYesNo);
    EXPECT_FALSE(JobStarted());
    EXPECT_TRUE(Checked(kDeleteImageOption));
}

TEST_F(ActionTest, UpdateModeAndTheFolderOptionSkipTheDeletionQuestion) {
    const fs::path image = temp / L"disc.iso";
    WriteBytes(image, "ISO");
    s_updateMode = true;
    SetItemText(kSourceBox, image.native());
    Click(kDeleteImageOption);
    EXPECT_TRUE(PressMain({}).empty());
    EXPECT_TRUE(JobStarted());
    CancelJob();

    s_updateMode = false;
    Click(kFolderOption);
    SetItemText(kSourceBox, temp.path().native());
    // Even if something checked the option behind the window's back, a folder isn't deleted.
    CheckDlgButton(s_window, kDeleteImageOption, BST_CHECKED);
    EXPECT_TRUE(PressMain({}).empty());
    CancelJob();
}

TEST_F(ActionTest, MainButtonCancelsTheRunningJobAndKillsItsChildren) {
    HoldJobUntilCancelled();
    const fs::path image = temp / L"disc.iso";
    WriteBytes(image, "ISO");
    SetItemText(kSourceBox, image.native());
    ShowWindow(Item(kPlayButton), SW_SHOW);  // as after an earlier success
    Click(kMainButton);
    ASSERT_TRUE(s_busy);
    EXPECT_EQ(ItemText(kMainButton), L"Cancel");
    EXPECT_FALSE(Visible(kPlayButton));
    for (int id : {kSourceBox, kSourceBrowse, kFolderBox, kFolderBrowse, kShortcutOption,
                   kImageOption, kFolderOption, kFreeSpaceOption, kDeleteImageOption})
        EXPECT_FALSE(Enabled(id)) << id;
    EXPECT_TRUE(Enabled(kDetailsButton));

    // A child of the job, as the build would have.
    const fs::path launcher = ThisProgramFolder().parent_path().parent_path() / L"standins" /
                              L"launcher" / L"MurkLauncher.exe";
    SetEnvironmentVariableW(L"MURK_LAUNCHER_LINGER", L"1");
    std::wstring commandLine = Quote(launcher);
    STARTUPINFOW startup{.cb = sizeof startup};
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                               CREATE_SUSPENDED, nullptr, temp.path().c_str(), &startup, &info));
    SetEnvironmentVariableW(L"MURK_LAUNCHER_LINGER", nullptr);
    UniqueHandle child(info.hProcess);
    UniqueHandle childThread(info.hThread);
    ASSERT_TRUE(AssignProcessToJobObject(s_job.get(), child.get()));
    ResumeThread(childThread.get());

    BoxAnswerer answerer({{IDOK, L""}});
    Click(kMainButton);
    EXPECT_EQ(ItemText(kStatusLine), L"Cancelling...");
    EXPECT_EQ(WaitForSingleObject(child.get(), 5000), WAIT_OBJECT_0) << "the child was killed";
    ASSERT_TRUE(answerer.Finished());
    EXPECT_EQ(answerer.Seen().at(0).text, L"Cancelled.");
    EXPECT_FALSE(s_busy);
    EXPECT_EQ(ItemText(kMainButton), L"Install");
    EXPECT_EQ(ItemText(kStatusLine), L"Cancelled.");
}

constexpr wchar_t kSmartAppControl[] =
    L"Smart App Control is on. It blocks programs that aren't signed, so Windows will likely "
    L"refuse to run the game this build makes.\n\nInstall anyway?";
int s_policyState = -1;  // no value
std::optional<DWORD> PolicyState(HKEY root, const wchar_t* key, const wchar_t* name) {
    if (root != HKEY_LOCAL_MACHINE || s_policyState < 0 ||
        wcscmp(key, L"SYSTEM\\CurrentControlSet\\Control\\CI\\Policy") ||
        wcscmp(name, L"VerifiedAndReputablePolicyState"))
        return std::nullopt;
    return s_policyState;
}

// Asked before anything is made where Windows or OneDrive would undo the work. An update goes where
// the player installed: only Smart App Control is asked about, and No then ends the program.
TEST_F(ActionTest, SmartAppControlOneDriveAndNetworkFoldersAreAskedAboutAndNoMakesNothing) {
    const std::wstring folder = ItemText(kFolderBox);
    std::wstring oneDrive = temp.path().native();
    CharUpperW(oneDrive.data());
    SetEnvironmentVariableW(L"OneDriveConsumer", oneDrive.c_str());
    EXPECT_EQ(PressMain({{IDNO, L""}}).at(0).text,
              folder +
                  L" is inside OneDrive. OneDrive would upload the whole build (about 14 GB) "
                  L"and can hold its files while the build needs them.\n\nInstall there "
                  L"anyway?");
    SetEnvironmentVariableW(L"OneDriveConsumer", nullptr);
    // A UNC path, then a drive that Windows reports as remote.
    for (const std::wstring& remote : {std::wstring(L"\\\\server\\games\\MURK-Recomp"), folder}) {
        SetItemText(kFolderBox, remote);
        EXPECT_EQ(PressMain({{IDNO, L""}}).at(0).text,
                  remote +
                      L" is on a network drive. The build would be slow there and can "
                      L"fail.\n\nInstall there anyway?");
        s_driveType = [](LPCWSTR) -> UINT { return DRIVE_REMOTE; };
    }
    s_driveType = GetDriveTypeW;
    s_registryNumber = PolicyState;
    s_policyState = 1;
    EXPECT_EQ(PressMain({{IDNO, L""}}).at(0).text, kSmartAppControl);
    EXPECT_FALSE(fs::exists(folder));
    // Yes goes on (to the job's refusal: no disc was given); evaluation mode (2) blocks nothing.
    EXPECT_EQ(PressMain({{IDYES, L""}, {IDOK, L""}}).at(0).text, kSmartAppControl);
    for (const int state : {2, 0, -1}) {
        s_policyState = state;
        EXPECT_EQ(PressMain({{IDOK, L""}}).at(0).text, kNeedDisc) << state;
    }
    SetEnvironmentVariableW(L"OneDriveConsumer", oneDrive.c_str());
    s_driveType = [](LPCWSTR) -> UINT { return DRIVE_REMOTE; };
    s_updateMode = true;
    s_policyState = 1;
    EXPECT_EQ(PressMain({{IDNO, L""}}).at(0).text, kSmartAppControl);
    EXPECT_TRUE(PumpUntil([this] { return WindowGone(); }, 10000));
    SetEnvironmentVariableW(L"OneDriveConsumer", nullptr);
}

std::thread FailingThreadStart(std::function<void()>) {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
}

TEST_F(ActionTest, AThreadThatCannotStartLeavesTheWindowAsItWas) {
    s_startThread = FailingThreadStart;
    SetItemText(kMainButton, L"Update");
    ShowWindow(Item(kPlayButton), SW_SHOW);
    const auto seen = PressMain({{IDOK, L""}});
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].title, L"MURK Recompiled Setup");
    EXPECT_EQ(seen[0].text,
              L"Setup couldn't start the install: Windows is short of resources. Close some "
              L"programs and try again.");
    EXPECT_FALSE(s_busy);
    EXPECT_FALSE(JobStarted());
    EXPECT_EQ(ItemText(kMainButton), L"Update");
    EXPECT_TRUE(Visible(kPlayButton));
    EXPECT_TRUE(Enabled(kSourceBox));
    EXPECT_TRUE(Enabled(kFolderBox));
}

std::wstring s_picked;
std::wstring PickedFolder(HWND owner) {
    EXPECT_EQ(owner, s_window);
    return s_picked;
}

TEST_F(ActionTest, FolderBrowseAppendsTheLeafUnlessItIsAlreadyThere) {
    s_folderPicker = PickedFolder;
    const struct {
        std::wstring picked, folder;
    } cases[] = {
        {L"D:\\Games", L"D:\\Games\\MURK-Recomp"},
        {L"D:\\", L"D:\\MURK-Recomp"},
        {L"D:\\Games\\MURK-Recomp", L"D:\\Games\\MURK-Recomp"},
        {L"D:\\Games\\murk-recomp", L"D:\\Games\\murk-recomp\\MURK-Recomp"},
    };
    for (const auto& c : cases) {
        s_picked = c.picked;
        Click(kFolderBrowse);
        EXPECT_EQ(ItemText(kFolderBox), c.folder) << c.picked;
    }
    s_picked.clear();
    Click(kFolderBrowse);
    EXPECT_EQ(ItemText(kFolderBox), L"D:\\Games\\murk-recomp\\MURK-Recomp") << "cancel";
}

TEST_F(ActionTest, FolderBrowseUpdatesTheSpaceNoteAtOnce) {
    s_folderPicker = PickedFolder;
    s_picked = temp.path().native();
    s_freeBytes = [](const fs::path&) -> std::optional<std::uint64_t> { return 7ull << 30; };
    Click(kFolderBrowse);
    EXPECT_TRUE(ItemText(kSpaceNote).starts_with(L"7.0 GB free on that drive"));
}

OPENFILENAMEW s_request;
BOOL WINAPI ChooseImage(OPENFILENAMEW* request) {
    s_request = *request;
    wcscpy_s(request->lpstrFile, request->nMaxFile, L"E:\\Dumps\\MURK.iso");
    return TRUE;
}
BOOL WINAPI CancelOpen(OPENFILENAMEW*) {
    return FALSE;
}

TEST_F(ActionTest, SourceBrowseAsksForAnImageFileOrAFolderByTheChosenKind) {
    s_openFile = ChooseImage;
    Click(kSourceBrowse);
    EXPECT_EQ(ItemText(kSourceBox), L"E:\\Dumps\\MURK.iso");
    EXPECT_EQ(s_request.lStructSize, 152u);
    EXPECT_EQ(s_request.hwndOwner, s_window);
    // Two name and pattern pairs, then the empty pair that ends the list.
    constexpr wchar_t kFilter[] = L"Disc images (*.iso)\0*.iso\0All files\0*.*\0";
    EXPECT_EQ(std::wstring_view(s_request.lpstrFilter, std::size(kFilter)),
              std::wstring_view(kFilter, std::size(kFilter)));
    EXPECT_EQ(s_request.nFilterIndex, 1u);
    EXPECT_EQ(s_request.nMaxFile, 260u);
    EXPECT_EQ(s_request.Flags, static_cast<DWORD>(OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST));
    EXPECT_EQ(s_request.lpstrTitle, nullptr);
    EXPECT_EQ(s_request.lpstrInitialDir, nullptr);

    s_openFile = CancelOpen;
    Click(kSourceBrowse);
    EXPECT_EQ(ItemText(kSourceBox), L"E:\\Dumps\\MURK.iso");

    Click(kFolderOption);
    s_folderPicker = PickedFolder;
    s_picked = L"E:\\Extracted";
    Click(kSourceBrowse);
    EXPECT_EQ(ItemText(kSourceBox), L"E:\\Extracted");
    s_picked.clear();
    Click(kSourceBrowse);
    EXPECT_EQ(ItemText(kSourceBox), L"E:\\Extracted");
}

TEST_F(ActionTest, CancellingTheRealDialogsChangesNothing) {
    SetItemText(kSourceBox, L"kept.iso");
    {
        BoxAnswerer canceller({{IDCANCEL, L"", L""}});
        Click(kSourceBrowse);
        EXPECT_TRUE(canceller.Finished());
    }
    EXPECT_EQ(ItemText(kSourceBox), L"kept.iso");

    const std::wstring folder = ItemText(kFolderBox);
    {
        BoxAnswerer canceller({{IDCANCEL, L"", L""}});
        Click(kFolderBrowse);
        EXPECT_TRUE(canceller.Finished());
    }
    EXPECT_EQ(ItemText(kFolderBox), folder);
}

struct Launched {
    fs::path folder;
    std::wstring commandLine;
    DWORD id = 0;
};

std::optional<Launched> ParseLaunch(const std::wstring& text) {
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (size_t end; (end = text.find(L'\n', start)) != std::wstring::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    if (lines.size() < 3 || lines[2].empty()) return std::nullopt;
    return Launched{lines[0], lines[1],
                    static_cast<DWORD>(std::wcstoul(lines[2].c_str(), nullptr, 10))};
}

// The launcher's report, once it is complete.
std::optional<Launched> WaitForLaunch(const fs::path& folder) {
    const fs::path report = folder / L"launched.txt";
    std::optional<Launched> launched;
    std::wstring text;
    PumpUntil(
        [&] {
            text = Widen(ReadBytes(report));
            launched = ParseLaunch(text);
            return launched.has_value();
        },
        10000);
    if (!launched) ADD_FAILURE() << "launcher report: '" << text << "'";
    return launched;
}

fs::path PlaceLauncher(const fs::path& folder) {
    fs::create_directories(folder);
    const fs::path launcher = folder / L"MurkLauncher.exe";
    fs::copy_file(ThisProgramFolder().parent_path().parent_path() / L"standins" / L"launcher" /
                      L"MurkLauncher.exe",
                  launcher);
    return launcher;
}

TEST_F(ActionTest, PlayStartsTheLauncherInItsFolderOutsideTheJobAndCloses) {
    const fs::path folder = temp / L"murk recomp" / L"build" / L"runtime";
    s_installed = PlaceLauncher(folder);
    ShowWindow(Item(kPlayButton), SW_SHOW);
    SetEnvironmentVariableW(L"MURK_LAUNCHER_LINGER", L"1");
    Click(kPlayButton);
    SetEnvironmentVariableW(L"MURK_LAUNCHER_LINGER", nullptr);
    ASSERT_TRUE(PumpUntil([this] { return WindowGone(); }, 10000));
    EXPECT_EQ(FindDialog(kTitle), nullptr) << "closing after Play asks nothing";

    const auto launched = WaitForLaunch(folder);
    ASSERT_TRUE(launched);
    EXPECT_EQ(fs::path(launched->folder), folder);
    EXPECT_EQ(launched->commandLine, L"\"" + s_installed.native() + L"\"");
    UniqueHandle process(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION,
                                     FALSE, launched->id));
    ASSERT_TRUE(process);
    // Whatever the checks find, the launcher must not linger after the test.
    const std::unique_ptr<void, void (*)(HANDLE)> stop(process.get(),
                                                       [](HANDLE h) { TerminateProcess(h, 0); });
    BOOL inOurJob = TRUE;
    IsProcessInJob(process.get(), s_job.get(), &inOurJob);
    EXPECT_FALSE(inOurJob);
    TerminateJobObject(s_job.get(), 1);
    EXPECT_EQ(WaitForSingleObject(process.get(), 300), static_cast<DWORD>(WAIT_TIMEOUT))
        << "the launcher outlives Setup's children";
}

TEST_F(ActionTest, SuccessfulUpdateStartsTheLauncherAndClosesWithoutABox) {
    const fs::path folder = temp / L"runtime";
    s_installed = PlaceLauncher(folder);
    s_updateMode = true;
    SetBusy(true);
    PostDone(true, L"Updated.");
    ASSERT_TRUE(PumpUntil([this] { return WindowGone(); }, 10000));
    EXPECT_TRUE(QuitPosted());
    const auto launched = WaitForLaunch(folder);
    ASSERT_TRUE(launched);
    EXPECT_EQ(fs::path(launched->folder), folder);
}

TEST_F(ActionTest, PlayWithoutALauncherLeavesTheWindowAndOneWindowsRefusesIsNamed) {
    s_installed = temp / L"gone" / L"MurkLauncher.exe";
    ShowWindow(Item(kPlayButton), SW_SHOW);
    FakeSystem boxes(std::nullopt, IDOK);  // a box would be recorded, not shown
    Click(kPlayButton);
    Pump();  // whatever Play posted: a close, had it started anything
    EXPECT_FALSE(WindowGone());
    EXPECT_TRUE(boxes.questions().empty());
    EXPECT_TRUE(Visible(kPlayButton));

    // Smart App Control refuses it.
    s_createProcess = [](auto...) -> BOOL {
        SetLastError(4551);
        return FALSE;
    };
    Click(kPlayButton);
    EXPECT_EQ(boxes.questions().at(0).text,
              L"Windows blocked " + s_installed.native() +
                  L" (Smart App Control or your organisation's policy).");
}

}  // namespace
}  // namespace murk::test
