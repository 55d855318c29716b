#include "effects/EffectFile.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "log.h"

uint64_t EffectFrames::endChannel() const {
    uint64_t end = 0;
    for (auto& r : ranges) end = std::max<uint64_t>(end, (uint64_t)r.first + r.second);
    return end;
}

bool LoadEffectFrames(const std::string& path, EffectFrames& out, std::string& error) {
    std::unique_ptr<HSEQFile> file(HSEQFile::openHSEQFile(path));
    if (!file) {
        error = "is not a sequence or effect file (see the log)";
        return false;
    }
    HSEQFile::RangeList ranges;
    if (auto* v2 = dynamic_cast<V2HSEQFile*>(file.get())) ranges = v2->getSparseRanges();
    if (ranges.empty()) ranges.push_back({0, file->getChannelCount()});
    std::sort(ranges.begin(), ranges.end());
    uint64_t frameBytes = 0, end = 0;
    for (auto& r : ranges) {
        frameBytes += r.second;
        end = std::max<uint64_t>(end, (uint64_t)r.first + r.second);
    }
    if (file->getNumFrames() == 0 || frameBytes == 0) {
        error = "holds no frames";
        return false;
    }
    if (frameBytes * file->getNumFrames() > MAX_EFFECT_BYTES) {
        error = "is too large to play as an effect (" + std::to_string(frameBytes * file->getNumFrames() >> 20) +
                " MiB of frames; at most " + std::to_string(MAX_EFFECT_BYTES >> 20) + " MiB)";
        return false;
    }
    out.path = path;
    out.ranges = ranges;
    out.frameBytes = (uint32_t)frameBytes;
    out.frames = file->getNumFrames();
    out.stepMs = std::max(1, file->getStepTime());
    out.bytes.assign((size_t)frameBytes * out.frames, 0);
    file->prepareRead(ranges, 0);
    // Frames are read into their channel places, then packed.
    std::vector<uint8_t> scratch(end, 0);
    for (uint32_t n = 0; n < out.frames; ++n) {
        std::unique_ptr<HSEQFile::FrameData> f(file->getFrame(n));
        if (!f || !f->readFrame(scratch.data(), (uint32_t)scratch.size())) {
            error = "cannot be read at frame " + std::to_string(n) + " (see the log)";
            return false;
        }
        uint8_t* dst = out.bytes.data() + (size_t)n * frameBytes;
        for (auto& r : ranges) {
            memcpy(dst, scratch.data() + r.first, r.second);
            dst += r.second;
        }
    }
    LogDebug(VB_EFFECT, "Effect file %s: %u frames of %u channels, %d ms apart\n", path.c_str(), out.frames,
             out.frameBytes, out.stepMs);
    return true;
}
