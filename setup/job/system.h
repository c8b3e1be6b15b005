#pragma once
// The few platform answers that tests cannot control or see any other way: the free disk space,
// the user's answer to a message box, the job's power request, a registry number, a drive's type,
// whether Windows lets a program start and the system folder (whose tar.exe every other test uses).
// The product calls the real functions; tests swap them.

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

namespace murk::setup {

using FreeBytesQuery = std::optional<std::uint64_t> (*)(const std::filesystem::path& path);
using MessageBoxCall = int(WINAPI*)(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);
using PowerRequestCall = BOOL(WINAPI*)(HANDLE request, POWER_REQUEST_TYPE type);

using RegistryNumberQuery = std::optional<DWORD> (*)(HKEY root, const wchar_t* key,
                                                     const wchar_t* name);
using DriveTypeQuery = UINT(WINAPI*)(LPCWSTR root);
using ProcessCreator = decltype(&CreateProcessW);
using SystemFolderQuery = UINT(WINAPI*)(LPWSTR buffer, UINT size);

extern FreeBytesQuery s_freeBytes;   // GetDiskFreeSpaceExW: bytes free to the caller
extern MessageBoxCall s_messageBox;  // MessageBoxW
// PowerSetRequest and PowerClearRequest: nothing else tells whether a request is on.
extern PowerRequestCall s_powerSetRequest;
extern PowerRequestCall s_powerClearRequest;
extern RegistryNumberQuery s_registryNumber;  // RegistryNumber
extern DriveTypeQuery s_driveType;            // GetDriveTypeW
extern ProcessCreator s_createProcess;        // CreateProcessW
extern SystemFolderQuery s_systemDirectory;   // GetSystemDirectoryW

// A REG_DWORD value; nothing when it is missing or can't be read.
std::optional<DWORD> RegistryNumber(HKEY root, const wchar_t* key, const wchar_t* name);

// Free bytes available to the caller on the volume of path; nothing when they can't be read.
std::optional<std::uint64_t> FreeBytes(const std::filesystem::path& path);
// The same, always from the drive itself, whatever the seam answers: for telling a drive that
// has really filled up.
std::optional<std::uint64_t> DriveFreeBytes(const std::filesystem::path& path);

// The path as Windows resolves it against the current folder (GetFullPathNameW: "." and ".."
// resolved, every "/" a "\"); empty when it can't be. std::filesystem::absolute takes a UNC path
// for one on the current drive.
std::wstring FullPath(const std::filesystem::path& path);

// A message box owned by the main window, titled with the program's name.
int Ask(std::wstring_view text, UINT type);

// Smart App Control enforces its policy (not only evaluating): Windows then refuses programs that
// aren't signed, the launcher the build makes among them.
bool SmartAppControlOn();
// The folder (which need not exist yet) is inside the folder that a OneDrive variable names.
bool InsideOneDrive(const std::filesystem::path& folder);
// The folder is on a mapped network drive or a UNC path.
bool OnNetworkDrive(const std::filesystem::path& folder);

}  // namespace murk::setup
