// The "LocalDisplay" output plug-in, loaded by name through the output
// registry as kivd loads it, on memory displays: channels become an
// enlarged picture, unchanged frames are not shown again, AutoSync pages,
// the documented example, and configurations that cannot work.

#include <gtest/gtest.h>

#include <cstdlib>

#include "DisplayTestSupport.h"
#include "MemoryDisplay.h"
#include "TestSupport.h"
#include "Warnings.h"
#include "channeloutput/channeloutput.h"
#include "common.h"

using namespace kivtest;

namespace {

class LocalDisplayOutputTest : public ::testing::Test {
protected:
    void TearDown() override {
        CloseChannelOutputs();
        for (auto& w : WarningHolder::GetWarnings()) {
            if (w.find("LocalDisplay") != std::string::npos) WarningHolder::RemoveWarning(w);
        }
    }
    void WriteOutputs(const std::string& json) { media.write("/config/channeloutputs.json", json); }

    // A frame whose channels from `start` hold `rgb`.
    std::vector<char> Frame(size_t start, const std::vector<uint8_t>& rgb, size_t size = 4096) {
        std::vector<char> frame(size, 0x11);
        std::copy(rgb.begin(), rgb.end(), frame.begin() + start);
        return frame;
    }

    MemoryDisplayScope display;
    TempMediaDir media;
};

TEST_F(LocalDisplayOutputTest, ChannelsBecomeAnEnlargedPictureOnTheDisplay) {
    WriteOutputs(R"({"channelOutputs": [{"type": "LocalDisplay", "startChannel": 11, "device": "fb1",
                                          "width": 8, "height": 4, "pixelSize": 3}]})");
    ASSERT_EQ(1, InitializeChannelOutputs());
    auto ranges = GetOutputRanges(true);
    ASSERT_EQ(1u, ranges.size());
    EXPECT_EQ(std::make_pair(10u, 96u), ranges[0]) << "width x height x 3 channels from channel 11";

    auto screen = MemoryDisplay::Screen("fb1");
    ASSERT_NE(nullptr, screen);
    EXPECT_EQ(24, screen->Width());
    EXPECT_EQ(12, screen->Height());

    auto a = TestPicture(8, 4, 1);
    auto frame = Frame(10, a);
    PrepareChannelData(frame.data());
    SendChannelData(frame.data());
    ASSERT_TRUE(screen->WaitForPageChanges(1, 10000));
    std::string why;
    EXPECT_TRUE(ScreenShows(*screen, a, 8, 4, 3, &why)) << why;

    auto b = TestPicture(8, 4, 2);
    frame = Frame(10, b);
    SendChannelData(frame.data());
    ASSERT_TRUE(screen->WaitForPageChanges(2, 10000));
    EXPECT_TRUE(ScreenShows(*screen, b, 8, 4, 3, &why)) << why;

    // The same picture again (a held frame) does not flip a page.
    frame[0] = 0x22;  // outside the output's channels
    SendChannelData(frame.data());
    SendChannelData(frame.data());
    EXPECT_FALSE(screen->WaitForPageChanges(3, 300));
    EXPECT_EQ(2, screen->PageChanges());
}

TEST_F(LocalDisplayOutputTest, DocumentedExampleShowsBothOutputs) {
    ASSERT_TRUE(CopyFileContents(sourceDir() + "/docs/examples/outputs-localdisplay.json",
                                 media.file("/config/channeloutputs.json")));
    ASSERT_EQ(2, InitializeChannelOutputs());
    auto hdmi = MemoryDisplay::Screen("HDMI-A-1");
    auto panel = MemoryDisplay::Screen("fb1");
    ASSERT_NE(nullptr, hdmi);
    ASSERT_NE(nullptr, panel);
    EXPECT_EQ(1024, hdmi->Width()) << "the last mode of at least 1024x512";
    EXPECT_EQ(768, hdmi->Height());
    EXPECT_EQ(16, panel->BitsPerPixel());

    auto matrix = TestPicture(64, 32, 3);
    auto tree = TestPicture(16, 50, 4);
    std::vector<char> frame(16384, 0);
    std::copy(matrix.begin(), matrix.end(), frame.begin());
    std::copy(tree.begin(), tree.end(), frame.begin() + 6144);
    int hdmiBefore = hdmi->PageChanges();
    SendChannelData(frame.data());
    ASSERT_TRUE(hdmi->WaitForPageChanges(hdmiBefore + 1, 10000));
    ASSERT_TRUE(panel->WaitForPageChanges(1, 10000)) << "AutoSync shows the page at the next vertical sync";
    std::string why;
    EXPECT_TRUE(ScreenShows(*hdmi, matrix, 64, 32, 16, &why)) << why;
    EXPECT_TRUE(ScreenShows(*panel, tree, 16, 50, 4, &why)) << why;
}

TEST_F(LocalDisplayOutputTest, ConfigurationsThatCannotWorkDisableTheOutputWithTheReason) {
    LogCapture log;
    WriteOutputs(R"({"channelOutputs": [
        {"type": "LocalDisplay", "startChannel": 1, "width": 8, "height": 4},
        {"type": "LocalDisplay", "startChannel": 1, "device": "fb1", "width": 0, "height": 4},
        {"type": "LocalDisplay", "startChannel": 1, "channelCount": 50, "device": "fb1", "width": 8, "height": 4},
        {"type": "LocalDisplay", "startChannel": 8388600, "device": "fb1", "width": 8, "height": 4},
        {"type": "LocalDisplay", "startChannel": 1, "device": "fb-nowhere", "width": 8, "height": 4},
        {"type": "LocalDisplay", "startChannel": 1, "device": "fb1", "width": "eight", "height": 4},
        {"type": "LocalDisplay", "startChannel": 1, "device": "fb2", "width": 8, "height": 4}
    ]})");
    EXPECT_EQ(1, InitializeChannelOutputs());
    for (const char* reason :
         {"LocalDisplay: \"device\" (a DRM connector such as HDMI-A-1 or a frame-buffer device such as fb0) is missing",
          "LocalDisplay: \"width\" and \"height\" must be at least 1",
          "LocalDisplay: \"channelCount\" 50 is less than width x height x 3 = 96",
          "LocalDisplay: 8x4 pixels from channel 8388600 go past channel 8388608",
          "Error opening FrameBuffer device: /dev/fb-nowhere", "LocalDisplay: display 'fb-nowhere' could not be opened",
          "LocalDisplay: \"width\" must be a whole number"}) {
        EXPECT_TRUE(log.contains(reason)) << reason;
    }
    EXPECT_EQ(6, log.count("(LocalDisplay) disabled: its configuration could not be initialised (see the log)"));
}

}  // namespace
