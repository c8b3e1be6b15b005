// What reading setup.log costs when a tool folder without Setup's marker is met (an install
// from before the marker): every job appends to the log and a chatty build writes 25 MB, so it
// may be hundreds of MB. Measured on 200 MB of build-like lines in which no tool's download is
// logged, so the whole log is read; the cache is warm after the first round.
#include "maintenance/maintenance.h"

#include "tests/support/test_support.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kLogBytes = 200u << 20;

// Lines as a build prints them, with some that begin like a tool's lines without being a
// download.
std::string Lines() {
    std::string lines;
    for (int i = 0; i < 1000; ++i) {
        std::string line = "[" + std::to_string(i) +
                           "/9000] Building CXX object CMakeFiles/game.dir/"
                           "generated/ppc/func_" +
                           std::to_string(i) + ".cpp.obj";
        if (i % 100 == 0) line = "Clang: C:\\murk\\tools\\Clang\\bin\\clang++.exe";
        if (i % 100 == 50) line = "Python: downloading the rest";
        lines += line + "\r\n";
    }
    return lines;
}

void WriteLog(const fs::path& file) {
    const std::string lines = Lines();
    const HANDLE out = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    for (std::size_t written = 0; written < kLogBytes; written += lines.size()) {
        DWORD done = 0;
        WriteFile(out, lines.data(), static_cast<DWORD>(lines.size()), &done, nullptr);
    }
    CloseHandle(out);
}

}  // namespace

int main() {
    murk::test::TempFolder install;
    const fs::path log = install / L"setup.log";
    WriteLog(log);
    std::error_code error;
    const double megabytes = static_cast<double>(fs::file_size(log, error)) / (1 << 20);
    for (int round = 0; round < 3; ++round) {
        const auto start = Clock::now();
        const auto found = murk::maintenance::DownloadsInLog(log);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        std::printf(
            "DownloadsInLog, %.0f MB without a download line: %.3f s (%.0f MB/s), %zu found\n",
            megabytes, seconds, megabytes / seconds, found.size());
    }
    return 0;
}
