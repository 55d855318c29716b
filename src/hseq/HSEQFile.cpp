// Sequence file model: opening and creating files, the stream and memory
// I/O shared by every version, variable headers, frame objects and the
// version 1 layout. Version 2 lives in V2HSEQFile.cpp and V2Handlers.cpp.

#include "hseq/HSEQFile.h"

#include <fcntl.h>
#include <sanitizer/asan_interface.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "ByteOrder.h"
#include "Warnings.h"
#include "log.h"

const char* const HSEQFile::CompressionTypeStrings[3] = {"none", "zstd", "zlib"};

// Common first bytes: identifier, channel data offset (= header length),
// minor version, major version.
static constexpr int HSEQ_PEEK_SIZE = 8;
static constexpr int ESEQ_HEADER_SIZE = 20;
static constexpr int V1_HEADER_SIZE = 28;
static constexpr int V2_FIXED_HEADER_SIZE = 32;
// The channel data offset is a 16-bit field and headers are padded to 4.
static constexpr uint64_t HSEQ_MAX_HEADER_SIZE = 65532;
static const char* const MEMORY_FILENAME = "-memory-";
static constexpr size_t MEMORY_INITIAL_RESERVE = 1048576;
static constexpr uint64_t OPEN_PRELOAD_SIZE = 1048576;

static inline uint64_t roundTo4(uint64_t v) { return (v + 3) & ~(uint64_t)3; }

// Rows of 16 bytes without a character column, for the open failures.
static void HeaderHexDump(const char* title, const uint8_t* data, int len) {
    if (!WillLog(LOG_INFO, VB_GENERAL)) return;
    LogInfo(VB_GENERAL, "%s: (%d bytes)\n", title, len);
    for (int row = 0; row < len; row += 16) {
        std::string line;
        char buf[16];
        snprintf(buf, sizeof(buf), "%06x: ", row);
        line += buf;
        for (int i = row; i < len && i < row + 16; ++i) {
            snprintf(buf, sizeof(buf), "%02x ", data[i]);
            line += buf;
        }
        LogInfo(VB_GENERAL, "%s\n", line.c_str());
    }
}

// ------------------------------------------------------------ frame object

UncompressedFrameData::UncompressedFrameData(uint32_t frame, uint32_t size, const HSEQFile::RangeList& ranges,
                                             std::shared_ptr<FrameBufferPool> pool)
    : FrameData(frame), m_size(size), m_data(nullptr), m_ranges(ranges), m_pool(std::move(pool)) {
    if (m_pool && m_pool->size() != size) m_pool.reset();
    if (size) {
        m_data = m_pool ? m_pool->take() : (uint8_t*)malloc((size_t)size + HSEQ_FRAME_SPARE_BYTES);
        if (m_data) memset(m_data + size, 0, HSEQ_FRAME_SPARE_BYTES);
    }
}

UncompressedFrameData::~UncompressedFrameData() {
    if (m_pool) {
        m_pool->give(m_data);
    } else {
        free(m_data);
    }
}

// An address-checking build keeps a poisoned gap between the buffers of a
// slab, as malloc keeps one between its blocks, and poisons the buffers in
// the pool: a frame read or written past its end or after it was deleted
// is reported there too.
#if defined(__SANITIZE_ADDRESS__)
static constexpr size_t SLAB_GUARD_BYTES = 64;
#else
static constexpr size_t SLAB_GUARD_BYTES = 0;
#endif

FrameBufferPool::FrameBufferPool(uint32_t size) : m_size(size) {
    m_stride = ((size_t)size + HSEQ_FRAME_SPARE_BYTES + SLAB_GUARD_BYTES + 63) / 64 * 64;
    m_perSlab = std::max<size_t>(1, SLAB_BYTES / m_stride);
    m_slabSize = (m_perSlab * m_stride + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
}

FrameBufferPool::~FrameBufferPool() {
    for (uint8_t* s : m_slabs) {
        ASAN_UNPOISON_MEMORY_REGION(s, m_slabSize);
        munmap(s, m_slabSize);
    }
}

uint8_t* FrameBufferPool::take() {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_free.empty()) {
        // Mapped with a huge page of slack, then trimmed to a huge page
        // boundary: the kernel backs only whole aligned huge pages.
        size_t mapped = m_slabSize + HUGE_PAGE;
        void* m = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m == MAP_FAILED) return nullptr;
        uintptr_t start = ((uintptr_t)m + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
        size_t head = start - (uintptr_t)m;
        if (head) munmap(m, head);
        if (mapped - head > m_slabSize) munmap((uint8_t*)start + m_slabSize, mapped - head - m_slabSize);
        uint8_t* slab = (uint8_t*)start;
        madvise(slab, m_slabSize, MADV_HUGEPAGE);
        ASAN_POISON_MEMORY_REGION(slab, m_slabSize);
        m_slabs.push_back(slab);
        for (size_t i = m_perSlab; i-- > 0;) m_free.push_back(slab + i * m_stride);
    }
    uint8_t* b = m_free.back();
    m_free.pop_back();
    ASAN_UNPOISON_MEMORY_REGION(b, (size_t)m_size + HSEQ_FRAME_SPARE_BYTES);
    return b;
}

void FrameBufferPool::give(uint8_t* buffer) {
    if (!buffer) return;
    std::lock_guard<std::mutex> lock(m_lock);
    ASAN_POISON_MEMORY_REGION(buffer, (size_t)m_size + HSEQ_FRAME_SPARE_BYTES);
    m_free.push_back(buffer);
}

size_t FrameBufferPool::slabBytes() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_slabs.size() * m_slabSize;
}

UncompressedFrameData* HSEQFile::newFrameData(uint32_t frame, uint32_t size, const RangeList& ranges) {
    if (size < FrameBufferPool::MIN_SIZE) return new UncompressedFrameData(frame, size, ranges);
    if (!m_framePool || m_framePool->size() != size) m_framePool = std::make_shared<FrameBufferPool>(size);
    return new UncompressedFrameData(frame, size, ranges, m_framePool);
}

HSEQFile::FrameData* HSEQFile::getPlacedFrame(uint32_t frame) {
    FrameData* read = getFrame(frame);
    auto* f = dynamic_cast<UncompressedFrameData*>(read);
    uint32_t count = 0;
    if (!f || !f->m_data || f->channelBytes(count)) return read;
    uint64_t end = 0;
    for (auto& r : f->m_ranges) {
        if (r.second) end = std::max<uint64_t>(end, (uint64_t)r.first + r.second);
    }
    if (end == 0 || end > HSEQ_MAX_CHANNELS || end > 2ULL * f->m_size) return read;
    std::shared_ptr<FrameBufferPool> pool;
    if (end >= FrameBufferPool::MIN_SIZE) {
        if (!m_placedPool || m_placedPool->size() != end) m_placedPool = std::make_shared<FrameBufferPool>((uint32_t)end);
        pool = m_placedPool;
    }
    auto* placed = new UncompressedFrameData(frame, (uint32_t)end, {{0, (uint32_t)end}}, pool);
    if (!placed->m_data) {
        delete placed;
        return read;
    }
    memset(placed->m_data, 0, end);
    f->readFrame(placed->m_data, (uint32_t)end);
    delete f;
    return placed;
}

bool UncompressedFrameData::readFrame(uint8_t* data, uint32_t maxChannels) {
    if (m_data == nullptr) {
        return false;
    }
    uint64_t pos = 0;
    for (auto& r : m_ranges) {
        if (pos + r.second > m_size) {
            return false;
        }
        if (r.first < maxChannels) {
            uint64_t n = std::min<uint64_t>(r.second, (uint64_t)maxChannels - r.first);
            memcpy(data + r.first, m_data + pos, n);
        }
        pos += r.second;
    }
    return true;
}

uint8_t* UncompressedFrameData::channelBytes(uint32_t& count) {
    if (!m_data || m_ranges.size() != 1 || m_ranges[0].first != 0 || m_ranges[0].second > m_size) return nullptr;
    count = m_ranges[0].second;
    return m_data;
}

// ------------------------------------------------------------ construction

HSEQFile::HSEQFile(const std::string& filename) : m_filename(filename) {
    if (filename == MEMORY_FILENAME) {
        m_memoryFile = true;
        m_memoryBuffer.reserve(MEMORY_INITIAL_RESERVE);
    } else {
        m_seqFile = fopen(filename.c_str(), "wb");
        m_writer = true;
    }
}

HSEQFile::HSEQFile(const std::string& filename, FILE* file, const std::vector<uint8_t>& header)
    : m_filename(filename), m_seqFile(file) {
    if (fseeko(file, 0, SEEK_END) == 0) {
        off_t end = ftello(file);
        m_seqFileSize = end > 0 ? (uint64_t)end : 0;
    }
    fseeko(file, 0, SEEK_SET);
    if (header[0] == 'E') {
        // Single-model form: channels per frame, first model channel (1-based),
        // model channel count.
        m_seqChanDataOffset = ESEQ_HEADER_SIZE;
        m_seqVersionMinor = 0;
        m_seqVersionMajor = 2;
        m_seqChannelCount = GetLE32(&header[8]);
        m_seqStepTime = ESEQ_STEP_MS;
        uint64_t frames = m_seqFileSize > ESEQ_HEADER_SIZE ? (m_seqFileSize - ESEQ_HEADER_SIZE) / m_seqChannelCount : 0;
        m_seqNumFrames = (uint32_t)std::min<uint64_t>(frames, UINT32_MAX);
    } else {
        m_seqChanDataOffset = GetLE16(&header[4]);
        m_seqVersionMinor = header[6];
        m_seqVersionMajor = header[7];
        m_seqChannelCount = GetLE32(&header[10]);
        m_seqNumFrames = GetLE32(&header[14]);
        m_seqStepTime = header[18];
    }
}

HSEQFile::~HSEQFile() {
    if (m_seqFile) {
        fclose(m_seqFile);
        m_seqFile = nullptr;
    }
}

// Everything openHSEQFile must know before a version class may trust the
// header: lengths and counts that later code indexes with.
static bool CheckHeader(const std::string& filename, const std::vector<uint8_t>& header, bool eseq, int major) {
    const char* fn = filename.c_str();
    uint32_t channels;
    if (eseq) {
        channels = GetLE32(&header[8]);
        uint32_t first = GetLE32(&header[12]);
        uint32_t count = GetLE32(&header[16]);
        uint64_t start = first ? first - 1 : 0;
        if (channels == 0 || channels > HSEQ_MAX_CHANNELS) {
            LogErr(VB_SEQUENCE, "Error opening HSEQ file (%s), channel count %u is outside 1 to %u\n", fn, channels,
                   HSEQ_MAX_CHANNELS);
            return false;
        }
        if (start + count > HSEQ_MAX_CHANNELS || count > channels) {
            LogErr(VB_SEQUENCE,
                   "Error opening HSEQ file (%s), model range %llu+%u does not fit %u stored channels or %u channels\n",
                   fn, (unsigned long long)start, count, channels, HSEQ_MAX_CHANNELS);
            return false;
        }
        return true;
    }
    size_t minimum = major == 1 ? V1_HEADER_SIZE : V2_FIXED_HEADER_SIZE;
    if (header.size() < minimum) {
        LogErr(VB_SEQUENCE, "Error opening HSEQ file (%s), header length %d is shorter than the %d bytes of a version %d header\n",
               fn, (int)header.size(), (int)minimum, major);
        return false;
    }
    channels = GetLE32(&header[10]);
    if (channels == 0 || channels > HSEQ_MAX_CHANNELS) {
        LogErr(VB_SEQUENCE, "Error opening HSEQ file (%s), channel count %u is outside 1 to %u\n", fn, channels,
               HSEQ_MAX_CHANNELS);
        return false;
    }
    if (header[18] == 0) {
        LogErr(VB_SEQUENCE, "Error opening HSEQ file (%s), step time is 0 ms\n", fn);
        return false;
    }
    if (major == 2) {
        uint32_t blocks = header[21] + 256 * (header[20] >> 4);
        uint32_t ranges = header[22];
        uint64_t end = V2_FIXED_HEADER_SIZE + 8ull * blocks + 6ull * ranges;
        if (end > header.size()) {
            LogErr(VB_SEQUENCE,
                   "Error opening HSEQ file (%s), %u block entries and %u sparse ranges need %llu header bytes but the header has %d\n",
                   fn, blocks, ranges, (unsigned long long)end, (int)header.size());
            return false;
        }
        uint64_t total = 0;
        const uint8_t* r = &header[V2_FIXED_HEADER_SIZE + 8 * blocks];
        for (uint32_t i = 0; i < ranges; ++i, r += 6) {
            uint64_t start = GetLE24(r);
            uint64_t count = GetLE24(r + 3);
            if (start + count > HSEQ_MAX_CHANNELS) {
                LogErr(VB_SEQUENCE, "Error opening HSEQ file (%s), sparse range %u (%llu+%llu) reaches past channel %u\n", fn,
                       i, (unsigned long long)start, (unsigned long long)count, HSEQ_MAX_CHANNELS);
                return false;
            }
            total += count;
        }
        if (total > channels) {
            LogErr(VB_SEQUENCE, "Error opening HSEQ file (%s), sparse ranges hold %llu channels but frames hold only %u\n", fn,
                   (unsigned long long)total, channels);
            return false;
        }
    }
    return true;
}

// "ESEQ", 4 bytes unused, channels per frame, first model channel (from 1),
// model channel count: all little-endian 32-bit.
std::vector<uint8_t> HSEQFile::eseqHeader(uint32_t channels, uint32_t firstChannel, uint32_t count) {
    std::vector<uint8_t> h(ESEQ_HEADER_SIZE, 0);
    memcpy(h.data(), "ESEQ", 4);
    PutLE32(&h[8], channels);
    PutLE32(&h[12], firstChannel);
    PutLE32(&h[16], count);
    return h;
}

HSEQFile* HSEQFile::openHSEQFile(const std::string& filename) {
    LogDebug(VB_SEQUENCE, "openHSEQFile(%s)\n", filename.c_str());
    FILE* seqFile = fopen(filename.c_str(), "rb");
    if (seqFile == nullptr) {
        LogErr(VB_SEQUENCE, "Error pre-reading HSEQ file (%s), fopen returned NULL\n", filename.c_str());
        return nullptr;
    }
    uint8_t peek[HSEQ_PEEK_SIZE];
    fseeko(seqFile, 0, SEEK_SET);
    int bytesRead = (int)fread(peek, 1, HSEQ_PEEK_SIZE, seqFile);
    posix_fadvise(fileno(seqFile), 0, 0, POSIX_FADV_SEQUENTIAL);
    posix_fadvise(fileno(seqFile), 0, OPEN_PRELOAD_SIZE, POSIX_FADV_WILLNEED);

    if (bytesRead < HSEQ_PEEK_SIZE) {
        LogErr(VB_SEQUENCE, "Error pre-reading HSEQ file (%s) header, required %d bytes but read %d\n", filename.c_str(),
               HSEQ_PEEK_SIZE, bytesRead);
        HeaderHexDump("File hader peek:", peek, bytesRead);
        fclose(seqFile);
        return nullptr;
    }
    if ((peek[0] != 'P' && peek[0] != 'H' && peek[0] != 'E') || peek[1] != 'S' || peek[2] != 'E' || peek[3] != 'Q') {
        LogErr(VB_SEQUENCE, "Error pre-reading HSEQ file (%s) header, invalid identifier\n", filename.c_str());
        HeaderHexDump("File header peek:", peek, bytesRead);
        fclose(seqFile);
        return nullptr;
    }

    bool eseq = peek[0] == 'E';
    int headerLen = eseq ? ESEQ_HEADER_SIZE : GetLE16(&peek[4]);
    int minor = eseq ? 0 : peek[6];
    int major = eseq ? 2 : peek[7];

    std::vector<uint8_t> header(headerLen);
    fseeko(seqFile, 0, SEEK_SET);
    bytesRead = headerLen ? (int)fread(header.data(), 1, headerLen, seqFile) : 0;
    if (bytesRead != headerLen) {
        LogErr(VB_SEQUENCE, "Error reading HSEQ file (%s) header, length is %d bytes but read %d\n", filename.c_str(),
               headerLen, bytesRead);
        HeaderHexDump("File header:", header.data(), bytesRead);
        fclose(seqFile);
        return nullptr;
    }

    if (major != 1 && major != 2) {
        LogErr(VB_SEQUENCE, "Error opening HSEQ file (%s), unknown version %d.%d\n", filename.c_str(), major, minor);
        HeaderHexDump("File header:", header.data(), headerLen);
        fclose(seqFile);
        return nullptr;
    }
    if (!CheckHeader(filename, header, eseq, major)) {
        HeaderHexDump("File header:", header.data(), std::min(headerLen, 256));
        fclose(seqFile);
        return nullptr;
    }

    HSEQFile* seq;
    if (major == 1) {
        seq = new V1HSEQFile(filename, seqFile, header);
    } else {
        seq = new V2HSEQFile(filename, seqFile, header);
    }
    seq->dumpInfo(false);
    return seq;
}

HSEQFile* HSEQFile::createHSEQFile(const std::string& filename, int version, CompressionType type, int level) {
    LogDebug(VB_SEQUENCE, "createHSEQFile(%s, %d, %d, %d)\n", filename.c_str(), version, (int)type, level);
    HSEQFile* seq;
    if (version == 1) {
        seq = new V1HSEQFile(filename);
    } else if (version == 2) {
        seq = new V2HSEQFile(filename, type, level);
    } else {
        LogErr(VB_SEQUENCE, "Error creating HSEQ file (%s), unknown version %d\n", filename.c_str(), version);
        return nullptr;
    }
    if (!seq->isOpen()) {
        LogErr(VB_SEQUENCE, "Error creating HSEQ file (%s), fopen returned NULL: %s\n", filename.c_str(), strerror(errno));
        delete seq;
        return nullptr;
    }
    return seq;
}

std::string HSEQFile::getMediaFilename(const std::string& filename) {
    std::unique_ptr<HSEQFile> file(openHSEQFile(filename));
    if (!file) {
        return "";
    }
    return file->getMediaFilename();
}

std::string HSEQFile::getMediaFilename() const {
    for (auto& h : m_variableHeaders) {
        if (h.code[0] == 'm' && h.code[1] == 'f') {
            if (h.data.empty()) {
                return "";
            }
            // Never read past the data, NUL or not.
            const char* text = (const char*)h.data.data();
            return std::string(text, strnlen(text, h.data.size()));
        }
    }
    return "";
}

// ------------------------------------------------------------ stream and memory I/O

void HSEQFile::logWriteError(uint64_t wanted, uint64_t written) {
    if (!m_writeError) {
        LogErr(VB_SEQUENCE, "Error writing HSEQ file (%s): wrote %llu of %llu bytes: %s\n", m_filename.c_str(),
               (unsigned long long)written, (unsigned long long)wanted, strerror(errno));
    }
    m_writeError = true;
}

int HSEQFile::seek(uint64_t location, int origin) {
    if (m_memoryFile) {
        if (origin == SEEK_SET) {
            m_memoryPosition = location;
        } else if (origin == SEEK_CUR) {
            m_memoryPosition += location;
        } else if (origin == SEEK_END) {
            m_memoryPosition = m_memoryBuffer.size();
        }
        return 0;
    }
    if (!m_seqFile) return -1;
    int r = fseeko(m_seqFile, (off_t)location, origin);
    if (m_writer) {
        if (origin == SEEK_SET) {
            m_writePosition = location;
        } else if (origin == SEEK_CUR) {
            m_writePosition += location;
        } else {
            off_t p = ftello(m_seqFile);
            m_writePosition = p < 0 ? 0 : (uint64_t)p;
        }
    }
    return r;
}

uint64_t HSEQFile::tell() {
    if (m_memoryFile) {
        return m_memoryPosition;
    }
    if (!m_seqFile) return 0;
    if (m_writer) return m_writePosition;
    off_t p = ftello(m_seqFile);
    return p < 0 ? 0 : (uint64_t)p;
}

uint64_t HSEQFile::read(void* ptr, uint64_t size) {
    if (size == 0) return 0;
    if (m_memoryFile) {
        if (m_memoryPosition >= m_memoryBuffer.size()) return 0;
        uint64_t n = std::min<uint64_t>(size, m_memoryBuffer.size() - m_memoryPosition);
        memcpy(ptr, m_memoryBuffer.data() + m_memoryPosition, n);
        m_memoryPosition += n;
        return n;
    }
    if (!m_seqFile) return 0;
    return fread(ptr, 1, size, m_seqFile);
}

uint64_t HSEQFile::write(const void* ptr, uint64_t size) {
    if (size == 0) return 0;
    if (m_memoryFile) {
        if (m_memoryPosition + size > m_memoryBuffer.size()) {
            m_memoryBuffer.resize(m_memoryPosition + size);
        }
        memcpy(m_memoryBuffer.data() + m_memoryPosition, ptr, size);
        m_memoryPosition += size;
        return size;
    }
    if (!m_seqFile) return 0;
    uint64_t n = fwrite(ptr, 1, size, m_seqFile);
    m_writePosition += size;
    // A write that only filled the stream's buffer reports success even
    // when flushing an earlier part failed (a full disk); the stream's
    // error flag tells.
    if (n != size || ferror(m_seqFile)) {
        logWriteError(size, n);
    }
    return n;
}

uint64_t HSEQFile::readAt(uint64_t offset, void* ptr, uint64_t size) {
    if (size == 0) return 0;
    if (m_memoryFile) {
        if (offset >= m_memoryBuffer.size()) return 0;
        uint64_t n = std::min<uint64_t>(size, m_memoryBuffer.size() - offset);
        memcpy(ptr, m_memoryBuffer.data() + offset, n);
        return n;
    }
    if (!m_seqFile) return 0;
    int fd = fileno(m_seqFile);
    uint64_t done = 0;
    while (done < size) {
        ssize_t n = pread(fd, (uint8_t*)ptr + done, size - done, (off_t)(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += n;
    }
    return done;
}

void HSEQFile::preload(uint64_t pos, uint64_t size) {
    if (!m_seqFile) return;
    if (posix_fadvise(fileno(m_seqFile), (off_t)pos, (off_t)size, POSIX_FADV_WILLNEED) != 0) {
        LogErr(VB_SEQUENCE, "Could not advise kernel %d  size: %d\n", (int)pos, (int)size);
    }
}

void HSEQFile::finalize() {
    if (m_seqFile && fflush(m_seqFile) != 0) {
        logWriteError(0, 0);
    }
}

// ------------------------------------------------------------ headers

void HSEQFile::parseVariableHeaders(const std::vector<uint8_t>& header, int readIndex) {
    const size_t headerSize = header.size();
    size_t pos = readIndex < 0 ? headerSize : (size_t)readIndex;
    // Extended data comes from anywhere in the file; all of it together may
    // not exceed the file's size, however many headers point at it.
    uint64_t extendedBytes = 0;
    while (pos + 4 <= headerSize) {
        uint32_t len = GetLE16(&header[pos]);
        char code[2] = {(char)header[pos + 2], (char)header[pos + 3]};
        if (len <= 4) {
            LogInfo(VB_SEQUENCE, "VariableHeader has 0 length data: %c%c\n", code[0], code[1]);
            m_variableHeaders.emplace_back(code, std::vector<uint8_t>());
            pos += 4;
            continue;
        }
        if (code[0] == 'E' && code[1] == 'D') {
            if (pos + 18 > headerSize) {
                LogErr(VB_SEQUENCE, "VariableHeader 'ED' at offset %d is cut off by the end of the header (%d bytes)\n", (int)pos,
                       (int)headerSize);
                break;
            }
            char realCode[2] = {(char)header[pos + 4], (char)header[pos + 5]};
            uint64_t offset = GetLE64(&header[pos + 6]);
            uint32_t dataLen = GetLE32(&header[pos + 14]);
            pos += 18;
            if (offset > m_seqFileSize || dataLen > m_seqFileSize - offset ||
                extendedBytes + dataLen > m_seqFileSize) {
                LogErr(VB_SEQUENCE,
                       "VariableHeader '%c%c' data (%u bytes at offset %llu) lies outside the file (%llu bytes), skipped\n",
                       realCode[0], realCode[1], dataLen, (unsigned long long)offset,
                       (unsigned long long)m_seqFileSize);
                continue;
            }
            extendedBytes += dataLen;
            VariableHeader vh(realCode, std::vector<uint8_t>(dataLen), true);
            uint64_t current = tell();
            uint64_t got = 0;
            if (seek(offset, SEEK_SET) == 0) {
                got = dataLen ? read(vh.data.data(), dataLen) : 0;
            }
            seek(current, SEEK_SET);
            if (got != dataLen) {
                LogErr(VB_SEQUENCE, "VariableHeader '%c%c' data could not be read: %llu of %u bytes, skipped\n", realCode[0],
                       realCode[1], (unsigned long long)got, dataLen);
                continue;
            }
            LogDebug(VB_SEQUENCE, "Read VariableHeader: %c%c, length: %d bytes\n", realCode[0], realCode[1], (int)dataLen);
            m_variableHeaders.push_back(std::move(vh));
            continue;
        }
        size_t dataPos = pos + 4;
        size_t dataLen = len - 4;
        if (dataPos + dataLen > headerSize) {
            LogErr(VB_SEQUENCE, "VariableHeader '%c%c' has out of bounds data length: %d bytes, max length: %d bytes\n",
                   code[0], code[1], (int)(dataPos + dataLen), (int)headerSize);
            break;
        }
        bool text = (code[0] == 'm' && code[1] == 'f') || (code[0] == 's' && code[1] == 'p');
        bool player = (code[0] == 'F' && code[1] == 'C') || (code[0] == 'F' && code[1] == 'E');
        if (text) {
            if (header[dataPos + dataLen - 1] != 0) {
                LogErr(VB_SEQUENCE, "VariableHeader %c%c data is not NULL terminated!\n", code[0], code[1]);
            }
        } else if (!player) {
            LogDebug(VB_SEQUENCE, "Unrecognized VariableHeader code: %c%c, length: %d bytes\n", code[0], code[1],
                     (int)dataLen);
        }
        VariableHeader vh(code, std::vector<uint8_t>(header.begin() + dataPos, header.begin() + dataPos + dataLen));
        LogDebug(VB_SEQUENCE, "Read VariableHeader: %c%c, length: %d bytes\n", code[0], code[1], (int)dataLen);
        m_variableHeaders.push_back(std::move(vh));
        pos = dataPos + dataLen;
    }
}

void HSEQFile::initializeFromHSEQ(const HSEQFile& other) {
    m_seqNumFrames = other.m_seqNumFrames;
    m_seqChannelCount = other.m_seqChannelCount;
    m_seqStepTime = other.m_seqStepTime;
    m_variableHeaders = other.m_variableHeaders;
    m_uniqueId = other.m_uniqueId;
    if (other.m_seqVersionMajor >= 2) {
        const V2HSEQFile* v2 = dynamic_cast<const V2HSEQFile*>(&other);
        if (v2) {
            uint64_t cc = m_seqChannelCount;
            for (auto& r : v2->getSparseRanges()) {
                cc = std::max<uint64_t>(cc, (uint64_t)r.first + r.second);
            }
            m_seqChannelCount = (uint32_t)std::min<uint64_t>(cc, UINT32_MAX);
        }
    }
}

void HSEQFile::dumpInfo(bool indent) {
    if (!WillLog(LOG_DEBUG, VB_SEQUENCE)) return;
    const char* ind = indent ? "    " : "";
    LogDebug(VB_SEQUENCE, "%sSequence File Information\n", ind);
    LogDebug(VB_SEQUENCE, "%sseqFilename           : %s\n", ind, m_filename.c_str());
    LogDebug(VB_SEQUENCE, "%sseqVersion            : %d.%d\n", ind, m_seqVersionMajor, m_seqVersionMinor);
    LogDebug(VB_SEQUENCE, "%sseqChanDataOffset     : %d\n", ind, (int)m_seqChanDataOffset);
    LogDebug(VB_SEQUENCE, "%sseqChannelCount       : %d\n", ind, (int)m_seqChannelCount);
    LogDebug(VB_SEQUENCE, "%sseqNumPeriods         : %d\n", ind, (int)m_seqNumFrames);
    LogDebug(VB_SEQUENCE, "%sseqStepTime           : %dms\n", ind, m_seqStepTime);
}

// ------------------------------------------------------------ version 1

V1HSEQFile::V1HSEQFile(const std::string& filename) : HSEQFile(filename) {
    m_seqVersionMajor = 1;
    m_seqVersionMinor = 0;
}

V1HSEQFile::V1HSEQFile(const std::string& filename, FILE* file, const std::vector<uint8_t>& header)
    : HSEQFile(filename, file, header) {
    parseVariableHeaders(header, V1_HEADER_SIZE);
    struct stat st;
    if (fstat(fileno(file), &st) == 0) {
        m_uniqueId = (uint64_t)st.st_mtime;
    }
}

uint32_t HSEQFile::clipReadRanges(const RangeList& ranges, bool keepEmpty, RangeList& out) const {
    out.clear();
    uint64_t total = 0;
    for (auto& r : ranges) {
        uint64_t end = std::min<uint64_t>((uint64_t)r.first + r.second, m_seqChannelCount);
        uint32_t count = r.first < end ? (uint32_t)(end - r.first) : 0;
        if (r.first >= m_seqChannelCount && !keepEmpty) {
            continue;
        }
        if (total + count > UINT32_MAX) {
            LogErr(VB_SEQUENCE, "Read ranges of %s add up to more than %u bytes per frame; range %u+%u dropped\n",
                   m_filename.c_str(), UINT32_MAX, r.first, r.second);
            continue;
        }
        out.push_back({r.first, count});
        total += count;
    }
    return (uint32_t)total;
}

V1HSEQFile::~V1HSEQFile() {}

void V1HSEQFile::prepareRead(const RangeList& ranges, uint32_t startFrame) {
    // Ranges past the stored channels keep their place but hold nothing.
    m_dataBlockSize = clipReadRanges(ranges, true, m_rangesToRead);
    delete getFrame(startFrame);
}

HSEQFile::FrameData* V1HSEQFile::getFrame(uint32_t frame) {
    if (m_rangesToRead.empty()) {
        prepareRead({{0, m_seqChannelCount}}, frame);
    }
    UncompressedFrameData* data = newFrameData(frame, m_dataBlockSize, m_rangesToRead);
    if (data->m_data == nullptr) {
        if (m_dataBlockSize) {
            LogErr(VB_SEQUENCE, "Could not allocate %u bytes for frame %u\n", m_dataBlockSize, frame);
        }
        return data;
    }
    uint64_t offset = m_seqChanDataOffset + (uint64_t)frame * m_seqChannelCount;
    if (seek(offset, SEEK_SET) != 0) {
        LogErr(VB_SEQUENCE, "Failed to seek to proper offset for channel data for frame %d! %llu\n", (int)frame,
               (unsigned long long)offset);
        memset(data->m_data, 0, m_dataBlockSize);
        return data;
    }
    uint64_t pos = 0;
    for (auto& r : m_rangesToRead) {
        if (r.first < m_seqChannelCount && r.second) {
            uint64_t got = 0;
            if (seek(offset + r.first, SEEK_SET) == 0) {
                got = read(data->m_data + pos, r.second);
            }
            if (got != r.second) {
                _LogWrite(__FILE__, __LINE__, m_shortReadReported ? LOG_DEBUG : LOG_ERR, VB_SEQUENCE,
                          "Failed to read channel data for frame %d!   Needed to read %d but read %d\n", (int)frame,
                          (int)r.second, (int)got);
                if (!m_shortReadReported) {
                    WarningHolder::AddWarningTimeout("Sequence file " + m_filename + " cannot be read from frame " +
                                                         std::to_string(frame) +
                                                         " on; it is damaged or was changed while playing",
                                                     60);
                }
                m_shortReadReported = true;
                // Missing bytes read as off rather than as whatever the heap held.
                memset(data->m_data + pos + got, 0, r.second - got);
            }
        }
        pos += r.second;
    }
    return data;
}

// Version 1 header: "PSEQ", channel data offset, minor, major = 1, first
// variable header offset = 28, channel count, frame count, step time,
// flags (0), 4 zero bytes, 1, 2, 2 zero bytes, variable headers, padding.
void V1HSEQFile::writeHeader() {
    m_seqVersionMajor = 1;
    m_seqVersionMinor = 0;
    // A header longer than the 16-bit channel data offset cannot be read back;
    // headers that would push it there are left out, loudly.
    std::vector<const VariableHeader*> headers;
    uint64_t headerSize = V1_HEADER_SIZE;
    for (auto& h : m_variableHeaders) {
        if (headerSize + 4 + h.data.size() > HSEQ_MAX_HEADER_SIZE) {
            LogErr(VB_SEQUENCE, "VariableHeader %c%c of %d bytes does not fit in a version 1 header; it is not written\n",
                   h.code[0], h.code[1], (int)h.data.size());
            continue;
        }
        headerSize += 4 + h.data.size();
        headers.push_back(&h);
    }
    uint64_t computed = roundTo4(headerSize);
    m_seqChanDataOffset = computed;

    int step = m_seqStepTime;
    if (step < 1 || step > 255) {
        step = std::clamp(step, 1, 255);
        LogErr(VB_SEQUENCE, "Step time %d ms cannot be stored in %s, writing %d ms\n", m_seqStepTime, m_filename.c_str(),
               step);
    }

    std::vector<uint8_t> header(computed, 0);
    memcpy(&header[0], "PSEQ", 4);
    PutLE16(&header[4], (uint16_t)computed);
    header[6] = 0;
    header[7] = 1;
    PutLE16(&header[8], V1_HEADER_SIZE);
    PutLE32(&header[10], m_seqChannelCount);
    PutLE32(&header[14], m_seqNumFrames);
    header[18] = (uint8_t)step;
    header[19] = 0;
    header[24] = 1;
    header[25] = 2;
    size_t writePos = V1_HEADER_SIZE;
    for (auto* h : headers) {
        PutLE16(&header[writePos], (uint16_t)(h->data.size() + 4));
        header[writePos + 2] = h->code[0];
        header[writePos + 3] = h->code[1];
        if (!h->data.empty()) memcpy(&header[writePos + 4], h->data.data(), h->data.size());
        writePos += 4 + h->data.size();
    }
    if (roundTo4(writePos) != computed) {
        LogErr(VB_SEQUENCE,
               "Final write position (%d, roundTo4 = %d) does not match channel data offset (%d)! This means the header "
               "size failed to compute an accurate buffer size.\n",
               (int)writePos, (int)roundTo4(writePos), (int)computed);
    }
    write(header.data(), computed);
    LogDebug(VB_SEQUENCE, "Setup for writing v1 HSEQ\n");
    dumpInfo(true);
}

void V1HSEQFile::addFrame(uint32_t frame, const uint8_t* data) { write(data, m_seqChannelCount); }
