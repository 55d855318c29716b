// Scale benchmark: the whole channel space at full rate. For each channel
// count (1M, 2M, 4M and 8,388,608 by default) a 400-frame zstd show at
// 40 fps goes to one DDP receiver on loopback twice, in the same run:
//   - bare: a loop that only decompresses the frames (zstd on the file's
//     blocks) and sends them with sendmmsg, paced on the same grid;
//   - pipeline: the daemon's own road of a frame (sequence player, read
//     thread, block reader, channel output thread, UDP output plug-in with
//     one DDP destination covering the channels).
// The receiver (a process of its own) checks every frame byte for byte
// against the show and timestamps it. Reported per run: frames per second
// achieved, the p99 of the intervals between frames, datagrams delivered,
// CPU time per frame over the whole run (set-up included, on both sides)
// and while playing (the first and the last second left out), and
// the ratios of the pipeline's to the bare loop's. The ratio judged is the
// one while playing: a show plays for minutes, and faulting in fresh
// memory at its start costs this VM about 2 ms per MiB, which in a
// 10-second show is a tenth of the pipeline's whole-run figure. The bare
// loop's own work per frame (decompress + send, no waiting) also tells how
// many frames per second the machine could do.
//
//   bench_scale [--channels N]... [--frames F] [--fps R] [--runs K] [--veth]
//
// With --runs K each channel count is measured K times, bare and pipeline
// in turns (which goes first alternates), and judged by the median ratio:
// on a shared machine one pair's ratio moves by a tenth from run to run.
//
// With --veth (root) the receiver sits in a network namespace of its own,
// behind a veth pair, instead of on loopback: loopback delivers every
// datagram in the sender's own context, which hides part of what the
// sender saves by handing the kernel fewer, larger sends. The daemon's
// send path follows its own rules (KIV_UDP_SEGMENTATION=0: plain sendmmsg).
//
// After the pairs, the two decoders run once more each alone (no output, no
// receiver, no waiting), which tells the reader's own cost from what
// running beside the rest costs it.
//
// Internal modes (the benchmark runs itself): --receive [--netns N], --bare, --pipeline, --read-alone.

#include <fcntl.h>
#include <getopt.h>
#include <sched.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <climits>
#include <deque>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "CaptureOutput.h"
#include "NetTestSupport.h"
#include "Sequence.h"
#include "TestSupport.h"
#include "channeloutput/channeloutput.h"
#include "channeloutput/channeloutputthread.h"
#include "common.h"
#include "hseq/HSEQFile.h"
#include "hseq/ShowGenerator.h"
#include "log.h"
#include "monitor/PacketDecoder.h"
#include "settings.h"

extern char** environ;

using namespace bench;

namespace {

constexpr uint32_t DEFAULT_SIZES[] = {1048576, 2097152, 4194304, 8388608};
const char* SEQUENCE_NAME = "scale.hseq";

// A loopback address of this run's own, away from other programs'.
std::string ReceiverAddress() {
    int block = (int)getpid() % 60000;
    return "127." + std::to_string(210 + block / 62500) + "." + std::to_string(block / 250 % 250 + 1) + "." +
           std::to_string(block % 250 + 1);
}

long long NowUs() { return kivtest::MonotonicUs(); }

// Sleeps until the monotonic time t (us).
void SleepUntil(long long t) {
    timespec ts;
    ts.tv_sec = t / 1000000;
    ts.tv_nsec = (t % 1000000) * 1000;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// The first second (at most a tenth of the show) is set-up: the file's
// first blocks, the read-ahead filling, every buffer faulted in. The CPU
// per frame while playing is counted from this frame on, and up to as
// many frames before the end: the pipeline's read thread runs up to 40
// frames ahead of the output, so only there do both of its threads work
// on one frame per period, as the bare loop does.
int SteadyFrom(int frames, int fps) { return std::max(1, std::min(fps, frames / 10)); }
int SteadyTo(int frames, int fps) { return frames - SteadyFrom(frames, fps); }

// ---- receiver --------------------------------------------------------------

// Collects DDP datagrams into frames until its standard input closes, then
// prints one line per frame pushed ("F <us> <hash> <datagrams>") and the
// total count.
int Receive(const std::string& address, uint32_t channels) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int size = 512 * 1024 * 1024;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) < 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    }
    sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_port = htons(DDP_PORT);
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    if (bind(fd, (sockaddr*)&a, sizeof(a)) < 0) {
        perror("receiver bind");
        return 1;
    }
    printf("READY\n");
    fflush(stdout);

    constexpr int BATCH = 1024;
    std::vector<mmsghdr> msgs(BATCH);
    std::vector<uint8_t> bufs((size_t)BATCH * 1500);
    std::vector<iovec> iov(BATCH);
    for (int i = 0; i < BATCH; ++i) {
        iov[i] = {&bufs[(size_t)i * 1500], 1500};
        memset(&msgs[i], 0, sizeof(mmsghdr));
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
    std::vector<uint8_t> frame(channels, 0);
    struct Pushed {
        long long t;
        uint64_t hash;
        int datagrams;
    };
    std::vector<Pushed> pushed;
    pushed.reserve(4096);
    long long total = 0, invalid = 0;
    int inFrame = 0;
    bool inputOpen = true;
    long long lastData = NowUs();
    while (inputOpen || NowUs() - lastData < 300000) {
        pollfd p[2] = {{fd, POLLIN, 0}, {inputOpen ? 0 : -1, POLLIN, 0}};
        if (poll(p, 2, 50) <= 0) continue;
        if (p[1].revents) {
            char c[64];
            if (read(0, c, sizeof(c)) <= 0) inputOpen = false;
        }
        if (!(p[0].revents & POLLIN)) continue;
        int n;
        while ((n = recvmmsg(fd, msgs.data(), BATCH, MSG_DONTWAIT, nullptr)) > 0) {
            long long now = NowUs();
            lastData = now;
            for (int i = 0; i < n; ++i) {
                DecodedPacket d = DecodeDDP(&bufs[(size_t)i * 1500], msgs[i].msg_len);
                ++total;
                if (!d.valid || (uint64_t)d.offset + d.length > channels) {
                    ++invalid;
                    continue;
                }
                memcpy(frame.data() + d.offset, d.data, d.length);
                ++inFrame;
                if (d.push) {
                    pushed.push_back({now, kivtest::HashBytes(frame.data(), frame.size()), inFrame});
                    inFrame = 0;
                }
            }
        }
    }
    for (auto& f : pushed) printf("F %lld %llu %d\n", f.t, (unsigned long long)f.hash, f.datagrams);
    printf("TOTAL %lld INVALID %lld\n", total, invalid);
    return 0;
}

// ---- the two senders ---------------------------------------------------------

struct Phase {
    double cpuSeconds = 0;
    // CPU from the moment frame steadyFrom went out to the moment frame
    // steadyFrom + steadyFrames did.
    double steadyCpuSeconds = 0;
    int steadyFrom = 0, steadyFrames = 0;
    double wallSeconds = 0;
    std::vector<double> workUs;  // bare: decompress + send of each frame
    std::vector<double> sendUs;  // bare: the send alone
    std::map<std::string, double> threadCpu;
    long peakRssKiB = 0;
    int warnings = 0;  // pipeline: warning and error lines in the log
    std::string slowLog;  // pipeline: the first slow-loop line, if any
};

void PrintPhase(const Phase& p) {
    printf("RESULT cpu_s=%.4f steady_cpu_s=%.4f steady_from=%d steady_frames=%d wall_s=%.3f peak_rss_kib=%ld "
           "warnings=%d\n",
           p.cpuSeconds, p.steadyCpuSeconds, p.steadyFrom, p.steadyFrames, p.wallSeconds, p.peakRssKiB, p.warnings);
    for (double w : p.workUs) printf("W %.0f\n", w);
    for (double w : p.sendUs) printf("S %.0f\n", w);
    for (auto& t : p.threadCpu) printf("T %.4f %s\n", t.second, t.first.c_str());
    if (!p.slowLog.empty()) printf("L %s\n", p.slowLog.c_str());
}

// The bare loop's decoder: the file's blocks read with pread, each frame
// decompressed in turn into one buffer.
class BareDecoder {
public:
    ~BareDecoder() {
        if (m_dctx) ZSTD_freeDCtx(m_dctx);
        if (m_fd >= 0) close(m_fd);
    }
    bool Open(const std::string& path) {
        m_file.reset(HSEQFile::openHSEQFile(path));
        V2HSEQFile* v2 = dynamic_cast<V2HSEQFile*>(m_file.get());
        if (!v2 || v2->getCompressionType() != HSEQFile::CompressionType::zstd) {
            fprintf(stderr, "%s is not a zstd sequence\n", path.c_str());
            return false;
        }
        channels = v2->getChannelCount();
        frames = v2->getNumFrames();
        m_blocks = v2->getBlockList();  // (first frame, offset) ... sentinel
        m_fd = open(path.c_str(), O_RDONLY);
        frame.assign(channels, 0);
        m_dctx = ZSTD_createDCtx();
        return m_fd >= 0 && m_dctx;
    }
    // Decodes frame f (called for 0, 1, 2, ... in turn) into `frame`.
    bool Next(uint32_t f) {
        if (f >= frames) return false;
        while (m_block + 1 < m_blocks.size() && f >= m_blocks[m_block + 1].first) ++m_block;
        if (m_block + 1 >= m_blocks.size()) return false;
        if (m_block != m_loaded) {
            uint64_t size = m_blocks[m_block + 1].second - m_blocks[m_block].second;
            m_compressed.resize(size);
            if (pread(m_fd, m_compressed.data(), size, (off_t)m_blocks[m_block].second) != (ssize_t)size) {
                fprintf(stderr, "short read of block %zu\n", m_block);
                return false;
            }
            ZSTD_DCtx_reset(m_dctx, ZSTD_reset_session_only);
            m_in = {m_compressed.data(), size, 0};
            m_loaded = m_block;
        }
        ZSTD_outBuffer out = {frame.data(), channels, 0};
        while (out.pos < out.size) {
            size_t r = ZSTD_decompressStream(m_dctx, &out, &m_in);
            if (ZSTD_isError(r) || (r == 0 && out.pos < out.size)) {
                fprintf(stderr, "frame %u does not decode\n", f);
                return false;
            }
        }
        return true;
    }

    uint32_t channels = 0, frames = 0;
    std::vector<uint8_t> frame;

private:
    std::unique_ptr<HSEQFile> m_file;
    std::vector<std::pair<uint32_t, uint64_t>> m_blocks;
    size_t m_block = 0, m_loaded = SIZE_MAX;
    int m_fd = -1;
    ZSTD_DCtx* m_dctx = nullptr;
    std::vector<uint8_t> m_compressed;
    ZSTD_inBuffer m_in = {nullptr, 0, 0};
};

// Decompresses the show's frames straight from the file's blocks into one
// buffer and sends each with sendmmsg, on the frame grid.
int Bare(const std::string& path, const std::string& address, int fps) {
    // Its set-up is counted as the pipeline's is (opening the file, the
    // frame buffer, the zstd context).
    double cpu0 = CpuSeconds(RUSAGE_SELF);
    BareDecoder decoder;
    if (!decoder.Open(path)) return 1;
    const uint32_t frames = decoder.frames;
    DDPBatch batch(decoder.frame.data(), (int)decoder.channels, address);
    int sock = socket(AF_INET, SOCK_DGRAM, 0);

    Phase p;
    p.workUs.reserve(frames);
    p.steadyFrom = SteadyFrom((int)frames, fps);
    const int steadyTo = SteadyTo((int)frames, fps);
    double steady0 = 0, steady1 = 0;
    long long t0 = NowUs() + 20000, period = 1000000 / fps;
    for (uint32_t f = 0; f < frames; ++f) {
        SleepUntil(t0 + (long long)f * period);
        if ((int)f == p.steadyFrom) steady0 = CpuSeconds(RUSAGE_SELF);
        if ((int)f == steadyTo) steady1 = CpuSeconds(RUSAGE_SELF);
        long long w0 = NowUs();
        if (!decoder.Next(f)) return 1;
        long long s0 = NowUs();
        batch.Send(sock);
        long long s1 = NowUs();
        p.workUs.push_back((double)(s1 - w0));
        p.sendUs.push_back((double)(s1 - s0));
    }
    p.cpuSeconds = CpuSeconds(RUSAGE_SELF) - cpu0;
    p.steadyCpuSeconds = steady1 - steady0;
    p.steadyFrames = steadyTo - p.steadyFrom;
    p.wallSeconds = (NowUs() - t0) / 1e6;
    p.peakRssKiB = PeakRssKiB();
    close(sock);
    PrintPhase(p);
    return 0;
}

// The two decoders alone, one after the other in one process, with nothing
// else running and no waiting: the pipeline's (its read thread's calls, the
// block reader thread beside them, as many frames held as the player holds
// at most) and the bare loop's. CPU per frame over the steady part's frames.
// Set against the pairs' figures, this tells the cost of the reader's code
// from what running beside the output thread and the receiver costs it.
int ReadAlone(const std::string& path, int fps) {
    BareDecoder bare;
    if (!bare.Open(path)) return 1;
    const int frames = (int)bare.frames, from = SteadyFrom(frames, fps), to = SteadyTo(frames, fps);
    const size_t held = (size_t)(Sequence::ReadAheadFrames(bare.channels) + Sequence::ShownFrames(bare.channels));
    double pipelineUs = 0, bareUs = 0, c0 = 0;
    {
        std::unique_ptr<HSEQFile> file(HSEQFile::openHSEQFile(path));
        if (!file) return 1;
        file->prepareRead({{0, bare.channels}}, 0);
        std::deque<std::unique_ptr<HSEQFile::FrameData>> kept;
        for (int f = 0; f < to; ++f) {
            if (f == from) c0 = CpuSeconds(RUSAGE_SELF);
            kept.emplace_back(file->getPlacedFrame((uint32_t)f));
            if (!kept.back()) {
                fprintf(stderr, "frame %d could not be read\n", f);
                return 1;
            }
            if (kept.size() > held) kept.pop_front();
        }
        pipelineUs = (CpuSeconds(RUSAGE_SELF) - c0) * 1e6 / (to - from);
    }
    for (int f = 0; f < to; ++f) {
        if (f == from) c0 = CpuSeconds(RUSAGE_SELF);
        if (!bare.Next((uint32_t)f)) return 1;
    }
    bareUs = (CpuSeconds(RUSAGE_SELF) - c0) * 1e6 / (to - from);
    printf("RESULT reader_us=%.0f bare_us=%.0f\n", pipelineUs, bareUs);
    return 0;
}

// Plays the show through the daemon's sequence player, channel output
// thread and UDP output plug-in.
int Pipeline(const std::string& mediaDir, const std::string& pluginDir) {
    setenv("KIV_MEDIA_DIR", mediaDir.c_str(), 1);
    setenv("KIV_PLUGIN_PATH", pluginDir.c_str(), 1);
    std::string logFile = mediaDir + "/logs/pipeline.log";
    SetLogFile(logFile.c_str(), false);
    KIVLogger::INSTANCE.SetAllLevel(LOG_WARN);
    // Normal priorities, as the bare loop has, rather than kivd's real
    // time: with it the output thread took 1.6-1.8 times the CPU per frame
    // here, most of it in the kernel, most likely because it starves the
    // receiver that shares this machine (a controller is a machine of its
    // own).
    if (InitializeChannelOutputs() != 1) {
        fprintf(stderr, "could not load the UDP output plug-in from %s\n", pluginDir.c_str());
        return 1;
    }
    auto player = std::make_unique<Sequence>();
    sequence = player.get();

    Phase p;
    double cpu0 = CpuSeconds(RUSAGE_SELF), main0 = CpuSeconds(RUSAGE_THREAD);
    long long t0 = NowUs();
    if (!player->StartSequence(SEQUENCE_NAME, 0)) {
        fprintf(stderr, "could not start the sequence\n");
        return 1;
    }
    // This thread only watches: its CPU is left out.
    auto pipelineCpu = [&]() { return CpuSeconds(RUSAGE_SELF) - cpu0 - (CpuSeconds(RUSAGE_THREAD) - main0); };
    const int stepMs = std::max(player->GetStepTimeMs(), 1);
    auto frameNow = [&]() { return player->GetElapsedMs() / stepMs; };
    const int frames = player->GetDurationMs() / stepMs, rate = 1000 / stepMs;
    const int steadyFrom = SteadyFrom(frames, rate), steadyTo = SteadyTo(frames, rate);
    double steady0 = -1, steady1 = -1;
    int steadyEnd = 0;
    long long timeout = NowUs() + 600LL * 1000000;
    while (player->IsSequenceRunning() && NowUs() < timeout) {
        // Short steps near either end of the steady part, which is then
        // off by less than a frame at each.
        int at = frameNow();
        bool near = (steady0 < 0 && at >= steadyFrom - 2) || (steady1 < 0 && at >= steadyTo - 2);
        usleep(near ? 2000 : 20000);
        at = frameNow();
        if (steady0 < 0 && at >= steadyFrom) {
            steady0 = pipelineCpu();
            p.steadyFrom = at;
        } else if (steady0 >= 0 && steady1 < 0 && at >= steadyTo) {
            steady1 = pipelineCpu();
            steadyEnd = at;
        }
        // Per-thread CPU just before the end (the block reader ends with the file).
        if (player->GetRemainingMs() < 300) p.threadCpu = ThreadCpuByName();
    }
    if (steady1 >= 0) {
        p.steadyCpuSeconds = steady1 - steady0;
        p.steadyFrames = steadyEnd - p.steadyFrom;
    }
    usleep(300000);  // the closing blank frame
    p.cpuSeconds = pipelineCpu();
    p.wallSeconds = (NowUs() - t0) / 1e6;
    StopChannelOutputThread();
    player.reset();
    sequence = nullptr;
    CloseChannelOutputs();
    p.peakRssKiB = PeakRssKiB();
    std::istringstream log(GetFileContents(logFile));
    std::string line;
    // Only warnings and errors are logged here.
    while (std::getline(log, line)) {
        ++p.warnings;
        if (p.slowLog.empty()) p.slowLog = line;
    }
    PrintPhase(p);
    return 0;
}

// ---- parent ------------------------------------------------------------------

// A child run of this program with pipes to its standard input and output.
class Child {
public:
    bool Start(const std::vector<std::string>& args) {
        int in[2], out[2];
        if (pipe(in) || pipe(out)) return false;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_addclose(&fa, in[1]);
        posix_spawn_file_actions_addclose(&fa, out[0]);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back((char*)a.c_str());
        argv.push_back(nullptr);
        int rc = posix_spawn(&m_pid, argv[0], &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        close(in[0]);
        close(out[1]);
        m_in = in[1];
        m_out = fdopen(out[0], "r");
        return rc == 0;
    }
    std::string ReadLine() {
        char buf[512];
        return fgets(buf, sizeof(buf), m_out) ? std::string(buf) : std::string();
    }
    // Closes the child's input, reads the rest of its output, waits for it.
    std::string Finish(int& status) {
        if (m_in >= 0) close(m_in);
        m_in = -1;
        std::string all;
        char buf[65536];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), m_out)) > 0) all.append(buf, n);
        fclose(m_out);
        waitpid(m_pid, &status, 0);
        return all;
    }

private:
    pid_t m_pid = -1;
    int m_in = -1;
    FILE* m_out = nullptr;
};

struct Delivery {
    int frames = 0;          // distinct show frames received whole and byte-exact
    int wrong = 0;           // frames pushed that are no show frame (nor blank)
    int repeated = 0;        // a show frame sent again (a late read holds the last frame)
    int skipped = 0;         // show frames never received (a late read skips one to keep time)
    int outOfOrder = 0;      // a show frame older than one received before
    long long datagrams = 0;  // datagrams of the show frames
    double fps = 0;
    Stats interval;  // ms between consecutive show frames
    std::string firstAnomalies;  // "after A came B" for the first few
};

Delivery Judge(const std::string& receiverOutput, const std::vector<uint64_t>& expected, uint64_t blank) {
    std::map<uint64_t, int> frameOf;
    for (size_t i = 0; i < expected.size(); ++i) frameOf[expected[i]] = (int)i;
    Delivery d;
    std::istringstream in(receiverOutput);
    std::string tag;
    std::vector<long long> times;
    int last = -1;
    while (in >> tag) {
        if (tag != "F") {
            std::string rest;
            std::getline(in, rest);
            continue;
        }
        long long t;
        unsigned long long hash;
        int datagrams;
        in >> t >> hash >> datagrams;
        if (hash == blank) continue;
        auto it = frameOf.find(hash);
        if (it == frameOf.end()) {
            ++d.wrong;
            continue;
        }
        int n = it->second;
        if (n != last + 1 && d.repeated + d.skipped + d.outOfOrder < 5) {
            d.firstAnomalies += " after " + std::to_string(last) + " came " + std::to_string(n) + ";";
        }
        if (n == last) {
            ++d.repeated;
            continue;
        }
        if (n < last) {
            ++d.outOfOrder;
            continue;
        }
        d.skipped += n - last - 1;
        last = n;
        ++d.frames;
        d.datagrams += datagrams;
        times.push_back(t);
    }
    std::vector<double> intervals;
    for (size_t i = 1; i < times.size(); ++i) intervals.push_back((times[i] - times[i - 1]) / 1000.0);
    d.interval = Percentiles(intervals);
    if (times.size() > 1) d.fps = (times.size() - 1) * 1e6 / (times.back() - times.front());
    return d;
}

std::map<std::string, std::string> ParseResult(const std::string& text, std::vector<double>* work,
                                               std::vector<double>* send, std::map<std::string, double>* threads,
                                               std::string* slow) {
    std::map<std::string, std::string> kv;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("RESULT ", 0) == 0) {
            std::istringstream f(line.substr(7));
            std::string tok;
            while (f >> tok) {
                auto eq = tok.find('=');
                if (eq != std::string::npos) kv[tok.substr(0, eq)] = tok.substr(eq + 1);
            }
        } else if (line.rfind("W ", 0) == 0 && work) {
            work->push_back(atof(line.c_str() + 2));
        } else if (line.rfind("S ", 0) == 0 && send) {
            send->push_back(atof(line.c_str() + 2));
        } else if (line.rfind("T ", 0) == 0 && threads) {
            char* end = nullptr;
            double v = strtod(line.c_str() + 2, &end);
            std::string name = end && *end ? std::string(end + 1) : "";
            (*threads)[name] = v;
        } else if (line.rfind("L ", 0) == 0 && slow) {
            *slow = line.substr(2);
        }
    }
    return kv;
}

struct Run {
    Delivery delivery;
    double cpuPerFrameUs = 0;
    double steadyPerFrameUs = 0;  // while playing
    std::vector<double> work, send;
    std::map<std::string, double> threads;
    std::string slow;
    int warnings = 0;
    long peakRssKiB = 0;
    bool ok = false;
};

// Where the receiver listens: an address on loopback, or one in a network
// namespace (netns, empty for none).
struct Target {
    std::string address;
    std::string netns;
};

Run RunPhase(const std::string& self, const std::vector<std::string>& phaseArgs, uint32_t channels,
             const std::vector<uint64_t>& expected, uint64_t blank, const Target& target) {
    Run r;
    std::string address = target.address;
    Child receiver;
    std::vector<std::string> receiverArgs = {self, "--receive", address, "--channels", std::to_string(channels)};
    if (!target.netns.empty()) {
        receiverArgs.push_back("--netns");
        receiverArgs.push_back(target.netns);
    }
    if (!receiver.Start(receiverArgs) || receiver.ReadLine() != "READY\n") {
        fprintf(stderr, "the receiver did not start\n");
        return r;
    }
    std::vector<std::string> args = {self};
    args.insert(args.end(), phaseArgs.begin(), phaseArgs.end());
    args.push_back("--to");
    args.push_back(address);
    Child sender;
    int status = 0;
    if (!sender.Start(args)) return r;
    std::string out = sender.Finish(status);
    int rstatus = 0;
    std::string received = receiver.Finish(rstatus);
    auto kv = ParseResult(out, &r.work, &r.send, &r.threads, &r.slow);
    if (status != 0 || kv.empty()) {
        fprintf(stderr, "%s failed (%d): %s\n", phaseArgs[0].c_str(), status, out.c_str());
        return r;
    }
    r.delivery = Judge(received, expected, blank);
    r.cpuPerFrameUs = std::stod(kv["cpu_s"]) * 1e6 / expected.size();
    int steadyFrames = atoi(kv["steady_frames"].c_str());
    r.steadyPerFrameUs = steadyFrames > 0 ? atof(kv["steady_cpu_s"].c_str()) * 1e6 / steadyFrames : 0;
    r.warnings = std::stoi(kv["warnings"]);
    r.peakRssKiB = std::stol(kv["peak_rss_kib"]);
    r.ok = true;
    return r;
}

const char* Verdict(bool met) { return met ? "met" : "MISSED"; }

// Other programs on the machine take CPU from both runs alike, but they
// make the frame rates of a 2-core machine mean little: reported with them.
std::string LoadAverage() {
    std::string s = GetFileContents("/proc/loadavg");
    auto sp = s.find(' ', s.find(' ', s.find(' ') + 1) + 1);
    return sp == std::string::npos ? s : s.substr(0, sp);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<uint32_t> sizes;
    int frames = 400, fps = 40, runs = 1;
    std::string mode, arg, to;
    uint32_t channels = 0;
    static option longOpts[] = {{"channels", required_argument, nullptr, 'c'},
                                {"frames", required_argument, nullptr, 'n'},
                                {"fps", required_argument, nullptr, 'f'},
                                {"runs", required_argument, nullptr, 'k'},
                                {"receive", required_argument, nullptr, 'r'},
                                {"bare", required_argument, nullptr, 'b'},
                                {"pipeline", required_argument, nullptr, 'p'},
                                {"read-alone", required_argument, nullptr, 'a'},
                                {"to", required_argument, nullptr, 't'},
                                {"veth", no_argument, nullptr, 'v'},
                                {"netns", required_argument, nullptr, 'N'},
                                {nullptr, 0, nullptr, 0}};
    bool veth = false;
    std::string netns;
    int c;
    while ((c = getopt_long(argc, argv, "", longOpts, nullptr)) != -1) {
        switch (c) {
            case 'c': channels = (uint32_t)atol(optarg); sizes.push_back(channels); break;
            case 'n': frames = atoi(optarg); break;
            case 'f': fps = atoi(optarg); break;
            case 'k': runs = atoi(optarg); break;
            case 'r': mode = "receive"; arg = optarg; break;
            case 'b': mode = "bare"; arg = optarg; break;
            case 'p': mode = "pipeline"; arg = optarg; break;
            case 'a': mode = "read-alone"; arg = optarg; break;
            case 't': to = optarg; break;
            case 'v': veth = true; break;
            case 'N': netns = optarg; break;
            default:
                fprintf(stderr, "usage: %s [--channels N]... [--frames F] [--fps R] [--runs K] [--veth]\n", argv[0]);
                return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    if (mode == "receive") {
        if (!netns.empty()) {
            int fd = open(("/var/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) {
                perror("receiver setns");
                return 1;
            }
            close(fd);
        }
        return Receive(arg, channels);
    }
    if (mode == "bare") return Bare(arg, to, fps);
    if (mode == "pipeline") return Pipeline(arg, KIV_BENCH_PLUGIN_DIR);
    if (mode == "read-alone") return ReadAlone(arg, fps);

    if (sizes.empty()) sizes.assign(std::begin(DEFAULT_SIZES), std::end(DEFAULT_SIZES));
    if (frames < 2 || fps < 1 || fps > 1000 || 1000 % fps || runs < 1) {
        fprintf(stderr, "bad options (the frame rate must divide 1000)\n");
        return 2;
    }
    for (uint32_t n : sizes) {
        if (n == 0 || n > (uint32_t)Sequence::MAX_CHANNELS) {
            fprintf(stderr, "channel counts run from 1 to %d\n", Sequence::MAX_CHANNELS);
            return 2;
        }
    }
    SetLogFile("", false);
    char selfPath[PATH_MAX];
    ssize_t len = readlink("/proc/self/exe", selfPath, sizeof(selfPath) - 1);
    if (len <= 0) return 1;
    selfPath[len] = 0;
    std::string self = selfPath;

    // The veth pair and its namespace live as long as this process.
    std::unique_ptr<kivtest::VethNamespace> vethNs;
    Target target{ReceiverAddress(), ""};
    if (veth) {
        int tag = (int)getpid() % 200 + 20;
        std::string net = "10.79." + std::to_string(tag) + ".";
        std::string name = "kivbench" + std::to_string(getpid());
        vethNs.reset(new kivtest::VethNamespace(name, "kbo" + std::to_string(getpid()),
                                                "kbi" + std::to_string(getpid()), net + "1", net + "2"));
        if (!vethNs->ok()) {
            fprintf(stderr, "could not make the veth pair (root needed): %s\n", vethNs->error().c_str());
            return 1;
        }
        target = Target{net + "2", name};
    }
    const char* seg = getenv("KIV_UDP_SEGMENTATION");
    const bool plainPath = seg && *seg && atoi(seg) == 0;
    printf("Scale benchmark: %d frames at %d fps, zstd, one DDP destination to a receiver %s\n", frames, fps,
           veth ? "behind a veth pair in a namespace of its own" : "on loopback");
    printf("pipeline send path: %s\n",
           plainPath ? "plain sendmmsg (KIV_UDP_SEGMENTATION=0)" : "segmented where the kernel takes it");
    printf("bare = decompress + sendmmsg only; pipeline = sequence player, output thread, UDP plug-in\n");
    printf("load average of the machine at the start: %s\n", LoadAverage().c_str());
    printf("%9s %6s | %-8s %7s %7s %8s %11s %9s %9s | %7s %7s\n", "channels", "dgrams", "run", "fps", "p99 ms",
           "frames", "datagrams", "cpu us/f", "playing", "ratio", "playing");
    struct Row {
        uint32_t channels;
        Run bare, pipe;  // the last pair
        double bareWorkMedianUs;
        std::vector<double> ratios;        // one per pair, whole runs
        std::vector<double> steadyRatios;  // one per pair, while playing
        bool exact = true, every = true;  // in every pair
        double aloneReaderUs = 0, aloneBareUs = 0;  // the decoders alone
    };
    std::vector<Row> rows;
    for (uint32_t n : sizes) {
        kivtest::TempMediaDir media;
        ShowSpec spec;
        spec.channels = n;
        spec.frames = (uint32_t)frames;
        spec.stepMs = 1000 / fps;
        spec.versionMajor = 2;
        spec.compression = HSEQFile::CompressionType::zstd;
        std::string path = media.file(std::string("/sequences/") + SEQUENCE_NAME);
        if (!GenerateShow(path, spec)) {
            fprintf(stderr, "could not write %s\n", path.c_str());
            return 1;
        }
        std::vector<uint64_t> expected;
        std::vector<uint8_t> frame(n);
        for (int f = 0; f < frames; ++f) {
            RenderShowFrame(spec, (uint32_t)f, frame.data());
            expected.push_back(kivtest::HashBytes(frame.data(), n));
        }
        std::fill(frame.begin(), frame.end(), 0);
        uint64_t blank = kivtest::HashBytes(frame.data(), n);
        std::string address = target.address;
        media.write("/config/channeloutputs.json",
                    R"({"channelOutputs": [{"type": "UDP", "enabled": 1, "universes": [)"
                    R"({"description": "everything", "type": 4, "address": ")" +
                        address + R"(", "startChannel": 1, "channelCount": )" + std::to_string(n) + "}]}]}");

        Row row;
        row.channels = n;
        int perFrame = (int)((n + DDP_MAX_DATA - 1) / DDP_MAX_DATA);
        for (int k = 0; k < runs; ++k) {
            if (k % 2 == 0) {
                row.bare = RunPhase(self, {"--bare", path, "--fps", std::to_string(fps)}, n, expected, blank, target);
                row.pipe = RunPhase(self, {"--pipeline", media.path()}, n, expected, blank, target);
            } else {
                row.pipe = RunPhase(self, {"--pipeline", media.path()}, n, expected, blank, target);
                row.bare = RunPhase(self, {"--bare", path, "--fps", std::to_string(fps)}, n, expected, blank, target);
            }
            row.bareWorkMedianUs = Percentiles(row.bare.work).median;
            const Delivery& pd = row.pipe.delivery;
            row.ratios.push_back(row.bare.cpuPerFrameUs > 0 ? row.pipe.cpuPerFrameUs / row.bare.cpuPerFrameUs : 0);
            row.steadyRatios.push_back(
                row.bare.steadyPerFrameUs > 0 ? row.pipe.steadyPerFrameUs / row.bare.steadyPerFrameUs : 0);
            row.exact = row.exact && row.pipe.ok && pd.wrong == 0 && pd.outOfOrder == 0;
            row.every = row.every && pd.frames == frames && pd.repeated == 0 &&
                        pd.datagrams == (long long)frames * perFrame;
            for (int which = 0; which < 2; ++which) {
                const Run& r = which ? row.pipe : row.bare;
                const Delivery& d = r.delivery;
                auto ratioText = [&](double pipe, double bare) {
                    return which && bare > 0 ? std::to_string(pipe / bare).substr(0, 4) + " x" : std::string();
                };
                printf("%9u %6d | %-8s %7.2f %7.2f %4d/%-3d %5lld/%-5lld %9.0f %9.0f | %7s %7s\n", n, perFrame,
                       which ? "pipeline" : "bare", d.fps, d.interval.p99, d.frames, frames, d.datagrams,
                       (long long)perFrame * frames, r.cpuPerFrameUs, r.steadyPerFrameUs,
                       ratioText(r.cpuPerFrameUs, row.bare.cpuPerFrameUs).c_str(),
                       ratioText(r.steadyPerFrameUs, row.bare.steadyPerFrameUs).c_str());
                if (d.wrong || d.outOfOrder || d.repeated || d.skipped) {
                    printf("          %d not byte-exact, %d out of order, %d repeated, %d skipped:%s\n", d.wrong,
                           d.outOfOrder, d.repeated, d.skipped, d.firstAnomalies.c_str());
                }
            }
            fflush(stdout);
        }
        {
            Child alone;
            int status = 0;
            if (alone.Start({self, "--read-alone", path, "--fps", std::to_string(fps)})) {
                auto kv = ParseResult(alone.Finish(status), nullptr, nullptr, nullptr, nullptr);
                if (status == 0) {
                    row.aloneReaderUs = atof(kv["reader_us"].c_str());
                    row.aloneBareUs = atof(kv["bare_us"].c_str());
                }
            }
        }
        rows.push_back(row);
        fflush(stdout);
    }

    printf("\nBare loop: its own work per frame (decompress + send, no waiting)\n");
    for (auto& r : rows) {
        Stats w = Percentiles(r.bare.work), s = Percentiles(r.bare.send);
        printf("  %9u channels: median %6.0f us (send %6.0f us), p99 %6.0f us: it could do %.1f fps\n", r.channels,
               w.median, s.median, w.p99, w.median > 0 ? 1e6 / w.median : 0);
    }
    printf("\nPipeline: CPU per frame by thread (us)\n");
    for (auto& r : rows) {
        printf("  %9u channels:", r.channels);
        for (auto& t : r.pipe.threads) {
            if (t.second * 1e6 / frames >= 1) printf("  %s %.0f", t.first.c_str(), t.second * 1e6 / frames);
        }
        printf("   peak RSS %.0f MiB, %d warning lines%s%s\n", r.pipe.peakRssKiB / 1024.0, r.pipe.warnings,
               r.pipe.slow.empty() ? "" : ", first: ", r.pipe.slow.c_str());
    }

    printf("\nThe decoders alone, nothing else running: CPU per frame (us)\n");
    for (auto& r : rows) {
        if (r.aloneBareUs <= 0) {
            printf("  %9u channels: did not run\n", r.channels);
            continue;
        }
        printf("  %9u channels: the pipeline's reader %.0f, the bare loop's decode %.0f: %.2f x\n", r.channels,
               r.aloneReaderUs, r.aloneBareUs, r.aloneReaderUs / r.aloneBareUs);
    }

    printf("\nload average of the machine at the end: %s\n", LoadAverage().c_str());
    printf("\nGoals\n");
    for (auto& r : rows) {
        Stats spread = Percentiles(r.steadyRatios);
        double ratio = spread.median;
        double bareFps = r.bareWorkMedianUs > 0 ? 1e6 / r.bareWorkMedianUs : 0;
        printf("  %9u channels: per-frame CPU while playing %.2f x the bare loop's", r.channels, ratio);
        if (r.steadyRatios.size() > 1) {
            printf(" (median of %zu pairs, %.2f to %.2f)", r.steadyRatios.size(),
                   *std::min_element(r.steadyRatios.begin(), r.steadyRatios.end()), spread.max);
        }
        printf(" [whole runs, set-up included: %.2f x]", Percentiles(r.ratios).median);
        // With segmentation offload the pipeline hands the kernel far fewer
        // messages than the bare loop's one datagram each; without it (the
        // plain path) matching the bare loop is all there is to ask.
        double goal = plainPath ? 1.1 : 0.6;
        printf(" (<= %.1f): %s;", goal, Verdict(ratio <= goal));
        if (bareFps >= fps * 1.1) {
            printf(" bare loop could do %.0f fps, so %d fps: %.2f fps %s;", bareFps, fps, r.pipe.delivery.fps,
                   Verdict(r.pipe.delivery.fps >= fps * 0.995));
        } else {
            printf(" bare loop could do only %.0f fps (no %d fps goal);", bareFps, fps);
        }
        printf(" frames byte-exact and in order: %s; every frame once: %s\n", Verdict(r.exact), Verdict(r.every));
    }
    return 0;
}
