#include "localoutput/PixelEncoders.h"

#include <cmath>
#include <cstring>

namespace {

// APA102 pixel frame: 111 then the 5-bit global brightness.
constexpr uint8_t APA102_PIXEL_MARK = 0xE0;
constexpr uint8_t APA102_GLOBAL_MASK = 0x1F;
constexpr size_t APA102_END_BYTES = 4;               // SK9822 latches on these
constexpr uint32_t APA102_PIXELS_PER_END_BYTE = 16;  // the clock lags half a bit a pixel

// One-wire data bit as 4 SPI bits, high first.
constexpr int SPI_BITS_PER_DATA_BIT = 4;
constexpr size_t ONE_WIRE_BYTES_PER_CHANNEL = 8 * SPI_BITS_PER_DATA_BIT / 8;

const PixelChipInfo CHIPS[] = {
    {"WS2801", PixelChip::WS2801, true, 1000000, 25000000, "RGB", 0},
    {"APA102", PixelChip::APA102, true, 4000000, 30000000, "BGR", 0},
    {"SK9822", PixelChip::APA102, true, 4000000, 30000000, "BGR", 0},
    // 0.31 us / 0.63 us high (0.25 / 0.6 +- 0.15 wanted)
    {"WS2811", PixelChip::WS2811, false, ONE_WIRE_SPI_HZ, ONE_WIRE_SPI_HZ, "RGB", 2},
    // 0.31 us / 0.94 us high (0.4 / 0.8 +- 0.15 wanted)
    {"WS2812", PixelChip::WS2812, false, ONE_WIRE_SPI_HZ, ONE_WIRE_SPI_HZ, "GRB", 3},
    {"WS2812B", PixelChip::WS2812, false, ONE_WIRE_SPI_HZ, ONE_WIRE_SPI_HZ, "GRB", 3},
    // 0.31 us / 0.63 us high (0.3 / 0.6 +- 0.15 wanted)
    {"SK6812", PixelChip::SK6812, false, ONE_WIRE_SPI_HZ, ONE_WIRE_SPI_HZ, "GRB", 2},
};

// The 4 SPI bytes of each byte value, for a chip holding a 1 high for
// oneHighBits SPI bits.
struct OneWireTable {
    uint8_t bytes[256][4];
    explicit OneWireTable(int oneHighBits) {
        const uint8_t zero = 0x8;                                  // 1000
        const uint8_t one = (uint8_t)(0xF0 >> oneHighBits) & 0xF;  // 1100 or 1110
        for (int v = 0; v < 256; ++v) {
            for (int pair = 0; pair < 4; ++pair) {
                int hi = (v >> (7 - 2 * pair)) & 1, lo = (v >> (6 - 2 * pair)) & 1;
                bytes[v][pair] = (uint8_t)(((hi ? one : zero) << 4) | (lo ? one : zero));
            }
        }
    }
};

const OneWireTable& oneWireTable(int oneHighBits) {
    static const OneWireTable two(2), three(3);
    return oneHighBits == 3 ? three : two;
}

const uint8_t* levelsOf(const PixelString& s) {
    static const uint8_t dark[256] = {};
    return s.dark ? dark : s.levels;
}

// Calls put(pixel bytes) for every pixel of the string in wire order, the
// null pixels first; pixel bytes are nullptr for a null pixel.
template <typename Put>
void forEachPixel(const PixelString& s, const uint8_t* channels, Put put) {
    for (uint32_t i = 0; i < s.nullPixels; ++i) put(nullptr);
    const uint8_t* first = channels + s.offset;
    if (!s.reversed) {
        for (uint32_t p = 0; p < s.pixelCount; ++p) put(first + (size_t)p * s.channelsPerPixel);
    } else {
        for (uint32_t p = s.pixelCount; p-- > 0;) put(first + (size_t)p * s.channelsPerPixel);
    }
}

size_t encodeWS2801(const PixelString& s, const uint8_t* channels, uint8_t* out) {
    const uint8_t* levels = levelsOf(s);
    const int n = s.channelsPerPixel;
    uint8_t* w = out;
    forEachPixel(s, channels, [&](const uint8_t* px) {
        for (int i = 0; i < n; ++i) *w++ = px ? levels[px[s.order[i]]] : 0;
    });
    return w - out;
}

size_t encodeAPA102(const PixelString& s, const uint8_t* channels, uint8_t* out) {
    const uint8_t* levels = levelsOf(s);
    const uint8_t mark = APA102_PIXEL_MARK | (s.globalBrightness & APA102_GLOBAL_MASK);
    uint8_t* w = out;
    forEachPixel(s, channels, [&](const uint8_t* px) {
        *w++ = mark;
        for (int i = 0; i < 3; ++i) *w++ = px ? levels[px[s.order[i]]] : 0;
    });
    return w - out;
}

size_t encodeOneWire(const PixelString& s, const uint8_t* channels, const OneWireTable& base, uint8_t* out) {
    // One table for the string: levels and bit expansion in one lookup.
    uint8_t table[256][4];
    const uint8_t* levels = levelsOf(s);
    for (int v = 0; v < 256; ++v) memcpy(table[v], base.bytes[levels[v]], 4);
    uint8_t* w = out;
    const size_t n = s.channelsPerPixel;
    const size_t nullBytes = (size_t)s.nullPixels * n * 4;
    for (size_t i = 0; i < nullBytes; i += 4) memcpy(w + i, base.bytes[0], 4);
    w += nullBytes;
    // The hot loop: one pixel's channels in wire order, pixel after pixel.
    const uint8_t* first = channels + s.offset;
    const long step = s.reversed ? -(long)n : (long)n;
    const uint8_t* px = s.reversed ? first + (size_t)(s.pixelCount - 1) * n : first;
    const uint8_t o0 = s.order[0], o1 = s.order[1], o2 = s.order[2], o3 = s.order[3];
    for (uint32_t p = 0; p < s.pixelCount; ++p, px += step) {
        memcpy(w, table[px[o0]], 4);
        memcpy(w + 4, table[px[o1]], 4);
        memcpy(w + 8, table[px[o2]], 4);
        if (n == 4) memcpy(w + 12, table[px[o3]], 4);
        w += n * 4;
    }
    return w - out;
}

}  // namespace

PixelString::PixelString() { BuildLevels(100, 1, levels); }

const PixelChipInfo* FindPixelChip(const std::string& name) {
    for (auto& c : CHIPS) {
        if (name == c.name) return &c;
    }
    return nullptr;
}

const PixelChipInfo& PixelChipOf(PixelChip chip) {
    for (auto& c : CHIPS) {
        if (c.chip == chip) return c;
    }
    return CHIPS[0];
}

bool ParseColourOrder(const std::string& text, PixelString& string) {
    static const char COLOURS[] = "RGBW";
    if (text.size() != 3 && text.size() != 4) return false;
    bool seen[4] = {};
    for (size_t i = 0; i < text.size(); ++i) {
        const char* at = strchr(COLOURS, text[i]);
        if (!text[i] || !at || at - COLOURS >= (long)text.size() || seen[at - COLOURS]) return false;
        seen[at - COLOURS] = true;
        string.order[i] = (uint8_t)(at - COLOURS);
    }
    string.channelsPerPixel = (uint8_t)text.size();
    return true;
}

void BuildLevels(double brightness, double gamma, uint8_t levels[256]) {
    for (int v = 0; v < 256; ++v) {
        double level = 255.0 * std::pow(v / 255.0, gamma) * brightness / 100.0;
        long r = std::lround(level);
        levels[v] = (uint8_t)(r < 0 ? 0 : r > 255 ? 255 : r);
    }
}

size_t EncodedSize(PixelChip chip, const std::vector<PixelString>& strings) {
    size_t size = 0, pixels = 0;
    for (auto& s : strings) {
        size_t n = (size_t)s.nullPixels + s.pixelCount;
        pixels += n;
        switch (chip) {
            case PixelChip::WS2801: size += n * s.channelsPerPixel; break;
            case PixelChip::APA102: size += n * 4; break;
            default: size += n * s.channelsPerPixel * ONE_WIRE_BYTES_PER_CHANNEL; break;
        }
    }
    if (chip == PixelChip::APA102) {
        size += APA102_START_BYTES + APA102_END_BYTES +
                (pixels + APA102_PIXELS_PER_END_BYTE - 1) / APA102_PIXELS_PER_END_BYTE;
    } else if (chip != PixelChip::WS2801) {
        size += ONE_WIRE_RESET_BYTES;
    }
    return size;
}

void EncodePixels(PixelChip chip, const std::vector<PixelString>& strings, const uint8_t* channels,
                  std::vector<uint8_t>& out) {
    size_t size = EncodedSize(chip, strings);
    out.resize(size);
    uint8_t* w = out.data();
    if (chip == PixelChip::APA102) {
        memset(w, 0, APA102_START_BYTES);
        w += APA102_START_BYTES;
    }
    const OneWireTable* table = nullptr;
    if (chip != PixelChip::WS2801 && chip != PixelChip::APA102) table = &oneWireTable(PixelChipOf(chip).oneHighBits);
    for (auto& s : strings) {
        switch (chip) {
            case PixelChip::WS2801: w += encodeWS2801(s, channels, w); break;
            case PixelChip::APA102: w += encodeAPA102(s, channels, w); break;
            default: w += encodeOneWire(s, channels, *table, w); break;
        }
    }
    // APA102 end frame and the one-wire reset gap: zeros to the end.
    memset(w, 0, out.data() + size - w);
}
