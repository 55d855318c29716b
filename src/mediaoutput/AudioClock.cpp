#include "mediaoutput/AudioClock.h"

#include <algorithm>
#include <chrono>

AudioClock AudioClock::INSTANCE;

long long AudioClock::NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void AudioClock::Start(long long startByte, double bytesPerSecond, long long latencyUs) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_running = true;
    m_bytesPerSecond = bytesPerSecond > 0 ? bytesPerSecond : 1;
    m_latencyUs = std::max(0LL, latencyUs);
    m_taken = m_stampByte = startByte;
    m_stampUs = -1;
    m_stamps = 0;
    m_last = startByte / m_bytesPerSecond;
    m_lastUs = -1;
}

void AudioClock::Stop() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_running = false;
}

void AudioClock::Taken(long long bytes, long long nowUs) {
    std::lock_guard<std::mutex> lock(m_lock);
    // A buffer of pure silence (nothing was queued) moves the song nowhere:
    // the clock runs on to the end of what was taken and waits there.
    if (!m_running || bytes <= 0) return;
    m_stampByte = m_taken;
    m_taken += bytes;
    m_stampUs = nowUs;
    ++m_stamps;
}

void AudioClock::Skip(long long bytes) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_running || bytes <= 0) return;
    m_taken += bytes;
    m_stampByte += bytes;
}

bool AudioClock::Position(long long nowUs, double& seconds) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_running) return false;
    double taken = m_taken / m_bytesPerSecond;
    double pos = m_stampByte / m_bytesPerSecond;
    // Until a buffer is heard, the one before it plays: the elapsed time may
    // be negative here, and the floor below keeps the clock where it was.
    if (m_stampUs >= 0) pos += (nowUs - m_stampUs - m_latencyUs) / 1e6;
    pos = std::min(pos, taken);
    // Never backwards: a buffer taken late starts before where the clock
    // had run to (it stopped at what was taken); the clock waits for it
    // instead. A reader asking about an earlier moment than the last one
    // gets its own answer.
    if (nowUs >= m_lastUs) {
        pos = std::max(pos, m_last);
        m_last = pos;
        m_lastUs = nowUs;
    }
    seconds = pos;
    return true;
}

double AudioClock::TakenSeconds() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_taken / m_bytesPerSecond;
}

long long AudioClock::Stamps() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_stamps;
}
