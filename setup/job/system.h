#pragma once
// The few platform answers that tests cannot control or see any other way: the free disk space,
// the user's answer to a message box, and the job's power request. The product calls the real
// functions; tests swap them.

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

namespace murk::setup {

using FreeBytesQuery = std::optional<std::uint64_t> (*)(const std::filesystem::path& path);
using MessageBoxCall = int(WINAPI*)(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);
using PowerRequestCall = BOOL(WINAPI*)(HANDLE request, POWER_REQUEST_TYPE type);

extern FreeBytesQuery s_freeBytes;   // GetDiskFreeSpaceExW: bytes free to the caller
extern MessageBoxCall s_messageBox;  // MessageBoxW
// PowerSetRequest and PowerClearRequest: nothing else tells whether a request is on.
extern PowerRequestCall s_powerSetRequest;
extern PowerRequestCall s_powerClearRequest;

// Free bytes available to the caller on the volume of path; nothing when they can't be read.
std::optional<std::uint64_t> FreeBytes(const std::filesystem::path& path);
// The same, always from the drive itself, whatever the seam answers: for telling a drive that
// has really filled up.
std::optional<std::uint64_t> DriveFreeBytes(const std::filesystem::path& path);

// A message box owned by the main window, titled with the program's name.
int Ask(std::wstring_view text, UINT type);

}  // namespace murk::setup
