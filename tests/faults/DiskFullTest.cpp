// The card fills up while the show plays: the media and installation
// directories live on a small tmpfs that the test fills to the last byte.
// The files the daemon writes keep their last good content, the show plays
// on, the user is told, and writing resumes when space is back; an upload
// that does not fit leaves nothing behind.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "FaultSupport.h"
#include "HttpClient.h"
#include "KivdProcess.h"
#include "NetTestSupport.h"
#include "TestSupport.h"
#include "common.h"

namespace {

constexpr const char* LOG_WARNING = "cannot be written (No space left on device); log lines are being lost";

class DiskFull : public ::testing::Test {
protected:
    void SetUp() override {
        if (!kivtest::isRoot()) GTEST_SKIP() << "needs root to mount a tmpfs";
        if (!kivtest::slotFitsToday(-60, 600)) GTEST_SKIP() << "too close to midnight for a same-day slot";
        disk.reset(new kivtest::TmpfsMount(4 * 1024 * 1024));
        ASSERT_TRUE(disk->ok()) << disk->error();
        mediaDir = disk->path() + "/media";
        for (auto sub : {"", "/sequences", "/playlists", "/logs", "/tmp"}) mkdir((mediaDir + sub).c_str(), 0775);
        // The configuration lives on another disk, so the test can change
        // the schedule while this one is full.
        ASSERT_EQ(0, symlink(elsewhere.file("/config").c_str(), (mediaDir + "/config").c_str()));
        ShowSpec a;
        a.frames = 400;
        show.reset(new kivtest::ShowUnderTest(mediaDir, {"a.hseq"}, {a}, 204));
        ASSERT_TRUE(show->ok());
        show->writePlaylist("show", {0});
        show->writeOutputs();
    }

    // The show's row and `ghosts` rows naming playlists that do not exist,
    // each of which becomes a warning of 100 bytes in the warnings file.
    void writeSchedule(int ghosts) {
        std::vector<std::string> rows{kivtest::scheduleRow("show", -60, 600, "Hard")};
        for (int i = 0; i < ghosts; ++i) {
            char name[64];
            snprintf(name, sizeof(name), "ghost-%02d-%s", i, std::string(50, 'g').c_str());
            rows.push_back(kivtest::scheduleRow(name, 100, 200, "Hard"));
        }
        show->writeSchedule(rows);
    }

    int ghostsIn(const std::string& text) {
        int n = 0;
        for (size_t p = text.find("ghost-"); p != std::string::npos; p = text.find("ghost-", p + 1)) ++n;
        return n;
    }

    void settingsForHttp(kivtest::KivdProcess& d) {
        PutFileContents(mediaDir + "/settings", "HTTPBindAddress = " + d.httpAddress() +
                                                    "\nHTTPPort = " + std::to_string(d.httpPort()) + "\n");
    }

    kivtest::TempMediaDir elsewhere;
    std::unique_ptr<kivtest::TmpfsMount> disk;
    std::string mediaDir;
    std::unique_ptr<kivtest::ShowUnderTest> show;
};

TEST_F(DiskFull, FilesKeepTheirLastGoodContentTheShowPlaysOnAndWritingResumes) {
    // 38 warnings of 100 bytes nearly fill one page of the warnings file;
    // 48 need a second page that a full disk does not have.
    writeSchedule(38);
    kivtest::KivdProcess d(mediaDir, disk->path());
    settingsForHttp(d);
    ASSERT_TRUE(d.start({"-f", "--log-level", "debug:Sequence"}) && d.waitReady()) << d.output();
    std::string warningsFile = d.installDir() + "/www/warnings.json";
    ASSERT_TRUE(kivtest::waitUntil([&] { return ghostsIn(GetFileContents(warningsFile)) == 38; }, 5000));
    ASSERT_TRUE(show->waitForFrame(0, 20, 10000));
    std::string settings = GetFileContents(mediaDir + "/settings");
    std::string warningsBefore = GetFileContents(warningsFile);

    {
        kivtest::DiskFiller filler(disk->path());
        ASSERT_TRUE(filler.full());
        // A reload writes the schedule table to the log and ten more
        // warnings to the warnings file; neither fits.
        writeSchedule(48);
        ASSERT_TRUE(kivtest::waitUntil([&] { return ghostsIn(kivtest::commandText(d, {"Get Warnings"})) == 48; },
                                       5000));
        EXPECT_TRUE(kivtest::waitUntil([&] { return kivtest::hasWarning(d, LOG_WARNING); }, 5000))
            << kivtest::commandText(d, {"Get Warnings"});
        show->collectFor(1000);
        std::string why;
        EXPECT_EQ(warningsBefore, GetFileContents(warningsFile)) << "the warnings file lost its last good content";
        EXPECT_TRUE(kivtest::logIsWholeLines(d.log(), &why)) << why;
        EXPECT_TRUE(d.running());
    }
    // Space is back: the warnings file catches up and the log notes the gap.
    EXPECT_TRUE(kivtest::waitUntil([&] { return ghostsIn(GetFileContents(warningsFile)) == 48; }, 8000))
        << GetFileContents(warningsFile);
    EXPECT_TRUE(kivtest::waitUntil([&] { return !kivtest::hasWarning(d, LOG_WARNING); }, 5000));
    std::string why, log = d.log();
    EXPECT_TRUE(kivtest::jsonFileIsWhole(warningsFile, &why)) << why;
    EXPECT_NE(std::string::npos, log.find("log lines could not be written to this file (No space left on device)"))
        << tail(log, 2000);
    EXPECT_TRUE(kivtest::logIsWholeLines(log, &why)) << why;
    EXPECT_EQ(settings, GetFileContents(mediaDir + "/settings"));
    // The show never stopped.
    show->collectFor(500);
    auto runs = show->runs();
    ASSERT_FALSE(runs.empty());
    for (auto& r : runs) {
        EXPECT_LE(kivtest::unexplainedSkips(r.grid, d), kivtest::lateReads(d)) << show->describe();
        // A player that stopped and then jumped ahead to its clock would
        // explain the frames it left out; the gap tells.
        if (kivtest::TIMING_JUDGED) {
            EXPECT_LT(r.grid.maxGapUs, 500000 + 2 * show->stallUs()) << show->describe();
        }
    }
    EXPECT_EQ(0, runs[0].firstFrame);
    EXPECT_EQ(d.stop(SIGTERM), 0);
}

TEST_F(DiskFull, DaemonStartedOnAFullCardPlaysTheShow) {
    writeSchedule(0);
    kivtest::KivdProcess d(mediaDir, disk->path());
    settingsForHttp(d);
    kivtest::DiskFiller filler(disk->path());
    ASSERT_TRUE(filler.full());
    ASSERT_TRUE(d.start({"-f"}) && d.waitReady()) << d.output();
    ASSERT_TRUE(show->waitForFrame(0, 40, 10000)) << d.output();
    EXPECT_TRUE(kivtest::waitUntil([&] { return kivtest::hasWarning(d, LOG_WARNING); }, 5000))
        << kivtest::commandText(d, {"Get Warnings"});
    filler.release();
    EXPECT_TRUE(kivtest::waitUntil([&] { return !kivtest::hasWarning(d, LOG_WARNING); }, 5000))
        << kivtest::commandText(d, {"Get Warnings"}) << "\n" << tail(d.log(), 2000) << tail(d.output(), 1500);
    std::string why;
    EXPECT_TRUE(kivtest::jsonFileIsWhole(d.installDir() + "/www/warnings.json", &why)) << why;
    EXPECT_TRUE(kivtest::logIsWholeLines(d.log(), &why)) << why;
    EXPECT_NE(std::string::npos, d.log().find("log lines could not be written to this file"));
    EXPECT_EQ(d.stop(SIGTERM), 0);
}

TEST_F(DiskFull, UploadThatRunsOutOfSpaceLeavesNoFileAndTheNextOneThatFitsIsWritten) {
    writeSchedule(0);
    kivtest::KivdProcess d(mediaDir, disk->path());
    settingsForHttp(d);
    ASSERT_TRUE(d.start({"-f"}) && d.waitReady()) << d.output();
    ASSERT_TRUE(show->waitForFrame(0, 20, 10000));
    struct statvfs fs;
    ASSERT_EQ(0, statvfs(mediaDir.c_str(), &fs));
    std::string tooBig((size_t)fs.f_bavail * fs.f_frsize + (1 << 20), 'x');
    std::string music = mediaDir + "/music";
    struct Case {
        const char* what;
        std::vector<std::string> headers;
        const char* says;  // in the answer
    };
    const Case cases[] = {
        {"length announced: refused on the head", {"X-Requested-With: t"}, "free on the disk"},
        {"length unknown: runs out while it arrives", {"X-Requested-With: t", "Transfer-Encoding: chunked"},
         "No space left on device after"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto r = kivtest::httpRequest("PUT", d.httpUrl("/kivd/files/music/big.mp3"), tooBig, c.headers, 60000);
        EXPECT_EQ(r.status, 507) << r.error;
        std::string error = LoadJsonFromString(r.body)["error"].asString();
        EXPECT_EQ(0u, error.find("Not enough space for big.mp3: ")) << error;
        EXPECT_NE(std::string::npos, error.find(c.says)) << error;
        // Neither the name nor the temporary beside it.
        EXPECT_EQ(0, kivtest::countDirectoryEntries(music));
    }
    std::string fits(256 << 10, 0);
    for (size_t i = 0; i < fits.size(); ++i) fits[i] = (char)(i * 7 + (i >> 11));
    EXPECT_EQ(kivtest::httpRequest("PUT", d.httpUrl("/kivd/files/music/fits.mp3"), fits, {"X-Requested-With: t"}).status,
              201);
    EXPECT_TRUE(GetFileContents(music + "/fits.mp3") == fits);
    EXPECT_EQ(1, kivtest::countDirectoryEntries(music));
    // One line for each failed upload, and the log whole.
    std::string log = d.log(), why;
    size_t lines = 0;
    for (size_t p = log.find("Upload of music/big.mp3"); p != std::string::npos; p = log.find("Upload of music/big.mp3", p + 1)) ++lines;
    EXPECT_EQ(2u, lines) << tail(log, 2000);
    EXPECT_TRUE(kivtest::logIsWholeLines(log, &why)) << why;
    show->collectFor(500);
    auto runs = show->runs();
    ASSERT_FALSE(runs.empty());
    EXPECT_EQ(0, runs[0].firstFrame);
    for (auto& r : runs) EXPECT_LE(kivtest::unexplainedSkips(r.grid, d), kivtest::lateReads(d)) << show->describe();
    EXPECT_EQ(d.stop(SIGTERM), 0);
}

}  // namespace
