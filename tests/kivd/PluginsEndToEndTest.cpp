// User plug-ins in the real kivd: the example brightness limiter with its
// example configuration caps every frame a DDP receiver gets exactly as
// configured (and without it the frames are the sequence's own); bad
// plug-ins are refused with their reasons while a show plays; a plug-in's
// commands run through kivcmd and HTTP, and its descriptor wakes the main
// loop to send a frame.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "FaultSupport.h"
#include "HttpClient.h"
#include "KivdProcess.h"
#include "NetTestSupport.h"
#include "TestSupport.h"
#include "common.h"
#include "hseq/ShowGenerator.h"

namespace {

typedef std::vector<uint8_t> Bytes;

std::string lo(int n) {
    static const int block = kivtest::reservedLoopbackBlock("127.206", 1, 250);
    return "127.206." + std::to_string(block) + "." + std::to_string(n);
}

class PluginsEndToEnd : public ::testing::Test {
protected:
    // A show of `channels` to one DDP destination on lo(1).
    void Show(uint32_t channels, uint32_t frames) {
        spec.channels = channels;
        spec.frames = frames;
        spec.seed = 11;
        ASSERT_TRUE(GenerateShow(media.file("/sequences/show.hseq"), spec));
        media.write("/config/channeloutputs.json",
                    R"({"channelOutputs": [{"type": "UDP", "enabled": 1, "universes": [{"type": 4, "address": ")" +
                        lo(1) + R"(", "startChannel": 1, "channelCount": )" + std::to_string(channels) + "}]}]}");
    }
    void Install(const std::string& name, const std::string& dir) {
        kivtest::runCommand("mkdir -p '" + media.file("/plugins") + "' && cp -r '" + dir + "/" + name + "' '" +
                            media.file("/plugins/") + "'");
    }
    // Plays the show to its end and returns the frames the receiver got.
    std::vector<Bytes> Play(kivtest::KivdProcess& d) {
        EXPECT_EQ(d.command({"Start Sequence", "show.hseq"}), 0);
        EXPECT_TRUE(kivtest::waitUntil(
            [&] { return !LoadJsonFromString(kivtest::commandText(d, {"Sequence Status"}))["running"].asBool(); }, 30000));
        usleep(300000);  // the closing blank frame
        return kivtest::ddpFrames(ddp.take(), spec.channels);
    }
    Bytes Render(uint32_t f) {
        Bytes b(spec.channels);
        RenderShowFrame(spec, f, b.data());
        return b;
    }
    kivtest::TempMediaDir media;
    ShowSpec spec;
    kivtest::UdpReceiver ddp{lo(1), 4048};
};

bool Blank(const Bytes& b) { return std::all_of(b.begin(), b.end(), [](uint8_t v) { return v == 0; }); }

TEST_F(PluginsEndToEnd, LimiterCapsEveryFrameExactlyAsConfiguredAndWithoutItFramesAreUnchanged) {
    Show(4608, 60);
    Json::Value config = LoadJsonFromString(
        GetFileContents(kivtest::sourceDir() + "/examples/plugins/brightness-limiter/brightness-limiter.json"));
    // Each configured range scaled by floor(b x budget / sum) when its sum
    // is over floor(count x 255 x percent / 100).
    auto capped = [&](Bytes b) {
        for (auto& r : config["ranges"]) {
            uint32_t first = r["startChannel"].asUInt() - 1, count = r["channelCount"].asUInt();
            uint64_t budget = (uint64_t)(count * 255.0 * r["maxPercent"].asDouble() / 100), sum = 0;
            for (uint32_t i = 0; i < count; ++i) sum += b[first + i];
            for (uint32_t i = 0; sum > budget && i < count; ++i) b[first + i] = (uint8_t)(b[first + i] * budget / sum);
        }
        return b;
    };
    for (bool limited : {true, false}) {
        SCOPED_TRACE(limited ? "with the limiter" : "without it");
        limited ? Install("brightness-limiter", kivtest::buildDir() + "/examples/plugins")
                : (void)kivtest::runCommand("rm -rf '" + media.file("/plugins") + "'");
        std::map<Bytes, uint32_t> expected;
        int cappedFrames = 0;
        for (uint32_t f = 0; f < spec.frames; ++f) {
            Bytes raw = Render(f), want = limited ? capped(raw) : raw;
            expected[want] = f;
            cappedFrames += want != raw;
        }
        PutFileContents(media.file("/logs/kivd.log"), "");
        kivtest::KivdProcess d(media.path());
        ASSERT_TRUE(d.start({"-f"}));
        ASSERT_TRUE(d.waitReady()) << d.output();
        std::set<uint32_t> seen;
        int unknown = 0;
        for (auto& b : Play(d)) {
            if (Blank(b)) continue;
            auto it = expected.find(b);
            if (it == expected.end()) ++unknown;
            else seen.insert(it->second);
        }
        EXPECT_EQ(unknown, 0);
        EXPECT_GE(seen.size(), spec.frames / 2);
        EXPECT_TRUE(seen.count(0) && seen.count(spec.frames - 1));
        if (limited) {
            EXPECT_GT(cappedFrames, 0);
            Json::Value status = LoadJsonFromString(kivtest::commandText(d, {"Get Plugins"}));
            EXPECT_EQ(status["plugins"][0]["version"], "1.0.0");
            EXPECT_GE(status["plugins"][0]["frames"].asInt(), (int)seen.size());
            EXPECT_GT(status["plugins"][0]["averageFrameUs"].asDouble(), 0);
        }
        EXPECT_EQ(d.stop(SIGTERM), 0);
        EXPECT_EQ(d.log().find("Unloaded user plug-in brightness-limiter") != std::string::npos, limited);
    }
}

TEST_F(PluginsEndToEnd, BadPluginsAreRefusedWhileTheShowPlaysCommandsAndDescriptorsReachThePlugin) {
    Show(512, 400);  // 10 s: the commands below land while it plays
    std::string tests = kivtest::buildDir() + "/tests/plugins";
    for (auto n : {"test-user", "test-other-abi", "test-no-create", "test-throws"}) Install(n, tests);
    media.write("/plugins/test-user/test-user.json",
                R"({"controlAddress": ")" + lo(2) + R"(", "controlPort": 7100})");
    kivtest::KivdProcess d(media.path());
    ASSERT_TRUE(d.start({"-f"}));
    ASSERT_TRUE(d.waitReady()) << d.output();
    ASSERT_EQ(d.command({"Start Sequence", "show.hseq"}), 0);

    const std::pair<std::string, std::string> refusals[] = {
        {"test-no-create", "exports no createPlugin function"},
        {"test-other-abi", "built for plug-in ABI 2, this kivd loads ABI 1"},
        {"test-throws", "set-up failed: the sensor is not connected"},
    };
    Json::Value status = LoadJsonFromString(kivtest::commandText(d, {"Get Plugins"}));
    ASSERT_EQ(status["refused"].size(), 3u) << SaveJsonToString(status);
    for (int i = 0; i < 3; ++i) {
        std::string line = "User plug-in " + refusals[i].first + " refused: " + refusals[i].second;
        EXPECT_EQ(status["refused"][i]["reason"], refusals[i].second);
        EXPECT_TRUE(kivtest::hasWarning(d, line)) << line;
        std::string log = d.log();
        EXPECT_TRUE(log.find(line + "\n") != std::string::npos && log.find(line) == log.rfind(line)) << line;
    }
    std::string out;
    EXPECT_EQ(d.command({"test-user paint", "101", "200", "4"}, &out), 0);
    EXPECT_EQ(out, "painted 4 channels\n");
    kivtest::HttpResult r = kivtest::httpRequest("POST", d.httpUrl("/kivd/command"),
                                                 R"({"command": "test-user paint", "args": ["201", "100", "2"]})",
                                                 {"Content-Type: application/json"});
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "painted 2 channels");
    Json::Value overHttp = LoadJsonFromString(kivtest::httpGet(d.httpUrl("/kivd/plugins")).body);
    EXPECT_EQ(overHttp["plugins"][0]["name"], "test-user");
    EXPECT_EQ(overHttp["plugins"][0]["version"], "2.5.1");

    // Every frame is the show's (or blank, after it), but for the channels
    // painted by then.
    std::map<uint32_t, uint8_t> paint = {{100, 200}, {101, 200}, {102, 200}, {103, 200}, {200, 100}, {201, 100}};
    bool sawBoth = false;
    int damaged = 0;
    for (auto& b : Play(d)) {
        Bytes want(spec.channels, 0), rest = b;
        for (auto& p : paint) rest[p.first] = 0;
        uint32_t f = b[0] | b[1] << 8 | b[2] << 16;
        if (!Blank(rest)) want = f < spec.frames ? Render(f) : Bytes(spec.channels, 1);
        bool both = true;
        for (auto& p : paint) {
            both &= b[p.first] == p.second;
            if (b[p.first] == p.second) want[p.first] = p.second;
        }
        sawBoth |= both;
        damaged += b != want;
    }
    EXPECT_EQ(damaged, 0);
    EXPECT_TRUE(sawBoth);

    // Idle now: a datagram to the plug-in's descriptor gets a frame sent.
    kivtest::runCommand("bash -c \"printf '301 55 3' > /dev/udp/" + lo(2) + "/7100\"");
    Bytes woken;
    EXPECT_TRUE(kivtest::waitUntil([&] {
        for (auto& b : kivtest::ddpFrames(ddp.take(), spec.channels)) if (b[300] == 55 && b[302] == 55) woken = b;
        return !woken.empty();
    }, 5000));
    EXPECT_TRUE(woken.empty() || (woken[0] == 0 && woken[100] == 200 && woken[303] == 0));
    EXPECT_EQ(d.stop(SIGTERM), 0);
    EXPECT_NE(d.log().find("Unloaded user plug-in test-user\n"), std::string::npos);
}

}  // namespace
