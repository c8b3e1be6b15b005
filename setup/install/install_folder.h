#pragma once
// The install folder: only the signed-in user (with the system and its administrators) may change
// what is in a folder Setup makes, and one Setup at a time works in it.

#include "setup/job/handles.h"

#include <filesystem>
#include <optional>

namespace murk::setup {

inline constexpr wchar_t kAlreadyRunning[] = L"Setup is already running for this folder.";

// The lock: a file in the install folder that the running job keeps open with no sharing, and that
// goes when it is closed. Only who may write into the folder can hold it, and every spelling of
// the folder (another drive letter, a short name, a link) reaches the one file.
inline constexpr wchar_t kLockFile[] = L".murk-setup.lock";

// Creates the folder with the parents it lacks. The folder itself, when Setup creates it, is the
// user's: full control for the signed-in user, SYSTEM and Administrators, read and run for Users,
// nothing from its parent, and the same for all that is made in it. Parents made on the way and a
// folder that was there keep their permissions. False when no folder is there afterwards.
bool MakeInstallFolder(const std::filesystem::path& folder);

// Whether another Setup's job holds the folder. A folder that doesn't exist has no Setup in it.
bool FolderInUse(const std::filesystem::path& folder);

// The job's hold on the folder, which must exist: kept until the handle is closed. Nothing when
// another Setup holds it. An empty hold (no lock file could be made: a folder Setup may not write
// to fails later with its own message) lets the job run rather than block it for good.
std::optional<UniqueHandle> HoldFolder(const std::filesystem::path& folder);

}  // namespace murk::setup
