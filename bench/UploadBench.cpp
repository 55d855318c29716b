// Upload benchmark: the real kivd plays a show to a DDP receiver on
// loopback while a 200 MB sequence is uploaded to it over HTTP with curl.
//   - upload throughput against curl copying the same bytes to a plain file
//     on the same disk (goal >= 0.8 x);
//   - output lateness p99 of the frames the receiver got during the uploads
//     against quiet stretches of the same show (goal <= 1.1 x), each frame
//     identified by its bytes and timed by its arrival. Quiet and upload
//     stretches take turns (--rounds, 8 by default), so a change in the
//     load of the machine weighs on both alike; with fewer rounds the p99
//     rests on a dozen frames and one stray delay moves it.
//
// With --client-rate the client sends no faster than that (MB/s), as one on
// the board's network would, rather than as fast as loopback and a
// processor of the same machine let it; the throughput figures then say
// nothing about the daemon.
//
//   bench_upload [--megabytes M] [--rounds N] [--client-rate MB/s]

#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "FrameTiming.h"
#include "KivdProcess.h"
#include "StretchLateness.h"
#include "TestSupport.h"
#include "common.h"
#include "hseq/ShowGenerator.h"
#include "monitor/PacketDecoder.h"

using namespace kivtest;

namespace {

constexpr int FPS = 40;
constexpr uint32_t CHANNELS = 1200;  // one DDP datagram per frame

// The receiver stamps datagrams with the wall clock (the kernel's stamp).
long long nowUs() { return GetTime(); }

// Seconds a shell command took; exits on failure.
double timed(const std::string& cmd) {
    long long t0 = nowUs();
    if (system(cmd.c_str()) != 0) {
        fprintf(stderr, "failed: %s\n", cmd.c_str());
        exit(1);
    }
    return (nowUs() - t0) / 1e6;
}

using kivbench::Stretch;

}  // namespace

int main(int argc, char** argv) {
    int megabytes = 200, rounds = 8, clientRate = 0;
    static option opts[] = {{"megabytes", required_argument, nullptr, 'm'},
                            {"rounds", required_argument, nullptr, 'r'},
                            {"client-rate", required_argument, nullptr, 'c'},
                            {nullptr, 0, nullptr, 0}};
    for (int c; (c = getopt_long(argc, argv, "m:r:c:", opts, nullptr)) != -1;) {
        if (c == 'm') megabytes = atoi(optarg);
        if (c == 'r') rounds = std::max(1, atoi(optarg));
        if (c == 'c') clientRate = std::max(0, atoi(optarg));
    }
    std::string limit = clientRate ? " --limit-rate " + std::to_string(clientRate) + "M" : "";
    std::string loadBefore = GetFileContents("/proc/loadavg").substr(0, 14);
    TempMediaDir media;
    std::string dir = media.path();
    ShowSpec spec;
    spec.channels = CHANNELS;
    spec.stepMs = 1000 / FPS;
    spec.frames = 600 * FPS;  // long enough for every stretch
    if (!GenerateShow(media.file("/sequences/show.hseq"), spec)) return 1;
    auto hashes = kivbench::FrameHashes(spec);
    std::string src = dir + "/upload-source.bin";
    if (system(("head -c " + std::to_string(megabytes) + "M /dev/urandom > " + src).c_str()) != 0) return 1;
    // A valid sequence header in front, so the daemon keeps the file.
    std::string header = GetFileContents(media.file("/sequences/show.hseq")).substr(0, 4096);
    FILE* f = fopen(src.c_str(), "r+b");
    fwrite(header.data(), 1, header.size(), f);
    fclose(f);

    UdpReceiver ddp("127.203.0.1", 4048);  // not an address of an interface: kivd would not send to itself
    media.write("/config/channeloutputs.json",
                R"({"channelOutputs": [{"type": "UDP", "universes": [{"type": 4, "address": "127.203.0.1", "startChannel": 1, "channelCount": 1200, "monitor": 0}]}]})");
    media.write("/settings", "UploadMaxBytes = 2147483647\n");
    KivdProcess d(dir);
    if (!d.start({"-f"}) || !d.waitReady()) {
        fprintf(stderr, "kivd did not start: %s\n", d.output().c_str());
        return 1;
    }
    d.command({"Start Sequence", "show.hseq"});
    sleep(3);

    std::vector<Stretch> quiet, loaded;
    int uploads = 0;
    double upload = 0, reference = 0;
    for (int r = 0; r < rounds; ++r) {
        // Reference: curl copies the bytes to a plain file on the same disk.
        std::string plain = dir + "/plain-copy.bin";
        reference += timed("curl -s -o " + plain + " file://" + src + " && sync -f " + plain);
        unlink(plain.c_str());
        sleep(2);
        long long from = nowUs();
        sleep(10);
        quiet.push_back({from, nowUs()});
        // Uploads one after the other for as long as the quiet stretch
        // lasted, so the lateness of both rests on as many frames.
        from = nowUs();
        for (int n = 0; nowUs() - from < quiet.back().second - quiet.back().first || n == 0; ++n, ++uploads) {
            upload += timed("curl -s -f -o /dev/null" + limit + " -H 'X-Requested-With: bench' -T " + src + " " +
                            d.httpUrl("/kivd/files/sequences/big.hseq"));
        }
        loaded.push_back({from, nowUs()});
    }
    auto grams = ddp.take();
    auto quietLate = kivbench::StretchLateness(grams, hashes, quiet, CHANNELS, FPS),
         loadedLate = kivbench::StretchLateness(grams, hashes, loaded, CHANNELS, FPS);
    std::string log = d.log();
    size_t prio = log.find("Thread priority: ");
    d.stop();
    unlink(src.c_str());
    double throughput = (double)megabytes * uploads / upload, refThroughput = (double)megabytes * rounds / reference;
    if (quietLate.empty() || loadedLate.empty()) {
        fprintf(stderr, "the receiver did not get the show's frames: no lateness figures\n");
        return 1;
    }
    auto q = kivbench::Percentiles(quietLate), l = kivbench::Percentiles(loadedLate);
    double speed = throughput / refThroughput, ratio = l.p99 / std::max(q.p99, 1.0);
    printf("kivd: %s", prio == std::string::npos ? "no thread priority line\n" : log.substr(prio, log.find('\n', prio) - prio + 1).c_str());
    printf("load average before: %s, after: %s\n", loadBefore.c_str(), GetFileContents("/proc/loadavg").substr(0, 14).c_str());
    if (clientRate) printf("client limited to %d MB/s: throughput not judged\n", clientRate);
    printf("upload of %d MB (%d times): %.1f MB/s; curl to a plain file: %.1f MB/s; ratio %.2f x (goal >= 0.8): %s\n", megabytes,
           uploads, throughput, refThroughput, speed, clientRate ? "not judged" : kivbench::Verdict(speed >= 0.8));
    printf("output lateness (%d rounds of 10 s each): quiet p50 %.0f us, p99 %.0f us, max %.0f us (%zu frames); during uploads "
           "p50 %.0f us, p99 %.0f us, max %.0f us (%zu frames)\n",
           rounds, q.median, q.p99, q.max, quietLate.size(), l.median, l.p99, l.max, loadedLate.size());
    printf("output lateness p99 ratio %.2f x (goal <= 1.1): %s\n", ratio, kivbench::Verdict(ratio <= 1.1));
    return 0;
}
