// The overlay commands on loaded models: states by name, fill and clear,
// text, effects that draw on every frame and give back what showed before
// them, the report of what draws on each model, the documented examples,
// and bad input that is refused in one line with nothing changed.

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "TestSupport.h"
#include "channeloutput/channeloutputthread.h"
#include "commands/Commands.h"
#include "commands/OverlayCommands.h"
#include "common.h"
#include "overlays/OverlayDrawing.h"
#include "services/PixelOverlay.h"

namespace {

typedef std::vector<uint8_t> Bytes;

class OverlayDrawingTest : public ::testing::Test {
protected:
    void SetUp() override {
        static bool registered = false;
        if (!registered) RegisterOverlayCommands();
        registered = true;
        Json::Value doc;
        ASSERT_TRUE(LoadJsonFromString(R"({"models": [
            {"name": "Matrix", "startChannel": 1, "width": 8, "height": 2},
            {"name": "Roof", "startChannel": 49, "width": 10, "height": 1}]})", doc));
        PixelOverlayManager::INSTANCE.LoadModels(doc, "test");
        matrix = PixelOverlayManager::INSTANCE.getModel("Matrix");
        roof = PixelOverlayManager::INSTANCE.getModel("Roof");
        ASSERT_TRUE(matrix && roof);
        LightDelay = 25000;
    }
    void TearDown() override { PixelOverlayManager::INSTANCE.Cleanup(); }

    std::string Run(const std::vector<std::string>& args, bool* error = nullptr) {
        auto r = CommandManager::INSTANCE.run(args[0], std::vector<std::string>(args.begin() + 1, args.end()));
        if (error) *error = r->isError();
        return r->get();
    }
    std::string Ok(const std::vector<std::string>& args) {
        bool error = true;
        std::string out = Run(args, &error);
        EXPECT_FALSE(error) << args[0] << ": " << out;
        return out;
    }
    // One frame of 80 channels (all 0xEE beneath) after the overlays.
    Bytes Frame() {
        Bytes f(80, 0xEE);
        PixelOverlayManager::INSTANCE.doOverlays(f.data());
        return f;
    }
    Json::Value Report(const std::string& name) {
        Json::Value all = LoadJsonFromString(Ok({"Get Overlay Models"}));
        for (auto& m : all) {
            if (m["name"] == name) return m;
        }
        return Json::Value();
    }
    static Bytes Solid(size_t pixels, uint8_t r, uint8_t g, uint8_t b) {
        Bytes out;
        for (size_t i = 0; i < pixels; ++i) out.insert(out.end(), {r, g, b});
        return out;
    }

    kivtest::TempMediaDir media;
    PixelOverlayModel* matrix = nullptr;
    PixelOverlayModel* roof = nullptr;
};

TEST_F(OverlayDrawingTest, StatesFillAndClearByCommand) {
    const std::pair<const char*, int> states[] = {{"On", 1}, {"off", 0}, {"Transparent", 2}, {"transparent rgb", 3},
                                                  {"TransparentRGB", 3}, {"0", 0}, {"2", 2}, {"1", 1}};
    for (auto& s : states) {
        EXPECT_EQ(std::string("Overlay model Matrix is ") + OverlayDrawing::StateName(s.second),
                  Ok({"Overlay Model State", "Matrix", s.first}));
        EXPECT_EQ(s.second, matrix->getState()) << s.first;
    }

    // A fill switches a model that is off on, and shows at once.
    EXPECT_EQ(0, roof->getState());
    EXPECT_EQ("Overlay model Roof filled with #102030", Ok({"Overlay Model Fill", "Roof", "#102030"}));
    EXPECT_EQ(1, roof->getState());
    Bytes f = Frame();
    EXPECT_EQ(Solid(10, 0x10, 0x20, 0x30), Bytes(f.begin() + 48, f.begin() + 78));
    EXPECT_EQ("Fill #102030", Report("Roof")["drawing"].asString());

    // Clear leaves the state; transparent, black lets the frame through.
    Ok({"Overlay Model State", "Roof", "Transparent"});
    EXPECT_EQ("Overlay model Roof cleared", Ok({"Overlay Model Clear", "Roof"}));
    EXPECT_EQ(2, roof->getState());
    f = Frame();
    EXPECT_EQ(Bytes(30, 0xEE), Bytes(f.begin() + 48, f.begin() + 78));
    EXPECT_TRUE(Report("Roof")["drawing"].isNull());

    // Someone else drawing since: the report no longer claims the fill.
    Ok({"Overlay Model Fill", "Matrix", "red"});
    Bytes blue = Solid(16, 0, 0, 255);
    matrix->setData(blue.data());
    Json::Value m = Report("Matrix");
    EXPECT_TRUE(m["drawing"].isNull()) << m;
    EXPECT_EQ(1, m["startChannel"].asInt());
    EXPECT_EQ(48, m["channelCount"].asInt());
    EXPECT_EQ("On", m["stateName"].asString());
}

TEST_F(OverlayDrawingTest, EffectsDrawEveryFrameAndGiveBackWhatShowedBefore) {
    Ok({"Overlay Model Fill", "Matrix", "#102030"});
    Ok({"Overlay Model State", "Matrix", "Transparent"});
    EXPECT_EQ("Overlay model Matrix: effect Bars started",
              Ok({"Overlay Model Effect", "Matrix", "Bars", "colours=red,green", "size=4", "speed=0"}));
    EXPECT_TRUE(matrix->hasDrawer());
    Bytes f = Frame();
    Bytes row = Solid(4, 255, 0, 0);
    Bytes green = Solid(4, 0, 255, 0);
    row.insert(row.end(), green.begin(), green.end());
    EXPECT_EQ(row, Bytes(f.begin(), f.begin() + 24));
    EXPECT_EQ(row, Bytes(f.begin() + 24, f.begin() + 48));
    EXPECT_EQ(2, matrix->getState()) << "a model that is on keeps its state";
    Json::Value m = Report("Matrix");
    EXPECT_EQ("Bars", m["effect"]["name"].asString()) << m;
    EXPECT_EQ("#FF0000", m["effect"]["parameters"]["colours"][0].asString()) << m;
    EXPECT_EQ(4, m["effect"]["parameters"]["size"].asInt()) << m;
    EXPECT_TRUE(m["drawing"].isNull());

    // Another effect takes its place; stopping gives back the fill of
    // before the first.
    Ok({"Overlay Model Effect", "Matrix", "Rainbow", "speed=0", "size=8"});
    f = Frame();
    EXPECT_EQ((Bytes{255, 0, 0}), Bytes(f.begin(), f.begin() + 3));
    EXPECT_EQ((Bytes{0, 255, 255}), Bytes(f.begin() + 12, f.begin() + 15));
    EXPECT_EQ("Overlay model Matrix: effect stopped", Ok({"Overlay Model Effect", "Matrix", "Stop"}));
    EXPECT_FALSE(matrix->hasDrawer());
    EXPECT_EQ(Solid(16, 0x10, 0x20, 0x30), matrix->getData());
    EXPECT_EQ(2, matrix->getState());
    m = Report("Matrix");
    EXPECT_TRUE(m["effect"].isNull());
    EXPECT_EQ("Fill #102030", m["drawing"].asString()) << m;

    // On a model that was off, the effect switches it on, and off again.
    Ok({"Overlay Model Effect", "Roof", "Chase", "size=1", "gap=4", "speed=0"});
    EXPECT_EQ(1, roof->getState());
    EXPECT_TRUE(PixelOverlayManager::INSTANCE.hasActiveOverlays());
    f = Frame();
    EXPECT_EQ((Bytes{255, 255, 255, 0, 0, 0}), Bytes(f.begin() + 48, f.begin() + 54));
    EXPECT_EQ((Bytes{255, 255, 255}), Bytes(f.begin() + 63, f.begin() + 66));
    // A fill stops the effect too.
    Ok({"Overlay Model Fill", "Roof", "blue"});
    EXPECT_FALSE(roof->hasDrawer());
    EXPECT_EQ(Solid(10, 0, 0, 255), roof->getData());
    EXPECT_EQ(1, roof->getState()) << "off again when the effect stopped, on for the fill";
    Ok({"Overlay Model Effect", "Roof", "Twinkle"});
    Ok({"Overlay Model Clear", "Roof"});
    EXPECT_EQ(1, roof->getState());
    Ok({"Overlay Model State", "Roof", "Off"});
    Ok({"Overlay Model Effect", "Roof", "Twinkle"});
    Ok({"Overlay Model Effect", "Roof", "stop"});
    EXPECT_EQ(0, roof->getState());
}

TEST_F(OverlayDrawingTest, AnOpaqueEffectPaintedIntoTheFrameLeavesTheModelItsPicture) {
    // On, in channel order: the effect paints the frame's channels itself.
    Ok({"Overlay Model Effect", "Roof", "Chase", "size=1", "gap=4", "speed=40"});
    Bytes f = Frame();
    Bytes painted(f.begin() + 48, f.begin() + 78);
    EXPECT_EQ(6, std::count(painted.begin(), painted.end(), 255)) << "two of ten pixels lit, white";
    EXPECT_TRUE(roof->pictureBehind());
    unsigned long long change = roof->getChangeNumber();
    EXPECT_EQ(painted, roof->getData()) << "asked for, the model's picture is the one in the frame";
    EXPECT_FALSE(roof->pictureBehind());
    EXPECT_EQ(change, roof->getChangeNumber()) << "catching up is not a new picture";

    // A standing effect turned transparent is laid over from the model's
    // picture, which must be the effect's and not what was there before.
    Ok({"Overlay Model Effect", "Roof", "Chase", "size=1", "gap=4", "speed=0", "colour=blue"});
    Frame();
    EXPECT_TRUE(roof->pictureBehind());
    Ok({"Overlay Model State", "Roof", "Transparent"});
    f = Frame();
    Bytes lit = {0, 0, 255}, beneath = {0xEE, 0xEE, 0xEE};
    for (int px = 0; px < 10; ++px) {
        EXPECT_EQ(px % 5 == 0 ? lit : beneath, Bytes(f.begin() + 48 + 3 * px, f.begin() + 51 + 3 * px)) << px;
    }
    // Stopped, the model shows what it showed before the first effect.
    Ok({"Overlay Model Effect", "Roof", "Stop"});
    EXPECT_EQ(Bytes(30, 0), roof->getData());
}

TEST_F(OverlayDrawingTest, TextStaysOrScrolls) {
    Ok({"Overlay Model Fill", "Matrix", "blue"});
    EXPECT_EQ("Overlay model Matrix shows the text", Ok({"Overlay Model Text", "Matrix", "I", "red", "", "", "0,-2"}));
    EXPECT_FALSE(matrix->hasDrawer());
    Bytes pic = matrix->getData();
    int red = 0, blue = 0;
    for (size_t i = 0; i < pic.size(); i += 3) {
        red += pic[i] > 0;
        blue += pic[i + 2] == 255;
    }
    EXPECT_GT(red, 0) << "the text is over the fill";
    EXPECT_GT(blue, 0);
    EXPECT_EQ("Text 'I'", Report("Matrix")["drawing"].asString());

    Ok({"Overlay Model Text", "Matrix", "HELLO WORLD", "white", "DejaVu Sans Mono", "8", "Center", "Left", "20"});
    Json::Value m = Report("Matrix");
    EXPECT_EQ("Text", m["effect"]["name"].asString()) << m;
    EXPECT_EQ("HELLO WORLD", m["effect"]["parameters"]["text"].asString());
    EXPECT_EQ("DejaVu Sans Mono", m["effect"]["parameters"]["font"].asString());
    EXPECT_EQ("Left", m["effect"]["parameters"]["direction"].asString());
    EXPECT_EQ(20, m["effect"]["parameters"]["speed"].asInt());
    // It enters at the right edge: the first frame shows the fill and the
    // red I beneath.
    Bytes f = Frame();
    EXPECT_EQ(pic, Bytes(f.begin(), f.begin() + 48));
    Ok({"Overlay Model Effect", "Matrix", "Stop"});
    EXPECT_EQ(pic, matrix->getData());
}

TEST_F(OverlayDrawingTest, BadInputIsRefusedInOneLineAndChangesNothing) {
    Ok({"Overlay Model Effect", "Matrix", "Rainbow", "speed=5"});
    Ok({"Overlay Model Fill", "Roof", "green"});
    Ok({"Overlay Model State", "Roof", "Transparent RGB"});
    Json::Value before = LoadJsonFromString(Ok({"Get Overlay Models"}));
    const std::string models = "(models: Matrix, Roof)";
    struct Case {
        std::vector<std::string> args;
        std::string error;  // the start of the message
    };
    const Case cases[] = {
        {{"Overlay Model Fill", "Nope", "red"}, "Overlay model 'Nope' not found " + models},
        {{"Overlay Model State", "Nope", "On"}, "Overlay model 'Nope' not found " + models},
        {{"Overlay Model Clear", "Nope"}, "Overlay model 'Nope' not found " + models},
        {{"Overlay Model Text", "Nope", "Hi"}, "Overlay model 'Nope' not found " + models},
        {{"Overlay Model Effect", "Nope", "Chase"}, "Overlay model 'Nope' not found " + models},
        {{"Overlay Model Fill", "", "red"}, "Overlay Model Fill needs the name of an overlay model"},
        {{"Overlay Model Text", "Matrix"}, "Overlay Model Text needs a model and the text"},
        {{"Overlay Model Fill", "Roof", "blurple"}, "Overlay model Roof: unknown colour 'blurple': use #RRGGBB or"},
        {{"Overlay Model Text", "Matrix", "Hi", "#12"}, "Overlay model Matrix: Text: colour: unknown colour '#12'"},
        {{"Overlay Model Effect", "Roof", "Chase", "colour=blurple"},
         "Overlay model Roof: Chase: colour: unknown colour 'blurple'"},
        {{"Overlay Model Text", "Roof", "Hi", "", "Comic Sans"},
         "Overlay model Roof: Text: unknown font 'Comic Sans': no font file of that name in " + media.path() +
             "/fonts, /usr/local/share/fonts, /usr/share/fonts"},
        {{"Overlay Model Text", "Roof", std::string(10000, 'x')},
         "Overlay model Roof: Text: the text has 10000 characters, more than 1000"},
        {{"Overlay Model Text", "Roof", "Hi", "", "", "", "", "Left", "-5"},
         "Overlay model Roof: Text: speed must be a number from 1 to 1000 (pixels per second), found '-5'"},
        {{"Overlay Model Text", "Roof", "Hi", "", "", "", "", "Left", "99999999"},
         "Overlay model Roof: Text: speed must be a number from 1 to 1000 (pixels per second), found '99999999'"},
        {{"Overlay Model Effect", "Matrix", "Bars", "speed=-1"},
         "Overlay model Matrix: Bars: speed must be a number from 0 to 1000"},
        {{"Overlay Model Effect", "Matrix", "Glitter"}, "Overlay model Matrix: unknown effect 'Glitter' (effects: "},
        {{"Overlay Model State", "Roof", "Half"},
         "Overlay model Roof: unknown state 'Half' (Off, On, Transparent, Transparent RGB or 0 to 3)"},
        {{"Overlay Model State", "Roof", "4"}, "Overlay model Roof: unknown state '4'"},
        {{"Overlay Model Effect", "Roof", "Stop"}, "Overlay model Roof has no effect running"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        bool error = false;
        std::string out = Run(c.args, &error);
        EXPECT_TRUE(error);
        EXPECT_EQ(c.error, out.substr(0, c.error.size()));
        EXPECT_EQ(std::string::npos, out.find('\n'));
    }
    Json::Value after = LoadJsonFromString(Ok({"Get Overlay Models"}));
    for (auto* r : {&before, &after}) (*r)[0]["effect"]["seconds"] = 0;
    EXPECT_EQ(before, after);
    EXPECT_EQ("Rainbow", after[0]["effect"]["name"].asString());
    EXPECT_EQ(Solid(10, 0, 255, 0), roof->getData());
}

TEST_F(OverlayDrawingTest, TheDocumentedExamplesRun) {
    // Every command of the example presets, against the example models.
    Json::Value models, presets;
    ASSERT_TRUE(LoadJsonFromFile(kivtest::sourceDir() + "/docs/examples/overlay-models.json", models));
    ASSERT_TRUE(LoadJsonFromFile(kivtest::sourceDir() + "/docs/examples/commandPresets-overlays.json", presets));
    PixelOverlayManager::INSTANCE.LoadModels(models, "example");
    ASSERT_GE(presets["commands"].size(), 8u);
    std::set<std::string> used;
    for (auto& c : presets["commands"]) {
        SCOPED_TRACE(SaveJsonToString(c));
        auto r = CommandManager::INSTANCE.run(c);
        EXPECT_FALSE(r->isError()) << r->get();
        used.insert(c["command"].asString());
        if (c["command"] == "Overlay Model Effect" && c["args"][1] != "Stop") used.insert(c["args"][1].asString());
    }
    for (const char* name : {"Overlay Model State", "Overlay Model Fill", "Overlay Model Clear", "Overlay Model Text",
                             "Overlay Model Effect", "Colour Wash", "Chase", "Bars", "Twinkle", "Rainbow", "Text"}) {
        EXPECT_TRUE(used.count(name)) << name << " has no example";
    }
}

}  // namespace
