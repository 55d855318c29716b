// The memory display devices: PNG snapshots of every shown page and drawing
// step into the folder named by the environment or the setting, and the
// kernel-like rules of the memory DRM card and frame-buffer devices.

#include <gtest/gtest.h>

#include <sys/mman.h>

#include <algorithm>

#include "DisplayTestSupport.h"
#include "FrameBuffer.h"
#include "MemoryDisplay.h"
#include "TestSupport.h"
#include "common.h"
#include "settings.h"

using namespace kivtest;

namespace {

std::vector<std::string> Pngs(const std::string& dir) { return FilesIn(dir, ".png"); }

class MemoryDisplayTest : public ::testing::Test {
protected:
    void SetUp() override { InitImageLibrary(); }
    void TearDown() override {
        unsetenv("KIV_DISPLAY_SNAPSHOTS");
        SetSetting("DisplaySnapshotDir", "");
    }
    MemoryDisplayScope display;
    TempMediaDir media;
};

TEST_F(MemoryDisplayTest, EveryShownPageAndDrawingStepIsWrittenAsAPng) {
    std::string dir = media.file("/shots");
    setenv("KIV_DISPLAY_SNAPSHOTS", dir.c_str(), 1);
    FrameBuffer fb;
    fb.SetPauseFunction([](int) {});
    Json::Value config;
    config["Device"] = "fb3";
    config["Width"] = 24;
    config["Height"] = 16;
    config["PixelSize"] = 2;
    ASSERT_TRUE(fb.FBInit(config));
    auto a = TestPicture(12, 8, 1), b = TestPicture(12, 8, 2);
    fb.FBCopyData(a.data(), 0);
    fb.FBStartDraw(IMAGE_TRANSITION_NORMAL);
    ASSERT_TRUE(fb.WaitUntilShown(10000));
    fb.FBCopyData(b.data(), 0);
    fb.FBStartDraw(IMAGE_TRANSITION_WIPE_DOWN);  // 16 rows: 4 steps
    ASSERT_TRUE(fb.WaitUntilShown(10000));

    auto files = Pngs(dir);
    ASSERT_EQ(5u, files.size()) << "one flip and four steps";
    EXPECT_EQ("fb3-000001.png", files.front());
    EXPECT_EQ("fb3-000005.png", files.back());
    EXPECT_EQ(5, MemoryDisplay::Screen("fb3")->SnapshotsWritten());
    int w = 0, h = 0;
    auto first = ReadImageRGB(dir + "/" + files.front(), &w, &h);
    EXPECT_EQ(24, w);
    EXPECT_EQ(16, h);
    auto last = ReadImageRGB(dir + "/" + files.back());
    EXPECT_EQ(MemoryDisplay::Screen("fb3")->VisibleRGB(), last);
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 24; ++x) {
            const uint8_t* want = &a[((y / 2) * 12 + x / 2) * 3];
            ASSERT_TRUE(std::equal(want, want + 3, &first[(y * 24 + x) * 3])) << x << "," << y;
            want = &b[((y / 2) * 12 + x / 2) * 3];
            ASSERT_TRUE(std::equal(want, want + 3, &last[(y * 24 + x) * 3])) << x << "," << y;
        }
    }
    // The second step of the wipe: rows 0-7 of B, the rest still A.
    auto step = ReadImageRGB(dir + "/" + files[2]);
    EXPECT_TRUE(std::equal(&b[0], &b[0] + 3, &step[0]));
    EXPECT_TRUE(std::equal(&a[(4 * 12) * 3], &a[(4 * 12) * 3] + 3, &step[(8 * 24) * 3]));
}

TEST_F(MemoryDisplayTest, TheSettingNamesTheFolderWhenTheEnvironmentDoesNot) {
    std::string dir = media.file("/from-setting");
    SetSetting("DisplaySnapshotDir", dir);
    EXPECT_EQ(dir, MemoryDisplay::SnapshotDir());
    setenv("KIV_DISPLAY_SNAPSHOTS", media.file("/from-env").c_str(), 1);
    EXPECT_EQ(media.file("/from-env"), MemoryDisplay::SnapshotDir());
    unsetenv("KIV_DISPLAY_SNAPSHOTS");

    FrameBuffer fb;
    Json::Value config;
    config["Device"] = "HDMI-A-1";
    config["Width"] = 640;
    config["Height"] = 480;
    ASSERT_TRUE(fb.FBInit(config));
    auto files = Pngs(dir);
    ASSERT_EQ(1u, files.size()) << "the first page goes on screen at start";
    EXPECT_EQ("HDMI-A-1-000001.png", files[0]);
}

TEST_F(MemoryDisplayTest, WithoutAFolderNothingIsWritten) {
    FrameBuffer fb;
    Json::Value config;
    config["Device"] = "fb2";
    config["Width"] = 8;
    config["Height"] = 8;
    ASSERT_TRUE(fb.FBInit(config));
    auto a = TestPicture(8, 8, 3);
    fb.FBCopyData(a.data(), 0);
    fb.FBStartDraw(IMAGE_TRANSITION_NORMAL);
    ASSERT_TRUE(fb.WaitUntilShown(10000));
    EXPECT_EQ(0, MemoryDisplay::Screen("fb2")->SnapshotsWritten());
    EXPECT_EQ(1, MemoryDisplay::Screen("fb2")->PageChanges());
}

TEST_F(MemoryDisplayTest, TheMemoryCardFollowsTheKernelsRules) {
    std::string error;
    auto card = MemoryDisplay::Backend().OpenCard(0, error);
    ASSERT_NE(nullptr, card);
    EXPECT_EQ(nullptr, MemoryDisplay::Backend().OpenCard(1, error));
    std::vector<DRMConnectorInfo> connectors;
    ASSERT_TRUE(card->GetConnectors(connectors));
    ASSERT_EQ(1u, connectors.size());
    EXPECT_EQ("HDMI-A-1", DRMConnectorName(connectors[0].type, connectors[0].typeId));
    uint32_t crtc = 0;
    ASSERT_TRUE(card->GetEncoderCrtc(connectors[0].encoderId, crtc));
    EXPECT_FALSE(card->GetEncoderCrtc(12345, crtc));

    uint32_t handle = 0, pitch = 0, fbId = 0;
    uint64_t size = 0, offset = 0;
    ASSERT_EQ(0, card->CreateDumbBuffer(333, 10, 32, handle, pitch, size));
    EXPECT_EQ(1344u, pitch) << "rows aligned to 64 bytes";
    EXPECT_EQ(13440u, size);
    ASSERT_EQ(0, card->AddFrameBuffer(333, 10, 24, 32, pitch, handle, fbId));
    EXPECT_EQ(-EINVAL, card->PageFlip(crtc, fbId)) << "no flip before the CRTC is set up";
    ASSERT_EQ(0, card->MapDumbBuffer(handle, offset));
    void* mem = card->Map(size, offset);
    ASSERT_NE(MAP_FAILED, mem);
    EXPECT_EQ(MAP_FAILED, card->Map(size + 1, offset));
    EXPECT_EQ(-EINVAL, card->SetCrtc(crtc, fbId, connectors[0].id, 4)) << "a 333x10 buffer is too small for 640x480";
    card->Unmap(mem, size);
    card->RemoveFrameBuffer(fbId);
    card->DestroyDumbBuffer(handle);
    EXPECT_EQ(0, MemoryDisplay::Screen("HDMI-A-1")->LiveBuffers());
}

TEST_F(MemoryDisplayTest, MemoryFrameBufferDevicesRefuseWhatTheyCannotDo) {
    MemoryFBProperties p;
    p.memoryBytes = 100 * 100 * 4;
    MemoryDisplay::SetFBDevice("panel", p);
    auto dev = MemoryDisplay::Backend().OpenFBDevice("/dev/panel");
    ASSERT_NE(nullptr, dev);
    EXPECT_EQ(nullptr, MemoryDisplay::Backend().OpenFBDevice("/dev/unknown"));
    fb_var_screeninfo v;
    ASSERT_EQ(0, dev->GetVarInfo(v));
    EXPECT_EQ(1920u, v.xres);
    EXPECT_EQ(32u, v.bits_per_pixel);
    v.xres = v.xres_virtual = 100;
    v.yres = 100;
    v.yres_virtual = 200;
    v.bits_per_pixel = 32;
    EXPECT_EQ(-1, dev->PutVarInfo(v)) << "two pages do not fit";
    v.yres_virtual = 100;
    EXPECT_EQ(0, dev->PutVarInfo(v));
    v.bits_per_pixel = 8;
    EXPECT_EQ(-1, dev->PutVarInfo(v));
    fb_fix_screeninfo f;
    ASSERT_EQ(0, dev->GetFixInfo(f));
    EXPECT_EQ(400u, f.line_length);
    ASSERT_EQ(0, dev->GetVarInfo(v));
    v.yoffset = 1;
    EXPECT_EQ(-1, dev->PanDisplay(v)) << "panning past the virtual size";
}

}  // namespace
