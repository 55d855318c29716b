// The simulated board: inputs driven through its socket, outputs and pin
// set-up visible in its state file, and changes delivered through the
// GPIO service's descriptors, never by polling.

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <cstring>

#include "GpioSimClient.h"
#include "TestSupport.h"
#include "common.h"
#include "services/GPIO.h"
#include "services/SimulatedPins.h"
#include "settings.h"

namespace {

class SimulatedPinsTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim = std::make_unique<SimulatedPinProvider>(16, media.file("/tmp/gpio-sim.sock"),
                                                     media.file("/tmp/gpio-sim.json"));
        PinCapabilities::InitGPIO("test", sim.get());
    }
    void TearDown() override {
        GPIOManager::INSTANCE.Cleanup();
        sim.reset();
    }
    PinCapabilities* pin(const std::string& n) { return PinCapabilities::getPinByName(n); }
    kivtest::TempMediaDir media;
    std::unique_ptr<SimulatedPinProvider> sim;
};

TEST_F(SimulatedPinsTest, PinsAreNamedGpio0ToCountMinusOne) {
    EXPECT_NE(pin("GPIO0"), nullptr);
    EXPECT_NE(pin("GPIO15"), nullptr);
    EXPECT_EQ(pin("GPIO16"), nullptr);
    EXPECT_EQ(pin("gpio1"), nullptr);
    EXPECT_EQ(pin("GPIO3")->name, "GPIO3");
}

TEST_F(SimulatedPinsTest, InputsRestAtTheirPullUntilDriven) {
    pin("GPIO1")->configPin("gpio_pu", false);
    pin("GPIO2")->configPin("gpio_pd", false);
    pin("GPIO3")->configPin("gpio", false);
    EXPECT_EQ(pin("GPIO1")->getValue(), 1);
    EXPECT_EQ(pin("GPIO2")->getValue(), 0);
    EXPECT_EQ(pin("GPIO3")->getValue(), 0);
    EXPECT_EQ(sim->apply("GPIO1=0,GPIO2=1\nGPIO3=1"), "OK");
    EXPECT_EQ(pin("GPIO1")->getValue(), 0);
    EXPECT_EQ(pin("GPIO2")->getValue(), 1);
    EXPECT_EQ(pin("GPIO3")->getValue(), 1);
    EXPECT_FALSE(pin("GPIO4")->configPin("pwm", false));
}

TEST_F(SimulatedPinsTest, OutputsStartAtTheirInitialLevelAndAreWrittenToTheStateFile) {
    kivtest::GpioSimClient c(media.path());
    EXPECT_EQ(c.level("GPIO5"), -1) << "not set up yet";
    pin("GPIO5")->configPin("gpio", true, 1);
    EXPECT_EQ(c.level("GPIO5"), 1);
    EXPECT_EQ(c.pin("GPIO5")["direction"].asString(), "out");
    pin("GPIO5")->setValue(0);
    EXPECT_EQ(c.level("GPIO5"), 0);
    pin("GPIO6")->configPin("gpio", true, 0);
    PinCapabilities::setMultiPinValue({pin("GPIO5"), pin("GPIO6")}, 1);
    EXPECT_EQ(c.level("GPIO5"), 1);
    EXPECT_EQ(c.level("GPIO6"), 1);
    // Writing an input does nothing.
    pin("GPIO7")->configPin("gpio_pu", false);
    pin("GPIO7")->setValue(0);
    EXPECT_EQ(pin("GPIO7")->getValue(), 1);
    EXPECT_EQ(c.pin("GPIO7")["mode"].asString(), "gpio_pu");
}

TEST_F(SimulatedPinsTest, BadControlTextsChangeNothingAndSayWhy) {
    pin("GPIO1")->configPin("gpio", false);
    pin("GPIO2")->configPin("gpio", true, 0);
    EXPECT_EQ(sim->apply("GPIO1=1 GPIO99=1"), "ERROR: unknown pin GPIO99");
    EXPECT_EQ(sim->apply("GPIO1=1 GPIO2=1"), "ERROR: GPIO2 is an output");
    EXPECT_EQ(sim->apply("GPIO1=2"), "ERROR: level of GPIO1 must be 0 or 1, not \"2\"");
    EXPECT_EQ(sim->apply("GPIO1"), "ERROR: \"GPIO1\" is not NAME=0 or NAME=1");
    EXPECT_EQ(sim->apply("  "), "ERROR: no assignments (send NAME=0 or NAME=1)");
    EXPECT_EQ(pin("GPIO1")->getValue(), 0);
    EXPECT_EQ(pin("GPIO2")->getValue(), 0);
}

TEST_F(SimulatedPinsTest, ChangesReachCallbacksThroughDescriptorsWithTheNewLevel) {
    pin("GPIO8")->configPin("gpio_pd", false);
    pin("GPIO9")->configPin("gpio_pd", false);
    std::vector<int> seen8, seen9;
    ASSERT_TRUE(GPIOManager::INSTANCE.AddGPIOCallback(pin("GPIO8"), [&](int v) {
        seen8.push_back(v);
        return false;
    }));
    ASSERT_TRUE(GPIOManager::INSTANCE.AddGPIOCallback(pin("GPIO9"), [&](int v) {
        // Changes of one datagram are all visible to every callback.
        seen9.push_back(v * 10 + pin("GPIO8")->getValue());
        return true;
    }));
    std::map<int, std::function<bool(int)>> callbacks;
    GPIOManager::INSTANCE.Initialize(callbacks);
    // The control socket, the state file's write timer and the watched
    // pins' epoll set.
    EXPECT_EQ(callbacks.size(), 3u);
    EXPECT_EQ(kivtest::serveDescriptors(callbacks, 0), 0) << "nothing happened yet";

    kivtest::GpioSimClient c(media.path());
    std::string answer;
    std::thread t([&] { answer = c.send("GPIO8=1 GPIO9=1"); });
    kivtest::waitUntil([&] { return kivtest::serveDescriptors(callbacks, 50) > 0 && !seen9.empty(); }, 5000);
    t.join();
    EXPECT_EQ(answer, "OK");
    EXPECT_EQ(seen8, (std::vector<int>{1}));
    EXPECT_EQ(seen9, (std::vector<int>{11}));
    // The same level again is no change.
    EXPECT_EQ(sim->apply("GPIO8=1"), "OK");
    EXPECT_EQ(kivtest::serveDescriptors(callbacks, 0), 0);
    std::atomic<bool> answered{false};
    std::thread t2([&] {
        answer = c.send("GPIO8=2");
        answered = true;
    });
    kivtest::waitUntil(
        [&] {
            kivtest::serveDescriptors(callbacks, 50);
            return answered.load();
        },
        5000);
    t2.join();
    EXPECT_EQ(answer, "ERROR: level of GPIO8 must be 0 or 1, not \"2\"");
    EXPECT_EQ(sim->apply("GPIO8=0"), "OK");
    EXPECT_EQ(kivtest::serveDescriptors(callbacks, 0), 1);
    EXPECT_EQ(seen8, (std::vector<int>{1, 0}));

    // Paused, a pin's changes wake nobody; resumed, they are reported once,
    // with the level then.
    GPIOManager::INSTANCE.PauseGPIOCallback(pin("GPIO9"));
    for (const char* level : {"GPIO9=0", "GPIO9=1", "GPIO9=0"}) EXPECT_EQ(sim->apply(level), "OK");
    EXPECT_EQ(kivtest::serveDescriptors(callbacks, 0), 0);
    EXPECT_EQ(seen9, (std::vector<int>{11}));
    GPIOManager::INSTANCE.ResumeGPIOCallback(pin("GPIO9"));
    EXPECT_EQ(kivtest::serveDescriptors(callbacks, 0), 1);
    EXPECT_EQ(seen9, (std::vector<int>{11, 0}));

    // A pin added while the loop runs is watched through the same set.
    pin("GPIO10")->configPin("gpio", false);
    std::vector<int> seen10;
    ASSERT_TRUE(GPIOManager::INSTANCE.AddGPIOCallback(pin("GPIO10"), [&](int v) {
        seen10.push_back(v);
        return false;
    }));
    EXPECT_EQ(sim->apply("GPIO10=1"), "OK");
    EXPECT_EQ(kivtest::serveDescriptors(callbacks, 0), 1);
    EXPECT_EQ(seen10, (std::vector<int>{1}));
    EXPECT_EQ(callbacks.size(), 3u);

    // A removed callback is not called any more.
    GPIOManager::INSTANCE.RemoveGPIOCallback(pin("GPIO8"));
    EXPECT_EQ(sim->apply("GPIO8=1"), "OK");
    kivtest::serveDescriptors(callbacks, 0);
    EXPECT_EQ(seen8.size(), 2u);
}

TEST_F(SimulatedPinsTest, AFloodOfChangesIsTakenAFewAtATimeSoTheMainLoopMovesOn) {
    pin("GPIO3")->configPin("gpio", false);
    sim->init("test");
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    strncpy(to.sun_path, sim->socketPath().c_str(), sizeof(to.sun_path) - 1);
    // As many changes as the socket takes (a sender without an address
    // gets no answer, as a flood would).
    int sent = 0;
    while (sent < 64 && sendto(fd, sent % 2 ? "GPIO3=0" : "GPIO3=1", 7, 0, (sockaddr*)&to, sizeof(to)) == 7) ++sent;
    close(fd);
    ASSERT_GT(sent, 8);
    sim->processControl();
    pollfd p = {sim->controlSocket(), POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 1) << "the rest waits for the next pass";
    kivtest::GpioSimClient c(media.path());
    EXPECT_EQ(c.level("GPIO3"), 0) << "the state file has the eighth change";
    for (int i = 0; i < 64; ++i) sim->processControl();
    EXPECT_EQ(poll(&p, 1, 0), 0);
    EXPECT_EQ(c.level("GPIO3"), sent % 2);
}

TEST_F(SimulatedPinsTest, TheBoardProviderIsChosenBySetting) {
    SetSetting("GPIOProvider", "simulated");
    SetSetting("GPIOSimulatedPins", 4);
    {
        PiGPIOPinProvider board;
        EXPECT_NE(board.getPinByName("GPIO3"), nullptr);
        EXPECT_EQ(board.getPinByName("GPIO4"), nullptr);
    }
    // Deleting the installed provider uninstalls it.
    auto* other = new SimulatedPinProvider(2, "", "");
    PinCapabilities::InitGPIO("test", other);
    EXPECT_NE(pin("GPIO1"), nullptr);
    delete other;
    EXPECT_EQ(pin("GPIO1"), nullptr);
    SetSetting("GPIOProvider", "gpiod");
}

}  // namespace
