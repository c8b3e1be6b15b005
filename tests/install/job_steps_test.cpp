#include "setup/install/install.h"

#include "setup/job/channel.h"
#include "setup/job/environment.h"
#include "setup/job/process.h"
#include "setup/job/system.h"
#include "tests/support/standin.h"
#include "tests/support/test_support.h"

#include "maintenance/maintenance.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace murk::setup {
namespace {

namespace fs = std::filesystem;
using test::Collector;
using test::TempFolder;
using test::WriteBytes;

std::wstring Variable(const wchar_t* name) {
    std::wstring buffer(32768, L'\0');
    buffer.resize(GetEnvironmentVariableW(name, buffer.data(), 32768));
    return buffer;
}

// An update of an install whose tools were downloaded before: the job takes them from the tools
// folder, then brings the source code up to date with the git among them, in that order.
TEST(InstallJob, TakesTheToolsThenTheSourceCode) {
    const std::wstring savedPath = Variable(L"PATH");
    const FreeBytesQuery savedFreeBytes = s_freeBytes;
    s_freeBytes = [](const fs::path&) -> std::optional<std::uint64_t> { return std::nullopt; };
    TempFolder folder;
    TempFolder state;
    SetEnvironmentVariableW(L"MURK_GIT_STANDIN", state.path().c_str());
    WriteBytes(state / L"state.txt", "branch=main\n");
    const fs::path tools = folder / L"tools";
    const fs::path git = tools / L"Git" / L"cmd" / L"git.exe";
    fs::create_directories(git.parent_path());
    fs::copy_file(test::StandinProgram(L"git", L"git.exe"), git);
    for (const wchar_t* program : {L"CMake\\bin\\cmake.exe", L"Ninja\\ninja.exe",
                                   L"Clang\\bin\\clang++.exe", L"Python\\python.exe"}) {
        fs::create_directories((tools / program).parent_path());
        WriteBytes(tools / program, "");
    }
    for (const wchar_t* tool : {L"Git", L"CMake", L"Ninja", L"Clang", L"Python"})
        test::MarkMadeBySetup(tools / tool);
    WriteBytes(folder / L"disc.iso", "");
    // Nothing of the user's own PATH may provide a tool here.
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    SetEnvironmentVariableW(L"PATH", system);
    if (!s_job) s_job = CreateKillOnCloseJob();
    s_cancel = false;
    Collector window;

    Install({.source = folder / L"disc.iso", .folder = folder.path()});
    window.Drain();
    SetEnvironmentVariableW(L"PATH", savedPath.c_str());
    SetEnvironmentVariableW(L"MURK_GIT_STANDIN", nullptr);
    s_freeBytes = savedFreeBytes;

    EXPECT_EQ(window.doneCount, 1);
    const auto at = [&](const std::wstring& line) {
        const auto found = std::find(window.logs.begin(), window.logs.end(), line);
        EXPECT_TRUE(found != window.logs.end()) << "never logged: " << Utf8(line);
        return found - window.logs.begin();
    };
    EXPECT_LT(at(L"== Checking the tools"), at(L"Git: " + git.native()));
    EXPECT_LT(at(L"Python: " + (tools / L"Python" / L"python.exe").native()),
              at(L"== Downloading the source code"));
    EXPECT_LT(at(L"== Downloading the source code"),
              at(L"The source folder is on branch main: updating that branch."));
    EXPECT_TRUE(fs::exists(folder / L"murk-recomp" / L".git"));
}

// Another toolchain's variables stay out of the build, which gets a TEMP its tools can read;
// Setup's own environment, which the launcher gets, keeps them all.
TEST(ChildEnvironment, LeavesOutOtherToolchainsAndGivesATempTheToolsCanRead) {
    TempFolder folder;
    Collector window;
    const Job job{.choices = {.folder = folder.path()}, .repository = folder / L"murk-recomp"};
    const std::pair<const wchar_t*, const wchar_t*> others[] = {
        {L"CC", L"cl"}, {L"cmake_Generator", L"Ninja"}, {L"CMAKE_BUILD_PARALLEL_LEVEL", L"2"}};
    for (const auto& [name, value] : others)
        SetEnvironmentVariableW(name, value);
    const std::wstring userTemp = Variable(L"TEMP");
    // A Cyrillic user name on a Western PC, in a folder without a short name.
    SetEnvironmentVariableW(L"TEMP", (folder / L"\u041f\u043e\u043b\u044c").c_str());
    const auto childSees = [&job] {
        ResetChildEnvironment();
        ChildEnvironmentStep(job);
        std::vector<std::string> lines;
        setup::Run(
            test::ChildCommand(
                L"env:CC env:CMAKE_GENERATOR env:CMAKE_BUILD_PARALLEL_LEVEL env:TEMP env:TMP"),
            {}, [&lines](const std::string& line) { lines.push_back(line); });
        return lines;
    };
    const std::wstring own = (folder / L"temp").native();
    EXPECT_EQ(childSees(), (std::vector<std::string>{"2", Utf8(own), Utf8(own)}));
    EXPECT_TRUE(maintenance::MadeBySetup(own));
    EXPECT_EQ(Variable(L"CC"), L"cl");
    SetEnvironmentVariableW(L"TEMP", userTemp.c_str());
    EXPECT_EQ(childSees(), (std::vector<std::string>{"2", Utf8(userTemp), Utf8(Variable(L"TMP"))}));
    for (const auto& [name, value] : others)
        SetEnvironmentVariableW(name, nullptr);
    window.Drain();
    for (const std::wstring& line :
         {std::wstring(L"(cmake_Generator is set on this PC; the build runs without it)"),
          L"(TEMP has characters some build tools can't handle; they use " + own + L")"})
        EXPECT_NE(std::find(window.logs.begin(), window.logs.end(), line), window.logs.end())
            << Utf8(line);
}

}  // namespace
}  // namespace murk::setup
