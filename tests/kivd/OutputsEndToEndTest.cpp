// kivd as users run it: the real program loads the "UDP" and "GenericUDP"
// plug-ins from its outputs file, a sequence is started through the command
// client, and receivers on loopback check that every frame's channel bytes
// arrive, in order, in each protocol.

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

#include "KivdProcess.h"
#include "StallMeter.h"
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

// Plays the show once through the command client, to its own end.
void PlayThrough(kivtest::KivdProcess& d) {
    std::string out;
    ASSERT_EQ(d.command({"Start Sequence", "show.hseq"}, &out), 0) << out;
    ASSERT_TRUE(kivtest::waitUntil(
        [&] {
            std::string s;
            d.command({"Sequence Status"}, &s, 2);
            return LoadJsonFromString(s)["running"].asBool() == false;
        },
        15000));
}

// Each test runs twice: with segmented sends (the default where the kernel
// takes them) and with plain sendmmsg; receivers must not tell them apart.
class OutputsEndToEnd : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        spec.channels = 3072;
        spec.frames = 60;
        spec.stepMs = 25;
        spec.seed = 7;
        const char* env = getenv("KIV_UDP_SEGMENTATION");
        if (GetParam() && env && *env && atoi(env) == 0) GTEST_SKIP() << "KIV_UDP_SEGMENTATION=0";
        ASSERT_TRUE(GenerateShow(media.file("/sequences/show.hseq"), spec));
        media.write("/settings", std::string("UDPSegmentation = ") + (GetParam() ? "1" : "0") + "\n");
    }
    // The daemon said which way it sent.
    void ExpectSendPath(kivtest::KivdProcess& d) {
        const char* line = GetParam() ? "UDP output sends with UDP segmentation offload (UDP_SEGMENT)"
                                      : "UDP output sends with sendmmsg: segmentation offload is switched off";
        EXPECT_NE(d.log().find(line), std::string::npos) << d.log();
        EXPECT_EQ(d.log().find("falls back to sendmmsg"), std::string::npos) << d.log();
    }
    kivtest::TempMediaDir media;
    ShowSpec spec;
};

INSTANTIATE_TEST_SUITE_P(SendPaths, OutputsEndToEnd, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "Segmented" : "Plain"; });

TEST_P(OutputsEndToEnd, EveryProtocolDeliversEveryFrameInOrder) {
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
    kivtest::StallMeter stalls;  // what a loaded machine adds to the span below
    ASSERT_TRUE(d.start({"-f"}));
    ASSERT_TRUE(d.waitReady()) << d.output();
    PlayThrough(d);  // the sequence ends by itself after 60 frames of 25 ms
    if (HasFatalFailure()) return;
    usleep(300000);  // the closing blank frame
    EXPECT_EQ(d.stop(SIGTERM), 0);
    ExpectSendPath(d);

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
    EXPECT_NEAR(spanMs, 59 * 25, 200 + 2 * stalls.worstUs() / 1000.0);
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

namespace {

// One stream of a controller: where its datagrams arrive and how to read a
// frame and a sequence number out of them.
struct Stream {
    std::string name;
    kivtest::UdpReceiver* rx;
    enum Kind { DDP, E131, ARTNET, KINET1, KINET2, GENERIC } kind;
    uint32_t first;  // 0-based channel of the show
    uint32_t count;
    uint32_t universe = 0;   // E1.31 / Art-Net: the universe on a shared receiver
    uint32_t ddpBase = 0;    // DDP: the data offset of the first channel
};

struct StreamCapture {
    std::vector<Bytes> frames;
    std::vector<uint32_t> sequences;  // in arrival order; DDP: every datagram
};

StreamCapture readStream(const Stream& s, const std::vector<kivtest::Datagram>& datagrams) {
    StreamCapture c;
    Bytes ddpFrame(s.count, 0);
    for (auto& g : datagrams) {
        const uint8_t* b = g.bytes.data();
        size_t n = g.bytes.size();
        switch (s.kind) {
            case Stream::DDP: {
                DecodedPacket p = DecodeDDP(b, n);
                if (!p.valid || p.offset < s.ddpBase || p.offset - s.ddpBase + p.length > s.count) continue;
                memcpy(ddpFrame.data() + (p.offset - s.ddpBase), p.data, p.length);
                c.sequences.push_back(p.sequence & 0x0F);
                if (p.push) c.frames.push_back(ddpFrame);
                break;
            }
            case Stream::E131:
            case Stream::ARTNET: {
                DecodedPacket p = s.kind == Stream::E131 ? DecodeE131(b, n) : DecodeArtNet(b, n);
                if (!p.valid || p.universe != s.universe) continue;
                c.frames.emplace_back(p.data, p.data + std::min<size_t>(p.length, s.count));
                c.sequences.push_back(p.sequence);
                break;
            }
            case Stream::KINET1:
            case Stream::KINET2: {
                size_t header = s.kind == Stream::KINET1 ? 21 : 24;
                if (n != header + s.count) continue;
                c.frames.emplace_back(b + header, b + n);
                if (s.kind == Stream::KINET2) c.sequences.push_back(b[8] | b[9] << 8 | b[10] << 16 | (uint32_t)b[11] << 24);
                break;
            }
            case Stream::GENERIC:
                if (n != 3 + s.count) continue;
                c.frames.emplace_back(b + 3, b + n);
                break;
        }
    }
    return c;
}

}  // namespace

// Fourteen streams to three controllers, the show started sixteen times through
// the command client: each start sends frame 0 once and then every frame
// once, in order, and the sequence numbers of every stream run without a gap
// across all the starts and the blank frames between them.
TEST_P(OutputsEndToEnd, EveryStartSendsFrameZeroOnceAndNumbersEveryDatagram) {
    spec.channels = 8704;
    spec.frames = 8;
    ASSERT_TRUE(GenerateShow(media.file("/sequences/show.hseq"), spec));
    std::string a = lo(11), b = lo(12), c = lo(13);
    media.write("/config/channeloutputs.json", R"({"channelOutputs": [
      {"type": "UDP", "enabled": 1, "universes": [
        {"type": 4, "address": ")" + a + R"(", "startChannel": 1, "channelCount": 1024},
        {"type": 1, "address": ")" + a + R"(", "universe": 1, "startChannel": 1025, "channelCount": 512},
        {"type": 3, "address": ")" + a + R"(", "universe": 0, "startChannel": 1537, "channelCount": 512},
        {"type": 6, "address": ")" + a + R"(", "id": 1, "startChannel": 2049, "channelCount": 512},
        {"type": 5, "address": ")" + b + R"(", "startChannel": 2561, "channelCount": 1500},
        {"type": 1, "address": ")" + b + R"(", "universe": 2, "startChannel": 4097, "channelCount": 512},
        {"type": 7, "address": ")" + b + R"(", "id": 2, "startChannel": 4609, "channelCount": 512},
        {"type": 1, "address": ")" + c + R"(", "universe": 3, "startChannel": 5121, "channelCount": 512},
        {"type": 3, "address": ")" + c + R"(", "universe": 1, "startChannel": 5633, "channelCount": 512},
        {"type": 4, "address": ")" + c + R"(", "startChannel": 6657, "channelCount": 512},
        {"type": 1, "address": ")" + c + R"(", "universe": 10, "universeCount": 3, "startChannel": 7169, "channelCount": 512}
      ]},
      {"type": "GenericUDP", "enabled": 1, "address": ")" + c + R"(", "port": 5000, "startChannel": 6145,
       "channelCount": 300, "tokens": "0x9C {S2} {data}"}
    ]})");
    kivtest::UdpReceiver ddpA(a, 4048), e131A(a, 5568), artA(a, 6454), kinetA(a, 6038), ddpB(b, 4048),
        e131B(b, 5568), kinetB(b, 6038), e131C(c, 5568), artC(c, 6454), genericC(c, 5000), ddpC(c, 4048);
    for (auto* r : {&ddpA, &e131A, &artA, &kinetA, &ddpB, &e131B, &kinetB, &e131C, &artC, &genericC, &ddpC})
        ASSERT_TRUE(r->ok());
    std::vector<Stream> streams = {
        {"DDP a", &ddpA, Stream::DDP, 0, 1024, 0, 0},         {"E1.31 a", &e131A, Stream::E131, 1024, 512, 1},
        {"Art-Net a", &artA, Stream::ARTNET, 1536, 512, 0},   {"KiNet v1 a", &kinetA, Stream::KINET1, 2048, 512},
        {"DDP b", &ddpB, Stream::DDP, 2560, 1500, 0, 0},      {"E1.31 b", &e131B, Stream::E131, 4096, 512, 2},
        {"KiNet v2 b", &kinetB, Stream::KINET2, 4608, 512},   {"E1.31 c", &e131C, Stream::E131, 5120, 512, 3},
        {"Art-Net c", &artC, Stream::ARTNET, 5632, 512, 1},   {"GenericUDP c", &genericC, Stream::GENERIC, 6144, 300},
        {"DDP c", &ddpC, Stream::DDP, 6656, 512, 0, 6656},     {"E1.31 c 10", &e131C, Stream::E131, 7168, 512, 10},
        {"E1.31 c 11", &e131C, Stream::E131, 7680, 512, 11},  {"E1.31 c 12", &e131C, Stream::E131, 8192, 512, 12},
    };

    kivtest::KivdProcess d(media.path());
    ASSERT_TRUE(d.start({"-f", "--log-level", "debug:Sequence"}));  // late reads are reported
    ASSERT_TRUE(d.waitReady()) << d.output();
    const int starts = 16;
    for (int run = 0; run < starts; ++run) {
        PlayThrough(d);
        if (HasFatalFailure()) return;
        usleep(150000);  // the closing blank frame
    }
    EXPECT_EQ(d.stop(SIGTERM), 0);
    ExpectSendPath(d);
    // A busy machine may starve the reader: a frame not read in time makes
    // the one shown go out again (and past frame 0 the late one is left
    // out); anything else must be exact.
    int lateReads = 0;
    for (size_t at = d.log().find("goes out again"); at != std::string::npos;
         at = d.log().find("goes out again", at + 1))
        ++lateReads;

    std::vector<Bytes> all(spec.frames, Bytes(spec.channels));
    for (uint32_t f = 0; f < spec.frames; ++f) RenderShowFrame(spec, f, all[f].data());
    // Shared receivers: every stream reads the same datagrams.
    std::map<kivtest::UdpReceiver*, std::vector<kivtest::Datagram>> received;
    for (auto& s : streams)
        if (!received.count(s.rx)) received[s.rx] = s.rx->take();
    for (auto& s : streams) {
        SCOPED_TRACE(s.name);
        StreamCapture cap = readStream(s, received[s.rx]);
        std::vector<int> shown;  // show frames in arrival order, blanks left out
        int unknown = 0;
        for (auto& f : cap.frames) {
            if (std::all_of(f.begin(), f.end(), [](uint8_t v) { return v == 0; })) continue;
            int found = -1;
            for (uint32_t n = 0; n < spec.frames && found < 0; ++n)
                if (std::equal(f.begin(), f.end(), all[n].begin() + s.first)) found = (int)n;
            if (found < 0) ++unknown;
            else shown.push_back(found);
        }
        EXPECT_EQ(0, unknown);
        // Each start: frame 0 first, then on in order to the last frame.
        int runs = 0, repeats = 0, skips = 0, last = -1;
        for (int n : shown) {
            if (n == last) {
                ++repeats;
            } else if (n == 0 && last != 0) {
                EXPECT_TRUE(last == -1 || last == (int)spec.frames - 1) << "a start after frame " << last;
                ++runs;
            } else if (n > last) {
                skips += n - last - 1;
            } else {
                ADD_FAILURE() << "frame " << n << " after frame " << last;
            }
            last = n;
        }
        EXPECT_EQ(starts, runs);
        EXPECT_LE(repeats, lateReads) << "frames went out again with no late read";
        EXPECT_LE(skips, lateReads) << "frames were left out with no late read";
        // Sequence numbers: E1.31 0..255, Art-Net 1..255, DDP 1..15, KiNet v2 32-bit.
        for (size_t i = 1; i < cap.sequences.size(); ++i) {
            uint32_t prev = cap.sequences[i - 1], next;
            switch (s.kind) {
                case Stream::E131: next = (prev + 1) & 0xFF; break;
                case Stream::ARTNET: next = prev >= 255 ? 1 : prev + 1; break;
                case Stream::DDP: next = prev >= 15 ? 1 : prev + 1; break;
                default: next = prev + 1; break;
            }
            if (cap.sequences[i] != next) {
                ADD_FAILURE() << "datagram " << i << " carries sequence " << cap.sequences[i] << " after " << prev;
                break;
            }
        }
    }
}
