#pragma once
// The master's frame grid as a remote sees it: frame F went out at local
// monotonic time T, and frames follow every P us. The remote role sets it
// from every sequence sync packet (T from the master's time stamp, or from
// the arrival time when the clocks cannot be trusted); the channel output
// thread reads it to send each frame when the master sends the same frame.
// Thread-safe; one instance, `masterFrameClock`.

#include <mutex>

class MasterFrameClock {
public:
    void Set(int frame, long long monoUs, int periodUs);
    void Reset();
    bool Valid() const;
    // When frame n is due on the monotonic clock; false without a reference.
    bool TimeOfFrame(int n, long long& monoUs) const;
    // The first frame due at or after monoUs; -1 without a reference.
    int FirstFrameAtOrAfter(long long monoUs) const;

private:
    mutable std::mutex m_lock;  // guards the three values below
    int m_frame = -1;
    long long m_monoUs = 0;
    int m_periodUs = 0;
};

extern MasterFrameClock masterFrameClock;
