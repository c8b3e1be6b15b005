// Presses a button of Setup's next message box, as a user would: waits up to 20 s for a
// visible box titled "MURK Recompiled Setup" and clicks the button whose id is its argument
// (1 = OK by default). Used by scripts/screenshot.sh to get past the failed job's warning.
#include <windows.h>
#include <shellapi.h>

#include <cstdlib>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    const int button = count > 1 ? _wtoi(arguments[1]) : IDOK;
    LocalFree(arguments);
    for (int tries = 0; tries < 400; ++tries) {
        HWND box = FindWindowW(L"#32770", L"MURK Recompiled Setup");
        if (box && IsWindowVisible(box)) {
            PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
            return 0;
        }
        Sleep(50);
    }
    return 1;
}
