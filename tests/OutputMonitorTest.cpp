// The output monitor on the simulated board: enable pins driven at
// registration and by the global and per-port switches, fuse trips seen
// through the GPIO service's descriptors, currents read from files, pixel
// counts compared, and the port status resource.

#include <gtest/gtest.h>

#include <algorithm>

#include "GpioSimClient.h"
#include "HttpClient.h"
#include "OutputMonitor.h"
#include "RecordCommand.h"
#include "TestSupport.h"
#include "Warnings.h"
#include "commands/Commands.h"
#include "common.h"
#include "http/HttpServer.h"
#include "services/GPIO.h"
#include "services/SimulatedPins.h"
#include "services/Timers.h"
#include "settings.h"

namespace {

using kivtest::RecordCommand;

bool hasWarning(const std::string& w) {
    auto list = WarningHolder::GetWarnings();
    return std::find(list.begin(), list.end(), w) != list.end();
}

int countWarningsStartingWith(const std::string& prefix) {
    int n = 0;
    for (auto& w : WarningHolder::GetWarnings())
        if (startsWith(w, prefix)) ++n;
    return n;
}

class OutputMonitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim = std::make_unique<SimulatedPinProvider>(64, media.file("/tmp/gpio-sim.sock"),
                                                     media.file("/tmp/gpio-sim.json"));
        PinCapabilities::InitGPIO("test", sim.get());
        RecordCommand::clear();
        media.write("/config/commandPresets.json", R"({"commands": [
          {"name": "OUTPUTS_ENABLED", "command": "Record", "args": ["enabled"]},
          {"name": "OUTPUTS_DISABLED", "command": "Record", "args": ["disabled"]},
          {"name": "EFUSE_TRIGGERED", "command": "Record", "args": ["tripped %PORT%"]}]})");
        CommandManager::INSTANCE.Init();
        CommandManager::INSTANCE.addCommand(new RecordCommand());
    }
    void TearDown() override {
        mon().Cleanup();
        GPIOManager::INSTANCE.Cleanup();
        CommandManager::INSTANCE.Cleanup();
        Timers::INSTANCE.clear();
        for (auto& w : WarningHolder::GetWarnings()) WarningHolder::RemoveWarning(w);
        sim.reset();
    }
    OutputMonitor& mon() { return OutputMonitor::INSTANCE; }
    int level(const std::string& pin) { return sim->getPinByName(pin)->getValue(); }
    Json::Value port(const std::string& json) { return LoadJsonFromString(json); }
    // Starts the monitor and serves the GPIO descriptors as the main loop does.
    void start() {
        mon().Initialize(callbacks);
        GPIOManager::INSTANCE.Initialize(callbacks);
    }
    void drive(const std::string& assignments) {
        ASSERT_EQ(sim->apply(assignments), "OK");
        kivtest::serveDescriptors(callbacks, 0);
    }
    std::vector<std::string> presets() {
        CommandManager::INSTANCE.WaitForPresets();
        return RecordCommand::takeAll();
    }

    kivtest::TempMediaDir media;
    std::unique_ptr<SimulatedPinProvider> sim;
    std::map<int, std::function<bool(int)>> callbacks;
};

TEST_F(OutputMonitorTest, InvertedEnablePinIsOffAtRegistrationOnWhenEnabledOffWhenDisabled) {
    mon().AddPortConfiguration("P1", port(R"({"enablePin": "GPIO1"})"), true);
    mon().AddPortConfiguration("P2", port(R"({"enablePin": "!GPIO2"})"), true);
    start();
    kivtest::GpioSimClient state(media.path());
    EXPECT_EQ(state.pin("GPIO2")["direction"].asString(), "out");
    EXPECT_EQ(level("GPIO1"), 0);
    EXPECT_EQ(level("GPIO2"), 1);
    mon().EnableOutputs();
    EXPECT_EQ(level("GPIO1"), 1);
    EXPECT_EQ(level("GPIO2"), 0);
    EXPECT_EQ(presets(), (std::vector<std::string>{"enabled"}));
    mon().DisableOutputs();
    EXPECT_EQ(level("GPIO1"), 0);
    EXPECT_EQ(level("GPIO2"), 1);
    EXPECT_EQ(presets(), (std::vector<std::string>{"disabled"}));
    // The state file a person or a test reads follows every write.
    EXPECT_EQ(state.level("GPIO1"), 0);
    EXPECT_EQ(state.level("GPIO2"), 1);
}

TEST_F(OutputMonitorTest, TwoPortsOnOneEnablePinShareItAndSetOutputDrivesIt) {
    mon().AddPortConfiguration("A", port(R"({"enablePin": "GPIO3"})"), true);
    mon().AddPortConfiguration("B", port(R"({"enablePin": "GPIO3"})"), true);
    EXPECT_EQ(mon().GetPortCount(), 2);
    EXPECT_TRUE(mon().SetOutput("B", true));
    EXPECT_EQ(level("GPIO3"), 1);
    EXPECT_TRUE(mon().SetOutput("A", false));
    EXPECT_EQ(level("GPIO3"), 0);
    EXPECT_FALSE(mon().SetOutput("nobody", true));
}

TEST_F(OutputMonitorTest, UnmanagedPortTakesOffOnlyTheEnableEntryItAddedAndKeepsSharedPins) {
    mon().AddPortConfiguration("A", port(R"({"enablePin": "GPIO1"})"), true);
    mon().AddPortConfiguration("C", port(R"({"enablePin": "GPIO2"})"), true);
    // Shares A's pin, which was not the last one on the list.
    mon().AddPortConfiguration("B", port(R"({"enablePin": "GPIO1"})"), false);
    // Its own pin: off the global switch.
    mon().AddPortConfiguration("D", port(R"({"enablePin": "!GPIO3"})"), false);
    // Unmanaged first, then a managed port wants the same pin.
    mon().AddPortConfiguration("E", port(R"({"enablePin": "GPIO4"})"), false);
    mon().AddPortConfiguration("F", port(R"({"enablePin": "GPIO4"})"), true);
    EXPECT_EQ(level("GPIO3"), 1);  // off (inverted) from registration
    mon().EnableOutputs();
    EXPECT_EQ(level("GPIO1"), 1);
    EXPECT_EQ(level("GPIO2"), 1);
    EXPECT_EQ(level("GPIO3"), 1) << "an unmanaged port's own pin follows only its own switch";
    EXPECT_EQ(level("GPIO4"), 1);
    mon().DisableOutputs();
    EXPECT_EQ(level("GPIO1"), 0);
    EXPECT_EQ(level("GPIO2"), 0);
    EXPECT_EQ(level("GPIO4"), 0);
    EXPECT_TRUE(mon().SetOutput("D", true));
    EXPECT_EQ(level("GPIO3"), 0);
    mon().DisableOutputs();
    EXPECT_EQ(level("GPIO3"), 0) << "still on: the global switch does not reach it";
}

TEST_F(OutputMonitorTest, InvertedPullDownFusePinTripsItsPortAndReportsIt) {
    mon().AddPortConfiguration("P1", port(R"({"enablePin": "GPIO1", "eFusePin": "!-GPIO7"})"), true);
    start();
    kivtest::GpioSimClient state(media.path());
    EXPECT_EQ(state.pin("GPIO7")["direction"].asString(), "in");
    EXPECT_EQ(state.pin("GPIO7")["mode"].asString(), "gpio_pd");
    drive("GPIO7=1");  // healthy
    mon().EnableOutputs();
    presets();
    EXPECT_EQ(level("GPIO1"), 1);
    drive("GPIO7=0");
    EXPECT_EQ(level("GPIO1"), 0);
    EXPECT_TRUE(hasWarning("eFUSE Triggered for P1"));
    EXPECT_EQ(presets(), (std::vector<std::string>{"tripped P1"}));
    // The fuse recovers; switching all on again clears the warning.
    drive("GPIO7=1");
    EXPECT_TRUE(hasWarning("eFUSE Triggered for P1"));
    mon().EnableOutputs();
    EXPECT_FALSE(hasWarning("eFUSE Triggered for P1"));
    EXPECT_EQ(level("GPIO1"), 1);
}

TEST_F(OutputMonitorTest, FuseOfADisabledPortSwitchesItsPinOffWithoutAWarning) {
    // B shares A's pin; only A is switched on, so B is not enabled.
    mon().AddPortConfiguration("A", port(R"({"enablePin": "!GPIO1"})"), true);
    mon().AddPortConfiguration("B", port(R"({"enablePin": "!GPIO1", "eFusePin": "GPIO7"})"), true);
    start();
    EXPECT_TRUE(mon().SetOutput("A", true));
    EXPECT_EQ(level("GPIO1"), 0);
    drive("GPIO7=1");
    EXPECT_EQ(level("GPIO1"), 1);
    EXPECT_EQ(countWarningsStartingWith("eFUSE"), 0);
    EXPECT_TRUE(presets().empty());
}

TEST_F(OutputMonitorTest, SharedInterruptPinWarnsOnlyForTrippedEnabledPortsOnceEach) {
    for (int i = 1; i <= 3; ++i) {
        mon().AddPortConfiguration("P" + std::to_string(i),
                                   port(R"({"enablePin": "GPIO)" + std::to_string(i) + R"(", "eFusePin": "GPIO)" +
                                        std::to_string(10 + i) + R"(", "eFuseInterruptPin": "+GPIO20"})"),
                                   true);
    }
    start();
    kivtest::GpioSimClient state(media.path());
    EXPECT_EQ(state.pin("GPIO20")["mode"].asString(), "gpio_pu");
    EXPECT_EQ(level("GPIO20"), 1) << "an undriven pulled-up line rests high";
    mon().EnableOutputs();
    presets();
    // Ports 1 and 3 trip; their fuse lines and the shared line move together.
    drive("GPIO11=1 GPIO13=1 GPIO20=0");
    EXPECT_EQ(level("GPIO1"), 0);
    EXPECT_EQ(level("GPIO2"), 1);
    EXPECT_EQ(level("GPIO3"), 0);
    EXPECT_TRUE(hasWarning("eFUSE Triggered for P1"));
    EXPECT_FALSE(hasWarning("eFUSE Triggered for P2"));
    EXPECT_TRUE(hasWarning("eFUSE Triggered for P3"));
    auto p = presets();
    std::sort(p.begin(), p.end());
    EXPECT_EQ(p, (std::vector<std::string>{"tripped P1", "tripped P3"}));

    // Another pass of the line: nothing new for ports already reported.
    drive("GPIO20=1");
    drive("GPIO20=0");
    EXPECT_TRUE(presets().empty());

    // Switching P1 back on withdraws its warning; its next trip is new.
    EXPECT_TRUE(mon().SetOutput("P1", true));
    EXPECT_FALSE(hasWarning("eFUSE Triggered for P1"));
    EXPECT_TRUE(hasWarning("eFUSE Triggered for P3"));
    EXPECT_EQ(level("GPIO1"), 1);
    drive("GPIO20=1");
    drive("GPIO20=0");
    EXPECT_TRUE(hasWarning("eFUSE Triggered for P1"));
    EXPECT_EQ(presets(), (std::vector<std::string>{"tripped P1"}));
}

TEST_F(OutputMonitorTest, PortsSwitchedBackOnByOutputsOnReportTheirNextTrip) {
    mon().AddPortConfiguration("P1", port(R"({"enablePin": "GPIO1", "eFusePin": "GPIO11",
                                              "eFuseInterruptPin": "GPIO20"})"),
                               true);
    start();
    mon().EnableOutputs();
    drive("GPIO11=1 GPIO20=1");
    EXPECT_TRUE(hasWarning("eFUSE Triggered for P1"));
    drive("GPIO11=0 GPIO20=0");  // the fuse resets
    mon().EnableOutputs();
    EXPECT_FALSE(hasWarning("eFUSE Triggered for P1"));
    presets();
    drive("GPIO11=1 GPIO20=1");
    EXPECT_TRUE(hasWarning("eFUSE Triggered for P1")) << "a second trip after Outputs On went unreported";
    EXPECT_EQ(presets(), (std::vector<std::string>{"tripped P1"}));
}

TEST_F(OutputMonitorTest, OutputsOffLeavesUnmanagedPortsEnabledSoTheirTripsAreReported) {
    mon().AddPortConfiguration("M", port(R"({"enablePin": "GPIO1"})"), true);
    mon().AddPortConfiguration("U", port(R"({"enablePin": "GPIO2", "eFusePin": "GPIO12"})"), false);
    start();
    EXPECT_TRUE(mon().SetOutput("U", true));
    mon().DisableOutputs();
    EXPECT_EQ(level("GPIO2"), 1);
    drive("GPIO12=1");
    EXPECT_EQ(level("GPIO2"), 0);
    EXPECT_TRUE(hasWarning("eFUSE Triggered for U"));
}

TEST_F(OutputMonitorTest, UnknownPinsAreReportedAndThePortStillRegisters) {
    kivtest::LogCapture log;
    mon().AddPortConfiguration("P1", port(R"({"enablePin": "GPIO99", "eFusePin": "!NOPE",
                                              "eFuseInterruptPin": "+-XX"})"),
                               true);
    EXPECT_EQ(mon().GetPortCount(), 1);
    EXPECT_TRUE(hasWarning("Could not find pin GPIO99 to enable output P1"));
    EXPECT_TRUE(hasWarning("Could not find pin NOPE to handle fuse for output P1"));
    // "+" selects the pull; what follows is the name.
    EXPECT_TRUE(hasWarning("Could not find pin -XX to handle fuse interrupts for output P1"));
    EXPECT_TRUE(log.contains("Could not find pin GPIO99 to enable output P1\n"));
    // Without any usable part a port is not kept.
    mon().AddPortConfiguration("P2", port(R"({"eFusePin": "NOPE"})"), true);
    EXPECT_EQ(mon().GetPortCount(), 1);
    EXPECT_TRUE(log.contains("Output P2 has no enable pin, fuse pin or current sensor; not monitored"));
}

TEST_F(OutputMonitorTest, CurrentsAreScaledOffsetClampedAndLimitedToTheLockedGroup) {
    media.write("/tmp/c1", "1200\n");
    media.write("/tmp/c2", "50\n");
    media.write("/tmp/c3", "700");
    mon().AddPortConfiguration(
        "P1", port(R"({"group": 0, "currentSensor": {"path": ")" + media.file("/tmp/c1") + R"(", "scale": 0.5, "offset": 200}})"),
        true);
    mon().AddPortConfiguration(
        "P2", port(R"({"group": 2, "currentSensor": {"path": ")" + media.file("/tmp/c2") + R"(", "scale": 2, "offset": 100}})"),
        true);
    mon().AddPortConfiguration("P3", port(R"({"group": 2, "currentSensor": {"path": ")" + media.file("/tmp/c3") + R"("}})"),
                               true);
    mon().AddPortConfiguration("P4", port(R"({"group": 2, "currentSensor": {"path": "/nonexistent/curr1_input", "scale": 1}})"),
                               true);
    EXPECT_EQ(mon().GetNumGroups(), 3);
    EXPECT_TRUE(hasWarning("Could not open current sensor /nonexistent/curr1_input for output P4: No such file or directory"));
    auto v = mon().GetPortCurrentValues();
    ASSERT_EQ(v.size(), 4u);
    EXPECT_FLOAT_EQ(v[0], 500);  // (1200 - 200) * 0.5
    EXPECT_FLOAT_EQ(v[1], 0);    // below the offset
    EXPECT_FLOAT_EQ(v[2], 0);    // no scale
    EXPECT_FLOAT_EQ(v[3], 0);    // no file
    // The sensor file changes in place, as sysfs attributes do.
    kivtest::rewriteInPlace(media.file("/tmp/c2"), "400");
    EXPECT_FLOAT_EQ(mon().GetPortCurrentValues()[1], 600);

    mon().lockToGroup(2);
    v = mon().GetPortCurrentValues();
    EXPECT_FLOAT_EQ(v[0], 0);
    EXPECT_FLOAT_EQ(v[1], 600);
    mon().SetPixelCount(0, 50, 60);  // other group: ignored
    mon().SetPixelCount(1, 70, 80);
    EXPECT_EQ(mon().GetPixelCount(0), -1);
    EXPECT_EQ(mon().GetPixelCount(1), 70);
    EXPECT_TRUE(mon().isPortInGroup(2, 1));
    EXPECT_FALSE(mon().isPortInGroup(0, 1));
    EXPECT_FALSE(mon().isPortInGroup(0, 9));
    EXPECT_EQ(mon().GetPixelCount(9), 0);
    mon().SetPixelCount(-1, 1, 1);  // ignored, no crash
}

TEST_F(OutputMonitorTest, PixelCountsBeyondTheSensitivityAreWarnedOnceAndWithdrawnWhenTheyAgree) {
    mon().AddPortConfiguration("P1", port(R"({"enablePin": "GPIO1"})"), true);
    mon().AddPortConfiguration("P2", port(R"({"enablePin": "GPIO2"})"), true);
    mon().SetPixelCount(0, 98, 100);
    mon().SetPixelCount(1, 97, 100);
    mon().checkPixelCounts("--ALL--", "Warn", 2);
    EXPECT_FALSE(hasWarning("P1 configured for 100 pixels but 98 pixels detected."));
    EXPECT_TRUE(hasWarning("P2 configured for 100 pixels but 97 pixels detected."));
    // Listing a port besides --ALL-- checks it once; the same result once.
    mon().checkPixelCounts("P2,--ALL--", "Warn", 2);
    EXPECT_EQ(countWarningsStartingWith("P2 configured"), 1);
    mon().SetPixelCount(1, 90, 100);
    mon().checkPixelCounts("P2", "Warn", 2);
    EXPECT_FALSE(hasWarning("P2 configured for 100 pixels but 97 pixels detected."));
    EXPECT_TRUE(hasWarning("P2 configured for 100 pixels but 90 pixels detected."));
    mon().SetPixelCount(1, 100, 100);
    mon().checkPixelCounts("P2,unknown", "Warn", 2);
    EXPECT_EQ(countWarningsStartingWith("P2 configured"), 0);
}

// A port the test cannot count (no current sensor) keeps its detected
// count at -1: it is left out, not reported as having -1 pixels.
TEST_F(OutputMonitorTest, PixelCountLogWritesTheMessageOrAnEmptyLineAndLeavesOutPortsNeverCounted) {
    mon().AddPortConfiguration("P1", port(R"({"enablePin": "GPIO1"})"), true);
    mon().AddPortConfiguration("Arch", port(R"({"enablePin": "GPIO2"})"), true);
    mon().SetPixelCount(1, -1, 50);
    kivtest::LogCapture log;
    mon().SetPixelCount(0, 5, 5);
    mon().checkPixelCounts("--ALL--", "Log", 0);
    // Counted against a count never configured: plain integers.
    mon().SetPixelCount(0, 5, -1);
    mon().checkPixelCounts("--ALL--", "Log", 0);
    mon().checkPixelCounts("--ALL--", "Warn", 0);
    mon().checkPixelCounts("--ALL--", "Other", 0);
    std::string t = log.text();
    int empty = 0;
    for (auto& line : split(t, '\n'))
        if (contains(line, "[ChannelOut] ") && contains(line, "OutputMonitor.cpp:") && endsWith(line, ": ")) ++empty;
    EXPECT_EQ(empty, 1) << t;
    EXPECT_EQ(log.count("P1 configured for -1 pixels but 5 pixels detected.\n"), 1) << t;
    EXPECT_EQ(countWarningsStartingWith("P1 configured for -1 pixels but 5 pixels detected."), 1);
    EXPECT_EQ(log.count("Arch"), 0) << t;
    EXPECT_EQ(countWarningsStartingWith("Arch"), 0);
}

TEST_F(OutputMonitorTest, StatusResourceListsPortsTheirStateCurrentAndCounts) {
    media.write("/tmp/c1", "1000");
    mon().AddPortConfiguration("P1", port(R"({"enablePin": "!GPIO1", "eFusePin": "GPIO7", "row": 1, "col": 2,
                                              "currentSensor": {"path": ")" + media.file("/tmp/c1") + R"(", "scale": 0.25}})"),
                               true);
    mon().AddPortConfiguration("P2", port(R"({"eFusePin": "GPIO8"})"), true);
    start();
    mon().EnableOutputs();
    mon().SetPixelCount(0, 42, 50);

    auto get = [&](const std::string& path) { return mon().render_GET(httpserver::http_request("GET", path)); };
    auto r = get("/kivd/ports");
    EXPECT_EQ(r->get_response_code(), 200);
    EXPECT_EQ(r->get_content_type(), "application/json");
    Json::Value a = LoadJsonFromString(r->get_body());
    ASSERT_EQ(a.size(), 2u);
    EXPECT_EQ(a[0]["name"].asString(), "P1");
    EXPECT_TRUE(a[0]["enabled"].asBool());
    EXPECT_TRUE(a[0]["status"].asBool());
    EXPECT_EQ(a[0]["ma"].asInt(), 250);
    EXPECT_EQ(a[0]["row"].asInt(), 1);
    EXPECT_EQ(a[0]["col"].asInt(), 2);
    EXPECT_EQ(a[0]["pixelCount"].asInt(), 42);
    EXPECT_FALSE(a[1].isMember("enabled"));
    EXPECT_FALSE(a[1].isMember("ma"));
    EXPECT_FALSE(a[1].isMember("pixelCount"));

    drive("GPIO7=1");  // tripped
    a = LoadJsonFromString(get("/kivd/ports")->get_body());
    EXPECT_FALSE(a[0]["enabled"].asBool());
    EXPECT_FALSE(a[0]["status"].asBool());

    r = get("/kivd/ports/list");
    EXPECT_EQ(r->get_body(), R"(["--ALL--","P1","P2"])");
    r = get("/kivd/other");
    EXPECT_EQ(r->get_response_code(), 404);
    EXPECT_EQ(r->get_body(), "Not Found");
    EXPECT_EQ(r->get_content_type(), "text/plain");
}

TEST_F(OutputMonitorTest, StatusResourceAnswersOverHttpAndWithoutPortsIsAnEmptyArray) {
    HttpServer::Options o;
    o.address = "127.0.0.1";
    o.port = 0;
    ASSERT_TRUE(HttpServer::INSTANCE.Start(o));
    start();
    std::string base = "http://127.0.0.1:" + std::to_string(HttpServer::INSTANCE.Port());
    auto r = kivtest::httpGet(base + "/kivd/ports");
    EXPECT_EQ(r.status, 200) << r.error;
    EXPECT_EQ(r.body, "[]");
    EXPECT_EQ(r.header("content-type"), "application/json");
    EXPECT_EQ(kivtest::httpGet(base + "/kivd/ports/list").body, R"(["--ALL--"])");
    mon().Cleanup();
    mon().AddPortConfiguration("Left", port(R"({"enablePin": "GPIO1"})"), true);
    start();
    mon().EnableOutputs();
    r = kivtest::httpGet(base + "/kivd/ports");
    Json::Value a = LoadJsonFromString(r.body);
    ASSERT_EQ(a.size(), 1u) << r.body;
    EXPECT_EQ(a[0]["name"].asString(), "Left");
    EXPECT_TRUE(a[0]["enabled"].asBool());
    mon().Cleanup();
    EXPECT_EQ(kivtest::httpGet(base + "/kivd/ports").status, 404);
    HttpServer::INSTANCE.Stop();
}

TEST_F(OutputMonitorTest, PortCommandsAreRegisteredOnlyWithPorts) {
    start();
    EXPECT_NE(CommandManager::INSTANCE.getCommand("Outputs On"), nullptr);
    EXPECT_NE(CommandManager::INSTANCE.getCommand("Outputs Off"), nullptr);
    EXPECT_EQ(CommandManager::INSTANCE.getCommand("Set Port Status"), nullptr);
    EXPECT_EQ(CommandManager::INSTANCE.getCommand("Check Pixel Count"), nullptr);
    mon().Cleanup();
    EXPECT_EQ(CommandManager::INSTANCE.getCommand("Outputs On"), nullptr);
    mon().AddPortConfiguration("P1", port(R"({"enablePin": "GPIO1"})"), true);
    start();
    Command* check = CommandManager::INSTANCE.getCommand("Check Pixel Count");
    ASSERT_NE(check, nullptr);
    Json::Value d = check->getDescription();
    EXPECT_EQ(d["args"][0]["name"].asString(), "Ports");
    EXPECT_EQ(d["args"][0]["type"].asString(), "multistring");
    EXPECT_EQ(d["args"][0]["contentListUrl"].asString(), "api/kivd/ports/list");
    EXPECT_EQ(d["args"][0]["default"].asString(), "--ALL--");
    EXPECT_EQ(d["args"][1]["max"].asInt(), 20);
    EXPECT_EQ(d["args"][1]["default"].asString(), "2");
    EXPECT_EQ(d["args"][2]["contents"], LoadJsonFromString(R"(["Warn","Log"])"));
    Json::Value s = CommandManager::INSTANCE.getCommand("Set Port Status")->getDescription();
    EXPECT_EQ(s["args"][0]["name"].asString(), "Port");
    EXPECT_EQ(s["args"][1]["name"].asString(), "on");
    EXPECT_EQ(s["args"][1]["type"].asString(), "bool");
}

TEST_F(OutputMonitorTest, SetPortStatusSwitchesOnePortOrAllAndRefusesBadCalls) {
    mon().AddPortConfiguration("P1", port(R"({"enablePin": "GPIO1"})"), true);
    mon().AddPortConfiguration("P2", port(R"({"enablePin": "!GPIO2"})"), true);
    start();
    auto run = [](std::vector<std::string> a) { return CommandManager::INSTANCE.run("Set Port Status", a); };
    auto r = run({"P1"});
    EXPECT_TRUE(r->isError());
    EXPECT_EQ(r->get(), "Required arguments not provided");
    r = run({"P2", "1"});
    EXPECT_FALSE(r->isError());
    EXPECT_EQ(r->get(), "OK");
    EXPECT_EQ(r->contentType(), "text/plain");
    EXPECT_EQ(level("GPIO2"), 0);
    EXPECT_EQ(level("GPIO1"), 0);
    run({"P2", "yes"});  // only "true" and "1" mean on
    EXPECT_EQ(level("GPIO2"), 1);
    r = run({"Nowhere", "true"});
    EXPECT_TRUE(r->isError());
    EXPECT_EQ(r->get(), "No output port named \"Nowhere\" with an enable pin");
    presets();
    EXPECT_EQ(run({"--ALL--", "true"})->get(), "OK");
    EXPECT_EQ(level("GPIO1"), 1);
    EXPECT_EQ(level("GPIO2"), 0);
    EXPECT_EQ(run({"--ALL--", "false"})->get(), "OK");
    EXPECT_EQ(level("GPIO1"), 0);
    EXPECT_EQ(level("GPIO2"), 1);
    EXPECT_EQ(presets(), (std::vector<std::string>{"enabled", "disabled"}));
    EXPECT_EQ(CommandManager::INSTANCE.run("Outputs On", {})->get(), "OK");
    EXPECT_EQ(level("GPIO1"), 1);
    EXPECT_EQ(CommandManager::INSTANCE.run("Outputs Off", {})->get(), "OK");
    EXPECT_EQ(level("GPIO1"), 0);
}

TEST_F(OutputMonitorTest, AutoEnableFollowsTheSetting) {
    mon().AddPortConfiguration("P1", port(R"({"enablePin": "GPIO1"})"), true);
    SetSetting("AutoEnableOutputs", 0);
    mon().AutoEnableOutputs();
    EXPECT_EQ(level("GPIO1"), 0);
    SetSetting("AutoEnableOutputs", 1);
    mon().AutoEnableOutputs();
    EXPECT_EQ(level("GPIO1"), 1);
    SetSetting("AutoEnableOutputs", 0);
    mon().AutoDisableOutputs();
    EXPECT_EQ(level("GPIO1"), 1);
    SetSetting("AutoEnableOutputs", 1);
    mon().AutoDisableOutputs();
    EXPECT_EQ(level("GPIO1"), 0);
}

}  // namespace
