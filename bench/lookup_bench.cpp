// Time of the release lookups on realistic and on hostile documents (median of several runs).
#include "setup/job/channel.h"
#include "setup/tools/release.h"
#include "tests/support/http_server.h"
#include "tests/support/release_document.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace murk;

double MedianMilliseconds(int runs, const std::function<void()>& work) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        LARGE_INTEGER start;
        LARGE_INTEGER end;
        QueryPerformanceCounter(&start);
        work();
        QueryPerformanceCounter(&end);
        times.push_back(1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) /
                        static_cast<double>(frequency.QuadPart));
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// A release with count assets of other platforms and the wanted one last.
std::string Document(int count, std::size_t notes) {
    std::vector<test::AssetEntry> assets;
    for (int i = 0; i < count; ++i) {
        const std::string name = "llvm-mingw-20241217-msvcrt-variant" + std::to_string(i) + ".zip";
        assets.push_back({name,
                          "https://dl.test/mstorsjo/llvm-mingw/releases/download/20241217/" + name,
                          "sha256:" + std::string(64, 'c')});
    }
    const std::string wanted = "llvm-mingw-20241217-ucrt-x86_64.zip";
    assets.push_back({wanted, "https://dl.test/releases/download/20241217/" + wanted,
                      "sha256:" + std::string(64, 'd')});
    std::string text;
    while (text.size() < notes)
        text += "\\r\\n* Updated LLVM; fixed a linker issue (#1234).";
    return test::ReleaseDocument("20241217", assets, text);
}

void Report(const char* what, const std::string& document, int runs, bool expectFound) {
    constexpr char kPattern[] = "llvm-mingw-[0-9]+-ucrt-x86_64\\.zip";
    bool found = false;
    const double ms =
        MedianMilliseconds(runs, [&] { found = setup::FindAsset(document, kPattern).has_value(); });
    std::printf("%-52s %8.0f KB %9.2f ms%s\n", what, static_cast<double>(document.size()) / 1024,
                ms, found == expectFound ? "" : "  (UNEXPECTED RESULT)");
}

}  // namespace

int main() {
    std::printf("FindAsset (the pattern search of LatestAsset), median:\n");
    const std::string realistic = Document(100, 110 * 1024);
    Report("realistic release, 100 assets, wanted last", realistic, 21, true);
    const std::string big = Document(2500, 600 * 1024);
    Report("large release, 2500 assets, wanted last", big, 7, true);

    std::string manyKeys;
    while (manyKeys.size() < (10u << 20))
        manyKeys += "\"browser_download_url\":\"a.zip\",";
    Report("10 MB of short download URLs, none fitting", manyKeys, 3, false);
    const std::string longValue =
        "{\"browser_download_url\": \"https://dl.test/" + std::string(1 << 20, 'x') + "\"}";
    Report("one 1 MB download URL", longValue, 5, false);
    Report("10 MB without a quote", std::string(10u << 20, 'a'), 3, false);
    std::string binary(10u << 20, '\0');
    std::mt19937 random(7);
    for (char& c : binary)
        c = static_cast<char>(random());
    Report("10 MB of random bytes", binary, 3, false);

    std::string versions = "{\"versions\":[";
    for (int minor = 0; minor < 14; ++minor)
        for (int patch = 0; patch < 40; ++patch)
            versions += "\"3." + std::to_string(minor) + "." + std::to_string(patch) + "\",";
    versions += "\"3.14.0\"]}";
    bool ok = false;
    const double python =
        MedianMilliseconds(21, [&] { ok = setup::FindNewestPython312(versions) == "3.12.39"; });
    std::printf("%-52s %8.0f KB %9.2f ms%s\n", "Python version list, 561 versions",
                static_cast<double>(versions.size()) / 1024, python, ok ? "" : "  (UNEXPECTED)");

    test::HttpServer server;
    server.Serve("/repos/mstorsjo/llvm-mingw/releases/latest", {.body = realistic});
    const double lookup = MedianMilliseconds(11, [&] {
        setup::LatestAssetAt(server.Origin(), "mstorsjo/llvm-mingw",
                             "llvm-mingw-[0-9]+-ucrt-x86_64\\.zip");
    });
    std::printf("%-52s %8.0f KB %9.2f ms\n", "LatestAsset over loopback HTTP, realistic release",
                static_cast<double>(realistic.size()) / 1024, lookup);
    return 0;
}
