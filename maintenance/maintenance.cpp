#include "maintenance/maintenance.h"

#include "maintenance/tree.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <iterator>
#include <memory>
#include <string_view>

namespace murk::maintenance {

namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kMiB = 1ull << 20;
constexpr std::uint64_t kGiB = 1ull << 30;

// What a build leaves behind that it can make again: objects, libraries, precompiled headers
// and link maps. Checked in this order; the first match is enough.
constexpr const wchar_t* kLeftoverExtensions[] = {L".obj", L".o",   L".a",  L".lib",
                                                  L".pch", L".map", L".gch"};

bool IsLeftover(const fs::path& path) {
    for (const wchar_t* extension : kLeftoverExtensions)
        if (Lower(path, extension)) return true;
    return false;
}

// What the tools step puts into the tools folder: one marked folder per tool and, while a
// download or an unpack is unfinished, its archive and the file that lets the download resume.
constexpr const wchar_t* kToolNames[] = {L"Git", L"CMake", L"Ninja", L"Clang", L"Python"};
constexpr const wchar_t* kArchiveSuffixes[] = {kArchiveSuffix, kResumeSuffix};

// A link is never Setup's: the tools step makes none.
bool IsSetupEntry(const Entry& entry, Ownership& ownership) {
    const fs::path name = entry.path.filename();
    for (const wchar_t* tool : kToolNames) {
        if (name == tool) return entry.PlainFolder() && OwnsTool(ownership, tool);
        for (const wchar_t* suffix : kArchiveSuffixes)
            if (name == std::wstring(tool) + suffix)
                return entry.PlainFile() && OwnsTool(ownership, tool);
    }
    return false;
}

// True when nothing but Setup's own entries is in the folder (and it can be read).
bool HoldsOnlySetups(const fs::path& tools, Ownership& ownership) {
    bool only = true;
    const bool listed = Walk(tools, [&](const Entry& entry) {
        if (IsSetupEntry(entry, ownership)) return WalkOn::kDontEnter;
        only = false;
        return WalkOn::kStop;
    });
    return listed && only;
}

// Reading setup.log in pieces of this size keeps a log of hundreds of MB out of memory.
constexpr DWORD kLogPiece = 1 << 20;
constexpr std::string_view kDownloading = ": downloading http";

// Only a line's beginning tells: "Python: downloading https://" at the longest.
constexpr std::size_t kTellingBytes = 32;

// The index of the tool whose download the line records, or -1.
int DownloadedTool(std::string_view line) {
    for (std::size_t tool = 0; tool < std::size(kToolNames); ++tool) {
        std::string_view rest = line;
        for (const wchar_t* c = kToolNames[tool]; *c; ++c) {
            if (rest.empty() || rest.front() != static_cast<char>(*c)) {
                rest = {};
                break;
            }
            rest.remove_prefix(1);
        }
        if (!rest.starts_with(kDownloading)) continue;
        rest.remove_prefix(kDownloading.size());
        if (rest.starts_with("://") || rest.starts_with("s://")) return static_cast<int>(tool);
    }
    return -1;
}

}  // namespace

Part Leftovers(const fs::path& repository) {
    Part part{.label = L"Build leftovers (object files, libraries, generated C++)"};
    Walk(repository / L"build", [&part](const Entry& entry) {
        if (entry.PlainFile() && IsLeftover(entry.path)) {
            part.bytes += entry.size;
            part.paths.push_back(entry.path);
        }
        return WalkOn::kGoOn;
    });
    const fs::path generated = repository / L"generated" / L"ppc";
    if (IsPlainFolder(generated)) {
        part.bytes += SizeOf(generated);
        part.paths.push_back(generated);
    }
    if (const fs::path temp = repository.parent_path() / kTempFolder; MadeBySetup(temp)) {
        part.bytes += SizeOf(temp);
        part.paths.push_back(temp);
    }
    return part;
}

bool MadeBySetup(const fs::path& folder) {
    return IsPlainFolder(folder) && IsPlainFile(folder / kSetupMarker);
}

bool PutMarker(const fs::path& file) {
    // Never through a link of that name.
    const HANDLE raw =
        CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (raw == INVALID_HANDLE_VALUE) return false;
    CloseHandle(raw);
    return true;
}

RemoveFailure RemoveTools(const fs::path& path, Patience* patience) {
    const auto isTool = [](const fs::path& folder) {
        return std::find(std::begin(kToolNames), std::end(kToolNames), folder.filename()) !=
               std::end(kToolNames);
    };
    std::vector<fs::path> folders;
    if (isTool(path)) {
        folders.push_back(path);
    } else if (IsPlainFolder(path)) {
        for (const wchar_t* tool : kToolNames)
            folders.push_back(path / tool);
    }
    for (const fs::path& folder : folders) {
        if (!IsPlainFolder(folder) || PutMarker(folder / kUnpackingMarker)) continue;
        const DWORD error = GetLastError();
        return {folder / kUnpackingMarker, error};
    }
    static constexpr const wchar_t* kLast[] = {kUnpackingMarker, kSetupMarker};
    return RemoveAll(path, patience, kLast);
}

std::vector<std::wstring> DownloadsInLog(const fs::path& setupLog) {
    std::vector<std::wstring> found;
    // The running job appends to it meanwhile.
    const HANDLE raw =
        CreateFileW(setupLog.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (raw == INVALID_HANDLE_VALUE) return found;
    const OwnedHandle file(raw);
    const auto note = [&found](std::string_view line) {
        const int tool = DownloadedTool(line);
        if (tool < 0) return;
        const std::wstring name = kToolNames[tool];
        if (std::find(found.begin(), found.end(), name) == found.end()) found.push_back(name);
    };
    const auto piece = std::make_unique<char[]>(kLogPiece);
    // The beginning of a line that started in an earlier piece, while it goes on.
    std::string head;
    bool inLine = false;
    DWORD read = 0;
    while (found.size() < std::size(kToolNames) &&
           ReadFile(raw, piece.get(), kLogPiece, &read, nullptr) && read > 0) {
        const std::string_view text(piece.get(), read);
        std::size_t at = 0;
        if (inLine) {
            const std::size_t end = text.find('\n');
            if (head.size() < kTellingBytes)
                head.append(text.substr(0, std::min(end, kTellingBytes - head.size())));
            if (end == std::string_view::npos) continue;
            note(head);
            inLine = false;
            at = end + 1;
        }
        for (std::size_t end; at < text.size(); at = end + 1) {
            end = text.find('\n', at);
            if (end == std::string_view::npos) {
                head.assign(text.substr(at, kTellingBytes));
                inLine = true;
                break;
            }
            note(text.substr(at, end - at));
        }
    }
    if (inLine) note(head);
    return found;
}

bool OwnsTool(Ownership& ownership, std::wstring_view tool) {
    if (MadeBySetup(ownership.installFolder / L"tools" / tool)) return true;
    if (!ownership.logged) {
        ownership.logged = DownloadsInLog(ownership.installFolder / L"setup.log");
        for (std::wstring& name : DownloadsInLog(ownership.installFolder / L"setup.old.log"))
            if (std::find(ownership.logged->begin(), ownership.logged->end(), name) ==
                ownership.logged->end())
                ownership.logged->push_back(std::move(name));
    }
    return std::find(ownership.logged->begin(), ownership.logged->end(), tool) !=
           ownership.logged->end();
}

Part Tools(const fs::path& repository) {
    Part part{.label = L"Build tools Setup downloaded (Git, CMake, Ninja, Clang, Python)"};
    const fs::path tools = repository.parent_path() / L"tools";
    // A tools folder that is a link (moved to another drive, say) isn't Setup's to measure or
    // delete.
    if (!IsPlainFolder(tools)) return part;
    Ownership ownership{.installFolder = repository.parent_path()};
    // Only a folder that holds one of the big downloads is worth deleting: a lone Git or Ninja
    // folder may be all that is there, and is not worth the next update's download. A tool
    // folder that Setup didn't make is the user's, so it doesn't count and stays.
    const auto downloaded = [&](const wchar_t* tool) {
        return IsPlainFolder(tools / tool) && OwnsTool(ownership, tool);
    };
    if (!downloaded(L"Clang") && !downloaded(L"CMake") && !downloaded(L"Python")) return part;
    if (HoldsOnlySetups(tools, ownership)) {
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
        if (downloaded(tool)) take(tools / tool);
        for (const wchar_t* suffix : kArchiveSuffixes)
            if (const fs::path archive = tools / (std::wstring(tool) + suffix);
                IsPlainFile(archive) && OwnsTool(ownership, tool))
                take(archive);
    }
    return part;
}

std::uint64_t SizeOf(const fs::path& path) {
    const std::optional<Entry> entry = EntryOf(path);
    if (!entry) return 0;
    if (entry->PlainFile()) return entry->size;
    std::uint64_t total = 0;
    Walk(path, [&total](const Entry& inside) {
        total += inside.size;  // 0 for folders and links
        return WalkOn::kGoOn;
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
