// Download speed of Get from a loopback server into a file: plain, with the connection dropped
// every 64 MB, and beside a bare WinHTTP read loop (the platform's ceiling); how long a cancel
// takes to end Get while a server never answers and while a body stalls; the process's peak
// working set. Prints the URL it serves first; when a line arrives on standard input (after an
// outside client such as curl has fetched the same URL), it runs its own downloads. Without input
// it goes on. An argument sets the number of cancel samples (default 5).
#include "setup/job/channel.h"
#include "setup/job/process.h"
#include "setup/tools/digest.h"
#include "setup/tools/http.h"
#include "tests/support/http_server.h"
#include "tests/support/test_support.h"

#include <windows.h>
#include <psapi.h>
#include <winhttp.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace murk;

constexpr std::uint64_t kBodySize = 256ull << 20;
constexpr std::uint64_t kDropEvery = 64ull << 20;

double Now() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double PeakWorkingSetMiB() {
    PROCESS_MEMORY_COUNTERS counters{.cb = sizeof(PROCESS_MEMORY_COUNTERS)};
    K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return static_cast<double>(counters.PeakWorkingSetSize) / (1 << 20);
}

std::uint64_t SizeOf(const fs::path& file) {
    std::error_code error;
    const auto size = fs::file_size(file, error);
    return error ? 0 : size;
}

void PrintDownload(const char* what, bool ok, const fs::path& file, double seconds) {
    std::printf("%-44s %s, %llu bytes in %.2f s = %.0f MB/s\n", what, ok ? "ok" : "FAILED",
                static_cast<unsigned long long>(SizeOf(file)), seconds,
                static_cast<double>(kBodySize) / (1 << 20) / seconds);
}

// The platform alone: one synchronous request, QueryDataAvailable and ReadData into a file.
bool BareReadLoop(const test::HttpServer& server, const fs::path& file) {
    struct Closer {
        void operator()(HINTERNET handle) const { WinHttpCloseHandle(handle); }
    };
    using Internet = std::unique_ptr<void, Closer>;
    Internet session(WinHttpOpen(L"MURK-Setup", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                 WINHTTP_NO_PROXY_BYPASS, 0));
    Internet connection(WinHttpConnect(session.get(), L"127.0.0.1", server.Port(), 0));
    Internet request(WinHttpOpenRequest(connection.get(), L"GET", L"/big.zip", nullptr,
                                        WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0));
    if (!request ||
        !WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr))
        return false;
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    std::vector<char> buffer;
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request.get(), &available)) return false;
        if (available == 0) return true;
        buffer.resize(available);
        DWORD read = 0;
        if (!WinHttpReadData(request.get(), buffer.data(), available, &read)) return false;
        if (read == 0) return true;
        out.write(buffer.data(), read);
    }
}

// Seconds from the cancel until Get returns, once the server has reached its wait (ready).
double CancelLatency(const std::wstring& url, const std::function<bool()>& ready) {
    test::TempFolder folder;
    const fs::path file = folder / L"stalled.zip";
    setup::s_cancel = false;
    auto download =
        std::async(std::launch::async, [&] { return setup::Get(url, nullptr, &file, nullptr); });
    while (!ready())
        Sleep(10);
    Sleep(300);  // let the client settle into its wait
    const double start = Now();
    setup::s_cancel = true;
    download.get();
    const double seconds = Now() - start;
    setup::s_cancel = false;
    return seconds;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void PrintLatencies(const char* what, const std::vector<double>& samples) {
    std::printf("%-44s median %.3f s of", what, Median(samples));
    for (const double sample : samples)
        std::printf(" %.3f", sample);
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    const int samples = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    test::HttpServer server;
    server.Serve("/big.zip", {.generated = kBodySize});
    std::printf("url %s/big.zip\n", server.OriginUtf8().c_str());
    std::fflush(stdout);
    std::string line;
    std::getline(std::cin, line);

    test::TempFolder folder;
    const fs::path file = folder / L"big.zip";
    const double peakBefore = PeakWorkingSetMiB();
    double start = Now();
    bool ok = setup::Get(server.Origin() + L"/big.zip", nullptr, &file, nullptr);
    PrintDownload("Get 256 MB into a file:", ok, file, Now() - start);
    const double peakAfter = PeakWorkingSetMiB();

    start = Now();
    const auto digest = setup::Sha256OfFile(file);
    const double hashing = Now() - start;

    // A reset throws away what the client's socket still held; a close loses nothing.
    for (const bool reset : {true, false}) {
        const std::string target = reset ? "/reset.zip" : "/closed.zip";
        server.Serve(target, {.generated = kBodySize, .dropAfter = kDropEvery, .reset = reset});
        const std::uint64_t sentBefore = server.BodyBytesSent();
        start = Now();
        ok = setup::Get(server.Origin() + setup::Widen(target), nullptr, &file, nullptr);
        PrintDownload(reset ? "Get 256 MB, connection reset every 64 MB:"
                            : "Get 256 MB, connection closed every 64 MB:",
                      ok, file, Now() - start);
        const auto dropped = setup::Sha256OfFile(file);
        std::printf("%-44s %.3f x the file's size, %zu requests, %s\n", "  bytes the server sent:",
                    static_cast<double>(server.BodyBytesSent() - sentBefore) /
                        static_cast<double>(kBodySize),
                    server.CountRequests(target),
                    dropped && digest && *dropped == *digest ? "same bytes" : "DIFFERENT BYTES");
    }

    start = Now();
    ok = BareReadLoop(server, file);
    PrintDownload("bare WinHTTP read loop, 256 MB into a file:", ok, file, Now() - start);

    // A server that accepts and reads the request, then says nothing until let go.
    test::HttpServer silent;
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    silent.Serve("/silent", {.beforeAnswer = [go] { WaitForSingleObject(go, 120000); }});
    silent.Serve("/stall", {.pieceSize = 64 << 10,
                            .pause = [go](auto) { WaitForSingleObject(go, 120000); },
                            .generated = 1 << 20});
    std::vector<double> never;
    std::vector<double> stalled;
    for (int i = 0; i < samples; ++i) {
        ResetEvent(go);
        const std::size_t seen = silent.Connections();
        never.push_back(CancelLatency(silent.Origin() + L"/silent",
                                      [&] { return silent.Connections() > seen; }));
        SetEvent(go);
    }
    for (int i = 0; i < samples; ++i) {
        ResetEvent(go);
        const std::uint64_t sent = silent.BodyBytesSent();
        stalled.push_back(CancelLatency(silent.Origin() + L"/stall",
                                        [&] { return silent.BodyBytesSent() > sent; }));
        SetEvent(go);
    }
    PrintLatencies("cancel while the server never answers:", never);
    PrintLatencies("cancel while the body stalls:", stalled);

    std::printf("peak working set: %.1f MiB before the first download, %.1f MiB after it\n",
                peakBefore, peakAfter);
    std::printf("SHA-256 of the 256 MB file (CNG): %.2f s = %.0f MB/s (%s)\n", hashing,
                static_cast<double>(kBodySize) / (1 << 20) / hashing,
                digest ? digest->substr(0, 16).c_str() : "failed");
    CloseHandle(go);
    return 0;
}
