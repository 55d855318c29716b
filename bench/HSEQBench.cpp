// bench_hseq: speed and memory of the sequence file reader and of hsequtils
// on one generated show of 100,000 channels x 2,400 frames (a minute at 40
// frames per second), each against the zstd command-line tool on the same
// raw frame bytes, measured in the same run. Prints one line per figure.
//
//   bench_hseq [--dir DIR] [--keep] [--channels N] [--frames N]
//
// Needs the zstd program and about 1.6 GB of free space in DIR (default a
// fresh directory under /tmp). Internal: --read-child FILE reads every frame
// of FILE and prints its peak memory, so that the figure covers nothing else.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "hseq/HSEQFile.h"
#include "hseq/ShowGenerator.h"
#include "log.h"

static constexpr uint32_t FRAME_BUFFER = 8 * 1024 * 1024;
static constexpr int REPEATS = 3;

static double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

static long StatusKiB(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) == 0) return atol(line.c_str() + strlen(key));
    }
    return -1;
}

static std::string SelfDir() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0) return ".";
    buf[n] = 0;
    std::string p = buf;
    return p.substr(0, p.find_last_of('/'));
}

static std::string SelfPath() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    buf[n > 0 ? n : 0] = 0;
    return buf;
}

static double TimeCommand(const std::string& cmd) {
    double t = Now();
    int rc = system(cmd.c_str());
    double d = Now() - t;
    if (rc != 0) {
        fprintf(stderr, "command failed (%d): %s\n", rc, cmd.c_str());
        exit(1);
    }
    return d;
}

static double Best(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

// Drops the file's pages from the page cache so an open really reads.
static void Evict(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return;
    fdatasync(fd);
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    close(fd);
}

static void Warm(const std::string& path) {
    std::string cmd = "cat '" + path + "' > /dev/null";
    if (system(cmd.c_str()) != 0) fprintf(stderr, "could not read %s\n", path.c_str());
}

// Every frame through the reader, the way the sequence player reads them.
static uint64_t ReadAll(const std::string& path, uint8_t* buffer) {
    std::unique_ptr<HSEQFile> f(HSEQFile::openHSEQFile(path));
    if (!f) {
        fprintf(stderr, "cannot open %s\n", path.c_str());
        exit(1);
    }
    f->prepareRead({{0, f->getMaxChannel()}}, 0);
    uint64_t sum = 0;
    for (uint32_t n = 0; n < f->getNumFrames(); ++n) {
        std::unique_ptr<HSEQFile::FrameData> fd(f->getFrame(n));
        if (!fd || !fd->readFrame(buffer, FRAME_BUFFER)) {
            fprintf(stderr, "frame %u of %s missing\n", n, path.c_str());
            exit(1);
        }
        sum += buffer[n % f->getMaxChannel()];
    }
    return sum;
}

static double OpenFirstFrame(const std::string& path, uint8_t* buffer) {
    Evict(path);
    double t = Now();
    std::unique_ptr<HSEQFile> f(HSEQFile::openHSEQFile(path));
    f->prepareRead({{0, f->getMaxChannel()}}, 0);
    std::unique_ptr<HSEQFile::FrameData> fd(f->getFrame(0));
    bool ok = fd && fd->readFrame(buffer, FRAME_BUFFER);
    double d = Now() - t;
    if (!ok) {
        fprintf(stderr, "first frame of %s missing\n", path.c_str());
        exit(1);
    }
    return d;
}

static int ReadChild(const std::string& path) {
    std::vector<uint8_t> buffer(FRAME_BUFFER, 1);  // touched: resident before the baseline
    long base = StatusKiB("VmRSS:");
    uint64_t sum = ReadAll(path, buffer.data());
    long peak = StatusKiB("VmHWM:");
    printf("%ld %ld %llu\n", base, peak, (unsigned long long)sum);
    return 0;
}

static bool WriteRaw(const std::string& path, const ShowSpec& spec) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    std::vector<uint8_t> frame(spec.channels);
    for (uint32_t n = 0; n < spec.frames; ++n) {
        RenderShowFrame(spec, n, frame.data());
        if (fwrite(frame.data(), 1, frame.size(), f) != frame.size()) {
            fclose(f);
            return false;
        }
    }
    return fclose(f) == 0;
}

int main(int argc, char** argv) {
    SetLogFile("stderr", false);
    KIVLogger::INSTANCE.SetAllLevel(LOG_WARN);
    std::string dir;
    bool keep = false;
    ShowSpec spec;
    spec.channels = 100000;
    spec.frames = 2400;
    spec.stepMs = 25;
    spec.seed = 2024;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--read-child" && i + 1 < argc) return ReadChild(argv[i + 1]);
        if (a == "--dir" && i + 1 < argc) dir = argv[++i];
        else if (a == "--keep") keep = true;
        else if (a == "--channels" && i + 1 < argc) spec.channels = (uint32_t)atol(argv[++i]);
        else if (a == "--frames" && i + 1 < argc) spec.frames = (uint32_t)atol(argv[++i]);
        else {
            fprintf(stderr, "usage: %s [--dir DIR] [--keep] [--channels N] [--frames N]\n", argv[0]);
            return 1;
        }
    }
    if (dir.empty()) {
        char tmpl[] = "/tmp/hseqbench-XXXXXX";
        if (!mkdtemp(tmpl)) return 1;
        dir = tmpl;
    }
    std::string hsequtils = SelfDir() + "/../src/hsequtils";
    std::string v1 = dir + "/show-v1.hseq", zst = dir + "/show-zstd.hseq", raw = dir + "/show.raw";
    std::string rawZst = dir + "/show.raw.zst", converted = dir + "/converted.hseq", big = dir + "/big-v1.hseq";

    printf("show: %u channels x %u frames (%.0f MB of frame data); reference: zstd command-line tool, "
           "default threads, without content checksums\n",
           spec.channels, spec.frames, spec.channels * (double)spec.frames / 1e6);
    fflush(stdout);
    ShowSpec v1Spec = spec;
    v1Spec.versionMajor = 1;
    ShowSpec zSpec = spec;
    zSpec.compression = HSEQFile::CompressionType::zstd;  // default level: 2, first block -10
    if (!GenerateShow(v1, v1Spec) || !GenerateShow(zst, zSpec) || !WriteRaw(raw, spec)) {
        fprintf(stderr, "could not write the show files in %s\n", dir.c_str());
        return 1;
    }
    // The reference stream: the same raw frame bytes at the same level, and
    // like the file's blocks without a content checksum to verify.
    TimeCommand("zstd -q -f -2 --no-check -o '" + rawZst + "' '" + raw + "'");
    struct stat st;
    stat(zst.c_str(), &st);
    long long zstSize = st.st_size;
    stat(rawZst.c_str(), &st);
    printf("sizes: sequence file (zstd blocks) %.1f MB, zstd -2 of the raw frames %.1f MB\n", zstSize / 1e6,
           st.st_size / 1e6);

    std::vector<uint8_t> buffer(FRAME_BUFFER, 0);

    // 1. Reading every frame, warm page cache, best of REPEATS each.
    Warm(zst);
    Warm(rawZst);
    std::vector<double> reader, zstdRead;
    for (int r = 0; r < REPEATS; ++r) {
        double t = Now();
        ReadAll(zst, buffer.data());
        reader.push_back(Now() - t);
        zstdRead.push_back(TimeCommand("zstd -q -d -c '" + rawZst + "' > /dev/null"));
    }
    printf("read all frames of the zstd file (open, prepareRead, getFrame, readFrame): %.0f ms; zstd -d of the raw "
           "frames: %.0f ms; ratio %.2f (goal <= 1.3)\n",
           Best(reader) * 1000, Best(zstdRead) * 1000, Best(reader) / Best(zstdRead));
    fflush(stdout);

    // 2. Converting version 1 to version 2 zstd against zstd -2, both writing a file.
    Warm(v1);
    Warm(raw);
    std::vector<double> convert, zstdCompress;
    for (int r = 0; r < REPEATS; ++r) {
        convert.push_back(TimeCommand("'" + hsequtils + "' -f 2 -c zstd -o '" + converted + "' '" + v1 + "' 2>/dev/null"));
        zstdCompress.push_back(TimeCommand("zstd -q -f -2 --no-check -o '" + rawZst + "' '" + raw + "'"));
    }
    printf("hsequtils v1 -> v2 zstd: %.0f ms; zstd -2 of the raw frames: %.0f ms; ratio %.2f (goal <= 1.5)\n",
           Best(convert) * 1000, Best(zstdCompress) * 1000, Best(convert) / Best(zstdCompress));
    fflush(stdout);

    // 3. Peak memory of a whole read, in a process of its own.
    std::string childOut;
    {
        FILE* p = popen(("'" + SelfPath() + "' --read-child '" + zst + "'").c_str(), "r");
        char line[256] = {0};
        if (p && fgets(line, sizeof(line), p)) childOut = line;
        if (p) pclose(p);
    }
    long base = 0, peak = 0;
    if (sscanf(childOut.c_str(), "%ld %ld", &base, &peak) == 2) {
        printf("peak memory of the read above the 8 MiB frame buffer: %.1f MiB (goal <= 64 MiB)\n",
               (peak - base) / 1024.0);
    } else {
        printf("peak memory of the read: not measured (%s)\n", childOut.c_str());
    }
    fflush(stdout);

    // 4. Opening and the first frame must not grow with the file.
    ShowSpec bigSpec = v1Spec;
    bigSpec.frames = (uint32_t)((1ull << 30) / spec.channels + 1);
    if (!GenerateShow(big, bigSpec)) {
        fprintf(stderr, "could not write %s\n", big.c_str());
        return 1;
    }
    stat(big.c_str(), &st);
    std::vector<double> bigT, smallT, zT;
    for (int r = 0; r < REPEATS; ++r) {
        bigT.push_back(OpenFirstFrame(big, buffer.data()));
        smallT.push_back(OpenFirstFrame(v1, buffer.data()));
        zT.push_back(OpenFirstFrame(zst, buffer.data()));
    }
    printf("open and read frame 0 from cold cache: %.2f GiB v1 file %.2f ms; %.0f MB v1 file %.2f ms; zstd file "
           "%.2f ms; ratio 1 GiB / small %.2f\n",
           st.st_size / (double)(1ull << 30), Best(bigT) * 1000, spec.channels * (double)spec.frames / 1e6,
           Best(smallT) * 1000, Best(zT) * 1000, Best(bigT) / Best(smallT));

    if (!keep) {
        std::string cmd = "rm -rf '" + dir + "'";
        if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", dir.c_str());
    }
    return 0;
}
