// Files changed under a playing show: a sequence cut short, overwritten or
// deleted while it plays, a playlist or schedule read while a save is half
// done, the media directory turned read-only. The real kivd plays a
// scheduled show to a DDP receiver on loopback; each case checks what the
// user sees afterwards.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "FaultSupport.h"
#include "KivdProcess.h"
#include "NetTestSupport.h"
#include "TestSupport.h"
#include "common.h"

namespace {

using kivtest::SequenceRun;
using kivtest::ShowFrame;

constexpr int LONG_FRAMES = 240;   // 6 s at 25 ms
constexpr int SHORT_FRAMES = 80;   // 2 s

class FilesUnderTheShow : public ::testing::Test {
protected:
    void SetUp() override {
        if (!kivtest::slotFitsToday(-60, 600)) GTEST_SKIP() << "too close to midnight for a same-day slot";
        ShowSpec longSpec, shortSpec, otherSpec;
        longSpec.frames = LONG_FRAMES;
        // 4096 channels make blocks of 16 frames: the reader is still
        // blocks behind the end when the file changes under it.
        longSpec.channels = 4096;
        shortSpec.frames = SHORT_FRAMES;
        otherSpec = longSpec;
        show.reset(new kivtest::ShowUnderTest(media.path(), {"long.hseq", "short.hseq", "other.hseq"},
                                              {longSpec, shortSpec, otherSpec}, 202));
        ASSERT_TRUE(show->ok());
        show->writePlaylist("show", {0, 1});
        show->writeOutputs();
    }

    bool start(kivtest::KivdProcess& d, const std::vector<std::string>& args = {"-f", "--log-level", "debug:Sequence"}) {
        return d.start(args) && d.waitReady();
    }

    // The runs of one sequence, in order.
    std::vector<SequenceRun> runsOf(int sequence) {
        std::vector<SequenceRun> out;
        for (auto& r : show->runs())
            if (r.sequence == sequence) out.push_back(r);
        return out;
    }

    // Frames that are neither blank nor a frame of a known sequence.
    int garbageFrames() {
        int n = 0;
        for (auto& f : show->seen())
            if (!f.blank && (f.sequence < 0 || !f.exact)) ++n;
        return n;
    }

    kivtest::TempMediaDir media;
    std::unique_ptr<kivtest::ShowUnderTest> show;
};

TEST_F(FilesUnderTheShow, SequenceCutShortWhilePlayingHoldsItsLastFrameWarnsAndTheNextEntryStartsOnTime) {
    show->writeSchedule({kivtest::scheduleRow("show", -60, 600, "Hard")});
    kivtest::KivdProcess d(media.path());
    ASSERT_TRUE(start(d)) << d.output();
    ASSERT_TRUE(show->waitForFrame(0, 40, 10000));
    struct stat st;
    ASSERT_EQ(0, stat(show->sequences().path(0).c_str(), &st));
    ASSERT_EQ(0, truncate(show->sequences().path(0).c_str(), st.st_size * 4 / 10));
    ASSERT_TRUE(show->waitForFrame(1, SHORT_FRAMES - 1, 15000)) << show->describe() << d.log();
    show->collectFor(500);

    auto cut = runsOf(0), next = runsOf(1);
    ASSERT_FALSE(cut.empty());
    ASSERT_FALSE(next.empty());
    EXPECT_EQ(0, cut[0].firstFrame);
    EXPECT_GE(cut[0].lastFrame, 40);
    EXPECT_LT(cut[0].lastFrame, LONG_FRAMES - 1) << "the cut part cannot have played";
    // Before the cut, only frames the player said it could not read in time
    // or jumped over to keep its clock (a busy machine) may be missing.
    EXPECT_LE(kivtest::unexplainedSkips(cut[0].grid, d), kivtest::lateReads(d, cut[0].lastFrame)) << show->describe();
    EXPECT_EQ(0, garbageFrames()) << show->describe();
    // The last good frame held until the sequence's own end: the next entry
    // starts when it would have.
    double startsAfterMs = (next[0].startUs - cut[0].startUs) / 1000.0;
    EXPECT_NEAR(startsAfterMs, LONG_FRAMES * 25, 1000 + 2 * show->stallUs() / 1000.0) << show->describe();
    EXPECT_TRUE(kivtest::hasWarning(d, "Sequence file long.hseq cannot be read from frame"))
        << kivtest::commandText(d, {"Get Warnings"});
    // Named once per damaged block and play, not once per frame held, at
    // debug level too (a slow machine may have begun another play of the
    // file by now).
    int plays = (int)runsOf(0).size() + 1;
    std::string log = d.log();
    int lines = 0;
    for (auto& line : split(log, '\n'))
        if (line.find("long.hseq") != std::string::npos && line.find("[Sequence]") != std::string::npos) ++lines;
    EXPECT_LT(lines, 20 * plays) << log;
    EXPECT_TRUE(d.running());
    EXPECT_EQ(d.stop(SIGTERM), 0);
}

TEST_F(FilesUnderTheShow, SequenceOverwrittenWhilePlayingNeverSendsGarbage) {
    show->writeSchedule({kivtest::scheduleRow("show", -60, 600, "Hard")});
    kivtest::KivdProcess d(media.path());
    ASSERT_TRUE(start(d)) << d.output();
    ASSERT_TRUE(show->waitForFrame(0, 40, 10000));
    // Copied over the playing file: same inode, other bytes (an upload
    // that rewrites the file in place).
    ASSERT_EQ(0, kivtest::runCommand("cp '" + show->sequences().path(2) + "' '" + show->sequences().path(0) + "'"));
    ASSERT_TRUE(show->waitForFrame(1, SHORT_FRAMES - 1, 15000)) << show->describe() << d.log();
    // The next loop plays the new content of the file.
    ASSERT_TRUE(show->waitForFrame(2, 30, 10000)) << show->describe();
    EXPECT_EQ(0, garbageFrames()) << show->describe();
    auto runs = runsOf(1);
    ASSERT_FALSE(runs.empty());
    EXPECT_NEAR((runs[0].startUs - runsOf(0)[0].startUs) / 1000.0, LONG_FRAMES * 25, 1000 + 2 * show->stallUs() / 1000.0)
        << show->describe();
    EXPECT_TRUE(d.running());
    EXPECT_EQ(d.stop(SIGTERM), 0);
}

TEST_F(FilesUnderTheShow, SequenceDeletedWhilePlayingEndsWholeAndTheNextLoopSaysItIsMissing) {
    show->writeSchedule({kivtest::scheduleRow("show", -60, 600, "Hard")});
    kivtest::KivdProcess d(media.path());
    ASSERT_TRUE(start(d)) << d.output();
    ASSERT_TRUE(show->waitForFrame(0, 40, 10000));
    std::string kept = GetFileContents(show->sequences().path(0));
    ASSERT_EQ(0, unlink(show->sequences().path(0).c_str()));
    // The open file plays to its end; the show goes on with what is left.
    ASSERT_TRUE(show->waitForFrame(1, SHORT_FRAMES - 1, 15000)) << show->describe() << d.log();
    ASSERT_TRUE(kivtest::waitUntil([&] { return kivtest::hasWarning(d, "long.hseq does not exist"); }, 10000))
        << kivtest::commandText(d, {"Get Warnings"});
    ASSERT_TRUE(show->waitForFrame(1, SHORT_FRAMES - 1, 10000)) << "the short entry plays on alone";
    auto first = runsOf(0);
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(LONG_FRAMES, first[0].grid.frames) << show->describe();
    EXPECT_EQ(LONG_FRAMES - 1, first[0].lastFrame);
    // Put back, it plays in a later loop.
    PutFileContents(show->sequences().path(0), kept);
    EXPECT_TRUE(show->waitForFrame(0, 20, 15000)) << show->describe();
    EXPECT_EQ(0, garbageFrames());
    EXPECT_EQ(d.stop(SIGTERM), 0);
}

TEST_F(FilesUnderTheShow, PlaylistHalfWrittenWhenItsSlotOpensPlaysOnceTheSaveCompletes) {
    std::string whole = GetFileContents(media.file("/playlists/show.json"));
    media.write("/playlists/show.json", whole.substr(0, whole.size() / 2));
    time_t opens = time(nullptr) + 3;
    show->writeSchedule({kivtest::scheduleRow("show", 3, 600, "Hard")});
    kivtest::KivdProcess d(media.path());
    ASSERT_TRUE(start(d)) << d.output();
    ASSERT_TRUE(kivtest::waitUntil([&] { return time(nullptr) > opens + 1; }, 10000));
    ASSERT_TRUE(kivtest::waitUntil([&] { return kivtest::hasWarning(d, "Scheduled Playlist 'show' could not start"); },
                                   5000))
        << kivtest::commandText(d, {"Get Warnings"});
    EXPECT_EQ("", kivtest::playingPlaylist(d));
    // The save completes: the slot is still open, so the show starts.
    media.write("/playlists/show.json", whole);
    ASSERT_TRUE(show->waitForFrame(0, 10, 10000)) << d.log();
    EXPECT_EQ("show", kivtest::playingPlaylist(d));
    EXPECT_FALSE(kivtest::hasWarning(d, "could not start"));
    EXPECT_EQ(d.stop(SIGTERM), 0);
}

TEST_F(FilesUnderTheShow, ScheduleHalfWrittenKeepsItsRowsUntilTheSaveCompletes) {
    show->writePlaylist("other", {1});
    show->writeSchedule({kivtest::scheduleRow("show", -60, 600, "Hard")});
    kivtest::KivdProcess d(media.path());
    ASSERT_TRUE(start(d)) << d.output();
    ASSERT_TRUE(show->waitForFrame(0, 10, 10000));
    std::string next = "[" + kivtest::scheduleRow("other", -60, 600, "Hard") + "]";
    media.write("/config/schedule.json", next.substr(0, next.size() / 2));
    ASSERT_TRUE(kivtest::waitUntil([&] { return kivtest::hasWarning(d, "Schedule file is not valid"); }, 5000));
    EXPECT_EQ("show", kivtest::playingPlaylist(d)) << "the rows loaded before stay in force";
    media.write("/config/schedule.json", next);
    // "other" is a new row of the new schedule whose window is open: it
    // takes over when "show" gives way at the end of its slot or now.
    ASSERT_TRUE(kivtest::waitUntil([&] { return !kivtest::hasWarning(d, "Schedule file is not valid"); }, 5000));
    std::string sched = kivtest::commandText(d, {"Get Schedule"});
    EXPECT_NE(std::string::npos, sched.find("\"other\"")) << sched;
    EXPECT_EQ(d.stop(SIGTERM), 0);
}

TEST_F(FilesUnderTheShow, ReadOnlyMediaDirectoryKeepsTheShowAndTheLogCatchesUpAfterwards) {
    if (!kivtest::isRoot()) GTEST_SKIP() << "needs root to remount the media directory";
    show->writeSchedule({kivtest::scheduleRow("show", -60, 600, "Hard")});
    kivtest::ReadOnlySwitch ro(media.path());
    ASSERT_TRUE(ro.ok()) << ro.error();
    kivtest::KivdProcess d(media.path());
    // Playlist lines at debug level make the log busy while it cannot be written.
    ASSERT_TRUE(start(d, {"-f", "--log-level", "debug:Playlist,Sequence"})) << d.output();
    ASSERT_TRUE(show->waitForFrame(0, 40, 10000));
    ASSERT_TRUE(ro.setReadOnly(true)) << ro.error();
    // Entries change and the loop comes round: reading needs no writing.
    ASSERT_TRUE(show->waitForFrame(1, SHORT_FRAMES - 1, 15000)) << show->describe();
    ASSERT_TRUE(show->waitForFrame(0, 40, 15000)) << show->describe();
    const std::string warning = "cannot be written (Read-only file system); log lines are being lost";
    EXPECT_TRUE(kivtest::waitUntil([&] { return kivtest::hasWarning(d, warning); }, 5000))
        << kivtest::commandText(d, {"Get Warnings"});
    ASSERT_TRUE(ro.setReadOnly(false)) << ro.error();
    EXPECT_TRUE(kivtest::waitUntil([&] { return !kivtest::hasWarning(d, warning); }, 5000));
    std::string log = d.log();
    EXPECT_NE(std::string::npos, log.find("log lines could not be written to this file (Read-only file system)"))
        << tail(log, 2000);
    std::string why;
    EXPECT_TRUE(kivtest::logIsWholeLines(log, &why)) << why;
    for (auto& r : show->runs()) {
        EXPECT_LE(kivtest::unexplainedSkips(r.grid, d), kivtest::lateReads(d)) << show->describe();
        // A show that stopped and then jumped to its clock would explain
        // what it left out; the gap tells.
        if (kivtest::TIMING_JUDGED) {
            EXPECT_LT(r.grid.maxGapUs, 500000 + 2 * show->stallUs()) << show->describe();
        }
    }
    EXPECT_EQ(0, garbageFrames());
    EXPECT_EQ(d.stop(SIGTERM), 0);
}

}  // namespace
