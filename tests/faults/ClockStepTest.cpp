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

    // Collects until t0 + seconds (real time).
    void until(int seconds) {
        while (time(nullptr) < t0 + seconds) show->collectFor(100);
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
    until(5);
    ASSERT_TRUE(clock.setOffset(3600));
    until(11);
    ASSERT_TRUE(clock.setOffset(3000));
    until(17);
    EXPECT_EQ("show", kivtest::playingPlaylist(d)) << "the slot is still open at either time";
    EXPECT_EQ(d.stop(SIGTERM), 0);

    auto runs = show->runs();
    ASSERT_EQ(1u, runs.size()) << show->describe();
    const SequenceRun& r = runs[0];
    EXPECT_EQ(0, r.firstFrame);
    // About 15 s of the sequence went by, frame after frame.
    EXPECT_GT(r.lastFrame, 400) << show->describe();
    EXPECT_LE(r.grid.skipped, kivtest::lateReads(d)) << show->describe();
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
    until(8);
    ASSERT_TRUE(clock.setOffset(3600));
    // early's end has passed, late's window is open
    EXPECT_TRUE(kivtest::waitUntil([&] { return kivtest::playingPlaylist(d) == "late"; }, 4000))
        << kivtest::commandText(d, {"Get Playlist Status"});
    until(16);
    ASSERT_TRUE(clock.setOffset(3000));
    until(26);  // late's start time came round again at t0 + 21
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
    EXPECT_LE(runs[1].grid.skipped, kivtest::lateReads(d)) << show->describe();
    EXPECT_LT(runs[1].grid.maxGapUs, 500000 + 2 * show->stallUs()) << show->describe();
    EXPECT_LT((runs[1].startUs - t0Us) / 1000000, 12) << "late started right after the forward step";
}

}  // namespace
