// Synthetic shows: every universe runs one effect chosen from the seed, and
// every pixel is a pure function of (seed, universe, pixel, frame).

#include "hseq/ShowGenerator.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "log.h"

static constexpr uint32_t STAMP_BYTES = 8;
static constexpr uint32_t PIXELS_PER_UNIVERSE = (SHOW_UNIVERSE_SIZE - STAMP_BYTES) / 3;  // 168

static inline uint32_t mix(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    x ^= x >> 16;
    return x;
}

static inline uint32_t hash3(uint32_t a, uint32_t b, uint32_t c) { return mix(a ^ mix(b ^ mix(c + 0x9e3779b9U))); }

static inline void setPixel(uint8_t* px, uint32_t color, uint32_t level) {
    px[0] = (uint8_t)(((color >> 16) & 0xFF) * level / 255);
    px[1] = (uint8_t)(((color >> 8) & 0xFF) * level / 255);
    px[2] = (uint8_t)((color & 0xFF) * level / 255);
}

static void renderUniverse(uint32_t seed, uint32_t universe, uint32_t frame, uint8_t* u) {
    u[0] = (uint8_t)frame;
    u[1] = (uint8_t)(frame >> 8);
    u[2] = (uint8_t)(frame >> 16);
    u[3] = (uint8_t)(frame >> 24);
    u[4] = (uint8_t)universe;
    u[5] = (uint8_t)(universe >> 8);
    uint32_t h = hash3(seed, universe, 0);
    uint32_t effect = h % 3;
    u[6] = (uint8_t)effect;
    u[7] = (uint8_t)seed;
    uint8_t* px = u + STAMP_BYTES;
    uint32_t color = hash3(seed, universe, 1) | 0x404040;
    switch (effect) {
        case 0: {  // chase: a bright head with a fading tail running along the string
            uint32_t speed = 1 + (h >> 8) % 3;
            uint32_t length = 8 + (h >> 12) % 24;
            uint32_t head = (frame * speed + (h >> 20)) % PIXELS_PER_UNIVERSE;
            for (uint32_t i = 0; i < PIXELS_PER_UNIVERSE; ++i) {
                uint32_t d = (head + PIXELS_PER_UNIVERSE - i) % PIXELS_PER_UNIVERSE;
                setPixel(px + 3 * i, color, d < length ? 255 - d * 255 / length : 0);
            }
            break;
        }
        case 1: {  // fade: the whole string breathes, with a slow hue step along it
            uint32_t period = 40 + (h >> 8) % 80;
            uint32_t phase = (frame + (h >> 16)) % period;
            uint32_t level = phase < period / 2 ? phase * 510 / period : (period - phase) * 510 / period;
            level = std::min<uint32_t>(level, 255);
            uint32_t other = hash3(seed, universe, 2) | 0x202020;
            for (uint32_t i = 0; i < PIXELS_PER_UNIVERSE; ++i) {
                setPixel(px + 3 * i, (i / 24) % 2 ? other : color, level);
            }
            break;
        }
        default: {  // twinkle: about one pixel in eight lit, each holding for a few frames
            uint32_t hold = 2 + (h >> 8) % 6;
            for (uint32_t i = 0; i < PIXELS_PER_UNIVERSE; ++i) {
                uint32_t slot = (frame + i * 7) / hold;
                uint32_t t = hash3(seed ^ universe, i, slot);
                if ((t & 7) == 0) {
                    setPixel(px + 3 * i, t >> 8, 255);
                } else {
                    px[3 * i] = px[3 * i + 1] = px[3 * i + 2] = 0;
                }
            }
            break;
        }
    }
    memset(px + 3 * PIXELS_PER_UNIVERSE, 0, SHOW_UNIVERSE_SIZE - STAMP_BYTES - 3 * PIXELS_PER_UNIVERSE);
}

void RenderShowFrame(const ShowSpec& spec, uint32_t frameNumber, uint8_t* out) {
    uint8_t universe[SHOW_UNIVERSE_SIZE];
    for (uint64_t base = 0, u = 0; base < spec.channels; base += SHOW_UNIVERSE_SIZE, ++u) {
        uint32_t len = (uint32_t)std::min<uint64_t>(SHOW_UNIVERSE_SIZE, spec.channels - base);
        if (len == SHOW_UNIVERSE_SIZE) {
            renderUniverse(spec.seed, (uint32_t)u, frameNumber, out + base);
        } else {
            renderUniverse(spec.seed, (uint32_t)u, frameNumber, universe);
            memcpy(out + base, universe, len);
        }
    }
}

bool GenerateShow(const std::string& path, const ShowSpec& spec) {
    std::unique_ptr<HSEQFile> file(
        HSEQFile::createHSEQFile(path, spec.versionMajor, spec.compression, spec.compressionLevel));
    if (!file) {
        return false;
    }
    file->enableMinorVersionFeatures((uint8_t)spec.versionMinor);
    file->setChannelCount(spec.channels);
    file->setNumFrames(spec.frames);
    file->setStepTime(spec.stepMs);
    if (V2HSEQFile* v2 = dynamic_cast<V2HSEQFile*>(file.get())) {
        v2->setSparseRanges(spec.sparseRanges);
    }
    auto& headers = file->getVariableHeaders();
    if (!spec.mediaFilename.empty()) {
        std::vector<uint8_t> text(spec.mediaFilename.begin(), spec.mediaFilename.end());
        text.push_back(0);
        headers.emplace_back("mf", text);
    }
    for (auto& h : spec.extraHeaders) {
        headers.push_back(h);
    }
    file->writeHeader();
    std::vector<uint8_t> frame(std::max<uint32_t>(spec.channels, 1));
    for (uint32_t f = 0; f < spec.frames; ++f) {
        RenderShowFrame(spec, f, frame.data());
        file->addFrame(f, frame.data());
    }
    file->finalize();
    if (file->hadWriteError()) {
        LogErr(VB_SEQUENCE, "Generated show %s could not be written completely\n", path.c_str());
        return false;
    }
    return true;
}
