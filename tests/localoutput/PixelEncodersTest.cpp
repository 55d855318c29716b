// The SPI encodings of pixel strings, turned back into pixels by the
// independent decoders of the test support: WS281x/SK6812 pulses measured
// against their data sheets, APA102 frames with start and end frames and
// global brightness, WS2801 bytes; colour order, brightness, gamma,
// reversal and null pixels as the settings say.

#include <gtest/gtest.h>

#include "LocalOutputSupport.h"
#include "common.h"
#include "localoutput/PixelEncoders.h"

using namespace kivtest;

// Each one-wire chip is decoded with its own data sheet's pulse widths: a
// WS2812's 1 (0.94 us high) is too long for a WS2811 or an SK6812.
TEST(PixelEncoders, EveryChipsFramesDecodeToThePixelsInTheirOrderAndLevels) {
    const std::pair<const char*, const char*> cases[] = {
        {"WS2811", R"([{"startChannel": 1, "pixelCount": 5}])"},
        {"WS2812B", R"([{"startChannel": 4, "pixelCount": 7, "reversed": true, "nullPixels": 2, "brightness": 50}])"},
        {"SK6812", R"([{"startChannel": 1, "pixelCount": 6, "colorOrder": "GRBW", "gamma": 2.2}])"},
        {"WS2811", R"([{"startChannel": 1, "pixelCount": 4, "colorOrder": "BRG"},
                       {"startChannel": 31, "pixelCount": 3, "reversed": true}])"},
        {"WS2801", R"([{"startChannel": 2, "pixelCount": 9, "colorOrder": "GBR", "brightness": 25}])"},
        {"APA102", R"([{"startChannel": 1, "pixelCount": 40, "globalBrightness": 7, "nullPixels": 1}])"},
        {"SK9822", R"([{"startChannel": 1, "pixelCount": 3, "colorOrder": "RGB"},
                       {"startChannel": 10, "pixelCount": 17, "globalBrightness": 3, "gamma": 1.8}])"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(std::string(c.first) + " " + c.second);
        const PixelChipInfo* chip = FindPixelChip(c.first);
        ASSERT_NE(nullptr, chip);
        Json::Value output;
        output["chip"] = c.first;
        output["strings"] = LoadJsonFromString(c.second);
        // The strings as SPIPixels builds them from these settings.
        std::vector<PixelString> strings;
        for (auto& js : output["strings"]) {
            PixelString s;
            ASSERT_TRUE(ParseColourOrder(js.get("colorOrder", chip->defaultOrder).asString(), s));
            BuildLevels(js.get("brightness", 100).asDouble(), js.get("gamma", 1).asDouble(), s.levels);
            s.offset = js["startChannel"].asInt() - 1;
            s.pixelCount = js["pixelCount"].asInt();
            s.reversed = js.get("reversed", false).asBool();
            s.nullPixels = js.get("nullPixels", 0).asInt();
            s.globalBrightness = js.get("globalBrightness", 31).asInt();
            strings.push_back(s);
        }
        Bytes stream, encoded, ws2801;
        std::vector<Bytes> wire(2), globals(2);
        for (int f = 0; f < 2; ++f) {
            Bytes channels(200);
            for (size_t i = 0; i < channels.size(); ++i) channels[i] = (uint8_t)(i * 37 + f * 101);
            EncodePixels(chip->chip, strings, channels.data(), encoded);
            EXPECT_EQ(EncodedSize(chip->chip, strings), encoded.size());
            stream.insert(stream.end(), encoded.begin(), encoded.end());
            wire[f] = ExpectedWire(output, channels.data(), &globals[f]);
            ws2801.insert(ws2801.end(), wire[f].begin(), wire[f].end());
        }
        if (chip->chip == PixelChip::WS2801) {
            EXPECT_EQ(ws2801, stream) << "three bytes a pixel, nothing between frames";
            continue;
        }
        bool apa = chip->chip == PixelChip::APA102;
        DecodedStream d = apa ? DecodeAPA102(stream)
                              : DecodeOneWire(stream, 3200000,
                                              OneWireTimingFor(c.first == std::string("WS2812B") ? "WS2812" : c.first));
        EXPECT_EQ("", d.error);
        // A frame counts only once its reset gap or end frame is complete.
        ASSERT_EQ(2u, d.frames.size());
        for (int f = 0; f < 2; ++f) {
            EXPECT_EQ(wire[f], d.frames[f].bytes) << "frame " << f;
            if (apa) {
                EXPECT_EQ(globals[f], d.frames[f].global) << "frame " << f;
            }
        }
    }
}
