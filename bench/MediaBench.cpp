// Media benchmark: a song with a large sequence through the "both" entry,
// as the main loop drives it, with SDL's disk audio driver capturing the
// sound. Figures, with references measured in the same run:
//   - the offset between each frame's send time and the moment the audio
//     it belongs to was played, plus "mediaOffset" (median, p99, max);
//   - the last frame's send time against the start of its audio;
//   - CPU time of the decode thread "KIV-SDLDecode" against a plain
//     `ffmpeg -f null` decode of the same file (its process start-up,
//     measured with a near-empty decode, taken off);
//   - peak resident memory of the playing process.
//
//   bench_media [--seconds S] [--channels N] [--fps F] [--format mp3|ogg|wav] [--media-offset MS]
//
// The playback runs in a child process of its own (this program with
// --play), so its peak memory is not that of generating the files.

#include <getopt.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "CaptureOutput.h"
#include "MediaTestSupport.h"
#include "ProcessStats.h"
#include "Sequence.h"
#include "TestSupport.h"
#include "ThreadPriority.h"
#include "channeloutput/channeloutput.h"
#include "channeloutput/channeloutputthread.h"
#include "common.h"
#include "hseq/ShowGenerator.h"
#include "log.h"
#include "mediaoutput/mediaoutput.h"
#include "playlist/PlaylistEntryBoth.h"
#include "settings.h"

using namespace kivtest;

namespace {

struct Options {
    int seconds = 180;
    uint32_t channels = 100000;
    int fps = 40;
    std::string format = "mp3";
    int mediaOffsetMs = 0;  // the setting "mediaOffset"
};

constexpr double BYTES_PER_SECOND = 44100 * 4.0;  // the default device: 16-bit stereo

// ---- child: the playback itself -------------------------------------------

int Play(const Options& o, const std::string& mediaDir) {
    setenv("KIV_MEDIA_DIR", mediaDir.c_str(), 1);
    std::string capture = mediaDir + "/tmp/played.raw";
    DiskAudio disk(capture);
    SetLogFile("", false);
    SetSetting("mediaOffset", o.mediaOffsetMs);
    // The priorities kivd gives its threads at start.
    InitThreadPriorities();
    int frameMs = 1000 / o.fps;
    uint32_t frames = (uint32_t)(o.seconds * o.fps);

    // Every channel goes out (hashed); the first four bytes carry the frame
    // number for the timing.
    AddChannelOutput(new CaptureOutput(0, o.channels, false));
    auto* numbers = new CaptureOutput(0, 4, true);
    AddChannelOutput(numbers);
    auto player = std::make_unique<Sequence>();
    sequence = player.get();

    PlaylistEntryBoth entry(nullptr);
    Json::Value c;
    c["type"] = "both";
    c["sequenceName"] = "bench.hseq";
    if (!entry.Init(c) || entry.GetMediaName().empty()) {
        fprintf(stderr, "the both entry could not be set up\n");
        return 1;
    }
    CaptureWatcher watcher(capture);
    if (!entry.StartPlaying() || !entry.SongIsClock()) {
        fprintf(stderr, "the song did not start\n");
        return 1;
    }
    long long timeout = MonotonicUs() + (long long)(o.seconds + 60) * 1000000;
    double decodeCpu = 0;
    long long nextSample = 0;
    while (!entry.IsFinished() && MonotonicUs() < timeout) {
        entry.Process();
        if (MonotonicUs() >= nextSample) {
            // The decode thread's CPU so far (it lives on after the song).
            auto cpu = ThreadCpuByName();
            if (cpu.count("KIV-SDLDecode")) decodeCpu = cpu["KIV-SDLDecode"];
            nextSample = MonotonicUs() + 1000000;
        }
        usleep(10000);
    }
    auto cpu = ThreadCpuByName();
    if (cpu.count("KIV-SDLDecode")) decodeCpu = cpu["KIV-SDLDecode"];
    watcher.stop();
    StopChannelOutputThread();
    CleanupMediaOutput();
    // Taken before the capture is read back for the analysis below.
    long peakRss = PeakRssKiB();

    PcmCapture played = ReadPcm16(capture);
    size_t first = played.firstSound(100), end = played.endOfSound(100);
    if (first == std::string::npos) {
        fprintf(stderr, "no sound was captured\n");
        return 1;
    }
    std::vector<FrameSend> sends;
    for (auto& f : numbers->Frames()) {
        if (f.bytes.size() < 4) continue;
        uint32_t n;
        memcpy(&n, f.bytes.data(), 4);
        if (n == 0 && std::all_of(f.bytes.begin(), f.bytes.end(), [](uint8_t b) { return b == 0; }) &&
            !sends.empty())
            continue;  // blanking at the end
        sends.push_back({n, f.timeUs});
    }
    auto offsets = FrameOffsetsToAudio(sends, watcher, (long long)first * 4, frameMs, BYTES_PER_SECOND);
    // Against the moment the setting asks for: its audio plus mediaOffset.
    for (long long& x : offsets) x -= o.mediaOffsetMs * 1000LL;
    std::vector<long long> absolute;
    for (long long x : offsets) absolute.push_back(std::llabs(x));
    long long songEnd = watcher.timeOfByte((long long)end * 4 - 1, BYTES_PER_SECOND);
    long long songStart = watcher.timeOfByte((long long)first * 4, BYTES_PER_SECOND);
    // How fast the disk driver really played: it sleeps whole milliseconds
    // per buffer, so it is not exactly real time.
    double pace = (end - first) / 44100.0 / ((songEnd - songStart) / 1e6);
    long long lastSent = -1;
    for (auto& s : sends) {
        if (s.frame == frames - 1) {
            lastSent = s.timeUs;
            break;
        }
    }
    uint32_t distinct = 0, repeats = 0;
    long long prev = -1;
    for (auto& s : sends) {
        if ((long long)s.frame > prev) ++distinct;
        else if ((long long)s.frame == prev) ++repeats;
        prev = s.frame;
    }

    printf("song_seconds=%.3f\n", (end - first) / 44100.0);
    printf("device_pace=%.5f\n", pace);
    printf("frames_total=%u\nframes_sent=%u\nframes_repeated=%u\n", frames, distinct, repeats);
    printf("offset_count=%zu\n", offsets.size());
    printf("offset_median_us=%lld\noffset_p01_us=%lld\noffset_p99_us=%lld\n", Percentile(offsets, 0.5),
           Percentile(offsets, 0.01), Percentile(offsets, 0.99));
    printf("abs_offset_median_us=%lld\nabs_offset_p99_us=%lld\nabs_offset_max_us=%lld\n", Percentile(absolute, 0.5),
           Percentile(absolute, 0.99), Percentile(absolute, 1.0));
    printf("last_frame_minus_song_end_us=%lld\n", lastSent >= 0 && songEnd >= 0 ? lastSent - songEnd : -999999999LL);
    printf("decode_thread_cpu_s=%.3f\n", decodeCpu);
    printf("peak_rss_kib=%ld\n", peakRss);
    fflush(stdout);
    return 0;
}

// ---- parent: make the files, run the child, the references ------------------

double FfmpegDecodeCpu(const std::string& args) {
    double before = CpuSeconds(RUSAGE_CHILDREN);
    runCommand("ffmpeg -hide_banner -loglevel error -nostdin " + args + " -f null - >/dev/null 2>&1");
    return CpuSeconds(RUSAGE_CHILDREN) - before;
}

std::string Value(const std::string& out, const std::string& key) {
    size_t at = out.find(key + "=");
    if (at == std::string::npos) return "";
    size_t from = at + key.size() + 1;
    return out.substr(from, out.find('\n', from) - from);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    std::string playDir;
    static option longOpts[] = {{"seconds", required_argument, nullptr, 's'},
                                {"channels", required_argument, nullptr, 'c'},
                                {"fps", required_argument, nullptr, 'f'},
                                {"format", required_argument, nullptr, 'F'},
                                {"media-offset", required_argument, nullptr, 'm'},
                                {"play", required_argument, nullptr, 'p'},
                                {nullptr, 0, nullptr, 0}};
    int ch;
    while ((ch = getopt_long(argc, argv, "", longOpts, nullptr)) != -1) {
        switch (ch) {
        case 's': o.seconds = atoi(optarg); break;
        case 'c': o.channels = (uint32_t)atoi(optarg); break;
        case 'f': o.fps = atoi(optarg); break;
        case 'F': o.format = optarg; break;
        case 'm': o.mediaOffsetMs = atoi(optarg); break;
        case 'p': playDir = optarg; break;
        default:
            fprintf(stderr, "usage: %s [--seconds S] [--channels N] [--fps F] [--format mp3|ogg|wav] [--media-offset MS]\n",
                    argv[0]);
            return 2;
        }
    }
    if (!playDir.empty()) return Play(o, playDir);
    if (!FfmpegAvailable()) {
        fprintf(stderr, "bench_media needs the ffmpeg command-line tool\n");
        return 1;
    }

    TempMediaDir media;
    std::string song = "song." + o.format;
    printf("Making a %d s %s song and a %u-channel sequence at %d fps...\n", o.seconds, o.format.c_str(), o.channels,
           o.fps);
    fflush(stdout);
    if (!MakeTone(media.file("/music/" + song), 440, o.seconds)) return 1;
    ShowSpec spec;
    spec.channels = o.channels;
    spec.frames = (uint32_t)(o.seconds * o.fps);
    spec.stepMs = 1000 / o.fps;
    spec.compression = HSEQFile::CompressionType::zstd;
    spec.mediaFilename = song;
    if (!GenerateShow(media.file("/sequences/bench.hseq"), spec)) return 1;

    std::string out;
    std::string self = "/proc/self/exe";
    char exe[4096];
    ssize_t n = readlink(self.c_str(), exe, sizeof(exe) - 1);
    if (n <= 0) return 1;
    exe[n] = 0;
    char cmd[8192];
    snprintf(cmd, sizeof(cmd), "'%s' --play '%s' --seconds %d --channels %u --fps %d --format %s --media-offset %d",
             exe, media.path().c_str(), o.seconds, o.channels, o.fps, o.format.c_str(), o.mediaOffsetMs);
    printf("Playing (%d s)...\n", o.seconds);
    fflush(stdout);
    if (runCommand(cmd, &out) != 0) {
        fprintf(stderr, "playback failed:\n%s\n", out.c_str());
        return 1;
    }

    std::string path = media.file("/music/" + song);
    double startup = 1e9, whole = 1e9;
    for (int i = 0; i < 3; ++i) {
        startup = std::min(startup, FfmpegDecodeCpu("-t 0.05 -i '" + path + "'"));
        whole = std::min(whole, FfmpegDecodeCpu("-i '" + path + "'"));
    }
    double reference = std::max(1e-6, whole - startup);
    double decode = atof(Value(out, "decode_thread_cpu_s").c_str());
    double period = 1000.0 / o.fps;

    printf("\nMedia: %d s %s song, %u channels at %d fps, both entry, disk audio driver, mediaOffset %d ms\n",
           o.seconds, o.format.c_str(), o.channels, o.fps, o.mediaOffsetMs);
    printf("  song played:           %s s, the disk driver at %.2f %% of real time\n", Value(out, "song_seconds").c_str(),
           atof(Value(out, "device_pace").c_str()) * 100);
    printf("  frames:                %s of %s sent, %s repeated (held)\n", Value(out, "frames_sent").c_str(),
           Value(out, "frames_total").c_str(), Value(out, "frames_repeated").c_str());
    printf("  frame send - (its audio + mediaOffset), signed:   median %.1f ms, p1 %.1f ms, p99 %.1f ms\n",
           atof(Value(out, "offset_median_us").c_str()) / 1000, atof(Value(out, "offset_p01_us").c_str()) / 1000,
           atof(Value(out, "offset_p99_us").c_str()) / 1000);
    double absP99 = atof(Value(out, "abs_offset_p99_us").c_str()) / 1000;
    double median = atof(Value(out, "offset_median_us").c_str()) / 1000;
    printf("  |frame send - (its audio + mediaOffset)|:   median %.1f ms, p99 %.1f ms, max %.1f ms  (goal p99 <= 5 ms: %s; "
           "signed median within 2 ms: %s)\n",
           atof(Value(out, "abs_offset_median_us").c_str()) / 1000, absP99,
           atof(Value(out, "abs_offset_max_us").c_str()) / 1000, absP99 <= 5.0 ? "met" : "NOT met",
           std::fabs(median) <= 2.0 ? "met" : "NOT met");
    printf("  machine load average:  %s", GetFileContents("/proc/loadavg").substr(0, 15).c_str());
    printf("\n");
    // The last frame belongs to the last period of the song: it goes out
    // one period before the sound ends.
    double last = atof(Value(out, "last_frame_minus_song_end_us").c_str()) / 1000 + period;
    printf("  last frame sent - start of its audio (end of audio - %.0f ms):   %.1f ms  (goal within %.1f ms: %s)\n",
           period, last, period, std::fabs(last) <= period ? "met" : "NOT met");
    printf("  decode thread CPU:     %.3f s vs ffmpeg -f null %.3f s (%.3f s less %.3f s start-up): %.2fx  (goal <= 1.3x: %s)\n",
           decode, reference, whole, startup, decode / reference, decode / reference <= 1.3 ? "met" : "NOT met");
    double rss = atof(Value(out, "peak_rss_kib").c_str()) / 1024;
    printf("  peak resident memory:  %.1f MiB  (goal <= 96 MiB: %s)\n", rss, rss <= 96 ? "met" : "NOT met");
    return 0;
}
