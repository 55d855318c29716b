#pragma once
// A small HTTP server on a loopback address for tests of code that talks to
// controllers over HTTP. Every request is recorded; a handler chosen by the
// test builds the answers. Runs on libmicrohttpd's own thread.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kivtest {

struct HttpRequest {
    std::string method;
    std::string url;
    std::string body;
    std::map<std::string, std::string> headers;  // names in lower case
    std::map<std::string, std::string> query;    // arguments of the URL
    std::string header(const std::string& lowerName) const {
        auto it = headers.find(lowerName);
        return it == headers.end() ? "" : it->second;
    }
};

struct HttpResponse {
    int status = 200;
    std::string body;
    std::string contentType = "application/json";
};

class HttpTestServer {
public:
    typedef std::function<HttpResponse(const HttpRequest&)> Handler;

    // port 0 picks a free port.
    HttpTestServer(const std::string& address, uint16_t port, Handler handler);
    ~HttpTestServer();

    bool ok() const { return m_daemon != nullptr; }
    uint16_t port() const { return m_port; }
    void setHandler(Handler handler);

    std::vector<HttpRequest> requests();
    size_t requestCount();
    void clearRequests();
    // Waits until at least n requests were answered or timeoutMs passed.
    bool waitForRequests(size_t n, int timeoutMs);

    // Called by the server thread.
    HttpResponse handle(const HttpRequest& r);

private:
    void* m_daemon = nullptr;
    uint16_t m_port = 0;
    std::mutex m_lock;  // guards m_handler, m_requests
    Handler m_handler;
    std::vector<HttpRequest> m_requests;
};

// A loopback TCP port whose connections the kernel accepts but nobody ever
// answers: a device that is there and silent.
class SilentTcpListener {
public:
    explicit SilentTcpListener(const std::string& address = "127.0.0.1");
    ~SilentTcpListener();
    bool ok() const { return m_fd >= 0; }
    uint16_t port() const { return m_port; }

private:
    int m_fd = -1;
    uint16_t m_port = 0;
};

// Answers every request on a loopback port with a page of `bytes` bytes,
// streamed in pieces from a thread of its own (no copy of the whole page is
// ever held), with or without a Content-Length header. For pages too large
// for a device to be believed.
class BulkHttpServer {
public:
    BulkHttpServer(size_t bytes, bool sendLength);
    ~BulkHttpServer();
    bool ok() const { return m_fd >= 0; }
    uint16_t port() const { return m_port; }
    // Bytes of page written to clients so far.
    size_t sent() const { return m_sent; }

private:
    void run();
    size_t m_bytes;
    bool m_sendLength;
    int m_fd = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<size_t> m_sent{0};
    std::thread m_thread;
};

// A loopback port nothing listens on (connections are refused).
uint16_t closedLoopbackPort();

}  // namespace kivtest
