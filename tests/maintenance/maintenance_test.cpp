#include "maintenance/maintenance.h"
#include "maintenance/tree.h"

#include "setup/job/handles.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace murk::maintenance {
namespace {

namespace fs = std::filesystem;
using test::MarkMadeBySetup;
using test::ReadBytes;
using test::TempFolder;
using test::WriteBytes;

void WriteFile(const fs::path& file, std::size_t size) {
    fs::create_directories(file.parent_path());
    WriteBytes(file, std::string(size, 'x'));
}

std::vector<fs::path> Sorted(std::vector<fs::path> paths) {
    std::sort(paths.begin(), paths.end());
    return paths;
}

TEST(Maintenance, LeftoversOfAnUnbuiltRepositoryAreEmpty) {
    TempFolder install;
    const fs::path repository = install / L"murk-recomp";
    WriteFile(repository / L"tools" / L"build.py", 10);
    fs::create_directories(repository / L"generated");  // no "ppc" in it

    const Part part = Leftovers(repository);
    EXPECT_EQ(part.label, L"Build leftovers (object files, libraries, generated C++)");
    EXPECT_TRUE(part.paths.empty());
    EXPECT_EQ(part.bytes, 0u);
}

TEST(Maintenance, LeftoversMatchExtensionsOfRegularFilesOnly) {
    TempFolder install;
    const fs::path repository = install / L"murk-recomp";
    const fs::path build = repository / L"build";
    WriteFile(build / L"Main.OBJ", 100);
    WriteFile(build / L"lib" / L"x.Lib", 20);
    WriteFile(build / L"deep" / L"a" / L"b.o", 3);
    WriteFile(build / L"pch" / L"all.pch", 4000);
    WriteFile(build / L"game.map", 5);
    WriteFile(build / L"h.gch", 6);
    WriteFile(build / L"libcore.a", 7);
    // What a build keeps, or names that only look like leftovers.
    WriteFile(build / L"notes.objx", 1000);
    WriteFile(build / L"a.obj.txt", 1000);
    WriteFile(build / L".obj", 1000);
    WriteFile(build / L"runtime" / L"MurkLauncher.exe", 1000);
    WriteFile(build / L"foo.obj" / L"inside.o", 8);
    WriteFile(build / L"foo.obj" / L"inside.txt", 1000);
    WriteFile(repository / L"game" / L"extracted" / L"default.xex", 1000);
    WriteFile(repository / L"src" / L"stray.obj", 1000);

    const Part part = Leftovers(repository);
    EXPECT_EQ(
        Sorted(part.paths),
        Sorted({build / L"Main.OBJ", build / L"lib" / L"x.Lib", build / L"deep" / L"a" / L"b.o",
                build / L"pch" / L"all.pch", build / L"game.map", build / L"h.gch",
                build / L"libcore.a", build / L"foo.obj" / L"inside.o"}));
    EXPECT_EQ(part.bytes, 100u + 20 + 3 + 4000 + 5 + 6 + 7 + 8);
}

TEST(Maintenance, LeftoversEndWithTheGeneratedFolderAsOneEntry) {
    TempFolder install;
    const fs::path repository = install / L"murk-recomp";
    WriteFile(repository / L"build" / L"a.obj", 10);
    WriteFile(repository / L"generated" / L"ppc" / L"f1.cpp", 300);
    WriteFile(repository / L"generated" / L"ppc" / L"sub" / L"f2.h", 40);
    WriteFile(repository / L"generated" / L"other.cpp", 5000);

    const Part part = Leftovers(repository);
    ASSERT_EQ(part.paths.size(), 2u);
    EXPECT_EQ(part.paths[0], repository / L"build" / L"a.obj");
    EXPECT_EQ(part.paths[1], repository / L"generated" / L"ppc");
    EXPECT_EQ(part.bytes, 10u + 300 + 40);
}

TEST(Maintenance, ToolsOnlyWhenClangCMakeOrPythonIsAFolderSetupMade) {
    TempFolder install;
    const fs::path repository = install / L"murk-recomp";
    const fs::path tools = install / L"tools";
    WriteFile(tools / L"Git" / L"git.exe", 100);
    WriteFile(tools / L"Ninja" / L"ninja.exe", 10);
    MarkMadeBySetup(tools / L"Git");
    MarkMadeBySetup(tools / L"Ninja");
    WriteFile(tools / L"Python", 1);  // a file of that name is not a downloaded tool

    Part part = Tools(repository);
    EXPECT_EQ(part.label, L"Build tools Setup downloaded (Git, CMake, Ninja, Clang, Python)");
    EXPECT_TRUE(part.paths.empty());
    EXPECT_EQ(part.bytes, 0u);

    // The user's own Python and CMake folders don't count either.
    fs::remove(tools / L"Python");
    WriteFile(tools / L"Python" / L"python.exe", 1000);
    WriteFile(tools / L"CMake" / L"bin" / L"cmake.exe", 2000);
    EXPECT_TRUE(Tools(repository).paths.empty());

    MarkMadeBySetup(tools / L"Python");
    MarkMadeBySetup(tools / L"CMake");
    WriteFile(tools / L"Python.zip.resume", 3);
    part = Tools(repository);
    ASSERT_EQ(part.paths.size(), 1u);
    EXPECT_EQ(part.paths[0], tools);
    EXPECT_EQ(part.bytes, 100u + 10 + 1000 + 2000 + 3);
}

TEST(Maintenance, ToolsSharedWithTheUsersOwnFilesListOnlyWhatSetupMade) {
    TempFolder install;
    const fs::path tools = install / L"tools";
    WriteFile(tools / L"Python" / L"python.exe", 1000);
    MarkMadeBySetup(tools / L"Python");
    WriteFile(tools / L"Git.zip", 20);
    WriteFile(tools / L"Python.zip", 30);
    WriteFile(tools / L"Python.zip.resume", 4);
    WriteFile(tools / L"sysinternals" / L"procmon.exe", 5000);
    WriteFile(tools / L"notes.txt", 7);
    // The user's own Clang, with its program: it stays, and its size isn't Setup's to free.
    WriteFile(tools / L"Clang" / L"bin" / L"clang++.exe", 9000);
    // A folder named like an archive isn't one.
    fs::create_directories(tools / L"Ninja.zip");
    // Git.zip is the archive of a download that failed: the log says so.
    WriteBytes(install / L"setup.log", "Git: downloading https://x/MinGit.zip\r\n");

    const Part part = Tools(install / L"murk-recomp");
    EXPECT_EQ(part.paths,
              (std::vector<fs::path>{tools / L"Git.zip", tools / L"Python", tools / L"Python.zip",
                                     tools / L"Python.zip.resume"}));
    EXPECT_EQ(part.bytes, 1054u);
}

// Installs from before the marker: their setup.log names the tools Setup downloaded, each at
// the start of a line, from an https or (a loopback test origin) an http address. The log is read
// a piece of 1 MiB at a time: a line goes on across pieces, and a piece needn't begin a line.
TEST(Maintenance, DownloadsInLogAreTheToolsNamedAtTheStartOfALine) {
    TempFolder install;
    std::string log =
        "CMake: downloading http://127.0.0.1:80/cmake.zip\r\n"
        "  Ninja: downloading https://x\r\nGit: downloading ftp://x\r\n";
    const auto endPieceWith = [&log](std::size_t pieces, const std::string& text) {
        log += std::string((pieces << 20) - log.size() - text.size() - 2, 'x') + "\r\n" + text;
    };
    endPieceWith(1, "Python: down");
    log += "loading https://api.nuget.org/python.nupkg\r\n";
    endPieceWith(2, "Clang: downloading https://github.com/");
    log += "Git: downloading https://x/llvm-mingw.zip";
    WriteBytes(install / L"setup.log", log);
    EXPECT_EQ(DownloadsInLog(install / L"setup.log"),
              (std::vector<std::wstring>{L"CMake", L"Python", L"Clang"}));
    EXPECT_TRUE(DownloadsInLog(install / L"missing.log").empty());
}

// A folder that is itself a link (moved to another drive by the user) is never sized, listed
// or emptied; links further down are the cases of the steps that delete.
TEST(Maintenance, AFolderThatIsALinkIsNeitherListedNorSized) {
    TempFolder install;
    TempFolder elsewhere;
    WriteFile(elsewhere / L"main.obj", 100);
    MarkMadeBySetup(elsewhere / L"Clang");
    const fs::path repository = install / L"murk-recomp";
    fs::create_directories(repository / L"generated");
    ASSERT_TRUE(test::MakeFolderLink(repository / L"build", elsewhere.path()));
    ASSERT_TRUE(test::MakeFolderLink(repository / L"generated" / L"ppc", elsewhere.path()));
    ASSERT_TRUE(test::MakeFolderLink(install / L"tools", elsewhere.path()));

    EXPECT_TRUE(Leftovers(repository).paths.empty());
    EXPECT_TRUE(Tools(repository).paths.empty());
    EXPECT_EQ(SizeOf(repository / L"build"), 0u);
    // Deleting it deletes the link at most (Wine can't), never what it points at.
    RemoveAll(repository / L"build");
    EXPECT_EQ(ReadBytes(elsewhere / L"main.obj"), std::string(100, 'x'));

    // Nor a folder that another program swaps for a link after its parent was listed: each entry
    // is looked at on the handle it is deleted through.
    WriteFile(install / L"Python" / L"Lib" / L"os.py", 10);
    s_beforeOpening = [&](const Entry& entry) {
        if (entry.path.filename() != L"Lib") return;
        fs::rename(entry.path, install / L"Lib");
        EXPECT_TRUE(test::MakeFolderLink(entry.path, elsewhere.path()));
    };
    RemoveAll(install / L"Python");
    s_beforeOpening = nullptr;
    EXPECT_TRUE(fs::exists(install / L"Lib" / L"os.py"));  // swapped for the link
    EXPECT_EQ(ReadBytes(elsewhere / L"main.obj"), std::string(100, 'x'));
}

// The remover clears the read-only attribute of Setup's files (git writes its objects so), and a
// cancel ends its wait for a held file at once (it would wait 10 s): the file is named.
TEST(Maintenance, RemoveAllClearsReadOnlyAndACancelEndsItsWait) {
    TempFolder install;
    const fs::path folder = install / L"Git";
    WriteFile(folder / L"objects" / L"pack", 10);
    SetFileAttributesW((folder / L"objects" / L"pack").c_str(), FILE_ATTRIBUTE_READONLY);
    WriteFile(folder / L"git.exe", 10);
    const setup::UniqueHandle held =
        setup::OwnFileHandle(CreateFileW((folder / L"git.exe").c_str(), GENERIC_READ,
                                         FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    Patience cancelled{.cancelled = [] { return true; }, .clearReadOnly = true};
    const ULONGLONG start = GetTickCount64();
    const RemoveFailure failure = RemoveAll(folder, &cancelled);
    EXPECT_LT(GetTickCount64() - start, 5000u);
    EXPECT_EQ(failure.path, folder / L"git.exe");
    EXPECT_EQ(failure.error, static_cast<unsigned long>(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(fs::exists(folder / L"objects"));
}

TEST(Maintenance, ToolsOfAnInstallWithoutToolsFolderAreEmpty) {
    TempFolder install;
    const Part part = Tools(install / L"murk-recomp");
    EXPECT_TRUE(part.paths.empty());
    EXPECT_EQ(part.bytes, 0u);
}

TEST(Maintenance, SizeOfFileFolderAndMissingPath) {
    TempFolder folder;
    WriteFile(folder / L"one.bin", 1234);
    WriteFile(folder / L"sub" / L"two.bin", 66);
    fs::create_directories(folder / L"empty");

    EXPECT_EQ(SizeOf(folder / L"one.bin"), 1234u);
    EXPECT_EQ(SizeOf(folder.path()), 1300u);
    EXPECT_EQ(SizeOf(folder / L"empty"), 0u);
    EXPECT_EQ(SizeOf(folder / L"missing"), 0u);
    EXPECT_EQ(SizeOf(folder / L"missing" / L"deeper"), 0u);
}

TEST(Maintenance, LowerComparesTheLowerCasedExtension) {
    EXPECT_TRUE(Lower(L"C:\\b\\Main.OBJ", L".obj"));
    EXPECT_TRUE(Lower(L"x.Obj", L".obj"));
    EXPECT_TRUE(Lower(L"archive.tar.A", L".a"));
    EXPECT_FALSE(Lower(L".obj", L".obj"));
    EXPECT_FALSE(Lower(L"a.obj.txt", L".obj"));
    EXPECT_FALSE(Lower(L"notes.objx", L".obj"));
    EXPECT_FALSE(Lower(L"obj", L".obj"));
    EXPECT_FALSE(Lower(L"a.o", L".obj"));
    EXPECT_FALSE(Lower(L"folder.obj\\readme", L".obj"));
}

TEST(Maintenance, SizeTextAtItsBoundaries) {
    EXPECT_EQ(SizeText(0), L"0 MB");
    EXPECT_EQ(SizeText(524287), L"0 MB");
    EXPECT_EQ(SizeText(3u << 20), L"3 MB");
    EXPECT_EQ(SizeText(1073741823), L"1024 MB");
    EXPECT_EQ(SizeText(1073741824), L"1.0 GB");
    EXPECT_EQ(SizeText(3ull << 29), L"1.5 GB");
    EXPECT_EQ(SizeText(~0ull), L"17179869184.0 GB");
}

}  // namespace
}  // namespace murk::maintenance
