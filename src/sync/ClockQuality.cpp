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

// The kernel's error estimate of a clock nothing disciplines (and its cap).
static constexpr long KERNEL_UNKNOWN_ERROR_US = 16000000;

KernelClockState KernelClockOf(int state, int status, long esterrorUs) {
    KernelClockState k;
    if (state < 0) return k;
    k.state = state;
    k.unsynchronised = state == TIME_ERROR || (status & STA_UNSYNC);
    if (!k.unsynchronised && esterrorUs >= 0 && esterrorUs < KERNEL_UNKNOWN_ERROR_US) {
        k.estimatedErrorUs = esterrorUs;
    }
    return k;
}

KernelClockState ReadKernelClock() {
    struct timex tx = {};
    tx.modes = 0;  // read only: the clock and its discipline stay as they are
    int state = ntp_adjtime(&tx);
    return KernelClockOf(state, tx.status, tx.esterror);
}

bool ClockQuality::Synchronised(const KernelClockState& k) const {
    if (m_trusted) return true;
    return !k.unsynchronised && k.estimatedErrorUs >= 0 && k.estimatedErrorUs <= m_toleranceUs;
}

std::string ClockQuality::Describe(const KernelClockState& k) const {
    if (m_trusted) {
        std::string text = "declared synchronised by the setting MultiSyncClockTrusted";
        if (k.estimatedErrorUs >= 0) {
            text += " (the kernel estimates its error at " + std::to_string(k.estimatedErrorUs) + " us)";
        }
        return text;
    }
    if (k.state < 0) return "the kernel's clock state cannot be read";
    if (k.unsynchronised) return "the kernel reports the clock unsynchronised (no time service disciplines it)";
    if (k.estimatedErrorUs < 0) return "the kernel reports the clock synchronised but has no estimate of its error";
    if (k.estimatedErrorUs > m_toleranceUs) {
        return "estimated error " + std::to_string(k.estimatedErrorUs) + " us is above the tolerance of " +
               std::to_string(m_toleranceUs) + " us (MultiSyncClockToleranceUs)";
    }
    return "synchronised, estimated error " + std::to_string(k.estimatedErrorUs) + " us";
}
