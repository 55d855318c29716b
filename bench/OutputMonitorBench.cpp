// Output monitor benchmark through the real kivd on the simulated board
// with 48 ports (6 shared interrupt lines of 8 fuses each):
//   - time from a fuse trip sent to the board to the warning in the
//     daemon's warnings file (median, p99), next to a reference measured in
//     the same run: a minimal process-local path from the same datagram to
//     the same kind of file write, seen by the same watcher;
//   - CPU used by the idle daemon with the monitor running against the same
//     daemon without ports.
//
//   bench_output_monitor [--trips N] [--idle-seconds S]

#include <time.h>
#include <getopt.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "GpioSimClient.h"
#include "KivdProcess.h"
#include "TestSupport.h"
#include "common.h"

using namespace kivtest;

namespace {

constexpr int PORTS = 48;
constexpr int PER_LINE = 8;

long long nowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string layout() {
    std::string s = "{\"ports\": [\n";
    for (int p = 0; p < PORTS; ++p) {
        s += "{\"name\": \"Port " + std::to_string(p + 1) + "\", \"enablePin\": \"GPIO" + std::to_string(p) +
             "\", \"eFusePin\": \"GPIO" + std::to_string(PORTS + p) + "\", \"eFuseInterruptPin\": \"+GPIO" +
             std::to_string(2 * PORTS + p / PER_LINE) + "\"}";
        s += p + 1 < PORTS ? ",\n" : "\n";
    }
    return s + "]}\n";
}

// Waits for writes to one file through inotify on its folder and reports
// when its contents first contain (or no longer contain) a text.
class FileWatcher {
public:
    explicit FileWatcher(const std::string& path) : m_path(path) {
        m_fd = inotify_init1(IN_CLOEXEC);
        std::string dir = path.substr(0, path.rfind('/'));
        inotify_add_watch(m_fd, dir.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO);
    }
    ~FileWatcher() { close(m_fd); }
    // The time (µs) at which the file was seen with (or without) the text,
    // or -1 after timeoutMs.
    long long waitFor(const std::string& text, bool present, int timeoutMs) {
        long long deadline = nowUs() + timeoutMs * 1000LL;
        while (true) {
            bool has = GetFileContents(m_path).find(text) != std::string::npos;
            if (has == present) return nowUs();
            long long left = (deadline - nowUs()) / 1000;
            if (left <= 0) return -1;
            pollfd p{m_fd, POLLIN, 0};
            if (poll(&p, 1, (int)std::min(left, 200LL)) > 0) {
                char buf[4096];
                if (read(m_fd, buf, sizeof(buf)) < 0) {
                    // drained by an earlier pass
                }
            }
        }
    }

private:
    std::string m_path;
    int m_fd = -1;
};

double percentile(std::vector<long long> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t i = std::min(v.size() - 1, (size_t)(q * (v.size() - 1) + 0.5));
    return v[i];
}

double idleCpuPercent(KivdProcess& k, int seconds) {
    sleep(2);  // start-up work done
    long long c0 = bench::ProcessCpuNs(k.pid());
    long long t0 = nowUs();
    sleep(seconds);
    long long c1 = bench::ProcessCpuNs(k.pid());
    long long t1 = nowUs();
    return 100.0 * (c1 - c0) / ((t1 - t0) * 1000.0);
}

// The reference: a datagram received through epoll turns into a file
// write, in a thread of this process.
struct Reference {
    std::string sockPath, filePath;
    int fd = -1;
    std::atomic<bool> stop{false};
    std::thread t;
    Reference(const std::string& dir) : sockPath(dir + "/tmp/ref.sock"), filePath(dir + "/tmp/ref/state.json") {
        mkdir((dir + "/tmp/ref").c_str(), 0775);
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un a;
        memset(&a, 0, sizeof(a));
        a.sun_family = AF_UNIX;
        strncpy(a.sun_path, sockPath.c_str(), sizeof(a.sun_path) - 1);
        bind(fd, (sockaddr*)&a, sizeof(a));
        PutFileContents(filePath, "[]");
        t = std::thread([this] { run(); });
    }
    ~Reference() {
        stop = true;
        t.join();
        close(fd);
    }
    void run() {
        int ep = epoll_create1(EPOLL_CLOEXEC);
        epoll_event ev;
        memset(&ev, 0, sizeof(ev));
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
        while (!stop) {
            if (epoll_wait(ep, &ev, 1, 50) <= 0) continue;
            char buf[256];
            ssize_t n = recv(fd, buf, sizeof(buf), 0);
            if (n <= 0) continue;
            Json::Value list(Json::arrayValue);
            list.append(std::string(buf, n));
            SaveJsonToFile(list, filePath, "\t");
        }
        close(ep);
    }
    void send(const std::string& text) {
        int c = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a;
        memset(&a, 0, sizeof(a));
        a.sun_family = AF_UNIX;
        strncpy(a.sun_path, sockPath.c_str(), sizeof(a.sun_path) - 1);
        sendto(c, text.data(), text.size(), 0, (sockaddr*)&a, sizeof(a));
        close(c);
    }
};

}  // namespace

int main(int argc, char** argv) {
    int trips = 200;
    int idleSeconds = 10;
    static option longOptions[] = {{"trips", required_argument, 0, 't'},
                                   {"idle-seconds", required_argument, 0, 'i'},
                                   {0, 0, 0, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "t:i:", longOptions, nullptr)) != -1) {
        if (c == 't') trips = atoi(optarg);
        if (c == 'i') idleSeconds = atoi(optarg);
    }

    TempMediaDir media;
    media.write("/settings", "GPIOProvider = simulated\nGPIOSimulatedPins = 128\n");
    media.write("/config/output-ports.json", layout());
    KivdProcess k(media.path());
    if (!k.start({"-f"}) || !k.waitReady()) {
        fprintf(stderr, "kivd did not start:\n%s\n", k.output().c_str());
        return 1;
    }
    GpioSimClient sim(media.path());
    FileWatcher warnings(k.installDir() + "/www/warnings.json");

    std::vector<long long> daemonUs;
    int missed = 0;
    for (int i = 0; i < trips; ++i) {
        int p = (i * 7) % PORTS;  // every port, lines in turn
        std::string name = "eFUSE Triggered for Port " + std::to_string(p + 1) + "\"";
        std::string fuse = "GPIO" + std::to_string(PORTS + p);
        std::string line = "GPIO" + std::to_string(2 * PORTS + p / PER_LINE);
        long long t0 = nowUs();
        if (sim.send(fuse + "=1 " + line + "=0") != "OK") {
            fprintf(stderr, "the board refused the trip\n");
            return 1;
        }
        long long t1 = warnings.waitFor(name, true, 10000);
        if (t1 < 0) {
            ++missed;
        } else {
            daemonUs.push_back(t1 - t0);
        }
        // The fuse resets and the port is switched back on.
        sim.send(fuse + "=0 " + line + "=1");
        k.command({"Set Port Status", "Port " + std::to_string(p + 1), "true"});
        warnings.waitFor(name, false, 10000);
    }

    std::vector<long long> refUs;
    {
        Reference ref(media.path());
        FileWatcher refWatch(ref.filePath);
        for (int i = 0; i < trips; ++i) {
            std::string text = "trip " + std::to_string(i);
            long long t0 = nowUs();
            ref.send(text);
            long long t1 = refWatch.waitFor(text + "\"", true, 10000);
            if (t1 >= 0) refUs.push_back(t1 - t0);
        }
    }

    printf("Fuse trip to warning, %d ports, %d trips (%d missed)\n", PORTS, trips, missed);
    double dm = percentile(daemonUs, 0.5), d99 = percentile(daemonUs, 0.99);
    double rm = percentile(refUs, 0.5), r99 = percentile(refUs, 0.99);
    printf("  kivd:      median %8.0f us   p99 %8.0f us\n", dm, d99);
    printf("  reference: median %8.0f us   p99 %8.0f us   (datagram -> epoll -> file write in one thread)\n", rm,
           r99);
    printf("  ratio:     median %8.2f      p99 %8.2f\n", rm > 0 ? dm / rm : 0, r99 > 0 ? d99 / r99 : 0);

    double withMonitor = idleCpuPercent(k, idleSeconds);
    k.stop();

    TempMediaDir bare;
    bare.write("/settings", "GPIOProvider = simulated\nGPIOSimulatedPins = 128\n");
    KivdProcess plain(bare.path());
    if (!plain.start({"-f"}) || !plain.waitReady()) {
        fprintf(stderr, "kivd without ports did not start\n");
        return 1;
    }
    double without = idleCpuPercent(plain, idleSeconds);
    plain.stop();
    printf("Idle CPU over %d s: with the monitor (48 ports) %.3f %%, without ports %.3f %%, ratio %.2f\n",
           idleSeconds, withMonitor, without, without > 0 ? withMonitor / without : 0);
    return missed ? 1 : 0;
}
