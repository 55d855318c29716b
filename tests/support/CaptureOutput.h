#pragma once
// Test and benchmark outputs. CaptureOutput records every frame handed to
// it (its channel ranges' bytes, a hash of them, the monotonic time of the
// hand-over, the frame number and the sending thread). SlowDeviceOutput is a
// ThreadedChannelOutput whose device needs a fixed time per frame.

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "channeloutput/ThreadedChannelOutput.h"

namespace kivtest {

// Monotonic clock in microseconds, the clock the frame pacing uses.
long long MonotonicUs();

// 64-bit hash of a byte range (FNV-1a over 8-byte words, then the tail).
uint64_t HashBytes(const uint8_t* data, size_t len);

struct CapturedFrame {
    long long timeUs = 0;  // MonotonicUs() at the hand-over
    int frameNumber = 0;   // channelOutputFrame at the hand-over
    pid_t thread = 0;      // kernel thread id of the caller
    uint64_t hash = 0;     // HashBytes of the captured bytes
    std::vector<uint8_t> bytes;  // empty unless keepBytes
};

class CaptureOutput : public ChannelOutput {
public:
    // ranges: (first channel, count), 0-based absolute channels.
    explicit CaptureOutput(std::vector<std::pair<uint32_t, uint32_t>> ranges, bool keepBytes = true);
    CaptureOutput(uint32_t start, uint32_t count, bool keepBytes = true);

    int SendData(unsigned char* channelData) override;
    void GetRequiredChannelRanges(const std::function<void(int, int)>& add) override;
    void StartingOutput() override;
    void StoppingOutput() override;

    // Makes SendData take this long, like a device written synchronously.
    void SetSendDelayUs(int us) { m_sendDelayUs = us; }
    // Makes only the next SendData take this long (a one-off stall).
    void DelayNextSendUs(int us) { m_nextDelayUs = us; }

    // The bytes of this output's ranges taken out of a full channel buffer.
    std::vector<uint8_t> Extract(const uint8_t* channelData) const;
    size_t BytesPerFrame() const { return m_bytes; }

    size_t Count();
    std::vector<CapturedFrame> Frames();
    void Clear();
    bool WaitForCount(size_t n, int timeoutMs);
    int StartingCalls();
    int StoppingCalls();

private:
    std::vector<std::pair<uint32_t, uint32_t>> m_ranges;
    size_t m_bytes = 0;
    bool m_keepBytes;
    std::atomic<int> m_sendDelayUs{0};
    std::atomic<int> m_nextDelayUs{0};
    std::mutex m_lock;  // guards m_frames and the call counters
    std::condition_variable m_cond;
    std::vector<CapturedFrame> m_frames;
    int m_starting = 0;
    int m_stopping = 0;
};

// A device behind a ThreadedChannelOutput that takes sendUs per frame.
class SlowDeviceOutput : public ThreadedChannelOutput {
public:
    SlowDeviceOutput(uint32_t start, uint32_t count, int sendUs, bool doubleBuffer = true, int maxWaitMs = 0);

    int DeviceSendData(unsigned char* channelData) override;
    void WaitTimedOut() override;
    void GetRequiredChannelRanges(const std::function<void(int, int)>& add) override;

    size_t Count();  // frames the device has finished sending
    int Started();   // frames the device has begun to send
    std::vector<CapturedFrame> Frames();  // bytes: the device's channels
    int TimeOuts();
    bool WaitForCount(size_t n, int timeoutMs);

private:
    int m_sendUs;
    std::mutex m_lock;  // guards m_frames and m_timeOuts
    std::condition_variable m_cond;
    std::vector<CapturedFrame> m_frames;
    int m_timeOuts = 0;
    int m_started = 0;
};

}  // namespace kivtest
