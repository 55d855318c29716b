// Who a system listens to, which packets it has seen, how it judges its
// clock, and the master's frame grid as a remote keeps it.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/timex.h>

#include "sync/ClockQuality.h"
#include "sync/MasterFrameClock.h"
#include "sync/SyncPeers.h"

namespace {

in_addr Addr(const char* text) {
    in_addr a;
    inet_pton(AF_INET, text, &a);
    return a;
}

TEST(SyncAddressRule, AddressesSubnetsAndAnyoneWithBadEntriesReported) {
    struct Case {
        const char* rule;
        const char* address;
        bool allowed;
        size_t problems;
    } cases[] = {
        {"", "10.0.0.5", false, 0},
        {"10.0.0.5", "10.0.0.5", true, 0},
        {"10.0.0.5", "10.0.0.6", false, 0},
        {" 10.0.1.0/24 , 10.0.0.5", "10.0.1.200", true, 0},
        {"10.0.1.0/24", "10.0.2.1", false, 0},
        {"10.0.0.0/8", "10.255.1.1", true, 0},
        {"*", "192.168.7.7", true, 0},
        {"0.0.0.0/0", "192.168.7.7", true, 0},
        {"garage, 10.0.0.5/33, 10.0.0.7/, 10.0.0.9", "10.0.0.9", true, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rule);
        SyncAddressRule r;
        std::vector<std::string> problems;
        r.Parse(c.rule, problems);
        EXPECT_EQ(c.allowed, r.Allows(Addr(c.address)));
        EXPECT_EQ(c.problems, problems.size());
    }
}

TEST(ReplayGuard, NewPacketsPassRepeatsAndOldSessionsDoNot) {
    ReplayGuard g;
    struct Step {
        uint32_t sender, session, seq;
        uint64_t time;
        bool accepted;
    } steps[] = {
        {1, 7, 10, 1000, true},   {1, 7, 10, 1000, false},  // the multicast and the unicast copy
        {1, 7, 12, 1002, true},   {1, 7, 11, 1001, true},   // overtaken on the way
        {1, 7, 12, 1002, false},  {1, 7, 80, 1080, true},   {1, 7, 16, 1016, false},  // beyond the window
        {2, 7, 10, 1000, true},                             // another sender, its own numbers
        {1, 9, 1, 500, false},                              // a new session older than what was seen
        {1, 9, 1, 2000, true},                              // the sender restarted
        {1, 7, 81, 1081, false},                            // its old session is over
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(std::to_string(s.sender) + "/" + std::to_string(s.session) + "/" + std::to_string(s.seq));
        EXPECT_EQ(s.accepted, g.Accept(s.sender, s.session, s.seq, s.time));
    }
}

TEST(WindowMin, KeepsTheLeastOfRecentValuesAndForgetsOldOnes) {
    WindowMin w(2000);
    long long v;
    EXPECT_FALSE(w.Get(v));
    w.Add(50, 0);
    w.Add(30, 500);
    w.Add(40, 1200);
    ASSERT_TRUE(w.Get(v));
    EXPECT_EQ(30, v);
    w.Add(45, 2300);  // the bucket holding 30 is now the older one
    w.Get(v);
    EXPECT_EQ(40, v);
    w.Add(60, 3400);
    w.Get(v);
    EXPECT_EQ(45, v);
}

TEST(MasterFrameClock, FramesFallOnTheMastersGrid) {
    MasterFrameClock c;
    long long t;
    EXPECT_FALSE(c.TimeOfFrame(5, t));
    EXPECT_EQ(-1, c.FirstFrameAtOrAfter(0));
    c.Set(100, 1000000, 25000);
    ASSERT_TRUE(c.TimeOfFrame(104, t));
    EXPECT_EQ(1100000, t);
    ASSERT_TRUE(c.TimeOfFrame(96, t));
    EXPECT_EQ(900000, t);
    EXPECT_EQ(100, c.FirstFrameAtOrAfter(1000000));
    EXPECT_EQ(101, c.FirstFrameAtOrAfter(1000001));
    EXPECT_EQ(99, c.FirstFrameAtOrAfter(975000));
    EXPECT_EQ(99, c.FirstFrameAtOrAfter(950001));
    EXPECT_EQ(0, c.FirstFrameAtOrAfter(-5000000));
    c.Reset();
    EXPECT_FALSE(c.Valid());
}

// The master's stamps as a remote places them, against where the master's
// grid really puts each frame: frame f is due at 1 s + f periods, and a stamp
// is a frame's pass beginning `offUs` off that (late: the master was busy).
TEST(MasterGridFilter, FollowsTheMastersGridNotItsLatePasses) {
    constexpr long long BASE = 1000000;
    constexpr int P = 25000;
    struct Stamp {
        int frame;
        long long offUs;
        int periodUs;
    };
    auto onGrid = [](int from, int to, long long offUs = 0) {
        std::vector<Stamp> v;
        for (int f = from; f < to; ++f) v.push_back({f, offUs, P});
        return v;
    };
    auto join = [](std::vector<Stamp> a, const std::vector<Stamp>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    std::vector<Stamp> drifting;  // a master following a song whose clock runs 0.04 % slow
    for (int f = 0; f < 40; ++f) drifting.push_back({f, 10LL * f, P});
    struct Case {
        const char* name;
        std::vector<Stamp> stamps;  // in the order they arrive
        int frame;                  // asked for
        long long dueOffUs;         // where it is due, off the 25 ms grid
    } cases[] = {
        {"on the grid", onGrid(0, 10), 12, 0},
        {"the last pass 16 ms late", join(onGrid(0, 9), {{9, 16000, P}}), 10, 0},
        {"late passes whose packets overtook each other",
         {{0, 0, P}, {1, 0, P}, {3, 0, P}, {2, 0, P}, {5, 9000, P}, {4, 0, P}, {6, 0, P}, {8, 0, P}, {7, 12000, P}},
         9, 0},
        {"every pass 300 us late (the master waking)", onGrid(0, 10, 300), 12, 300},
        {"a stall of three periods that the master catches up",
         join(onGrid(0, 9), {{9, 80000, P}, {10, 56000, P}}), 11, 0},
        {"a song's clock drifting", drifting, 40, 400},
        {"the master holding frame 9 (paused), packets overtaking each other",
         join(onGrid(0, 10), {{9, 25000, P}, {9, 75000, P}, {9, 50000, P}}), 10, 75000},
        {"a seek to frame 400", join(onGrid(0, 10), {{400, -390LL * P, P}}), 401, -390LL * P},
        {"a seek back to frame 2", join(onGrid(0, 10), {{2, 8LL * P, P}}), 3, 8LL * P},
        {"a stall of six periods: a new grid", join(onGrid(0, 10), {{10, 150000, P}}), 11, 150000},
        {"a new grid, then a packet from before it", join(onGrid(0, 10), {{10, 150000, P}, {9, 0, P}}), 11,
         150000},
        {"a new period", join(onGrid(0, 10), {{10, 0, 2 * P}, {11, P, 2 * P}}), 12, 2 * P},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MasterGridFilter g;
        int frame, periodUs;
        long long monoUs;
        EXPECT_FALSE(g.Get(frame, monoUs, periodUs));
        for (const Stamp& s : c.stamps) g.Add(s.frame, BASE + (long long)s.frame * P + s.offUs, s.periodUs);
        ASSERT_TRUE(g.Get(frame, monoUs, periodUs));
        EXPECT_EQ(c.stamps.back().periodUs, periodUs);
        long long due = monoUs + (long long)(c.frame - frame) * periodUs;
        EXPECT_NEAR(BASE + (long long)c.frame * P + c.dueOffUs, due, 100);
        g.Clear();
        EXPECT_FALSE(g.Get(frame, monoUs, periodUs));
    }
}

TEST(ClockQuality, ReportsAnErrorEstimateOnlyWhenTheKernelHasOne) {
    struct Case {
        const char* name;
        int state, status;
        long esterrorUs;
        bool unsynchronised;
        long estimatedErrorUs;
    } cases[] = {
        {"disciplined by a time service", TIME_OK, STA_PLL, 95, false, 95},
        {"nothing disciplines it", TIME_ERROR, STA_UNSYNC, 16000000, true, -1},
        {"flagged unsynchronised with a stale estimate", TIME_OK, STA_UNSYNC, 300, true, -1},
        {"synchronised without an estimate", TIME_OK, 0, 16000000, false, -1},
        {"the call failed", -1, 0, 0, true, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KernelClockState k = KernelClockOf(c.state, c.status, c.esterrorUs);
        EXPECT_EQ(c.unsynchronised, k.unsynchronised);
        EXPECT_EQ(c.estimatedErrorUs, k.estimatedErrorUs);
        ClockQuality trusted(true, 2000);
        EXPECT_EQ(std::string::npos, trusted.Describe(k).find("16000000"));
    }
}

TEST(ClockQuality, UsesTheKernelsVerdictUnlessDeclaredTrusted) {
    KernelClockState unsynced;  // what this machine's kernel says
    unsynced.state = 5;
    KernelClockState good;
    good.unsynchronised = false;
    good.estimatedErrorUs = 300;
    good.state = 0;
    KernelClockState rough = good;
    rough.estimatedErrorUs = 9000;
    ClockQuality kernel(false, 2000), trusted(true, 2000);
    EXPECT_FALSE(kernel.Synchronised(unsynced));
    EXPECT_TRUE(kernel.Synchronised(good));
    EXPECT_FALSE(kernel.Synchronised(rough));
    EXPECT_TRUE(trusted.Synchronised(unsynced));
    EXPECT_NE(std::string::npos, kernel.Describe(rough).find("above the tolerance of 2000 us"));
    EXPECT_NE(std::string::npos, kernel.Describe(unsynced).find("unsynchronised"));
    EXPECT_NE(std::string::npos, trusted.Describe(unsynced).find("MultiSyncClockTrusted"));
    // Reading never fails for lack of rights: nothing is changed.
    EXPECT_GE(ReadKernelClock().state, 0);
}

}  // namespace
