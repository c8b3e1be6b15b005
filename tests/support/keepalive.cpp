// Keeps the Wine server and its helper processes up for a whole test run, so that no test
// pays for starting them and none of them inherits a test's output pipes. Writes the file
// named by its argument once it is running, and lives until the server is stopped.
#include <windows.h>
#include <shellapi.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    HWND window = CreateWindowExW(0, L"STATIC", L"murk keep-alive", 0, 0, 0, 1, 1, nullptr, nullptr,
                                  instance, nullptr);
    if (count > 1) {
        HANDLE ready = CreateFileW(arguments[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
        if (ready != INVALID_HANDLE_VALUE) CloseHandle(ready);
    }
    LocalFree(arguments);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
        DispatchMessageW(&message);
    DestroyWindow(window);
    return 0;
}
