#include "sync/MasterFrameClock.h"

#include <algorithm>
#include <cstdlib>

#include "channeloutput/channeloutputthread.h"

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

long long MasterGridFilter::Median(int frame) const {
    std::vector<long long> at;
    at.reserve(m_stamps.size());
    for (const Stamp& s : m_stamps) at.push_back(s.monoUs + (long long)(frame - s.frame) * m_periodUs);
    std::sort(at.begin(), at.end());
    size_t n = at.size();
    return n % 2 ? at[n / 2] : (at[n / 2 - 1] + at[n / 2]) / 2;
}

void MasterGridFilter::Add(int frame, long long monoUs, int periodUs) {
    if (frame < 0 || periodUs <= 0) return;
    if (periodUs != m_periodUs) {
        // A new period (another sequence, or a master nudging its pace):
        // the old stamps extrapolate with the wrong one.
        Clear();
        m_periodUs = periodUs;
    }
    Stamp stamp{frame, monoUs};
    long long latestUs = 0;
    for (const Stamp& s : m_stamps) {
        if (s.frame == frame) {
            // The master sent this frame again: it holds it (paused), and
            // the grid goes on from the last time it did.
            if (monoUs > s.monoUs) m_stamps.assign(1, stamp);
            return;
        }
        latestUs = std::max(latestUs, s.monoUs);
    }
    if (!m_stamps.empty()) {
        long long off = monoUs - Median(frame);
        if (off <= -2LL * m_periodUs || off >= (long long)MAX_CATCH_UP_PERIODS * m_periodUs) {
            // A jump (a seek), or a pass so late that the master began a new
            // grid with it. A packet from before that, overtaken on the way,
            // says nothing.
            if (monoUs > latestUs) m_stamps.assign(1, stamp);
            return;
        }
    }
    m_stamps.push_back(stamp);
    if (m_stamps.size() > (size_t)STAMPS) m_stamps.erase(m_stamps.begin());
}

bool MasterGridFilter::Get(int& frame, long long& monoUs, int& periodUs) const {
    if (m_stamps.empty()) return false;
    frame = 0;
    for (const Stamp& s : m_stamps) frame = std::max(frame, s.frame);
    monoUs = Median(frame);
    periodUs = m_periodUs;
    return true;
}

void MasterGridFilter::Clear() {
    m_stamps.clear();
    m_periodUs = 0;
}
