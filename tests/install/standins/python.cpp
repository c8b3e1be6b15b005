// Stands in for "python" in the build step's tests. Like the real interpreter it runs a
// script relative to its working folder and fails when that script isn't there. Instead of
// building anything it records how it was started, prints a scripted build log and exits with
// a scripted code, all set through environment variables (with PYTHONHOME set it stops at once,
// as the embedded Python does):
//   MURK_PYTHON_RECORD  file that receives, one per line: the command line, the working folder
//                       and each argument as the program's start-up code split them
//   MURK_PYTHON_OUTPUT  file whose bytes are written to standard output unchanged
//   MURK_PYTHON_EXIT    the exit code (default 0)
//
// A script whose first line is "#! murk-build-scenario" is played instead, one command a
// line, in the working folder (paths are relative to it; %NAME% takes an environment value):
//   line TEXT         prints TEXT and CR LF
//   redraw TEXT       prints TEXT and a lone CR, as progress meters that redraw in place do
//   extract           extracts the disc given after "--iso" into game\extracted: a folder is
//                     copied, an image file becomes default.xex; without "--iso" the files
//                     must be there already (otherwise exit 2); a missing disc is exit 3
//   write FILE TEXT   creates FILE (and its folders) holding TEXT
//   copy FROM TO      copies a file, creating TO's folders
//   delete FILE       deletes a file, as an antivirus that takes a program away
//   where NAME        prints "NAME: " and the first PATH entry's NAME, as a shell finds it
//   env NAME          prints "NAME=" and the variable's value
//   start COMMAND     starts COMMAND (found on the PATH) without waiting for it, sharing the
//                     output; its process id is added to build\started.txt
//   wait FILE         waits until FILE exists (at most 60 s)
//   sleep MS          sleeps
//   exit N            ends with exit code N (the end of the script is exit 0)
#include "tests/support/standins/standin_support.h"

#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

using murk::standin::Utf8;
using murk::standin::Variable;

namespace {

void Print(const std::string& bytes) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()),
              &written, nullptr);
}

namespace fs = std::filesystem;

std::wstring Widen(const std::string& bytes) {
    if (bytes.empty()) return {};
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(),
                        length);
    return text;
}

std::wstring Expand(const std::wstring& text) {
    wchar_t expanded[32768];
    const DWORD length = ExpandEnvironmentStringsW(text.c_str(), expanded, 32768);
    return length > 0 && length <= 32768 ? std::wstring(expanded) : text;
}

fs::path FindOnPath(const std::wstring& name) {
    const std::wstring path = Variable(L"PATH");
    std::wstringstream entries(path);
    std::wstring entry;
    while (std::getline(entries, entry, L';')) {
        std::error_code error;
        if (!entry.empty() && fs::exists(fs::path(entry) / name, error))
            return fs::path(entry) / name;
    }
    return {};
}

int Extract(const std::vector<std::wstring>& arguments) {
    const fs::path extracted = fs::path(L"game") / L"extracted";
    std::error_code error;
    fs::path disc;
    for (size_t i = 0; i + 1 < arguments.size(); ++i)
        if (arguments[i] == L"--iso") disc = arguments[i + 1];
    if (disc.empty()) {
        if (fs::exists(extracted / L"default.xex", error)) return 0;
        Print("error: the game's files aren't extracted yet: give the disc with --iso\r\n");
        return 2;
    }
    fs::create_directories(extracted, error);
    if (fs::is_directory(disc, error)) {
        return murk::standin::CopyTree(disc, extracted) ? 0 : 3;
    }
    if (!fs::is_regular_file(disc, error)) {
        Print("error: no disc at " + Utf8(disc.native()) + "\r\n");
        return 3;
    }
    return CopyFileW(disc.c_str(), (extracted / L"default.xex").c_str(), FALSE) ? 0 : 3;
}

int StartChild(const std::wstring& command) {
    std::wstring line = command;
    STARTUPINFOW startup{.cb = sizeof startup};
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process))
        return 4;
    std::error_code error;
    fs::create_directories(L"build", error);
    std::ofstream(fs::path(L"build") / L"started.txt", std::ios::app)
        << process.dwProcessId << '\n';
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 0;
}

// Plays a build scenario; returns its exit code.
int Play(std::istream& script, const std::vector<std::wstring>& arguments) {
    std::string raw;
    while (std::getline(script, raw)) {
        if (!raw.empty() && raw.back() == '\r') raw.pop_back();
        const std::wstring line = Widen(raw);
        const size_t space = line.find(L' ');
        const std::wstring command = line.substr(0, space);
        const std::wstring rest =
            space == std::wstring::npos ? L"" : Expand(line.substr(space + 1));
        const size_t split = rest.find(L' ');
        const std::wstring first = rest.substr(0, split);
        const std::wstring second = split == std::wstring::npos ? L"" : rest.substr(split + 1);
        std::error_code error;
        if (command == L"line") {
            Print(Utf8(rest) + "\r\n");
        } else if (command == L"redraw") {
            Print(Utf8(rest) + "\r");
        } else if (command == L"extract") {
            if (const int code = Extract(arguments); code != 0) return code;
        } else if (command == L"write") {
            fs::create_directories(fs::path(first).parent_path(), error);
            std::ofstream(fs::path(first), std::ios::binary | std::ios::trunc) << Utf8(second);
        } else if (command == L"copy") {
            fs::create_directories(fs::path(second).parent_path(), error);
            // CopyFileW: the library's copy_file can't replace a file here.
            if (!CopyFileW(first.c_str(), second.c_str(), FALSE)) return 5;
        } else if (command == L"delete") {
            fs::remove(fs::path(rest), error);
        } else if (command == L"where") {
            const fs::path found = FindOnPath(rest);
            Print(Utf8(rest) + ": " + (found.empty() ? "not found" : Utf8(found.native())) +
                  "\r\n");
        } else if (command == L"env") {
            Print(Utf8(rest) + "=" + Utf8(Variable(rest.c_str())) + "\r\n");
        } else if (command == L"start") {
            if (const int code = StartChild(rest); code != 0) return code;
        } else if (command == L"wait") {
            for (int tries = 0; tries < 1200 && !fs::exists(fs::path(rest), error); ++tries)
                Sleep(50);
        } else if (command == L"sleep") {
            Sleep(static_cast<DWORD>(std::wcstoul(rest.c_str(), nullptr, 10)));
        } else if (command == L"exit") {
            return std::wcstol(rest.c_str(), nullptr, 10);
        }
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // As the embedded Python does: another Python's home stops it before any script runs.
    if (!Variable(L"PYTHONHOME").empty()) {
        Print(
            "Fatal Python error: init_fs_encoding: failed to get the Python codec of the "
            "filesystem encoding\r\n");
        return 1;
    }
    const std::filesystem::path here = std::filesystem::current_path();
    if (const std::wstring record = Variable(L"MURK_PYTHON_RECORD"); !record.empty()) {
        std::ofstream out(std::filesystem::path(record), std::ios::binary | std::ios::trunc);
        out << Utf8(GetCommandLineW()) << '\n' << Utf8(here.native()) << '\n';
        for (int i = 1; i < argc; ++i)
            out << Utf8(argv[i]) << '\n';
    }

    // "python -u SCRIPT ...": the script is the first argument that isn't an option.
    int script = 1;
    while (script < argc && argv[script][0] == L'-')
        ++script;
    std::error_code error;
    if (script >= argc || !std::filesystem::is_regular_file(here / argv[script], error)) {
        Print("python: can't open file: [Errno 2] No such file or directory\r\n");
        return 2;
    }

    {
        std::ifstream in(here / argv[script], std::ios::binary);
        std::string first;
        std::getline(in, first);
        if (first.starts_with("#! murk-build-scenario"))
            return Play(in, std::vector<std::wstring>(argv + script + 1, argv + argc));
    }

    if (const std::wstring output = Variable(L"MURK_PYTHON_OUTPUT"); !output.empty()) {
        std::ifstream in(std::filesystem::path(output), std::ios::binary);
        Print({std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()});
    }
    const std::wstring exitCode = Variable(L"MURK_PYTHON_EXIT");
    return exitCode.empty() ? 0 : std::wcstol(exitCode.c_str(), nullptr, 10);
}
