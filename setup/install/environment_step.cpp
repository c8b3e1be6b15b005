// What the job's children get beyond Setup's own environment, so that settings other programs
// left on the PC don't derail git and Python: logged before the tools are checked.
#include "setup/config.h"
#include "setup/install/install.h"
#include "setup/job/channel.h"
#include "setup/job/environment.h"
#include "setup/tools/proxy.h"
#include "setup/tools/tools_step.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <system_error>

namespace murk::setup {

namespace {

namespace fs = std::filesystem;

// Another Python's, set machine-wide by GIS suites and old installers: Setup's own Python stops
// at start-up with them. A Python of the user's may need them.
constexpr const wchar_t* kPythonSettings[] = {L"PYTHONHOME", L"PYTHONPATH"};
// They would aim git at another repository or another git's commands, or turn its certificate
// checks off.
constexpr const wchar_t* kGitSettings[] = {
    L"GIT_DIR",        L"GIT_WORK_TREE",        L"GIT_INDEX_FILE",
    L"GIT_COMMON_DIR", L"GIT_OBJECT_DIRECTORY", L"GIT_ALTERNATE_OBJECT_DIRECTORIES",
    L"GIT_NAMESPACE",  L"GIT_EXEC_PATH",        L"GIT_SSL_NO_VERIFY"};
// A proxy the user has given git and Python already.
constexpr const wchar_t* kProxySettings[] = {L"HTTPS_PROXY", L"https_proxy", L"HTTP_PROXY",
                                             L"http_proxy", L"ALL_PROXY"};

void LeaveOut(const wchar_t* name) {
    if (!ChildVariable(name)) return;
    SetChildVariable(name, std::nullopt);
    Log(L"(" + std::wstring(name) + L" is set on this PC; the build runs without it)");
}

// The path with each name's case as it is on disk; empty when it doesn't exist.
std::wstring OnDisk(const fs::path& path) {
    std::wstring text(GetLongPathNameW(path.c_str(), nullptr, 0), L'\0');
    if (text.empty()) return {};
    const DWORD length =
        GetLongPathNameW(path.c_str(), text.data(), static_cast<DWORD>(text.size()));
    if (length == 0 || length >= text.size()) return {};
    text.resize(length);
    return text;
}

// The working copy as safe.directory names it: git compares it with the folder as it finds it
// on disk, with forward slashes. Before the clone, its folder's case with the copy's name.
std::wstring SafeDirectory(const fs::path& repository) {
    std::error_code error;
    const fs::path full = fs::absolute(repository, error);
    std::wstring path = OnDisk(full);
    if (path.empty()) {
        const std::wstring parent = OnDisk(full.parent_path());
        path = parent.empty() ? full.native() : (fs::path(parent) / full.filename()).native();
    }
    std::replace(path.begin(), path.end(), L'\\', L'/');
    return path;
}

// Through the environment, after any settings the user passes that way: no config file of the
// user's changes. The working copy may be on a drive without owners (exFAT, FAT32) or made by
// another account, which git refuses without safe.directory; generated sources nest deeper than
// Windows' old path limit. Setup's own git trusts the certificates Windows trusts, as Setup's
// downloads do: an antivirus or a company network that inspects secure connections signs with a
// root only Windows knows, and gives no revocation server. A git of the user's may lack schannel.
void AddGitSettings(const fs::path& repository, bool ownGit) {
    unsigned long count = 0;
    if (const auto given = ChildVariable(L"GIT_CONFIG_COUNT"))
        count = std::wcstoul(given->c_str(), nullptr, 10);
    auto add = [&count](const wchar_t* key, std::wstring value) {
        const std::wstring number = std::to_wstring(count++);
        SetChildVariable(L"GIT_CONFIG_KEY_" + number, key);
        SetChildVariable(L"GIT_CONFIG_VALUE_" + number, std::move(value));
    };
    add(L"safe.directory", SafeDirectory(repository));
    add(L"core.longpaths", L"true");
    if (ownGit) {
        add(L"http.sslBackend", L"schannel");
        add(L"http.schannelCheckRevoke", L"best-effort");
    }
    SetChildVariable(L"GIT_CONFIG_COUNT", std::to_wstring(count));
}

// Setup's own downloads follow Windows' proxy setting; git and Python only know of one through
// their environment.
void UseSystemProxy() {
    for (const wchar_t* name : kProxySettings)
        if (ChildVariable(name)) return;
    const std::optional<ProxySetting> proxy = SystemProxy(Widen(kRepoUrl));
    if (!proxy) return;
    SetChildVariable(L"HTTPS_PROXY", L"http://" + proxy->server);
    SetChildVariable(L"HTTP_PROXY", L"http://" + proxy->server);
    if (!proxy->noProxy.empty()) {
        const std::wstring given = ChildVariable(L"NO_PROXY").value_or(L"");
        SetChildVariable(L"NO_PROXY",
                         given.empty() ? proxy->noProxy : given + L"," + proxy->noProxy);
    }
    Log(L"(git and Python use the system's proxy " + MaskedProxy(proxy->server) + L")");
}

}  // namespace

void ChildEnvironmentStep(const Job& job) {
    // The tools step's own rule: a Python that it won't take from the PATH is Setup's.
    if (ToolOnPath(L"python.exe").empty())
        for (const wchar_t* name : kPythonSettings)
            LeaveOut(name);
    for (const wchar_t* name : kGitSettings)
        LeaveOut(name);
    // Nobody watches a job's git: a sign-in prompt, its own or the credential manager's, would
    // wait for good.
    SetChildVariable(L"GIT_TERMINAL_PROMPT", L"0");
    SetChildVariable(L"GCM_INTERACTIVE", L"never");
    // UTF-8 on its pipes whatever the code page, and no packages from the user's own folder.
    SetChildVariable(L"PYTHONUTF8", L"1");
    SetChildVariable(L"PYTHONNOUSERSITE", L"1");
    // As for Python: a git that the tools step won't take from the PATH is Setup's.
    AddGitSettings(job.repository, ToolOnPath(L"git.exe").empty());
    UseSystemProxy();
}

}  // namespace murk::setup
