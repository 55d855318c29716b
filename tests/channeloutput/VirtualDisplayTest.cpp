// The virtual display base: pixel map files (the documented example, every
// reason a map is refused), the colour each kind of pixel shows, the flip
// of rows, the channel ranges read and the display buffer.

#include "channeloutput/VirtualDisplay.h"

#include <gtest/gtest.h>

#include <tuple>

#include "TestSupport.h"
#include "common.h"
#include "log.h"

namespace {

class MapOnlyOutput : public VirtualDisplayBaseOutput {
public:
    MapOnlyOutput(unsigned start, unsigned count) : VirtualDisplayBaseOutput(start, count) {}
    int SendData(unsigned char*) override { return 0; }
    void SetBuffer(int bytes, int bits) {
        m_bytesPerPixel = bytes;
        m_bitsPerPixel = bits;
    }
};

struct Rgb {
    int r, g, b;
    bool operator==(const Rgb& o) const { return r == o.r && g == o.g && b == o.b; }
};
std::ostream& operator<<(std::ostream& os, const Rgb& c) { return os << "(" << c.r << "," << c.g << "," << c.b << ")"; }

Rgb colourOf(const VirtualDisplayPixel& p, const unsigned char* data) {
    uint8_t r, g, b;
    VirtualDisplayPixelColour(p, data, r, g, b);
    return {r, g, b};
}

}  // namespace

TEST(VirtualDisplayMap, LoadsTheDocumentedExample) {
    MapOnlyOutput out(0, 2048);
    std::string text = GetFileContents(kivtest::sourceDir() + "/docs/examples/virtualdisplaymap");
    ASSERT_FALSE(text.empty());
    ASSERT_TRUE(out.LoadPixelMap(text, "example")) << out.LastMapError();
    EXPECT_EQ(out.Width(), 40);
    EXPECT_EQ(out.Height(), 12);
    EXPECT_EQ(out.VerticalReference(), 11);
    ASSERT_EQ(out.Pixels().size(), 8u);
    const VirtualDisplayPixel& first = out.Pixels()[0];
    EXPECT_EQ(first.x, 0);
    EXPECT_EQ(first.y, 11);
    EXPECT_EQ(first.channel, 0u);
    EXPECT_EQ(first.channelsPerPixel, 3);
    EXPECT_EQ(first.order, VirtualDisplayPixel::RGB);
    EXPECT_EQ(out.FlippedY(first), 0);
    EXPECT_EQ(first.r, 0u);  // top-left point of the buffer
    const VirtualDisplayPixel& fixed = out.Pixels().back();
    EXPECT_TRUE(fixed.fixed);
    EXPECT_EQ(fixed.fixedColour[0], 0x40);
    EXPECT_EQ(fixed.fixedColour[1], 0x40);
    EXPECT_EQ(fixed.fixedColour[2], 0x40);
    EXPECT_EQ(out.DisplayBuffer().size(), 40u * 12 * 3);
}

TEST(VirtualDisplayMap, RefusesMapsThatDoNotFitWithTheReason) {
    const std::string head = "width = 10\nheight = 5\n";
    // Output channels 101-160.
    std::vector<std::pair<std::string, std::string>> cases = {
        {head + "0,0,99,3,RGB\n", "line 3: channels 99-101 are outside this output's channels 101-160"},
        {head + "0,0,159,3,RGB\n", "line 3: channels 159-161 are outside this output's channels 101-160"},
        {head + "0,0,0,1,W\n", "line 3: channels 0-0 are outside"},
        {head + "-1,0,101,3,RGB\n", "line 3: x and y must not be negative"},
        {head + "0,-4,101,3,RGB\n", "line 3: x and y must not be negative"},
        {head + "300000,0,101,3,RGB\n", "line 3: position 300000,0 is beyond 262143"},
        {head + "10,0,101,3,RGB\n", "line 3: position 10,0 is outside the display (width 10, rows 0-4)"},
        {head + "0,5,101,3,RGB\n", "line 3: position 0,5 is outside the display"},
        {head + "1,1,101,3,RGB\n# comment\n1,1,104,3,RGB\n", "line 5: pixel 1,1 is already mapped on line 3"},
        {head + "0,0,101,2,RGB\n", "line 3: channels per pixel must be 1, 3 or 4"},
        {head + "0,0,101,3,RGX\n", "line 3: 'RGX' is not a colour order for 3 channels"},
        {head + "0,0,101,1,Q\n", "line 3: 'Q' is not a colour kind for 1 channel (R, G, B or W)"},
        {head + "0,0,101,3,RGB,#12345\n", "line 3: fixed colour '#12345' is not #RRGGBB"},
        {head + "0,0,101,3\n", "line 3: expected x,y,channel,channels,order[,#RRGGBB] or key = value"},
        {head + "a,0,101,3,RGB\n", "line 3: x and y must be whole numbers"},
        {head + "0,0,1e2,3,RGB\n", "line 3: channel must be a whole number"},
        {"width = 10\ndepth = 3\n", "line 2: unknown key 'depth'"},
        {"width = ten\n", "line 1: width must be a whole number"},
        {"height = 5\n0,0,101,3,RGB\n", "the map needs \"width = N\" and \"height = N\" lines"},
        {"width = 0\nheight = 5\n0,0,101,3,RGB\n", "width and height must be 1-262144"},
        {"width = 262144\nheight = 262144\n0,0,101,3,RGB\n", "is over 16777216"},
        {head, "the map has no pixels"},
        {head + "verticalReference = -1\n0,0,101,3,RGB\n", "verticalReference must be"},
    };
    for (auto& c : cases) {
        MapOnlyOutput out(100, 60);
        EXPECT_FALSE(out.LoadPixelMap(c.first, "map.txt")) << c.first;
        EXPECT_NE(out.LastMapError().find(c.second), std::string::npos)
            << "map:\n" << c.first << "error: " << out.LastMapError() << "\nexpected: " << c.second;
        EXPECT_EQ(out.LastMapError().rfind("map.txt", 0), 0u) << out.LastMapError();
        EXPECT_TRUE(out.Pixels().empty());
        EXPECT_EQ(out.Width(), -1);
        EXPECT_TRUE(out.DisplayBuffer().empty());
    }
}

TEST(VirtualDisplayMap, AcceptsBlanksCommentsAndCarriageReturns) {
    MapOnlyOutput out(0, 100);
    ASSERT_TRUE(out.LoadPixelMap("# a map\r\n\r\n  width = 4 \r\nheight=2\r\n 1 , 0 , 1 , 3 , grb \r\n"
                                 "2,1,4,4,BGRW\r\n3,1,8,1,white,#FF8000\r\n",
                                 "m"))
        << out.LastMapError();
    ASSERT_EQ(out.Pixels().size(), 3u);
    EXPECT_EQ(out.Pixels()[0].order, VirtualDisplayPixel::GRB);
    EXPECT_EQ(out.Pixels()[1].order, VirtualDisplayPixel::BGR);
    EXPECT_EQ(out.Pixels()[1].channelsPerPixel, 4);
    EXPECT_EQ(out.Pixels()[2].order, VirtualDisplayPixel::WHITE);
    EXPECT_TRUE(out.Pixels()[2].fixed);
}

TEST(VirtualDisplayMap, ColoursFollowOrderWhiteChannelKindAndFixedColour) {
    const unsigned char data[] = {10, 20, 30, 0, 40, 50, 60, 70};
    VirtualDisplayPixel p;
    p.channel = 0;
    p.channelsPerPixel = 3;
    std::vector<std::pair<int, Rgb>> orders = {
        {VirtualDisplayPixel::RGB, {10, 20, 30}}, {VirtualDisplayPixel::RBG, {10, 30, 20}},
        {VirtualDisplayPixel::GRB, {20, 10, 30}}, {VirtualDisplayPixel::GBR, {30, 10, 20}},
        {VirtualDisplayPixel::BRG, {20, 30, 10}}, {VirtualDisplayPixel::BGR, {30, 20, 10}},
    };
    for (auto& o : orders) {
        p.order = (uint8_t)o.first;
        EXPECT_EQ(colourOf(p, data), o.second) << "order " << o.first;
    }
    // Four channels: a zero white byte falls back to the order, else white wins.
    p.channelsPerPixel = 4;
    p.order = VirtualDisplayPixel::GRB;
    EXPECT_EQ(colourOf(p, data), (Rgb{20, 10, 30}));
    p.channel = 4;
    EXPECT_EQ(colourOf(p, data), (Rgb{70, 70, 70}));
    // One channel, by kind.
    p.channelsPerPixel = 1;
    p.channel = 1;
    std::vector<std::pair<int, Rgb>> kinds = {{VirtualDisplayPixel::RED, {20, 0, 0}},
                                              {VirtualDisplayPixel::GREEN, {0, 20, 0}},
                                              {VirtualDisplayPixel::BLUE, {0, 0, 20}},
                                              {VirtualDisplayPixel::WHITE, {20, 20, 20}}};
    for (auto& k : kinds) {
        p.order = (uint8_t)k.first;
        EXPECT_EQ(colourOf(p, data), k.second) << "kind " << k.first;
    }
    p.fixed = true;
    p.fixedColour[0] = 1;
    p.fixedColour[1] = 2;
    p.fixedColour[2] = 3;
    EXPECT_EQ(colourOf(p, data), (Rgb{1, 2, 3}));
}

TEST(VirtualDisplayMap, RowsFlipAtTheVerticalReference) {
    MapOnlyOutput out(0, 30);
    ASSERT_TRUE(out.LoadPixelMap("width = 3\nheight = 4\n0,0,1,3,RGB\n2,3,4,3,RGB\n", "m"));
    EXPECT_EQ(out.FlippedY(out.Pixels()[0]), 3);  // y 0 is the bottom row
    EXPECT_EQ(out.FlippedY(out.Pixels()[1]), 0);
    EXPECT_EQ(out.Pixels()[0].r, (3u * 3 + 0) * 3);
    EXPECT_EQ(out.Pixels()[1].b, (0u * 3 + 2) * 3 + 2);

    // A reference above the picture: map rows 10-13 show as rows 0-3.
    ASSERT_TRUE(out.LoadPixelMap("width = 3\nheight = 4\nverticalReference = 13\n0,10,1,3,RGB\n0,13,4,3,RGB\n", "m"));
    EXPECT_EQ(out.FlippedY(out.Pixels()[0]), 3);
    EXPECT_EQ(out.FlippedY(out.Pixels()[1]), 0);
    EXPECT_FALSE(out.LoadPixelMap("width = 3\nheight = 4\nverticalReference = 13\n0,9,1,3,RGB\n", "m"));
    EXPECT_NE(out.LastMapError().find("rows 10-13"), std::string::npos) << out.LastMapError();
}

TEST(VirtualDisplayMap, RequiredRangesAreTheMergedChannelsOfThePixels) {
    MapOnlyOutput out(0, 100);
    ASSERT_TRUE(out.LoadPixelMap("width = 9\nheight = 1\n"
                                 "3,0,4,3,RGB\n0,0,1,3,RGB\n1,0,10,1,R\n"
                                 "2,0,12,4,RGBW\n4,0,5,3,RGB\n5,0,60,3,RGB,#FFFFFF\n",
                                 "m"));
    std::vector<std::pair<int, int>> ranges;
    out.GetRequiredChannelRanges([&](int a, int b) { ranges.push_back({a, b}); });
    // 0-2, 3-5 and 4-6 merge; 9 stands alone; 11-14; the fixed pixel reads nothing.
    EXPECT_EQ(ranges, (std::vector<std::pair<int, int>>{{0, 6}, {9, 9}, {11, 14}}));
}

TEST(VirtualDisplayMap, DrawPixelsPaintsEveryPixelIntoTheBuffer) {
    MapOnlyOutput out(0, 12);
    ASSERT_TRUE(out.LoadPixelMap("width = 2\nheight = 2\n0,1,1,3,BGR\n1,0,4,1,G\n", "m"));
    std::vector<unsigned char> data = {1, 2, 3, 200};
    out.DrawPixels(data.data());
    const auto& buf = out.DisplayBuffer();
    EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + 3), (std::vector<uint8_t>{3, 2, 1}));  // top left
    EXPECT_EQ(std::vector<uint8_t>(buf.begin() + 9, buf.end()), (std::vector<uint8_t>{0, 200, 0}));  // bottom right
    EXPECT_EQ(std::vector<uint8_t>(buf.begin() + 3, buf.begin() + 9), std::vector<uint8_t>(6, 0));
}

TEST(VirtualDisplayMap, FourBytesPerPointLaysOutTheBufferThatWay) {
    MapOnlyOutput out(0, 12);
    out.SetBuffer(4, 32);
    ASSERT_EQ(out.Init(Json::Value(Json::objectValue)), 1);
    ASSERT_TRUE(out.LoadPixelMap("width = 2\nheight = 1\n1,0,1,3,RGB\n", "m"));
    EXPECT_EQ(out.DisplayBuffer().size(), 8u);
    EXPECT_EQ(out.Pixels()[0].r, 4u);
    out.SetBuffer(2, 16);
    EXPECT_EQ(out.Init(Json::Value(Json::objectValue)), 0);
}

TEST(VirtualDisplayMap, InitFindsTheMapFileInTheMediaConfigFolderOrByPath) {
    kivtest::TempMediaDir media;
    kivtest::LogCapture log;
    media.write("/config/virtualdisplaymap", "width = 1\nheight = 1\n0,0,1,3,RGB\n");
    media.write("/config/other.map", "width = 2\nheight = 1\n1,0,1,3,RGB\n");
    {
        MapOnlyOutput out(0, 3);
        ASSERT_EQ(out.Init(LoadJsonFromString(R"({"type": "X"})")), 1);
        EXPECT_EQ(out.PixelMapPath(), media.path() + "/config/virtualdisplaymap");
        EXPECT_TRUE(out.InitializePixelMap());
        EXPECT_EQ(out.Width(), 1);
    }
    {
        MapOnlyOutput out(0, 3);
        ASSERT_EQ(out.Init(LoadJsonFromString(R"({"pixelMap": "other.map"})")), 1);
        EXPECT_TRUE(out.InitializePixelMap());
        EXPECT_EQ(out.Width(), 2);
    }
    {
        MapOnlyOutput out(0, 3);
        ASSERT_EQ(out.Init(LoadJsonFromString("{\"pixelMap\": \"" + media.path() + "/config/other.map\"}")), 1);
        EXPECT_TRUE(out.InitializePixelMap());
    }
    {
        MapOnlyOutput out(0, 3);
        ASSERT_EQ(out.Init(LoadJsonFromString(R"({"pixelMap": "missing"})")), 1);
        EXPECT_FALSE(out.InitializePixelMap());
        EXPECT_EQ(out.LastMapError(), "pixel map " + media.path() + "/config/missing does not exist");
        EXPECT_TRUE(log.contains("Virtual display: pixel map " + media.path() + "/config/missing does not exist"));
    }
    MapOnlyOutput bad(0, 3);
    EXPECT_EQ(bad.Init(LoadJsonFromString(R"({"pixelMap": 5})")), 0);
}

TEST(VirtualDisplayMap, LoadsAHundredThousandPixels) {
    // 400 x 250 points, one RGB pixel each, channels in map order.
    std::string text = "width = 400\nheight = 250\n";
    for (int i = 0; i < 100000; ++i) {
        text += std::to_string(i % 400) + "," + std::to_string(i / 400) + "," + std::to_string(1 + 3 * i) + ",3,RGB\n";
    }
    MapOnlyOutput out(0, 300000);
    ASSERT_TRUE(out.LoadPixelMap(text, "big")) << out.LastMapError();
    ASSERT_EQ(out.Pixels().size(), 100000u);
    EXPECT_EQ(out.Pixels()[99999].channel, 299997u);
    std::vector<std::pair<int, int>> ranges;
    out.GetRequiredChannelRanges([&](int a, int b) { ranges.push_back({a, b}); });
    EXPECT_EQ(ranges, (std::vector<std::pair<int, int>>{{0, 299999}}));
}
