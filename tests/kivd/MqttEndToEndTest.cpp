// The real kivd with a real mosquitto broker on a loopback address: what a
// home-automation subscriber sees while the daemon starts, plays, warns,
// stops or dies, commands sent through the broker, and a broker that goes
// away in the middle of a show.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <map>
#include <set>

#include "CaptureOutput.h"
#include "FakeSysfs.h"
#include "FaultSupport.h"
#include "HttpClient.h"
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

// Home Assistant finds the board by itself: one device, an entity per
// state, sensor, button and select, each with what Home Assistant needs for
// its kind; its buttons and selects drive the show through topics under
// the board's own base; turning discovery off takes every entity away.
TEST_F(MqttEndToEnd, HomeAssistantFindsTheBoardAndDrivesTheShow) {
    kivtest::FakeSysfs sys{media.file("/sys")};
    mkdir(media.file("/effects").c_str(), 0775);
    ShowSpec wash = spec;
    wash.frames = 400;
    ASSERT_TRUE(GenerateShow(media.file("/effects/wash.hseq"), wash));
    writeSettings("HomeAssistantDiscovery = 1\nSysfsRoot = " + sys.root() + "\n");
    MqttSubscriber sub(broker.address(), broker.port(), "#");
    ASSERT_TRUE(sub.waitConnected());
    startDaemon();

    std::string sensors;
    ASSERT_EQ(kivcmd({"Get Sensors"}, &sensors), 0);
    const size_t sensorCount = LoadJsonFromString(sensors)["sensors"].size();
    ASSERT_GT(sensorCount, 0u);
    // Six states, the sensors, three buttons, two selects (no output ports: no switch).
    const size_t expected = 6 + sensorCount + 3 + 2;
    auto discovery = [&] {
        std::map<std::string, MqttMessage> docs;  // the latest on each topic
        for (auto& m : sub.messages()) {
            if (startsWith(m.topic, "homeassistant/") && endsWith(m.topic, "/config")) docs[m.topic] = m;
        }
        return docs;
    };
    ASSERT_TRUE(kivtest::waitUntil([&] { return discovery().size() >= expected; }, 15000)) << [&] {
        std::string topics;
        for (auto& t : discovery()) topics += t.first + "\n";
        return topics + d.log();
    }();
    std::string status;
    kivcmd({"Get Status"}, &status);
    const std::string version = LoadJsonFromString(status)["version"].asString();

    // The broker keeps them: a subscriber that comes later gets them all.
    MqttSubscriber kept(broker.address(), broker.port(), "homeassistant/#");
    ASSERT_TRUE(kept.waitConnected());
    ASSERT_TRUE(kivtest::waitUntil([&] { return kept.messages().size() >= expected; }, 5000));
    usleep(300000);
    std::map<std::string, MqttMessage> docs;
    for (auto& m : kept.messages()) docs[m.topic] = m;
    EXPECT_EQ(kept.messages().size(), expected);
    EXPECT_EQ(docs.size(), expected);
    std::set<std::string> ids;
    std::map<std::string, Json::Value> byId;
    for (auto& [topic, m] : docs) {
        SCOPED_TRACE(topic);
        EXPECT_TRUE(m.retain);
        Json::Value doc = LoadJsonFromString(m.payload);
        std::string component = topic.substr(14, topic.find('/', 14) - 14);
        std::string id = doc["unique_id"].asString();
        EXPECT_FALSE(id.empty());
        EXPECT_TRUE(ids.insert(id).second) << "unique_id used twice: " << id;
        byId[id] = doc;
        EXPECT_FALSE(doc["name"].asString().empty());
        const Json::Value& device = doc["device"];
        EXPECT_EQ(device["identifiers"][0].asString(), "kivd_board1");
        EXPECT_EQ(device["name"].asString(), "board1");
        EXPECT_EQ(device["sw_version"].asString(), version);
        EXPECT_FALSE(device["model"].asString().empty());
        EXPECT_EQ(device["configuration_url"].asString(),
                  "http://" + d.httpAddress() + ":" + std::to_string(d.httpPort()) + "/");
        EXPECT_EQ(doc["availability_topic"].asString(), BASE + "ready");
        EXPECT_EQ(doc["payload_available"].asString(), "1");
        EXPECT_EQ(doc["payload_not_available"].asString(), "0");
        // What each kind needs; every state and command topic is the board's own.
        if (component == "sensor") {
            EXPECT_TRUE(startsWith(doc["state_topic"].asString(), BASE));
        } else if (component == "button") {
            EXPECT_TRUE(startsWith(doc["command_topic"].asString(), BASE + "ha/"));
            EXPECT_EQ(doc["payload_press"].asString(), "PRESS");
        } else if (component == "select") {
            EXPECT_TRUE(startsWith(doc["command_topic"].asString(), BASE + "ha/"));
            EXPECT_TRUE(startsWith(doc["state_topic"].asString(), BASE + "ha/"));
            ASSERT_TRUE(doc["options"].isArray());
            EXPECT_EQ(doc["options"][0].asString(), "None");
        } else {
            ADD_FAILURE() << "unexpected component " << component;
        }
    }
    ASSERT_TRUE(byId.count("kivd_board1_start_playlist") && byId.count("kivd_board1_stop") &&
                byId.count("kivd_board1_effect") && byId.count("kivd_board1_status"));
    const Json::Value& select = byId["kivd_board1_start_playlist"];
    EXPECT_EQ(select["options"][1].asString(), "evening");
    EXPECT_EQ(byId["kivd_board1_effect"]["options"][1].asString(), "wash.hseq");
    // The sensors' documents carry their units; a temperature its class.
    int temperatures = 0;
    for (auto& [id, doc] : byId) {
        if (doc["device_class"].asString() != "temperature") continue;
        ++temperatures;
        EXPECT_EQ(doc["unit_of_measurement"].asString(), "°C");
        EXPECT_TRUE(startsWith(doc["state_topic"].asString(), BASE + "sensors/"));
    }
    EXPECT_EQ(temperatures, 1);
    const std::string statusTopic = byId["kivd_board1_status"]["state_topic"].asString();
    EXPECT_GE(sub.waitFor(statusTopic, "idle", 5000), 0);

    auto playerIs = [&](const std::string& state) {
        return kivtest::waitUntil(
            [&] {
                std::string s;
                kivcmd({"Get Playlist Status"}, &s);
                return LoadJsonFromString(s)["statusName"].asString() == state;
            },
            10000);
    };
    // A playlist that does not exist is refused; one that does starts.
    size_t mark = sub.messages().size();
    ASSERT_TRUE(sub.publish(select["command_topic"].asString(), "ghost"));
    ASSERT_TRUE(sub.publish(select["command_topic"].asString(), "evening"));
    ASSERT_TRUE(playerIs("playing")) << d.log();
    std::string playlist;
    kivcmd({"Get Playlist Status"}, &playlist);
    EXPECT_EQ(LoadJsonFromString(playlist)["playlist"].asString(), "evening");
    EXPECT_NE(d.log().find("Home Assistant request on /ha/start_playlist/set refused (no playlist named \"ghost\")"),
              std::string::npos)
        << d.log();
    EXPECT_GE(sub.waitFor(statusTopic, "playing", 5000, mark), 0);
    EXPECT_GE(sub.waitFor(select["state_topic"].asString(), "evening", 5000, mark), 0);
    // The effect select starts the effect over the show.
    ASSERT_TRUE(sub.publish(byId["kivd_board1_effect"]["command_topic"].asString(), "wash.hseq"));
    EXPECT_TRUE(kivtest::waitUntil(
        [&] {
            std::string e;
            kivcmd({"Get Running Effects"}, &e);
            return LoadJsonFromString(e).size() == 1;
        },
        10000));
    // The Stop button stops the show at once.
    ASSERT_TRUE(sub.publish(byId["kivd_board1_stop"]["command_topic"].asString(), "PRESS"));
    EXPECT_TRUE(playerIs("idle")) << d.log();

    // Off: every document is emptied at the broker, and the commands are no longer taken.
    mark = sub.messages().size();
    auto off = kivtest::httpRequest("PUT", d.httpUrl("/kivd/config/settings"), R"({"HomeAssistantDiscovery": false})",
                                    {kivtest::JSON_TYPE});
    ASSERT_EQ(off.status, 200) << off.body;
    ASSERT_TRUE(kivtest::waitUntil(
        [&] {
            size_t emptied = 0;
            auto all = sub.messages();
            for (size_t i = mark; i < all.size(); ++i) {
                if (docs.count(all[i].topic) && all[i].payload.empty()) ++emptied;
            }
            return emptied == docs.size();
        },
        10000))
        << d.log();
    MqttSubscriber late(broker.address(), broker.port(), "homeassistant/#");
    ASSERT_TRUE(late.waitConnected());
    usleep(1000000);
    EXPECT_TRUE(late.messages().empty()) << late.messages()[0].topic;
    ASSERT_TRUE(sub.publish(select["command_topic"].asString(), "evening"));
    usleep(1500000);
    EXPECT_TRUE(playerIs("idle"));
    EXPECT_EQ(d.stop(SIGTERM), 0);
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
