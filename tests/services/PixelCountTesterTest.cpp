// The pixel-count test: ports darkened, then lit, their currents read in
// each phase, and the difference turned into a count that reaches the
// output monitor; "Check Pixel Count" waits for it and compares.

#include <gtest/gtest.h>

#include <algorithm>

#include "CaptureOutput.h"
#include "OutputMonitor.h"
#include "Sequence.h"
#include "TestSupport.h"
#include "Warnings.h"
#include "commands/Commands.h"
#include "common.h"
#include "services/GPIO.h"
#include "services/Overlays.h"
#include "services/PixelCountTester.h"
#include "services/SimulatedPins.h"
#include "services/Timers.h"

namespace {

typedef CurrentBasedPixelCountPixelStringTester Tester;

class PixelCountTesterTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim = std::make_unique<SimulatedPinProvider>(8, "", "");
        PinCapabilities::InitGPIO("test", sim.get());
        CommandManager::INSTANCE.Init();
        ChannelTester::INSTANCE.RegisterCommands();
        media.write("/tmp/c1", "100");
        media.write("/tmp/c2", "40");
        addPort("P1", 1, 100, R"(, "mAPerPixel": 60)");
        addPort("P2", 301, 50, R"(, "mAPerPixel": 40, "channelsPerPixel": 4)");
        addPort("NoRate", 601, 10, "");
        std::map<int, std::function<bool(int)>> callbacks;
        OutputMonitor::INSTANCE.Initialize(callbacks);
    }
    void TearDown() override {
        Tester::INSTANCE.Stop();
        std::vector<unsigned char> buf(Sequence::MAX_CHANNELS);
        Tester::INSTANCE.Draw(buf.data());  // lets the last dark frame go
        OutputMonitor::INSTANCE.Cleanup();
        CommandManager::INSTANCE.Cleanup();
        Timers::INSTANCE.clear();
        for (auto& w : WarningHolder::GetWarnings()) WarningHolder::RemoveWarning(w);
        sim.reset();
    }
    void addPort(const std::string& name, int start, int configured, const std::string& extra) {
        int n = OutputMonitor::INSTANCE.GetPortCount() + 1;
        std::string file = media.file("/tmp/c" + std::to_string(n));
        if (!FileExists(file)) media.write("/tmp/c" + std::to_string(n), "0");
        OutputMonitor::INSTANCE.AddPortConfiguration(
            name,
            LoadJsonFromString(R"({"enablePin": "GPIO)" + std::to_string(n) + R"(", "startChannel": )" +
                               std::to_string(start) + R"(, "currentSensor": {"path": ")" + file +
                               R"(", "scale": 1})" + extra + "}"),
            true);
        OutputMonitor::INSTANCE.SetPixelCount(n - 1, -1, configured);
    }
    std::vector<unsigned char> frame() {
        std::vector<unsigned char> f(1000, 7);
        Tester::INSTANCE.Draw(f.data());
        return f;
    }
    kivtest::TempMediaDir media;
    std::unique_ptr<SimulatedPinProvider> sim;
};

TEST_F(PixelCountTesterTest, CountsEachPortFromItsCurrentDarkAndLit) {
    std::string error;
    ASSERT_TRUE(Tester::INSTANCE.Start(50, "--ALL--", 80, error)) << error;
    EXPECT_EQ(Tester::INSTANCE.getCurrentStatus(), Tester::RUNNING);
    EXPECT_TRUE(ChannelTester::INSTANCE.Testing());
    long long t0 = kivtest::MonotonicUs() / 1000;  // the tester's clock
    // Dark: the ports' channels are 0, the rest of the frame untouched.
    auto f = frame();
    EXPECT_EQ(f[0], 0);
    EXPECT_EQ(f[239], 0);   // P1: 80 pixels x 3 channels
    EXPECT_EQ(f[240], 7);
    EXPECT_EQ(f[300], 0);   // P2 from channel 301
    EXPECT_EQ(f[619], 0);   // 80 x 4 channels
    EXPECT_EQ(f[620], 7);
    Tester::INSTANCE.Tick(t0 + Tester::DARK_MS - 100);
    f = frame();
    EXPECT_EQ(f[0], 0) << "still dark before the settling time";
    Tester::INSTANCE.Tick(t0 + Tester::DARK_MS + 10);  // idle currents: 100 and 40
    f = frame();
    EXPECT_EQ(f[0], 255);
    EXPECT_EQ(f[239], 255);
    EXPECT_EQ(f[240], 7);
    EXPECT_EQ(f[619], 255);
    // The strips draw current for their real pixels.
    kivtest::rewriteInPlace(media.file("/tmp/c1"), std::to_string(100 + 60 * 77));
    kivtest::rewriteInPlace(media.file("/tmp/c2"), std::to_string(40 + 40 * 200));  // more than 80: capped
    Tester::INSTANCE.Tick(t0 + Tester::DARK_MS + 10 + Tester::LIT_MS - 1);
    EXPECT_EQ(Tester::INSTANCE.getCurrentStatus(), Tester::RUNNING);
    Tester::INSTANCE.Tick(t0 + Tester::DARK_MS + 20 + Tester::LIT_MS);
    EXPECT_EQ(Tester::INSTANCE.getCurrentStatus(), Tester::FINISHED);
    EXPECT_EQ(OutputMonitor::INSTANCE.GetPixelCount(0), 77);
    EXPECT_EQ(OutputMonitor::INSTANCE.GetPixelCount(1), 80);
    EXPECT_EQ(OutputMonitor::INSTANCE.GetPixelCount(2), -1) << "a port without mAPerPixel is not counted";
    EXPECT_EQ(OutputMonitor::INSTANCE.GetConfiguredPixelCount(0), 100);
    // Finished: dark until stopped, then one more dark frame and no drawing.
    f = frame();
    EXPECT_EQ(f[0], 0);
    EXPECT_TRUE(ChannelTester::INSTANCE.Testing());
    Tester::INSTANCE.Stop();
    EXPECT_EQ(Tester::INSTANCE.getCurrentStatus(), Tester::IDLE);
    EXPECT_TRUE(ChannelTester::INSTANCE.Testing());
    f = frame();
    EXPECT_EQ(f[0], 0);
    EXPECT_FALSE(ChannelTester::INSTANCE.Testing());
    f = frame();
    EXPECT_EQ(f[0], 7);
}

TEST_F(PixelCountTesterTest, StoppedWhileLitLeavesThePortsDark) {
    std::string error;
    ASSERT_TRUE(Tester::INSTANCE.Start(50, "P1", 10, error));
    Tester::INSTANCE.Tick(kivtest::MonotonicUs() / 1000 + Tester::DARK_MS + 10);
    EXPECT_EQ(frame()[0], 255);
    EXPECT_EQ(frame()[300], 7) << "only the selected port";
    Tester::INSTANCE.Stop();
    EXPECT_EQ(frame()[0], 0);
    EXPECT_FALSE(ChannelTester::INSTANCE.Testing());
}

TEST_F(PixelCountTesterTest, TestCommandsRefuseWhatTheyCannotDo) {
    auto r = CommandManager::INSTANCE.run("Test Start", {"50", "RGB Chase", "--ALL--", "999"});
    EXPECT_TRUE(r->isError());
    EXPECT_EQ(r->get(), "Unknown test mode \"RGB Chase\"; modes: Output Specific, Solid Color, RGB Cycle, Chase, Channel Walk");
    r = CommandManager::INSTANCE.run("Test Start", {"50", "Output Specific", "NoRate", "999"});
    EXPECT_TRUE(r->isError());
    EXPECT_EQ(r->get(), "No output port to count (ports need startChannel, currentSensor and mAPerPixel)");
    EXPECT_EQ(Tester::INSTANCE.getCurrentStatus(), Tester::IDLE);
    r = CommandManager::INSTANCE.run("Test Start", {"50", "Output Specific", "--ALL--", "999"});
    EXPECT_FALSE(r->isError()) << r->get();
    EXPECT_EQ(Tester::INSTANCE.getCurrentStatus(), Tester::RUNNING);
    EXPECT_EQ(CommandManager::INSTANCE.run("Test Stop", {})->get(), "OK");
    EXPECT_EQ(Tester::INSTANCE.getCurrentStatus(), Tester::IDLE);
}

TEST_F(PixelCountTesterTest, CheckPixelCountWarnsOnceTheTestHasFinished) {
    auto r = CommandManager::INSTANCE.run("Check Pixel Count", {"P1,P2", "2"});  // Action defaults to Warn
    EXPECT_EQ(r->get(), "OK");
    EXPECT_EQ(r->contentType(), "text/plain");
    long long t0 = kivtest::MonotonicUs() / 1000;  // the tester's clock
    // The test steps by the times given below, not by the clock.
    Timers::INSTANCE.stopPeriodicTimer("PixelCountTest");
    // The check waits while the test runs.
    Timers::INSTANCE.fireTimersInternal(t0 + 1000);
    EXPECT_TRUE(WarningHolder::GetWarnings().empty());
    Tester::INSTANCE.Tick(t0 + Tester::DARK_MS + 10);
    kivtest::rewriteInPlace(media.file("/tmp/c1"), std::to_string(100 + 60 * 97));
    kivtest::rewriteInPlace(media.file("/tmp/c2"), std::to_string(40 + 40 * 49));
    Tester::INSTANCE.Tick(t0 + Tester::DARK_MS + 20 + Tester::LIT_MS);
    ASSERT_EQ(Tester::INSTANCE.getCurrentStatus(), Tester::FINISHED);
    Timers::INSTANCE.fireTimersInternal(t0 + 3000);
    auto w = WarningHolder::GetWarnings();
    EXPECT_EQ(w, (std::list<std::string>{"P1 configured for 100 pixels but 97 pixels detected."}));
    EXPECT_EQ(Tester::INSTANCE.getCurrentStatus(), Tester::IDLE) << "the check stops the test";
    EXPECT_EQ(Timers::INSTANCE.nextFireTime(), -1) << "and its timer";
}

TEST_F(PixelCountTesterTest, CheckPixelCountReportsATestThatCannotStart) {
    OutputMonitor::INSTANCE.Cleanup();
    addPort("Only", 1, 10, "");
    std::map<int, std::function<bool(int)>> callbacks;
    OutputMonitor::INSTANCE.Initialize(callbacks);
    auto r = CommandManager::INSTANCE.run("Check Pixel Count", {});
    EXPECT_TRUE(r->isError());
    EXPECT_EQ(r->get(),
              "Pixel count test not started: No output port to count (ports need startChannel, currentSensor and "
              "mAPerPixel)");
    EXPECT_EQ(Timers::INSTANCE.nextFireTime(), -1);
}

}  // namespace
