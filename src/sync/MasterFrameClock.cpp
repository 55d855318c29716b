#include "sync/MasterFrameClock.h"

#include <algorithm>
#include <cstdlib>

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

long long MasterGridFilter::Median(const std::vector<Stamp>& stamps, int frame) const {
    std::vector<long long> at;
    at.reserve(stamps.size());
    for (const Stamp& s : stamps) at.push_back(s.monoUs + (long long)(frame - s.frame) * m_periodUs);
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
    for (const Stamp& s : m_stamps) {
        if (s.frame == frame) {
            // The master sent this frame again: it holds it (paused), and
            // the grid goes on from the last time it did.
            m_stamps.assign(1, stamp);
            m_offGrid.clear();
            return;
        }
    }
    if (!m_stamps.empty() && std::llabs(monoUs - Median(m_stamps, frame)) > 2LL * m_periodUs) {
        // Two in a row that agree start the new grid; an odd one alone is forgotten.
        if (!m_offGrid.empty() && std::llabs(monoUs - Median(m_offGrid, frame)) > m_periodUs / 4) m_offGrid.clear();
        m_offGrid.push_back(stamp);
        if (m_offGrid.size() < 2) return;
        m_stamps.swap(m_offGrid);
        m_offGrid.clear();
        return;
    }
    m_offGrid.clear();
    m_stamps.push_back(stamp);
    if (m_stamps.size() > (size_t)STAMPS) m_stamps.erase(m_stamps.begin());
}

bool MasterGridFilter::Get(int& frame, long long& monoUs, int& periodUs) const {
    if (m_stamps.empty()) return false;
    frame = 0;
    for (const Stamp& s : m_stamps) frame = std::max(frame, s.frame);
    monoUs = Median(m_stamps, frame);
    periodUs = m_periodUs;
    return true;
}

void MasterGridFilter::Clear() {
    m_stamps.clear();
    m_offGrid.clear();
    m_periodUs = 0;
}
