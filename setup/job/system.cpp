#include "setup/job/system.h"

#include "setup/job/channel.h"

#include <string>

namespace murk::setup {

std::optional<std::uint64_t> DriveFreeBytes(const std::filesystem::path& path) {
    ULARGE_INTEGER available{};
    if (!GetDiskFreeSpaceExW(path.c_str(), &available, nullptr, nullptr)) return std::nullopt;
    return available.QuadPart;
}

FreeBytesQuery s_freeBytes = DriveFreeBytes;
MessageBoxCall s_messageBox = MessageBoxW;
PowerRequestCall s_powerSetRequest = PowerSetRequest;
PowerRequestCall s_powerClearRequest = PowerClearRequest;

std::optional<std::uint64_t> FreeBytes(const std::filesystem::path& path) {
    return s_freeBytes(path);
}

int Ask(std::wstring_view text, UINT type) {
    const std::wstring terminated(text);
    return s_messageBox(s_window, terminated.c_str(), kTitle, type);
}

}  // namespace murk::setup
