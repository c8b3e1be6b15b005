#pragma once
// What a finished build can give back: the build's leftovers and the downloaded tools.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace murk::maintenance {

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
