#pragma once
// An effect read whole into memory: the frames of an "ESEQ" file (one
// model's channels) or of an ordinary sequence file, packed range by range,
// ready to be laid over frames without touching the disk on the output
// thread. The effect player loads one per start (docs/effects.md).

#include <cstdint>
#include <string>
#include <vector>

#include "hseq/HSEQFile.h"

struct EffectFrames {
    std::string path;
    HSEQFile::RangeList ranges;  // the file's own channels (0-based first, count)
    uint32_t frameBytes = 0;     // sum of the ranges' counts
    uint32_t frames = 0;
    int stepMs = 50;
    std::vector<uint8_t> bytes;  // frames x frameBytes

    const uint8_t* frame(uint32_t n) const { return bytes.data() + (size_t)n * frameBytes; }
    uint32_t firstChannel() const { return ranges.empty() ? 0 : ranges.front().first; }
    // One past the last channel the file's ranges reach.
    uint64_t endChannel() const;
};

// The most one effect may hold in memory.
constexpr uint64_t MAX_EFFECT_BYTES = 256ull << 20;

// Reads `path` into `out`; false with a one-line `error` (without the
// effect's name) when it is not a sequence or effect file, holds no frames,
// or is too large.
bool LoadEffectFrames(const std::string& path, EffectFrames& out, std::string& error);
