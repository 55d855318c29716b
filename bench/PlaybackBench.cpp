// Playback benchmark: a long zstd sequence played through the channel output
// thread to a capturing output, measured against references taken in the
// same run on the same machine:
//   - frames sent against frames expected;
//   - send times against the ideal frame grid, next to cyclictest at the
//     same interval for the same time;
//   - CPU time per frame of the playing threads against a plain loop that
//     only decompresses and copies the same frames;
//   - peak resident memory of the playing process.
//
//   bench_playback [--seconds S] [--channels N] [--fps F] [--no-cyclictest]
//
// The playback runs in a child process of its own (this program with
// --play), so its peak memory is not that of generating the file.

#include <dirent.h>
#include <getopt.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "BenchSupport.h"
#include "CaptureOutput.h"
#include "FrameTiming.h"
#include "Sequence.h"
#include "TestSupport.h"
#include "channeloutput/channeloutput.h"
#include "channeloutput/channeloutputthread.h"
#include "common.h"
#include "hseq/HSEQFile.h"
#include "hseq/ShowGenerator.h"
#include "log.h"
#include "settings.h"

using namespace kivtest;
using kivbench::Percentiles;
using kivbench::ParseResult;
using kivbench::Stats;
using kivbench::Verdict;

namespace {

struct Options {
    int seconds = 60;
    uint32_t channels = 100000;
    int fps = 40;
    bool cyclictest = true;
};

using bench::CpuSeconds;
using bench::PeakRssKiB;
using bench::ThreadCpuByName;

ShowSpec Spec(const Options& o) {
    ShowSpec spec;
    spec.channels = o.channels;
    spec.frames = (uint32_t)(o.seconds * o.fps);
    spec.stepMs = 1000 / o.fps;
    spec.versionMajor = 2;
    spec.compression = HSEQFile::CompressionType::zstd;
    return spec;
}

// ---- child: the playback itself -------------------------------------------

int Play(const Options& o, const std::string& mediaDir) {
    setenv("KIV_MEDIA_DIR", mediaDir.c_str(), 1);
    ShowSpec spec = Spec(o);

    // What every frame must look like, as hashes (the frames themselves
    // would not fit the memory budget being measured).
    std::unordered_map<uint64_t, int> frameOfHash = kivbench::FrameHashes(spec);
    std::vector<uint8_t> zeros(spec.channels, 0);
    uint64_t blankHash = HashBytes(zeros.data(), zeros.size());

    auto* capture = new CaptureOutput(0, spec.channels, false);
    AddChannelOutput(capture);
    auto player = std::make_unique<Sequence>();
    sequence = player.get();

    double cpu0 = CpuSeconds(RUSAGE_SELF), main0 = CpuSeconds(RUSAGE_THREAD);
    if (!player->StartSequence("bench.hseq", 0)) {
        fprintf(stderr, "could not start the sequence\n");
        return 1;
    }
    long long timeout = MonotonicUs() + (long long)(o.seconds + 30) * 1000000;
    // Per-thread CPU, sampled just before the end (the block reader ends
    // with the file).
    std::map<std::string, double> threadCpu;
    while (player->IsSequenceRunning() && MonotonicUs() < timeout) {
        usleep(50000);
        if (channelOutputFrame > (int)spec.frames - 6) {
            threadCpu = ThreadCpuByName();
            break;
        }
    }
    while (player->IsSequenceRunning() && MonotonicUs() < timeout) usleep(100000);
    waitUntil([&] { auto f = capture->Frames(); return !f.empty() && f.back().hash == blankHash; }, 5000);
    double cpu = CpuSeconds(RUSAGE_SELF) - cpu0 - (CpuSeconds(RUSAGE_THREAD) - main0);
    StopChannelOutputThread();

    auto frames = capture->Frames();
    kivbench::Shown seen = kivbench::ShownFrames(frames, frameOfHash, blankHash);
    auto& shown = seen.frames;
    int garbage = seen.garbage, blanks = seen.blanks;
    int inOrder = 0, repeats = 0, skips = 0;
    for (size_t i = 0; i < shown.size(); ++i) {
        int expect = i ? shown[i - 1].first + 1 : 0;
        if (shown[i].first == expect) ++inOrder;
        else if (i && shown[i].first == shown[i - 1].first) ++repeats;
        else skips += shown[i].first - expect;
    }
    kivbench::Lateness lateness = kivbench::FrameLateness(shown, (long long)spec.stepMs * 1000);
    Stats st = lateness.grid, sw = lateness.wake;
    int regrids = lateness.regrids;
    double spanMs = shown.size() > 1 ? (shown.back().second - shown.front().second) / 1000.0 : 0;

    printf("RESULT expected=%u sent=%d inorder=%d repeats=%d skipped=%d garbage=%d blanks=%d "
           "late_median=%.0f late_p99=%.0f late_max=%.0f wake_median=%.0f wake_p99=%.0f wake_max=%.0f regrids=%d "
           "span_ms=%.1f ideal_span_ms=%.1f cpu_s=%.4f cpu_out_s=%.2f cpu_read_s=%.2f cpu_block_s=%.2f "
           "peak_rss_kib=%ld\n",
           spec.frames, (int)shown.size(), inOrder, repeats, skips, garbage, blanks, st.median, st.p99, st.max,
           sw.median, sw.p99, sw.max, regrids, spanMs,
           (shown.empty() ? 0 : (shown.back().first - shown.front().first)) * spec.stepMs * 1.0, cpu,
           threadCpu["KIV-ChannelOut"], threadCpu["KIV-ReadFrames"], threadCpu["HSEQReadThread"], PeakRssKiB());
    player.reset();
    sequence = nullptr;
    CloseChannelOutputs();
    return 0;
}

// ---- parent: generation, references, report --------------------------------

double ReferenceLoop(const std::string& path, const ShowSpec& spec, int& framesRead) {
    double cpu0 = CpuSeconds(RUSAGE_SELF);
    std::unique_ptr<HSEQFile> file(HSEQFile::openHSEQFile(path));
    if (!file) return -1;
    file->prepareRead({{0, spec.channels}}, 0);
    std::vector<uint8_t> buffer(Sequence::MAX_CHANNELS + 8);
    framesRead = 0;
    for (uint32_t n = 0; n < spec.frames; ++n) {
        std::unique_ptr<HSEQFile::FrameData> f(file->getFrame(n));
        if (f && f->readFrame(buffer.data(), Sequence::MAX_CHANNELS)) ++framesRead;
    }
    file.reset();
    return CpuSeconds(RUSAGE_SELF) - cpu0;
}

bool Cyclictest(int intervalUs, int loops, Stats& out) {
    std::string cmd = "cyclictest -q -v -t 1 -d 0 -i " + std::to_string(intervalUs) + " -l " + std::to_string(loops) +
                      " 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return false;
    std::vector<double> lat;
    char line[256];
    while (fgets(line, sizeof(line), p)) {
        int thread;
        unsigned cycle;
        long us;
        if (sscanf(line, " %d: %u: %ld", &thread, &cycle, &us) == 3) lat.push_back((double)us);
    }
    int rc = pclose(p);
    if (rc != 0 || lat.empty()) return false;
    out = Percentiles(lat);
    return true;
}



}  // namespace

int main(int argc, char** argv) {
    Options o;
    std::string playDir;
    static option longOpts[] = {{"seconds", required_argument, nullptr, 's'},
                                {"channels", required_argument, nullptr, 'c'},
                                {"fps", required_argument, nullptr, 'f'},
                                {"no-cyclictest", no_argument, nullptr, 'n'},
                                {"play", required_argument, nullptr, 'p'},
                                {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "", longOpts, nullptr)) != -1) {
        switch (c) {
            case 's': o.seconds = atoi(optarg); break;
            case 'c': o.channels = (uint32_t)atoi(optarg); break;
            case 'f': o.fps = atoi(optarg); break;
            case 'n': o.cyclictest = false; break;
            case 'p': playDir = optarg; break;
            default:
                fprintf(stderr, "usage: %s [--seconds S] [--channels N] [--fps F] [--no-cyclictest]\n", argv[0]);
                return 2;
        }
    }
    if (o.seconds <= 0 || o.fps <= 0 || o.fps > 1000 || o.channels == 0 || o.channels > HSEQ_MAX_CHANNELS) {
        fprintf(stderr, "bad options\n");
        return 2;
    }
    SetLogFile("", false);  // quiet: logging is not what is measured
    if (!playDir.empty()) return Play(o, playDir);

    ShowSpec spec = Spec(o);
    TempMediaDir media;
    std::string path = media.file("/sequences/bench.hseq");
    printf("Playback benchmark: %d s, %u channels, %d fps (%d ms frames), zstd, %u frames\n", o.seconds, o.channels,
           o.fps, spec.stepMs, spec.frames);
    long long g0 = MonotonicUs();
    if (!GenerateShow(path, spec)) {
        fprintf(stderr, "could not write %s\n", path.c_str());
        return 1;
    }
    printf("  sequence written in %.1f s, %.1f MiB on disk (%.1f MiB raw)\n", (MonotonicUs() - g0) / 1e6,
           GetFileContents(path).size() / 1048576.0, (double)spec.channels * spec.frames / 1048576.0);
    fflush(stdout);

    std::string out;
    std::string cmd = std::string("'") + argv[0] + "' --play '" + media.path() + "' --seconds " +
                      std::to_string(o.seconds) + " --channels " + std::to_string(o.channels) + " --fps " +
                      std::to_string(o.fps);
    int rc = runCommand(cmd, &out);
    auto r = ParseResult(out);
    if (rc != 0 || r.empty()) {
        fprintf(stderr, "playback failed (%d): %s\n", rc, out.c_str());
        return 1;
    }
    int expected = std::stoi(r["expected"]), sent = std::stoi(r["sent"]);
    double lateP99 = std::stod(r["late_p99"]);
    double cpuPlay = std::stod(r["cpu_s"]);
    long rssKiB = std::stol(r["peak_rss_kib"]);

    int refFrames = 0;
    double cpuRef = ReferenceLoop(path, spec, refFrames);

    // What the capturing output itself adds per frame (a hash of the frame).
    std::vector<uint8_t> frame(spec.channels, 1);
    double h0 = CpuSeconds(RUSAGE_THREAD);
    volatile uint64_t sink = 0;
    for (uint32_t n = 0; n < spec.frames; ++n) sink = sink + HashBytes(frame.data(), frame.size());
    double hashCpu = CpuSeconds(RUSAGE_THREAD) - h0;
    // What one timed sleep and wake-up costs here (both playing threads
    // sleep at least once per frame).
    double s0 = CpuSeconds(RUSAGE_THREAD);
    for (int i = 0; i < 200; ++i) usleep(1000);
    double sleepCpu = (CpuSeconds(RUSAGE_THREAD) - s0) / 200 * 1e6;

    printf("\nFrames\n");
    printf("  sent %d of %d expected (in order %s, repeated %s, skipped %s, unrecognised %s)   %s\n", sent, expected,
           r["inorder"].c_str(), r["repeats"].c_str(), r["skipped"].c_str(), r["garbage"].c_str(),
           Verdict(sent == expected && r["repeats"] == "0" && r["skipped"] == "0" && r["garbage"] == "0"));
    printf("  first to last frame: %s ms, ideal %s ms\n", r["span_ms"].c_str(), r["ideal_span_ms"].c_str());

    printf("\nSend time against the ideal %d ms grid (lateness, us)\n", spec.stepMs);
    printf("  playback, one grid for the whole show    median %6s   p99 %6s   max %6s\n", r["late_median"].c_str(),
           r["late_p99"].c_str(), r["late_max"].c_str());
    printf("  playback, against the thread's schedule  median %6s   p99 %6s   max %6s   (%s passes over a period late)\n",
           r["wake_median"].c_str(), r["wake_p99"].c_str(), r["wake_max"].c_str(), r["regrids"].c_str());
    if (o.cyclictest) {
        Stats ct;
        if (Cyclictest(spec.stepMs * 1000, (int)spec.frames, ct)) {
            printf("  cyclictest, same interval and length     median %6.0f   p99 %6.0f   max %6.0f\n", ct.median,
                   ct.p99, ct.max);
            double goal = 2 * ct.p99 + 250;
            printf("  goal p99 <= 2 x %.0f + 250 = %.0f us: %.0f us (one grid)   %s\n", ct.p99, goal, lateP99,
                   Verdict(lateP99 <= goal));
        } else {
            printf("  cyclictest could not run (rt-tests installed? permissions?)\n");
        }
    }

    double perFrame = 1e6 / expected;
    printf("\nCPU time per frame (us)\n");
    printf("  playback: output + read + block-read threads  %7.1f   (output %.1f, read %.1f, block read %.1f)\n",
           cpuPlay * perFrame, std::stod(r["cpu_out_s"]) * perFrame, std::stod(r["cpu_read_s"]) * perFrame,
           std::stod(r["cpu_block_s"]) * perFrame);
    printf("  plain decompress-and-copy loop                %7.1f   (%d frames)\n",
           cpuRef / std::max(refFrames, 1) * 1e6, refFrames);
    double ratio = cpuRef > 0 ? (cpuPlay / expected) / (cpuRef / std::max(refFrames, 1)) : 0;
    printf("  ratio %.2f x (goal <= 1.5 x)   %s\n", ratio, Verdict(ratio <= 1.5));
    printf("  for scale, on this machine: hashing a frame in the capturing output %.1f us, "
           "one 1 ms sleep %.1f us\n",
           hashCpu / spec.frames * 1e6, sleepCpu);

    printf("\nPeak resident memory of the playing process\n");
    printf("  %.1f MiB (goal <= 48 MiB)   %s\n", rssKiB / 1024.0, Verdict(rssKiB <= 48 * 1024));
    return 0;
}
