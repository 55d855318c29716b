#include "CaptureOutput.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "channeloutput/channeloutput.h"

namespace kivtest {

long long MonotonicUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

uint64_t HashBytes(const uint8_t* data, size_t len) {
    uint64_t h = 1469598103934665603ULL;
    size_t i = 0;
    for (; i + 8 <= len; i += 8) {
        uint64_t w;
        memcpy(&w, data + i, 8);
        h = (h ^ w) * 1099511628211ULL;
    }
    for (; i < len; ++i) {
        h = (h ^ data[i]) * 1099511628211ULL;
    }
    return h ^ len;
}

static pid_t CurrentThread() { return (pid_t)syscall(SYS_gettid); }

CaptureOutput::CaptureOutput(std::vector<std::pair<uint32_t, uint32_t>> ranges, bool keepBytes)
    : ChannelOutput(ranges.empty() ? 0 : ranges.front().first, 0), m_ranges(std::move(ranges)), m_keepBytes(keepBytes) {
    for (auto& r : m_ranges) m_bytes += r.second;
    m_channelCount = (unsigned)m_bytes;
    m_outputType = "Capture";
}

CaptureOutput::CaptureOutput(uint32_t start, uint32_t count, bool keepBytes)
    : CaptureOutput(std::vector<std::pair<uint32_t, uint32_t>>{{start, count}}, keepBytes) {}

std::vector<uint8_t> CaptureOutput::Extract(const uint8_t* channelData) const {
    std::vector<uint8_t> out;
    out.reserve(m_bytes);
    for (auto& r : m_ranges) out.insert(out.end(), channelData + r.first, channelData + r.first + r.second);
    return out;
}

int CaptureOutput::SendData(unsigned char* channelData) {
    CapturedFrame f;
    f.timeUs = MonotonicUs();
    f.frameNumber = channelOutputFrame;
    f.thread = CurrentThread();
    if (m_keepBytes) {
        f.bytes = Extract(channelData);
        f.hash = HashBytes(f.bytes.data(), f.bytes.size());
    } else if (m_ranges.size() == 1) {
        f.hash = HashBytes(channelData + m_ranges[0].first, m_ranges[0].second);
    } else {
        std::vector<uint8_t> b = Extract(channelData);
        f.hash = HashBytes(b.data(), b.size());
    }
    int delay = m_sendDelayUs + m_nextDelayUs.exchange(0);
    if (delay > 0) {
        usleep(delay);
    }
    std::lock_guard<std::mutex> lock(m_lock);
    m_frames.push_back(std::move(f));
    m_cond.notify_all();
    return (int)m_bytes;
}

void CaptureOutput::GetRequiredChannelRanges(const std::function<void(int, int)>& add) {
    for (auto& r : m_ranges) {
        if (r.second) add((int)r.first, (int)(r.first + r.second - 1));
    }
}

void CaptureOutput::StartingOutput() {
    std::lock_guard<std::mutex> lock(m_lock);
    ++m_starting;
}

void CaptureOutput::StoppingOutput() {
    std::lock_guard<std::mutex> lock(m_lock);
    ++m_stopping;
}

size_t CaptureOutput::Count() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_frames.size();
}

std::vector<CapturedFrame> CaptureOutput::Frames() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_frames;
}

void CaptureOutput::Clear() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_frames.clear();
}

bool CaptureOutput::WaitForCount(size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_cond.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_frames.size() >= n; });
}

int CaptureOutput::StartingCalls() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_starting;
}

int CaptureOutput::StoppingCalls() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_stopping;
}

SlowDeviceOutput::SlowDeviceOutput(uint32_t start, uint32_t count, int sendUs, bool doubleBuffer, int maxWaitMs)
    : ThreadedChannelOutput(start, count), m_sendUs(sendUs) {
    m_useDoubleBuffer = doubleBuffer ? 1 : 0;
    m_maxWait = maxWaitMs;
}

int SlowDeviceOutput::DeviceSendData(unsigned char* channelData) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        ++m_started;
    }
    CapturedFrame f;
    f.timeUs = MonotonicUs();
    f.thread = CurrentThread();
    f.bytes.assign(channelData, channelData + m_channelCount);
    f.hash = HashBytes(f.bytes.data(), f.bytes.size());
    usleep(m_sendUs);
    std::lock_guard<std::mutex> lock(m_lock);
    m_frames.push_back(std::move(f));
    m_cond.notify_all();
    return (int)m_channelCount;
}

void SlowDeviceOutput::WaitTimedOut() {
    std::lock_guard<std::mutex> lock(m_lock);
    ++m_timeOuts;
    m_cond.notify_all();
}

void SlowDeviceOutput::GetRequiredChannelRanges(const std::function<void(int, int)>& add) {
    if (m_channelCount) add((int)m_startChannel, (int)(m_startChannel + m_channelCount - 1));
}

size_t SlowDeviceOutput::Count() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_frames.size();
}

std::vector<CapturedFrame> SlowDeviceOutput::Frames() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_frames;
}

int SlowDeviceOutput::Started() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_started;
}

int SlowDeviceOutput::TimeOuts() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_timeOuts;
}

bool SlowDeviceOutput::WaitForCount(size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_cond.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_frames.size() >= n; });
}

}  // namespace kivtest
