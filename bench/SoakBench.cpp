// Soak: the real kivd plays a repeating scheduled show of several
// sequences for a long time to a receiver of every protocol on loopback
// (DDP, KiNet, E1.31, Art-Net, GenericUDP and Twinkly with its HTTP
// login), while this program watches the daemon from outside. Each minute
// it reports the daemon's resident memory, open descriptors, threads, CPU
// and log size, and per protocol the frames delivered, lost and late; at the
// end the growth per hour of each (from the samples after a warm-up) and
// the totals, with the lateness p99 and maximum at each receiver. Not part
// of CI: bench/soak.sh runs it, quiet and beside other load, and sets the
// two reports side by side.
//
//   bench_soak [--minutes M] [--report-seconds S] [--allow-midnight] [--label L] [--setting KEY=VALUE]...
//
// A frame is lost when its number is missing between two frames of one
// play of a sequence, or a play does not start at frame 0 or end at the
// last frame; late when it reaches the receiver more than one frame period
// after its place on the grid of its play. With KIV_DAEMON_BUILD_DIR the
// daemon of another build runs (a sanitizer build); its sanitizer reports
// are looked for in its output at the end.

#include <getopt.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "FaultSupport.h"
#include "HttpTestServer.h"
#include "MediaTestSupport.h"
#include "KivdProcess.h"
#include "TestSupport.h"
#include "common.h"
#include "monitor/PacketDecoder.h"

using namespace kivtest;

namespace {

constexpr int STEP_MS = 25;
constexpr uint32_t CHANNELS = 6 * 512;  // one 512-channel universe per protocol
constexpr long long LATE_US = STEP_MS * 1000;

struct Options {
    int minutes = 60;
    int reportSeconds = 60;
    bool allowMidnight = false;
    std::string label = "soak";
    std::string settings;  // lines of the daemon's settings file
};

// One protocol's receiver, followed play by play.
struct Protocol {
    std::string name;
    size_t first = 0;  // its first channel in the show (0-based)
    std::unique_ptr<UdpReceiver> rx;

    long frames = 0, lost = 0, late = 0, repeats = 0, garbage = 0, plays = 0;
    long long maxLateUs = 0;
    std::vector<long long> latenessUs;  // of every frame delivered
    // the play being received
    int sequence = -1, lastFrame = -1;
    long long anchorUs = 0;

    // Where frames went missing (the first few), to tell load from faults.
    std::vector<std::string> losses;
    void noteLoss(long long timeUs, long count, const char* where, int from, int to) {
        if (count <= 0) return;
        lost += count;
        if (losses.size() >= 10) return;
        char buf[160];
        time_t t = (time_t)((GetWallTime() - (GetTime() - timeUs)) / 1000000);  // timeUs is monotonic
        struct tm tm;
        localtime_r(&t, &tm);
        snprintf(buf, sizeof(buf), "%02d:%02d:%02d %ld frames %s sequence %d (%d..%d)", tm.tm_hour, tm.tm_min,
                 tm.tm_sec, count, where, sequence, from, to);
        losses.push_back(buf);
    }

    void frame(const ShowFrame& f, const ShowSequences& seqs) {
        if (f.blank) return;
        if (f.sequence < 0 || !f.exact) {
            ++garbage;
            return;
        }
        bool newPlay = f.sequence != sequence || (f.frame < lastFrame && f.frame <= 1);
        if (newPlay) {
            endPlay(seqs, true);
            sequence = f.sequence;
            lastFrame = -1;
            anchorUs = f.timeUs - (long long)f.frame * STEP_MS * 1000;
            // frames before the first one delivered
            noteLoss(f.timeUs, f.frame, "at the start of a play of", 0, f.frame - 1);
            ++plays;
        }
        if (f.frame == lastFrame) {
            ++repeats;
            return;
        }
        if (f.frame < lastFrame) {
            ++garbage;  // out of order
            return;
        }
        if (lastFrame >= 0) noteLoss(f.timeUs, f.frame - lastFrame - 1, "within", lastFrame + 1, f.frame - 1);
        lastFrame = f.frame;
        ++frames;
        long long expected = anchorUs + (long long)f.frame * STEP_MS * 1000;
        long long lateUs = f.timeUs - expected;
        if (lateUs < 0) {
            anchorUs += lateUs;  // an earlier grid than the first frame suggested
            lateUs = 0;
        }
        if (lateUs > LATE_US) ++late;
        maxLateUs = std::max(maxLateUs, lateUs);
        latenessUs.push_back(lateUs);
    }
    // A play that ended before its last frame lost the rest.
    void endPlay(const ShowSequences& seqs, bool finished) {
        if (sequence >= 0 && finished) {
            int end = (int)seqs.spec(sequence).frames - 1;
            noteLoss(GetTime(), end - lastFrame, "at the end of a play of", lastFrame + 1, end);
        }
    }
};

struct Sample {
    double minutes;
    long rssKiB, fds, threads;
    double cpuSeconds;
    long logBytes;
};

Sample sampleOf(pid_t pid, double minutes, const std::string& logPath) {
    Sample s{minutes, -1, -1, -1, 0, 0};
    std::string proc = "/proc/" + std::to_string(pid);
    for (auto& line : split(GetFileContents(proc + "/status"), '\n')) {
        if (startsWith(line, "VmRSS:")) s.rssKiB = atol(line.c_str() + 6);
    }
    s.fds = countDirectoryEntries(proc + "/fd");
    s.threads = countDirectoryEntries(proc + "/task");
    std::string procStat = GetFileContents(proc + "/stat");
    size_t close = procStat.rfind(')');
    if (close != std::string::npos) {
        auto fields = split(procStat.substr(close + 2), ' ');
        if (fields.size() > 13) {
            s.cpuSeconds = (atof(fields[11].c_str()) + atof(fields[12].c_str())) / sysconf(_SC_CLK_TCK);
        }
    }
    struct stat st;
    if (stat(logPath.c_str(), &st) == 0) s.logBytes = st.st_size;
    return s;
}

// Least-squares slope of y over minutes, per hour.
double perHour(const std::vector<Sample>& s, double (*y)(const Sample&)) {
    if (s.size() < 2) return 0;
    double n = s.size(), sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (auto& v : s) {
        sx += v.minutes;
        sy += y(v);
        sxx += v.minutes * v.minutes;
        sxy += v.minutes * y(v);
    }
    double d = n * sxx - sx * sx;
    return d == 0 ? 0 : (n * sxy - sx * sy) / d * 60.0;
}

void decodeInto(Protocol& p, const ShowSequences& seqs) {
    for (auto& g : p.rx->take()) {
        const uint8_t* data = nullptr;
        size_t len = 0;
        const uint8_t* b = g.bytes.data();
        size_t n = g.bytes.size();
        if (p.name == "DDP") {
            DecodedPacket d = DecodeDDP(b, n);
            if (!d.valid || !d.push || d.offset != 0) continue;
            data = d.data;
            len = d.length;
        } else if (p.name == "E1.31" || p.name == "Art-Net") {
            DecodedPacket d = p.name == "E1.31" ? DecodeE131(b, n) : DecodeArtNet(b, n);
            if (!d.valid) continue;
            data = d.data;
            len = d.length;
        } else {
            size_t header = p.name == "KiNet" ? 24 : (p.name == "GenericUDP" ? 3 : 12);
            if (n <= header) continue;
            data = b + header;
            len = n - header;
        }
        p.frame(seqs.identify(data, len, g.timeUs, p.first), seqs);
    }
}

int run(const Options& o) {
    time_t now = time(nullptr);
    int slotSeconds = o.minutes * 60 + 180;
    if (!slotFitsToday(-60, slotSeconds) && !o.allowMidnight) {
        fprintf(stderr, "bench_soak: the run would cross midnight, where a daily slot ends; start after midnight "
                        "or pass --allow-midnight\n");
        return 2;
    }
    TempMediaDir media;
    std::vector<ShowSpec> specs(3);
    const uint32_t lengths[3] = {800, 1200, 1800};  // 20, 30 and 45 s
    for (int i = 0; i < 3; ++i) {
        specs[i].channels = CHANNELS;
        specs[i].frames = lengths[i];
        specs[i].stepMs = STEP_MS;
    }
    ShowSequences seqs(media.path(), {"one.hseq", "two.hseq", "three.hseq"}, specs);
    if (!seqs.ok()) {
        fprintf(stderr, "bench_soak: cannot write the sequences\n");
        return 2;
    }
    media.write("/playlists/night.json", R"({"mainPlaylist": [{"type": "sequence", "sequenceName": "one.hseq"},
        {"type": "sequence", "sequenceName": "two.hseq"}, {"type": "sequence", "sequenceName": "three.hseq"}]})");
    media.write("/config/schedule.json", "[" + scheduleRow("night", -60, slotSeconds, "Hard", true, now) + "]");

    const int a = 208;
    std::vector<Protocol> protos(6);
    const char* names[6] = {"DDP", "KiNet", "E1.31", "Art-Net", "GenericUDP", "Twinkly"};
    const uint16_t ports[6] = {4048, 6038, 5568, 6454, 5000, 7777};
    for (int i = 0; i < 6; ++i) {
        protos[i].name = names[i];
        protos[i].first = 512 * i;
        protos[i].rx.reset(new UdpReceiver(loopbackFor(a, i + 1), ports[i]));
        if (!protos[i].rx->ok()) {
            fprintf(stderr, "bench_soak: cannot listen on %s:%d\n", loopbackFor(a, i + 1).c_str(), ports[i]);
            return 2;
        }
    }
    // The Twinkly controller's web side: log-in, token check, real-time mode.
    long twinklyLogins = 0;
    HttpTestServer twinkly(loopbackFor(a, 6), 80, [&](const HttpRequest& r) {
        if (r.url == "/xled/v1/login") {
            ++twinklyLogins;
            return HttpResponse{200, "{\"authentication_token\":\"c29ha3Rva2Vu\",\"code\":1000}"};
        }
        return HttpResponse{200, "{\"code\":1000}"};
    });
    if (!twinkly.ok()) {
        fprintf(stderr, "bench_soak: cannot serve the Twinkly login on %s:80 (root needed)\n",
                loopbackFor(a, 6).c_str());
        return 2;
    }
    auto dest = [&](int i, const std::string& keys) {
        return R"({"description": ")" + std::string(names[i]) + R"(", "address": ")" + loopbackFor(a, i + 1) +
               R"(", "startChannel": )" + std::to_string(512 * i + 1) + R"(, "channelCount": 512, )" + keys + "}";
    };
    media.write("/config/channeloutputs.json",
                R"({"channelOutputs": [{"type": "UDP", "enabled": 1, "universes": [)" + dest(0, R"("type": 4)") + "," +
                    dest(1, R"("type": 7, "id": 1)") + "," + dest(2, R"("type": 1, "universe": 5)") + "," +
                    dest(3, R"("type": 3, "universe": 9)") + "," + dest(5, R"("type": 8)") + R"(]},
                  {"type": "GenericUDP", "enabled": 1, "address": ")" +
                    loopbackFor(a, 5) + R"(", "port": 5000, "startChannel": 2049, "channelCount": 512,
                   "tokens": "0x9C {S2} {data}"}]})");

    if (!o.settings.empty()) media.write("/settings", o.settings);
    KivdProcess d(media.path());
    if (!d.start({"-f"}) || !d.waitReady()) {
        fprintf(stderr, "bench_soak: kivd did not start:\n%s\n", d.output().c_str());
        return 1;
    }
    printf("bench_soak: kivd %d (%s) plays for %d minutes; machine: %ld cores, load %s\n", (int)d.pid(),
           daemonBuildDir().c_str(), o.minutes, sysconf(_SC_NPROCESSORS_ONLN),
           GetFileContents("/proc/loadavg").substr(0, 14).c_str());
    printf("%6s %9s %4s %7s %6s %9s", "minute", "rss_KiB", "fds", "threads", "cpu%", "log_B");
    for (auto& p : protos) printf(" %10s", p.name.c_str());
    printf(" %6s %6s\n", "lost", "late");

    const std::string logPath = media.file("/logs/kivd.log");
    std::vector<Sample> samples;
    long long startUs = GetTime();
    long long nextReport = startUs + o.reportSeconds * 1000000LL;
    long long endUs = startUs + o.minutes * 60000000LL;
    Sample prev = sampleOf(d.pid(), 0, logPath);
    samples.push_back(prev);
    while (GetTime() < endUs && d.running()) {
        usleep(200000);
        for (auto& p : protos) decodeInto(p, seqs);
        if (GetTime() < nextReport) continue;
        nextReport += o.reportSeconds * 1000000LL;
        double minutes = (GetTime() - startUs) / 60e6;
        Sample s = sampleOf(d.pid(), minutes, logPath);
        double cpu = 100.0 * (s.cpuSeconds - prev.cpuSeconds) / ((s.minutes - prev.minutes) * 60.0);
        printf("%6.1f %9ld %4ld %7ld %6.1f %9ld", minutes, s.rssKiB, s.fds, s.threads, cpu, s.logBytes);
        long lost = 0, late = 0;
        for (auto& p : protos) {
            printf(" %10ld", p.frames);
            lost += p.lost;
            late += p.late;
        }
        printf(" %6ld %6ld\n", lost, late);
        fflush(stdout);
        samples.push_back(s);
        prev = s;
    }
    bool died = !d.running();
    for (auto& p : protos) decodeInto(p, seqs);
    std::string warnings;
    d.command({"Get Warnings"}, &warnings, 5);
    int rc = d.stop(SIGTERM, 30000);
    std::string output = d.output();
    std::string summary;
    printf("\nload average of the machine at the end: %s\n", GetFileContents("/proc/loadavg").substr(0, 14).c_str());

    // Growth from the samples after the warm-up (the first fifth, at least
    // two minutes): what stays after the start-up caches filled.
    std::vector<Sample> steady;
    double warm = std::max(2.0, o.minutes / 5.0);
    for (auto& s : samples)
        if (s.minutes >= warm) steady.push_back(s);
    printf("\ngrowth per hour after %.0f minutes of warm-up (%zu samples):\n", warm, steady.size());
    printf("  resident memory %+.0f KiB/h, descriptors %+.1f/h, threads %+.1f/h, log %+.0f bytes/h\n",
           perHour(steady, [](const Sample& s) { return (double)s.rssKiB; }),
           perHour(steady, [](const Sample& s) { return (double)s.fds; }),
           perHour(steady, [](const Sample& s) { return (double)s.threads; }),
           perHour(steady, [](const Sample& s) { return (double)s.logBytes; }));
    if (!samples.empty()) {
        printf("  first sample: %ld KiB, %ld fds, %ld threads; last: %ld KiB, %ld fds, %ld threads\n",
               samples.front().rssKiB, samples.front().fds, samples.front().threads, samples.back().rssKiB,
               samples.back().fds, samples.back().threads);
    }
    printf("frames per protocol (plays, delivered, lost, late > %lld ms, lateness p99 and max, repeated, garbage):\n",
           LATE_US / 1000);
    long totalLost = 0, totalGarbage = 0;
    for (auto& p : protos) {
        double p99 = Percentile(p.latenessUs, 0.99) / 1000.0;
        printf("  %-10s %5ld plays %8ld frames %6ld lost %6ld late %7.1f ms p99 %7.1f ms max %5ld repeated %4ld "
               "garbage\n",
               p.name.c_str(), p.plays, p.frames, p.lost, p.late, p99, p.maxLateUs / 1000.0, p.repeats, p.garbage);
        // One line per receiver for bench/soak.sh to set quiet and loaded runs side by side.
        summary += "SUMMARY " + o.label + " " + p.name + " " + std::to_string(p.frames) + " " + std::to_string(p.lost) +
                   " " + std::to_string(p99) + " " + std::to_string(p.maxLateUs / 1000.0) + "\n";
        totalLost += p.lost;
        for (auto& l : p.losses) printf("    lost: %s\n", l.c_str());
        totalGarbage += p.garbage;
    }
    printf("Twinkly log-ins: %ld\n", twinklyLogins);
    printf("warnings at the end: %s\n", warnings.c_str());
    bool sanitizer = output.find("Sanitizer") != std::string::npos;
    if (sanitizer) printf("sanitizer report in the daemon's output:\n%s\n", tail(output, 20000).c_str());
    printf("daemon exit status %d%s\n", rc, died ? " (it died during the run)" : "");
    // Where the output thread said it fell behind, and the slow loops.
    for (auto& line : split(output, '\n')) {
        if (line.find("falling behind") != std::string::npos || line.find("SLOW Output") != std::string::npos ||
            line.find("not read in time") != std::string::npos) {
            printf("daemon: %s\n", line.c_str());
        }
    }
    printf("%s", summary.c_str());
    return (died || rc != 0 || sanitizer || totalLost || totalGarbage) ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    static option longOpts[] = {{"minutes", required_argument, nullptr, 'm'},
                                {"report-seconds", required_argument, nullptr, 'r'},
                                {"allow-midnight", no_argument, nullptr, 'a'},
                                {"label", required_argument, nullptr, 'l'},
                                {"setting", required_argument, nullptr, 's'},
                                {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "m:r:al:s:", longOpts, nullptr)) != -1) {
        switch (c) {
        case 'm':
            o.minutes = std::max(1, atoi(optarg));
            break;
        case 'r':
            o.reportSeconds = std::max(5, atoi(optarg));
            break;
        case 'a':
            o.allowMidnight = true;
            break;
        case 'l':
            o.label = optarg;
            break;
        case 's': {
            std::string kv = optarg;
            size_t eq = kv.find('=');
            if (eq == std::string::npos) {
                fprintf(stderr, "--setting takes KEY=VALUE\n");
                return 2;
            }
            o.settings += kv.substr(0, eq) + " = " + kv.substr(eq + 1) + "\n";
            break;
        }
        default:
            fprintf(stderr,
                    "usage: %s [--minutes M] [--report-seconds S] [--allow-midnight] [--label L] "
                    "[--setting KEY=VALUE]...\n",
                    argv[0]);
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    return run(o);
}
