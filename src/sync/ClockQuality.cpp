#include "sync/ClockQuality.h"

#include <sys/timex.h>
#include <time.h>

static long long ClockUs(clockid_t id) {
    struct timespec ts;
    clock_gettime(id, &ts);
    return (long long)ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

long long SyncWallUs() { return ClockUs(CLOCK_REALTIME); }
long long SyncMonoUs() { return ClockUs(CLOCK_MONOTONIC); }

KernelClockState ReadKernelClock() {
    struct timex tx = {};
    tx.modes = 0;  // read only: the clock and its discipline stay as they are
    KernelClockState k;
    int state = ntp_adjtime(&tx);
    if (state < 0) return k;
    k.state = state;
    k.unsynchronised = state == TIME_ERROR || (tx.status & STA_UNSYNC);
    k.estimatedErrorUs = tx.esterror;
    return k;
}

bool ClockQuality::Synchronised(const KernelClockState& k) const {
    if (m_trusted) return true;
    return !k.unsynchronised && k.estimatedErrorUs >= 0 && k.estimatedErrorUs <= m_toleranceUs;
}

std::string ClockQuality::Describe(const KernelClockState& k) const {
    if (m_trusted) return "declared synchronised by the setting MultiSyncClockTrusted";
    if (k.state < 0) return "the kernel's clock state cannot be read";
    if (k.unsynchronised) return "the kernel reports the clock unsynchronised (no time service disciplines it)";
    if (k.estimatedErrorUs > m_toleranceUs) {
        return "estimated error " + std::to_string(k.estimatedErrorUs) + " us is above the tolerance of " +
               std::to_string(m_toleranceUs) + " us (MultiSyncClockTolerance)";
    }
    return "synchronised, estimated error " + std::to_string(k.estimatedErrorUs) + " us";
}
