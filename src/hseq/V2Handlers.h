#pragma once
// Storage handlers of version 2 sequence files, one per compression type,
// made and owned by V2HSEQFile. The compressed ones share block writing,
// the block index and the "HSEQReadThread" that reads whole blocks ahead of
// the reader; zstd and zlib differ only in how a block is coded.

#include <zlib.h>
#include <zstd.h>

#include <atomic>
#include <condition_variable>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "hseq/HSEQFile.h"

class V2Handler {
public:
    explicit V2Handler(V2HSEQFile* f);
    virtual ~V2Handler() {}

    virtual int getCompressionType() = 0;
    virtual HSEQFile::FrameData* getFrame(uint32_t frame) = 0;
    virtual int computeMaxBlocks(int maxBlocks = 255) { return 0; }
    virtual void addFrame(uint32_t frame, const uint8_t* data) = 0;
    virtual std::string GetType() const = 0;
    virtual void prepareRead(uint32_t startFrame) {}
    // Forgets the frames of the block being written (they are cut off).
    virtual void discardOpenBlock() {}
    // Writes the data of extended variable headers after the frames.
    virtual void finalize();

    // File position of each variable header's 64-bit data offset field when
    // it is written extended, 0 when it is written inline.
    std::vector<uint64_t> m_variableHeaderOffsets;

protected:
    friend class V2HSEQFile;
    // Builds the frame object handed to the reader from one stored frame of
    // channel-count bytes.
    HSEQFile::FrameData* frameFromStored(uint32_t frame, const uint8_t* stored);
    // The frame handed out holds the stored frame byte for byte (no channel
    // ranges taken out of it).
    bool readerTakesWholeFrame() const;

    V2HSEQFile* m_file;
    uint64_t m_seqChanDataOffset;
};

class V2NoneCompressionHandler : public V2Handler {
public:
    explicit V2NoneCompressionHandler(V2HSEQFile* f) : V2Handler(f) {}
    int getCompressionType() override { return HSEQFile::CompressionType::none; }
    HSEQFile::FrameData* getFrame(uint32_t frame) override;
    void addFrame(uint32_t frame, const uint8_t* data) override;
    std::string GetType() const override { return "No Compression"; }
    void prepareRead(uint32_t startFrame) override;
};

class V2CompressedHandler : public V2Handler {
public:
    explicit V2CompressedHandler(V2HSEQFile* f);
    ~V2CompressedHandler() override;

    int computeMaxBlocks(int maxBlocks = 255) override;
    HSEQFile::FrameData* getFrame(uint32_t frame) override;
    void addFrame(uint32_t frame, const uint8_t* data) override;
    void prepareRead(uint32_t startFrame) override;
    void finalize() override;
    void discardOpenBlock() override { m_framesInBlock = 0; }

    // Index of the block holding frame, -1 when no block holds it.
    int findBlock(uint32_t frame) const;
    uint32_t getFramesPerBlock() const { return m_framesPerBlock; }

protected:
    // Coding of one block, implemented per compression type.
    virtual void beginBlockWrite(uint32_t frame) = 0;
    virtual void compressBytes(const uint8_t* data, size_t len) = 0;
    virtual void endBlockWrite() = 0;
    // Starts decoding a block of compressed bytes (kept by the block map).
    virtual void beginBlockRead(const uint8_t* data, uint64_t size) = 0;
    // Decodes the next frame of the current block into out (channel-count
    // bytes); false when the block holds no further complete frame.
    virtual bool decodeNextFrame(uint8_t* out, uint32_t len) = 0;

    void writeOutput(const void* data, size_t len);

    uint32_t m_framesPerBlock = 0;
    uint32_t m_framesInBlock = 0;  // writing: frames in the block being written
    int m_curBlock = 0;            // writing: index of the block being written
    int m_maxBlocks = 0;           // block limit, 0 until computed

private:
    void readThread();
    // The compressed bytes of block k; null when they cannot be had.
    const uint8_t* getBlock(int k, uint64_t& size);
    bool enterBlock(int k);
    void endBlock();

    struct Block {
        uint8_t* data = nullptr;  // malloc'ed compressed bytes, null once released
        uint64_t size = 0;
        uint64_t capacity = 0;  // bytes allocated at data
    };
    // A buffer of at least size bytes for a block: a spare one, else a new
    // one; data is null when memory ran out. Caller holds m_readLock.
    Block takeBuffer(uint64_t size);
    // Keeps a block's buffer for the blocks still to come, or frees it.
    // Caller holds m_readLock.
    void releaseBuffer(Block& b);

    std::atomic<bool> m_readThreadRunning{false};
    std::thread* m_readThread = nullptr;
    // Guards m_blockMap, m_readQueue and m_failedBlocks; m_readSignal wakes
    // the read thread for new work and the reader for a stored block.
    std::mutex m_readLock;
    std::map<int, Block> m_blockMap;
    std::list<int> m_readQueue;
    std::set<int> m_failedBlocks;  // blocks the read thread could not read
    // Buffers of blocks the reader left behind, reused for the next blocks
    // rather than each block faulting fresh pages in (megabytes per block
    // at millions of channels).
    std::vector<Block> m_spareBuffers;
    std::condition_variable m_readSignal;
    int m_firstBlock = 0;

    // Decoding state, used by the reader's thread only.
    int m_decodeBlock = -1;           // block being decoded, -1 for none
    const uint8_t* m_decodeData = nullptr;  // its compressed bytes (held by m_blockMap)
    uint64_t m_decodeSize = 0;
    uint32_t m_framesDecoded = 0;     // frames of m_decodeBlock decoded so far
    static constexpr uint32_t NO_FRAME = UINT32_MAX;
    uint32_t m_bufferFrame = NO_FRAME;  // offset in the block of the frame in m_frameBuffer
    std::unique_ptr<uint8_t[]> m_frameBuffer;  // the last decoded frame, channel-count bytes
    uint32_t m_frameBufferSize = 0;
    // Blocks whose missing frames were reported: a damaged block is named
    // once, not once for every frame the player asks of it (those repeats
    // only at excess level, so a debug log of the player stays readable).
    std::set<int> m_reportedBlocks;
};

class V2ZSTDCompressionHandler : public V2CompressedHandler {
public:
    explicit V2ZSTDCompressionHandler(V2HSEQFile* f);
    ~V2ZSTDCompressionHandler() override;
    int getCompressionType() override { return HSEQFile::CompressionType::zstd; }
    std::string GetType() const override { return "Compressed ZSTD"; }
    void finalize() override;

protected:
    void beginBlockWrite(uint32_t frame) override;
    void compressBytes(const uint8_t* data, size_t len) override;
    void endBlockWrite() override;
    void beginBlockRead(const uint8_t* data, uint64_t size) override;
    bool decodeNextFrame(uint8_t* out, uint32_t len) override;

private:
    ZSTD_CStream* m_cctx = nullptr;
    ZSTD_DStream* m_dctx = nullptr;
    ZSTD_outBuffer_s m_outBuffer = {nullptr, 0, 0};
    ZSTD_inBuffer_s m_inBuffer = {nullptr, 0, 0};
    bool m_streamFailed = false;  // the current block's stream hit an error
    bool m_zstdFrameDone = false;  // the current block's zstd frame is fully decoded
};

class V2ZLIBCompressionHandler : public V2CompressedHandler {
public:
    explicit V2ZLIBCompressionHandler(V2HSEQFile* f);
    ~V2ZLIBCompressionHandler() override;
    int getCompressionType() override { return HSEQFile::CompressionType::zlib; }
    std::string GetType() const override { return "Compressed ZLIB"; }

protected:
    void beginBlockWrite(uint32_t frame) override;
    void compressBytes(const uint8_t* data, size_t len) override;
    void endBlockWrite() override;
    void beginBlockRead(const uint8_t* data, uint64_t size) override;
    bool decodeNextFrame(uint8_t* out, uint32_t len) override;

private:
    z_stream* m_deflate = nullptr;
    z_stream* m_inflate = nullptr;
    uint8_t* m_outBuffer = nullptr;  // writing: 1 MiB of deflated output
    const uint8_t* m_curBlockData = nullptr;
    bool m_streamEnded = false;
    bool m_streamFailed = false;  // the current block's stream hit an error
};
