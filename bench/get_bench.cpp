// Download speed of Get from a loopback server into a file, and the process's peak working set.
// Prints the URL it serves first; when a line arrives on standard input (after an outside client
// such as curl has fetched the same URL), it runs its own download. Without input it goes on.
#include "setup/tools/digest.h"
#include "setup/tools/http.h"
#include "tests/support/http_server.h"
#include "tests/support/test_support.h"

#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>

namespace {

constexpr std::uint64_t kBodySize = 256ull << 20;

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

double PeakWorkingSetMiB() {
    PROCESS_MEMORY_COUNTERS counters{.cb = sizeof(PROCESS_MEMORY_COUNTERS)};
    K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return static_cast<double>(counters.PeakWorkingSetSize) / (1 << 20);
}

}  // namespace

int main() {
    using namespace murk;
    test::HttpServer server;
    server.Serve("/big.zip", {.generated = kBodySize});
    std::printf("url %s/big.zip\n", server.OriginUtf8().c_str());
    std::fflush(stdout);
    std::string line;
    std::getline(std::cin, line);

    test::TempFolder folder;
    const std::filesystem::path file = folder / L"big.zip";
    const double peakBefore = PeakWorkingSetMiB();
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    QueryPerformanceCounter(&start);
    const bool ok = setup::Get(server.Origin() + L"/big.zip", nullptr, &file, nullptr);
    QueryPerformanceCounter(&end);
    const double peakAfter = PeakWorkingSetMiB();
    std::error_code error;
    const auto size = std::filesystem::file_size(file, error);
    const double seconds = Seconds(start, end);
    std::printf("Get 256 MB into a file: %s, %llu bytes in %.2f s = %.0f MB/s\n",
                ok ? "ok" : "FAILED", static_cast<unsigned long long>(size), seconds,
                static_cast<double>(kBodySize) / (1 << 20) / seconds);
    std::printf("peak working set: %.1f MiB before the download, %.1f MiB after it\n", peakBefore,
                peakAfter);

    QueryPerformanceCounter(&start);
    const auto digest = setup::Sha256OfFile(file);
    QueryPerformanceCounter(&end);
    std::printf("SHA-256 of the 256 MB file (CNG): %.2f s = %.0f MB/s (%s)\n", Seconds(start, end),
                static_cast<double>(kBodySize) / (1 << 20) / Seconds(start, end),
                digest ? digest->substr(0, 16).c_str() : "failed");
    return ok ? 0 : 1;
}
