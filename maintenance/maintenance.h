#pragma once
// What a finished build can give back: the build's leftovers and the downloaded tools.

#include "maintenance/tree.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace murk::maintenance {

// The empty file that the tools step leaves in every tool folder it makes. A tools folder may be
// shared with the user's own things (an install folder typed as a drive root): only a folder
// with this file in it is Setup's to empty or delete.
inline constexpr wchar_t kSetupMarker[] = L".murk-setup";

// The empty file that stands in a tool folder while its archive is unpacked into it, and while the
// folder is emptied. An unpack or a deletion cut off halfway (Cancel, a crash, a power cut) can
// leave the program without the rest: a folder that still holds this file is emptied and unpacked
// again.
inline constexpr wchar_t kUnpackingMarker[] = L".murk-setup-unpacking";

// The tools step's files beside the tool folders: "<Name>.zip", a tool's archive while it is
// downloaded or unpacked, and "<Name>.zip.resume" beside a partial one, which lets a later job
// resume it. Freeing space takes files of these names only.
inline constexpr wchar_t kArchiveSuffix[] = L".zip";
inline constexpr wchar_t kResumeSuffix[] = L".zip.resume";

// The install folder's own temporary folder, which the build's tools get when the user's TEMP
// has letters they can't read. Setup marks it when it makes it; only then is it a leftover.
inline constexpr wchar_t kTempFolder[] = L"temp";

// True when folder is a folder (not a link) that holds the marker.
bool MadeBySetup(const std::filesystem::path& folder);

// Makes sure an empty file of that name is there (a file of that name that is there stays as it
// is); false when it can't be made.
bool PutMarker(const std::filesystem::path& file);

// Deletes a tool folder, or a folder with tool folders in it (the tools folder), as RemoveAll does,
// so that a deletion cut off halfway never leaves what looks like a whole tool: before anything in
// it goes, each tool folder gets kUnpackingMarker, which goes only after everything else in it, and
// its kSetupMarker after that. Nothing goes when a marker can't be made.
RemoveFailure RemoveTools(const std::filesystem::path& path, Patience* patience);

// The tools whose download setup.log records: every version of Setup logs a line beginning
// "<Name>: downloading http..." before it empties the tool's folder and downloads. The log may
// be hundreds of MB: it is read in pieces, and only until all five are found. (A job renames a
// large setup.log to setup.old.log, which OwnsTool reads as well.)
std::vector<std::wstring> DownloadsInLog(const std::filesystem::path& setupLog);

// Which of an install folder's tools are Setup's. Installs from before the marker have tool
// folders without it; their setup.log and setup.old.log tell instead, and are read only the first
// time an unmarked one is asked about.
struct Ownership {
    std::filesystem::path installFolder;
    std::optional<std::vector<std::wstring>> logged;
};

// Whether the tool's folder, "<Name>.zip" and "<Name>.zip.resume" are Setup's: its folder
// carries the marker, or the install's setup.log records the tool's download.
bool OwnsTool(Ownership& ownership, std::wstring_view tool);

// One group of files that is deleted together.
struct Part {
    std::wstring label;
    std::vector<std::filesystem::path> paths;
    std::uint64_t bytes = 0;
};

Part Leftovers(const std::filesystem::path& repository);
Part Tools(const std::filesystem::path& repository);
std::uint64_t SizeOf(const std::filesystem::path& path);
bool Lower(const std::filesystem::path& path, const wchar_t* extension);
std::wstring SizeText(std::uint64_t bytes);

}  // namespace murk::maintenance
