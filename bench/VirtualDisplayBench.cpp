// The HTTP virtual display with a 100,000-pixel map whose every pixel
// changes on every frame, streamed to 10 connected clients at 40 frames per
// second: PrepData + SendData time per frame, and the bytes sent per frame
// against the raw RGB size. Reference in the same run: the raw RGB frame
// (300,000 bytes) written to 10 other loopback clients per frame, the least
// any stream of the picture costs. Also the time to load the map file.
//
//   bench_virtual_display [FRAMES]      (default 400 per case)

#include <arpa/inet.h>
#include <time.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ThreadPriority.h"
#include "channeloutput/HTTPVirtualDisplay.h"
#include "common.h"
#include "log.h"

static constexpr int WIDTH = 400, HEIGHT = 250, PIXELS = WIDTH * HEIGHT;
static constexpr int CLIENTS = 10;
static constexpr int PERIOD_US = 25000;

static long long cpuNs() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

static long long nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A client that reads and counts everything it is sent.
struct Reader {
    int fd = -1;
    std::atomic<long long> bytes{0};
    std::atomic<bool> closed{false};
    std::thread thread;
};

static std::atomic<bool> stopReaders{false};

static void readLoop(Reader* r) {
    std::vector<char> buf(1 << 20);
    while (!stopReaders) {
        pollfd p = {r->fd, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        ssize_t n = recv(r->fd, buf.data(), buf.size(), 0);
        if (n <= 0) {
            r->closed = true;
            return;
        }
        r->bytes += n;
    }
}

static int connectTo(int port) {
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int tries = 0; tries < 100; ++tries) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        // The stream is sent once the request has come.
        static const char request[] = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        if (connect(fd, (sockaddr*)&a, sizeof(a)) == 0 &&
            send(fd, request, sizeof(request) - 1, MSG_NOSIGNAL) == (ssize_t)sizeof(request) - 1) {
            return fd;
        }
        close(fd);
        usleep(50000);
    }
    return -1;
}

static void startReaders(std::vector<std::unique_ptr<Reader>>& readers, int port) {
    for (int i = 0; i < CLIENTS; ++i) {
        readers.emplace_back(new Reader());
        readers.back()->fd = connectTo(port);
        if (readers.back()->fd < 0) {
            fprintf(stderr, "cannot connect to port %d\n", port);
            exit(1);
        }
        readers.back()->thread = std::thread(readLoop, readers.back().get());
    }
}

static void stopAll(std::vector<std::unique_ptr<Reader>>& readers) {
    stopReaders = true;
    for (auto& r : readers) {
        r->thread.join();
        close(r->fd);
    }
    readers.clear();
    stopReaders = false;
}

static long long totalBytes(std::vector<std::unique_ptr<Reader>>& readers) {
    long long t = 0;
    for (auto& r : readers) t += r->bytes;
    return t;
}

struct Stats {
    double p50, p99, max, mean;
};

static Stats stats(std::vector<long long> ns) {
    std::sort(ns.begin(), ns.end());
    double sum = 0;
    for (long long v : ns) sum += v;
    auto at = [&](double q) { return ns[std::min(ns.size() - 1, (size_t)(q * ns.size()))] / 1000.0; };
    return {at(0.5), at(0.99), ns.back() / 1000.0, sum / ns.size() / 1000.0};
}

static void pace(long long start, int frame) {
    long long due = start + (long long)(frame + 1) * PERIOD_US * 1000;
    long long left = due - nowNs();
    if (left > 0) usleep((useconds_t)(left / 1000));
}

struct CaseResult {
    Stats time, prep, cpu;
    double bytesPerFrame;
    long long received;
    int connectionsLeft;
};

// Every pixel changes on every frame; colours from `colourOf`.
template <typename F>
static CaseResult runCase(HTTPVirtualDisplayOutput& out, int port, int frames, F colourOf) {
    std::vector<std::unique_ptr<Reader>> readers;
    startReaders(readers, port);
    while (out.ConnectionCount() < CLIENTS) usleep(10000);
    std::vector<unsigned char> channels(3 * PIXELS);
    std::vector<long long> times, prepTimes, cpuTimes;
    long long bytes = 0;
    long long start = nowNs();
    for (int f = 0; f < frames; ++f) {
        for (int i = 0; i < PIXELS; ++i) colourOf(f, i, &channels[3 * i]);
        long long c0 = cpuNs();
        long long t0 = nowNs();
        out.PrepData(channels.data());
        long long t1 = nowNs();
        out.SendData(channels.data());
        times.push_back(nowNs() - t0);
        cpuTimes.push_back(cpuNs() - c0);
        prepTimes.push_back(t1 - t0);
        if (f > 0) bytes += out.PreparedMessageSize();  // frame 0 is the newcomers' whole picture
        pace(start, f);
    }
    usleep(500000);
    CaseResult r;
    r.time = stats(times);
    r.prep = stats(prepTimes);
    r.cpu = stats(cpuTimes);
    r.bytesPerFrame = (double)bytes / (frames - 1);
    r.received = totalBytes(readers);
    r.connectionsLeft = out.ConnectionCount();
    stopAll(readers);
    while (out.ConnectionCount() > 0) usleep(10000);
    return r;
}

int main(int argc, char** argv) {
    int frames = argc > 1 ? atoi(argv[1]) : 400;
    if (frames < 10) frames = 10;
    SetLogLevelComplex("warn");
    int port = 21000 + (int)(getpid() % 3000) * 3;

    // The map file: one RGB pixel per point, channels in map order.
    std::string map = "width = " + std::to_string(WIDTH) + "\nheight = " + std::to_string(HEIGHT) + "\n";
    for (int i = 0; i < PIXELS; ++i)
        map += std::to_string(i % WIDTH) + "," + std::to_string(i / WIDTH) + "," + std::to_string(1 + 3 * i) +
               ",3,RGB\n";
    char dir[] = "/tmp/kivvdbench-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    std::string mapPath = std::string(dir) + "/map";
    PutFileContents(mapPath, map);

    HTTPVirtualDisplayOutput out(0, 3 * PIXELS);
    Json::Value cfg(Json::objectValue);
    cfg["port"] = port;
    cfg["pixelMap"] = mapPath;
    long long t0 = nowNs();
    if (!out.Init(cfg)) {
        fprintf(stderr, "Init failed\n");
        return 1;
    }
    double initMs = (nowNs() - t0) / 1e6;
    // The parse alone, repeated for a steadier figure.
    long long tp = nowNs();
    HTTPVirtualDisplayOutput probe(0, 3 * PIXELS);
    for (int i = 0; i < 5; ++i) probe.LoadPixelMap(map, "map");
    double parseMs = (nowNs() - tp) / 5e6;

    // PrepData and SendData run on kivd's channel output thread: the frames
    // here are prepared at its priority, as kivd gives it at start.
    InitThreadPriorities();
    std::string priority = RaiseThreadPriority(ThreadRole::Output);
    printf("HTTP virtual display: %d pixels (%d x %d), %d clients, %d frames per case at 40 fps\n", PIXELS, WIDTH,
           HEIGHT, CLIENTS, frames);
    printf("  frames prepared at the output thread's priority: %s; machine load average %s", priority.c_str(),
           GetFileContents("/proc/loadavg").substr(0, 15).c_str());
    printf("\n");
    printf("  map file: %.1f MB, Init (load map, listen, threads) %.1f ms, parse alone %.1f ms\n",
           map.size() / 1e6, initMs, parseMs);

    // Worst case: a different colour almost everywhere.
    CaseResult noisy = runCase(out, port, frames, [](int f, int i, unsigned char* c) {
        uint32_t h = (uint32_t)(i * 2654435761u) ^ (uint32_t)(f * 40503u);
        h ^= h >> 13;
        h *= 0x5bd1e995;
        c[0] = (uint8_t)h;
        c[1] = (uint8_t)(h >> 8);
        c[2] = (uint8_t)(((h >> 16) & 0xF0) | ((f % 4) << 2));  // the 6-bit blue always moves
    });
    // A show-like case: a 16-colour chase moving one step per frame.
    static const uint8_t palette[16][3] = {{255, 0, 0},   {255, 128, 0}, {255, 255, 0}, {0, 255, 0},
                                           {0, 255, 255}, {0, 0, 255},   {128, 0, 255}, {255, 0, 255},
                                           {255, 255, 255}, {64, 0, 0},  {0, 64, 0},    {0, 0, 64},
                                           {32, 32, 32},  {200, 100, 0}, {0, 100, 200}, {100, 0, 200}};
    CaseResult chase = runCase(out, port, frames, [](int f, int i, unsigned char* c) {
        memcpy(c, palette[(i + f) % 16], 3);
    });

    // Reference: the raw RGB frame to 10 other clients.
    int ref = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(ref, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)(port + 1));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(ref, (sockaddr*)&a, sizeof(a)) != 0 || listen(ref, CLIENTS) != 0) {
        perror("reference listener");
        return 1;
    }
    std::vector<std::unique_ptr<Reader>> readers;
    startReaders(readers, port + 1);
    std::vector<int> peers;
    for (int i = 0; i < CLIENTS; ++i) peers.push_back(accept(ref, nullptr, nullptr));
    std::vector<unsigned char> raw(3 * PIXELS);
    std::vector<long long> refTimes;
    long long start = nowNs();
    for (int f = 0; f < frames; ++f) {
        for (int i = 0; i < 3 * PIXELS; ++i) raw[i] = (uint8_t)(i + f);
        long long t = nowNs();
        for (int fd : peers) {
            size_t off = 0;
            while (off < raw.size()) {
                ssize_t n = send(fd, raw.data() + off, raw.size() - off, MSG_NOSIGNAL);
                if (n <= 0) break;
                off += (size_t)n;
            }
        }
        refTimes.push_back(nowNs() - t);
        pace(start, f);
    }
    usleep(300000);
    long long refReceived = totalBytes(readers);
    stopAll(readers);
    for (int fd : peers) close(fd);
    close(ref);
    Stats rs = stats(refTimes);

    auto report = [&](const char* name, const CaseResult& r) {
        printf("  %s\n", name);
        printf("    PrepData+SendData per frame: median %.0f us, p99 %.0f us, max %.0f us, mean %.0f us"
               " (goal p99 <= 5000 us: %s)\n",
               r.time.p50, r.time.p99, r.time.max, r.time.mean, r.time.p99 <= 5000 ? "met" : "NOT met");
        printf("    of which PrepData: median %.0f us, p99 %.0f us; CPU time of both: median %.0f us, p99 %.0f us\n",
               r.prep.p50, r.prep.p99, r.cpu.p50, r.cpu.p99);
        printf("    vs reference: median %.2fx, p99 %.2fx\n", r.time.p50 / rs.p50, r.time.p99 / rs.p99);
        printf("    bytes per frame: %.0f = %.2fx the raw RGB frame (%d bytes); %.2f bytes per pixel\n",
               r.bytesPerFrame, r.bytesPerFrame / (3.0 * PIXELS), 3 * PIXELS, r.bytesPerFrame / PIXELS);
        printf("    received by the clients: %.1f MB; clients still connected: %d of %d\n", r.received / 1e6,
               r.connectionsLeft, CLIENTS);
    };
    report("every pixel a new colour each frame (worst case)", noisy);
    report("16-colour chase, every pixel changing each frame", chase);
    printf("  reference, raw RGB frame to %d clients: median %.0f us, p99 %.0f us, max %.0f us; received %.1f MB\n",
           CLIENTS, rs.p50, rs.p99, rs.max, refReceived / 1e6);

    out.Close();
    probe.Close();
    unlink(mapPath.c_str());
    rmdir(dir);
    return 0;
}
