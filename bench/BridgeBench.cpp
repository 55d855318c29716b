// Live input benchmark, against bare loops measured in the same run:
//   - latency: one E1.31 universe in, the DDP datagram out. The real kivd
//     (bridge -> sequence player -> output thread -> UDP engine) against a
//     bare loop that receives the E1.31 datagram and sends its channels on
//     as DDP at once, in a process of its own as kivd is. Samples alternate
//     between the two; p50 and p99 of each and their ratio (goal: kivd's
//     p99 at most 1.2 x the bare p99), on the machine as it is and again
//     beside two CPU burners; then once more with frames 0.3 ms apart,
//     whose CPU per frame against the first run's shows what cold caches
//     cost a frame that comes after a pause; last with the sender on one
//     processor and both receivers on the other, so that every frame
//     wakes its receiver from another processor.
//   - capacity: universes per second kivd takes without loss on one core
//     (kivd's threads pinned to CPU 1, the sender on CPU 0), at 40 frames a
//     second of U universes for rising U, against a bare recvmmsg loop
//     pinned the same way (goal: 2,000 universes at 40 fps).
//
//   bench_bridge [--samples N] [--seconds S] [--gap US]
//
// --gap: only one quiet latency run, frames US microseconds apart.
//
// p99 is the 20th worst of 2,000 samples: with a few hundred it is one of
// the handful of worst and moves with whatever else the machine does.

#include <arpa/inet.h>
#include <getopt.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "BenchSupport.h"
#include "KivdProcess.h"
#include "LiveInputSupport.h"
#include "NetTestSupport.h"
#include "TestSupport.h"
#include "common.h"

namespace {

using kivtest::Bytes;

std::string Lo(int n) {
    static const int block = kivtest::reservedLoopbackBlock("127.225", 1, 250);
    return "127.225." + std::to_string(block) + "." + std::to_string(n);
}

long long NowUs() { return GetTime(); }

void PinTo(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof(set), &set);
}

int BoundSocket(const std::string& address, uint16_t port) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int one = 1, size = 16 * 1024 * 1024;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) != 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    if (bind(fd, (sockaddr*)&a, sizeof(a)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

sockaddr_in To(const std::string& address, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    return a;
}

// Waits for a DDP datagram whose first two channels hold `mark`; µs waited, -1 on time-out.
long long AwaitMark(int fd, uint16_t mark, long long sentUs) {
    uint8_t buf[2048];
    while (NowUs() - sentUs < 500000) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n >= 12 && (buf[10] << 8 | buf[11]) == mark) return NowUs() - sentUs;
    }
    return -1;
}

// The bare loop: E1.31 in, its channels out as one DDP datagram. It runs
// in a process of its own, as kivd does: a thread of the sending process
// would be woken without switching address spaces, a saving that no
// receiver of datagrams from another machine gets.
pid_t BareForward(int in, int out, sockaddr_in to) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    uint8_t buf[2048], ddp[1024];
    while (true) {
        pollfd p{in, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        ssize_t n = recv(in, buf, sizeof(buf), 0);
        if (n <= 126) continue;
        size_t len = n - 126;
        uint8_t head[10] = {0x41, 0, 1, 1, 0, 0, 0, 0, (uint8_t)(len >> 8), (uint8_t)len};
        memcpy(ddp, head, 10);
        memcpy(ddp + 10, buf + 126, len);
        sendto(out, ddp, 10 + len, 0, (sockaddr*)&to, sizeof(to));
    }
}

void Latency(int samples, int burners, int gapUs, bool apart = false) {
    kivtest::TempMediaDir media;
    media.write("/config/inputs.json", R"({"address": ")" + Lo(1) + R"(", "inputs": [
      {"protocol": "E1.31", "universe": 1, "startChannel": 1}]})");
    media.write("/config/channeloutputs.json", R"({"channelOutputs": [{"type": "UDP", "enabled": 1, "universes": [
      {"type": 4, "address": ")" + Lo(2) + R"(", "startChannel": 1, "channelCount": 512}]}]})");
    kivtest::KivdProcess d(media.path());
    if (!d.start({"-f"}) || !d.waitReady()) {
        fprintf(stderr, "kivd did not start: %s\n", d.output().c_str());
        return;
    }
    int kivdOut = BoundSocket(Lo(2), 4048), bareIn = BoundSocket(Lo(4), 5568), bareOut = BoundSocket(Lo(5), 4048);
    int sender = BoundSocket(Lo(3), 0), forwarder = BoundSocket(Lo(4), 0);
    pid_t bare = BareForward(bareIn, forwarder, To(Lo(5), 4048));
    cpu_set_t mine;
    sched_getaffinity(0, sizeof(mine), &mine);
    if (apart) {
        for (pid_t p : {d.pid(), bare}) kivtest::runCommand("taskset -a -cp 1 " + std::to_string(p) + " >/dev/null");
        PinTo(0);
    }
    // The first frame also starts kivd's output thread: not a sample.
    Bytes first = kivtest::E131Data(1, 255, Bytes(512, 0));
    sockaddr_in warmTo = To(Lo(1), 5568);
    sendto(sender, first.data(), first.size(), 0, (sockaddr*)&warmTo, sizeof(warmTo));
    AwaitMark(kivdOut, 0, NowUs());
    bench::Burners load(burners);
    std::vector<double> kivdUs, bareUs;
    int lost[2] = {0, 0};
    sockaddr_in kivdTo = To(Lo(1), 5568), bareTo = To(Lo(4), 5568);
    // What each forwarding thread spends per frame: the part of the latency
    // that is work rather than waiting to run.
    double kivdCpu0 = bench::ThreadCpuByName(d.pid())["KIV-Input"];
    long long bareCpu0 = bench::ProcessCpuNs(bare);
    for (int i = 0; i < 2 * samples; ++i) {
        bool toKivd = i % 2 == 0;
        uint16_t mark = (uint16_t)(i + 1);
        Bytes data(512, 0);
        data[0] = mark >> 8;
        data[1] = mark & 0xFF;
        Bytes packet = kivtest::E131Data(1, (uint8_t)i, data);
        long long t0 = NowUs();
        sendto(sender, packet.data(), packet.size(), 0, (sockaddr*)(toKivd ? &kivdTo : &bareTo), sizeof(sockaddr_in));
        long long us = AwaitMark(toKivd ? kivdOut : bareOut, mark, t0);
        if (us < 0) {
            ++lost[toKivd ? 0 : 1];
        } else {
            (toKivd ? kivdUs : bareUs).push_back((double)us);
        }
        usleep(gapUs);
    }
    double kivdCpuUs = (bench::ThreadCpuByName(d.pid())["KIV-Input"] - kivdCpu0) * 1e6 / samples;
    double bareCpuUs = (bench::ProcessCpuNs(bare) - bareCpu0) / 1000.0 / samples;
    sched_setaffinity(0, sizeof(mine), &mine);
    kill(bare, SIGKILL);
    waitpid(bare, nullptr, 0);
    d.stop();
    bench::Stats k = bench::Percentiles(kivdUs), b = bench::Percentiles(bareUs);
    printf("latency, E1.31 datagram in -> DDP datagram out, %d samples each %.1f ms apart, %d CPU burners beside%s:\n",
           samples, gapUs / 1000.0, burners, apart ? ", sender on CPU 0 and receivers on CPU 1" : "");
    printf("  bare loop   p50 %7.0f us  p99 %7.0f us  max %7.0f us  lost %d\n", b.median, b.p99, b.max, lost[1]);
    printf("  kivd        p50 %7.0f us  p99 %7.0f us  max %7.0f us  lost %d\n", k.median, k.p99, k.max, lost[0]);
    printf("  ratio kivd / bare: p50 %.2f  p99 %.2f  (goal p99 <= 1.2)\n", k.median / b.median, k.p99 / b.p99);
    printf("  CPU per frame: kivd's input thread %.1f us, the bare loop %.1f us\n", kivdCpuUs, bareCpuUs);
    for (int fd : {kivdOut, bareIn, bareOut, sender, forwarder}) close(fd);
}

// Sends `universes` universes 40 times a second for `seconds`; returns the datagrams sent.
long SendStream(int fd, const sockaddr_in& to, int universes, int seconds) {
    PinTo(0);
    std::vector<Bytes> packets;
    for (int u = 0; u < universes; ++u) packets.push_back(kivtest::E131Data(1 + u, 0, Bytes(512, (uint8_t)u)));
    std::vector<mmsghdr> msgs(universes);
    std::vector<iovec> iov(universes);
    long sent = 0;
    long long start = NowUs();
    for (int frame = 0; frame < seconds * 40; ++frame) {
        for (int u = 0; u < universes; ++u) {
            packets[u][111] = (uint8_t)frame;  // sequence number
            iov[u] = {packets[u].data(), packets[u].size()};
            msgs[u] = {};
            msgs[u].msg_hdr.msg_iov = &iov[u];
            msgs[u].msg_hdr.msg_iovlen = 1;
            msgs[u].msg_hdr.msg_name = (void*)&to;
            msgs[u].msg_hdr.msg_namelen = sizeof(to);
        }
        for (int at = 0; at < universes;) {
            int n = sendmmsg(fd, msgs.data() + at, std::min(universes - at, 1024), 0);
            if (n <= 0) break;
            at += n;
            sent += n;
        }
        long long next = start + (frame + 1) * 25000LL, now = NowUs();
        if (next > now) usleep(next - now);
    }
    return sent;
}

long KivdPackets(kivtest::KivdProcess& d) {
    std::string out;
    d.command({"Get Inputs"}, &out, 10);
    return (long)LoadJsonFromString(out)["protocols"]["E1.31"]["packets"].asInt64();
}

void Capacity(int seconds) {
    const int MAX_UNIVERSES = 6000;
    kivtest::TempMediaDir media;
    media.write("/config/inputs.json", R"({"address": ")" + Lo(6) + R"(", "inputs": [
      {"protocol": "E1.31", "universe": 1, "universeCount": )" + std::to_string(MAX_UNIVERSES) + R"(, "startChannel": 1}]})");
    kivtest::KivdProcess d(media.path());
    if (!d.start({"-f"}) || !d.waitReady()) {
        fprintf(stderr, "kivd did not start: %s\n", d.output().c_str());
        return;
    }
    kivtest::runCommand("taskset -a -cp 1 " + std::to_string(d.pid()) + " >/dev/null");
    int bareIn = BoundSocket(Lo(7), 5568), sender = BoundSocket(Lo(8), 0);
    printf("capacity, universes of 512 channels at 40 fps for %d s, receiver on CPU 1, sender on CPU 0:\n", seconds);
    printf("  %9s %12s %14s %14s\n", "universes", "packets/s", "kivd received", "bare received");
    int best = 0;
    for (int universes : {500, 1000, 2000, 3000, 4000, 6000}) {
        // Reference: a bare loop draining with recvmmsg on the same core.
        std::atomic<bool> run{true};
        std::atomic<long> bareGot{0};
        std::thread bare([&] {
            PinTo(1);
            std::vector<uint8_t> buf(64 * 2048);
            mmsghdr msgs[64];
            iovec iov[64];
            while (run) {
                for (int i = 0; i < 64; ++i) {
                    iov[i] = {buf.data() + i * 2048, 2048};
                    msgs[i] = {};
                    msgs[i].msg_hdr.msg_iov = &iov[i];
                    msgs[i].msg_hdr.msg_iovlen = 1;
                }
                pollfd p{bareIn, POLLIN, 0};
                if (poll(&p, 1, 20) <= 0) continue;
                int n = recvmmsg(bareIn, msgs, 64, MSG_DONTWAIT, nullptr);
                if (n > 0) bareGot += n;
            }
        });
        long bareSent = SendStream(sender, To(Lo(7), 5568), universes, seconds);
        usleep(300000);
        run = false;
        bare.join();
        long before = KivdPackets(d);
        long kivdSent = SendStream(sender, To(Lo(6), 5568), universes, seconds);
        usleep(300000);
        long got = KivdPackets(d) - before;
        printf("  %9d %12d %13.2f%% %13.2f%%\n", universes, universes * 40, 100.0 * got / kivdSent,
               100.0 * bareGot / bareSent);
        if (got >= kivdSent) best = universes;
    }
    printf("  kivd took every packet up to %d universes at 40 fps (%d universes/s; goal 2000 at 40 fps)\n", best,
           best * 40);
    close(bareIn);
    close(sender);
    d.stop();
}

}  // namespace

int main(int argc, char** argv) {
    int samples = 2000, seconds = 3;
    int gap = 0;
    static struct option opts[] = {{"samples", required_argument, 0, 'n'},
                                   {"seconds", required_argument, 0, 's'},
                                   {"gap", required_argument, 0, 'g'},
                                   {0, 0, 0, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "", opts, nullptr)) != -1) {
        if (c == 'n') samples = atoi(optarg);
        if (c == 's') seconds = atoi(optarg);
        if (c == 'g') gap = atoi(optarg);
    }
    setenv("KIV_INSTALL_DIR", kivtest::buildDir().c_str(), 0);
    if (gap > 0) {
        Latency(samples, 0, gap);
        return 0;
    }
    Latency(samples, 0, 7000);
    Latency(samples, 2, 7000);
    // Frames in quick succession find the path in the caches: against the
    // first run, what a frame costs because the one before left long ago.
    Latency(samples, 0, 300);
    // A datagram from another machine wakes the receiver from whichever
    // processor took the interrupt, often not the one the receiver ran on;
    // a local sender instead mostly wakes it on its own processor. With the
    // sender kept apart every frame pays a wake-up on another processor.
    Latency(samples, 0, 7000, true);
    Capacity(seconds);
    return 0;
}
