// Stands in for the game's launcher: writes launched.txt into its working folder with that
// folder, its command line, its process id and "HTTPS_PROXY=" with that variable, one a line. With
// MURK_LAUNCHER_LINGER set it then keeps running, so a test can see it outlive Setup.
#include "tests/support/standins/standin_support.h"

#include <windows.h>

#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t folder[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, folder);
    wchar_t proxy[256] = {};
    GetEnvironmentVariableW(L"HTTPS_PROXY", proxy, 256);
    const std::wstring report = std::wstring(folder) + L"\n" + GetCommandLineW() + L"\n" +
                                std::to_wstring(GetCurrentProcessId()) + L"\nHTTPS_PROXY=" + proxy +
                                L"\n";
    const std::string bytes = murk::standin::Utf8(report);
    // Written under a temporary name and renamed, so a reader never sees half of it.
    HANDLE file = CreateFileW(L"launched.tmp", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 2;
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    MoveFileExW(L"launched.tmp", L"launched.txt", MOVEFILE_REPLACE_EXISTING);
    if (GetEnvironmentVariableW(L"MURK_LAUNCHER_LINGER", nullptr, 0) > 0) Sleep(15000);
    return 0;
}
