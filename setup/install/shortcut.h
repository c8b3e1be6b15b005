#pragma once
// The desktop shortcut to the launcher.

#include <filesystem>
#include <optional>
#include <string>

namespace murk::setup {

// SHGetFolderPathW's current desktop folder; nothing when it can't be found. Tests point it
// into a folder of their own.
using DesktopFolderQuery = std::optional<std::filesystem::path> (*)();
extern DesktopFolderQuery s_desktopFolder;

// Writes "MURK Recompiled.lnk" to the desktop, pointing at launcher. Needs COM on the calling
// thread. Returns why the shortcut isn't there (Controlled Folder Access, something of that name
// in the way, ...), or nothing when it is; nothing already there is deleted.
std::wstring CreateDesktopShortcut(const std::filesystem::path& launcher);

}  // namespace murk::setup
