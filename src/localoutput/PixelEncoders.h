#pragma once
// The bytes that go out on an SPI bus for one frame of pixel strings, for
// the chips a board drives straight from its SPI pins. Plain functions of
// the channel bytes: SPIPixels calls them on its worker, tests and the
// benchmark call them directly.
//
//   WS2801           3 bytes a pixel, clocked; the chip latches after
//                    500 us of idle clock (the frame period gives it)
//   APA102 / SK9822  start frame 00 00 00 00; a pixel is 111ggggg (5-bit
//                    global brightness) and three colour bytes; end frame
//                    of zeros: 4 bytes (SK9822 latches on them) and one
//                    byte for every 16 pixels (the clock reaches the last)
//   WS2811 / WS2812  one wire, no clock: each data bit becomes 4 SPI bits
//   / SK6812         at 3.2 MHz (1.25 us a bit), high for 1 SPI bit for a 0
//                    and for 2 or 3 for a 1, as the chip's timing needs;
//                    zeros after the frame make the reset gap (>= 300 us)

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class PixelChip { WS2801, APA102, WS2811, WS2812, SK6812 };

struct PixelChipInfo {
    const char* name;
    PixelChip chip;
    bool clocked;              // a clock line: the SPI speed is the user's choice
    uint32_t defaultSpeedHz;   // clocked chips: default; one-wire chips: the speed the encoding needs
    uint32_t maxSpeedHz;       // clocked chips: what the chip takes
    const char* defaultOrder;  // colour order on the wire when the string names none
    int oneHighBits;           // one-wire chips: SPI bits high for a 1 (a 0 is high for 1)
};

// Chips by name ("WS2801", "APA102", "SK9822", "WS2811", "WS2812",
// "WS2812B", "SK6812"); nullptr for an unknown name.
const PixelChipInfo* FindPixelChip(const std::string& name);
const PixelChipInfo& PixelChipOf(PixelChip chip);

// Zero bytes after a one-wire frame: 300 us at 3.2 MHz.
static constexpr size_t ONE_WIRE_SPI_HZ = 3200000;
static constexpr size_t ONE_WIRE_RESET_BYTES = 120;
static constexpr size_t APA102_START_BYTES = 4;

// One string as the encoder sees it.
struct PixelString {
    uint32_t offset = 0;  // its first channel in the data handed to the encoder
    uint32_t pixelCount = 0;
    uint8_t channelsPerPixel = 3;     // 3, or 4 with white
    uint8_t order[4] = {0, 1, 2, 3};  // wire byte i carries channel order[i] of the pixel (R G B W)
    uint8_t levels[256];              // channel value to wire value: brightness and gamma
    uint8_t globalBrightness = 31;    // APA102/SK9822: 0-31
    bool reversed = false;            // the string's last pixel goes out first
    uint32_t nullPixels = 0;          // dark pixels on the wire before the string's own
    bool dark = false;                // sent dark (its port is off)

    PixelString();
};

// "RGB", "GRB", ... any order of R, G, B, or of R, G, B, W; false otherwise.
bool ParseColourOrder(const std::string& text, PixelString& string);
// levels[v] = round(255 * (v / 255) ^ gamma * brightness / 100).
void BuildLevels(double brightness, double gamma, uint8_t levels[256]);

// The size of a frame's encoding.
size_t EncodedSize(PixelChip chip, const std::vector<PixelString>& strings);
// Encodes one frame of every string, in order, into out (resized to fit).
// channels holds each string's channels at its offset.
void EncodePixels(PixelChip chip, const std::vector<PixelString>& strings, const uint8_t* channels,
                  std::vector<uint8_t>& out);
