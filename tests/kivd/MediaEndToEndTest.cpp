// kivd plays media as users run it: the real program with its outputs
// file, overlay models file and playlists, started through the command
// client. A video reaches a DDP receiver on loopback as the test pattern's
// colours at the model's pixels; a sequence plays with its song (SDL's disk
// audio driver capturing the sound); on a machine without a sound device
// the log says so once and the lights play on the wall clock.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "FaultSupport.h"
#include "KivdProcess.h"
#include "MediaTestSupport.h"
#include "TestSupport.h"
#include "common.h"
#include "hseq/ShowGenerator.h"
#include "monitor/PacketDecoder.h"

namespace {

// A loopback block of this test program's own, away from other programs'.
std::string lo(int n) {
    static const int block = 100 + (int)getpid() % 100;
    return "127.201." + std::to_string(block) + "." + std::to_string(n);
}

typedef std::vector<uint8_t> Bytes;

// Whole DDP frames (up to each push flag) of `size` channels.
std::vector<Bytes> DdpFrames(const std::vector<kivtest::Datagram>& grams, size_t size) {
    std::vector<Bytes> frames;
    Bytes current(size, 0);
    for (auto& g : grams) {
        DecodedPacket p = DecodeDDP(g.bytes.data(), g.bytes.size());
        if (!p.valid || p.offset + p.length > size) continue;
        memcpy(current.data() + p.offset, p.data, p.length);
        if (p.push) frames.push_back(current);
    }
    return frames;
}

class MediaEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (!kivtest::FfmpegAvailable()) GTEST_SKIP() << "the ffmpeg command-line tool is not installed";
        mkdir(media.file("/videos").c_str(), 0775);
    }
    void Outputs(int channels) {
        media.write("/config/channeloutputs.json", R"({"channelOutputs": [{"type": "UDP", "enabled": 1, "universes": [
            {"description": "matrix", "type": 4, "address": ")" + lo(1) + R"(", "startChannel": 1, "channelCount": )" +
                                                       std::to_string(channels) + R"(}]}]})");
    }
    bool WaitIdle(kivtest::KivdProcess& d, int timeoutMs) {
        return kivtest::waitUntil(
            [&] {
                std::string s;
                d.command({"Get Playlist Status"}, &s, 2);
                return LoadJsonFromString(s)["statusName"].asString() == "idle";
            },
            timeoutMs);
    }
    kivtest::TempMediaDir media;
};

TEST_F(MediaEndToEnd, VideoOnAnOverlayModelReachesTheControllerInItsColours) {
    kivtest::DiskAudio disk(media.file("/tmp/played.raw"));
    ASSERT_TRUE(kivtest::MakeQuadrantVideo(media.file("/videos/quad.mp4"), 64, 32, 3.0, 25, true));
    media.write("/config/overlay-models.json",
                R"({"models": [{"name": "Matrix", "startChannel": 1, "width": 16, "height": 8}]})");
    Outputs(384);
    media.write("/playlists/video.json",
                R"({"mainPlaylist": [{"type": "media", "mediaName": "quad.mp4", "videoOut": "Matrix"}]})");
    kivtest::UdpReceiver ddp(lo(1), 4048);
    ASSERT_TRUE(ddp.ok());

    kivtest::KivdProcess d(media.path());
    ASSERT_TRUE(d.start({"-f"}));
    ASSERT_TRUE(d.waitReady()) << d.output();
    std::string out;
    ASSERT_EQ(d.command({"Start Playlist", "video"}, &out), 0) << out;
    ASSERT_TRUE(WaitIdle(d, 20000)) << d.log();
    EXPECT_EQ(d.stop(SIGTERM), 0);

    auto frames = DdpFrames(ddp.take(), 384);
    // Frames showing the picture: the model's top-left pixel is red.
    int shown = 0;
    Bytes picture;
    for (auto& f : frames) {
        if (f[0] > 200 && f[1] < 60 && f[2] < 60) {
            ++shown;
            picture = f;
        }
    }
    // Three seconds at the idle output rate of 20 frames per second.
    EXPECT_GE(shown, 30) << d.log();
    ASSERT_FALSE(picture.empty());
    auto px = [&](int x, int y) { return &picture[(size_t)(y * 16 + x) * 3]; };
    struct Q {
        int x, y, r, g, b;
    };
    for (Q q : {Q{1, 1, 255, 0, 0}, Q{14, 1, 0, 255, 0}, Q{1, 6, 0, 0, 255}, Q{14, 6, 255, 255, 255}}) {
        EXPECT_NEAR(q.r, px(q.x, q.y)[0], 24) << q.x << "," << q.y;
        EXPECT_NEAR(q.g, px(q.x, q.y)[1], 24) << q.x << "," << q.y;
        EXPECT_NEAR(q.b, px(q.x, q.y)[2], 24) << q.x << "," << q.y;
    }
    // The sound played too.
    kivtest::PcmCapture played = kivtest::ReadPcm16(disk.file());
    size_t first = played.firstSound();
    ASSERT_NE(std::string::npos, first);
    EXPECT_NEAR(3.0, (played.endOfSound() - first) / 44100.0, 0.1);
}

TEST_F(MediaEndToEnd, SequencePlaysWithItsSong) {
    kivtest::DiskAudio disk(media.file("/tmp/played.raw"));
    ShowSpec spec;
    spec.channels = 512;
    spec.frames = 120;
    spec.stepMs = 25;
    spec.mediaFilename = "C:\\Show\\tune.mp3";
    ASSERT_TRUE(GenerateShow(media.file("/sequences/show.hseq"), spec));
    ASSERT_TRUE(kivtest::MakeTone(media.file("/music/tune.mp3"), 523, 3.0, "Tune", "Tester"));
    Outputs(512);
    media.write("/playlists/song.json", R"({"mainPlaylist": [{"type": "both", "sequenceName": "show.hseq"}]})");
    kivtest::UdpReceiver ddp(lo(1), 4048);
    ASSERT_TRUE(ddp.ok());

    kivtest::KivdProcess d(media.path());
    ASSERT_TRUE(d.start({"-f"}));
    ASSERT_TRUE(d.waitReady()) << d.output();
    std::string out, status;
    ASSERT_EQ(d.command({"Start Playlist", "song"}, &out), 0) << out;
    // While it plays (its start may take a while on a slow board).
    kivtest::waitUntil(
        [&] {
            d.command({"Get Playlist Status"}, &status);
            return status.find("tune.mp3") != std::string::npos;
        },
        10000);
    ASSERT_TRUE(WaitIdle(d, 20000)) << d.log();
    EXPECT_EQ(d.stop(SIGTERM), 0);

    EXPECT_NE(std::string::npos, status.find("tune.mp3")) << status;
    auto frames = DdpFrames(ddp.take(), 512);
    std::vector<uint32_t> numbers;
    for (auto& f : frames) {
        if (std::all_of(f.begin(), f.end(), [](uint8_t b) { return b == 0; })) continue;
        uint32_t n;
        memcpy(&n, f.data(), 4);
        numbers.push_back(n);
    }
    ASSERT_FALSE(numbers.empty());
    EXPECT_EQ(0u, numbers.front());
    EXPECT_EQ(spec.frames - 1, numbers.back());
    EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()));
    kivtest::PcmCapture played = kivtest::ReadPcm16(disk.file());
    size_t first = played.firstSound();
    ASSERT_NE(std::string::npos, first);
    EXPECT_NEAR(3.0, (played.endOfSound() - first) / 44100.0, 0.05);
    EXPECT_NEAR(523.0, played.frequency(first + 4410, 44100), 3.0);
}

TEST_F(MediaEndToEnd, WithoutASoundCardTheLogSaysSoOnceAndTheLightsPlay) {
    setenv("SDL_AUDIODRIVER", "alsa", 1);
    setenv("AUDIODEV", "hw:97,0", 1);
    ShowSpec spec;
    spec.channels = 512;
    spec.frames = 60;
    spec.stepMs = 25;
    spec.mediaFilename = "tune.wav";
    ASSERT_TRUE(GenerateShow(media.file("/sequences/show.hseq"), spec));
    ASSERT_TRUE(kivtest::MakeTone(media.file("/music/tune.wav"), 440, 1.5));
    Outputs(512);
    media.write("/playlists/twice.json", R"({"mainPlaylist": [
        {"type": "both", "sequenceName": "show.hseq"}, {"type": "both", "sequenceName": "show.hseq"}]})");
    kivtest::UdpReceiver ddp(lo(1), 4048);
    ASSERT_TRUE(ddp.ok());

    kivtest::KivdProcess d(media.path());
    ASSERT_TRUE(d.start({"-f", "--log-level", "debug:Sequence"}));
    ASSERT_TRUE(d.waitReady()) << d.output();
    std::string out;
    long long t0 = GetTimeMS();
    ASSERT_EQ(d.command({"Start Playlist", "twice"}, &out), 0) << out;
    ASSERT_TRUE(WaitIdle(d, 20000)) << d.log();
    long long took = GetTimeMS() - t0;
    std::string warnings;
    d.command({"Get Warnings"}, &warnings);
    EXPECT_EQ(d.stop(SIGTERM), 0);
    unsetenv("AUDIODEV");
    unsetenv("SDL_AUDIODRIVER");

    std::string log = d.log();
    size_t at = log.find("Could not open audio device - ");
    EXPECT_NE(std::string::npos, at) << log;
    EXPECT_EQ(std::string::npos, log.find("Could not open audio device - ", at + 1)) << "said more than once";
    EXPECT_EQ(std::string::npos, log.find("Could not start media")) << log;
    EXPECT_NE(std::string::npos, warnings.find("Could not open audio device - ")) << warnings;

    // Both sequences, frame by frame, on the wall clock: 60 frames of 25 ms
    // each. A frame missing from either play (the end counts) is one the
    // player said it read late or jumped over.
    auto grams = ddp.take();
    std::vector<std::vector<int>> plays;
    for (auto& f : DdpFrames(grams, 512)) {
        if (std::all_of(f.begin(), f.end(), [](uint8_t b) { return b == 0; })) continue;
        uint32_t n;
        memcpy(&n, f.data(), 4);
        if (plays.empty() || (int)n < plays.back().back()) plays.emplace_back();
        if (plays.back().empty() || (int)n != plays.back().back()) plays.back().push_back((int)n);
    }
    ASSERT_EQ(2u, plays.size());
    int unexplained = 0;
    for (auto& p : plays) {
        EXPECT_EQ(0, p.front());
        p.push_back((int)spec.frames);
        unexplained += kivtest::unexplainedSkips(p, kivtest::catchUpSeeks(d.output()));
    }
    EXPECT_LE(unexplained, kivtest::lateReads(d));
    EXPECT_GT((grams.back().timeUs - grams.front().timeUs) / 1000, 2 * 1475 - 300);
    EXPECT_GT(took, 2800);
}

}  // namespace
