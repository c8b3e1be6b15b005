#pragma once
// The program's only HTTP client: one GET per call, into memory and/or a file.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace murk::setup {

// Where a file download stands, so that it can go on where it broke: within one call, and in a
// later call from bytes an earlier one left in the file.
struct Resumable {
    // In: the file holds the first bytes of the resource, as left by an earlier call with this
    // length and validator; Get asks for the rest instead of starting over. Out: the resource's
    // whole length (0: unknown) and validator (a strong ETag, else the Last-Modified date,
    // else empty) as the server gave them for the bytes that the file holds.
    bool keep = false;
    std::uint64_t length = 0;
    std::wstring validator;
    // Out: the file was put together from more than one response.
    bool stitched = false;
    // Called when a transfer broke after bytes arrived and Get asks for the rest, with the
    // bytes the file holds and the whole length (0: unknown).
    std::function<void(std::uint64_t at, std::uint64_t length)> onResume;
};

// Why a Get failed, for its caller to word.
struct GetFailure {
    enum Cause {
        kNone,
        // Not https (nor plain http where config.h allows it), or not a URL at all; a redirect
        // to such a URL counts too. Nothing of its body was taken.
        kRefused,
        // A document in memory would grow past kLongestDocument.
        kTooLong,
        kCancelled,
        // No connection, no answer, or a transfer that broke for good.
        kNoAnswer,
        // The server answered with a status that doesn't deliver the body (see status).
        kStatus,
        // The file target couldn't be opened or written, for another reason than kDriveFull.
        kFile,
        // The file target's drive is full (ERROR_DISK_FULL, ERROR_HANDLE_DISK_FULL): what
        // arrived before stays in the file.
        kDriveFull,
        // A proxy wants a sign-in that the signed-in Windows user's didn't satisfy, or one by a
        // password (Basic), which Setup has none of.
        kProxySignIn,
        // The server's certificate isn't valid at the PC's time: its clock is off.
        kWrongClock,
    };
    Cause cause = kNone;
    // The HTTP status of the last response; 0 when none came.
    unsigned long status = 0;
    // What that response said of the server's limit on requests, as it said it (empty when it
    // didn't): X-RateLimit-Remaining, X-RateLimit-Reset (epoch seconds) and Retry-After.
    std::wstring rateLimitRemaining;
    std::wstring rateLimitReset;
    std::wstring retryAfter;
};

// The reason a caller puts after "Couldn't reach <service>: " or "Couldn't download <name>: " (a
// full drive's after "Couldn't unpack <name>: " too) for a cause that the user can do something
// about; empty for the others, which callers word themselves.
std::wstring ReasonFor(GetFailure::Cause cause);

// What WinHTTP reported of a request that delivered no body.
struct Report {
    unsigned long status = 0;        // of the response; 0 when none came
    unsigned long proxySchemes = 0;  // WINHTTP_AUTH_SCHEME_* a proxy offered with a 407
    bool signedIn = false;           // the request was sent again with the user's sign-in
    unsigned long secureFlags = 0;   // WINHTTP_CALLBACK_STATUS_FLAG_* of a failed handshake
    unsigned long error = 0;         // of the call that failed
};
// What Get makes of it: send the request again with the signed-in Windows user's sign-in for
// the proxy by signInScheme, or end for cause (kNone for both: the response or error stands).
struct Reading {
    GetFailure::Cause cause = GetFailure::kNone;
    unsigned long signInScheme = 0;
};
Reading ReadReport(const Report& report);

// A document read into memory ends here: release documents are some hundreds of KB.
inline constexpr std::uint64_t kLongestDocument = 16ull << 20;

// Fetches url (https; plain http only to a loopback origin of a test build, see config.h). The body
// is appended to memory (at most kLongestDocument bytes of it) and/or written to file (created or
// truncated before the status is known, unless resumable keeps its bytes). With a label, download
// progress goes to the window's status line and bar. A file download that breaks after bytes
// arrived asks for the rest (a document in memory starts over); a cancel ends any wait at once.
// Returns false on any failure, including a cancel, and then tells why in failure; never throws for
// a network failure and never words a message: the caller does.
bool Get(const std::wstring& url, std::string* memory, const std::filesystem::path* file,
         const wchar_t* label, Resumable* resumable = nullptr, GetFailure* failure = nullptr);

// A WinHTTP handle (HINTERNET), closed once.
struct InternetCloser {
    void operator()(void* handle) const noexcept;
};
using UniqueInternet = std::unique_ptr<void, InternetCloser>;

// The program's user agent, for every WinHTTP session it opens.
inline constexpr wchar_t kUserAgent[] = L"MURK-Setup";

// Whether url has the scheme, host and port of origin.
bool SameOrigin(const std::wstring& url, const std::wstring& origin);

// A strong ETag (quoted, not W/), the one validator that proves two responses hold the same bytes.
bool StrongEtag(std::wstring_view validator);

// How long a connection may stay silent, and the first pause before asking again (it doubles
// each time); tests shorten them.
extern int s_receiveTimeout;
extern int s_retryPause;
// Tests serve plain http from loopback ports of their own (HttpServer sets it); the program
// never does.
extern bool s_anyLoopbackHttp;

}  // namespace murk::setup
