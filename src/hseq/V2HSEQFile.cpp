// Version 2 sequence files: the header with its block index, sparse ranges
// and inline or extended variable headers, and the read-range bookkeeping.
// Frame storage is delegated to the handlers of V2Handlers.cpp.

#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "common.h"
#include "ByteOrder.h"
#include "hseq/HSEQFile.h"
#include "hseq/V2Handlers.h"
#include "log.h"

static constexpr int V2_FIXED_HEADER_SIZE = 32;
static constexpr int V2_FRAME_COUNT_AT = 14;
static constexpr uint64_t HSEQ_MAX_HEADER_SIZE = 65532;  // 16-bit data offset, padded to 4
static constexpr int EXTENDED_HEADER_SIZE = 18;
static constexpr uint32_t MAX_SPARSE_FIELD = 0xFFFFFF;   // ranges are stored as 24-bit values
static constexpr size_t MAX_SPARSE_RANGES = 255;

static inline uint64_t roundTo4(uint64_t v) { return (v + 3) & ~(uint64_t)3; }

V2HSEQFile::V2HSEQFile(const std::string& filename, CompressionType type, int compressionLevel)
    : HSEQFile(filename), m_compressionType(type), m_compressionLevel(compressionLevel) {
    m_seqVersionMajor = 2;
    m_seqVersionMinor = 0;
    createHandler();
}

V2HSEQFile::V2HSEQFile(const std::string& filename, FILE* file, const std::vector<uint8_t>& header)
    : HSEQFile(filename, file, header) {
    if (m_seqVersionMajor == 2 && m_seqVersionMinor > 2) {
        LogErr(VB_SEQUENCE, "Unknown minor version: %d.  HSEQ may not load properly.\n", m_seqVersionMinor);
    }
    if (header[0] == 'E') {
        uint32_t first = GetLE32(&header[12]);
        uint32_t count = GetLE32(&header[16]);
        m_compressionType = CompressionType::none;
        m_sparseRanges.push_back({first ? first - 1 : 0, count});
        m_frameOffsets.push_back({0, m_seqChanDataOffset});
        m_frameOffsets.push_back({m_seqNumFrames >= UINT32_MAX - 2 ? UINT32_MAX : m_seqNumFrames + 2, m_seqFileSize});
        createHandler();
        return;
    }

    int type = header[20] & 0x0F;
    if (type == CompressionType::zstd || type == CompressionType::zlib) {
        m_compressionType = (CompressionType)type;
    } else {
        if (type != CompressionType::none) {
            LogErr(VB_SEQUENCE, "Unknown compression type: %d\n", type);
        }
        m_compressionType = CompressionType::none;
    }
    loadBlockIndex(header);

    uint32_t blockCount = header[21] + 256 * (header[20] >> 4);
    uint32_t rangeCount = header[22];
    size_t pos = V2_FIXED_HEADER_SIZE + 8 * blockCount;
    for (uint32_t i = 0; i < rangeCount; ++i, pos += 6) {
        m_sparseRanges.push_back({GetLE24(&header[pos]), GetLE24(&header[pos + 3])});
    }
    uint32_t expected = GetLE16(&header[8]);
    if (pos != expected) {
        LogErr(VB_SEQUENCE, "Read position (%d) does not match expected header size %d!\n", (int)pos, (int)expected);
    }
    m_uniqueId = GetLE64(&header[24]);
    parseVariableHeaders(header, (int)pos);

    if (m_compressionType == CompressionType::none) {
        uint64_t needed = m_seqChanDataOffset + (uint64_t)m_seqNumFrames * m_seqChannelCount;
        if (needed > m_seqFileSize) {
            // Each frame past the data also logs its short read when asked for.
            LogErr(VB_SEQUENCE, "HSEQ file (%s) is %llu bytes but its %u frames need %llu; later frames are missing\n",
                   m_filename.c_str(), (unsigned long long)m_seqFileSize, m_seqNumFrames, (unsigned long long)needed);
        }
    }
    createHandler();
}

V2HSEQFile::~V2HSEQFile() {
    // The handler's read thread must stop before the stream closes.
    delete m_handler;
    m_handler = nullptr;
}

// Block index: per block its first frame and compressed size; blocks lie
// one after the other from the channel data offset. Entries that cannot be
// right (out of frame order, past the last frame, past the end of the file)
// end the list there: their frames come back missing instead of being read
// from wherever the entry points.
void V2HSEQFile::loadBlockIndex(const std::vector<uint8_t>& header) {
    uint32_t blockCount = header[21] + 256 * (header[20] >> 4);
    uint32_t sentinelFrame = m_seqNumFrames >= UINT32_MAX - 2 ? UINT32_MAX : m_seqNumFrames + 2;
    uint64_t offset = m_seqChanDataOffset;
    uint64_t dataEnd = m_seqChanDataOffset;
    bool stopped = false;
    for (uint32_t i = 0; i < blockCount; ++i) {
        uint32_t first = GetLE32(&header[V2_FIXED_HEADER_SIZE + 8 * i]);
        uint32_t size = GetLE32(&header[V2_FIXED_HEADER_SIZE + 8 * i + 4]);
        if (size == 0) {
            continue;
        }
        if (i == 0) {
            preload(m_seqChanDataOffset, size);
        }
        if (!stopped && m_compressionType != CompressionType::none) {
            const char* why = nullptr;
            if (!m_frameOffsets.empty() && first <= m_frameOffsets.back().first) {
                why = "does not start after the previous block";
            } else if (first >= m_seqNumFrames) {
                why = "starts past the last frame";
            } else if (offset >= m_seqFileSize) {
                why = "starts past the end of the file";
            }
            if (why) {
                LogErr(VB_SEQUENCE, "HSEQ file (%s) block %u (frame %u, offset %llu, %u bytes) %s; frames from there on are missing\n",
                       m_filename.c_str(), i, first, (unsigned long long)offset, size, why);
                stopped = true;
            } else {
                if (offset + size > m_seqFileSize) {
                    LogErr(VB_SEQUENCE, "HSEQ file (%s) block %u (offset %llu, %u bytes) is cut off by the end of the file (%llu bytes)\n",
                           m_filename.c_str(), i, (unsigned long long)offset, size, (unsigned long long)m_seqFileSize);
                }
                m_frameOffsets.push_back({first, offset});
                dataEnd = std::min(offset + size, m_seqFileSize);
            }
        }
        offset += size;
    }
    if (m_compressionType == CompressionType::none) {
        m_frameOffsets.clear();
        m_frameOffsets.push_back({0, m_seqChanDataOffset});
        dataEnd = m_seqFileSize;
    } else if (m_frameOffsets.empty()) {
        LogErr(VB_SEQUENCE, "HSEQ file corrupt: did not load any block references from header.\n");
        m_frameOffsets.push_back({0, m_seqChanDataOffset});
        dataEnd = m_seqFileSize;
    }
    // The sentinel closes the last block at the end of its own data, so that
    // bytes stored after the frames are never taken for frame data.
    m_frameOffsets.push_back({sentinelFrame, std::max(dataEnd, m_frameOffsets.back().second)});
}

void V2HSEQFile::createHandler() {
    switch (m_compressionType) {
        case CompressionType::zstd:
            delete m_handler;
            m_handler = new V2ZSTDCompressionHandler(this);
            LogDebug(VB_SEQUENCE, "  Prepared to read/write a ZSTD compress hseq file.\n");
            break;
        case CompressionType::zlib:
            delete m_handler;
            m_handler = new V2ZLIBCompressionHandler(this);
            break;
        case CompressionType::none:
            delete m_handler;
            m_handler = new V2NoneCompressionHandler(this);
            break;
        default:
            if (m_handler == nullptr) {
                LogDebug(VB_SEQUENCE, "Creating a default none compression handler. %d\n", (int)m_compressionType);
                m_handler = new V2NoneCompressionHandler(this);
            }
            break;
    }
    m_compressionType = (CompressionType)m_handler->getCompressionType();
}

void V2HSEQFile::prepareRead(const RangeList& ranges, uint32_t startFrame) {
    m_rangesToRead.clear();
    if (!m_sparseRanges.empty()) {
        // A sparse file always hands out its whole stored frame; readFrame
        // puts each range's bytes at its own channels.
        m_rangesToRead = m_sparseRanges;
        m_dataBlockSize = m_seqChannelCount;
    } else {
        uint32_t total = clipReadRanges(ranges, false, m_rangesToRead);
        m_dataBlockSize = total;
        if (total == 0) {
            m_rangesToRead.clear();
            m_rangesToRead.push_back({0, getMaxChannel()});
            m_dataBlockSize = getMaxChannel();
        }
    }
    if (m_handler) {
        m_handler->prepareRead(startFrame);
    }
}

HSEQFile::FrameData* V2HSEQFile::getFrame(uint32_t frame) {
    if (m_rangesToRead.empty()) {
        prepareRead({{0, getMaxChannel()}}, frame);
    }
    if (frame >= m_seqNumFrames || m_handler == nullptr) {
        return nullptr;
    }
    try {
        return m_handler->getFrame(frame);
    } catch (...) {
        LogErr(VB_SEQUENCE, "Error getting frame from handler %s.\n", m_handler->GetType().c_str());
    }
    return nullptr;
}

void V2HSEQFile::enableMinorVersionFeatures(uint8_t v) {
    m_seqVersionMinor = v;
    m_allowExtendedBlocks = v != 0;
}

uint32_t V2HSEQFile::getMaxChannel() const {
    uint64_t max = m_seqChannelCount;
    for (auto& r : m_sparseRanges) {
        max = std::max<uint64_t>(max, (uint64_t)r.first + r.second);
    }
    return (uint32_t)std::min<uint64_t>(max, UINT32_MAX);
}

// Version 2 header: "PSEQ", channel data offset, minor, major = 2, first
// variable header offset, channel count (bytes stored per frame), frame
// count, step time, flags (0), compression type | block limit bits 8-11,
// block limit bits 0-7, sparse range count, 0, unique id (64-bit), block
// index (first frame, size) x block limit, sparse ranges (24-bit start,
// 24-bit count), variable headers, padding to a multiple of 4.
void V2HSEQFile::writeHeader() {
    // Keep only ranges that the stored frames can hold.
    RangeList cleaned;
    uint64_t stored = 0;
    for (auto& r : m_sparseRanges) {
        if (r.first >= m_seqChannelCount) {
            LogWarn(VB_SEQUENCE, "Sparse range %u+%u starts past the %u channels of %s; dropped\n", r.first, r.second,
                    m_seqChannelCount, m_filename.c_str());
            continue;
        }
        uint32_t count = (uint32_t)std::min<uint64_t>(r.second, m_seqChannelCount - r.first);
        if (r.first > MAX_SPARSE_FIELD || count > MAX_SPARSE_FIELD || cleaned.size() >= MAX_SPARSE_RANGES) {
            LogErr(VB_SEQUENCE, "Sparse range %u+%u of %s cannot be stored (24-bit values, at most %d ranges); dropped\n",
                   r.first, count, m_filename.c_str(), (int)MAX_SPARSE_RANGES);
            continue;
        }
        cleaned.push_back({r.first, count});
        stored += count;
    }
    m_sparseRanges = cleaned;
    if (!m_sparseRanges.empty()) {
        m_seqChannelCount = (uint32_t)std::min<uint64_t>(stored, UINT32_MAX);
    }

    int maxBlocks = m_handler->computeMaxBlocks(m_allowExtendedBlocks ? 4095 : 255);
    uint64_t firstHeader = V2_FIXED_HEADER_SIZE + 8ull * maxBlocks + 6ull * m_sparseRanges.size();

    uint64_t allInline = firstHeader;
    for (auto& h : m_variableHeaders) {
        allInline += h.extendedData ? EXTENDED_HEADER_SIZE : h.data.size() + 4;
    }
    bool mixed = !(m_seqVersionMinor < 2 || allInline < 65535);
    if (!mixed && roundTo4(allInline) > HSEQ_MAX_HEADER_SIZE) {
        // Inline headers this long would overflow the 16-bit data offset and
        // leave an unreadable file: store the long ones after the frames.
        LogWarn(VB_SEQUENCE, "Variable headers of %s need %llu header bytes; storing long ones after the frames\n",
                m_filename.c_str(), (unsigned long long)allInline);
        mixed = true;
    }
    std::vector<int> form(m_variableHeaders.size(), 0);  // 0 inline, 1 extended, -1 left out
    uint64_t end = firstHeader;
    for (size_t i = 0; i < m_variableHeaders.size(); ++i) {
        auto& h = m_variableHeaders[i];
        bool ext = h.extendedData || (mixed && h.data.size() + 4 > EXTENDED_HEADER_SIZE);
        uint64_t size = ext ? EXTENDED_HEADER_SIZE : h.data.size() + 4;
        if (roundTo4(end + size) > HSEQ_MAX_HEADER_SIZE || (ext && h.data.size() > UINT32_MAX)) {
            LogErr(VB_SEQUENCE, "VariableHeader %c%c of %d bytes does not fit in the header of %s; it is not written\n",
                   h.code[0], h.code[1], (int)h.data.size(), m_filename.c_str());
            form[i] = -1;
            continue;
        }
        form[i] = ext ? 1 : 0;
        end += size;
    }
    uint64_t computed = roundTo4(end);
    m_seqChanDataOffset = computed;
    m_handler->m_seqChanDataOffset = computed;
    if (m_uniqueId == 0) {
        m_uniqueId = (uint64_t)GetWallTime();  // the time of writing
    }
    int step = m_seqStepTime;
    if (step < 1 || step > 255) {
        step = std::clamp(step, 1, 255);
        LogErr(VB_SEQUENCE, "Step time %d ms cannot be stored in %s, writing %d ms\n", m_seqStepTime, m_filename.c_str(),
               step);
    }

    uint64_t headerStart = tell();
    std::vector<uint8_t> header(computed, 0);
    memcpy(&header[0], "PSEQ", 4);
    PutLE16(&header[4], (uint16_t)computed);
    header[6] = (uint8_t)m_seqVersionMinor;
    header[7] = 2;
    PutLE16(&header[8], (uint16_t)firstHeader);
    PutLE32(&header[10], m_seqChannelCount);
    PutLE32(&header[14], m_seqNumFrames);
    header[18] = (uint8_t)step;
    header[19] = 0;
    header[20] = (uint8_t)((m_handler->getCompressionType() & 0x0F) | ((maxBlocks >> 4) & 0xF0));
    header[21] = (uint8_t)(maxBlocks & 0xFF);
    header[22] = (uint8_t)m_sparseRanges.size();
    header[23] = 0;
    PutLE64(&header[24], m_uniqueId);
    size_t writePos = V2_FIXED_HEADER_SIZE + 8 * maxBlocks;
    for (auto& r : m_sparseRanges) {
        PutLE24(&header[writePos], r.first);
        PutLE24(&header[writePos + 3], r.second);
        writePos += 6;
    }
    m_handler->m_variableHeaderOffsets.assign(m_variableHeaders.size(), 0);
    m_inlineHeaderData.assign(m_variableHeaders.size(), {0, 0});
    for (size_t i = 0; i < m_variableHeaders.size(); ++i) {
        auto& h = m_variableHeaders[i];
        if (form[i] < 0) {
            continue;
        }
        if (form[i] == 1) {
            // Extended: length 18, "ED", real code, data offset (filled in by
            // finalize once the data is written), data length.
            PutLE16(&header[writePos], EXTENDED_HEADER_SIZE);
            header[writePos + 2] = 'E';
            header[writePos + 3] = 'D';
            header[writePos + 4] = h.code[0];
            header[writePos + 5] = h.code[1];
            PutLE64(&header[writePos + 6], 0);
            PutLE32(&header[writePos + 14], (uint32_t)h.data.size());
            m_handler->m_variableHeaderOffsets[i] = headerStart + writePos + 6;
            writePos += EXTENDED_HEADER_SIZE;
        } else {
            PutLE16(&header[writePos], (uint16_t)(h.data.size() + 4));
            header[writePos + 2] = h.code[0];
            header[writePos + 3] = h.code[1];
            if (!h.data.empty()) memcpy(&header[writePos + 4], h.data.data(), h.data.size());
            m_inlineHeaderData[i] = {headerStart + writePos + 4, h.data.size()};
            writePos += h.data.size() + 4;
        }
    }
    if (roundTo4(writePos) != computed) {
        LogErr(VB_SEQUENCE,
               "Final write position (%d, roundTo4 = %d) does not match channel data offset (%d)! This means the header "
               "size failed to compute an accurate buffer size.\n",
               (int)writePos, (int)roundTo4(writePos), (int)computed);
    }
    write(header.data(), computed);
    LogDebug(VB_SEQUENCE, "Setup for writing v2 HSEQ\n");
    dumpInfo(true);
}

void V2HSEQFile::addFrame(uint32_t frame, const uint8_t* data) {
    if (m_handler) {
        m_handler->addFrame(frame, data);
    }
}

void V2HSEQFile::finalize() {
    if (m_handler) {
        m_handler->finalize();
    }
    HSEQFile::finalize();
}

bool V2HSEQFile::writeFrameCount(uint32_t frames) {
    uint8_t count[4];
    PutLE32(count, frames);
    uint64_t end = tell();
    bool ok = seek(V2_FRAME_COUNT_AT, SEEK_SET) == 0 && write(count, 4) == 4 && seek(end, SEEK_SET) == 0;
    if (ok) m_seqNumFrames = frames;
    return ok;
}

bool V2HSEQFile::rewriteVariableHeader(size_t index) {
    if (index >= m_inlineHeaderData.size() || index >= m_variableHeaders.size()) return false;
    auto& at = m_inlineHeaderData[index];
    const auto& data = m_variableHeaders[index].data;
    if (at.first == 0 || data.size() != at.second) return false;
    uint64_t end = tell();
    return seek(at.first, SEEK_SET) == 0 && write(data.data(), data.size()) == data.size() && seek(end, SEEK_SET) == 0;
}

// Flushes the stream and asks the disk to keep what it holds.
static bool FlushToDisk(FILE* f) { return f && fflush(f) == 0 && fsync(fileno(f)) == 0; }

uint32_t V2HSEQFile::finalizeWithFrames(uint32_t frames) {
    if (!hadWriteError()) {
        finalize();
        if (!hadWriteError() && writeFrameCount(frames) && FlushToDisk(stream())) return frames;
    }
    return keepWholeBlocks();
}

// After a failed write the stream's buffer and the end of the file are in
// an unknown state; the bytes in the file (written in order, so a prefix of
// what was meant) are what counts. Every block whose successor began within
// them is whole.
uint32_t V2HSEQFile::keepWholeBlocks() {
    FILE* f = stream();
    if (!f || !m_handler || m_compressionType == CompressionType::none) return 0;
    __fpurge(f);
    clearerr(f);
    struct stat st;
    if (fstat(fileno(f), &st) != 0) return 0;
    uint64_t size = (uint64_t)st.st_size;
    auto& blocks = m_frameOffsets;
    size_t keep = 0;
    while (keep + 1 < blocks.size() && blocks[keep + 1].second <= size) ++keep;
    if (keep == 0) return 0;
    uint32_t frames = blocks[keep].first;
    uint64_t end = blocks[keep].second;
    blocks.resize(keep);
    if (frames == 0 || ftruncate(fileno(f), (off_t)end) != 0) return 0;
    clearWriteError();
    m_handler->discardOpenBlock();
    // Entries of blocks cut off may have been written by a finalize.
    std::vector<uint8_t> zeros(8 * (size_t)std::max(m_handler->computeMaxBlocks(), 0), 0);
    seek(V2_FIXED_HEADER_SIZE, SEEK_SET);
    write(zeros.data(), zeros.size());
    seek(end, SEEK_SET);
    m_handler->finalize();
    if (!writeFrameCount(frames) || !FlushToDisk(f) || hadWriteError()) return 0;
    LogWarn(VB_SEQUENCE, "%s: kept the first %u frames that reached the disk whole\n", m_filename.c_str(), frames);
    return frames;
}

void V2HSEQFile::dumpInfo(bool indent) {
    if (!WillLog(LOG_DEBUG, VB_SEQUENCE)) return;
    HSEQFile::dumpInfo(indent);
    const char* ind = indent ? "    " : "";
    LogDebug(VB_SEQUENCE, "%sSequence File Information\n", ind);
    LogDebug(VB_SEQUENCE, "%scompressionType       : %d\n", ind, (int)m_compressionType);
    LogDebug(VB_SEQUENCE, "%snumBlocks             : %d\n", ind, m_handler ? m_handler->computeMaxBlocks(255) : 0);
    LogDebug(VB_SEQUENCE, "%snumRanges             : %d\n", ind, (int)m_sparseRanges.size());
}
