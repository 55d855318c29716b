#pragma once
// One fuzz input for the sequence file reader, shared by the libFuzzer
// target (fuzz/hseq_fuzz.cpp) and the test that replays the seed corpus
// (tests/hseq/HSEQFuzzCorpusTest.cpp).
//
// Input: 16 control bytes, then the bytes of the file.
//   byte 0      bits 0-1: number of read ranges (0-3); bit 2: call
//               prepareRead; bit 3: also convert into a "-memory-" writer;
//               bits 4-5: writer version (0, 1: version 1; 2: 2.0; 3: 2.2);
//               bits 6-7: writer compression (none, zstd, zlib, zlib)
//   byte 1      start frame
//   bytes 2-13  three ranges: start (16-bit, shifted left by byte 14 & 7),
//               count (16-bit)
//   byte 14     range start shift
//   byte 15     number of frames to read from the start frame
// The file is handed to openHSEQFile through a memfd, so the reader takes
// the same path as for a file on disk.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "ByteOrder.h"
#include "hseq/HSEQFile.h"

namespace hseqfuzz {

static constexpr size_t CONTROL_BYTES = 16;
static constexpr uint32_t READ_BUFFER_SIZE = 1 << 20;    // readFrame's maximum
static constexpr uint64_t READ_BUDGET = 4ull << 20;      // frame bytes handed out per input
static constexpr uint32_t CONVERT_MAX_CHANNELS = 65536;
static constexpr uint32_t CONVERT_MAX_FRAMES = 64;

inline void RunHSEQFuzzInput(const uint8_t* data, size_t size) {
    if (size < CONTROL_BYTES) return;
    const uint8_t* c = data;
    int fd = memfd_create("hseqfuzz", MFD_CLOEXEC);
    if (fd < 0) return;
    size_t fileSize = size - CONTROL_BYTES;
    if (fileSize && write(fd, data + CONTROL_BYTES, fileSize) != (ssize_t)fileSize) {
        close(fd);
        return;
    }
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    std::unique_ptr<HSEQFile> file(HSEQFile::openHSEQFile(path));
    if (file) {
        static std::vector<uint8_t> buffer(READ_BUFFER_SIZE);
        HSEQFile::RangeList ranges;
        for (int i = 0; i < (c[0] & 3); ++i) {
            uint32_t start = (uint32_t)GetLE16(c + 2 + 4 * i) << (c[14] & 7);
            ranges.push_back({start, GetLE16(c + 4 + 4 * i)});
        }
        uint32_t start = c[1];
        if (c[0] & 4) file->prepareRead(ranges, start);
        file->getMediaFilename();
        file->getMaxChannel();
        // Frames of huge channel counts are costly to hand out; a few do.
        uint64_t perFrame = std::max<uint64_t>(file->getChannelCount(), 1);
        uint64_t count = std::min<uint64_t>(c[15], std::max<uint64_t>(1, READ_BUDGET / perFrame));
        for (uint32_t i = 0; i < count; ++i) {
            std::unique_ptr<HSEQFile::FrameData> frame(file->getFrame(start + i));
            if (frame) frame->readFrame(buffer.data(), READ_BUFFER_SIZE);
        }
        if (perFrame * 4 <= READ_BUDGET) {
            // Out of order and past the end.
            for (uint32_t n : {0u, file->getNumFrames() - 1, file->getNumFrames(), start / 2}) {
                std::unique_ptr<HSEQFile::FrameData> frame(file->getFrame(n));
                if (frame) frame->readFrame(buffer.data(), READ_BUFFER_SIZE);
            }
        }

        if ((c[0] & 8) && file->getMaxChannel() <= CONVERT_MAX_CHANNELS) {
            static const int versions[4] = {1, 1, 2, 2};
            static const HSEQFile::CompressionType types[4] = {
                HSEQFile::CompressionType::none, HSEQFile::CompressionType::zstd, HSEQFile::CompressionType::zlib,
                HSEQFile::CompressionType::zlib};
            int v = (c[0] >> 4) & 3;
            std::unique_ptr<HSEQFile> out(HSEQFile::createHSEQFile("-memory-", versions[v], types[c[0] >> 6]));
            if (out) {
                out->enableMinorVersionFeatures(v == 3 ? 2 : 0);
                if (auto* v2 = dynamic_cast<V2HSEQFile*>(out.get())) v2->setSparseRanges(ranges);
                out->initializeFromHSEQ(*file);
                uint32_t frames = std::min(file->getNumFrames(), CONVERT_MAX_FRAMES);
                out->setNumFrames(frames);
                out->writeHeader();
                std::vector<uint8_t> frameBuffer(std::max<uint32_t>(file->getMaxChannel(), 1));
                for (uint32_t f = 0; f < frames; ++f) {
                    std::unique_ptr<HSEQFile::FrameData> frame(file->getFrame(f));
                    if (frame) frame->readFrame(frameBuffer.data(), (uint32_t)frameBuffer.size());
                    out->addFrame(f, frameBuffer.data());
                }
                out->finalize();
            }
        }
    }
    file.reset();
    close(fd);
}

}  // namespace hseqfuzz
