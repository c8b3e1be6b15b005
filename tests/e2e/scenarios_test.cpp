// The whole program in a world of its own: MurkSetupWorld.exe started as a separate process and
// driven through its window. Each scenario checks setup.log line by line, what is left on disk,
// the desktop shortcut, the window's final state and how the program ended.
#include "setup/window/window.h"
#include "tests/e2e/world.h"
#include "tests/support/system_tar.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace murk::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

constexpr char kDone[] = "Done. Start the game with the launcher";
constexpr char kOnDesktop[] = " (\"MURK Recompiled\" on the desktop).";
constexpr char kBuilding[] = "== Building (the first build takes 10-30 minutes)";

std::string Quoted(const fs::path& path) {
    return "\"" + U8(path.native()) + "\"";
}

struct Tool {
    const char* name;
    const char* url;        // below the origin
    const wchar_t* inside;  // the program, below the tool's folder
};

const Tool kTools[] = {
    {"Git", "/downloads/MinGit-2.47.1-64-bit.zip", L"cmd\\git.exe"},
    {"CMake", "/downloads/cmake-3.31.2-windows-x86_64.zip",
     L"cmake-3.31.2-windows-x86_64\\bin\\cmake.exe"},
    {"Ninja", "/downloads/ninja-win.zip", L"ninja.exe"},
    {"Clang", "/downloads/llvm-mingw-20241217-ucrt-x86_64.zip",
     L"llvm-mingw-20241217-ucrt-x86_64\\bin\\clang++.exe"},
    {"Python", "/v3-flatcontainer/python/3.12.10/python.3.12.10.nupkg", L"tools\\python.exe"},
};

class Scenario : public ::testing::Test {
  protected:
    void TearDown() override {
        // What the program did is the first thing to read when a scenario fails.
        if (!HasFailure()) return;
        std::printf("--- setup.log ---\n");
        for (const std::string& line : world.LogLines())
            std::printf("%s\n", line.c_str());
    }
    fs::path Tools() const { return world.install / L"tools"; }
    fs::path Program(const Tool& tool) const {
        return Tools() / tool.name / tool.inside;
    }

    // What the tools step logs when it downloads one tool.
    Lines Downloaded(const Tool& tool) const {
        const fs::path archive = Tools() / (std::string(tool.name) + ".zip");
        return {std::string(tool.name) + ": downloading " + U8(world.Origin()) + tool.url,
                std::string("== Unpacking ") + tool.name,
                "$ " + Quoted(SystemTarPath()) + " -xf " + Quoted(archive) + " -C " +
                    Quoted(Tools() / tool.name),
                std::string(tool.name) + ": " + U8(Program(tool).native())};
    }
    Lines AllDownloaded() const {
        Lines lines = {"== Checking the tools"};
        for (const Tool& tool : kTools)
            for (std::string& line : Downloaded(tool))
                lines.push_back(std::move(line));
        return lines;
    }
    Lines Git(const std::string& arguments) const {
        return {"$ git -C " + Quoted(world.Repository()) + " " + arguments};
    }
    // A fresh clone that is on main and fast-forwarded.
    Lines Cloned() const {
        Lines lines = {"== Downloading the source code",
                       "$ git clone " + U8(world.Origin()) + "/velkrand/murk-recomp.git " +
                           Quoted(world.Repository())};
        for (Lines part : {Updated()})
            lines.insert(lines.end(), part.begin(), part.end());
        return lines;
    }
    Lines Updated() const {
        return {"$ git -C " + Quoted(world.Repository()) + " fetch --tags --force origin",
                "$ git -C " + Quoted(world.Repository()) + " symbolic-ref -q --short HEAD",
                "main",
                "$ git -C " + Quoted(world.Repository()) +
                    " status --porcelain --untracked-files=no --ignore-submodules=all",
                "The source folder is on branch main: updating that branch.",
                "$ git -C " + Quoted(world.Repository()) + " pull --ff-only"};
    }
    // The build script's log (BuildScript()), with the disc or without.
    Lines Built(const fs::path& disc) const {
        std::string command = "$ python -u tools\\build.py";
        if (!disc.empty()) command += " --iso " + Quoted(disc);
        return {kBuilding,
                command,
                "==> Extracting the game's files",
                "==> Generating C++ from the game's code",
                "[1/4] ppc_recomp.0.cpp",
                "==> Compiling",
                "cmake.exe: " + U8(Program(kTools[1]).native()),
                "ninja.exe: " + U8(Program(kTools[2]).native()),
                "clang++.exe: " + U8(Program(kTools[3]).native()),
                "[3/4] Building CXX object main.obj",
                "[4/4] Linking MurkLauncher.exe",
                "Build finished."};
    }
    Lines Header() const {
        return {"MURK Recompiled Setup, installing to " + U8(world.install.native())};
    }
    static Lines Join(std::initializer_list<Lines> parts) {
        Lines all;
        for (const Lines& part : parts)
            all.insert(all.end(), part.begin(), part.end());
        return all;
    }

    // Starts a job on world.install with source, from the window's boxes.
    void StartInstall(const fs::path& source) {
        world.Start();
        world.SetText(setup::kSourceBox, source.native());
        world.SetText(setup::kFolderBox, world.install.native());
        world.Click(setup::kMainButton);
        ASSERT_TRUE(WaitUntil([&] { return world.Text(setup::kMainButton) == L"Cancel"; }));
    }
    // Waits for the job's end box, checks its text and answers OK.
    void ExpectEndBox(const std::wstring& message) {
        HWND box = world.WaitForBox();
        ASSERT_NE(box, nullptr) << "no box at the end of the job";
        EXPECT_EQ(World::BoxText(box), message);
        World::Press(box, IDOK);
    }
    // A failed job: the warning box with the message, then the idle window with the log open.
    void ExpectFailure(const std::wstring& message) {
        ExpectEndBox(message);
        EXPECT_EQ(world.Text(setup::kStatusLine), message);
        EXPECT_EQ(world.Text(setup::kMainButton), L"Install");
        EXPECT_FALSE(world.Visible(setup::kPlayButton));
        EXPECT_TRUE(world.Visible(setup::kDetailsView));
        EXPECT_EQ(world.Progress(), 0);
        EXPECT_TRUE(world.Enabled(setup::kSourceBox));
        EXPECT_FALSE(fs::exists(world.Shortcut()));
    }
    void ExpectClosesCleanly() {
        world.Close();
        EXPECT_EQ(world.WaitForExit(), 0u);
    }
    void ExpectShortcut() {
        const ShortcutInfo shortcut = ReadShortcut(world.Shortcut());
        EXPECT_EQ(shortcut.target, world.Launcher().native());
        EXPECT_EQ(shortcut.folder, world.Launcher().parent_path().native());
        EXPECT_EQ(shortcut.description, L"MURK Recompiled");
    }
    std::wstring DoneMessage() const {
        return setup::Widen(std::string(kDone) + kOnDesktop);
    }

    World world;
};

// Scenario 1: a fresh install from a disc image, through the window up to Play.
TEST_F(Scenario, FreshInstallFromDiscImageThroughTheWindowUpToPlay) {
    world.PublishTools();
    world.PublishProject();
    world.SetBuildScript(BuildScript("wait %MURK_WORLD_STATE%\\go\n"));
    world.environment[L"MURK_WORLD_OPEN_FILE"] = world.image.native();
    world.environment[L"MURK_WORLD_PICKS"] = world.install.parent_path().native();
    world.Start();

    EXPECT_EQ(world.Text(setup::kStatusLine), L"Ready.");
    EXPECT_EQ(world.Text(setup::kMainButton), L"Install");
    EXPECT_FALSE(world.Visible(setup::kPlayButton));
    world.Click(setup::kSourceBrowse);
    ASSERT_TRUE(WaitUntil([&] { return world.Text(setup::kSourceBox) == world.image.native(); }));
    world.Click(setup::kFolderBrowse);
    ASSERT_TRUE(
        WaitUntil([&] { return world.Text(setup::kFolderBox) == world.install.native(); }));
    EXPECT_TRUE(world.Text(setup::kSpaceNote).starts_with(L"100.0 GB free on that drive"));

    world.Click(setup::kMainButton);
    // The build holds at 60 %: the window shows its status and progress meanwhile.
    ASSERT_TRUE(WaitUntil([&] {
        return world.Text(setup::kStatusLine) == L"Generating C++ from the game's code" &&
               world.Progress() == 60;
    })) << U8(world.Text(setup::kStatusLine));
    EXPECT_EQ(world.Text(setup::kMainButton), L"Cancel");
    EXPECT_FALSE(world.Enabled(setup::kSourceBox));
    EXPECT_FALSE(world.Enabled(setup::kFolderBrowse));
    WriteBytes(world.state / L"go", "");

    ExpectEndBox(DoneMessage());
    EXPECT_EQ(world.Text(setup::kStatusLine), DoneMessage());
    EXPECT_EQ(world.Text(setup::kMainButton), L"Update");
    EXPECT_TRUE(world.Visible(setup::kPlayButton));
    EXPECT_EQ(world.Progress(), 100);
    EXPECT_FALSE(world.Visible(setup::kDetailsView));

    EXPECT_EQ(world.LogLines(), Join({Header(), AllDownloaded(), Cloned(), Built(world.image),
                                      {std::string(kDone) + kOnDesktop}}));
    for (const Tool& tool : kTools) {
        EXPECT_TRUE(fs::exists(Program(tool))) << tool.name;
        EXPECT_FALSE(fs::exists(Tools() / (std::string(tool.name) + ".zip"))) << tool.name;
    }
    EXPECT_EQ(ReadBytes(world.Repository() / L"game" / L"extracted" / L"default.xex"),
              ReadBytes(world.image));
    EXPECT_TRUE(fs::exists(world.image));
    ExpectShortcut();

    world.Click(setup::kPlayButton);
    EXPECT_EQ(world.WaitForExit(), 0u);
    const fs::path launched = world.Launcher().parent_path() / L"launched.txt";
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(launched); }));
    EXPECT_TRUE(ReadBytes(launched).starts_with(U8(world.Launcher().parent_path().native())));
}

}  // namespace
}  // namespace murk::test
