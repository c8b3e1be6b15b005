// Stands in for the system's tar.exe: "tar -xf ARCHIVE -C FOLDER" unpacks the stored entries of
// a zip archive. Exit 0 when everything was unpacked, 1 for a damaged archive or a file it can't
// write, 2 for bad usage. With -xvf it writes "x PATH" for each entry to standard error as bsdtar
// does: the line end only once the entry is out, a reason after the path when it can't be. With
// STANDIN_TAR_GATE set to a file it waits before each entry until that file exists (10 s at
// most) and deletes it, as an unpack slowed down by an antivirus that the test paces.
// With STANDIN_TAR_HOLD set it then waits to be stopped (a minute at most), as an unpack that
// a cancel or a power cut cuts off after the program is out. A file whose name is the value of
// STANDIN_TAR_SKIP is left out, as an antivirus takes away what it mistakes for a threat.
#include "tests/support/standins/standin_support.h"

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace fs = std::filesystem;

namespace {

std::uint32_t Read16(const std::string& bytes, std::size_t at) {
    return static_cast<unsigned char>(bytes[at]) | static_cast<unsigned char>(bytes[at + 1]) << 8;
}

std::uint32_t Read32(const std::string& bytes, std::size_t at) {
    return Read16(bytes, at) | Read16(bytes, at + 2) << 16;
}

void Say(const std::string& text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text.data(), static_cast<DWORD>(text.size()),
              &written, nullptr);
}

void PassGate(const std::wstring& gate) {
    for (int waited = 0; !gate.empty() && !DeleteFileW(gate.c_str()) && waited < 10000;
         waited += 10)
        Sleep(10);
}

bool Unpack(const std::string& archive, const fs::path& folder, bool verbose) {
    const std::wstring skip = murk::standin::Variable(L"STANDIN_TAR_SKIP");
    const std::wstring gate = murk::standin::Variable(L"STANDIN_TAR_GATE");
    std::size_t at = 0;
    bool any = false;
    while (at + 30 <= archive.size() && Read32(archive, at) == 0x04034b50) {
        const std::uint32_t method = Read16(archive, at + 8);
        const std::uint32_t size = Read32(archive, at + 18);
        const std::uint32_t nameLength = Read16(archive, at + 26);
        const std::uint32_t extraLength = Read16(archive, at + 28);
        const std::size_t data = at + 30 + nameLength + extraLength;
        if (method != 0 || data + size > archive.size()) return false;
        const std::string name = archive.substr(at + 30, nameLength);
        if (name.empty() || name.front() == '/' || name.find("..") != std::string::npos)
            return false;
        const fs::path target = folder / fs::u8path(name);
        PassGate(gate);
        if (verbose) Say("x " + name);
        std::error_code error;
        if (name.back() == '/') {
            fs::create_directories(target, error);
        } else if (target.filename() != skip) {
            fs::create_directories(target.parent_path(), error);
            std::ofstream out(target, std::ios::binary | std::ios::trunc);
            out.write(archive.data() + data, size);
            if (!out) {
                Say((verbose ? "" : name) + ": Can't create '" + name + "'\n");
                return false;
            }
        }
        if (verbose) Say("\n");
        any = true;
        at = data + size;
    }
    return any && at + 4 <= archive.size() &&
           (Read32(archive, at) == 0x02014b50 || Read32(archive, at) == 0x06054b50);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring mode = argc == 5 ? argv[1] : L"";
    if ((mode != L"-xf" && mode != L"-xvf") || std::wstring(argv[3]) != L"-C") return 2;
    std::ifstream in(fs::path(argv[2]), std::ios::binary);
    if (!in) return 1;
    const std::string archive{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::error_code error;
    if (!fs::is_directory(argv[4], error)) return 1;
    if (!Unpack(archive, argv[4], mode == L"-xvf")) return 1;
    if (GetEnvironmentVariableW(L"STANDIN_TAR_HOLD", nullptr, 0)) Sleep(60000);
    return 0;
}
