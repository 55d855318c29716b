// The output ports through the real kivd on the simulated board: the
// commands switch the enable pins, fuse trips named by warnings and
// presets, pixel counts measured from the current the lit strips draw, the
// status resource over HTTP, and bad layout files that leave the daemon and
// its show running.

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "GpioSimClient.h"
#include "HttpClient.h"
#include "KivdProcess.h"
#include "TestSupport.h"
#include "common.h"
#include "hseq/ShowGenerator.h"
#include "monitor/PacketDecoder.h"

namespace {

std::string lo(int n) {
    static const int block = 100 + (int)getpid() % 100;
    return "127.202." + std::to_string(block) + "." + std::to_string(n);
}

std::string ddpOutputs(const std::string& address, int channels) {
    return R"({"channelOutputs": [{"type": "UDP", "enabled": 1, "universes": [
      {"description": "ddp", "type": 4, "address": ")" +
           address + R"(", "startChannel": 1, "channelCount": )" + std::to_string(channels) + "}]}]}";
}

// Polls until pred holds or timeoutMs of wall time passed (each poll may
// run the command client, slow on a loaded machine).
template <typename P>
bool within(int timeoutMs, P pred) {
    long long end = GetTimeMS() + timeoutMs;
    while (GetTimeMS() < end) {
        if (pred()) return true;
        usleep(20000);
    }
    return pred();
}

class OutputPortsEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        media.write("/settings", "GPIOProvider = simulated\n");
        // Presets name themselves in the command log, with their keywords.
        media.write("/config/commandPresets.json", R"({"commands": [
          {"name": "OUTPUTS_ENABLED", "command": "Trigger Command Preset", "args": ["SAW ENABLED"]},
          {"name": "OUTPUTS_DISABLED", "command": "Trigger Command Preset", "args": ["SAW DISABLED"]},
          {"name": "EFUSE_TRIGGERED", "command": "Trigger Command Preset", "args": ["SAW FUSE %PORT%"]}]})");
    }
    void TearDown() override {
        if (d.running()) d.stop();
    }
    void startDaemon() {
        ASSERT_TRUE(d.start({"-f", "--log-level", "debug:Command"}));
        ASSERT_TRUE(d.waitReady()) << d.output();
    }
    Json::Value warnings() {
        std::string out;
        d.command({"Get Warnings"}, &out, 5);
        return LoadJsonFromString(out);
    }
    bool hasWarning(const std::string& w) {
        for (auto& x : warnings())
            if (x.asString() == w) return true;
        return false;
    }
    bool waitWarning(const std::string& w, bool present = true) {
        return within(15000, [&] { return hasWarning(w) == present; });
    }
    std::string run(const std::vector<std::string>& args) {
        std::string out;
        int rc = d.command(args, &out, 10);
        TrimWhiteSpace(out);
        return rc == 0 ? out : "ERROR(" + std::to_string(rc) + "): " + out;
    }
    // Waits until every pin has its level in the board's state file.
    bool levels(const std::map<std::string, int>& want) {
        return within(10000, [&] {
            for (auto& w : want)
                if (sim.level(w.first) != w.second) return false;
            return true;
        });
    }
    std::string levelsNow() {
        return GetFileContents(sim.statePath());
    }
    int logCount(const std::string& needle) {
        std::string t = d.log();
        int n = 0;
        for (size_t p = t.find(needle); p != std::string::npos; p = t.find(needle, p + 1)) ++n;
        return n;
    }

    kivtest::TempMediaDir media;
    kivtest::KivdProcess d{media.path()};
    kivtest::GpioSimClient sim{media.path()};
};

TEST_F(OutputPortsEndToEnd, CommandsSwitchPinsAndFuseTripsAreNamedInWarningsAndPresets) {
    media.write("/tmp/c3", "1500");
    media.write("/config/output-ports.json", R"({"ports": [
      {"name": "P1", "enablePin": "GPIO1", "eFusePin": "GPIO11", "eFuseInterruptPin": "+GPIO20", "row": 1, "col": 1},
      {"name": "P2", "enablePin": "!GPIO2", "eFusePin": "GPIO12", "eFuseInterruptPin": "+GPIO20"},
      {"name": "P3", "enablePin": "GPIO3", "eFusePin": "GPIO13", "eFuseInterruptPin": "+GPIO20",
       "currentSensor": {"path": ")" + media.file("/tmp/c3") + R"(", "scale": 0.5, "offset": 100}},
      {"name": "P4", "enablePin": "!GPIO4", "eFusePin": "!+GPIO14"},
      {"name": "PSU", "enablePin": "GPIO5", "managed": false}]})");
    // The power supply's relay follows the ports through the presets.
    std::string presets = GetFileContents(media.file("/config/commandPresets.json"));
    presets.replace(presets.rfind("]}"), 2, R"(,
      {"name": "OUTPUTS_ENABLED", "command": "Set Port Status", "args": ["PSU", "true"]},
      {"name": "OUTPUTS_DISABLED", "command": "Set Port Status", "args": ["PSU", "false"]}]})");
    media.write("/config/commandPresets.json", presets);
    startDaemon();
    // Switched on at start, the relay with them.
    ASSERT_TRUE(levels({{"GPIO1", 1}, {"GPIO2", 0}, {"GPIO3", 1}, {"GPIO4", 0}, {"GPIO5", 1}}))
        << levelsNow() << d.log();
    EXPECT_EQ(sim.pin("GPIO20")["mode"].asString(), "gpio_pu");
    EXPECT_EQ(sim.pin("GPIO14")["mode"].asString(), "gpio_pu");

    EXPECT_EQ(run({"Outputs Off"}), "OK");
    EXPECT_TRUE(levels({{"GPIO1", 0}, {"GPIO2", 1}, {"GPIO3", 0}, {"GPIO4", 1}})) << levelsNow();
    EXPECT_TRUE(within(10000, [&] { return logCount("TriggerPreset(SAW DISABLED)") == 1; })) << d.log();
    EXPECT_EQ(run({"Outputs On"}), "OK");
    EXPECT_TRUE(levels({{"GPIO1", 1}, {"GPIO2", 0}, {"GPIO3", 1}, {"GPIO4", 0}})) << levelsNow();
    // Once at start, once now.
    EXPECT_TRUE(within(10000, [&] { return logCount("TriggerPreset(SAW ENABLED)") == 2; })) << d.log();

    EXPECT_EQ(run({"Set Port Status", "P2", "false"}), "OK");
    EXPECT_TRUE(levels({{"GPIO1", 1}, {"GPIO2", 1}, {"GPIO3", 1}, {"GPIO4", 0}})) << levelsNow();
    EXPECT_EQ(run({"Set Port Status", "--ALL--", "false"}), "OK");
    EXPECT_TRUE(levels({{"GPIO1", 0}, {"GPIO2", 1}, {"GPIO3", 0}, {"GPIO4", 1}})) << levelsNow();
    EXPECT_EQ(run({"Set Port Status", "--ALL--", "true"}), "OK");
    EXPECT_TRUE(levels({{"GPIO1", 1}, {"GPIO2", 0}, {"GPIO3", 1}, {"GPIO4", 0}})) << levelsNow();
    EXPECT_NE(run({"Set Port Status", "P1"}).find("Required arguments not provided"), std::string::npos);

    // P1 and P3 trip behind the shared interrupt line.
    EXPECT_EQ(sim.send("GPIO11=1 GPIO13=1 GPIO20=0"), "OK");
    EXPECT_TRUE(waitWarning("eFUSE Triggered for P1"));
    EXPECT_TRUE(waitWarning("eFUSE Triggered for P3"));
    EXPECT_TRUE(levels({{"GPIO1", 0}, {"GPIO2", 0}, {"GPIO3", 0}})) << levelsNow();
    EXPECT_FALSE(hasWarning("eFUSE Triggered for P2"));
    EXPECT_TRUE(within(10000, [&] { return logCount("TriggerPreset(SAW FUSE P3)") == 1; })) << d.log();
    EXPECT_EQ(logCount("TriggerPreset(SAW FUSE P1)"), 1);
    EXPECT_EQ(logCount("TriggerPreset(SAW FUSE P2)"), 0);
    // P4's own fuse line.
    EXPECT_EQ(sim.send("GPIO14=0"), "OK");
    EXPECT_TRUE(waitWarning("eFUSE Triggered for P4"));
    EXPECT_TRUE(levels({{"GPIO4", 1}}));
    EXPECT_TRUE(within(10000, [&] { return logCount("TriggerPreset(SAW FUSE P4)") == 1; }));

    // The status page shows it all.
    auto r = kivtest::httpGet(d.httpUrl("/kivd/ports"));
    ASSERT_EQ(r.status, 200) << r.error;
    EXPECT_EQ(r.header("content-type"), "application/json");
    Json::Value ports = LoadJsonFromString(r.body);
    ASSERT_EQ(ports.size(), 5u) << r.body;
    EXPECT_EQ(ports[0]["name"].asString(), "P1");
    EXPECT_FALSE(ports[0]["enabled"].asBool());
    EXPECT_FALSE(ports[0]["status"].asBool());
    EXPECT_EQ(ports[0]["row"].asInt(), 1);
    EXPECT_TRUE(ports[1]["enabled"].asBool());
    EXPECT_TRUE(ports[1]["status"].asBool());
    EXPECT_EQ(ports[2]["ma"].asInt(), 700);
    EXPECT_FALSE(ports[3]["status"].asBool());
    EXPECT_EQ(kivtest::httpGet(d.httpUrl("/kivd/ports/list")).body, R"(["--ALL--","P1","P2","P3","P4","PSU"])");

    // The fuse resets and the user switches P1 back on from a phone.
    EXPECT_EQ(sim.send("GPIO11=0 GPIO13=0 GPIO20=1"), "OK");
    EXPECT_EQ(run({"Set Port Status", "P1", "true"}), "OK");
    EXPECT_TRUE(waitWarning("eFUSE Triggered for P1", false));
    EXPECT_TRUE(hasWarning("eFUSE Triggered for P3"));
    EXPECT_TRUE(levels({{"GPIO1", 1}}));

    // At the stop every managed port is switched off, and the relay too.
    EXPECT_EQ(d.stop(), 0);
    EXPECT_EQ(sim.level("GPIO1"), 0);
    EXPECT_EQ(sim.level("GPIO2"), 1);
    EXPECT_EQ(sim.level("GPIO5"), 0) << d.log();
    EXPECT_EQ(d.log().find("Preset command"), std::string::npos) << d.log();
}

// A strip on a port: it draws current for each of its real pixels that the
// daemon lights. Watches DDP and writes each port's current file.
class StripSimulator {
public:
    struct Strip {
        std::string file;
        int firstChannel;  // from 0
        int pixels;        // real pixels on the strip
        int idleMa;
        int maPerPixel;
    };
    StripSimulator(const std::string& address, std::vector<Strip> strips)
        : m_rx(address, 4048), m_strips(std::move(strips)), m_channels(1024, 0) {
        for (auto& s : m_strips) writeCurrent(s.file, s.idleMa);
        m_thread = std::thread([this] { run(); });
    }
    ~StripSimulator() {
        m_stop = true;
        m_thread.join();
    }
    bool ok() const { return m_rx.ok(); }
    int maxLitSeen() const { return m_maxLit; }

private:
    void run() {
        while (!m_stop) {
            auto got = m_rx.take();
            for (auto& g : got) {
                DecodedPacket p = DecodeDDP(g.bytes.data(), g.bytes.size());
                if (!p.valid || p.offset + p.length > m_channels.size()) continue;
                memcpy(m_channels.data() + p.offset, p.data, p.length);
            }
            if (!got.empty()) {
                for (auto& s : m_strips) {
                    int lit = 0;
                    for (int i = 0; i < s.pixels; ++i) {
                        int c = s.firstChannel + 3 * i;
                        if (m_channels[c] || m_channels[c + 1] || m_channels[c + 2]) ++lit;
                    }
                    m_maxLit = std::max(m_maxLit.load(), lit);
                    writeCurrent(s.file, s.idleMa + lit * s.maPerPixel);
                }
            }
            usleep(5000);
        }
    }
    // A sensor file never reads empty or half-written, as a kernel
    // attribute does not: a fixed-width value written in place.
    static void writeCurrent(const std::string& file, int mA) {
        char text[16];
        snprintf(text, sizeof(text), "%10d\n", mA);
        if (!kivtest::rewriteInPlace(file, text)) ADD_FAILURE() << "cannot write " << file;
    }
    kivtest::UdpReceiver m_rx;
    std::vector<Strip> m_strips;
    std::vector<uint8_t> m_channels;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_maxLit{0};
    std::thread m_thread;
};

TEST_F(OutputPortsEndToEnd, CheckPixelCountComparesTheCountsTheLitStripsDraw) {
    media.write("/config/channeloutputs.json", ddpOutputs(lo(1), 1024));
    // P1 is configured for 100 pixels but has 97; P2 has its 50.
    StripSimulator strips(lo(1), {{media.file("/tmp/c1"), 0, 97, 30, 60}, {media.file("/tmp/c2"), 300, 50, 20, 40}});
    ASSERT_TRUE(strips.ok());
    media.write("/config/output-ports.json", R"({"ports": [
      {"name": "P1", "enablePin": "GPIO1", "startChannel": 1, "pixelCount": 100, "mAPerPixel": 60,
       "currentSensor": {"path": ")" + media.file("/tmp/c1") + R"(", "scale": 1}},
      {"name": "P2", "enablePin": "GPIO2", "startChannel": 301, "pixelCount": 50, "mAPerPixel": 40,
       "currentSensor": {"path": ")" + media.file("/tmp/c2") + R"(", "scale": 1}}]})");
    startDaemon();
    // The output thread now idles after the start-up blanking frame: the
    // test must wake it, or the strips stay dark.
    usleep(800000);
    EXPECT_EQ(run({"Check Pixel Count", "--ALL--", "2", "Warn"}), "OK");
    EXPECT_TRUE(waitWarning("P1 configured for 100 pixels but 97 pixels detected.")) << d.log();
    EXPECT_GE(strips.maxLitSeen(), 50) << "the test lit the strips";
    auto r = kivtest::httpGet(d.httpUrl("/kivd/ports"));
    Json::Value ports = LoadJsonFromString(r.body);
    ASSERT_EQ(ports.size(), 2u) << r.body;
    EXPECT_EQ(ports[0]["pixelCount"].asInt(), 97);
    EXPECT_EQ(ports[1]["pixelCount"].asInt(), 50);
    for (auto& w : warnings()) EXPECT_FALSE(startsWith(w.asString(), "P2 configured")) << w.asString();
    EXPECT_EQ(d.stop(), 0);
}

TEST_F(OutputPortsEndToEnd, BadLayoutEntriesAreReportedWhileTheRestAndTheShowWork) {
    ShowSpec spec;
    spec.channels = 512;
    spec.frames = 40;
    spec.stepMs = 25;
    ASSERT_TRUE(GenerateShow(media.file("/sequences/show.hseq"), spec));
    media.write("/config/channeloutputs.json", ddpOutputs(lo(2), 512));
    kivtest::UdpReceiver ddp(lo(2), 4048);
    ASSERT_TRUE(ddp.ok());
    std::string layout = media.file("/config/output-ports.json");
    media.write("/config/output-ports.json", R"({"ports": [
      {"name": "Good", "enablePin": "GPIO1"},
      {"name": "Ghost", "enablePin": "GPIO99"},
      {"name": "Good", "enablePin": "GPIO2"},
      {"name": "Amps", "enablePin": "GPIO3", "currentSensor": {"path": ")" + media.file("/tmp/absent") + R"(", "scale": 1}}]})");
    startDaemon();
    EXPECT_TRUE(waitWarning("Could not find pin GPIO99 to enable output Ghost"));
    EXPECT_TRUE(hasWarning("Output port \"Good\" in " + layout + " is defined twice; the second one is ignored"));
    EXPECT_TRUE(hasWarning("Could not open current sensor " + media.file("/tmp/absent") +
                           " for output Amps: No such file or directory"));
    EXPECT_NE(d.log().find("Could not find pin GPIO99 to enable output Ghost\n"), std::string::npos);
    EXPECT_TRUE(levels({{"GPIO1", 1}, {"GPIO3", 1}})) << levelsNow();
    EXPECT_EQ(sim.level("GPIO2"), -1) << "the duplicate's pin is never touched";
    EXPECT_EQ(run({"Outputs Off"}), "OK");
    EXPECT_TRUE(levels({{"GPIO1", 0}, {"GPIO3", 0}}));
    EXPECT_EQ(run({"Start Sequence", "show.hseq"}), "OK");
    EXPECT_TRUE(ddp.waitFor(20, 15000)) << "the show plays";
    EXPECT_EQ(d.stop(), 0);

    // Garbage: no ports, a clear warning, the daemon and the show run on.
    media.write("/config/output-ports.json", "{\"ports\": [ {\"name\": ");
    media.write("/settings", "GPIOProvider = simulated\n");  // the next daemon's own HTTP address
    kivtest::KivdProcess again(media.path());
    ASSERT_TRUE(again.start({"-f"}));
    ASSERT_TRUE(again.waitReady()) << again.output();
    std::string out;
    again.command({"Get Warnings"}, &out, 5);
    bool found = false;
    for (auto& w : LoadJsonFromString(out)) {
        std::string s = w.asString();
        if (startsWith(s, "Output port layout " + layout + " is not valid JSON (") &&
            endsWith(s, "); no ports are monitored"))
            found = true;
    }
    EXPECT_TRUE(found) << out;
    EXPECT_EQ(again.command({"Outputs On"}, &out, 5), 0) << out;
    EXPECT_NE(again.command({"Set Port Status", "Good", "true"}, &out, 5), 0) << "no ports, no port commands";
    auto r = kivtest::httpGet(again.httpUrl("/kivd/ports"));
    EXPECT_EQ(r.body, "[]");
    ddp.take();
    EXPECT_EQ(again.command({"Start Sequence", "show.hseq"}, &out, 5), 0) << out;
    EXPECT_TRUE(ddp.waitFor(20, 15000)) << "the show plays";
    EXPECT_EQ(again.stop(), 0);
}

}  // namespace
