#include "channeloutput/HTTPVirtualDisplay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

#include "LogRateLimit.h"
#include "Warnings.h"
#include "common.h"
#include "http/HttpRequestHead.h"
#include "http/HttpServer.h"
#include "log.h"
#include "settings.h"

// Digits of colours and positions in the stream: digit value = index.
static const char STREAM_DIGITS[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz+/";
// Room for a burst of connections to wait for the accepting thread: with a
// short queue a browser's connection waits a second for every retry the
// kernel makes while others flood the port.
static constexpr int LISTEN_BACKLOG = HttpLimits::CONNECTIONS;
static constexpr int FOUR_DIGIT_LIMIT_X = 4095;  // x from here on needs the six-digit form
static constexpr int FOUR_DIGIT_LIMIT_Y = 4096;
static constexpr const char* GEOMETRY_PATH = "/kivd/virtualdisplay";
static constexpr uint32_t COLOUR_KEYS = 1 << 18;  // 6 bits each of red, green, blue
static constexpr int REFUSALS_LOGGED_PER_MINUTE = 10;

// One message number for the whole process, shared by every display.
static std::atomic<unsigned int> messageNumber{0};

// Colour groups go out in ascending order of their text. In ASCII "+" and
// "/" (digits 62 and 63) sort before "0", so a digit's rank is not its value.
static inline unsigned digitRank(unsigned d) { return d < 62 ? d + 2 : d - 62; }
static inline unsigned rankDigit(unsigned r) { return r < 2 ? r + 62 : r - 2; }

// ---------------------------------------------------------------------------
// The displays of this process, for the page's geometry request.

namespace {

std::mutex displaysLock;  // guards displays
std::vector<HTTPVirtualDisplayOutput*> displays;
std::mutex registrationLock;  // orders mounting and unmounting the resource

class VirtualDisplaysResource : public httpserver::http_resource {
public:
    std::shared_ptr<httpserver::http_response> render_GET(const httpserver::http_request&) override {
        Json::Value doc(Json::objectValue);
        doc["displays"] = Json::Value(Json::arrayValue);
        {
            std::lock_guard<std::mutex> lock(displaysLock);
            for (auto* d : displays) {
                Json::Value v(Json::objectValue);
                v["port"] = d->Port();
                v["width"] = d->Width();
                v["height"] = d->Height();
                v["pixels"] = (Json::UInt64)d->Pixels().size();
                v["positionDigits"] = d->SixDigitPositions() ? 6 : 4;
                v["startChannel"] = d->GetStartChannel() + 1;
                v["channelCount"] = d->GetChannelCount();
                doc["displays"].append(v);
            }
        }
        auto r = std::make_shared<httpserver::string_response>(SaveJsonToString(doc), 200, "application/json");
        r->with_header("Cache-Control", "no-store");
        return r;
    }
};

VirtualDisplaysResource geometryResource;

}  // namespace

// ---------------------------------------------------------------------------

HTTPVirtualDisplayOutput::HTTPVirtualDisplayOutput(unsigned int startChannel, unsigned int channelCount)
    : VirtualDisplayBaseOutput(startChannel, channelCount) {
    LogDebug(VB_CHANNELOUT, "HTTPVirtualDisplayOutput::HTTPVirtualDisplayOutput(%u, %u)\n", startChannel,
             channelCount);
    m_bytesPerPixel = 3;
    m_bitsPerPixel = 24;
}

HTTPVirtualDisplayOutput::~HTTPVirtualDisplayOutput() {
    LogDebug(VB_CHANNELOUT, "HTTPVirtualDisplayOutput::~HTTPVirtualDisplayOutput()\n");
    Close();
}

std::string HTTPVirtualDisplayOutput::ResponseHeader(const std::string& origin, bool sixDigits) {
    return std::string("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream;charset=UTF-8\r\n"
                       "Transfer-Encoding: chunked\r\nConnection: close\r\nDate: ") +
           GetTimeStr("%a %b %d %H:%M:%S %Z %Y") + "\r\nServer: kivd\r\nX-Powered-By: KIV/" + getKIVVersion() +
           "\r\nCache-Control: no-cache, private\r\nAccess-Control-Allow-Origin: " + (origin.empty() ? "*" : origin) +
           "\r\nAccess-Control-Allow-Credentials: true\r\nX-Position-Digits: " + (sixDigits ? "6" : "4") +
           "\r\n\r\n";
}

// A refusal as a whole HTTP answer in place of the stream, sent without
// waiting: a socket that sent nothing yet has room for it.
static void sendRefusal(int fd, int status, const std::string& message) {
    static const std::map<int, const char*> reasons = {
        {400, "Bad Request"}, {401, "Unauthorized"}, {403, "Forbidden"}, {405, "Method Not Allowed"},
        {431, "Request Header Fields Too Large"}, {503, "Service Unavailable"}};
    auto it = reasons.find(status);
    std::string body = httpserver::error_response(status, message)->get_body();
    std::string text = "HTTP/1.1 " + std::to_string(status) + " " + (it == reasons.end() ? "Error" : it->second) +
                       "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
                       "\r\nConnection: close\r\n" + (status == 401 ? "WWW-Authenticate: Bearer\r\n" : "") +
                       "\r\n" + body;
    if (send(fd, text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0) {
        // gone already
    }
}

// Whether the kernel would take no more for this socket now: its send
// buffer is full of what the peer has not read. Asks without waiting.
static bool sendBufferFull(int fd) {
    pollfd p = {fd, POLLOUT, 0};
    return poll(&p, 1, 0) == 0;
}

static void logRefusal(int port, const std::string& peer, const std::string& why) {
    static LogRateLimit refusals(REFUSALS_LOGGED_PER_MINUTE);
    long heldBack = 0;
    bool last = false;
    if (refusals.Allow(heldBack, &last)) {
        LogInfo(VB_CHANNELOUT, "Virtual display on port %d: refused %s: %s%s\n", port, peer.c_str(), why.c_str(),
                LogRateLimit::Note(heldBack, last, "refusals").c_str());
    }
}

std::string HTTPVirtualDisplayOutput::EncodePosition(int x, int y, bool sixDigits) {
    std::string s;
    if (sixDigits) {
        s += STREAM_DIGITS[(x / 4096) % 64];
        s += STREAM_DIGITS[(x / 64) % 64];
        s += STREAM_DIGITS[x % 64];
        s += STREAM_DIGITS[(y / 4096) % 64];
        s += STREAM_DIGITS[(y / 64) % 64];
        s += STREAM_DIGITS[y % 64];
    } else {
        s += STREAM_DIGITS[(x / 64) % 64];
        s += STREAM_DIGITS[x % 64];
        s += STREAM_DIGITS[(y / 64) % 64];
        s += STREAM_DIGITS[y % 64];
    }
    return s;
}

// Binds the listening socket to the web server's address ("::" takes IPv4
// too). Returns the socket or -1 (logged).
static int openListeningSocket(const std::string& address, int port) {
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE | AI_NUMERICSERV;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* ai = nullptr;
    if (getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &ai) != 0 || !ai) {
        LogErr(VB_CHANNELOUT, "Could not bind socket: '%s' is not a numeric IP address\n", address.c_str());
        return -1;
    }
    int fd = socket(ai->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        LogErr(VB_CHANNELOUT, "Could not create socket: %s\n", strerror(errno));
        freeaddrinfo(ai);
        return -1;
    }
    int one = 1, zero = 0;
    if (ai->ai_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof(zero));
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof(one)) < 0) {
        LogErr(VB_CHANNELOUT, "Error turning on SO_REUSEPORT; %s\n", strerror(errno));
        close(fd);
        freeaddrinfo(ai);
        return -1;
    }
    int ok = bind(fd, ai->ai_addr, ai->ai_addrlen);
    freeaddrinfo(ai);
    if (ok < 0) {
        LogErr(VB_CHANNELOUT, "Could not bind socket: %s\n", strerror(errno));
        close(fd);
        return -1;
    }
    if (listen(fd, LISTEN_BACKLOG) < 0) {
        LogErr(VB_CHANNELOUT, "Could not listen on socket: %s\n", strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

int HTTPVirtualDisplayOutput::Init(Json::Value config) {
    LogDebug(VB_CHANNELOUT, "HTTPVirtualDisplayOutput::Init()\n");
    if (!VirtualDisplayBaseOutput::Init(config)) return 0;
    if (config.isMember("port")) {
        const Json::Value& p = config["port"];
        if (!p.isIntegral() || p.asInt64() < 1 || p.asInt64() > 65535) {
            LogErr(VB_CHANNELOUT, "Virtual display \"port\" must be a number 1-65535, not %s\n",
                   SaveJsonToString(p).c_str());
            return 0;
        }
        m_port = p.asInt();
    }
    m_width = -1;
    m_height = -1;
    if (!InitializePixelMap()) {
        LogErr(VB_CHANNELOUT, "Error, unable to initialize pixel map\n");
        WarningHolder::AddWarning("Virtual display on port " + std::to_string(m_port) + ": " + LastMapError());
        return 0;
    }
    std::fill(m_virtualDisplay.begin(), m_virtualDisplay.end(), 0);
    m_colourCount.assign(COLOUR_KEYS, 0);

    m_sixDigits = false;
    for (const auto& px : m_pixels) {
        if (px.x >= FOUR_DIGIT_LIMIT_X || FlippedY(px) >= FOUR_DIGIT_LIMIT_Y) m_sixDigits = true;
    }
    // Each pixel's position, ready to go into a message: its 4 characters
    // as they lie in memory, or its 6 digit values of 6 bits.
    m_positionCodes.resize(m_pixels.size());
    for (size_t i = 0; i < m_pixels.size(); ++i) {
        std::string pos = EncodePosition(m_pixels[i].x, FlippedY(m_pixels[i]), m_sixDigits);
        uint64_t code = 0;
        if (m_sixDigits) {
            for (char c : pos) code = (code << 6) | (uint64_t)(strchr(STREAM_DIGITS, c) - STREAM_DIGITS);
        } else {
            uint32_t chars;
            memcpy(&chars, pos.data(), 4);
            code = chars;
        }
        m_positionCodes[i] = code;
    }

    {
        // Two listeners on one port would share the browsers between them
        // (SO_REUSEPORT lets the second bind succeed).
        std::lock_guard<std::mutex> lock(displaysLock);
        for (auto* d : displays) {
            if (d != this && d->Port() == m_port) {
                LogErr(VB_CHANNELOUT, "Virtual display port %d is already used by another virtual display\n",
                       m_port);
                return 0;
            }
        }
    }

    m_bindAddress = getSetting("HTTPBindAddress", "127.0.0.1");
    m_rules = HttpAccessRules::FromSettings();
    m_listenSocket = openListeningSocket(m_bindAddress, m_port);
    if (m_listenSocket < 0) return 0;
    m_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_wakeFd < 0) {
        LogErr(VB_CHANNELOUT, "Could not create socket: %s\n", strerror(errno));
        close(m_listenSocket);
        m_listenSocket = -1;
        return 0;
    }

    {
        std::lock_guard<std::mutex> reg(registrationLock);
        bool first;
        {
            std::lock_guard<std::mutex> lock(displaysLock);
            displays.push_back(this);
            first = displays.size() == 1;
        }
        if (first) HttpServer::INSTANCE.RegisterResource(GEOMETRY_PATH, &geometryResource);
        m_registered = true;
    }

    m_running = true;
    m_connectionThread = std::thread(&HTTPVirtualDisplayOutput::ConnectionThread, this);
    m_selectThread = std::thread(&HTTPVirtualDisplayOutput::SelectThread, this);
    LogInfo(VB_CHANNELOUT, "Virtual display streaming on %s port %d%s\n", m_bindAddress.c_str(), m_port,
            m_rules.HasToken() ? " (access token required)" : "");
    return 1;
}

void HTTPVirtualDisplayOutput::Wake() {
    if (m_wakeFd < 0) return;
    uint64_t one = 1;
    if (write(m_wakeFd, &one, sizeof(one)) < 0) {
        // the counter is already non-zero: the thread wakes anyway
    }
}

void HTTPVirtualDisplayOutput::StopThreads() {
    m_running = false;
    Wake();
    if (m_connectionThread.joinable()) m_connectionThread.join();
    if (m_selectThread.joinable()) m_selectThread.join();
}

int HTTPVirtualDisplayOutput::Close() {
    LogDebug(VB_CHANNELOUT, "HTTPVirtualDisplayOutput::Close()\n");
    StopThreads();
    if (m_registered) {
        std::lock_guard<std::mutex> reg(registrationLock);
        bool last;
        {
            std::lock_guard<std::mutex> lock(displaysLock);
            displays.erase(std::remove(displays.begin(), displays.end(), this), displays.end());
            last = displays.empty();
        }
        if (last) HttpServer::INSTANCE.UnregisterResource(GEOMETRY_PATH);
        m_registered = false;
    }
    {
        std::lock_guard<std::mutex> lock(m_connectionLock);
        for (auto& c : m_connections) c->closing = true;
        RemoveClosing();
    }
    if (m_listenSocket >= 0) {
        close(m_listenSocket);
        m_listenSocket = -1;
    }
    if (m_wakeFd >= 0) {
        close(m_wakeFd);
        m_wakeFd = -1;
    }
    return VirtualDisplayBaseOutput::Close();
}

void HTTPVirtualDisplayOutput::RemoveClosing() {
    int admitted = 0;
    for (size_t i = m_connections.size(); i-- > 0;) {
        if (!m_connections[i]->closing) {
            admitted += m_connections[i]->state != Connection::State::Request;
            continue;
        }
        close(m_connections[i]->fd);
        m_connections.erase(m_connections.begin() + i);
        m_connectionListChanged = true;
    }
    m_connectionCount = admitted;
}

bool HTTPVirtualDisplayOutput::AddConnection(int fd, const std::string& peer) {
    // A browser needs one connection per page; one address holding many,
    // or connections that never finish their request, leave room for the
    // others as the web server does.
    size_t open = 0, fromPeer = 0;
    Connection* oldestRequest = nullptr;
    size_t requests = 0;
    for (auto& c : m_connections) {
        if (c->closing) continue;
        ++open;
        fromPeer += c->peer == peer;
        if (c->state == Connection::State::Request) {
            ++requests;
            if (!oldestRequest || c->acceptedMs < oldestRequest->acceptedMs) oldestRequest = c.get();
        }
    }
    if (fromPeer >= HttpLimits::CONNECTIONS_PER_ADDRESS) return false;
    if (open >= HttpLimits::CONNECTIONS || requests >= HttpLimits::UNFINISHED_REQUESTS) {
        if (!oldestRequest || GetMonotonicMS() - oldestRequest->acceptedMs < HttpLimits::UNFINISHED_GRACE_MS) {
            return false;
        }
        oldestRequest->closing = true;  // makes room: the select thread closes it
    }
    auto c = std::make_unique<Connection>();
    c->fd = fd;
    c->peer = peer;
    c->acceptedMs = GetMonotonicMS();
    int sndbuf = SEND_BUFFER_BYTES;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof(sndbuf));
    m_connections.push_back(std::move(c));
    m_connectionListChanged = true;
    return true;
}

void HTTPVirtualDisplayOutput::DropOverdueRequests() {
    long long now = GetMonotonicMS();
    for (auto& c : m_connections) {
        if (c->state == Connection::State::Request && !c->closing &&
            now - c->acceptedMs >= HttpLimits::REQUEST_HEAD_SECONDS * 1000LL) {
            LogDebug(VB_CHANNELOUT, "Virtual display: no request from socket %d in time; closing it\n", c->fd);
            c->closing = true;
        }
    }
}

bool HTTPVirtualDisplayOutput::ReadRequest(Connection* c) {
    char buf[2048];
    ssize_t n = recv(c->fd, buf, sizeof(buf), MSG_DONTWAIT);
    if (n == 0) return false;
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    c->request.append(buf, (size_t)n);
    HttpRequestHead head;
    auto status = ParseHttpRequestHead(c->request.data(), c->request.size(), head);
    if (status == HttpRequestHead::Status::Incomplete) return true;
    httpserver::http_request request;
    HttpAccessRules::Verdict v;
    if (status == HttpRequestHead::Status::TooLarge) {
        v = {431, "Request head larger than " + std::to_string(HttpLimits::MAX_REQUEST_HEAD_BYTES) + " bytes"};
    } else if (status == HttpRequestHead::Status::Malformed || !ToHttpRequest(head, c->peer, request)) {
        v = {400, "Not an HTTP request"};
    } else if (request.get_method() != "GET") {
        v = {405, "Only GET reads the stream"};
    } else {
        // EventSource cannot send headers: a page gives the token in the address.
        if (request.get_header("Authorization").empty() && !request.get_arg("token").empty()) {
            request.set_header("Authorization", "Bearer " + request.get_arg("token"));
        }
        v = m_rules.Check(request, HttpAccess::Read());
        // The stream lets the pages it serves read it across origins, so it
        // must itself refuse the pages of other sites.
        if (v.allowed() && m_rules.CrossSite(request)) v = {403, "Cross-site request refused"};
    }
    if (!v.allowed()) {
        logRefusal(m_port, c->peer, v.message);
        sendRefusal(c->fd, v.status, v.message);
        return false;
    }
    std::string header = ResponseHeader(request.get_header("Origin"), m_sixDigits);
    auto chunk = std::make_shared<Chunk>();
    chunk->buf.reset(new char[header.size()]);
    memcpy(chunk->buf.get(), header.data(), header.size());
    chunk->end = header.size();
    c->request.clear();
    c->request.shrink_to_fit();
    {
        std::lock_guard<std::mutex> lock(m_connectionLock);
        c->backlog.push_back({chunk, 0});
        c->backlogBytes = header.size();
        c->state = Connection::State::Waiting;
        ++m_waitingCount;
        ++m_connectionCount;
    }
    LogDebug(VB_CHANNELOUT, "Virtual display connection on socket %d from %s\n", c->fd, c->peer.c_str());
    return true;
}

bool HTTPVirtualDisplayOutput::Flush(Connection* c) {
    while (true) {
        Pending p;
        {
            std::lock_guard<std::mutex> lock(m_connectionLock);
            if (c->closing) return false;
            if (c->backlog.empty()) return true;
            p = c->backlog.front();
        }
        size_t left = p.data->size() - p.offset;
        ssize_t n = send(c->fd, p.data->data() + p.offset, left, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return true;
            LogDebug(VB_CHANNELOUT, "Write failed for socket %d: %s.  Closing connection.\n", c->fd, strerror(errno));
            return false;
        }
        {
            // Only this thread takes from the front; SendData only appends.
            std::lock_guard<std::mutex> lock(m_connectionLock);
            Pending& front = c->backlog.front();
            front.offset += (size_t)n;
            c->backlogBytes -= (size_t)n;
            if (front.offset == front.data->size()) c->backlog.pop_front();
        }
        if ((size_t)n < left) return true;
    }
}

void HTTPVirtualDisplayOutput::ConnectionThread() {
    SetThreadName("KIV-HTTPVD-Con");
    LogDebug(VB_CHANNELOUT, "Started ConnectionThread()\n");
    while (m_running) {
        // Each round waits at most 100 ms, so a stop is noticed quickly.
        pollfd p = {m_listenSocket, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        while (m_running) {
            sockaddr_storage from;
            socklen_t fromLen = sizeof(from);
            int fd = accept4(m_listenSocket, (sockaddr*)&from, &fromLen, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
                    LogErr(VB_CHANNELOUT, "Virtual display could not accept a connection: %s\n", strerror(errno));
                    usleep(100000);  // out of descriptors: do not spin
                }
                break;
            }
            std::string peer = HttpAccessRules::PeerAddress((sockaddr*)&from);
            bool added;
            {
                std::lock_guard<std::mutex> lock(m_connectionLock);
                added = AddConnection(fd, peer);
            }
            if (!added) {
                logRefusal(m_port, peer, "too many connections");
                sendRefusal(fd, 503, "Too many connections");
                close(fd);
                continue;
            }
            Wake();
        }
    }
}

void HTTPVirtualDisplayOutput::SelectThread() {
    SetThreadName("KIV-HTTPVD-Sel");
    LogDebug(VB_CHANNELOUT, "Started SelectThread()\n");
    std::vector<pollfd> fds;
    std::vector<Connection*> conns;  // conns[i] belongs to fds[i]; [0] is the wake-up
    while (m_running) {
        // Write out what is waiting, without blocking.
        conns.clear();
        {
            std::lock_guard<std::mutex> lock(m_connectionLock);
            RemoveClosing();
            for (auto& c : m_connections)
                if (!c->backlog.empty()) conns.push_back(c.get());
        }
        for (Connection* c : conns) {
            if (!Flush(c)) {
                std::lock_guard<std::mutex> lock(m_connectionLock);
                c->closing = true;
            }
        }

        fds.assign(1, pollfd{m_wakeFd, POLLIN, 0});
        conns.assign(1, nullptr);
        {
            std::lock_guard<std::mutex> lock(m_connectionLock);
            DropOverdueRequests();
            RemoveClosing();
            for (auto& c : m_connections) {
                fds.push_back(pollfd{c->fd, (short)(POLLIN | (c->backlog.empty() ? 0 : POLLOUT)), 0});
                conns.push_back(c.get());
            }
        }
        if (m_connectionListChanged.exchange(false)) {
            LogDebug(VB_CHANNELOUT, "Connection list changed, rebuilding active_fd-set\n");
        }
        // poll rather than select: a daemon with many open files may hand
        // out descriptors beyond what an fd_set can hold.
        int r = poll(fds.data(), fds.size(), 1000);
        if (r < 0) {
            if (errno != EINTR) {
                LogErr(VB_CHANNELOUT, "Main select() failed\n");
                usleep(100000);
            }
            continue;
        }
        if (r == 0) continue;
        if (fds[0].revents) {
            uint64_t v;
            if (read(m_wakeFd, &v, sizeof(v)) < 0) {
                // nothing to drain
            }
        }
        for (size_t i = fds.size() - 1; i >= 1; --i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;  // POLLOUT: flushed next round
            Connection* c = conns[i];
            // Only this thread changes a connection out of the Request state.
            if (c->state == Connection::State::Request) {
                if (!ReadRequest(c)) {
                    std::lock_guard<std::mutex> lock(m_connectionLock);
                    c->closing = true;
                }
                continue;
            }
            char buf[1024];
            ssize_t n = recv(c->fd, buf, sizeof(buf), MSG_DONTWAIT);
            bool close = false;
            if (n > 0) {
                LogDebug(VB_CHANNELOUT, "Data read from socket %d, connection %d \n", c->fd, (int)i - 1);
            } else if (n == 0) {
                LogDebug(VB_CHANNELOUT, "Closing socket %d, connection %d\n", c->fd, (int)i - 1);
                close = true;
            } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                LogErr(VB_CHANNELOUT, "Read failed for socket %d, connection %d.  Closing connection.\n", c->fd,
                       (int)i - 1);
                close = true;
            }
            if (close) {
                std::lock_guard<std::mutex> lock(m_connectionLock);
                c->closing = true;
            }
        }
    }
}

template <bool SIX_DIGITS>
int HTTPVirtualDisplayOutput::BuildMessage(unsigned int id) {
    constexpr size_t posLen = SIX_DIGITS ? 6 : 4;
    constexpr size_t sizeRoom = 10;  // at most 8 hex digits and CRLF before the message
    char head[64];
    int headLen = snprintf(head, sizeof(head), "id: %u\r\nevent: message\r\ndata: ", id);
    size_t most = headLen + m_changed.size() * (posLen + 5) + 4;
    auto chunk = std::make_shared<Chunk>();
    chunk->buf.reset(new char[sizeRoom + most + 2]);
    char* base = chunk->buf.get();
    char* out = base + sizeRoom;
    memcpy(out, head, headLen);
    out += headLen;
    uint64_t lastKey = ~0ULL;
    int colours = 0;
    for (uint64_t e : m_changed) {
        uint64_t key = e >> 40;
        if (key != lastKey) {
            if (lastKey != ~0ULL) *out++ = '|';
            ++colours;
            *out++ = STREAM_DIGITS[rankDigit((key >> 12) & 63)];
            *out++ = STREAM_DIGITS[rankDigit((key >> 6) & 63)];
            *out++ = STREAM_DIGITS[rankDigit(key & 63)];
            *out++ = ':';
            lastKey = key;
        }
        if (SIX_DIGITS) {
            for (int k = 0; k < 6; ++k) out[k] = STREAM_DIGITS[(e >> (30 - 6 * k)) & 63];
        } else {
            uint32_t chars = (uint32_t)e;
            memcpy(out, &chars, 4);
        }
        out += posLen;
    }
    memcpy(out, "\r\n\r\n", 4);
    out += 4;
    size_t messageSize = out - (base + sizeRoom);
    char hex[16];
    int hexLen = snprintf(hex, sizeof(hex), "%zx\r\n", messageSize);
    chunk->begin = sizeRoom - hexLen;
    memcpy(base + chunk->begin, hex, hexLen);
    out[0] = '\r';
    out[1] = '\n';
    chunk->end = out + 2 - base;
    chunk->messageBegin = sizeRoom;
    chunk->messageEnd = sizeRoom + messageSize;
    m_chunk = std::move(chunk);
    return colours;
}

static const struct RankTable {
    uint32_t r[64];
    RankTable() {
        for (unsigned d = 0; d < 64; ++d) r[d] = digitRank(d);
    }
} ranks;

template <bool FEW_COLOURS>
void HTTPVirtualDisplayOutput::CollectChanges(const unsigned char* channelData) {
    // Changed pixels as (colour rank << 40 | position code). For few
    // colours, count each colour's pixels; for many, the two 9-bit
    // histograms of the radix sort.
    m_changed.clear();
    m_touched.clear();
    memset(m_histogram, 0, sizeof(m_histogram));
    uint8_t* buffer = m_virtualDisplay.data();
    uint32_t* perColour = m_colourCount.data();
    const size_t count = m_pixels.size();
    for (size_t i = 0; i < count; ++i) {
        const VirtualDisplayPixel& px = m_pixels[i];
        uint8_t r, g, b;
        VirtualDisplayPixelColour(px, channelData, r, g, b);
        r >>= 2;
        g >>= 2;
        b >>= 2;
        if (buffer[px.r] == r && buffer[px.g] == g && buffer[px.b] == b) continue;
        buffer[px.r] = r;
        buffer[px.g] = g;
        buffer[px.b] = b;
        uint32_t key = (ranks.r[r] << 12) | (ranks.r[g] << 6) | ranks.r[b];
        if (FEW_COLOURS) {
            if (perColour[key]++ == 0) m_touched.push_back(key);
        } else {
            ++m_histogram[0][key & 511];
            ++m_histogram[1][key >> 9];
        }
        m_changed.push_back(((uint64_t)key << 40) | m_positionCodes[i]);
    }
}

// Both sorts are stable: groups in ascending colour text, the pixels of a
// group in map order.
void HTTPVirtualDisplayOutput::SortByCountingColours() {
    uint32_t* perColour = m_colourCount.data();
    bool scanAll = m_touched.size() > COLOUR_KEYS / 64;
    uint32_t at = 0;
    auto place = [&](uint32_t key) {
        uint32_t n = perColour[key];
        perColour[key] = at;
        at += n;
    };
    if (scanAll) {
        for (uint32_t key = 0; key < COLOUR_KEYS; ++key) place(key);
    } else {
        std::sort(m_touched.begin(), m_touched.end());
        for (uint32_t key : m_touched) place(key);
    }
    m_sortScratch.resize(m_changed.size());
    for (uint64_t e : m_changed) m_sortScratch[perColour[e >> 40]++] = e;
    m_changed.swap(m_sortScratch);
    // The counts are zero again for the next frame.
    if (scanAll) {
        std::fill(m_colourCount.begin(), m_colourCount.end(), 0);
    } else {
        for (uint32_t key : m_touched) perColour[key] = 0;
    }
}

void HTTPVirtualDisplayOutput::SortByRadix() {
    m_sortScratch.resize(m_changed.size());
    for (int pass = 0; pass < 2; ++pass) {
        uint32_t* at = m_histogram[pass];
        uint32_t sum = 0;
        for (int k = 0; k < 512; ++k) {
            uint32_t n = at[k];
            at[k] = sum;
            sum += n;
        }
        int shift = 40 + pass * 9;
        for (uint64_t e : m_changed) m_sortScratch[at[(e >> shift) & 511]++] = e;
        m_changed.swap(m_sortScratch);
    }
}

int HTTPVirtualDisplayOutput::PrepData(unsigned char* channelData) {
    LogExcess(VB_CHANNELOUT, "HTTPVirtualDisplayOutput::PrepData(%p)\n", channelData);
    m_chunk.reset();
    bool lostMessage = m_messageUnsent;
    m_messageUnsent = false;
    if (m_connectionCount.load() == 0) return 0;
    // Browsers admitted until now get this message, and it carries every
    // pixel; those admitted later wait for the next one. Deciding both
    // under one lock keeps a newcomer from getting a message of changes
    // as its first.
    bool wholePicture = lostMessage;
    if (m_waitingCount.load() > 0) {
        std::lock_guard<std::mutex> lock(m_connectionLock);
        for (auto& c : m_connections) {
            if (c->state != Connection::State::Waiting) continue;
            c->state = Connection::State::Streaming;
            wholePicture = true;
        }
        m_waitingCount = 0;
    }
    // lostMessage: the display buffer already holds the colours of a
    // message that never went out (PrepData ran twice without SendData,
    // as when a sequence starts): the whole picture loses no change.
    if (wholePicture) {
        // No 6-bit colour equals 0xFF: every pixel counts as changed.
        std::fill(m_virtualDisplay.begin(), m_virtualDisplay.end(), 0xFF);
    }

    // Shows keep their palette from frame to frame: the last frame's
    // number of colours picks the cheaper way to group this one's.
    bool few = m_lastColourCount <= FEW_COLOURS;
    if (few) {
        CollectChanges<true>(channelData);
    } else {
        CollectChanges<false>(channelData);
    }
    unsigned int id = messageNumber.fetch_add(1);
    int colours = 0;
    if (!m_changed.empty()) {
        if (few) {
            SortByCountingColours();
        } else {
            SortByRadix();
        }
        colours = m_sixDigits ? BuildMessage<true>(id) : BuildMessage<false>(id);
        m_lastColourCount = colours;
        if (wholePicture) m_wholePictureBytes = m_chunk->size();
        m_messageUnsent = true;
    }
    LogExcess(VB_CHANNELOUT, "PixelsChanged: %d, Colors: %d, Data Size: %d\n", (int)m_changed.size(), colours,
              (int)PreparedMessageSize());
    return 1;
}

std::string HTTPVirtualDisplayOutput::PreparedMessage() const {
    if (!m_chunk) return "";
    return std::string(m_chunk->buf.get() + m_chunk->messageBegin, m_chunk->messageEnd - m_chunk->messageBegin);
}

size_t HTTPVirtualDisplayOutput::PreparedMessageSize() const {
    return m_chunk ? m_chunk->messageEnd - m_chunk->messageBegin : 0;
}

int HTTPVirtualDisplayOutput::SendData(unsigned char* channelData) {
    if (!m_chunk) return m_channelCount;
    m_messageUnsent = false;
    std::shared_ptr<const Chunk> data = m_chunk;
    size_t size = data->size();
    std::vector<std::pair<int, size_t>> cut;
    size_t budget = std::max(MAX_BACKLOG_BYTES, 2 * m_wholePictureBytes);
    long long now = GetMonotonicMS();
    {
        std::lock_guard<std::mutex> lock(m_connectionLock);
        for (auto& c : m_connections) {
            if (c->closing || c->state != Connection::State::Streaming) continue;
            // Over the budget, the browser is the one behind only when its
            // socket takes no more: one that read all it was given waits
            // for the select thread, which a busy board may hold up for a
            // while (the show's threads come first).
            bool behind = c->backlogBytes + size > budget && !c->backlog.empty() && sendBufferFull(c->fd);
            if (!behind) {
                c->behindSinceMs = 0;
            } else if (c->behindSinceMs == 0 || c->backlogBytes < c->behindBacklog) {
                // Fallen behind, or catching up: judged again after a while.
                c->behindSinceMs = now;
                c->behindBacklog = c->backlogBytes;
            } else if (now - c->behindSinceMs >= BEHIND_GRACE_MS) {
                c->closing = true;
                cut.push_back({c->fd, c->backlogBytes});
                continue;
            }
            c->backlog.push_back({data, 0});
            c->backlogBytes += size;
        }
    }
    // The select thread writes it out (and closes the connections cut off).
    Wake();
    for (auto& c : cut) {
        LogWarn(VB_CHANNELOUT,
                "Virtual display on port %d: the browser on socket %d is not reading (%zu bytes waiting); "
                "closing its connection\n",
                m_port, c.first, c.second);
    }
    return m_channelCount;
}

void HTTPVirtualDisplayOutput::DumpConfig() {
    VirtualDisplayBaseOutput::DumpConfig();
    LogDebug(VB_CHANNELOUT, "    Port             : %d\n", m_port);
    LogDebug(VB_CHANNELOUT, "    Position Digits  : %d\n", m_sixDigits ? 6 : 4);
}

ChannelOutput* HTTPVirtualDisplayPlugin::createChannelOutput(unsigned int startChannel, unsigned int channelCount) {
    return new HTTPVirtualDisplayOutput(startChannel, channelCount);
}

extern "C" {
KIVPlugins::Plugin* createPlugin() { return new HTTPVirtualDisplayPlugin(); }
}
