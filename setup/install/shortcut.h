#pragma once
// The desktop shortcut to the launcher.

#include <filesystem>
#include <optional>

namespace murk::setup {

// SHGetFolderPathW's current desktop folder; nothing when it can't be found. Tests point it
// into a folder of their own.
using DesktopFolderQuery = std::optional<std::filesystem::path> (*)();
extern DesktopFolderQuery s_desktopFolder;

// Writes "MURK Recompiled.lnk" to the desktop, pointing at launcher. Needs COM on the calling
// thread. A shortcut is a convenience: failing to make one is not worth a word.
void CreateDesktopShortcut(const std::filesystem::path& launcher);

}  // namespace murk::setup
