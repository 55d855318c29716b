// Does MSG_ZEROCOPY pay for the UDP engine's largest batches? One frame of
// a big show is sent as the engine sends it on the segmented path: datagrams
// of 1,440 channels laid back to back, up to 44 of them in one sendmsg with
// a UDP_SEGMENT control message. Each round sends the same frames once with
// a plain copy into the kernel and once with MSG_ZEROCOPY (pages pinned, the
// buffer held until the kernel's completion arrives on the error queue,
// which is read after every frame as the engine would have to). Printed:
// the sending thread's CPU time per frame (kernel and user, median of the
// rounds) both ways, and how many completions said the kernel copied after
// all (it does when the datagrams end in a socket on this machine).
//
// With --veth (root) the receiver sits behind a veth pair in a network
// namespace of its own, else on loopback.
//
//   bench_zerocopy [--channels N]... [--frames F] [--rounds R] [--veth]

#include <arpa/inet.h>
#include <getopt.h>
#include <linux/errqueue.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "NetTestSupport.h"

#ifndef SO_ZEROCOPY
#define SO_ZEROCOPY 60
#endif
#ifndef MSG_ZEROCOPY
#define MSG_ZEROCOPY 0x4000000
#endif
#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103
#endif

namespace {

constexpr int PORT = 4048;
constexpr size_t DATAGRAM = 1440;
constexpr int PER_SEND = 44;  // 63,360 bytes: under the 64 KiB a send may carry

double ThreadCpuUs() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

// Drains the port until told to stop; counts datagrams.
class Receiver {
public:
    Receiver(const std::string& address, kivtest::VethNamespace* ns) {
        auto body = [this, address] {
            m_fd = socket(AF_INET, SOCK_DGRAM, 0);
            int size = 32 << 20;
            setsockopt(m_fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size));
            sockaddr_in a = {};
            a.sin_family = AF_INET;
            a.sin_port = htons(PORT);
            inet_pton(AF_INET, address.c_str(), &a.sin_addr);
            if (bind(m_fd, (sockaddr*)&a, sizeof(a)) != 0) {
                perror("bind");
                m_ready = -1;
                return;
            }
            m_ready = 1;
            std::vector<char> buf(2048);
            pollfd p = {m_fd, POLLIN, 0};
            while (!m_stop) {
                if (poll(&p, 1, 100) == 1) {
                    while (recv(m_fd, buf.data(), buf.size(), MSG_DONTWAIT) > 0) ++m_datagrams;
                }
            }
            close(m_fd);
        };
        if (ns) {
            m_thread = std::thread([ns, body] { ns->runInside(body); });
        } else {
            m_thread = std::thread(body);
        }
        while (m_ready == 0) usleep(1000);
    }
    ~Receiver() {
        m_stop = true;
        m_thread.join();
    }
    bool ok() const { return m_ready == 1; }
    long long datagrams() const { return m_datagrams; }

private:
    int m_fd = -1;
    std::atomic<int> m_ready{0};
    std::atomic<bool> m_stop{false};
    std::atomic<long long> m_datagrams{0};
    std::thread m_thread;
};

struct Result {
    double cpuUs = 0;  // per frame
    long long completions = 0, copied = 0;
    bool ok = true;
};

// Reads the zero-copy completions waiting on the error queue; true when
// every send up to `sent` is accounted for.
bool Reap(int fd, uint32_t sent, uint32_t& done, Result& r, bool wait) {
    while (done < sent) {
        if (wait) {
            pollfd p = {fd, POLLERR, 0};
            if (poll(&p, 1, 1000) <= 0) return false;
        }
        char control[128];
        msghdr msg = {};
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);
        if (recvmsg(fd, &msg, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) {
            if (!wait) return true;
            continue;
        }
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (!((c->cmsg_level == SOL_IP && c->cmsg_type == IP_RECVERR))) continue;
            auto* e = (sock_extended_err*)CMSG_DATA(c);
            if (e->ee_origin != SO_EE_ORIGIN_ZEROCOPY) continue;
            uint32_t n = e->ee_data - e->ee_info + 1;  // an inclusive range of send numbers
            r.completions += n;
            if (e->ee_code & SO_EE_CODE_ZEROCOPY_COPIED) r.copied += n;
            done = e->ee_data + 1;
        }
    }
    return true;
}

// Sends `frames` frames of `bytes` channels to address; zerocopy or not.
Result Send(const std::string& address, const std::vector<uint8_t>& frame, int frames, bool zerocopy) {
    Result r;
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int size = 8 << 20;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof(size));
    int one = 1;
    if (zerocopy && setsockopt(fd, SOL_SOCKET, SO_ZEROCOPY, &one, sizeof(one)) != 0) {
        perror("SO_ZEROCOPY");
        close(fd);
        r.ok = false;
        return r;
    }
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(PORT);
    inet_pton(AF_INET, address.c_str(), &to.sin_addr);
    uint32_t sent = 0, done = 0;
    double t0 = ThreadCpuUs();
    for (int f = 0; f < frames; ++f) {
        for (size_t at = 0; at < frame.size(); at += DATAGRAM * PER_SEND) {
            size_t len = std::min(frame.size() - at, DATAGRAM * PER_SEND);
            iovec iov = {(void*)(frame.data() + at), len};
            char control[CMSG_SPACE(sizeof(uint16_t))] = {};
            msghdr msg = {};
            msg.msg_name = &to;
            msg.msg_namelen = sizeof(to);
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            if (len > DATAGRAM) {
                msg.msg_control = control;
                msg.msg_controllen = sizeof(control);
                cmsghdr* c = CMSG_FIRSTHDR(&msg);
                c->cmsg_level = SOL_UDP;
                c->cmsg_type = UDP_SEGMENT;
                c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
                uint16_t seg = DATAGRAM;
                memcpy(CMSG_DATA(c), &seg, sizeof(seg));
            }
            ssize_t n = sendmsg(fd, &msg, zerocopy ? MSG_ZEROCOPY : 0);
            if (n < 0) {
                if (errno == ENOBUFS || errno == EAGAIN) {
                    // The pinned-page budget is spent: take completions in.
                    Reap(fd, sent, done, r, true);
                    at -= DATAGRAM * PER_SEND;
                    continue;
                }
                perror("sendmsg");
                r.ok = false;
                break;
            }
            if (zerocopy) ++sent;
        }
        // The frame's buffer may be reused only once the kernel let go of it.
        if (zerocopy && !Reap(fd, sent, done, r, true)) r.ok = false;
    }
    r.cpuUs = (ThreadCpuUs() - t0) / frames;
    close(fd);
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<uint32_t> sizes;
    int frames = 200, rounds = 5;
    bool veth = false;
    static option longOpts[] = {{"channels", required_argument, nullptr, 'c'},
                                {"frames", required_argument, nullptr, 'f'},
                                {"rounds", required_argument, nullptr, 'r'},
                                {"veth", no_argument, nullptr, 'v'},
                                {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "", longOpts, nullptr)) != -1) {
        switch (c) {
            case 'c': sizes.push_back((uint32_t)atoi(optarg)); break;
            case 'f': frames = atoi(optarg); break;
            case 'r': rounds = atoi(optarg); break;
            case 'v': veth = true; break;
            default:
                fprintf(stderr, "usage: %s [--channels N]... [--frames F] [--rounds R] [--veth]\n", argv[0]);
                return 2;
        }
    }
    if (sizes.empty()) sizes = {1048576, 8388608};
    if (frames <= 0 || rounds <= 0) return 2;

    std::unique_ptr<kivtest::VethNamespace> ns;
    std::string address = "127.0.0.1";
    if (veth) {
        int tag = (int)getpid() % 200 + 20;
        std::string net = "10.78." + std::to_string(tag) + ".";
        std::string id = std::to_string(getpid());
        ns.reset(new kivtest::VethNamespace("kivzc" + id, "kzo" + id, "kzi" + id, net + "1", net + "2"));
        if (!ns->ok()) {
            fprintf(stderr, "could not make the veth pair (root needed): %s\n", ns->error().c_str());
            return 1;
        }
        address = net + "2";
    }
    Receiver receiver(address, ns.get());
    if (!receiver.ok()) return 1;
    printf("MSG_ZEROCOPY on the segmented send path, to a receiver %s; %d frames a round, %d rounds\n",
           veth ? "behind a veth pair" : "on loopback", frames, rounds);
    bool pays = false;
    for (uint32_t channels : sizes) {
        std::vector<uint8_t> frame(channels);
        for (size_t i = 0; i < frame.size(); ++i) frame[i] = (uint8_t)(i * 7);
        std::vector<double> plain, zero;
        Result last;
        for (int r = 0; r < rounds; ++r) {
            Result a = Send(address, frame, frames, false);
            Result b = Send(address, frame, frames, true);
            if (!a.ok || !b.ok) return 1;
            plain.push_back(a.cpuUs);
            zero.push_back(b.cpuUs);
            last.completions += b.completions;
            last.copied += b.copied;
        }
        double p = bench::Percentiles(plain).median, z = bench::Percentiles(zero).median;
        printf("  %8u channels: copied %8.1f us, zero-copy %8.1f us per frame (%.2f x); completions %lld, of them "
               "copied by the kernel after all %lld\n",
               channels, p, z, p > 0 ? z / p : 0, last.completions, last.copied);
        if (z < 0.9 * p && last.copied < last.completions / 2) pays = true;
    }
    printf("  %lld datagrams received\n", receiver.datagrams());
    printf("\nMSG_ZEROCOPY pays on this path (under 0.9 x and not copied after all): %s\n", pays ? "yes" : "no");
    return 0;
}
