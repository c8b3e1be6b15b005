// Stands in for the system's tar.exe: "tar -xvf ARCHIVE -C FOLDER" unpacks the stored entries of
// a zip archive. Exit 0 when everything was unpacked, 1 for a damaged archive, 2 for bad usage.
// It writes "x PATH" per entry to standard error as bsdtar does, the line end once the entry is
// out. With STANDIN_TAR_GATE naming a file it waits before each entry until that file exists (10
// s at most) and deletes it: a slow unpack that a test paces.
// With STANDIN_TAR_HOLD set it then waits to be stopped (a minute at most), as an unpack that
// a cancel or a power cut cuts off after the program is out. A file whose name is the value of
// STANDIN_TAR_SKIP is left out, as an antivirus takes away what it mistakes for a threat.
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

bool Unpack(const std::string& archive, const fs::path& folder) {
    wchar_t skip[MAX_PATH] = L"";
    GetEnvironmentVariableW(L"STANDIN_TAR_SKIP", skip, MAX_PATH);
    wchar_t gate[MAX_PATH] = L"";
    GetEnvironmentVariableW(L"STANDIN_TAR_GATE", gate, MAX_PATH);
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD written = 0;
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
        for (int waited = 0; gate[0] && !DeleteFileW(gate) && waited < 10000; waited += 10)
            Sleep(10);
        const std::string listed = "x " + name;
        WriteFile(err, listed.data(), listed.size(), &written, nullptr);
        std::error_code error;
        if (name.back() == '/') {
            fs::create_directories(target, error);
        } else if (target.filename() != skip) {
            fs::create_directories(target.parent_path(), error);
            std::ofstream out(target, std::ios::binary | std::ios::trunc);
            out.write(archive.data() + data, size);
            if (!out) return false;
        }
        WriteFile(err, "\n", 1, &written, nullptr);
        any = true;
        at = data + size;
    }
    return any && at + 4 <= archive.size() &&
           (Read32(archive, at) == 0x02014b50 || Read32(archive, at) == 0x06054b50);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 5 || std::wstring(argv[1]) != L"-xvf" || std::wstring(argv[3]) != L"-C") return 2;
    std::ifstream in(fs::path(argv[2]), std::ios::binary);
    if (!in) return 1;
    const std::string archive{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::error_code error;
    if (!fs::is_directory(argv[4], error)) return 1;
    if (!Unpack(archive, argv[4])) return 1;
    if (GetEnvironmentVariableW(L"STANDIN_TAR_HOLD", nullptr, 0)) Sleep(60000);
    return 0;
}
