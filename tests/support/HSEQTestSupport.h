#pragma once
// Helpers of the sequence file tests: a scratch directory, reading every
// frame of a file through the reader, the frames a generated show must read
// back as, and a builder for files laid out by hand from the format tables
// (independent of the writer under test).

#include <stdlib.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "ByteOrder.h"
#include "hseq/HSEQFile.h"
#include "hseq/ShowGenerator.h"

namespace hseqtest {

typedef std::vector<uint8_t> Bytes;

class ScratchDir {
public:
    ScratchDir() {
        char tmpl[] = "/tmp/kivhseq-XXXXXX";
        char* d = mkdtemp(tmpl);
        m_path = d ? d : "/tmp";
    }
    ~ScratchDir() {
        if (m_path != "/tmp" && !getenv("KIV_KEEP_TEST_DIRS")) kivtest::runCommand("rm -rf '" + m_path + "'");
    }
    std::string file(const std::string& name) const { return m_path + "/" + name; }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

inline bool WriteFile(const std::string& path, const Bytes& bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    size_t n = bytes.empty() ? 0 : fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
    return n == bytes.size();
}

inline Bytes ReadFile(const std::string& path) {
    Bytes out;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return out;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) out.insert(out.end(), buf, buf + n);
    fclose(f);
    return out;
}

// Every frame as readFrame places it into a zeroed buffer of `width` bytes;
// a missing frame (null or readFrame false) reads as an empty vector.
inline std::vector<Bytes> ReadAllFrames(HSEQFile* file, uint32_t width, const HSEQFile::RangeList& ranges = {}) {
    std::vector<Bytes> frames;
    if (!file) return frames;  // a file that did not open has no frames: the caller's checks fail, not the process
    if (!ranges.empty()) file->prepareRead(ranges, 0);
    for (uint32_t f = 0; f < file->getNumFrames(); ++f) {
        std::unique_ptr<HSEQFile::FrameData> fd(file->getFrame(f));
        Bytes buf(width, 0);
        if (!fd || !fd->readFrame(buf.data(), width)) {
            frames.push_back(Bytes());
            continue;
        }
        frames.push_back(buf);
    }
    return frames;
}

// Frame f of a generated show as a reader delivers it: the rendered bytes
// where the file stores channels (the stored ranges cut at the channel
// count), zero elsewhere.
inline Bytes ExpectedFrame(const ShowSpec& spec, uint32_t f, uint32_t width) {
    Bytes rendered(spec.channels);
    RenderShowFrame(spec, f, rendered.data());
    Bytes out(width, 0);
    if (spec.versionMajor == 1 || spec.sparseRanges.empty()) {
        memcpy(out.data(), rendered.data(), std::min<size_t>(width, spec.channels));
        return out;
    }
    for (auto& r : spec.sparseRanges) {
        if (r.first >= spec.channels) continue;
        uint32_t count = std::min<uint32_t>(r.second, spec.channels - r.first);
        memcpy(out.data() + r.first, rendered.data() + r.first, count);
    }
    return out;
}

// The bytes a file stores for frame f (the sparse ranges' bytes one after
// the other, or every channel).
inline Bytes StoredFrame(const ShowSpec& spec, uint32_t f) {
    Bytes rendered(spec.channels);
    RenderShowFrame(spec, f, rendered.data());
    if (spec.versionMajor == 1 || spec.sparseRanges.empty()) return rendered;
    Bytes out;
    for (auto& r : spec.sparseRanges) {
        if (r.first >= spec.channels) continue;
        uint32_t count = std::min<uint32_t>(r.second, spec.channels - r.first);
        out.insert(out.end(), rendered.begin() + r.first, rendered.begin() + r.first + count);
    }
    return out;
}

// ---------------------------------------------------------------- hand-built files

inline void PutLE16(Bytes& b, size_t at, uint16_t v) { ::PutLE16(&b[at], v); }
inline void PutLE32(Bytes& b, size_t at, uint32_t v) { ::PutLE32(&b[at], v); }

inline void AppendHeader(Bytes& b, const char* code, const Bytes& data) {
    size_t at = b.size();
    b.resize(at + 4 + data.size());
    PutLE16(b, at, (uint16_t)(data.size() + 4));
    b[at + 2] = code[0];
    b[at + 3] = code[1];
    if (!data.empty()) memcpy(&b[at + 4], data.data(), data.size());
}

inline Bytes Text(const std::string& s, bool nul = true) {
    Bytes b(s.begin(), s.end());
    if (nul) b.push_back(0);
    return b;
}

// "FC"/"FE" data: version 1, entry count, description, then per entry a
// name, a range count and (start, end) frame pairs, little-endian.
inline Bytes FrameNamesHeader(const std::vector<std::pair<std::string, std::vector<std::pair<uint32_t, uint32_t>>>>& entries) {
    Bytes d{1};
    auto u32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i) d.push_back((uint8_t)(v >> (8 * i)));
    };
    auto str = [&](const std::string& s) {
        d.insert(d.end(), s.begin(), s.end());
        d.push_back(0);
    };
    u32((uint32_t)entries.size());
    str("made by a test");
    for (auto& e : entries) {
        str(e.first);
        u32((uint32_t)e.second.size());
        for (auto& r : e.second) {
            u32(r.first);
            u32(r.second);
        }
    }
    return d;
}

// Single-model "ESEQ" file: 20-byte header (stored channels per frame,
// first channel counted from 1, model channel count), then the frames.
inline Bytes BuildESEQ(uint32_t stored, uint32_t firstChannel, uint32_t count, const std::vector<Bytes>& frames) {
    Bytes b(20, 0);
    memcpy(&b[0], "ESEQ", 4);
    ::PutLE32(&b[8], stored);
    ::PutLE32(&b[12], firstChannel);
    ::PutLE32(&b[16], count);
    for (auto& f : frames) b.insert(b.end(), f.begin(), f.end());
    return b;
}

// Version 1 file: 28-byte fixed header, inline headers, padding, frames.
inline Bytes BuildV1(uint32_t channels, uint8_t step, const std::vector<Bytes>& frames,
                     const std::vector<std::pair<std::string, Bytes>>& headers = {}) {
    Bytes b(28, 0);
    memcpy(&b[0], "PSEQ", 4);
    b[7] = 1;
    PutLE16(b, 8, 28);
    PutLE32(b, 10, channels);
    PutLE32(b, 14, (uint32_t)frames.size());
    b[18] = step;
    b[24] = 1;
    b[25] = 2;
    for (auto& h : headers) AppendHeader(b, h.first.c_str(), h.second);
    while (b.size() % 4) b.push_back(0);
    PutLE16(b, 4, (uint16_t)b.size());
    for (auto& f : frames) b.insert(b.end(), f.begin(), f.end());
    return b;
}

struct V2Layout {
    uint8_t minor = 0;
    uint8_t compression = 0;       // low 4 bits of byte 20
    uint32_t indexEntries = 0;     // block count reserved in the index
    uint32_t channels = 0;         // bytes stored per frame
    uint32_t frames = 0;
    uint8_t step = 25;
    uint64_t uniqueId = 0x1122334455667788ULL;
    std::vector<std::pair<uint32_t, uint32_t>> sparse;
    std::vector<std::pair<std::string, Bytes>> inlineHeaders;
    std::vector<std::pair<std::string, Bytes>> extendedHeaders;  // data placed after the frame data
};

// Version 2 file from the layout table: fixed header, block index of
// (first frame, size), sparse ranges, inline and "ED" headers, padding, the
// given data blocks one after the other, then extended header data.
inline Bytes BuildV2(const V2Layout& l, const std::vector<std::pair<uint32_t, Bytes>>& blocks, const Bytes& rawData = {}) {
    Bytes b(32 + 8 * l.indexEntries + 6 * l.sparse.size(), 0);
    memcpy(&b[0], "PSEQ", 4);
    b[6] = l.minor;
    b[7] = 2;
    PutLE16(b, 8, (uint16_t)b.size());
    PutLE32(b, 10, l.channels);
    PutLE32(b, 14, l.frames);
    b[18] = l.step;
    b[20] = (uint8_t)((l.compression & 0x0F) | ((l.indexEntries >> 4) & 0xF0));
    b[21] = (uint8_t)(l.indexEntries & 0xFF);
    b[22] = (uint8_t)l.sparse.size();
    PutLE64(&b[24], l.uniqueId);
    for (size_t i = 0; i < blocks.size() && i < l.indexEntries; ++i) {
        PutLE32(b, 32 + 8 * i, blocks[i].first);
        PutLE32(b, 36 + 8 * i, (uint32_t)blocks[i].second.size());
    }
    for (size_t i = 0; i < l.sparse.size(); ++i) {
        PutLE24(&b[32 + 8 * l.indexEntries + 6 * i], l.sparse[i].first);
        PutLE24(&b[32 + 8 * l.indexEntries + 6 * i + 3], l.sparse[i].second);
    }
    for (auto& h : l.inlineHeaders) AppendHeader(b, h.first.c_str(), h.second);
    std::vector<size_t> edOffsets;
    for (auto& h : l.extendedHeaders) {
        size_t at = b.size();
        b.resize(at + 18, 0);
        PutLE16(b, at, 18);
        b[at + 2] = 'E';
        b[at + 3] = 'D';
        b[at + 4] = h.first[0];
        b[at + 5] = h.first[1];
        PutLE32(b, at + 14, (uint32_t)h.second.size());
        edOffsets.push_back(at + 6);
    }
    while (b.size() % 4) b.push_back(0);
    PutLE16(b, 4, (uint16_t)b.size());
    for (auto& blk : blocks) b.insert(b.end(), blk.second.begin(), blk.second.end());
    b.insert(b.end(), rawData.begin(), rawData.end());
    for (size_t i = 0; i < l.extendedHeaders.size(); ++i) {
        PutLE64(&b[edOffsets[i]], b.size());
        b.insert(b.end(), l.extendedHeaders[i].second.begin(), l.extendedHeaders[i].second.end());
    }
    return b;
}

inline Bytes Concat(const std::vector<Bytes>& parts) {
    Bytes out;
    for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// One-shot coders from the libraries themselves, not the handlers.
inline Bytes ZstdFrame(const Bytes& raw, int level = 3) {
    Bytes out(ZSTD_compressBound(raw.size()));
    size_t n = ZSTD_compress(out.data(), out.size(), raw.data(), raw.size(), level);
    out.resize(ZSTD_isError(n) ? 0 : n);
    return out;
}

inline Bytes ZlibStream(const Bytes& raw, int level = 6) {
    uLongf len = compressBound(raw.size());
    Bytes out(len);
    if (compress2(out.data(), &len, raw.data(), raw.size(), level) != Z_OK) return Bytes();
    out.resize(len);
    return out;
}

inline bool Inflate(const uint8_t* data, size_t size, Bytes& out) {
    z_stream zs;
    memset(&zs, 0, sizeof(zs));
    if (inflateInit(&zs) != Z_OK) return false;
    zs.next_in = (Bytef*)data;
    zs.avail_in = (uInt)size;
    uint8_t buf[65536];
    int r;
    do {
        zs.next_out = buf;
        zs.avail_out = sizeof(buf);
        r = inflate(&zs, Z_NO_FLUSH);
        if (r != Z_OK && r != Z_STREAM_END) {
            inflateEnd(&zs);
            return false;
        }
        out.insert(out.end(), buf, buf + (sizeof(buf) - zs.avail_out));
    } while (r != Z_STREAM_END);
    bool whole = zs.avail_in == 0;
    inflateEnd(&zs);
    return whole;
}

// Block index of a version 2 file read straight from its bytes:
// (first frame, offset, size) per non-empty entry.
struct BlockEntry {
    uint32_t firstFrame;
    uint64_t offset;
    uint32_t size;
};

inline std::vector<BlockEntry> ParseBlockIndex(const Bytes& file) {
    std::vector<BlockEntry> out;
    uint32_t entries = file[21] + 256 * (file[20] >> 4);
    uint64_t offset = GetLE16(&file[4]);
    for (uint32_t i = 0; i < entries; ++i) {
        uint32_t first = GetLE32(&file[32 + 8 * i]);
        uint32_t size = GetLE32(&file[36 + 8 * i]);
        if (!size) continue;
        out.push_back({first, offset, size});
        offset += size;
    }
    return out;
}

}  // namespace hseqtest
