// The "DMXSerial" output plug-in, with pseudo-terminals in place of the USB
// interfaces: a break and a mark after break before every Open DMX packet
// (through a recording device layer), packets no faster than DMX carries,
// an interface missing, plugged in, unplugged and back while the show goes
// on (loaded by name through the registry), by-id names, and settings that
// cannot work. (kivd plays a show to the documented example, USB Pro
// messages decoded frame for frame, in tests/kivd/LocalOutputsEndToEndTest.)

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <iterator>

#include "LocalOutputSupport.h"
#include "RecordingDevice.h"
#include "TestSupport.h"
#include "Warnings.h"
#include "channeloutput/channeloutput.h"
#include "common.h"
#include "localoutput/DMXSerial.h"
#include "localoutput/OutputSettings.h"

using namespace kivtest;

namespace {

// Every byte value, those a terminal would translate (0A, 0D, 11, 13) among them.
Bytes Pattern(size_t n, int seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = (uint8_t)(i + seed * 29);
    return b;
}

// The start code and count channels from first.
Bytes Packet(const Bytes& channels, size_t first, size_t count) {
    Bytes p(count + 1, 0);
    std::copy(channels.begin() + first, channels.begin() + first + count, p.begin() + 1);
    return p;
}

// The label 6 payloads the interface got, once at least n came.
std::vector<Bytes> Payloads(PtyDevice& pty, size_t n) {
    std::vector<Bytes> out;
    std::string error;
    waitUntil(
        [&] {
            out.clear();
            for (auto& m : DecodeUsbPro(pty.copy().bytes, error)) {
                EXPECT_EQ(6, m.label) << "send DMX";
                out.push_back(m.payload);
            }
            return out.size() >= n || !error.empty();
        },
        5000);
    EXPECT_EQ("", error);
    return out;
}

class DMXSerialTest : public ::testing::Test {
protected:
    void TearDown() override {
        CloseChannelOutputs();
        for (auto& w : WarningHolder::GetWarnings()) WarningHolder::RemoveWarning(w);
    }
    Json::Value Config(const std::string& protocol, const std::string& device, const std::string& more = "") {
        return LoadJsonFromString(R"({"type": "DMXSerial", "protocol": ")" + protocol + R"(", "device": ")" + device +
                                  "\"" + more + "}");
    }
    TempMediaDir media;
};

}  // namespace

TEST_F(DMXSerialTest, OpenDmxSendsABreakAndAMarkAfterBreakBeforeEveryPacket) {
    PtyDevice cable(media.file("/tmp/cable"));
    RecordingDevice dev;
    DMXSerialOutput out(0, 24, dev);
    ASSERT_EQ(1, out.Init(Config("OpenDMX", media.file("/tmp/cable"))));
    std::vector<Bytes> sent;
    for (int f = 0; f < 5; ++f) {
        Bytes channels = Pattern(24, f);
        out.SendData(channels.data());
        sent.push_back(Packet(channels, 0, 24));
        ASSERT_TRUE(cable.waitFor(sent.size() * 25, 5000));
    }
    out.Close();
    // The cable's packets; one that went out again (no frame for 0.8 s on a stalled machine) counts once.
    Bytes bytes = cable.copy().bytes;
    std::vector<Bytes> line, once;
    for (size_t i = 0; i + 25 <= bytes.size(); i += 25) line.emplace_back(&bytes[i], &bytes[i] + 25);
    std::unique_copy(line.begin(), line.end(), std::back_inserter(once));
    EXPECT_EQ(sent, once);

    auto calls = dev.Calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ("serialSetup", calls[0].what);
    EXPECT_EQ(250000, calls[0].value);
    EXPECT_EQ(2u, calls[0].len) << "stop bits";
    // Each packet: break (>= 92 us), mark after break (>= 12 us), its bytes, drained.
    size_t packets = 0, i = 1;
    for (; i + 3 < calls.size(); ++packets) {
        SCOPED_TRACE("packet " + std::to_string(packets));
        ASSERT_EQ("break on", calls[i].what);
        ASSERT_EQ("break off", calls[i + 1].what);
        EXPECT_GE(calls[i + 1].us - calls[i].us, 92);
        EXPECT_GE(calls[i + 2].us - calls[i + 1].us, 12);
        size_t bytes = 0;
        for (i += 2; i < calls.size() && calls[i].what == "write"; ++i) bytes += calls[i].len;
        EXPECT_EQ(25u, bytes);
        ASSERT_LT(i, calls.size());
        EXPECT_EQ("drain", calls[i++].what);
    }
    EXPECT_EQ(calls.size(), i);
    EXPECT_EQ(line.size(), packets);
}

TEST_F(DMXSerialTest, PacketsNeverComeFasterThanDmxCarries) {
    std::string device = media.file("/tmp/widget");
    PtyDevice widget(device);
    RecordingDevice dev;
    DMXSerialOutput out(0, 512, dev);
    ASSERT_EQ(1, out.Init(Config("USBPro", device)));
    // Break, mark after break, start code and 512 slots of 44 us: 44 a second.
    EXPECT_EQ(1000000 / 44 + 1, out.PacketIntervalUs());
    Bytes channels;
    for (int f = 0; f < 200; ++f) {  // a frame every 2 ms for 0.4 s
        channels = Pattern(512, f);
        out.SendData(channels.data());
        usleep(2000);
    }
    std::vector<Bytes> got;
    EXPECT_TRUE(waitUntil([&] { return !(got = Payloads(widget, 1)).empty() && got.back() == Packet(channels, 0, 512); },
                          5000))
        << "the newest frame goes out last";
    out.Close();
    auto writes = dev.Calls("write");
    ASSERT_GE(writes.size(), 2u);
    long long span = writes.back().us - writes.front().us;
    EXPECT_LE(got.size() - 1, (size_t)(span / out.PacketIntervalUs() + 1)) << got.size() << " in " << span << " us";
    EXPECT_LT(got.size(), 40u) << "200 frames handed over, at most 44 packets a second";
}

TEST_F(DMXSerialTest, AnInterfaceMissingOrUnpluggedIsAWarningTheShowGoesOnAndOutputResumes) {
    std::string link = media.file("/tmp/usb-dongle"), other = media.file("/tmp/usb-other");
    PtyDevice steady(other);
    media.write("/config/channeloutputs.json", R"({"channelOutputs": [
        {"type": "DMXSerial", "protocol": "USBPro", "device": ")" +
                                                   link + R"(", "startChannel": 1, "channelCount": 32},
        {"type": "DMXSerial", "protocol": "USBPro", "device": ")" +
                                                   other + R"(", "startChannel": 1, "channelCount": 32}]})");
    LogCapture log;
    ASSERT_EQ(2, InitializeChannelOutputs());
    auto warning = [&](const std::string& why) {
        return "DMXSerial: " + link + " is not available (" + why + "); output resumes when it is back";
    };
    EXPECT_TRUE(hasWarning(warning("No such file or directory")));

    int f = 0;
    Bytes frame;
    // Frames every 30 ms until cond holds; the other interface gets them all along.
    auto playUntil = [&](const std::function<bool()>& cond) {
        size_t before = steady.size();
        bool held = waitUntil(
            [&] {
                frame = Pattern(32, ++f);
                SendChannelData((const char*)frame.data());
                usleep(30000);
                return cond();
            },
            10000);
        EXPECT_GT(steady.size(), before) << "the show goes on";
        return held;
    };
    std::unique_ptr<PtyDevice> dongle(new PtyDevice(link));
    ASSERT_TRUE(playUntil([&] { return dongle->size() > 0; })) << "plugged in after the start";
    EXPECT_FALSE(hasWarning(warning("No such file or directory")));
    EXPECT_TRUE(log.contains("DMXSerial: " + link + " is back (" + link + ")"));

    dongle->unplug();
    ASSERT_TRUE(playUntil([&] { return hasWarning(warning("Input/output error")); }));
    dongle->take();
    ASSERT_TRUE(dongle->plug());
    ASSERT_TRUE(playUntil([&] {
        return Payloads(*dongle, 0).size() && Payloads(*dongle, 0).back() == Packet(frame, 0, 32);
    })) << "plugged back in";
    EXPECT_FALSE(hasWarning(warning("Input/output error")));
}

TEST_F(DMXSerialTest, SettingsThatCannotWorkDisableTheOutputWithOneLineEach) {
    std::string good = media.file("/tmp/good"), fifo = media.file("/tmp/fifo");
    PtyDevice pty(good);
    FifoReader reader(fifo);
    auto entry = [](const std::string& device, const std::string& keys) {
        return R"({"type": "DMXSerial", )" + (device.empty() ? "" : "\"device\": \"" + device + "\", ") + keys + "}";
    };
    const std::string usbPro = R"("protocol": "USBPro", "channelCount": 8)";
    const std::pair<std::string, std::string> cases[] = {
        {entry("", usbPro),
         "\"device\" (a serial port such as /dev/ttyUSB0, or its name in /dev/serial/by-id) is missing"},
        {entry(good, R"("protocol": "DMX", "channelCount": 8)"), "\"protocol\" must be USBPro or OpenDMX"},
        {entry(good, R"("protocol": "USBPro")"), "\"channelCount\" must be from 1 to 512 (one universe), not 0"},
        {entry(good, R"("protocol": "USBPro", "channelCount": 513)"),
         "\"channelCount\" must be from 1 to 512 (one universe), not 513"},
        {entry(good, usbPro + R"(, "refreshRate": 0)"), "\"refreshRate\" must be a whole number from 1 to 1000"},
        {entry(fifo, usbPro), fifo + " is not a serial port (tty) but a FIFO"},
        {entry("/dev/null", usbPro), "/dev/null is not a serial port (tty) but another kind of file"},
    };
    std::string list;
    for (auto& c : cases) list += c.first + ",\n";
    media.write("/config/channeloutputs.json", "{\"channelOutputs\": [" + list + entry(good, usbPro) + "]}");
    LogCapture log;
    EXPECT_EQ(1, InitializeChannelOutputs()) << "only the last entry works";
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        EXPECT_EQ(1, log.count("DMXSerial: " + cases[i].second + "\n")) << cases[i].first;
        EXPECT_TRUE(hasWarning("Channel output " + std::to_string(i) +
                               " (DMXSerial) disabled: its configuration could not be initialised (see the log)"));
    }
    Bytes channels(8, 0x5A);
    SendChannelData((const char*)channels.data());
    EXPECT_EQ(1u, Payloads(pty, 1).size()) << "the good output sends";
}

TEST_F(DMXSerialTest, DevicesAreNamedByPathOrByTheirByIdName) {
    std::string byId = media.file("/tmp/by-id"), name = "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
    mkdir(byId.c_str(), 0755);
    ASSERT_EQ(0, symlink("/dev/null", (byId + "/" + name).c_str()));
    EXPECT_EQ(byId + "/" + name, OutputSettings::DevicePath(name, {byId.c_str(), "/dev"}));
    EXPECT_EQ("/dev/ttyUSB7", OutputSettings::DevicePath("ttyUSB7", {byId.c_str(), "/dev"}));
    EXPECT_EQ("/dev/ttyACM0", OutputSettings::DevicePath("/dev/ttyACM0", {byId.c_str(), "/dev"}));
}
