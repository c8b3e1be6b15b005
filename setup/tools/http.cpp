#include "setup/tools/http.h"

#include "setup/job/channel.h"
#include "setup/job/process.h"

#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <fstream>
#include <memory>
#include <vector>

namespace murk::setup {

namespace {

constexpr wchar_t kUserAgent[] = L"MURK-Setup";
constexpr wchar_t kUserAgentHeader[] = L"User-Agent: MURK-Setup\r\n";
constexpr int kResolveTimeout = 15000;
constexpr int kConnectTimeout = 15000;
constexpr int kSendTimeout = 30000;
constexpr int kReceiveTimeout = 60000;
constexpr DWORD kHostLength = 256;
constexpr DWORD kPathLength = 2048;
constexpr DWORD kExtraLength = 2048;
constexpr DWORD kContentLengthText = 32;
constexpr std::uint64_t kMegabyte = 1ull << 20;
constexpr int kNoProgressYet = -2;
constexpr int kUnknownProgress = -1;

struct InternetCloser {
    void operator()(HINTERNET handle) const noexcept { WinHttpCloseHandle(handle); }
};
using UniqueInternet = std::unique_ptr<void, InternetCloser>;

struct SplitUrl {
    bool secure = false;
    INTERNET_PORT port = 0;
    std::wstring host;
    std::wstring path;  // the URL path with its query appended unchanged
};

bool Split(const std::wstring& url, SplitUrl& split) {
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

// Posts the bar's value and the status text once per whole percent (once for an unknown length).
class Progress {
  public:
    Progress(const wchar_t* label, std::uint64_t total) : label_(label), total_(total) {}

    void Report(std::uint64_t received) {
        if (!label_) return;
        const int percent = total_ ? static_cast<int>(received * 100 / total_) : kUnknownProgress;
        if (percent == last_) return;
        last_ = percent;
        PostProgress(percent);
        wchar_t suffix[64] = L"";
        if (total_)
            std::swprintf(suffix, std::size(suffix), L" of %llu MB",
                          static_cast<unsigned long long>(total_ / kMegabyte));
        wchar_t text[256];
        std::swprintf(text, std::size(text), L"Downloading %ls: %.0f MB%ls", label_,
                      static_cast<double>(received) / static_cast<double>(kMegabyte), suffix);
        PostStatus(text);
    }

  private:
    const wchar_t* label_;
    std::uint64_t total_;
    int last_ = kNoProgressYet;
};

}  // namespace

bool Get(const std::wstring& url, std::string* memory, const std::filesystem::path* file,
         const wchar_t* label) {
    SplitUrl split;
    if (!Split(url, split)) return false;

    UniqueInternet session(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                       WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) return false;
    if (!WinHttpSetTimeouts(session.get(), kResolveTimeout, kConnectTimeout, kSendTimeout,
                            kReceiveTimeout))
        return false;
    UniqueInternet connection(WinHttpConnect(session.get(), split.host.c_str(), split.port, 0));
    if (!connection) return false;
    UniqueInternet request(WinHttpOpenRequest(connection.get(), L"GET", split.path.c_str(), nullptr,
                                              WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                              split.secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request) return false;
    if (!WinHttpSendRequest(request.get(), kUserAgentHeader, static_cast<DWORD>(-1),
                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0))
        return false;
    if (!WinHttpReceiveResponse(request.get(), nullptr)) return false;

    const DWORD status = StatusCode(request.get());
    const std::uint64_t total = ContentLength(request.get());

    // Declared after the handles, so it is closed (and flushed) before them.
    std::ofstream out;
    if (file) out.open(*file, std::ios::binary | std::ios::trunc);
    if (status != 200) return false;
    if (file && !out.is_open()) return false;

    Progress progress(label, total);
    std::vector<char> buffer;
    std::uint64_t received = 0;
    for (;;) {
        DWORD available = 0;
        // A failed query or read is a broken transfer, not the end of the body: without a
        // known length it would otherwise pass as a complete (truncated) download.
        if (!WinHttpQueryDataAvailable(request.get(), &available)) return false;
        if (available == 0) break;
        if (s_cancel.load()) return false;
        buffer.resize(available);
        DWORD read = 0;
        if (!WinHttpReadData(request.get(), buffer.data(), available, &read)) return false;
        if (read == 0) break;
        if (memory) memory->append(buffer.data(), read);
        if (file) {
            out.write(buffer.data(), read);
            // A full disk must not pass for a complete download.
            if (!out) return false;
        }
        received += read;
        progress.Report(received);
    }
    if (file) {
        out.close();
        if (!out) return false;
    }
    return total == 0 || received == total;
}

}  // namespace murk::setup
