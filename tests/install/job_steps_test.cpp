#include "setup/install/install.h"

#include "setup/job/channel.h"
#include "setup/job/environment.h"
#include "setup/job/process.h"
#include "setup/job/system.h"
#include "tests/support/http_server.h"
#include "tests/support/standin.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>

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
// folder, then brings the source code up to date with the git among them, in that order. A tool
// taken away meanwhile (by an antivirus) ends the job before the build.
TEST(InstallJob, TakesTheToolsThenTheSourceCodeAndMissesAToolTakenAwayMeanwhile) {
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
    const fs::path clang = tools / L"Clang" / L"bin" / L"clang++.exe";
    SetEnvironmentVariableW(L"STANDIN_GIT_DELETE", clang.c_str());
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
    SetEnvironmentVariableW(L"STANDIN_GIT_DELETE", nullptr);
    s_freeBytes = savedFreeBytes;

    EXPECT_EQ(window.doneCount, 1);
    EXPECT_EQ(window.doneMessage, L"clang++.exe is gone from " + clang.parent_path().native() +
                                      L". An antivirus may have removed it: allow the install "
                                      L"folder in your antivirus, then run Setup again.");
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

// Windows' proxy, for git and Python. A setup script that never comes is given up after 5 s, or
// at once on a cancel, for the proxy set by hand; a proxy of the user's own stays theirs.
TEST(PrefixWideProxy, AStalledSetupScriptGivesWayToTheProxySetByHandAndTheUsersOwnWins) {
    test::HttpServer server;
    test::Event answers[2];
    for (const wchar_t* name : {L"HTTPS_PROXY", L"HTTP_PROXY", L"ALL_PROXY"})
        SetEnvironmentVariableW(name, nullptr);
    SetEnvironmentVariableW(L"NO_PROXY", L"corp.example");
    const Job job{.repository = L"C:\\MURK\\murk-recomp"};
    for (const bool cancel : {false, true}) {
        SCOPED_TRACE(cancel ? "cancelled" : "the time ran out");
        // Another script each time: Wine keeps what it fetched of one.
        const std::string script = cancel ? "/cancelled.pac" : "/late.pac";
        test::Event& answer = answers[cancel];
        server.Serve(script, {.beforeAnswer = [&answer] { answer.Wait(30000); }});
        const test::SystemProxySetting setting("127.0.0.1:3128", "<local>;*.test",
                                               server.OriginUtf8() + script);
        ResetChildEnvironment();
        s_cancel = false;
        auto step = std::async(std::launch::async, [&] { ChildEnvironmentStep(job); });
        EXPECT_TRUE(test::Eventually([&] { return server.CountRequests(script) == 1; }, 30000));
        EXPECT_EQ(step.wait_for(std::chrono::seconds(0)), std::future_status::timeout)
            << "no wait for the script";
        s_cancel = cancel;
        EXPECT_EQ(step.wait_for(std::chrono::seconds(cancel ? 2 : 10)), std::future_status::ready)
            << "still waiting for the script";
        step.get();
        EXPECT_EQ(ChildVariable(L"HTTPS_PROXY"), L"http://127.0.0.1:3128");
        EXPECT_EQ(ChildVariable(L"NO_PROXY"), L"corp.example,localhost,.test");
        answer.Set();  // the server goes on with the next connection
    }
    const test::SystemProxySetting setting("127.0.0.1:3128", "<local>;*.test");
    SetEnvironmentVariableW(L"HTTPS_PROXY", L"http://mine:8080");
    ResetChildEnvironment();
    s_cancel = false;
    ChildEnvironmentStep(job);
    EXPECT_EQ(ChildVariable(L"HTTPS_PROXY"), L"http://mine:8080");
    EXPECT_EQ(ChildVariable(L"HTTP_PROXY"), std::nullopt);
    EXPECT_EQ(ChildVariable(L"NO_PROXY"), L"corp.example");
    SetEnvironmentVariableW(L"HTTPS_PROXY", nullptr);
    SetEnvironmentVariableW(L"NO_PROXY", nullptr);
}

}  // namespace
}  // namespace murk::setup
