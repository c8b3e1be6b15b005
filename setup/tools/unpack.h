#pragma once
// Unpacking a tool's archive with the system's tar, the bar counting the files as they come out:
// on a PC whose antivirus scans every file written, Clang's tens of thousands take long enough
// that a bar which doesn't move looks like a hang.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace murk::setup {

// The number of entries (files and folders) a zip archive's end-of-central-directory record
// gives, or the ZIP64 record's when the count doesn't fit the classic one; nothing for a file
// that isn't a zip or whose record is damaged.
std::optional<std::uint64_t> ZipEntryCount(const std::filesystem::path& archive);

// Takes tar's "x <path>" lines, which it writes once per entry unpacked when verbose, and moves
// the bar to entries done out of entries whenever the percentage changes (never, when entries is
// 0: the count is unknown). A line where tar complains about its entry is counted, not taken:
// the log must say which file failed.
struct CountUnpacked {
    std::uint64_t entries;
    std::uint64_t done = 0;
    int shown = 0;

    bool operator()(const std::string& line);
};

// Unpacks archive into folder with the tar at that full path; returns tar's exit code. The bar
// starts at 0 and counts the archive's entries, or is busy when their number can't be read.
int Untar(const std::filesystem::path& tar, const std::filesystem::path& archive,
          const std::filesystem::path& folder);

}  // namespace murk::setup
