#include "setup/install/folder_mutex.h"

#include "setup/job/handles.h"
#include "setup/tools/digest.h"

namespace murk::setup {

namespace {

constexpr wchar_t kMutexPrefix[] = L"Global\\MurkRecompiledSetup-";

std::wstring FullPath(const std::filesystem::path& folder) {
    const DWORD size = GetFullPathNameW(folder.c_str(), 0, nullptr, nullptr);
    if (size == 0) return folder.native();
    std::wstring full(size, L'\0');
    const DWORD length = GetFullPathNameW(folder.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size) return folder.native();
    full.resize(length);
    return full;
}

// What CreateMutexW and a wait that doesn't block make of the folder's mutex.
struct FolderMutex {
    OwnedMutex mutex;     // owned by this thread when set
    bool held = false;    // another Setup owns it, or another account made it
    bool shared = false;  // it existed, owned by nobody: someone else has it open
};

FolderMutex OpenFolderMutex(const std::filesystem::path& folder) {
    FolderMutex result;
    const std::wstring name = FolderMutexName(folder);
    UniqueHandle mutex(CreateMutexW(nullptr, TRUE, name.c_str()));
    const DWORD error = GetLastError();
    if (!mutex) {
        result.held = error == ERROR_ACCESS_DENIED;
        return result;
    }
    if (error != ERROR_ALREADY_EXISTS) {
        result.mutex.reset(mutex.release());
        return result;
    }
    // A Setup that was killed leaves its mutex abandoned: whoever waits next gets it.
    const DWORD wait = WaitForSingleObject(mutex.get(), 0);
    result.held = wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED;
    if (result.held) return result;
    result.mutex.reset(mutex.release());
    result.shared = wait == WAIT_OBJECT_0;
    return result;
}

}  // namespace

std::wstring FolderMutexName(const std::filesystem::path& folder) {
    std::wstring key = FullPath(folder);
    while (!key.empty() && key.back() == L'\\')
        key.pop_back();
    // Windows compares paths without regard to case, by its own upper-case table.
    std::wstring upper(key.size(), L'\0');
    const int length = static_cast<int>(key.size());
    if (length > 0 && LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, key.data(), length,
                                    upper.data(), length, nullptr, nullptr, 0) == length)
        key = upper;
    // CNG doesn't fail in practice; if it did, every folder would share one mutex, which still
    // keeps two Setups out of one folder.
    const std::string hex =
        Sha256OfBytes(std::string_view(reinterpret_cast<const char*>(key.data()),
                                       key.size() * sizeof(wchar_t)))
            .value_or("");
    return kMutexPrefix + std::wstring(hex.begin(), hex.end());
}

bool FolderInUse(const std::filesystem::path& folder) {
    // One that nobody owns but someone has open counts too: a Setup checking the folder the
    // moment before its job starts.
    const FolderMutex state = OpenFolderMutex(folder);
    return state.held || state.shared;
}

std::optional<OwnedMutex> HoldFolder(const std::filesystem::path& folder) {
    FolderMutex state = OpenFolderMutex(folder);
    if (state.held) return std::nullopt;
    return std::move(state.mutex);
}

}  // namespace murk::setup
