// kivd as users run it, with the documented examples of lights wired to the
// board itself: a show plays to the WS2811 strings of one SPI bus (a FIFO
// read as bytes come), the APA102 string of another whose FIFO nobody reads,
// a USB Pro DMX interface and an Open DMX cable (pseudo-terminals), and a
// DDP controller on loopback. Every frame arrives exact at the strings, the
// interface and the controller, once per frame period: the stuck bus delays
// none of them, nor the daemon's stop.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "KivdProcess.h"
#include "LocalOutputSupport.h"
#include "StallMeter.h"
#include "TestSupport.h"
#include "common.h"
#include "hseq/ShowGenerator.h"
#include "monitor/PacketDecoder.h"

using namespace kivtest;

TEST(LocalOutputsEndToEnd, EveryFrameReachesTheBoardsOutputsOnTimeAndAStuckBusDelaysNone) {
    TempMediaDir media;
    ShowSpec spec;
    spec.channels = 2048;
    spec.frames = 80;
    spec.stepMs = 25;
    spec.seed = 11;
    ASSERT_TRUE(GenerateShow(media.file("/sequences/show.hseq"), spec));
    std::string outputsDoc = GetFileContents(sourceDir() + "/docs/outputs.md");
    Json::Value outputs(Json::arrayValue);
    for (const char* example : {"outputs-spipixels.json", "outputs-dmxserial.json"}) {
        EXPECT_NE(std::string::npos, outputsDoc.find(std::string("(examples/") + example + ")"));
        Json::Value file = LoadJsonFromFile(sourceDir() + "/docs/examples/" + example);
        for (auto& o : file["channelOutputs"]) outputs.append(o);
    }
    // Roof and Porch (WS2811), Window (APA102), the USB Pro widget, the Open DMX cable.
    const char* devices[] = {"/tmp/spi0", "/tmp/spi1", "/tmp/usbpro", "/tmp/opendmx"};
    for (int i = 0; i < 4; ++i) outputs[i]["device"] = media.file(devices[i]);
    FifoReader ws2811(media.file("/tmp/spi0"));
    FifoReader apa102(media.file("/tmp/spi1"), false, 4096);  // full after a frame and a half
    PtyDevice usbPro(media.file("/tmp/usbpro")), openDmx(media.file("/tmp/opendmx"));
    std::string ddpAddress = "127.201." + std::to_string(100 + getpid() % 100) + ".1";
    UdpReceiver ddp(ddpAddress, 4048);
    ASSERT_TRUE(ws2811.ok() && apa102.ok() && usbPro.plugged() && openDmx.plugged() && ddp.ok());
    outputs.append(LoadJsonFromString(R"({"type": "UDP", "universes": [{"type": 4, "address": ")" + ddpAddress +
                                      R"(", "startChannel": 1537, "channelCount": 512}]})"));
    Json::Value doc;
    doc["channelOutputs"] = outputs;
    media.write("/config/channeloutputs.json", SaveJsonToString(doc));

    KivdProcess d(media.path());
    StallMeter stalls;  // what a loaded machine adds to the spans below
    ASSERT_TRUE(d.start({"-f"}));
    ASSERT_TRUE(d.waitReady()) << d.output();
    PtyDevice::Line cable = openDmx.line();
    EXPECT_TRUE(cable.raw && cable.baud == 250000 && cable.dataBits == 8 && cable.stopBits == 2 && !cable.parity);
    EXPECT_TRUE(usbPro.line().raw);
    std::string out;
    ASSERT_EQ(0, d.command({"Start Sequence", "show.hseq"}, &out)) << out;
    ASSERT_TRUE(waitUntil(
        [&] {
            std::string s;
            d.command({"Sequence Status"}, &s, 2);
            return !LoadJsonFromString(s)["running"].asBool();
        },
        15000));
    usleep(300000);  // the closing blank frame
    EXPECT_EQ(0, d.stop(SIGTERM)) << "stopped with a bus stuck";
    apa102.setReading(true);
    EXPECT_TRUE(waitUntil([&] { return apa102.size() > 0; }, 5000));

    // What each output should send for each show frame; blank frames come before and after.
    std::vector<Bytes> ddpFrames, wsFrames, apaFrames, widgetFrames, cableFrames;
    Bytes all(spec.channels);
    auto packet = [&all](size_t first, size_t count) {
        Bytes p(count + 1, 0);  // the start code, then the channels
        std::copy(all.begin() + first, all.begin() + first + count, p.begin() + 1);
        return p;
    };
    for (uint32_t f = 0; f < spec.frames; ++f) {
        RenderShowFrame(spec, f, all.data());
        ddpFrames.emplace_back(all.begin() + 1536, all.end());
        wsFrames.push_back(ExpectedWire(outputs[0], all.data()));
        apaFrames.push_back(ExpectedWire(outputs[1], all.data()));
        widgetFrames.push_back(packet(1000, 512));
        cableFrames.push_back(packet(1512, 48));
    }
    // The show frames in order, each once (or, where packets go out less
    // often than frames, some of them); every frame on time.
    auto check = [&](const char* what, const std::vector<std::pair<Bytes, long long>>& got,
                     const std::vector<Bytes>& expected, bool every) {
        SCOPED_TRACE(what);
        std::vector<int> shown;
        std::vector<long long> at;
        for (auto& g : got) {
            auto it = std::find(expected.begin(), expected.end(), g.first);
            if (it != expected.end()) {
                shown.push_back((int)(it - expected.begin()));
                at.push_back(g.second);
            } else {
                EXPECT_TRUE(std::all_of(g.first.begin(), g.first.end(), [](uint8_t v) { return v == 0; }))
                    << "a frame that is neither blank nor of the show";
            }
        }
        ASSERT_GT(shown.size(), 1u);
        EXPECT_TRUE(std::is_sorted(shown.begin(), shown.end()));
        EXPECT_EQ(shown.end(), std::adjacent_find(shown.begin(), shown.end())) << "a frame twice";
        if (!every) return;
        EXPECT_EQ(spec.frames, shown.size()) << "every frame";
        EXPECT_NEAR((at.back() - at.front()) / 1000.0, 79 * 25, 200 + 2 * stalls.worstUs() / 1000.0);
    };

    std::vector<std::pair<Bytes, long long>> got;
    Bytes current(512, 0);
    for (auto& g : ddp.take()) {
        DecodedPacket p = DecodeDDP(g.bytes.data(), g.bytes.size());
        ASSERT_TRUE(p.valid && p.offset >= 1536 && p.offset + p.length <= 2048u);
        memcpy(current.data() + p.offset - 1536, p.data, p.length);
        if (p.push) got.push_back({current, g.timeUs});
    }
    check("DDP", got, ddpFrames, true);

    got.clear();
    ByteLog wsLog = ws2811.take();
    DecodedStream ws = DecodeOneWire(wsLog.bytes, 3200000, OneWireTimingFor("WS2811"));
    EXPECT_EQ("", ws.error);
    for (auto& f : ws.frames) got.push_back({f.bytes, wsLog.timeOf(f.endOffset - 1)});
    check("WS2811 on SPI", got, wsFrames, true);

    got.clear();
    ByteLog widgetLog = usbPro.take();
    std::string error;
    for (auto& m : DecodeUsbPro(widgetLog.bytes, error)) {
        EXPECT_EQ(6, m.label) << "send DMX";
        got.push_back({m.payload, widgetLog.timeOf(m.endOffset - 1)});
    }
    EXPECT_EQ("", error);
    check("USB Pro", got, widgetFrames, true);

    // 30 packets a second ("refreshRate") for 40 frames a second.
    got.clear();
    Bytes line = openDmx.take().bytes;
    for (size_t i = 0; i + 49 <= line.size(); i += 49) got.push_back({Bytes(&line[i], &line[i] + 49), 0});
    check("Open DMX", got, cableFrames, false);
    EXPECT_LT(got.size(), 70u);

    // The stuck bus: what it took before it filled up is whole frames.
    DecodedStream apa = DecodeAPA102(apa102.take().bytes);
    EXPECT_EQ("", apa.error);
    EXPECT_GE(apa.frames.size(), 1u);
    apaFrames.push_back(Bytes(180, 0));
    for (auto& f : apa.frames) EXPECT_NE(apaFrames.end(), std::find(apaFrames.begin(), apaFrames.end(), f.bytes));
}
