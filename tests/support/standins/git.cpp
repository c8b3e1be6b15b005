// Stands in for git. It plays the state scripted in %MURK_GIT_STANDIN%\state.txt (key=value
// lines) and appends each call, as "working folder<TAB>arg<TAB>arg...", to calls.txt there.
//   clone=N          exit code of "git clone URL FOLDER"; 0 also creates FOLDER\.git
//   clone-says=LINE  what a failing clone prints (default: an unreachable repository)
//   fetch=N          exit code of "fetch"
//   branch=NAME      printed by "symbolic-ref" (nothing when empty)
//   branch-exit=N    its exit code (default: 0 with a branch, 1 without)
//   changes=LINE     printed by "status" (nothing when empty)
//   status-exit=N    its exit code (default 0)
//   pull=N           exit code of "pull"
//   checkout-main=N  exit code of "checkout --force main"
//   checkout-tag=N   exit code of "checkout --force" of anything else
//   checkout-hold=1  a checkout waits to be stopped (a minute at most), as one cut off halfway
//   owner=other      the working copy is another owner's (an exFAT drive, another account):
//                    like git, every "-C FOLDER" command fails unless GIT_CONFIG_* sets a
//                    safe.directory that names FOLDER with forward slashes
// Each call's environment goes to environment.txt there, "NAME=value" a line (the last call's).
// With %MURK_GIT_TEMPLATE% naming a folder (the project as the remote has it), a clone copies
// that folder into FOLDER, and a pull that succeeds copies it over the working copy again, as
// a fast-forward to the remote's newest commit would. Like git, it refuses to pull or check out
// while FOLDER\.git\index.lock exists. With %STANDIN_GIT_DELETE% naming a file, every call deletes
// it, as an antivirus that takes a program away meanwhile.
#include "tests/support/standins/standin_support.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace fs = std::filesystem;

using murk::standin::Utf8;
using murk::standin::Variable;

namespace {

std::map<std::string, std::string> ReadScript(const fs::path& file) {
    std::map<std::string, std::string> script;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const auto equals = line.find('=');
        if (equals != std::string::npos) script[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return script;
}

int Code(const std::map<std::string, std::string>& script, const std::string& key, int fallback) {
    const auto found = script.find(key);
    return found == script.end() || found->second.empty() ? fallback : std::stoi(found->second);
}

std::string Text(const std::map<std::string, std::string>& script, const std::string& key) {
    const auto found = script.find(key);
    return found == script.end() ? std::string() : found->second;
}

void RecordEnvironment(const fs::path& file) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    wchar_t* strings = GetEnvironmentStringsW();
    for (const wchar_t* entry = strings; *entry; entry += wcslen(entry) + 1)
        out << Utf8(entry) << '\n';
    FreeEnvironmentStringsW(strings);
}

bool SafeDirectory(std::wstring folder) {
    std::replace(folder.begin(), folder.end(), L'\\', L'/');
    for (int i = 0, count = _wtoi(Variable(L"GIT_CONFIG_COUNT").c_str()); i < count; ++i)
        if (Variable(L"GIT_CONFIG_KEY_" + std::to_wstring(i)) == L"safe.directory" &&
            Variable(L"GIT_CONFIG_VALUE_" + std::to_wstring(i)) == folder)
            return true;
    return false;
}

// Copies the remote's files, when there is a template of them, over folder.
void CopyTemplate(const fs::path& folder) {
    wchar_t remote[MAX_PATH] = {};
    if (!GetEnvironmentVariableW(L"MURK_GIT_TEMPLATE", remote, MAX_PATH)) return;
    murk::standin::CopyTree(remote, folder);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    wchar_t stateFolder[MAX_PATH] = {};
    if (!GetEnvironmentVariableW(L"MURK_GIT_STANDIN", stateFolder, MAX_PATH)) return 99;
    const fs::path state = stateFolder;
    {
        std::ofstream calls(state / L"calls.txt", std::ios::app | std::ios::binary);
        calls << Utf8(fs::current_path().native());
        for (int i = 1; i < argc; ++i)
            calls << '\t' << Utf8(argv[i]);
        calls << '\n';
    }
    RecordEnvironment(state / L"environment.txt");
    DeleteFileW(Variable(L"STANDIN_GIT_DELETE").c_str());
    const auto script = ReadScript(state / L"state.txt");

    if (argc == 4 && std::wstring(argv[1]) == L"clone") {
        const int code = Code(script, "clone", 0);
        std::error_code error;
        if (code == 0) {
            CopyTemplate(argv[3]);
            fs::create_directories(fs::path(argv[3]) / L".git", error);
        }
        const std::string says = Text(script, "clone-says");
        if (code != 0)
            std::printf("%s\n",
                        says.empty() ? "fatal: unable to access the repository" : says.c_str());
        return code;
    }
    if (argc < 4 || std::wstring(argv[1]) != L"-C") return 129;
    if (Text(script, "owner") == "other" && !SafeDirectory(argv[2])) {
        std::printf("fatal: detected dubious ownership in repository at '%s'\n",
                    Utf8(argv[2]).c_str());
        return 128;
    }
    const std::wstring command = argv[3];
    if (command == L"fetch") return Code(script, "fetch", 0);
    if (command == L"symbolic-ref") {
        const std::string branch = Text(script, "branch");
        if (!branch.empty()) std::printf("%s\n", branch.c_str());
        return Code(script, "branch-exit", branch.empty() ? 1 : 0);
    }
    if (command == L"status") {
        const std::string changes = Text(script, "changes");
        if (!changes.empty()) std::printf("%s\n", changes.c_str());
        return Code(script, "status-exit", 0);
    }
    std::error_code error;
    if ((command == L"pull" || command == L"checkout") &&
        fs::exists(fs::path(argv[2]) / L".git" / L"index.lock", error)) {
        std::printf("fatal: Unable to create '.git/index.lock': File exists.\n");
        return 128;
    }
    if (command == L"pull") {
        const int code = Code(script, "pull", 0);
        if (code == 0) CopyTemplate(argv[2]);
        return code;
    }
    if (command == L"checkout" && Text(script, "checkout-hold") == "1") Sleep(60000);
    if (command == L"checkout" && argc == 6) {
        return std::wstring(argv[5]) == L"main" ? Code(script, "checkout-main", 0)
                                                : Code(script, "checkout-tag", 0);
    }
    return 129;
}
