// Eight strings of 800 WS2811 pixels encoded for SPI, against a bare loop
// in the same run that expands the same bytes into SPI bits with one
// table:
//   - the encoder (EncodePixels, with colour order, brightness and gamma,
//     reversal and null pixels in its path) against the bare loop: goal at
//     most 1.2 times its CPU time;
//   - eight real "SPIPixels" outputs loaded through the registry, writing
//     to FIFOs: the CPU time a frame costs the output pass and the
//     outputs' workers together (hand-over, encoding, writing), against
//     the bare loop writing the same bytes to the same FIFOs: goal at most
//     1 ms a frame.

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "channeloutput/channeloutput.h"
#include "common.h"
#include "localoutput/PixelEncoders.h"
#include "log.h"

static constexpr int STRINGS = 8;
static constexpr int PIXELS = 800;
static constexpr int FRAMES = 2000;
static constexpr int CHANNELS = STRINGS * PIXELS * 3;
// WS2811 at 3.2 MHz: 4 SPI bits a data bit, 1000 for a 0 and 1100 for a 1,
// then 300 us of zeros.
static constexpr size_t WIRE_BYTES = PIXELS * 3 * 4 + 120;

static long long threadCpuNs() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static double workerCpuSeconds() { return bench::ThreadCpuByName()["KIV-SPIPixels"]; }

struct Drain {
    int fd = -1;
    std::atomic<long long> bytes{0};
    std::thread thread;
};
static std::atomic<bool> stopDrains{false};

static void drainLoop(Drain* d) {
    SetThreadName("drain");
    std::vector<char> buf(1 << 20);
    while (!stopDrains) {
        ssize_t n = read(d->fd, buf.data(), buf.size());
        if (n > 0) {
            d->bytes += n;
        } else {
            usleep(200);
        }
    }
}

static void waitDrained(std::vector<Drain>& drains, long long each) {
    for (auto& d : drains) {
        while (d.bytes < each) usleep(50);
    }
}

// The reference: one table from byte to four SPI bytes, straight into a
// buffer per string; written to the string's FIFO when fds are given.
static double bareLoop(std::vector<unsigned char>& channels, std::vector<int>* fds, std::vector<Drain>& drains) {
    uint8_t table[256][4];
    for (int v = 0; v < 256; ++v) {
        for (int pair = 0; pair < 4; ++pair) {
            int hi = (v >> (7 - 2 * pair)) & 1, lo = (v >> (6 - 2 * pair)) & 1;
            table[v][pair] = (uint8_t)((hi ? 0xC0 : 0x80) | (lo ? 0x0C : 0x08));
        }
    }
    std::vector<std::vector<uint8_t>> wire(STRINGS, std::vector<uint8_t>(WIRE_BYTES, 0));
    long long spent = 0;
    for (int f = 0; f < FRAMES; ++f) {
        channels[f % CHANNELS] ^= 1;
        long long start = threadCpuNs();
        for (int s = 0; s < STRINGS; ++s) {
            const unsigned char* in = channels.data() + s * PIXELS * 3;
            uint8_t* out = wire[s].data();
            for (int i = 0; i < PIXELS * 3; ++i, out += 4) memcpy(out, table[in[i]], 4);
            if (fds && write((*fds)[s], wire[s].data(), WIRE_BYTES) != (ssize_t)WIRE_BYTES) {
                fprintf(stderr, "short write to a FIFO\n");
                exit(1);
            }
        }
        spent += threadCpuNs() - start;
        if (fds) waitDrained(drains, (long long)(f + 1) * WIRE_BYTES);
    }
    return spent / 1e3 / FRAMES;
}

// The outputs' encoder, one call per string as each output makes it.
static double encoderLoop(std::vector<unsigned char>& channels) {
    std::vector<std::vector<PixelString>> strings(STRINGS, std::vector<PixelString>(1));
    std::vector<std::vector<uint8_t>> wire(STRINGS);
    for (int s = 0; s < STRINGS; ++s) {
        ParseColourOrder("RGB", strings[s][0]);
        strings[s][0].offset = s * PIXELS * 3;
        strings[s][0].pixelCount = PIXELS;
    }
    long long spent = 0;
    for (int f = 0; f < FRAMES; ++f) {
        channels[f % CHANNELS] ^= 1;
        long long start = threadCpuNs();
        for (int s = 0; s < STRINGS; ++s) EncodePixels(PixelChip::WS2811, strings[s], channels.data(), wire[s]);
        spent += threadCpuNs() - start;
    }
    if (wire[0].size() != WIRE_BYTES) {
        fprintf(stderr, "the encoder made %zu bytes a string, not %zu\n", wire[0].size(), WIRE_BYTES);
        exit(1);
    }
    return spent / 1e3 / FRAMES;
}

static double outputsLoop(std::vector<unsigned char>& channels, std::vector<Drain>& drains, const std::string& dir,
                          double& passUs) {
    Json::Value doc;
    for (int s = 0; s < STRINGS; ++s) {
        Json::Value o;
        o["type"] = "SPIPixels";
        o["device"] = dir + "/spi" + std::to_string(s);
        o["chip"] = "WS2811";
        Json::Value string;
        string["startChannel"] = 1 + s * PIXELS * 3;
        string["pixelCount"] = PIXELS;
        o["strings"].append(string);
        doc["channelOutputs"].append(o);
    }
    PutFileContents(dir + "/config/channeloutputs.json", SaveJsonToString(doc));
    if (InitializeChannelOutputs() != STRINGS) {
        fprintf(stderr, "could not load the SPIPixels plug-in from %s\n", KIV_BENCH_PLUGIN_DIR);
        exit(1);
    }
    long long base = drains[0].bytes;
    long long spent = 0;
    double workersBefore = workerCpuSeconds();
    for (int f = 0; f < FRAMES; ++f) {
        channels[f % CHANNELS] ^= 1;
        long long start = threadCpuNs();
        PrepareChannelData((char*)channels.data());
        SendChannelData((const char*)channels.data());
        spent += threadCpuNs() - start;
        waitDrained(drains, base + (long long)(f + 1) * WIRE_BYTES);
    }
    double pass = spent / 1e3 / FRAMES;
    double workers = (workerCpuSeconds() - workersBefore) * 1e6 / FRAMES;
    CloseChannelOutputs();
    passUs = pass;
    return pass + workers;
}

int main() {
    SetLogFile("stderr", false);
    KIVLogger::INSTANCE.SetAllLevel(LOG_WARN);
    char tmpl[] = "/tmp/kivbench-spi-XXXXXX";
    std::string dir = mkdtemp(tmpl);
    mkdir((dir + "/config").c_str(), 0775);
    setenv("KIV_MEDIA_DIR", dir.c_str(), 1);
    setenv("KIV_PLUGIN_PATH", KIV_BENCH_PLUGIN_DIR, 1);

    std::vector<Drain> drains(STRINGS);
    std::vector<int> writers;
    for (int s = 0; s < STRINGS; ++s) {
        std::string path = dir + "/spi" + std::to_string(s);
        mkfifo(path.c_str(), 0600);
        drains[s].fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
        fcntl(drains[s].fd, F_SETPIPE_SZ, 1 << 20);
        writers.push_back(open(path.c_str(), O_WRONLY));
        drains[s].thread = std::thread(drainLoop, &drains[s]);
    }
    std::vector<unsigned char> channels(CHANNELS);
    for (size_t i = 0; i < channels.size(); ++i) channels[i] = (unsigned char)(i * 7);

    double bareEncode = bareLoop(channels, nullptr, drains);
    double encoder = encoderLoop(channels);
    double bareWrite = bareLoop(channels, &writers, drains);
    for (int fd : writers) close(fd);
    double pass = 0;
    double outputs = outputsLoop(channels, drains, dir, pass);

    stopDrains = true;
    for (auto& d : drains) {
        d.thread.join();
        close(d.fd);
    }
    std::string cmd = "rm -rf '" + dir + "'";
    if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", dir.c_str());

    double ratio = encoder / bareEncode;
    printf("strings: %d of %d WS2811 pixels, %zu SPI bytes each a frame\n", STRINGS, PIXELS, WIRE_BYTES);
    printf("frames: %d\n", FRAMES);
    printf("bare encode loop: %.1f us CPU per frame\n", bareEncode);
    printf("encoder (EncodePixels): %.1f us CPU per frame, %.2f x the bare loop (goal <= 1.2: %s)\n", encoder, ratio,
           ratio <= 1.2 ? "met" : "NOT met");
    printf("bare encode loop writing to FIFOs: %.1f us CPU per frame\n", bareWrite);
    printf(
        "SPIPixels outputs writing to FIFOs: %.1f us CPU per frame (output pass %.1f, workers %.1f), %.2f x the "
        "bare loop (goal <= 1 ms: %s)\n",
        outputs, pass, outputs - pass, outputs / bareWrite, outputs <= 1000 ? "met" : "NOT met");
    return 0;
}
