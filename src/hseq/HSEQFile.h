#pragma once
// Sequence files (.hseq): the model shared by every version, version 1 and
// version 2 (sparse channel ranges, zstd or zlib frame blocks read ahead on
// "HSEQReadThread"). The sequence player, the sequence playlist entry and
// hsequtils open files with HSEQFile::openHSEQFile and write them with
// HSEQFile::createHSEQFile. docs/sequence-file-format.md describes the bytes.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class V2Handler;
class UncompressedFrameData;

// Frame buffers of one size that frames handed back when a reader deleted
// them, kept for the next frames: a playing file then works in memory it
// already has instead of faulting fresh pages in for every frame. Buffers
// are cut from slabs of whole 2 MiB huge pages where the kernel offers
// them: the first frames of a show of a million channels then fault in a
// page per two frames instead of 256 per frame, which cost more than their
// decoding. A slab lives as long as the pool, which holds no more than the
// most frames a reader kept at once. Shared by a file and the frames it
// made, so a frame may outlive its file.
class FrameBufferPool {
public:
    static constexpr uint32_t MIN_SIZE = 262144;  // smaller buffers malloc reuses by itself
    static constexpr size_t HUGE_PAGE = 2097152;
    static constexpr size_t SLAB_BYTES = 32 << 20;  // buffers per slab: as many as fit, at least one

    explicit FrameBufferPool(uint32_t size);
    ~FrameBufferPool();
    uint32_t size() const { return m_size; }
    // A buffer of size() + HSEQ_FRAME_SPARE_BYTES bytes, contents undefined;
    // null when memory ran out.
    uint8_t* take();
    void give(uint8_t* buffer);
    // Bytes of address space the slabs take.
    size_t slabBytes();

private:
    uint32_t m_size;
    size_t m_stride;      // one buffer, its spare bytes (and a guard), in whole cache lines
    size_t m_perSlab;
    size_t m_slabSize;    // m_perSlab buffers, in whole huge pages
    std::mutex m_lock;    // guards m_slabs and m_free
    std::vector<uint8_t*> m_slabs;
    std::vector<uint8_t*> m_free;  // the last given back is taken first, while it may still be cached
};

// Channel numbers at or above this are outside every show's channel space.
static constexpr uint32_t HSEQ_MAX_CHANNELS = 8388608;
// A frame's bytes are followed by this many zero bytes, as the player's
// channel buffer is, so outputs that read a little past their last channel
// (or count one past it) may be handed a frame's bytes directly.
static constexpr uint32_t HSEQ_FRAME_SPARE_BYTES = 8;

class HSEQFile {
public:
    enum CompressionType { none = 0, zstd = 1, zlib = 2 };
    // Names by on-disk code: "none", "zstd", "zlib".
    static const char* const CompressionTypeStrings[3];

    // A named piece of text or data stored with the file ("mf" media file,
    // "sp" producing program, "FC"/"FE" player data, anything else kept as is).
    class VariableHeader {
    public:
        VariableHeader() { code[0] = code[1] = 0; }
        VariableHeader(const char* c, const std::vector<uint8_t>& d, bool ext = false)
            : data(d), extendedData(ext) {
            code[0] = c[0];
            code[1] = c[1];
        }
        char code[2];
        std::vector<uint8_t> data;
        // Stored after the frames, referenced from an 18-byte "ED" header.
        bool extendedData = false;
    };

    // One frame handed to a reader; the caller of getFrame deletes it.
    class FrameData {
    public:
        explicit FrameData(uint32_t frame) : m_frame(frame) {}
        virtual ~FrameData() {}
        // Copies the frame's channels to their places in data, which holds
        // maxChannels bytes; false when the frame holds no usable bytes.
        virtual bool readFrame(uint8_t* data, uint32_t maxChannels) = 0;
        // The frame's bytes when it holds channels 0 to count - 1 in place
        // (one range from channel 0), for a reader that uses them without a
        // copy and never writes them; null otherwise.
        virtual uint8_t* channelBytes(uint32_t& count) { return nullptr; }
        uint32_t getFrameNumber() const { return m_frame; }

        uint32_t m_frame;
    };

    typedef std::vector<std::pair<uint32_t, uint32_t>> RangeList;  // (start channel, count)

    // Opens for reading: a V1HSEQFile or V2HSEQFile, or null (reason logged).
    static HSEQFile* openHSEQFile(const std::string& filename);
    // Creates a writer of version 1 or 2 ("-memory-" writes into memory);
    // null on an unknown version or when the file cannot be created.
    static HSEQFile* createHSEQFile(const std::string& filename, int version,
                                    CompressionType type = CompressionType::zstd, int level = -99);
    static std::string getMediaFilename(const std::string& filename);
    // The 20-byte header of a single-model "ESEQ" file, whose frames (each
    // `channels` bytes, of which the model's first `count`) follow it and
    // step every ESEQ_STEP_MS. `firstChannel` counts from 1.
    static constexpr int ESEQ_STEP_MS = 50;
    static std::vector<uint8_t> eseqHeader(uint32_t channels, uint32_t firstChannel, uint32_t count);

    virtual ~HSEQFile();

    virtual void prepareRead(const RangeList& ranges, uint32_t startFrame = 0) {}
    virtual FrameData* getFrame(uint32_t frame) = 0;
    // getFrame, with a frame of several ranges (a sparse file, or read
    // ranges with gaps) laid out by channel from channel 0 on, the gaps
    // zero, so that a player can use its bytes as they are rather than copy
    // them into place for every frame. A frame whose gaps would hold more
    // bytes than its ranges stays as read. Called by the reader's thread.
    FrameData* getPlacedFrame(uint32_t frame);
    virtual void enableMinorVersionFeatures(uint8_t v) {}
    virtual void initializeFromHSEQ(const HSEQFile& other);
    virtual void writeHeader() = 0;
    virtual void addFrame(uint32_t frame, const uint8_t* data) = 0;
    virtual void finalize();
    virtual void dumpInfo(bool indent = false);
    virtual uint32_t getMaxChannel() const = 0;

    std::string getMediaFilename() const;

    const std::string& getFilename() const { return m_filename; }
    uint64_t getUniqueId() const { return m_uniqueId; }
    void setUniqueId(uint64_t id) { m_uniqueId = id; }
    uint32_t getNumFrames() const { return m_seqNumFrames; }
    void setNumFrames(uint32_t n) { m_seqNumFrames = n; }
    uint32_t getChannelCount() const { return m_seqChannelCount; }
    void setChannelCount(uint32_t n) { m_seqChannelCount = n; }
    int getStepTime() const { return m_seqStepTime; }
    void setStepTime(int ms) { m_seqStepTime = ms; }
    int getVersionMajor() const { return m_seqVersionMajor; }
    int getVersionMinor() const { return m_seqVersionMinor; }
    uint64_t getChannelDataOffset() const { return m_seqChanDataOffset; }
    uint64_t getFileSize() const { return m_seqFileSize; }
    std::vector<VariableHeader>& getVariableHeaders() { return m_variableHeaders; }
    const std::vector<VariableHeader>& getVariableHeaders() const { return m_variableHeaders; }
    // True once a write or flush of this writer failed (logged when it happened).
    bool hadWriteError() const { return m_writeError; }

    // Low-level access for the version classes and their handlers.
    int seek(uint64_t location, int origin);
    uint64_t tell();
    uint64_t read(void* ptr, uint64_t size);
    uint64_t write(const void* ptr, uint64_t size);
    void preload(uint64_t pos, uint64_t size);
    // Reads at an absolute offset without moving the stream position; safe
    // to call from the read-ahead thread while the owner uses the stream.
    uint64_t readAt(uint64_t offset, void* ptr, uint64_t size);

    void parseVariableHeaders(const std::vector<uint8_t>& header, int readIndex);

protected:
    // Writer: opens filename with "wb", or memory for "-memory-".
    explicit HSEQFile(const std::string& filename);
    // Reader: takes the open stream and the header bytes read by openHSEQFile.
    HSEQFile(const std::string& filename, FILE* file, const std::vector<uint8_t>& header);

    bool isOpen() const { return m_seqFile != nullptr || m_memoryFile; }
    FILE* stream() const { return m_seqFile; }
    void clearWriteError() { m_writeError = false; }
    void logWriteError(uint64_t wanted, uint64_t written);
    // Cuts each requested read range to the stored channels into out and
    // returns the bytes per frame they add up to. A range starting past the
    // stored channels is kept with no bytes when keepEmpty, else dropped; a
    // range that would push the total past 32 bits is dropped with an error.
    uint32_t clipReadRanges(const RangeList& ranges, bool keepEmpty, RangeList& out) const;
    // A new frame object of `size` bytes for the ranges, its buffer from the
    // file's pool when frames are large.
    UncompressedFrameData* newFrameData(uint32_t frame, uint32_t size, const RangeList& ranges);

    std::string m_filename;
    uint64_t m_uniqueId = 0;
    uint32_t m_seqNumFrames = 0;
    uint32_t m_seqChannelCount = 0;
    int m_seqStepTime = 50;
    int m_seqVersionMajor = 0;
    int m_seqVersionMinor = 0;
    std::vector<VariableHeader> m_variableHeaders;
    uint64_t m_seqFileSize = 0;
    uint64_t m_seqChanDataOffset = 0;

private:
    FILE* m_seqFile = nullptr;
    bool m_memoryFile = false;
    std::vector<uint8_t> m_memoryBuffer;
    uint64_t m_memoryPosition = 0;
    bool m_writeError = false;
    // A writer's position counts what it asked to write: after a failed
    // flush the stream's own position no longer says where the data meant
    // to be, and a salvage must know which blocks reached the file whole.
    bool m_writer = false;
    uint64_t m_writePosition = 0;
    std::shared_ptr<FrameBufferPool> m_framePool;   // used by the reader's thread only
    std::shared_ptr<FrameBufferPool> m_placedPool;  // getPlacedFrame's, the same
};

// The frame object of every version: the bytes of a list of channel ranges,
// one range after the other.
class UncompressedFrameData : public HSEQFile::FrameData {
public:
    UncompressedFrameData(uint32_t frame, uint32_t size, const HSEQFile::RangeList& ranges,
                          std::shared_ptr<FrameBufferPool> pool = nullptr);
    ~UncompressedFrameData() override;
    bool readFrame(uint8_t* data, uint32_t maxChannels) override;
    uint8_t* channelBytes(uint32_t& count) override;

    uint32_t m_size;
    // m_size bytes and HSEQ_FRAME_SPARE_BYTES zeros (from the pool, else
    // malloc'ed); null when the allocation failed
    uint8_t* m_data;
    HSEQFile::RangeList m_ranges;
    std::shared_ptr<FrameBufferPool> m_pool;
};

class V1HSEQFile : public HSEQFile {
public:
    explicit V1HSEQFile(const std::string& filename);
    V1HSEQFile(const std::string& filename, FILE* file, const std::vector<uint8_t>& header);
    ~V1HSEQFile() override;

    void prepareRead(const RangeList& ranges, uint32_t startFrame = 0) override;
    FrameData* getFrame(uint32_t frame) override;
    void writeHeader() override;
    void addFrame(uint32_t frame, const uint8_t* data) override;
    uint32_t getMaxChannel() const override { return m_seqChannelCount; }

private:
    RangeList m_rangesToRead;
    uint32_t m_dataBlockSize = 0;  // bytes per frame a reader gets
    bool m_shortReadReported = false;  // a file cut short is reported once, not per frame
};

class V2HSEQFile : public HSEQFile {
public:
    V2HSEQFile(const std::string& filename, CompressionType type, int compressionLevel);
    V2HSEQFile(const std::string& filename, FILE* file, const std::vector<uint8_t>& header);
    ~V2HSEQFile() override;

    void prepareRead(const RangeList& ranges, uint32_t startFrame = 0) override;
    FrameData* getFrame(uint32_t frame) override;
    void enableMinorVersionFeatures(uint8_t v) override;
    void writeHeader() override;
    void addFrame(uint32_t frame, const uint8_t* data) override;
    void finalize() override;
    void dumpInfo(bool indent = false) override;
    uint32_t getMaxChannel() const override;

    CompressionType getCompressionType() const { return m_compressionType; }
    int getCompressionLevel() const { return m_compressionLevel; }
    const RangeList& getSparseRanges() const { return m_sparseRanges; }
    void setSparseRanges(const RangeList& ranges) { m_sparseRanges = ranges; }
    const RangeList& getReadRanges() const { return m_rangesToRead; }
    uint32_t getReadSize() const { return m_dataBlockSize; }
    // (first frame, file offset) of each stored block, then when reading a
    // sentinel (past the last frame, end of the block data).
    const std::vector<std::pair<uint32_t, uint64_t>>& getBlockList() const { return m_frameOffsets; }
    bool minorFeaturesEnabled() const { return m_allowExtendedBlocks; }
    V2Handler* getHandler() const { return m_handler; }

    // For a writer that learns its length only at the end (a recording): the
    // frame count set before writeHeader is the most it may take, and this
    // ends the file after `frames` frames instead of finalize(), so the
    // header tells the frames really there. When a write failed (a full
    // disk), the blocks that reached the file whole are kept and the rest is
    // cut off: the file reads as a shorter one (compressed files; an
    // uncompressed one keeps nothing). Returns the frames the file holds and
    // has flushed to the disk; 0 when none could be kept.
    uint32_t finalizeWithFrames(uint32_t frames);
    // Writes the data of variable header `index`, changed after writeHeader
    // but of the same length, over the old one in the file. Inline headers
    // only; false when it cannot.
    bool rewriteVariableHeader(size_t index);

private:
    void createHandler();
    void loadBlockIndex(const std::vector<uint8_t>& header);
    uint32_t keepWholeBlocks();
    bool writeFrameCount(uint32_t frames);

    CompressionType m_compressionType = CompressionType::zstd;
    int m_compressionLevel = -99;
    RangeList m_sparseRanges;
    RangeList m_rangesToRead;
    std::vector<std::pair<uint32_t, uint64_t>> m_frameOffsets;
    uint32_t m_dataBlockSize = 0;
    bool m_allowExtendedBlocks = false;
    V2Handler* m_handler = nullptr;
    // Per variable header written inline: where its data is and how long.
    std::vector<std::pair<uint64_t, size_t>> m_inlineHeaderData;

    friend class V2Handler;
    friend class V2NoneCompressionHandler;
    friend class V2CompressedHandler;
    friend class V2ZSTDCompressionHandler;
    friend class V2ZLIBCompressionHandler;
};
