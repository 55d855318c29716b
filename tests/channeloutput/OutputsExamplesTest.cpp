// The outputs file examples of docs/outputs.md, loaded through the output
// registry as kivd loads them. Controller addresses are moved to loopback
// receivers; multicast and broadcast destinations are loaded but switched
// off, since only a private namespace may send those (see E131Test,
// ArtNetTest, GenericUDPOutputTest).

#include <gtest/gtest.h>

#include <memory>

#include "TestSupport.h"
#include "UDPTestUtil.h"
#include "channeloutput/ArtNet.h"
#include "channeloutput/DDP.h"
#include "channeloutput/E131.h"
#include "channeloutput/KiNet.h"
#include "channeloutput/Twinkly.h"

using namespace udptest;
using kivtest::UdpReceiver;

namespace {

struct Expect {
    std::string address;
    int port;
    size_t datagrams;
};

int portFor(int type) {
    switch (type) {
        case 1: return E131_PORT;
        case 3: return ARTNET_PORT;
        case 4:
        case 5: return DDP_PORT;
        case 6:
        case 7: return KINET_PORT;
        case 8: return TWINKLY_PORT;
    }
    return -1;
}

size_t datagramsFor(const Json::Value& u) {
    int type = u["type"].asInt();
    int count = u["channelCount"].asInt();
    int universes = u.get("universeCount", 1).asInt();
    if (type == 4 || type == 5) return (count + 1439) / 1440;
    if (type == 8) return (count + 899) / 900;
    return universes;
}

bool sendsOffLoopback(const Json::Value& u) {
    int type = u["type"].asInt();
    std::string addr = u.get("address", "").asString();
    return type == 0 || type == 2 || endsWith(addr, ".255");
}

class OutputsExamples : public ::testing::TestWithParam<std::string> {};

}  // namespace

TEST_P(OutputsExamples, LoadsThroughTheRegistryAndReachesItsControllers) {
    std::string name = GetParam();
    std::string doc = GetFileContents(kivtest::sourceDir() + "/docs/outputs.md");
    EXPECT_NE(std::string::npos, doc.find("(examples/" + name + ")")) << "docs/outputs.md does not link " << name;
    Json::Value file;
    ASSERT_TRUE(LoadJsonFromFile(kivtest::sourceDir() + "/docs/examples/" + name, file));
    ASSERT_TRUE(file["channelOutputs"].isArray());

    std::vector<Expect> expected;
    std::vector<std::string> types;
    int next = 30;
    Json::Value& outputs = file["channelOutputs"];
    for (auto& o : outputs) {
        if (o["type"].asString() == "UDP") {
            for (auto& u : o["universes"]) {
                types.push_back(std::to_string(u["type"].asInt()));
                if (sendsOffLoopback(u)) {
                    u["active"] = 0;
                    continue;
                }
                u["address"] = lo(next++);
                expected.push_back({u["address"].asString(), portFor(u["type"].asInt()), datagramsFor(u)});
            }
        } else if (o["type"].asString() == "GenericUDP") {
            types.push_back("GenericUDP");
            o["address"] = lo(next++);
            expected.push_back({o["address"].asString(), o["port"].asInt(), 1});
        }
    }
    ASSERT_FALSE(types.empty());

    std::vector<std::unique_ptr<UdpReceiver>> receivers;
    for (auto& e : expected) {
        receivers.emplace_back(new UdpReceiver(e.address, (uint16_t)e.port));
        ASSERT_TRUE(receivers.back()->ok()) << e.address << ":" << e.port;
    }
    auto before = WarningHolder::GetWarnings();
    kivtest::LogCapture log;
    OutputsFixture f;
    ASSERT_EQ((int)outputs.size(), f.load(outputs));
    EXPECT_FALSE(log.contains("Unknown IP output type"));
    EXPECT_EQ(before, WarningHolder::GetWarnings());
    ASSERT_NE(nullptr, UDPOutput::INSTANCE);
    EXPECT_EQ(types.size(), UDPOutput::INSTANCE->GetOutputs().size());
    f.pattern(0, 60000, 1);
    f.sendFrame();
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_TRUE(receivers[i]->waitFor(expected[i].datagrams, 5000))
            << expected[i].address << ":" << expected[i].port << " got " << receivers[i]->count();
    }
    usleep(100000);
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(expected[i].datagrams, receivers[i]->count());
}

INSTANTIATE_TEST_SUITE_P(Docs, OutputsExamples,
                         ::testing::Values("outputs-ddp.json", "outputs-kinet.json", "outputs-e131.json",
                                           "outputs-artnet.json", "outputs-twinkly.json", "outputs-genericudp.json"),
                         [](const ::testing::TestParamInfo<std::string>& i) {
                             std::string n = i.param.substr(8, i.param.size() - 13);
                             return n;
                         });
