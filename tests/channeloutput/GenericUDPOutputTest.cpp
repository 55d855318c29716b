#include <gtest/gtest.h>

#include "NetTestSupport.h"
#include "TestSupport.h"
#include "UDPTestUtil.h"
#include "channeloutput/GenericUDPOutput.h"

using namespace udptest;
using kivtest::UdpReceiver;

namespace {

Json::Value generic(const std::string& tokens, int start, int count, const std::string& address = lo(6)) {
    Json::Value o(Json::objectValue);
    o["type"] = "GenericUDP";
    o["enabled"] = 1;
    o["startChannel"] = start;
    o["channelCount"] = count;
    o["address"] = address;
    o["port"] = 5050;
    o["tokens"] = tokens;
    o["description"] = "custom device";
    return o;
}

// The generic output plus an engine with no destinations of its own.
Json::Value withEngine(const Json::Value& g, const std::string& iface = "") {
    Json::Value outs(Json::arrayValue);
    outs.append(g);  // listed first on purpose: the engine must still be up first
    Json::Value e = OutputsFixture::udpOutput(Json::Value(Json::arrayValue));
    if (!iface.empty()) e["interface"] = iface;
    outs.append(e);
    return outs;
}

std::vector<uint8_t> receiveOne(OutputsFixture& f, UdpReceiver& rx) {
    f.sendFrame();
    EXPECT_TRUE(rx.waitFor(1, 5000));
    auto d = rx.take();
    return d.empty() ? std::vector<uint8_t>() : d[0].bytes;
}

}  // namespace

TEST(GenericUDPOutput, HexByteAndLittleEndianCountBeforeTheData) {
    UdpReceiver rx(lo(6), 5050);
    ASSERT_TRUE(rx.ok());
    OutputsFixture f;
    ASSERT_EQ(2, f.load(withEngine(generic("0x9C {S2} {data}", 11, 300))));
    f.pattern(10, 300, 90);
    auto b = receiveOne(f, rx);
    ASSERT_EQ(3u + 300, b.size());
    EXPECT_EQ((std::vector<uint8_t>{0x9C, 0x2C, 0x01}), slice(b, 0, 3));
    EXPECT_EQ(channelsOf(f.channels(), 10, 300), slice(b, 3, 300));
}

TEST(GenericUDPOutput, LiteralCharactersAndHashByteAroundTheData) {
    UdpReceiver rx(lo(6), 5050);
    ASSERT_TRUE(rx.ok());
    OutputsFixture f;
    ASSERT_EQ(2, f.load(withEngine(generic("AB {data} #0D", 1, 6))));
    f.pattern(0, 6, 1);
    auto b = receiveOne(f, rx);
    EXPECT_EQ((std::vector<uint8_t>{'A', 'B', 1, 2, 3, 4, 5, 6, 0x0D}), b);
}

TEST(GenericUDPOutput, PixelAndChannelCountTokensInBothByteOrders) {
    UdpReceiver rx(lo(6), 5050);
    ASSERT_TRUE(rx.ok());
    OutputsFixture f;
    // 600 channels = 200 pixels; a token of three or more other characters adds nothing.
    ASSERT_EQ(2, f.load(withEngine(generic("{P} {p2} {P2} {s2} {S2} {S1} {s} skip {data} {data}", 1, 600))));
    f.pattern(0, 600, 4);
    auto b = receiveOne(f, rx);
    ASSERT_EQ(11u + 1200, b.size());
    EXPECT_EQ((std::vector<uint8_t>{0xC8, 0x00, 0xC8, 0xC8, 0x00, 0x02, 0x58, 0x58, 0x02, 0x58, 0x58}),
              slice(b, 0, 11));
    EXPECT_EQ(channelsOf(f.channels(), 0, 600), slice(b, 11, 600));
    EXPECT_EQ(channelsOf(f.channels(), 0, 600), slice(b, 611, 600));
}

TEST(GenericUDPOutput, UnknownBraceTokenIsPrintedAndSentAsCharacters) {
    UdpReceiver rx(lo(6), 5050);
    ASSERT_TRUE(rx.ok());
    OutputsFixture f;
    testing::internal::CaptureStdout();
    int loaded = f.load(withEngine(generic("{X} {data}", 1, 2)));
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(2, loaded);
    EXPECT_NE(std::string::npos, out.find("Unknown token -{X}-\n")) << out;
    f.channels()[0] = 7;
    f.channels()[1] = 8;
    EXPECT_EQ((std::vector<uint8_t>{'{', 'X', '}', 7, 8}), receiveOne(f, rx));
}

TEST(GenericUDPOutput, WithoutTheUDPEngineLogsItsErrorAndSendsNothing) {
    kivtest::LogCapture log;
    UdpReceiver rx(lo(6), 5050);
    ASSERT_TRUE(rx.ok());
    OutputsFixture f;
    Json::Value outs(Json::arrayValue);
    outs.append(generic("{data}", 1, 10));
    ASSERT_EQ(1, f.load(outs));
    EXPECT_EQ(nullptr, UDPOutput::INSTANCE);
    EXPECT_TRUE(log.contains("GenericUDPOutput Requires the UDP outputs to be enabled\n"));
    f.sendFrame();
    usleep(300000);
    EXPECT_EQ(0u, rx.count());
    // Its range is still reported (0-based start, inclusive end).
    auto ranges = GetOutputRanges(true);
    ASSERT_EQ(1u, ranges.size());
    EXPECT_EQ(0u, ranges[0].first);
    EXPECT_EQ(10u, ranges[0].second);
}

TEST(GenericUDPOutput, UnresolvableHostNameDisablesWithWarning) {
    OutputsFixture f;
    ASSERT_EQ(2, f.load(withEngine(generic("{data}", 1, 10, "custom-device.invalid"))));
    ASSERT_NE(nullptr, UDPOutput::INSTANCE);
    ASSERT_EQ(1u, UDPOutput::INSTANCE->GetOutputs().size());
    EXPECT_FALSE(UDPOutput::INSTANCE->GetOutputs().front()->active);
    EXPECT_TRUE(hasWarning("Could not resolve host name custom-device.invalid - disabling output"));
    WarningHolder::RemoveWarning("Could not resolve host name custom-device.invalid - disabling output");
}

TEST(GenericUDPOutput, BroadcastAddressIsNotPingedAndUsesTheBroadcastSocket) {
    KIV_RUN_IN_PRIVATE_NETNS();
    ASSERT_EQ(0, kivtest::runCommand(kivtest::privateShowNetworkCommand()));
    OutputsFixture f;
    ASSERT_EQ(2, f.load(withEngine(generic("0x01 {data}", 1, 4, "10.77.0.255"), "kivshow0")));
    auto* d = dynamic_cast<GenericUDPOutputData*>(UDPOutput::INSTANCE->GetOutputs().front());
    ASSERT_NE(nullptr, d);
    EXPECT_TRUE(d->IsBroadcast());
    EXPECT_FALSE(d->IsPingable());
    kivtest::TsharkCapture cap("kivshow0", "udp port 5050");
    ASSERT_TRUE(cap.started()) << cap.error();
    f.pattern(0, 4, 0xA0);
    f.sendFrame();
    cap.stop();
    std::string rows = cap.decode("-T fields -E separator=, -e ip.src -e ip.dst -e udp.dstport -e data.data");
    EXPECT_EQ("10.77.0.1,10.77.0.255,5050,01a0a1a2a3\n", rows);
}
