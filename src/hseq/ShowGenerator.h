#pragma once
// Deterministic synthetic light shows (chases, fades and twinkles) for
// tests, benchmarks and the demo media directory. RenderShowFrame gives the
// exact bytes of any frame, so a test can check what a reader or an output
// delivers; GenerateShow writes such a show as a sequence file (tools/hseqgen).
//
// Channel layout of every frame: the channel space is cut into universes of
// 512 channels (the last one may be shorter). In each universe:
//   bytes 0-3  the frame number, little-endian (so repeats and skips show)
//   bytes 4-5  the universe index, little-endian
//   byte  6    the effect of the universe (0 chase, 1 fade, 2 twinkle)
//   byte  7    the low byte of the seed
//   bytes 8-511  168 RGB pixels drawn by the effect
// The same spec, frame number and seed always give the same bytes.

#include <cstdint>
#include <string>
#include <vector>

#include "hseq/HSEQFile.h"

struct ShowSpec {
    uint32_t channels = 512;   // channel space rendered per frame
    uint32_t frames = 100;
    int stepMs = 25;
    int versionMajor = 2;      // 1 or 2
    int versionMinor = 0;      // 0, 1 or 2 for version 2
    HSEQFile::CompressionType compression = HSEQFile::CompressionType::zstd;
    int compressionLevel = -99;
    HSEQFile::RangeList sparseRanges;  // version 2 only; empty stores every channel
    std::string mediaFilename;         // written as the "mf" header when not empty
    std::vector<HSEQFile::VariableHeader> extraHeaders;  // written after "mf"
    uint32_t seed = 1;
};

static constexpr uint32_t SHOW_UNIVERSE_SIZE = 512;

// Writes spec.channels bytes of frame frameNumber to out.
void RenderShowFrame(const ShowSpec& spec, uint32_t frameNumber, uint8_t* out);

// Writes the show to path (any name createHSEQFile accepts); false when the
// file could not be created or written.
bool GenerateShow(const std::string& path, const ShowSpec& spec);
