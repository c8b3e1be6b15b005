#include "setup/tools/http.h"

#include "setup/job/channel.h"
#include "setup/job/process.h"
#include "tests/support/http_server.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

namespace murk::setup {
namespace {

namespace fs = std::filesystem;
using test::Collector;
using test::HttpResponse;
using test::HttpServer;
using test::ReadBytes;
using test::TempFolder;
using test::WriteBytes;

std::string Text(std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        text[i] = static_cast<char>('a' + i % 26);
    return text;
}

TEST(Get, KnownLengthArrivesInMemoryAndFileWithTheSetupUserAgent) {
    HttpServer server;
    const std::string body = Text(300000);
    server.Serve("/files/a.zip", {.body = body});
    TempFolder folder;
    const fs::path file = folder / L"a.zip";
    WriteBytes(file, "an older, longer archive that must be truncated away" + body);

    std::string memory;
    EXPECT_TRUE(Get(server.Origin() + L"/files/a.zip", &memory, &file, nullptr));
    EXPECT_EQ(memory, body);
    EXPECT_EQ(ReadBytes(file), body);

    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].line, "GET /files/a.zip HTTP/1.1");
    EXPECT_EQ(requests[0].Header("User-Agent"), std::vector<std::string>{"MURK-Setup"});
    // No token, no Accept header, no compression asked for.
    EXPECT_TRUE(requests[0].Header("Authorization").empty());
    EXPECT_TRUE(requests[0].Header("Accept-Encoding").empty());
}

TEST(Get, QueryStringReachesTheServerUnchanged) {
    HttpServer server;
    const std::string target = "/v3/index.json?semVerLevel=2.0.0&q=a%20b&x=%2F";
    server.Serve(target, {.body = "{}"});
    std::string memory;
    EXPECT_TRUE(Get(Widen(server.OriginUtf8() + target), &memory, nullptr, nullptr));
    EXPECT_EQ(memory, "{}");
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0].target, target);
}

TEST(Get, UnknownLengthSucceedsWithOneBusyProgressPair) {
    HttpServer server;
    const std::string body = Text(200000);
    server.Serve("/python.nupkg", {.body = body, .omitContentLength = true, .pieceSize = 10000});
    TempFolder folder;
    const fs::path file = folder / L"Python.zip";
    Collector window;

    EXPECT_TRUE(Get(server.Origin() + L"/python.nupkg", nullptr, &file, L"Python"));
    window.Drain();
    EXPECT_EQ(ReadBytes(file), body);
    EXPECT_EQ(window.progress, std::vector<int>{-1});
    ASSERT_EQ(window.statuses.size(), 1u);
    EXPECT_EQ(window.statuses[0], L"Downloading Python: 0 MB");
    EXPECT_TRUE(window.logs.empty());
}

TEST(Get, KnownLengthShowsARisingBarThatEndsFullWithTheSizeInTheStatus) {
    HttpServer server;
    const std::string body = Text(3 << 20);
    server.Serve("/git.zip", {.body = body, .pieceSize = 5000});
    TempFolder folder;
    const fs::path file = folder / L"Git.zip";
    Collector window;

    EXPECT_TRUE(Get(server.Origin() + L"/git.zip", nullptr, &file, L"Git"));
    window.Drain();
    EXPECT_EQ(ReadBytes(file).size(), body.size());
    // The window shows the latest of each when it takes them: a rising bar that ends full.
    ASSERT_FALSE(window.progress.empty());
    EXPECT_GE(window.progress.front(), 0);
    EXPECT_EQ(window.progress.back(), 100);
    for (std::size_t i = 1; i < window.progress.size(); ++i)
        EXPECT_LT(window.progress[i - 1], window.progress[i]);
    ASSERT_FALSE(window.statuses.empty());
    EXPECT_EQ(window.statuses.back(), L"Downloading Git: 3 MB of 3 MB");
    // Progress text is for the status line only.
    EXPECT_TRUE(window.logs.empty());
}

TEST(Get, WithoutLabelNothingIsPosted) {
    HttpServer server;
    server.Serve("/doc", {.body = Text(100000), .pieceSize = 1000});
    Collector window;
    std::string memory;
    EXPECT_TRUE(Get(server.Origin() + L"/doc", &memory, nullptr, nullptr));
    window.Drain();
    EXPECT_EQ(memory.size(), 100000u);
    EXPECT_TRUE(window.events.empty());
}

TEST(Get, ZeroLengthBodySucceedsWithoutProgress) {
    HttpServer server;
    server.Serve("/empty", {.body = ""});
    TempFolder folder;
    const fs::path file = folder / L"empty.zip";
    Collector window;
    std::string memory;
    EXPECT_TRUE(Get(server.Origin() + L"/empty", &memory, &file, L"Ninja"));
    window.Drain();
    EXPECT_TRUE(memory.empty());
    EXPECT_TRUE(fs::exists(file));
    EXPECT_EQ(fs::file_size(file), 0u);
    EXPECT_TRUE(window.events.empty());
}

TEST(Get, NotFoundFailsAndLeavesAnEmptyFile) {
    HttpServer server;
    TempFolder folder;
    const fs::path file = folder / L"Git.zip";
    WriteBytes(file, "a partial archive from an earlier run");
    std::string memory;
    EXPECT_FALSE(Get(server.Origin() + L"/missing.zip", &memory, &file, nullptr));
    EXPECT_TRUE(fs::exists(file));
    EXPECT_EQ(fs::file_size(file), 0u);
    EXPECT_EQ(server.CountRequests("/missing.zip"), 1u);

    server.Serve("/limited", {.status = 403, .body = "{\"message\":\"API rate limit exceeded\"}"});
    EXPECT_FALSE(Get(server.Origin() + L"/limited", &memory, nullptr, nullptr));
}

TEST(Get, RedirectIsFollowedAndTheFinalStatusCounts) {
    HttpServer server;
    server.Serve("/latest", {.status = 302, .headers = {{"Location", "/v2/asset.zip"}}});
    server.Serve("/v2/asset.zip", {.body = "the archive"});
    server.Serve("/gone", {.status = 301, .headers = {{"Location", "/nowhere"}}});
    std::string memory;
    EXPECT_TRUE(Get(server.Origin() + L"/latest", &memory, nullptr, nullptr));
    EXPECT_EQ(memory, "the archive");
    EXPECT_EQ(server.CountRequests("/v2/asset.zip"), 1u);

    memory.clear();
    EXPECT_FALSE(Get(server.Origin() + L"/gone", &memory, nullptr, nullptr));
    EXPECT_EQ(server.CountRequests("/nowhere"), 1u);
}

TEST(Get, BodyShorterThanItsLengthFailsAndKeepsThePartialFile) {
    HttpServer server;
    server.Serve("/short", {.body = Text(5000), .contentLength = 9000});
    TempFolder folder;
    const fs::path file = folder / L"short.zip";
    EXPECT_FALSE(Get(server.Origin() + L"/short", nullptr, &file, nullptr));
    EXPECT_EQ(ReadBytes(file), Text(5000));
}

TEST(Get, BodyLongerThanItsLengthIsNeverTakenWhole) {
    HttpServer server;
    const std::string body = Text(9000);
    server.Serve("/long", {.body = body, .contentLength = 5000});
    std::string memory;
    const bool ok = Get(server.Origin() + L"/long", &memory, nullptr, nullptr);
    // WinHTTP may stop at the announced length or hand over everything the server sent; either
    // way the extra bytes never pass as the download.
    if (ok)
        EXPECT_EQ(memory, body.substr(0, 5000));
    else
        EXPECT_EQ(memory, body.substr(0, memory.size()));
}

TEST(Get, UnusableUrlsFailBeforeAnyRequest) {
    HttpServer server;
    std::string memory;
    EXPECT_FALSE(Get(L"not a url", &memory, nullptr, nullptr));
    EXPECT_FALSE(Get(L"ftp://127.0.0.1:" + std::to_wstring(server.Port()) + L"/x", &memory, nullptr,
                     nullptr));
    EXPECT_FALSE(
        Get(L"http://127.0.0.1:" + std::to_wstring(server.Port()) + L"/" + std::wstring(3000, L'a'),
            &memory, nullptr, nullptr));
    EXPECT_TRUE(server.Requests().empty());
}

TEST(Get, ClosedPortFailsQuietly) {
    unsigned short port = 0;
    {
        HttpServer gone;
        port = gone.Port();
    }
    Collector window;
    std::string memory;
    EXPECT_FALSE(
        Get(L"http://127.0.0.1:" + std::to_wstring(port) + L"/x", &memory, nullptr, L"Git"));
    window.Drain();
    EXPECT_TRUE(window.events.empty());
}

TEST(Get, CancelDuringAStalledTransferStopsBeforeTheNextChunk) {
    HttpServer server;
    std::promise<void> resume;
    std::shared_future<void> resumed = resume.get_future().share();
    const std::string body = Text(40000);
    server.Serve("/stall", {.body = body, .pieceSize = 4000, .pause = [resumed](std::size_t) {
                                resumed.wait();
                            }});
    TempFolder folder;
    const fs::path file = folder / L"CMake.zip";
    Collector window;
    s_cancel = false;

    std::future<bool> result = std::async(std::launch::async, [&] {
        return Get(server.Origin() + L"/stall", nullptr, &file, L"CMake");
    });
    // The first chunk has arrived once its progress is posted; the server now holds the rest.
    // Whatever happened, the server must be let go, or the test would hang instead of failing.
    EXPECT_TRUE(window.WaitUntil([&] { return !window.progress.empty(); }, 30000));
    s_cancel = true;
    resume.set_value();
    const bool ok = result.get();
    s_cancel = false;

    EXPECT_FALSE(ok);
    const std::string written = ReadBytes(file);
    EXPECT_GT(written.size(), 0u);
    EXPECT_LE(written.size(), 4000u);
    EXPECT_EQ(written, body.substr(0, written.size()));
}

}  // namespace
}  // namespace murk::setup
