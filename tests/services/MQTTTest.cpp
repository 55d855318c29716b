#include "services/MQTT.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "Events.h"
#include "MqttTestSupport.h"
#include "StallMeter.h"
#include "TestSupport.h"
#include "Warnings.h"
#include "common.h"
#include "settings.h"

using kivtest::MosquittoBroker;
using kivtest::MqttSubscriber;

namespace {

class MQTTTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!MosquittoBroker::available()) GTEST_SKIP() << "mosquitto is not installed";
        ClearSettings();
        SetSetting("HostName", "board1");
        ASSERT_TRUE(broker.start()) << broker.log();
    }
    void TearDown() override { ClearSettings(); }

    MosquittoBroker broker;
};

}  // namespace

TEST(MQTTTopics, EveryTopicLivesUnderPrefixKivdAndHostName) {
    ClearSettings();
    SetSetting("HostName", "porch/1");
    MosquittoClient withPrefix("127.0.0.1", 1883, "home/lights/");
    EXPECT_EQ(withPrefix.BaseTopic(), "home/lights/kivd/porch_1");
    EXPECT_EQ(withPrefix.FullTopic("ready"), "home/lights/kivd/porch_1/ready");
    EXPECT_EQ(withPrefix.FullTopic("/system/kivd/#"), "home/lights/kivd/porch_1/system/kivd/#");
    EXPECT_EQ(withPrefix.FullTopic("playlist/sequence/status"), "home/lights/kivd/porch_1/playlist/sequence/status");
    MosquittoClient noPrefix("127.0.0.1", 1883, "");
    EXPECT_EQ(noPrefix.FullTopic("ready"), "kivd/porch_1/ready");
    ClearSettings();
}

TEST(MQTTInit, ACaFileThatCannotBeReadFailsInit) {
    MosquittoClient c("127.0.0.1", 0, "");
    EXPECT_FALSE(c.Init("", "", "/nonexistent/ca.crt"));
}

TEST_F(MQTTTest, PublishesRetainedValuesThatALateSubscriberStillGets) {
    MosquittoClient client(broker.address(), broker.port(), "home");
    ASSERT_TRUE(client.Init("", "", ""));
    ASSERT_TRUE(kivtest::waitUntil([&] { return client.IsConnected(); }, 10000));
    MqttSubscriber live(broker.address(), broker.port(), "home/kivd/board1/#");
    ASSERT_TRUE(live.waitConnected());

    EXPECT_TRUE(client.Publish("ready", 1));
    EXPECT_TRUE(client.Publish("playlist/sequence/status", "show.hseq"));
    EXPECT_GE(live.waitFor("home/kivd/board1/ready", "1", 10000), 0);
    EXPECT_GE(live.waitFor("home/kivd/board1/playlist/sequence/status", "show.hseq", 10000), 0);

    MqttSubscriber late(broker.address(), broker.port(), "home/kivd/board1/#");
    int i = late.waitFor("home/kivd/board1/ready", "1", 10000);
    ASSERT_GE(i, 0);
    EXPECT_TRUE(late.messages()[i].retain);
    EXPECT_GE(late.waitFor("home/kivd/board1/playlist/sequence/status", "show.hseq", 10000), 0);
}

TEST_F(MQTTTest, IncomingMessagesReachTheEventsCallbacksButRetainedOnesDoNot) {
    std::mutex m;
    std::vector<std::pair<std::string, std::string>> got;
    Events::CallbackFunction fn = [&](const std::string& topic, const std::string& payload) {
        std::lock_guard<std::mutex> lock(m);
        got.push_back({topic, payload});
    };
    auto received = [&] {
        std::lock_guard<std::mutex> lock(m);
        return got;
    };
    MqttSubscriber peer(broker.address(), broker.port(), "kivd/board1/#");
    ASSERT_TRUE(peer.waitConnected());
    // Kept by the broker from before the client: it would run again at
    // every connection, so it is ignored.
    ASSERT_TRUE(peer.publish("kivd/board1/test/kivd/stop", "old", true));
    ASSERT_GE(peer.waitFor("kivd/board1/test/kivd/stop", "old", 10000), 0);

    Events::AddCallback("/test/kivd/#", fn);
    MosquittoClient client(broker.address(), broker.port(), "");
    ASSERT_TRUE(client.Init("", "", ""));
    Events::AddEventHandler(&client);
    ASSERT_TRUE(kivtest::waitUntil([&] { return client.IsConnected(); }, 10000));
    // The client subscribes once connected; a message may race that, so
    // send until one arrives.
    ASSERT_TRUE(kivtest::waitUntil(
        [&] {
            peer.publish("kivd/board1/test/kivd/restart", "now");
            return kivtest::waitUntil([&] { return !received().empty(); }, 500);
        },
        10000));
    peer.publish("kivd/board1/other/thing", "not subscribed");
    peer.publish("kivd/board1/test/kivd/restart", "again");
    ASSERT_TRUE(kivtest::waitUntil([&] { return received().back().second == "again"; }, 10000));
    for (auto& g : received()) {
        EXPECT_EQ(g.first, "/test/kivd/restart");
        EXPECT_NE(g.second, "old");
        EXPECT_NE(g.second, "not subscribed");
    }
    Events::RemoveEventHandler(&client);
    Events::RemoveCallback("/test/kivd/#");
    peer.publish("kivd/board1/test/kivd/stop", "", true);  // clears the retained message
}

TEST_F(MQTTTest, ReconnectsAfterTheBrokerReturnsAndRepublishesTheLatestValues) {
    MosquittoClient client(broker.address(), broker.port(), "");
    ASSERT_TRUE(client.Init("", "", ""));
    ASSERT_TRUE(kivtest::waitUntil([&] { return client.IsConnected(); }, 10000));
    EXPECT_TRUE(client.Publish("ready", 1));

    broker.stop();
    ASSERT_TRUE(kivtest::waitUntil([&] { return !client.IsConnected(); }, 10000));
    // Kept while no broker is there.
    EXPECT_FALSE(client.Publish("warnings", "[\"a\"]"));
    ASSERT_TRUE(broker.start()) << broker.log();
    ASSERT_TRUE(kivtest::waitUntil([&] { return client.IsConnected(); }, 30000));
    EXPECT_EQ(client.ConnectionCount(), 2);

    // The restarted broker lost its retained values; the client sent them again.
    MqttSubscriber late(broker.address(), broker.port(), "kivd/board1/#");
    EXPECT_GE(late.waitFor("kivd/board1/ready", "1", 10000), 0);
    EXPECT_GE(late.waitFor("kivd/board1/warnings", "[\"a\"]", 10000), 0);
    EXPECT_TRUE(client.Publish("ready", 0));
    EXPECT_GE(late.waitFor("kivd/board1/ready", "0", 10000), 0);
}

TEST_F(MQTTTest, ABrokerThatComesLaterIsConnectedAndALongOutageIsAWarning) {
    broker.stop();
    MosquittoClient client(broker.address(), broker.port(), "");
    client.SetUnreachableWarningSeconds(1);
    ASSERT_TRUE(client.Init("", "", ""));
    std::string warning = "MQTT broker " + broker.address() + ":1883 cannot be reached";
    EXPECT_TRUE(kivtest::waitUntil([&] { return kivtest::hasWarning(warning); }, 10000));
    EXPECT_FALSE(client.IsConnected());
    ASSERT_TRUE(broker.start());
    EXPECT_TRUE(kivtest::waitUntil([&] { return client.IsConnected(); }, 30000));
    EXPECT_TRUE(kivtest::waitUntil([&] { return !kivtest::hasWarning(warning); }, 5000));
}

TEST_F(MQTTTest, ShutdownHandsTheLastValuesToTheBrokerBeforeDisconnecting) {
    MqttSubscriber sub(broker.address(), broker.port(), "kivd/board1/#");
    ASSERT_TRUE(sub.waitConnected());
    {
        MosquittoClient client(broker.address(), broker.port(), "");
        ASSERT_TRUE(client.Init("", "", ""));
        ASSERT_TRUE(kivtest::waitUntil([&] { return client.IsConnected(); }, 10000));
        client.Publish("ready", 1);
        ASSERT_GE(sub.waitFor("kivd/board1/ready", "1", 10000), 0);
        client.Publish("ready", 0);
        client.PrepareForShutdown();
    }
    size_t before = sub.messages().size();
    EXPECT_GE(sub.waitFor("kivd/board1/ready", "0", 10000), 0);
    // A clean disconnect: the will is not sent on top.
    usleep(300000);
    auto ready = sub.messages("kivd/board1/ready");
    std::string seen;
    for (auto& m : ready) seen += m.payload + (m.retain ? "r " : " ");
    EXPECT_EQ(ready.size(), 2u) << seen << broker.log();
    (void)before;
}

// kivd's stop: "ready" 0, the subscriptions dropped (their acknowledgements
// still on the way), the client deleted. Many times over, since whether an
// acknowledgement lands before the socket closes is a matter of timing.
TEST_F(MQTTTest, StoppingRightAfterUnsubscribingAlwaysSaysGoodbye) {
    const int stops = 30;
    for (int i = 0; i < stops; ++i) {
        MosquittoClient client(broker.address(), broker.port(), "", "stop" + std::to_string(i));
        for (auto t : {"/system/kivd/#", "/system/shutdown", "/system/restart"}) client.RegisterCallback(t);
        ASSERT_TRUE(client.Init("", "", ""));
        ASSERT_TRUE(kivtest::waitUntil([&] { return client.IsConnected(); }, 10000));
        client.Publish("ready", 0);
        client.PrepareForShutdown();
        for (auto t : {"/system/kivd/#", "/system/shutdown", "/system/restart"}) client.RemoveCallback(t);
    }
    std::string log;
    int goodbyes = 0;
    ASSERT_TRUE(kivtest::waitUntil(
        [&] {
            log = broker.log();
            goodbyes = 0;
            for (int i = 0; i < stops; ++i) {
                goodbyes += log.find("Client stop" + std::to_string(i) + " disconnected.") != std::string::npos;
            }
            return goodbyes == stops;
        },
        5000))
        << goodbyes << " goodbyes of " << stops << "\n" << log;
    EXPECT_EQ(log.find("closed its connection.", log.find("Client stop0")), std::string::npos) << log;
}

TEST_F(MQTTTest, StopsPromptlyWhileWaitingToReconnect) {
    auto* client = new MosquittoClient(broker.address(), broker.port(), "");
    ASSERT_TRUE(client->Init("", "", ""));
    ASSERT_TRUE(kivtest::waitUntil([&] { return client->IsConnected(); }, 10000));
    broker.stop();
    // Long enough for the reconnect delay to have grown past a few seconds.
    sleep(5);
    kivtest::StallMeter stalls;
    long long t0 = GetTimeMS();
    delete client;
    // Not the rest of the back-off, which is several seconds by now.
    EXPECT_LT(GetTimeMS() - t0, 2000 + 2 * stalls.worstUs() / 1000);
}
