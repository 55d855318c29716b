#pragma once
// How late this machine lets a sleeping thread run right now: the reference
// that timing checks measure in the same test, so that a loaded machine
// (other builds, CPU burners) widens a bound by what it really does to a
// thread, and only by that. A thread of its own sleeps a few milliseconds
// at a time and keeps its worst oversleep.

#include <atomic>
#include <thread>

namespace kivtest {

class StallMeter {
public:
    StallMeter();  // measures from now on
    ~StallMeter();
    // The worst delay, in µs, of a wake-up since the start or the last reset.
    long long worstUs() const { return m_worstUs; }
    void reset() { m_worstUs = 0; }

private:
    void run();
    std::atomic<bool> m_stop{false};
    std::atomic<long long> m_worstUs{0};
    std::thread m_thread;
};

}  // namespace kivtest
