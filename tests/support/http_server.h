#pragma once
// A small HTTP/1.1 server on 127.0.0.1 (a free port) for tests and benchmarks: serves scripted
// responses, including lying lengths, redirects, ranges, stalled and dropped bodies, and records
// every request.

#include <atomic>
#include <cstdint>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace murk::test {

struct HttpRequest {
    std::string line;    // "GET /path?query HTTP/1.1"
    std::string target;  // "/path?query"
    std::vector<std::pair<std::string, std::string>> headers;

    // Every value of a header, by case-insensitive name.
    std::vector<std::string> Header(const std::string& name) const;
};

struct HttpResponse {
    int status = 200;
    std::string body;
    // The Content-Length header: the body's size unless set; a different value makes it lie.
    std::optional<std::uint64_t> contentLength;
    bool omitContentLength = false;  // the body then ends when the connection closes
    std::vector<std::pair<std::string, std::string>> headers;  // e.g. {"Location", url}
    // Sent in pieces of this size (0: at once). Before every piece after the first, pause is
    // called with the number of pieces sent so far; it may block to stall the transfer.
    std::size_t pieceSize = 0;
    std::function<void(std::size_t)> pause;
    // Instead of body: this many bytes of GeneratedByte(offset), never held in memory.
    std::uint64_t generated = 0;
    // A 200 answers "Range: bytes=N-" with 206 and the rest (416 when N is past the end), unless
    // an If-Range differs from the ETag or Last-Modified header given in headers.
    bool ranges = true;
    // Each answer ends the connection after this many bytes of its body, with a reset or a plain
    // close (then the client sees the body end early).
    std::optional<std::uint64_t> dropAfter;
    bool reset = false;
    // Called once the request is read, before anything is answered; it may block (a server that
    // accepts and never answers).
    std::function<void()> beforeAnswer;
};

// The byte at offset of a generated body: a prime period, so that misplaced blocks show.
inline constexpr std::uint64_t kGeneratedPeriod = 251;
inline char GeneratedByte(std::uint64_t offset) {
    return static_cast<char>(offset % kGeneratedPeriod);
}

class HttpServer {
  public:
    HttpServer();
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // "http://127.0.0.1:PORT", in both widths.
    std::wstring Origin() const;
    std::string OriginUtf8() const;
    unsigned short Port() const { return port_; }

    // Serves response for requests whose target (path and query) is exactly target.
    // Anything not served gets 404.
    void Serve(const std::string& target, HttpResponse response);
    // Answers the next request for target with response, once, before what Serve set applies;
    // several are used in the order given.
    void ServeOnce(const std::string& target, HttpResponse response);
    std::vector<HttpRequest> Requests() const;
    std::size_t CountRequests(const std::string& target) const;
    // Connections accepted, and bytes of bodies sent, so far.
    std::size_t Connections() const { return connections_; }
    std::uint64_t BodyBytesSent() const { return bodyBytesSent_; }

  private:
    void Loop();
    // A Winsock SOCKET, kept opaque so that users of this header needn't order their includes.
    using Socket = std::uintptr_t;
    static constexpr Socket kNoSocket = ~Socket{0};

    // True when the connection is to end with a reset.
    bool Answer(Socket client);

    Socket listener_ = kNoSocket;
    unsigned short port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<Socket> client_{kNoSocket};
    mutable std::mutex lock_;
    std::map<std::string, HttpResponse> routes_;
    std::multimap<std::string, HttpResponse> once_;
    std::atomic<std::size_t> connections_{0};
    std::atomic<std::uint64_t> bodyBytesSent_{0};
    std::vector<HttpRequest> requests_;
    std::thread thread_;
};

// A listening socket on 127.0.0.1 whose queue is full and never accepted from: a client's
// connect to it waits (until its own time-out).
class FullListener {
  public:
    FullListener();
    ~FullListener();
    FullListener(const FullListener&) = delete;
    FullListener& operator=(const FullListener&) = delete;
    unsigned short Port() const { return port_; }

  private:
    std::uintptr_t listener_;
    std::uintptr_t queued_;
    unsigned short port_ = 0;
};

}  // namespace murk::test
