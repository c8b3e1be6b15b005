#include "setup/tools/tools_step.h"

#include "setup/config.h"
#include "setup/install/install.h"
#include "setup/job/channel.h"
#include "setup/job/environment.h"
#include "setup/job/in_use.h"
#include "setup/job/process.h"
#include "setup/job/system.h"
#include "setup/tools/digest.h"
#include "setup/tools/http.h"
#include "setup/tools/unpack.h"

#include "maintenance/maintenance.h"
#include "maintenance/tree.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <system_error>

namespace murk::setup {

namespace {

namespace fs = std::filesystem;

constexpr int kDeepestLevel = 3;
constexpr std::uint64_t kMegabyte = 1ull << 20;
// More than a small file takes on any drive (a cluster, a page of memory).
constexpr std::uintmax_t kRecordRoom = 64 * 1024;

constexpr char kGitRepository[] = "git-for-windows/git";
constexpr char kGitPattern[] = "MinGit-[0-9.]+-64-bit\\.zip";
constexpr char kCMakeRepository[] = "Kitware/CMake";
constexpr char kCMakePattern[] = "cmake-[0-9.]+-windows-x86_64\\.zip";
constexpr char kNinjaRepository[] = "ninja-build/ninja";
constexpr char kNinjaPattern[] = "ninja-win\\.zip";
constexpr char kClangPattern[] = "llvm-mingw-[0-9]+-ucrt-x86_64\\.zip";

struct PathHit {
    fs::path program;
    // A Store alias of the same name comes earlier in PATH: a program that starts tools by bare
    // name the platform's way (the build script's children) would run the alias instead.
    bool shadowed = false;
};

// The tool's program in the first PATH folder that has it. Store app aliases ("WindowsApps")
// only open the Store, so they don't count.
PathHit FindOnPath(const wchar_t* exe) {
    PathHit hit;
    for (const fs::path& folder : PathFolders()) {
        const fs::path candidate = folder / exe;
        std::error_code error;
        const bool exists = fs::exists(candidate, error);
        if (HoldsStoreAliases(folder)) {
            hit.shadowed = hit.shadowed || exists;
        } else if (exists) {
            hit.program = candidate;
            return hit;
        }
    }
    return {};
}

// A tool folder without its program is emptied for a new download only when Setup made it, or
// when there is nothing in it to lose: with the install folder at a drive root, "tools\Python"
// may well be the user's own.
bool SetupMayEmpty(const fs::path& toolFolder, const wchar_t* name,
                   maintenance::Ownership& ownership) {
    unsigned long error = 0;
    const std::optional<maintenance::Entry> entry = maintenance::EntryOf(toolFolder, &error);
    if (!entry) return maintenance::NothingThere(error);
    if (!entry->folder) return false;
    return maintenance::OwnsTool(ownership, name) || maintenance::IsEmptyFolder(toolFolder);
}

// For the job's children only: Setup's own PATH, and so the launcher's, stays the user's.
void PutInFrontOfPath(const fs::path& folder) {
    SetChildVariable(L"PATH", folder.native() + L";" + PathVariable());
}

fs::path SystemFolder() {
    wchar_t folder[MAX_PATH] = {};
    s_systemDirectory(folder, MAX_PATH);
    return folder;
}

// A folder Setup would empty, or unpack through, that the user may have made: the player can only
// go elsewhere.
[[noreturn]] void FailNotSetups(const fs::path& toolFolder) {
    Fail(toolFolder.native() +
         L" already exists and isn't from Setup. Choose another install folder.");
}

// The hash a download is checked by, in the text its publisher writes it in.
struct Listed {
    HashAlgorithm algorithm;
    std::wstring words;  // who lists which hash, for the log
    std::string text;
};

std::optional<Listed> ListedHash(const Download& download) {
    if (!download.sha512.empty())
        return Listed{HashAlgorithm::kSha512, L"the package index lists SHA-512 ", download.sha512};
    if (!download.sha256.empty())
        return Listed{HashAlgorithm::kSha256, L"the release lists SHA-256 ", download.sha256};
    return std::nullopt;
}

std::optional<std::string> HashText(const fs::path& archive, HashAlgorithm algorithm) {
    if (algorithm == HashAlgorithm::kSha256) return Sha256OfFile(archive);
    const std::optional<std::string> bytes = HashOfFile(archive, algorithm);
    if (!bytes) return std::nullopt;
    return Base64(*bytes);
}

// A listed hash that doesn't match means the archive isn't what its publisher released:
// it must not be unpacked, let alone run. The package index's is logged either way.
void CheckDigest(const BuildTool& tool, const Download& download, const Listed& listed,
                 const std::optional<std::string>& actual) {
    const std::wstring lists = std::wstring(tool.name) + L": " + listed.words + Widen(listed.text);
    if (actual && *actual == listed.text) {
        if (download.indexed) Log(lists);
        return;
    }
    Log(lists + L", the download has " +
        (actual ? Widen(*actual) : std::wstring(L"none (unreadable)")));
    Fail(L"Couldn't download " + std::wstring(tool.name) + L" (the file arrived damaged).");
}

// Beside a partial archive, what a later job needs to ask for the rest of it.
fs::path ResumeFileOf(const fs::path& archive) {
    return fs::path(archive).replace_extension(maintenance::kResumeSuffix);
}

struct KeptPartial {
    std::wstring url;
    std::uint64_t length = 0;
    std::wstring validator;
};

std::optional<KeptPartial> ReadKept(const fs::path& resumeFile) {
    std::ifstream in(resumeFile, std::ios::binary);
    if (!in) return std::nullopt;
    KeptPartial kept;
    bool hasUrl = false;
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("url=")) {
            kept.url = Widen(line.substr(4));
            hasUrl = true;
        } else if (line.starts_with("length=")) {
            kept.length = std::strtoull(line.c_str() + 7, nullptr, 10);
        } else if (line.starts_with("validator=")) {
            kept.validator = Widen(line.substr(10));
        }
    }
    if (!hasUrl) return std::nullopt;
    return kept;
}

void KeepPartial(const fs::path& archive, const std::wstring& url, const Resumable& state) {
    std::error_code error;
    const std::uintmax_t size = fs::file_size(archive, error);
    if (error || size == 0) return;
    const fs::path record = ResumeFileOf(archive);
    std::ofstream out(record, std::ios::binary | std::ios::trunc);
    out << "url=" << Utf8(url) << "\nlength=" << state.length
        << "\nvalidator=" << Utf8(state.validator) << "\n";
    out.close();
    // Half a record would ask for the wrong rest.
    if (!out) fs::remove(record, error);
}

// A drive that filled up has no room for the record of what arrived: the last bytes make room,
// and the next job asks for them again.
void MakeRoomForTheRecord(const fs::path& archive) {
    std::error_code error;
    const std::uintmax_t size = fs::file_size(archive, error);
    if (!error) fs::resize_file(archive, size - std::min<std::uintmax_t>(size, kRecordRoom), error);
}

// Bytes that an earlier job kept of this very download go on only where the rest can be proved
// to fit them: the server still has the same file (a strong ETag), or the listed hash will tell.
Resumable KeptState(const fs::path& archive, const Download& download) {
    Resumable state;
    const std::optional<KeptPartial> kept = ReadKept(ResumeFileOf(archive));
    if (!kept || kept->url != download.url) return state;
    if (!StrongEtag(kept->validator) && !ListedHash(download)) return state;
    state.keep = true;
    state.length = kept->length;
    state.validator = kept->validator;
    return state;
}

void LogResumption(const wchar_t* name, std::uint64_t at, std::uint64_t length) {
    const double megabytes = static_cast<double>(at) / static_cast<double>(kMegabyte);
    wchar_t text[256];
    if (length)
        std::swprintf(text, std::size(text),
                      L"%ls: the connection dropped at %.0f MB of %llu MB; resuming", name,
                      megabytes, static_cast<unsigned long long>(length / kMegabyte));
    else
        std::swprintf(text, std::size(text), L"%ls: the connection dropped at %.0f MB; resuming",
                      name, megabytes);
    Log(text);
}

// Downloads the archive; a download that fails for good keeps what arrived, and what is needed
// to go on with it, for the next job.
void GetArchive(const BuildTool& tool, const Download& download, const fs::path& archive,
                Resumable& state) {
    // Only a failure writes it again: after a crash nothing claims to know the bytes left.
    std::error_code error;
    fs::remove(ResumeFileOf(archive), error);
    GetFailure failure;
    if (Get(download.url, nullptr, &archive, tool.name, &state, &failure)) return;
    if (failure.cause == GetFailure::kDriveFull) MakeRoomForTheRecord(archive);
    // Bytes in the file then aren't of this URL.
    if (failure.cause != GetFailure::kRefused) KeepPartial(archive, download.url, state);
    CheckCancel();
    // A full drive, a proxy's sign-in, a wrong clock: not for the user to look for in the
    // connection.
    if (const std::wstring reason = ReasonFor(failure.cause); !reason.empty())
        Fail(L"Couldn't download " + std::wstring(tool.name) + L": " + reason);
    Fail(L"Couldn't download " + std::wstring(tool.name) + L".");
}

// The archive, going on from what an earlier job kept where that is safe, checked against the
// hash that its publisher lists.
void FetchArchive(const BuildTool& tool, const Download& download, const fs::path& archive) {
    Resumable state = KeptState(archive, download);
    state.onResume = [&tool](std::uint64_t at, std::uint64_t length) {
        LogResumption(tool.name, at, length);
    };
    GetArchive(tool, download, archive, state);
    const std::optional<Listed> listed = ListedHash(download);
    if (!listed) {
        // An index that couldn't be read said nothing of what it lists.
        if (download.indexed)
            Log(L"(" + std::wstring(tool.name) +
                (download.hashUnread ? L": couldn't read the package index's SHA-512; not checked)"
                                     : L": the package index lists no SHA-512; not checked)"));
        return;
    }
    std::optional<std::string> actual = HashText(archive, listed->algorithm);
    if (actual != listed->text && state.stitched) {
        // Pieces of different responses needn't fit together: once more, from zero.
        std::error_code error;
        fs::remove(archive, error);
        Resumable whole{.onResume = state.onResume};
        GetArchive(tool, download, archive, whole);
        actual = HashText(archive, listed->algorithm);
    }
    CheckDigest(tool, download, *listed, actual);
}

// What a scanner holds for a moment is waited out; what stays would make tar fail later, for
// reasons the user couldn't tell. Emptying cut off halfway leaves a folder the next job redoes.
void EmptyToolFolder(const fs::path& toolFolder) {
    maintenance::Patience patience = JobPatience(true);
    const maintenance::RemoveFailure failure = maintenance::RemoveTools(toolFolder, &patience);
    CheckCancel();
    const std::wstring cannot = L"Couldn't empty " + toolFolder.native() + L": ";
    if (AccessDenied(failure))
        Fail(cannot + L"Windows denied access to " + failure.path.native() +
             L". Close programs that use it, then run Setup again.");
    if (!InUse(failure)) return;
    const std::wstring holder = HolderOf(failure.path);
    if (holder.empty())
        Fail(cannot + failure.path.native() +
             L" is in use by another program, perhaps an antivirus scanning it. Wait a minute, "
             L"then run Setup again.");
    Fail(cannot + failure.path.native() + L" is in use by " + holder +
         L". Close it, then run Setup again.");
}

// tar said it unpacked everything: what isn't there was taken away as it came out, most often
// by an antivirus that mistook a compiler for a threat.
[[noreturn]] void FailTakenAtUnpacking(const BuildTool& tool) {
    Fail(std::wstring(tool.name) + L" didn't contain " + tool.exe +
         L" after unpacking. If your antivirus reported removing it, allow it in your "
         L"antivirus, then run Setup again.");
}

fs::path DownloadTool(const BuildTool& tool, const fs::path& toolsFolder,
                      const fs::path& toolFolder) {
    const std::wstring name = tool.name;
    // Windows' own tar came with Windows 10 version 1803. Without it nothing can be unpacked,
    // which is better said before a download than after it.
    const fs::path tar = SystemFolder() / L"tar.exe";
    if (unsigned long error = 0;
        !maintenance::EntryOf(tar, &error) && maintenance::NothingThere(error))
        Fail(L"Couldn't unpack " + name +
             L": Windows' tar.exe is missing. Setup needs Windows 10 version 1803 or later.");
    const Download download = tool.fetch();
    Log(name + L": downloading " + download.url);

    // A link among what is there goes, not what it points at. Nor is anything unpacked
    // through a tool folder that is itself a link and stays one.
    EmptyToolFolder(toolFolder);
    if (const auto entry = maintenance::EntryOf(toolFolder); entry && entry->link)
        FailNotSetups(toolFolder);
    std::error_code error;
    fs::create_directories(toolFolder, error);
    // Before anything goes in: a folder whose download or unpack is cut off is still Setup's.
    maintenance::PutMarker(toolFolder / maintenance::kSetupMarker);
    const fs::path archive = toolsFolder / (name + maintenance::kArchiveSuffix);
    FetchArchive(tool, download, archive);

    Status(L"Unpacking " + name);
    const fs::path unpacking = toolFolder / maintenance::kUnpackingMarker;
    maintenance::PutMarker(unpacking);
    if (Untar(tar, archive, toolFolder) != 0) {
        // A tar that stopped while less room is left than the archive takes ran out of it.
        const std::uintmax_t archiveSize = fs::file_size(archive, error);
        const std::optional<std::uint64_t> free = DriveFreeBytes(toolsFolder);
        if (!error && free && *free < archiveSize)
            Fail(L"Couldn't unpack " + name + L": " + ReasonFor(GetFailure::kDriveFull));
        Fail(L"Couldn't unpack " + name +
             L". An antivirus may have blocked it: the log above names the file tar couldn't "
             L"write. Allow it in your antivirus, then run Setup again.");
    }
    fs::remove(archive, error);

    fs::path program = FindUnder(toolFolder, tool.exe);
    if (program.empty()) FailTakenAtUnpacking(tool);
    fs::remove(unpacking, error);
    return program;
}

// The SHA-512 the package index lists for a version of its Python package, in base64: empty when
// it lists none (a hash from elsewhere counts as none), nothing when the index couldn't be read.
std::optional<std::string> PackageSha512(const std::wstring& origin, const std::wstring& version) {
    std::string registration;
    if (!Get(origin + L"/v3/registration5-semver1/python/" + version + L".json", &registration,
             nullptr, nullptr)) {
        CheckCancel();
        return std::nullopt;
    }
    const std::optional<std::string> entry = FindCatalogEntry(registration);
    if (!entry) return std::string();
    // Only the index itself vouches for its packages.
    const std::wstring catalogUrl = Widen(*entry);
    if (!SameOrigin(catalogUrl, origin)) return std::string();
    std::string catalog;
    if (!Get(catalogUrl, &catalog, nullptr, nullptr)) {
        CheckCancel();
        return std::nullopt;
    }
    return FindPackageSha512(catalog).value_or("");
}

}  // namespace

fs::path FindUnder(const fs::path& folder, const wchar_t* name) {
    fs::path found;
    maintenance::Walk(folder, [&](const maintenance::Entry& entry) {
        if (entry.folder)
            return entry.depth >= kDeepestLevel ? maintenance::WalkOn::kDontEnter
                                                : maintenance::WalkOn::kGoOn;
        if (entry.path.filename().native() != name) return maintenance::WalkOn::kGoOn;
        found = entry.path;
        return maintenance::WalkOn::kStop;
    });
    return found;
}

fs::path ToolOnPath(const wchar_t* exe) {
    return FindOnPath(exe).program;
}

Download FetchPythonAt(std::wstring_view indexOrigin, std::wstring_view indexDomain) {
    const std::wstring origin(indexOrigin);
    const std::wstring domain(indexDomain);
    const std::wstring noPackage = L"No Python 3.12 package on " + domain + L".";
    std::string body;
    GetFailure failure;
    if (!Get(origin + L"/v3-flatcontainer/python/index.json", &body, nullptr, nullptr, nullptr,
             &failure)) {
        CheckCancel();
        if (failure.cause == GetFailure::kTooLong) Fail(noPackage);
        if (const std::wstring reason = ReasonFor(failure.cause); !reason.empty())
            Fail(L"Couldn't reach " + domain + L": " + reason);
        Fail(L"Couldn't reach " + domain + L" for Python. Check the internet connection.");
    }
    const std::optional<std::string> version = FindNewestPython312(body);
    if (!version) Fail(noPackage);
    const std::wstring text = Widen(*version);
    const std::optional<std::string> sha512 = PackageSha512(origin, text);
    return {.url = origin + L"/v3-flatcontainer/python/" + text + L"/python." + text + L".nupkg",
            .sha512 = sha512.value_or(""),
            .indexed = true,
            .hashUnread = !sha512};
}

std::vector<BuildTool> ToolTable(std::wstring apiOrigin, std::wstring indexOrigin,
                                 std::wstring indexDomain) {
    auto fromRelease = [apiOrigin](std::string repository, const char* pattern) {
        return [apiOrigin, repository, pattern] {
            return LatestAssetAt(apiOrigin, repository.c_str(), pattern);
        };
    };
    return {
        {L"Git", L"git.exe", fromRelease(kGitRepository, kGitPattern)},
        {L"CMake", L"cmake.exe", fromRelease(kCMakeRepository, kCMakePattern)},
        {L"Ninja", L"ninja.exe", fromRelease(kNinjaRepository, kNinjaPattern)},
        {L"Clang", L"clang++.exe", fromRelease(std::string(kClangRepository), kClangPattern)},
        {L"Python", L"python.exe",
         [indexOrigin, indexDomain] { return FetchPythonAt(indexOrigin, indexDomain); }},
    };
}

std::vector<fs::path> ProvideTools(const fs::path& installFolder,
                                   const std::vector<BuildTool>& tools) {
    Status(L"Checking the tools");
    const fs::path toolsFolder = installFolder / L"tools";
    std::error_code error;
    fs::create_directories(toolsFolder, error);
    maintenance::Ownership ownership{.installFolder = installFolder};
    std::vector<fs::path> taken;

    for (const BuildTool& tool : tools) {
        if (s_cancel.load()) Fail(L"Cancelled.");
        const std::wstring name = tool.name;
        if (const PathHit onPath = FindOnPath(tool.exe); !onPath.program.empty()) {
            Log(name + L": using " + onPath.program.native());
            // The build script starts tools by bare name the platform's way: make sure that name
            // means this one for it too.
            if (onPath.shadowed) PutInFrontOfPath(onPath.program.parent_path());
            continue;
        }
        const fs::path toolFolder = toolsFolder / name;
        fs::path program = FindUnder(toolFolder, tool.exe);
        // Holding its program isn't enough: an unpack that was cut off leaves the program
        // without the rest.
        if (!program.empty() &&
            maintenance::IsPlainFile(toolFolder / maintenance::kUnpackingMarker))
            program.clear();
        if (program.empty()) {
            if (!SetupMayEmpty(toolFolder, tool.name, ownership)) FailNotSetups(toolFolder);
            program = DownloadTool(tool, toolsFolder, toolFolder);
        }
        Log(name + L": " + program.native());
        PutInFrontOfPath(program.parent_path());
        taken.push_back(program);
    }
    return taken;
}

void ToolsStep(Job& job) {
    job.toolPrograms = ProvideTools(
        job.choices.folder, ToolTable(std::wstring(kApiOrigin), std::wstring(kPackageIndexOrigin),
                                      std::wstring(kPackageIndexDomain)));
}

}  // namespace murk::setup
