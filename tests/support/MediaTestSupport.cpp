#include "MediaTestSupport.h"

#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "CaptureOutput.h"
#include "TestSupport.h"

namespace kivtest {

static bool RunFfmpeg(const std::string& args) {
    std::string out;
    int rc = runCommand("ffmpeg -hide_banner -loglevel error -nostdin -y " + args + " 2>&1", &out);
    if (rc != 0) fprintf(stderr, "ffmpeg %s failed: %s\n", args.c_str(), out.c_str());
    return rc == 0;
}

bool FfmpegAvailable() { return runCommand("ffmpeg -version >/dev/null 2>&1") == 0; }

static std::string AudioCodecArgs(const std::string& path) {
    std::string ext = path.substr(path.rfind('.') + 1);
    if (ext == "wav") return "-c:a pcm_s16le";
    if (ext == "mp3") return "-c:a libmp3lame -b:a 192k";
    if (ext == "ogg") return "-c:a libvorbis -q:a 5";
    if (ext == "flac") return "-c:a flac";
    if (ext == "m4a") return "-c:a aac -b:a 192k";
    return "";
}

bool MakeTone(const std::string& path, int freqHz, double seconds, const std::string& title,
              const std::string& artist) {
    char src[256];
    snprintf(src, sizeof(src), "-f lavfi -i \"aevalsrc=0.5*cos(2*PI*%d*t):s=44100:c=stereo:d=%.3f\"", freqHz,
             seconds);
    std::string tags;
    if (!title.empty()) tags += " -metadata title='" + title + "'";
    if (!artist.empty()) tags += " -metadata artist='" + artist + "'";
    return RunFfmpeg(std::string(src) + tags + " " + AudioCodecArgs(path) + " '" + path + "'");
}

bool MakeSteppedTone(const std::string& path, const std::vector<int>& freqsHz) {
    // One expression: the frequency of second k is freqsHz[k]; each second
    // starts its own cosine so every step is clean. Commas inside the
    // expression are escaped from the filter graph.
    std::string f = "0";
    for (size_t k = 0; k < freqsHz.size(); ++k) {
        char part[160];
        snprintf(part, sizeof(part), "+between(t\\,%zu\\,%zu.99999)*0.5*cos(2*PI*%d*(t-%zu))", k, k, freqsHz[k], k);
        f += part;
    }
    char src[64];
    snprintf(src, sizeof(src), ":s=44100:c=stereo:d=%zu", freqsHz.size());
    return RunFfmpeg("-f lavfi -i \"aevalsrc=" + f + src + "\" " + AudioCodecArgs(path) + " '" + path + "'");
}

bool MakeColourStepVideo(const std::string& path, int width, int height, int fps, const std::vector<std::string>& colours) {
    std::string graph, inputs;
    for (size_t i = 0; i < colours.size(); ++i) {
        char part[160];
        snprintf(part, sizeof(part), "color=c=%s:s=%dx%d:r=%d:d=1,format=rgb24[c%zu];", colours[i].c_str(), width, height,
                 fps, i);
        graph += part;
        inputs += "[c" + std::to_string(i) + "]";
    }
    graph += inputs + "concat=n=" + std::to_string(colours.size()) + ":v=1:a=0[v]";
    return RunFfmpeg("-filter_complex \"" + graph + "\" -map \"[v]\" -c:v ffv1 -pix_fmt bgr0 '" + path + "'");
}

bool MakeQuadrantVideo(const std::string& path, int width, int height, double seconds, int fps, bool withAudio) {
    int hw = width / 2, hh = height / 2;
    char filter[512];
    snprintf(filter, sizeof(filter),
             "color=c=black:s=%dx%d:r=%d:d=%.3f,format=rgb24,"
             "drawbox=x=0:y=0:w=%d:h=%d:color=red:t=fill,"
             "drawbox=x=%d:y=0:w=%d:h=%d:color=lime:t=fill,"
             "drawbox=x=0:y=%d:w=%d:h=%d:color=blue:t=fill,"
             "drawbox=x=%d:y=%d:w=%d:h=%d:color=white:t=fill",
             width, height, fps, seconds, hw, hh, hw, width - hw, hh, hh, hw, height - hh, hw, hh, width - hw,
             height - hh);
    std::string args = std::string("-f lavfi -i \"") + filter + "\"";
    if (withAudio) {
        char a[160];
        snprintf(a, sizeof(a), " -f lavfi -i \"aevalsrc=0.5*cos(2*PI*440*t):s=44100:c=stereo:d=%.3f\"", seconds);
        args += a;
    }
    std::string ext = path.substr(path.rfind('.') + 1);
    if (ext == "mkv") {
        args += " -c:v ffv1 -pix_fmt bgr0";
    } else {
        args += " -c:v libx264 -pix_fmt yuv420p -crf 10 -movflags +faststart";
    }
    if (withAudio) args += ext == "mkv" ? " -c:a flac" : " -c:a aac -b:a 128k";
    return RunFfmpeg(args + " '" + path + "'");
}

long long FileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (long long)st.st_size : -1;
}

bool CopyTruncated(const std::string& from, const std::string& to, long long bytes) {
    std::ifstream in(from, std::ios::binary);
    if (!in) return false;
    std::vector<char> buf((size_t)bytes);
    in.read(buf.data(), bytes);
    std::ofstream out(to, std::ios::binary);
    out.write(buf.data(), in.gcount());
    return (bool)out;
}

DiskAudio::DiskAudio(const std::string& file) : m_file(file) {
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", file.c_str(), 1);
}

DiskAudio::~DiskAudio() {
    const char* now = getenv("SDL_DISKAUDIOFILE");
    // A newer capture may have taken over already.
    if (now && m_file == now) unsetenv("SDL_DISKAUDIOFILE");
    unlink(m_file.c_str());
}

size_t PcmCapture::firstSound(int threshold) const {
    for (size_t i = 0; i < frames(); ++i) {
        if (std::abs((int)at(i)) > threshold) return i;
    }
    return std::string::npos;
}

size_t PcmCapture::firstNonZero() const {
    for (size_t i = 0; i < frames(); ++i) {
        for (int c = 0; c < channels; ++c) {
            if (at(i, c) != 0) return i;
        }
    }
    return std::string::npos;
}

size_t PcmCapture::endOfSound(int threshold) const {
    for (size_t i = frames(); i > 0; --i) {
        if (std::abs((int)at(i - 1)) > threshold) return i;
    }
    return 0;
}

double PcmCapture::frequency(size_t from, size_t count, int channel) const {
    if (from + count > frames() || count < 2) return 0;
    // Whole periods between the first and the last rising zero crossing,
    // each placed between its two samples: counting crossings in a fixed
    // window instead is off by one period depending on the tone's phase.
    double firstAt = -1, lastAt = -1;
    int crossings = 0;
    for (size_t i = from + 1; i < from + count; ++i) {
        double a = at(i - 1, channel), b = at(i, channel);
        if (a < 0 && b >= 0) {
            double x = (double)(i - 1) + a / (a - b);
            if (crossings++ == 0) firstAt = x;
            lastAt = x;
        }
    }
    if (crossings < 2 || lastAt <= firstAt) return 0;
    return (crossings - 1) * (double)rate / (lastAt - firstAt);
}

PcmCapture ReadPcm16(const std::string& path, int channels, int rate) {
    PcmCapture c;
    c.channels = channels;
    c.rate = rate;
    long long size = FileSize(path);
    if (size <= 0) return c;
    c.samples.resize((size_t)size / 2);
    std::ifstream in(path, std::ios::binary);
    in.read((char*)c.samples.data(), (std::streamsize)c.samples.size() * 2);
    c.samples.resize((size_t)in.gcount() / 2);
    return c;
}

PcmCapture ReadPcmFloat(const std::string& path, int channels, int rate) {
    PcmCapture c;
    c.channels = channels;
    c.rate = rate;
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t n = bytes.size() / 4;
    c.samples.resize(n);
    for (size_t i = 0; i < n; ++i) {
        float f;
        memcpy(&f, bytes.data() + i * 4, 4);
        c.samples[i] = (int16_t)std::lround(std::max(-1.0f, std::min(1.0f, f)) * 32767.0f);
    }
    return c;
}

CaptureWatcher::CaptureWatcher(const std::string& file) : m_file(file) {
    m_thread = std::thread([this] { run(); });
}

CaptureWatcher::~CaptureWatcher() { stop(); }

void CaptureWatcher::stop() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
}

void CaptureWatcher::run() {
    // The watcher is the instrument: on a busy machine it must see each
    // write when it happens, so it runs above the daemon's own threads
    // where the system allows real time (it only polls and sleeps).
    sched_param p;
    memset(&p, 0, sizeof(p));
    p.sched_priority = 45;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &p);
    long long last = -1;
    while (!m_stop) {
        long long size = FileSize(m_file);
        if (size < last) {
            // Reopened (emptied): a new capture begins.
            std::lock_guard<std::mutex> lock(m_lock);
            m_sizes.clear();
        }
        if (size != last) {
            std::lock_guard<std::mutex> lock(m_lock);
            m_sizes.push_back({MonotonicUs(), size});
            last = size;
        }
        usleep(500);
    }
}

long long CaptureWatcher::timeOfByte(long long byte, double bytesPerSecond) {
    std::lock_guard<std::mutex> lock(m_lock);
    // The driver may write one device buffer in several pieces: a buffer
    // starts playing when the first of its bytes appears, so the search is
    // for its start, not for the byte (which may show up a piece later).
    long long bufferStart = byte - byte % DEVICE_BUFFER_BYTES;
    long long prevSize = 0;
    for (auto& s : m_sizes) {
        if (s.second > bufferStart) {
            return s.first + (long long)((byte - prevSize) * 1e6 / bytesPerSecond);
        }
        prevSize = std::max(prevSize, s.second);
    }
    return -1;
}

std::vector<long long> FrameOffsetsToAudio(const std::vector<FrameSend>& sends, CaptureWatcher& watcher,
                                           long long audioStartByte, int frameMs, double bytesPerSecond) {
    std::vector<long long> offsets;
    long long last = -1;
    for (auto& s : sends) {
        if ((long long)s.frame <= last) continue;  // held or repeated
        last = s.frame;
        long long byte = audioStartByte + (long long)((double)s.frame * frameMs / 1000.0 * bytesPerSecond);
        long long played = watcher.timeOfByte(byte, bytesPerSecond);
        if (played < 0) continue;
        offsets.push_back(s.timeUs - played);
    }
    return offsets;
}

long long Percentile(std::vector<long long> values, double q) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t i = (size_t)std::min<double>(values.size() - 1, q * (values.size() - 1) + 0.5);
    return values[i];
}

}  // namespace kivtest
