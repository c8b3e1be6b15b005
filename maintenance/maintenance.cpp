#include "maintenance/maintenance.h"

#include <cwchar>
#include <cwctype>
#include <iterator>
#include <system_error>

namespace murk::maintenance {

namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kMiB = 1ull << 20;
constexpr std::uint64_t kGiB = 1ull << 30;

// What a build leaves behind that it can make again: objects, libraries, precompiled headers
// and link maps. Checked in this order; the first match is enough.
constexpr const wchar_t* kLeftoverExtensions[] = {L".obj", L".o",   L".a",  L".lib",
                                                  L".pch", L".map", L".gch"};

// Visits every entry below folder. A folder it may not open is skipped; any other error ends
// the walk quietly, so a half-readable tree still gives a (smaller) answer.
template <class Visit>
void Walk(const fs::path& folder, Visit visit) {
    std::error_code error;
    fs::recursive_directory_iterator entry(folder, fs::directory_options::skip_permission_denied,
                                           error);
    const fs::recursive_directory_iterator end;
    while (!error && entry != end) {
        visit(*entry);
        entry.increment(error);
    }
}

// A file whose size can't be read (deleted meanwhile, say) adds nothing.
std::uint64_t FileSize(const fs::directory_entry& entry) {
    std::error_code error;
    const std::uintmax_t size = entry.file_size(error);
    return error ? 0 : size;
}

bool IsRegularFile(const fs::directory_entry& entry) {
    std::error_code error;
    return entry.is_regular_file(error);
}

bool IsLeftover(const fs::path& path) {
    for (const wchar_t* extension : kLeftoverExtensions)
        if (Lower(path, extension)) return true;
    return false;
}

bool IsDirectory(const fs::path& path) {
    std::error_code error;
    return fs::is_directory(path, error);
}

// What the tools step puts into the tools folder: one marked folder per tool and, while a
// download or an unpack is unfinished, its archive and the file that lets the download resume.
constexpr const wchar_t* kToolNames[] = {L"Git", L"CMake", L"Ninja", L"Clang", L"Python"};
constexpr const wchar_t* kArchiveSuffixes[] = {kArchiveSuffix, kResumeSuffix};

bool IsFile(const fs::path& path) {
    std::error_code error;
    return fs::is_regular_file(path, error);
}

bool IsSetupEntry(const fs::path& entry) {
    const fs::path name = entry.filename();
    for (const wchar_t* tool : kToolNames) {
        if (name == tool) return MadeBySetup(entry);
        for (const wchar_t* suffix : kArchiveSuffixes)
            if (name == std::wstring(tool) + suffix) return IsFile(entry);
    }
    return false;
}

// True when nothing but Setup's own entries is in the folder (and it can be read).
bool HoldsOnlySetups(const fs::path& tools) {
    std::error_code error;
    fs::directory_iterator entry(tools, error);
    const fs::directory_iterator end;
    for (; !error && entry != end; entry.increment(error)) {
        if (!IsSetupEntry(entry->path())) return false;
    }
    return !error;
}

}  // namespace

Part Leftovers(const fs::path& repository) {
    Part part{.label = L"Build leftovers (object files, libraries, generated C++)"};
    const fs::path build = repository / L"build";
    if (IsDirectory(build)) {
        Walk(build, [&part](const fs::directory_entry& entry) {
            if (!IsRegularFile(entry) || !IsLeftover(entry.path())) return;
            part.bytes += FileSize(entry);
            part.paths.push_back(entry.path());
        });
    }
    const fs::path generated = repository / L"generated" / L"ppc";
    if (IsDirectory(generated)) {
        part.bytes += SizeOf(generated);
        part.paths.push_back(generated);
    }
    return part;
}

bool MadeBySetup(const fs::path& folder) {
    return IsDirectory(folder) && IsFile(folder / kSetupMarker);
}

Part Tools(const fs::path& repository) {
    Part part{.label = L"Build tools Setup downloaded (Git, CMake, Ninja, Clang, Python)"};
    const fs::path tools = repository.parent_path() / L"tools";
    // Only a folder that holds one of the big downloads is worth deleting: a lone Git or Ninja
    // folder may be all that is there, and is not worth the next update's download. A tool
    // folder that Setup didn't make is the user's, so it doesn't count and stays.
    const bool downloaded = MadeBySetup(tools / L"Clang") || MadeBySetup(tools / L"CMake") ||
                            MadeBySetup(tools / L"Python");
    if (!downloaded) return part;
    if (HoldsOnlySetups(tools)) {
        part.bytes = SizeOf(tools);
        part.paths.push_back(tools);
        return part;
    }
    // The tools folder is shared with the user's own things (an install folder typed as a drive
    // root, or a tool folder of the user's): then only what the tools step made goes.
    const auto take = [&part](const fs::path& entry) {
        part.bytes += SizeOf(entry);
        part.paths.push_back(entry);
    };
    for (const wchar_t* tool : kToolNames) {
        if (MadeBySetup(tools / tool)) take(tools / tool);
        for (const wchar_t* suffix : kArchiveSuffixes)
            if (const fs::path archive = tools / (std::wstring(tool) + suffix); IsFile(archive))
                take(archive);
    }
    return part;
}

std::uint64_t SizeOf(const fs::path& path) {
    std::error_code error;
    if (fs::is_regular_file(path, error)) {
        const std::uintmax_t size = fs::file_size(path, error);
        return error ? 0 : size;
    }
    std::uint64_t total = 0;
    if (!IsDirectory(path)) return total;
    Walk(path, [&total](const fs::directory_entry& entry) {
        if (IsRegularFile(entry)) total += FileSize(entry);
    });
    return total;
}

bool Lower(const fs::path& path, const wchar_t* extension) {
    // The standard's extension: from the file name's last dot, unless that dot is the name's
    // first character (".obj" alone is a name, not an extension).
    const std::wstring actual = path.extension().native();
    const std::size_t length = std::wcslen(extension);
    if (actual.size() != length) return false;
    for (std::size_t i = 0; i < length; ++i)
        if (static_cast<wchar_t>(std::towlower(actual[i])) != extension[i]) return false;
    return true;
}

std::wstring SizeText(std::uint64_t bytes) {
    wchar_t text[32];
    if (bytes >= kGiB)
        std::swprintf(text, std::size(text), L"%.1f GB", static_cast<double>(bytes) / kGiB);
    else
        std::swprintf(text, std::size(text), L"%.0f MB", static_cast<double>(bytes) / kMiB);
    return text;
}

}  // namespace murk::maintenance
