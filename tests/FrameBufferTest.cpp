// The frame buffer on memory display devices: configuration and device
// set-up on both paths (DRM connector and mode, frame-buffer depth, pages),
// picture conversion at 16/24/32 bits per pixel with the pixel size, the
// thirteen transitions (steps, pauses, direction, final picture), random and
// default transitions, AutoSync page presentation, and release of the device.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "DisplayTestSupport.h"
#include "FrameBuffer.h"
#include "MemoryDisplay.h"
#include "TestSupport.h"
#include "Warnings.h"
#include "common.h"
#include "log.h"
#include "settings.h"

using namespace kivtest;

namespace {

// What the rules say a transition takes on a W x H display: steps, and the
// pause after each (0: none).
struct Rule {
    int steps;
    int pauseUs;
};

Rule RuleFor(int t, int W, int H) {
    auto ceilDiv = [](int a, int b) { return (a + b - 1) / b; };
    int s = H % 4 ? 2 : 4;
    int wipe = H % 4 ? 1600000 : 3200000;
    switch (t) {
    case IMAGE_TRANSITION_SLIDE_UP:
    case IMAGE_TRANSITION_SLIDE_DOWN:
        return {ceilDiv(H, s), 1600000 / H};
    case IMAGE_TRANSITION_SLIDE_LEFT:
    case IMAGE_TRANSITION_SLIDE_RIGHT:
        return {ceilDiv(W, 2), 1600000 / W};
    case IMAGE_TRANSITION_WIPE_UP:
    case IMAGE_TRANSITION_WIPE_DOWN:
        return {ceilDiv(H, s), wipe / H};
    case IMAGE_TRANSITION_WIPE_LEFT:
    case IMAGE_TRANSITION_WIPE_RIGHT:
        return {W, 0};
    case IMAGE_TRANSITION_WIPE_TO_HCENTER:
        return {ceilDiv(H / 2, s), 2 * wipe / H};
    case IMAGE_TRANSITION_WIPE_FROM_HCENTER:
        return {ceilDiv(H - H / 2, 2), 2 * 1600000 / H};
    case IMAGE_TRANSITION_HORIZONTAL_BLINDS_OPEN:
    case IMAGE_TRANSITION_HORIZONTAL_BLINDS_CLOSE:
        return {16, 50000};
    case IMAGE_TRANSITION_MOSAIC: {
        int count = (W / 32 + 1) * (H / 32 + 1);
        return {count, 800000 / count};
    }
    }
    return {0, 0};
}

class FrameBufferTest : public ::testing::Test {
protected:
    // Opens a frame buffer with pauses recorded instead of slept.
    std::unique_ptr<FrameBuffer> Open(const std::string& config) {
        auto fb = std::make_unique<FrameBuffer>();
        fb->SetPauseFunction([this](int us) {
            std::lock_guard<std::mutex> lock(m_lock);
            m_pauses.push_back(us);
            if (m_onPause) m_onPause();
        });
        if (!fb->FBInit(JsonDoc(config))) return nullptr;
        return fb;
    }

    std::vector<int> Pauses() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_pauses;
    }
    void ClearPauses() {
        std::lock_guard<std::mutex> lock(m_lock);
        m_pauses.clear();
    }

    // Shows a picture with transition t and waits until it is drawn.
    void Show(FrameBuffer& fb, const std::vector<uint8_t>& rgb, int t) {
        fb.FBCopyData(rgb.data(), 0);
        fb.FBStartDraw(t);
        ASSERT_TRUE(fb.WaitUntilShown(60000));
    }

    // Every transition from picture A to picture B: step and pause counts
    // by the rules, and B exactly on screen at the end.
    void CheckAllTransitions(const std::string& config, const std::string& screenName) {
        auto fb = Open(config);
        ASSERT_NE(nullptr, fb);
        auto screen = MemoryDisplay::Screen(screenName);
        ASSERT_NE(nullptr, screen);
        int W = fb->Width(), H = fb->Height();
        auto a = TestPicture(fb->PixelsWide(), fb->PixelsHigh(), 1);
        auto b = TestPicture(fb->PixelsWide(), fb->PixelsHigh(), 2);
        std::string why;
        for (int t = 1; t <= IMAGE_TRANSITION_COUNT; ++t) {
            SCOPED_TRACE("transition " + std::to_string(t) + " on " + std::to_string(W) + "x" + std::to_string(H));
            Show(*fb, a, IMAGE_TRANSITION_NORMAL);
            ASSERT_TRUE(ScreenShows(*screen, a, fb->PixelsWide(), fb->PixelsHigh(), fb->PixelSize(), &why)) << why;

            fb->FBCopyData(b.data(), 0);
            ClearPauses();
            int steps0 = screen->Steps();
            fb->FBStartDraw(t);
            ASSERT_TRUE(fb->WaitUntilShown(60000));
            EXPECT_EQ(t, fb->LastTransitionDrawn());

            Rule rule = RuleFor(t, W, H);
            EXPECT_EQ(rule.steps, screen->Steps() - steps0);
            auto pauses = Pauses();
            EXPECT_EQ(rule.pauseUs ? rule.steps : 0, (int)pauses.size());
            for (int p : pauses) {
                ASSERT_EQ(rule.pauseUs, p);
            }
            EXPECT_TRUE(ScreenShows(*screen, b, fb->PixelsWide(), fb->PixelsHigh(), fb->PixelSize(), &why)) << why;
        }
    }

    MemoryDisplayScope display;
    std::mutex m_lock;  // guards m_pauses and m_onPause
    std::vector<int> m_pauses;
    std::function<void()> m_onPause;
};

TEST_F(FrameBufferTest, PixelSizeRoundsTheWidthDownToWholePicturePixels) {
    auto fb = Open(R"({"Device": "fb1", "Width": 1000, "Height": 600, "PixelSize": 3})");
    ASSERT_NE(nullptr, fb);
    EXPECT_EQ(333, fb->PixelsWide());
    EXPECT_EQ(999, fb->Width());
    EXPECT_EQ(200, fb->PixelsHigh());
    EXPECT_EQ(600, fb->Height());
    auto screen = MemoryDisplay::Screen("fb1");
    ASSERT_NE(nullptr, screen);
    EXPECT_EQ(999, screen->Width()) << "the configured size becomes the visible resolution";
    EXPECT_EQ(600, screen->Height());
}

TEST_F(FrameBufferTest, FrameBufferDeviceAt32BitsRunsAt24WhenBitsPerPixelIsUnset) {
    auto fb = Open(R"({"Device": "fb0", "Width": 64, "Height": 32})");
    ASSERT_NE(nullptr, fb);
    EXPECT_EQ(24, fb->BitsPerPixel());
    EXPECT_FALSE(fb->UsesDRM());
    EXPECT_EQ(24, MemoryDisplay::Screen("fb0")->BitsPerPixel());
    EXPECT_EQ(64 * 3, fb->LineLength());
}

TEST_F(FrameBufferTest, WithoutSizeTheDevicesOwnResolutionIsUsed) {
    MemoryFBProperties p;
    p.width = 320;
    p.height = 240;
    p.bpp = 16;
    MemoryDisplay::SetFBDevice("fb4", p);
    auto fb = Open(R"({"Device": "fb4", "PixelSize": 7})");
    ASSERT_NE(nullptr, fb);
    EXPECT_EQ(16, fb->BitsPerPixel());
    EXPECT_EQ(45, fb->PixelsWide());
    EXPECT_EQ(315, fb->Width());
    EXPECT_EQ(34, fb->PixelsHigh());
    EXPECT_EQ(238, fb->Height());
    EXPECT_EQ(320, MemoryDisplay::Screen("fb4")->Width());

    // Page 1 starts a whole device height on, where panning puts it.
    auto pic = TestPicture(45, 34, 3);
    Show(*fb, pic, IMAGE_TRANSITION_NORMAL);
    EXPECT_EQ(1, MemoryDisplay::Screen("fb4")->VisiblePage());
    std::string why;
    EXPECT_TRUE(ScreenShows(*MemoryDisplay::Screen("fb4"), pic, 45, 34, 7, &why)) << why;
}

TEST_F(FrameBufferTest, DepthsOtherThan16And24AreRefusedOnFrameBufferDevices) {
    LogCapture log;
    EXPECT_EQ(nullptr, Open(R"({"Device": "fb0", "Width": 64, "Height": 32, "BitsPerPixel": 32})"));
    EXPECT_TRUE(log.contains("Do not know how to handle 32 BPP"));
    EXPECT_EQ(nullptr, Open(R"({"Device": "fb0", "Width": 64, "Height": 32, "BitsPerPixel": 8})"));
    EXPECT_TRUE(log.contains("Do not know how to handle 8 BPP"));
}

TEST_F(FrameBufferTest, DeviceRefusingTheModeFailsWithAnError) {
    MemoryFBProperties p;
    p.depths = {32};  // takes 32 only, but 32 is run at 24
    MemoryDisplay::SetFBDevice("fb5", p);
    LogCapture log;
    EXPECT_EQ(nullptr, Open(R"({"Device": "fb5", "Width": 64, "Height": 32})"));
    EXPECT_TRUE(log.contains("Error setting FrameBuffer info"));
    EXPECT_FALSE(MemoryDisplay::Screen("fb5")->IsOpen());
}

TEST_F(FrameBufferTest, MissingDeviceFailsWithAnError) {
    LogCapture log;
    EXPECT_EQ(nullptr, Open(R"({"Device": "nothing", "Width": 64, "Height": 32})"));
    EXPECT_TRUE(log.contains("Error opening FrameBuffer device: /dev/nothing"));

    SetSetting("framebufferControlSocketPath", "/run/kivfb");
    EXPECT_EQ(nullptr, Open(R"({"Device": "nothing", "Width": 64, "Height": 32})"));
    SetSetting("framebufferControlSocketPath", "/dev");
    EXPECT_TRUE(log.contains("Error opening FrameBuffer device: /run/kivfb/nothing"));
}

TEST_F(FrameBufferTest, X11DeviceWarnsAndShowsNothing) {
    LogCapture log;
    EXPECT_EQ(nullptr, Open(R"({"Device": "x11", "Width": 64, "Height": 32})"));
    const std::string text = "X11 FrameBuffer configured, but KIV is not compiled with X11 support";
    EXPECT_TRUE(log.contains(text));
    auto warnings = WarningHolder::GetWarnings();
    EXPECT_NE(warnings.end(), std::find(warnings.begin(), warnings.end(), text));
    WarningHolder::RemoveWarning(text);
}

TEST_F(FrameBufferTest, TooLittleDeviceMemoryForTwoPagesFallsBackToOne) {
    MemoryFBProperties p;
    p.memoryBytes = 64 * 32 * 3 + 100;
    MemoryDisplay::SetFBDevice("fb6", p);
    LogCapture log;
    auto fb = Open(R"({"Device": "fb6", "Width": 64, "Height": 32})");
    ASSERT_NE(nullptr, fb);
    EXPECT_EQ(1, fb->Pages());
    EXPECT_TRUE(log.contains("Unable to allocate enough memory for double buffering, using single buffered framebuffer"));

    // Shown all the same, on the one page.
    auto screen = MemoryDisplay::Screen("fb6");
    auto pic = TestPicture(64, 32, 4);
    Show(*fb, pic, IMAGE_TRANSITION_NORMAL);
    std::string why;
    EXPECT_TRUE(ScreenShows(*screen, pic, 64, 32, 1, &why)) << why;
    EXPECT_EQ(0, screen->PageChanges());
}

TEST_F(FrameBufferTest, DRMConnectorIsFoundByNameAndTheLastModeThatFitsIsUsed) {
    MemoryDRMConnector dp;
    dp.type = 10;  // DisplayPort
    dp.typeId = 2;
    MemoryDRMConnector hdmi;
    MemoryDisplay::SetDRMConnectors({dp, hdmi});
    LogCapture log;
    KIVLogger::INSTANCE.ChannelOut.level = LOG_DEBUG;
    auto fb = Open(R"({"Device": "HDMI-A-1", "Width": 700, "Height": 500})");
    ASSERT_NE(nullptr, fb);
    EXPECT_TRUE(fb->UsesDRM());
    EXPECT_EQ(32, fb->BitsPerPixel());
    EXPECT_EQ(2, fb->Pages());
    EXPECT_EQ(700, fb->Width());
    EXPECT_EQ(500, fb->Height());
    EXPECT_EQ(800 * 4, fb->LineLength()) << "rows of the 800x600 buffer";
    EXPECT_TRUE(log.contains("Using FrameBuffer for HDMI-A-1"));
    EXPECT_TRUE(log.contains("  Modes:"));
    EXPECT_TRUE(log.contains("    1920 x 1080   60   (preferred)"));
    EXPECT_TRUE(log.contains("    800 x 600   60   \n"));

    auto screen = MemoryDisplay::Screen("HDMI-A-1");
    ASSERT_NE(nullptr, screen);
    EXPECT_EQ(800, screen->Width()) << "the last listed mode of at least 700x500";
    EXPECT_EQ(600, screen->Height());
    EXPECT_EQ(1, screen->CrtcSetups()) << "the first page goes on the CRTC at once";
    EXPECT_EQ(nullptr, MemoryDisplay::Screen("DisplayPort-2"));

    auto fb2 = Open(R"({"Device": "DisplayPort-2", "Width": 2000, "Height": 2000})");
    ASSERT_NE(nullptr, fb2);
    EXPECT_EQ(1920, MemoryDisplay::Screen("DisplayPort-2")->Width()) << "no mode is big enough: the first";
    EXPECT_EQ(1920, fb2->Width()) << "drawing stays inside the mode";
    EXPECT_EQ(1080, fb2->Height());
}

TEST_F(FrameBufferTest, DRMWithoutSizeTakesThePreferredMode) {
    MemoryDRMConnector hdmi;
    hdmi.modes = {{1280, 720, 50, false}, {1366, 768, 60, true}, {640, 480, 60, false}};
    MemoryDisplay::SetDRMConnectors({hdmi});
    auto fb = Open(R"({"Device": "HDMI-A-1"})");
    ASSERT_NE(nullptr, fb);
    EXPECT_EQ(1366, fb->Width());
    EXPECT_EQ(768, fb->Height());
    EXPECT_EQ(5504, fb->LineLength()) << "rows aligned by the card, longer than 1366 pixels";
    auto pic = TestPicture(1366, 768, 6);
    Show(*fb, pic, IMAGE_TRANSITION_WIPE_DOWN);
    std::string why;
    EXPECT_TRUE(ScreenShows(*MemoryDisplay::Screen("HDMI-A-1"), pic, 1366, 768, 1, &why)) << why;
}

TEST_F(FrameBufferTest, DRMWithoutRoomForASecondBufferUsesOnePage) {
    MemoryDisplay::SetDRMConnectors({MemoryDRMConnector()}, 1);
    LogCapture log;
    auto fb = Open(R"({"Device": "HDMI-A-1", "Width": 640, "Height": 480})");
    ASSERT_NE(nullptr, fb);
    EXPECT_EQ(1, fb->Pages());
    EXPECT_TRUE(log.contains("DRM Create framebuffer failed (err=-12). Using single page."));
    auto screen = MemoryDisplay::Screen("HDMI-A-1");
    auto pic = TestPicture(640, 480, 5);
    Show(*fb, pic, IMAGE_TRANSITION_NORMAL);
    std::string why;
    EXPECT_TRUE(ScreenShows(*screen, pic, 640, 480, 1, &why)) << why;
}

TEST_F(FrameBufferTest, DRMWithoutAnyBufferFailsWithAWarning) {
    MemoryDisplay::SetDRMConnectors({MemoryDRMConnector()}, 0);
    LogCapture log;
    EXPECT_EQ(nullptr, Open(R"({"Device": "HDMI-A-1", "Width": 640, "Height": 480})"));
    EXPECT_TRUE(log.contains("DRM Create framebuffer failed (err=-12)"));
    const std::string text = "Could not initialize framebuffer for HDMI-A-1";
    auto warnings = WarningHolder::GetWarnings();
    EXPECT_NE(warnings.end(), std::find(warnings.begin(), warnings.end(), text));
    WarningHolder::RemoveWarning(text);
    EXPECT_TRUE(log.contains("Error opening FrameBuffer device: /dev/HDMI-A-1")) << "then the frame-buffer device is tried";

    MemoryDRMConnector unplugged;
    unplugged.hasEncoder = false;
    MemoryDisplay::SetDRMConnectors({unplugged});
    EXPECT_EQ(nullptr, Open(R"({"Device": "HDMI-A-1", "Width": 640, "Height": 480})"));
    EXPECT_TRUE(log.contains("DRM Could not get encoder."));
}

TEST_F(FrameBufferTest, EveryTransitionFollowsItsRulesOn800x600At24Bits) {
    CheckAllTransitions(R"({"Device": "fb1", "Width": 800, "Height": 600})", "fb1");
}

TEST_F(FrameBufferTest, EveryTransitionFollowsItsRulesOn640x602At24Bits) {
    CheckAllTransitions(R"({"Device": "fb2", "Width": 640, "Height": 602})", "fb2");
}

TEST_F(FrameBufferTest, EveryTransitionFollowsItsRulesOnAnOddSizeAt32BitsThroughDRM) {
    CheckAllTransitions(R"({"Device": "HDMI-A-1", "Width": 333, "Height": 201})", "HDMI-A-1");
}

TEST_F(FrameBufferTest, EveryTransitionFollowsItsRulesOnAnOddEnlargedSizeAt16Bits) {
    CheckAllTransitions(R"({"Device": "fb3", "Width": 1000, "Height": 604, "PixelSize": 3, "BitsPerPixel": 16})",
                        "fb3");
}

TEST_F(FrameBufferTest, EveryTransitionFollowsItsRulesOnAScreenSmallerThanOneMosaicBlock) {
    CheckAllTransitions(R"({"Device": "fb7", "Width": 17, "Height": 9})", "fb7");
}

TEST_F(FrameBufferTest, FirstStepOfEachTransitionMovesInItsDirection) {
    const int W = 64, H = 64;  // s = 4, two blind bands, 3 x 3 mosaic blocks
    auto fb = Open(R"({"Device": "fb1", "Width": 64, "Height": 64})");
    ASSERT_NE(nullptr, fb);
    auto screen = MemoryDisplay::Screen("fb1");
    auto a = TestPicture(W, H, 7), b = TestPicture(W, H, 8);
    // rows or columns of the screen that show B after the first step, and
    // where in B they come from
    struct Copy {
        int x, y, w, h, sx, sy;
    };
    std::map<int, std::vector<Copy>> first = {
        {IMAGE_TRANSITION_SLIDE_UP, {{0, 60, W, 4, 0, 0}}},
        {IMAGE_TRANSITION_SLIDE_DOWN, {{0, 0, W, 4, 0, 60}}},
        {IMAGE_TRANSITION_SLIDE_LEFT, {{62, 0, 2, H, 0, 0}}},
        {IMAGE_TRANSITION_SLIDE_RIGHT, {{0, 0, 2, H, 62, 0}}},
        {IMAGE_TRANSITION_WIPE_UP, {{0, 60, W, 4, 0, 60}}},
        {IMAGE_TRANSITION_WIPE_DOWN, {{0, 0, W, 4, 0, 0}}},
        {IMAGE_TRANSITION_WIPE_TO_HCENTER, {{0, 0, W, 4, 0, 0}, {0, 60, W, 4, 0, 60}}},
        {IMAGE_TRANSITION_WIPE_FROM_HCENTER, {{0, 30, W, 4, 0, 30}}},
        {IMAGE_TRANSITION_HORIZONTAL_BLINDS_OPEN,
         {{0, 0, W, 1, 0, 0}, {0, 31, W, 2, 0, 31}, {0, 63, W, 1, 0, 63}}},
        {IMAGE_TRANSITION_HORIZONTAL_BLINDS_CLOSE, {{0, 0, W, 2, 0, 0}, {0, 32, W, 2, 0, 32}}},
    };
    for (auto& tc : first) {
        SCOPED_TRACE("transition " + std::to_string(tc.first));
        Show(*fb, a, IMAGE_TRANSITION_NORMAL);
        std::vector<uint8_t> atFirstPause;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_onPause = [&] {
                if (atFirstPause.empty()) atFirstPause = screen->VisibleRGB();
            };
        }
        Show(*fb, b, tc.first);
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_onPause = nullptr;
        }
        std::vector<uint8_t> expected = a;
        for (auto& c : tc.second) {
            for (int y = 0; y < c.h; ++y) {
                for (int x = 0; x < c.w; ++x) {
                    for (int k = 0; k < 3; ++k) {
                        expected[((c.y + y) * W + c.x + x) * 3 + k] = b[((c.sy + y) * W + c.sx + x) * 3 + k];
                    }
                }
            }
        }
        ASSERT_EQ(expected.size(), atFirstPause.size());
        EXPECT_TRUE(expected == atFirstPause);
    }

    // Mosaic on 60 x 60: 2 x 2 blocks, three of them cut by the edges; the
    // first step shows one block of B (one of the first three: the last is
    // never picked at random), the rest still A.
    auto mfb = Open(R"({"Device": "fb2", "Width": 60, "Height": 60})");
    ASSERT_NE(nullptr, mfb);
    auto mscreen = MemoryDisplay::Screen("fb2");
    auto ma = TestPicture(60, 60, 7), mb = TestPicture(60, 60, 8);
    Show(*mfb, ma, IMAGE_TRANSITION_NORMAL);
    std::vector<uint8_t> atFirstPause;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_onPause = [&] {
            if (atFirstPause.empty()) atFirstPause = mscreen->VisibleRGB();
        };
    }
    Show(*mfb, mb, IMAGE_TRANSITION_MOSAIC);
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_onPause = nullptr;
    }
    ASSERT_EQ(ma.size(), atFirstPause.size());
    int minX = 60, minY = 60, maxX = -1, maxY = -1, fromB = 0;
    for (int y = 0; y < 60; ++y) {
        for (int x = 0; x < 60; ++x) {
            size_t i = (y * 60 + x) * 3;
            bool isB = std::equal(&atFirstPause[i], &atFirstPause[i] + 3, &mb[i]);
            bool isA = std::equal(&atFirstPause[i], &atFirstPause[i] + 3, &ma[i]);
            ASSERT_TRUE(isA || isB);
            if (isB && !isA) {
                ++fromB;
                minX = std::min(minX, x), minY = std::min(minY, y);
                maxX = std::max(maxX, x), maxY = std::max(maxY, y);
            }
        }
    }
    EXPECT_TRUE(fromB == 32 * 32 || fromB == 28 * 32) << fromB;
    EXPECT_EQ(fromB, (maxX - minX + 1) * (maxY - minY + 1)) << "one rectangle";
    EXPECT_EQ(0, minX % 32);
    EXPECT_EQ(0, minY % 32);
    EXPECT_FALSE(minX == 32 && minY == 32) << "the last block is never picked at random";
}

TEST_F(FrameBufferTest, WipeUpStepsAndPausesFollowTheHeight) {
    // 600 rows: bands of 4 with 5333 us pauses; 602 rows: bands of 2, 2657 us.
    for (auto& c : std::vector<std::pair<int, std::pair<int, int>>>{{600, {150, 5333}}, {602, {301, 2657}}}) {
        auto fb = Open(R"({"Device": "fb1", "Width": 40, "Height": )" + std::to_string(c.first) + "}");
        ASSERT_NE(nullptr, fb);
        auto screen = MemoryDisplay::Screen("fb1");
        ClearPauses();
        int steps0 = screen->Steps();
        Show(*fb, TestPicture(40, c.first, 9), IMAGE_TRANSITION_WIPE_UP);
        EXPECT_EQ(c.second.first, screen->Steps() - steps0);
        EXPECT_EQ(std::vector<int>(c.second.first, c.second.second), Pauses());
    }
}

TEST_F(FrameBufferTest, SixteenBitOutputEqualsTheRGB565TableForEveryColour) {
    // 64 pictures of 4096 x 64 pixels hold every one of the 2^24 colours once.
    const int W = 4096, H = 64;
    auto fb = Open(R"({"Device": "fb1", "Width": 4096, "Height": 64, "BitsPerPixel": 16, "Pages": 1})");
    ASSERT_NE(nullptr, fb);
    auto screen = MemoryDisplay::Screen("fb1");
    ASSERT_EQ(16, screen->BitsPerPixel());
    std::vector<uint8_t> rgb((size_t)W * H * 3);
    size_t mismatches = 0;
    for (uint32_t chunk = 0; chunk < 64; ++chunk) {
        for (uint32_t p = 0; p < (uint32_t)W * H; ++p) {
            uint32_t colour = chunk * W * H + p;
            rgb[p * 3] = (uint8_t)(colour >> 16);
            rgb[p * 3 + 1] = (uint8_t)(colour >> 8);
            rgb[p * 3 + 2] = (uint8_t)colour;
        }
        fb->FBCopyData(rgb.data(), 1);
        auto bytes = screen->VisibleBytes();
        ASSERT_EQ((size_t)W * H * 2, bytes.size());
        for (uint32_t p = 0; p < (uint32_t)W * H; ++p) {
            uint16_t v = (uint16_t)(bytes[p * 2] | (bytes[p * 2 + 1] << 8));
            uint8_t r = rgb[p * 3], g = rgb[p * 3 + 1], b = rgb[p * 3 + 2];
            uint16_t expected = (uint16_t)(((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3));
            if (v != expected || fb->RGB565(r, g, b) != expected) ++mismatches;
        }
    }
    EXPECT_EQ(0u, mismatches);
}

TEST_F(FrameBufferTest, SixteenBitPixelsFollowTheDevicesOwnBitfields) {
    MemoryFBProperties p;
    p.bpp = 16;
    p.fixed16 = true;  // a BGR panel: blue on top
    p.red16 = {0, 5, 0};
    p.green16 = {5, 6, 0};
    p.blue16 = {11, 5, 0};
    MemoryDisplay::SetFBDevice("fb8", p);
    auto fb = Open(R"({"Device": "fb8", "Width": 3, "Height": 1})");
    ASSERT_NE(nullptr, fb);
    std::vector<uint8_t> rgb = {255, 0, 0, 0, 255, 0, 0, 0, 255};
    fb->FBCopyData(rgb.data(), 1);
    auto bytes = MemoryDisplay::Screen("fb8")->VisibleBytes();
    ASSERT_EQ(6u, bytes.size());
    EXPECT_EQ(0x001F, bytes[0] | (bytes[1] << 8));
    EXPECT_EQ(0x07E0, bytes[2] | (bytes[3] << 8));
    EXPECT_EQ(0xF800, bytes[4] | (bytes[5] << 8));
}

TEST_F(FrameBufferTest, UnchangedSixteenBitPixelsAreNotRewritten) {
    const int W = 16, H = 8;
    auto fb = Open(R"({"Device": "fb1", "Width": 16, "Height": 8, "BitsPerPixel": 16})");
    ASSERT_NE(nullptr, fb);
    auto screen = MemoryDisplay::Screen("fb1");
    auto a = TestPicture(W, H, 10);
    fb->FBCopyData(a.data(), 1);
    std::string why;
    ASSERT_TRUE(ScreenShows(*screen, a, W, H, 1, &why)) << why;

    // Another program scribbles on two pixels; the next picture changes one
    // of them only.
    size_t p1 = (3 * W + 3) * 2, p2 = (5 * W + 10) * 2;
    ASSERT_TRUE(screen->Scribble(p1, 0xAB));
    ASSERT_TRUE(screen->Scribble(p2, 0xCD));
    auto b = a;
    b[(5 * W + 10) * 3] ^= 0xFF;
    fb->FBCopyData(b.data(), 1);
    auto bytes = screen->VisibleBytes();
    EXPECT_EQ(0xAB, bytes[p1]) << "a pixel equal to the last picture is left alone";
    EXPECT_EQ(Standard565(b[(5 * W + 10) * 3], b[(5 * W + 10) * 3 + 1], b[(5 * W + 10) * 3 + 2]),
              bytes[p2] | (bytes[p2 + 1] << 8));

    // An identical picture writes nothing at all.
    auto before = screen->VisibleBytes();
    for (size_t i = 0; i < before.size(); i += 7) screen->Scribble(i, 0x5A);
    auto scribbled = screen->VisibleBytes();
    fb->FBCopyData(b.data(), 1);
    EXPECT_TRUE(scribbled == screen->VisibleBytes());
}

TEST_F(FrameBufferTest, PixelSizeEnlargesEveryPicturePixelBothWays) {
    for (const char* depth : {"16", "24"}) {
        SCOPED_TRACE(depth);
        auto fb = Open(std::string(R"({"Device": "fb1", "Width": 40, "Height": 24, "PixelSize": 4, "BitsPerPixel": )") +
                       depth + "}");
        ASSERT_NE(nullptr, fb);
        auto pic = TestPicture(10, 6, 11);
        Show(*fb, pic, IMAGE_TRANSITION_NORMAL);
        std::string why;
        EXPECT_TRUE(ScreenShows(*MemoryDisplay::Screen("fb1"), pic, 10, 6, 4, &why)) << why;
    }
    auto fb = Open(R"({"Device": "HDMI-A-1", "Width": 640, "Height": 480, "PixelSize": 5})");
    ASSERT_NE(nullptr, fb);
    auto pic = TestPicture(128, 96, 12);
    Show(*fb, pic, IMAGE_TRANSITION_NORMAL);
    std::string why;
    EXPECT_TRUE(ScreenShows(*MemoryDisplay::Screen("HDMI-A-1"), pic, 128, 96, 5, &why)) << why;
}

TEST_F(FrameBufferTest, DrawingAtOnceShowsThePictureAlsoWhenEnlarged) {
    auto fb = Open(R"({"Device": "fb1", "Width": 20, "Height": 10, "PixelSize": 2})");
    ASSERT_NE(nullptr, fb);
    auto screen = MemoryDisplay::Screen("fb1");
    auto pic = TestPicture(10, 5, 13);
    fb->FBCopyData(pic.data(), 1);
    std::string why;
    EXPECT_TRUE(ScreenShows(*screen, pic, 10, 5, 2, &why)) << why;
    EXPECT_EQ(0, screen->PageChanges()) << "drawn on the page on screen, no flip";
}

TEST_F(FrameBufferTest, NormalTransitionFlipsBetweenTheTwoPages) {
    auto fb = Open(R"({"Device": "fb1", "Width": 32, "Height": 16})");
    ASSERT_NE(nullptr, fb);
    auto screen = MemoryDisplay::Screen("fb1");
    EXPECT_EQ(0, screen->VisiblePage());
    for (int i = 0; i < 4; ++i) {
        auto pic = TestPicture(32, 16, 20 + i);
        Show(*fb, pic, IMAGE_TRANSITION_NORMAL);
        EXPECT_EQ((i + 1) % 2, screen->VisiblePage());
        EXPECT_EQ(i + 1, screen->PageChanges());
        std::string why;
        EXPECT_TRUE(ScreenShows(*screen, pic, 32, 16, 1, &why)) << why;
    }

    auto drm = Open(R"({"Device": "HDMI-A-1", "Width": 640, "Height": 480})");
    ASSERT_NE(nullptr, drm);
    auto card = MemoryDisplay::Screen("HDMI-A-1");
    EXPECT_EQ(0, card->VisiblePage());
    for (int i = 0; i < 3; ++i) Show(*drm, TestPicture(640, 480, 30 + i), IMAGE_TRANSITION_NORMAL);
    EXPECT_EQ(1, card->VisiblePage());
    EXPECT_EQ(4, card->PageChanges());
    EXPECT_EQ(1, card->CrtcSetups()) << "the CRTC is set up once, then pages flip";
}

TEST_F(FrameBufferTest, DefaultAndRandomTransitions) {
    auto fb = Open(R"({"Device": "fb1", "Width": 40, "Height": 20, "TransitionType": "5"})");
    ASSERT_NE(nullptr, fb);
    EXPECT_EQ(5, fb->GetTransitionType());
    Show(*fb, TestPicture(40, 20, 1), IMAGE_TRANSITION_DEFAULT);
    EXPECT_EQ(5, fb->LastTransitionDrawn());

    std::set<int> seen;
    for (int i = 0; i < 40; ++i) {
        Show(*fb, TestPicture(40, 20, i), IMAGE_TRANSITION_RANDOM);
        int t = fb->LastTransitionDrawn();
        EXPECT_GE(t, 1);
        EXPECT_LE(t, 13);
        seen.insert(t);
    }
    EXPECT_GE(seen.size(), 4u);

    // A random default: every start picks again.
    auto random = Open(R"({"Device": "fb2", "Width": 40, "Height": 20, "TransitionType": "-2"})");
    ASSERT_NE(nullptr, random);
    seen.clear();
    for (int i = 0; i < 40; ++i) {
        Show(*random, TestPicture(40, 20, i), IMAGE_TRANSITION_DEFAULT);
        seen.insert(random->LastTransitionDrawn());
    }
    EXPECT_GE(seen.size(), 4u);
    EXPECT_EQ(0u, seen.count(IMAGE_TRANSITION_NORMAL));
}

TEST_F(FrameBufferTest, APictureArrivingDuringATransitionIsShownAfterIt) {
    auto fb = Open(R"({"Device": "fb1", "Width": 64, "Height": 64})");
    ASSERT_NE(nullptr, fb);
    fb->SetPauseFunction([](int) { usleep(5000); });
    auto a = TestPicture(64, 64, 40), b = TestPicture(64, 64, 41);
    fb->FBCopyData(a.data(), 0);
    fb->FBStartDraw(IMAGE_TRANSITION_HORIZONTAL_BLINDS_OPEN);
    usleep(20000);
    fb->FBCopyData(b.data(), 0);
    fb->FBStartDraw(IMAGE_TRANSITION_NORMAL);
    ASSERT_TRUE(fb->WaitUntilShown(20000));
    std::string why;
    EXPECT_TRUE(ScreenShows(*MemoryDisplay::Screen("fb1"), b, 64, 64, 1, &why)) << why;
}

TEST_F(FrameBufferTest, AutoSyncPresentsReadyPagesAtVerticalSync) {
    MemoryFBProperties p;
    p.refreshHz = 200;
    MemoryDisplay::SetFBDevice("fb9", p);
    auto fb = Open(R"({"Device": "fb9", "Width": 32, "Height": 16, "AutoSync": true})");
    ASSERT_NE(nullptr, fb);
    auto screen = MemoryDisplay::Screen("fb9");
    EXPECT_EQ(0, screen->VisiblePage());

    auto a = TestPicture(32, 16, 50), b = TestPicture(32, 16, 51);
    ASSERT_TRUE(fb->FBCopyDataToNextPage(a.data()));
    ASSERT_TRUE(screen->WaitForPageChanges(1, 10000));
    EXPECT_EQ(1, screen->VisiblePage()) << "page 1 is filled and shown first";
    std::string why;
    EXPECT_TRUE(ScreenShows(*screen, a, 32, 16, 1, &why)) << why;
    ASSERT_TRUE(fb->FBCopyDataToNextPage(b.data()));
    ASSERT_TRUE(screen->WaitForPageChanges(2, 10000));
    EXPECT_EQ(0, screen->VisiblePage());
    EXPECT_TRUE(ScreenShows(*screen, b, 32, 16, 1, &why)) << why;
    EXPECT_GE(screen->VSyncWaits(), 2);

    // DRM: no vertical sync to wait for, the loop presents all the same.
    auto drm = Open(R"({"Device": "HDMI-A-1", "Width": 640, "Height": 480, "AutoSync": true})");
    ASSERT_NE(nullptr, drm);
    auto card = MemoryDisplay::Screen("HDMI-A-1");
    int before = card->PageChanges();
    auto c = TestPicture(640, 480, 52);
    ASSERT_TRUE(drm->FBCopyDataToNextPage(c.data()));
    ASSERT_TRUE(card->WaitForPageChanges(before + 1, 10000));
    EXPECT_TRUE(ScreenShows(*card, c, 640, 480, 1, &why)) << why;
}

TEST_F(FrameBufferTest, AutoSyncProducerIsToldWhenEveryPageStillWaits) {
    MemoryFBProperties p;
    p.refreshHz = 1;  // the loop presents one page a second at most
    MemoryDisplay::SetFBDevice("fb9", p);
    auto fb = Open(R"({"Device": "fb9", "Width": 8, "Height": 8, "AutoSync": true})");
    ASSERT_NE(nullptr, fb);
    auto pic = TestPicture(8, 8, 53);
    ASSERT_TRUE(fb->FBCopyDataToNextPage(pic.data()));
    ASSERT_TRUE(fb->FBCopyDataToNextPage(pic.data()));
    EXPECT_FALSE(fb->FBCopyDataToNextPage(pic.data()));
}

TEST_F(FrameBufferTest, DumpLogsTheSettings) {
    LogCapture log;
    KIVLogger::INSTANCE.ChannelOut.level = LOG_DEBUG;
    auto fb = Open(R"({"Device": "fb1", "Width": 1000, "Height": 600, "PixelSize": 3, "TransitionType": "7"})");
    ASSERT_NE(nullptr, fb);
    for (const char* line : {"FrameBuffer::FrameBuffer()\n", "Using FrameBuffer device fb1\n",
                             "Initialized fb1 frame buffer at 999x600 resolution.\n", "Device         : fb1\n",
                             "Width          : 999\n", "Height         : 600\n", "PixelSize      : 3\n",
                             "Pixels Wide    : 333\n", "Pixels High    : 200\n", "bpp            : 24\n",
                             "Transition Type: 7\n"}) {
        EXPECT_TRUE(log.contains(line)) << line;
    }
}

TEST_F(FrameBufferTest, SixteenBitSetUpLogsTheBitfields) {
    LogCapture log;
    KIVLogger::INSTANCE.ChannelOut.level = LOG_EXCESS;
    auto fb = Open(R"({"Device": "fb1", "Width": 8, "Height": 8, "BitsPerPixel": 16})");
    ASSERT_NE(nullptr, fb);
    EXPECT_TRUE(log.contains("Current Bitfield offset info:\n"));
    EXPECT_TRUE(log.contains(" R: 16 (8 bits)\n")) << "the 32-bit device's layout before the change";
    EXPECT_TRUE(log.contains("New Bitfield offset info should be:\n"));
    EXPECT_TRUE(log.contains("Generating RGB565Map for Bitfield offset info:\n"));
    EXPECT_TRUE(log.contains(" R: 11 (5 bits)\n"));
    EXPECT_TRUE(log.contains(" G: 5 (6 bits)\n"));
    EXPECT_TRUE(log.contains(" B: 0 (5 bits)\n"));
}

TEST_F(FrameBufferTest, ReleasingTheFrameBufferReleasesTheDeviceAndTheConsole) {
    auto fb = Open(R"({"Device": "fb0", "Width": 16, "Height": 8})");
    ASSERT_NE(nullptr, fb);
    auto screen = MemoryDisplay::Screen("fb0");
    EXPECT_TRUE(screen->IsOpen());
    EXPECT_TRUE(MemoryDisplay::ConsoleInGraphicsMode()) << "/dev/fb0 puts the console in graphics mode";
    EXPECT_EQ(1, screen->LiveBuffers());
    fb.reset();
    EXPECT_FALSE(screen->IsOpen());
    EXPECT_FALSE(MemoryDisplay::ConsoleInGraphicsMode());
    EXPECT_EQ(0, screen->LiveBuffers());

    auto other = Open(R"({"Device": "fb1", "Width": 16, "Height": 8})");
    ASSERT_NE(nullptr, other);
    EXPECT_FALSE(MemoryDisplay::ConsoleInGraphicsMode()) << "only the first frame buffer owns the console";
    other.reset();

    auto drm = Open(R"({"Device": "HDMI-A-1", "Width": 640, "Height": 480})");
    ASSERT_NE(nullptr, drm);
    auto card = MemoryDisplay::Screen("HDMI-A-1");
    Show(*drm, TestPicture(640, 480, 60), IMAGE_TRANSITION_NORMAL);
    EXPECT_EQ(2, card->LiveBuffers());
    drm.reset();
    EXPECT_EQ(0, card->LiveBuffers());
    EXPECT_FALSE(card->IsOpen());
    auto bytes = card->VisibleBytes();
    EXPECT_TRUE(std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; }))
        << "the buffers are zeroed before they go";
}

TEST_F(FrameBufferTest, UnusablePixelSizeAndPageCountAreCorrected) {
    LogCapture log;
    auto fb = Open(R"({"Device": "fb1", "Width": 16, "Height": 8, "PixelSize": 0, "Pages": 5})");
    ASSERT_NE(nullptr, fb);
    EXPECT_EQ(1, fb->PixelSize());
    EXPECT_EQ(16, fb->PixelsWide());
    EXPECT_EQ(2, fb->Pages());
    EXPECT_TRUE(log.contains("PixelSize 0 is not usable, using 1"));
    EXPECT_TRUE(log.contains("Pages 5 is not usable (1 or 2), using 2"));
}

}  // namespace
