// The board's port layout file: ports registered with the monitor, the
// configured pixel counts stored, ports switched on at start when allowed,
// and every bad entry refused with its reason while the others work.

#include <gtest/gtest.h>

#include <algorithm>

#include "OutputMonitor.h"
#include "TestSupport.h"
#include "Warnings.h"
#include "channeloutput/PortLayout.h"
#include "commands/Commands.h"
#include "common.h"
#include "services/GPIO.h"
#include "services/SimulatedPins.h"
#include "settings.h"

namespace {

bool hasWarning(const std::string& w) {
    auto list = WarningHolder::GetWarnings();
    return std::find(list.begin(), list.end(), w) != list.end();
}

class PortLayoutTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim = std::make_unique<SimulatedPinProvider>(32, "", "");
        PinCapabilities::InitGPIO("test", sim.get());
        CommandManager::INSTANCE.Init();
        // Tests of other outputs run before these in the same program.
        for (auto& w : WarningHolder::GetWarnings()) WarningHolder::RemoveWarning(w);
    }
    void TearDown() override {
        OutputMonitor::INSTANCE.Cleanup();
        GPIOManager::INSTANCE.Cleanup();
        CommandManager::INSTANCE.Cleanup();
        for (auto& w : WarningHolder::GetWarnings()) WarningHolder::RemoveWarning(w);
        SetSetting("AutoEnableOutputs", 1);
        sim.reset();
    }
    int load(const std::string& text) {
        media.write("/config/output-ports.json", text);
        return LoadPortLayout();
    }
    int level(const std::string& pin) { return sim->getPinByName(pin)->getValue(); }
    std::string path() { return media.file("/config/output-ports.json"); }
    kivtest::TempMediaDir media;
    std::unique_ptr<SimulatedPinProvider> sim;
};

TEST_F(PortLayoutTest, PortsAreRegisteredWithTheirCountsAndSwitchedOnAtStart) {
    media.write("/tmp/c1", "0");
    int n = load(R"({"ports": [
        {"name": "P1", "enablePin": "GPIO1", "pixelCount": 100, "row": 1, "col": 1},
        {"name": "P2", "enablePin": "!GPIO2", "currentSensor": {"path": ")" + media.file("/tmp/c1") + R"(", "scale": 1}},
        {"name": "U", "enablePin": "GPIO3", "managed": false}]})");
    EXPECT_EQ(n, 3);
    EXPECT_EQ(OutputMonitor::INSTANCE.GetPortNames(), (std::vector<std::string>{"P1", "P2", "U"}));
    EXPECT_EQ(OutputMonitor::INSTANCE.GetConfiguredPixelCount(0), 100);
    EXPECT_EQ(OutputMonitor::INSTANCE.GetPixelCount(0), -1);
    EXPECT_EQ(OutputMonitor::INSTANCE.GetConfiguredPixelCount(1), -1);
    EXPECT_EQ(level("GPIO1"), 1);
    EXPECT_EQ(level("GPIO2"), 0);
    EXPECT_EQ(level("GPIO3"), 0) << "an unmanaged port waits for its own switch";
    ClosePortLayout();
    EXPECT_EQ(level("GPIO1"), 0);
    EXPECT_EQ(level("GPIO2"), 1);
    EXPECT_TRUE(WarningHolder::GetWarnings().empty());
}

TEST_F(PortLayoutTest, WithAutoEnableOffPortsStayOffAtStartAndStop) {
    SetSetting("AutoEnableOutputs", 0);
    load(R"({"ports": [{"name": "P1", "enablePin": "GPIO1"}]})");
    EXPECT_EQ(level("GPIO1"), 0);
    OutputMonitor::INSTANCE.EnableOutputs();
    ClosePortLayout();
    EXPECT_EQ(level("GPIO1"), 1);
}

TEST_F(PortLayoutTest, BadEntriesAreRefusedWithTheirReasonAndTheOthersWork) {
    kivtest::LogCapture log;
    int n = load(R"({"ports": [
        {"name": "Good", "enablePin": "GPIO1"},
        {"name": "Good", "enablePin": "GPIO2"},
        {"enablePin": "GPIO3"},
        "Port 4",
        {"name": "Typo", "enablepin": "GPIO4"},
        {"name": "Count", "enablePin": "GPIO5", "pixelCount": "many"},
        {"name": "Sensor", "currentSensor": {"file": "/x"}},
        {"name": "Ghost", "enablePin": "GPIO77"},
        {"name": "NoFile", "currentSensor": {"path": ")" + media.file("/tmp/missing") + R"(", "scale": 1}},
        {"name": "Nothing"},
        {"name": "Last", "enablePin": "GPIO6"}]})");
    std::string p = path();
    EXPECT_TRUE(hasWarning("Output port \"Good\" in " + p + " is defined twice; the second one is ignored"));
    EXPECT_TRUE(hasWarning("Output port 3 in " + p + " has no \"name\"; ignored"));
    EXPECT_TRUE(hasWarning("Output port 4 in " + p + " has no \"name\"; ignored"));
    EXPECT_TRUE(hasWarning("Output port \"Typo\" in " + p + ": unknown key \"enablepin\"; ignored"));
    EXPECT_TRUE(hasWarning("Output port \"Count\" in " + p + ": \"pixelCount\" has the wrong type; ignored"));
    EXPECT_TRUE(hasWarning("Output port \"Sensor\" in " + p +
                           ": \"currentSensor\" needs a \"path\" (a file) or a \"sensor\" (a sensor source); ignored"));
    EXPECT_TRUE(hasWarning("Could not find pin GPIO77 to enable output Ghost"));
    EXPECT_TRUE(hasWarning("Could not open current sensor " + media.file("/tmp/missing") +
                           " for output NoFile: No such file or directory"));
    EXPECT_TRUE(log.contains("Output Nothing has no enable pin, fuse pin or current sensor; not monitored"));
    // Ghost and NoFile still register; their missing parts read as off and 0.
    EXPECT_EQ(OutputMonitor::INSTANCE.GetPortNames(), (std::vector<std::string>{"Good", "Ghost", "NoFile", "Last"}));
    EXPECT_EQ(n, 4);
    EXPECT_EQ(level("GPIO1"), 1);
    EXPECT_EQ(level("GPIO6"), 1);
    EXPECT_EQ(level("GPIO2"), 0);
    EXPECT_TRUE(log.contains("Output port \"Typo\" in " + p + ": unknown key \"enablepin\"; ignored\n"));
}

TEST_F(PortLayoutTest, GarbageOrAWrongShapeConfiguresNoPortsAndSaysSo) {
    EXPECT_EQ(load("{ \"ports\": [ {\"name\": \"P1\", "), 0);
    bool found = false;
    for (auto& w : WarningHolder::GetWarnings()) {
        if (startsWith(w, "Output port layout " + path() + " is not valid JSON (") &&
            endsWith(w, "); no ports are monitored"))
            found = true;
    }
    EXPECT_TRUE(found);
    EXPECT_EQ(load(R"({"port": []})"), 0);
    EXPECT_TRUE(hasWarning("Output port layout " + path() + " needs a \"ports\" array; no ports are monitored"));
    EXPECT_EQ(OutputMonitor::INSTANCE.GetPortCount(), 0);
}

TEST_F(PortLayoutTest, AMissingFileMeansNoPorts) {
    kivtest::LogCapture log;
    EXPECT_EQ(LoadPortLayout(), 0);
    EXPECT_TRUE(log.contains("No output port layout " + path() + "; no ports are monitored"));
    EXPECT_TRUE(WarningHolder::GetWarnings().empty());
}

TEST_F(PortLayoutTest, TheDocumentedExampleLoads) {
    CopyFileContents(kivtest::sourceDir() + "/docs/examples/output-ports.json", path());
    kivtest::LogCapture log;
    EXPECT_EQ(LoadPortLayout(), 4);
    EXPECT_EQ(OutputMonitor::INSTANCE.GetNumGroups(), 2);
    EXPECT_EQ(OutputMonitor::INSTANCE.GetConfiguredPixelCount(3), 1200);
    // This machine has no such sensor files or sensor sources; that is
    // reported, not fatal.
    EXPECT_TRUE(hasWarning("Unknown sensor ina3221 for the current of output Mega tree"));
    EXPECT_EQ(level("GPIO4"), 1);
    EXPECT_EQ(level("GPIO6"), 0);  // inverted: on
    EXPECT_EQ(level("GPIO7"), 0);  // not managed
}

}  // namespace
