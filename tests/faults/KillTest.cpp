// The power goes, or the daemon is killed, at a random moment of the night;
// it is started again. Every file it writes must be whole, and the open
// slot must play again.

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdlib>

#include "FaultSupport.h"
#include "KivdProcess.h"
#include "TestSupport.h"
#include "common.h"

namespace {

TEST(Kill, KilledAtRandomMomentsLeavesWholeFilesAndTheSlotResumes) {
    if (!kivtest::slotFitsToday(-60, 600)) GTEST_SKIP() << "too close to midnight for a same-day slot";
    kivtest::TempMediaDir media;
    ShowSpec a, b;
    a.frames = b.frames = 80;
    kivtest::ShowUnderTest show(media.path(), {"a.hseq", "b.hseq"}, {a, b}, 207);
    ASSERT_TRUE(show.ok());
    show.writePlaylist("show", {0, 1});
    show.writeOutputs();
    unsigned seed = (unsigned)getpid();
    std::cout << "seed " << seed << "\n";
    std::string install;
    for (int round = 0; round < 8; ++round) {
        // The warnings change from round to round, so the warnings file is
        // rewritten around the moments the daemon is killed.
        std::vector<std::string> rows{kivtest::scheduleRow("show", -60, 600, "Hard")};
        for (int g = 0; g < round % 3; ++g) rows.push_back(kivtest::scheduleRow("ghost" + std::to_string(g), 100, 200, "Hard"));
        show.writeSchedule(rows);
        kivtest::KivdProcess d(media.path());
        ASSERT_TRUE(d.start({"-f", "--log-level", "debug:Schedule,Playlist,Sequence"}));
        // Killed anywhere from start-up to well into the show.
        usleep(50000 + rand_r(&seed) % 2500000);
        kill(d.pid(), SIGKILL);
        d.waitExit(5000);
        std::string why;
        EXPECT_TRUE(kivtest::jsonFileIsWhole(d.installDir() + "/www/warnings.json", &why)) << "round " << round << why;
        EXPECT_TRUE(kivtest::jsonFileIsWhole(media.file("/kiv-info.json"), &why)) << why;
        EXPECT_TRUE(kivtest::logIsWholeLines(d.log(), &why)) << "round " << round << ": " << why;
    }
    // Started once more it plays the open slot from the top.
    show.collect();
    size_t before = show.seen().size();
    kivtest::KivdProcess d(media.path());
    ASSERT_TRUE(d.start({"-f"}) && d.waitReady()) << d.output();
    EXPECT_TRUE(show.waitForFrame(0, 20, 10000));
    EXPECT_EQ("show", kivtest::playingPlaylist(d));
    std::string why;
    EXPECT_TRUE(kivtest::logIsWholeLines(d.log(), &why)) << why;
    EXPECT_EQ(d.stop(SIGTERM), 0);
    EXPECT_GT(show.seen().size(), before);
    // Nothing half-saved is left lying about.
    std::string listing;
    kivtest::runCommand("ls -A '" + media.path() + "' '" + media.file("/config") + "'", &listing);
    EXPECT_EQ(std::string::npos, listing.find(".tmp-")) << listing;
}

}  // namespace
