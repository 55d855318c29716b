// Security benchmark: a show plays through the channel output thread to a
// capturing output and a virtual display, once quiet (the reference) and
// once under attack: 500 malicious requests per second to the HTTP
// interface (a page of another site running a command, bodies far over the
// limit) while 200 slow-loris connections (160 to the web server, 40 to the
// display's stream, from 25 addresses) trickle a byte of their request
// every few seconds and come back when dropped; meanwhile the owner's page
// polls the status 20 times a second and watches the display. Rounds alternate quiet and attacked
// runs, each in a child process of its own, so both see the same machine.
//   - output-thread lateness p99 attacked against quiet (goal <= 1.1 x);
//   - the owner's requests p99 (goal <= 50 ms), none failed;
//   - what the attack got: answers by status, slow connections dropped.
//
//   bench_security [--seconds S] [--channels N] [--fps F] [--rounds K]

#include <getopt.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "CaptureOutput.h"
#include "FrameTiming.h"
#include "HttpClient.h"
#include "Sequence.h"
#include "TestSupport.h"
#include "VirtualDisplayClient.h"
#include "channeloutput/HTTPVirtualDisplay.h"
#include "channeloutput/channeloutput.h"
#include "channeloutput/channeloutputthread.h"
#include "commands/Commands.h"
#include "commands/DaemonCommands.h"
#include "common.h"
#include "hseq/HSEQFile.h"
#include "hseq/ShowGenerator.h"
#include "http/HttpServer.h"
#include "http/KivdApi.h"
#include "log.h"
#include "playlist/Player.h"
#include "settings.h"

using namespace kivtest;
using kivbench::ParseResult;
using kivbench::Stats;
using kivbench::Verdict;

namespace {

constexpr int ATTACKS_PER_SECOND = 500;
constexpr int SLOW_TO_WEB = 160, SLOW_TO_STREAM = 40, SLOW_ADDRESSES = 25;
constexpr int SLOW_BYTE_EVERY_MS = 4000;
constexpr int OWNER_PER_SECOND = 20;
constexpr int DISPLAY_PORT_BASE = 26000;
// The attack comes from several threads, so one slow answer does not hold
// back the rest.
constexpr int ATTACK_THREADS = 4;

struct Options {
    int seconds = 30;
    uint32_t channels = 50000;
    int fps = 40;
    int rounds = 2;
};

ShowSpec Spec(const Options& o) {
    ShowSpec spec;
    spec.channels = o.channels;
    spec.frames = (uint32_t)(o.seconds * o.fps);
    spec.stepMs = 1000 / o.fps;
    spec.versionMajor = 2;
    spec.compression = HSEQFile::CompressionType::zstd;
    return spec;
}

std::string attacker(int n) { return "127.66.0." + std::to_string(1 + n % SLOW_ADDRESSES); }

// One malicious request, start to end; the status it got (0: none).
int attack(int port, int n) {
    int fd = connectFrom(attacker(n), "127.0.0.1", port);
    if (fd < 0) return 0;
    std::string req;
    if (n % 2) {
        // A page of another site runs a command without asking first.
        std::string body = R"({"command": "Stop Now"})";
        req = "POST /kivd/command HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: http://evil.example\r\n"
              "Content-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    } else {
        // Announces ten megabytes and starts sending them.
        req = "POST /kivd/command HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
              "Content-Length: 10000000\r\n\r\n" + std::string(4000, '{');
    }
    send(fd, req.data(), req.size(), MSG_NOSIGNAL);
    char buf[512];
    pollfd p = {fd, POLLIN, 0};
    int status = 0;
    if (poll(&p, 1, 1000) > 0) {
        ssize_t got = recv(fd, buf, sizeof(buf) - 1, 0);
        if (got > 12) status = atoi(buf + 9);
    }
    close(fd);
    return status;
}

struct Slow {
    int fd = -1, port = 0, address = 0;
    long long lastByte = 0;
};

struct AttackReport {
    std::map<int, int> statuses;
    int slowDropped = 0;
};

// One attacker's share of the malicious requests and of the slow
// connections, kept alive.
void Attack(int part, int webPort, int streamPort, std::atomic<bool>& stop, AttackReport& report) {
    SetThreadName("bench-attack");
    std::vector<Slow> slow((SLOW_TO_WEB + SLOW_TO_STREAM) / ATTACK_THREADS);
    for (size_t i = 0; i < slow.size(); ++i) {
        slow[i].port = i < (size_t)SLOW_TO_WEB / ATTACK_THREADS ? webPort : streamPort;
        slow[i].address = part * (int)slow.size() + (int)i;
    }
    long long period = 1000000LL * ATTACK_THREADS / ATTACKS_PER_SECOND, next = MonotonicUs();
    size_t tended = 0;
    for (int n = part; !stop; n += ATTACK_THREADS) {
        ++report.statuses[attack(webPort, n)];
        // A few of the slow connections each round: reopened when the
        // server dropped them, one more byte when their time has come.
        for (int k = 0; k < 4; ++k, ++tended) {
            Slow& s = slow[tended % slow.size()];
            long long now = MonotonicUs();
            if (s.fd >= 0 && closedByPeer(s.fd)) {
                close(s.fd);
                s.fd = -1;
                ++report.slowDropped;
            }
            if (s.fd < 0) {
                s.fd = connectFrom(attacker(s.address), "127.0.0.1", s.port);
                if (s.fd >= 0) send(s.fd, "GET /kivd/status HTTP/1.1\r\nHo", 29, MSG_NOSIGNAL);
                s.lastByte = now;
            } else if (now - s.lastByte >= SLOW_BYTE_EVERY_MS * 1000LL) {
                send(s.fd, "s", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
                s.lastByte = now;
            }
        }
        next += period;
        long long left = next - MonotonicUs();
        if (left > 0) usleep((useconds_t)left);
        else next = MonotonicUs();  // fell behind: no burst to catch up
    }
    for (auto& s : slow)
        if (s.fd >= 0) close(s.fd);
}

// ---- child: one run ----------------------------------------------------------

int Play(const Options& o, const std::string& mediaDir, bool attacked) {
    setenv("KIV_MEDIA_DIR", mediaDir.c_str(), 1);
    ShowSpec spec = Spec(o);
    auto frameOfHash = kivbench::FrameHashes(spec);
    std::vector<uint8_t> zeros(spec.channels, 0);
    uint64_t blankHash = HashBytes(zeros.data(), zeros.size());

    auto* capture = new CaptureOutput(0, spec.channels, false);
    AddChannelOutput(capture);
    int streamPort = DISPLAY_PORT_BASE + (int)(getpid() % 3000);
    auto* display = new HTTPVirtualDisplayOutput(0, 3 * 1000);
    Json::Value cfg(Json::objectValue);
    cfg["port"] = streamPort;
    if (!display->Init(cfg)) return 1;
    AddChannelOutput(display);
    auto player = std::make_unique<Sequence>();
    sequence = player.get();

    // The same daemon in both runs: commands, player, web server.
    CommandManager::INSTANCE.Init();
    RegisterDaemonCommands();
    Player::INSTANCE.Init();
    HttpServer& server = HttpServer::INSTANCE;
    HttpServer::Options ho;
    ho.threads = 4;
    ho.maxBodyBytes = KivdApi::MAX_COMMAND_BYTES;
    if (!server.Start(ho)) return 1;
    KivdApi::Register(server);

    // The owner's browser watches the display in both runs.
    VirtualDisplayClient watcher(streamPort);
    if (!watcher.waitHeader(10000)) {
        fprintf(stderr, "the virtual display did not answer\n");
        return 1;
    }
    if (!player->StartSequence("bench.hseq", 0)) {
        fprintf(stderr, "could not start the sequence\n");
        return 1;
    }
    std::atomic<bool> stop{false};
    std::vector<double> latencies;
    int failures = 0;
    std::vector<AttackReport> reports(ATTACK_THREADS);
    std::vector<std::thread> attackers;
    std::thread owner;
    if (attacked) {
        for (int i = 0; i < ATTACK_THREADS; ++i)
            attackers.emplace_back(Attack, i, server.Port(), streamPort, std::ref(stop), std::ref(reports[i]));
        std::string url = "http://127.0.0.1:" + std::to_string(server.Port()) + "/kivd/status";
        owner = std::thread(kivbench::PollHttp, url, OWNER_PER_SECOND, std::ref(stop), std::ref(latencies),
                            std::ref(failures));
    }
    long long timeout = MonotonicUs() + (long long)(o.seconds + 30) * 1000000;
    while (player->IsSequenceRunning() && MonotonicUs() < timeout) usleep(100000);
    stop = true;
    for (auto& a : attackers) a.join();
    AttackReport report;
    for (auto& r : reports) {
        for (auto& st : r.statuses) report.statuses[st.first] += st.second;
        report.slowDropped += r.slowDropped;
    }
    if (owner.joinable()) owner.join();
    waitUntil([&] { auto f = capture->Frames(); return !f.empty() && f.back().hash == blankHash; }, 5000);
    StopChannelOutputThread();
    KivdApi::Unregister(server);
    server.Stop();

    auto shown = kivbench::ShownFrames(capture->Frames(), frameOfHash, blankHash);
    kivbench::Lateness l = kivbench::FrameLateness(shown.frames, (long long)spec.stepMs * 1000);
    Stats own = kivbench::Percentiles(latencies);
    int attacks = 0;
    for (auto& s : report.statuses) attacks += s.second;
    printf("RESULT expected=%u sent=%d garbage=%d late_median=%.0f late_p99=%.0f late_max=%.0f regrids=%d "
           "owner_count=%d owner_failures=%d owner_median=%.0f owner_p99=%.0f owner_max=%.0f attacks=%d "
           "answered_403=%d answered_413=%d unanswered=%d slow_dropped=%d\n",
           spec.frames, (int)shown.frames.size(), shown.garbage, l.grid.median, l.grid.p99, l.grid.max, l.regrids,
           (int)latencies.size(), failures, own.median, own.p99, own.max, attacks, report.statuses[403],
           report.statuses[413], report.statuses[0], report.slowDropped);
    player.reset();
    sequence = nullptr;
    CloseChannelOutputs();
    CommandManager::INSTANCE.Cleanup();
    return 0;
}

// ---- parent ---------------------------------------------------------------------

double num(std::map<std::string, std::string>& r, const char* key) { return std::stod(r[key]); }

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    std::string playDir;
    bool attacked = false;
    static option longOpts[] = {{"seconds", required_argument, nullptr, 's'},
                                {"channels", required_argument, nullptr, 'c'},
                                {"fps", required_argument, nullptr, 'f'},
                                {"rounds", required_argument, nullptr, 'k'},
                                {"play", required_argument, nullptr, 'p'},
                                {"attacked", no_argument, nullptr, 'a'},
                                {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "", longOpts, nullptr)) != -1) {
        switch (c) {
            case 's': o.seconds = atoi(optarg); break;
            case 'c': o.channels = (uint32_t)atoi(optarg); break;
            case 'f': o.fps = atoi(optarg); break;
            case 'k': o.rounds = atoi(optarg); break;
            case 'p': playDir = optarg; break;
            case 'a': attacked = true; break;
            default:
                fprintf(stderr, "usage: %s [--seconds S] [--channels N] [--fps F] [--rounds K]\n", argv[0]);
                return 2;
        }
    }
    if (o.seconds <= 0 || o.fps <= 0 || o.fps > 1000 || o.rounds <= 0 || o.channels < 3000 ||
        o.channels > HSEQ_MAX_CHANNELS) {
        fprintf(stderr, "bad options\n");
        return 2;
    }
    SetLogFile("", false);  // quiet: logging is not what is measured
    if (!playDir.empty()) return Play(o, playDir, attacked);

    ShowSpec spec = Spec(o);
    TempMediaDir media;
    // The virtual display: 1,000 points on channels 1-3000.
    std::string map = "width = 100\nheight = 10\n";
    for (int i = 0; i < 1000; ++i)
        map += std::to_string(i % 100) + "," + std::to_string(i / 100) + "," + std::to_string(1 + 3 * i) + ",3,RGB\n";
    media.write("/config/virtualdisplaymap", map);
    if (!GenerateShow(media.file("/sequences/bench.hseq"), spec)) {
        fprintf(stderr, "could not write the sequence\n");
        return 1;
    }
    printf("Security benchmark: %d s show, %u channels and a 1,000-point virtual display, %d fps; attacked runs: "
           "%d malicious requests/s, %d slow-loris connections, the owner polling %d/s; %d rounds of quiet + "
           "attacked\n",
           o.seconds, o.channels, o.fps, ATTACKS_PER_SECOND, SLOW_TO_WEB + SLOW_TO_STREAM, OWNER_PER_SECOND,
           o.rounds);
    fflush(stdout);

    std::vector<double> quietP99, attackedP99, ownerP99;
    double ownerFailed = 0, ownerCount = 0;
    bool framesOk = true;
    for (int round = 0; round < o.rounds; ++round) {
        for (bool withAttack : {false, true}) {
            std::string out;
            std::string cmd = std::string("'") + argv[0] + "' --play '" + media.path() + "' --seconds " +
                              std::to_string(o.seconds) + " --channels " + std::to_string(o.channels) + " --fps " +
                              std::to_string(o.fps) + (withAttack ? " --attacked" : "");
            int rc = runCommand(cmd, &out);
            auto r = ParseResult(out);
            if (rc != 0 || r.empty()) {
                fprintf(stderr, "run failed (%d): %s\n", rc, out.c_str());
                return 1;
            }
            framesOk = framesOk && r["sent"] == r["expected"] && r["garbage"] == "0";
            printf("  round %d %-8s frames %s/%s  lateness median %6s  p99 %6s  max %6s us  (%s regrids)", round + 1,
                   withAttack ? "attacked" : "quiet", r["sent"].c_str(), r["expected"].c_str(),
                   r["late_median"].c_str(), r["late_p99"].c_str(), r["late_max"].c_str(), r["regrids"].c_str());
            if (withAttack) {
                printf("\n      owner %s requests (%s failed) p50 %s p99 %s max %s us; attacks %s: %s got 403, %s "
                       "got 413, %s no answer; %s slow connections dropped",
                       r["owner_count"].c_str(), r["owner_failures"].c_str(), r["owner_median"].c_str(),
                       r["owner_p99"].c_str(), r["owner_max"].c_str(), r["attacks"].c_str(),
                       r["answered_403"].c_str(), r["answered_413"].c_str(), r["unanswered"].c_str(),
                       r["slow_dropped"].c_str());
                attackedP99.push_back(num(r, "late_p99"));
                ownerP99.push_back(num(r, "owner_p99"));
                ownerFailed += num(r, "owner_failures");
                ownerCount += num(r, "owner_count");
            } else {
                quietP99.push_back(num(r, "late_p99"));
            }
            printf("\n");
            fflush(stdout);
        }
    }
    // Medians over the rounds, so one disturbed run does not decide.
    double q = median(quietP99), a = median(attackedP99), h = median(ownerP99);
    printf("\nFrames: every frame of every run sent once, in order   %s\n", Verdict(framesOk));
    printf("Output-thread lateness p99: attacked %.0f us vs quiet %.0f us = %.2f x (goal <= 1.1 x)   %s\n", a, q,
           q > 0 ? a / q : 0, Verdict(q > 0 && a <= 1.1 * q));
    printf("Owner's status requests p99: %.2f ms over %.0f requests, %.0f failed (goal <= 50 ms)   %s\n", h / 1000,
           ownerCount, ownerFailed, Verdict(h <= 50000 && ownerFailed == 0));
    return 0;
}
