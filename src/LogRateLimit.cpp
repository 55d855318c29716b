#include "LogRateLimit.h"

#include "common.h"

bool LogRateLimit::Allow(long& heldBack, bool* last) {
    std::lock_guard<std::mutex> lock(m_lock);
    long long now = GetMonotonicMS();
    if (m_windowStartMs < 0 || now - m_windowStartMs >= m_windowMs) {
        m_windowStartMs = now;
        m_inWindow = 0;
    }
    if (m_inWindow >= m_limit) {
        ++m_heldBack;
        return false;
    }
    ++m_inWindow;
    if (last) *last = m_inWindow == m_limit;
    heldBack = m_heldBack;
    m_heldBack = 0;
    return true;
}

std::string LogRateLimit::Note(long heldBack, bool last, const char* what) {
    std::string note;
    if (heldBack) note += " (" + std::to_string(heldBack) + " more " + what + " were not logged)";
    if (last) note += std::string("; more ") + what + " this minute are not logged";
    return note;
}
