// Controllers that go away and come back while the show plays, and ones
// that take data but never answer a ping. The controllers live in network
// namespaces joined to the test's by veth pairs; the daemon's show
// interface is the first pair, a controller on loopback stands for the
// rest of the display.

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <map>
#include <memory>

#include "FaultSupport.h"
#include "KivdProcess.h"
#include "NetTestSupport.h"
#include "TestSupport.h"
#include "common.h"

namespace {

using kivtest::ShowFrame;

TEST(Controllers, OneGoesAwayAndComesBackInStepWhileSilentOnesNeverHoldUpTheShow) {
    if (!kivtest::isRoot()) GTEST_SKIP() << "needs root for network namespaces";
    if (!kivtest::slotFitsToday(-60, 600)) GTEST_SKIP() << "too close to midnight for a same-day slot";
    int pid = getpid() % 100000;
    std::string sub = std::to_string(getpid() % 200 + 20);
    std::string showIf = "kfa" + std::to_string(pid), flakyIf = "kfai" + std::to_string(pid);
    // The show network: one controller that will go away.
    kivtest::VethNamespace showNet("kivfa" + std::to_string(pid), showIf, flakyIf, "10.214." + sub + ".1",
                                   "10.214." + sub + ".2");
    ASSERT_TRUE(showNet.ok()) << showNet.error();
    // Another network of controllers that never answer a ping.
    kivtest::VethNamespace silentNet("kivfb" + std::to_string(pid), "kfb" + std::to_string(pid),
                                     "kfbi" + std::to_string(pid), "10.215." + sub + ".1", "10.215." + sub + ".2");
    ASSERT_TRUE(silentNet.ok()) << silentNet.error();
    ASSERT_EQ(0, silentNet.exec("sysctl -qw net.ipv4.icmp_echo_ignore_all=1"));
    std::vector<std::string> silent;
    for (int i = 2; i <= 6; ++i) {
        silent.push_back("10.215." + sub + "." + std::to_string(i));
        if (i > 2) {
            ASSERT_EQ(0, silentNet.exec("ip addr add " + silent.back() + "/24 dev kfbi" + std::to_string(pid)));
        }
    }
    const std::string flakyAddr = "10.214." + sub + ".2";

    kivtest::TempMediaDir media;
    std::vector<ShowSpec> specs(3);
    for (auto& s : specs) s.frames = 40;  // 1 s each: an entry change every second
    kivtest::ShowUnderTest show(media.path(), {"s0.hseq", "s1.hseq", "s2.hseq"}, specs, 206);
    ASSERT_TRUE(show.ok());
    show.writePlaylist("show", {0, 1, 2});
    auto ddp = [](const std::string& desc, const std::string& addr, int monitor) {
        return R"({"description": ")" + desc + R"(", "type": 4, "address": ")" + addr +
               R"(", "startChannel": 1, "channelCount": 512, "monitor": )" + std::to_string(monitor) + "}";
    };
    // Four silent controllers are watched; the fifth is not ("monitor": 0),
    // as a user sets it for a controller known not to answer pings.
    std::string universes = ddp("flaky", flakyAddr, 1);
    for (size_t i = 0; i < silent.size(); ++i)
        universes += "," + ddp("silent" + std::to_string(i), silent[i], i + 1 < silent.size() ? 1 : 0);
    show.writeOutputs(universes, R"("interface": ")" + showIf + R"(", )");
    show.writeSchedule({kivtest::scheduleRow("show", -60, 600, "Hard")});

    std::unique_ptr<kivtest::UdpReceiver> flakyRx, unwatchedRx;
    showNet.runInside([&] { flakyRx.reset(new kivtest::UdpReceiver(flakyAddr, 4048)); });
    silentNet.runInside([&] { unwatchedRx.reset(new kivtest::UdpReceiver(silent.back(), 4048)); });
    ASSERT_TRUE(flakyRx->ok() && unwatchedRx->ok());

    kivtest::KivdProcess d(media.path());
    ASSERT_TRUE(d.start({"-f", "--log-level", "debug:Sequence"}) && d.waitReady()) << d.output();
    ASSERT_TRUE(show.waitForFrame(0, 10, 10000));
    for (size_t i = 0; i + 1 < silent.size(); ++i) {
        EXPECT_TRUE(kivtest::hasWarning(d, "Cannot Ping DDP Channel Data Target " + silent[i] + " silent" +
                                               std::to_string(i)))
            << kivtest::commandText(d, {"Get Warnings"});
    }
    EXPECT_FALSE(kivtest::hasWarning(d, silent.back()));
    ASSERT_TRUE(flakyRx->waitFor(20, 5000));

    // The controller goes away: its link drops (a cable pulled, a switch
    // port off). The daemon notices, drops it with a warning, and the show
    // goes on everywhere else.
    const std::string flakyWarning = "Cannot Ping DDP Channel Data Target " + flakyAddr + " flaky";
    ASSERT_EQ(0, showNet.exec("ip link set " + flakyIf + " down"));
    EXPECT_TRUE(kivtest::waitUntil([&] { return kivtest::hasWarning(d, flakyWarning); }, 60000));
    show.collectFor(2000);
    flakyRx->take();
    ASSERT_EQ(0, showNet.exec("ip link set " + flakyIf + " up"));
    EXPECT_TRUE(kivtest::waitUntil([&] { return !kivtest::hasWarning(d, flakyWarning); }, 45000));
    EXPECT_TRUE(flakyRx->waitFor(40, 5000)) << "frames reach the controller again";
    show.collectFor(1000);
    auto back = show.sequences().decode(flakyRx->take());
    size_t unwatched = unwatchedRx->count();
    EXPECT_EQ(d.stop(SIGTERM), 0);

    // Back in step: each frame the returned controller got, the controller
    // on loopback got at about the same moment.
    std::map<std::pair<int, int>, long long> nearAt;
    for (auto& f : show.seen())
        if (f.sequence >= 0) nearAt[{f.sequence, f.frame}] = f.timeUs;
    int inStep = 0, checked = 0;
    for (auto& f : back) {
        if (f.sequence < 0) continue;
        ++checked;
        auto it = nearAt.find({f.sequence, f.frame});
        if (it != nearAt.end() && std::llabs(it->second - f.timeUs) < 100000 + 2 * show.stallUs()) ++inStep;
    }
    EXPECT_GT(checked, 20);
    EXPECT_GE(inStep, checked - 2) << inStep << " of " << checked << " in step";
    // The unwatched silent controller got the whole show.
    EXPECT_GT(unwatched, show.seen().size() * 9 / 10) << unwatched << " of " << show.seen().size();
    // Through it all, every entry played whole and the next one followed at
    // once: nothing that pings controllers held up the playlist.
    auto runs = show.runs();
    ASSERT_GT(runs.size(), 10u);
    long long prevEnd = 0;
    for (auto& r : runs) {
        if (!kivtest::TIMING_JUDGED) continue;
        EXPECT_LE(kivtest::unexplainedSkips(r.grid, d), kivtest::lateReads(d)) << show.describe();
        EXPECT_LT(r.grid.maxGapUs, 300000 + 2 * show.stallUs()) << show.describe();
        if (prevEnd) {
            EXPECT_LT(r.startUs - prevEnd, 300000 + 2 * show.stallUs()) << show.describe();
        }
        prevEnd = r.endUs;
    }
}

}  // namespace
