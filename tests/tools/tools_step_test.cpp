#include "setup/tools/tools_step.h"

#include "setup/job/channel.h"
#include "setup/job/environment.h"
#include "setup/job/handles.h"
#include "setup/job/process.h"
#include "setup/job/system.h"
#include "setup/tools/digest.h"
#include "setup/tools/http.h"
#include "setup/tools/unpack.h"
#include "tests/support/http_server.h"
#include "tests/support/release_document.h"
#include "tests/support/standin.h"
#include "tests/support/system_tar.h"
#include "tests/support/test_support.h"
#include "tests/support/zip_archive.h"

#include "maintenance/maintenance.h"
#include "maintenance/tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>

namespace murk::setup {
namespace {

namespace fs = std::filesystem;
using test::Collector;
using test::HttpResponse;
using test::HttpServer;
using test::ReadBytes;
using test::ReleaseDocument;
using test::StoredZip;
using test::TempFolder;
using test::WriteBytes;

constexpr wchar_t kDomain[] = L"packages.test";

std::wstring ReadPathVariable() {
    std::wstring buffer(32768, L'\0');
    buffer.resize(GetEnvironmentVariableW(L"PATH", buffer.data(), 32768));
    return buffer;
}

// Sha256OfFile itself is checked against the standard's test vectors in digest_test.cpp.
std::string Sha256Hex(const std::string& bytes) {
    TempFolder folder;
    WriteBytes(folder / L"bytes", bytes);
    return Sha256OfFile(folder / L"bytes").value_or("");
}

class ToolsStep : public ::testing::Test {
  protected:
    void SetUp() override {
        savedPath_ = ReadPathVariable();
        // Only the system folders: none of the five tools is on it.
        SetEnvironmentVariableW(L"PATH", test::SystemTarPath().parent_path().c_str());
        ASSERT_TRUE(test::InstallSystemTar(test::StandinProgram(L"tar", L"tar.exe")));
        if (!s_job) s_job = CreateKillOnCloseJob();
        ResetChildEnvironment();
        s_cancel = false;
        s_retryPause = 10;
        maintenance::s_patienceMilliseconds = 300;
    }
    void TearDown() override {
        SetEnvironmentVariableW(L"PATH", savedPath_.c_str());
        s_cancel = false;
        s_retryPause = 1000;
        maintenance::s_patienceMilliseconds = 10'000;
        s_anyLoopbackHttp = true;  // as the fixture's server set it, for the tests after this one
    }

    // Publishes a tool archive as the only asset of repository's latest release (or of the
    // package index for Python).
    void Publish(const std::string& repository, const std::string& asset, const std::string& zip,
                 const std::string& digest = "") {
        const std::string path = "/downloads/" + asset;
        server.Serve(path, {.body = zip});
        if (repository.empty()) {
            server.Serve("/v3-flatcontainer/python/index.json",
                         {.body = "{\"versions\":[\"3.12.8\",\"3.12.10\",\"3.13.1\"]}"});
            server.Serve("/v3-flatcontainer/python/3.12.10/python.3.12.10.nupkg", {.body = zip});
            return;
        }
        server.Serve("/repos/" + repository + "/releases/latest",
                     {.body = ReleaseDocument(
                          "v1", {{asset + ".sig", server.OriginUtf8() + path + ".sig", ""},
                                 {asset, server.OriginUtf8() + path, digest}})});
    }

    void PublishAll() {
        Publish("git-for-windows/git", "MinGit-2.47.1-64-bit.zip",
                StoredZip({{"cmd/", ""}, {"cmd/git.exe", "git"}, {"etc/gitconfig", ""}}));
        Publish("Kitware/CMake", "cmake-3.31.2-windows-x86_64.zip",
                StoredZip({{"cmake-3.31.2-windows-x86_64/share/cmake/x/cmake.exe.txt", ""},
                           {"cmake-3.31.2-windows-x86_64/share/bin/cmake.exe", "cmake"}}));
        Publish("ninja-build/ninja", "ninja-win.zip", StoredZip({{"ninja.exe", "ninja"}}));
        Publish("mstorsjo/llvm-mingw", "llvm-mingw-20241217-ucrt-x86_64.zip",
                StoredZip({{"llvm-mingw-20241217-ucrt-x86_64/bin/clang++.exe", "clang"}}));
        Publish("", "", StoredZip({{"tools/python.exe", "python"}, {"python.nuspec", "<x/>"}}));
    }

    std::vector<BuildTool> Tools() { return ToolTable(server.Origin(), server.Origin(), kDomain); }

    std::wstring Failure(const std::vector<BuildTool>& tools, const fs::path& folder = {}) {
        try {
            ProvideTools(folder.empty() ? install.path() : folder, tools);
        } catch (const Failed& failure) {
            return failure.message;
        }
        return L"(no failure)";
    }

    // The lines the step logged since the last call.
    std::vector<std::wstring> NewLines() {
        window.Drain();
        std::vector<std::wstring> lines;
        lines.swap(window.logs);
        return lines;
    }
    // What a download of Ninja logs when nothing goes wrong.
    std::vector<std::wstring> NinjaDownloaded(const std::wstring& url) {
        const fs::path tools = install / L"tools";
        return {L"== Checking the tools", L"Ninja: downloading " + url, L"== Unpacking Ninja",
                L"$ " + Quote(test::SystemTarPath()) + L" -xvf " + Quote(tools / L"Ninja.zip") +
                    L" -C " + Quote(tools / L"Ninja"),
                L"Ninja: " + (tools / L"Ninja" / L"ninja.exe").native()};
    }
    std::vector<std::string> ArchiveRanges(const std::string& target) {
        std::vector<std::string> ranges;
        for (const auto& request : server.Requests()) {
            if (request.target != target) continue;
            const auto range = request.Header("Range");
            ranges.push_back(range.empty() ? "" : range[0]);
        }
        return ranges;
    }

    // What a failed download of Ninja leaves for the next job, in a tools folder of nothing else.
    void KeepPartial(const std::string& bytes, const std::string& url, std::size_t length,
                     const std::string& validator) {
        const fs::path tools = install / L"tools";
        fs::remove_all(tools);
        fs::create_directories(tools);
        WriteBytes(tools / L"Ninja.zip", bytes);
        WriteBytes(tools / L"Ninja.zip.resume", "url=" + url +
                                                    "\nlength=" + std::to_string(length) +
                                                    "\nvalidator=" + validator + "\n");
    }

    bool Logged(const std::wstring& line) {
        window.Drain();
        return std::find(window.logs.begin(), window.logs.end(), line) != window.logs.end();
    }

    HttpServer server;
    TempFolder install;
    Collector window;
    std::wstring savedPath_;
};

TEST_F(ToolsStep, FiveDownloadsAreUnpackedAndPutInFrontOfPathInReverseOrder) {
    PublishAll();
    const std::wstring before = ReadPathVariable();
    ProvideTools(install.path(), Tools());

    const fs::path tools = install / L"tools";
    const fs::path git = tools / L"Git" / L"cmd" / L"git.exe";
    const fs::path cmake =
        tools / L"CMake" / L"cmake-3.31.2-windows-x86_64" / L"share" / L"bin" / L"cmake.exe";
    const fs::path ninja = tools / L"Ninja" / L"ninja.exe";
    const fs::path clang =
        tools / L"Clang" / L"llvm-mingw-20241217-ucrt-x86_64" / L"bin" / L"clang++.exe";
    const fs::path python = tools / L"Python" / L"tools" / L"python.exe";
    EXPECT_EQ(ReadBytes(cmake), "cmake");
    EXPECT_EQ(PathVariable(), python.parent_path().native() + L";" + clang.parent_path().native() +
                                  L";" + ninja.parent_path().native() + L";" +
                                  cmake.parent_path().native() + L";" + git.parent_path().native() +
                                  L";" + before);
    for (const wchar_t* name : {L"Git", L"CMake", L"Ninja", L"Clang", L"Python"}) {
        EXPECT_FALSE(fs::exists(tools / (std::wstring(name) + L".zip"))) << name;
        // Each folder is marked as Setup's, with an empty file that changes no size.
        std::error_code error;
        EXPECT_EQ(fs::file_size(tools / name / L".murk-setup", error), 0u) << name;
        EXPECT_FALSE(error) << name;
    }
    EXPECT_FALSE(fs::exists(tools / L".murk-setup"));

    window.Drain();
    EXPECT_TRUE(Logged(L"== Checking the tools"));
    ASSERT_FALSE(window.statuses.empty());
    EXPECT_EQ(window.statuses.back(), L"Unpacking Python");
    EXPECT_TRUE(
        Logged(L"Git: downloading " + server.Origin() + L"/downloads/MinGit-2.47.1-64-bit.zip"));
    EXPECT_TRUE(Logged(L"$ " + Quote(test::SystemTarPath()) + L" -xvf " +
                       Quote(tools / L"Git.zip") + L" -C " + Quote(tools / L"Git")));
    EXPECT_TRUE(Logged(L"Git: " + git.native()));
    EXPECT_TRUE(Logged(L"Python: downloading " + server.Origin() +
                       L"/v3-flatcontainer/python/3.12.10/python.3.12.10.nupkg"));
    // This package index has no hash documents to read: Python is installed all the same.
    EXPECT_TRUE(Logged(L"(Python: couldn't read the package index's SHA-512; not checked)"));
    for (const wchar_t* name : {L"Git", L"CMake", L"Ninja", L"Clang", L"Python"})
        EXPECT_TRUE(Logged(L"== Unpacking " + std::wstring(name))) << name;
    // The bar counted the last archive's files to the end.
    ASSERT_FALSE(window.progress.empty());
    EXPECT_EQ(window.progress.back(), 100);
}

TEST_F(ToolsStep, ToolsOnPathOrInTheToolsFolderNeedNoNetwork) {
    TempFolder user;
    const fs::path userGit = user / L"Git" / L"cmd" / L"git.exe";
    const fs::path storePython = user / L"Microsoft" / L"WindowsApps" / L"python.exe";
    fs::create_directories(userGit.parent_path());
    fs::create_directories(storePython.parent_path());
    WriteBytes(userGit, "the user's git");
    WriteBytes(storePython, "a Store alias");
    const fs::path tools = install / L"tools";
    // Left behind by an earlier run: must be neither used nor touched while git is on PATH.
    test::MarkMadeBySetup(tools / L"Git");
    WriteBytes(tools / L"Git" / L"notes.txt", "keep");
    const std::vector<std::pair<const wchar_t*, fs::path>> unpacked = {
        {L"CMake", tools / L"CMake" / L"a" / L"b" / L"cmake.exe"},
        {L"Ninja", tools / L"Ninja" / L"ninja.exe"},
        {L"Clang", tools / L"Clang" / L"a" / L"b" / L"c" / L"clang++.exe"},
        {L"Python", tools / L"Python" / L"python.exe"}};
    for (const auto& [name, program] : unpacked) {
        fs::create_directories(program.parent_path());
        WriteBytes(program, "");
        // Python's folder is the user's own, not marked: holding its program, it serves as well.
        if (name != std::wstring_view(L"Python")) test::MarkMadeBySetup(tools / name);
    }
    const std::wstring userPath = L";;" + storePython.parent_path().native() + L";" +
                                  userGit.parent_path().native() + L";" +
                                  test::SystemTarPath().parent_path().native() + L";";
    SetEnvironmentVariableW(L"PATH", userPath.c_str());

    ProvideTools(install.path(), Tools());

    EXPECT_TRUE(server.Requests().empty());
    EXPECT_TRUE(Logged(L"Git: using " + userGit.native()));
    EXPECT_EQ(ReadBytes(tools / L"Git" / L"notes.txt"), "keep");
    for (const auto& [name, program] : unpacked)
        EXPECT_TRUE(Logged(std::wstring(name) + L": " + program.native())) << name;
    EXPECT_EQ(PathVariable(), (tools / L"Python").native() + L";" +
                                  unpacked[2].second.parent_path().native() + L";" +
                                  (tools / L"Ninja").native() + L";" +
                                  unpacked[0].second.parent_path().native() + L";" + userPath);
    // Only the children's: Setup's own, and so the launcher's, stays the user's.
    EXPECT_EQ(ReadPathVariable(), userPath);

    // A second job starts from the user's PATH again: Python is still Setup's, not the user's.
    window.logs.clear();
    ResetChildEnvironment();
    ProvideTools(install.path(), Tools());
    EXPECT_TRUE(Logged(L"Python: " + (tools / L"Python" / L"python.exe").native()));
    EXPECT_TRUE(server.Requests().empty());
}

// A relative PATH entry means whatever the current folder makes of it (Downloads, often):
// never a tool's folder. A Store alias of a tool's name earlier in PATH is passed over.
TEST_F(ToolsStep, AToolOnPathBehindARelativeEntryOrAStoreAliasOfItsName) {
    TempFolder user;
    const fs::path storePython = user / L"WindowsApps" / L"python.exe";
    const fs::path userPython = user / L"Python312" / L"python.exe";
    const fs::path userGit = user / L"Git" / L"git.exe";
    const fs::path current = user / L"Downloads";
    for (const fs::path& program : {storePython, userPython, userGit, current / L"git.exe",
                                    current / L"bin" / L"git.exe", current / L"python.exe"}) {
        fs::create_directories(program.parent_path());
        WriteBytes(program, "");
    }
    const std::wstring userPath = L".;bin;" + storePython.parent_path().native() + L";" +
                                  userGit.parent_path().native() + L";" +
                                  userPython.parent_path().native();
    SetEnvironmentVariableW(L"PATH", userPath.c_str());
    const fs::path savedCurrent = fs::current_path();
    fs::current_path(current);
    const auto tools = Tools();
    const std::vector<BuildTool> gitAndPython = {tools[0], tools[4]};

    ProvideTools(install.path(), gitAndPython);
    fs::current_path(savedCurrent);

    EXPECT_TRUE(server.Requests().empty());
    EXPECT_TRUE(Logged(L"Git: using " + userGit.native()));
    EXPECT_TRUE(Logged(L"Python: using " + userPython.native()));
    // "python" must now start the user's Python, not the alias; git was never in doubt.
    EXPECT_EQ(PathVariable(), userPython.parent_path().native() + L";" + userPath);
}

// With the install folder at a drive root, "tools\Python" may be the user's own folder: without
// Setup's marker it is emptied for a download only when there is nothing in it.
TEST_F(ToolsStep, AToolFolderSetupDidntMakeIsNeverEmptied) {
    PublishAll();
    const std::vector<BuildTool> python = {Tools()[4]};
    const fs::path folder = install / L"tools" / L"Python";
    fs::create_directories(folder / L"Scripts");
    WriteBytes(folder / L"Scripts" / L"mine.py", "the user's script");
    const std::wstring refused =
        folder.native() + L" already exists and isn't from Setup. Choose another install folder.";
    EXPECT_EQ(Failure(python), refused);
    EXPECT_EQ(ReadBytes(folder / L"Scripts" / L"mine.py"), "the user's script");
    EXPECT_TRUE(server.Requests().empty());

    // Nor is a file of that name taken for a folder to empty.
    fs::remove_all(folder);
    WriteBytes(folder, "a file");
    EXPECT_EQ(Failure(python), refused);
    EXPECT_EQ(ReadBytes(folder), "a file");

    // An empty folder holds nothing to lose; one that Setup marked is Setup's to empty.
    fs::remove(folder);
    fs::create_directories(folder);
    ProvideTools(install.path(), python);
    EXPECT_TRUE(fs::exists(folder / L"tools" / L"python.exe"));
    fs::remove(folder / L"tools" / L"python.exe");
    WriteBytes(folder / L"leftover.txt", "from a cut-off unpack");
    ProvideTools(install.path(), python);
    EXPECT_TRUE(fs::exists(folder / L"tools" / L"python.exe"));
    EXPECT_FALSE(fs::exists(folder / L"leftover.txt"));

    // An install from before the marker: a download that its setup.log records makes it Setup's.
    fs::remove(folder / L".murk-setup");
    fs::remove(folder / L"tools" / L"python.exe");
    EXPECT_EQ(Failure(python), refused);
    WriteBytes(install / L"setup.log", "Python: downloading https://x/python.3.12.9.nupkg\r\n");
    ProvideTools(install.path(), python);
    EXPECT_TRUE(fs::exists(folder / L"tools" / L"python.exe"));
}

// A drive that fills up (scripts/ctest-session.sh maps a 1 MB one as Y:, as root): the download
// and the unpack say so, and what arrived is kept with its record for a later job.
TEST_F(ToolsStep, AFullDriveIsNamedAsSuch) {
    wchar_t drive[8] = {};
    if (!GetEnvironmentVariableW(L"MURK_SMALL_DRIVE", drive, 8))
        GTEST_SKIP() << "no small drive: scripts/ctest-session.sh maps one when run as root";
    const fs::path folder = std::wstring(drive) + L"\\MURK";
    fs::remove_all(folder);  // what an earlier run left there
    const std::vector<BuildTool> ninja = {Tools()[2]};
    auto publish = [&](std::size_t size) {
        Publish("ninja-build/ninja", "ninja-win.zip",
                StoredZip({{"ninja.exe", std::string(size, 'n')}}));
    };
    publish(2 << 20);
    EXPECT_EQ(Failure(ninja, folder),
              L"Couldn't download Ninja: the drive is full. Free up space on it, then run Setup "
              L"again.");
    EXPECT_GT(test::ReadBytes(folder / L"tools" / L"Ninja.zip").size(), 0u);
    EXPECT_TRUE(fs::exists(folder / L"tools" / L"Ninja.zip.resume"));

    fs::remove_all(folder / L"tools");
    publish(600 << 10);  // arrives, but doesn't fit twice
    EXPECT_EQ(Failure(ninja, folder),
              L"Couldn't unpack Ninja: the drive is full. Free up space on it, then run Setup "
              L"again.");
}

// An unpack cut off after the program came out: the next run doesn't take the half tool. It
// empties the folder without going through a link there into the user's files. Nor does it take
// what is left of an emptying cut off halfway (the program held, then the job stopped).
TEST_F(ToolsStep, AnUnpackCutOffHalfwayIsDoneAgain) {
    PublishAll();
    const std::vector<BuildTool> ninja = {Tools()[2]};
    const fs::path program = install / L"tools" / L"Ninja" / L"ninja.exe";
    SetEnvironmentVariableW(L"STANDIN_TAR_HOLD", L"1");
    auto job = std::async(std::launch::async, [&] { return Failure(ninja); });
    EXPECT_TRUE(test::Eventually([&] { return fs::exists(program); }, 30000));
    SetEnvironmentVariableW(L"STANDIN_TAR_HOLD", nullptr);
    s_cancel = true;
    TerminateJobObject(s_job.get(), 1);
    EXPECT_EQ(job.get(), L"Cancelled.");

    TempFolder user;
    WriteBytes(user / L"notes.txt", "mine");
    ASSERT_TRUE(test::MakeFolderLink(program.parent_path() / L"docs", user.path()));
    s_cancel = false;
    NewLines();
    ProvideTools(install.path(), ninja);
    EXPECT_EQ(NewLines(), NinjaDownloaded(server.Origin() + L"/downloads/ninja-win.zip"));
    EXPECT_FALSE(fs::exists(program.parent_path() / L".murk-setup-unpacking"));
    EXPECT_EQ(ReadBytes(user / L"notes.txt"), "mine");

    {
        const UniqueHandle held = OwnFileHandle(CreateFileW(
            program.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        maintenance::Patience stopped{.cancelled = [] { return true; }};
        maintenance::RemoveTools(program.parent_path(), &stopped);
    }
    ASSERT_TRUE(fs::exists(program));
    ResetChildEnvironment();  // Ninja off the PATH again
    ProvideTools(install.path(), ninja);
    EXPECT_EQ(NewLines(), NinjaDownloaded(server.Origin() + L"/downloads/ninja-win.zip"));
}

TEST_F(ToolsStep, ProgramFourLevelsDownIsNotFound) {
    Publish("ninja-build/ninja", "ninja-win.zip", StoredZip({{"a/b/c/d/ninja.exe", "deep"}}));
    auto tools = Tools();
    const std::vector<BuildTool> ninja = {tools[2]};
    const std::wstring taken =
        L"Ninja didn't contain ninja.exe after unpacking. If your antivirus "
        L"reported removing it, allow it in your antivirus, then run Setup again.";
    EXPECT_EQ(Failure(ninja), taken);
    EXPECT_TRUE(
        fs::exists(install / L"tools" / L"Ninja" / L"a" / L"b" / L"c" / L"d" / L"ninja.exe"));
    // Nor is one that an antivirus took away as tar wrote it.
    Publish("ninja-build/ninja", "ninja-win.zip", StoredZip({{"ninja.exe", "ninja"}}));
    SetEnvironmentVariableW(L"STANDIN_TAR_SKIP", L"ninja.exe");
    EXPECT_EQ(Failure(ninja), taken);
    SetEnvironmentVariableW(L"STANDIN_TAR_SKIP", nullptr);
}

// A file that stays held would make tar fail later, for reasons the user couldn't tell.
TEST_F(ToolsStep, AToolFolderThatCantBeEmptiedEndsTheJobThere) {
    PublishAll();
    const fs::path folder = install / L"tools" / L"Ninja";
    test::MarkMadeBySetup(folder);
    WriteBytes(folder / L"ninja.pdb", "");
    const UniqueHandle held =
        OwnFileHandle(CreateFileW((folder / L"ninja.pdb").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    EXPECT_EQ(Failure({Tools()[2]}),
              L"Couldn't empty " + folder.native() + L": " + (folder / L"ninja.pdb").native() +
                  L" is in use by another program, perhaps an antivirus scanning it. Wait a "
                  L"minute, then run Setup again.");
}

// Windows 10 before version 1803 has no tar.exe: said before anything is looked up or downloaded.
TEST_F(ToolsStep, WithoutWindowsTarNothingIsDownloaded) {
    PublishAll();
    static fs::path system;
    system = install.path();
    s_systemDirectory = [](LPWSTR buffer, UINT size) {
        const std::size_t length = system.native().copy(buffer, size - 1);
        buffer[length] = L'\0';
        return static_cast<UINT>(length);
    };
    EXPECT_EQ(Failure({Tools()[2]}),
              L"Couldn't unpack Ninja: Windows' tar.exe is missing. Setup "
              L"needs Windows 10 version 1803 or later.");
    EXPECT_TRUE(server.Requests().empty());
    s_systemDirectory = GetSystemDirectoryW;
}

TEST_F(ToolsStep, DamagedDownloadIsNeverUnpacked) {
    const std::string zip = StoredZip({{"ninja.exe", "ninja"}});
    const std::string listed = std::string(64, '0');
    Publish("ninja-build/ninja", "ninja-win.zip", zip, "sha256:" + listed);
    const std::vector<BuildTool> ninja = {Tools()[2]};
    EXPECT_EQ(Failure(ninja), L"Couldn't download Ninja (the file arrived damaged).");
    window.Drain();
    EXPECT_FALSE(fs::exists(install / L"tools" / L"Ninja" / L"ninja.exe"));
    const auto line = std::find_if(window.logs.begin(), window.logs.end(), [&](const auto& text) {
        return text.find(Widen(listed)) != std::wstring::npos;
    });
    ASSERT_NE(line, window.logs.end());
    EXPECT_NE(line->find(Widen(Sha256Hex(zip))), std::wstring::npos) << *line;
    EXPECT_FALSE(Logged(L"== Unpacking Ninja"));

    // The same archive with its true digest passes.
    Publish("ninja-build/ninja", "ninja-win.zip", zip, "sha256:" + Sha256Hex(zip));
    ProvideTools(install.path(), ninja);
    EXPECT_EQ(ReadBytes(install / L"tools" / L"Ninja" / L"ninja.exe"), "ninja");
}

TEST_F(ToolsStep, FailedDownloadAndUnpackAreWordedAndLeaveTheArchive) {
    server.Serve("/repos/git-for-windows/git/releases/latest",
                 {.body = ReleaseDocument(
                      "v1", {{"MinGit-2.47.1-64-bit.zip",
                              server.OriginUtf8() + "/gone/MinGit-2.47.1-64-bit.zip", ""}})});
    const std::vector<BuildTool> git = {Tools()[0]};
    EXPECT_EQ(Failure(git), L"Couldn't download Git.");
    EXPECT_TRUE(fs::exists(install / L"tools" / L"Git.zip"));

    Publish("git-for-windows/git", "MinGit-2.47.1-64-bit.zip", "PK\3\4 not really a zip");
    EXPECT_EQ(Failure(git),
              L"Couldn't unpack Git. An antivirus may have blocked it: the log above names the "
              L"file tar couldn't write. Allow it in your antivirus, then run Setup again.");
    EXPECT_EQ(ReadBytes(install / L"tools" / L"Git.zip"), "PK\3\4 not really a zip");
}

TEST_F(ToolsStep, LookupFailuresNameTheRepositoryOrThePackageIndex) {
    const auto tools = Tools();
    EXPECT_EQ(Failure({tools[3]}),
              L"Couldn't reach GitHub to find mstorsjo/llvm-mingw. Check the internet connection.");
    server.Serve("/repos/mstorsjo/llvm-mingw/releases/latest",
                 {.body = ReleaseDocument("20241217", {{"llvm-mingw-20241217-ucrt-aarch64.zip",
                                                        "https://dl.test/x.zip", ""}})});
    EXPECT_EQ(Failure({tools[3]}),
              L"No download of mstorsjo/llvm-mingw matched what Setup expects.");

    EXPECT_EQ(Failure({tools[4]}),
              L"Couldn't reach packages.test for Python. Check the internet connection.");
    server.Serve("/v3-flatcontainer/python/index.json",
                 {.body = "{\"versions\":[\"3.12.0b1\",\"3.13.1\"]}"});
    EXPECT_EQ(Failure({tools[4]}), L"No Python 3.12 package on packages.test.");
    // Read past the longest document a lookup takes (and without a length that says so): none.
    const std::string versions = "{\"versions\":[\"3.12.10\"]}";
    server.Serve("/v3-flatcontainer/python/index.json",
                 {.body = versions + std::string(kLongestDocument + 1 - versions.size(), ' '),
                  .omitContentLength = true});
    EXPECT_EQ(Failure({tools[4]}), L"No Python 3.12 package on packages.test.");

    // A proxy that wants a sign-in: the Windows user's is tried once; a password (Basic) Setup has
    // none of. (What else counts as such: see Get's tests.)
    const std::wstring reason = L": the proxy server asks for a sign-in that Setup can't give.";
    const std::string lookup = "/repos/ninja-build/ninja/releases/latest";
    server.Serve(lookup, {.status = 407, .headers = {{"Proxy-Authenticate", "NTLM"}}});
    EXPECT_EQ(Failure({tools[2]}), L"Couldn't reach GitHub" + reason);
    EXPECT_EQ(server.CountRequests(lookup), 2u);
    const HttpResponse basic{.status = 407, .headers = {{"Proxy-Authenticate", "Basic"}}};
    server.Serve("/v3-flatcontainer/python/index.json", basic);
    EXPECT_EQ(Failure({tools[4]}), L"Couldn't reach packages.test" + reason);
    Publish("ninja-build/ninja", "ninja-win.zip", "");
    server.Serve("/downloads/ninja-win.zip", basic);
    EXPECT_EQ(Failure({tools[2]}), L"Couldn't download Ninja" + reason);
}

// A package whose bytes differ from the hash that the package index lists is refused; a hash
// from anywhere but the package index itself counts as none.
TEST_F(ToolsStep, PythonsPackageIsCheckedAgainstTheSha512ThePackageIndexLists) {
    const std::string zip = StoredZip({{"tools/python.exe", "python"}});
    Publish("", "", zip);
    WriteBytes(install / L"package", zip);
    const std::string actual = Base64(*HashOfFile(install / L"package", HashAlgorithm::kSha512));
    const std::string catalog = "/v3/catalog0/data/python.3.12.10.json";
    const std::string listed = Base64(std::string(64, 'x'));
    server.Serve(catalog, {.body = "{\"packageHashAlgorithm\": \"SHA512\", \"packageHash\": \"" +
                                   listed + "\"}"});
    const auto listAt = [&](const std::string& origin) {
        server.Serve("/v3/registration5-semver1/python/3.12.10.json",
                     {.body = "{\"catalogEntry\": \"" + origin + catalog + "\"}"});
    };
    const std::vector<BuildTool> python = {Tools()[4]};
    listAt(server.OriginUtf8());
    EXPECT_EQ(Failure(python), L"Couldn't download Python (the file arrived damaged).");
    EXPECT_EQ(NewLines().back(), L"Python: the package index lists SHA-512 " + Widen(listed) +
                                     L", the download has " + Widen(actual));
    EXPECT_FALSE(fs::exists(install / L"tools" / L"Python" / L"tools" / L"python.exe"));

    HttpServer elsewhere;
    listAt(elsewhere.OriginUtf8());
    ProvideTools(install.path(), python);
    EXPECT_EQ(NewLines()[2], L"(Python: the package index lists no SHA-512; not checked)");
    EXPECT_TRUE(elsewhere.Requests().empty());
}

// The program's own origins are https: plain http reaches nothing, a tool's archive least of all.
TEST_F(ToolsStep, AnArchiveOverPlainHttpIsNeverFetched) {
    const std::string target = "/downloads/ninja-win.zip";
    // Fetched, it would break after its first bytes and keep them for the next job.
    server.ServeOnce(target, {.body = StoredZip({{"ninja.exe", "ninja"}}), .dropAfter = 10});
    server.Serve(target, {.status = 503});
    const std::wstring url = server.Origin() + Widen(target);
    s_anyLoopbackHttp = false;
    EXPECT_EQ(Failure({{L"Ninja", L"ninja.exe", [url] { return Download{.url = url}; }}}),
              L"Couldn't download Ninja.");
    EXPECT_EQ(server.CountRequests(target), 0u);
    EXPECT_FALSE(fs::exists(install / L"tools" / L"Ninja.zip.resume"));
}

// The step runs on a worker while this thread plays the window: once the stalled transfer has
// shown progress, the user cancels.
TEST_F(ToolsStep, CancelDuringADownloadEndsWithCancelled) {
    std::promise<void> resume;
    std::shared_future<void> resumed = resume.get_future().share();
    Publish("git-for-windows/git", "MinGit-2.47.1-64-bit.zip", "");
    server.Serve("/downloads/MinGit-2.47.1-64-bit.zip",
                 {.body = std::string(100000, 'z'),
                  .pieceSize = 1000,
                  .pause = [resumed](std::size_t) { resumed.wait(); }});
    const std::vector<BuildTool> git = {Tools()[0]};
    auto job = std::async(std::launch::async, [&] { return Failure(git); });
    EXPECT_TRUE(window.WaitUntil([&] { return !window.progress.empty(); }, 30000));
    s_cancel = true;
    resume.set_value();
    EXPECT_EQ(job.get(), L"Cancelled.");
}

// A user who pressed Cancel is not told to check the connection.
TEST_F(ToolsStep, CancelDuringALookupEndsWithCancelled) {
    // One held-back body per lookup: an event already set would let the next body through.
    test::Event resumes[2];
    const auto tools = Tools();
    const std::pair<std::string, BuildTool> lookups[] = {
        {"/repos/Kitware/CMake/releases/latest", tools[1]},
        {"/v3-flatcontainer/python/index.json", tools[4]}};
    for (std::size_t i = 0; i < std::size(lookups); ++i) {
        const auto& [target, tool] = lookups[i];
        test::Event& resume = resumes[i];
        s_cancel = false;
        const std::uint64_t sent = server.BodyBytesSent();
        server.Serve(target, {.body = ReleaseDocument("v3.31.2", {}),
                              .pieceSize = 100,
                              .pause = [&resume](std::size_t) { resume.Wait(30000); }});
        auto job = std::async(std::launch::async, [&] { return Failure({tool}); });
        EXPECT_TRUE(test::Eventually([&] { return server.BodyBytesSent() > sent; }, 30000));
        s_cancel = true;
        EXPECT_EQ(job.get(), L"Cancelled.") << target;
        resume.Set();
    }
    // A cancel that is already set is seen before the next tool is looked at.
    EXPECT_EQ(Failure({tools[1]}), L"Cancelled.");
}

// A download that fails for good keeps what arrived; the next job asks for the rest and logs
// what a download always logs.
TEST_F(ToolsStep, APartialArchiveOutlivesTheJobAndTheNextOneGoesOnSilently) {
    const std::string program(3 << 20, 'n');
    const std::string zip = StoredZip({{"ninja.exe", program}});
    Publish("ninja-build/ninja", "ninja-win.zip", zip, "sha256:" + Sha256Hex(zip));
    const std::string target = "/downloads/ninja-win.zip";
    const std::wstring url = server.Origin() + Widen(target);
    server.ServeOnce(target, {.body = zip, .dropAfter = 2 << 20});
    server.Serve(target, {.status = 503});
    const std::vector<BuildTool> ninja = {Tools()[2]};

    EXPECT_EQ(Failure(ninja), L"Couldn't download Ninja.");
    EXPECT_EQ(NewLines(), (std::vector<std::wstring>{
                              L"== Checking the tools", L"Ninja: downloading " + url,
                              L"Ninja: the connection dropped at 2 MB of 3 MB; resuming"}));
    const fs::path archive = install / L"tools" / L"Ninja.zip";
    const fs::path resume = install / L"tools" / L"Ninja.zip.resume";
    EXPECT_TRUE(ReadBytes(archive) == zip.substr(0, 2 << 20));
    EXPECT_EQ(ReadBytes(resume),
              "url=" + Utf8(url) + "\nlength=" + std::to_string(zip.size()) + "\nvalidator=\n");

    // The rest waits after its first piece until the window has shown where the bar stands.
    test::Event shown;
    server.Serve(target, {.body = zip, .pieceSize = 64 << 10, .pause = [&](std::size_t) {
                              shown.Wait(30000);
                          }});
    window.progress.clear();
    auto job = std::async(std::launch::async, [&] { ProvideTools(install.path(), ninja); });
    EXPECT_TRUE(window.WaitUntil([&] { return !window.progress.empty(); }, 30000));
    shown.Set();
    job.get();
    EXPECT_EQ(NewLines(), NinjaDownloaded(url));
    EXPECT_EQ(ArchiveRanges(target).back(), "bytes=" + std::to_string(2 << 20) + "-");
    ASSERT_FALSE(window.progress.empty());
    EXPECT_GE(window.progress.front(), 66);  // counts on from the bytes already there
    EXPECT_TRUE(ReadBytes(install / L"tools" / L"Ninja" / L"ninja.exe") == program);
    EXPECT_FALSE(fs::exists(archive));
    EXPECT_FALSE(fs::exists(resume));
}

// Without a digest, only a strong ETag proves that the rest fits the bytes kept.
TEST_F(ToolsStep, AKeptPartialGoesOnOnlyWhereTheRestCanBeProvedToFit) {
    const std::string zip = StoredZip({{"ninja.exe", std::string(200000, 'n')}});
    const std::string target = "/downloads/ninja-win.zip";
    const std::wstring url = server.Origin() + Widen(target);
    const std::vector<BuildTool> ninja = {Tools()[2]};
    for (const std::string etag : {"", "W/\"weak\"", "\"strong\""}) {
        SCOPED_TRACE(etag);
        Publish("ninja-build/ninja", "ninja-win.zip", zip);
        server.Serve(target, {.body = zip, .headers = {{"ETag", etag}}});
        KeepPartial(zip.substr(0, 1000), Utf8(url), zip.size(), etag);
        ProvideTools(install.path(), ninja);
        EXPECT_EQ(NewLines(), NinjaDownloaded(url));
        EXPECT_EQ(ArchiveRanges(target).back(), etag == "\"strong\"" ? "bytes=1000-" : "");
    }
    // Nor are bytes of another URL than the lookup gives now.
    Publish("ninja-build/ninja", "ninja-win.zip", zip, "sha256:" + Sha256Hex(zip));
    KeepPartial(zip.substr(0, 1000), server.OriginUtf8() + "/downloads/old.zip", zip.size(),
                "\"strong\"");
    ProvideTools(install.path(), ninja);
    EXPECT_EQ(ArchiveRanges(target).back(), "");
}

TEST_F(ToolsStep, AResumedArchiveThatFailsItsDigestIsFetchedOnceMoreWhole) {
    const std::string zip = StoredZip({{"ninja.exe", std::string(200000, 'n')}});
    const std::string target = "/downloads/ninja-win.zip";
    const std::wstring url = server.Origin() + Widen(target);
    const std::vector<BuildTool> ninja = {Tools()[2]};
    // Bytes that don't belong to the archive, as a server that changed it unannounced leaves.
    const std::string foreign(1000, 'x');

    Publish("ninja-build/ninja", "ninja-win.zip", zip, "sha256:" + Sha256Hex(zip));
    KeepPartial(foreign, Utf8(url), zip.size(), "");
    ProvideTools(install.path(), ninja);
    EXPECT_EQ(NewLines(), NinjaDownloaded(url));
    EXPECT_EQ(ArchiveRanges(target), (std::vector<std::string>{"bytes=1000-", ""}));
    EXPECT_TRUE(ReadBytes(install / L"tools" / L"Ninja" / L"ninja.exe") ==
                std::string(200000, 'n'));

    // Once more only: a whole download that fails its digest too ends the job.
    const std::string listed(64, '0');
    Publish("ninja-build/ninja", "ninja-win.zip", zip, "sha256:" + listed);
    KeepPartial(foreign, Utf8(url), zip.size(), "");
    EXPECT_EQ(Failure(ninja), L"Couldn't download Ninja (the file arrived damaged).");
    EXPECT_EQ(ArchiveRanges(target),
              (std::vector<std::string>{"bytes=1000-", "", "bytes=1000-", ""}));
    const std::vector<std::wstring> lines = NewLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2], L"Ninja: the release lists SHA-256 " + Widen(listed) +
                            L", the download has " + Widen(Sha256Hex(zip)));
}

// The bar counts an unpack's files against the zip's entry count (its end record's, or the ZIP64
// one's), busy without one. tar's line per file moves it and stays out of the log (see
// NinjaDownloaded), but for one where tar says why it couldn't write a file.
TEST_F(ToolsStep, AnUnpackCountsItsFilesOnTheBar) {
    using namespace std::string_literals;
    const fs::path archive = install / L"a.zip", folder = install / L"a", gate = install / L"gate";
    const auto count = [&](const std::string& bytes) {
        WriteBytes(archive, bytes);
        return ZipEntryCount(archive);
    };
    // A ZIP64 record at 0, its locator, and the classic record with a count of 0xFFFF.
    EXPECT_EQ(count("PK\6\6"s + std::string(28, '\0') + "\3\0\0\0\1\0\0\0"s +
                    std::string(16, '\0') + "PK\6\7"s + std::string(12, '\0') + "\1\0\0\0"s +
                    "PK\5\6"s + std::string(4, '\0') + "\xff\xff\xff\xff"s + std::string(10, '\0')),
              0x100000003u);
    // The signature's bytes in a file are no record of their own.
    const std::string zip =
        StoredZip({{"b/", ""}, {"b/a.exe", "PK\5\6"}, {"b/c.dll", ""}, {"d", ""}});
    EXPECT_EQ(count(zip.substr(0, zip.size() - 1)), std::nullopt);
    fs::create_directories(folder);
    EXPECT_EQ(Untar(test::SystemTarPath(), archive, folder), 0);
    window.Drain();
    EXPECT_EQ(count(zip), 4u);
    // Each file waits until the window has taken what the one before it showed.
    SetEnvironmentVariableW(L"STANDIN_TAR_GATE", gate.c_str());
    std::size_t taken = 0;
    const auto open = [&] {
        if (window.progress.size() > std::exchange(taken, window.progress.size()))
            WriteBytes(gate, "");
    };
    ASSERT_TRUE(window.RunWhileTaking(
        [&] { EXPECT_EQ(Untar(test::SystemTarPath(), archive, folder), 0); }, open));
    SetEnvironmentVariableW(L"STANDIN_TAR_GATE", nullptr);
    EXPECT_EQ(window.progress, (std::vector<int>{-1, 0, 25, 50, 75, 100}));

    RunTaking(test::ChildCommand(LR"("err:x a.exe\nx b.exe: Can't create 'b.exe'\n")"), {},
              CountUnpacked{2});
    EXPECT_EQ(NewLines().back(), L"x b.exe: Can't create 'b.exe'");
}

TEST(FindUnder, FilesOnlyExactNameAtMostThreeLevelsDown) {
    TempFolder folder;
    fs::create_directories(folder / L"a" / L"git.exe");  // a folder is never the program
    fs::create_directories(folder / L"b" / L"c" / L"d" / L"e");
    WriteBytes(folder / L"b" / L"GIT.EXE", "");
    WriteBytes(folder / L"b" / L"c" / L"d" / L"e" / L"git.exe", "");
    EXPECT_EQ(FindUnder(folder.path(), L"git.exe"), fs::path());
    WriteBytes(folder / L"b" / L"c" / L"d" / L"git.exe", "");
    EXPECT_EQ(FindUnder(folder.path(), L"git.exe"), folder / L"b" / L"c" / L"d" / L"git.exe");
    EXPECT_EQ(FindUnder(folder / L"missing", L"git.exe"), fs::path());
}

}  // namespace
}  // namespace murk::setup
