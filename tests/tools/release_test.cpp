#include "setup/tools/release.h"

#include "setup/job/channel.h"
#include "setup/tools/digest.h"
#include "setup/tools/http.h"
#include "tests/support/http_server.h"
#include "tests/support/release_document.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <cwchar>
#include <future>
#include <iterator>
#include <random>
#include <thread>

namespace murk::setup {
namespace {

using test::AssetEntry;
using test::HttpServer;
using test::ReleaseDocument;

const std::string kDigestA = "sha256:" + std::string(64, 'a');
const std::string kDigestB =
    "sha256:0123456789ABCDEF0123456789abcdef0123456789abcdef0123456789ABCDEF";

std::wstring FailureOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const Failed& failure) {
        return failure.message;
    }
    return L"(no failure)";
}

// The worker thread runs the lookups with a default std::thread stack: so do these tests.
template <class Result>
Result OnWorker(std::function<Result()> work) {
    return std::async(std::launch::async, std::move(work)).get();
}

TEST(FindAsset, FirstWholeNameMatchWinsWhateverItsCase) {
    const std::string document = ReleaseDocument(
        "v2.47.1.windows.1",
        {{"MinGit-2.47.1-busybox-64-bit.zip", "https://dl.test/a/MinGit-2.47.1-busybox-64-bit.zip",
          kDigestA},
         {"MinGit-2.47.1-64-bit.zip.sig", "https://dl.test/b/MinGit-2.47.1-64-bit.zip.sig", ""},
         {"mingit-2.47.1-64-BIT.ZIP", "https://dl.test/c/mingit-2.47.1-64-BIT.ZIP", ""},
         {"MinGit-2.47.2-64-bit.zip", "https://dl.test/d/MinGit-2.47.2-64-bit.zip", kDigestB}});
    const auto found = FindAsset(document, "MinGit-[0-9.]+-64-bit\\.zip");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->url, L"https://dl.test/c/mingit-2.47.1-64-BIT.ZIP");
    // Its own object lists no digest; the neighbours' digests are not its.
    EXPECT_EQ(found->sha256, "");

    const std::string ninja = ReleaseDocument(
        "v1.12.1", {{"ninja-win-arm64.zip", "https://dl.test/ninja-win-arm64.zip", kDigestA},
                    {"ninja-win.zip", "https://dl.test/ninja-win.zip", kDigestB}});
    const auto win = FindAsset(ninja, "ninja-win\\.zip");
    ASSERT_TRUE(win);
    EXPECT_EQ(win->url, L"https://dl.test/ninja-win.zip");
    EXPECT_EQ(win->sha256, "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef");
}

TEST(FindAsset, DigestIsTakenOnlyFromTheChosenAssetItself) {
    // A digest after the URL still belongs to the object; one in a nested object does not;
    // one that isn't SHA-256 counts as none.
    const std::string after =
        "{\"assets\":[{\"name\":\"x\",\"browser_download_url\":\"https://dl.test/ninja-win.zip\","
        "\"digest\" : \"sha256:" +
        std::string(64, 'F') + "\"}]}";
    EXPECT_EQ(FindAsset(after, "ninja-win\\.zip")->sha256, std::string(64, 'f'));

    const std::string nested =
        "{\"assets\":[{\"uploader\":{\"digest\":\"" + kDigestA +
        "\"},\"label\":\"a } brace\",\"browser_download_url\":\"https://dl.test/ninja-win.zip\"}]}";
    EXPECT_EQ(FindAsset(nested, "ninja-win\\.zip")->sha256, "");

    const std::string other = "{\"assets\":[{\"digest\":\"sha512:" + std::string(128, 'a') +
                              "\",\"browser_download_url\":\"https://dl.test/ninja-win.zip\"}]}";
    EXPECT_EQ(FindAsset(other, "ninja-win\\.zip")->sha256, "");

    const std::string shortDigest =
        "{\"digest\":\"sha256:abc\",\"browser_download_url\":\"n.zip\"}";
    EXPECT_EQ(FindAsset(shortDigest, "n\\.zip")->sha256, "");
}

TEST(FindAsset, UrlWithoutSlashIsItsOwnFileNameAndOddBodiesFindNothing) {
    const auto found =
        FindAsset("{\"browser_download_url\": \"ninja-win.zip\"}", "ninja-win\\.zip");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->url, L"ninja-win.zip");
    EXPECT_FALSE(FindAsset("", "ninja-win\\.zip"));
    EXPECT_FALSE(FindAsset("<html>Service unavailable</html>", "ninja-win\\.zip"));
    EXPECT_FALSE(FindAsset("{\"browser_download_url\": \"\"}", ".*"));
}

TEST(FindAsset, HugeAndOddDocumentsNeitherCrashNorConfuse) {
    const char* pattern = "llvm-mingw-[0-9]+-ucrt-x86_64\\.zip";
    const std::string wanted =
        "\"browser_download_url\": \"https://dl.test/llvm-mingw-20241217-ucrt-x86_64.zip\"";
    const std::string oneLongValue = "{\"browser_download_url\": \"https://dl.test/" +
                                     std::string(1 << 20, 'x') +
                                     "llvm-mingw-20241217-ucrt-x86_64.zip\", " + wanted + "}";
    std::string manyKeys;
    while (manyKeys.size() < (10u << 20))
        manyKeys += "\"browser_download_url\":\"a\",";
    std::string openQuotes(10u << 20, ' ');
    for (std::size_t i = 0; i < openQuotes.size(); i += 64)
        openQuotes.replace(i, 24, "\"browser_download_url\":\"");
    std::string binary(10u << 20, '\0');
    std::mt19937 random(5);
    for (char& c : binary)
        c = static_cast<char>(random());
    const std::string spaces =
        "\"browser_download_url\"" + std::string(1 << 20, ' ') + ":\"x.zip\"";

    const auto found = OnWorker<std::optional<Download>>([&] {
        EXPECT_FALSE(FindAsset(std::string(10u << 20, 'a'), pattern));
        EXPECT_FALSE(FindAsset(manyKeys, pattern));
        EXPECT_FALSE(FindAsset(manyKeys + wanted, pattern) == std::nullopt);
        EXPECT_FALSE(FindAsset(openQuotes, pattern));
        EXPECT_FALSE(FindAsset(binary, pattern));
        EXPECT_FALSE(FindAsset(spaces, "x\\.zip"));
        return FindAsset(oneLongValue, pattern);
    });
    ASSERT_TRUE(found);
    EXPECT_EQ(found->url, L"https://dl.test/llvm-mingw-20241217-ucrt-x86_64.zip");
}

TEST(FindTagName, FirstNonEmptyTagCounts) {
    EXPECT_EQ(FindTagName(ReleaseDocument("v0.3.1", {})), "v0.3.1");
    EXPECT_EQ(FindTagName("{\"tag_name\": \"\", \"x\": {\"tag_name\" :\"v2\"}}"), "v2");
    EXPECT_FALSE(FindTagName("{\"tag_name\": null}"));
    const auto tag = OnWorker<std::optional<std::string>>([] {
        EXPECT_FALSE(FindTagName("{\"tag_name\": \"" + std::string(1 << 20, 'v') + "\"}"));
        std::string many;
        while (many.size() < (10u << 20))
            many += "\"tag_name\":\"";
        EXPECT_FALSE(FindTagName(many));
        return FindTagName(many + "\"tag_name\":\"v9\"");
    });
    EXPECT_EQ(tag, "v9");
}

TEST(FindNewestPython312, NumericPatchOrderAndNoPreReleases) {
    EXPECT_EQ(FindNewestPython312("{\"versions\":[\"3.11.9\",\"3.12.0b1\",\"3.12.0-rc1\","
                                  "\"3.12.9\",\"3.12.10\",\"3.12.2\",\"3.13.1\"]}"),
              "3.12.10");
    EXPECT_EQ(FindNewestPython312("[\"3.12.0\"]"), "3.12.0");
    EXPECT_FALSE(FindNewestPython312("{\"versions\":[\"3.12.0b1\",\"3.12.0-rc1\",\"3.13.0\"]}"));
    EXPECT_FALSE(FindNewestPython312(""));
    // A "patch level" too large for any number is not taken for the newest.
    EXPECT_EQ(FindNewestPython312("[\"3.12.4\",\"3.12.99999999999999999999999\"]"), "3.12.4");
    const auto newest = OnWorker<std::optional<std::string>>([] {
        std::string many = "[";
        while (many.size() < (10u << 20))
            many += "\"3.12.1\",";
        EXPECT_FALSE(FindNewestPython312("\"3.12." + std::string(1 << 20, '7') + "\""));
        return FindNewestPython312(many + "\"3.12.11\"]");
    });
    EXPECT_EQ(newest, "3.12.11");
}

TEST(FindPackageSha512, OnlyTheFirstListedHashIfItIsASha512) {
    const std::string hash = Base64(std::string(64, 'Z'));
    const auto leaf = [](const std::string& algorithm, const std::string& value) {
        return "{\"packageHash\": \"" + value + "\", \"packageHashAlgorithm\": \"" + algorithm +
               "\", \"packageHash\": \"" + Base64(std::string(64, 'Y')) + "\"}";
    };
    EXPECT_EQ(FindPackageSha512(leaf("SHA512", hash)), hash);
    EXPECT_FALSE(FindPackageSha512(leaf("SHA256", hash)));
    EXPECT_FALSE(FindPackageSha512(leaf("SHA512", Base64(std::string(32, 'Z')))));
    EXPECT_FALSE(FindPackageSha512(leaf("SHA512", hash.substr(4))));
    EXPECT_EQ(
        FindCatalogEntry("{\"catalogEntry\": \"https://x.test/a.json\", \"catalogEntry\": \"b\"}"),
        "https://x.test/a.json");
}

TEST(LatestAsset, AsksForTheLatestReleaseAndWordsBothFailures) {
    HttpServer server;
    server.Serve("/repos/ninja-build/ninja/releases/latest",
                 {.body = ReleaseDocument("v1.12.1", {{"ninja-win.zip", "ninja-win.zip", ""}})});
    const Download download =
        LatestAssetAt(server.Origin(), "ninja-build/ninja", "ninja-win\\.zip");
    EXPECT_EQ(download.url, L"ninja-win.zip");
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0].line, "GET /repos/ninja-build/ninja/releases/latest HTTP/1.1");
    EXPECT_TRUE(server.Requests()[0].Header("Accept").empty());

    EXPECT_EQ(FailureOf([&] { LatestAssetAt(server.Origin(), "Kitware/CMake", "x"); }),
              L"Couldn't reach GitHub to find Kitware/CMake. Check the internet connection.");
    server.Serve("/repos/Kitware/CMake/releases/latest", {.body = ""});
    EXPECT_EQ(FailureOf([&] { LatestAssetAt(server.Origin(), "Kitware/CMake", "x"); }),
              L"No download of Kitware/CMake matched what Setup expects.");
    server.Serve("/repos/Kitware/CMake/releases/latest", {.body = "rate limited, try later"});
    EXPECT_EQ(FailureOf([&] { LatestAssetAt(server.Origin(), "Kitware/CMake", "x"); }),
              L"No download of Kitware/CMake matched what Setup expects.");
    // A document longer than any release's is none, whatever it holds.
    const std::string document = ReleaseDocument("v3.31.2", {{"x", "x", ""}});
    server.Serve("/repos/Kitware/CMake/releases/latest",
                 {.body = document + std::string(kLongestDocument + 1 - document.size(), ' ')});
    EXPECT_EQ(FailureOf([&] { LatestAssetAt(server.Origin(), "Kitware/CMake", "x"); }),
              L"No download of Kitware/CMake matched what Setup expects.");
}

TEST(LatestAsset, ASpentRateLimitIsNamedAfterOneRequest) {
    HttpServer server;
    // Half an hour from now, on the PC's clock as Windows tells it: not as the C runtime does,
    // after a TZ that disagrees with Windows.
    _wputenv_s(L"TZ", L"XYZ+11:17");
    const std::time_t reset = std::time(nullptr) + 1800;
    SYSTEMTIME now{};
    GetLocalTime(&now);
    wchar_t clock[8];
    std::swprintf(clock, std::size(clock), L"%02u:%02u", (now.wHour + (now.wMinute + 30) / 60) % 24,
                  (now.wMinute + 30) % 60);
    const std::string target = "/repos/Kitware/CMake/releases/latest";
    const auto lookup = [&] { LatestAssetAt(server.Origin(), "Kitware/CMake", "x"); };
    const std::wstring spent = L"GitHub's limit on lookups from this network is used up. ";
    server.Serve(target, {.status = 403,
                          .headers = {{"X-RateLimit-Remaining", "0"},
                                      {"X-RateLimit-Reset", std::to_string(reset)}}});
    EXPECT_EQ(FailureOf(lookup), spent + L"Try again after " + clock + L".");
    EXPECT_EQ(server.CountRequests(target), 1u);
    server.Serve(target, {.status = 429, .headers = {{"Retry-After", "61"}}});
    EXPECT_EQ(FailureOf(lookup), spent + L"Try again in 2 minutes.");
    server.Serve(target, {.status = 403, .headers = {{"X-RateLimit-Remaining", "0"}}});
    EXPECT_EQ(FailureOf(lookup), spent + L"Try again later.");
    // A refusal with lookups left is something else.
    server.Serve(target, {.status = 403, .headers = {{"X-RateLimit-Remaining", "12"}}});
    EXPECT_EQ(FailureOf(lookup),
              L"Couldn't reach GitHub to find Kitware/CMake. Check the internet connection.");
    EXPECT_EQ(server.CountRequests(target), 4u);
    _wputenv_s(L"TZ", L"");
}

}  // namespace
}  // namespace murk::setup
