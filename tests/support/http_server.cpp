#include <winsock2.h>
#include <ws2tcpip.h>

#include "tests/support/http_server.h"

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
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
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
        client_ = client;
        Answer(client);
        if (client_.exchange(kNoSocket) != kNoSocket) shutdown(client, SD_SEND);
        closesocket(client);
    }
}

// One request per connection ("Connection: close"), so the client never waits on a kept-alive
// socket that this single-threaded server isn't reading.
void HttpServer::Answer(Socket client) {
    const DWORD timeout = kReceiveTimeoutMs;
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
               sizeof timeout);
    std::string head;
    if (!ReadHead(client, head)) return;
    HttpRequest request = Parse(head);
    HttpResponse response;
    {
        std::lock_guard lock(lock_);
        requests_.push_back(request);
        const auto route = routes_.find(request.target);
        if (route != routes_.end()) {
            response = route->second;
        } else {
            response.status = 404;
            response.body = "not found";
        }
    }

    const std::uint64_t size = response.generated ? response.generated : response.body.size();
    std::string out = "HTTP/1.1 " + std::to_string(response.status) + " " +
                      Reason(response.status) + "\r\nConnection: close\r\n";
    if (!response.omitContentLength)
        out += "Content-Length: " + std::to_string(response.contentLength.value_or(size)) + "\r\n";
    for (const auto& [name, value] : response.headers)
        out += name + ": " + value + "\r\n";
    out += "\r\n";
    if (!SendAll(client, out.data(), out.size())) return;

    if (response.generated) {
        std::string piece(kGeneratedPiece, '\0');
        for (std::size_t i = 0; i < kGeneratedPiece; ++i)
            piece[i] = GeneratedByte(i);
        for (std::uint64_t offset = 0; offset < size && !stopping_;) {
            const std::size_t count =
                static_cast<std::size_t>(std::min<std::uint64_t>(kGeneratedPiece, size - offset));
            if (!SendAll(client, piece.data(), count)) return;
            offset += count;
        }
        return;
    }
    const std::size_t pieceSize = response.pieceSize ? response.pieceSize : response.body.size();
    std::size_t sent = 0;
    for (std::size_t pieces = 0; sent < response.body.size(); ++pieces) {
        if (pieces > 0 && response.pause) response.pause(pieces);
        const std::size_t count = std::min(pieceSize, response.body.size() - sent);
        if (!SendAll(client, response.body.data() + sent, count)) return;
        sent += count;
    }
}

}  // namespace murk::test
