// kivd as users run it: the real program loads the "UDP" and "GenericUDP"
// plug-ins from its outputs file, a sequence is started through the command
// client, and receivers on loopback check that every frame's channel bytes
// arrive, in order, in each protocol.

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "KivdProcess.h"
#include "TestSupport.h"
#include "common.h"
#include "hseq/ShowGenerator.h"
#include "monitor/PacketDecoder.h"

namespace {

// A loopback block of this test program's own, away from other programs'.
std::string lo(int n) {
    static const int block = 100 + (int)getpid() % 100;
    return "127.200." + std::to_string(block) + "." + std::to_string(n);
}

typedef std::vector<uint8_t> Bytes;

struct Delivery {
    int frames = 0;      // frames of the show delivered
    int repeats = 0;     // a frame delivered again (late frame held)
    int outOfOrder = 0;  // a frame older than one already seen
    int unknown = 0;     // bytes that are neither blank nor a show frame
    int lastFrame = -1;
};

// Matches each delivered frame against the show's frames in order.
Delivery match(const std::vector<Bytes>& delivered, const ShowSpec& spec, size_t first, size_t count) {
    Delivery d;
    std::vector<Bytes> expected(spec.frames);
    Bytes all(spec.channels);
    for (uint32_t f = 0; f < spec.frames; ++f) {
        RenderShowFrame(spec, f, all.data());
        expected[f].assign(all.begin() + first, all.begin() + first + count);
    }
    for (auto& b : delivered) {
        if (std::all_of(b.begin(), b.end(), [](uint8_t v) { return v == 0; })) continue;  // blanking
        int found = -1;
        for (int f = 0; f < (int)spec.frames && found < 0; ++f)
            if (b == expected[f]) found = f;
        if (found < 0) {
            ++d.unknown;
        } else if (found == d.lastFrame) {
            ++d.repeats;
        } else if (found < d.lastFrame) {
            ++d.outOfOrder;
        } else {
            d.frames += 1;
            d.lastFrame = found;
        }
    }
    return d;
}

class OutputsEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        spec.channels = 3072;
        spec.frames = 60;
        spec.stepMs = 25;
        spec.seed = 7;
        ASSERT_TRUE(GenerateShow(media.file("/sequences/show.hseq"), spec));
    }
    kivtest::TempMediaDir media;
    ShowSpec spec;
};

TEST_F(OutputsEndToEnd, EveryProtocolDeliversEveryFrameInOrder) {
    // DDP 1-1024, KiNet v2 1025-1536, E1.31 1537-2048, Art-Net 2049-2560,
    // GenericUDP 2561-2860.
    media.write("/config/channeloutputs.json", R"({"channelOutputs": [
      {"type": "UDP", "enabled": 1, "universes": [
        {"description": "ddp", "type": 4, "address": ")" + lo(1) + R"(", "startChannel": 1, "channelCount": 1024},
        {"description": "kinet", "type": 7, "address": ")" + lo(2) + R"(", "id": 3, "startChannel": 1025, "channelCount": 512},
        {"description": "e131", "type": 1, "address": ")" + lo(3) + R"(", "universe": 5, "startChannel": 1537, "channelCount": 512},
        {"description": "artnet", "type": 3, "address": ")" + lo(4) + R"(", "universe": 9, "startChannel": 2049, "channelCount": 512}
      ]},
      {"type": "GenericUDP", "enabled": 1, "address": ")" + lo(5) + R"(", "port": 5000, "startChannel": 2561,
       "channelCount": 300, "tokens": "0x9C {S2} {data}"}
    ]})");
    kivtest::UdpReceiver ddp(lo(1), 4048), kinet(lo(2), 6038), e131(lo(3), 5568), artnet(lo(4), 6454),
        generic(lo(5), 5000);
    ASSERT_TRUE(ddp.ok() && kinet.ok() && e131.ok() && artnet.ok() && generic.ok());

    kivtest::KivdProcess d(media.path());
    ASSERT_TRUE(d.start({"-f"}));
    ASSERT_TRUE(d.waitReady()) << d.output();
    std::string out;
    ASSERT_EQ(d.command({"Start Sequence", "show.hseq"}, &out), 0) << out;
    // The sequence ends by itself after 60 frames of 25 ms.
    ASSERT_TRUE(kivtest::waitUntil(
        [&] {
            std::string s;
            d.command({"Sequence Status"}, &s, 2);
            return LoadJsonFromString(s)["running"].asBool() == false;
        },
        15000));
    usleep(300000);  // the closing blank frame
    EXPECT_EQ(d.stop(SIGTERM), 0);

    // DDP: datagrams up to and including the push flag make one frame.
    std::vector<Bytes> ddpFrames;
    std::vector<long long> ddpTimes;
    Bytes current(1024, 0);
    int pushes = 0;
    for (auto& g : ddp.take()) {
        DecodedPacket p = DecodeDDP(g.bytes.data(), g.bytes.size());
        ASSERT_TRUE(p.valid);
        ASSERT_LE(p.offset + p.length, 1024u);
        memcpy(current.data() + p.offset, p.data, p.length);
        if (p.push) {
            ++pushes;
            EXPECT_EQ(p.offset + p.length, 1024u) << "push flag not on the frame's last packet";
            ddpFrames.push_back(current);
            ddpTimes.push_back(g.timeUs);
        }
    }
    Delivery dd = match(ddpFrames, spec, 0, 1024);
    // 60 frames at the file's 25 ms: the first and last show frames lie 59
    // periods apart (loosely, for a loaded machine).
    std::vector<long long> showTimes;
    for (size_t i = 0; i < ddpFrames.size(); ++i)
        if (!std::all_of(ddpFrames[i].begin(), ddpFrames[i].end(), [](uint8_t v) { return v == 0; }))
            showTimes.push_back(ddpTimes[i]);
    ASSERT_GE(showTimes.size(), 2u);
    double spanMs = (showTimes.back() - showTimes.front()) / 1000.0;
    EXPECT_NEAR(spanMs, 59 * 25, 200);
    EXPECT_EQ(dd.frames, 60) << "DDP frames delivered";
    EXPECT_EQ(dd.outOfOrder, 0);
    EXPECT_EQ(dd.unknown, 0);

    std::vector<Bytes> kinetFrames;
    for (auto& g : kinet.take()) {
        ASSERT_EQ(g.bytes.size(), 24u + 512);
        EXPECT_EQ(g.bytes[16], 3);  // port number from "id"
        kinetFrames.emplace_back(g.bytes.begin() + 24, g.bytes.end());
    }
    Delivery kd = match(kinetFrames, spec, 1024, 512);
    EXPECT_EQ(kd.frames, 60) << "KiNet frames delivered";
    EXPECT_EQ(kd.outOfOrder + kd.unknown, 0);

    // One datagram per frame for a single universe.
    auto universeFrames = [](kivtest::UdpReceiver& r, DecodedPacket (*decode)(const uint8_t*, size_t),
                             uint32_t universe) {
        std::vector<Bytes> frames;
        for (auto& g : r.take()) {
            DecodedPacket p = decode(g.bytes.data(), g.bytes.size());
            EXPECT_TRUE(p.valid);
            EXPECT_EQ(p.universe, universe);
            if (p.valid) frames.emplace_back(p.data, p.data + p.length);
        }
        return frames;
    };
    Delivery ed = match(universeFrames(e131, DecodeE131, 5), spec, 1536, 512);
    EXPECT_EQ(ed.frames, 60) << "E1.31 frames delivered";
    EXPECT_EQ(ed.outOfOrder + ed.unknown, 0);
    Delivery ad = match(universeFrames(artnet, DecodeArtNet, 9), spec, 2048, 512);
    EXPECT_EQ(ad.frames, 60) << "Art-Net frames delivered";
    EXPECT_EQ(ad.outOfOrder + ad.unknown, 0);

    std::vector<Bytes> genericFrames;
    for (auto& g : generic.take()) {
        ASSERT_EQ(g.bytes.size(), 3u + 300);
        EXPECT_EQ(g.bytes[0], 0x9C);
        EXPECT_EQ(g.bytes[1], 0x2C);  // 300 channels, low byte first
        EXPECT_EQ(g.bytes[2], 0x01);
        genericFrames.emplace_back(g.bytes.begin() + 3, g.bytes.end());
    }
    Delivery gd = match(genericFrames, spec, 2560, 300);
    EXPECT_EQ(gd.frames, 60) << "GenericUDP frames delivered";
    EXPECT_EQ(gd.outOfOrder + gd.unknown, 0);
}

}  // namespace
