// The generated effects and text of overlay models as pictures: what each
// effect draws at given times, how text is placed, scrolls and wraps, and
// the one-line refusals of bad parameters. Text against a reference drawn
// by another path is checked end to end (tests/kivd/OverlayEndToEndTest).

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "TestSupport.h"
#include "common.h"
#include "overlays/Colour.h"
#include "overlays/ModelEffects.h"
#include "overlays/TextRenderer.h"

namespace {

typedef std::vector<uint8_t> Bytes;

// A picture as one letter per pixel, rows separated by '|': K black, R G B,
// Y yellow, C cyan, M magenta, W white, '?' anything else.
std::string Letters(const Bytes& rgb, int w) {
    static const struct { char letter; uint8_t r, g, b; } known[] = {
        {'K', 0, 0, 0},       {'R', 255, 0, 0},   {'G', 0, 255, 0},     {'B', 0, 0, 255},
        {'Y', 255, 255, 0},   {'C', 0, 255, 255}, {'M', 255, 0, 255},   {'W', 255, 255, 255}};
    std::string out;
    for (size_t p = 0; p < rgb.size() / 3; ++p) {
        if (p && p % w == 0) out += '|';
        char c = '?';
        for (auto& k : known) {
            if (rgb[p * 3] == k.r && rgb[p * 3 + 1] == k.g && rgb[p * 3 + 2] == k.b) c = k.letter;
        }
        out += c;
    }
    return out;
}

Bytes Draw(ModelEffect& e, int w, int h, long long us, const Bytes& before = {}) {
    Bytes under = before.empty() ? Bytes((size_t)w * h * 3, 0) : before;
    Bytes out((size_t)w * h * 3, 0x55);
    e.draw(out.data(), under.data(), us);
    return out;
}

std::unique_ptr<ModelEffect> Make(const std::string& name, const std::vector<std::string>& params, int w, int h) {
    std::string error;
    auto e = CreateModelEffect(name, params, w, h, error);
    EXPECT_TRUE(e) << error;
    return e;
}

TEST(ModelEffectsTest, EffectsDrawTheirPictureForAnyTime) {
    struct Case {
        const char* effect;
        std::vector<std::string> params;
        int w, h;
        long long us;
        std::string picture;
    };
    const Case cases[] = {
        {"Colour Wash", {"colours=red,blue", "seconds=2"}, 2, 1, 0, "RR"},
        {"Colour Wash", {"colours=red,blue", "seconds=2"}, 2, 1, 2000000, "BB"},
        {"Colour Wash", {"colours=red,blue", "seconds=2"}, 2, 1, 4000000, "RR"},
        {"Chase", {"size=2", "gap=3", "speed=10"}, 10, 1, 0, "WWKKKWWKKK"},
        {"Chase", {"size=2", "gap=3", "speed=10"}, 10, 1, 100000, "KWWKKKWWKK"},
        {"Chase", {"size=2", "gap=3", "speed=10"}, 10, 1, 199999, "KWWKKKWWKK"},
        {"Chase", {"size=2", "gap=3", "speed=10", "direction=Backward"}, 10, 1, 100000, "WKKKWWKKKW"},
        // Along the pixels in reading order, on to the next row.
        {"chase", {"colour=red", "background=blue", "size=1", "gap=3", "speed=20"}, 2, 2, 150000, "BB|BR"},
        {"Bars", {"colours=red,green", "size=2", "speed=10"}, 6, 2, 0, "RRGGRR|RRGGRR"},
        {"Bars", {"colours=red,green", "size=2", "speed=10"}, 6, 2, 100000, "GRRGGR|GRRGGR"},
        {"Bars", {"colours=red,green", "size=2", "speed=10", "direction=Left"}, 6, 1, 100000, "RGGRRG"},
        {"Bars", {"colors=red,green", "size=1", "speed=10", "direction=Down"}, 2, 3, 100000, "GG|RR|GG"},
        {"Rainbow", {"size=6", "speed=0"}, 6, 1, 5000000, "RYGCBM"},
        {"Rainbow", {"size=6", "speed=10"}, 6, 1, 100000, "YGCBMR"},
        {"Rainbow", {"speed=10", "direction=Up"}, 1, 3, 0, "R|G|B"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.effect) + " at " + std::to_string(c.us) + " us");
        auto e = Make(c.effect, c.params, c.w, c.h);
        ASSERT_TRUE(e);
        EXPECT_EQ(c.picture, Letters(Draw(*e, c.w, c.h, c.us), c.w));
    }
    // Half-way between two colours of a wash.
    auto wash = Make("Color Wash", {"colours=red,#0000FF", "seconds=2"}, 1, 1);
    EXPECT_EQ((Bytes{128, 0, 127}), Draw(*wash, 1, 1, 1000000));
    EXPECT_EQ("Colour Wash", wash->name());
    EXPECT_EQ("#0000FF", wash->parameters()["colours"][1].asString());
}

TEST(ModelEffectsTest, TwinklesLightTheirShareOfPixelsAndRiseAndFall) {
    const int w = 100, h = 100;
    auto e = Make("Twinkle", {"colour=#FF8000", "density=20", "seconds=1"}, w, h);
    ASSERT_TRUE(e);
    for (long long us : {0LL, 730000LL, 5100000LL}) {
        SCOPED_TRACE(us);
        Bytes a = Draw(*e, w, h, us);
        EXPECT_EQ(a, Draw(*e, w, h, us)) << "the same time draws the same picture";
        int lit = 0;
        for (size_t p = 0; p < a.size(); p += 3) {
            // On the way from black to the colour, nothing else.
            EXPECT_EQ(0, a[p + 2]);
            EXPECT_NEAR(a[p] / 2.0, a[p + 1], 1.0);
            lit += a[p] > 0;
        }
        EXPECT_NEAR(0.2, lit / (double)(w * h), 0.03);
    }
    // A pixel at its brightest half-way through its twinkle is dark a
    // moment before and after it.
    Bytes mid = Draw(*e, w, h, 2000000);
    size_t p = 0;
    while (p < mid.size() && mid[p] < 200) p += 3;
    ASSERT_LT(p, mid.size());
    long long t = 2000000;
    while (Draw(*e, w, h, t)[p] > 0) t -= 10000;
    long long start = t;
    t = 2000000;
    while (Draw(*e, w, h, t)[p] > 0) t += 10000;
    EXPECT_NEAR(1000000, t - start, 30000);
}

class TextEffectTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(FindFont("DejaVu Sans", font, error)) << error;
        ASSERT_TRUE(RenderText(font, 12, "HELLO", hello, error)) << error;
    }
    kivtest::TempMediaDir media;
    std::string font;
    TextBitmap hello;
};

TEST_F(TextEffectTest, TextIsPlacedCentredOrAtItsPositionOverWhatIsThere) {
    const int w = 64, h = 16;
    EXPECT_EQ(15, hello.height);
    EXPECT_EQ(12, hello.baseline);
    // Placed at x, y: the bitmap's coverage in the colour over the picture,
    // a blue one or a black one (drawn another way, the same bytes).
    for (int beneath : {255, 0}) {
        SCOPED_TRACE(beneath ? "over blue" : "over black");
        Bytes blue((size_t)w * h * 3);
        for (size_t i = 2; i < blue.size(); i += 3) blue[i] = (uint8_t)beneath;
        auto at = Make("Text", {"text=HELLO", "size=12", "position=5,1", "colour=red"}, w, h);
        ASSERT_TRUE(at);
        Bytes pic = Draw(*at, w, h, 0, blue);
        int full = 0;
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const uint8_t* p = &pic[((size_t)y * w + x) * 3];
                int bx = x - 5, by = y - 1;
                int a = bx >= 0 && by >= 0 && bx < hello.width && by < hello.height ? hello.coverage[by * hello.width + bx]
                                                                                      : 0;
                ASSERT_EQ((255 * a + 127) / 255, p[0]) << x << "," << y;
                ASSERT_EQ((beneath * (255 - a) + 127) / 255, p[2]) << x << "," << y;
                full += a == 255;
            }
        }
        EXPECT_GT(full, 20);
    }

    // Centred, the default; size 0 (the default) fits the model's height.
    auto centred = Make("Text", {"text=HELLO", "size=12"}, w, h);
    auto placed = Make("Text", {"text=HELLO", "size=12",
                                "position=" + std::to_string((w - hello.width) / 2) + "," +
                                    std::to_string((h - hello.height) / 2)}, w, h);
    EXPECT_EQ(Draw(*placed, w, h, 0), Draw(*centred, w, h, 0));
    auto fitted = Make("Text", {"text=HELLO"}, w, h);
    EXPECT_EQ(12, fitted->parameters()["size"].asInt());
    TextBitmap big;
    std::string error;
    ASSERT_TRUE(RenderText(font, FittingFontSize(font, h), "HELLO", big, error));
    EXPECT_LE(big.height, h);
    TextBitmap bigger;
    ASSERT_TRUE(RenderText(font, FittingFontSize(font, h) + 1, "HELLO", bigger, error));
    EXPECT_GT(bigger.height, h);
    EXPECT_FALSE(fitted->moves());
}

TEST_F(TextEffectTest, ScrollingTextMovesBySpeedTimesElapsedAndComesRound) {
    const int w = 64, h = 16;
    const int round = w + hello.width;  // pixels from entering to entering again
    struct Case {
        const char* direction;
        long long us;
        int x, y;  // where the text's box is then
    };
    // 40 pixels per second.
    const Case cases[] = {
        {"Left", 0, 64, 0},
        {"Left", 50000, 62, 0},
        {"Left", 74999, 62, 0},
        {"Left", 1000000, 24, 0},
        {"Left", round * 25000LL, 64, 0},
        {"Left", round * 25000LL + 500000, 44, 0},
        {"Right", 50000, -hello.width + 2, 0},
        {"Up", 100000, (w - hello.width) / 2, 12},
        {"Down", 100000, (w - hello.width) / 2, -hello.height + 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.direction) + " at " + std::to_string(c.us) + " us");
        auto scroll = Make("Text", {"text=HELLO", "size=12", "speed=40", "direction=" + std::string(c.direction)}, w, h);
        auto still = Make("Text", {"text=HELLO", "size=12", "position=" + std::to_string(c.x) + "," + std::to_string(c.y)},
                          w, h);
        ASSERT_TRUE(scroll && still);
        EXPECT_TRUE(scroll->moves());
        EXPECT_EQ(Draw(*still, w, h, 0), Draw(*scroll, w, h, c.us));
    }
    // A position's other coordinate holds while it scrolls.
    auto low = Make("Text", {"text=HELLO", "size=12", "speed=40", "direction=Left", "position=0,3"}, w, h);
    auto lowStill = Make("Text", {"text=HELLO", "size=12", "position=24,3"}, w, h);
    EXPECT_EQ(Draw(*lowStill, w, h, 0), Draw(*low, w, h, 1000000));
}

TEST_F(TextEffectTest, FontsAreFoundByNameInTheFontFolders) {
    std::string path, error;
    EXPECT_TRUE(FindFont("dejavu-sans bold", path, error)) << error;
    EXPECT_EQ("DejaVuSans-Bold.ttf", path.substr(path.rfind('/') + 1));
    EXPECT_TRUE(FindFont("DejaVuSans.ttf", path, error)) << error;
    EXPECT_EQ(font, path);

    // A font of the show's own.
    mkdir(media.file("/fonts").c_str(), 0775);
    ASSERT_TRUE(CopyFileContents(font, media.file("/fonts/Show Font.ttf")));
    ASSERT_TRUE(FindFont("ShowFont", path, error)) << error;
    EXPECT_EQ(media.file("/fonts/Show Font.ttf"), path);
    auto names = FontNames();
    EXPECT_NE(names.end(), std::find(names.begin(), names.end(), "Show Font"));
    EXPECT_NE(names.end(), std::find(names.begin(), names.end(), "DejaVuSans"));

    // Characters beyond ASCII, and bytes that are not UTF-8, still show.
    TextBitmap accented, broken;
    ASSERT_TRUE(RenderText(font, 12, "\xC3\x84\xE2\x82\xAC", accented, error)) << error;
    ASSERT_TRUE(RenderText(font, 12, "A\xFF", broken, error)) << error;
    EXPECT_GT(accented.width, 10);
    EXPECT_GT(broken.width, 10);
}

TEST(ModelEffectsTest, BadParametersAreRefusedWithOneLineNamingThem) {
    kivtest::TempMediaDir media;
    const std::string fontDirs = media.path() + "/fonts, /usr/local/share/fonts, /usr/share/fonts";
    struct Case {
        const char* effect;
        std::vector<std::string> params;
        std::string error;  // the start of the message
    };
    const Case cases[] = {
        {"Sparkle", {}, "unknown effect 'Sparkle' (effects: Colour Wash, Chase, Bars, Twinkle, Rainbow, Text)"},
        {"Chase", {"speed=-5"}, "Chase: speed must be a number from 0 to 1000 (pixels per second), found '-5'"},
        {"Bars", {"speed=1e9"}, "Bars: speed must be a number from 0 to 1000 (pixels per second), found '1e9'"},
        {"Rainbow", {"speed=fast"}, "Rainbow: speed must be a number from 0 to 1000 (pixels per second), found 'fast'"},
        {"Text", {"text=Hi", "direction=Left", "speed=0"},
         "Text: speed must be a number from 1 to 1000 (pixels per second), found '0'"},
        {"Bars", {"colours=red,blurple"}, "Bars: colours: unknown colour 'blurple': use #RRGGBB or a colour name (black, "},
        {"Chase", {"colour=#12345"}, "Chase: colour: unknown colour '#12345'"},
        {"Chase", {"sped=3"}, "Chase: unknown parameter 'sped' (parameters: colour background size gap speed direction)"},
        {"Chase", {"fast"}, "Chase: parameter 'fast' is not key=value"},
        {"Rainbow", {"direction=sideways"}, "Rainbow: direction must be Left, Right, Up or Down, found 'sideways'"},
        {"Twinkle", {"density=0"}, "Twinkle: density must be a number from 1 to 100 (percent of the pixels lit at a time)"},
        {"Colour Wash", {"seconds=0"}, "Colour Wash: seconds must be a number from 0.1 to 3600"},
        {"Text", {}, "Text: text is missing (text=...)"},
        {"Text", {"text="}, "Text: text is empty"},
        {"Text", {"text=Hi", "font=Comic Sans"},
         "Text: unknown font 'Comic Sans': no font file of that name in " + fontDirs + " (found: DejaVu"},
        {"Text", {"text=" + std::string(10000, 'A')}, "Text: the text has 10000 characters, more than 1000"},
        {"Text", {"text=Hi", "size=2"}, "Text: font size 2 is outside 4 to 256"},
        {"Text", {"text=Hi", "size=1000"}, "Text: size must be a number from 0 to 256"},
        {"Text", {"text=Hi", "position=3"}, "Text: position must be Center or X,Y (whole pixels from the top-left "
                                            "corner), found '3'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        std::string error;
        EXPECT_FALSE(CreateModelEffect(c.effect, c.params, 16, 8, error));
        EXPECT_EQ(c.error, error.substr(0, c.error.size()));
        EXPECT_EQ(std::string::npos, error.find('\n'));
        EXPECT_LT(error.size(), 400u);
    }
}

TEST(ModelEffectsTest, ColoursAreHexOrNamesAndNothingElse) {
    struct Case {
        const char* text;
        bool ok;
        Colour colour;
    };
    const Case cases[] = {
        {"#FF8000", true, {255, 128, 0}}, {"#ff8000", true, {255, 128, 0}}, {"Red", true, {255, 0, 0}},
        {"warm white", true, {255, 180, 100}}, {"Warm-White", true, {255, 180, 100}}, {"FF8000", false, {}},
        {"#FF800", false, {}}, {"#GG0000", false, {}}, {"", false, {}}, {"redish", false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Colour got;
        std::string error;
        EXPECT_EQ(c.ok, ParseColour(c.text, got, error)) << error;
        if (c.ok) {
            EXPECT_EQ(c.colour, got);
        }
    }
    std::vector<Colour> list;
    std::string error;
    EXPECT_TRUE(ParseColours("red, #00FF00 ,blue", list, error)) << error;
    EXPECT_EQ(3u, list.size());
    std::string many = "red";
    for (int i = 0; i < 64; ++i) many += ",red";
    EXPECT_FALSE(ParseColours(many, list, error));
    EXPECT_EQ("more than 64 colours", error);
    EXPECT_EQ("#0A0B0C", ColourText({10, 11, 12}));
}

}  // namespace
