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

// Variables a developer may have left on the PC, which would steer git elsewhere.
constexpr const wchar_t* kRedirecting[] = {
    L"GIT_COMMON_DIR", L"GIT_OBJECT_DIRECTORY", L"GIT_ALTERNATE_OBJECT_DIRECTORIES",
    L"GIT_NAMESPACE",  L"GIT_EXEC_PATH",        L"GIT_SSL_NO_VERIFY"};

// An update of an install whose tools were downloaded before, on a PC with the variables above
// set, with git from the PATH when gitOnPath names a folder; git takes Clang's compiler away, as
// an antivirus may. Gives the environment git got.
std::string Update(const TempFolder& folder, Collector& window, const fs::path& gitOnPath = {}) {
    const std::wstring savedPath = Variable(L"PATH");
    const FreeBytesQuery savedFreeBytes = s_freeBytes;
    s_freeBytes = [](const fs::path&) -> std::optional<std::uint64_t> { return std::nullopt; };
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
    const std::wstring path = gitOnPath.empty() ? system : gitOnPath.native() + L";" + system;
    SetEnvironmentVariableW(L"PATH", path.c_str());
    for (const wchar_t* name : kRedirecting)
        SetEnvironmentVariableW(name, L"1");
    if (!s_job) s_job = CreateKillOnCloseJob();
    s_cancel = false;

    Install({.source = folder / L"disc.iso", .folder = folder.path()});
    window.Drain();
    SetEnvironmentVariableW(L"PATH", savedPath.c_str());
    SetEnvironmentVariableW(L"MURK_GIT_STANDIN", nullptr);
    for (const wchar_t* name : kRedirecting)
        SetEnvironmentVariableW(name, nullptr);
    SetEnvironmentVariableW(L"STANDIN_GIT_DELETE", nullptr);
    s_freeBytes = savedFreeBytes;
    EXPECT_EQ(window.doneCount, 1);
    return test::ReadBytes(state / L"environment.txt");
}

bool Has(const std::string& environment, const std::string& line) {
    return environment.find("\n" + line + "\n") != std::string::npos;
}

// The job takes the tools from the tools folder, then brings the source code up to date with the
// git among them, in that order. That git trusts what Windows trusts, never waits for a prompt,
// and gets none of the variables that would steer it elsewhere. A tool taken away meanwhile ends
// the job before the build.
TEST(InstallJob, TakesTheToolsThenTheSourceCodeAndMissesAToolTakenAwayMeanwhile) {
    TempFolder folder;
    Collector window;
    const std::string environment = Update(folder, window);
    const fs::path tools = folder / L"tools";
    const fs::path clang = tools / L"Clang" / L"bin";
    EXPECT_EQ(window.doneMessage, L"clang++.exe is gone from " + clang.native() +
                                      L". An antivirus may have removed it: allow the install "
                                      L"folder in your antivirus, then run Setup again.");
    const auto at = [&](const std::wstring& line) {
        const auto found = std::find(window.logs.begin(), window.logs.end(), line);
        EXPECT_TRUE(found != window.logs.end()) << "never logged: " << Utf8(line);
        return found - window.logs.begin();
    };
    EXPECT_LT(at(L"== Checking the tools"), at(L"Git: " + (tools / L"Git\\cmd\\git.exe").native()));
    EXPECT_LT(at(L"Python: " + (tools / L"Python" / L"python.exe").native()),
              at(L"== Downloading the source code"));
    EXPECT_LT(at(L"== Downloading the source code"),
              at(L"The source folder is on branch main: updating that branch."));
    EXPECT_TRUE(fs::exists(folder / L"murk-recomp" / L".git"));
    for (const char* line :
         {"GIT_CONFIG_KEY_2=http.sslBackend", "GIT_CONFIG_VALUE_2=schannel",
          "GIT_CONFIG_KEY_3=http.schannelCheckRevoke", "GIT_CONFIG_VALUE_3=best-effort",
          "GIT_TERMINAL_PROMPT=0", "GCM_INTERACTIVE=never"})
        EXPECT_TRUE(Has(environment, line)) << line;
    for (const wchar_t* name : kRedirecting) {
        at(L"(" + std::wstring(name) + L" is set on this PC; the build runs without it)");
        EXPECT_FALSE(Has(environment, Utf8(name) + "=1")) << Utf8(name);
    }
}

// A git of the user's may be built without schannel: it gets none of its settings.
TEST(InstallJob, AGitFromThePathKeepsItsOwnCertificateSettings) {
    TempFolder folder;
    Collector window;
    const std::string environment =
        Update(folder, window, test::StandinProgram(L"git", L"git.exe").parent_path());
    EXPECT_EQ(environment.find("schannel"), std::string::npos);
    EXPECT_TRUE(Has(environment, "GIT_CONFIG_COUNT=2"));
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
