#include "setup/install/source_step.h"

#include "setup/job/channel.h"
#include "setup/job/process.h"
#include "tests/support/http_server.h"
#include "tests/support/release_document.h"
#include "tests/support/standin.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <map>
#include <sstream>

namespace murk::setup {
namespace {

namespace fs = std::filesystem;
using test::Collector;
using test::HttpServer;
using test::ReadBytes;
using test::ReleaseDocument;
using test::TempFolder;
using test::WriteBytes;

constexpr char kRepo[] = "https://git.test/velkrand/murk-recomp.git";
constexpr char kReleaseTarget[] = "/repos/velkrand/murk-recomp/releases/latest";

std::wstring Variable(const wchar_t* name) {
    std::wstring buffer(32768, L'\0');
    buffer.resize(GetEnvironmentVariableW(name, buffer.data(), 32768));
    return buffer;
}

class SourceStep : public ::testing::Test {
  protected:
    void SetUp() override {
        savedPath_ = Variable(L"PATH");
        const std::wstring path =
            test::StandinProgram(L"git", L"git.exe").parent_path().native() + L";" + savedPath_;
        SetEnvironmentVariableW(L"PATH", path.c_str());
        SetEnvironmentVariableW(L"MURK_GIT_STANDIN", state.path().c_str());
        if (!s_job) s_job = CreateKillOnCloseJob();
        s_cancel = false;
        Release("v0.3.0");
    }
    void TearDown() override {
        SetEnvironmentVariableW(L"PATH", savedPath_.c_str());
        SetEnvironmentVariableW(L"MURK_GIT_STANDIN", nullptr);
    }

    void Release(const std::string& tag) {
        server.Serve(kReleaseTarget, {.body = ReleaseDocument(tag, {})});
    }
    void Script(const std::map<std::string, std::string>& values) {
        std::string text;
        for (const auto& [key, value] : values)
            text += key + "=" + value + "\n";
        WriteBytes(state / L"state.txt", text);
    }
    void MakeWorkingCopy() { fs::create_directories(repository / L".git"); }

    // Runs the step; the failure text, or empty when it went through.
    std::wstring Step() {
        try {
            UpdateSource(install.path(), repository, server.Origin() + Widen(kReleaseTarget),
                         kRepo);
        } catch (const Failed& failure) {
            return failure.message;
        }
        return {};
    }

    // Each git call as its arguments after "-C folder" (or after "git" for a clone).
    std::vector<std::string> Calls() {
        std::vector<std::string> calls;
        std::istringstream lines(ReadBytes(state / L"calls.txt"));
        std::string line;
        while (std::getline(lines, line)) {
            const std::string repo = "\t-C\t" + Utf8(repository.native()) + "\t";
            const auto at = line.find(repo);
            calls.push_back(at == std::string::npos ? line.substr(line.find('\t') + 1)
                                                    : line.substr(at + repo.size()));
        }
        return calls;
    }

    // What the step wrote to the log, other than commands and git's own output.
    std::vector<std::wstring> Decisions() {
        window.Drain();
        std::vector<std::wstring> lines;
        for (const std::wstring& line : window.logs)
            if (line.starts_with(L"The source") || line.starts_with(L"Building") ||
                line.starts_with(L"(couldn't") || line.starts_with(L"(the last update"))
                lines.push_back(line);
        return lines;
    }

    HttpServer server;
    TempFolder install;
    TempFolder state;
    Collector window;
    fs::path repository = install / L"murk-recomp";
    std::wstring savedPath_;
};

const std::string kFetch = "fetch\t--tags\t--force\torigin";
const std::string kBranch = "symbolic-ref\t-q\t--short\tHEAD";
const std::string kStatus = "status\t--porcelain\t--untracked-files=no\t--ignore-submodules=all";
const std::string kPull = "pull\t--ff-only";

TEST_F(SourceStep, FreshInstallClonesThenUpdatesTheNewBranch) {
    Script({{"branch", "main"}});
    EXPECT_EQ(Step(), L"");
    const std::vector<std::string> expected = {
        "clone\t" + std::string(kRepo) + "\t" + Utf8(repository.native()), kFetch, kBranch, kStatus,
        kPull};
    EXPECT_EQ(Calls(), expected);
    EXPECT_EQ(Decisions(), std::vector<std::wstring>{
                               L"The source folder is on branch main: updating that branch."});
    ASSERT_FALSE(window.progress.empty());
    EXPECT_EQ(window.progress.front(), -1);
    EXPECT_EQ(window.statuses, std::vector<std::wstring>{L"Downloading the source code"});
    // Clone, fetch and pull run in the install folder; the queries in the repository.
    const std::string calls = ReadBytes(state / L"calls.txt");
    EXPECT_EQ(calls.find(Utf8(install.path().native()) + "\tclone"), 0u);
    EXPECT_NE(calls.find(Utf8(repository.native()) + "\t-C"), std::string::npos);
    EXPECT_EQ(server.CountRequests(kReleaseTarget), 1u);
}

TEST_F(SourceStep, EmptyFolderIsClonedIntoButOneWithContentIsNot) {
    Script({{"branch", "main"}});
    fs::create_directories(repository);
    EXPECT_EQ(Step(), L"");
    EXPECT_EQ(Calls().front().rfind("clone\t", 0), 0u);

    TempFolder other;
    repository = other / L"murk-recomp";
    fs::create_directories(repository / L"src");
    WriteBytes(repository / L"README.md", "mine");
    fs::remove(state / L"calls.txt");
    EXPECT_EQ(Step(),
              repository.native() +
                  L" already exists and isn't a copy of the project. Choose another folder.");
    EXPECT_FALSE(fs::exists(state / L"calls.txt"));
}

// A failed clone stops the job; one that git says couldn't verify the certificate names what may
// be intercepting it.
TEST_F(SourceStep, FailedCloneStopsTheJob) {
    Script({{"clone", "128"}});
    EXPECT_EQ(Step(), L"Couldn't download the source code from GitHub.");
    EXPECT_EQ(Calls().size(), 1u);
    Script(
        {{"clone", "128"},
         {"clone-says", "fatal: unable to access 'https://git.test/': SSL certificate problem"}});
    EXPECT_EQ(Step(),
              L"Couldn't download the source code from GitHub: git couldn't verify "
              L"GitHub's certificate. An antivirus that scans secure connections, or a "
              L"company network, may be intercepting them.");
}

TEST_F(SourceStep, LocalChangesAreNeverTouched) {
    MakeWorkingCopy();
    Script({{"branch", ""}, {"changes", " M src/main.cpp"}});
    EXPECT_EQ(Step(), L"");
    EXPECT_EQ(Calls(), (std::vector<std::string>{kFetch, kBranch, kStatus}));
    EXPECT_EQ(Decisions(),
              std::vector<std::wstring>{
                  L"The source folder has changes of its own: building it as it is (no update)."});
    EXPECT_EQ(window.statuses, std::vector<std::wstring>{L"Updating the source code"});
}

// On no branch, where a forced checkout would follow: each failing query must stop it alone.
TEST_F(SourceStep, AFailingChangeQueryCountsAsChanged) {
    MakeWorkingCopy();
    Script({{"branch", ""}, {"status-exit", "128"}, {"changes", "fatal: not a git repository"}});
    EXPECT_EQ(Step(), L"");
    EXPECT_EQ(Calls(), (std::vector<std::string>{kFetch, kBranch, kStatus}));
    EXPECT_EQ(Decisions(),
              std::vector<std::wstring>{
                  L"The source folder has changes of its own: building it as it is (no update)."});

    fs::remove(state / L"calls.txt");
    window.logs.clear();
    Script({{"branch", ""}, {"status-exit", "-1073741819"}});  // killed, or crashed, silently
    EXPECT_EQ(Step(), L"");
    EXPECT_EQ(Calls(), (std::vector<std::string>{kFetch, kBranch, kStatus}));
    EXPECT_EQ(Decisions(),
              std::vector<std::wstring>{
                  L"(couldn't check the source folder for changes - building it as it is)"});
}

TEST_F(SourceStep, BranchIsPulledAndAFailedPullIsOnlyLogged) {
    MakeWorkingCopy();
    Script({{"branch", "feature/x"}, {"fetch", "1"}, {"pull", "1"}});
    EXPECT_EQ(Step(), L"");
    EXPECT_EQ(Calls(), (std::vector<std::string>{kFetch, kBranch, kStatus, kPull}));
    EXPECT_EQ(Decisions(), (std::vector<std::wstring>{
                               L"The source folder is on branch feature/x: updating that branch.",
                               L"(couldn't update the branch - building the code as it is)"}));
}

// Locks a stopped git left go before git's first command, each logged, and the branch is updated
// (the stand-in, as git, won't pull past index.lock). One that a running git holds open stays.
TEST_F(SourceStep, LocksOfAStoppedGitAreRemovedBeforeTheFirstCommand) {
    MakeWorkingCopy();
    Script({{"branch", "main"}});
    const fs::path git = repository / L".git";
    std::vector<std::wstring> logged = {L"== Updating the source code"};
    for (const wchar_t* lock :
         {L"index.lock", L"ORIG_HEAD.lock", L"packed-refs.lock", L"refs\\heads\\main.lock"}) {
        fs::create_directories((git / lock).parent_path());
        WriteBytes(git / lock, "");
        logged.push_back(L"(removed .git\\" + std::wstring(lock) +
                         L", left by a git that was stopped)");
    }
    WriteBytes(git / L"HEAD.lock", "");
    const UniqueHandle open =
        OwnFileHandle(CreateFileW((git / L"HEAD.lock").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_EQ(Step(), L"");
    EXPECT_EQ(Decisions(), std::vector<std::wstring>{
                               L"The source folder is on branch main: updating that branch."});
    ASSERT_GT(window.logs.size(), logged.size());
    EXPECT_EQ(std::vector(window.logs.begin(), window.logs.begin() + 5), logged);
    EXPECT_TRUE(window.logs[5].starts_with(L"$ "));
    EXPECT_TRUE(fs::exists(git / L"HEAD.lock"));
}

// A checkout cut off halfway (the job stopped meanwhile) leaves changes that are Setup's own: the
// next run says so and checks out again rather than build them as the user's.
TEST_F(SourceStep, NoBranchMovesToTheNewestReleaseTag) {
    MakeWorkingCopy();
    Script({{"branch", ""}});
    EXPECT_EQ(Step(), L"");
    EXPECT_EQ(Calls(),
              (std::vector<std::string>{kFetch, kBranch, kStatus, "checkout\t--force\tv0.3.0"}));
    EXPECT_EQ(Decisions(), std::vector<std::wstring>{L"Building release v0.3.0."});

    Script({{"branch", ""}, {"checkout-hold", "1"}});
    auto job = std::async(std::launch::async, [&] { return Step(); });
    EXPECT_TRUE(test::Eventually([&] { return Calls().size() == 8; }, 30000));
    s_cancel = true;
    TerminateJobObject(s_job.get(), 1);
    EXPECT_EQ(job.get(), L"Cancelled.");
    s_cancel = false;
    fs::remove(state / L"calls.txt");
    window.logs.clear();
    Script({{"branch", ""}, {"changes", " M src/main.cpp"}});
    EXPECT_EQ(Step(), L"");
    EXPECT_EQ(Calls(),
              (std::vector<std::string>{kFetch, kBranch, kStatus, "checkout\t--force\tv0.3.0"}));
    EXPECT_EQ(Decisions(), (std::vector<std::wstring>{
                               L"(the last update of the source folder was cut off; updating it "
                               L"again)",
                               L"Building release v0.3.0."}));
}

TEST_F(SourceStep, MissingReleaseTagFallsBackToMainAndItsPull) {
    MakeWorkingCopy();
    const std::vector<std::string> main = {
        kFetch, kBranch, kStatus, "checkout\t--force\tv0.3.0", "checkout\t--force\tmain", kPull};
    Script({{"branch-exit", "128"}, {"checkout-tag", "1"}});
    EXPECT_EQ(Step(), L"");
    EXPECT_EQ(Calls(), main);
    EXPECT_TRUE(Decisions().empty());

    fs::remove(state / L"calls.txt");
    Script({{"checkout-tag", "1"}, {"pull", "1"}});
    EXPECT_EQ(Step(), L"");
    EXPECT_EQ(Calls(), main);
    EXPECT_EQ(Decisions(),
              std::vector<std::wstring>{L"(couldn't update - building the code as it is)"});

    fs::remove(state / L"calls.txt");
    window.logs.clear();
    Script({{"checkout-tag", "1"}, {"checkout-main", "1"}});
    EXPECT_EQ(Step(), L"");
    EXPECT_EQ(Calls(), std::vector<std::string>(main.begin(), main.end() - 1));
    EXPECT_EQ(Decisions(),
              std::vector<std::wstring>{L"(couldn't update - building the code as it is)"});
}

TEST_F(SourceStep, UnreachableOrImplausibleReleaseTagGivesTheFallback) {
    MakeWorkingCopy();
    Script({{"branch", ""}});
    for (const std::string& tag :
         {std::string("--orphan x"), std::string("v1 x"), std::string("unreachable")}) {
        if (tag == "unreachable")
            server.Serve(kReleaseTarget, {.status = 404});
        else
            Release(tag);
        fs::remove(state / L"calls.txt");
        window.logs.clear();
        EXPECT_EQ(Step(), L"") << tag;
        EXPECT_EQ(Calls().back(), "checkout\t--force\tv0.2.78") << tag;
        EXPECT_EQ(Decisions(), std::vector<std::wstring>{L"Building release v0.2.78."}) << tag;
    }
    EXPECT_EQ(FallbackTag(), L"v0.2.78");
}

// The clone would not notice a cancel before it had run to its end: the lookup's cancel ends the
// step before any git runs, rather than falling back to the program's own tag.
TEST_F(SourceStep, ACancelDuringTheTagLookupEndsTheStep) {
    test::Event resume;
    server.Serve(kReleaseTarget, {.body = ReleaseDocument("v0.3.0", {}),
                                  .pieceSize = 100,
                                  .pause = [&](std::size_t) { resume.Wait(30000); }});
    auto step = std::async(std::launch::async, [&] { return Step(); });
    EXPECT_TRUE(test::Eventually([&] { return server.BodyBytesSent() > 0; }, 30000));
    s_cancel = true;
    EXPECT_EQ(step.get(), L"Cancelled.");
    resume.Set();
    s_cancel = false;
    EXPECT_FALSE(fs::exists(state / L"calls.txt"));
    EXPECT_FALSE(fs::exists(repository));
}

TEST(PlausibleTag, AcceptsTagsAndRefusesWhatGitOrACommandLineWouldMisread) {
    for (const wchar_t* good : {L"v0.2.78", L"v1.0.0-rc.1", L"release/2025-01", L"20241217",
                                L"v1_2+build", L"\u00e9t\u00e9"})
        EXPECT_TRUE(PlausibleTag(good)) << good;
    for (const wchar_t* bad :
         {L"",        L"--orphan x", L"-x",    L"v1 x",    L"v1\tx", L"v1\nx", L"v\"1",
          L"v'1",     L"a..b",       L"a~1",   L"a^",      L"a:b",   L"a?",    L"a*",
          L"a[1]",    L"a\\b",       L"a@{1}", L"@",       L"v1.",   L"v1/",   L"/v1",
          L"v1.lock", L"a.lock/b",   L"a//b",  L".hidden", L"a/.b",  L"v\x7f", L"v1\u3000x"})
        EXPECT_FALSE(PlausibleTag(bad)) << bad;
    EXPECT_FALSE(PlausibleTag(std::wstring(300, L'v')));
}

}  // namespace
}  // namespace murk::setup
