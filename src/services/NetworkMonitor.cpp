#include "services/NetworkMonitor.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "log.h"

NetworkMonitor NetworkMonitor::INSTANCE;

void NetworkMonitor::Init(std::map<int, std::function<bool(int)>>& callbacks) {
    if (m_socket >= 0) {
        callbacks[m_socket] = [this](int) { return receive(); };
        return;
    }
    int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) {
        LogErr(VB_GENERAL, "Unable to open netlink socket for link events: %s\n", strerror(errno));
        return;
    }
    struct sockaddr_nl addr;
    memset(&addr, 0, sizeof(addr));
    addr.nl_family = AF_NETLINK;
    addr.nl_groups = RTMGRP_LINK;
    if (bind(fd, (struct sockaddr*)&addr, sizeof(addr)) < 0) {
        LogErr(VB_GENERAL, "Unable to bind netlink socket for link events: %s\n", strerror(errno));
        close(fd);
        return;
    }
    m_socket = fd;
    callbacks[m_socket] = [this](int) { return receive(); };
    LogDebug(VB_GENERAL, "NetworkMonitor listening for link events on %d\n", fd);
}

void NetworkMonitor::Close() {
    if (m_socket >= 0) {
        close(m_socket);
        m_socket = -1;
    }
}

int NetworkMonitor::registerCallback(CallbackType cb) {
    std::lock_guard<std::mutex> lock(m_lock);
    int id = m_nextId++;
    m_callbacks[id] = cb;
    return id;
}

void NetworkMonitor::removeCallback(int id) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_callbacks.erase(id);
}

bool NetworkMonitor::receive() {
    std::vector<char> buf(16384);
    while (true) {
        ssize_t n = recv(m_socket, buf.data(), buf.size(), MSG_DONTWAIT);
        if (n <= 0) break;
        handleMessages(buf.data(), (int)n);
    }
    return false;
}

void NetworkMonitor::dispatch(NetEventType type, int state, const std::string& iface) {
    std::map<int, CallbackType> cbs;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        cbs = m_callbacks;
    }
    for (auto& c : cbs) {
        c.second(type, state, iface);
    }
}

void NetworkMonitor::handleMessages(const char* buf, int len) {
    for (const struct nlmsghdr* nh = (const struct nlmsghdr*)buf; NLMSG_OK(nh, (unsigned)len);
         nh = NLMSG_NEXT(nh, len)) {
        if (nh->nlmsg_type == NLMSG_DONE || nh->nlmsg_type == NLMSG_ERROR) break;
        if (nh->nlmsg_type != RTM_NEWLINK && nh->nlmsg_type != RTM_DELLINK) continue;
        if (nh->nlmsg_len < NLMSG_LENGTH(sizeof(struct ifinfomsg))) continue;
        const struct ifinfomsg* ifi = (const struct ifinfomsg*)NLMSG_DATA(nh);
        std::string name;
        int attrLen = (int)nh->nlmsg_len - (int)NLMSG_LENGTH(sizeof(*ifi));
        for (const struct rtattr* rta = IFLA_RTA(ifi); RTA_OK(rta, attrLen); rta = RTA_NEXT(rta, attrLen)) {
            if (rta->rta_type == IFLA_IFNAME) {
                name.assign((const char*)RTA_DATA(rta), strnlen((const char*)RTA_DATA(rta), RTA_PAYLOAD(rta)));
            }
        }
        if (name.empty()) {
            char n[IF_NAMESIZE + 1] = "";
            if (if_indextoname(ifi->ifi_index, n)) name = n;
        }
        if (nh->nlmsg_type == RTM_DELLINK) {
            m_running.erase(ifi->ifi_index);
            LogInfo(VB_GENERAL, "Network interface %s removed\n", name.c_str());
            dispatch(DOWN, 0, name);
            dispatch(DEL_LINK, 0, name);
            continue;
        }
        bool running = (ifi->ifi_flags & IFF_UP) && (ifi->ifi_flags & IFF_RUNNING);
        auto prev = m_running.find(ifi->ifi_index);
        bool isNew = prev == m_running.end();
        if (!isNew && prev->second == running) continue;
        m_running[ifi->ifi_index] = running;
        if (isNew) dispatch(NEW_LINK, running ? 1 : 0, name);
        LogInfo(VB_GENERAL, "Network interface %s is %s\n", name.c_str(), running ? "up" : "down");
        dispatch(running ? UP : DOWN, running ? 1 : 0, name);
    }
}
