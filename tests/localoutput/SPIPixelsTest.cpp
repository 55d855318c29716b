// The "SPIPixels" output plug-in, loaded by name through the output
// registry as kivd loads it, with FIFOs where the spidev nodes would be:
// the SPI calls through a recording device layer, a port of the board
// powering a string of the documented example, settings that cannot work
// refused with one line each while the other outputs run, and strings in
// the check of the outputs file. (kivd plays a show to the documented
// example in tests/kivd/LocalOutputsEndToEndTest.)

#include <gtest/gtest.h>

#include <memory>

#include "LocalOutputSupport.h"
#include "OutputMonitor.h"
#include "RecordingDevice.h"
#include "TestSupport.h"
#include "Warnings.h"
#include "channeloutput/PortLayout.h"
#include "channeloutput/channeloutput.h"
#include "commands/Commands.h"
#include "common.h"
#include "localoutput/SPIPixels.h"
#include "services/GPIO.h"
#include "services/SimulatedPins.h"

using namespace kivtest;

namespace {

class SPIPixelsTest : public ::testing::Test {
protected:
    void TearDown() override {
        CloseChannelOutputs();
        for (auto& w : WarningHolder::GetWarnings()) WarningHolder::RemoveWarning(w);
    }
    TempMediaDir media;
};

}  // namespace

TEST_F(SPIPixelsTest, SpiDeviceGetsModeSpeedAndMessagesNoLargerThanSpidevTakes) {
    struct Case {
        std::string chip, speed;
        long long hz;
        int pixels;
    };
    for (const Case& c : {Case{"WS2812", "", 3200000, 300}, Case{"APA102", R"("speed": 8000000,)", 8000000, 300},
                          Case{"WS2801", "", 1000000, 10}}) {
        SCOPED_TRACE(c.chip);
        std::string path = media.file("/tmp/spidev0.0");
        FifoReader fifo(path);
        RecordingDevice dev;
        dev.spiPaths = {path};
        dev.maxTransfer = 1000;
        LogCapture log;
        SPIPixelsOutput out(0, 0, dev);
        ASSERT_EQ(1, out.Init(LoadJsonFromString(R"({"type": "SPIPixels", "device": ")" + path + R"(", "chip": ")" +
                                                 c.chip + "\", " + c.speed + R"("strings": [{"startChannel": 1,
                                                 "pixelCount": )" +
                                                 std::to_string(c.pixels) + "}]}")));
        Bytes channels(1000), encoded;
        for (size_t i = 0; i < channels.size(); ++i) channels[i] = (uint8_t)(i * 13);
        EncodePixels(out.Chip()->chip, out.Strings(), channels.data(), encoded);
        out.SendData(channels.data());
        EXPECT_TRUE(fifo.waitFor(encoded.size(), 5000));
        out.Close();
        EXPECT_EQ(encoded, fifo.take().bytes);

        auto setup = dev.Calls("spiSetup");
        ASSERT_EQ(1u, setup.size());
        EXPECT_EQ(0u, setup[0].len) << "SPI mode 0";
        EXPECT_EQ(c.hz, setup[0].value);
        auto transfers = dev.Calls("spiTransfer");
        EXPECT_EQ((encoded.size() + 999) / 1000, transfers.size());
        for (auto& t : transfers) EXPECT_TRUE(t.len <= 1000u && t.value == c.hz) << t.len << " bytes at " << t.value;
        // One-wire pixels latch in the rests between messages.
        EXPECT_EQ(c.chip == "WS2812",
                  log.contains("pixels may latch between them: raise the kernel's spidev.bufsiz to " +
                               std::to_string(encoded.size())));
    }
}

TEST_F(SPIPixelsTest, APortNamingAStringCountsItAndDarkensItWhileOffOrTripped) {
    auto sim = std::make_unique<SimulatedPinProvider>(32, "", "");
    PinCapabilities::InitGPIO("test", sim.get());
    CommandManager::INSTANCE.Init();
    ASSERT_TRUE(
        CopyFileContents(sourceDir() + "/docs/examples/output-ports.json", media.file("/config/output-ports.json")));
    ASSERT_EQ(4, LoadPortLayout());
    Json::Value example = LoadJsonFromFile(sourceDir() + "/docs/examples/outputs-spipixels.json");
    example["channelOutputs"][0]["device"] = media.file("/tmp/spi0");
    example["channelOutputs"][1]["device"] = media.file("/tmp/spi1");
    FifoReader bus0(media.file("/tmp/spi0")), bus1(media.file("/tmp/spi1"));
    media.write("/config/channeloutputs.json", SaveJsonToString(example));
    ASSERT_EQ(2, InitializeChannelOutputs());
    // "Port 1" names the string "Roof": 150 pixels from channel 1.
    Json::Value port = OutputMonitor::INSTANCE.GetPortConfig(0);
    EXPECT_EQ(1, port["startChannel"].asInt());
    EXPECT_EQ(3, port["channelsPerPixel"].asInt());
    EXPECT_EQ(150, OutputMonitor::INSTANCE.GetConfiguredPixelCount(0));

    Bytes channels(1024, 200);
    const Bytes lit = ExpectedWire(example["channelOutputs"][0], channels.data());
    Bytes roofDark = lit;
    std::fill(roofDark.begin(), roofDark.begin() + 450, 0);
    // Sends the frame; returns what the bus of Roof and Porch sent for it.
    auto send = [&] {
        auto decode = [&] { return DecodeOneWire(bus0.copy().bytes, 3200000, OneWireTimingFor("WS2811")); };
        size_t before = decode().frames.size();
        SendChannelData((const char*)channels.data());
        DecodedStream d;
        EXPECT_TRUE(waitUntil([&] { return (d = decode()).frames.size() > before || !d.error.empty(); }, 5000));
        EXPECT_EQ("", d.error);
        return d.frames.size() > before ? d.frames[before].bytes : Bytes();
    };
    EXPECT_EQ(lit, send());
    ASSERT_TRUE(OutputMonitor::INSTANCE.SetOutput("Port 1", false));
    EXPECT_EQ(roofDark, send()) << "switched off: the roof dark, the porch lit";
    ASSERT_TRUE(OutputMonitor::INSTANCE.SetOutput("Port 1", true));
    EXPECT_EQ(lit, send());
    ASSERT_EQ("OK", sim->apply("GPIO10=1"));
    EXPECT_EQ(roofDark, send()) << "fuse tripped";

    CloseChannelOutputs();
    OutputMonitor::INSTANCE.Cleanup();
    GPIOManager::INSTANCE.Cleanup();
    CommandManager::INSTANCE.Cleanup();
}

TEST_F(SPIPixelsTest, SettingsThatCannotWorkDisableTheOutputWithOneLineEach) {
    std::string fifo = media.file("/tmp/good");
    FifoReader reader(fifo);
    auto entry = [](const std::string& device, const std::string& chip, const std::string& rest) {
        return R"({"type": "SPIPixels", )" + (device.empty() ? "" : "\"device\": \"" + device + "\", ") +
               "\"chip\": \"" + chip + "\", " + rest + "}";
    };
    auto one = [](const std::string& keys) {
        return R"("strings": [{"startChannel": 1, "pixelCount": 10)" + keys + "}]";
    };
    const std::pair<std::string, std::string> cases[] = {
        {entry("", "WS2811", one("")), "\"device\" (an SPI device such as /dev/spidev0.0) is missing"},
        {entry("/nonexistent/spidev9.9", "WS2811", one("")),
         "/nonexistent/spidev9.9 does not exist (is SPI switched on for the board?)"},
        {entry("/dev/null", "WS2811", one("")), "/dev/null is not an SPI device but another kind of file"},
        {entry(fifo, "WS2813", one("")), "\"chip\" must be WS2801, APA102, SK9822, WS2811, WS2812, WS2812B or SK6812"},
        {entry(fifo, "WS2811", R"("strings": [])"), "\"strings\" must list at least one pixel string"},
        {entry(fifo, "WS2811", R"("strings": [{"pixelCount": 10}])"), "string 1: \"startChannel\" is missing"},
        {entry(fifo, "WS2811", R"("strings": [{"startChannel": 1, "pixelCount": 0}])"),
         "string 1: \"pixelCount\" must be a whole number from 1 to 100000"},
        {entry(fifo, "WS2811", R"("strings": [{"name": "Roof", "startChannel": 8388600, "pixelCount": 100}])"),
         "string 1 (Roof): 100 pixels from channel 8388600 go past channel 8388608"},
        {entry(fifo, "WS2811", one(R"(, "gamma": "none")")), "string 1: \"gamma\" must be a number from 0.1 to 5"},
        {entry(fifo, "WS2811", one(R"(, "colorOrder": "RGX")")),
         "string 1: \"colorOrder\" must be an order of R, G and B (such as GRB), or of R, G, B and W"},
        {entry(fifo, "WS2801", one(R"(, "colorOrder": "GRBW")")),
         "string 1: \"colorOrder\" GRBW has white, which WS2801 pixels do not have"},
        {entry(fifo, "WS2811", one(R"(, "globalBrightness": 5)")),
         "string 1: \"globalBrightness\" is for APA102 and SK9822 pixels only"},
        {entry(fifo, "WS2811", R"("speed": 4000000, )" + one("")),
         "\"speed\" cannot be set for WS2811: the bit encoding needs its own 3.2 MHz"},
        {entry(fifo, "WS2801", R"("speed": 50000000, )" + one("")),
         "\"speed\" must be a whole number from 10000 to 25000000 (Hz) for WS2801"},
    };
    std::string list;
    for (auto& c : cases) list += c.first + ",\n";
    media.write("/config/channeloutputs.json", "{\"channelOutputs\": [" + list + entry(fifo, "WS2801", one("")) + "]}");
    LogCapture log;
    EXPECT_EQ(1, InitializeChannelOutputs()) << "only the last entry works";
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        EXPECT_EQ(1, log.count("SPIPixels: " + cases[i].second + "\n")) << cases[i].first;
        EXPECT_TRUE(hasWarning("Channel output " + std::to_string(i) +
                               " (SPIPixels) disabled: its configuration could not be initialised (see the log)"));
    }
    Bytes channels(30, 0x5A);
    SendChannelData((const char*)channels.data());
    EXPECT_TRUE(reader.waitFor(30, 5000)) << "the good output sends";
}

TEST_F(SPIPixelsTest, StringsTakePartInTheCheckOfTheOutputsFile) {
    auto problems = CheckChannelOutputs(LoadJsonFromString(R"({"channelOutputs": [
      {"type": "UDP", "universes": [{"type": 4, "address": "192.168.1.50", "startChannel": 1, "channelCount": 310}]},
      {"type": "SPIPixels", "device": "/dev/spidev0.0", "chip": "SK6812", "strings": [
        {"name": "Eaves", "startChannel": 311, "pixelCount": 50, "colorOrder": "GRBW"},
        {"name": "Porch", "startChannel": 300, "pixelCount": 3}, {"startChannel": 8388600, "pixelCount": 10}]}]})"));
    EXPECT_EQ(
        (std::vector<std::string>{"Output 2 (SPIPixels) string 3: \"startChannel\"/\"pixelCount\": channel range "
                                  "8388600+30 is outside 1-8388608",
                                  "Output 2 (SPIPixels) string 2 'Porch': channels 300-308 overlap Output 1 (UDP) "
                                  "destination 1 (DDP) (channels 1-310)"}),
        problems);
}
