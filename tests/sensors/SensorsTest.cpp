// The sensor service on a fake sysfs tree: every channel found is a sensor
// in its unit, definitions rename, scale and hide channels or are refused
// with their reasons, thresholds raise and clear warnings with hysteresis
// and run presets, and the output monitor's port currents read through the
// same sources.

#include <gtest/gtest.h>

#include <cmath>

#include "FakeSysfs.h"
#include "OutputMonitor.h"
#include "RecordCommand.h"
#include "RecordingEvents.h"
#include "TestSupport.h"
#include "Warnings.h"
#include "commands/Commands.h"
#include "common.h"
#include "sensors/Sensors.h"
#include "settings.h"

namespace {

using kivtest::RecordCommand;

class SensorsTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetSetting("SysfsRoot", sys.root());
        RecordCommand::clear();
        CommandManager::INSTANCE.Init();
        CommandManager::INSTANCE.addCommand(new RecordCommand());
    }
    void TearDown() override {
        OutputMonitor::INSTANCE.Cleanup();
        Sensors::INSTANCE.Close();
        CommandManager::INSTANCE.Cleanup();
        for (auto& w : WarningHolder::GetWarnings()) WarningHolder::RemoveWarning(w);
        SetSetting("SysfsRoot", "/sys");
    }
    // Detects the board and adds the definitions, as kivd's start-up does.
    void start(const std::string& definitions = "") {
        sensors().DetectHWSensors();
        if (!definitions.empty()) sensors().addSensors(LoadJsonFromString(definitions)["sensors"]);
        sensors().ReadNow();
    }
    Sensors& sensors() { return Sensors::INSTANCE; }
    Json::Value sensor(const std::string& name) {
        Json::Value snapshot = sensors().Snapshot();
        for (auto& s : snapshot["sensors"])
            if (s["name"].asString() == name) return s;
        return Json::Value();
    }
    std::vector<std::string> presets() {
        CommandManager::INSTANCE.WaitForPresets();
        return RecordCommand::taken();
    }

    kivtest::TempMediaDir media;
    kivtest::FakeSysfs sys{media.file("/sys")};
};

TEST_F(SensorsTest, EveryChannelFoundIsASensorInItsUnit) {
    start();
    struct Case {
        const char* name;
        const char* kind;
        double value;
        const char* unit;
        long long raw;
    };
    const Case cases[] = {
        {"cpu-thermal", "temperature", 48.312, "°C", 48312},
        {"ina3221 VIN1", "voltage", 12.034, "V", 12034},  // by its label
        {"ina3221 curr1", "current", 1.5, "A", 1500},
        {"ina3221 curr2", "current", 0.25, "A", 250},
        {"ina3221 power1", "power", 18, "W", 18000000},
        {"pwmfan fan1", "fan", 2400, "RPM", 2400},
        {"ads1015 voltage0", "voltage", 1.08, "V", 360},    // the shared scale, 3 mV
        {"ads1015 voltage1", "voltage", -0.05, "V", -200},  // its own: (-200 + 100) x 0.5 mV
        {"ads1015 voltage3", "voltage", 0.021, "V", 7},
    };
    EXPECT_EQ(sensors().SensorCount(), (int)(sizeof(cases) / sizeof(cases[0])));
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        Json::Value s = sensor(c.name);
        EXPECT_EQ(s["kind"].asString(), c.kind);
        EXPECT_NEAR(s["value"].asDouble(), c.value, 1e-9);
        EXPECT_EQ(s["unit"].asString(), c.unit);
        EXPECT_EQ(s["raw"].asInt64(), c.raw);
    }
    Json::Value sources = sensors().Snapshot()["sources"];
    ASSERT_EQ(sources.size(), 4u);
    EXPECT_EQ(sources[1]["id"].asString(), "hwmon0");
    EXPECT_EQ(SaveJsonToString(sources[1]["channels"]), R"(["curr1","curr2","power1","in1"])");
    EXPECT_EQ(sensors().getSensorSource("iio:device0"), sensors().getSensorSource("ads1015"));
}

TEST_F(SensorsTest, TheDocumentedDefinitionsNameScaleAndHideChannels) {
    start(GetFileContents(kivtest::sourceDir() + "/docs/examples/sensors.json"));
    EXPECT_TRUE(WarningHolder::GetWarnings().empty());
    Json::Value psu = sensor("PSU 12V");
    EXPECT_NEAR(psu["value"].asDouble(), 11.88, 1e-9);  // 1.08 V behind a 1:11 divider
    EXPECT_EQ(psu["scale"].asDouble(), 11);
    EXPECT_EQ(psu["raw"].asInt(), 360);
    EXPECT_EQ(psu["unit"].asString(), "V");
    EXPECT_NEAR(sensor("CPU")["value"].asDouble(), 48.312, 1e-9);
    EXPECT_EQ(sensor("CPU")["unit"].asString(), "°C");
    EXPECT_FALSE(sensor("Enclosure fan")["alarm"].asBool());
    EXPECT_TRUE(sensor("Spare ADC input").isNull());
    EXPECT_FALSE(sensors().getSensorSource("ads1015")->channel(2).enabled) << "hidden: not read";
    EXPECT_TRUE(sensor("ads1015 voltage3").isNull());
    EXPECT_TRUE(sensor("cpu-thermal").isNull()) << "renamed";
    EXPECT_EQ(sensors().SensorCount(), 8);
}

TEST_F(SensorsTest, DefinitionsThatCannotWorkAreRefusedWithTheirReasons) {
    start(R"({"sensors": [
      {"name": "Good", "source": "hwmon1", "channel": "fan1", "scale": 0.5, "unit": "rps"},
      {"name": "Good", "source": "ina3221", "channel": "curr1"},
      {"name": "Nowhere", "source": "lm75", "channel": "temp1"},
      {"name": "NoSuch", "source": "ina3221", "channel": "curr4"},
      {"name": "Typo", "source": "ina3221", "channel": "curr1", "scal": 2},
      {"name": "Text", "source": "ina3221", "channel": "curr1", "scale": "2"},
      {"name": "Limit", "source": "ina3221", "channel": "curr1", "thresholds": [{"above": 1, "below": 0}]},
      {"source": "ina3221", "channel": "curr1"}]})");
    for (const char* w : {
             "Sensor \"Good\" is defined twice; the second one is ignored",
             "Sensor \"Nowhere\": no sensor source \"lm75\" on this board; ignored",
             "Sensor \"NoSuch\": source ina3221 has no channel \"curr4\" (it has curr1, curr2, power1, in1); ignored",
             "Sensor \"Typo\": unknown key \"scal\"; ignored",
             "Sensor \"Text\": \"scale\" must be a number; ignored",
             "Sensor \"Limit\": threshold 1 needs \"above\" or \"below\" (one of them); ignored",
             "Sensor definition 8 has no \"name\"; ignored",
         }) {
        EXPECT_TRUE(kivtest::hasWarning(w)) << w;
    }
    EXPECT_EQ(WarningHolder::GetWarnings().size(), 7u);
    EXPECT_NEAR(sensor("Good")["value"].asDouble(), 1200, 1e-9);
    EXPECT_EQ(sensor("Good")["unit"].asString(), "rps");
}

TEST_F(SensorsTest, ThresholdsRaiseAndClearWarningsPastTheHysteresisAndRunPresets) {
    media.write("/config/commandPresets.json", R"({"commands": [
      {"name": "CPU_HOT", "command": "Record", "args": ["hot %SENSOR% %VALUE% %UNIT% %LIMIT%"]},
      {"name": "CPU_COOL", "command": "Record", "args": ["cool %VALUE%"]}]})");
    kivtest::RecordingHandler mqtt;
    Events::AddEventHandler(&mqtt);
    start(R"({"sensors": [{"name": "CPU", "source": "cpu-thermal", "channel": "temp",
               "thresholds": [{"above": 70, "hysteresis": 5, "preset": "CPU_HOT", "clearPreset": "CPU_COOL"}]}]})");
    const std::string warning = "Sensor CPU is above 70 °C";
    const std::string unreadable =
        "Sensor CPU cannot be read (" + sys.path("class/thermal/thermal_zone0/temp") + ": Invalid argument)";
    struct Step {
        const char* temp;
        bool warned;
        std::vector<std::string> presets;  // all so far
        const char* published;             // sensors/CPU, last
    };
    const Step steps[] = {
        {"65000", false, {}, "65"},
        {"70000", false, {}, "70"},  // at the limit is not over it
        {"71500", true, {"hot CPU 71.5 °C 70"}, "71.5"},
        {"67000", true, {"hot CPU 71.5 °C 70"}, "67"},  // within the hysteresis
        {"64999", false, {"hot CPU 71.5 °C 70", "cool 64.999"}, "64.999"},
        {"72000", true, {"hot CPU 71.5 °C 70", "cool 64.999", "hot CPU 72 °C 70"}, "72"},
    };
    for (auto& s : steps) {
        SCOPED_TRACE(s.temp);
        sys.write("class/thermal/thermal_zone0/temp", s.temp);
        sensors().ReadNow();
        EXPECT_EQ(kivtest::hasWarning(warning), s.warned);
        EXPECT_EQ(sensor("CPU")["alarm"].asBool(), s.warned);
        EXPECT_EQ(presets(), s.presets);
        EXPECT_EQ(mqtt.Events("sensors/CPU").back(), std::string("sensors/CPU=") + s.published);
    }
    // Unchanged values are not published again.
    size_t published = mqtt.Events("sensors/").size();
    sensors().ReadNow();
    EXPECT_EQ(mqtt.Events("sensors/").size(), published);
    Json::Value all = LoadJsonFromString(mqtt.Events("sensors=").back().substr(8));
    EXPECT_EQ(all[0]["name"].asString(), "CPU");
    EXPECT_EQ(all[0]["unit"].asString(), "°C");
    EXPECT_EQ(all[0]["value"].asDouble(), 72);
    EXPECT_EQ(all.size(), 9u);
    EXPECT_NE(mqtt.Events("sensors=").back().find("\"value\":12.034}"), std::string::npos) << "no digits of noise";
    // A reading that fails is a warning until the sensor reads again.
    sys.write("class/thermal/thermal_zone0/temp", "garbage");
    sensors().ReadNow();
    EXPECT_TRUE(kivtest::hasWarning(unreadable));
    EXPECT_TRUE(sensor("CPU")["value"].isNull());
    EXPECT_EQ(mqtt.Events("sensors/CPU").back(), "sensors/CPU=");
    sys.write("class/thermal/thermal_zone0/temp", "50000");
    sensors().ReadNow();
    EXPECT_FALSE(kivtest::hasWarning(unreadable));
    EXPECT_FALSE(kivtest::hasWarning(warning));
    Events::RemoveEventHandler(&mqtt);
}

TEST_F(SensorsTest, PortCurrentsReadThroughTheSensorSources) {
    start();
    OutputMonitor& mon = OutputMonitor::INSTANCE;
    mon.AddPortConfiguration(
        "Hwmon", LoadJsonFromString(R"({"currentSensor": {"sensor": "ina3221", "channel": 2, "scale": 1}})"));
    // An ADC without current channels: its voltage input of that number.
    mon.AddPortConfiguration(
        "Adc", LoadJsonFromString(R"({"currentSensor": {"sensor": "ads1015", "channel": 0, "scale": 2}})"));
    // A file below /sys is read below the sysfs root in use.
    mon.AddPortConfiguration(
        "File",
        LoadJsonFromString(R"({"currentSensor": {"path": "/sys/class/hwmon/hwmon0/curr1_input", "scale": 1}})"));
    EXPECT_TRUE(WarningHolder::GetWarnings().empty());
    EXPECT_EQ(mon.GetPortCurrentValues(), (std::vector<float>{250, 720, 1500}));
    // Each reading of the ports reads the sources afresh.
    sys.write("class/hwmon/hwmon0/curr2_input", "480\n");
    sys.write("bus/iio/devices/iio:device0/in_voltage0_raw", "1100\n");
    EXPECT_EQ(mon.GetPortCurrentValues(), (std::vector<float>{480, 2200, 1500}));
}

}  // namespace
