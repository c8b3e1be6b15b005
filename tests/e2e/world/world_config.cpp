// The world variant's services: every origin is the loopback server of the scenario that
// started it, named by MURK_WORLD_ORIGIN (for example http://127.0.0.1:49152), so that each
// scenario serves its own world and two can run side by side. Without the variable every
// origin is a loopback port where nothing listens: the world variant never reaches the internet.
// Being plain http on a loopback host, that origin is the only one plain http reaches (config.h).
#include "setup/config.h"

#include <windows.h>

#include <string>

namespace murk::setup {

namespace {

constexpr wchar_t kNowhere[] = L"http://127.0.0.1:9";

std::wstring WorldOrigin() {
    wchar_t origin[256] = {};
    const DWORD length = GetEnvironmentVariableW(L"MURK_WORLD_ORIGIN", origin, 256);
    if (length == 0 || length >= 256) return kNowhere;
    return origin;
}

std::string Narrow(const std::wstring& text) {
    // An origin is ASCII: scheme, loopback address and port.
    return std::string(text.begin(), text.end());
}

const std::wstring s_origin = WorldOrigin();
const std::string s_repoUrl = Narrow(s_origin) + "/velkrand/murk-recomp.git";

}  // namespace

const std::wstring_view kApiOrigin = s_origin;
const std::string_view kRepoUrl = s_repoUrl;
const std::wstring_view kPackageIndexOrigin = s_origin;
const std::wstring_view kPackageIndexDomain = L"packages.test";
const std::string_view kClangRepository = "mstorsjo/llvm-mingw";

}  // namespace murk::setup
