// Block coding of version 2 sequence files: each block is one standard zstd
// frame or zlib stream holding whole frames. Writing streams frame by frame
// through a 1 MiB output buffer; reading decodes one frame at a time so the
// decoded side never holds more than the frame asked for.

#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "hseq/V2Handlers.h"
#include "log.h"

static constexpr size_t WRITE_BUFFER_SIZE = 1048576;
static constexpr size_t ZSTD_FLUSH_THRESHOLD = 921600;
static constexpr size_t ZLIB_MIN_OUTPUT_SPACE = 126976;
static constexpr int ZSTD_DEFAULT_LEVEL = 2;
static constexpr int ZSTD_FIRST_BLOCK_LEVEL = -10;
static constexpr unsigned ZSTD_NEGATIVE_LEVELS_VERSION = 10306;
static constexpr int ZLIB_DEFAULT_LEVEL = 3;

// ------------------------------------------------------------ zstd

V2ZSTDCompressionHandler::V2ZSTDCompressionHandler(V2HSEQFile* f) : V2CompressedHandler(f) {}

V2ZSTDCompressionHandler::~V2ZSTDCompressionHandler() {
    if (m_cctx) ZSTD_freeCStream(m_cctx);
    if (m_dctx) ZSTD_freeDStream(m_dctx);
    free(m_outBuffer.dst);
}

void V2ZSTDCompressionHandler::beginBlockWrite(uint32_t frame) {
    int level = m_file->getCompressionLevel();
    if (level == -99 || level < -25 || level > 25) {
        level = ZSTD_DEFAULT_LEVEL;
    }
    if (frame == 0 && ZSTD_versionNumber() >= ZSTD_NEGATIVE_LEVELS_VERSION) {
        // The first block is coded as fast as possible so playback starts at once.
        level = ZSTD_FIRST_BLOCK_LEVEL;
    } else if (ZSTD_versionNumber() < ZSTD_NEGATIVE_LEVELS_VERSION && level < 0) {
        level = 0;
    }
    if (m_cctx == nullptr) {
        m_cctx = ZSTD_createCStream();
    }
    if (m_outBuffer.dst == nullptr) {
        m_outBuffer.dst = malloc(WRITE_BUFFER_SIZE);
        m_outBuffer.size = m_outBuffer.dst ? WRITE_BUFFER_SIZE : 0;
        m_outBuffer.pos = 0;
    }
    m_streamFailed = m_cctx == nullptr || m_outBuffer.dst == nullptr;
    if (m_streamFailed) {
        LogErr(VB_SEQUENCE, "Could not set up zstd compression for %s\n", m_file->getFilename().c_str());
        return;
    }
    ZSTD_CCtx_reset(m_cctx, ZSTD_reset_session_only);
    ZSTD_CCtx_setParameter(m_cctx, ZSTD_c_compressionLevel, level);
}

void V2ZSTDCompressionHandler::compressBytes(const uint8_t* data, size_t len) {
    if (m_streamFailed) return;
    ZSTD_inBuffer in = {data, len, 0};
    while (in.pos < in.size) {
        size_t r = ZSTD_compressStream2(m_cctx, &m_outBuffer, &in, ZSTD_e_continue);
        if (ZSTD_isError(r)) {
            LogErr(VB_SEQUENCE, "zstd compression of %s failed: %s\n", m_file->getFilename().c_str(),
                   ZSTD_getErrorName(r));
            m_streamFailed = true;
            return;
        }
        if (in.pos < in.size && m_outBuffer.pos > 0) {
            writeOutput(m_outBuffer.dst, m_outBuffer.pos);
            m_outBuffer.pos = 0;
        }
    }
    if (m_outBuffer.pos > ZSTD_FLUSH_THRESHOLD) {
        writeOutput(m_outBuffer.dst, m_outBuffer.pos);
        m_outBuffer.pos = 0;
    }
}

void V2ZSTDCompressionHandler::endBlockWrite() {
    if (m_streamFailed) return;
    size_t remaining;
    do {
        ZSTD_inBuffer in = {nullptr, 0, 0};
        remaining = ZSTD_compressStream2(m_cctx, &m_outBuffer, &in, ZSTD_e_end);
        if (ZSTD_isError(remaining)) {
            LogErr(VB_SEQUENCE, "zstd compression of %s failed: %s\n", m_file->getFilename().c_str(),
                   ZSTD_getErrorName(remaining));
            m_streamFailed = true;
            break;
        }
        if (remaining > 0) {
            writeOutput(m_outBuffer.dst, m_outBuffer.pos);
            m_outBuffer.pos = 0;
        }
    } while (remaining > 0);
    writeOutput(m_outBuffer.dst, m_outBuffer.pos);
    m_outBuffer.pos = 0;
}

void V2ZSTDCompressionHandler::finalize() {
    if (m_framesInBlock > 0) {
        LogDebug(VB_SEQUENCE, "  Finalized last block of data.  Frames in block: %d.\n", (int)m_framesInBlock);
    }
    V2CompressedHandler::finalize();
}

void V2ZSTDCompressionHandler::beginBlockRead(const uint8_t* data, uint64_t size) {
    if (m_dctx == nullptr) {
        m_dctx = ZSTD_createDStream();
    }
    m_streamFailed = m_dctx == nullptr;
    if (m_dctx) {
        ZSTD_DCtx_reset(m_dctx, ZSTD_reset_session_only);
    }
    m_inBuffer.src = data;
    m_inBuffer.size = size;
    m_inBuffer.pos = 0;
    m_zstdFrameDone = false;
}

bool V2ZSTDCompressionHandler::decodeNextFrame(uint8_t* out, uint32_t len) {
    if (m_streamFailed || m_zstdFrameDone) return false;
    ZSTD_outBuffer o = {out, len, 0};
    while (o.pos < o.size) {
        size_t inBefore = m_inBuffer.pos;
        size_t outBefore = o.pos;
        size_t r = ZSTD_decompressStream(m_dctx, &o, &m_inBuffer);
        if (ZSTD_isError(r)) {
            LogErr(VB_SEQUENCE, "zstd data of %s is damaged: %s\n", m_file->getFilename().c_str(), ZSTD_getErrorName(r));
            m_streamFailed = true;
            return false;
        }
        if (o.pos < o.size && (r == 0 || (m_inBuffer.pos == inBefore && o.pos == outBefore))) {
            // The block's zstd frame ended, or its bytes ran out, before this
            // frame was complete: a block is one zstd frame, nothing follows.
            m_streamFailed = true;
            return false;
        }
        if (r == 0) {
            // Bytes after the block's zstd frame belong to no frame of it.
            m_zstdFrameDone = true;
        }
    }
    return true;
}

// ------------------------------------------------------------ zlib

V2ZLIBCompressionHandler::V2ZLIBCompressionHandler(V2HSEQFile* f) : V2CompressedHandler(f) {}

V2ZLIBCompressionHandler::~V2ZLIBCompressionHandler() {
    if (m_deflate) {
        deflateEnd(m_deflate);
        delete m_deflate;
    }
    if (m_inflate) {
        inflateEnd(m_inflate);
        delete m_inflate;
    }
    free(m_outBuffer);
}

void V2ZLIBCompressionHandler::beginBlockWrite(uint32_t frame) {
    int level = m_file->getCompressionLevel();
    if (level < 0 || level > 9) {
        level = ZLIB_DEFAULT_LEVEL;
    }
    if (m_outBuffer == nullptr) {
        m_outBuffer = (uint8_t*)malloc(WRITE_BUFFER_SIZE);
    }
    if (m_deflate == nullptr) {
        m_deflate = new z_stream();
        if (deflateInit(m_deflate, level) != Z_OK) {
            delete m_deflate;
            m_deflate = nullptr;
        }
    } else {
        deflateReset(m_deflate);
    }
    m_streamFailed = m_deflate == nullptr || m_outBuffer == nullptr;
    if (m_streamFailed) {
        LogErr(VB_SEQUENCE, "Could not set up zlib compression for %s\n", m_file->getFilename().c_str());
        return;
    }
    m_deflate->next_out = m_outBuffer;
    m_deflate->avail_out = WRITE_BUFFER_SIZE;
}

void V2ZLIBCompressionHandler::compressBytes(const uint8_t* data, size_t len) {
    if (m_streamFailed) return;
    m_deflate->next_in = (Bytef*)data;
    m_deflate->avail_in = (uInt)len;
    while (m_deflate->avail_in > 0) {
        if (m_deflate->avail_out < ZLIB_MIN_OUTPUT_SPACE) {
            writeOutput(m_outBuffer, WRITE_BUFFER_SIZE - m_deflate->avail_out);
            m_deflate->next_out = m_outBuffer;
            m_deflate->avail_out = WRITE_BUFFER_SIZE;
        }
        if (deflate(m_deflate, Z_NO_FLUSH) == Z_STREAM_ERROR) {
            LogErr(VB_SEQUENCE, "zlib compression of %s failed\n", m_file->getFilename().c_str());
            m_streamFailed = true;
            return;
        }
    }
}

void V2ZLIBCompressionHandler::endBlockWrite() {
    if (m_streamFailed) return;
    int r;
    do {
        r = deflate(m_deflate, Z_FINISH);
        if (r == Z_STREAM_ERROR) {
            LogErr(VB_SEQUENCE, "zlib compression of %s failed\n", m_file->getFilename().c_str());
            m_streamFailed = true;
            break;
        }
        writeOutput(m_outBuffer, WRITE_BUFFER_SIZE - m_deflate->avail_out);
        m_deflate->next_out = m_outBuffer;
        m_deflate->avail_out = WRITE_BUFFER_SIZE;
    } while (r != Z_STREAM_END);
}

void V2ZLIBCompressionHandler::beginBlockRead(const uint8_t* data, uint64_t size) {
    if (m_inflate == nullptr) {
        m_inflate = new z_stream();
        if (inflateInit(m_inflate) != Z_OK) {
            delete m_inflate;
            m_inflate = nullptr;
        }
    } else {
        inflateReset(m_inflate);
    }
    m_curBlockData = data;
    m_streamEnded = false;
    m_streamFailed = m_inflate == nullptr;
    if (m_inflate) {
        m_inflate->next_in = (Bytef*)data;
        // Index entries are 32-bit, so a real block always fits.
        m_inflate->avail_in = (uInt)std::min<uint64_t>(size, UINT32_MAX);
    }
}

bool V2ZLIBCompressionHandler::decodeNextFrame(uint8_t* out, uint32_t len) {
    if (m_streamFailed || m_streamEnded) return false;
    m_inflate->next_out = out;
    m_inflate->avail_out = len;
    while (m_inflate->avail_out > 0) {
        uInt inBefore = m_inflate->avail_in;
        uInt outBefore = m_inflate->avail_out;
        int r = inflate(m_inflate, Z_SYNC_FLUSH);
        if (r == Z_STREAM_END) {
            m_streamEnded = true;
            return m_inflate->avail_out == 0;
        }
        if (r != Z_OK && r != Z_BUF_ERROR) {
            LogErr(VB_SEQUENCE, "zlib data of %s is damaged: %s\n", m_file->getFilename().c_str(),
                   m_inflate->msg ? m_inflate->msg : "unknown error");
            m_streamFailed = true;
            return false;
        }
        if (m_inflate->avail_in == inBefore && m_inflate->avail_out == outBefore) {
            m_streamFailed = true;
            return false;
        }
    }
    return true;
}
