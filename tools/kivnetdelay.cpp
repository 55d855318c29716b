// kivnetdelay: a network link with delay and jitter, for trying
// synchronisation over a slow or uneven network where the kernel has no
// netem. It creates one TAP device in each of two network namespaces (a
// board's and a hub's, e.g. the one holding a bridge) and passes every
// Ethernet frame between them after the delay plus a random jitter, drawn
// for each frame (frames may overtake each other, as on a real network).
// It runs at real-time priority when it may, so the relay itself adds well
// under a millisecond.
//
//   kivnetdelay -b BOARD_NETNS -h HUB_NETNS [-i BOARD_IF] [-p HUB_IF]
//               [-d DELAY_MS] [-j JITTER_MS] [-s SEED]
//
// Prints "ready" once both devices exist; the caller then gives them
// addresses, brings them up and adds the hub's to its bridge. The devices
// go away when kivnetdelay ends (SIGTERM or SIGINT).

#include <fcntl.h>
#include <getopt.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <queue>
#include <random>
#include <string>
#include <vector>

namespace {

volatile sig_atomic_t stopRequested = 0;
void onSignal(int) { stopRequested = 1; }

long long nowNs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

// A TAP device named `name` in the network namespace `netns` (a name under
// /var/run/netns); -1 with a message on failure.
int openTap(const std::string& netns, const std::string& name) {
    int ns = open(("/var/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
    if (ns < 0 || setns(ns, CLONE_NEWNET) < 0) {
        fprintf(stderr, "kivnetdelay: cannot enter network namespace %s: %s\n", netns.c_str(), strerror(errno));
        if (ns >= 0) close(ns);
        return -1;
    }
    close(ns);
    int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC | O_NONBLOCK);
    struct ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    ifr.ifr_flags = IFF_TAP | IFF_NO_PI;
    snprintf(ifr.ifr_name, IFNAMSIZ, "%s", name.c_str());
    if (fd < 0 || ioctl(fd, TUNSETIFF, &ifr) < 0) {
        fprintf(stderr, "kivnetdelay: cannot create TAP device %s in %s: %s\n", name.c_str(), netns.c_str(),
                strerror(errno));
        if (fd >= 0) close(fd);
        return -1;
    }
    return fd;
}

struct Held {
    long long releaseNs;
    int toFd;
    std::vector<char> frame;
    bool operator<(const Held& o) const { return releaseNs > o.releaseNs; }  // earliest on top
};

void usage() {
    fprintf(stderr,
            "Usage: kivnetdelay -b BOARD_NETNS -h HUB_NETNS [-i BOARD_IF] [-p HUB_IF] [-d DELAY_MS] [-j JITTER_MS] "
            "[-s SEED]\n");
}

}  // namespace

int main(int argc, char** argv) {
    std::string boardNs, hubNs, boardIf = "eth0", hubIf = "delay0";
    double delayMs = 20, jitterMs = 10;
    unsigned seed = 1;
    int c;
    while ((c = getopt(argc, argv, "b:h:i:p:d:j:s:")) != -1) {
        switch (c) {
        case 'b': boardNs = optarg; break;
        case 'h': hubNs = optarg; break;
        case 'i': boardIf = optarg; break;
        case 'p': hubIf = optarg; break;
        case 'd': delayMs = atof(optarg); break;
        case 'j': jitterMs = atof(optarg); break;
        case 's': seed = (unsigned)strtoul(optarg, nullptr, 10); break;
        default: usage(); return 2;
        }
    }
    if (boardNs.empty() || hubNs.empty() || jitterMs < 0 || delayMs < jitterMs) {
        usage();
        return 2;
    }
    int fds[2] = {openTap(boardNs, boardIf), openTap(hubNs, hubIf)};
    if (fds[0] < 0 || fds[1] < 0) return 1;

    struct sched_param sp;
    sp.sched_priority = 50;
    if (sched_setscheduler(0, SCHED_FIFO, &sp) < 0) {
        fprintf(stderr, "kivnetdelay: no real-time priority (%s); delays may stretch under load\n", strerror(errno));
    }
    mlockall(MCL_CURRENT | MCL_FUTURE);
    signal(SIGTERM, onSignal);
    signal(SIGINT, onSignal);
    printf("ready\n");
    fflush(stdout);

    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> jitter(-jitterMs, jitterMs);
    std::priority_queue<Held> held;
    std::vector<char> buf(65536);
    while (!stopRequested) {
        long long now = nowNs();
        while (!held.empty() && held.top().releaseNs <= now) {
            const Held& h = held.top();
            if (write(h.toFd, h.frame.data(), h.frame.size()) < 0 && errno != EAGAIN) {
                // a device going away while the test ends
            }
            held.pop();
        }
        struct pollfd p[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
        struct timespec wait = {0, 100000000};
        if (!held.empty()) {
            long long left = std::max(0LL, held.top().releaseNs - nowNs());
            wait = {(time_t)(left / 1000000000LL), (long)(left % 1000000000LL)};
        }
        if (ppoll(p, 2, &wait, nullptr) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (!(p[i].revents & POLLIN)) continue;
            ssize_t n;
            while ((n = read(fds[i], buf.data(), buf.size())) > 0) {
                double ms = delayMs + (jitterMs > 0 ? jitter(rng) : 0);
                held.push({nowNs() + (long long)(ms * 1e6), fds[1 - i], std::vector<char>(buf.data(), buf.data() + n)});
            }
        }
    }
    close(fds[0]);
    close(fds[1]);
    return 0;
}
