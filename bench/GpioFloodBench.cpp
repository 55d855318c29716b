// GPIO flood benchmark: the real kivd on the simulated board plays a show to
// a DDP receiver on loopback while a button input (debounce 50 ms, a preset
// on each press) gets 10,000 edges per second: a broken switch, a noisy
// line. Quiet and flooded stretches of 10 s take turns (--rounds, 8 by
// default), so a change in the load of the machine weighs on both alike;
// with fewer rounds the p99 rests on a dozen frames and one stray delay
// moves it.
//   - output lateness p99 of the frames the receiver got during the flood
//     against the quiet stretches (goal <= 1.1 x);
//   - the edges sent per second, the changes the input saw and the presses
//     it took, and the daemon's CPU time quiet and flooded.
//
// Each edge is a datagram of its own to the board's socket, evenly spaced;
// --burst K sends them K at a time (a bouncing contact's edges come in
// bursts). On a board the kernel takes the edges and keeps them while the
// input does not listen; here kivd's main loop reads every one from the
// simulated board's socket, so the figures include that work.
//
//   bench_gpio [--rounds N] [--rate EDGES_PER_SECOND] [--burst K]

#include <getopt.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "BenchSupport.h"
#include "FrameTiming.h"
#include "KivdProcess.h"
#include "StretchLateness.h"
#include "TestSupport.h"
#include "common.h"
#include "hseq/ShowGenerator.h"

using namespace kivtest;

namespace {

constexpr int FPS = 40;
constexpr uint32_t CHANNELS = 1200;  // one DDP datagram per frame
constexpr int STRETCH_S = 10;
constexpr const char* PIN = "GPIO30";

// Sends the pin's level back and forth to the simulated board at `rate`
// changes per second until `stop`, each change a datagram of its own, in
// bursts of `burst` changes due on a fixed grid (late ones go out at once, so
// the average holds). Counts the changes the board's socket took.
void flood(const std::string& socketPath, int rate, int burst, std::atomic<bool>& stop, long long& sent) {
    SetThreadName("bench-flood");
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un to;
    memset(&to, 0, sizeof(to));
    to.sun_family = AF_UNIX;
    strncpy(to.sun_path, socketPath.c_str(), sizeof(to.sun_path) - 1);
    std::string levels[2] = {std::string(PIN) + "=1", std::string(PIN) + "=0"};
    long long periodNs = 1000000000LL * burst / rate, n = 0;
    timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    while (!stop) {
        for (int i = 0; i < burst; ++i) {
            const std::string& m = levels[n & 1];
            if (sendto(fd, m.data(), m.size(), 0, (sockaddr*)&to, sizeof(to)) == (ssize_t)m.size()) {
                ++sent;
                ++n;
            }
        }
        next.tv_nsec += periodNs;
        while (next.tv_nsec >= 1000000000L) {
            next.tv_nsec -= 1000000000L;
            ++next.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    }
    close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 8, rate = 10000, burst = 1;
    static option opts[] = {{"rounds", required_argument, nullptr, 'r'},
                            {"rate", required_argument, nullptr, 'e'},
                            {"burst", required_argument, nullptr, 'b'},
                            {nullptr, 0, nullptr, 0}};
    for (int c; (c = getopt_long(argc, argv, "r:e:b:", opts, nullptr)) != -1;) {
        if (c == 'r') rounds = std::max(1, atoi(optarg));
        if (c == 'e') rate = std::max(1, atoi(optarg));
        if (c == 'b') burst = std::max(1, atoi(optarg));
    }
    std::string loadBefore = GetFileContents("/proc/loadavg").substr(0, 14);
    TempMediaDir media;
    ShowSpec spec;
    spec.channels = CHANNELS;
    spec.stepMs = 1000 / FPS;
    spec.frames = (2 * rounds * STRETCH_S + 60) * FPS;  // longer than every stretch
    if (!GenerateShow(media.file("/sequences/show.hseq"), spec)) return 1;
    auto hashes = kivbench::FrameHashes(spec);

    UdpReceiver ddp("127.206.0.1", 4048);  // not an address of an interface: kivd would not send to itself
    media.write(
        "/config/channeloutputs.json",
        R"({"channelOutputs": [{"type": "UDP", "universes": [{"type": 4, "address": "127.206.0.1", "startChannel": 1, "channelCount": 1200, "monitor": 0}]}]})");
    media.write("/settings", "GPIOProvider = simulated\n");
    media.write("/config/gpio.json", std::string(R"({"inputs": [{"name": "Noise", "pin": ")") + PIN +
                                         R"(", "debounceMs": 50, "press": {"preset": "NOISE_PRESSED"}}]})");
    KivdProcess d(media.path());
    if (!d.start({"-f"}) || !d.waitReady()) {
        fprintf(stderr, "kivd did not start: %s\n", d.output().c_str());
        return 1;
    }
    auto inputCounts = [&](long long& edges, long long& presses) {
        std::string out;
        d.command({"Get GPIO Inputs"}, &out);
        Json::Value v = LoadJsonFromString(out);
        edges = v[0]["edges"].asInt64();
        presses = v[0]["presses"].asInt64();
    };
    d.command({"Start Sequence", "show.hseq"});
    sleep(3);

    std::vector<kivbench::Stretch> quiet, flooded;
    long long sent = 0, edges = 0, presses = 0, quietCpu = 0, floodCpu = 0;
    double floodSeconds = 0;
    for (int r = 0; r < rounds; ++r) {
        long long cpu0 = bench::ProcessCpuNs(d.pid());
        long long from = GetTime();
        sleep(STRETCH_S);
        quiet.push_back({from, GetTime()});
        long long cpu1 = bench::ProcessCpuNs(d.pid());
        quietCpu += cpu1 - cpu0;

        long long e0, p0, e1, p1;
        inputCounts(e0, p0);
        std::atomic<bool> stop{false};
        cpu0 = bench::ProcessCpuNs(d.pid());
        from = GetTime();
        std::thread sender(flood, media.file("/tmp/gpio-sim.sock"), rate, burst, std::ref(stop), std::ref(sent));
        sleep(STRETCH_S);
        stop = true;
        sender.join();
        flooded.push_back({from, GetTime()});
        floodSeconds += (flooded.back().second - from) / 1e6;
        floodCpu += bench::ProcessCpuNs(d.pid()) - cpu0;
        inputCounts(e1, p1);
        edges += e1 - e0;
        presses += p1 - p0;
    }
    auto grams = ddp.take();
    std::string log = d.log();
    size_t prio = log.find("Thread priority: ");
    d.stop();
    auto quietLate = kivbench::StretchLateness(grams, hashes, quiet, CHANNELS, FPS);
    auto floodLate = kivbench::StretchLateness(grams, hashes, flooded, CHANNELS, FPS);
    if (quietLate.empty() || floodLate.empty()) {
        fprintf(stderr, "the receiver did not get the show's frames: no lateness figures\n");
        return 1;
    }
    auto q = kivbench::Percentiles(quietLate), f = kivbench::Percentiles(floodLate);
    double ratio = f.p99 / std::max(q.p99, 1.0);
    printf("kivd: %s", prio == std::string::npos ? "no thread priority line\n"
                                                 : log.substr(prio, log.find('\n', prio) - prio + 1).c_str());
    printf("load average before: %s, after: %s\n", loadBefore.c_str(),
           GetFileContents("/proc/loadavg").substr(0, 14).c_str());
    printf(
        "flood: %.0f edges/s sent to %s (goal %d); the input saw %.0f changes/s and took %.1f presses/s "
        "(debounce 50 ms)\n",
        sent / floodSeconds, PIN, rate, edges / floodSeconds, presses / floodSeconds);
    printf("kivd CPU: quiet %.1f %%, flooded %.1f %% of one core\n", 100.0 * quietCpu / (rounds * STRETCH_S * 1e9),
           100.0 * floodCpu / (floodSeconds * 1e9));
    printf(
        "output lateness (%d rounds of %d s each): quiet p50 %.0f us, p99 %.0f us, max %.0f us (%zu frames); "
        "flooded p50 %.0f us, p99 %.0f us, max %.0f us (%zu frames)\n",
        rounds, STRETCH_S, q.median, q.p99, q.max, quietLate.size(), f.median, f.p99, f.max, floodLate.size());
    printf("output lateness p99 ratio %.2f x (goal <= 1.1): %s\n", ratio, kivbench::Verdict(ratio <= 1.1));
    bool rateMet = sent / floodSeconds >= 0.95 * rate;
    if (!rateMet) printf("the flood reached only %.0f edges/s: the figures understate it\n", sent / floodSeconds);
    return 0;
}
