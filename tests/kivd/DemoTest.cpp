// The bundled demo (README command 1) really plays: a copy of demo/media
// with its generated songs sends DDP, E1.31 and Art-Net at the songs' 40
// frames per second to 127.0.0.2, and streams the virtual display.

#include <gtest/gtest.h>

#include "KivdProcess.h"
#include "TestSupport.h"
#include "VirtualDisplayClient.h"
#include "common.h"
#include "monitor/PacketDecoder.h"

namespace {

TEST(Demo, DemoMediaPlaysAllDayToTheLoopbackReceivers) {
    kivtest::TempMediaDir media;
    std::string out;
    ASSERT_EQ(kivtest::runCommand("cp -r '" + kivtest::sourceDir() + "/demo/media/.' '" + media.path() + "/' && rm -f '" +
                                      media.path() + "'/sequences/*.hseq && bash '" + kivtest::sourceDir() +
                                      "/scripts/demo-media.sh' '" + kivtest::buildDir() + "' '" + media.path() + "'",
                                  &out),
              0)
        << out;
    // The virtual display on a port of this test's own.
    int vdPort = 21000 + (int)(getpid() % 3000) * 3;
    std::string outputs = GetFileContents(media.path() + "/config/channeloutputs.json");
    ASSERT_TRUE(replaceAll(outputs, "\"port\": 32328", "\"port\": " + std::to_string(vdPort)));
    PutFileContents(media.path() + "/config/channeloutputs.json", outputs);
    kivtest::UdpReceiver ddp("127.0.0.2", 4048), e131("127.0.0.2", 5568), artnet("127.0.0.2", 6454);
    ASSERT_TRUE(ddp.ok() && e131.ok() && artnet.ok());
    kivtest::KivdProcess d(media.path());
    ASSERT_TRUE(d.start({"-f"}));
    ASSERT_TRUE(d.waitReady()) << d.output();
    kivtest::VirtualDisplayClient browser(vdPort);
    ASSERT_TRUE(browser.waitHeader(10000)) << d.log();
    ddp.take();
    e131.take();
    artnet.take();
    long long start = GetTimeMS();
    usleep(2000000);
    double seconds = (GetTimeMS() - start) / 1000.0;
    auto countFrames = [](std::vector<kivtest::Datagram> grams, DecodedPacket (*decode)(const uint8_t*, size_t),
                          bool ddpPush) {
        int frames = 0;
        for (auto& g : grams) {
            DecodedPacket p = decode(g.bytes.data(), g.bytes.size());
            if (p.valid && (!ddpPush || p.push)) ++frames;
        }
        return frames;
    };
    int ddpFrames = countFrames(ddp.take(), DecodeDDP, true);
    int e131Frames = countFrames(e131.take(), DecodeE131, false);
    int artFrames = countFrames(artnet.take(), DecodeArtNet, false);
    std::string warnings;
    d.command({"Get Warnings"}, &warnings);
    size_t events = browser.eventCount();
    kivtest::StreamPicture picture(170, 9);
    for (auto& e : browser.events()) EXPECT_TRUE(picture.apply(e.data, 4)) << e.data;
    EXPECT_EQ(d.stop(SIGTERM), 0);
    // 40 frames per second, allowing for a loaded machine
    EXPECT_GE(ddpFrames, (int)(seconds * 40 * 0.8)) << ddpFrames << " in " << seconds << " s";
    EXPECT_GE(e131Frames, (int)(seconds * 40 * 0.8));
    EXPECT_GE(artFrames, (int)(seconds * 40 * 0.8));
    EXPECT_LE(ddpFrames, (int)(seconds * 40 * 1.1));
    EXPECT_EQ(LoadJsonFromString(warnings).size(), 0u) << warnings;
    // The chases move on every frame, so the picture changes on nearly all.
    EXPECT_GE(events, (size_t)(seconds * 40 * 0.5)) << "virtual display events";
}

}  // namespace
