// Upload benchmark: the real kivd plays a show to a DDP receiver on
// loopback while a 200 MB sequence is uploaded to it over HTTP with curl.
//   - upload throughput against curl copying the same bytes to a plain file
//     on the same disk (goal >= 0.8 x);
//   - output lateness p99 of the frames the receiver got during the upload
//     against a quiet stretch of the same show (goal <= 1.1 x), each frame
//     identified by its bytes and timed by its arrival.
//
//   bench_upload [--megabytes M]

#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "FrameTiming.h"
#include "KivdProcess.h"
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

// Lateness p99 (us) of the frames that arrived between from and to; -1
// when none of the show's frames arrived then.
double latenessP99(const std::vector<Datagram>& grams, const std::unordered_map<uint64_t, int>& hashes,
                   long long from, long long to) {
    std::vector<std::pair<int, long long>> shown;
    for (auto& g : grams) {
        if (g.timeUs < from || g.timeUs > to) continue;
        DecodedPacket p = DecodeDDP(g.bytes.data(), g.bytes.size());
        if (!p.valid || p.length != CHANNELS) continue;
        auto it = hashes.find(HashBytes(p.data, p.length));
        if (it != hashes.end()) shown.push_back({it->second, g.timeUs});
    }
    fprintf(stderr, "%zu show frames identified\n", shown.size());
    if (shown.size() < 100) return -1;
    return kivbench::FrameLateness(shown, 1000000 / FPS).grid.p99;
}

}  // namespace

int main(int argc, char** argv) {
    int megabytes = 200;
    static option opts[] = {{"megabytes", required_argument, nullptr, 'm'}, {nullptr, 0, nullptr, 0}};
    for (int c; (c = getopt_long(argc, argv, "m:", opts, nullptr)) != -1;) {
        if (c == 'm') megabytes = atoi(optarg);
    }
    TempMediaDir media;
    std::string dir = media.path();
    ShowSpec spec;
    spec.channels = CHANNELS;
    spec.stepMs = 1000 / FPS;
    spec.frames = 600 * FPS;  // long enough for both stretches
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

    // Reference: curl copies the bytes to a plain file on the same disk.
    std::string plain = dir + "/plain-copy.bin";
    double reference = timed("curl -s -o " + plain + " file://" + src + " && sync -f " + plain);
    unlink(plain.c_str());

    long long quietFrom = nowUs();
    sleep(10);
    long long quietTo = nowUs();
    // Uploads one after the other for as long as the quiet stretch lasted,
    // so the lateness of both rests on as many frames.
    long long upFrom = nowUs();
    int uploads = 0;
    double upload = 0;
    while (nowUs() - upFrom < quietTo - quietFrom || uploads == 0) {
        upload += timed("curl -s -f -o /dev/null -H 'X-Requested-With: bench' -T " + src + " " +
                        d.httpUrl("/kivd/files/sequences/big.hseq"));
        ++uploads;
    }
    long long upTo = nowUs();
    auto grams = ddp.take();
    double quiet = latenessP99(grams, hashes, quietFrom, quietTo);
    double loaded = latenessP99(grams, hashes, upFrom, upTo);
    d.stop();
    unlink(src.c_str());

    double throughput = (double)megabytes * uploads / upload, refThroughput = megabytes / reference;
    if (quiet < 0 || loaded < 0) {
        fprintf(stderr, "the receiver did not get the show's frames: no lateness figures\n");
        return 1;
    }
    double speed = throughput / refThroughput, lateness = loaded / std::max(quiet, 1.0);
    printf("upload of %d MB (%d times): %.1f MB/s; curl to a plain file: %.1f MB/s; ratio %.2f x (goal >= 0.8): %s\n", megabytes,
           uploads, throughput, refThroughput, speed, kivbench::Verdict(speed >= 0.8));
    printf("output lateness p99: quiet %.0f us, during upload %.0f us; ratio %.2f x (goal <= 1.1): %s\n", quiet, loaded,
           lateness, kivbench::Verdict(lateness <= 1.1));
    return 0;
}
