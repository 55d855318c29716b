// The wall clock steps while the show plays, as NTP steps it on a board
// without a battery clock: an hour forward, then ten minutes back. The
// daemon runs under libfaketime (its wall clock read from a file the test
// rewrites; the monotonic clock untouched, as NTP leaves it); a DDP receiver
// on loopback sees whether the frames keep their grid and which slots start.

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include "FaultSupport.h"
#include "KivdProcess.h"
#include "TestSupport.h"
#include "common.h"

namespace {

using kivtest::SequenceRun;

class ClockStep : public ::testing::Test {
protected:
    void SetUp() override {
        if (!kivtest::FakeClock::available()) GTEST_SKIP() << "libfaketime is not installed";
        if (!kivtest::slotFitsToday(-60, 3900)) GTEST_SKIP() << "the stepped clock would pass midnight";
        ShowSpec a, b;
        a.frames = b.frames = 1200;  // 30 s each
        show.reset(new kivtest::ShowUnderTest(media.path(), {"a.hseq", "b.hseq"}, {a, b}, 203));
        ASSERT_TRUE(show->ok());
        show->writeOutputs();
        t0 = time(nullptr);
        t0Us = GetTime();
    }

    bool start(kivtest::KivdProcess& d) {
        clock.applyTo(d);
        return d.start({"-f", "--log-level", "debug:Schedule,Sequence"}) && d.waitReady();
    }

    // Collects for `ms` after the monotonic moment `fromUs`.
    void collectUntil(long long fromUs, int ms) {
        while (GetTime() < fromUs + ms * 1000LL) show->collectFor(100);
    }

    int count(const std::string& log, const std::string& what) {
        int n = 0;
        for (size_t p = log.find(what); p != std::string::npos; p = log.find(what, p + 1)) ++n;
        return n;
    }

    kivtest::TempMediaDir media;
    std::unique_ptr<kivtest::ShowUnderTest> show;
    kivtest::FakeClock clock;
    time_t t0 = 0;
    long long t0Us = 0;  // GetTime() at t0: arrival times are on that clock
};

TEST_F(ClockStep, FramesKeepTheirGridWhenTheClockStepsAnHourForwardAndTenMinutesBack) {
    show->writePlaylist("show", {0});
    show->writeSchedule({kivtest::scheduleRow("show", -60, 3800, "Hard", true, t0)});
    kivtest::KivdProcess d(media.path());
    ASSERT_TRUE(start(d)) << d.output();
    // The steps are timed from the show's first frame, however long this
    // machine took to start the daemon.
    ASSERT_TRUE(show->waitForFrame(0, 0, 10000)) << d.output();
    long long shown = GetTime();
    collectUntil(shown, 4000);
    ASSERT_TRUE(clock.setOffset(3600));
    long long forward = GetTime();
    collectUntil(forward, 6000);
    ASSERT_TRUE(clock.setOffset(3000));
    long long back = GetTime();
    collectUntil(back, 6000);
    EXPECT_EQ("show", kivtest::playingPlaylist(d)) << "the slot is still open at either time";
    EXPECT_EQ(d.stop(SIGTERM), 0);

    auto runs = show->runs();
    ASSERT_EQ(1u, runs.size()) << show->describe();
    const SequenceRun& r = runs[0];
    EXPECT_EQ(0, r.firstFrame);
    // One run, frame after frame, from before the first step until well
    // after the second.
    EXPECT_LT(r.startUs, forward) << show->describe();
    EXPECT_GT(r.endUs, back + 5000000) << show->describe();
    EXPECT_LE(kivtest::unexplainedSkips(r.grid, d), kivtest::lateReads(d)) << show->describe();
    EXPECT_LT(r.grid.maxGapUs, 500000 + 2 * show->stallUs()) << show->describe();
    EXPECT_LT(r.grid.maxLateUs, 500000 + 2 * show->stallUs()) << show->describe();
}

TEST_F(ClockStep, SlotsFollowTheNewTimeAndNoneStartsTwice) {
    show->writePlaylist("early", {0});
    show->writePlaylist("late", {1});
    // early is open now and ends within the skipped hour; late opens 21 s
    // after the clock is set back, so its start time comes round twice.
    show->writeSchedule({kivtest::scheduleRow("early", -60, 1800, "Hard", true, t0),
                         kivtest::scheduleRow("late", 3021, 3800, "Hard", true, t0)});
    kivtest::KivdProcess d(media.path());
    ASSERT_TRUE(start(d)) << d.output();
    ASSERT_TRUE(kivtest::waitUntil([&] { return kivtest::playingPlaylist(d) == "early"; }, 5000));
    ASSERT_TRUE(show->waitForFrame(0, 0, 10000)) << d.output();
    collectUntil(GetTime(), 3000);
    ASSERT_TRUE(clock.setOffset(3600));
    long long forward = GetTime();
    // early's end has passed, late's window is open
    EXPECT_TRUE(kivtest::waitUntil([&] { return kivtest::playingPlaylist(d) == "late"; }, 4000))
        << kivtest::commandText(d, {"Get Playlist Status"});
    collectUntil(forward, 3000);
    // Back to 5 s before late's start, whenever this machine got here: the
    // start time comes round again while late plays.
    long long back = GetTime();
    ASSERT_TRUE(clock.setOffset(3016 - (back - t0Us) / 1000000));
    collectUntil(back, 10000);
    EXPECT_EQ("late", kivtest::playingPlaylist(d));
    EXPECT_EQ(d.stop(SIGTERM), 0);

    std::string log = d.log();
    EXPECT_EQ(1, count(log, "Starting scheduled playlist 'early'")) << log;
    EXPECT_EQ(1, count(log, "Starting scheduled playlist 'late'")) << log;
    // On the wire: early until the step, then late from its first frame,
    // once, without a break.
    auto runs = show->runs();
    ASSERT_EQ(2u, runs.size()) << show->describe();
    EXPECT_EQ(0, runs[0].sequence);
    EXPECT_EQ(1, runs[1].sequence);
    EXPECT_EQ(0, runs[1].firstFrame);
    EXPECT_LE(kivtest::unexplainedSkips(runs[1].grid, d), kivtest::lateReads(d)) << show->describe();
    EXPECT_LT(runs[1].grid.maxGapUs, 500000 + 2 * show->stallUs()) << show->describe();
    EXPECT_LT(runs[1].startUs, back) << "late started after the forward step, not when its start came round again";
}

}  // namespace
