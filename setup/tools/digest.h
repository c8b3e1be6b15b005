#pragma once
// SHA-256 of a file through Windows CNG, to check a download against its published digest.

#include <filesystem>
#include <optional>
#include <string>

namespace murk::setup {

// 64 lowercase hex digits, or nothing when the file can't be read or hashed.
std::optional<std::string> Sha256OfFile(const std::filesystem::path& file);

}  // namespace murk::setup
