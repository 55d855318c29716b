#pragma once
// Keeps one kind of log message from flooding the log (and the card it is
// on) when a peer sends garbage in a loop: at most a number of lines a
// minute get through, and the next line let through says how many were
// held back. Used by the command socket; any unit may keep one per kind.

#include <mutex>
#include <string>

class LogRateLimit {
public:
    explicit LogRateLimit(int perMinute, long long windowMs = 60000) : m_limit(perMinute), m_windowMs(windowMs) {}
    // True when this message may be logged; then `heldBack` is the number of
    // messages of this kind left out since the last one logged, and `last`
    // (when given) says whether it is the last one let through this window.
    bool Allow(long& heldBack, bool* last = nullptr);
    // What a logged message adds about its kind: " (N more <what> were not
    // logged)" or "; more <what> this minute are not logged", or nothing.
    static std::string Note(long heldBack, bool last, const char* what);

private:
    std::mutex m_lock;  // guards the three counters below
    long long m_windowStartMs = -1;
    int m_inWindow = 0;
    long m_heldBack = 0;
    const int m_limit;
    const long long m_windowMs;
};
