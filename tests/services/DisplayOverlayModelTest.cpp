// The "display" overlay model kind on memory displays: the documented
// example loads, whole pictures arrive with the model's transition and the
// overlay buffer at once, states show or hide the picture, and records that
// cannot work are refused with their reason.

#include <gtest/gtest.h>

#include <algorithm>

#include "DisplayTestSupport.h"
#include "MemoryDisplay.h"
#include "TestSupport.h"
#include "Warnings.h"
#include "common.h"
#include "services/DisplayOverlayModel.h"
#include "services/PixelOverlay.h"

using namespace kivtest;

namespace {

bool AllBlack(const std::vector<uint8_t>& rgb) {
    return !rgb.empty() && std::all_of(rgb.begin(), rgb.end(), [](uint8_t b) { return b == 0; });
}

class DisplayOverlayModelTest : public ::testing::Test {
protected:
    void SetUp() override { DisplayOverlayModel::RegisterType(); }
    void TearDown() override {
        PixelOverlayManager::INSTANCE.LoadModels(JsonDoc("{\"models\": []}"), "test");
        PixelOverlayManager::INSTANCE.Cleanup();
        PixelOverlayManager::UnregisterModelType(DisplayOverlayModel::TYPE);
    }

    DisplayOverlayModel* Display(const std::string& name) {
        return dynamic_cast<DisplayOverlayModel*>(PixelOverlayManager::INSTANCE.getModel(name));
    }

    MemoryDisplayScope display;
    TempMediaDir media;
};

TEST_F(DisplayOverlayModelTest, LoadsTheDocumentedExample) {
    ASSERT_TRUE(CopyFileContents(sourceDir() + "/docs/examples/overlay-models-display.json",
                                 media.file("/config/overlay-models.json")));
    PixelOverlayManager::INSTANCE.Initialize();
    EXPECT_EQ((std::vector<std::string>{"Matrix", "DoorScreen", "Sign"}), PixelOverlayManager::INSTANCE.getModelNames());

    DisplayOverlayModel* door = Display("DoorScreen");
    ASSERT_NE(nullptr, door);
    EXPECT_EQ("display", door->getType());
    EXPECT_EQ(0, door->getChannelCount());
    EXPECT_FALSE(door->drawsIntoChannels());
    EXPECT_EQ(5, door->GetTransition());
    EXPECT_EQ(1920, door->GetFrameBuffer().Width());
    EXPECT_EQ(1080, door->GetFrameBuffer().Height());
    EXPECT_TRUE(door->GetFrameBuffer().UsesDRM());

    DisplayOverlayModel* sign = Display("Sign");
    ASSERT_NE(nullptr, sign);
    EXPECT_EQ(16, sign->GetFrameBuffer().BitsPerPixel());
    EXPECT_EQ(4, sign->GetFrameBuffer().PixelSize());
    EXPECT_EQ(-2, sign->GetFrameBuffer().GetTransitionType());

    door->setState(PixelOverlayModel::STATE_ENABLED);
    EXPECT_FALSE(PixelOverlayManager::INSTANCE.hasActiveOverlays()) << "a display does not need channel output";
}

TEST_F(DisplayOverlayModelTest, PicturesShowWithTheModelsTransitionOnlyWhileEnabled) {
    ASSERT_TRUE(PixelOverlayManager::INSTANCE.LoadModels(
        JsonDoc(R"({"models": [{"name": "Screen", "type": "display", "device": "fb1", "width": 40, "height": 30,
                            "pixelSize": 3, "transition": 6}]})"),
        "test"));
    DisplayOverlayModel* m = Display("Screen");
    ASSERT_NE(nullptr, m);
    FrameBuffer& fb = m->GetFrameBuffer();
    fb.SetPauseFunction([](int) {});
    auto screen = MemoryDisplay::Screen("fb1");
    ASSERT_NE(nullptr, screen);
    EXPECT_EQ(120, screen->Width());
    EXPECT_EQ(90, screen->Height());

    // Disabled: the picture is kept but not shown.
    auto pic = TestPicture(40, 30, 1);
    m->setData(pic.data());
    ASSERT_TRUE(fb.WaitUntilShown(10000));
    EXPECT_TRUE(AllBlack(screen->VisibleRGB()));
    EXPECT_EQ(pic, m->getData());

    // Enabled: what the model holds appears at once.
    m->setState(PixelOverlayModel::STATE_ENABLED);
    ASSERT_TRUE(fb.WaitUntilShown(10000));
    std::string why;
    EXPECT_TRUE(ScreenShows(*screen, pic, 40, 30, 3, &why)) << why;
    EXPECT_EQ(IMAGE_TRANSITION_NORMAL, fb.LastTransitionDrawn());

    // A whole picture: with the model's transition (wipe down).
    auto next = TestPicture(40, 30, 2);
    m->setData(next.data());
    ASSERT_TRUE(fb.WaitUntilShown(10000));
    EXPECT_TRUE(ScreenShows(*screen, next, 40, 30, 3, &why)) << why;
    EXPECT_EQ(IMAGE_TRANSITION_WIPE_DOWN, fb.LastTransitionDrawn());

    // The overlay buffer: at once.
    auto frame = TestPicture(40, 30, 3);
    std::copy(frame.begin(), frame.end(), m->getOverlayBuffer());
    m->flushOverlayBuffer();
    ASSERT_TRUE(fb.WaitUntilShown(10000));
    EXPECT_TRUE(ScreenShows(*screen, frame, 40, 30, 3, &why)) << why;
    EXPECT_EQ(IMAGE_TRANSITION_NORMAL, fb.LastTransitionDrawn());
    EXPECT_EQ(frame, m->getData());

    m->clear();
    ASSERT_TRUE(fb.WaitUntilShown(10000));
    EXPECT_TRUE(AllBlack(screen->VisibleRGB()));

    m->setData(pic.data());
    ASSERT_TRUE(fb.WaitUntilShown(10000));
    m->setState(PixelOverlayModel::STATE_DISABLED);
    ASSERT_TRUE(fb.WaitUntilShown(10000));
    EXPECT_TRUE(AllBlack(screen->VisibleRGB())) << "disabled shows black";
}

TEST_F(DisplayOverlayModelTest, RecordsThatCannotWorkAreRefusedWithTheirReason) {
    MemoryDRMConnector small;
    small.modes = {{640, 480, 60, true}};
    MemoryDisplay::SetDRMConnectors({small});
    LogCapture log;
    const char* doc = R"({"models": [
        {"name": "NoDevice", "type": "display", "width": 8, "height": 8},
        {"name": "Missing", "type": "display", "device": "fb-nowhere", "width": 8, "height": 8},
        {"name": "TooBig", "type": "display", "device": "HDMI-A-1", "width": 100, "height": 100, "pixelSize": 8},
        {"name": "Size", "type": "display", "device": "fb1", "width": 8, "height": 8, "pixelSize": 0},
        {"name": "Transition", "type": "display", "device": "fb1", "width": 8, "height": 8, "transition": 14},
        {"name": "Pages", "type": "display", "device": "fb1", "width": 8, "height": 8, "pages": 3},
        {"name": "Depth", "type": "display", "device": "fb1", "width": 8, "height": 8, "bitsPerPixel": 8},
        {"name": "Fine", "type": "display", "device": "fb1", "width": 8, "height": 8}
    ]})";
    PixelOverlayManager::INSTANCE.LoadModels(JsonDoc(doc), "models.json");
    EXPECT_EQ((std::vector<std::string>{"Fine"}), PixelOverlayManager::INSTANCE.getModelNames());
    std::vector<std::string> expected = {
        "Overlay model 1 of models.json ('NoDevice') skipped: \"device\" (the display",
        "Overlay model 2 of models.json ('Missing') skipped: display 'fb-nowhere' could not be opened (see the log)",
        "Overlay model 3 of models.json ('TooBig') skipped: display 'HDMI-A-1' has room for 80x60 pixels of size 8, "
        "not 100x100",
        "Overlay model 4 of models.json ('Size') skipped: \"pixelSize\" must be 1 to 64",
        "Overlay model 5 of models.json ('Transition') skipped: \"transition\" must be 0 to 13, or -2",
        "Overlay model 6 of models.json ('Pages') skipped: \"pages\" must be 1 or 2",
        "Overlay model 7 of models.json ('Depth') skipped: display 'fb1' could not be opened",
    };
    for (auto& e : expected) EXPECT_TRUE(log.contains(e)) << e;
    EXPECT_TRUE(log.contains("Error opening FrameBuffer device: /dev/fb-nowhere"));
    EXPECT_TRUE(log.contains("Do not know how to handle 8 BPP"));
}

}  // namespace
