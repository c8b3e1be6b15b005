#pragma once
// Puts the stand-in tar.exe where the tools step looks for the system's own (the Wine prefix's
// system folder). Idempotent and safe when two tests do it at once: a copy that is already in
// place is left alone (another test may be running it), anything else is replaced atomically.

#include <windows.h>

#include <filesystem>
#include <string>

#include "tests/support/test_support.h"

namespace murk::test {

inline std::filesystem::path SystemTarPath() {
    wchar_t folder[MAX_PATH] = {};
    GetSystemDirectoryW(folder, MAX_PATH);
    return std::filesystem::path(folder) / L"tar.exe";
}

inline bool InstallSystemTar(const std::filesystem::path& standin) {
    const std::filesystem::path target = SystemTarPath();
    const std::string wanted = ReadBytes(standin);
    if (wanted.empty()) return false;
    const std::filesystem::path temporary =
        target.parent_path() / (L"tar.exe." + std::to_wstring(GetCurrentProcessId()) + L".new");
    // Another test may be replacing the same old copy at this moment.
    return Eventually(
        [&] {
            if (ReadBytes(target) == wanted) return true;
            WriteBytes(temporary, wanted);
            if (!MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING))
                DeleteFileW(temporary.c_str());
            return ReadBytes(target) == wanted;
        },
        10000);
}

}  // namespace murk::test
