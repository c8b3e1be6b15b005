// Stands in for the programs the install job runs (git, python, tar): each argument is one
// command, done in order, so that a test can make it behave like a real child.
//
//   out:TEXT        writes TEXT to standard output; \n \r \t \\ and \xHH are decoded
//   err:TEXT        the same, to standard error
//   lines:N:B[:E]   writes N numbered lines of B bytes each, terminator included, fast;
//                   E is the terminator: crlf (default), lf or cr
//   sleep:MS        sleeps MS milliseconds
//   cwd             writes the working folder and "\n"
//   env:NAME        writes the variable's value and "\n" (only "\n" when it is unset)
//   pid             writes "pid " and this process's id and "\n"
//   spawn:N         starts this program again with the next N arguments as its commands,
//                   sharing this one's standard output and error, and goes on with the
//                   arguments after them without waiting for it
//   load:NAME       loads the DLL NAME by the platform's default search and writes "loaded "
//                   and the path it was loaded from, or "not loaded", and "\n"
//   exit:N          ends at once with exit code N (the exit code is 0 otherwise)
//
// Started as "git -C FOLDER ..." (a copy named git.exe), it goes into FOLDER first.
#include "tests/support/standins/standin_support.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

using murk::standin::Utf8;

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string Unescape(std::string_view text) {
    std::string bytes;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            bytes += text[i];
            continue;
        }
        const char code = text[++i];
        if (code == 'n') {
            bytes += '\n';
        } else if (code == 'r') {
            bytes += '\r';
        } else if (code == 't') {
            bytes += '\t';
        } else if (code == 'x' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 &&
                   HexDigit(text[i + 2]) >= 0) {
            bytes += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
            i += 2;
        } else {
            bytes += code;
        }
    }
    return bytes;
}

void Write(DWORD which, std::string_view bytes) {
    const HANDLE handle = GetStdHandle(which);
    while (!bytes.empty()) {
        DWORD written = 0;
        if (!WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
            written == 0)
            return;
        bytes.remove_prefix(written);
    }
}

// The same numbered line that tests and benchmarks expect: "line 0000042 " padded with 'x'.
void WriteLines(std::wstring_view request) {
    const unsigned long count = std::wcstoul(request.data(), nullptr, 10);
    const size_t colon = request.find(L':');
    size_t bytes =
        colon == std::wstring_view::npos ? 80 : std::wcstoul(&request[colon + 1], nullptr, 10);
    const size_t second = colon == std::wstring_view::npos ? colon : request.find(L':', colon + 1);
    std::string_view end = "\r\n";
    if (second != std::wstring_view::npos) {
        const std::wstring_view name = request.substr(second + 1);
        if (name == L"lf") end = "\n";
        if (name == L"cr") end = "\r";
    }
    if (bytes < end.size() + 13) bytes = end.size() + 13;
    constexpr size_t kChunk = 1 << 16;
    std::string chunk;
    chunk.reserve(kChunk + bytes);
    char number[32];
    for (unsigned long i = 0; i < count; ++i) {
        std::snprintf(number, sizeof number, "line %07lu ", i);
        const size_t start = chunk.size();
        chunk += number;
        chunk.append(start + bytes - end.size() - chunk.size(), 'x');
        chunk += end;
        if (chunk.size() >= kChunk) {
            Write(STD_OUTPUT_HANDLE, chunk);
            chunk.clear();
        }
    }
    Write(STD_OUTPUT_HANDLE, chunk);
}

// Quotes one argument so that the C runtime's parser gives it back unchanged.
std::wstring QuoteArgument(std::wstring_view argument) {
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    quoted += L'"';
    return quoted;
}

void Spawn(int count, wchar_t** arguments) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring commandLine = QuoteArgument(self);
    for (int i = 0; i < count; ++i)
        commandLine += L" " + QuoteArgument(arguments[i]);
    STARTUPINFOW startup{.cb = sizeof startup,
                         .dwFlags = STARTF_USESTDHANDLES,
                         .hStdInput = GetStdHandle(STD_INPUT_HANDLE),
                         .hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE),
                         .hStdError = GetStdHandle(STD_ERROR_HANDLE)};
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &startup, &started)) {
        Write(STD_ERROR_HANDLE, "spawn failed\n");
        std::exit(3);
    }
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
}

bool StartsWith(std::wstring_view text, std::wstring_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int next = 1;
    if (argc > 2 && std::wstring_view(argv[1]) == L"-C") {
        SetCurrentDirectoryW(argv[2]);
        next = 3;
    }
    for (; next < argc; ++next) {
        const std::wstring_view command = argv[next];
        if (StartsWith(command, L"out:")) {
            Write(STD_OUTPUT_HANDLE, Unescape(Utf8(command.substr(4))));
        } else if (StartsWith(command, L"err:")) {
            Write(STD_ERROR_HANDLE, Unescape(Utf8(command.substr(4))));
        } else if (StartsWith(command, L"lines:")) {
            WriteLines(command.substr(6));
        } else if (StartsWith(command, L"sleep:")) {
            Sleep(std::wcstoul(command.data() + 6, nullptr, 10));
        } else if (command == L"cwd") {
            wchar_t folder[MAX_PATH];
            const DWORD length = GetCurrentDirectoryW(MAX_PATH, folder);
            Write(STD_OUTPUT_HANDLE, Utf8(std::wstring_view(folder, length)) + "\n");
        } else if (StartsWith(command, L"env:")) {
            const std::wstring name(command.substr(4));
            wchar_t value[32767];
            const DWORD length = GetEnvironmentVariableW(name.c_str(), value, 32767);
            Write(STD_OUTPUT_HANDLE,
                  Utf8(std::wstring_view(value, length < 32767 ? length : 0)) + "\n");
        } else if (command == L"pid") {
            Write(STD_OUTPUT_HANDLE, "pid " + std::to_string(GetCurrentProcessId()) + "\n");
        } else if (StartsWith(command, L"spawn:")) {
            int count = static_cast<int>(std::wcstol(command.data() + 6, nullptr, 10));
            if (count > argc - next - 1) count = argc - next - 1;
            Spawn(count, argv + next + 1);
            next += count;
        } else if (StartsWith(command, L"load:")) {
            const std::wstring name(command.substr(5));
            const HMODULE module = LoadLibraryW(name.c_str());
            wchar_t path[MAX_PATH] = {};
            const DWORD length = module ? GetModuleFileNameW(module, path, MAX_PATH) : 0;
            Write(STD_OUTPUT_HANDLE, module
                                         ? "loaded " + Utf8(std::wstring_view(path, length)) + "\n"
                                         : std::string("not loaded\n"));
        } else if (StartsWith(command, L"exit:")) {
            return static_cast<int>(std::wcstol(command.data() + 5, nullptr, 10));
        } else {
            Write(STD_ERROR_HANDLE, "child: unknown command " + Utf8(command) + "\n");
            return 2;
        }
    }
    return 0;
}
