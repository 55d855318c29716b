#pragma once
// Media fixtures: test media made with the ffmpeg command-line tool (sine
// tones, tones that change frequency every second, colour test videos),
// SDL's "disk" audio driver set up to capture what the device plays into a
// file, and analysis of that capture (where the sound starts, its
// frequency, when each sample was written).

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kivtest {

bool FfmpegAvailable();

// A sine tone of freqHz for seconds at 44100 Hz stereo, amplitude 0.5,
// starting at full amplitude (a cosine) so its first sample is not silent.
// The format follows the file extension (.wav 16-bit PCM, .mp3, .ogg, .flac...).
// title and artist, when given, are stored as the file's tags.
bool MakeTone(const std::string& path, int freqHz, double seconds, const std::string& title = "",
              const std::string& artist = "");
// Tones of the given frequencies, one second each, back to back.
bool MakeSteppedTone(const std::string& path, const std::vector<int>& freqsHz);
// A video of width x height at fps frames per second: four quadrants red,
// green (top right), blue (bottom left) and white; with sound (a 440 Hz
// tone) when withAudio. H.264 in MP4 unless the extension says otherwise.
// A silent video, one second of each colour ("red", "lime", "blue", ...),
// stored without loss as RGB (FFV1 in Matroska).
bool MakeColourStepVideo(const std::string& path, int width, int height, int fps, const std::vector<std::string>& colours);
bool MakeQuadrantVideo(const std::string& path, int width, int height, double seconds, int fps, bool withAudio);
// The first `bytes` bytes of a file copied to another (a file cut short).
bool CopyTruncated(const std::string& from, const std::string& to, long long bytes);
long long FileSize(const std::string& path);

// Points SDL's audio at the disk driver writing to `file` while it lives:
// SDL_AUDIODRIVER=disk and SDL_DISKAUDIOFILE. The device reopens the file
// (emptied) each time it is opened.
class DiskAudio {
public:
    explicit DiskAudio(const std::string& file);
    ~DiskAudio();
    const std::string& file() const { return m_file; }

private:
    std::string m_file;
};

// Analysis of 16-bit interleaved samples.
struct PcmCapture {
    std::vector<int16_t> samples;  // interleaved
    int channels = 2;
    int rate = 44100;

    size_t frames() const { return channels ? samples.size() / channels : 0; }
    int16_t at(size_t frame, int channel = 0) const { return samples[frame * channels + channel]; }
    // First sample frame whose |value| on channel 0 exceeds threshold; npos when none.
    size_t firstSound(int threshold = 200) const;
    // First sample frame with any channel not 0 (the first sample played
    // after the device's silence); npos when none.
    size_t firstNonZero() const;
    // One past the last sample frame above threshold.
    size_t endOfSound(int threshold = 200) const;
    // Frequency on channel `channel` over [from, from + count): whole
    // periods between its first and last rising zero crossings; 0 when
    // there are fewer than two.
    double frequency(size_t from, size_t count, int channel = 0) const;
};
PcmCapture ReadPcm16(const std::string& path, int channels = 2, int rate = 44100);
// 32-bit float samples read and turned into 16-bit for the same analysis.
PcmCapture ReadPcmFloat(const std::string& path, int channels, int rate);

// Watches a growing capture file and notes, with the monotonic clock, when
// each stretch of bytes appeared, so the time any sample was played can be
// told afterwards.
class CaptureWatcher {
public:
    // A device buffer of the default device: 2048 samples of 16-bit stereo.
    static constexpr long long DEVICE_BUFFER_BYTES = 2048 * 4;
    explicit CaptureWatcher(const std::string& file);
    ~CaptureWatcher();
    void stop();
    // Monotonic time (us) at which byte offset `byte` of the file was
    // played: when the device buffer holding it started to appear in the
    // file, plus its place in the buffer at the device's pace
    // (bytesPerSecond); -1 when it never appeared.
    long long timeOfByte(long long byte, double bytesPerSecond);

private:
    void run();
    std::string m_file;
    std::atomic<bool> m_stop{false};
    std::mutex m_lock;  // guards m_sizes
    std::vector<std::pair<long long, long long>> m_sizes;  // (time us, file size) at each growth
    std::thread m_thread;
};

// One frame as an output saw it: its number and when it was handed over.
struct FrameSend {
    uint32_t frame;
    long long timeUs;  // MonotonicUs()
};
// For the first sending of each frame: its send time minus the time at
// which the audio it belongs to (frame x frameMs into the song, the song
// starting at byte audioStartByte of the capture) was played, in us.
// Frames whose audio never played are left out.
std::vector<long long> FrameOffsetsToAudio(const std::vector<FrameSend>& sends, CaptureWatcher& watcher,
                                           long long audioStartByte, int frameMs, double bytesPerSecond);
// The value at fraction q (0..1) of the sorted values.
long long Percentile(std::vector<long long> values, double q);

}  // namespace kivtest
