#include "bridge/InputThread.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ThreadPriority.h"
#include "common.h"
#include "log.h"

bool InputThread::Start(std::vector<Watch> watches) {
    Stop();
    m_watches = std::move(watches);
    m_epoll = epoll_create1(EPOLL_CLOEXEC);
    m_stopFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_epoll < 0 || m_stopFd < 0) {
        LogErr(VB_E131BRIDGE, "Live input cannot start its thread: %s\n", strerror(errno));
        Stop();
        return false;
    }
    auto add = [this](int fd, uint64_t index) {
        epoll_event ev;
        memset(&ev, 0, sizeof(ev));
        ev.events = EPOLLIN;
        ev.data.u64 = index;
        return epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &ev) == 0;
    };
    add(m_stopFd, UINT64_MAX);
    for (size_t i = 0; i < m_watches.size(); ++i) {
        if (!add(m_watches[i].fd, i)) {
            LogErr(VB_E131BRIDGE, "Live input cannot watch descriptor %d: %s\n", m_watches[i].fd, strerror(errno));
        }
    }
    m_thread = std::thread([this] { Run(); });
    return true;
}

void InputThread::Stop() {
    if (m_thread.joinable()) {
        uint64_t one = 1;
        if (write(m_stopFd, &one, sizeof(one)) < 0) {
            // an eventfd write fails only when the counter would overflow
        }
        m_thread.join();
    }
    if (m_epoll >= 0) close(m_epoll);
    if (m_stopFd >= 0) close(m_stopFd);
    m_epoll = m_stopFd = -1;
    m_watches.clear();
}

void InputThread::Run() {
    SetThreadName("KIV-Input");
    std::string priority = RaiseThreadPriority(ThreadRole::LiveInput);
    LogDebug(VB_E131BRIDGE, "Live input thread running at %s priority\n", priority.c_str());
    epoll_event events[16];
    while (true) {
        int n = epoll_wait(m_epoll, events, 16, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            LogErr(VB_E131BRIDGE, "Live input stops: epoll_wait failed: %s\n", strerror(errno));
            return;
        }
        for (int i = 0; i < n; ++i) {
            if (events[i].data.u64 == UINT64_MAX) return;
            m_watches[events[i].data.u64].readable();
        }
    }
}
