#pragma once
// The master's frame grid as a remote sees it: frame F went out at local
// monotonic time T, and frames follow every P us. The remote role sets it
// from the master's sequence sync packets (T from the master's time stamps,
// or from the arrival times when the clocks cannot be trusted), through a
// MasterGridFilter; the channel output thread reads it to send each frame
// when the master sends the same frame. Thread-safe; one instance,
// `masterFrameClock`.

#include <mutex>
#include <vector>

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

// The master's grid from its recent frame stamps (the remote role's, on the
// main loop's thread). A stamp is when one pass of the master's output
// thread began sending its frame, and a pass that began late (its machine
// busy for a moment) leaves the grid as it was: the master sends its next
// frames on time again. Taken at its word, such a stamp would move every
// frame of this remote placed from it, until the next packet came; with
// delayed packets that is several frames, and with reordered packets any
// of the last few stamps. So the grid is the median of what the last
// STAMPS stamps say about one frame: a few late passes move it not at all,
// whatever order their packets come in, and the master's own slow moves
// (following its song) come through within a few frames. The master's
// other moves are taken at once, as the master makes them: a frame stamped
// again (the master holds it, paused), or a stamp later than all before it
// that is two periods or more early (a seek ahead) or MAX_CATCH_UP_PERIODS
// periods or more late (a seek back, or a stall after which the master
// began a new grid) restarts the grid from that stamp.
class MasterGridFilter {
public:
    static constexpr int STAMPS = 9;

    // Frame `frame` began going out at monoUs; frames follow every periodUs.
    void Add(int frame, long long monoUs, int periodUs);
    // The grid: frame `frame` is due at monoUs, frames every periodUs. False
    // before the first stamp.
    bool Get(int& frame, long long& monoUs, int& periodUs) const;
    void Clear();

private:
    struct Stamp {
        int frame;
        long long monoUs;
    };
    // When the stamps say `frame` is due: the median of their extrapolations.
    long long Median(int frame) const;

    std::vector<Stamp> m_stamps;  // the last STAMPS on the grid, in the order they came
    int m_periodUs = 0;
};
