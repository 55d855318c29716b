#pragma once
// Base of the outputs that show the channel data as a picture of the display
// rather than sending it to lights: loads the pixel map file (which channels
// light which point of the picture, docs/virtual-display.md) and keeps the
// display buffer. The HTTP virtual display plug-in derives from it.

#include <cstdint>
#include <string>
#include <vector>

#include "channeloutput/ChannelOutput.h"

// One point of the picture and the channels that light it.
struct VirtualDisplayPixel {
    // Colour orders of 3- and 4-channel pixels: which channel carries red,
    // green and blue. Single-colour pixels use the kinds instead.
    enum Order : uint8_t { RGB = 0, RBG = 1, GRB = 2, GBR = 3, BRG = 4, BGR = 5 };
    enum Kind : uint8_t { RED = 0, GREEN = 1, BLUE = 2, WHITE = 3 };

    int x = 0;                  // as in the map file
    int y = 0;                  // as in the map file: counts up from the bottom
    unsigned int channel = 0;   // absolute 0-based first channel
    unsigned int r = 0, g = 0, b = 0;  // byte positions in the display buffer
    uint8_t channelsPerPixel = 3;      // 1, 3 or 4
    uint8_t order = RGB;               // Order (3 or 4 channels) or Kind (1 channel)
    bool fixed = false;                // shows fixedColour whatever its channels hold
    uint8_t fixedColour[3] = {0, 0, 0};
    int line = 0;                      // line of the map file, for messages
};

// The colour a pixel shows for the channel data, 8 bits per component.
inline void VirtualDisplayPixelColour(const VirtualDisplayPixel& p, const unsigned char* channelData,
                                      uint8_t& r, uint8_t& g, uint8_t& b) {
    if (p.fixed) {
        r = p.fixedColour[0];
        g = p.fixedColour[1];
        b = p.fixedColour[2];
        return;
    }
    const unsigned char* c = channelData + p.channel;
    if (p.channelsPerPixel == 1) {
        r = (p.order == VirtualDisplayPixel::RED || p.order == VirtualDisplayPixel::WHITE) ? c[0] : 0;
        g = (p.order == VirtualDisplayPixel::GREEN || p.order == VirtualDisplayPixel::WHITE) ? c[0] : 0;
        b = (p.order == VirtualDisplayPixel::BLUE || p.order == VirtualDisplayPixel::WHITE) ? c[0] : 0;
        return;
    }
    if (p.channelsPerPixel == 4 && c[3]) {
        r = g = b = c[3];
        return;
    }
    switch (p.order) {
        case VirtualDisplayPixel::RGB: r = c[0]; g = c[1]; b = c[2]; break;
        case VirtualDisplayPixel::RBG: r = c[0]; g = c[2]; b = c[1]; break;
        case VirtualDisplayPixel::GRB: r = c[1]; g = c[0]; b = c[2]; break;
        case VirtualDisplayPixel::GBR: r = c[2]; g = c[0]; b = c[1]; break;
        case VirtualDisplayPixel::BRG: r = c[1]; g = c[2]; b = c[0]; break;
        default: r = c[2]; g = c[1]; b = c[0]; break;  // BGR
    }
}

class VirtualDisplayBaseOutput : public ChannelOutput {
public:
    // Bounds of a map: positions must fit the stream's six-digit form, and
    // the display buffer stays below 48 MiB.
    static constexpr int MAX_DIMENSION = 262144;
    static constexpr long long MAX_AREA = 16777216;
    static constexpr const char* DEFAULT_MAP_FILE = "virtualdisplaymap";

    VirtualDisplayBaseOutput(unsigned int startChannel, unsigned int channelCount);
    virtual ~VirtualDisplayBaseOutput();

    // Reads the common keys and "pixelMap" (the map file: absolute, or
    // relative to <media>/config).
    virtual int Init(Json::Value config) override;
    virtual int Close() override;
    // Ranges of the channels the map reads, merged.
    virtual void GetRequiredChannelRanges(const std::function<void(int, int)>& add) override;
    virtual void DumpConfig() override;
    // Writes every pixel's colour (8 bits per component) into the display
    // buffer at its positions.
    virtual void DrawPixels(unsigned char* channelData);

    // Loads the map file into the pixel list, the dimensions and the
    // vertical reference, and allocates the display buffer. False (with
    // LastMapError() saying why, also logged) when the map does not fit.
    bool InitializePixelMap();
    // Parses map text; `name` names the source in messages.
    bool LoadPixelMap(const std::string& text, const std::string& name);
    const std::string& LastMapError() const { return m_mapError; }

    const std::vector<VirtualDisplayPixel>& Pixels() const { return m_pixels; }
    int Width() const { return m_width; }
    int Height() const { return m_height; }
    int VerticalReference() const { return m_verticalReference; }
    // Row of the picture counted from the top: the vertical reference - y.
    int FlippedY(const VirtualDisplayPixel& p) const { return m_verticalReference - p.y; }
    const std::vector<uint8_t>& DisplayBuffer() const { return m_virtualDisplay; }
    const std::string& PixelMapPath() const { return m_mapPath; }

protected:
    bool MapError(const std::string& why);

    std::string m_mapPath;
    std::vector<VirtualDisplayPixel> m_pixels;
    int m_width = -1;
    int m_height = -1;
    int m_verticalReference = -1;
    // Layout of the display buffer: bytes and colour bits per point.
    int m_bytesPerPixel = 3;
    int m_bitsPerPixel = 24;
    std::vector<uint8_t> m_virtualDisplay;  // width x height x bytes per pixel
    std::vector<std::pair<int, int>> m_ranges;  // first, last channel (inclusive), merged
    std::string m_mapError;
};
