// GPIO inputs on the simulated board, their descriptors served as the main
// loop serves them: a press runs its command in the pass that sees it,
// bounces inside the debounce time are one press, a hold runs once after
// its time, and entries that cannot work (a port's pin, a pin named twice,
// bad keys) are refused with their reasons while the others work.

#include <gtest/gtest.h>

#include <algorithm>

#include "GpioSimClient.h"
#include "OutputMonitor.h"
#include "RecordCommand.h"
#include "TestSupport.h"
#include "Warnings.h"
#include "commands/Commands.h"
#include "common.h"
#include "services/GPIO.h"
#include "services/GPIOInputs.h"
#include "services/SimulatedPins.h"

namespace {

using kivtest::RecordCommand;

class GPIOInputsTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim = std::make_unique<SimulatedPinProvider>(32, media.file("/tmp/gpio-sim.sock"),
                                                     media.file("/tmp/gpio-sim.json"));
        PinCapabilities::InitGPIO("test", sim.get());
        RecordCommand::clear();
        media.write("/config/commandPresets.json", R"({"commands": [
          {"name": "UP", "command": "Record", "args": ["released %INPUT% %PIN%"]}]})");
        CommandManager::INSTANCE.Init();
        for (const char* n : {"Record", "Start Playlist", "Stop Gracefully", "Effect Start"}) {
            CommandManager::INSTANCE.addCommand(new RecordCommand(n));
        }
    }
    void TearDown() override {
        GPIOInputs::INSTANCE.Cleanup();
        OutputMonitor::INSTANCE.Cleanup();
        GPIOManager::INSTANCE.Cleanup();
        CommandManager::INSTANCE.Cleanup();
        for (auto& w : WarningHolder::GetWarnings()) WarningHolder::RemoveWarning(w);
        sim.reset();
    }
    int start(const std::string& inputs) {
        media.write("/config/gpio.json", R"({"inputs": [)" + inputs + "]}");
        int n = GPIOInputs::INSTANCE.Initialize(callbacks);
        GPIOManager::INSTANCE.Initialize(callbacks);
        return n;
    }
    // Drives pins and serves one pass of the main loop: the callbacks of
    // the descriptors that the change made ready.
    void drive(const std::string& assignments) {
        ASSERT_EQ(sim->apply(assignments), "OK");
        kivtest::serveDescriptors(callbacks, 0, 1);
    }
    std::vector<std::string> recorded() {
        CommandManager::INSTANCE.WaitForPresets();
        return RecordCommand::taken();
    }
    Json::Value input(const std::string& name) {
        for (auto& i : GPIOInputs::INSTANCE.Snapshot())
            if (i["name"].asString() == name) return i;
        return Json::Value();
    }

    kivtest::TempMediaDir media;
    std::unique_ptr<SimulatedPinProvider> sim;
    std::map<int, std::function<bool(int)>> callbacks;
    using V = std::vector<std::string>;
};

TEST_F(GPIOInputsTest, APressRunsItsCommandInThePassThatSeesTheEdgeAndAReleaseItsPreset) {
    ASSERT_EQ(start(R"({"name": "Gate", "pin": "GPIO3", "pull": "up", "activeLevel": "low", "debounceMs": 30,
                       "press": {"command": "Record", "args": ["pressed"]}, "release": {"preset": "UP"}})"),
              1);
    EXPECT_EQ(sim->getPinByName("GPIO3")->getValue(), 1) << "pulled up, so released";
    drive("GPIO3=0");
    // Synchronously in the callback of that one pass, not on another thread.
    EXPECT_EQ(RecordCommand::taken(), V{"pressed"});
    EXPECT_TRUE(input("Gate")["pressed"].asBool());
    usleep(60000);  // past the debounce time
    drive("GPIO3=1");
    EXPECT_EQ(recorded(), (V{"pressed", "released Gate GPIO3"}));
    EXPECT_EQ(input("Gate")["presses"].asInt(), 1);
}

TEST_F(GPIOInputsTest, BouncesWithinTheDebounceTimeGiveOneCommand) {
    constexpr int DEBOUNCE_MS = 3000;
    std::string d = std::to_string(DEBOUNCE_MS);
    ASSERT_EQ(start(R"({"name": "Held", "pin": "GPIO4", "debounceMs": )" + d + R"(,
                       "press": {"command": "Record", "args": ["press held"]},
                       "release": {"command": "Record", "args": ["release held"]}},
                      {"name": "Tapped", "pin": "GPIO5", "debounceMs": )" +
                    d + R"(,
                       "press": {"command": "Record", "args": ["press tapped"]},
                       "release": {"command": "Record", "args": ["release tapped"]}})"),
              2);
    // 20 bounces, a pass of the main loop after each: one contact settles
    // closed, the other opens again (a press shorter than the debounce
    // time). After the first the inputs do not listen to their pins.
    long long t0 = GetTimeMS();
    for (int i = 1; i <= 20; ++i) drive(std::string("GPIO4=") + (i % 2 ? "1" : "0") + " GPIO5=" + (i % 2 ? "1" : "0"));
    drive("GPIO4=1");
    ASSERT_LT(GetTimeMS() - t0, DEBOUNCE_MS) << "the bounces must fit in the debounce time";
    EXPECT_EQ(input("Held")["edges"].asInt(), 1);
    EXPECT_EQ(input("Tapped")["edges"].asInt(), 1);
    auto sorted = [] {
        V v = RecordCommand::taken();
        std::sort(v.begin(), v.end());
        return v;
    };
    EXPECT_EQ(sorted(), (V{"press held", "press tapped"}));
    // When the time is over each pin is read once more: the tap has ended.
    kivtest::serveDescriptors(callbacks, DEBOUNCE_MS + 2000);
    EXPECT_EQ(sorted(), (V{"press held", "press tapped", "release tapped"}));
    EXPECT_TRUE(input("Held")["pressed"].asBool());
    EXPECT_FALSE(input("Tapped")["pressed"].asBool());
}

TEST_F(GPIOInputsTest, HoldingRunsTheHeldCommandOnceAfterItsTime) {
    ASSERT_EQ(start(R"({"name": "Key", "pin": "GPIO6", "debounceMs": 0, "heldMs": 300,
                       "held": {"command": "Record", "args": ["held"]}})"),
              1);
    long long t0 = GetTimeMS();
    drive("GPIO6=1");
    while (RecordCommand::taken().empty() && GetTimeMS() - t0 < 10000) kivtest::serveDescriptors(callbacks, 100, 1);
    EXPECT_GE(GetTimeMS() - t0, 300);
    // Held on: once only.
    kivtest::serveDescriptors(callbacks, 700);
    EXPECT_EQ(RecordCommand::taken(), V{"held"});
    // A short press is no hold.
    drive("GPIO6=0");
    drive("GPIO6=1");
    drive("GPIO6=0");
    kivtest::serveDescriptors(callbacks, 700);
    EXPECT_EQ(RecordCommand::taken(), V{"held"});
    EXPECT_EQ(input("Key")["presses"].asInt(), 2);
}

TEST_F(GPIOInputsTest, EntriesThatCannotWorkAreRefusedWithTheirReasonsAndTheOthersWork) {
    OutputMonitor::INSTANCE.AddPortConfiguration(
        "P1", LoadJsonFromString(R"({"enablePin": "GPIO1", "eFusePin": "GPIO11", "eFuseInterruptPin": "+GPIO20"})"));
    std::string file = media.file("/config/gpio.json");
    std::string rec = R"("press": {"command": "Record", "args": ["good"]})";
    struct Case {
        const char* entry;
        std::string warning;
    };
    const Case cases[] = {
        {R"({"name": "Good", "pin": "GPIO8", "press": {"command": "Record", "args": ["good"]}})", ""},
        {R"({"name": "OnEnable", "pin": "GPIO1", )", "pin GPIO1 is the enable pin of output port P1"},
        {R"({"name": "OnFuse", "pin": "GPIO11", )", "pin GPIO11 is the fuse pin of output port P1"},
        {R"({"name": "OnInterrupt", "pin": "GPIO20", )", "pin GPIO20 is the fuse interrupt pin of output port P1"},
        {R"({"name": "Second", "pin": "GPIO8", )", "pin GPIO8 is already the pin of input \"Good\""},
        {R"({"name": "Good", "pin": "GPIO9", )", ""},  // defined twice
        {R"({"name": "Ghost", "pin": "GPIO99", )", "no pin GPIO99 on this board"},
        {R"({"name": "Typo", "pin": "GPIO9", "debounce": 5, )", "unknown key \"debounce\""},
        {R"({"name": "Long", "pin": "GPIO9", "debounceMs": 20000, )",
         "\"debounceMs\" must be a whole number from 0 to 10000"},
        {R"({"name": "Pull", "pin": "GPIO9", "pull": "sideways", )", "\"pull\" must be \"up\", \"down\" or \"none\""},
        {R"({"name": "NoHold", "pin": "GPIO9", "held": {"command": "Record"}, )", "\"held\" needs \"heldMs\""},
        {R"({"name": "Idle", "pin": "GPIO9"})", "nothing to do: give \"press\", \"release\" or \"held\""},
        {R"({"name": "Unknown", "pin": "GPIO9", "press": {"command": "Nope"}})", "\"press\": unknown command \"Nope\""},
        {R"({"name": "Both", "pin": "GPIO9", "press": {"command": "Record", "preset": "UP"}})",
         "\"press\" needs a \"command\" or a \"preset\""},
        {R"({"pin": "GPIO9", )", ""},  // no name
    };
    std::string entries;
    for (auto& c : cases) {
        std::string e = c.entry;
        if (e.back() == ' ') e += rec + "}";
        entries += (entries.empty() ? "" : ",") + e;
    }
    ASSERT_EQ(start(entries), 1);
    for (auto& c : cases) {
        if (c.warning.empty()) continue;
        std::string name = LoadJsonFromString(std::string(c.entry).back() == ' ' ? std::string(c.entry) + rec + "}"
                                                                                 : std::string(c.entry))["name"]
                               .asString();
        EXPECT_TRUE(kivtest::hasWarning("GPIO input \"" + name + "\" in " + file + ": " + c.warning + "; ignored"))
            << name;
    }
    EXPECT_TRUE(kivtest::hasWarning("GPIO input \"Good\" in " + file + " is defined twice; the second one is ignored"));
    EXPECT_TRUE(kivtest::hasWarning("GPIO input 15 in " + file + " has no \"name\"; ignored"));
    EXPECT_EQ(WarningHolder::GetWarnings().size(), 14u);
    // The port's pins are as the port set them up; the good input works.
    kivtest::GpioSimClient c(media.path());
    EXPECT_EQ(c.pin("GPIO1")["direction"].asString(), "out");
    EXPECT_EQ(c.pin("GPIO20")["mode"].asString(), "gpio_pu");
    drive("GPIO8=1");
    EXPECT_EQ(RecordCommand::taken(), V{"good"});
}

TEST_F(GPIOInputsTest, TheDocumentedExampleLoads) {
    ASSERT_TRUE(CopyFileContents(kivtest::sourceDir() + "/docs/examples/gpio.json", media.file("/config/gpio.json")));
    EXPECT_EQ(GPIOInputs::INSTANCE.Initialize(callbacks), 2);
    EXPECT_TRUE(WarningHolder::GetWarnings().empty());
    kivtest::GpioSimClient c(media.path());
    EXPECT_EQ(c.pin("GPIO17")["mode"].asString(), "gpio_pu");
    EXPECT_EQ(c.pin("GPIO27")["mode"].asString(), "gpio_pd");
}

}  // namespace
