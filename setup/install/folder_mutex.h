#pragma once
// One Setup at a time per install folder, across processes and signed-in accounts: a named
// mutex that the running job owns.

#include <windows.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace murk::setup {

inline constexpr wchar_t kAlreadyRunning[] = L"Setup is already running for this folder.";

struct MutexReleaser {
    void operator()(HANDLE mutex) const noexcept {
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    }
};
// A mutex owned by the thread that took it, given back and closed once, on that thread.
using OwnedMutex = std::unique_ptr<void, MutexReleaser>;

// "Global\MurkRecompiledSetup-" and the SHA-256 of the folder's full path in upper case without
// trailing backslashes (as UTF-16LE): the same for every spelling of one folder.
std::wstring FolderMutexName(const std::filesystem::path& folder);

// Whether another Setup has the folder: its mutex belongs to another account, or it exists and
// wasn't left behind by a Setup that was killed. Asked before a job starts; holds nothing after.
bool FolderInUse(const std::filesystem::path& folder);

// The job's hold on the folder for the calling thread; nothing when another job owns it. An
// empty hold (no mutex could be made at all) lets the job run rather than block it for good.
std::optional<OwnedMutex> HoldFolder(const std::filesystem::path& folder);

}  // namespace murk::setup
