// Stands in for what someone else left beside Setup (in Downloads, say), to prove it is never
// used. Built twice: as a DLL (copied as winhttp.dll or bcrypt.dll) it leaves "<its path>.loaded"
// as soon as a process loads it; as a program (copied as git.exe or python.exe) it leaves
// "<its path>.ran", says so and fails.
#include <windows.h>

namespace {

void LeaveMark(HMODULE module, const wchar_t* suffix) {
    wchar_t mark[MAX_PATH + 16] = {};
    const DWORD length = GetModuleFileNameW(module, mark, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    lstrcatW(mark, suffix);
    const HANDLE file =
        CreateFileW(mark, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

}  // namespace

#ifdef MURK_PLANTED_DLL
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) LeaveMark(instance, L".loaded");
    return TRUE;
}
#else
int wmain() {
    LeaveMark(nullptr, L".ran");
    const char text[] = "a planted program ran\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, sizeof text - 1, &written, nullptr);
    return 1;
}
#endif
