#include <winsock2.h>
#include <ws2tcpip.h>

#include "tests/support/http_server.h"

#include "setup/tools/http.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace murk::test {

namespace {

constexpr std::size_t kHeaderLimit = 64 * 1024;
// A whole number of periods, so that one piece serves every offset.
constexpr std::size_t kGeneratedPiece = kGeneratedPeriod * 1024;
constexpr DWORD kReceiveTimeoutMs = 10000;

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string Trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

const char* Reason(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 206:
            return "Partial Content";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 416:
            return "Range Not Satisfiable";
        case 500:
            return "Internal Server Error";
        default:
            return "Status";
    }
}

bool SendAll(SOCKET socket, const char* data, std::size_t size) {
    while (size > 0) {
        const int chunk = static_cast<int>(std::min<std::size_t>(size, 1 << 20));
        const int sent = send(socket, data, chunk, 0);
        if (sent <= 0) return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool ReadHead(SOCKET client, std::string& head) {
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
        if (head.size() > kHeaderLimit) return false;
        const int got = recv(client, buffer, sizeof buffer, 0);
        if (got <= 0) return false;
        head.append(buffer, static_cast<std::size_t>(got));
    }
    head.resize(head.find("\r\n\r\n"));
    return true;
}

HttpRequest Parse(const std::string& head) {
    HttpRequest request;
    std::size_t start = 0;
    bool first = true;
    while (start <= head.size()) {
        std::size_t end = head.find("\r\n", start);
        if (end == std::string::npos) end = head.size();
        const std::string line = head.substr(start, end - start);
        if (first) {
            request.line = line;
            const auto a = line.find(' ');
            const auto b = line.find(' ', a + 1);
            if (a != std::string::npos) request.target = line.substr(a + 1, b - a - 1);
            first = false;
        } else if (const auto colon = line.find(':'); colon != std::string::npos) {
            request.headers.emplace_back(line.substr(0, colon), Trim(line.substr(colon + 1)));
        }
        start = end + 2;
    }
    return request;
}

// The N of "Range: bytes=N-", the only form a client of this program asks.
std::optional<std::uint64_t> RangeStart(const HttpRequest& request) {
    const std::vector<std::string> ranges = request.Header("Range");
    if (ranges.size() != 1 || !ranges[0].starts_with("bytes=") || !ranges[0].ends_with("-"))
        return std::nullopt;
    const std::string digits = ranges[0].substr(6, ranges[0].size() - 7);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return std::stoull(digits);
}

std::string HeaderOf(const HttpResponse& response, const std::string& name) {
    for (const auto& [key, value] : response.headers)
        if (Lower(key) == Lower(name)) return value;
    return {};
}

}  // namespace

std::vector<std::string> HttpRequest::Header(const std::string& name) const {
    std::vector<std::string> values;
    for (const auto& [key, value] : headers)
        if (Lower(key) == Lower(name)) values.push_back(value);
    return values;
}

HttpServer::HttpServer() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) throw std::runtime_error("WSAStartup failed");
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener_ == INVALID_SOCKET) throw std::runtime_error("no socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    int length = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 16) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        closesocket(listener_);
        throw std::runtime_error("can't listen on 127.0.0.1");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Loop(); });
    // Its origin is none of the configured ones, yet the test means Get to reach it.
    setup::s_anyLoopbackHttp = true;
}

HttpServer::~HttpServer() {
    stopping_ = true;
    closesocket(listener_);
    const SOCKET client = client_.exchange(kNoSocket);
    if (client != kNoSocket) shutdown(client, SD_BOTH);
    thread_.join();
    WSACleanup();
}

std::wstring HttpServer::Origin() const {
    return L"http://127.0.0.1:" + std::to_wstring(port_);
}

std::string HttpServer::OriginUtf8() const {
    return "http://127.0.0.1:" + std::to_string(port_);
}

void HttpServer::Serve(const std::string& target, HttpResponse response) {
    std::lock_guard lock(lock_);
    routes_[target] = std::move(response);
}

void HttpServer::ServeOnce(const std::string& target, HttpResponse response) {
    std::lock_guard lock(lock_);
    once_.emplace(target, std::move(response));
}

std::vector<HttpRequest> HttpServer::Requests() const {
    std::lock_guard lock(lock_);
    return requests_;
}

std::size_t HttpServer::CountRequests(const std::string& target) const {
    std::lock_guard lock(lock_);
    return static_cast<std::size_t>(
        std::count_if(requests_.begin(), requests_.end(),
                      [&](const HttpRequest& request) { return request.target == target; }));
}

void HttpServer::Loop() {
    while (!stopping_) {
        const SOCKET client = accept(listener_, nullptr, nullptr);
        if (client == INVALID_SOCKET) {
            if (stopping_) return;
            continue;
        }
        ++connections_;
        client_ = client;
        if (Answer(client)) {
            const linger abort{.l_onoff = 1, .l_linger = 0};
            setsockopt(client, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort),
                       sizeof abort);
            client_ = kNoSocket;
        }
        if (client_.exchange(kNoSocket) != kNoSocket) shutdown(client, SD_SEND);
        closesocket(client);
    }
}

// One request per connection ("Connection: close"), so the client never waits on a kept-alive
// socket that this single-threaded server isn't reading.
bool HttpServer::Answer(Socket client) {
    const DWORD timeout = kReceiveTimeoutMs;
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
               sizeof timeout);
    std::string head;
    if (!ReadHead(client, head)) return false;
    HttpRequest request = Parse(head);
    HttpResponse response;
    {
        std::lock_guard lock(lock_);
        requests_.push_back(request);
        const auto once = once_.lower_bound(request.target);
        const auto route = routes_.find(request.target);
        if (once != once_.end() && once->first == request.target) {
            response = std::move(once->second);
            once_.erase(once);
        } else if (route != routes_.end()) {
            response = route->second;
        } else {
            response.status = 404;
            response.body = "not found";
        }
    }
    if (response.beforeAnswer) response.beforeAnswer();

    std::uint64_t size = response.generated ? response.generated : response.body.size();
    std::uint64_t from = 0;
    std::string extra;
    const std::optional<std::uint64_t> start = RangeStart(request);
    const std::vector<std::string> ifRange = request.Header("If-Range");
    const bool unchanged = ifRange.empty() || (ifRange.size() == 1 &&
                                               (ifRange[0] == HeaderOf(response, "ETag") ||
                                                ifRange[0] == HeaderOf(response, "Last-Modified")));
    if (response.status == 200 && response.ranges && start && unchanged && *start >= size) {
        response = {.status = 416,
                    .headers = {{"Content-Range", "bytes */" + std::to_string(size)}}};
        size = 0;
    } else if (response.status == 200 && response.ranges && start && unchanged) {
        from = *start;
        response.status = 206;
        response.contentLength.reset();
        extra = "Content-Range: bytes " + std::to_string(from) + "-" + std::to_string(size - 1) +
                "/" + std::to_string(size) + "\r\n";
    }

    std::string out = "HTTP/1.1 " + std::to_string(response.status) + " " +
                      Reason(response.status) + "\r\nConnection: close\r\n";
    if (!response.omitContentLength)
        out += "Content-Length: " + std::to_string(response.contentLength.value_or(size - from)) +
               "\r\n";
    for (const auto& [name, value] : response.headers)
        out += name + ": " + value + "\r\n";
    out += extra + "\r\n";
    if (!SendAll(client, out.data(), out.size())) return false;

    // What this answer sends of the content: [from, end).
    const std::uint64_t end =
        response.dropAfter ? std::min(size, from + *response.dropAfter) : size;
    std::string pattern;
    if (response.generated) {
        // A whole number of periods and one more, so that a piece may begin at any offset.
        pattern.resize(kGeneratedPiece + kGeneratedPeriod);
        for (std::size_t i = 0; i < pattern.size(); ++i)
            pattern[i] = GeneratedByte(i);
    }
    std::uint64_t pieceSize =
        response.pieceSize ? response.pieceSize : std::max<std::uint64_t>(size, 1);
    if (response.generated) pieceSize = std::min<std::uint64_t>(pieceSize, kGeneratedPiece);
    std::uint64_t offset = from;
    for (std::size_t pieces = 0; offset < end && !stopping_; ++pieces) {
        if (pieces > 0 && response.pause) response.pause(pieces);
        const std::size_t count = static_cast<std::size_t>(std::min(pieceSize, end - offset));
        const char* data = response.generated ? pattern.data() + offset % kGeneratedPeriod
                                              : response.body.data() + offset;
        if (!SendAll(client, data, count)) return false;
        offset += count;
        bodyBytesSent_ += count;
    }
    return response.dropAfter && offset < size && response.reset;
}

FullListener::FullListener() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) throw std::runtime_error("WSAStartup failed");
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    queued_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    // A backlog of none holds one connection; the queued one fills it, so the system drops
    // every later connection request and the client waits.
    if (listener_ == INVALID_SOCKET || queued_ == INVALID_SOCKET ||
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 0) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        connect(queued_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("can't fill a listener's queue on 127.0.0.1");
    port_ = ntohs(address.sin_port);
}

FullListener::~FullListener() {
    closesocket(queued_);
    closesocket(listener_);
    WSACleanup();
}

}  // namespace murk::test
