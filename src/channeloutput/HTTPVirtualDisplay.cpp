#include "channeloutput/HTTPVirtualDisplay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "Warnings.h"
#include "common.h"
#include "http/HttpServer.h"
#include "log.h"
#include "settings.h"

// Digits of colours and positions in the stream: digit value = index.
static const char STREAM_DIGITS[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz+/";
static constexpr int LISTEN_BACKLOG = 5;
static constexpr int FOUR_DIGIT_LIMIT_X = 4095;  // x from here on needs the six-digit form
static constexpr int FOUR_DIGIT_LIMIT_Y = 4096;
static constexpr const char* GEOMETRY_PATH = "/kivd/virtualdisplay";

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

std::string HTTPVirtualDisplayOutput::ResponseHeader() {
    return std::string("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream;charset=UTF-8\r\n"
                       "Transfer-Encoding: chunked\r\nConnection: close\r\nDate: ") +
           GetTimeStr("%a %b %d %H:%M:%S %Z %Y") + "\r\nServer: kivd\r\nX-Powered-By: KIV/" + getKIVVersion() +
           "\r\nCache-Control: no-cache, private\r\nAccess-Control-Allow-Origin: *\r\n"
           "Access-Control-Allow-Credentials: true\r\n\r\n";
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

// Binds the listening socket on every address: IPv6 with IPv4 mapped in
// when the system has IPv6, else IPv4. Returns the socket or -1 (logged).
static int openListeningSocket(int port) {
    int one = 1;
    int fd = socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
        int zero = 0;
        sockaddr_in6 a6;
        memset(&a6, 0, sizeof(a6));
        a6.sin6_family = AF_INET6;
        a6.sin6_addr = in6addr_any;
        a6.sin6_port = htons((uint16_t)port);
        if (setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof(zero)) == 0 &&
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) == 0 &&
            setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof(one)) == 0 &&
            bind(fd, (sockaddr*)&a6, sizeof(a6)) == 0) {
            if (listen(fd, LISTEN_BACKLOG) == 0) return fd;
            LogErr(VB_CHANNELOUT, "Could not listen on socket: %s\n", strerror(errno));
            close(fd);
            return -1;
        }
        int e = errno;
        close(fd);
        if (e == EADDRINUSE || e == EACCES) {
            LogErr(VB_CHANNELOUT, "Could not bind socket: %s\n", strerror(e));
            return -1;
        }
    }
    fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        LogErr(VB_CHANNELOUT, "Could not create socket: %s\n", strerror(errno));
        return -1;
    }
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof(one)) < 0) {
        LogErr(VB_CHANNELOUT, "Error turning on SO_REUSEPORT; %s\n", strerror(errno));
        close(fd);
        return -1;
    }
    sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons((uint16_t)port);
    if (bind(fd, (sockaddr*)&a, sizeof(a)) < 0) {
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

    m_sixDigits = false;
    for (const auto& px : m_pixels) {
        if (px.x >= FOUR_DIGIT_LIMIT_X || FlippedY(px) >= FOUR_DIGIT_LIMIT_Y) m_sixDigits = true;
    }
    m_positions.resize(m_pixels.size());
    for (size_t i = 0; i < m_pixels.size(); ++i) {
        std::string pos = EncodePosition(m_pixels[i].x, FlippedY(m_pixels[i]), m_sixDigits);
        memcpy(m_positions[i].data(), pos.data(), pos.size());
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

    m_listenSocket = openListeningSocket(m_port);
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
        if (first) HttpServer::INSTANCE.RegisterResource(GEOMETRY_PATH, &geometryResource, false, false);
        m_registered = true;
    }

    m_running = true;
    m_connectionThread = std::thread(&HTTPVirtualDisplayOutput::ConnectionThread, this);
    m_selectThread = std::thread(&HTTPVirtualDisplayOutput::SelectThread, this);
    LogInfo(VB_CHANNELOUT, "Virtual display streaming on port %d\n", m_port);
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
        while (!m_connections.empty()) CloseConnection(m_connections.size() - 1);
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

void HTTPVirtualDisplayOutput::CloseConnection(size_t index) {
    close(m_connections[index].fd);
    m_connections.erase(m_connections.begin() + index);
    m_connectionCount = (int)m_connections.size();
    m_connectionListChanged = true;
}

bool HTTPVirtualDisplayOutput::Flush(Connection& c) {
    while (!c.backlog.empty()) {
        Pending& p = c.backlog.front();
        size_t left = p.data->size() - p.offset;
        ssize_t n = send(c.fd, p.data->data() + p.offset, left, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return true;
            LogDebug(VB_CHANNELOUT, "Write failed for socket %d: %s.  Closing connection.\n", c.fd, strerror(errno));
            return false;
        }
        c.backlogBytes -= (size_t)n;
        if ((size_t)n < left) {
            p.offset += (size_t)n;
            return true;
        }
        c.backlog.pop_front();
    }
    return true;
}

bool HTTPVirtualDisplayOutput::Queue(Connection& c, const std::shared_ptr<const std::string>& data) {
    c.backlog.push_back({data, 0});
    c.backlogBytes += data->size();
    if (!Flush(c)) return false;
    if (c.backlogBytes > MAX_BACKLOG_BYTES) {
        LogWarn(VB_CHANNELOUT,
                "Virtual display on port %d: the browser on socket %d is not reading (%zu bytes waiting); "
                "closing its connection\n",
                m_port, c.fd, c.backlogBytes);
        return false;
    }
    return true;
}

void HTTPVirtualDisplayOutput::ConnectionThread() {
    SetThreadName("KIV-HTTPVD-Con");
    LogDebug(VB_CHANNELOUT, "Started ConnectionThread()\n");
    while (m_running) {
        // Each round waits at most 100 ms, so a stop is noticed quickly.
        pollfd p = {m_listenSocket, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        while (m_running) {
            int fd = accept4(m_listenSocket, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
                    LogErr(VB_CHANNELOUT, "Virtual display could not accept a connection: %s\n", strerror(errno));
                    usleep(100000);  // out of descriptors: do not spin
                }
                break;
            }
            auto header = std::make_shared<const std::string>(ResponseHeader());
            {
                std::lock_guard<std::mutex> lock(m_connectionLock);
                Connection c;
                c.fd = fd;
                c.id = m_nextConnectionId++;
                m_connections.push_back(std::move(c));
                m_connectionCount = (int)m_connections.size();
                if (!Queue(m_connections.back(), header)) CloseConnection(m_connections.size() - 1);
                m_connectionListChanged = true;
                m_sendAllPixels = true;
            }
            LogDebug(VB_CHANNELOUT, "Virtual display connection on socket %d\n", fd);
            Wake();
        }
    }
}

void HTTPVirtualDisplayOutput::SelectThread() {
    SetThreadName("KIV-HTTPVD-Sel");
    LogDebug(VB_CHANNELOUT, "Started SelectThread()\n");
    std::vector<pollfd> fds;
    std::vector<unsigned long> ids;
    while (m_running) {
        if (m_connectionListChanged.exchange(false)) {
            LogDebug(VB_CHANNELOUT, "Connection list changed, rebuilding active_fd-set\n");
        }
        // poll rather than select: a daemon with many open files may hand
        // out descriptors beyond what an fd_set can hold.
        fds.assign(1, pollfd{m_wakeFd, POLLIN, 0});
        ids.assign(1, 0);
        {
            std::lock_guard<std::mutex> lock(m_connectionLock);
            for (auto& c : m_connections) {
                fds.push_back(pollfd{c.fd, (short)(POLLIN | (c.backlog.empty() ? 0 : POLLOUT)), 0});
                ids.push_back(c.id);
            }
        }
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
        std::lock_guard<std::mutex> lock(m_connectionLock);
        for (size_t i = fds.size() - 1; i >= 1; --i) {
            if (!fds[i].revents) continue;
            size_t index = 0;
            while (index < m_connections.size() && m_connections[index].id != ids[i]) ++index;
            if (index == m_connections.size()) continue;  // closed meanwhile
            Connection& c = m_connections[index];
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
                char buf[1024];
                ssize_t n = recv(c.fd, buf, sizeof(buf), MSG_DONTWAIT);
                if (n > 0) {
                    LogDebug(VB_CHANNELOUT, "Data read from socket %d, connection %d \n", c.fd, (int)index);
                } else if (n == 0) {
                    LogDebug(VB_CHANNELOUT, "Closing socket %d, connection %d\n", c.fd, (int)index);
                    CloseConnection(index);
                    continue;
                } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                    LogErr(VB_CHANNELOUT, "Read failed for socket %d, connection %d.  Closing connection.\n", c.fd,
                           (int)index);
                    CloseConnection(index);
                    continue;
                }
            }
            if ((fds[i].revents & POLLOUT) && !Flush(c)) CloseConnection(index);
        }
    }
}

int HTTPVirtualDisplayOutput::PrepData(unsigned char* channelData) {
    LogExcess(VB_CHANNELOUT, "HTTPVirtualDisplayOutput::PrepData(%p)\n", channelData);
    m_message.clear();
    if (m_connectionCount.load() == 0) return 0;
    uint8_t* buffer = m_virtualDisplay.data();
    if (m_sendAllPixels.exchange(false)) {
        // No 6-bit colour equals 0xFF: every pixel counts as changed.
        std::fill(m_virtualDisplay.begin(), m_virtualDisplay.end(), 0xFF);
    }

    static const struct RankTable {
        uint32_t r[64];
        RankTable() {
            for (unsigned d = 0; d < 64; ++d) r[d] = digitRank(d);
        }
    } ranks;

    m_changed.clear();
    for (size_t i = 0; i < m_pixels.size(); ++i) {
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
        uint64_t key = (ranks.r[r] << 12) | (ranks.r[g] << 6) | ranks.r[b];
        m_changed.push_back((key << 32) | i);
    }

    unsigned int id = messageNumber.fetch_add(1);
    int colours = 0;
    if (!m_changed.empty()) {
        // Stable two-pass radix sort on the 18-bit colour rank: groups in
        // ascending colour text, pixels of a group in map order.
        m_sortScratch.resize(m_changed.size());
        for (int pass = 0; pass < 2; ++pass) {
            int shift = 32 + pass * 9;
            uint32_t count[513] = {0};
            for (uint64_t e : m_changed) ++count[((e >> shift) & 511) + 1];
            for (int k = 0; k < 512; ++k) count[k + 1] += count[k];
            for (uint64_t e : m_changed) m_sortScratch[count[(e >> shift) & 511]++] = e;
            m_changed.swap(m_sortScratch);
        }

        size_t posLen = m_sixDigits ? 6 : 4;
        std::string head = "id: " + std::to_string(id) + "\r\nevent: message\r\ndata: ";
        m_message.resize(head.size() + m_changed.size() * (posLen + 5) + 8);
        char* out = &m_message[0];
        memcpy(out, head.data(), head.size());
        out += head.size();
        uint64_t lastKey = ~0ULL;
        for (uint64_t e : m_changed) {
            uint64_t key = e >> 32;
            if (key != lastKey) {
                if (lastKey != ~0ULL) *out++ = '|';
                *out++ = STREAM_DIGITS[rankDigit((key >> 12) & 63)];
                *out++ = STREAM_DIGITS[rankDigit((key >> 6) & 63)];
                *out++ = STREAM_DIGITS[rankDigit(key & 63)];
                *out++ = ':';
                lastKey = key;
                ++colours;
            }
            memcpy(out, m_positions[e & 0xFFFFFFFF].data(), posLen);
            out += posLen;
        }
        memcpy(out, "\r\n\r\n", 4);
        out += 4;
        m_message.resize(out - m_message.data());
    }
    LogExcess(VB_CHANNELOUT, "PixelsChanged: %d, Colors: %d, Data Size: %d\n", (int)m_changed.size(), colours,
              (int)m_message.size());
    return 1;
}

int HTTPVirtualDisplayOutput::SendData(unsigned char* channelData) {
    if (m_message.empty()) return m_channelCount;
    char hex[16];
    int hexLen = snprintf(hex, sizeof(hex), "%zx\r\n", m_message.size());
    auto chunk = std::make_shared<std::string>();
    chunk->reserve(hexLen + m_message.size() + 2);
    chunk->append(hex, hexLen).append(m_message).append("\r\n");
    std::shared_ptr<const std::string> data = std::move(chunk);

    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(m_connectionLock);
        for (size_t i = m_connections.size(); i-- > 0;) {
            Connection& c = m_connections[i];
            bool wasEmpty = c.backlog.empty();
            if (!Queue(c, data)) {
                CloseConnection(i);
                continue;
            }
            // A backlog that was there already is in the select thread's set.
            if (wasEmpty && !c.backlog.empty()) wake = true;
        }
    }
    if (wake) Wake();
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
