#include <gtest/gtest.h>

#include <algorithm>

#include "TestSupport.h"
#include "UDPTestUtil.h"
#include "channeloutput/KiNet.h"
#include "ByteOrder.h"

using namespace udptest;
using kivtest::Datagram;
using kivtest::UdpReceiver;

namespace {

Json::Value kinet(int type, int start, int count, int id, int universes, bool dedup = false) {
    Json::Value u(Json::objectValue);
    u["type"] = type;
    u["address"] = lo(4);
    u["startChannel"] = start;
    u["channelCount"] = count;
    u["id"] = id;
    u["universeCount"] = universes;
    u["description"] = "kinet supply";
    u["deDuplicate"] = dedup ? 1 : 0;
    return u;
}

Json::Value outputsWith(const Json::Value& u) {
    Json::Value a(Json::arrayValue);
    a.append(u);
    Json::Value outs(Json::arrayValue);
    outs.append(OutputsFixture::udpOutput(a));
    return outs;
}

int portOf(const Datagram& d, int type) { return d.bytes[type == 6 ? 12 : 16]; }

std::vector<Datagram> byPort(std::vector<Datagram> d, int type) {
    std::stable_sort(d.begin(), d.end(),
                     [type](const Datagram& a, const Datagram& b) { return portOf(a, type) < portOf(b, type); });
    return d;
}

}  // namespace

TEST(KiNetOutput, Version1HeadersCarryPortsFromIdAndUniverseBytes) {
    UdpReceiver rx(lo(4), KINET_PORT);
    ASSERT_TRUE(rx.ok());
    OutputsFixture f;
    // 600 channels per universe is more than a universe holds: 512 are sent.
    ASSERT_EQ(1, f.load(outputsWith(kinet(6, 11, 600, 5, 3))));
    f.pattern(10, 3 * 512, 40);
    f.sendFrame();
    ASSERT_TRUE(rx.waitFor(3, 5000));
    auto d = byPort(rx.take(), 6);
    ASSERT_EQ(3u, d.size());
    const uint8_t head[] = {0x04, 0x01, 0xDC, 0x4A, 0x01, 0x00, 0x01, 0x01, 0, 0, 0, 0};
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(21u + 512, d[i].bytes.size());
        EXPECT_TRUE(std::equal(head, head + 12, d[i].bytes.begin()));
        EXPECT_EQ(5 + i, d[i].bytes[12]);
        EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0}), slice(d[i].bytes, 13, 8));
        EXPECT_EQ(channelsOf(f.channels(), 10 + 512 * i, 512), slice(d[i].bytes, 21, 512));
    }
    auto ranges = GetOutputRanges(true);
    ASSERT_EQ(1u, ranges.size());
    EXPECT_EQ(10u, ranges[0].first);
    EXPECT_GE(ranges[0].second, 3u * 512);
    EXPECT_LE(ranges[0].second, 3u * 512 + 1);
}

TEST(KiNetOutput, Version2HeadersCountSequenceAcrossBytes) {
    UdpReceiver rx(lo(4), KINET_PORT);
    ASSERT_TRUE(rx.ok());
    OutputsFixture f;
    ASSERT_EQ(1, f.load(outputsWith(kinet(7, 1, 100, 1, 2))));
    std::map<uint32_t, int> seen;  // sequence -> datagrams carrying it
    for (int frame = 1; frame <= 257; ++frame) {
        f.sendFrame();
        ASSERT_TRUE(rx.waitFor(2 * frame, 5000)) << "frame " << frame;
    }
    auto all = rx.take();
    ASSERT_EQ(2u * 257, all.size());
    const uint8_t head[] = {0x04, 0x01, 0xDC, 0x4A, 0x01, 0x00, 0x08, 0x01};
    for (auto& d : all) {
        ASSERT_EQ(24u + 100, d.bytes.size());
        EXPECT_TRUE(std::equal(head, head + 8, d.bytes.begin()));
        EXPECT_EQ((std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}), slice(d.bytes, 12, 4));
        EXPECT_TRUE(d.bytes[16] == 1 || d.bytes[16] == 2);
        EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 0x00, 0x02, 0, 0}), slice(d.bytes, 17, 7));
        seen[GetLE32(d.bytes.data() + 8)]++;
    }
    // Each universe counts 1..257; 256 carries into the second byte.
    ASSERT_EQ(257u, seen.size());
    EXPECT_EQ(1u, seen.begin()->first);
    EXPECT_EQ(257u, seen.rbegin()->first);
    for (auto& s : seen) EXPECT_EQ(2, s.second) << "sequence " << s.first;
    EXPECT_EQ(1u, seen.count(256));
}

TEST(KiNetOutput, UniverseCountIsClampedToOneAnd255) {
    OutputsFixture f;
    Json::Value a(Json::arrayValue);
    a.append(kinet(6, 1, 10, 1, 0));
    a.append(kinet(6, 1, 10, 1, 300));
    Json::Value outs(Json::arrayValue);
    outs.append(OutputsFixture::udpOutput(a));
    ASSERT_EQ(1, f.load(outs));
    ASSERT_NE(nullptr, UDPOutput::INSTANCE);
    auto& list = UDPOutput::INSTANCE->GetOutputs();
    ASSERT_EQ(2u, list.size());
    EXPECT_EQ(1, dynamic_cast<KiNetOutputData*>(list.front())->UniverseCount());
    EXPECT_EQ(255, dynamic_cast<KiNetOutputData*>(list.back())->UniverseCount());
    int mn = 0, mx = 0;
    list.back()->GetRequiredChannelRange(mn, mx);
    EXPECT_EQ(0, mn);
    EXPECT_EQ(10 * 255, mx);
}

TEST(KiNetOutput, DeDuplicationSkipsUnchangedUniversesOnly) {
    UdpReceiver rx(lo(4), KINET_PORT);
    ASSERT_TRUE(rx.ok());
    OutputsFixture f;
    ASSERT_EQ(1, f.load(outputsWith(kinet(6, 1, 512, 1, 3, true))));
    f.pattern(0, 3 * 512, 2);
    f.sendFrame();
    ASSERT_TRUE(rx.waitFor(3, 5000));
    rx.take();
    f.channels()[512 + 7] ^= 0x55;  // universe 2 changes
    f.sendFrame();
    ASSERT_TRUE(rx.waitFor(1, 5000));
    usleep(200000);
    auto d = rx.take();
    ASSERT_EQ(1u, d.size());
    EXPECT_EQ(2, d[0].bytes[12]);
    EXPECT_EQ(f.channels()[512 + 7], d[0].bytes[21 + 7]);
}

TEST(KiNetOutput, UnresolvableHostNameDisablesDestination) {
    OutputsFixture f;
    Json::Value u = kinet(7, 1, 10, 1, 1);
    u["address"] = "kinet-supply.invalid";
    ASSERT_EQ(1, f.load(outputsWith(u)));
    EXPECT_TRUE(hasWarning("Could not resolve host name kinet-supply.invalid - disabling output"));
    EXPECT_FALSE(UDPOutput::INSTANCE->GetOutputs().front()->active);
    WarningHolder::RemoveWarning("Could not resolve host name kinet-supply.invalid - disabling output");
}
