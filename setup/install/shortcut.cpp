#include "setup/install/shortcut.h"

#include "setup/job/handles.h"

#include <windows.h>
#include <shlobj.h>
#include <shobjidl.h>

namespace murk::setup {

namespace {

std::optional<std::filesystem::path> QueryDesktopFolder() {
    wchar_t folder[MAX_PATH];
    if (FAILED(
            SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT, folder)))
        return std::nullopt;
    return std::filesystem::path(folder);
}

}  // namespace

DesktopFolderQuery s_desktopFolder = QueryDesktopFolder;

void CreateDesktopShortcut(const std::filesystem::path& launcher) {
    const std::optional<std::filesystem::path> desktop = s_desktopFolder();
    if (!desktop) return;

    IShellLinkW* rawLink = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&rawLink))))
        return;
    const ComPtr<IShellLinkW> link(rawLink);
    link->SetPath(launcher.c_str());
    // Started from the desktop, the launcher still runs in its own folder.
    link->SetWorkingDirectory(launcher.parent_path().c_str());
    link->SetDescription(L"MURK Recompiled");

    IPersistFile* rawFile = nullptr;
    if (FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&rawFile)))) return;
    const ComPtr<IPersistFile> file(rawFile);
    file->Save((*desktop / L"MURK Recompiled.lnk").c_str(), TRUE);
}

}  // namespace murk::setup
