// kivd as a bridge and a recorder. Senders written from the protocol tables
// play frames to a real kivd over E1.31, Art-Net and DDP; a DDP receiver
// behind kivd's own outputs checks what goes on. A second kivd plays a show
// over E1.31 and DDP to one that records it, and the recording is read back
// with hsequtils.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <atomic>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "FaultSupport.h"
#include "HttpClient.h"
#include "KivdProcess.h"
#include "LiveInputSupport.h"
#include "NetTestSupport.h"
#include "common.h"
#include "hseq/ShowGenerator.h"

using kivtest::Bytes;

namespace {

std::string Lo(int n) {
    static const int block = kivtest::reservedLoopbackBlock("127.223", 1, 250);
    return "127.223." + std::to_string(block) + "." + std::to_string(n);
}

// A kivd with an inputs file and one DDP output of its first `channels`
// channels to a receiver.
struct Board {
    Board(const std::string& inputs, int channels, const std::string& receiver, const std::string& settings = "") {
        media.write("/config/inputs.json", inputs);
        media.write("/config/channeloutputs.json",
                    R"({"channelOutputs": [{"type": "UDP", "enabled": 1, "universes": [{"type": 4, "address": ")" +
                        receiver + R"(", "startChannel": 1, "channelCount": )" + std::to_string(channels) + "}]}]}");
        if (!settings.empty()) media.write("/settings", settings);
    }
    bool start() { return d.start({"-f"}) && d.waitReady(); }
    Json::Value inputs() { return LoadJsonFromString(kivtest::commandText(d, {"Get Inputs"})); }
    kivtest::TempMediaDir media;
    kivtest::KivdProcess d{media.path()};
};

Bytes Pattern(int frame, int salt, size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = (uint8_t)(frame * 7 + i * 13 + salt + 1);
    return b;
}

// The distinct contents of channels [first, first + n) over the frames
// received, without the zeros before the data came or after it went.
std::vector<Bytes> Slices(const std::vector<Bytes>& frames, size_t first, size_t n) {
    std::vector<Bytes> slices;
    for (auto& f : frames) slices.emplace_back(f.begin() + first, f.begin() + first + n);
    slices = kivtest::Distinct(slices);
    auto zero = [](const Bytes& b) { return std::all_of(b.begin(), b.end(), [](uint8_t v) { return v == 0; }); };
    while (!slices.empty() && zero(slices.front())) slices.erase(slices.begin());
    while (!slices.empty() && zero(slices.back())) slices.pop_back();
    return slices;
}

TEST(BridgeEndToEnd, EveryFrameOfEveryProtocolGoesOnWholeAndInOrderAndDropsAreCounted) {
    // E1.31 universes 1-3 (510 each) on 1-1530, Art-Net 0x10-0x11 on
    // 1531-2554, DDP bytes 0-2999 on 2555-5554.
    const int CHANNELS = 5554;
    Board b(R"({"address": ")" + Lo(1) + R"(", "inputs": [
      {"protocol": "E1.31", "universe": 1, "universeCount": 3, "channelCount": 510, "startChannel": 1},
      {"protocol": "Art-Net", "universe": 16, "universeCount": 2, "startChannel": 1531},
      {"protocol": "DDP", "offset": 0, "channelCount": 3000, "startChannel": 2555}]})",
            CHANNELS, Lo(20));
    kivtest::UdpReceiver out(Lo(20), 4048), pollReplies(Lo(10), 6454);
    kivtest::UdpSender s(Lo(10));
    ASSERT_TRUE(out.ok() && pollReplies.ok() && s.ok());
    ASSERT_TRUE(b.start()) << b.d.output();

    const int FRAMES = 20;
    const size_t first[3] = {0, 1530, 2554}, size[3] = {1530, 1024, 3000};
    std::vector<Bytes> sent[3];
    for (int p = 0; p < 3; ++p) {
        for (int f = 0; f < FRAMES; ++f) {
            Bytes frame = Pattern(f, p, size[p]);
            sent[p].push_back(frame);
            std::vector<Bytes> packets;
            if (p == 0) {
                for (int u = 0; u < 3; ++u) {
                    Bytes slice(frame.begin() + u * 510, frame.begin() + (u + 1) * 510);
                    packets.push_back(kivtest::E131Data(1 + u, f, slice, 100, 7, "e2e sender"));
                }
            } else if (p == 1) {
                for (int u = 0; u < 2; ++u) {
                    Bytes slice(frame.begin() + u * 512, frame.begin() + (u + 1) * 512);
                    packets.push_back(kivtest::ArtDmx(16 + u, 1 + f, slice));
                }
            } else {
                for (size_t at = 0; at < frame.size(); at += 1440) {
                    size_t n = std::min<size_t>(1440, frame.size() - at);
                    Bytes chunk(frame.begin() + at, frame.begin() + at + n);
                    packets.push_back(kivtest::DDPData(at, chunk, at + n == frame.size(), 1 + (f * 3 + at / 1440) % 15));
                }
            }
            ASSERT_TRUE(s.sendBurst(packets, Lo(1), p == 0 ? 5568 : p == 1 ? 6454 : 4048));
            usleep(50000);
        }
        // The sender while it sends (a source silent for 2.5 s is dropped).
        const Json::Value sources = b.inputs()["inputs"][p]["sources"];
        ASSERT_EQ(1u, sources.size()) << sources;
        EXPECT_EQ(Lo(10), sources[0]["address"].asString());
        if (p == 0) {
            EXPECT_EQ("e2e sender", sources[0]["name"].asString());
            EXPECT_EQ(100, sources[0]["priority"].asInt());
        }
    }
    // What the bridge drops: a universe nobody takes, garbage, and a poll to answer.
    s.send(kivtest::E131Data(9, 0, Bytes(10, 1)), Lo(1), 5568);
    for (uint16_t port : {5568, 6454, 4048}) s.send({'h', 'e', 'l', 'l', 'o'}, Lo(1), port);
    s.send(kivtest::ArtPoll(), Lo(1), 6454);
    usleep(300000);

    auto datagrams = out.take();
    std::vector<Bytes> frames = kivtest::DDPFrames(datagrams, CHANNELS);
    // kivd sends a frame at least every 50 ms, so a longer silence on the
    // wire is the only way a frame sent 50 ms after another can be missed.
    int silences = 0;
    for (size_t i = 1; i < datagrams.size(); ++i) silences += datagrams[i].timeUs - datagrams[i - 1].timeUs > 50000;
    // Each protocol's frames, as the index of the frame sent (-1: torn or
    // foreign): all of them, whole and in order.
    for (int p = 0; p < 3; ++p) {
        std::vector<int> got;
        for (auto& slice : Slices(frames, first[p], size[p])) {
            auto it = std::find(sent[p].begin(), sent[p].end(), slice);
            got.push_back(it == sent[p].end() ? -1 : (int)(it - sent[p].begin()));
        }
        std::string seen;
        for (int g : got) seen += std::to_string(g) + " ";
        EXPECT_TRUE(std::is_sorted(got.begin(), got.end()) && (got.empty() || got[0] >= 0)) << "protocol " << p << ": " << seen;
        EXPECT_EQ(got.size(), std::set<int>(got.begin(), got.end()).size()) << seen;
        EXPECT_LE(FRAMES - (int)got.size(), silences) << "protocol " << p << ": " << seen;
    }

    Json::Value v = b.inputs();
    ASSERT_EQ(3u, v["inputs"].size()) << v;
    const unsigned packets[3] = {3 * FRAMES, 2 * FRAMES, 3 * FRAMES};
    for (int p = 0; p < 3; ++p) {
        const Json::Value& in = v["inputs"][p];
        EXPECT_EQ(packets[p], in["packets"].asUInt()) << in;
        EXPECT_EQ(0u, in["sequenceGaps"].asUInt()) << in;
        EXPECT_EQ(0u, in["errors"].asUInt()) << in;
    }
    const Json::Value& pr = v["protocols"];
    EXPECT_EQ(1u, pr["E1.31"]["unconfigured"].asUInt()) << pr;
    EXPECT_EQ(9, pr["E1.31"]["unconfiguredUniverses"][0].asInt()) << pr;
    for (const char* name : {"E1.31", "Art-Net", "DDP"}) EXPECT_EQ(1u, pr[name]["malformed"].asUInt()) << name << pr;
    EXPECT_EQ(1u, pr["Art-Net"]["polls"].asUInt());

    // The poll's answer: this board's address, sub-net 1 with universes 0 and 1.
    auto replies = pollReplies.take();
    ASSERT_EQ(1u, replies.size());
    const Bytes& r = replies[0].bytes;
    ASSERT_EQ(239u, r.size());
    in_addr ip;
    inet_pton(AF_INET, Lo(1).c_str(), &ip);
    EXPECT_EQ(0, memcmp(&r[10], &ip, 4));
    EXPECT_EQ(1, r[19]);
    EXPECT_EQ(2, r[173]);
    EXPECT_EQ(Bytes({0, 1}), Bytes(r.begin() + 190, r.begin() + 192));

    auto http = kivtest::httpGet(b.d.httpUrl("/kivd/inputs"));
    EXPECT_EQ(200, http.status);
    EXPECT_EQ(3u, LoadJsonFromString(http.body)["inputs"].size()) << http.body;
    EXPECT_EQ(0, b.d.stop());
}

TEST(BridgeEndToEnd, TheHigherPrioritySourceWinsAndTheLowerTakesOverAfterTheTimeout) {
    Board b(R"({"address": ")" + Lo(2) + R"(", "inputs": [
      {"protocol": "E1.31", "universe": 1, "channelCount": 16, "timeoutMs": 10000}]})",
            16, Lo(21));
    kivtest::UdpReceiver out(Lo(21), 4048);
    kivtest::UdpSender low(Lo(11)), high(Lo(12));
    ASSERT_TRUE(out.ok() && low.ok() && high.ok());
    ASSERT_TRUE(b.start()) << b.d.output();
    long long highStops = 0;
    std::atomic<bool> running{true};
    std::thread lowSender([&] {
        for (uint8_t seq = 0; running; ++seq) {
            low.send(kivtest::E131Data(1, seq, Bytes(16, 0x11), 100, 1, "low"), Lo(2), 5568);
            usleep(40000);
        }
    });
    usleep(200000);
    for (uint8_t seq = 0; seq < 40; ++seq) {
        high.send(kivtest::E131Data(1, seq, Bytes(16, 0x22), 150, 2, "high"), Lo(2), 5568);
        usleep(40000);
    }
    highStops = GetTime() / 1000;  // the receiver's clock
    Json::Value v = b.inputs();
    usleep(3500000);
    running = false;
    lowSender.join();

    // Two sources, the 150 one shown while it sent.
    ASSERT_EQ(2u, v["inputs"][0]["sources"].size()) << v;
    for (auto& src : v["inputs"][0]["sources"]) EXPECT_EQ(src["priority"].asInt() == 150, src["active"].asBool()) << v;
    // On the wire: low (before high came), high, then low again once high
    // was silent for 2.5 s.
    std::vector<int> order;
    long long takeover = 0;
    for (auto& g : out.take()) {
        auto f = kivtest::DDPFrames({g}, 16);
        if (f.empty() || f[0][0] == 0) continue;
        if (order.empty() || order.back() != f[0][0]) {
            order.push_back(f[0][0]);
            if (f[0][0] == 0x11 && order.size() > 1) takeover = g.timeUs / 1000;
        }
    }
    EXPECT_EQ((std::vector<int>{0x11, 0x22, 0x11}), order);
    EXPECT_GE(takeover - highStops, 2400) << "taken over too early";
    EXPECT_EQ(0, b.d.stop());
}

TEST(BridgeEndToEnd, BridgeDataPriorityDecidesBetweenAPlayingSequenceAndLiveData) {
    ShowSpec spec;
    spec.channels = 1024;
    spec.frames = 400;  // 10 s: plays throughout
    struct Mode {
        const char* setting;
        bool bridgeShows;
        bool warns;
    };
    const Mode modes[] = {{"Prioritize Sequence", false, false},
                          {"Warn If Sequence Running", false, true},
                          {"Prioritize Bridge", true, false}};
    int n = 0;
    for (const Mode& m : modes) {
        SCOPED_TRACE(m.setting);
        ++n;
        Board b(R"({"address": ")" + Lo(2 + n) + R"(", "inputs": [
          {"protocol": "E1.31", "universe": 1, "channelCount": 512, "startChannel": 1}]})",
                1024, Lo(21 + n), std::string("bridgeDataPriority = ") + m.setting + "\n");
        ASSERT_TRUE(GenerateShow(b.media.file("/sequences/show.hseq"), spec));
        kivtest::UdpReceiver out(Lo(21 + n), 4048);
        kivtest::UdpSender s(Lo(13));
        ASSERT_TRUE(b.start()) << b.d.output();
        std::string answer;
        ASSERT_EQ(0, b.d.command({"Start Sequence", "show.hseq"}, &answer)) << answer;
        usleep(300000);
        for (uint8_t seq = 0; seq < 25; ++seq) {
            s.send(kivtest::E131Data(1, seq, Bytes(512, 0xAB)), Lo(2 + n), 5568);
            usleep(40000);
        }
        usleep(200000);
        // The second universe always carries the sequence's frame number.
        int bridged = 0, sequenceOnly = 0;
        Bytes show(1024);
        for (auto& f : kivtest::DDPFrames(out.take(), 1024)) {
            RenderShowFrame(spec, f[512] | f[513] << 8 | f[514] << 16 | (uint32_t)f[515] << 24, show.data());
            if (!std::equal(f.begin() + 512, f.end(), show.begin() + 512)) continue;
            if (std::all_of(f.begin(), f.begin() + 512, [](uint8_t v) { return v == 0xAB; })) ++bridged;
            if (std::equal(f.begin(), f.begin() + 512, show.begin())) ++sequenceOnly;
        }
        EXPECT_GT(sequenceOnly, 0);
        if (m.bridgeShows) {
            EXPECT_GT(bridged, 10);
        } else {
            EXPECT_EQ(0, bridged);
        }
        EXPECT_EQ(m.warns, kivtest::hasWarning(b.d, "Received bridging data while sequence is running."));
        EXPECT_EQ(25u, b.inputs()["inputs"][0]["packets"].asUInt());
        EXPECT_EQ(0, b.d.stop());
    }
}

TEST(BridgeEndToEnd, MulticastUniversesAreJoinedOnTheConfiguredInterface) {
    KIV_RUN_IN_PRIVATE_NETNS();
    ASSERT_EQ(0, kivtest::runCommand(kivtest::privateShowNetworkCommand()));
    Board b(R"({"interface": "kivshow0", "inputs": [
      {"protocol": "E1.31", "universe": 260, "universeCount": 2, "channelCount": 8}]})",
            16, "127.0.0.2");  // not the board's own address: outputs skip those
    kivtest::UdpReceiver out("127.0.0.2", 4048);
    ASSERT_TRUE(b.start()) << b.d.output();
    ASSERT_TRUE(kivtest::waitUntil([&] { return b.d.log().find("E1.31 input joined ") != std::string::npos; }, 5000));
    // Bound to kivshow0's address, the socket's multicast leaves by kivshow0
    // (the kernel routes a multicast from a bound local address out of that
    // address's interface). IP_MULTICAST_IF would say the same, but the
    // emulator the arm64 build is tested under (qemu-user 7.2) implements
    // it in none of its forms.
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in iface{};
    iface.sin_family = AF_INET;
    inet_pton(AF_INET, "10.77.0.1", &iface.sin_addr);
    ASSERT_EQ(0, bind(fd, (sockaddr*)&iface, sizeof(iface))) << strerror(errno);
    for (uint8_t f = 1; f <= 5; ++f) {
        for (int u : {260, 261, 262}) {  // 262 is not configured: its group is not joined
            Bytes p = kivtest::E131Data(u, f, Bytes(8, f));
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(5568);
            to.sin_addr.s_addr = htonl(0xEFFF0000u | u);  // 239.255.<hi>.<lo>
            ASSERT_EQ((ssize_t)p.size(), sendto(fd, p.data(), p.size(), 0, (sockaddr*)&to, sizeof(to)));
        }
        usleep(60000);
    }
    close(fd);
    usleep(200000);
    auto frames = Slices(kivtest::DDPFrames(out.take(), 16), 0, 16);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(Bytes(16, 5), frames.back());
    Json::Value v = b.inputs();
    EXPECT_EQ(10u, v["inputs"][0]["packets"].asUInt()) << v;
    EXPECT_EQ(0u, v["protocols"]["E1.31"]["unconfigured"].asUInt()) << v;
    EXPECT_NE(std::string::npos, b.d.log().find("E1.31 input joined 2 multicast group(s) on kivshow0"));
    EXPECT_EQ(0, b.d.stop());
}

TEST(BridgeEndToEnd, AShowPlayedOverE131AndDDPIsRecordedFrameForFrame) {
    // Four E1.31 universes of 510 and a DDP range of 1500 right after them.
    ShowSpec spec;
    spec.channels = 3540;
    spec.frames = 80;
    spec.stepMs = 50;
    Board player(R"({"inputs": []})", 1, "127.0.0.1");
    player.media.write("/config/channeloutputs.json", R"({"channelOutputs": [{"type": "UDP", "enabled": 1, "universes": [
      {"type": 1, "address": ")" + Lo(7) + R"(", "universe": 1, "universeCount": 4, "channelCount": 510, "startChannel": 1},
      {"type": 4, "address": ")" + Lo(7) + R"(", "startChannel": 2041, "channelCount": 1500},
      {"type": 4, "address": ")" + Lo(28) + R"(", "startChannel": 1, "channelCount": 4}]}]})");
    // The same frames' numbers to the test: when each reached this machine's sockets.
    kivtest::UdpReceiver arrivals(Lo(28), 4048);
    ASSERT_TRUE(GenerateShow(player.media.file("/sequences/show.hseq"), spec));
    Board recorder(R"({"address": ")" + Lo(7) + R"(", "inputs": [
      {"protocol": "E1.31", "universe": 1, "universeCount": 4, "channelCount": 510, "startChannel": 1},
      {"protocol": "DDP", "offset": 2040, "channelCount": 1500, "startChannel": 2041}]})",
                   1, Lo(27));
    ASSERT_TRUE(player.start()) << player.d.output();
    ASSERT_TRUE(recorder.start()) << recorder.d.output();
    std::string answer;
    auto started = kivtest::httpRequest("POST", recorder.d.httpUrl("/kivd/command"),
                                        R"({"command": "Start Recording", "args": ["roundtrip", 50]})",
                                        {"Content-Type: application/json"});
    ASSERT_EQ(200, started.status) << started.body;
    usleep(500000);
    ASSERT_EQ(0, player.d.command({"Start Sequence", "show.hseq"}, &answer)) << answer;
    ASSERT_TRUE(kivtest::waitUntil(
        [&] { return !LoadJsonFromString(kivtest::commandText(player.d, {"Sequence Status"}))["running"].asBool(); },
        15000));
    usleep(500000);
    ASSERT_EQ(0, recorder.d.command({"Stop Recording"}, &answer)) << answer;
    EXPECT_EQ(0u, answer.find("Recorded ")) << answer;
    int lateTicks = recorder.inputs()["recording"]["lateTicks"].asInt();

    // hsequtils reads the recording and writes it out as plain frames.
    std::string rec = recorder.media.file("/sequences/roundtrip.hseq"), plain = rec + ".v1";
    std::string info;
    ASSERT_EQ(0, kivtest::runCommand(kivtest::programPath("hsequtils") + " -j " + rec, &info)) << info;
    std::string conversion;
    ASSERT_EQ(0, kivtest::runCommand(kivtest::programPath("hsequtils") + " -f 1 -c none -o " + plain + " " + rec, &conversion))
        << conversion;
    std::ifstream file(plain, std::ios::binary);  // all of it: the last frames are zeros
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_GE(bytes.size(), 28u);
    const uint8_t* h = (const uint8_t*)bytes.data();
    size_t offset = h[4] | h[5] << 8, channels = h[10] | h[11] << 8 | h[12] << 16, count = h[14] | h[15] << 8;
    EXPECT_EQ(50, h[18]);
    ASSERT_EQ(3540u, channels);
    ASSERT_EQ(offset + count * channels, bytes.size()) << info;

    // Every recorded frame is a frame of the show, byte for byte, in order.
    std::vector<int> found;
    Bytes want(spec.channels);
    for (size_t n = 0; n < count; ++n) {
        const uint8_t* f = h + offset + n * channels;
        uint32_t frame = f[0] | f[1] << 8 | f[2] << 16 | (uint32_t)f[3] << 24;
        if (std::all_of(f, f + channels, [](uint8_t v) { return v == 0; })) continue;  // before or after the show
        ASSERT_LT(frame, spec.frames) << "recorded frame " << n;
        RenderShowFrame(spec, frame, want.data());
        ASSERT_TRUE(std::equal(want.begin(), want.end(), f)) << "recorded frame " << n << " is not show frame " << frame;
        ASSERT_TRUE(found.empty() || (int)frame >= found.back()) << "recorded frame " << n << " goes backwards";
        found.push_back((int)frame);
    }
    ASSERT_FALSE(found.empty());
    // Each frame once: on a fixed step a frame can only be missed or taken
    // twice where its sender was late by half a step, or the recorder's
    // tick was. How far each frame was off its grid is measured here.
    std::map<int, long long> arrived;
    for (auto& g : arrivals.take()) {
        int frame = g.bytes.size() >= 14 ? g.bytes[10] | g.bytes[11] << 8 : -1;
        if (g.bytes.size() >= 14 && !arrived.count(frame) && (frame || g.bytes[12] || g.bytes[13])) arrived[frame] = g.timeUs;
    }
    std::vector<long long> offsets;
    for (auto& a : arrived) offsets.push_back(a.second - a.first * spec.stepMs * 1000LL);
    std::sort(offsets.begin(), offsets.end());
    int jittered = 0;
    for (auto& a : arrived) {
        long long off = a.second - a.first * spec.stepMs * 1000LL - offsets[offsets.size() / 2];
        if (std::abs(off) > spec.stepMs * 250LL) ++jittered;
    }
    // A frame the player skipped (it fell behind) never reached the recorder.
    int unsent = 0;
    for (int f = found.front(); f <= found.back(); ++f) unsent += !arrived.count(f);
    int anomalies = 0;
    for (size_t i = 1; i < found.size(); ++i) anomalies += std::abs(found[i] - found[i - 1] - 1);
    EXPECT_LE(anomalies, 2 * (jittered + lateTicks) + unsent)
        << "frames off their grid: " << jittered << ", late ticks: " << lateTicks << ", not sent: " << unsent;
    EXPECT_LE(found.front(), 1 + anomalies);
    EXPECT_GE(found.back(), (int)spec.frames - 2 - anomalies);
    EXPECT_EQ(0, player.d.stop());
    EXPECT_EQ(0, recorder.d.stop());
}

TEST(BridgeEndToEnd, AFloodOfInputDoesNotHoldUpTheShow) {
    if (!kivtest::slotFitsToday(-60, 600)) GTEST_SKIP() << "too close to midnight for a same-day slot";
    kivtest::TempMediaDir media;
    ShowSpec a;
    a.frames = 160;  // 4 s
    kivtest::ShowUnderTest show(media.path(), {"a.hseq"}, {a}, 224);
    ASSERT_TRUE(show.ok());
    show.writeOutputs();
    media.write("/config/inputs.json", R"({"address": ")" + Lo(8) + R"(", "inputs": [
      {"protocol": "E1.31", "universe": 1, "startChannel": 1},
      {"protocol": "DDP", "channelCount": 512, "startChannel": 1}]})");
    media.write("/settings", "bridgeDataPriority = Prioritize Sequence\n");
    kivtest::KivdProcess d(media.path());
    ASSERT_TRUE(d.start({"-f"}) && d.waitReady()) << d.output();
    // Two flooders: garbage, universes nobody takes and data the sequence
    // wins over, on every port, as fast as they can.
    std::atomic<bool> flooding{true};
    std::atomic<long> sent{0};
    auto flood = [&](int n) {
        kivtest::UdpSender s(Lo(30 + n));
        Bytes garbage(600, 0x55), e131 = kivtest::E131Data(1 + n, 0, Bytes(512, 9)),
                                  other = kivtest::E131Data(40 + n, 0, Bytes(512, 9)),
                                  ddp = kivtest::DDPData(0, Bytes(512, 9), true);
        while (flooding) {
            s.send(garbage, Lo(8), 5568);
            s.send(e131, Lo(8), 5568);
            s.send(other, Lo(8), 5568);
            s.send(ddp, Lo(8), 4048);
            s.send(garbage, Lo(8), 6454);
            sent += 5;
        }
    };
    std::string answer;
    EXPECT_EQ(0, d.command({"Start Sequence", "a.hseq"}, &answer)) << answer;
    ASSERT_TRUE(show.waitForFrame(0, 0, 5000)) << show.describe();
    std::thread f1(flood, 0), f2(flood, 1);
    EXPECT_TRUE(show.waitForFrame(0, (int)a.frames - 1, 15000)) << show.describe();
    flooding = false;
    f1.join();
    f2.join();
    Json::Value v = LoadJsonFromString(kivtest::commandText(d, {"Get Inputs"}));
    EXPECT_EQ(0, d.stop());

    auto runs = show.runs();
    ASSERT_EQ(1u, runs.size()) << show.describe();
    EXPECT_EQ(0, runs[0].grid.backwards) << show.describe();
    EXPECT_EQ(0, runs[0].grid.damaged) << show.describe();
    if (kivtest::TIMING_JUDGED) {
        // As with any flood that takes both cores of a small machine: a few
        // frames may go, never a run of them.
        EXPECT_LE(runs[0].grid.skipped, 6) << show.describe();
        EXPECT_LT(runs[0].grid.maxGapUs, 400000) << show.describe();
    }
    // The daemon did read the flood.
    const Json::Value& pr = v["protocols"];
    EXPECT_GT(pr["E1.31"]["malformed"].asUInt() + pr["E1.31"]["unconfigured"].asUInt(), 1000u) << v;
    EXPECT_GT(v["inputs"][0]["packets"].asUInt(), 1000u) << v;
}

}  // namespace
