#include "setup/install/install_folder.h"

#include <windows.h>
#include <sddl.h>

#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace murk::setup {

namespace {

namespace fs = std::filesystem;

// Two Setups that start at once: the other one's question about the folder holds the lock file
// open for a moment.
constexpr int kHoldTries = 10;
constexpr DWORD kHoldPause = 20;

using SecurityDescriptor = std::unique_ptr<void, LocalFreer>;

// The signed-in user is the token's user: its owner is the Administrators group for an elevated
// administrator. Protected, so that a drive root's "Authenticated Users: Modify" stays out.
SecurityDescriptor UsersOwnFolder() {
    HANDLE rawToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken)) return {};
    const UniqueHandle token(rawToken);
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    // Holds the user's SID, which the TOKEN_USER at its start points into.
    std::vector<std::byte> user(size);
    if (size == 0 || !GetTokenInformation(token.get(), TokenUser, user.data(), size, &size))
        return {};
    LPWSTR rawSid = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &rawSid))
        return {};
    const std::unique_ptr<wchar_t, LocalFreer> sid(rawSid);
    const std::wstring text = L"D:P(A;OICI;FA;;;" + std::wstring(sid.get()) +
                              L")(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr))
        return {};
    return SecurityDescriptor(descriptor);
}

}  // namespace

bool MakeInstallFolder(const fs::path& folder) {
    const fs::path target = folder.has_filename() ? folder : folder.parent_path();
    std::error_code error;
    if (!fs::exists(target, error)) {
        if (target.has_relative_path()) fs::create_directories(target.parent_path(), error);
        // Made with its permissions rather than given them after: nothing else can get in first.
        const SecurityDescriptor descriptor = UsersOwnFolder();
        SECURITY_ATTRIBUTES attributes{.nLength = sizeof attributes,
                                       .lpSecurityDescriptor = descriptor.get(),
                                       .bInheritHandle = FALSE};
        CreateDirectoryW(target.c_str(), descriptor ? &attributes : nullptr);
    }
    return fs::is_directory(target, error);
}

bool FolderInUse(const fs::path& folder) {
    // A lock that nobody holds (left by a power cut) opens; the running job's doesn't.
    const HANDLE raw = CreateFileW((folder / kLockFile).c_str(), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (raw != INVALID_HANDLE_VALUE) {
        CloseHandle(raw);
        return false;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION;
}

std::optional<UniqueHandle> HoldFolder(const fs::path& folder) {
    const fs::path lock = folder / kLockFile;
    for (int tries = 1;; ++tries) {
        const HANDLE raw = CreateFileW(
            lock.c_str(), GENERIC_READ | DELETE, 0, nullptr, OPEN_ALWAYS,
            FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT,
            nullptr);
        if (raw != INVALID_HANDLE_VALUE) return UniqueHandle(raw);
        if (GetLastError() != ERROR_SHARING_VIOLATION) return UniqueHandle();
        if (tries == kHoldTries) return std::nullopt;
        Sleep(kHoldPause);
    }
}

}  // namespace murk::setup
