// The board's sensors through the real kivd, from a fake sysfs tree, with
// a real mosquitto broker: values, scale and units in "Get Sensors", in the
// status document, on the status page and over MQTT; a threshold crossed
// raises its warning and runs its preset, and coming back past the
// hysteresis clears it.

#include <gtest/gtest.h>

#include <unistd.h>

#include "FakeSysfs.h"
#include "HeadlessChromium.h"
#include "KivdProcess.h"
#include "MqttTestSupport.h"
#include "TestSupport.h"
#include "common.h"

using kivtest::MosquittoBroker;
using kivtest::MqttSubscriber;

namespace {

const std::string BASE = "house/kivd/board1/";

class SensorsEndToEnd : public ::testing::Test {
protected:
    void TearDown() override {
        if (d.running()) d.stop();
    }
    Json::Value commandJson(const std::vector<std::string>& args) {
        std::string out;
        d.command(args, &out, 10);
        return LoadJsonFromString(out);
    }
    bool warned(const std::string& w) {
        for (auto& x : commandJson({"Get Warnings"}))
            if (x.asString() == w) return true;
        return false;
    }
    Json::Value find(const Json::Value& list, const std::string& name) {
        for (auto& s : list)
            if (s["name"].asString() == name) return s;
        return Json::Value();
    }

    MosquittoBroker broker;
    kivtest::TempMediaDir media;
    kivtest::FakeSysfs sys{media.file("/sys")};
    kivtest::KivdProcess d{media.path()};
};

TEST_F(SensorsEndToEnd, ValuesReachGetSensorsStatusAndMqttAndAThresholdWarnsAndClears) {
    if (!MosquittoBroker::available()) GTEST_SKIP() << "mosquitto is not installed";
    ASSERT_TRUE(broker.start()) << broker.log();
    media.write("/settings", "HostName = board1\nMQTTHost = " + broker.address() +
                                 "\nMQTTPrefix = house\nSysfsRoot = " + sys.root() + "\nSensorReadInterval = 200\n");
    media.write("/config/commandPresets.json", R"({"commands": [
      {"name": "CPU_HOT", "command": "Trigger Command Preset", "args": ["SAW HOT %SENSOR% %VALUE%"]},
      {"name": "CPU_COOL", "command": "Trigger Command Preset", "args": ["SAW COOL %VALUE%"]}]})");
    media.write("/config/sensors.json", R"({"sensors": [
      {"name": "CPU", "source": "cpu-thermal", "channel": "temp",
       "thresholds": [{"above": 70, "hysteresis": 5, "preset": "CPU_HOT", "clearPreset": "CPU_COOL"}]},
      {"name": "PSU", "source": "ads1015", "channel": "voltage0", "scale": 11, "unit": "V"},
      {"name": "Fan", "source": "pwmfan", "channel": "fan1"}]})");
    MqttSubscriber sub(broker.address(), broker.port(), BASE + "#");
    ASSERT_TRUE(sub.waitConnected());
    ASSERT_TRUE(d.start({"-f", "--log-level", "debug:Command"}));
    ASSERT_TRUE(d.waitReady()) << d.output();

    // Values, scale and units in "Get Sensors".
    ASSERT_TRUE(kivtest::waitUntil(
        [&] { return !find(commandJson({"Get Sensors"})["sensors"], "CPU")["value"].isNull(); }, 10000))
        << d.log();
    Json::Value list = commandJson({"Get Sensors"})["sensors"];
    EXPECT_DOUBLE_EQ(find(list, "CPU")["value"].asDouble(), 48.312);
    EXPECT_EQ(find(list, "CPU")["unit"].asString(), "°C");
    EXPECT_DOUBLE_EQ(find(list, "PSU")["value"].asDouble(), 11.88);
    EXPECT_EQ(find(list, "PSU")["scale"].asDouble(), 11);
    EXPECT_EQ(find(list, "PSU")["raw"].asInt(), 360);
    EXPECT_EQ(find(list, "PSU")["unit"].asString(), "V");
    EXPECT_EQ(find(list, "Fan")["unit"].asString(), "RPM");
    EXPECT_EQ(find(list, "ina3221 curr1")["unit"].asString(), "A") << "channels not named keep their own";

    // And over MQTT: each value, and all of them with their units.
    EXPECT_GE(sub.waitFor(BASE + "sensors/CPU", "48.312", 10000), 0);
    EXPECT_GE(sub.waitFor(BASE + "sensors/PSU", "11.88", 10000), 0);
    EXPECT_GE(sub.waitFor(BASE + "sensors/Fan", "2400", 10000), 0);
    int doc = sub.waitFor(BASE + "sensors", "", 10000);
    ASSERT_GE(doc, 0);
    Json::Value all = LoadJsonFromString(sub.messages()[doc].payload);
    EXPECT_EQ(find(all, "PSU")["unit"].asString(), "V");
    EXPECT_DOUBLE_EQ(find(all, "PSU")["value"].asDouble(), 11.88);

    // Over the limit: the warning and the preset; back inside the
    // hysteresis nothing changes; below it the warning goes.
    const std::string warning = "Sensor CPU is above 70 °C";
    sys.write("class/thermal/thermal_zone0/temp", "71500\n");
    EXPECT_TRUE(kivtest::waitUntil([&] { return warned(warning); }, 10000)) << d.log();
    EXPECT_TRUE(kivtest::waitUntil([&] { return d.log().find("TriggerPreset(SAW HOT CPU 71.5)") != std::string::npos; },
                                   10000));
    EXPECT_TRUE(find(commandJson({"Get Status"})["sensors"], "CPU")["alarm"].asBool());
    size_t from = sub.messages().size();
    sys.write("class/thermal/thermal_zone0/temp", "67000\n");
    ASSERT_GE(sub.waitFor(BASE + "sensors/CPU", "67", 10000, from), 0);
    EXPECT_TRUE(warned(warning));
    sys.write("class/thermal/thermal_zone0/temp", "64000\n");
    EXPECT_TRUE(kivtest::waitUntil([&] { return !warned(warning); }, 10000));
    EXPECT_TRUE(
        kivtest::waitUntil([&] { return d.log().find("TriggerPreset(SAW COOL 64)") != std::string::npos; }, 10000));
    std::string log = d.log();
    EXPECT_EQ(log.find("TriggerPreset(SAW HOT"), log.rfind("TriggerPreset(SAW HOT")) << "once";

    // The status document, and the status page that shows it.
    Json::Value status = find(commandJson({"Get Status"})["sensors"], "CPU");
    EXPECT_DOUBLE_EQ(status["value"].asDouble(), 64);
    EXPECT_FALSE(status["alarm"].asBool());
    if (kivtest::HeadlessChromium::available()) {
        kivtest::HeadlessChromium browser;
        ASSERT_TRUE(browser.ok()) << browser.error();
        ASSERT_TRUE(browser.open(d.httpUrl("/"))) << browser.error();
        EXPECT_TRUE(browser.waitFor("document.getElementById('sensors').innerText.includes('PSU: 11.88 V')", 20000))
            << browser.evaluate("document.body.innerText").asString();
        EXPECT_TRUE(browser.waitFor("document.getElementById('sensors').innerText.includes('CPU: 64 °C')", 5000));
    }
    EXPECT_EQ(d.stop(), 0);
}

}  // namespace
