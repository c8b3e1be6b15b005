#pragma once
// Zip archives for tests: stored (uncompressed) entries, which is all the stand-in tar unpacks.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace murk::test {

inline std::uint32_t Crc32(const std::string& bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// entries: (name, content); a name ending in "/" is a folder.
inline std::string StoredZip(const std::vector<std::pair<std::string, std::string>>& entries) {
    auto put16 = [](std::string& out, std::uint32_t value) {
        out += static_cast<char>(value & 0xFF);
        out += static_cast<char>((value >> 8) & 0xFF);
    };
    auto put32 = [&](std::string& out, std::uint32_t value) {
        put16(out, value & 0xFFFF);
        put16(out, value >> 16);
    };
    std::string archive;
    std::string directory;
    for (const auto& [name, content] : entries) {
        const std::uint32_t offset = static_cast<std::uint32_t>(archive.size());
        const std::uint32_t crc = Crc32(content);
        const std::uint32_t size = static_cast<std::uint32_t>(content.size());
        put32(archive, 0x04034b50);
        put16(archive, 10);  // version needed
        put16(archive, 0);   // flags
        put16(archive, 0);   // stored
        put32(archive, 0);   // time and date
        put32(archive, crc);
        put32(archive, size);
        put32(archive, size);
        put16(archive, static_cast<std::uint32_t>(name.size()));
        put16(archive, 0);
        archive += name;
        archive += content;

        put32(directory, 0x02014b50);
        put16(directory, 20);
        put16(directory, 10);
        put16(directory, 0);
        put16(directory, 0);
        put32(directory, 0);
        put32(directory, crc);
        put32(directory, size);
        put32(directory, size);
        put16(directory, static_cast<std::uint32_t>(name.size()));
        put32(directory, 0);  // extra and comment lengths
        put32(directory, 0);  // disk number and internal attributes
        put32(directory, name.ends_with('/') ? 0x10 : 0);
        put32(directory, offset);
        directory += name;
    }
    const std::uint32_t directoryOffset = static_cast<std::uint32_t>(archive.size());
    archive += directory;
    put32(archive, 0x06054b50);
    put32(archive, 0);
    put16(archive, static_cast<std::uint32_t>(entries.size()));
    put16(archive, static_cast<std::uint32_t>(entries.size()));
    put32(archive, static_cast<std::uint32_t>(directory.size()));
    put32(archive, directoryOffset);
    put16(archive, 0);
    return archive;
}

}  // namespace murk::test
