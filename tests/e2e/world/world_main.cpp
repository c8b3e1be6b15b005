// The world variant's entry point: the program's own, after putting in the answers that a
// scenario can't give through a real dialog in time, taken from the environment:
//   MURK_WORLD_FREE_BYTES  the free bytes of every drive (unset: the real query)
//   MURK_WORLD_PICKS       the folder picker's answers in turn, separated by "|"; once they
//                          are used up, the picker is cancelled
//   MURK_WORLD_OPEN_FILE   the file the open-file dialog answers with (unset: cancelled)
// Message boxes stay real: scenarios find and press them as a user would.
#include "setup/job/system.h"
#include "setup/window/window.h"

#include <cwchar>
#include <string>
#include <vector>

namespace murk::setup {

namespace {

std::wstring Variable(const wchar_t* name, bool& set) {
    std::wstring value(32768, L'\0');
    const DWORD length = GetEnvironmentVariableW(name, value.data(), 32768);
    set = length > 0 && length < 32768;
    value.resize(set ? length : 0);
    return value;
}

std::uint64_t s_worldFreeBytes = 0;
std::vector<std::wstring> s_picks;
std::size_t s_nextPick = 0;
std::wstring s_openFileAnswer;

std::optional<std::uint64_t> WorldFreeBytes(const std::filesystem::path&) {
    return s_worldFreeBytes;
}

std::wstring WorldPicker(HWND) {
    if (s_nextPick >= s_picks.size()) return {};
    return s_picks[s_nextPick++];
}

BOOL WINAPI WorldOpenFile(OPENFILENAMEW* request) {
    if (s_openFileAnswer.empty() || s_openFileAnswer.size() >= request->nMaxFile) return FALSE;
    wcscpy(request->lpstrFile, s_openFileAnswer.c_str());
    return TRUE;
}

void InstallWorldSeams() {
    bool set = false;
    const std::wstring freeBytes = Variable(L"MURK_WORLD_FREE_BYTES", set);
    if (set) {
        s_worldFreeBytes = std::wcstoull(freeBytes.c_str(), nullptr, 10);
        s_freeBytes = WorldFreeBytes;
    }
    const std::wstring picks = Variable(L"MURK_WORLD_PICKS", set);
    for (std::size_t start = 0; set && start <= picks.size();) {
        const std::size_t end = picks.find(L'|', start);
        s_picks.push_back(picks.substr(start, end - start));
        if (end == std::wstring::npos) break;
        start = end + 1;
    }
    s_folderPicker = WorldPicker;
    s_openFileAnswer = Variable(L"MURK_WORLD_OPEN_FILE", set);
    s_openFile = WorldOpenFile;
}

}  // namespace

}  // namespace murk::setup

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    murk::setup::LoadDllsFromSystemFolderOnly();
    // Not in a static initialiser: the program's own defaults are set by some of those.
    murk::setup::InstallWorldSeams();
    return murk::setup::RunSetup(instance, show);
}
