#include "tests/e2e/world.h"

#include "setup/job/channel.h"
#include "setup/job/handles.h"
#include "setup/tools/digest.h"
#include "tests/support/release_document.h"
#include "tests/support/standin.h"
#include "tests/support/system_tar.h"
#include "tests/support/zip_archive.h"

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <tlhelp32.h>

#include <stdexcept>
#include <thread>

namespace murk::test {

namespace fs = std::filesystem;
using setup::ComPtr;
using setup::UniqueHandle;

namespace {

constexpr wchar_t kTitle[] = L"MURK Recompiled Setup";
constexpr UINT kSendTimeout = 5000;
constexpr wchar_t kPlentyOfSpace[] = L"107374182400";  // 100 GiB: no question about it

std::string Sha256Of(const fs::path& scratch, const std::string& bytes) {
    WriteBytes(scratch, bytes);
    return setup::Sha256OfFile(scratch).value_or("");
}

fs::path WorldProgram() {
    // Test programs live in <build>/tests/e2e, the world variant in <build>/world.
    return ThisProgramFolder().parent_path().parent_path() / L"world" / L"MurkSetupWorld.exe";
}

fs::path DesktopFolder() {
    wchar_t folder[MAX_PATH] = {};
    if (FAILED(
            SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT, folder)))
        throw std::runtime_error("no desktop folder");
    return folder;
}

std::wstring SystemPath() {
    wchar_t system[MAX_PATH] = {};
    wchar_t windows[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    GetWindowsDirectoryW(windows, MAX_PATH);
    return std::wstring(system) + L";" + windows;
}

struct Search {
    DWORD process;
    const wchar_t* className;
    HWND found = nullptr;
};

BOOL CALLBACK MatchWindow(HWND candidate, LPARAM parameter) {
    auto* search = reinterpret_cast<Search*>(parameter);
    DWORD process = 0;
    GetWindowThreadProcessId(candidate, &process);
    if (process != search->process || !IsWindowVisible(candidate)) return TRUE;
    wchar_t className[64] = {};
    GetClassNameW(candidate, className, 64);
    if (std::wstring_view(className) != search->className) return TRUE;
    wchar_t title[64] = {};
    InternalGetWindowText(candidate, title, 64);
    if (std::wstring_view(title) != kTitle) return TRUE;
    search->found = candidate;
    return FALSE;
}

HWND FindProcessWindow(DWORD process, const wchar_t* className) {
    Search search{process, className};
    EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

}  // namespace

std::string U8(const std::wstring& text) {
    return setup::Utf8(text);
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        Sleep(20);
    }
    return true;
}

std::string BuildScript(const std::string& hold) {
    return "#! murk-build-scenario\n"
           "line ==> Extracting the game's files\n"
           "extract\n"
           "line ==> Generating C++ from the game's code\n"
           "line [1/4] ppc_recomp.0.cpp\n"
           "redraw   30% of the functions analysed\n"
           "redraw   60% of the functions analysed\n" +
           hold +
           "redraw   100% of the functions analysed\n"
           "write generated\\ppc\\ppc_recomp.0.cpp // generated from default.xex\n"
           "line ==> Compiling\n"
           "where cmake.exe\n"
           "where ninja.exe\n"
           "where clang++.exe\n"
           "line [3/4] Building CXX object main.obj\n"
           "write build\\obj\\main.obj object code\n"
           "write build\\obj\\murk.lib library code\n"
           "line [4/4] Linking MurkLauncher.exe\n"
           "copy launcher\\MurkLauncher.exe build\\runtime\\MurkLauncher.exe\n"
           "line Build finished.\n";
}

World::World() {
    program = WorldProgram();
    currentFolder = root.path();
    install = root / L"Games" / L"MURK-Recomp";
    image = root / L"Discs" / L"MURK (USA, Europe).iso";
    discFolder = root / L"Discs" / L"MURK extracted";
    remote = root / L"remote";
    state = root / L"state";
    fs::create_directories(root / L"Games");
    fs::create_directories(discFolder / L"media");
    fs::create_directories(state);
    WriteBytes(image, "MURK disc image: default.xex and the rest of the disc");
    WriteBytes(discFolder / L"default.xex", "MURK extracted: default.xex");
    WriteBytes(discFolder / L"media" / L"title.bik", "a movie");

    // The project's remote: its build script and what the build makes the launcher from.
    fs::create_directories(remote / L"launcher");
    WriteBytes(remote / L"README.md", "# murk-recomp\n");
    fs::copy_file(StandinProgram(L"launcher", L"MurkLauncher.exe"),
                  remote / L"launcher" / L"MurkLauncher.exe");
    SetBuildScript(BuildScript());
    WriteBytes(state / L"state.txt", "branch=main\n");

    if (!InstallSystemTar(StandinProgram(L"tar", L"tar.exe")))
        throw std::runtime_error("no stand-in tar.exe in the system folder");

    desktop_ = DesktopFolder();
    std::error_code error;
    fs::remove(Shortcut(), error);

    go_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    environment = {
        {L"MURK_WORLD_ORIGIN", server.Origin()}, {L"MURK_WORLD_FREE_BYTES", kPlentyOfSpace},
        {L"MURK_GIT_STANDIN", state.native()},   {L"MURK_GIT_TEMPLATE", remote.native()},
        {L"MURK_WORLD_STATE", state.native()},   {L"PATH", SystemPath()},
    };
    // No proxy but Windows' setting, never that of the machine running the tests.
    for (const wchar_t* proxy : {L"HTTPS_PROXY", L"HTTP_PROXY", L"ALL_PROXY"})
        environment[proxy] = L"";
}

World::~World() {
    // A scenario that failed half-way leaves no program behind.
    earlier_.push_back(std::move(process_));
    for (const UniqueHandle& process : earlier_) {
        if (!process || WaitForSingleObject(process.get(), 0) != WAIT_TIMEOUT) continue;
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), 10000);
    }
    ReleaseDownload();
    std::error_code error;
    fs::remove(Shortcut(), error);
}

void World::Serve(const std::string& repository, const std::string& asset, const std::string& zip) {
    const std::string path = "/downloads/" + asset;
    server.Serve(path, {.body = zip});
    archives_[asset] = zip;
    const std::string digest = "sha256:" + Sha256Of(state / L"digest.bin", zip);
    const std::string origin = server.OriginUtf8();
    // A signature and a look-alike first, as real releases list several files.
    server.Serve("/repos/" + repository + "/releases/latest",
                 {.body = ReleaseDocument("v1", {{asset + ".sig", origin + path + ".sig", ""},
                                                 {"arm64-" + asset, origin + "/x/arm64", ""},
                                                 {asset, origin + path, digest}})});
}

void World::PublishTools() {
    const std::string git = ReadBytes(StandinProgram(L"git", L"git.exe"));
    const std::string child = ReadBytes(StandinProgram(L"child", L"child.exe"));
    const std::string python = ReadBytes(StandinProgram(L"python", L"python.exe"));
    unpackedBytes = 0;
    auto zip = [this](const std::vector<std::pair<std::string, std::string>>& entries) {
        for (const auto& entry : entries)
            unpackedBytes += entry.second.size();
        return StoredZip(entries);
    };
    Serve("git-for-windows/git", "MinGit-2.47.1-64-bit.zip",
          zip({{"cmd/", ""}, {"cmd/git.exe", git}, {"etc/gitconfig", "[core]\n"}}));
    Serve("Kitware/CMake", "cmake-3.31.2-windows-x86_64.zip",
          zip({{"cmake-3.31.2-windows-x86_64/bin/cmake.exe", child},
               {"cmake-3.31.2-windows-x86_64/share/cmake-3.31/Modules/x.cmake", "#"}}));
    Serve("ninja-build/ninja", "ninja-win.zip", zip({{"ninja.exe", child}}));
    Serve("mstorsjo/llvm-mingw", "llvm-mingw-20241217-ucrt-x86_64.zip",
          zip({{"llvm-mingw-20241217-ucrt-x86_64/bin/clang++.exe", child},
               {"llvm-mingw-20241217-ucrt-x86_64/include/stdio.h", "/* */"}}));
    server.Serve("/v3-flatcontainer/python/index.json",
                 {.body = "{\"versions\":[\"3.11.9\",\"3.12.8\",\"3.12.10\",\"3.13.0b1\"]}"});
    const std::string package =
        zip({{"tools/python.exe", python}, {"tools/Lib/os.py", "# os"}, {"python.nuspec", "<x/>"}});
    server.Serve("/v3-flatcontainer/python/3.12.10/python.3.12.10.nupkg", {.body = package});
    WriteBytes(state / L"package.bin", package);
    pythonSha512 = setup::Base64(
        setup::HashOfFile(state / L"package.bin", setup::HashAlgorithm::kSha512).value_or(""));
    // The package index's registration leaf and the catalog leaf it points to, trimmed down.
    const std::string catalog = "/v3/catalog0/data/2024.12.03.22.13.41/python.3.12.10.json";
    server.Serve("/v3/registration5-semver1/python/3.12.10.json",
                 {.body = "{\"catalogEntry\": \"" + server.OriginUtf8() + catalog + "\"}"});
    server.Serve(catalog, {.body = "{\"packageHash\": \"" + pythonSha512 +
                                   "\", \"packageHashAlgorithm\": \"SHA512\"}"});
}

void World::StallDownload(const std::string& asset) {
    HANDLE go = go_.get();
    server.Serve(
        "/downloads/" + asset,
        {.body = archives_.at(asset), .pieceSize = 64 * 1024, .pause = [go](std::size_t sent) {
             if (sent == 1) WaitForSingleObject(go, 60000);
         }});
}

void World::ReleaseDownload() {
    if (go_) SetEvent(go_.get());
}

void World::PublishProject(const std::string& tag) {
    server.Serve("/repos/velkrand/murk-recomp/releases/latest", {.body = ReleaseDocument(tag, {})});
}

std::vector<std::string> World::ToolRequests() const {
    std::vector<std::string> targets;
    for (const HttpRequest& request : server.Requests())
        if (request.target != "/repos/velkrand/murk-recomp/releases/latest")
            targets.push_back(request.target);
    return targets;
}

void World::SetBuildScript(const std::string& script) {
    fs::create_directories(remote / L"tools");
    WriteBytes(remote / L"tools" / L"build.py", script);
}

void World::Start(const std::wstring& arguments) {
    earlier_.push_back(std::move(process_));
    window_ = nullptr;
    for (const auto& [name, value] : environment)
        SetEnvironmentVariableW(name.c_str(), value.empty() ? nullptr : value.c_str());
    std::wstring commandLine = L"\"" + program.native() + L"\"";
    if (!arguments.empty()) commandLine += L" " + arguments;
    STARTUPINFOW startup{.cb = sizeof startup};
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        currentFolder.c_str(), &startup, &started))
        throw std::runtime_error("MurkSetupWorld.exe didn't start");
    UniqueHandle thread(started.hThread);
    process_.reset(started.hProcess);
    processId_ = started.dwProcessId;
    WaitUntil(
        [this] { return (window_ = FindProcessWindow(processId_, L"MurkSetup")) != nullptr; });
    if (!window_) throw std::runtime_error("MurkSetupWorld.exe showed no window");
}

std::wstring World::Text(int id) const {
    HWND control = Item(id);
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(control, WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, kSendTimeout, &length))
        return L"(no answer)";
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(control, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                        SMTO_NORMAL, kSendTimeout, &copied);
    text.resize(copied);
    return ShownText(control, text);
}

bool World::Checked(int id) const {
    DWORD_PTR state = 0;
    SendMessageTimeoutW(Item(id), BM_GETCHECK, 0, 0, SMTO_NORMAL, kSendTimeout, &state);
    return state == BST_CHECKED;
}

int World::Progress() const {
    DWORD_PTR position = 0;
    SendMessageTimeoutW(Item(106), PBM_GETPOS, 0, 0, SMTO_NORMAL, kSendTimeout, &position);
    return static_cast<int>(position);
}

void World::SetText(int id, const std::wstring& text) {
    DWORD_PTR result = 0;
    SendMessageTimeoutW(Item(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                        SMTO_NORMAL, kSendTimeout, &result);
}

void World::Click(int id) {
    PostMessageW(Item(id), BM_CLICK, 0, 0);
}

void World::Close() {
    PostMessageW(window_, WM_CLOSE, 0, 0);
}

HWND World::WaitForBox(std::chrono::milliseconds timeout) {
    HWND box = nullptr;
    WaitUntil([&] { return (box = FindProcessWindow(processId_, L"#32770")) != nullptr; }, timeout);
    return box;
}

std::wstring World::BoxText(HWND box) {
    wchar_t text[4096] = {};
    InternalGetWindowText(GetDlgItem(box, 0xFFFF), text, 4096);
    return text;
}

void World::Press(HWND box, int button) {
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
    WaitUntil([box] { return !IsWindow(box); });
}

DWORD World::WaitForExit(std::chrono::milliseconds timeout) {
    if (WaitForSingleObject(process_.get(), static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0)
        return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process_.get(), &code);
    return code;
}

std::vector<std::string> World::RunningChildren() const {
    std::vector<std::string> children;
    const UniqueHandle snapshot =
        setup::OwnFileHandle(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return children;
    PROCESSENTRY32W entry{.dwSize = sizeof entry};
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry))
        if (entry.th32ParentProcessID == processId_)
            children.push_back(std::to_string(entry.th32ProcessID) + " " +
                               setup::Utf8(entry.szExeFile));
    return children;
}

std::vector<std::string> World::LogLines() const {
    const std::string bytes = ReadBytes(install / L"setup.log");
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < bytes.size()) {
        const std::size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(bytes.substr(start) + "(no line end)");
            break;
        }
        lines.push_back(bytes.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

std::vector<std::string> World::GitCalls() const {
    std::vector<std::string> calls;
    const std::string bytes = ReadBytes(state / L"calls.txt");
    std::size_t start = 0;
    while (start < bytes.size()) {
        const std::size_t end = bytes.find('\n', start);
        calls.push_back(bytes.substr(start, end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return calls;
}

ShortcutInfo ReadShortcut(const fs::path& file) {
    ShortcutInfo info;
    IShellLinkW* rawLink = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&rawLink))))
        return info;
    const ComPtr<IShellLinkW> link(rawLink);
    IPersistFile* rawFile = nullptr;
    if (FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&rawFile))))
        return info;
    const ComPtr<IPersistFile> persist(rawFile);
    if (FAILED(persist->Load(file.c_str(), STGM_READ))) return info;
    wchar_t text[MAX_PATH] = {};
    link->GetPath(text, MAX_PATH, nullptr, 0);
    info.target = text;
    link->GetWorkingDirectory(text, MAX_PATH);
    info.folder = text;
    link->GetDescription(text, MAX_PATH);
    info.description = text;
    return info;
}

}  // namespace murk::test
