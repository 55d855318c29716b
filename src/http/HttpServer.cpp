#include "http/HttpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstring>

#include "common.h"
#include "http/HttpRequestHead.h"
#include "log.h"

using httpserver::error_response;
using httpserver::http_request;
using httpserver::http_response;

HttpServer HttpServer::INSTANCE;

namespace {

constexpr int LISTEN_BACKLOG = 64;
// What libmicrohttpd keeps for each connection (its own default, set here
// so that docs/http-api.md may name it): a request head that does not fit
// gets libmicrohttpd's own answer and never reaches the checks here.
constexpr size_t CONNECTION_MEMORY_BYTES = 32 * 1024;
constexpr unsigned CONNECTION_TIMEOUT_S = 10;
constexpr int STOP_GRACE_MS = 2000;

// One request being received: what the callbacks collect before it is
// answered. Lives from the first callback to the completion callback.
struct PendingRequest {
    http_request request;
    size_t received = 0;
    size_t maxBody = 0;
    bool tooLarge = false;
    bool answered = false;  // answered on its head: any body that follows is dropped
    bool sinkFailed = false;  // the body sink refused a piece: the rest is dropped
};

void* connectionContext(struct MHD_Connection* connection) {
    const union MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info ? info->socket_context : nullptr;
}

std::shared_ptr<http_response> bodyTooLarge(size_t limit) {
    return error_response(413, "Request body larger than " + std::to_string(limit) + " bytes");
}

std::string peerAddress(struct MHD_Connection* connection) {
    const union MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    return info ? HttpAccessRules::PeerAddress(info->client_addr) : "";
}

MHD_Result collectHeader(void* cls, enum MHD_ValueKind, const char* key, const char* value) {
    if (key) ((HttpRequestHead*)cls)->headers.emplace_back(key, value ? value : "");
    return MHD_YES;
}

// The request as the stream's listener reads it (src/http/HttpRequestHead),
// from what libmicrohttpd parsed: the target as sent, decoded by the same
// code. A refusal when it cannot be served.
std::shared_ptr<http_response> readRequest(HttpServer* server, struct MHD_Connection* connection, void* tracked,
                                           const char* url, const char* method, const char* version,
                                           http_request& request) {
    HttpRequestHead head;
    head.method = method ? method : "";
    head.version = version ? version : "";
    MHD_get_connection_values(connection, MHD_HEADER_KIND, collectHeader, &head);
    std::string peer = peerAddress(connection);
    request.set_method(head.method);
    request.set_requestor(peer);
    const auto badTarget = [] { return error_response(400, "Request target holds a NUL byte or a broken escape"); };
    if (!server->SentTarget(tracked, url, version, head.target)) return badTarget();
    if (head.target.size() > HttpLimits::MAX_REQUEST_HEAD_BYTES) {
        return error_response(414, "Request target longer than " +
                                       std::to_string(HttpLimits::MAX_REQUEST_HEAD_BYTES) + " bytes");
    }
    // As the head was sent: request line, "name: value" lines, blank line.
    size_t bytes = head.method.size() + head.target.size() + head.version.size() + 6;
    for (auto& h : head.headers) bytes += h.first.size() + h.second.size() + 4;
    if (bytes > HttpLimits::MAX_REQUEST_HEAD_BYTES || head.headers.size() > MAX_REQUEST_HEADER_FIELDS) {
        return error_response(431, "Request head larger than " + std::to_string(HttpLimits::MAX_REQUEST_HEAD_BYTES) +
                                       " bytes or with more than " + std::to_string(MAX_REQUEST_HEADER_FIELDS) +
                                       " fields");
    }
    if (!ToHttpRequest(head, peer, request)) return badTarget();
    return nullptr;
}

MHD_Result queue(struct MHD_Connection* connection, const http_response& r) {
    struct MHD_Response* resp = nullptr;
    int code = r.get_response_code();
    if (!r.get_file().empty()) {
        int fd = open(r.get_file().c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st;
        if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
            resp = MHD_create_response_from_fd64((uint64_t)st.st_size, fd);
        } else if (fd >= 0) {
            close(fd);
        }
        if (!resp) {
            auto nf = error_response(404, "Not found");
            return queue(connection, *nf);
        }
    } else {
        const std::string& body = r.get_body();
        resp = MHD_create_response_from_buffer(body.size(), (void*)body.data(), MHD_RESPMEM_MUST_COPY);
    }
    if (!resp) return MHD_NO;
    MHD_add_response_header(resp, MHD_HTTP_HEADER_CONTENT_TYPE, r.get_content_type().c_str());
    MHD_add_response_header(resp, "X-Content-Type-Options", "nosniff");
    bool hasCache = false;
    for (auto& h : r.get_headers()) {
        MHD_add_response_header(resp, h.first.c_str(), h.second.c_str());
        if (toLowerCopy(h.first) == "cache-control") hasCache = true;
    }
    if (!hasCache) MHD_add_response_header(resp, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    MHD_Result ret = MHD_queue_response(connection, code, resp);
    MHD_destroy_response(resp);
    return ret;
}

MHD_Result accessHandler(void* cls, struct MHD_Connection* connection, const char* url, const char* method,
                         const char* version, const char* uploadData, size_t* uploadSize, void** conCls) {
    static thread_local bool named = false;
    if (!named) {
        SetThreadName("KIV-HTTP");
        named = true;
    }
    auto* server = (HttpServer*)cls;
    void* tracked = connectionContext(connection);
    auto answer = [&](PendingRequest* p, const http_response& r) {
        p->answered = true;
        server->ConnectionStage(tracked, HttpServer::Stage::Answered);
        return queue(connection, r);
    };
    if (!*conCls) {
        auto* p = new PendingRequest();
        *conCls = p;
        server->RequestStarted();
        server->ConnectionStage(tracked, HttpServer::Stage::Body);
        if (auto bad = readRequest(server, connection, tracked, url, method, version, p->request)) {
            LogDebug(VB_HTTP, "HTTP %s from %s refused: %s\n", method, p->request.get_requestor().c_str(),
                     bad->get_body().c_str());
            return answer(p, *bad);
        }
        // Refused on its head alone: no body is read for a request that
        // will not be served.
        auto refusal = server->Admit(p->request, p->maxBody);
        if (refusal) return answer(p, *refusal);
        std::string length = p->request.get_header("Content-Length");
        if (!length.empty() && strtoull(length.c_str(), nullptr, 10) > p->maxBody) {
            // Answered before the body is read; the connection then closes.
            LogDebug(VB_HTTP, "HTTP %s %s: body of %s bytes refused\n", method, url, length.c_str());
            return answer(p, *bodyTooLarge(p->maxBody));
        }
        p->request.set_body_sink(server->BodySink(p->request));
        if (auto* sink = p->request.get_body_sink()) {
            if (auto early = sink->refusal()) return answer(p, *early);
        }
        return MHD_YES;
    }
    auto* p = (PendingRequest*)*conCls;
    if (p->answered) {
        *uploadSize = 0;
        return MHD_YES;
    }
    if (*uploadSize) {
        p->received += *uploadSize;
        if (p->received > p->maxBody) {
            // Read and dropped so the answer can still be sent.
            p->tooLarge = true;
            p->request.content().clear();
            p->request.set_body_sink(nullptr);  // a streamed upload's temporary goes
        } else if (httpserver::body_sink* sink = p->request.get_body_sink()) {
            if (!p->sinkFailed && !sink->write(uploadData, *uploadSize)) p->sinkFailed = true;
        } else if (!p->tooLarge) {
            p->request.content().append(uploadData, *uploadSize);
        }
        *uploadSize = 0;
        return MHD_YES;
    }
    if (p->tooLarge) return answer(p, *bodyTooLarge(p->maxBody));
    auto r = server->Serve(p->request);
    LogDebug(VB_HTTP, "HTTP %s %s from %s: %d\n", method, url, p->request.get_requestor().c_str(),
             r->get_response_code());
    return answer(p, *r);
}

void requestCompleted(void* cls, struct MHD_Connection* connection, void** conCls,
                      enum MHD_RequestTerminationCode) {
    auto* server = (HttpServer*)cls;
    // Kept alive, the connection now waits for its next request's head.
    server->ConnectionStage(connectionContext(connection), HttpServer::Stage::Head);
    auto* p = (PendingRequest*)*conCls;
    if (!p) return;
    delete p;
    *conCls = nullptr;
    server->RequestFinished();
}

void* targetSent(void* cls, const char* uri, struct MHD_Connection* connection) {
    ((HttpServer*)cls)->TargetSent(connectionContext(connection), uri);
    return nullptr;
}

void connectionNotify(void* cls, struct MHD_Connection* connection, void** context,
                      enum MHD_ConnectionNotificationCode code) {
    auto* server = (HttpServer*)cls;
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        const union MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        server->ConnectionStarted(context, info ? (int)info->connect_fd : -1);
    } else if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
        server->ConnectionClosed(context);
    }
}

void mhdLogger(void* cls, const char* fmt, va_list ap) {
    char buf[512];
    vsnprintf(buf, sizeof(buf), fmt, ap);
    std::string text = buf;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    ((HttpServer*)cls)->LibraryMessage(text);
}

}  // namespace

HttpServer::HttpServer() {}

HttpServer::~HttpServer() { Stop(); }

bool HttpServer::Start(const Options& options) {
    if (m_daemon) {
        m_lastError = "already running";
        return false;
    }
    m_options = options;
    m_rules = HttpAccessRules(options.accessToken, options.allowedHosts);
    m_lastError.clear();
    std::string where = options.address + ":" + std::to_string(options.port);

    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE | AI_NUMERICSERV;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* ai = nullptr;
    std::string port = std::to_string(options.port);
    if (options.port < 0 || options.port > 65535 ||
        getaddrinfo(options.address.c_str(), port.c_str(), &hints, &ai) != 0 || !ai) {
        m_lastError = "'" + options.address + "' port " + port + " is not a numeric IP address and port";
        LogErr(VB_HTTP, "HTTP server cannot start: %s\n", m_lastError.c_str());
        return false;
    }
    bool ipv6 = ai->ai_family == AF_INET6;
    int fd = socket(ai->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0 ||
        bind(fd, ai->ai_addr, ai->ai_addrlen) != 0 || listen(fd, LISTEN_BACKLOG) != 0) {
        m_lastError = std::string(strerror(errno));
        if (fd >= 0) close(fd);
        freeaddrinfo(ai);
        LogErr(VB_HTTP, "HTTP server cannot listen on %s: %s\n", where.c_str(), m_lastError.c_str());
        return false;
    }
    freeaddrinfo(ai);
    struct sockaddr_storage bound;
    socklen_t boundLen = sizeof(bound);
    getsockname(fd, (struct sockaddr*)&bound, &boundLen);
    m_port = ntohs(ipv6 ? ((sockaddr_in6*)&bound)->sin6_port : ((sockaddr_in*)&bound)->sin_port);

    unsigned flags = MHD_USE_AUTO_INTERNAL_THREAD | MHD_USE_ITC | MHD_USE_ERROR_LOG;
    if (ipv6) flags |= MHD_USE_IPv6;
    struct MHD_Daemon* d = MHD_start_daemon(
        // The logger first: libmicrohttpd reports problems with the options
        // that follow through it.
        flags, 0, nullptr, nullptr, &accessHandler, this, MHD_OPTION_EXTERNAL_LOGGER, &mhdLogger, this,
        MHD_OPTION_LISTEN_SOCKET, (MHD_socket)fd, MHD_OPTION_THREAD_POOL_SIZE, (unsigned)std::max(1, options.threads),
        MHD_OPTION_CONNECTION_LIMIT, HttpLimits::CONNECTIONS, MHD_OPTION_CONNECTION_TIMEOUT, CONNECTION_TIMEOUT_S,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, HttpLimits::CONNECTIONS_PER_ADDRESS, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        CONNECTION_MEMORY_BYTES, MHD_OPTION_NOTIFY_COMPLETED, &requestCompleted, this, MHD_OPTION_NOTIFY_CONNECTION,
        &connectionNotify, this, MHD_OPTION_URI_LOG_CALLBACK, &targetSent, this, MHD_OPTION_END);
    if (!d) {
        close(fd);
        m_lastError = "libmicrohttpd did not start";
        LogErr(VB_HTTP, "HTTP server cannot start on %s: %s\n", where.c_str(), m_lastError.c_str());
        return false;
    }
    m_listenFd = fd;
    m_daemon = d;
    m_serving = true;
    LogInfo(VB_HTTP, "HTTP server listening on %s port %d%s\n", options.address.c_str(), m_port,
            options.accessToken.empty() ? "" : " (access token required)");
    return true;
}

void HttpServer::Stop() {
    if (!m_daemon) return;
    auto* d = (struct MHD_Daemon*)m_daemon;
    // No new connections; requests in progress get their answers.
    MHD_socket lfd = MHD_quiesce_daemon(d);
    {
        std::unique_lock<std::mutex> lock(m_requestsLock);
        m_requestsDone.wait_for(lock, std::chrono::milliseconds(STOP_GRACE_MS), [this] { return m_requests == 0; });
    }
    MHD_stop_daemon(d);
    if (lfd != MHD_INVALID_SOCKET) close(lfd);
    {
        // Connections the server closed without telling.
        std::lock_guard<std::mutex> lock(m_connectionsLock);
        for (Connection* c : m_connections) {
            if (c->fd >= 0) close(c->fd);
            delete c;
        }
        m_connections.clear();
    }
    m_daemon = nullptr;
    m_listenFd = -1;
    m_serving = false;
    ReportRefusals();
    LogInfo(VB_HTTP, "HTTP server on %s port %d stopped\n", m_options.address.c_str(), m_port);
}

void HttpServer::RequestStarted() {
    std::lock_guard<std::mutex> lock(m_requestsLock);
    ++m_requests;
}

void HttpServer::RequestFinished() {
    std::lock_guard<std::mutex> lock(m_requestsLock);
    if (--m_requests == 0) m_requestsDone.notify_all();
}

std::string HttpServer::NormalisePath(const std::string& path) {
    std::string p = path.empty() || path[0] != '/' ? "/" + path : path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}

bool HttpServer::RegisterResource(const std::string& path, httpserver::http_resource* resource, bool family,
                                  bool needsToken) {
    if (!resource || path.empty() || path[0] != '/' || contains(path, "..") || contains(path, "//")) {
        LogErr(VB_HTTP, "Cannot mount an HTTP resource at '%s'\n", path.c_str());
        return false;
    }
    std::string p = NormalisePath(path);
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_mounts.count(p)) {
        LogErr(VB_HTTP, "HTTP path %s is already taken\n", p.c_str());
        return false;
    }
    auto m = std::make_shared<Mount>();
    m->resource = resource;
    m->family = family;
    m->needsToken = needsToken;
    m_mounts[p] = m;
    LogDebug(VB_HTTP, "HTTP resource mounted at %s%s\n", p.c_str(), family ? " (and below)" : "");
    return true;
}

void HttpServer::UnregisterResource(const std::string& path) {
    std::string p = NormalisePath(path);
    std::unique_lock<std::mutex> lock(m_lock);
    auto it = m_mounts.find(p);
    if (it == m_mounts.end()) return;
    std::shared_ptr<Mount> m = it->second;
    m_mounts.erase(it);
    m_released.wait(lock, [&] { return m->inFlight == 0; });
    LogDebug(VB_HTTP, "HTTP resource at %s taken down\n", p.c_str());
}

bool HttpServer::AddStaticDirectory(const std::string& urlPrefix, const std::string& dir) {
    if (urlPrefix.empty() || urlPrefix[0] != '/' || contains(urlPrefix, "..")) {
        LogErr(VB_HTTP, "Cannot serve pages at '%s'\n", urlPrefix.c_str());
        return false;
    }
    std::lock_guard<std::mutex> lock(m_lock);
    m_static[NormalisePath(urlPrefix)] = dir;
    return true;
}

void HttpServer::RemoveStaticDirectory(const std::string& urlPrefix) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_static.erase(NormalisePath(urlPrefix));
}

std::shared_ptr<HttpServer::Mount> HttpServer::FindMount(const std::string& path) {
    // Caller holds m_lock.
    std::string p = NormalisePath(path);
    auto it = m_mounts.find(p);
    if (it != m_mounts.end()) return it->second;
    while (p.size() > 1) {
        size_t slash = p.rfind('/');
        p = slash == 0 ? "/" : p.substr(0, slash);
        it = m_mounts.find(p);
        if (it != m_mounts.end() && it->second->family) return it->second;
    }
    return nullptr;
}

std::vector<std::string> HttpServer::MountedPaths() {
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<std::string> paths;
    for (auto& m : m_mounts) paths.push_back(m.first);
    return paths;
}

std::shared_ptr<http_response> HttpServer::Admit(const http_request& head, size_t& maxBodyBytes) {
    std::shared_ptr<Mount> mount;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        mount = FindMount(head.get_path());
        if (mount) ++mount->inFlight;
    }
    // Pages: read by anyone who may address the board, token or not (a
    // page asks for the token itself).
    HttpAccess access = HttpAccess::Read(HttpAccess::Token::None);
    if (mount) {
        access = mount->resource->access(head);
        if (!mount->needsToken) access.token = HttpAccess::Token::None;
        std::lock_guard<std::mutex> lock(m_lock);
        if (--mount->inFlight == 0) m_released.notify_all();
    }
    maxBodyBytes = access.maxBodyBytes ? access.maxBodyBytes : m_options.maxBodyBytes;
    HttpAccessRules::Verdict v = m_rules.Check(head, access);
    if (v.allowed()) return nullptr;
    LogDebug(VB_HTTP, "HTTP %s %s from %s refused: %s\n", head.get_method().c_str(), head.get_path().c_str(),
             head.get_requestor().c_str(), v.message.c_str());
    auto r = error_response(v.status, v.message);
    if (v.status == 401) r->with_header("WWW-Authenticate", "Bearer");
    return r;
}

std::shared_ptr<httpserver::body_sink> HttpServer::BodySink(const http_request& head) {
    std::shared_ptr<Mount> mount;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        mount = FindMount(head.get_path());
        if (!mount) return nullptr;
        ++mount->inFlight;
    }
    auto sink = mount->resource->body_sink_for(head);
    std::lock_guard<std::mutex> lock(m_lock);
    if (--mount->inFlight == 0) m_released.notify_all();
    return sink;
}

std::shared_ptr<http_response> HttpServer::Handle(const http_request& request) {
    size_t maxBody = 0;
    auto refusal = Admit(request, maxBody);
    if (refusal) return refusal;
    if (request.get_content().size() > maxBody) return bodyTooLarge(maxBody);
    return Serve(request);
}

std::shared_ptr<http_response> HttpServer::Serve(const http_request& request) {
    std::shared_ptr<Mount> mount;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        mount = FindMount(request.get_path());
        if (mount) ++mount->inFlight;
    }
    if (!mount) return ServeStatic(request);
    std::shared_ptr<http_response> r = mount->resource->render_method(request);
    if (!r) r = error_response(500, "No answer from " + request.get_path());
    std::lock_guard<std::mutex> lock(m_lock);
    if (--mount->inFlight == 0) m_released.notify_all();
    return r;
}

void HttpServer::ConnectionStarted(void** context, int fd) {
    auto* c = new Connection();
    c->fd = fd >= 0 ? fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
    c->since = GetMonotonicMS();
    *context = c;
    std::lock_guard<std::mutex> lock(m_connectionsLock);
    m_connections.insert(c);
    DropSlowRequests();
}

void HttpServer::ConnectionStage(void* context, Stage stage) {
    auto* c = (Connection*)context;
    if (!c) return;
    std::lock_guard<std::mutex> lock(m_connectionsLock);
    if (c->stage == stage) return;
    c->stage = stage;
    if (stage == Stage::Answered) ++c->answered;
    if (stage != Stage::Body) c->since = GetMonotonicMS();
}

void HttpServer::ConnectionClosed(void** context) {
    auto* c = (Connection*)*context;
    if (!c) return;
    {
        std::lock_guard<std::mutex> lock(m_connectionsLock);
        m_connections.erase(c);
    }
    if (c->fd >= 0) close(c->fd);
    delete c;
    *context = nullptr;
}

void HttpServer::TargetSent(void* context, const char* target) {
    auto* c = (Connection*)context;
    if (!c) return;
    c->target = target ? target : "";
    c->targetAt = target;
}

bool HttpServer::SentTarget(void* context, const char* url, const char* version, std::string& target) {
    auto* c = (Connection*)context;
    if (!c || !c->targetAt) {
        // Not seen before decoding (no libmicrohttpd calls it so): the
        // decoded path is all there is.
        target = url ? url : "/";
        return true;
    }
    const char* at = c->targetAt;
    c->targetAt = nullptr;
    target = c->target;
    // libmicrohttpd hands the target over as a C string, so a NUL byte sent
    // in it cuts it short there, unseen. It keeps the target and the
    // version after it in the one buffer: the room between them is the
    // length as sent.
    if (url == at && version > url && (size_t)(version - url) <= CONNECTION_MEMORY_BYTES) {
        return (size_t)(version - url) == target.size() + 1;
    }
    return true;
}

void HttpServer::DropSlowRequests() {
    long long now = GetMonotonicMS();
    std::vector<Connection*> unfinished;
    int dropped = 0;
    auto drop = [&](Connection* c) {
        // The server's own thread then sees the stream end and closes it.
        if (c->fd >= 0) shutdown(c->fd, SHUT_RDWR);
        c->dropped = true;
        ++dropped;
    };
    for (Connection* c : m_connections) {
        if (c->dropped || c->stage == Stage::Answered) continue;
        if (c->stage == Stage::Head && now - c->since >= HttpLimits::REQUEST_HEAD_SECONDS * 1000LL) {
            drop(c);
        } else {
            unfinished.push_back(c);
        }
    }
    if (unfinished.size() > HttpLimits::UNFINISHED_REQUESTS) {
        // Never answered before waited-on ones, oldest first; the young are
        // spared for the newest, as long as old ones make room.
        std::sort(unfinished.begin(), unfinished.end(), [](Connection* a, Connection* b) {
            if ((a->answered > 0) != (b->answered > 0)) return a->answered == 0;
            return a->since < b->since;
        });
        size_t excess = unfinished.size() - HttpLimits::UNFINISHED_REQUESTS;
        for (Connection* c : unfinished) {
            if (excess && now - c->since >= HttpLimits::UNFINISHED_GRACE_MS) {
                drop(c);
                --excess;
            }
        }
        for (size_t i = unfinished.size(); excess && i-- > 0;) {
            if (!unfinished[i]->dropped && unfinished[i]->answered == 0) {
                drop(unfinished[i]);
                --excess;
            }
        }
    }
    if (!dropped) return;
    std::lock_guard<std::mutex> lock(m_refusalsLock);
    m_refused.tooSlow += dropped;
    m_unreported.tooSlow += dropped;
}

void HttpServer::LibraryMessage(const std::string& text) {
    if (!m_serving) {
        LogWarn(VB_HTTP, "libmicrohttpd: %s\n", text.c_str());
        return;
    }
    // It speaks once per connection or request it refuses: counted here,
    // summed up by ReportRefusals.
    int status = 0;
    bool answered = sscanf(text.c_str(), "Error processing request (HTTP response code is %d", &status) == 1;
    bool atLimit = startsWith(text, "Server reached connection limit");
    std::lock_guard<std::mutex> lock(m_refusalsLock);
    for (Refusals* r : {&m_refused, &m_unreported}) {
        if (answered) {
            ++r->byLibrary[status];
        } else if (atLimit) {
            ++r->atLimit;
        } else {
            ++r->otherMessages;
            r->lastMessage = text;
        }
    }
}

HttpServer::Refusals HttpServer::Refused() {
    std::lock_guard<std::mutex> lock(m_refusalsLock);
    return m_refused;
}

void HttpServer::ReportRefusals() {
    Refusals r;
    {
        std::lock_guard<std::mutex> lock(m_refusalsLock);
        std::swap(r, m_unreported);
    }
    if (r.empty()) return;
    std::vector<std::string> parts;
    if (!r.byLibrary.empty()) {
        long n = 0;
        std::string statuses;
        for (auto& s : r.byLibrary) {
            n += s.second;
            statuses += (statuses.empty() ? "" : ", ") + std::to_string(s.first) + ": " + std::to_string(s.second);
        }
        parts.push_back("libmicrohttpd refused " + std::to_string(n) + " request(s) (" + statuses + ")");
    }
    if (r.tooSlow) {
        parts.push_back("dropped " + std::to_string(r.tooSlow) + " connection(s) whose requests came too slowly");
    }
    if (r.atLimit) parts.push_back(std::to_string(r.atLimit) + " connection(s) closed at the connection limit");
    if (r.otherMessages) {
        parts.push_back(std::to_string(r.otherMessages) + " other message(s) of libmicrohttpd (last: " +
                        r.lastMessage + ")");
    }
    std::string line;
    for (auto& p : parts) line += (line.empty() ? "" : "; ") + p;
    LogInfo(VB_HTTP, "HTTP in the last minute: %s\n", line.c_str());
}

std::string HttpServer::StaticContentType(const std::string& path) {
    static const std::map<std::string, std::string> types = {
        {"html", "text/html; charset=utf-8"}, {"htm", "text/html; charset=utf-8"},
        {"js", "text/javascript; charset=utf-8"}, {"css", "text/css; charset=utf-8"},
        {"svg", "image/svg+xml"}, {"png", "image/png"}, {"jpg", "image/jpeg"}, {"jpeg", "image/jpeg"},
        {"gif", "image/gif"}, {"ico", "image/x-icon"}, {"txt", "text/plain; charset=utf-8"}};
    size_t slash = path.rfind('/');
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    auto it = types.find(toLowerCopy(path.substr(dot + 1)));
    return it == types.end() ? "" : it->second;
}

std::shared_ptr<http_response> HttpServer::ServeStatic(const http_request& request) {
    const std::string& path = request.get_path();
    std::string prefix, dir;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (auto& s : m_static) {
            bool under = s.first == "/" || path == s.first || startsWith(path, s.first + "/");
            if (under && s.first.size() >= prefix.size()) {
                prefix = s.first;
                dir = s.second;
            }
        }
    }
    if (dir.empty()) return error_response(404, "Not found: " + path);
    if (request.get_method() != "GET" && request.get_method() != "HEAD") {
        auto r = error_response(405, "Method " + request.get_method() + " is not allowed on " + path);
        r->with_header("Allow", "GET, HEAD");
        return r;
    }
    std::string rest = prefix == "/" ? path : path.substr(prefix.size());
    std::string file = dir;
    for (auto& piece : split(rest, '/')) {
        if (piece.empty()) continue;
        // Hidden files, "." and ".." never leave the folder or show what it hides.
        if (piece[0] == '.' || piece.find('\0') != std::string::npos) {
            return error_response(404, "Not found: " + path);
        }
        file += "/" + piece;
    }
    struct stat st;
    if (stat(file.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        if (path.empty() || path.back() != '/') {
            auto r = std::make_shared<httpserver::string_response>("", 301, "text/plain");
            r->with_header("Location", path + "/");
            return r;
        }
        file += "/index.html";
    }
    std::string type = StaticContentType(file);
    if (type.empty() || stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return error_response(404, "Not found: " + path);
    }
    auto r = std::make_shared<httpserver::file_response>(file, 200, type);
    r->with_header("Cache-Control", "no-cache");
    return r;
}
