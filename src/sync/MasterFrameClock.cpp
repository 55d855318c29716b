#include "sync/MasterFrameClock.h"

MasterFrameClock masterFrameClock;

void MasterFrameClock::Set(int frame, long long monoUs, int periodUs) {
    if (frame < 0 || periodUs <= 0) return;
    std::lock_guard<std::mutex> lock(m_lock);
    m_frame = frame;
    m_monoUs = monoUs;
    m_periodUs = periodUs;
}

void MasterFrameClock::Reset() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_frame = -1;
}

bool MasterFrameClock::Valid() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_frame >= 0;
}

bool MasterFrameClock::TimeOfFrame(int n, long long& monoUs) const {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_frame < 0) return false;
    monoUs = m_monoUs + (long long)(n - m_frame) * m_periodUs;
    return true;
}

int MasterFrameClock::FirstFrameAtOrAfter(long long monoUs) const {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_frame < 0) return -1;
    long long d = monoUs - m_monoUs;
    // Rounded up (toward later frames) for either sign of d.
    long long steps = d >= 0 ? (d + m_periodUs - 1) / m_periodUs : -((-d) / m_periodUs);
    long long n = m_frame + steps;
    return n < 0 ? 0 : (int)n;
}
