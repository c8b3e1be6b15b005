#include "setup/job/system.h"

#include "setup/job/channel.h"
#include "setup/job/environment.h"

#include <string>

namespace murk::setup {

std::optional<std::uint64_t> DriveFreeBytes(const std::filesystem::path& path) {
    ULARGE_INTEGER available{};
    if (!GetDiskFreeSpaceExW(path.c_str(), &available, nullptr, nullptr)) return std::nullopt;
    return available.QuadPart;
}

std::optional<DWORD> RegistryNumber(HKEY root, const wchar_t* key, const wchar_t* name) {
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegGetValueW(root, key, name, RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS)
        return std::nullopt;
    return value;
}

FreeBytesQuery s_freeBytes = DriveFreeBytes;
MessageBoxCall s_messageBox = MessageBoxW;
PowerRequestCall s_powerSetRequest = PowerSetRequest;
PowerRequestCall s_powerClearRequest = PowerClearRequest;
RegistryNumberQuery s_registryNumber = RegistryNumber;
DriveTypeQuery s_driveType = GetDriveTypeW;
ProcessCreator s_createProcess = CreateProcessW;
SystemFolderQuery s_systemDirectory = GetSystemDirectoryW;

namespace {
namespace fs = std::filesystem;
}  // namespace

std::optional<std::uint64_t> FreeBytes(const std::filesystem::path& path) {
    return s_freeBytes(path);
}

std::wstring FullPath(const fs::path& path) {
    std::wstring full(GetFullPathNameW(path.c_str(), 0, nullptr, nullptr), L'\0');
    if (full.empty()) return {};
    const DWORD length =
        GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0 || length >= full.size()) return {};
    full.resize(length);
    return full;
}

int Ask(std::wstring_view text, UINT type) {
    const std::wstring terminated(text);
    return s_messageBox(s_window, terminated.c_str(), kTitle, type);
}

bool SmartAppControlOn() {
    // 1 is on; 2 is evaluation mode, which blocks nothing; 0 is off.
    return s_registryNumber(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\CI\\Policy",
                            L"VerifiedAndReputablePolicyState") == 1u;
}

bool InsideOneDrive(const fs::path& folder) {
    const std::wstring full = FullPath(folder);
    for (const wchar_t* name : {L"OneDrive", L"OneDriveConsumer", L"OneDriveCommercial"}) {
        std::wstring root = FullPath(SetupVariable(name).value_or(L""));
        while (!root.empty() && root.back() == L'\\')
            root.pop_back();
        if (root.empty() || full.size() < root.size()) continue;
        if (!SameIgnoringCase(std::wstring_view(full).substr(0, root.size()), root)) continue;
        if (full.size() == root.size() || full[root.size()] == L'\\') return true;
    }
    return false;
}

bool OnNetworkDrive(const fs::path& folder) {
    std::wstring full = FullPath(folder);
    // "\\?\C:\..." is a local path written for long names, "\\?\UNC\server\..." a network one.
    if (full.starts_with(L"\\\\?\\") || full.starts_with(L"\\\\.\\")) {
        full.erase(0, 4);
        if (full.starts_with(L"UNC\\")) return true;
    }
    if (full.starts_with(L"\\\\")) return true;
    if (full.size() < 2 || full[1] != L':') return false;
    return s_driveType((full.substr(0, 2) + L"\\").c_str()) == DRIVE_REMOTE;
}

}  // namespace murk::setup
