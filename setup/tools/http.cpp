#include "setup/tools/http.h"

#include "setup/config.h"
#include "setup/job/channel.h"
#include "setup/job/handles.h"
#include "setup/job/process.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <optional>
#include <system_error>
#include <vector>

namespace murk::setup {

int s_receiveTimeout = 60000;
int s_retryPause = 1000;
bool s_anyLoopbackHttp = false;

namespace {

constexpr wchar_t kUserAgentHeader[] = L"User-Agent: MURK-Setup\r\n";
constexpr int kResolveTimeout = 15000;
constexpr int kConnectTimeout = 15000;
constexpr int kSendTimeout = 30000;
constexpr DWORD kHostLength = 256;
constexpr DWORD kPathLength = 2048;
constexpr DWORD kExtraLength = 2048;
constexpr DWORD kContentLengthText = 32;
constexpr DWORD kHeaderText = 256;
constexpr std::uint64_t kMegabyte = 1ull << 20;
constexpr int kNoProgressYet = -2;
constexpr int kUnknownProgress = -1;
// How often a wait looks at the cancel flag: well inside what a user notices.
constexpr DWORD kCancelPollMilliseconds = 50;
constexpr int kMostAttemptsWithoutProgress = 4;
// Each read completes through WinHTTP's own thread, so a few large reads beat many small ones
// (Wine's QueryDataAvailable never reports more than 8 KB). Under Wine a read waits until it is
// full: a stall holds back at most this much, which a resumption asks for again.
constexpr DWORD kReadSize = 64 * 1024;
constexpr int kMostDocumentAttempts = 4;

struct SplitUrl {
    bool secure = false;
    INTERNET_PORT port = 0;
    std::wstring host;
    std::wstring path;  // the URL path with its query appended unchanged
};

bool Crack(const std::wstring& url, SplitUrl& split) {
    wchar_t host[kHostLength];
    wchar_t path[kPathLength];
    wchar_t extra[kExtraLength];
    URL_COMPONENTS parts{.dwStructSize = sizeof(URL_COMPONENTS),
                         .lpszHostName = host,
                         .dwHostNameLength = kHostLength,
                         .lpszUrlPath = path,
                         .dwUrlPathLength = kPathLength,
                         .lpszExtraInfo = extra,
                         .dwExtraInfoLength = kExtraLength};
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) return false;
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS)
        return false;
    split.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    split.port = parts.nPort;
    split.host.assign(host, parts.dwHostNameLength);
    split.path.assign(path, parts.dwUrlPathLength);
    split.path.append(extra, parts.dwExtraInfoLength);
    return true;
}

bool SameHostAndPort(const SplitUrl& a, const SplitUrl& b) {
    return a.secure == b.secure && a.port == b.port &&
           _wcsicmp(a.host.c_str(), b.host.c_str()) == 0;
}

bool Loopback(const std::wstring& host) {
    return host == L"127.0.0.1" || host == L"[::1]" || host == L"::1" ||
           _wcsicmp(host.c_str(), L"localhost") == 0;
}

// The rule config.h states: plain http only to a configured origin that is plain http itself,
// on a loopback host.
bool PlainHttpAllowed(const SplitUrl& split) {
    if (!Loopback(split.host)) return false;
    if (s_anyLoopbackHttp) return true;
    for (const std::wstring_view origin : {kApiOrigin, kPackageIndexOrigin}) {
        SplitUrl configured;
        if (Crack(std::wstring(origin), configured) && !configured.secure &&
            Loopback(configured.host) && SameHostAndPort(configured, split))
            return true;
    }
    return false;
}

// The URL's parts, when it is one that this program may fetch.
bool Split(const std::wstring& url, SplitUrl& split) {
    return Crack(url, split) && (split.secure || PlainHttpAllowed(split));
}

DWORD StatusCode(HINTERNET request) {
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
        return 0;
    return status;
}

// 0 when the server announced no length (or one that can't be read): the length is unknown.
std::uint64_t ContentLength(HINTERNET request) {
    wchar_t text[kContentLengthText] = {};
    DWORD size = sizeof text;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX,
                             text, &size, WINHTTP_NO_HEADER_INDEX))
        return 0;
    return _wcstoui64(text, nullptr, 10);
}

// Empty when the header is missing or too long to be one this program uses. A header WinHTTP
// has no index for is asked by name, with WINHTTP_QUERY_CUSTOM.
std::wstring HeaderText(HINTERNET request, DWORD query,
                        const wchar_t* name = WINHTTP_HEADER_NAME_BY_INDEX) {
    wchar_t text[kHeaderText] = {};
    DWORD size = sizeof text;
    if (!WinHttpQueryHeaders(request, query, name, text, &size, WINHTTP_NO_HEADER_INDEX)) return {};
    return std::wstring(text, size / sizeof(wchar_t));
}

// What lets a later request ask "the rest, if it is still the same": a strong ETag, else the
// Last-Modified date.
std::wstring Validator(HINTERNET request) {
    std::wstring etag = HeaderText(request, WINHTTP_QUERY_ETAG);
    if (StrongEtag(etag)) return etag;
    return HeaderText(request, WINHTTP_QUERY_LAST_MODIFIED);
}

struct ContentRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    std::uint64_t length = 0;  // 0: "*", unknown
};

// "bytes FIRST-LAST/LENGTH" or "bytes FIRST-LAST/*".
std::optional<ContentRange> ParseContentRange(std::wstring_view text) {
    auto number = [&text](std::uint64_t& value) {
        std::size_t digits = 0;
        value = 0;
        while (digits < text.size() && text[digits] >= L'0' && text[digits] <= L'9' && digits < 19)
            value = value * 10 + static_cast<std::uint64_t>(text[digits++] - L'0');
        text.remove_prefix(digits);
        return digits > 0;
    };
    auto literal = [&text](std::wstring_view expected) {
        if (!text.starts_with(expected)) return false;
        text.remove_prefix(expected.size());
        return true;
    };
    ContentRange range;
    if (!literal(L"bytes ") || !number(range.first) || !literal(L"-") || !number(range.last) ||
        !literal(L"/") || range.last < range.first)
        return std::nullopt;
    if (literal(L"*")) return text.empty() ? std::optional(range) : std::nullopt;
    if (!number(range.length) || !text.empty() || range.length <= range.last) return std::nullopt;
    return range;
}

// What WinHTTP's status callback may touch of one request. The callback keeps it alive until
// the request handle closes for good (HANDLE_CLOSING), which under Wine can be long after Get
// gave the request up: so nothing of the job's is in it, only copies and the read buffer.
struct Exchange {
    UniqueHandle completed{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    DWORD error = 0;  // of the call that completed; 0 for success
    DWORD bytes = 0;  // available, or read
    std::wstring headers;
    std::vector<char> buffer;
    // WinHTTP followed a redirect to a URL this program doesn't fetch (it refuses https to http
    // itself; this catches the rest): what came from there is not taken.
    std::atomic<bool> refused{false};
    bool secure = false;    // of the request
    DWORD secureFlags = 0;  // why the last TLS handshake failed, if it did
};
using SharedExchange = std::shared_ptr<Exchange>;

// A redirect's target is absolute or relative to the request's own origin: Wine passes the
// Location header as it stands.
bool RedirectAllowed(std::wstring location, bool secure) {
    if (location.starts_with(L"//"))
        location.insert(0, secure ? L"https:" : L"http:");
    else if (location.find(L"://") == std::wstring::npos)
        return true;
    SplitUrl target;
    return Split(location, target);
}

void CALLBACK OnRequestStatus(HINTERNET, DWORD_PTR context, DWORD status, void* information,
                              DWORD length) {
    auto* owner = reinterpret_cast<SharedExchange*>(context);
    if (!owner) return;
    if (status == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING) {
        delete owner;
        return;
    }
    Exchange& exchange = **owner;
    switch (status) {
        case WINHTTP_CALLBACK_STATUS_REDIRECT: {
            if (!information ||
                !RedirectAllowed(static_cast<const wchar_t*>(information), exchange.secure))
                exchange.refused = true;
            return;
        }
        case WINHTTP_CALLBACK_STATUS_SECURE_FAILURE:
            // Comes before the request's error, which wakes the waiting thread.
            if (information) exchange.secureFlags = *static_cast<const DWORD*>(information);
            return;
        case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
        case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
            exchange.error = 0;
            break;
        case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
            exchange.error = 0;
            exchange.bytes = *static_cast<const DWORD*>(information);
            break;
        case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
            exchange.error = 0;
            exchange.bytes = length;
            break;
        case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR: {
            const DWORD error = static_cast<const WINHTTP_ASYNC_RESULT*>(information)->dwError;
            exchange.error = error ? error : ERROR_WINHTTP_INTERNAL_ERROR;
            break;
        }
        default:
            return;
    }
    SetEvent(exchange.completed.get());
}

// Waits for the pending call of the exchange; false when the user cancels first (the request
// is then given up as it is).
bool Completed(const Exchange& exchange) {
    return WaitUnlessCancelled(exchange.completed.get(), INFINITE);
}

// False when the user cancels first.
bool Pause(DWORD milliseconds) {
    const ULONGLONG end = GetTickCount64() + milliseconds;
    for (ULONGLONG now = GetTickCount64(); now < end; now = GetTickCount64()) {
        if (s_cancel.load()) return false;
        Sleep(static_cast<DWORD>(std::min<ULONGLONG>(end - now, kCancelPollMilliseconds)));
    }
    return !s_cancel.load();
}

// Posts the bar's value and the status text once per whole percent (once for an unknown length).
class Progress {
  public:
    explicit Progress(const wchar_t* label) : label_(label) {}

    void Report(std::uint64_t received, std::uint64_t total) {
        if (!label_) return;
        const int percent = total ? static_cast<int>(received * 100 / total) : kUnknownProgress;
        if (percent == last_) return;
        last_ = percent;
        PostProgress(percent);
        wchar_t suffix[64] = L"";
        if (total)
            std::swprintf(suffix, std::size(suffix), L" of %llu MB",
                          static_cast<unsigned long long>(total / kMegabyte));
        wchar_t text[256];
        std::swprintf(text, std::size(text), L"Downloading %ls: %.0f MB%ls", label_,
                      static_cast<double>(received) / static_cast<double>(kMegabyte), suffix);
        PostStatus(text);
    }

  private:
    const wchar_t* label_;
    int last_ = kNoProgressYet;
};

// What one Get holds across its attempts.
struct Transfer {
    std::string* memory = nullptr;
    std::size_t memoryStart = 0;  // what memory held before Get appended to it
    const std::filesystem::path* file = nullptr;
    UniqueHandle out;  // the file target, once opened
    bool opened = false;
    DWORD fileError = 0;         // why it couldn't be opened or written
    std::uint64_t received = 0;  // bytes held: the file's length, or what memory got
    std::uint64_t total = 0;     // the resource's whole length; 0: unknown
    std::wstring validator;
    bool stitched = false;
    bool arrived = false;  // bytes came in during this call
    GetFailure failure;    // why the last attempt failed
};

// Written with the platform's own calls, so that a failed write tells why (a full drive, say).
void OpenFile(Transfer& transfer, bool keep) {
    transfer.out.reset();
    transfer.out = OwnFileHandle(
        CreateFileW(transfer.file->c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, keep ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!transfer.out) {
        transfer.fileError = GetLastError();
        return;
    }
    LARGE_INTEGER end{};
    if (keep && !SetFilePointerEx(transfer.out.get(), end, nullptr, FILE_END)) {
        transfer.fileError = GetLastError();
        transfer.out.reset();
    }
}

// Opened when the first response is in, before its status counts: a fresh download truncates
// the file then (a failed one leaves it empty), one that goes on keeps what is there.
void Open(Transfer& transfer) {
    if (transfer.opened || !transfer.file) return;
    transfer.opened = true;
    OpenFile(transfer, transfer.received > 0);
}

bool Write(Transfer& transfer, const char* bytes, DWORD size) {
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(transfer.out.get(), bytes, size, &written, nullptr)) {
            transfer.fileError = GetLastError();
            return false;
        }
        // Nothing written without an error: no room for it.
        if (written == 0) {
            transfer.fileError = ERROR_HANDLE_DISK_FULL;
            return false;
        }
        bytes += written;
        size -= written;
    }
    return true;
}

void StartOver(Transfer& transfer) {
    if (transfer.memory) transfer.memory->resize(transfer.memoryStart);
    if (transfer.file) OpenFile(transfer, false);
    transfer.received = 0;
    transfer.total = 0;
    transfer.validator.clear();
    transfer.stitched = false;
}

enum class Outcome {
    kDone,
    kBroken,   // the connection failed or ended early: worth asking again
    kRestart,  // the range asked for doesn't fit: ask again for everything
    kFailed,   // an answer that asking again won't change, or a cancel
};

Outcome Stop(Transfer& transfer, GetFailure::Cause cause) {
    transfer.failure.cause = cause;
    return Outcome::kFailed;
}

Outcome FileFailed(Transfer& transfer) {
    const bool full =
        transfer.fileError == ERROR_DISK_FULL || transfer.fileError == ERROR_HANDLE_DISK_FULL;
    return Stop(transfer, full ? GetFailure::kDriveFull : GetFailure::kFile);
}

// Takes the response to a request (asked with a range when the transfer holds bytes).
Outcome Accept(HINTERNET request, bool ranged, Transfer& transfer) {
    const DWORD status = StatusCode(request);
    transfer.failure.status = status;
    // A refusal by a rate limit says when to ask again; the caller decides what it means.
    transfer.failure.rateLimitRemaining =
        HeaderText(request, WINHTTP_QUERY_CUSTOM, L"X-RateLimit-Remaining");
    transfer.failure.rateLimitReset =
        HeaderText(request, WINHTTP_QUERY_CUSTOM, L"X-RateLimit-Reset");
    transfer.failure.retryAfter = HeaderText(request, WINHTTP_QUERY_CUSTOM, L"Retry-After");
    const std::uint64_t length = ContentLength(request);
    Open(transfer);
    if (transfer.file && !transfer.out) return FileFailed(transfer);
    if (status == 200) {
        // Without a range, or a server that ignores it or has a different file now.
        if (ranged) StartOver(transfer);
        transfer.total = length;
        transfer.validator = Validator(request);
        if (transfer.file && !transfer.out) return FileFailed(transfer);
        if (transfer.memory && length > kLongestDocument)
            return Stop(transfer, GetFailure::kTooLong);
        return Outcome::kDone;
    }
    if (!ranged) return Stop(transfer, GetFailure::kStatus);
    if (status == 416) {
        StartOver(transfer);
        return Outcome::kRestart;
    }
    if (status != 206) return Stop(transfer, GetFailure::kStatus);
    const std::optional<ContentRange> range =
        ParseContentRange(HeaderText(request, WINHTTP_QUERY_CONTENT_RANGE));
    const std::wstring etag = HeaderText(request, WINHTTP_QUERY_ETAG);
    const bool fits =
        range && range->first == transfer.received &&
        (!length || length == range->last - range->first + 1) &&
        (!transfer.total || !range->length || range->length == transfer.total) &&
        !(StrongEtag(etag) && StrongEtag(transfer.validator) && etag != transfer.validator);
    if (!fits) {
        StartOver(transfer);
        return Outcome::kRestart;
    }
    if (range->length) transfer.total = range->length;
    transfer.stitched = true;
    return Outcome::kDone;
}

// The schemes a proxy offers with its 407; 0 when it offers none.
DWORD ProxySchemes(HINTERNET request) {
    DWORD supported = 0;
    DWORD first = 0;
    DWORD target = 0;
    if (!WinHttpQueryAuthSchemes(request, &supported, &first, &target) ||
        target != WINHTTP_AUTH_TARGET_PROXY)
        return 0;
    return supported;
}

// Sends the request (again, without headers: those of the first send stay) and waits for its
// response's headers.
Outcome SendOnce(HINTERNET request, Exchange& exchange, const wchar_t* headers, DWORD_PTR context) {
    exchange.secureFlags = 0;
    exchange.error = 0;
    if (!WinHttpSendRequest(request, headers, headers ? static_cast<DWORD>(-1) : 0,
                            WINHTTP_NO_REQUEST_DATA, 0, 0, context)) {
        exchange.error = GetLastError();
        return Outcome::kBroken;
    }
    if (!Completed(exchange)) return Outcome::kFailed;
    if (exchange.error) return Outcome::kBroken;
    if (!WinHttpReceiveResponse(request, nullptr)) {
        exchange.error = GetLastError();
        return Outcome::kBroken;
    }
    if (!Completed(exchange)) return Outcome::kFailed;
    return exchange.error ? Outcome::kBroken : Outcome::kDone;
}

// Sends the request and waits for its response. A proxy that asks for a sign-in gets the
// signed-in Windows user's (NTLM or Negotiate), once, as Windows' own programs do.
Outcome Send(HINTERNET request, Exchange& exchange, DWORD_PTR context, Transfer& transfer) {
    const wchar_t* headers = exchange.headers.c_str();
    for (bool signedIn = false;; signedIn = true) {
        const Outcome sent = SendOnce(request, exchange, headers, context);
        if (sent == Outcome::kFailed) return sent;
        if (exchange.refused) return Stop(transfer, GetFailure::kRefused);
        Report report{
            .signedIn = signedIn, .secureFlags = exchange.secureFlags, .error = exchange.error};
        if (sent == Outcome::kDone) report.status = StatusCode(request);
        if (report.status == HTTP_STATUS_PROXY_AUTH_REQ)
            report.proxySchemes = ProxySchemes(request);
        const Reading reading = ReadReport(report);
        if (reading.cause != GetFailure::kNone) return Stop(transfer, reading.cause);
        if (!reading.signInScheme) return sent;
        if (!WinHttpSetCredentials(request, WINHTTP_AUTH_TARGET_PROXY, reading.signInScheme,
                                   nullptr, nullptr, nullptr))
            return Stop(transfer, GetFailure::kProxySignIn);
        headers = WINHTTP_NO_ADDITIONAL_HEADERS;
    }
}

// One request and its body, appended to what the transfer holds.
Outcome Attempt(HINTERNET connection, const SplitUrl& split, Transfer& transfer,
                Progress& progress) {
    UniqueInternet request(WinHttpOpenRequest(connection, L"GET", split.path.c_str(), nullptr,
                                              WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                              split.secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request) return Outcome::kFailed;
    const SharedExchange exchange = std::make_shared<Exchange>();
    if (!exchange->completed) return Outcome::kFailed;
    exchange->secure = split.secure;
    // From here on the callback owns one reference, which it drops when the handle is gone.
    auto owner = std::make_unique<SharedExchange>(exchange);
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(owner.get());
    if (WinHttpSetStatusCallback(
            request.get(), OnRequestStatus,
            WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES |
                WINHTTP_CALLBACK_FLAG_REDIRECT | WINHTTP_CALLBACK_FLAG_SECURE_FAILURE,
            0) == WINHTTP_INVALID_STATUS_CALLBACK)
        return Outcome::kFailed;
    if (!WinHttpSetOption(request.get(), WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context))
        return Outcome::kFailed;
    owner.release();

    const bool ranged = transfer.file && transfer.received > 0;
    exchange->headers = kUserAgentHeader;
    if (ranged) {
        exchange->headers += L"Range: bytes=" + std::to_wstring(transfer.received) + L"-\r\n";
        if (!transfer.validator.empty())
            exchange->headers += L"If-Range: " + transfer.validator + L"\r\n";
    }
    if (const Outcome sent = Send(request.get(), *exchange, context, transfer);
        sent != Outcome::kDone)
        return sent;

    if (const Outcome accepted = Accept(request.get(), ranged, transfer);
        accepted != Outcome::kDone)
        return accepted;

    for (bool first = true;; first = false) {
        // The first read takes what has come, so that the user sees the download begin; later
        // ones are large (see kReadSize).
        DWORD size = kReadSize;
        if (first) {
            if (!WinHttpQueryDataAvailable(request.get(), nullptr)) return Outcome::kBroken;
            if (!Completed(*exchange)) return Outcome::kFailed;
            if (exchange->error) return Outcome::kBroken;
            size = exchange->bytes;
            if (size == 0) break;
        }
        exchange->buffer.resize(std::max<std::size_t>(exchange->buffer.size(), size));
        // A failed read is a broken transfer, not the end of the body: without a known length
        // it would otherwise pass as a complete (truncated) download.
        if (!WinHttpReadData(request.get(), exchange->buffer.data(), size, nullptr))
            return Outcome::kBroken;
        if (!Completed(*exchange)) return Outcome::kFailed;
        if (exchange->error) return Outcome::kBroken;
        const DWORD read = exchange->bytes;
        if (read == 0) break;
        if (transfer.memory && transfer.received + read > kLongestDocument)
            return Stop(transfer, GetFailure::kTooLong);
        if (transfer.memory) transfer.memory->append(exchange->buffer.data(), read);
        // A full drive must not pass for a complete download.
        if (transfer.file && !Write(transfer, exchange->buffer.data(), read))
            return FileFailed(transfer);
        transfer.received += read;
        transfer.arrived = true;
        progress.Report(transfer.received, transfer.total);
    }
    if (!transfer.total || transfer.received == transfer.total) return Outcome::kDone;
    // More than announced is a wrong answer, not a dropped one.
    return transfer.received < transfer.total ? Outcome::kBroken : Outcome::kFailed;
}

// Asks again while a broken transfer makes progress: a file goes on from its last byte, a
// document starts over. The first contact is never repeated: offline fails at once.
bool Attempts(HINTERNET connection, const SplitUrl& split, Transfer& transfer, const wchar_t* label,
              Resumable* resumable) {
    Progress progress(label);
    std::uint64_t longest = transfer.received;
    int withoutProgress = 0;
    for (int attempt = 1;; ++attempt) {
        const std::uint64_t before = transfer.received;
        const Outcome outcome = Attempt(connection, split, transfer, progress);
        if (outcome == Outcome::kDone) return true;
        if (outcome == Outcome::kFailed || s_cancel.load()) return false;
        if (outcome == Outcome::kBroken && !transfer.arrived) return false;
        if (!transfer.file) {
            if (attempt == kMostDocumentAttempts) return false;
            StartOver(transfer);
            if (!Pause(static_cast<DWORD>(s_retryPause) << (attempt - 1))) return false;
            continue;
        }
        if (transfer.received > longest) {
            longest = transfer.received;
            withoutProgress = 0;
        } else if (++withoutProgress == kMostAttemptsWithoutProgress) {
            return false;
        }
        if (outcome == Outcome::kRestart) continue;
        if (transfer.received > before && resumable && resumable->onResume)
            resumable->onResume(transfer.received, transfer.total);
        if (withoutProgress > 0 &&
            !Pause(static_cast<DWORD>(s_retryPause) << (withoutProgress - 1)))
            return false;
    }
}

bool Fetch(const std::wstring& url, std::string* memory, const std::filesystem::path* file,
           const wchar_t* label, Resumable* resumable, GetFailure& failure) {
    SplitUrl split;
    if (!Split(url, split)) {
        failure.cause = GetFailure::kRefused;
        return false;
    }

    // Asynchronous, so that no network wait outlasts a cancel.
    UniqueInternet session(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                       WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS,
                                       WINHTTP_FLAG_ASYNC));
    if (!session) return false;
    if (!WinHttpSetTimeouts(session.get(), kResolveTimeout, kConnectTimeout, kSendTimeout,
                            s_receiveTimeout))
        return false;
    // Windows waits for the response's headers as long as for any receive; Wine, without this,
    // would wait for a server that accepts and never answers as long as the server likes.
    DWORD responseTimeout = static_cast<DWORD>(s_receiveTimeout);
    WinHttpSetOption(session.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout,
                     sizeof responseTimeout);
    UniqueInternet connection(WinHttpConnect(session.get(), split.host.c_str(), split.port, 0));
    if (!connection) return false;

    Transfer transfer{.memory = memory, .memoryStart = memory ? memory->size() : 0, .file = file};
    if (file && resumable && resumable->keep) {
        std::error_code error;
        const std::uint64_t kept = std::filesystem::file_size(*file, error);
        if (!error && kept > 0) {
            transfer.received = kept;
            transfer.total = resumable->length;
            transfer.validator = resumable->validator;
        }
    }
    const bool ok = Attempts(connection.get(), split, transfer, label, resumable);
    failure = transfer.failure;
    if (resumable) {
        resumable->length = transfer.total;
        resumable->validator = transfer.validator;
        resumable->stitched = transfer.stitched;
    }
    return ok;
}

}  // namespace

std::wstring ReasonFor(GetFailure::Cause cause) {
    switch (cause) {
        case GetFailure::kDriveFull:
            return L"the drive is full. Free up space on it, then run Setup again.";
        case GetFailure::kProxySignIn:
            return L"the proxy server asks for a sign-in that Setup can't give.";
        case GetFailure::kWrongClock:
            return L"the PC's date and time look wrong. Set the clock, then run Setup again.";
        default:
            return {};
    }
}

Reading ReadReport(const Report& report) {
    if (report.error == ERROR_WINHTTP_SECURE_CERT_DATE_INVALID ||
        (report.secureFlags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID))
        return {.cause = GetFailure::kWrongClock};
    if (report.status == HTTP_STATUS_PROXY_AUTH_REQ) {
        // Only schemes that sign in as the Windows user: Basic would need a password.
        if (!report.signedIn && (report.proxySchemes & WINHTTP_AUTH_SCHEME_NEGOTIATE))
            return {.signInScheme = WINHTTP_AUTH_SCHEME_NEGOTIATE};
        if (!report.signedIn && (report.proxySchemes & WINHTTP_AUTH_SCHEME_NTLM))
            return {.signInScheme = WINHTTP_AUTH_SCHEME_NTLM};
        return {.cause = GetFailure::kProxySignIn};
    }
    // A proxy that drops the connection on the user's sign-in has refused it.
    if (report.signedIn && report.status == 0) return {.cause = GetFailure::kProxySignIn};
    return {};
}

void InternetCloser::operator()(void* handle) const noexcept {
    WinHttpCloseHandle(handle);
}

bool StrongEtag(std::wstring_view validator) {
    return validator.size() >= 2 && validator.front() == L'"' && validator.back() == L'"';
}

bool Get(const std::wstring& url, std::string* memory, const std::filesystem::path* file,
         const wchar_t* label, Resumable* resumable, GetFailure* failure) {
    GetFailure unasked;
    GetFailure& report = failure ? *failure : unasked;
    report = {};
    const bool ok = Fetch(url, memory, file, label, resumable, report);
    if (ok)
        report.cause = GetFailure::kNone;
    else if (s_cancel.load())
        report.cause = GetFailure::kCancelled;
    else if (report.cause == GetFailure::kNone)
        report.cause = GetFailure::kNoAnswer;
    return ok;
}

bool SameOrigin(const std::wstring& url, const std::wstring& origin) {
    SplitUrl a;
    SplitUrl b;
    return Crack(url, a) && Crack(origin, b) && SameHostAndPort(a, b);
}

}  // namespace murk::setup
