#include "setup/install/install.h"
#include "setup/install/shortcut.h"
#include "setup/job/channel.h"
#include "setup/job/handles.h"

#include "tests/support/test_support.h"

#include "maintenance/tree.h"

#include <gtest/gtest.h>

#include <shlobj.h>
#include <shobjidl.h>

#include <optional>

namespace murk::setup {
namespace {

namespace fs = std::filesystem;
using test::Collector;
using test::MarkMadeBySetup;
using test::ReadBytes;
using test::TempFolder;
using test::WriteBytes;

constexpr wchar_t kDone[] = L"Done. Start the game with the launcher";
constexpr wchar_t kOnDesktop[] = L" (\"MURK Recompiled\" on the desktop).";
constexpr wchar_t kFreedTail[] =
    L" (the next update downloads the tools again and rebuilds from scratch).";
constexpr wchar_t kImageDeleted[] =
    L"\n\nThe disc image was deleted (the game's files are in murk-recomp\\game\\extracted).";
constexpr char kLeftoversLine[] =
    "Deleting Build leftovers (object files, libraries, generated C++)";
constexpr char kToolsLine[] =
    "Deleting Build tools Setup downloaded (Git, CMake, Ninja, Clang, Python)";
constexpr std::size_t kMiB = 1 << 20;
// How long the tests let a held file be waited for.
constexpr std::uint64_t kPatience = 1000;

fs::path s_testDesktop;

std::optional<fs::path> TestDesktop() {
    return s_testDesktop;
}

void WriteFile(const fs::path& file, std::size_t size) {
    fs::create_directories(file.parent_path());
    WriteBytes(file, std::string(size, 'x'));
}

bool Exists(const fs::path& path) {
    std::error_code error;
    return fs::exists(path, error);
}

// Opens a file the way a running program often does: others may read and write, not delete.
UniqueHandle Hold(const fs::path& file) {
    return OwnFileHandle(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

struct Shortcut {
    std::wstring target;
    std::wstring folder;
    std::wstring description;
};

std::optional<Shortcut> ReadShortcut(const fs::path& file) {
    IShellLinkW* rawLink = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&rawLink))))
        return std::nullopt;
    const ComPtr<IShellLinkW> link(rawLink);
    IPersistFile* rawFile = nullptr;
    if (FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&rawFile))))
        return std::nullopt;
    const ComPtr<IPersistFile> persist(rawFile);
    if (FAILED(persist->Load(file.c_str(), STGM_READ))) return std::nullopt;
    wchar_t target[MAX_PATH] = L"";
    wchar_t folder[MAX_PATH] = L"";
    wchar_t description[MAX_PATH] = L"";
    link->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH);
    link->GetWorkingDirectory(folder, MAX_PATH);
    link->GetDescription(description, MAX_PATH);
    return Shortcut{target, folder, description};
}

class FinishStepTest : public ::testing::Test {
  protected:
    FinishStepTest() {
        s_testDesktop = desktop.path();
        s_desktopFolder = TestDesktop;
        job.choices = {.source = install / L"MURK.iso",
                       .folder = install.path(),
                       .shortcut = false,
                       .freeSpace = false,
                       .deleteImage = false};
        job.repository = install / L"murk-recomp";
        job.extracted = job.repository / L"game" / L"extracted";
        job.needsExtraction = true;
        launcher = job.repository / L"build" / L"runtime" / L"MurkLauncher.exe";
        WriteFile(launcher, 100);
        WriteFile(job.extracted / L"default.xex", 100);
        WriteFile(job.choices.source, 1000);
        OpenLog(install.path());
        maintenance::s_patienceMilliseconds = kPatience;
    }
    ~FinishStepTest() override {
        CloseLog();
        s_desktopFolder = original_;
        maintenance::s_patienceMilliseconds = 10'000;
    }

    // Runs the step; the failure message, or nothing when the step succeeded.
    std::optional<std::wstring> Finish() {
        std::optional<std::wstring> failure;
        try {
            FinishStep(job);
        } catch (const Failed& failed) {
            failure = failed.message;
        }
        window.Drain();
        return failure;
    }

    std::string Logged() {
        CloseLog();
        return ReadBytes(install / L"setup.log");
    }

    ComApartment apartment;
    TempFolder install;
    TempFolder desktop;
    Collector window;
    Job job;
    fs::path launcher;

  private:
    DesktopFolderQuery original_ = s_desktopFolder;
};

TEST_F(FinishStepTest, MissingLauncherFailsButStillRecordsItsPath) {
    s_installed = L"C:\\elsewhere\\MurkLauncher.exe";
    fs::remove(launcher);
    job.choices.shortcut = true;
    job.choices.freeSpace = true;
    job.choices.deleteImage = true;
    WriteFile(job.repository / L"build" / L"main.obj", 10);

    EXPECT_EQ(Finish(), L"The build finished but MurkLauncher.exe isn't there.");
    EXPECT_EQ(s_installed, launcher);
    EXPECT_TRUE(job.finalMessage.empty());
    // Nothing after the check ran: no shortcut, no clean-up, no deletion.
    EXPECT_TRUE(fs::is_empty(desktop.path()));
    EXPECT_TRUE(Exists(job.repository / L"build" / L"main.obj"));
    EXPECT_TRUE(Exists(job.choices.source));
}

TEST_F(FinishStepTest, ShortcutOnTheDesktopPointsAtTheLauncher) {
    job.choices.shortcut = true;
    WriteBytes(desktop / L"MURK Recompiled.lnk", "an older file of that name");

    EXPECT_EQ(Finish(), std::nullopt);
    EXPECT_EQ(s_installed, launcher);
    EXPECT_EQ(job.finalMessage, std::wstring(kDone) + kOnDesktop);
    const std::optional<Shortcut> shortcut = ReadShortcut(desktop / L"MURK Recompiled.lnk");
    ASSERT_TRUE(shortcut.has_value());
    EXPECT_EQ(shortcut->target, launcher.native());
    EXPECT_EQ(shortcut->folder, launcher.parent_path().native());
    EXPECT_EQ(shortcut->description, L"MURK Recompiled");
    // The step logs nothing of its own when no option asks for a clean-up.
    EXPECT_EQ(Logged(), "");
}

// A folder of that name in the way, then no desktop at all: logged, not claimed, nothing deleted.
TEST_F(FinishStepTest, AShortcutThatCantBeMadeIsLoggedAndNotClaimed) {
    job.choices.shortcut = true;
    const fs::path inTheWay = desktop / L"MURK Recompiled.lnk";
    WriteFile(inTheWay / L"kept.txt", 10);
    EXPECT_EQ(Finish(), std::nullopt);
    EXPECT_EQ(job.finalMessage, std::wstring(kDone) + L".");
    EXPECT_EQ(ReadBytes(inTheWay / L"kept.txt").size(), 10u);

    s_desktopFolder = [] { return std::optional<fs::path>(); };
    EXPECT_EQ(Finish(), std::nullopt);
    EXPECT_EQ(job.finalMessage, std::wstring(kDone) + L".");
    EXPECT_EQ(Logged(), "(couldn't put the shortcut on the desktop: " + Utf8(inTheWay.native()) +
                            " is a folder)\r\n(couldn't put the shortcut on the desktop: Windows "
                            "didn't say where the desktop is)\r\n");
}

TEST_F(FinishStepTest, NoOptionsLeaveTheDesktopAndTheFilesAlone) {
    WriteFile(job.repository / L"build" / L"main.obj", 10);

    EXPECT_EQ(Finish(), std::nullopt);
    EXPECT_EQ(job.finalMessage, std::wstring(kDone) + L".");
    EXPECT_TRUE(fs::is_empty(desktop.path()));
    EXPECT_TRUE(Exists(job.repository / L"build" / L"main.obj"));
    EXPECT_TRUE(Exists(job.choices.source));
}

TEST_F(FinishStepTest, AllOptionsDeleteTheGroupsAndTheImageInThreeParagraphs) {
    job.choices.shortcut = job.choices.freeSpace = job.choices.deleteImage = true;
    const fs::path build = job.repository / L"build";
    WriteFile(build / L"obj" / L"main.obj", kMiB);
    WriteFile(build / L"libgame.a", kMiB / 2);
    WriteFile(job.repository / L"generated" / L"ppc" / L"func_0.cpp", kMiB / 2);
    WriteFile(build / L"build.ninja", 10);
    WriteFile(job.repository / L"tools" / L"build.py", 10);
    const fs::path tools = install / L"tools";
    WriteFile(tools / L"Clang" / L"bin" / L"clang.exe", 2 * kMiB);
    WriteFile(tools / L"Git" / L"git.exe", kMiB);
    MarkMadeBySetup(tools / L"Clang");
    MarkMadeBySetup(tools / L"Git");
    WriteFile(install / L"temp" / L"cc1.tmp", 10);
    MarkMadeBySetup(install / L"temp");

    EXPECT_EQ(Finish(), std::nullopt);
    EXPECT_EQ(job.finalMessage,
              std::wstring(kDone) + kOnDesktop + L"\n\nFreed 5 MB" + kFreedTail + kImageDeleted);
    EXPECT_FALSE(Exists(install / L"temp"));
    EXPECT_FALSE(Exists(build / L"obj" / L"main.obj"));
    EXPECT_FALSE(Exists(build / L"libgame.a"));
    EXPECT_FALSE(Exists(job.repository / L"generated" / L"ppc"));
    EXPECT_FALSE(Exists(tools));
    EXPECT_FALSE(Exists(job.choices.source));
    // What the game and the next update need stays.
    EXPECT_TRUE(Exists(launcher));
    EXPECT_TRUE(Exists(build / L"build.ninja"));
    EXPECT_TRUE(Exists(job.repository / L"tools" / L"build.py"));
    EXPECT_TRUE(Exists(job.extracted / L"default.xex"));
    EXPECT_TRUE(Exists(desktop / L"MURK Recompiled.lnk"));

    const std::string image = Utf8(job.choices.source.native());
    EXPECT_EQ(Logged(), "== Freeing up space\r\n" + std::string(kLeftoversLine) + ": 2 MB\r\n" +
                            kToolsLine + ": 3 MB\r\nDeleted the disc image " + image + "\r\n");
    EXPECT_EQ(window.statuses, (std::vector<std::wstring>{L"Freeing up space"}));
}

// Held files are waited for: a tool that a scanner holds for a moment goes without a word, and a
// leftover held for good is named once its group has waited as long as it may.
TEST_F(FinishStepTest, ALockedLeftoverKeepsItsGroupOutOfTheTotal) {
    job.choices.freeSpace = true;
    const fs::path build = job.repository / L"build";
    WriteFile(build / L"a.obj", kMiB);
    WriteFile(build / L"b.obj", kMiB);
    WriteFile(job.repository / L"generated" / L"ppc" / L"f.cpp", kMiB);
    WriteFile(install / L"tools" / L"CMake" / L"cmake.exe", 2 * kMiB);
    MarkMadeBySetup(install / L"tools" / L"CMake");
    const UniqueHandle held = Hold(build / L"a.obj");
    ASSERT_TRUE(held);
    UniqueHandle scanned = Hold(install / L"tools" / L"CMake" / L"cmake.exe");

    const ULONGLONG start = GetTickCount64();
    ASSERT_TRUE(window.RunWhileTaking(
        [&] { FinishStep(job); },
        [&] {
            if (!window.logs.empty() && window.logs.back().starts_with(L"Deleting Build tools"))
                scanned.reset();
        }));
    // Waited for as long as the group may wait, and not for much longer.
    EXPECT_GE(GetTickCount64() - start, kPatience);
    EXPECT_LT(GetTickCount64() - start, kPatience + 5000);
    EXPECT_EQ(job.finalMessage, std::wstring(kDone) + L".\n\nFreed 2 MB" + kFreedTail);
    EXPECT_TRUE(Exists(build / L"a.obj"));
    EXPECT_FALSE(Exists(build / L"b.obj"));
    EXPECT_FALSE(Exists(job.repository / L"generated" / L"ppc"));
    EXPECT_FALSE(Exists(install / L"tools"));
    EXPECT_EQ(Logged(), "== Freeing up space\r\n" + std::string(kLeftoversLine) +
                            ": 3 MB\r\n(some of it couldn't be deleted: " +
                            Utf8((build / L"a.obj").native()) +
                            " is in use by another program)\r\n" + kToolsLine + ": 2 MB\r\n");
}

TEST_F(FinishStepTest, ToolsFromThePathLeaveAnEmptyToolsGroup) {
    job.choices.freeSpace = true;
    WriteFile(job.repository / L"build" / L"x.lib", 3 * kMiB);
    WriteFile(install / L"tools" / L"Git" / L"git.exe", kMiB);
    WriteFile(install / L"tools" / L"Ninja" / L"ninja.exe", kMiB);
    MarkMadeBySetup(install / L"tools" / L"Git");
    MarkMadeBySetup(install / L"tools" / L"Ninja");
    WriteFile(install / L"temp" / L"notes.txt", 10);  // a folder of the user's

    EXPECT_EQ(Finish(), std::nullopt);
    EXPECT_EQ(job.finalMessage, std::wstring(kDone) + L".\n\nFreed 3 MB" + kFreedTail);
    EXPECT_TRUE(Exists(install / L"tools" / L"Git" / L"git.exe"));
    EXPECT_TRUE(Exists(install / L"temp" / L"notes.txt"));
    EXPECT_EQ(Logged(), "== Freeing up space\r\n" + std::string(kLeftoversLine) + ": 3 MB\r\n" +
                            kToolsLine + ": 0 MB\r\n");
}

// The user's own Python in the tools folder served the build; it isn't Setup's to delete.
TEST_F(FinishStepTest, AUsersOwnToolFolderStaysBesideTheOnesSetupMade) {
    job.choices.freeSpace = true;
    const fs::path tools = install / L"tools";
    WriteFile(tools / L"Python" / L"python.exe", kMiB);
    WriteFile(tools / L"Clang" / L"bin" / L"clang++.exe", 2 * kMiB);
    WriteFile(tools / L"CMake" / L"bin" / L"cmake.exe", kMiB);
    WriteFile(tools / L"Ninja.zip", kMiB);
    MarkMadeBySetup(tools / L"Clang");
    MarkMadeBySetup(tools / L"CMake");
    MarkMadeBySetup(tools / L"Ninja");  // emptied for the download that left Ninja.zip

    EXPECT_EQ(Finish(), std::nullopt);
    EXPECT_EQ(job.finalMessage, std::wstring(kDone) + L".\n\nFreed 4 MB" + kFreedTail);
    EXPECT_EQ(ReadBytes(tools / L"Python" / L"python.exe"), std::string(kMiB, 'x'));
    for (const wchar_t* gone : {L"Clang", L"CMake", L"Ninja.zip"})
        EXPECT_FALSE(Exists(tools / gone)) << gone;
    EXPECT_EQ(Logged(), "== Freeing up space\r\n" + std::string(kLeftoversLine) + ": 0 MB\r\n" +
                            kToolsLine + ": 4 MB\r\n");
}

// An install from before the marker: its setup.log names the tools Setup downloaded. A Git.zip
// of the user's own stays, and so does what links in the build tree and in a tool folder point
// at: it is neither counted nor deleted.
TEST_F(FinishStepTest, APreMarkerInstallFreesTheToolsItsLogNamesAndNothingBehindALink) {
    job.choices.freeSpace = true;
    const fs::path tools = install / L"tools";
    const fs::path build = job.repository / L"build";
    WriteFile(tools / L"Clang" / L"bin" / L"clang++.exe", 2 * kMiB);
    WriteFile(tools / L"Python" / L"python.exe", kMiB);
    WriteFile(tools / L"Git.zip", kMiB);
    WriteFile(build / L"main.obj", kMiB);
    Log(L"Clang: downloading https://github.com/llvm-mingw-ucrt-x86_64.zip");
    Log(L"Python: downloading http://127.0.0.1:8080/python.3.12.10.nupkg");
    TempFolder outside;
    WriteFile(outside / L"deps.obj", kMiB);
    ASSERT_TRUE(test::MakeFolderLink(build / L"deps", outside.path()));
    ASSERT_TRUE(test::MakeFolderLink(tools / L"Clang" / L"docs", outside.path()));

    EXPECT_EQ(Finish(), std::nullopt);
    const std::string logged = Logged();
    EXPECT_NE(logged.find(std::string(kLeftoversLine) + ": 1 MB\r\n"), std::string::npos);
    EXPECT_NE(logged.find(std::string(kToolsLine) + ": 3 MB\r\n"), std::string::npos);
    EXPECT_FALSE(Exists(build / L"main.obj"));
    EXPECT_FALSE(Exists(tools / L"Clang" / L"bin"));
    EXPECT_FALSE(Exists(tools / L"Python"));
    EXPECT_EQ(ReadBytes(tools / L"Git.zip").size(), kMiB);
    EXPECT_EQ(ReadBytes(outside / L"deps.obj").size(), kMiB);
}

TEST_F(FinishStepTest, NothingToFreeStillSaysSo) {
    job.choices.freeSpace = true;
    EXPECT_EQ(Finish(), std::nullopt);
    EXPECT_EQ(job.finalMessage, std::wstring(kDone) + L".\n\nFreed 0 MB" + kFreedTail);
}

TEST_F(FinishStepTest, ImageStaysWhenTheJobStartedWithTheFilesExtracted) {
    job.choices.deleteImage = true;
    job.needsExtraction = false;
    EXPECT_EQ(Finish(), std::nullopt);
    EXPECT_TRUE(Exists(job.choices.source));
    EXPECT_EQ(job.finalMessage, std::wstring(kDone) + L".");
    EXPECT_EQ(Logged(), "");
}

TEST_F(FinishStepTest, ImageStaysWhenTheBuildDidNotExtractTheFiles) {
    job.choices.deleteImage = true;
    fs::remove(job.extracted / L"default.xex");
    EXPECT_EQ(Finish(), std::nullopt);
    EXPECT_TRUE(Exists(job.choices.source));
    EXPECT_EQ(Logged(), "");
}

TEST_F(FinishStepTest, ADiscFolderIsNeverDeleted) {
    job.choices.deleteImage = true;
    job.choices.source = install / L"disc";
    WriteFile(job.choices.source / L"default.xex", 100);
    EXPECT_EQ(Finish(), std::nullopt);
    EXPECT_TRUE(Exists(job.choices.source / L"default.xex"));
    EXPECT_EQ(job.finalMessage, std::wstring(kDone) + L".");
    EXPECT_EQ(Logged(), "");
}

TEST_F(FinishStepTest, AnImageInUseIsLoggedAndTheJobStillSucceeds) {
    job.choices.deleteImage = true;
    const UniqueHandle held = Hold(job.choices.source);
    ASSERT_TRUE(held);
    EXPECT_EQ(Finish(), std::nullopt);
    EXPECT_TRUE(Exists(job.choices.source));
    EXPECT_EQ(job.finalMessage, std::wstring(kDone) + L".");
    EXPECT_EQ(Logged(), "Couldn't delete the disc image " + Utf8(job.choices.source.native()) +
                            ": another program is using it.\r\n");
}

}  // namespace
}  // namespace murk::setup
