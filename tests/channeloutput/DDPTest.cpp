#include <gtest/gtest.h>

#include <algorithm>

#include "TestSupport.h"
#include "UDPTestUtil.h"
#include "channeloutput/DDP.h"
#include "ByteOrder.h"

using namespace udptest;
using kivtest::Datagram;
using kivtest::UdpReceiver;

namespace {

Json::Value ddp(const std::string& address, int start, int count, int type = 4, bool dedup = false) {
    Json::Value u(Json::objectValue);
    u["type"] = type;
    u["address"] = address;
    u["startChannel"] = start;
    u["channelCount"] = count;
    u["description"] = "test controller";
    u["deDuplicate"] = dedup ? 1 : 0;
    return u;
}

Json::Value one(const Json::Value& u) {
    Json::Value a(Json::arrayValue);
    a.append(u);
    return a;
}

// Datagrams in the order their data offsets say (sockets may reorder).
std::vector<Datagram> byOffset(std::vector<Datagram> d) {
    std::stable_sort(d.begin(), d.end(), [](const Datagram& a, const Datagram& b) {
        return GetBE32(a.bytes.data() + 4) < GetBE32(b.bytes.data() + 4);
    });
    return d;
}

}  // namespace

TEST(DDPOutput, SplitsFrameIntoPacketsOf1440WithPushOnLast) {
    UdpReceiver rx(lo(2), DDP_PORT);
    ASSERT_TRUE(rx.ok());
    OutputsFixture f;
    Json::Value outs(Json::arrayValue);
    outs.append(OutputsFixture::udpOutput(one(ddp(lo(2), 1001, 1441))));
    ASSERT_EQ(1, f.load(outs));
    f.pattern(1000, 1441, 7);
    f.sendFrame();
    ASSERT_TRUE(rx.waitFor(2, 5000));
    auto d = byOffset(rx.take());
    ASSERT_EQ(2u, d.size());
    // flags, sequence, data type, destination id, offset, length
    ASSERT_EQ(10u + 1440, d[0].bytes.size());
    EXPECT_EQ(0x40, d[0].bytes[0]);
    EXPECT_EQ(0, d[0].bytes[2]);
    EXPECT_EQ(1, d[0].bytes[3]);
    EXPECT_EQ(1000u, GetBE32(d[0].bytes.data() + 4));
    EXPECT_EQ(1440, GetBE16(d[0].bytes.data() + 8));
    EXPECT_EQ(channelsOf(f.channels(), 1000, 1440), slice(d[0].bytes, 10, 1440));
    ASSERT_EQ(10u + 1, d[1].bytes.size());
    EXPECT_EQ(0x41, d[1].bytes[0]);
    EXPECT_EQ(2440u, GetBE32(d[1].bytes.data() + 4));
    EXPECT_EQ(1, GetBE16(d[1].bytes.data() + 8));
    EXPECT_EQ(f.channels()[2440], d[1].bytes[10]);
    // Two queued packets take two consecutive sequence numbers.
    std::vector<int> seqs = {d[0].bytes[1], d[1].bytes[1]};
    std::sort(seqs.begin(), seqs.end());
    EXPECT_EQ((std::vector<int>{1, 2}), seqs);
}

TEST(DDPOutput, ExactMultipleOf1440IsOnePushPacket) {
    UdpReceiver rx(lo(2), DDP_PORT);
    ASSERT_TRUE(rx.ok());
    OutputsFixture f;
    Json::Value outs(Json::arrayValue);
    outs.append(OutputsFixture::udpOutput(one(ddp(lo(2), 1, 1440))));
    ASSERT_EQ(1, f.load(outs));
    f.pattern(0, 1440, 3);
    f.sendFrame();
    ASSERT_TRUE(rx.waitFor(1, 5000));
    usleep(100000);
    auto d = rx.take();
    ASSERT_EQ(1u, d.size());
    EXPECT_EQ(0x41, d[0].bytes[0]);
    EXPECT_EQ(0u, GetBE32(d[0].bytes.data() + 4));
    EXPECT_EQ(1440, GetBE16(d[0].bytes.data() + 8));
}

TEST(DDPOutput, Type5OffsetsCountFromZeroAndType4FromStartChannel) {
    UdpReceiver rx4(lo(2), DDP_PORT);
    UdpReceiver rx5(lo(3), DDP_PORT);
    ASSERT_TRUE(rx4.ok() && rx5.ok());
    OutputsFixture f;
    Json::Value u(Json::arrayValue);
    u.append(ddp(lo(2), 1001, 3000, 4));
    u.append(ddp(lo(3), 1001, 3000, 5));
    Json::Value outs(Json::arrayValue);
    outs.append(OutputsFixture::udpOutput(u));
    ASSERT_EQ(1, f.load(outs));
    f.pattern(1000, 3000, 11);
    f.sendFrame();
    ASSERT_TRUE(rx4.waitFor(3, 5000));
    ASSERT_TRUE(rx5.waitFor(3, 5000));
    auto d4 = byOffset(rx4.take());
    auto d5 = byOffset(rx5.take());
    ASSERT_EQ(3u, d4.size());
    ASSERT_EQ(3u, d5.size());
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(1000u + 1440 * i, GetBE32(d4[i].bytes.data() + 4));
        EXPECT_EQ(1440u * i, GetBE32(d5[i].bytes.data() + 4));
        // Same channel bytes either way.
        EXPECT_EQ(d4[i].bytes.size(), d5[i].bytes.size());
        EXPECT_TRUE(std::equal(d4[i].bytes.begin() + 10, d4[i].bytes.end(), d5[i].bytes.begin() + 10));
    }
    EXPECT_EQ(120, GetBE16(d5[2].bytes.data() + 8));
    EXPECT_EQ(0x41, d5[2].bytes[0]);
}

TEST(DDPOutput, SequenceRunsOneToFifteenThenWrapsToOne) {
    UdpReceiver rx(lo(2), DDP_PORT);
    ASSERT_TRUE(rx.ok());
    OutputsFixture f;
    Json::Value outs(Json::arrayValue);
    outs.append(OutputsFixture::udpOutput(one(ddp(lo(2), 1, 10))));
    ASSERT_EQ(1, f.load(outs));
    std::vector<int> seqByFrame(33, -1);
    for (int frame = 0; frame < 33; ++frame) {
        f.channels()[0] = (uint8_t)frame;  // tells the frames apart
        f.sendFrame();
        ASSERT_TRUE(rx.waitFor(frame + 1, 5000));
    }
    for (auto& d : rx.take()) seqByFrame[d.bytes[10]] = d.bytes[1];
    for (int frame = 0; frame < 33; ++frame) {
        EXPECT_EQ(frame % 15 + 1, seqByFrame[frame]) << "frame " << frame;
    }
}

TEST(DDPOutput, DeDuplicationSendsChangedPacketAndPushPacketOnly) {
    UdpReceiver rx(lo(2), DDP_PORT);
    ASSERT_TRUE(rx.ok());
    OutputsFixture f;
    Json::Value outs(Json::arrayValue);
    outs.append(OutputsFixture::udpOutput(one(ddp(lo(2), 1, 3 * 1440, 4, true))));
    ASSERT_EQ(1, f.load(outs));
    f.pattern(0, 3 * 1440, 1);
    f.sendFrame();
    ASSERT_TRUE(rx.waitFor(3, 5000));
    rx.take();
    f.channels()[5] ^= 0xFF;  // only the first packet changes
    f.sendFrame();
    ASSERT_TRUE(rx.waitFor(2, 5000));
    usleep(200000);
    auto d = byOffset(rx.take());
    ASSERT_EQ(2u, d.size());
    EXPECT_EQ(0u, GetBE32(d[0].bytes.data() + 4));
    EXPECT_EQ(0x40, d[0].bytes[0]);
    EXPECT_EQ(f.channels()[5], d[0].bytes[10 + 5]);
    EXPECT_EQ(2880u, GetBE32(d[1].bytes.data() + 4));
    EXPECT_EQ(0x41, d[1].bytes[0]);
}

TEST(DDPOutput, StaticFrameIsSkippedForTenFramesThenSentAgain) {
    UdpReceiver rx(lo(2), DDP_PORT);
    ASSERT_TRUE(rx.ok());
    OutputsFixture f;
    Json::Value outs(Json::arrayValue);
    outs.append(OutputsFixture::udpOutput(one(ddp(lo(2), 1, 2000, 4, true))));
    ASSERT_EQ(1, f.load(outs));
    f.pattern(0, 2000, 9);
    // Sent, 10 skipped, sent, 10 skipped, sent.
    std::vector<size_t> expected = {2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
    std::vector<size_t> perFrame;
    for (int frame = 0; frame < 23; ++frame) {
        size_t before = rx.count();
        f.sendFrame();
        // The receiver's thread may pick datagrams up late on a busy machine:
        // a frame that sends is waited for, one that should not gets a moment
        // for anything it wrongly sent.
        if (expected[frame]) {
            rx.waitFor(before + expected[frame], 5000);
        } else {
            usleep(30000);
        }
        perFrame.push_back(rx.count() - before);
    }
    EXPECT_EQ(expected, perFrame);
}

// The kernel takes at most 1024 datagrams per sendmmsg call: a frame of more
// (1,584,000 channels here) goes out whole, in several calls, without a
// word of failure.
TEST(DDPOutput, AFrameOfMoreThan1024DatagramsGoesOutWholeWithoutErrors) {
    kivtest::LogCapture log;
    UdpReceiver rx(lo(2), DDP_PORT);
    ASSERT_TRUE(rx.ok());
    OutputsFixture f;
    const int packets = 1100, channels = packets * 1440;
    Json::Value outs(Json::arrayValue);
    outs.append(OutputsFixture::udpOutput(one(ddp(lo(2), 1, channels, 4, false))));
    ASSERT_EQ(1, f.load(outs));
    f.pattern(0, channels, 3);
    f.sendFrame();
    ASSERT_TRUE(rx.waitFor(packets, 10000)) << rx.count() << " of " << packets;
    auto d = byOffset(rx.take());
    ASSERT_EQ((size_t)packets, d.size());
    for (int i = 0; i < packets; ++i) {
        ASSERT_EQ((uint32_t)i * 1440, GetBE32(d[i].bytes.data() + 4));
        ASSERT_EQ(0, memcmp(d[i].bytes.data() + 10, f.channels() + i * 1440, 1440)) << "packet " << i;
    }
    EXPECT_EQ(0x41, d.back().bytes[0]);
    EXPECT_FALSE(log.contains("sendmmsg() failed")) << log.text();
}

TEST(DDPOutput, UnresolvableHostNameDisablesDestinationWithWarning) {
    kivtest::LogCapture log;
    UdpReceiver rx(lo(2), DDP_PORT);
    ASSERT_TRUE(rx.ok());
    OutputsFixture f;
    Json::Value u(Json::arrayValue);
    u.append(ddp("no-such-controller.invalid", 1, 100));
    u.append(ddp(lo(2), 101, 100));
    Json::Value outs(Json::arrayValue);
    outs.append(OutputsFixture::udpOutput(u));
    ASSERT_EQ(1, f.load(outs));
    EXPECT_TRUE(hasWarning("Could not resolve host name no-such-controller.invalid - disabling output"));
    EXPECT_TRUE(log.contains("Error looking up hostname: no-such-controller.invalid\n"));
    ASSERT_NE(nullptr, UDPOutput::INSTANCE);
    const UDPOutputData* bad = UDPOutput::INSTANCE->GetOutputs().front();
    EXPECT_FALSE(bad->active);
    // Its range is no longer read; the good destination still sends.
    auto ranges = GetOutputRanges(true);
    ASSERT_EQ(1u, ranges.size());
    EXPECT_EQ(100u, ranges[0].first);
    f.sendFrame();
    EXPECT_TRUE(rx.waitFor(1, 5000));
    WarningHolder::RemoveWarning("Could not resolve host name no-such-controller.invalid - disabling output");
}

TEST(DDPOutput, ChannelRangePastTheFrameBufferIsDisabled) {
    OutputsFixture f;
    Json::Value outs(Json::arrayValue);
    outs.append(OutputsFixture::udpOutput(one(ddp(lo(2), 8388000, 1000))));
    ASSERT_EQ(1, f.load(outs));
    ASSERT_NE(nullptr, UDPOutput::INSTANCE);
    EXPECT_FALSE(UDPOutput::INSTANCE->GetOutputs().front()->active);
    f.sendFrame();  // must not read past the buffer (ASan would tell)
}
