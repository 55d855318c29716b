#include "services/Ping.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "common.h"
#include "log.h"

static uint16_t icmpChecksum(const void* data, size_t len) {
    const uint8_t* p = (const uint8_t*)data;
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < len; i += 2) sum += (p[i] << 8) | p[i + 1];
    if (len & 1) sum += p[len - 1] << 8;
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return htons((uint16_t)~sum);
}

static bool resolve(const std::string& host, struct sockaddr_in& out) {
    memset(&out, 0, sizeof(out));
    out.sin_family = AF_INET;
    if (inet_pton(AF_INET, host.c_str(), &out.sin_addr) == 1) return true;
    struct addrinfo hints, *res = nullptr;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res) return false;
    out.sin_addr = ((struct sockaddr_in*)res->ai_addr)->sin_addr;
    freeaddrinfo(res);
    return true;
}

int ping(const std::string& host, int timeoutMs) {
    struct sockaddr_in addr;
    if (!resolve(host, addr)) {
        LogDebug(VB_GENERAL, "ping: cannot resolve %s\n", host.c_str());
        return -1;
    }
    // Unprivileged echo sockets first; raw sockets when those are not allowed.
    bool raw = false;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0) {
        fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        raw = true;
    }
    if (fd < 0) {
        LogDebug(VB_GENERAL, "ping: no ICMP socket: %s\n", strerror(errno));
        return -1;
    }
    static std::atomic<uint16_t> nextSeq{1};
    uint16_t seq = nextSeq++;
    uint16_t ident = (uint16_t)(getpid() & 0xFFFF);
    unsigned char pkt[64];
    memset(pkt, 0, sizeof(pkt));
    struct icmphdr* h = (struct icmphdr*)pkt;
    h->type = ICMP_ECHO;
    h->un.echo.id = htons(ident);
    h->un.echo.sequence = htons(seq);
    memcpy(pkt + sizeof(*h), "kivd-ping", 9);
    h->checksum = icmpChecksum(pkt, sizeof(pkt));
    long long start = GetTimeMS();
    if (sendto(fd, pkt, sizeof(pkt), 0, (struct sockaddr*)&addr, sizeof(addr)) < 0) {
        close(fd);
        return -1;
    }
    int result = 0;
    while (true) {
        // Past the time-out, what already arrived is still read: a reply that
        // came in time counts even when this thread was not running to see it.
        long long left = std::max(0LL, start + timeoutMs - GetTimeMS());
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, (int)left) <= 0) break;
        unsigned char in[1500];
        struct sockaddr_in from;
        socklen_t fromLen = sizeof(from);
        ssize_t n = recvfrom(fd, in, sizeof(in), 0, (struct sockaddr*)&from, &fromLen);
        if (n <= 0) continue;
        const unsigned char* icmp = in;
        if (raw) {
            size_t ihl = (in[0] & 0x0F) * 4;
            if ((size_t)n < ihl + sizeof(struct icmphdr)) continue;
            icmp = in + ihl;
            n -= ihl;
        }
        if ((size_t)n < sizeof(struct icmphdr)) continue;
        const struct icmphdr* r = (const struct icmphdr*)icmp;
        if (r->type != ICMP_ECHOREPLY || from.sin_addr.s_addr != addr.sin_addr.s_addr) continue;
        // Datagram echo sockets rewrite the id to the socket's port.
        if (ntohs(r->un.echo.sequence) != seq || (raw && ntohs(r->un.echo.id) != ident)) continue;
        result = (int)(GetTimeMS() - start) + 1;
        break;
    }
    close(fd);
    return result;
}
