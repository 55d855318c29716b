// The real kivd with a real mosquitto broker on a loopback address: what a
// home-automation subscriber sees while the daemon starts, plays, warns,
// stops or dies, commands sent through the broker, and a broker that goes
// away in the middle of a show.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <map>

#include "CaptureOutput.h"
#include "FaultSupport.h"
#include "KivdProcess.h"
#include "MqttTestSupport.h"
#include "StallMeter.h"
#include "TestSupport.h"
#include "common.h"
#include "hseq/ShowGenerator.h"
#include "monitor/PacketDecoder.h"

using kivtest::MosquittoBroker;
using kivtest::MqttMessage;
using kivtest::MqttSubscriber;

namespace {

const std::string BASE = "show/kivd/board1/";

std::string lo(int n) { return "127.205." + std::to_string(1 + getpid() % 250) + "." + std::to_string(n); }

class MqttEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (!MosquittoBroker::available()) GTEST_SKIP() << "mosquitto is not installed";
        ASSERT_TRUE(broker.start()) << broker.log();
        spec.channels = 512;
        spec.frames = 640;  // 16 s at 25 ms
        spec.stepMs = 25;
        spec.seed = 5;
        ASSERT_TRUE(GenerateShow(media.file("/sequences/show.hseq"), spec));
        media.write("/playlists/evening.json",
                    R"({"mainPlaylist": [{"type": "sequence", "sequenceName": "show.hseq"}]})");
    }
    void writeSettings(const std::string& extra = "") {
        media.write("/settings", "HostName = board1\nMQTTHost = " + broker.address() +
                                     "\nMQTTPort = 1883\nMQTTPrefix = show\n" + extra);
    }
    void startDaemon() {
        ASSERT_TRUE(d.start({"-f"}));
        ASSERT_TRUE(d.waitReady()) << d.output();
    }
    int kivcmd(const std::vector<std::string>& args, std::string* out = nullptr) { return d.command(args, out, 10); }

    MosquittoBroker broker;
    kivtest::TempMediaDir media;
    kivtest::KivdProcess d{media.path()};
    // A loaded machine runs the daemon's threads late: timing bounds widen
    // by twice the worst wake-up delay it gave a thread of this test.
    kivtest::StallMeter stalls;
    double slackSeconds() const { return 2 * stalls.worstUs() / 1e6; }
    ShowSpec spec;
};

double seconds(long long fromUs, long long toUs) { return (toUs - fromUs) / 1e6; }

}  // namespace

TEST_F(MqttEndToEnd, ReadyIsOneWhileRunningZeroAfterAStopAndTheWillWhenKilled) {
    writeSettings();
    MqttSubscriber sub(broker.address(), broker.port(), BASE + "#");
    ASSERT_TRUE(sub.waitConnected());
    startDaemon();
    int up = sub.waitFor(BASE + "ready", "1", 15000);
    ASSERT_GE(up, 0) << d.log();
    EXPECT_GE(sub.waitFor(BASE + "version", "", 5000), 0);
    EXPECT_GE(sub.waitFor(BASE + "branch", "", 5000), 0);
    EXPECT_EQ(d.stop(SIGTERM), 0);
    int down = sub.waitFor(BASE + "ready", "0", 10000, up);
    EXPECT_GT(down, up) << broker.log();
    // A clean stop: the broker saw the goodbye, so no will follows. (The
    // broker writes its log a moment after it has passed "ready" on.)
    EXPECT_TRUE(kivtest::waitUntil(
        [&] { return broker.log().find("Client kivd-board1 disconnected") != std::string::npos; }, 5000))
        << broker.log();

    size_t mark = sub.messages().size();
    startDaemon();
    up = sub.waitFor(BASE + "ready", "1", 15000, mark);
    ASSERT_GE(up, 0);
    d.stop(SIGKILL);
    // Killed: the broker publishes the last will.
    EXPECT_GT(sub.waitFor(BASE + "ready", "0", 15000, up), up) << broker.log();
}

TEST_F(MqttEndToEnd, AWarningIsPublishedWhenItAppearsAndWhenItGoes) {
    writeSettings();
    media.write("/config/schedule.json", R"([{"playlist": "ghost", "day": "Everyday", "startTime": "00:00:00",
        "endTime": "00:00:01", "repeat": false, "stopType": "Graceful"}])");
    MqttSubscriber sub(broker.address(), broker.port(), BASE + "#");
    ASSERT_TRUE(sub.waitConnected());
    startDaemon();
    const std::string warning = "Scheduled Playlist 'ghost' does not exist";
    ASSERT_TRUE(kivtest::waitUntil(
        [&] {
            for (auto& m : sub.messages(BASE + "warnings"))
                if (m.payload.find(warning) != std::string::npos) return true;
            return false;
        },
        15000))
        << d.log();
    size_t mark = sub.messages().size();
    media.write("/playlists/ghost.json", R"({"mainPlaylist": [{"type": "sequence", "sequenceName": "show.hseq"}]})");
    ASSERT_EQ(kivcmd({"Reload Schedule"}), 0);
    int gone = sub.waitFor(BASE + "warnings", "[]", 15000, mark);
    EXPECT_GE(gone, 0) << d.log();
    // A late subscriber is told the current list by the broker.
    MqttSubscriber late(broker.address(), broker.port(), BASE + "warnings");
    int i = late.waitFor(BASE + "warnings", "", 10000);
    ASSERT_GE(i, 0);
    EXPECT_EQ(late.messages()[i].payload, "[]");
    EXPECT_TRUE(late.messages()[i].retain);
}

TEST_F(MqttEndToEnd, PlaylistDetailsAndStatusComeAtTheConfiguredCadence) {
    writeSettings("MQTTFrequency = 1\nMQTTStatusFrequency = 2\n");
    MqttSubscriber sub(broker.address(), broker.port(), BASE + "#");
    ASSERT_TRUE(sub.waitConnected());
    startDaemon();
    int up = sub.waitFor(BASE + "ready", "1", 15000);
    ASSERT_GE(up, 0);
    long long readyAt = sub.messages()[up].timeUs;
    ASSERT_EQ(kivcmd({"Start Playlist", "evening"}), 0);
    ASSERT_TRUE(kivtest::waitUntil([&] { return sub.messages(BASE + "kivd_status").size() >= 3; }, 20000));

    auto details = sub.messages(BASE + "playlist_details");
    auto status = sub.messages(BASE + "kivd_status");
    ASSERT_GE(details.size(), 5u);
    // The publisher starts 3 s after the daemon is ready, then one interval
    // before the first of each.
    double slack = slackSeconds();
    EXPECT_NEAR(seconds(readyAt, details[0].timeUs), 4, 1.0 + slack);
    EXPECT_NEAR(seconds(readyAt, status[0].timeUs), 5, 1.0 + slack);
    for (size_t i = 1; i < 5; ++i) EXPECT_NEAR(seconds(details[i - 1].timeUs, details[i].timeUs), 1, 0.5 + slack);
    for (size_t i = 1; i < 3; ++i) EXPECT_NEAR(seconds(status[i - 1].timeUs, status[i].timeUs), 2, 0.5 + slack);

    Json::Value pl = LoadJsonFromString(details.back().payload);
    EXPECT_EQ(pl["playlist"].asString(), "evening");
    EXPECT_EQ(pl["statusName"].asString(), "playing");
    EXPECT_EQ(pl["currentEntry"]["sequenceName"].asString(), "show.hseq");
    EXPECT_EQ(pl["currentEntry"]["secondsTotal"].asInt(), 16);
    Json::Value st = LoadJsonFromString(status.back().payload);
    EXPECT_EQ(st["host_name"].asString(), "board1");
    EXPECT_EQ(st["current_sequence"]["name"].asString(), "show.hseq");
    // The sequence entry's own topic.
    EXPECT_GE(sub.waitFor(BASE + "playlist/sequence/status", "show.hseq", 5000), 0);
}

TEST_F(MqttEndToEnd, RestartAndStopRequestedThroughTheBroker) {
    writeSettings();
    MqttSubscriber sub(broker.address(), broker.port(), BASE + "#");
    ASSERT_TRUE(sub.waitConnected());
    startDaemon();
    int up = sub.waitFor(BASE + "ready", "1", 15000);
    ASSERT_GE(up, 0);
    pid_t pid = d.pid();
    ASSERT_TRUE(sub.publish(BASE + "system/kivd/restart", ""));
    int down = sub.waitFor(BASE + "ready", "0", 15000, up);
    ASSERT_GT(down, up) << d.log();
    // The same process, executed afresh, says ready again.
    int again = sub.waitFor(BASE + "ready", "1", 20000, down);
    ASSERT_GT(again, down) << d.log();
    EXPECT_TRUE(d.running());
    EXPECT_EQ(d.pid(), pid);
    EXPECT_NE(d.log().find("Restarting KIV for request:   /system/kivd/restart"), std::string::npos);

    ASSERT_TRUE(d.waitReady());
    ASSERT_TRUE(sub.publish(BASE + "system/kivd/stop", ""));
    EXPECT_EQ(d.waitExit(20000), 0) << d.log();
    EXPECT_NE(d.log().find("Stopping KIV for request:   /system/kivd/stop"), std::string::npos);
}

TEST_F(MqttEndToEnd, ABrokerAwayForTenSecondsCostsNoFrameAndPublishingResumes) {
    writeSettings("MQTTFrequency = 1\n");
    media.write("/config/channeloutputs.json", R"({"channelOutputs": [{"type": "UDP", "enabled": 1,
        "universes": [{"description": "yard", "type": 4, "address": ")" + lo(1) +
                                                   R"(", "startChannel": 1, "channelCount": 512}]}]})");
    kivtest::UdpReceiver ddp(lo(1), 4048);
    ASSERT_TRUE(ddp.ok());
    MqttSubscriber sub(broker.address(), broker.port(), BASE + "#");
    ASSERT_TRUE(sub.waitConnected());
    // The player's debug lines name each frame read too late for its period.
    ASSERT_TRUE(d.start({"-f", "--log-level", "debug:Sequence"}));
    ASSERT_TRUE(d.waitReady()) << d.output();
    ASSERT_GE(sub.waitFor(BASE + "playlist_details", "", 15000), 0);

    ASSERT_EQ(kivcmd({"Start Playlist", "evening"}), 0);
    usleep(2000000);
    broker.stop();
    usleep(10000000);
    ASSERT_TRUE(broker.start()) << broker.log();
    // Reconnected: a fresh subscriber gets the retained state again and
    // the cadence goes on.
    MqttSubscriber after(broker.address(), broker.port(), BASE + "#");
    EXPECT_GE(after.waitFor(BASE + "ready", "1", 30000), 0) << d.log();
    EXPECT_GE(after.waitFor(BASE + "playlist_details", "", 30000), 0);
    ASSERT_TRUE(kivtest::waitUntil(
        [&] {
            std::string s;
            kivcmd({"Get Playlist Status"}, &s);
            return LoadJsonFromString(s)["statusName"].asString() == "idle";
        },
        30000));
    usleep(300000);
    EXPECT_EQ(d.stop(SIGTERM), 0);

    // Every frame once, in order, on time.
    std::map<std::vector<uint8_t>, int> frameOf;
    std::vector<uint8_t> buf(spec.channels);
    for (uint32_t f = 0; f < spec.frames; ++f) {
        RenderShowFrame(spec, f, buf.data());
        frameOf[buf] = (int)f;
    }
    std::vector<std::pair<int, long long>> shown;
    int unknown = 0, repeats = 0, outOfOrder = 0;
    for (auto& g : ddp.take()) {
        DecodedPacket p = DecodeDDP(g.bytes.data(), g.bytes.size());
        if (!p.valid || !p.push || p.length != spec.channels) continue;
        std::vector<uint8_t> b(p.data, p.data + p.length);
        if (std::all_of(b.begin(), b.end(), [](uint8_t v) { return v == 0; })) continue;
        auto it = frameOf.find(b);
        if (it == frameOf.end()) {
            ++unknown;
        } else if (!shown.empty() && it->second == shown.back().first) {
            ++repeats;
        } else if (!shown.empty() && it->second < shown.back().first) {
            ++outOfOrder;
        } else {
            shown.push_back({it->second, g.timeUs});
        }
    }
    // A machine busy with other work may starve the reader, which then
    // skips a frame to keep time, or the player, which jumps ahead to its
    // clock; it says so either way. Any other frame missing is lost.
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.front().first, 0);
    EXPECT_EQ(shown.back().first, (int)spec.frames - 1);
    std::vector<int> delivered;
    for (auto& s : shown) delivered.push_back(s.first);
    int lost = kivtest::unexplainedSkips(delivered, kivtest::catchUpSeeks(d.log()));
    int lateReads = kivtest::lateReads(d.log());
    EXPECT_LE(lost, lateReads) << shown.size() << " frames delivered, " << lateReads << " read late";
    EXPECT_EQ(unknown + outOfOrder, 0);
    // Lateness against the show's own grid: a publication that waited for
    // the missing broker would hold frames for seconds.
    long long anchor = LLONG_MAX, worst = 0;
    for (auto& s : shown) anchor = std::min(anchor, s.second - s.first * 25000LL);
    for (auto& s : shown) worst = std::max(worst, s.second - s.first * 25000LL - anchor);
    EXPECT_LT(worst, 250000 + 2 * stalls.worstUs())
        << "latest frame " << worst << " us behind the grid (" << repeats << " held frames)";
}
