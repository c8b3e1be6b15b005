#include "setup/tools/unpack.h"

#include "setup/job/channel.h"
#include "setup/job/handles.h"
#include "setup/job/process.h"

#include <windows.h>

#include <algorithm>
#include <vector>

namespace murk::setup {

namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
constexpr DWORD kEndSize = 22;
constexpr DWORD kLongestComment = 0xFFFF;
constexpr DWORD kZip64LocatorSize = 20;
constexpr DWORD kZip64EndSize = 56;
// The classic record's count when the ZIP64 record holds the real one.
constexpr std::uint64_t kSaturated = 0xFFFF;

// A little-endian number of count bytes.
std::uint64_t Number(const unsigned char* bytes, int count) {
    std::uint64_t value = 0;
    for (int i = count - 1; i >= 0; --i)
        value = value << 8 | bytes[i];
    return value;
}

bool ReadAt(HANDLE file, std::uint64_t offset, unsigned char* into, DWORD size) {
    LARGE_INTEGER at{.QuadPart = static_cast<LONGLONG>(offset)};
    DWORD read = 0;
    return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) &&
           ReadFile(file, into, size, &read, nullptr) && read == size;
}

// A record whose fields agree with each other: a single-disk archive, its comment within the
// file. The signature's four bytes alone may well turn up in compressed data or the comment.
bool PlausibleEnd(const unsigned char* end, std::uint64_t bytesFromIt) {
    return Number(end, 4) == kEndSignature && Number(end + 4, 2) == Number(end + 6, 2) &&
           Number(end + 8, 2) == Number(end + 10, 2) &&
           kEndSize + Number(end + 20, 2) <= bytesFromIt;
}

// A count of 65535 is the ZIP64 record's, which the locator just before the classic record
// points to; without a locator it is just that.
std::optional<std::uint64_t> Zip64EntryCount(HANDLE file, std::uint64_t endOffset) {
    unsigned char locator[kZip64LocatorSize];
    if (endOffset < kZip64LocatorSize ||
        !ReadAt(file, endOffset - kZip64LocatorSize, locator, kZip64LocatorSize) ||
        Number(locator, 4) != kZip64LocatorSignature)
        return kSaturated;
    unsigned char record[kZip64EndSize];
    if (!ReadAt(file, Number(locator + 8, 8), record, kZip64EndSize) ||
        Number(record, 4) != kZip64EndSignature)
        return std::nullopt;
    return Number(record + 32, 8);
}

}  // namespace

std::optional<std::uint64_t> ZipEntryCount(const fs::path& archive) {
    UniqueHandle file =
        OwnFileHandle(CreateFileW(archive.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart < kEndSize) return std::nullopt;
    const std::uint64_t length = static_cast<std::uint64_t>(size.QuadPart);
    // The record ends the file but for its comment, which is at most 64 KB.
    const DWORD tailSize =
        static_cast<DWORD>(std::min<std::uint64_t>(length, kEndSize + kLongestComment));
    const std::uint64_t tailOffset = length - tailSize;
    std::vector<unsigned char> tail(tailSize);
    if (!ReadAt(file.get(), tailOffset, tail.data(), tailSize)) return std::nullopt;
    for (DWORD at = tailSize - kEndSize + 1; at-- > 0;) {
        const unsigned char* end = tail.data() + at;
        if (!PlausibleEnd(end, tailSize - at)) continue;
        const std::uint64_t entries = Number(end + 10, 2);
        if (entries != kSaturated) return entries;
        return Zip64EntryCount(file.get(), tailOffset + at);
    }
    return std::nullopt;
}

bool CountUnpacked::operator()(const std::string& line) {
    if (line.size() < 3 || line[0] != 'x' || line[1] != ' ') return false;
    ++done;
    if (entries) {
        const int percent = done >= entries ? 100 : static_cast<int>(done * 100 / entries);
        if (percent != shown) {
            shown = percent;
            PostProgress(percent);
        }
    }
    // bsdtar puts what went wrong with an entry after its path, as ": " and the reason.
    return line.find(": ", 2) == std::string::npos;
}

int Untar(const fs::path& tar, const fs::path& archive, const fs::path& folder) {
    const std::optional<std::uint64_t> entries = ZipEntryCount(archive);
    PostProgress(entries.value_or(0) ? 0 : -1);
    return RunTaking(Quote(tar) + L" -xvf " + Quote(archive) + L" -C " + Quote(folder), {},
                     CountUnpacked{entries.value_or(0)});
}

}  // namespace murk::setup
