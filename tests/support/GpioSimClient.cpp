#include "GpioSimClient.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "common.h"

namespace kivtest {

GpioSimClient::GpioSimClient(const std::string& mediaDir)
    : m_socket(mediaDir + "/tmp/gpio-sim.sock"), m_state(mediaDir + "/tmp/gpio-sim.json") {
    static std::atomic<int> serial{0};
    m_own = mediaDir + "/tmp/gpio-client-" + std::to_string(getpid()) + "-" + std::to_string(serial++) + ".sock";
    m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a;
    memset(&a, 0, sizeof(a));
    a.sun_family = AF_UNIX;
    strncpy(a.sun_path, m_own.c_str(), sizeof(a.sun_path) - 1);
    unlink(m_own.c_str());
    if (bind(m_fd, (sockaddr*)&a, sizeof(a)) != 0) {
        close(m_fd);
        m_fd = -1;
    }
}

GpioSimClient::~GpioSimClient() {
    if (m_fd >= 0) close(m_fd);
    unlink(m_own.c_str());
}

std::string GpioSimClient::send(const std::string& assignments, int timeoutMs) {
    if (m_fd < 0) return "";
    sockaddr_un a;
    memset(&a, 0, sizeof(a));
    a.sun_family = AF_UNIX;
    strncpy(a.sun_path, m_socket.c_str(), sizeof(a.sun_path) - 1);
    if (sendto(m_fd, assignments.data(), assignments.size(), 0, (sockaddr*)&a, sizeof(a)) < 0) return "";
    pollfd p{m_fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return "";
    char buf[1024];
    ssize_t n = recv(m_fd, buf, sizeof(buf), 0);
    return n > 0 ? std::string(buf, n) : "";
}

Json::Value GpioSimClient::pin(const std::string& name) const {
    Json::Value doc;
    if (!LoadJsonFromString(GetFileContents(m_state), doc)) return Json::Value();
    return doc["pins"].isMember(name) ? doc["pins"][name] : Json::Value();
}

int GpioSimClient::level(const std::string& name) const {
    Json::Value p = pin(name);
    return p.isObject() ? p["value"].asInt() : -1;
}

int serveDescriptors(std::map<int, std::function<bool(int)>>& callbacks, int waitMs, int maxPasses) {
    int ep = epoll_create1(EPOLL_CLOEXEC);
    for (auto& cb : callbacks) {
        epoll_event ev;
        memset(&ev, 0, sizeof(ev));
        ev.events = EPOLLIN;
        ev.data.fd = cb.first;
        epoll_ctl(ep, EPOLL_CTL_ADD, cb.first, &ev);
    }
    int run = 0;
    epoll_event events[20];
    int wait = waitMs;
    for (int pass = 0; pass < maxPasses; ++pass) {
        int n = epoll_wait(ep, events, 20, wait);
        if (n <= 0) break;
        for (int i = 0; i < n; ++i) {
            auto it = callbacks.find(events[i].data.fd);
            if (it != callbacks.end()) {
                it->second(events[i].data.fd);
                ++run;
            }
        }
        wait = 0;  // then whatever those callbacks made ready
    }
    close(ep);
    return run;
}

}  // namespace kivtest
