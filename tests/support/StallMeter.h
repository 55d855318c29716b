#pragma once
// How late this machine lets a sleeping thread run right now: the reference
// that timing checks measure in the same test, so a loaded machine (other
// builds, CPU burners) widens a bound by what it really does to a thread,
// and only by that. Its thread sleeps 2 ms at a time and keeps the worst
// oversleep since it was made.

#include <unistd.h>

#include <atomic>
#include <thread>

#include "CaptureOutput.h"

namespace kivtest {

class StallMeter {
public:
    StallMeter()
        : m_thread([this] {
              for (long long before = MonotonicUs(); !m_stop; before = MonotonicUs()) {
                  usleep(2000);
                  long long late = MonotonicUs() - before - 2000;
                  if (late > m_worstUs) m_worstUs = late;
              }
          }) {}
    ~StallMeter() {
        m_stop = true;
        m_thread.join();
    }
    long long worstUs() const { return m_worstUs; }

private:
    std::atomic<bool> m_stop{false};
    std::atomic<long long> m_worstUs{0};
    std::thread m_thread;
};

}  // namespace kivtest
