#include "HttpTestServer.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "TestSupport.h"

namespace kivtest {

namespace {

struct Pending {
    HttpRequest request;
};

MHD_Result collectHeader(void* cls, enum MHD_ValueKind, const char* key, const char* value) {
    auto* headers = (std::map<std::string, std::string>*)cls;
    std::string k = key ? key : "";
    std::transform(k.begin(), k.end(), k.begin(), ::tolower);
    (*headers)[k] = value ? value : "";
    return MHD_YES;
}

MHD_Result collectArgument(void* cls, enum MHD_ValueKind, const char* key, const char* value) {
    auto* args = (std::map<std::string, std::string>*)cls;
    (*args)[key ? key : ""] = value ? value : "";
    return MHD_YES;
}

MHD_Result accessHandler(void* cls, struct MHD_Connection* connection, const char* url, const char* method,
                         const char*, const char* uploadData, size_t* uploadSize, void** conCls) {
    auto* server = (HttpTestServer*)cls;
    if (!*conCls) {
        Pending* p = new Pending();
        p->request.method = method;
        p->request.url = url;
        MHD_get_connection_values(connection, MHD_HEADER_KIND, collectHeader, &p->request.headers);
        MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, collectArgument, &p->request.query);
        *conCls = p;
        return MHD_YES;
    }
    Pending* p = (Pending*)*conCls;
    if (*uploadSize) {
        p->request.body.append(uploadData, *uploadSize);
        *uploadSize = 0;
        return MHD_YES;
    }
    HttpResponse r = server->handle(p->request);
    struct MHD_Response* resp =
        MHD_create_response_from_buffer(r.body.size(), (void*)r.body.data(), MHD_RESPMEM_MUST_COPY);
    MHD_add_response_header(resp, "Content-Type", r.contentType.c_str());
    MHD_Result ret = MHD_queue_response(connection, r.status, resp);
    MHD_destroy_response(resp);
    return ret;
}

void completed(void*, struct MHD_Connection*, void** conCls, enum MHD_RequestTerminationCode) {
    delete (Pending*)*conCls;
    *conCls = nullptr;
}

}  // namespace

HttpTestServer::HttpTestServer(const std::string& address, uint16_t port, Handler handler)
    : m_handler(std::move(handler)) {
    sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    struct MHD_Daemon* d =
        MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD, port, nullptr, nullptr, &accessHandler, this,
                         MHD_OPTION_SOCK_ADDR, (struct sockaddr*)&a, MHD_OPTION_NOTIFY_COMPLETED, &completed,
                         nullptr, MHD_OPTION_LISTENING_ADDRESS_REUSE, (unsigned int)1, MHD_OPTION_END);
    if (!d) return;
    m_daemon = d;
    const union MHD_DaemonInfo* info = MHD_get_daemon_info(d, MHD_DAEMON_INFO_BIND_PORT);
    m_port = info ? info->port : port;
}

HttpTestServer::~HttpTestServer() {
    if (m_daemon) MHD_stop_daemon((struct MHD_Daemon*)m_daemon);
}

void HttpTestServer::setHandler(Handler handler) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_handler = std::move(handler);
}

HttpResponse HttpTestServer::handle(const HttpRequest& r) {
    Handler h;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        h = m_handler;
    }
    HttpResponse resp = h ? h(r) : HttpResponse{404, "", "text/plain"};
    std::lock_guard<std::mutex> lock(m_lock);
    m_requests.push_back(r);
    return resp;
}

std::vector<HttpRequest> HttpTestServer::requests() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_requests;
}

size_t HttpTestServer::requestCount() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_requests.size();
}

void HttpTestServer::clearRequests() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_requests.clear();
}

bool HttpTestServer::waitForRequests(size_t n, int timeoutMs) {
    return waitUntil([&] { return requestCount() >= n; }, timeoutMs);
}

namespace {
int boundLoopbackSocket(const std::string& address, uint16_t& port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    socklen_t len = sizeof(a);
    if (bind(fd, (sockaddr*)&a, sizeof(a)) != 0 || getsockname(fd, (sockaddr*)&a, &len) != 0) {
        close(fd);
        return -1;
    }
    port = ntohs(a.sin_port);
    return fd;
}
}  // namespace

SilentTcpListener::SilentTcpListener(const std::string& address) {
    m_fd = boundLoopbackSocket(address, m_port);
    if (m_fd >= 0 && listen(m_fd, 64) != 0) {
        close(m_fd);
        m_fd = -1;
    }
}

SilentTcpListener::~SilentTcpListener() {
    if (m_fd >= 0) close(m_fd);
}

BulkHttpServer::BulkHttpServer(size_t bytes, bool sendLength) : m_bytes(bytes), m_sendLength(sendLength) {
    m_fd = boundLoopbackSocket("127.0.0.1", m_port);
    if (m_fd >= 0 && listen(m_fd, 16) != 0) {
        close(m_fd);
        m_fd = -1;
    }
    if (m_fd >= 0) m_thread = std::thread(&BulkHttpServer::run, this);
}

BulkHttpServer::~BulkHttpServer() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    if (m_fd >= 0) close(m_fd);
}

void BulkHttpServer::run() {
    std::string chunk(64 * 1024, 'x');
    while (!m_stop) {
        pollfd p = {m_fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        int c = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) continue;
        char request[4096];
        if (recv(c, request, sizeof(request), 0) <= 0) {
            close(c);
            continue;
        }
        std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\n";
        if (m_sendLength) head += "Content-Length: " + std::to_string(m_bytes) + "\r\n";
        head += "\r\n";
        bool open = send(c, head.data(), head.size(), MSG_NOSIGNAL) == (ssize_t)head.size();
        for (size_t left = m_bytes; open && left > 0 && !m_stop;) {
            ssize_t n = send(c, chunk.data(), std::min(left, chunk.size()), MSG_NOSIGNAL);
            if (n <= 0) break;  // the client hung up
            left -= (size_t)n;
            m_sent += (size_t)n;
        }
        close(c);
    }
}

uint16_t closedLoopbackPort() {
    uint16_t port = 0;
    int fd = boundLoopbackSocket("127.0.0.1", port);
    if (fd >= 0) close(fd);  // bound, never listened: connections are refused
    return port;
}

}  // namespace kivtest
