#include "setup/install/install.h"

#include "setup/job/channel.h"
#include "setup/job/environment.h"
#include "setup/job/process.h"
#include "setup/job/system.h"
#include "tests/support/http_server.h"
#include "tests/support/standin.h"
#include "tests/support/test_support.h"

#include "maintenance/maintenance.h"

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
// folder, then brings the source code up to date with the git among them, in that order; a tool
// taken away meanwhile (git deletes Clang's compiler, as an antivirus may) ends it before the
// build. Its children get none of another toolchain's variables (but the parallel level) or of
// git's redirections, which Setup's own environment, the launcher's, keeps; a TEMP they can read
// (not a Cyrillic user name's on a Western PC); Setup's git, no prompts and Windows' certificates.
TEST(InstallJob, TakesTheToolsAndTheSourceCodeInItsOwnEnvironmentAndMissesAToolTakenAway) {
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
    const fs::path clang = tools / L"Clang" / L"bin";
    SetEnvironmentVariableW(L"STANDIN_GIT_DELETE", (clang / L"clang++.exe").c_str());
    // Nothing of the user's own PATH may provide a tool here.
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    SetEnvironmentVariableW(L"PATH", system);
    std::vector<std::wstring> others;
    for (const wchar_t* name : {L"CC", L"cmake_Generator", L"GIT_COMMON_DIR",
                                L"GIT_OBJECT_DIRECTORY", L"GIT_ALTERNATE_OBJECT_DIRECTORIES",
                                L"GIT_NAMESPACE", L"GIT_EXEC_PATH", L"GIT_SSL_NO_VERIFY"})
        SetEnvironmentVariableW(others.emplace_back(name).c_str(), L"1");
    SetEnvironmentVariableW(L"CMAKE_BUILD_PARALLEL_LEVEL", L"1");
    const std::wstring userTemp = Variable(L"TEMP");
    SetEnvironmentVariableW(L"TEMP", (folder / L"\u041f\u043e\u043b\u044c").c_str());
    if (!s_job) s_job = CreateKillOnCloseJob();
    s_cancel = false;
    Collector window;

    Install({.source = folder / L"disc.iso", .folder = folder.path()});
    window.Drain();
    SetEnvironmentVariableW(L"PATH", savedPath.c_str());
    SetEnvironmentVariableW(L"MURK_GIT_STANDIN", nullptr);
    SetEnvironmentVariableW(L"STANDIN_GIT_DELETE", nullptr);
    SetEnvironmentVariableW(L"TEMP", userTemp.c_str());
    s_freeBytes = savedFreeBytes;

    EXPECT_EQ(window.doneCount, 1);
    EXPECT_EQ(window.doneMessage, L"clang++.exe is gone from " + clang.native() +
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

    const std::string environment = "\n" + test::ReadBytes(state / L"environment.txt");
    const std::wstring own = (folder / L"temp").native();
    at(L"(TEMP has characters some build tools can't handle; they use " + own + L")");
    EXPECT_TRUE(maintenance::MadeBySetup(own));
    for (const std::string& line : std::initializer_list<std::string>{
             "GIT_CONFIG_KEY_2=http.sslBackend", "GIT_CONFIG_VALUE_2=schannel",
             "GIT_CONFIG_KEY_3=http.schannelCheckRevoke", "GIT_CONFIG_VALUE_3=best-effort",
             "GIT_TERMINAL_PROMPT=0", "GCM_INTERACTIVE=never", "CMAKE_BUILD_PARALLEL_LEVEL=1",
             "TEMP=" + Utf8(own), "TMP=" + Utf8(own)})
        EXPECT_NE(environment.find("\n" + line + "\n"), std::string::npos) << line;
    EXPECT_EQ(Variable(L"CC"), L"1");
    for (const std::wstring& name : others) {
        SetEnvironmentVariableW(name.c_str(), nullptr);
        at(L"(" + name + L" is set on this PC; the build runs without it)");
        EXPECT_EQ(environment.find("\n" + Utf8(name) + "="), std::string::npos) << Utf8(name);
    }
    SetEnvironmentVariableW(L"CMAKE_BUILD_PARALLEL_LEVEL", nullptr);
}

// Windows' proxy, for git and Python: a setup script that never comes is given up after 5 s, or
// at once on a cancel, for the proxy set by hand. What the user has set up stays theirs: their own
// proxy, their git from the PATH (which may lack schannel: none of its settings), a TEMP the tools
// can read.
TEST(PrefixWideChildEnvironment,
     AStalledProxyScriptGivesWayToTheProxySetByHandAndTheUsersOwnStays) {
    test::HttpServer server;
    test::Event answers[2];
    for (const wchar_t* name : {L"HTTPS_PROXY", L"HTTP_PROXY", L"ALL_PROXY"})
        SetEnvironmentVariableW(name, nullptr);
    SetEnvironmentVariableW(L"NO_PROXY", L"corp.example");
    const Job job{.repository = L"C:\\MURK\\murk-recomp"};
    for (const bool cancel : {false, true}) {
        // Another script each time: Wine keeps what it fetched of one.
        const std::string script = cancel ? "/cancelled.pac" : "/late.pac";
        server.Serve(script, {.beforeAnswer = [&answer = answers[cancel]] { answer.Wait(30000); }});
        const test::SystemProxySetting setting("127.0.0.1:3128", "<local>;*.test",
                                               server.OriginUtf8() + script);
        ResetChildEnvironment();
        auto step = std::async(std::launch::async, [&] { ChildEnvironmentStep(job); });
        EXPECT_TRUE(test::Eventually([&] { return server.CountRequests(script) == 1; }, 30000));
        EXPECT_EQ(step.wait_for(std::chrono::seconds(0)), std::future_status::timeout) << cancel;
        s_cancel = cancel;
        EXPECT_EQ(step.wait_for(std::chrono::seconds(cancel ? 2 : 10)), std::future_status::ready)
            << "still waiting for the script, cancelled: " << cancel;
        step.get();
        s_cancel = false;
        EXPECT_EQ(ChildVariable(L"HTTPS_PROXY"), L"http://127.0.0.1:3128");
        EXPECT_EQ(ChildVariable(L"NO_PROXY"), L"corp.example,localhost,.test");
        answers[cancel].Set();  // the server goes on with the next connection
    }
    const test::SystemProxySetting setting("127.0.0.1:3128", "<local>;*.test");
    SetEnvironmentVariableW(L"HTTPS_PROXY", L"http://mine:8080");
    const std::wstring userPath = Variable(L"PATH");
    const fs::path usersGit = test::StandinProgram(L"git", L"git.exe").parent_path();
    SetEnvironmentVariableW(L"PATH", (usersGit.native() + L";" + userPath).c_str());
    ResetChildEnvironment();
    ChildEnvironmentStep(job);
    SetEnvironmentVariableW(L"PATH", userPath.c_str());
    EXPECT_EQ(ChildVariable(L"HTTPS_PROXY"), L"http://mine:8080");
    EXPECT_EQ(ChildVariable(L"NO_PROXY"), L"corp.example");
    EXPECT_EQ(ChildVariable(L"GIT_CONFIG_COUNT"), L"2");
    EXPECT_EQ(ChildVariable(L"TEMP"), Variable(L"TEMP"));
    SetEnvironmentVariableW(L"HTTPS_PROXY", nullptr);
    SetEnvironmentVariableW(L"NO_PROXY", nullptr);
}

}  // namespace
}  // namespace murk::setup
