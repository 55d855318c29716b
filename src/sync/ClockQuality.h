#pragma once
// How far this board's wall clock can be trusted for placing frames by a
// master's time stamps. Sync keeps no clock protocol of its own: the host's
// time service (chrony, systemd-timesyncd, linuxptp) disciplines the clock
// and tells the kernel how well; this unit only asks (ntp_adjtime without
// changing anything). The setting "MultiSyncClockTrusted" stands in where the
// kernel cannot know. Used by the sync service for its packets' clock flag
// and by the remote role to choose between time stamps and arrival time.

#include <string>

// The two clocks sync works with, in us: the wall clock the packets carry
// and the monotonic clock the channel output thread paces frames on.
long long SyncWallUs();
long long SyncMonoUs();

struct KernelClockState {
    bool unsynchronised = true;  // STA_UNSYNC set or the call reported TIME_ERROR
    // The kernel's estimated error; -1 when it has none: the call failed, or
    // no time service disciplines the clock (the kernel then reports its
    // maximum, 16 s, which is no estimate of anything).
    long estimatedErrorUs = -1;
    int state = -1;  // ntp_adjtime's result (TIME_OK, TIME_ERROR, ...)
};

// What ntp_adjtime's result, status bits and estimated error (us) say.
KernelClockState KernelClockOf(int state, int status, long esterrorUs);
// What the kernel says now; never changes the clock.
KernelClockState ReadKernelClock();

class ClockQuality {
public:
    // trusted: the setting declares the clock synchronised whatever the
    // kernel says. toleranceUs: the largest estimated error still good
    // enough for time stamps.
    ClockQuality(bool trusted, long toleranceUs) : m_trusted(trusted), m_toleranceUs(toleranceUs) {}
    bool Synchronised(const KernelClockState& k) const;
    // One line for the log and status: why the clock is or is not used.
    std::string Describe(const KernelClockState& k) const;
    bool Trusted() const { return m_trusted; }
    long ToleranceUs() const { return m_toleranceUs; }

private:
    bool m_trusted;
    long m_toleranceUs;
};
