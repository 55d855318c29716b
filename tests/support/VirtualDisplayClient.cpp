#include "VirtualDisplayClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "TestSupport.h"

namespace kivtest {

int streamDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    if (c >= 'a' && c <= 'z') return c - 'a' + 36;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

void StreamPicture::set(int x, int y, int r, int g, int b) {
    size_t o = ((size_t)y * m_width + x) * 3;
    m_rgb[o] = r;
    m_rgb[o + 1] = g;
    m_rgb[o + 2] = b;
}

bool StreamPicture::apply(const std::string& data, int positionDigits) {
    size_t i = 0, n = data.size();
    if (n == 0) return false;
    while (i < n) {
        if (i + 4 > n || data[i + 3] != ':') return false;
        int r = streamDigit(data[i]), g = streamDigit(data[i + 1]), b = streamDigit(data[i + 2]);
        if (r < 0 || g < 0 || b < 0) return false;
        i += 4;
        size_t end = data.find('|', i);
        if (end == std::string::npos) end = n;
        if (end == i || (end - i) % positionDigits) return false;
        for (; i < end; i += positionDigits) {
            int d[6];
            for (int k = 0; k < positionDigits; ++k)
                if ((d[k] = streamDigit(data[i + k])) < 0) return false;
            int x, y;
            if (positionDigits == 4) {
                x = d[0] * 64 + d[1];
                y = d[2] * 64 + d[3];
            } else {
                x = d[0] * 4096 + d[1] * 64 + d[2];
                y = d[3] * 4096 + d[4] * 64 + d[5];
            }
            if (x >= m_width || y >= m_height) return false;
            set(x, y, r, g, b);
        }
        i = end + 1;
    }
    return true;
}

std::string streamRequest(int port, const std::string& address, const std::vector<std::string>& headers,
                          const std::string& target) {
    std::string r = "GET " + target + " HTTP/1.1\r\n";
    bool host = false;
    for (auto& h : headers) {
        r += h + "\r\n";
        host = host || h.compare(0, 5, "Host:") == 0;
    }
    if (!host) r += "Host: " + address + ":" + std::to_string(port) + "\r\n";
    r += "Accept: text/event-stream\r\n";
    return r + "\r\n";
}

int connectNeverReading(int port, const std::string& address) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    std::string request = streamRequest(port, address, {}, "/");
    if (connect(fd, (sockaddr*)&a, sizeof(a)) != 0 ||
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) != (ssize_t)request.size()) {
        close(fd);
        return -1;
    }
    return fd;
}

VirtualDisplayClient::VirtualDisplayClient(int port, const std::string& address, int timeoutMs,
                                           const std::vector<std::string>& headers, const std::string& target) {
    sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    // The listener accepts on its own thread, so a refused or slow connect
    // is tried again until the deadline.
    waitUntil(
        [&] {
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fd < 0) return true;
            if (connect(fd, (sockaddr*)&a, sizeof(a)) == 0) {
                m_fd = fd;
                std::string request = streamRequest(port, address, headers, target);
                if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != (ssize_t)request.size()) m_closed = true;
                return true;
            }
            close(fd);
            return false;
        },
        timeoutMs);
    if (m_fd >= 0) m_thread = std::thread(&VirtualDisplayClient::run, this);
}

VirtualDisplayClient::~VirtualDisplayClient() { disconnect(); }

void VirtualDisplayClient::disconnect() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
}

void VirtualDisplayClient::run() {
    std::vector<char> buf(256 * 1024);
    while (!m_stop) {
        pollfd p = {m_fd, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        ssize_t n = recv(m_fd, buf.data(), buf.size(), 0);
        if (n <= 0) {
            m_closed = true;
            return;
        }
        std::lock_guard<std::mutex> lock(m_readLock);
        m_read.append(buf.data(), (size_t)n);
    }
}

void VirtualDisplayClient::parse() {
    {
        std::lock_guard<std::mutex> lock(m_readLock);
        if (m_buffer.empty()) {
            m_buffer.swap(m_read);
        } else {
            m_buffer.append(m_read);
            m_read.clear();
        }
    }
    if (!m_framingError.empty()) return;
    // m_parsed: the first byte not yet taken into the header or an event
    m_buffer.erase(0, m_parsed);
    m_parsed = 0;
    if (m_header.empty()) {
        size_t end = m_buffer.find("\r\n\r\n");
        if (end == std::string::npos) return;
        m_header = m_buffer.substr(0, end + 4);
        m_parsed = end + 4;
    }
    while (m_parsed < m_buffer.size()) {
        size_t lineEnd = m_buffer.find("\r\n", m_parsed);
        if (lineEnd == std::string::npos) return;
        std::string sizeText = m_buffer.substr(m_parsed, lineEnd - m_parsed);
        if (sizeText.empty() || sizeText.size() > 8 ||
            sizeText.find_first_not_of("0123456789abcdef") != std::string::npos) {
            m_framingError = "bad chunk size line '" + sizeText + "'";
            return;
        }
        size_t size = strtoul(sizeText.c_str(), nullptr, 16);
        size_t need = lineEnd + 2 + size + 2;
        if (m_buffer.size() < need) return;
        if (m_buffer.compare(lineEnd + 2 + size, 2, "\r\n") != 0) {
            m_framingError = "chunk not followed by CRLF";
            return;
        }
        StreamEvent e;
        e.chunk = m_buffer.substr(m_parsed, need - m_parsed);
        // One event per chunk: "id: N", "event: E", "data: D", blank line.
        const size_t begin = lineEnd + 2, end = begin + size;
        if (size < 4 || m_buffer.compare(end - 4, 4, "\r\n\r\n") != 0) {
            m_framingError = "chunk is not one event ending in a blank line";
            return;
        }
        size_t pos = begin;
        while (pos < end - 2) {
            size_t eol = m_buffer.find("\r\n", pos);
            auto field = [&](const char* name, std::string& value) {
                size_t n = strlen(name);
                if (m_buffer.compare(pos, n, name) != 0) return false;
                value.assign(m_buffer, pos + n, eol - pos - n);
                return true;
            };
            if (!field("id: ", e.id) && !field("event: ", e.event) && !field("data: ", e.data)) {
                m_framingError = "unexpected event line '" + m_buffer.substr(pos, eol - pos) + "'";
                return;
            }
            pos = eol + 2;
        }
        m_events.push_back(std::move(e));
        m_parsed = need;
    }
}

std::string VirtualDisplayClient::header() {
    std::lock_guard<std::mutex> lock(m_lock);
    parse();
    return m_header;
}

std::vector<StreamEvent> VirtualDisplayClient::events() {
    std::lock_guard<std::mutex> lock(m_lock);
    parse();
    return m_events;
}

size_t VirtualDisplayClient::eventCount() {
    std::lock_guard<std::mutex> lock(m_lock);
    parse();
    return m_events.size();
}

std::string VirtualDisplayClient::framingError() {
    std::lock_guard<std::mutex> lock(m_lock);
    parse();
    return m_framingError;
}

bool VirtualDisplayClient::waitEvents(size_t n, int timeoutMs) {
    return waitUntil([&] { return eventCount() >= n; }, timeoutMs);
}

bool VirtualDisplayClient::waitHeader(int timeoutMs) {
    return waitUntil([&] { return !header().empty(); }, timeoutMs);
}

bool VirtualDisplayClient::waitClosed(int timeoutMs) {
    return waitUntil([&] { return m_closed.load(); }, timeoutMs);
}

}  // namespace kivtest
