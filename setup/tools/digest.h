#pragma once
// Hashes of files (and of bytes in memory) through Windows CNG, to check a download against what
// its publisher lists, and the texts publishers write them in.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace murk::setup {

enum class HashAlgorithm { kSha256, kSha512 };

// The file's hash as raw bytes (32 or 64), or nothing when the file can't be read or hashed.
std::optional<std::string> HashOfFile(const std::filesystem::path& file, HashAlgorithm algorithm);

// 64 lowercase hex digits, or nothing when the file can't be read or hashed.
std::optional<std::string> Sha256OfFile(const std::filesystem::path& file);
std::optional<std::string> Sha256OfBytes(std::string_view bytes);

// Base64 with the standard alphabet and padding, and back: nothing when text isn't exactly that.
std::string Base64(std::string_view bytes);
std::optional<std::string> FromBase64(std::string_view text);

}  // namespace murk::setup
