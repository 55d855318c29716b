// Buttons on the simulated board through the real kivd: a press starts a
// playlist in the main loop pass that sees it, a contact bouncing 20 times
// inside the debounce time is one press, a 2 s hold stops the show, and an
// input on an output port's pin is refused while the port keeps working.

#include <gtest/gtest.h>

#include <unistd.h>

#include "GpioSimClient.h"
#include "KivdProcess.h"
#include "TestSupport.h"
#include "common.h"
#include "hseq/ShowGenerator.h"

namespace {

constexpr int DEBOUNCE_MS = 3000;
constexpr int HELD_MS = 2000;

// Milliseconds of the day of the first log line holding `needle`
// ("2026-12-08 17:30:00.123 ..."), or -1.
long long logTimeMs(const std::string& log, const std::string& needle) {
    size_t at = log.find(needle);
    if (at == std::string::npos) return -1;
    size_t line = log.rfind('\n', at);
    line = line == std::string::npos ? 0 : line + 1;
    int h, m, s, ms;
    if (sscanf(log.c_str() + line + 11, "%d:%d:%d.%d", &h, &m, &s, &ms) != 4) return -1;
    return ((h * 60LL + m) * 60 + s) * 1000 + ms;
}

int count(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) ++n;
    return n;
}

class GpioInputsEndToEnd : public ::testing::Test {
protected:
    void TearDown() override {
        if (d.running()) d.stop();
    }
    Json::Value commandJson(const std::vector<std::string>& args) {
        std::string out;
        d.command(args, &out, 10);
        return LoadJsonFromString(out);
    }
    bool playing() { return commandJson({"Get Playlist Status"})["status"].asInt() == 1; }
    bool warned(const std::string& w) {
        for (auto& x : commandJson({"Get Warnings"}))
            if (x.asString() == w) return true;
        return false;
    }

    kivtest::TempMediaDir media;
    kivtest::KivdProcess d{media.path()};
    kivtest::GpioSimClient sim{media.path()};
};

TEST_F(GpioInputsEndToEnd, ButtonsStartAndStopTheShowAndAPortsPinIsRefusedWhileThePortWorks) {
    ShowSpec spec;
    spec.channels = 512;
    spec.frames = 2400;  // 60 s at 25 ms
    spec.stepMs = 25;
    ASSERT_TRUE(GenerateShow(media.file("/sequences/show.hseq"), spec));
    media.write("/playlists/show.json", R"({"mainPlaylist": [{"type": "sequence", "sequenceName": "show.hseq"}]})");
    media.write("/settings", "GPIOProvider = simulated\n");
    media.write("/config/commandPresets.json", R"({"commands": [
      {"name": "BUTTON_UP", "command": "Trigger Command Preset", "args": ["SAW UP %INPUT% %PIN%"]}]})");
    media.write("/config/output-ports.json",
                R"({"ports": [{"name": "P1", "enablePin": "GPIO1", "eFusePin": "GPIO11"}]})");
    std::string file = media.file("/config/gpio.json");
    media.write("/config/gpio.json", R"({"inputs": [
      {"name": "Start", "pin": "GPIO5", "pull": "up", "activeLevel": "low", "debounceMs": )" +
                                         std::to_string(DEBOUNCE_MS) + R"(,
       "press": {"command": "Start Playlist", "args": ["show"]}, "release": {"preset": "BUTTON_UP"}},
      {"name": "Stop", "pin": "GPIO6", "heldMs": )" +
                                         std::to_string(HELD_MS) + R"(, "held": {"command": "Stop Now"}},
      {"name": "Thief", "pin": "GPIO11", "press": {"command": "Stop Now"}},
      {"name": "Twin", "pin": "GPIO5", "press": {"command": "Stop Now"}}]})");
    ASSERT_TRUE(d.start({"-f", "--log-level", "debug:Command,GPIO"}));
    ASSERT_TRUE(d.waitReady()) << d.output();

    // Refused with their reasons; the port's pins stay as it set them up.
    EXPECT_TRUE(warned("GPIO input \"Thief\" in " + file + ": pin GPIO11 is the fuse pin of output port P1; ignored"));
    EXPECT_TRUE(
        warned("GPIO input \"Twin\" in " + file + ": pin GPIO5 is already the pin of input \"Start\"; ignored"));
    EXPECT_EQ(sim.level("GPIO1"), 1) << "the port is switched on";
    EXPECT_EQ(sim.pin("GPIO11")["direction"].asString(), "in");
    EXPECT_EQ(sim.pin("GPIO5")["mode"].asString(), "gpio_pu");

    // Pressed, with the contact bouncing: 20 changes, then it stays closed.
    long long t0 = GetTimeMS();
    for (int i = 0; i < 20; ++i) ASSERT_EQ(sim.send(i % 2 ? "GPIO5=1" : "GPIO5=0"), "OK");
    ASSERT_EQ(sim.send("GPIO5=0"), "OK");
    ASSERT_LT(GetTimeMS() - t0, DEBOUNCE_MS) << "the bounces must fit in the debounce time";
    // The command ran in the callback of the edge: its answer is in the
    // same log line, so the playlist started in that pass of the main loop.
    ASSERT_TRUE(kivtest::waitUntil(
        [&] {
            return d.log().find("GPIO input \"Start\" pressed: \"Start Playlist\": Playlist 'show' started") !=
                   std::string::npos;
        },
        10000))
        << d.log();
    EXPECT_TRUE(playing());
    // Once the debounce time is over the contact is read again: still
    // closed, so nothing more. One press.
    usleep((DEBOUNCE_MS + 500) * 1000);
    Json::Value inputs = commandJson({"Get GPIO Inputs"});
    ASSERT_EQ(inputs.size(), 2u);
    EXPECT_EQ(inputs[0]["name"].asString(), "Start");
    EXPECT_EQ(inputs[0]["presses"].asInt(), 1);
    EXPECT_TRUE(inputs[0]["pressed"].asBool());
    EXPECT_EQ(count(d.log(), "GPIO input \"Start\" pressed"), 1);
    EXPECT_EQ(count(d.log(), "Running command \"Start Playlist\""), 1);
    // Released: its preset, with the keywords.
    ASSERT_EQ(sim.send("GPIO5=1"), "OK");
    EXPECT_TRUE(kivtest::waitUntil(
        [&] { return d.log().find("TriggerPreset(SAW UP Start GPIO5)") != std::string::npos; }, 10000));

    // Held for 2 s: the show stops, and not before.
    ASSERT_EQ(sim.send("GPIO6=1"), "OK");
    ASSERT_TRUE(kivtest::waitUntil([&] { return !playing(); }, HELD_MS + 10000)) << d.log();
    std::string log = d.log();
    long long pressed = logTimeMs(log, "GPIO input \"Stop\" pressed");
    long long held = logTimeMs(log, "GPIO input \"Stop\" held for 2000 ms: \"Stop Now\": Playlist stopped");
    ASSERT_GE(pressed, 0) << log;
    ASSERT_GE(held, 0) << log;
    EXPECT_GE((held - pressed + 86400000) % 86400000, HELD_MS);
    ASSERT_EQ(sim.send("GPIO6=0"), "OK");

    // The port still has its fuse: a trip switches it off and says so.
    ASSERT_EQ(sim.send("GPIO11=1"), "OK");
    EXPECT_TRUE(kivtest::waitUntil([&] { return warned("eFUSE Triggered for P1"); }, 10000));
    EXPECT_TRUE(kivtest::waitUntil([&] { return sim.level("GPIO1") == 0; }, 10000));
    EXPECT_EQ(d.log().find("GPIO input \"Thief\" pressed"), std::string::npos);
    EXPECT_EQ(d.stop(), 0);
}

}  // namespace
