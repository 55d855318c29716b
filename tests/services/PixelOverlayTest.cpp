// Pixel overlay models: the models file (documented example, bad records),
// pixel layout by orientation and start corner, channels per pixel, states,
// the overlay buffer, model kinds added from outside, and active models
// reaching the outputs through the channel output thread.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "CaptureOutput.h"
#include "Sequence.h"
#include "TestSupport.h"
#include "Warnings.h"
#include "channeloutput/channeloutput.h"
#include "channeloutput/channeloutputthread.h"
#include "common.h"
#include "log.h"
#include "services/PixelOverlay.h"
#include "settings.h"

using namespace kivtest;

namespace {

Json::Value Doc(const std::string& text) {
    Json::Value v;
    EXPECT_TRUE(LoadJsonFromString(text, v)) << text;
    return v;
}

// An RGB picture where pixel (x, y) is (x + 1, y + 1, 100 + x + y * width).
std::vector<uint8_t> Gradient(int w, int h) {
    std::vector<uint8_t> rgb((size_t)w * h * 3);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &rgb[((size_t)y * w + x) * 3];
            p[0] = (uint8_t)(x + 1);
            p[1] = (uint8_t)(y + 1);
            p[2] = (uint8_t)(100 + x + y * w);
        }
    }
    return rgb;
}

class PixelOverlayTest : public ::testing::Test {
protected:
    void TearDown() override {
        PixelOverlayManager::INSTANCE.LoadModels(Doc("{\"models\": []}"), "test");
        PixelOverlayManager::INSTANCE.Cleanup();
    }

    PixelOverlayModel* LoadOne(const std::string& record) {
        EXPECT_TRUE(PixelOverlayManager::INSTANCE.LoadModels(Doc("{\"models\": [" + record + "]}"), "test"));
        auto names = PixelOverlayManager::INSTANCE.getModelNames();
        return names.size() == 1 ? PixelOverlayManager::INSTANCE.getModel(names[0]) : nullptr;
    }

    // The model drawn enabled into an all-0xEE buffer; returns its channels.
    std::vector<uint8_t> Drawn(PixelOverlayModel* m, int state = PixelOverlayModel::STATE_ENABLED) {
        std::vector<uint8_t> frame(m->getStartChannel() + m->getChannelCount() + 16, 0xEE);
        m->setState(state);
        PixelOverlayManager::INSTANCE.doOverlays(frame.data());
        return std::vector<uint8_t>(frame.begin() + m->getStartChannel(),
                                    frame.begin() + m->getStartChannel() + m->getChannelCount());
    }

    TempMediaDir media;
};

TEST_F(PixelOverlayTest, LoadsTheDocumentedExampleFile) {
    ASSERT_TRUE(CopyFileContents(sourceDir() + "/docs/examples/overlay-models.json",
                                 media.file("/config/overlay-models.json")));
    PixelOverlayManager::INSTANCE.Initialize();
    EXPECT_EQ((std::vector<std::string>{"Matrix", "Tree", "Windows"}), PixelOverlayManager::INSTANCE.getModelNames());

    PixelOverlayModel* matrix = PixelOverlayManager::INSTANCE.getModel("Matrix");
    ASSERT_NE(nullptr, matrix);
    EXPECT_EQ("channel", matrix->getType());
    EXPECT_EQ(0, matrix->getStartChannel());
    EXPECT_EQ(32, matrix->getWidth());
    EXPECT_EQ(16, matrix->getHeight());
    EXPECT_EQ(32 * 16 * 3, matrix->getChannelCount());
    EXPECT_EQ(PixelOverlayModel::STATE_DISABLED, matrix->getState());

    PixelOverlayModel* tree = PixelOverlayManager::INSTANCE.getModel("Tree");
    ASSERT_NE(nullptr, tree);
    EXPECT_EQ(1536, tree->getStartChannel());
    EXPECT_TRUE(tree->getConfig().vertical);
    EXPECT_TRUE(tree->getConfig().startBottom);
    EXPECT_FALSE(tree->getConfig().startRight);

    PixelOverlayModel* windows = PixelOverlayManager::INSTANCE.getModel("Windows");
    ASSERT_NE(nullptr, windows);
    EXPECT_EQ(1, windows->getChannelsPerPixel());
    EXPECT_EQ(8, windows->getChannelCount());
    EXPECT_EQ(nullptr, PixelOverlayManager::INSTANCE.getModel("Nope"));
}

TEST_F(PixelOverlayTest, MissingFileMeansNoModelsAndNoWarning) {
    LogCapture log;
    PixelOverlayManager::INSTANCE.Initialize();
    EXPECT_TRUE(PixelOverlayManager::INSTANCE.getModelNames().empty());
    EXPECT_FALSE(PixelOverlayManager::INSTANCE.hasActiveOverlays());
    for (auto& w : WarningHolder::GetWarnings()) EXPECT_EQ(std::string::npos, w.find("Overlay model")) << w;
}

TEST_F(PixelOverlayTest, PixelsAreLaidOutByOrientationAndStartCorner) {
    // A 3 x 2 model: which viewer pixel lands on channel pixel 0..5.
    struct Case {
        const char* orientation;
        const char* corner;
        std::vector<std::pair<int, int>> order;  // (x, y) of channel pixel 0, 1, ...
    };
    std::vector<Case> cases = {
        {"horizontal", "TL", {{0, 0}, {1, 0}, {2, 0}, {0, 1}, {1, 1}, {2, 1}}},
        {"horizontal", "TR", {{2, 0}, {1, 0}, {0, 0}, {2, 1}, {1, 1}, {0, 1}}},
        {"horizontal", "BL", {{0, 1}, {1, 1}, {2, 1}, {0, 0}, {1, 0}, {2, 0}}},
        {"horizontal", "BR", {{2, 1}, {1, 1}, {0, 1}, {2, 0}, {1, 0}, {0, 0}}},
        {"vertical", "TL", {{0, 0}, {0, 1}, {1, 0}, {1, 1}, {2, 0}, {2, 1}}},
        {"vertical", "BL", {{0, 1}, {0, 0}, {1, 1}, {1, 0}, {2, 1}, {2, 0}}},
        {"vertical", "TR", {{2, 0}, {2, 1}, {1, 0}, {1, 1}, {0, 0}, {0, 1}}},
        {"vertical", "BR", {{2, 1}, {2, 0}, {1, 1}, {1, 0}, {0, 1}, {0, 0}}},
    };
    auto rgb = Gradient(3, 2);
    for (auto& c : cases) {
        SCOPED_TRACE(std::string(c.orientation) + " " + c.corner);
        PixelOverlayModel* m = LoadOne(std::string("{\"name\": \"M\", \"startChannel\": 11, \"width\": 3, \"height\": 2, "
                                                   "\"orientation\": \"") +
                                       c.orientation + "\", \"startCorner\": \"" + c.corner + "\"}");
        ASSERT_NE(nullptr, m);
        EXPECT_EQ(10, m->getStartChannel());
        m->setData(rgb.data());
        auto out = Drawn(m);
        ASSERT_EQ(18u, out.size());
        for (int i = 0; i < 6; ++i) {
            int x = c.order[i].first, y = c.order[i].second;
            EXPECT_EQ(x + 1, out[i * 3]) << "pixel " << i;
            EXPECT_EQ(y + 1, out[i * 3 + 1]) << "pixel " << i;
            EXPECT_EQ(100 + x + y * 3, out[i * 3 + 2]) << "pixel " << i;
        }
    }
}

TEST_F(PixelOverlayTest, DrawsOnlyItsOwnChannels) {
    PixelOverlayModel* m = LoadOne("{\"name\": \"M\", \"startChannel\": 5, \"width\": 2, \"height\": 1}");
    ASSERT_NE(nullptr, m);
    uint8_t rgb[6] = {1, 2, 3, 4, 5, 6};
    m->setData(rgb);
    m->setState(PixelOverlayModel::STATE_ENABLED);
    std::vector<uint8_t> frame(16, 0xEE);
    PixelOverlayManager::INSTANCE.doOverlays(frame.data());
    EXPECT_EQ((std::vector<uint8_t>{0xEE, 0xEE, 0xEE, 0xEE, 1, 2, 3, 4, 5, 6, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}),
              frame);
}

TEST_F(PixelOverlayTest, OneAndFourChannelPixelsCarryBrightnessAndWhite) {
    uint8_t rgb[6] = {255, 255, 255, 200, 100, 50};
    PixelOverlayModel* grey = LoadOne("{\"name\": \"G\", \"startChannel\": 1, \"width\": 2, \"height\": 1, "
                                      "\"channelsPerPixel\": 1}");
    ASSERT_NE(nullptr, grey);
    grey->setData(rgb);
    // 0.299 * 200 + 0.587 * 100 + 0.114 * 50 = 124.2
    EXPECT_EQ((std::vector<uint8_t>{255, 124}), Drawn(grey));

    PixelOverlayModel* rgbw = LoadOne("{\"name\": \"W\", \"startChannel\": 1, \"width\": 2, \"height\": 1, "
                                      "\"channelsPerPixel\": 4}");
    ASSERT_NE(nullptr, rgbw);
    rgbw->setData(rgb);
    EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 255, 150, 50, 0, 50}), Drawn(rgbw));
}

TEST_F(PixelOverlayTest, StatesDecideWhatReplacesTheFrame) {
    PixelOverlayModel* m = LoadOne("{\"name\": \"M\", \"startChannel\": 1, \"width\": 3, \"height\": 1}");
    ASSERT_NE(nullptr, m);
    uint8_t rgb[9] = {0, 0, 0, 9, 0, 7, 0, 0, 0};
    m->setData(rgb);

    EXPECT_EQ(std::vector<uint8_t>(9, 0xEE), Drawn(m, PixelOverlayModel::STATE_DISABLED));
    EXPECT_FALSE(PixelOverlayManager::INSTANCE.hasActiveOverlays());
    EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 9, 0, 7, 0, 0, 0}), Drawn(m, PixelOverlayModel::STATE_ENABLED));
    EXPECT_TRUE(PixelOverlayManager::INSTANCE.hasActiveOverlays());
    // Transparent: a black pixel shows the frame; transparent RGB: each
    // channel at 0 does.
    EXPECT_EQ((std::vector<uint8_t>{0xEE, 0xEE, 0xEE, 9, 0, 7, 0xEE, 0xEE, 0xEE}),
              Drawn(m, PixelOverlayModel::STATE_TRANSPARENT));
    EXPECT_EQ((std::vector<uint8_t>{0xEE, 0xEE, 0xEE, 9, 0xEE, 7, 0xEE, 0xEE, 0xEE}),
              Drawn(m, PixelOverlayModel::STATE_TRANSPARENT_RGB));

    LogCapture log;
    m->setState(7);
    EXPECT_EQ(PixelOverlayModel::STATE_TRANSPARENT_RGB, m->getState());
    EXPECT_TRUE(log.contains("Overlay model M: invalid state 7 (0 to 3)"));
}

TEST_F(PixelOverlayTest, OverlayBufferShowsOnlyWhenFlushed) {
    PixelOverlayModel* m = LoadOne("{\"name\": \"M\", \"startChannel\": 1, \"width\": 2, \"height\": 2}");
    ASSERT_NE(nullptr, m);
    auto rgb = Gradient(2, 2);
    m->setData(rgb.data());

    uint8_t* buf = m->getOverlayBuffer();
    memset(buf, 0x40, 12);
    EXPECT_EQ(rgb, m->getData()) << "drawing in the buffer shows nothing yet";
    m->flushOverlayBuffer();
    EXPECT_EQ(std::vector<uint8_t>(12, 0x40), m->getData());
    EXPECT_EQ(std::vector<uint8_t>(12, 0x40), Drawn(m));

    m->clearOverlayBuffer();
    EXPECT_EQ(std::vector<uint8_t>(12, 0x40), m->getData());
    m->flushOverlayBuffer();
    EXPECT_EQ(std::vector<uint8_t>(12, 0), Drawn(m));

    m->setData(rgb.data());
    m->clear();
    EXPECT_EQ(std::vector<uint8_t>(12, 0), m->getData());
}

TEST_F(PixelOverlayTest, BadRecordsAreSkippedWithAWarningAndTheRestLoad) {
    LogCapture log;
    const char* doc = R"({"models": [
        {"name": "Good", "startChannel": 1, "width": 2, "height": 2},
        "not an object",
        {"startChannel": 1, "width": 2, "height": 2},
        {"name": "Good", "startChannel": 100, "width": 2, "height": 2},
        {"name": "Kind", "type": "hologram", "width": 2, "height": 2},
        {"name": "NoWidth", "startChannel": 1, "height": 2},
        {"name": "Zero", "startChannel": 1, "width": 0, "height": 2},
        {"name": "Text", "startChannel": "one", "width": 2, "height": 2},
        {"name": "Beyond", "startChannel": 8388600, "width": 2, "height": 2},
        {"name": "Cpp", "startChannel": 1, "width": 2, "height": 2, "channelsPerPixel": 2},
        {"name": "Orient", "startChannel": 1, "width": 2, "height": 2, "orientation": "diagonal"},
        {"name": "Corner", "startChannel": 1, "width": 2, "height": 2, "startCorner": "middle"},
        {"name": "Huge", "startChannel": 1, "width": 100000, "height": 100000},
        {"name": "Last", "startChannel": 13, "width": 1, "height": 1}
    ]})";
    EXPECT_TRUE(PixelOverlayManager::INSTANCE.LoadModels(Doc(doc), "models.json"));
    EXPECT_EQ((std::vector<std::string>{"Good", "Last"}), PixelOverlayManager::INSTANCE.getModelNames());

    std::vector<std::string> expected = {
        "Overlay model 2 of models.json skipped: it is not a JSON object",
        "Overlay model 3 of models.json skipped: \"name\" is missing or empty",
        "Overlay model 4 of models.json ('Good') skipped: the name is used by an earlier model",
        "Overlay model 5 of models.json ('Kind') skipped: type 'hologram' is not known to this build",
        "Overlay model 6 of models.json ('NoWidth') skipped: \"width\" is missing",
        "Overlay model 7 of models.json ('Zero') skipped: width and height must be at least 1",
        "Overlay model 8 of models.json ('Text') skipped: \"startChannel\" must be a whole number",
        "Overlay model 9 of models.json ('Beyond') skipped: channels 8388600 to 8388611 are outside 1 to 8388608",
        "Overlay model 10 of models.json ('Cpp') skipped: \"channelsPerPixel\" must be 1, 3 or 4",
        "Overlay model 11 of models.json ('Orient') skipped: \"orientation\" must be",
        "Overlay model 12 of models.json ('Corner') skipped: \"startCorner\" must be TL, TR, BL or BR",
        "Overlay model 13 of models.json ('Huge') skipped: width and height must be at least 1",
    };
    auto warnings = WarningHolder::GetWarnings();
    for (auto& e : expected) {
        EXPECT_TRUE(log.contains(e)) << e;
        bool warned = false;
        for (auto& w : warnings) warned |= w.find(e) == 0;
        EXPECT_TRUE(warned) << e;
    }

    // A clean reload withdraws the warnings.
    PixelOverlayManager::INSTANCE.LoadModels(Doc("{\"models\": []}"), "models.json");
    for (auto& w : WarningHolder::GetWarnings()) EXPECT_EQ(std::string::npos, w.find("Overlay model")) << w;
}

TEST_F(PixelOverlayTest, UnusableFilesLoadNothingAndSaySo) {
    LogCapture log;
    media.write("/config/overlay-models.json", "{ \"models\": [ {\"name\": ");
    PixelOverlayManager::INSTANCE.Initialize();
    EXPECT_TRUE(PixelOverlayManager::INSTANCE.getModelNames().empty());
    std::string path = PixelOverlayManager::ModelsFilePath();
    EXPECT_TRUE(log.contains("Overlay models file " + path + " is not valid JSON; no overlay models loaded"));

    media.write("/config/overlay-models.json", "[ {\"name\": \"A\"} ]");
    PixelOverlayManager::INSTANCE.Initialize();
    EXPECT_TRUE(PixelOverlayManager::INSTANCE.getModelNames().empty());
    EXPECT_TRUE(log.contains("Overlay models file " + path + " must be an object with a \"models\" array"));
}

// A model kind that shows its pixels somewhere else, the way a local
// display does: it reads a key of its own and takes over the flush.
class ElsewhereModel : public PixelOverlayModel {
public:
    ElsewhereModel(const PixelOverlayModelConfig& c, std::string target) : PixelOverlayModel(c), m_target(target) {}
    void flushOverlayBuffer() override {
        shown.assign(getOverlayBuffer(), getOverlayBuffer() + getWidth() * getHeight() * 3);
    }
    bool drawsIntoChannels() const override { return false; }
    void doOverlay(uint8_t*) override {}
    std::string m_target;
    std::vector<uint8_t> shown;
};

TEST_F(PixelOverlayTest, OtherModelKindsPlugInWithTheirOwnKeysAndFlush) {
    PixelOverlayManager::RegisterModelType(
        "elsewhere",
        [](const PixelOverlayModelConfig& c, const Json::Value& record, std::string& error) -> PixelOverlayModel* {
            if (!record["target"].isString()) {
                error = "\"target\" is missing";
                return nullptr;
            }
            return new ElsewhereModel(c, record["target"].asString());
        });
    LogCapture log;
    const char* doc = R"({"models": [
        {"name": "Screen", "type": "elsewhere", "width": 4, "height": 3, "target": "door"},
        {"name": "Broken", "type": "elsewhere", "width": 4, "height": 3}
    ]})";
    PixelOverlayManager::INSTANCE.LoadModels(Doc(doc), "models.json");
    PixelOverlayManager::UnregisterModelType("elsewhere");

    EXPECT_TRUE(log.contains("Overlay model 2 of models.json ('Broken') skipped: \"target\" is missing"));
    auto* screen = dynamic_cast<ElsewhereModel*>(PixelOverlayManager::INSTANCE.getModel("Screen"));
    ASSERT_NE(nullptr, screen);
    EXPECT_EQ("door", screen->m_target);
    EXPECT_EQ("elsewhere", screen->getType());
    EXPECT_EQ(0, screen->getChannelCount()) << "a kind without channels reads no channel keys";

    memset(screen->getOverlayBuffer(), 7, 36);
    screen->flushOverlayBuffer();
    EXPECT_EQ(std::vector<uint8_t>(36, 7), screen->shown);

    screen->setState(PixelOverlayModel::STATE_ENABLED);
    EXPECT_FALSE(PixelOverlayManager::INSTANCE.hasActiveOverlays())
        << "an active model that draws elsewhere does not keep the channel output busy";

    // Unless something draws on it frame by frame: the frames tick it.
    struct Stripes : PixelOverlayDrawer {
        int frames = 0;
        void drawFrame(PixelOverlayModel& m, long long nowUs) override {
            memset(m.getOverlayBuffer(), ++frames, 36);
            m.flushOverlayBuffer();
        }
    };
    EXPECT_EQ(nullptr, screen->setDrawer(std::make_unique<Stripes>()));
    EXPECT_TRUE(PixelOverlayManager::INSTANCE.hasActiveOverlays());
    uint8_t frame[16] = {};
    PixelOverlayManager::INSTANCE.doOverlays(frame);
    PixelOverlayManager::INSTANCE.doOverlays(frame);
    EXPECT_EQ(std::vector<uint8_t>(36, 2), screen->shown);
    EXPECT_EQ(std::vector<uint8_t>(16, 0), std::vector<uint8_t>(frame, frame + 16));
    screen->setState(PixelOverlayModel::STATE_DISABLED);
    EXPECT_FALSE(PixelOverlayManager::INSTANCE.hasActiveOverlays()) << "a drawer on a model that is off waits";
    PixelOverlayManager::INSTANCE.doOverlays(frame);
    EXPECT_EQ(std::vector<uint8_t>(36, 2), screen->shown);
    auto old = screen->setDrawer(nullptr);
    ASSERT_NE(nullptr, old);
    EXPECT_EQ(2, static_cast<Stripes*>(old.get())->frames);
    EXPECT_FALSE(screen->hasDrawer());
}

TEST_F(PixelOverlayTest, ActiveModelReachesTheOutputsWithoutASequence) {
    setKIVmode(MODE_PLAYER);
    SetSetting("alwaysTransmit", 0);
    EnableChannelOutput();
    auto* capture = new CaptureOutput(0, 64);
    AddChannelOutput(capture);
    auto player = std::make_unique<Sequence>();
    sequence = player.get();

    PixelOverlayModel* m = LoadOne("{\"name\": \"M\", \"startChannel\": 9, \"width\": 2, \"height\": 1}");
    ASSERT_NE(nullptr, m);
    uint8_t rgb[6] = {10, 20, 30, 40, 50, 60};
    m->setData(rgb);
    m->setState(PixelOverlayModel::STATE_ENABLED);
    // The main loop starts the output thread when overlays are active.
    ASSERT_TRUE(PixelOverlayManager::INSTANCE.hasActiveOverlays());
    StartChannelOutputThread();

    ASSERT_TRUE(capture->WaitForCount(3, 10000));
    auto frames = capture->Frames();
    auto& last = frames.back().bytes;
    ASSERT_EQ(64u, last.size());
    EXPECT_EQ((std::vector<uint8_t>{10, 20, 30, 40, 50, 60}), std::vector<uint8_t>(last.begin() + 8, last.begin() + 14));
    EXPECT_EQ(std::vector<uint8_t>(8, 0), std::vector<uint8_t>(last.begin(), last.begin() + 8));

    // Switched off with no sequence playing, its channels go dark rather
    // than holding the last picture.
    capture->Clear();
    m->setState(PixelOverlayModel::STATE_DISABLED);
    ASSERT_TRUE(capture->WaitForCount(1, 10000));
    ASSERT_TRUE(waitUntil([&] { return !PixelOverlayManager::INSTANCE.hasActiveOverlays(); }, 5000));
    ASSERT_TRUE(waitUntil(
        [&] {
            auto f = capture->Frames();
            return !f.empty() && f.back().bytes == std::vector<uint8_t>(64, 0);
        },
        5000));
    EXPECT_EQ(0, StopChannelOutputThread());
    player.reset();
    sequence = nullptr;
    CloseChannelOutputs();
}

}  // namespace
