// Pictures through the real kivd: a playlist puts a PNG made by
// GraphicsMagick on a channel overlay model, whose channels reach a DDP
// receiver on loopback letter-boxed, and on a display model, whose screen
// (a memory display chosen in the settings file) is written as PNG
// snapshots; the second run of the playlist takes the image from the cache.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "DisplayTestSupport.h"
#include "KivdProcess.h"
#include "ProcessStats.h"
#include "TestSupport.h"
#include "common.h"
#include "hseq/ShowGenerator.h"
#include "monitor/PacketDecoder.h"

namespace {

std::string lo(int n) {
    static const int block = 100 + (int)getpid() % 100;
    return "127.202." + std::to_string(block) + "." + std::to_string(n);
}

typedef std::vector<uint8_t> Bytes;

// The letter-boxed 640 x 480 red-over-green picture on a 64 x 32 model:
// 9 black columns, 45 of the picture, 10 black; red rows at the top,
// green at the bottom (a few rows around the edge are blended).
bool IsLetterBoxedLogo(const Bytes& rgb) {
    if (rgb.size() != 64 * 32 * 3) return false;
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 64; ++x) {
            const uint8_t* p = &rgb[(y * 64 + x) * 3];
            bool ok;
            if (x < 9 || x >= 54) {
                ok = p[0] == 0 && p[1] == 0 && p[2] == 0;
            } else if (y <= 12) {
                ok = p[0] == 255 && p[1] == 0 && p[2] == 0;
            } else if (y >= 21) {
                ok = p[0] == 0 && p[1] == 255 && p[2] == 0;
            } else {
                ok = p[2] == 0 && p[0] + p[1] >= 253;
            }
            if (!ok) return false;
        }
    }
    return true;
}

std::vector<std::string> Snapshots(const std::string& dir) {
    std::vector<std::string> files;
    for (auto& n : kivtest::FilesIn(dir, ".png")) files.push_back(dir + "/" + n);
    return files;
}

class ImageEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ShowSpec spec;
        spec.channels = 8192;
        spec.frames = 80;  // 2 s at 25 ms
        spec.stepMs = 25;
        spec.seed = 5;
        ASSERT_TRUE(GenerateShow(media.file("/sequences/show.hseq"), spec));
        mkdir(media.file("/images").c_str(), 0775);
        Bytes logo(640 * 480 * 3);
        for (int y = 0; y < 480; ++y) {
            for (int x = 0; x < 640; ++x) logo[(y * 640 + x) * 3 + (y < 240 ? 0 : 1)] = 255;
        }
        ASSERT_TRUE(kivtest::WriteImage(media.file("/images/logo.png"), 640, 480, logo));
        snapshots = media.file("/snapshots");
        media.write("/settings", "DisplayBackend = memory\nDisplaySnapshotDir = " + snapshots + "\n");
        media.write("/config/overlay-models.json", R"({"models": [
            {"name": "Matrix", "startChannel": 1, "width": 64, "height": 32},
            {"name": "Door", "type": "display", "device": "fb1", "width": 64, "height": 32, "pixelSize": 2,
             "transition": 6}]})");
        media.write("/config/channeloutputs.json", R"({"channelOutputs": [{"type": "UDP", "enabled": 1,
            "universes": [{"description": "matrix", "type": 4, "address": ")" + lo(1) +
                                                       R"(", "startChannel": 1, "channelCount": 6144}]}]})");
        media.write("/playlists/pictures.json", R"({"mainPlaylist": [
            {"type": "image", "modelName": "Matrix", "imagePath": "logo.png"},
            {"type": "image", "modelName": "Door", "imagePath": "logo.png"},
            {"type": "sequence", "sequenceName": "show.hseq"}]})");
    }

    // Whole DDP frames (the push flag ends one) received so far.
    std::vector<Bytes> Frames(kivtest::UdpReceiver& r, Bytes& current) {
        std::vector<Bytes> frames;
        for (auto& g : r.take()) {
            DecodedPacket p = DecodeDDP(g.bytes.data(), g.bytes.size());
            if (!p.valid || p.offset + p.length > current.size()) continue;
            memcpy(current.data() + p.offset, p.data, p.length);
            if (p.push) frames.push_back(current);
        }
        return frames;
    }

    // Waits until `n` frames showing the letter-boxed logo arrived.
    int WaitForLogoFrames(kivtest::UdpReceiver& r, int n, int timeoutMs) {
        Bytes current(6144, 0);
        int logos = 0;
        kivtest::waitUntil(
            [&] {
                for (auto& f : Frames(r, current)) logos += IsLetterBoxedLogo(f) ? 1 : 0;
                return logos >= n;
            },
            timeoutMs);
        return logos;
    }

    kivtest::TempMediaDir media;
    std::string snapshots;
};

TEST_F(ImageEndToEnd, PlaylistPutsTheImageOnAModelAndAScreenAndTakesItFromTheCacheTheSecondTime) {
    kivtest::UdpReceiver ddp(lo(1), 4048);
    ASSERT_TRUE(ddp.ok());
    kivtest::KivdProcess d(media.path());
    ASSERT_TRUE(d.start({"-f"}));
    ASSERT_TRUE(d.waitReady()) << d.output();

    std::string out;
    ASSERT_EQ(0, d.command({"Start Playlist", "pictures"}, &out)) << out;
    EXPECT_GE(WaitForLogoFrames(ddp, 20, 20000), 20) << d.log();

    // The display model's screen: snapshots of the wipe down, the last one
    // the picture enlarged twice.
    ASSERT_TRUE(kivtest::waitUntil([&] { return Snapshots(snapshots).size() >= 10; }, 20000)) << d.log();
    std::string cache = media.file("/cache/pei-logo.png.png");
    ASSERT_TRUE(FileExists(cache));
    struct stat first;
    ASSERT_EQ(0, stat(cache.c_str(), &first));

    // The playlist ends with its sequence; the second run is served from
    // the cache.
    ASSERT_TRUE(kivtest::waitUntil(
        [&] {
            std::string s;
            d.command({"Get Playlist Status"}, &s, 2);
            return LoadJsonFromString(s)["statusName"].asString() == "idle";
        },
        20000));
    // One snapshot per drawing step of the wipe: one of them is the whole
    // picture enlarged twice; when the playlist ended the entry cleared the
    // screen.
    auto shots = Snapshots(snapshots);
    int logos = 0;
    Bytes last;
    for (auto& shot : shots) {
        int w = 0, h = 0;
        last = kivtest::ReadImageRGB(shot, &w, &h);
        ASSERT_EQ(128, w) << shot;
        ASSERT_EQ(64, h) << shot;
        Bytes reduced(64 * 32 * 3);
        for (int y = 0; y < 32; ++y) {
            for (int x = 0; x < 64; ++x) {
                const uint8_t* p = &last[((y * 2) * 128 + x * 2) * 3];
                std::copy(p, p + 3, &reduced[(y * 64 + x) * 3]);
            }
        }
        logos += IsLetterBoxedLogo(reduced) ? 1 : 0;
    }
    EXPECT_GE(logos, 1);
    EXPECT_TRUE(std::all_of(last.begin(), last.end(), [](uint8_t b) { return b == 0; })) << shots.back();

    ddp.take();
    ASSERT_EQ(0, d.command({"Start Playlist", "pictures"}, &out)) << out;
    EXPECT_GE(WaitForLogoFrames(ddp, 20, 20000), 20) << d.log();
    struct stat second;
    ASSERT_EQ(0, stat(cache.c_str(), &second));
    EXPECT_EQ(first.st_ino, second.st_ino) << "the cache file is reused, not rewritten";
    EXPECT_EQ(first.st_mtim.tv_sec, second.st_mtim.tv_sec);
    EXPECT_EQ(first.st_mtim.tv_nsec, second.st_mtim.tv_nsec);

    // Stopped while the playlist plays: a clean exit.
    EXPECT_EQ(0, d.stop(SIGTERM)) << d.log();
    EXPECT_EQ(std::string::npos, d.log().find("GraphicsMagick exception")) << d.log();
}

TEST_F(ImageEndToEnd, AHugeImageIsRefusedBeforeDecodingAndTheShowGoesOn) {
    // A PNG of a few hundred kB that unpacks to 8000 x 8000 pixels (about
    // 490 MiB in the image library).
    ASSERT_TRUE(kivtest::WriteBlackPng(media.file("/images/huge.png"), 8000, 8000));
    media.write("/playlists/huge.json", R"({"mainPlaylist": [
        {"type": "image", "modelName": "Matrix", "imagePath": "huge.png"},
        {"type": "sequence", "sequenceName": "show.hseq"}]})");
    kivtest::UdpReceiver ddp(lo(1), 4048);
    ASSERT_TRUE(ddp.ok());
    kivtest::KivdProcess d(media.path());
    ASSERT_TRUE(d.start({"-f"}));
    ASSERT_TRUE(d.waitReady()) << d.output();
    long before = kivtest::PeakRssKiB(d.pid());
    ASSERT_GT(before, 0);

    std::string out;
    ASSERT_EQ(0, d.command({"Start Playlist", "huge"}, &out)) << out;
    EXPECT_TRUE(kivtest::waitUntil(
        [&] { return d.log().find("Image " + media.file("/images/huge.png") + " not shown: larger than ImageMaxPixels (") !=
                     std::string::npos; },
        20000))
        << d.log();
    // The playlist went on to the sequence, which reached the controller.
    ASSERT_TRUE(kivtest::waitUntil(
        [&] {
            std::string s;
            d.command({"Get Playlist Status"}, &s, 2);
            return LoadJsonFromString(s)["statusName"].asString() == "idle";
        },
        30000));
    Bytes current(6144, 0);
    EXPECT_GE(Frames(ddp, current).size(), 40u);
    std::string warnings;
    d.command({"Get Warnings"}, &warnings);
    EXPECT_NE(warnings.find("Image huge.png is too large to show"), std::string::npos) << warnings;
    long grew = kivtest::PeakRssKiB(d.pid()) - before;
    EXPECT_LT(grew, 64 * 1024) << "KiB: the picture was decoded";
    EXPECT_EQ(0, d.stop(SIGTERM)) << d.log();
}

}  // namespace
