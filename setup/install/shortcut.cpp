#include "setup/install/shortcut.h"

#include "setup/job/handles.h"

#include <windows.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cwchar>
#include <cwctype>
#include <iterator>
#include <memory>
#include <system_error>

namespace murk::setup {

namespace {

std::optional<std::filesystem::path> QueryDesktopFolder() {
    wchar_t folder[MAX_PATH];
    if (FAILED(
            SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT, folder)))
        return std::nullopt;
    return std::filesystem::path(folder);
}

// Windows' own words for a failed call, in the user's language, without the full stop: they end
// a line in parentheses.
std::wstring Reason(HRESULT result) {
    const DWORD code =
        HRESULT_FACILITY(result) == FACILITY_WIN32 ? HRESULT_CODE(result) : DWORD(result);
    wchar_t* raw = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&raw), 0, nullptr);
    const std::unique_ptr<wchar_t, LocalFreer> owned(raw);
    std::wstring reason(raw ? raw : L"", raw ? length : 0);
    while (!reason.empty() && (std::iswspace(reason.back()) || reason.back() == L'.'))
        reason.pop_back();
    if (!reason.empty()) return reason;
    wchar_t number[32];
    std::swprintf(number, std::size(number), L"error 0x%08lX", static_cast<unsigned long>(result));
    return number;
}

}  // namespace

DesktopFolderQuery s_desktopFolder = QueryDesktopFolder;

std::wstring CreateDesktopShortcut(const std::filesystem::path& launcher) {
    const std::optional<std::filesystem::path> desktop = s_desktopFolder();
    if (!desktop) return L"Windows didn't say where the desktop is";

    IShellLinkW* rawLink = nullptr;
    if (const HRESULT result =
            CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                             reinterpret_cast<void**>(&rawLink));
        FAILED(result))
        return Reason(result);
    const ComPtr<IShellLinkW> link(rawLink);
    // Started from the desktop, the launcher still runs in its own folder.
    for (const HRESULT result : {link->SetPath(launcher.c_str()),
                                 link->SetWorkingDirectory(launcher.parent_path().c_str()),
                                 link->SetDescription(L"MURK Recompiled")})
        if (FAILED(result)) return Reason(result);

    IPersistFile* rawFile = nullptr;
    if (const HRESULT result =
            link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&rawFile));
        FAILED(result))
        return Reason(result);
    const ComPtr<IPersistFile> file(rawFile);
    const std::filesystem::path shortcut = *desktop / L"MURK Recompiled.lnk";
    const HRESULT saved = file->Save(shortcut.c_str(), TRUE);
    if (SUCCEEDED(saved)) return {};
    // A folder of that name is the user's: it stays, and the reason says what is in the way.
    std::error_code error;
    if (std::filesystem::is_directory(shortcut, error)) return shortcut.native() + L" is a folder";
    return Reason(saved);
}

}  // namespace murk::setup
