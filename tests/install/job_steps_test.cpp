#include "setup/install/install.h"

#include "setup/job/channel.h"
#include "setup/job/process.h"
#include "setup/job/system.h"
#include "tests/support/standin.h"
#include "tests/support/test_support.h"

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

}  // namespace
}  // namespace murk::setup
