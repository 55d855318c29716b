// Storage of version 2 sequence frames: uncompressed frames, and the block
// machinery shared by the zstd and zlib handlers (block limit, block index,
// the "HSEQReadThread" read-ahead and the per-frame decoding loop).

#include "hseq/V2Handlers.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>

#include "ThreadPriority.h"
#include "Warnings.h"
#include "common.h"
#include "ByteOrder.h"
#include "log.h"

static constexpr int V2_FIXED_HEADER_SIZE = 32;
static constexpr uint64_t RAW_BYTES_PER_BLOCK = 65536;
static constexpr uint32_t MIN_FRAMES_PER_BLOCK = 10;
static constexpr uint32_t FIRST_BLOCK_FRAMES = 10;
static constexpr int READ_AHEAD_BLOCKS = 4;
static constexpr size_t SPARE_BLOCK_BUFFERS = 2;
static constexpr uint32_t FINALIZE_SENTINEL_FRAME = 99999999;

// ------------------------------------------------------------ V2Handler

V2Handler::V2Handler(V2HSEQFile* f) : m_file(f), m_seqChanDataOffset(f->m_seqChanDataOffset) {}

void V2Handler::finalize() {
    auto& headers = m_file->m_variableHeaders;
    for (size_t i = 0; i < m_variableHeaderOffsets.size() && i < headers.size(); ++i) {
        if (m_variableHeaderOffsets[i] == 0) {
            continue;
        }
        uint64_t dataPos = m_file->tell();
        if (!headers[i].data.empty()) {
            m_file->write(headers[i].data.data(), headers[i].data.size());
        }
        uint64_t end = m_file->tell();
        uint8_t offset[8];
        PutLE64(offset, dataPos);
        m_file->seek(m_variableHeaderOffsets[i], SEEK_SET);
        m_file->write(offset, 8);
        m_file->seek(end, SEEK_SET);
    }
}

bool V2Handler::readerTakesWholeFrame() const {
    uint32_t cc = m_file->m_seqChannelCount;
    if (m_file->m_dataBlockSize != cc) return false;
    if (!m_file->m_sparseRanges.empty()) return true;
    auto& r = m_file->m_rangesToRead;
    return r.size() == 1 && r[0].first == 0 && r[0].second == cc;
}

HSEQFile::FrameData* V2Handler::frameFromStored(uint32_t frame, const uint8_t* stored) {
    uint32_t cc = m_file->m_seqChannelCount;
    UncompressedFrameData* data = m_file->newFrameData(frame, m_file->m_dataBlockSize, m_file->m_rangesToRead);
    if (data->m_data == nullptr) {
        LogErr(VB_SEQUENCE, "Could not allocate %u bytes for frame %u\n", m_file->m_dataBlockSize, frame);
        return data;
    }
    if (!m_file->m_sparseRanges.empty()) {
        memcpy(data->m_data, stored, std::min(data->m_size, cc));
    } else {
        uint64_t pos = 0;
        for (auto& r : m_file->m_rangesToRead) {
            if (r.first < cc && pos + r.second <= data->m_size) {
                memcpy(data->m_data + pos, stored + r.first, std::min<uint64_t>(r.second, cc - r.first));
            }
            pos += r.second;
        }
    }
    return data;
}

// ------------------------------------------------------------ uncompressed

HSEQFile::FrameData* V2NoneCompressionHandler::getFrame(uint32_t frame) {
    uint32_t cc = m_file->m_seqChannelCount;
    uint32_t size = m_file->m_dataBlockSize;
    UncompressedFrameData* data = m_file->newFrameData(frame, size, m_file->m_rangesToRead);
    if (data->m_data == nullptr) {
        if (size) LogErr(VB_SEQUENCE, "Could not allocate %u bytes for frame %u\n", size, frame);
        return data;
    }
    uint64_t offset = m_seqChanDataOffset + (uint64_t)frame * cc;
    if (m_file->seek(offset, SEEK_SET) != 0) {
        LogErr(VB_SEQUENCE, "Failed to seek to proper offset for channel data! %llu\n", (unsigned long long)offset);
        memset(data->m_data, 0, size);
        return data;
    }
    if (!m_file->m_sparseRanges.empty()) {
        uint64_t got = m_file->read(data->m_data, size);
        if (got != size) {
            LogErr(VB_SEQUENCE, "Failed to read channel data!   Needed to read %d but read %d\n", (int)size, (int)got);
            memset(data->m_data + got, 0, size - got);
        }
        return data;
    }
    uint64_t pos = 0;
    for (auto& r : m_file->m_rangesToRead) {
        if (r.first < cc && r.second) {
            uint64_t got = 0;
            if (m_file->seek(offset + r.first, SEEK_SET) == 0) {
                got = m_file->read(data->m_data + pos, r.second);
            }
            if (got != r.second) {
                LogErr(VB_SEQUENCE, "Failed to read channel data!   Needed to read %d but read %d\n", (int)r.second,
                       (int)got);
                memset(data->m_data + pos + got, 0, r.second - got);
            }
        }
        pos += r.second;
    }
    return data;
}

void V2NoneCompressionHandler::prepareRead(uint32_t startFrame) {
    if (startFrame < m_file->m_seqNumFrames) {
        delete getFrame(startFrame);
    }
}

void V2NoneCompressionHandler::addFrame(uint32_t frame, const uint8_t* data) {
    if (m_file->m_sparseRanges.empty()) {
        m_file->write(data, m_file->m_seqChannelCount);
    } else {
        for (auto& r : m_file->m_sparseRanges) {
            m_file->write(data + r.first, r.second);
        }
    }
}

// ------------------------------------------------------------ compressed blocks

V2CompressedHandler::V2CompressedHandler(V2HSEQFile* f) : V2Handler(f) {}

V2CompressedHandler::~V2CompressedHandler() {
    if (m_readThread) {
        m_readThreadRunning = false;
        {
            std::lock_guard<std::mutex> lock(m_readLock);
            m_readSignal.notify_all();
        }
        m_readThread->join();
        delete m_readThread;
        m_readThread = nullptr;
    }
    for (auto& b : m_blockMap) {
        free(b.second.data);
    }
    m_blockMap.clear();
    for (auto& b : m_spareBuffers) free(b.data);
}

V2CompressedHandler::Block V2CompressedHandler::takeBuffer(uint64_t size) {
    Block b;
    b.size = size;
    if (!size) return b;
    if (!m_spareBuffers.empty()) {
        auto largest = std::max_element(m_spareBuffers.begin(), m_spareBuffers.end(),
                                        [](const Block& x, const Block& y) { return x.capacity < y.capacity; });
        if (largest->capacity >= size) {
            b.data = largest->data;
            b.capacity = largest->capacity;
            m_spareBuffers.erase(largest);
            return b;
        }
    }
    // Some room over, so that the next, slightly bigger block fits too.
    uint64_t capacity = size + size / 8;
    b.data = (uint8_t*)malloc(capacity);
    b.capacity = b.data ? capacity : 0;
    return b;
}

void V2CompressedHandler::releaseBuffer(Block& b) {
    if (b.data && m_spareBuffers.size() < SPARE_BLOCK_BUFFERS) {
        m_spareBuffers.push_back(b);
    } else {
        free(b.data);
    }
    b = Block();
}

int V2CompressedHandler::computeMaxBlocks(int maxBlocks) {
    if (m_maxBlocks > 0) {
        return m_maxBlocks;
    }
    if (maxBlocks < 3) {
        maxBlocks = 3;
    }
    uint64_t frames = m_file->m_seqNumFrames;
    uint64_t total = frames * m_file->m_seqChannelCount;
    uint64_t perBlock;
    if ((uint64_t)maxBlocks < total / RAW_BYTES_PER_BLOCK) {
        perBlock = frames / maxBlocks;
    } else if (total >= RAW_BYTES_PER_BLOCK) {
        perBlock = frames / (total / RAW_BYTES_PER_BLOCK);
    } else {
        perBlock = frames;
    }
    perBlock = std::max<uint64_t>(perBlock, MIN_FRAMES_PER_BLOCK);
    m_framesInBlock = 0;
    m_curBlock = 0;
    // Smallest count that keeps frames / perBlock + 1 within the limit
    // (the same result as growing perBlock one frame at a time).
    perBlock = std::max<uint64_t>(perBlock, frames / maxBlocks + 1);
    uint64_t blocks = frames / perBlock + 1;
    if (blocks < (uint64_t)maxBlocks - 1) {
        blocks += 2;
    } else if (blocks < (uint64_t)maxBlocks) {
        blocks += 1;
    }
    m_framesPerBlock = (uint32_t)std::min<uint64_t>(perBlock, UINT32_MAX);
    m_maxBlocks = (int)blocks;
    return m_maxBlocks;
}

void V2CompressedHandler::writeOutput(const void* data, size_t len) {
    if (len) {
        m_file->write(data, len);
    }
}

void V2CompressedHandler::addFrame(uint32_t frame, const uint8_t* data) {
    if (m_maxBlocks == 0) {
        computeMaxBlocks(m_file->m_allowExtendedBlocks ? 4095 : 255);
    }
    if (m_framesInBlock == 0) {
        m_file->m_frameOffsets.push_back({frame, m_file->tell()});
        beginBlockWrite(frame);
    }
    if (m_file->m_sparseRanges.empty()) {
        compressBytes(data, m_file->m_seqChannelCount);
    } else {
        for (auto& r : m_file->m_sparseRanges) {
            compressBytes(data + r.first, r.second);
        }
    }
    ++m_framesInBlock;
    bool endBlock = (m_curBlock == 0 && m_framesInBlock == FIRST_BLOCK_FRAMES) ||
                    (m_framesInBlock >= m_framesPerBlock && m_file->m_frameOffsets.size() < (size_t)m_maxBlocks);
    if (endBlock) {
        endBlockWrite();
        m_framesInBlock = 0;
        ++m_curBlock;
    }
}

void V2CompressedHandler::finalize() {
    if (m_framesInBlock > 0) {
        endBlockWrite();
        m_framesInBlock = 0;
        ++m_curBlock;
    }
    uint64_t end = m_file->tell();
    m_file->seek(V2_FIXED_HEADER_SIZE, SEEK_SET);
    auto& blocks = m_file->m_frameOffsets;
    if (blocks.empty()) {
        LogErr(VB_SEQUENCE, "Error writing hseq file.  No compressed blocks created.\n");
        blocks.push_back({0, m_seqChanDataOffset});
    }
    blocks.push_back({FINALIZE_SENTINEL_FRAME, end});
    size_t count = std::min(blocks.size() - 1, (size_t)std::max(m_maxBlocks, 0));
    std::vector<uint8_t> index(8 * count);
    for (size_t i = 0; i < count; ++i) {
        uint64_t size = blocks[i + 1].second - blocks[i].second;
        if (size > UINT32_MAX) {
            LogErr(VB_SEQUENCE, "Block %d of %s is %llu bytes, more than the index can hold\n", (int)i,
                   m_file->m_filename.c_str(), (unsigned long long)size);
        }
        PutLE32(&index[8 * i], blocks[i].first);
        PutLE32(&index[8 * i + 4], (uint32_t)size);
    }
    if (!index.empty()) {
        m_file->write(index.data(), index.size());
    }
    blocks.pop_back();
    m_file->seek(end, SEEK_SET);
    V2Handler::finalize();
}

int V2CompressedHandler::findBlock(uint32_t frame) const {
    auto& blocks = m_file->m_frameOffsets;
    for (size_t b = 0; b + 1 < blocks.size(); ++b) {
        if (blocks[b].first <= frame && frame < blocks[b + 1].first) {
            return (int)b;
        }
    }
    return -1;
}

void V2CompressedHandler::prepareRead(uint32_t startFrame) {
    int b = findBlock(startFrame);
    if (b < 0) {
        b = 0;
    }
    LogDebug(VB_SEQUENCE, "Preparing to read starting frame:  %d    block: %d\n", (int)startFrame, b);
    {
        std::lock_guard<std::mutex> lock(m_readLock);
        for (int i = 0; i < READ_AHEAD_BLOCKS; ++i) {
            m_readQueue.push_back(b + i);
        }
        m_firstBlock = b;
        m_readSignal.notify_all();
    }
    if (m_readThread == nullptr) {
        m_readThreadRunning = true;
        m_readThread = new std::thread(&V2CompressedHandler::readThread, this);
    }
}

void V2CompressedHandler::readThread() {
    SetThreadName("HSEQReadThread");
    RaiseThreadPriority(ThreadRole::ReadAhead);
    auto& blocks = m_file->m_frameOffsets;  // fixed once the file is open
    int realBlocks = (int)blocks.size() - 1;
    uint64_t frames = m_file->m_seqNumFrames;
    uint64_t raw = frames * m_file->m_seqChannelCount;
    // No block coded by either library is bigger than the bound of all raw
    // frame bytes; an index entry saying so is wrong.
    uint64_t maxSize = std::max<uint64_t>(ZSTD_compressBound(raw), compressBound(raw > UINT32_MAX ? UINT32_MAX : raw));
    if (raw > UINT32_MAX) maxSize = std::max<uint64_t>(maxSize, raw + raw / 1000 + 1024);

    std::unique_lock<std::mutex> lock(m_readLock);
    while (m_readThreadRunning) {
        // Every request and the stop notify: no need to look every so often
        // (a wake-up per frame at 40 frames a second, for nothing).
        m_readSignal.wait(lock, [this] { return !m_readQueue.empty() || !m_readThreadRunning; });
        if (!m_readThreadRunning) break;
        int k = m_readQueue.front();
        m_readQueue.pop_front();
        Block& entry = m_blockMap[k];
        if (entry.data != nullptr || k < 0 || k >= realBlocks || m_failedBlocks.count(k)) {
            continue;
        }
        lock.unlock();
        uint64_t offset = blocks[k].second;
        uint64_t size = blocks[k + 1].second - offset;
        if (size > maxSize) {
            LogWarn(VB_SEQUENCE, "Serious problem reading sequence data\n");
            LogWarn(VB_SEQUENCE, "    Block: %d / %d\n", k, realBlocks);
            LogWarn(VB_SEQUENCE, "    Offset: %d\n", (int)offset);
            LogWarn(VB_SEQUENCE, "    Offset+1: %d\n", (int)blocks[k + 1].second);
            LogWarn(VB_SEQUENCE, "    Size: %d\n", (int)size);
            LogWarn(VB_SEQUENCE, "    Max: %d\n", (int)maxSize);
            for (size_t i = 0; i < blocks.size(); ++i) {
                uint64_t s = i + 1 < blocks.size() ? blocks[i + 1].second - blocks[i].second : 0;
                LogWarn(VB_SEQUENCE, "        Block %d:    Offset: %d    Size: %d\n", (int)i, (int)blocks[i].second,
                        (int)s);
            }
            size = maxSize;
        }
        lock.lock();
        Block read = takeBuffer(size);
        lock.unlock();
        uint64_t got = read.data ? m_file->readAt(offset, read.data, size) : 0;
        bool ok = read.data != nullptr && got == size;
        if (!ok) {
            LogErr(VB_SEQUENCE, "Could not read block %d of %s (%llu bytes at offset %llu, read %llu)\n", k,
                   m_file->m_filename.c_str(), (unsigned long long)size, (unsigned long long)offset,
                   (unsigned long long)got);
        }
        lock.lock();
        Block& stored = m_blockMap[k];
        if (ok && stored.data == nullptr) {
            stored = read;
        } else {
            releaseBuffer(read);
        }
        if (!ok) m_failedBlocks.insert(k);
        m_readSignal.notify_all();
    }
}

const uint8_t* V2CompressedHandler::getBlock(int k, uint64_t& size) {
    std::unique_lock<std::mutex> lock(m_readLock);
    while (true) {
        auto it = m_blockMap.find(k);
        if (it != m_blockMap.end() && it->second.data != nullptr) {
            break;
        }
        if (m_failedBlocks.count(k) || !m_readThreadRunning) {
            return nullptr;
        }
        if (m_firstBlock != 0 && k > m_firstBlock + 3) {
            lock.unlock();
            WarningHolder::AddWarningTimeout("HSEQ Data Block not available - Likely slow storage", 90);
            lock.lock();
            LogWarn(VB_SEQUENCE,
                    "Data block not available when needed %d/%d.  First block requested: %d.   Likely slow storage.\n", k,
                    m_maxBlocks, m_firstBlock);
            LogWarn(VB_SEQUENCE, "Blocks: %d     First: %d\n", (int)m_readQueue.size(),
                    m_readQueue.empty() ? -1 : m_readQueue.front());
        }
        m_readQueue.push_front(k);
        m_readSignal.notify_all();
        m_readSignal.wait_for(lock, std::chrono::seconds(10));
    }
    // Keep block 0 (a restart goes there) and a window around k; everything
    // else read earlier is freed so memory stays bounded after seeks.
    for (auto& b : m_blockMap) {
        if (b.first != 0 && b.second.data != nullptr && (b.first < k - 1 || b.first > k + READ_AHEAD_BLOCKS + 1)) {
            releaseBuffer(b.second);
        }
    }
    auto& block = m_blockMap[k];
    size = block.size;
    return block.data;
}

bool V2CompressedHandler::enterBlock(int k) {
    m_decodeBlock = -1;
    uint64_t size = 0;
    const uint8_t* data = getBlock(k, size);
    if (data == nullptr) {
        return false;
    }
    auto& blocks = m_file->m_frameOffsets;
    int realBlocks = (int)blocks.size() - 1;
    if (k < realBlocks - 1) {
        for (int j = k + 1; j <= k + READ_AHEAD_BLOCKS; ++j) {
            if (j >= realBlocks) {
                break;
            }
            uint64_t end = (j + 1 >= realBlocks - 1) ? blocks[j + 1].second : blocks[j + 2].second;
            m_file->preload(blocks[j].second, end - blocks[j].second);
            std::lock_guard<std::mutex> lock(m_readLock);
            m_readQueue.push_back(j);
            m_readSignal.notify_all();
        }
    }
    m_decodeBlock = k;
    m_decodeData = data;
    m_decodeSize = size;
    m_framesDecoded = 0;
    m_bufferFrame = NO_FRAME;
    beginBlockRead(data, size);
    return true;
}

HSEQFile::FrameData* V2CompressedHandler::getFrame(uint32_t frame) {
    auto& blocks = m_file->m_frameOffsets;
    if (m_decodeBlock < 0 || frame < blocks[m_decodeBlock].first || frame >= blocks[m_decodeBlock + 1].first) {
        int b = findBlock(frame);
        if (b < 0) {
            _LogWrite(__FILE__, __LINE__, m_reportedBlocks.insert(-1).second ? LOG_ERR : LOG_EXCESS, VB_SEQUENCE,
                      "Frame %u of %s is in no block of the file\n", frame, m_file->m_filename.c_str());
            return nullptr;
        }
        if (!enterBlock(b)) {
            _LogWrite(__FILE__, __LINE__, m_reportedBlocks.insert(b).second ? LOG_ERR : LOG_EXCESS, VB_SEQUENCE,
                      "Frame %u of %s is missing: block %d could not be read\n", frame, m_file->m_filename.c_str(), b);
            return nullptr;
        }
    }
    uint32_t cc = m_file->m_seqChannelCount;
    uint32_t offset = frame - blocks[m_decodeBlock].first;
    if (offset != m_bufferFrame) {
        if (offset < m_framesDecoded) {
            // Earlier in this block than the last decoded frame: decode again
            // from the block's start rather than keeping whole blocks decoded.
            beginBlockRead(m_decodeData, m_decodeSize);
            m_framesDecoded = 0;
        }
        if (m_frameBufferSize != cc) {
            m_frameBuffer.reset(new (std::nothrow) uint8_t[cc]);
            m_frameBufferSize = m_frameBuffer ? cc : 0;
            if (!m_frameBuffer) {
                LogErr(VB_SEQUENCE, "Could not allocate %u bytes to decode frame %u\n", cc, frame);
                return nullptr;
            }
        }
        // A failed decode leaves part of a frame in the buffer.
        m_bufferFrame = NO_FRAME;
        while (m_framesDecoded <= offset) {
            if (m_framesDecoded == offset && readerTakesWholeFrame()) {
                // The reader wants the stored frame as it is: decode it into
                // the frame handed out rather than copying it over (at
                // millions of channels a copy costs as much as a tenth of
                // the decoding).
                UncompressedFrameData* data = m_file->newFrameData(frame, m_file->m_dataBlockSize, m_file->m_rangesToRead);
                if (data->m_data == nullptr) {
                    LogErr(VB_SEQUENCE, "Could not allocate %u bytes for frame %u\n", m_file->m_dataBlockSize, frame);
                    return data;
                }
                if (!decodeNextFrame(data->m_data, cc)) {
                    LogErr(VB_SEQUENCE, "Frame %u of %s is missing: block %d holds only %u complete frames\n", frame,
                           m_file->m_filename.c_str(), m_decodeBlock, m_framesDecoded);
                    delete data;
                    return nullptr;
                }
                ++m_framesDecoded;
                return data;
            }
            if (!decodeNextFrame(m_frameBuffer.get(), cc)) {
                _LogWrite(__FILE__, __LINE__, m_reportedBlocks.insert(m_decodeBlock).second ? LOG_ERR : LOG_EXCESS,
                          VB_SEQUENCE, "Frame %u of %s is missing: block %d holds only %u complete frames\n", frame,
                          m_file->m_filename.c_str(), m_decodeBlock, m_framesDecoded);
                return nullptr;
            }
            ++m_framesDecoded;
        }
        m_bufferFrame = offset;
    }
    return frameFromStored(frame, m_frameBuffer.get());
}
