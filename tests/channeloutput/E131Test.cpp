#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>

#include "NetTestSupport.h"
#include "TestSupport.h"
#include "UDPTestUtil.h"
#include "channeloutput/E131.h"
#include "ByteOrder.h"

using namespace udptest;
using kivtest::Datagram;
using kivtest::UdpReceiver;

namespace {

Json::Value e131(int type, int start, int count, int universe, int universes) {
    Json::Value u(Json::objectValue);
    u["type"] = type;
    if (type == 1) u["address"] = lo(2);
    u["startChannel"] = start;
    u["channelCount"] = count;
    u["universe"] = universe;
    u["universeCount"] = universes;
    u["priority"] = 150;
    u["sourceName"] = "Front Yard Show";
    u["cid"] = "5a1e0c0d-8f3b-4c11-9a6e-0123456789ab";
    u["description"] = "sacn node";
    return u;
}

Json::Value outputsWith(const Json::Value& u, const std::string& iface = "") {
    Json::Value a(Json::arrayValue);
    a.append(u);
    Json::Value o = OutputsFixture::udpOutput(a);
    if (!iface.empty()) o["interface"] = iface;
    Json::Value outs(Json::arrayValue);
    outs.append(o);
    return outs;
}

std::vector<uint8_t> bytes(std::initializer_list<int> l) { return std::vector<uint8_t>(l.begin(), l.end()); }

// Channel values per frame from tshark's ACN tree (decimal view, zeros shown).
std::vector<std::vector<int>> dmxValuesPerFrame(const std::string& verbose) {
    std::vector<std::vector<int>> frames;
    std::istringstream in(verbose);
    std::string line;
    bool inData = false;
    while (std::getline(in, line)) {
        if (line.rfind("Frame ", 0) == 0) {
            frames.emplace_back();
            inData = false;
            continue;
        }
        std::string t = line;
        t.erase(0, t.find_first_not_of(' '));
        if (t.rfind("Data:", 0) == 0) {
            inData = true;
            continue;
        }
        if (!inData) continue;
        size_t colon = t.find(':');
        if (colon != 7 || t.size() < 8 || !isdigit((unsigned char)t[0])) {
            inData = false;
            continue;
        }
        std::istringstream vals(t.substr(colon + 1));
        std::string v;
        while (vals >> v) {
            if (v != "|" && !frames.empty()) frames.back().push_back(std::stoi(v));
        }
    }
    return frames;
}

const char* ACN_OPTS =
    "--enable-heuristic acn -o acn.dmx_enable:TRUE -o acn.dmx_display_view:Decimal -o acn.dmx_display_zeros:TRUE";

}  // namespace

TEST(E131Output, DataPacketLayoutByteForByte) {
    UdpReceiver rx(lo(2), E131_PORT);
    ASSERT_TRUE(rx.ok());
    OutputsFixture f;
    ASSERT_EQ(1, f.load(outputsWith(e131(1, 101, 300, 0x0102, 2))));
    f.pattern(100, 600, 77);
    f.sendFrame();
    ASSERT_TRUE(rx.waitFor(2, 5000));
    auto d = rx.take();
    ASSERT_EQ(2u, d.size());
    std::sort(d.begin(), d.end(), [](const Datagram& a, const Datagram& b) {
        return GetBE16(a.bytes.data() + 113) < GetBE16(b.bytes.data() + 113);
    });
    for (int i = 0; i < 2; ++i) {
        const auto& b = d[i].bytes;
        ASSERT_EQ(126u + 300, b.size());
        // root layer
        EXPECT_EQ(bytes({0x00, 0x10, 0x00, 0x00}), slice(b, 0, 4));
        EXPECT_EQ(bytes({'A', 'S', 'C', '-', 'E', '1', '.', '1', '7', 0, 0, 0}), slice(b, 4, 12));
        EXPECT_EQ(0x7000 | (426 - 16), GetBE16(b.data() + 16));
        EXPECT_EQ(4u, GetBE32(b.data() + 18));
        EXPECT_EQ(bytes({0x5a, 0x1e, 0x0c, 0x0d, 0x8f, 0x3b, 0x4c, 0x11, 0x9a, 0x6e, 0x01, 0x23, 0x45, 0x67, 0x89, 0xab}),
                  slice(b, 22, 16));
        // framing layer
        EXPECT_EQ(0x7000 | (426 - 38), GetBE16(b.data() + 38));
        EXPECT_EQ(2u, GetBE32(b.data() + 40));
        EXPECT_EQ("Front Yard Show", std::string((const char*)b.data() + 44));
        EXPECT_EQ(std::vector<uint8_t>(64 - 15, 0), slice(b, 44 + 15, 64 - 15));
        EXPECT_EQ(150, b[108]);
        EXPECT_EQ(0, GetBE16(b.data() + 109));
        EXPECT_EQ(1, b[111]);
        EXPECT_EQ(0, b[112]);
        EXPECT_EQ(0x0102 + i, GetBE16(b.data() + 113));
        // DMP layer
        EXPECT_EQ(0x7000 | (426 - 115), GetBE16(b.data() + 115));
        EXPECT_EQ(bytes({0x02, 0xa1, 0x00, 0x00, 0x00, 0x01}), slice(b, 117, 6));
        EXPECT_EQ(301, GetBE16(b.data() + 123));
        EXPECT_EQ(0, b[125]);
        EXPECT_EQ(channelsOf(f.channels(), 100 + 300 * i, 300), slice(b, 126, 300));
    }
}

TEST(E131Output, SequenceCountsPerUniverseAndWrapsAfter255) {
    UdpReceiver rx(lo(2), E131_PORT);
    ASSERT_TRUE(rx.ok());
    OutputsFixture f;
    ASSERT_EQ(1, f.load(outputsWith(e131(1, 1, 512, 1, 2))));
    for (int frame = 0; frame < 258; ++frame) {
        f.channels()[0] = (uint8_t)frame;
        f.channels()[512] = (uint8_t)frame;
        f.sendFrame();
        ASSERT_TRUE(rx.waitFor(2 * (frame + 1), 5000));
    }
    std::map<int, std::map<int, int>> seqByUniverseFrame;
    for (auto& d : rx.take()) {
        seqByUniverseFrame[GetBE16(d.bytes.data() + 113)][d.bytes[126]] = d.bytes[111];
    }
    ASSERT_EQ(2u, seqByUniverseFrame.size());
    for (auto& u : seqByUniverseFrame) {
        // 258 frames but frame numbers wrap in one byte: check the first 256.
        for (int frame = 0; frame < 256; ++frame) {
            int sent = frame < 2 ? frame + 256 : frame;  // frames 256, 257 overwrote 0, 1
            EXPECT_EQ((sent + 1) & 0xFF, u.second[frame]) << "universe " << u.first << " frame " << sent;
        }
    }
}

TEST(E131Output, UniverseOutsideTheValidRangeDisablesWithWarning) {
    OutputsFixture f;
    ASSERT_EQ(1, f.load(outputsWith(e131(1, 1, 512, 63999, 2))));
    EXPECT_FALSE(UDPOutput::INSTANCE->GetOutputs().front()->active);
    EXPECT_TRUE(hasWarning("E1.31 output sacn node: universe 63999 is outside 1-63999 - disabling output"));
    WarningHolder::RemoveWarning("E1.31 output sacn node: universe 63999 is outside 1-63999 - disabling output");
}

TEST(E131Output, TsharkDecodesUniversesSequencesAndChannelValues) {
    // Loopback hands a segmented send to the capture whole; in a namespace
    // of its own it is made to cut it first, as a network card without the
    // offload does, so that the capture shows the datagrams that travel.
    KIV_RUN_IN_PRIVATE_NETNS();
    ASSERT_EQ(0, kivtest::runCommand("ip link set dev lo gso_max_segs 1"));
    UdpReceiver rx(lo(2), E131_PORT);
    ASSERT_TRUE(rx.ok());
    OutputsFixture f;
    ASSERT_EQ(1, f.load(outputsWith(e131(1, 1, 512, 258, 2))));
    kivtest::TsharkCapture cap("lo", "udp port 5568 and dst host " + lo(2));
    ASSERT_TRUE(cap.started()) << cap.error();
    std::vector<std::vector<uint8_t>> sent;  // per frame, both universes
    for (int frame = 0; frame < 3; ++frame) {
        f.pattern(0, 1024, 30 * frame + 1);
        sent.push_back(channelsOf(f.channels(), 0, 1024));
        f.sendFrame();
        ASSERT_TRUE(rx.waitFor(2 * (frame + 1), 5000));
        usleep(20000);
    }
    if (!segmentationForcedOff()) {
        EXPECT_GT(UDPOutput::INSTANCE->SegmentedDatagrams(), 0) << "both universes in one segmented send";
    }
    cap.stop();
    std::string fields = cap.decode(std::string(ACN_OPTS) +
                                    " -Y acn -T fields -E separator=, -e acn.dmx.universe -e acn.dmx.seq_number"
                                    " -e acn.dmx.priority -e acn.dmx.source_name -e acn.cid");
    std::string verbose = cap.decode(std::string(ACN_OPTS) + " -Y acn -O acn");
    std::vector<std::string> rows;
    for (auto& r : split(fields, '\n')) {
        if (!r.empty()) rows.push_back(r);
    }
    ASSERT_EQ(6u, rows.size()) << fields;
    auto values = dmxValuesPerFrame(verbose);
    ASSERT_EQ(6u, values.size()) << verbose;
    std::map<int, std::vector<int>> seqs;
    for (size_t i = 0; i < rows.size(); ++i) {
        auto cols = split(rows[i], ',');
        ASSERT_EQ(5u, cols.size()) << rows[i];
        int universe = std::stoi(cols[0]);
        int seq = std::stoi(cols[1]);
        ASSERT_TRUE(universe == 258 || universe == 259) << rows[i];
        EXPECT_EQ("150", cols[2]);
        EXPECT_EQ("Front Yard Show", cols[3]);
        EXPECT_EQ("5a1e0c0d-8f3b-4c11-9a6e-0123456789ab", cols[4]);
        seqs[universe].push_back(seq);
        // The sequence number tells the frame; the values must be that frame's.
        int frame = seq - 1;
        ASSERT_GE(frame, 0);
        ASSERT_LT(frame, 3);
        std::vector<int> expected(sent[frame].begin() + 512 * (universe - 258),
                                  sent[frame].begin() + 512 * (universe - 257));
        EXPECT_EQ(expected, values[i]) << "universe " << universe << " sequence " << seq;
    }
    EXPECT_EQ((std::vector<int>{1, 2, 3}), seqs[258]);
    EXPECT_EQ((std::vector<int>{1, 2, 3}), seqs[259]);
}

TEST(E131Output, MulticastGoesToTheUniverseGroupInAPrivateNamespace) {
    KIV_RUN_IN_PRIVATE_NETNS();
    // In the child: a veth pair stands for the show network.
    ASSERT_EQ(0, kivtest::runCommand(kivtest::privateShowNetworkCommand()));
    OutputsFixture f;
    ASSERT_EQ(1, f.load(outputsWith(e131(0, 1, 100, 0x0203, 2), "kivshow0")));
    kivtest::TsharkCapture cap("kivshow0", "udp port 5568");
    ASSERT_TRUE(cap.started()) << cap.error();
    f.pattern(0, 200, 5);
    f.sendFrame();
    f.sendFrame();
    cap.stop();
    std::string rows = cap.decode(std::string(ACN_OPTS) +
                                  " -Y acn -T fields -E separator=, -e ip.src -e ip.dst -e udp.dstport"
                                  " -e acn.dmx.universe -e acn.dmx.seq_number");
    std::vector<std::string> got;
    for (auto& r : split(rows, '\n')) {
        if (!r.empty()) got.push_back(r);
    }
    std::sort(got.begin(), got.end());
    EXPECT_EQ((std::vector<std::string>{"10.77.0.1,239.255.2.3,5568,515,1", "10.77.0.1,239.255.2.3,5568,515,2",
                                        "10.77.0.1,239.255.2.4,5568,516,1", "10.77.0.1,239.255.2.4,5568,516,2"}),
              got)
        << rows;
}
