#include "setup/install/build_step.h"

#include "setup/install/install.h"
#include "setup/job/channel.h"
#include "setup/job/process.h"

#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <sstream>

namespace murk::setup {
namespace {

namespace fs = std::filesystem;
using test::Collector;
using test::ReadBytes;
using test::TempFolder;
using test::WriteBytes;

constexpr wchar_t kBuilding[] = L"Building (the first build takes 10-30 minutes)";
constexpr wchar_t kBuildFailed[] =
    L"The build failed. The log above (also in setup.log) says why; Help > Report a bug in the "
    L"launcher, or a GitHub issue with setup.log attached, gets it looked at.";

// ---- ParseBuildLine on its own: what each line posts ----

class ParseBuildLineTest : public ::testing::Test {
  protected:
    // Hands each line to the parser and returns what the window took after each, in order.
    std::vector<Collector::Event> Parse(std::initializer_list<std::string> lines) {
        const std::regex counter(kCounterPattern);
        const std::regex percent(kPercentPattern);
        const ParseBuildLine parse{counter, percent};
        for (const std::string& line : lines) {
            parse(line);
            window.Drain();
        }
        return std::move(window.events);
    }
    std::vector<int> Progress(std::initializer_list<std::string> lines) {
        std::vector<int> values;
        for (const Collector::Event& event : Parse(lines)) {
            EXPECT_EQ(event.message, kProgressMessage);
            values.push_back(event.value);
        }
        return values;
    }

    Collector window;
};

TEST_F(ParseBuildLineTest, StatusMarkerSetsTheTextAndMakesTheBarBusy) {
    const auto events = Parse({"==> Generating code", "==> [1/2] 50%", "==> ", "==> M\xC3\xBCll"});
    EXPECT_EQ(events.size(), 8u);
    EXPECT_EQ(window.statuses,
              (std::vector<std::wstring>{L"Generating code", L"[1/2] 50%", L"", L"M\u00FCll"}));
    EXPECT_EQ(window.progress, (std::vector<int>{-1, -1, -1, -1}));
}

TEST_F(ParseBuildLineTest, NearMissesOfTheMarkerPostNothing) {
    EXPECT_TRUE(
        Parse({"==>", "==>Generating", " ==> Generating", "x==> y", "=> y", "== y"}).empty());
}

TEST_F(ParseBuildLineTest, CounterPostsFinishedTimesHundredOverTotal) {
    EXPECT_EQ(
        Progress({"[12/3456] Compiling a.cpp", "[1728/3456] Compiling b.cpp",
                  "[3456/3456] Linking MurkLauncher.exe", "[7/5] more than planned", "[2/3]"}),
        (std::vector<int>{0, 50, 100, 140, 66}));
}

TEST_F(ParseBuildLineTest, CounterWithoutTotalOrNotAtTheStartPostsNothing) {
    EXPECT_TRUE(Parse({"[5/0] 30%", "[5/0]", "ninja: [1/2] x", " [1/2] x", "[1/2", "[a/2]", "[/2]"})
                    .empty());
}

TEST_F(ParseBuildLineTest, PercentageAtTheStartAfterWhiteSpace) {
    EXPECT_EQ(Progress({"  42% extracting", "42% extracting", "\t7%", "100%", "  0%"}),
              (std::vector<int>{42, 42, 7, 100, 0}));
    EXPECT_TRUE(Parse({"  step 42%", "42 %", "x 42%", "%", "  %42"}).empty());
}

TEST_F(ParseBuildLineTest, NumbersTooLargeForAnIntAreClamped) {
    EXPECT_EQ(Progress({"[99999999999/1]", "[1/99999999999]", "99999999999%",
                        "  4294967296% overflowed", "[30000000/30000000] wraps in 32 bits"}),
              (std::vector<int>{INT_MAX, 0, INT_MAX, INT_MAX, 100}));
}

// "text" with count copies of fill put in at position.
std::string Padded(std::string text, std::size_t position, std::size_t count, char fill) {
    text.insert(position, count, fill);
    return text;
}

TEST_F(ParseBuildLineTest, HugeLinesNeitherCrashNorHideAProgressPrefix) {
    EXPECT_TRUE(Parse({Padded("42%", 0, 100000, ' '), Padded("[/2]", 1, 100000, '1'),
                       Padded("%", 0, 100000, '7')})
                    .empty());
    EXPECT_EQ(Progress({Padded("  42%", 5, 100000, 'x'), Padded("[1/2]", 5, 100000, ' ')}),
              (std::vector<int>{42, 50}));
}

// ---- The whole step through Run, with the stand-in python first on the PATH ----

// Sets an environment variable for one test and puts back what was there.
class ScopedVariable {
  public:
    ScopedVariable(const wchar_t* name, const std::wstring& value) : name_(name) {
        wchar_t old[32768];
        const DWORD length = GetEnvironmentVariableW(name, old, 32768);
        if (length > 0 && length < 32768) old_ = std::wstring(old, length);
        SetEnvironmentVariableW(name, value.c_str());
    }
    ~ScopedVariable() { SetEnvironmentVariableW(name_, old_ ? old_->c_str() : nullptr); }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

  private:
    const wchar_t* name_;
    std::optional<std::wstring> old_;
};

std::wstring PathWithStandIn() {
    const fs::path folder =
        test::ThisProgramFolder().parent_path().parent_path() / L"standins" / L"python";
    wchar_t path[32768] = L"";
    GetEnvironmentVariableW(L"PATH", path, 32768);
    return folder.native() + L";" + path;
}

struct Call {
    std::wstring commandLine;
    fs::path folder;
    std::vector<std::wstring> arguments;
};

class BuildStepTest : public ::testing::Test {
  protected:
    BuildStepTest() : path_(L"PATH", PathWithStandIn()), record_(L"MURK_PYTHON_RECORD", record()) {
        s_job = CreateKillOnCloseJob();
        job.choices.folder = install.path();
        job.repository = install / L"murk-recomp";
        job.extracted = job.repository / L"game" / L"extracted";
        fs::create_directories(job.repository / L"tools");
        WriteBytes(job.repository / L"tools" / L"build.py", "# the project's build script\n");
        OpenLog(install.path());
    }
    ~BuildStepTest() override {
        CloseLog();
        s_job.reset();
    }

    fs::path record() const { return install / L"python-call.txt"; }

    // Runs the step; the failure message, or nothing when the step succeeded.
    std::optional<std::wstring> Build(const std::string& output, int exitCode = 0) {
        WriteBytes(install / L"python-output.bin", output);
        ScopedVariable outputFile(L"MURK_PYTHON_OUTPUT", (install / L"python-output.bin").native());
        ScopedVariable code(L"MURK_PYTHON_EXIT", std::to_wstring(exitCode));
        std::optional<std::wstring> failure;
        try {
            BuildStep(job);
        } catch (const Failed& failed) {
            failure = failed.message;
        }
        window.Drain();
        return failure;
    }

    Call Recorded() const {
        std::istringstream lines(ReadBytes(record()));
        std::string line;
        Call call;
        if (std::getline(lines, line)) call.commandLine = Widen(line);
        if (std::getline(lines, line)) call.folder = Widen(line);
        while (std::getline(lines, line))
            call.arguments.push_back(Widen(line));
        return call;
    }

    std::string Logged() {
        CloseLog();
        return ReadBytes(install / L"setup.log");
    }

    TempFolder install;
    Collector window;
    Job job;

  private:
    ScopedVariable path_;
    ScopedVariable record_;
};

TEST_F(BuildStepTest, RunsTheScriptInTheRepositoryWithoutTheDiscOnceExtracted) {
    job.needsExtraction = false;
    job.choices.source = L"D:\\not used.iso";

    EXPECT_EQ(Build(""), std::nullopt);
    const Call call = Recorded();
    EXPECT_EQ(call.commandLine, L"python -u tools\\build.py");
    std::error_code error;
    EXPECT_TRUE(fs::equivalent(call.folder, job.repository, error)) << call.folder;
    ASSERT_FALSE(window.statuses.empty());
    EXPECT_EQ(window.statuses[0], kBuilding);
    EXPECT_TRUE(window.progress.empty());
}

TEST_F(BuildStepTest, PassesTheDiscAsOneQuotedArgumentWhileNotExtracted) {
    job.needsExtraction = true;
    job.choices.source = install / L"My Discs" / L"MURK (Europe) v1.iso";

    EXPECT_EQ(Build(""), std::nullopt);
    const Call call = Recorded();
    EXPECT_EQ(call.commandLine,
              L"python -u tools\\build.py --iso \"" + job.choices.source.native() + L"\"");
    EXPECT_EQ(call.arguments, (std::vector<std::wstring>{L"-u", L"tools\\build.py", L"--iso",
                                                         job.choices.source.native()}));
}

TEST_F(BuildStepTest, AFolderSourceEndingInABackslashReachesTheScriptWhole) {
    job.needsExtraction = true;
    job.choices.source = (install / L"Extracted disc").native() + L"\\";

    EXPECT_EQ(Build(""), std::nullopt);
    EXPECT_EQ(Recorded().arguments, (std::vector<std::wstring>{L"-u", L"tools\\build.py", L"--iso",
                                                               job.choices.source.native()}));
}

TEST_F(BuildStepTest, TurnsTheBuildLogIntoStatusProgressAndLogLines) {
    job.needsExtraction = false;
    // Before each line the script prints a mark and waits until the window has taken it: by then
    // the window has taken all that the line before posted, and sees every value.
    std::string script = "#! murk-build-scenario\n";
    int marks = 0;
    for (const char* line :
         {"line ==> Extracting the game's files", "redraw   12% extracting",
          "redraw   57% extracting", "line  100% extracting", "line ==> Building",
          "line [1/4] Compiling a.cpp", "line [4/4] Linking MurkLauncher.exe"}) {
        const std::string mark = "mark " + std::to_string(marks++);
        script += "line " + mark + "\nwait " + mark + "\n" + line + "\n";
    }
    WriteBytes(job.repository / L"tools" / L"build.py", script);

    ASSERT_TRUE(window.RunWhileTaking([&] { BuildStep(job); },
                                      [&] {
                                          if (!window.logs.empty() &&
                                              window.logs.back().starts_with(L"mark "))
                                              WriteBytes(job.repository / window.logs.back(), "");
                                      }));
    EXPECT_EQ(window.statuses,
              (std::vector<std::wstring>{kBuilding, L"Extracting the game's files", L"Building"}));
    EXPECT_EQ(window.progress, (std::vector<int>{-1, 12, 57, 100, -1, 25, 100}));
    EXPECT_EQ(std::regex_replace(Logged(), std::regex("mark \\d\r\n"), ""),
              "== Building (the first build takes 10-30 minutes)\r\n"
              "$ python -u tools\\build.py\r\n"
              "==> Extracting the game's files\r\n"
              " 100% extracting\r\n"
              "==> Building\r\n"
              "[1/4] Compiling a.cpp\r\n"
              "[4/4] Linking MurkLauncher.exe\r\n");
}

TEST_F(BuildStepTest, NonZeroExitFailsWithTheBuildFailedMessage) {
    job.needsExtraction = false;
    EXPECT_EQ(Build("==> Building\nerror: something broke\n", 1), kBuildFailed);
    EXPECT_EQ(Build("", -1073741819), kBuildFailed);  // a crash of the interpreter
    const std::string log = Logged();
    EXPECT_NE(log.find("error: something broke\r\n"), std::string::npos);
    // The job frame logs the failure; the step itself doesn't.
    EXPECT_EQ(log.find("The build failed"), std::string::npos);
}

// A compiler that an antivirus took away after the tools step found it: the build doesn't run,
// and one taken while it ran is named instead of the build's failure.
TEST_F(BuildStepTest, AToolProgramThatIsGoneIsNamed) {
    job.needsExtraction = false;
    const fs::path clang = install / L"tools" / L"Clang" / L"bin" / L"clang++.exe";
    fs::create_directories(clang.parent_path());
    job.toolPrograms = {clang};
    const std::wstring gone = L"clang++.exe is gone from " + clang.parent_path().native() +
                              L". An antivirus may have removed it: allow the install folder in "
                              L"your antivirus, then run Setup again.";
    EXPECT_EQ(Build(""), gone);
    EXPECT_FALSE(fs::exists(record()));
    EXPECT_TRUE(window.statuses.empty());

    WriteBytes(clang, "");
    WriteBytes(job.repository / L"tools" / L"build.py",
               "#! murk-build-scenario\ndelete " + Utf8(clang.native()) + "\nexit 1\n");
    EXPECT_EQ(Build(""), gone);
    EXPECT_TRUE(fs::exists(record()));
}

}  // namespace
}  // namespace murk::setup
