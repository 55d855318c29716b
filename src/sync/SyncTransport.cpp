#include "sync/SyncTransport.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "log.h"
#include "sync/ClockQuality.h"

static constexpr int RECEIVE_BUFFER_BYTES = 256 * 1024;

static std::string AddressText(in_addr a) {
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &a, text, sizeof(text));
    return text;
}

// Interfaces are named by their address here and when joining, not by
// their index (struct ip_mreqn): the user-mode emulator the arm64 build is
// tested under (qemu-user, 7.2 and 10.0 alike) fails a join given an
// ip_mreqn with "No such device".
static void ChooseMulticastInterface(int fd, in_addr address) {
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &address, sizeof(address));
}

bool SyncTransport::Open(const Options& o, std::string& error, std::vector<std::string>& problems) {
    Close();
    m_options = o;
    if (inet_pton(AF_INET, o.group.c_str(), &m_group) != 1 || !IN_MULTICAST(ntohl(m_group.s_addr))) {
        error = "\"" + o.group + "\" is not an IPv4 multicast group";
        return false;
    }
    m_unicast.clear();
    for (const auto& u : o.unicast) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons((uint16_t)o.port);
        if (inet_pton(AF_INET, u.c_str(), &a.sin_addr) != 1) {
            problems.push_back("\"" + u + "\" is not a numeric IPv4 address");
            continue;
        }
        m_unicast.push_back(a);
    }
    m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        error = std::string("cannot create a UDP socket: ") + strerror(errno);
        return false;
    }
    int one = 1, zero = 0, ttl = 1, rcv = RECEIVE_BUFFER_BYTES;
    setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    setsockopt(m_fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof(one));
    setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &rcv, sizeof(rcv));
    // Sync stays on the show network's segment, and a board does not hear
    // itself.
    setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl));
    setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_LOOP, &zero, sizeof(zero));
    sockaddr_in bindAddr{};
    bindAddr.sin_family = AF_INET;
    bindAddr.sin_port = htons((uint16_t)o.port);
    bindAddr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(m_fd, (sockaddr*)&bindAddr, sizeof(bindAddr)) < 0) {
        error = "cannot bind UDP port " + std::to_string(o.port) + ": " + strerror(errno);
        Close();
        return false;
    }
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
        std::lock_guard<std::mutex> lock(m_lock);
        for (struct ifaddrs* a = list; a; a = a->ifa_next) {
            if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
            if (!(a->ifa_flags & IFF_UP) || !(a->ifa_flags & IFF_MULTICAST) || (a->ifa_flags & IFF_LOOPBACK)) continue;
            if (!o.interfaceName.empty() && o.interfaceName != a->ifa_name) continue;
            JoinLocked(a->ifa_name, (int)if_nametoindex(a->ifa_name), ((sockaddr_in*)a->ifa_addr)->sin_addr);
        }
        freeifaddrs(list);
    }
    return true;
}

void SyncTransport::Close() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
    std::lock_guard<std::mutex> lock(m_lock);
    m_joined.clear();
}

bool SyncTransport::JoinLocked(const std::string& name, int index, in_addr address) {
    for (auto& j : m_joined) {
        if (j.index == index) return true;
    }
    struct ip_mreq m{};
    m.imr_multiaddr = m_group;
    m.imr_interface = address;
    if (setsockopt(m_fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof(m)) < 0 && errno != EADDRINUSE) {
        LogWarn(VB_SYNC, "Cannot join the sync group %s on %s: %s\n", m_options.group.c_str(), name.c_str(),
                strerror(errno));
        return false;
    }
    // With one interface the kernel's choice is set once; with several
    // each send picks its own.
    if (m_joined.empty()) ChooseMulticastInterface(m_fd, address);
    m_joined.push_back({name, index, address});
    LogInfo(VB_SYNC, "Sync group %s joined on %s (%s)\n", m_options.group.c_str(), name.c_str(),
            AddressText(address).c_str());
    return true;
}

void SyncTransport::JoinInterface(const std::string& name) {
    if (m_fd < 0 || (!m_options.interfaceName.empty() && name != m_options.interfaceName)) return;
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return;
    std::lock_guard<std::mutex> lock(m_lock);
    for (struct ifaddrs* a = list; a; a = a->ifa_next) {
        if (a->ifa_addr && a->ifa_addr->sa_family == AF_INET && name == a->ifa_name && (a->ifa_flags & IFF_UP) &&
            (a->ifa_flags & IFF_MULTICAST) && !(a->ifa_flags & IFF_LOOPBACK)) {
            JoinLocked(name, (int)if_nametoindex(name.c_str()), ((sockaddr_in*)a->ifa_addr)->sin_addr);
        }
    }
    freeifaddrs(list);
}

bool SyncTransport::SendTo(const std::vector<uint8_t>& bytes, const sockaddr_in& to) {
    if (m_fd < 0 || bytes.empty()) return false;
    return sendto(m_fd, bytes.data(), bytes.size(), MSG_DONTWAIT, (const sockaddr*)&to, sizeof(to)) ==
           (ssize_t)bytes.size();
}

int SyncTransport::Send(const std::vector<uint8_t>& bytes) {
    if (m_fd < 0 || bytes.empty()) return 0;
    int sent = 0;
    if (m_options.sendMulticast) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons((uint16_t)m_options.port);
        to.sin_addr = m_group;
        std::lock_guard<std::mutex> lock(m_lock);
        for (auto& j : m_joined) {
            if (m_joined.size() > 1) ChooseMulticastInterface(m_fd, j.address);
            if (SendTo(bytes, to)) ++sent;
        }
    }
    for (auto& u : m_unicast) {
        if (SendTo(bytes, u)) ++sent;
    }
    return sent;
}

bool SyncTransport::Receive(std::vector<uint8_t>& buf, size_t& len, sockaddr_in& from, long long& arrivalWallUs) {
    if (m_fd < 0) return false;
    struct iovec iov = {buf.data(), buf.size()};
    char control[CMSG_SPACE(sizeof(struct timespec))];
    struct msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof(from);
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    ssize_t n = recvmsg(m_fd, &msg, MSG_DONTWAIT);
    if (n < 0) return false;
    // A datagram longer than the buffer is cut: its length no longer
    // matches its header and the parser refuses it.
    len = (msg.msg_flags & MSG_TRUNC) ? buf.size() : (size_t)n;
    arrivalWallUs = 0;
    for (struct cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            struct timespec ts;
            memcpy(&ts, CMSG_DATA(c), sizeof(ts));
            arrivalWallUs = (long long)ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
        }
    }
    if (!arrivalWallUs) arrivalWallUs = SyncWallUs();
    return true;
}

std::vector<std::string> SyncTransport::LocalAddresses() {
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<std::string> out;
    for (auto& j : m_joined) out.push_back(AddressText(j.address));
    return out;
}
