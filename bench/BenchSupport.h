#pragma once
// Helpers shared by the benchmarks: CPU time of the process, of the calling
// thread and of every thread by name (from the test support), CPU burners,
// percentiles,
// and a minimal DDP sender (the datagrams of one channel range, built once,
// sent with sendmmsg) that serves as the reference the UDP engine is
// measured against.

#include <arpa/inet.h>
#include <signal.h>
#include <dirent.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "ByteOrder.h"
#include "ProcessStats.h"
#include "channeloutput/DDP.h"
#include "common.h"

namespace bench {

// CPU time and memory of the process come from the test support library.
using kivtest::CpuSeconds;
using kivtest::PeakRssKiB;
using kivtest::ThreadCpuByName;

// Time on CPU of a process in ns, threads that ended since included (a sum
// over the live threads would drop the output thread once it goes idle).
inline long long ProcessCpuNs(pid_t pid) {
    clockid_t clock;
    timespec ts;
    if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &ts) != 0) return -1;
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

// CPU burners for the life of the object: child processes spinning, the
// load a board sees beside a busy web page or build. dutyPercent < 100: each
// spins that share of every 100 ms and sleeps the rest (other work that
// takes part of a processor, not all of it), the burners out of phase with
// each other; niceValue: their nice value.
class Burners {
public:
    explicit Burners(int count, int dutyPercent = 100, int niceValue = 0) {
        for (int i = 0; i < count; ++i) {
            pid_t pid = fork();
            if (pid == 0) {
                // Gone with the benchmark, also when it exits without unwinding.
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                if (niceValue) setpriority(PRIO_PROCESS, 0, niceValue);
                Burn(dutyPercent, i * PERIOD_NS / std::max(count, 1));
            }
            if (pid > 0) m_pids.push_back(pid);
        }
    }
    ~Burners() {
        for (pid_t pid : m_pids) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

private:
    static constexpr long long PERIOD_NS = 100000000;
    static long long NowNs() {
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
    }
    [[noreturn]] static void Burn(int dutyPercent, long long phaseNs) {
        if (dutyPercent >= 100) {
            for (volatile unsigned long n = 0;; n = n + 1) {
            }
        }
        long long busyNs = PERIOD_NS * std::max(dutyPercent, 0) / 100;
        long long periodStart = NowNs() + phaseNs;
        for (;; periodStart += PERIOD_NS) {
            timespec until = {(time_t)(periodStart / 1000000000LL), (long)(periodStart % 1000000000LL)};
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
            while (NowNs() < periodStart + busyNs) {
            }
        }
    }
    std::vector<pid_t> m_pids;
};

struct Stats {
    double median = 0, p99 = 0, max = 0;
};

inline Stats Percentiles(std::vector<double> v) {
    Stats s;
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    s.median = v[v.size() / 2];
    s.p99 = v[std::min(v.size() - 1, (size_t)std::ceil(v.size() * 0.99) - 1)];
    s.max = v.back();
    return s;
}

// The DDP datagrams of `count` channels at `channels` to one address, built
// once (headers written by hand from the protocol's layout, independent of
// the engine): Send numbers them and hands them to the kernel with as few
// sendmmsg calls as it takes (at most UIO_MAXIOV datagrams per call).
class DDPBatch {
public:
    DDPBatch(unsigned char* channels, int count, const std::string& address, uint32_t dataOffset = 0) {
        memset(&m_to, 0, sizeof(m_to));
        m_to.sin_family = AF_INET;
        m_to.sin_port = htons(DDP_PORT);
        inet_pton(AF_INET, address.c_str(), &m_to.sin_addr);
        int packets = (count + DDP_MAX_DATA - 1) / DDP_MAX_DATA;
        m_headers.assign((size_t)packets * DDP_HEADER_LEN, 0);
        m_iov.resize(2 * packets);
        m_msgs.resize(packets);
        for (int i = 0; i < packets; ++i) {
            int off = i * DDP_MAX_DATA;
            int len = std::min(DDP_MAX_DATA, count - off);
            uint8_t* h = &m_headers[(size_t)i * DDP_HEADER_LEN];
            h[0] = DDP_FLAGS_VER1 | (i == packets - 1 ? DDP_FLAGS_PUSH : 0);
            h[3] = DDP_ID_DISPLAY;
            PutBE32(h + 4, dataOffset + off);
            PutBE16(h + 8, (uint16_t)len);
            m_iov[2 * i] = {h, DDP_HEADER_LEN};
            m_iov[2 * i + 1] = {channels + off, (size_t)len};
            memset(&m_msgs[i], 0, sizeof(mmsghdr));
            m_msgs[i].msg_hdr.msg_name = &m_to;
            m_msgs[i].msg_hdr.msg_namelen = sizeof(m_to);
            m_msgs[i].msg_hdr.msg_iov = &m_iov[2 * i];
            m_msgs[i].msg_hdr.msg_iovlen = 2;
        }
    }
    int Datagrams() const { return (int)m_msgs.size(); }
    // Returns the datagrams the kernel took.
    int Send(int sock) {
        for (size_t i = 0; i < m_msgs.size(); ++i) {
            m_headers[i * DDP_HEADER_LEN + 1] = m_sequence;
            m_sequence = m_sequence >= 15 ? 1 : m_sequence + 1;
        }
        int sent = 0, total = (int)m_msgs.size();
        while (sent < total) {
            int n = sendmmsg(sock, m_msgs.data() + sent, std::min(total - sent, UIO_MAXIOV), 0);
            if (n <= 0) break;
            sent += n;
        }
        return sent;
    }

private:
    sockaddr_in m_to;
    std::vector<uint8_t> m_headers;
    std::vector<iovec> m_iov;
    std::vector<mmsghdr> m_msgs;
    uint8_t m_sequence = 1;
};

}  // namespace bench
