// What a message on Home Assistant's command topics makes kivd run: only
// the documented objects, only the payloads they take, only the options
// the selects offer.
#include <gtest/gtest.h>

#include "common.h"
#include "services/HomeAssistant.h"

TEST(HomeAssistant, TakesOnlyTheDocumentedCommands) {
    const std::vector<std::string> playlists = {"evening", "late show"}, effects = {"wash.hseq"};
    struct Case {
        const char* topic;
        const char* payload;
        const char* command;  // nullptr: refused
        const char* arg;
    } cases[] = {
        {"/ha/stop/set", "PRESS", "Stop Now", nullptr},
        {"/ha/stop_gracefully/set", "PRESS", "Stop Gracefully", nullptr},
        {"/ha/start_next_scheduled/set", "PRESS", "Start Next Scheduled Item", nullptr},
        {"/ha/stop/set", "press", nullptr, nullptr},
        {"/ha/start_playlist/set", "late show", "Start Playlist", "late show"},
        {"/ha/start_playlist/set", "None", "Stop Gracefully", nullptr},
        {"/ha/start_playlist/set", "ghost", nullptr, nullptr},
        {"/ha/start_playlist/set", "", nullptr, nullptr},
        {"/ha/effect/set", "wash.hseq", "Effect Start", "wash.hseq"},
        {"/ha/effect/set", "None", "Effects Stop All", nullptr},
        {"/ha/effect/set", "../wash.hseq", nullptr, nullptr},
        {"/ha/outputs/set", "ON", "Outputs On", nullptr},
        {"/ha/outputs/set", "OFF", "Outputs Off", nullptr},
        {"/ha/outputs/set", "1", nullptr, nullptr},
        {"/ha/restart/set", "PRESS", nullptr, nullptr},
        {"/ha//set", "PRESS", nullptr, nullptr},
        {"/ha/set", "PRESS", nullptr, nullptr},
        {"/ha/stop/set/x", "PRESS", nullptr, nullptr},
        {"/system/kivd/stop", "PRESS", nullptr, nullptr},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(std::string(c.topic) + " <- " + c.payload);
        HomeAssistantRequest r = HomeAssistant::ParseRequest(c.topic, c.payload, playlists, effects);
        EXPECT_EQ(r.valid, c.command != nullptr) << r.reason;
        if (!c.command) {
            EXPECT_FALSE(r.reason.empty());
            continue;
        }
        EXPECT_EQ(r.command["command"].asString(), c.command);
        ASSERT_EQ(r.command["args"].size(), c.arg ? 1u : 0u);
        if (c.arg) {
            EXPECT_EQ(r.command["args"][0].asString(), c.arg);
        }
    }
}

TEST(HomeAssistant, OneDeviceWhoseTopicsAreSafeForAnyHostName) {
    HomeAssistantBoard board;
    board.hostName = "garage door/1";
    board.model = "KIV (test)";
    board.version = "1.0.0";
    board.outputPorts = true;
    board.sensors.push_back({"CPU temp", "temperature", "°C", "sensors/CPU temp"});
    board.sensors.push_back({"Fan", "fan", "RPM", "sensors/Fan"});
    auto docs = HomeAssistant::Documents(board, "ha", "show/kivd/garage door_1");
    EXPECT_EQ(docs.size(), 6u + 2u + 3u + 2u + 1u);
    for (auto& [topic, doc] : docs) {
        SCOPED_TRACE(topic);
        EXPECT_TRUE(startsWith(topic, "ha/"));
        EXPECT_NE(topic.find("/kivd_garage_door_1/"), std::string::npos);
        EXPECT_EQ(topic.find(' '), std::string::npos);
        EXPECT_FALSE(doc["device"].isMember("configuration_url")) << "no HTTP interface, no link";
    }
    auto& cpu = docs["ha/sensor/kivd_garage_door_1/sensor_CPU_temp/config"];
    EXPECT_EQ(cpu["device_class"].asString(), "temperature");
    EXPECT_EQ(cpu["state_topic"].asString(), "show/kivd/garage door_1/sensors/CPU temp");
    auto& fan = docs["ha/sensor/kivd_garage_door_1/sensor_Fan/config"];
    EXPECT_FALSE(fan.isMember("device_class")) << "Home Assistant has no class for RPM";
    EXPECT_EQ(fan["unit_of_measurement"].asString(), "RPM");
    EXPECT_EQ(docs["ha/switch/kivd_garage_door_1/outputs/config"]["command_topic"].asString(),
              "show/kivd/garage door_1/ha/outputs/set");
}
