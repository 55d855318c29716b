#include "StallMeter.h"

#include <unistd.h>

#include "CaptureOutput.h"

namespace kivtest {

static constexpr int STALL_METER_SLEEP_US = 2000;

StallMeter::StallMeter() : m_thread([this] { run(); }) {}

StallMeter::~StallMeter() {
    m_stop = true;
    m_thread.join();
}

void StallMeter::run() {
    while (!m_stop) {
        long long before = MonotonicUs();
        usleep(STALL_METER_SLEEP_US);
        long long late = MonotonicUs() - before - STALL_METER_SLEEP_US;
        if (late > m_worstUs) m_worstUs = late;
    }
}

}  // namespace kivtest
