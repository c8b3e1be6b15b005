// Stands in for "python" in the build step's tests. Like the real interpreter it runs a
// script relative to its working folder and fails when that script isn't there. Instead of
// building anything it records how it was started, prints a scripted build log and exits with
// a scripted code, all set through environment variables:
//   MURK_PYTHON_RECORD  file that receives, one per line: the command line, the working folder
//                       and each argument as the program's start-up code split them
//   MURK_PYTHON_OUTPUT  file whose bytes are written to standard output unchanged
//   MURK_PYTHON_EXIT    the exit code (default 0)
#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

std::wstring Variable(const wchar_t* name) {
    wchar_t value[32768];
    const DWORD length = GetEnvironmentVariableW(name, value, 32768);
    return length > 0 && length < 32768 ? std::wstring(value, length) : std::wstring();
}

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(),
                        length, nullptr, nullptr);
    return bytes;
}

void Print(const std::string& bytes) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()),
              &written, nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
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

    if (const std::wstring output = Variable(L"MURK_PYTHON_OUTPUT"); !output.empty()) {
        std::ifstream in(std::filesystem::path(output), std::ios::binary);
        Print({std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()});
    }
    const std::wstring exitCode = Variable(L"MURK_PYTHON_EXIT");
    return exitCode.empty() ? 0 : std::wcstol(exitCode.c_str(), nullptr, 10);
}
