#include <windows.h>

// The window comes with its own change; until then the program starts and ends quietly.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return 0;
}
