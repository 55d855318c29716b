// The bundled demo (README command 1) really plays: a copy of demo/media
// with its generated songs sends DDP, E1.31 and Art-Net at the songs' 40
// frames per second to its receivers, the music plays with them (SDL's
// disk audio driver stands in for the sound card) and the virtual display
// streams. The copy sends to a loopback address of this test's own rather
// than the demo's 127.0.0.2, where other demos on a shared machine may be
// sending too.

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>

#include "KivdProcess.h"
#include "MediaTestSupport.h"
#include "StallMeter.h"
#include "TestSupport.h"
#include "VirtualDisplayClient.h"
#include "common.h"
#include "monitor/PacketDecoder.h"

namespace {

TEST(Demo, DemoMediaPlaysAllDayToTheLoopbackReceivers) {
    if (!kivtest::FfmpegAvailable()) GTEST_SKIP() << "the ffmpeg command-line tool is not installed";
    kivtest::TempMediaDir media;
    kivtest::DiskAudio disk(media.file("/tmp/played.raw"));
    std::string receiver = "127.202." + std::to_string(getpid() % 250) + ".2";
    std::string out;
    ASSERT_EQ(kivtest::runCommand("cp -r '" + kivtest::sourceDir() + "/demo/media/.' '" + media.path() + "/' && rm -f '" +
                                      media.path() + "'/sequences/*.hseq && bash '" + kivtest::sourceDir() +
                                      "/scripts/demo-media.sh' '" + kivtest::buildDir() + "' '" + media.path() +
                                      "' && sed -i 's/127\\.0\\.0\\.2/" + receiver + "/' '" + media.path() +
                                      "/config/channeloutputs.json'",
                                  &out),
              0)
        << out;
    // The virtual display on a port of this test's own.
    int vdPort = 21000 + (int)(getpid() % 3000) * 3;
    std::string outputs = GetFileContents(media.path() + "/config/channeloutputs.json");
    ASSERT_TRUE(replaceAll(outputs, "\"port\": 32328", "\"port\": " + std::to_string(vdPort)));
    PutFileContents(media.path() + "/config/channeloutputs.json", outputs);
    kivtest::UdpReceiver ddp(receiver, 4048), e131(receiver, 5568), artnet(receiver, 6454);
    ASSERT_TRUE(ddp.ok() && e131.ok() && artnet.ok());
    kivtest::KivdProcess d(media.path());
    ASSERT_TRUE(d.start({"-f"}));
    ASSERT_TRUE(d.waitReady()) << d.output();
    kivtest::VirtualDisplayClient browser(vdPort, d.httpAddress());
    ASSERT_TRUE(browser.waitHeader(10000)) << d.log();
    ddp.take();
    e131.take();
    artnet.take();
    kivtest::StallMeter stalls;
    long long start = GetTimeMS();
    usleep(2000000);
    double seconds = (GetTimeMS() - start) / 1000.0;
    // A loaded machine holds the daemon's threads up as it holds this
    // test's: that time is not asked to carry frames.
    double carrying = std::max(0.0, seconds - 2 * stalls.worstUs() / 1e6);
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
    EXPECT_GE(ddpFrames, (int)(carrying * 40 * 0.8)) << ddpFrames << " in " << seconds << " s";
    EXPECT_GE(e131Frames, (int)(carrying * 40 * 0.8));
    EXPECT_GE(artFrames, (int)(carrying * 40 * 0.8));
    EXPECT_LE(ddpFrames, (int)(seconds * 40 * 1.1));
    EXPECT_EQ(LoadJsonFromString(warnings).size(), 0u) << warnings;
    // The welcome song was playing.
    kivtest::PcmCapture played = kivtest::ReadPcm16(disk.file());
    size_t first = played.firstSound();
    ASSERT_NE(std::string::npos, first) << d.log();
    EXPECT_GT((played.endOfSound() - first) / 44100.0, 1.0);
    // The chases move on every frame, so the picture changes on nearly all.
    EXPECT_GE(events, (size_t)(carrying * 40 * 0.5)) << "virtual display events";
}

}  // namespace
