// The program's entry point; everything else lives in the library the tests link too.
#include "setup/window/window.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    murk::setup::LoadDllsFromSystemFolderOnly();
    return murk::setup::RunSetup(instance, show);
}
