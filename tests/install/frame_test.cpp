#include "setup/install/install.h"

#include "setup/install/install_folder.h"
#include "setup/job/channel.h"
#include "setup/job/process.h"
#include "setup/job/system.h"
#include "setup/tools/digest.h"
#include "tests/support/test_support.h"

#include "maintenance/maintenance.h"

#include <aclapi.h>
#include <sddl.h>
#include <gtest/gtest.h>

#include <thread>

namespace murk::setup {
namespace {

namespace fs = std::filesystem;
using test::Collector;
using test::FakeSystem;
using test::ReadBytes;
using test::TempFolder;

constexpr std::uint64_t kGiB = 1ull << 30;
constexpr wchar_t kChooseSource[] =
    L"Choose your MURK disc image (.iso) or extracted disc folder first.";

class FrameTest : public ::testing::Test {
  protected:
    void SetUp() override {
        test::EnsureJobObject();
        s_cancel = false;
        fs::create_directories(folder);
        test::WriteBytes(image, "disc");
        // The user's own folder where the tools step would put Git: a job that gets past the
        // preparation stops there, before anything reaches the network.
        fs::create_directories(usersGit);
        test::WriteBytes(usersGit / L"notes.txt", "mine");
    }
    void TearDown() override {
        s_cancel = false;
        s_powerSetRequest = PowerSetRequest;
        s_powerClearRequest = PowerClearRequest;
    }

    void MarkExtracted() {
        const fs::path extracted = folder / L"murk-recomp" / L"game" / L"extracted";
        fs::create_directories(extracted);
        test::WriteBytes(extracted / L"default.xex", "xex");
    }
    // Runs a job on this thread, as the worker does, and collects what it posted.
    void RunJob(const fs::path& source) {
        Install(Choices{.source = source, .folder = folder});
        window.Drain();
    }
    std::string Header() const {
        return "MURK Recompiled Setup, installing to " + Utf8(folder.native()) + "\r\n";
    }
    // A job that got past the preparation: it went on to the tools step, which ended it.
    void ExpectPastPreparation() {
        EXPECT_EQ(window.doneCount, 1);
        EXPECT_EQ(window.doneMessage,
                  usersGit.native() +
                      L" already exists and isn't from Setup. Choose another install folder.");
        EXPECT_EQ(ReadBytes(folder / L"setup.log").rfind(Header(), 0), 0u);
    }

    TempFolder root;
    fs::path folder = root / L"MURK install";
    fs::path image = root / L"murk.iso";
    fs::path usersGit = folder / L"tools" / L"Git";
    Collector window;
};

TEST_F(FrameTest, EnoughOrUnknownFreeSpaceAsksNothing) {
    struct Case {
        bool extracted;
        std::optional<std::uint64_t> free;
    };
    for (const Case& c : {Case{true, 6 * kGiB}, Case{false, 14 * kGiB}, Case{false, 0},
                          Case{false, std::nullopt}}) {
        if (c.extracted) MarkExtracted();
        FakeSystem system(c.free);  // a question would be answered No and end the job
        window.doneCount = 0;
        RunJob(image);
        EXPECT_TRUE(system.questions().empty()) << c.free.value_or(0);
        EXPECT_EQ(system.queriedPaths(), std::vector<fs::path>{folder});
        ExpectPastPreparation();
        fs::remove_all(folder / L"murk-recomp");
    }
}

TEST_F(FrameTest, LowSpaceAsksWithRoundedDownFiguresAndYesGoesOnQuietly) {
    FakeSystem system(14 * kGiB - 1, IDYES);  // a byte short, before extraction
    RunJob(image);

    const auto questions = system.questions();
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0].text,
              L"The drive has 13 GB free; about 14 GB is needed. Continue anyway?");
    EXPECT_EQ(questions[0].caption, L"MURK Recompiled Setup");
    EXPECT_EQ(questions[0].type, static_cast<UINT>(MB_YESNO | MB_ICONWARNING));
    EXPECT_EQ(questions[0].owner, window.window());
    ExpectPastPreparation();
    const std::string log = ReadBytes(folder / L"setup.log");
    EXPECT_EQ(log.find("GB"), std::string::npos) << log;
    EXPECT_EQ(log.find("space"), std::string::npos) << log;
}

TEST_F(FrameTest, NoToTheQuestionEndsTheJobBeforeAnyTool) {
    MarkExtracted();
    FakeSystem system(6 * kGiB - 1, IDNO);
    RunJob({});

    ASSERT_EQ(system.questions().size(), 1u);
    EXPECT_EQ(system.questions()[0].text,
              L"The drive has 5 GB free; about 6 GB is needed. Continue anyway?");
    EXPECT_EQ(window.doneCount, 1);
    EXPECT_FALSE(window.doneSuccess);
    EXPECT_EQ(window.doneMessage, L"Not enough disk space.");
    EXPECT_EQ(window.statuses, std::vector<std::wstring>{});
    EXPECT_EQ(ReadBytes(folder / L"setup.log"), Header() + "Not enough disk space.\r\n");
}

TEST_F(FrameTest, CancelPendingBeforeTheQuestionAsksNothing) {
    FakeSystem system(kGiB, IDYES);
    s_cancel = true;
    RunJob(image);
    EXPECT_TRUE(system.questions().empty());
    EXPECT_EQ(window.doneMessage, L"Cancelled.");
    EXPECT_FALSE(window.doneSuccess);
    EXPECT_EQ(ReadBytes(folder / L"setup.log"), Header() + "Cancelled.\r\n");
}

TEST_F(FrameTest, ACancelWhileTheQuestionIsUpEndsAsCancelledWhateverTheAnswer) {
    for (const int answer : {IDNO, IDYES}) {
        FakeSystem system(kGiB, answer);
        system.AfterQuestion([] { s_cancel = true; });  // the window closing meanwhile
        s_cancel = false;
        window.doneCount = 0;
        RunJob(image);
        EXPECT_EQ(system.questions().size(), 1u);
        EXPECT_EQ(window.doneCount, 1);
        EXPECT_EQ(window.doneMessage, L"Cancelled.") << answer;
        EXPECT_EQ(window.statuses, std::vector<std::wstring>{}) << "no step began";
    }
}

TEST_F(FrameTest, MissingSourceFailsBeforeTheDiskSpaceCheck) {
    FakeSystem system(kGiB, IDYES);
    for (const fs::path& source : {fs::path(), root / L"vanished.iso"}) {
        window.doneCount = 0;
        RunJob(source);
        EXPECT_EQ(window.doneCount, 1);
        EXPECT_FALSE(window.doneSuccess);
        EXPECT_EQ(window.doneMessage, kChooseSource);
    }
    EXPECT_TRUE(system.queriedPaths().empty());
    EXPECT_TRUE(system.questions().empty());
    const std::string failed = Header() + Utf8(kChooseSource) + "\r\n";
    EXPECT_EQ(ReadBytes(folder / L"setup.log"), failed + failed);
}

TEST_F(FrameTest, ExtractedGameNeedsNoSource) {
    MarkExtracted();
    FakeSystem system(100 * kGiB);
    RunJob({});
    EXPECT_TRUE(system.questions().empty());
    ExpectPastPreparation();
}

TEST_F(FrameTest, SecondJobAppendsWithItsOwnHeaderAndEachEndsWithItsFailure) {
    test::WriteBytes(folder / L"setup.log", "an earlier run\r\n");
    FakeSystem system(kGiB, IDNO);
    RunJob(image);
    RunJob(root / L"gone.iso");

    EXPECT_EQ(ReadBytes(folder / L"setup.log"), "an earlier run\r\n" + Header() +
                                                    "Not enough disk space.\r\n" + Header() +
                                                    Utf8(kChooseSource) + "\r\n");
    EXPECT_EQ(window.doneCount, 2);
    ASSERT_GE(window.events.size(), 2u);
    EXPECT_EQ(window.events.back().message, kDoneMessage);
    EXPECT_EQ(window.events[window.events.size() - 2].text, kChooseSource);

    // Past 16 MB it makes way for a new one; the tools that the old one records as downloaded are
    // still known to be Setup's.
    const std::string large =
        "Git: downloading https://x/MinGit.zip\r\n" + std::string(20 << 20, 'x');
    test::WriteBytes(folder / L"setup.old.log", "older");
    test::WriteBytes(folder / L"setup.log", large);
    RunJob(root / L"gone.iso");
    EXPECT_TRUE(ReadBytes(folder / L"setup.old.log") == large);
    EXPECT_EQ(ReadBytes(folder / L"setup.log").substr(0, 200),
              Header() + Utf8(kChooseSource) + "\r\n");
    maintenance::Ownership ownership{.installFolder = folder};
    EXPECT_TRUE(maintenance::OwnsTool(ownership, L"Git"));
}

TEST_F(FrameTest, StandardExceptionEndsTheJobAsAnUnexpectedError) {
    FakeSystem system(100 * kGiB);
    system.OnQuery([] { throw std::length_error("path too long"); });
    RunJob(image);
    EXPECT_EQ(window.doneCount, 1);
    EXPECT_FALSE(window.doneSuccess);
    EXPECT_EQ(window.doneMessage, L"Unexpected error: path too long");
    EXPECT_EQ(ReadBytes(folder / L"setup.log"), Header() + "Unexpected error: path too long\r\n");
}

// A letter that names no drive, so that nothing can be created on it.
std::wstring MissingDrive() {
    const DWORD drives = GetLogicalDrives();
    for (wchar_t letter = L'Y'; letter > L'D'; --letter)
        if (!(drives & (1u << (letter - L'A')))) return std::wstring(1, letter) + L":\\";
    return {};
}

TEST_F(FrameTest, FolderThatCantBeCreatedFailsWithoutALog) {
    const std::wstring drive = MissingDrive();
    ASSERT_FALSE(drive.empty());
    const fs::path blocked = root / L"a file";
    test::WriteBytes(blocked, "not a folder");
    FakeSystem system(100 * kGiB);

    for (const fs::path& target : {fs::path(drive + L"Games\\MURK"), blocked}) {
        window.events.clear();
        Install(Choices{.source = image, .folder = target});
        window.Drain();
        const std::wstring message = L"Couldn't create " + target.native();
        ASSERT_EQ(window.events.size(), 2u);
        EXPECT_EQ(window.events[0].message, kLogMessage);
        EXPECT_EQ(window.events[0].text, message);
        EXPECT_EQ(window.events[1].message, kDoneMessage);
        EXPECT_EQ(window.events[1].text, message);
        EXPECT_EQ(window.events[1].value, 0);
    }
    EXPECT_EQ(ReadBytes(blocked), "not a folder");
    EXPECT_FALSE(fs::exists(root / L"setup.log"));
    EXPECT_FALSE(fs::exists(fs::current_path() / L"setup.log"));
}

// A folder's DACL as text.
std::wstring Dacl(const fs::path& folder) {
    PSECURITY_DESCRIPTOR raw = nullptr;
    GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                          nullptr, nullptr, nullptr, &raw);
    const std::unique_ptr<void, LocalFreer> descriptor(raw);
    wchar_t* text = nullptr;
    ConvertSecurityDescriptorToStringSecurityDescriptorW(raw, SDDL_REVISION_1,
                                                         DACL_SECURITY_INFORMATION, &text, nullptr);
    const std::unique_ptr<wchar_t, LocalFreer> owned(text);
    return text ? text : L"";
}

// One Setup per folder, however it is spelt (here by its short name); the named mutex that Setup
// once held the folder by, made first by someone else, holds nothing up. Only the user, the system
// and administrators may change what is in a folder Setup makes; the parents made on the way and a
// folder that was there keep their permissions. (Wine keeps no DACL: it shows one made from the
// Unix mode, which a descriptor given at the creation sets, with Everyone's from the "other" bits.)
TEST_F(FrameTest, OneSetupHoldsAFolderHoweverSpeltAndAFolderItMakesIsTheUsers) {
    std::wstring other(MAX_PATH, L'\0');
    other.resize(GetShortPathNameW(folder.c_str(), other.data(), MAX_PATH));
    ASSERT_NE(fs::path(other).filename(), folder.filename());
    auto hold = HoldFolder(folder);
    ASSERT_TRUE(hold && *hold);
    Install(Choices{.source = image, .folder = other});
    window.Drain();
    EXPECT_EQ(window.doneMessage, kAlreadyRunning);
    EXPECT_FALSE(fs::exists(folder / L"setup.log"));
    hold.reset();
    EXPECT_FALSE(fs::exists(folder / kLockFile));

    std::wstring upper = folder.native();
    CharUpperW(upper.data());
    const std::string hex =
        Sha256OfBytes(std::string_view(reinterpret_cast<const char*>(upper.data()),
                                       upper.size() * sizeof(wchar_t)))
            .value_or("");
    const UniqueHandle squatted(
        CreateMutexW(nullptr, FALSE, (L"Global\\MurkRecompiledSetup-" + Widen(hex)).c_str()));
    const std::wstring before = Dacl(folder);
    const fs::path made = root / L"Games" / L"MURK";
    for (const fs::path& target : {folder, made}) {
        Install(Choices{.source = root / L"gone.iso", .folder = target});
        window.Drain();
        EXPECT_EQ(window.doneMessage, kChooseSource);
    }
    EXPECT_EQ(Dacl(folder), before);
    EXPECT_EQ(Dacl(made.parent_path()), before);
    EXPECT_NE(before.find(L";WD)"), std::wstring::npos) << before;
    EXPECT_EQ(Dacl(made).find(L";WD)"), std::wstring::npos) << Dacl(made);
}

// The power requests that are on, as the seam sees them.
int s_requestsOn = 0;

// On the worker thread, as in the program: when the end report arrives the log already ends
// with the final message and is closed, and the worker has left its COM apartment. The PC is kept
// awake during the job and let go of at the end: by a power request, or where none can be made
// (Wine) by the worker's execution state (setting it again reads it back).
TEST_F(FrameTest, EndReportComesLastAfterTheLogIsClosedAndComIsLeft) {
    FakeSystem system(kGiB, IDNO);
    s_requestsOn = 0;
    s_powerSetRequest = [](HANDLE request, POWER_REQUEST_TYPE type) {
        const BOOL set = PowerSetRequest(request, type);
        s_requestsOn += set ? 1 : 0;
        return set;
    };
    s_powerClearRequest = [](HANDLE request, POWER_REQUEST_TYPE type) {
        --s_requestsOn;
        return PowerClearRequest(request, type);
    };
    int requestsDuring = 0;
    EXECUTION_STATE during = 0;
    EXECUTION_STATE after = 0;
    system.OnQuery([&] {
        requestsDuring = s_requestsOn;
        if (!requestsDuring) during = SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
    });
    std::string logAtDone;
    bool logClosedAtDone = false;
    window.onDone = [&] {
        logAtDone = ReadBytes(folder / L"setup.log");
        const HANDLE exclusive = CreateFileW((folder / L"setup.log").c_str(), GENERIC_WRITE, 0,
                                             nullptr, OPEN_EXISTING, 0, nullptr);
        logClosedAtDone = exclusive != INVALID_HANDLE_VALUE;
        if (logClosedAtDone) CloseHandle(exclusive);
    };
    HRESULT comAfterJob = E_FAIL;
    std::jthread worker([&] {
        Install(Choices{.source = image, .folder = folder});
        // A thread still in a single-threaded apartment can't enter the multithreaded one.
        comAfterJob = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (SUCCEEDED(comAfterJob)) CoUninitialize();
        after = SetThreadExecutionState(ES_CONTINUOUS);
    });
    ASSERT_TRUE(window.WaitForDone());
    worker.join();
    window.Drain();

    EXPECT_EQ(comAfterJob, S_OK);
    EXPECT_EQ(s_requestsOn, 0) << "the power request outlived the job";
    if (!requestsDuring) {
        EXPECT_EQ(during, ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
        EXPECT_EQ(after, ES_CONTINUOUS);
    }
    EXPECT_TRUE(logClosedAtDone);
    EXPECT_EQ(logAtDone, Header() + "Not enough disk space.\r\n");
    EXPECT_EQ(window.doneCount, 1);
    ASSERT_GE(window.events.size(), 2u);
    EXPECT_EQ(window.events.back().message, kDoneMessage);
    EXPECT_EQ(window.events[window.events.size() - 2].message, kLogMessage);
    EXPECT_EQ(window.events[window.events.size() - 2].text, L"Not enough disk space.");
}

}  // namespace
}  // namespace murk::setup
