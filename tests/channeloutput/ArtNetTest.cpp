#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "NetTestSupport.h"
#include "TestSupport.h"
#include "UDPTestUtil.h"
#include "channeloutput/ArtNet.h"
#include "ByteOrder.h"

using namespace udptest;
using kivtest::Datagram;
using kivtest::UdpReceiver;

namespace {

Json::Value artnet(int type, int start, int count, int universe, int universes, const std::string& address) {
    Json::Value u(Json::objectValue);
    u["type"] = type;
    if (!address.empty()) u["address"] = address;
    u["startChannel"] = start;
    u["channelCount"] = count;
    u["universe"] = universe;
    u["universeCount"] = universes;
    u["description"] = "artnet node";
    return u;
}

Json::Value outputsWith(const Json::Value& list, const std::string& iface = "") {
    Json::Value o = OutputsFixture::udpOutput(list);
    if (!iface.empty()) o["interface"] = iface;
    Json::Value outs(Json::arrayValue);
    outs.append(o);
    return outs;
}

Json::Value listOf(const Json::Value& u) {
    Json::Value a(Json::arrayValue);
    a.append(u);
    return a;
}

int universeOf(const Datagram& d) { return d.bytes[14] | (d.bytes[15] << 8); }

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    for (auto& r : split(text, '\n')) {
        if (!r.empty()) out.push_back(r);
    }
    return out;
}

std::string hex(const std::vector<uint8_t>& v) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (uint8_t b : v) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

}  // namespace

TEST(ArtNetOutput, ArtDmxLayoutByteForByteWithOddLengthPadded) {
    UdpReceiver rx(lo(3), ARTNET_PORT);
    ASSERT_TRUE(rx.ok());
    OutputsFixture f;
    // Port-address 0x02FF then 0x0300: SubUni carries into Net.
    ASSERT_EQ(1, f.load(outputsWith(listOf(artnet(3, 21, 5, 0x02FF, 2, lo(3))))));
    f.pattern(20, 10, 200);
    f.sendFrame();
    ASSERT_TRUE(rx.waitFor(2, 5000));
    auto d = rx.take();
    ASSERT_EQ(2u, d.size());
    std::sort(d.begin(), d.end(), [](const Datagram& a, const Datagram& b) { return universeOf(a) < universeOf(b); });
    const std::vector<uint8_t> id = {'A', 'r', 't', '-', 'N', 'e', 't', 0};
    for (int i = 0; i < 2; ++i) {
        const auto& b = d[i].bytes;
        ASSERT_EQ(18u + 6, b.size());
        EXPECT_EQ(id, slice(b, 0, 8));
        EXPECT_EQ((std::vector<uint8_t>{0x00, 0x50, 0x00, 0x0e}), slice(b, 8, 4));
        EXPECT_EQ(1, b[12]);
        EXPECT_EQ(0, b[13]);
        EXPECT_EQ(6, GetBE16(b.data() + 16));
        auto data = channelsOf(f.channels(), 20 + 5 * i, 5);
        data.push_back(0);
        EXPECT_EQ(data, slice(b, 18, 6));
    }
    EXPECT_EQ(0xFF, d[0].bytes[14]);
    EXPECT_EQ(0x02, d[0].bytes[15]);
    EXPECT_EQ(0x00, d[1].bytes[14]);
    EXPECT_EQ(0x03, d[1].bytes[15]);
}

TEST(ArtNetOutput, SequenceRunsFrom1To255AndSkipsZero) {
    UdpReceiver rx(lo(3), ARTNET_PORT);
    ASSERT_TRUE(rx.ok());
    OutputsFixture f;
    ASSERT_EQ(1, f.load(outputsWith(listOf(artnet(3, 1, 512, 0, 1, lo(3))))));
    std::map<int, int> seqByFrame;
    for (int frame = 0; frame < 257; ++frame) {
        f.channels()[0] = (uint8_t)frame;
        f.channels()[1] = (uint8_t)(frame >> 8);
        f.sendFrame();
        ASSERT_TRUE(rx.waitFor(frame + 1, 5000));
    }
    for (auto& d : rx.take()) seqByFrame[d.bytes[18] | (d.bytes[19] << 8)] = d.bytes[12];
    ASSERT_EQ(257u, seqByFrame.size());
    for (int frame = 0; frame < 257; ++frame) {
        EXPECT_EQ(frame % 255 + 1, seqByFrame[frame]) << "frame " << frame;
    }
}

TEST(ArtNetOutput, StaticUniversesAreSkippedForTenFramesWithDeDuplication) {
    UdpReceiver rx(lo(3), ARTNET_PORT);
    ASSERT_TRUE(rx.ok());
    OutputsFixture f;
    Json::Value u = artnet(3, 1, 512, 4, 2, lo(3));
    u["deDuplicate"] = 1;
    ASSERT_EQ(1, f.load(outputsWith(listOf(u))));
    const std::vector<size_t> expected{2, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 2, 0};
    std::vector<size_t> perFrame;
    for (int frame = 0; frame < 13; ++frame) {
        f.channels()[0] = frame == 5 ? 1 : 0;  // universe 4 changes on frames 5 and 6
        size_t before = rx.count();
        f.sendFrame();
        // Every datagram of the frame is in the receiver's socket once the
        // sends are done; give its reading thread time to take them.
        WaitForChannelOutputSends();
        rx.waitFor(before + expected[frame], 2000);
        usleep(20000);
        perFrame.push_back(rx.count() - before);
    }
    EXPECT_EQ(expected, perFrame);
}

TEST(ArtNetOutput, TsharkDecodesUniversesSequencesAndChannelValues) {
    // Loopback hands a segmented send to the capture whole; in a namespace
    // of its own it is made to cut it first, as a network card without the
    // offload does, so that the capture shows the datagrams that travel.
    KIV_RUN_IN_PRIVATE_NETNS();
    ASSERT_EQ(0, kivtest::runCommand("ip link set dev lo gso_max_segs 1"));
    UdpReceiver rx(lo(3), ARTNET_PORT);
    ASSERT_TRUE(rx.ok());
    OutputsFixture f;
    ASSERT_EQ(1, f.load(outputsWith(listOf(artnet(3, 1, 512, 0x0101, 2, lo(3))))));
    kivtest::TsharkCapture cap("lo", "udp port 6454 and dst host " + lo(3));
    ASSERT_TRUE(cap.started()) << cap.error();
    std::vector<std::vector<uint8_t>> sent;
    for (int frame = 0; frame < 3; ++frame) {
        f.pattern(0, 1024, 50 * frame + 3);
        sent.push_back(channelsOf(f.channels(), 0, 1024));
        f.sendFrame();
        ASSERT_TRUE(rx.waitFor(2 * (frame + 1), 5000));
        usleep(20000);
    }
    if (!segmentationForcedOff()) {
        EXPECT_GT(UDPOutput::INSTANCE->SegmentedDatagrams(), 0) << "both universes in one segmented send";
    }
    cap.stop();
    auto rows = lines(cap.decode("-Y artnet -T fields -E separator=, -e artnet.header.opcode -e artnet.header.protver"
                                 " -e artnet.output.universe -e artnet.output.sequence -e artnet.output.length"
                                 " -e dmx_chan.data_filter"));
    ASSERT_EQ(6u, rows.size());
    std::map<int, std::vector<int>> seqs;
    for (auto& r : rows) {
        auto c = split(r, ',');
        ASSERT_EQ(6u, c.size()) << r;
        EXPECT_EQ("0x5000", c[0]);
        EXPECT_EQ("14", c[1]);
        int universe = std::stoi(c[2]);
        int seq = std::stoi(c[3]);
        EXPECT_EQ("512", c[4]);
        ASSERT_TRUE(universe == 0x0101 || universe == 0x0102) << r;
        ASSERT_TRUE(seq >= 1 && seq <= 3) << r;
        seqs[universe].push_back(seq);
        int idx = universe - 0x0101;
        std::vector<uint8_t> expected(sent[seq - 1].begin() + 512 * idx, sent[seq - 1].begin() + 512 * (idx + 1));
        EXPECT_EQ(hex(expected), c[5]) << "universe " << universe << " sequence " << seq;
    }
    EXPECT_EQ((std::vector<int>{1, 2, 3}), seqs[0x0101]);
    EXPECT_EQ((std::vector<int>{1, 2, 3}), seqs[0x0102]);
}

TEST(ArtNetOutput, BroadcastGoesOutOnTheShowInterfaceInAPrivateNamespace) {
    KIV_RUN_IN_PRIVATE_NETNS();
    ASSERT_EQ(0, kivtest::runCommand(kivtest::privateShowNetworkCommand()));
    OutputsFixture f;
    Json::Value list(Json::arrayValue);
    list.append(artnet(2, 1, 512, 1, 1, "10.77.0.255"));
    list.append(artnet(2, 513, 512, 2, 1, ""));  // default: 255.255.255.255
    ASSERT_EQ(1, f.load(outputsWith(list, "kivshow0")));
    EXPECT_FALSE(UDPOutput::INSTANCE->GetOutputs().front()->IsPingable());
    kivtest::TsharkCapture cap("kivshow0", "udp port 6454");
    ASSERT_TRUE(cap.started()) << cap.error();
    f.pattern(0, 1024, 9);
    f.sendFrame();
    cap.stop();
    auto rows = lines(cap.decode("-Y artnet -T fields -E separator=, -e ip.src -e ip.dst -e artnet.output.universe"
                                 " -e artnet.output.sequence"));
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ((std::vector<std::string>{"10.77.0.1,10.77.0.255,1,1", "10.77.0.1,255.255.255.255,2,1"}), rows);
}
