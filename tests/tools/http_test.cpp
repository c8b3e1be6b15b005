#include "setup/tools/http.h"
#include "setup/tools/proxy.h"

#include <winsock2.h>
#include <iphlpapi.h>
#include <winhttp.h>

#include "setup/job/channel.h"
#include "setup/job/process.h"
#include "tests/support/http_server.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
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

// Gets url into file while the window takes what Get posts; shown is set once the window has
// taken a value of the bar.
bool GetWhileShowing(Collector& window, const std::wstring& url, const fs::path& file,
                     const wchar_t* label, test::Event& shown) {
    bool got = false;
    EXPECT_TRUE(window.RunWhileTaking([&] { got = Get(url, nullptr, &file, label); },
                                      [&] {
                                          if (!window.progress.empty()) shown.Set();
                                      }));
    return got;
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
    // Halfway, the body waits until the window has taken the pair: anything posted after it
    // would be taken too.
    test::Event shown;
    server.Serve("/python.nupkg", {.body = body,
                                   .omitContentLength = true,
                                   .pieceSize = 10000,
                                   .pause = [&](std::size_t pieces) {
                                       if (pieces == 10) shown.Wait(30000);
                                   }});
    TempFolder folder;
    const fs::path file = folder / L"Python.zip";
    Collector window;

    EXPECT_TRUE(
        GetWhileShowing(window, server.Origin() + L"/python.nupkg", file, L"Python", shown));
    EXPECT_EQ(ReadBytes(file), body);
    EXPECT_EQ(window.progress, std::vector<int>{-1});
    ASSERT_EQ(window.statuses.size(), 1u);
    EXPECT_EQ(window.statuses[0], L"Downloading Python: 0 MB");
    EXPECT_TRUE(window.logs.empty());
}

TEST(Get, KnownLengthShowsARisingBarThatEndsFullWithTheSizeInTheStatus) {
    HttpServer server;
    const std::string body = Text(3 << 20);
    // Halfway, the body waits until the window has taken a value: it sees more than the end.
    test::Event shown;
    server.Serve("/git.zip", {.body = body, .pieceSize = 5000, .pause = [&](std::size_t pieces) {
                                  if (pieces == 300) shown.Wait(30000);
                              }});
    TempFolder folder;
    const fs::path file = folder / L"Git.zip";
    Collector window;

    EXPECT_TRUE(GetWhileShowing(window, server.Origin() + L"/git.zip", file, L"Git", shown));
    EXPECT_EQ(ReadBytes(file).size(), body.size());
    // The window shows the latest of each when it takes them: a rising bar that ends full.
    ASSERT_GE(window.progress.size(), 2u);
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

// Its callers word the message. (A document too long for memory: see the release lookup.)
TEST(Get, TellsWhyItFailed) {
    HttpServer server;
    server.Serve("/away", {.status = 302, .headers = {{"Location", "http://example.invalid/x"}}});
    GetFailure failure;
    std::string memory;
    EXPECT_FALSE(Get(server.Origin() + L"/none", &memory, nullptr, nullptr, nullptr, &failure));
    EXPECT_EQ(failure.cause, GetFailure::kStatus);
    EXPECT_EQ(failure.status, 404u);
    EXPECT_FALSE(Get(server.Origin() + L"/away", &memory, nullptr, nullptr, nullptr, &failure));
    EXPECT_EQ(failure.cause, GetFailure::kRefused);

    // What WinHTTP reports of a proxy that wants a sign-in or of a failed handshake: the scheme to
    // sign in by, or the cause (the proxy's words: see the tools step's tests).
    using enum GetFailure::Cause;
    using Way = std::pair<unsigned long, GetFailure::Cause>;
    const auto read = [](const Report& report) {
        const Reading reading = ReadReport(report);
        return Way(reading.signInScheme, reading.cause);
    };
    const unsigned long ntlm = WINHTTP_AUTH_SCHEME_NTLM, negotiate = WINHTTP_AUTH_SCHEME_NEGOTIATE;
    EXPECT_EQ(read({.status = 407, .proxySchemes = ntlm | negotiate | WINHTTP_AUTH_SCHEME_BASIC}),
              Way(negotiate, kNone));
    EXPECT_EQ(read({.status = 407, .proxySchemes = ntlm}), Way(ntlm, kNone));
    EXPECT_EQ(read({.status = 407, .proxySchemes = ntlm, .signedIn = true}), Way(0, kProxySignIn));
    EXPECT_EQ(read({.status = 407, .proxySchemes = WINHTTP_AUTH_SCHEME_BASIC}),
              Way(0, kProxySignIn));
    EXPECT_EQ(read({.signedIn = true, .error = ERROR_WINHTTP_CONNECTION_ERROR}),
              Way(0, kProxySignIn));
    EXPECT_EQ(read({.secureFlags = WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID}),
              Way(0, kWrongClock));
    EXPECT_EQ(read({.error = ERROR_WINHTTP_SECURE_CERT_DATE_INVALID}), Way(0, kWrongClock));
    // An intercepting proxy's certificate is no fault of the clock.
    EXPECT_EQ(read({.secureFlags = WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA}), Way(0, kNone));
    EXPECT_EQ(ReasonFor(kWrongClock),
              L"the PC's date and time look wrong. Set the clock, then run Setup again.");
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

// Cases that ask again: the pauses between attempts are cut to almost nothing.
class GetAgain : public ::testing::Test {
  protected:
    void SetUp() override {
        s_retryPause = 10;
        s_cancel = false;
    }
    void TearDown() override {
        s_retryPause = 1000;
        s_receiveTimeout = 60000;
        s_cancel = false;
    }
    std::wstring Url() const { return server.Origin() + L"/clang.zip"; }

    HttpServer server;
    TempFolder folder;
    const fs::path file = folder / L"Clang.zip";
};

std::vector<std::string> Ranges(const HttpServer& server) {
    std::vector<std::string> ranges;
    for (const auto& request : server.Requests()) {
        const auto range = request.Header("Range");
        ranges.push_back(range.empty() ? "" : range[0]);
    }
    return ranges;
}

TEST_F(GetAgain, ADroppedBodyGoesOnFromItsLastByteAskingForTheSameFile) {
    const std::string body = Text(3 << 20);
    const std::string date = "Tue, 03 Dec 2024 10:00:00 GMT";
    struct Case {
        bool reset;
        std::vector<std::pair<std::string, std::string>> headers;
        std::string validator;
    };
    for (const Case& c :
         {Case{true, {{"ETag", "\"v1\""}}, "\"v1\""},
          Case{false, {{"ETag", "W/\"v1\""}, {"Last-Modified", date}}, date}, Case{true, {}, ""}}) {
        SCOPED_TRACE(c.validator);
        HttpServer server;
        server.ServeOnce(
            "/clang.zip",
            {.body = body, .headers = c.headers, .dropAfter = 1 << 20, .reset = c.reset});
        // The window takes where the bar stood at the break before the rest is asked for, and a
        // value of the rest before the rest goes on: it sees the bar on both sides of the break.
        std::atomic<int> shown{-2};  // the latest value the window took
        std::atomic<int> stood{-2};
        server.Serve("/clang.zip", {.body = body,
                                    .headers = c.headers,
                                    .pieceSize = 100000,
                                    .pause = [&](std::size_t pieces) {
                                        if (pieces == 1)
                                            test::Eventually([&] { return shown != stood; }, 30000);
                                    }});
        Collector window;
        std::vector<std::uint64_t> resumedAt;
        Resumable state{.onResume = [&](std::uint64_t at, std::uint64_t length) {
            resumedAt.push_back(at);
            EXPECT_EQ(length, body.size());
            stood = static_cast<int>(at * 100 / length);
            test::Eventually([&] { return shown == stood; }, 30000);
        }};
        bool got = false;
        ASSERT_TRUE(window.RunWhileTaking(
            [&] { got = Get(server.Origin() + L"/clang.zip", nullptr, &file, L"Clang", &state); },
            [&] {
                if (!window.progress.empty()) shown = window.progress.back();
            }));
        EXPECT_TRUE(got);
        EXPECT_TRUE(ReadBytes(file) == body);
        ASSERT_EQ(resumedAt.size(), 1u);
        EXPECT_TRUE(resumedAt[0] > 0 && resumedAt[0] <= 1u << 20) << resumedAt[0];
        EXPECT_EQ(Ranges(server),
                  (std::vector<std::string>{"", "bytes=" + std::to_string(resumedAt[0]) + "-"}));
        const auto ifRange = server.Requests().back().Header("If-Range");
        EXPECT_EQ(ifRange.empty() ? "" : ifRange[0], c.validator);
        EXPECT_TRUE(state.stitched);
        EXPECT_EQ(state.validator, Widen(c.validator));
        // The bar goes on from where it stood; Get logs nothing itself.
        ASSERT_GE(window.progress.size(), 2u);
        EXPECT_TRUE(std::is_sorted(window.progress.begin(), window.progress.end()))
            << testing::PrintToString(window.progress);
        EXPECT_EQ(window.progress.back(), 100);
        EXPECT_TRUE(window.logs.empty());
    }
}

TEST_F(GetAgain, ARangeTheServerWontServeStartsOverFromByteZero) {
    const std::string body = Text(1 << 20);
    const std::string changed = Text((1 << 20) + 7).substr(7);
    enum Answer { kIgnoresRanges, kRangeNotSatisfiable, kChangedFile };
    for (const Answer answer : {kIgnoresRanges, kRangeNotSatisfiable, kChangedFile}) {
        SCOPED_TRACE(answer);
        HttpServer server;
        server.ServeOnce("/clang.zip",
                         {.body = body, .headers = {{"ETag", "\"a\""}}, .dropAfter = 300000});
        if (answer == kRangeNotSatisfiable) server.ServeOnce("/clang.zip", {.status = 416});
        const bool changes = answer == kChangedFile;
        server.Serve("/clang.zip", {.body = changes ? changed : body,
                                    .headers = {{"ETag", changes ? "\"b\"" : "\"a\""}},
                                    .ranges = answer != kIgnoresRanges});
        Resumable state;
        EXPECT_TRUE(Get(server.Origin() + L"/clang.zip", nullptr, &file, nullptr, &state));
        EXPECT_TRUE(ReadBytes(file) == (changes ? changed : body));
        EXPECT_FALSE(state.stitched);
        EXPECT_EQ(state.validator, changes ? L"\"b\"" : L"\"a\"");
        EXPECT_EQ(server.Requests()[1].Header("If-Range"), std::vector<std::string>{"\"a\""});
        // After a 416 the whole file is asked for again.
        EXPECT_EQ(Ranges(server).size(), answer == kRangeNotSatisfiable ? 3u : 2u);
        EXPECT_EQ(Ranges(server).back(), answer == kRangeNotSatisfiable ? "" : "bytes=300000-");
    }
}

TEST_F(GetAgain, FourAttemptsWithoutProgressInARowEndIt) {
    const std::string body = Text(100000);
    server.ServeOnce("/clang.zip", {.body = body, .dropAfter = 1000});
    for (int i = 0; i < 3; ++i)
        server.ServeOnce("/clang.zip", {.body = body, .dropAfter = 0});
    server.ServeOnce("/clang.zip", {.body = body, .dropAfter = 1000});  // progress: counts anew
    server.Serve("/clang.zip", {.body = body, .dropAfter = 0});
    Resumable state;
    EXPECT_FALSE(Get(Url(), nullptr, &file, nullptr, &state));
    EXPECT_EQ(Ranges(server), (std::vector<std::string>{
                                  "", "bytes=1000-", "bytes=1000-", "bytes=1000-", "bytes=1000-",
                                  "bytes=2000-", "bytes=2000-", "bytes=2000-", "bytes=2000-"}));
    // What arrived stays, with what is needed to ask for the rest later.
    EXPECT_EQ(ReadBytes(file), body.substr(0, 2000));
    EXPECT_EQ(state.length, body.size());

    // A status that asking again won't change ends it at once.
    HttpServer failing;
    failing.ServeOnce("/clang.zip", {.body = body, .dropAfter = 1000});
    failing.Serve("/clang.zip", {.status = 500});
    EXPECT_FALSE(Get(failing.Origin() + L"/clang.zip", nullptr, &file, nullptr));
    EXPECT_EQ(failing.Requests().size(), 2u);
    EXPECT_EQ(ReadBytes(file), body.substr(0, 1000));
}

TEST_F(GetAgain, ADocumentStartsOverAtMostFourTimesInAll) {
    const std::string body = Text(50000);
    server.ServeOnce("/doc", {.body = body, .dropAfter = 20000, .reset = true});
    server.Serve("/doc", {.body = body});
    std::string memory;
    EXPECT_TRUE(Get(server.Origin() + L"/doc", &memory, nullptr, nullptr));
    EXPECT_TRUE(memory == body);

    server.Serve("/doc", {.body = body, .dropAfter = 20000});
    memory.clear();
    EXPECT_FALSE(Get(server.Origin() + L"/doc", &memory, nullptr, nullptr));
    EXPECT_EQ(Ranges(server), std::vector<std::string>(6, ""));
}

TEST_F(GetAgain, ASilentConnectionIsAskedAgainAfterTheReceiveTimeout) {
    s_receiveTimeout = 1000;
    // Silent before any byte came: that is no transfer to go on with.
    test::Event answer;
    server.Serve("/silent", {.beforeAnswer = [&] { answer.Wait(30000); }});
    auto silent = std::async(std::launch::async, [&] {
        return Get(server.Origin() + L"/silent", nullptr, &file, nullptr);
    });
    EXPECT_EQ(silent.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    answer.Set();
    EXPECT_FALSE(silent.get());
    EXPECT_EQ(server.CountRequests("/silent"), 1u);

    const std::string body = Text(1 << 20);
    test::Event resumed;
    server.ServeOnce("/clang.zip", {.body = body, .pieceSize = 100000, .pause = [&](std::size_t) {
                                        resumed.Wait(30000);
                                    }});
    server.Serve("/clang.zip", {.body = body});
    Resumable state{.onResume = [&](std::uint64_t, std::uint64_t) { resumed.Set(); }};
    EXPECT_TRUE(Get(Url(), nullptr, &file, nullptr, &state));
    EXPECT_TRUE(ReadBytes(file) == body);
    EXPECT_TRUE(state.stitched);
    EXPECT_EQ(server.CountRequests("/clang.zip"), 2u);
}

// Whether a connection to port on this machine is waiting for the answer to its first packet.
bool Connecting(unsigned short port) {
    std::vector<unsigned char> buffer(1 << 20);
    auto size = static_cast<ULONG>(buffer.size());
    auto* table = reinterpret_cast<MIB_TCPTABLE*>(buffer.data());
    if (GetTcpTable(table, &size, FALSE) != NO_ERROR) return false;
    return std::any_of(table->table, table->table + table->dwNumEntries,
                       [&](const MIB_TCPROW& row) {
                           return row.dwState == MIB_TCP_STATE_SYN_SENT &&
                                  ntohs(static_cast<u_short>(row.dwRemotePort)) == port;
                       });
}

// Whatever the network is doing, a cancel ends Get within 2 seconds: it gives up the request
// instead of waiting for the platform to let go of it. (Name resolution can't be held up on
// loopback; it is one of the waits of the same asynchronous send.)
TEST_F(GetAgain, ACancelEndsEveryWaitAtOnce) {
    test::Event asked;
    test::Event answer;
    test::Event flow;
    server.Serve("/silent", {.beforeAnswer = [&] {
                     asked.Set();
                     answer.Wait(30000);
                 }});
    server.Serve("/stalled", {.body = Text(300000), .pieceSize = 1000, .pause = [&](std::size_t) {
                                  flow.Wait(30000);
                              }});
    test::FullListener full;
    struct Wait {
        const char* name;
        std::wstring url;
        std::function<bool()> reached;
        test::Event* release;
    };
    // The handshake last: the server is left reading a request that never comes.
    for (const Wait& wait :
         {Wait{"connecting", L"http://127.0.0.1:" + std::to_wstring(full.Port()) + L"/x",
               [&] { return Connecting(full.Port()); }, nullptr},
          Wait{"waiting for the response", server.Origin() + L"/silent",
               [&] { return asked.Wait(0); }, &answer},
          Wait{"stalled body", server.Origin() + L"/stalled",
               [&] { return server.BodyBytesSent() > 0; }, &flow},
          Wait{"TLS handshake", L"https://127.0.0.1:" + std::to_wstring(server.Port()) + L"/x",
               [&] { return server.Connections() == 3; }, nullptr}}) {
        SCOPED_TRACE(wait.name);
        s_cancel = false;
        auto result =
            std::async(std::launch::async, [&] { return Get(wait.url, nullptr, &file, nullptr); });
        EXPECT_TRUE(test::Eventually(wait.reached, 30000));
        EXPECT_EQ(result.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
        s_cancel = true;
        EXPECT_EQ(result.wait_for(std::chrono::seconds(2)), std::future_status::ready);
        EXPECT_FALSE(result.get());
        if (wait.release) wait.release->Set();  // the server goes on with the next connection
    }
}

TEST_F(GetAgain, BodyShorterThanItsLengthFailsAndKeepsThePartialFile) {
    server.Serve("/short", {.body = Text(5000), .contentLength = 9000});
    EXPECT_FALSE(Get(server.Origin() + L"/short", nullptr, &file, nullptr));
    EXPECT_EQ(ReadBytes(file), Text(5000));
}

// The entry of Windows' proxy list that git and Python get, and its bypass list as NO_PROXY.
TEST(SystemProxy, HttpsEntryElseOneForEverySchemeElseHttpAndTheBypassListAsNoProxy) {
    EXPECT_EQ(ProxyServerFor(L"http=h:1;https=s:2;https=t:3"), L"s:2");
    EXPECT_EQ(ProxyServerFor(L"http=h:1 every:8080 other:1"), L"every:8080");
    EXPECT_EQ(ProxyServerFor(L"ftp=f:21;http=http://h/"), L"h:80");
    EXPECT_EQ(ProxyServerFor(L"socks=s:1080"), L"");
    EXPECT_EQ(ProxyServerFor(L"http://me:secret@h"), L"me:secret@h:80");
    // The log never shows a proxy's user name or password.
    EXPECT_EQ(MaskedProxy(L"http://me:p@ss@h:8080"), L"http://***@h:8080");
    EXPECT_EQ(MaskedProxy(L"me@h:8080"), L"***@h:8080");
    EXPECT_EQ(MaskedProxy(L"h:8080"), L"h:8080");
    EXPECT_EQ(NoProxyFrom(L"<local>; *.corp.example;10.*;;*"), L"localhost,.corp.example,10.*,*");
}

}  // namespace
}  // namespace murk::setup
