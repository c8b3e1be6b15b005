#include "setup/job/process.h"

#include "setup/job/channel.h"
#include "setup/job/environment.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <thread>

namespace murk::setup {
namespace {

namespace fs = std::filesystem;
using test::ChildCommand;
using test::Collector;
using test::ReadBytes;
using test::TempFolder;

// Every test runs its children with setup.log open in a fresh folder and the job object in
// place, as a job does.
class RunTest : public ::testing::Test {
  protected:
    void SetUp() override {
        test::EnsureJobObject();
        s_cancel = false;
        OpenLog(folder.path());
    }
    void TearDown() override {
        CloseLog();
        s_cancel = false;
    }
    std::string LogBytes() {
        CloseLog();
        return ReadBytes(folder / L"setup.log");
    }
    // Runs the child with arguments; returns the lines its handler received.
    std::vector<std::string> Lines(std::wstring_view arguments, int* exitCode = nullptr,
                                   const fs::path& workingFolder = {}) {
        std::vector<std::string> lines;
        const int code = setup::Run(ChildCommand(arguments), workingFolder,
                                    [&lines](const std::string& line) { lines.push_back(line); });
        if (exitCode) *exitCode = code;
        return lines;
    }

    TempFolder folder;
    Collector window;
};

using Strings = std::vector<std::string>;

TEST_F(RunTest, EveryKindOfLineEndGivesOneLinePerPrintedLine) {
    // The sleep makes the CR and the LF of one line arrive in two reads.
    const std::wstring arguments =
        LR"("out:crlf 1\r\ncrlf 2\r\n" "out:lf 1\nlf 2\n" "out:cr 1\rcr 2\r" )"
        LR"("out:split\r" sleep:150 "out:\nafter split\n\n\r\n" "out:no end")";
    int exitCode = -1;
    const Strings lines = Lines(arguments, &exitCode);

    const Strings expected{"crlf 1", "crlf 2", "lf 1",        "lf 2",  "cr 1",
                           "cr 2",   "split",  "after split", "no end"};
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(exitCode, 0);
    std::string log = "$ " + Utf8(ChildCommand(arguments)) + "\r\n";
    for (const std::string& line : expected)
        log += line + "\r\n";
    EXPECT_EQ(LogBytes(), log);
    window.Drain();
    ASSERT_EQ(window.logs.size(), expected.size() + 1);
    EXPECT_EQ(window.logs.back(), L"no end");
}

TEST_F(RunTest, IndentedMetersReachTheHandlerButOnlyTheLastOneTheLog) {
    const std::wstring arguments =
        LR"("out:  45% built\n" "out:50% not indented\n" "out:  indented, no percent\n" )"
        LR"("out: 1% one space\n" "out:    3 |   printf(\"%d\", n);\n" "out:  step 42%\n" )"
        LR"("out:  99% unterminated")";
    const Strings lines = Lines(arguments);

    EXPECT_EQ(lines,
              (Strings{"  45% built", "50% not indented", "  indented, no percent", " 1% one space",
                       "    3 |   printf(\"%d\", n);", "  step 42%", "  99% unterminated"}));
    EXPECT_EQ(LogBytes(),
              "$ " + Utf8(ChildCommand(arguments)) +
                  "\r\n50% not indented\r\n  indented, no percent\r\n 1% one space\r\n"
                  "    3 |   printf(\"%d\", n);\r\n  step 42%\r\n  99% unterminated\r\n");
    window.Drain();
    EXPECT_EQ(window.logs.size(), 7u);  // the command and the six lines above
    EXPECT_EQ(window.logs[4], L"    3 |   printf(\"%d\", n);");
}

TEST_F(RunTest, SilentChildLeavesOnlyItsCommandAndReturnsItsExitCode) {
    const std::wstring command = ChildCommand(L"exit:7");
    EXPECT_EQ(setup::Run(command, {}, {}), 7);
    EXPECT_EQ(setup::Run(ChildCommand(L"exit:-2"), {}, {}), -2);
    EXPECT_EQ(LogBytes(),
              "$ " + Utf8(command) + "\r\n$ " + Utf8(ChildCommand(L"exit:-2")) + "\r\n");
}

TEST_F(RunTest, ChildRunsInTheGivenFolderOrOursWithOurEnvironment) {
    const fs::path work = folder / L"w\u00f6rk folder";
    fs::create_directories(work);
    ASSERT_TRUE(SetEnvironmentVariableW(L"MURK_CHILD_TEST", L"path\u00e9 value"));

    EXPECT_EQ(Lines(L"cwd env:MURK_CHILD_TEST", nullptr, work),
              (Strings{Utf8(work.native()), Utf8(L"path\u00e9 value")}));
    EXPECT_EQ(Lines(L"cwd"), Strings{Utf8(fs::current_path().native())});

    // The job's changes reach its children (a name in any case is the same variable), and the
    // next job starts from Setup's own environment again.
    SetChildVariable(L"murk_child_test", L"changed");
    EXPECT_EQ(Lines(L"env:MURK_CHILD_TEST"), Strings{"changed"});
    ResetChildEnvironment();
    EXPECT_EQ(Lines(L"env:MURK_CHILD_TEST"), Strings{Utf8(L"path\u00e9 value")});
    SetEnvironmentVariableW(L"MURK_CHILD_TEST", nullptr);
}

TEST_F(RunTest, MissingProgramLogsItsCommandAndFailsWithTheWholeCommandLine) {
    const std::wstring command = L"murk-no-such-program.exe --flag \"C:\\some folder\"";
    try {
        setup::Run(command, {}, {});
        FAIL() << "Run returned";
    } catch (const Failed& failure) {
        EXPECT_EQ(failure.message, L"Couldn't start: " + command);
    }
    try {
        setup::Run(ChildCommand(L"out:x"), folder / L"missing folder", {});
        FAIL() << "Run returned";
    } catch (const Failed& failure) {
        EXPECT_EQ(failure.message, L"Couldn't start: " + ChildCommand(L"out:x"));
    }
    EXPECT_EQ(LogBytes(), "$ " + Utf8(command) + "\r\n$ " + Utf8(ChildCommand(L"out:x")) + "\r\n");
}

// Someone else's python.exe lies beside this program and in its current folder, as Downloads
// often is both, and behind PATH entries that aren't the real one: relative entries ("." and a
// subfolder) and a Store alias folder. Only PATH's own copy may run.
TEST_F(RunTest, ABareNameRunsOnlyThePathsCopy) {
    const fs::path planted = test::StandIn(L"planted");
    const fs::path current = folder / L"Downloads";
    const fs::path store = folder / L"Microsoft" / L"WindowsApps";
    const fs::path bin = folder / L"Python312";
    const std::vector<fs::path> plantedCopies = {
        test::ThisProgramFolder() / L"python.exe", current / L"python.exe",
        current / L"bin" / L"python.exe", store / L"python.exe"};
    // Puts back what the test changes, also when Run throws.
    struct Restore {
        std::wstring path = PathVariable();
        fs::path current = fs::current_path();
        const std::vector<fs::path>& planted;
        ~Restore() {
            fs::current_path(current);
            SetEnvironmentVariableW(L"PATH", path.c_str());
            std::error_code error;
            fs::remove(planted.front(), error);
            fs::remove(planted.front().native() + L".ran", error);
        }
    } restore{.planted = plantedCopies};
    for (const fs::path& place : {current / L"bin", store, bin})
        fs::create_directories(place);
    for (const fs::path& copy : plantedCopies)
        ASSERT_TRUE(CopyFileW(planted.c_str(), copy.c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(test::StandIn(L"child").c_str(), (bin / L"python.exe").c_str(), FALSE));
    SetEnvironmentVariableW(L"PATH", (L".;bin;;" + store.native() + L";" + bin.native()).c_str());
    fs::current_path(current);

    Strings lines;
    EXPECT_EQ(setup::Run(L"python \"out:the PATH's\" exit:4", {},
                         [&lines](const std::string& line) { lines.push_back(line); }),
              4);
    EXPECT_EQ(lines, Strings{"the PATH's"});
    EXPECT_EQ(setup::Run(L"python.exe exit:3", {}, {}), 3);
    try {
        setup::Run(L"bin\\python.exe exit:0", {}, {});
        ADD_FAILURE() << "Run returned";
    } catch (const Failed& failure) {
        EXPECT_EQ(failure.message, L"Couldn't start: bin\\python.exe exit:0");
    }

    for (const fs::path& copy : plantedCopies)
        EXPECT_FALSE(fs::exists(copy.native() + L".ran")) << copy;
    // The command lines are logged as they were given.
    EXPECT_EQ(LogBytes(),
              "$ python \"out:the PATH's\" exit:4\r\nthe PATH's\r\n"
              "$ python.exe exit:3\r\n$ bin\\python.exe exit:0\r\n");
}

TEST_F(RunTest, GrandchildHoldingTheOutputKeepsTheReadingGoing) {
    int exitCode = -1;
    const Strings lines =
        Lines(LR"("out:child\n" spawn:2 sleep:300 "out:grandchild\n" exit:5)", &exitCode);
    EXPECT_EQ(lines, (Strings{"child", "grandchild"}));
    EXPECT_EQ(exitCode, 5);
}

// The processes whose "pid N" lines a handler saw, opened at once so their ids can't be reused.
struct Watched {
    std::vector<UniqueHandle> processes;
    void See(const std::string& line) {
        if (line.rfind("pid ", 0) != 0) return;
        const DWORD id = std::stoul(line.substr(4));
        processes.emplace_back(OpenProcess(SYNCHRONIZE, FALSE, id));
    }
    bool AllEnded() const {
        for (const UniqueHandle& process : processes)
            if (!process || WaitForSingleObject(process.get(), 5000) != WAIT_OBJECT_0) return false;
        return true;
    }
};

// The child prints its id, starts a grandchild that prints its id, and both wait a minute.
constexpr wchar_t kFamily[] = L"pid spawn:2 pid sleep:60000 sleep:60000";

TEST_F(RunTest, CancelEndsChildAndGrandchildAndFailsWithCancelled) {
    Watched watched;
    std::thread canceller;
    const ULONGLONG start = GetTickCount64();
    try {
        setup::Run(ChildCommand(kFamily), {}, [&](const std::string& line) {
            watched.See(line);
            if (watched.processes.size() != 2) return;
            // As the window does: flag first, then the job object, from another thread.
            canceller = std::thread([] {
                s_cancel.exchange(true);
                TerminateJobObject(s_job.get(), 1);
            });
        });
        ADD_FAILURE() << "Run returned";
    } catch (const Failed& failure) {
        EXPECT_EQ(failure.message, L"Cancelled.");
    }
    if (canceller.joinable()) canceller.join();
    EXPECT_LT(GetTickCount64() - start, 30000u);
    ASSERT_EQ(watched.processes.size(), 2u);
    EXPECT_TRUE(watched.AllEnded());

    // A child started after the cancel never runs: no line of it arrives.
    Strings late;
    try {
        setup::Run(ChildCommand(L"out:late sleep:60000"), {},
                   [&late](const std::string& line) { late.push_back(line); });
        ADD_FAILURE() << "Run returned after a cancel";
    } catch (const Failed& failure) {
        EXPECT_EQ(failure.message, L"Cancelled.");
    }
    EXPECT_TRUE(late.empty());

    // The job object stays usable for the next job.
    s_cancel = false;
    EXPECT_EQ(Lines(L"out:again exit:3"), Strings{"again"});
}

TEST_F(RunTest, ThrowingHandlerStopsTheChildAndItsGrandchildAndReachesTheCaller) {
    const auto throwOnSecondProcess = [](Watched& watched) {
        return setup::Run(ChildCommand(kFamily), {}, [&](const std::string& line) {
            watched.See(line);
            if (watched.processes.size() == 2) throw std::runtime_error("handler");
        });
    };
    {
        // The first children of a process leave some lasting handles behind (Wine's own).
        Watched warm;
        EXPECT_THROW(throwOnSecondProcess(warm), std::runtime_error);
    }
    const std::optional<size_t> before = test::CountHandles();
    ASSERT_TRUE(before.has_value());

    Watched watched;
    EXPECT_THROW(throwOnSecondProcess(watched), std::runtime_error);
    ASSERT_EQ(watched.processes.size(), 2u);
    EXPECT_TRUE(watched.AllEnded());
    EXPECT_EQ(test::CountHandles(), *before + 2)
        << "only the two handles the test opened may remain";
}

TEST_F(RunTest, NoHandleIsLeftBehindByHundredsOfRuns) {
    // The first runs allocate what the process keeps anyway (Wine's own handles).
    Lines(L"out:warm");
    EXPECT_THROW(setup::Run(L"murk-no-such-program.exe", {}, {}), Failed);
    EXPECT_THROW(setup::Run(ChildCommand(L"out:x\n sleep:10000"), {},
                            [](const std::string&) { throw std::runtime_error("handler"); }),
                 std::runtime_error);
    const std::optional<size_t> before = test::CountHandles();
    ASSERT_TRUE(before.has_value());
    ASSERT_GT(*before, 0u);

    int started = 0;
    for (int round = 0; round < 60; ++round) {
        EXPECT_EQ(Lines(L"out:a\n exit:1"), Strings{"a"});
        EXPECT_THROW(setup::Run(L"murk-no-such-program.exe", {}, {}), Failed);
        EXPECT_THROW(setup::Run(ChildCommand(L"out:x"), folder / L"missing", {}), Failed);
        EXPECT_THROW(setup::Run(ChildCommand(L"out:x\n sleep:10000"), {},
                                [](const std::string&) { throw std::runtime_error("handler"); }),
                     std::runtime_error);
        s_cancel = true;
        EXPECT_THROW(setup::Run(ChildCommand(L"out:late"), {}, {}), Failed);
        s_cancel = false;
        started += 3;
    }
    EXPECT_EQ(test::CountHandles(), before) << started << " children started";
}

// A copy of the child named git.exe, first on PATH while the test runs.
class GitOutputTest : public RunTest {
  protected:
    void SetUp() override {
        RunTest::SetUp();
        fs::create_directories(bin);
        fs::copy_file(test::StandIn(L"child"), bin / L"git.exe");
        fs::create_directories(repository);
        wchar_t path[32767];
        const DWORD length = GetEnvironmentVariableW(L"PATH", path, 32767);
        savedPath.assign(path, length);
        SetEnvironmentVariableW(L"PATH", (bin.native() + L";" + savedPath).c_str());
    }
    void TearDown() override {
        SetEnvironmentVariableW(L"PATH", savedPath.c_str());
        RunTest::TearDown();
    }
    fs::path bin = folder / L"bin";
    fs::path repository = folder / L"murk-recomp";
    std::wstring savedPath;
};

TEST_F(GitOutputTest, KeepsTheFirstLineAndRunsInTheRepository) {
    std::string output = "stale";
    EXPECT_TRUE(GitOutput(repository, LR"("out:\r\nv1.2.0\nsecond\n" cwd)", output));
    EXPECT_EQ(output, "v1.2.0");
    EXPECT_TRUE(GitOutput(repository, L"cwd", output));
    EXPECT_EQ(output, Utf8(repository.native()));
    EXPECT_TRUE(GitOutput(repository, L"exit:0", output));
    EXPECT_EQ(output, "");
    const std::string log = LogBytes();
    EXPECT_NE(log.find("$ git -C " + Utf8(Quote(repository)) + " cwd\r\n"), std::string::npos)
        << log;
}

TEST_F(GitOutputTest, FailingCommandGivesFalseAndTheErrorTextAndCancelFails) {
    std::string output;
    EXPECT_FALSE(GitOutput(repository, LR"("err:fatal: not a git repository\n" exit:128)", output));
    EXPECT_EQ(output, "fatal: not a git repository");

    s_cancel = true;
    try {
        GitOutput(repository, L"out:v1", output);
        ADD_FAILURE() << "GitOutput returned";
    } catch (const Failed& failure) {
        EXPECT_EQ(failure.message, L"Cancelled.");
    }
}

TEST(Quote, WrapsThePathAndKeepsATrailingBackslashFromEscapingTheQuote) {
    EXPECT_EQ(Quote(L"C:\\Games\\MURK\\"), L"\"C:\\Games\\MURK\\\\\"");
    EXPECT_EQ(Quote(L"E:\\"), L"\"E:\\\\\"");
    EXPECT_EQ(Quote(L"D:\\a b\\c.iso"), L"\"D:\\a b\\c.iso\"");
}

TEST(CheckCancel, FailsOnlyWhenACancelIsPending) {
    s_cancel = false;
    EXPECT_NO_THROW(CheckCancel());
    s_cancel = true;
    try {
        CheckCancel();
        ADD_FAILURE() << "CheckCancel returned";
    } catch (const Failed& failure) {
        EXPECT_EQ(failure.message, L"Cancelled.");
    }
    s_cancel = false;
}

}  // namespace
}  // namespace murk::setup
