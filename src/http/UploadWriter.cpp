#include "http/UploadWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "ThreadPriority.h"
#include "log.h"

namespace {

// Pieces handed to the writing thread: few wake-ups, little memory.
constexpr size_t PIECE_BYTES = 1 << 20;
// What may wait for the disk in memory before the receiving thread waits.
constexpr size_t QUEUED_BYTES = 8 << 20;
// Direct IO wants memory, offsets and lengths in whole blocks of the disk;
// this is one for every disk in use.
constexpr size_t DIRECT_ALIGN = 4096;
// Through the page cache every system call of the writing thread is kept
// short: a kernel that does not preempt a thread inside one (the usual
// server configuration) makes the real-time output thread wait until it
// returns. Measured with bench_upload: pieces of 1 MB and writeback
// stretches of 8 MB held the output thread up to 0.5 ms, and the disk's
// completion work for one stretch (run by kernel workers) as long. A
// direct write only maps the piece for the disk and sleeps until it is
// written, so it takes a whole piece.
constexpr size_t WRITE_BYTES = 128 << 10;
// The disk is set writing every this many bytes; the stretch before is
// then waited for and dropped, so at most two are unwritten. Stretches
// further in flight made more completion work at once: the output thread
// was later with 4 MB in flight than with 1 MB.
constexpr off_t WRITEBACK_BYTES = 1 << 20;

}  // namespace

UploadWriter::UploadWriter(const std::string& path) : m_file(path) {}

UploadWriter::~UploadWriter() { Discard(); }

void UploadWriter::Discard() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_abort = true;
    }
    Stop();
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
    m_file.Discard();
}

bool UploadWriter::Open() {
    if (!m_file.Open()) {
        m_error = m_file.Error();
        return false;
    }
    // A descriptor of the writing thread's own, past the page cache where
    // the file system allows it (tmpfs, for one, does not).
    m_fd = open(m_file.TempPath().c_str(), O_WRONLY | O_CLOEXEC | O_DIRECT);
    m_direct = m_fd >= 0;
    if (m_fd < 0 && errno == EINVAL) m_fd = open(m_file.TempPath().c_str(), O_WRONLY | O_CLOEXEC);
    if (m_fd < 0) {
        m_error = strerror(errno);
        return false;
    }
    m_thread = std::thread(&UploadWriter::Run, this);
    return true;
}

bool UploadWriter::Write(const char* data, size_t len) {
    m_bytes += len;
    while (len > 0) {
        if (!m_piece.bytes) {
            // Buffers go round rather than back to the allocator: returning
            // large blocks unmaps them, which interrupts every thread of the
            // daemon (the output thread too) to flush its address cache.
            std::lock_guard<std::mutex> lock(m_lock);
            if (!m_spare.empty()) {
                m_piece = std::move(m_spare.back());
                m_spare.pop_back();
            } else {
                m_piece.bytes.reset((char*)aligned_alloc(DIRECT_ALIGN, PIECE_BYTES));
                if (!m_piece.bytes) {
                    // Failed, so Finish does not take what came before for the whole body.
                    m_failed = true;
                    m_errno = ENOMEM;
                    m_error = strerror(ENOMEM);
                    return false;
                }
            }
            m_piece.size = 0;
        }
        size_t n = std::min(len, PIECE_BYTES - m_piece.size);
        memcpy(m_piece.bytes.get() + m_piece.size, data, n);
        m_piece.size += n;
        data += n;
        len -= n;
        if (m_piece.size == PIECE_BYTES) {
            Piece full = std::move(m_piece);
            m_piece.size = 0;
            if (!Push(std::move(full))) return false;
        }
    }
    return true;
}

bool UploadWriter::Push(Piece&& piece) {
    std::unique_lock<std::mutex> lock(m_lock);
    m_changed.wait(lock, [&] { return m_failed || m_queued + piece.size <= QUEUED_BYTES || m_queue.empty(); });
    if (m_failed) return false;
    m_queued += piece.size;
    m_queue.push_back(std::move(piece));
    m_changed.notify_all();
    return true;
}

bool UploadWriter::Finish() {
    if (m_piece.size > 0) {
        Piece last = std::move(m_piece);
        m_piece.size = 0;
        if (!Push(std::move(last))) return false;
    }
    return Stop();
}

bool UploadWriter::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_closing = true;
        m_changed.notify_all();
    }
    if (m_thread.joinable()) m_thread.join();
    std::lock_guard<std::mutex> lock(m_lock);
    return !m_failed;
}

bool UploadWriter::Commit() {
    if (!m_file.Commit()) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_error = m_file.Error();
        return false;
    }
    return true;
}

std::string UploadWriter::Error() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_error;
}

bool UploadWriter::NoSpace() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_errno == ENOSPC || m_errno == EDQUOT;
}

void UploadWriter::Run() {
    SetThreadName("KIV-Upload");
    std::string priority = LowerThreadPriority();
    LogDebug(VB_HTTP, "Upload to %s written %s at %s\n", m_file.TempPath().c_str(),
             m_direct ? "straight to the disk" : "through the page cache", priority.c_str());
    while (true) {
        Piece piece;
        {
            std::unique_lock<std::mutex> lock(m_lock);
            m_changed.wait(lock, [&] { return m_abort || m_closing || !m_queue.empty(); });
            if (m_abort || m_queue.empty()) break;
            piece = std::move(m_queue.front());
            m_queue.pop_front();
        }
        bool ok = WriteOut(piece);
        int err = errno;
        std::lock_guard<std::mutex> lock(m_lock);
        m_queued -= piece.size;
        m_spare.push_back(std::move(piece));
        if (!ok) {
            m_failed = true;
            if (!m_errno) m_errno = err;
        }
        m_changed.notify_all();
        if (!ok) return;
    }
    bool abort;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        abort = m_abort;
    }
    if (!abort && !WriteBack(true)) {
        int err = errno;
        std::lock_guard<std::mutex> lock(m_lock);
        m_failed = true;
        if (!m_errno) m_errno = err;
    }
}

bool UploadWriter::WriteOut(const Piece& piece) {
    size_t at = 0;
    while (at < piece.size) {
        size_t len = std::min(m_direct ? piece.size : WRITE_BYTES, piece.size - at);
        if (m_direct && len % DIRECT_ALIGN) {
            if (len > DIRECT_ALIGN) {
                len -= len % DIRECT_ALIGN;
            } else if (!Buffered()) {
                return false;
            }
        }
        ssize_t n = pwrite(m_fd, piece.bytes.get() + at, len, m_written);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EINVAL && m_direct) {
            // Blocks of this disk are larger than thought, or a short write
            // left the rest out of line.
            if (!Buffered()) return false;
            continue;
        }
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return Failed("");
        }
        at += (size_t)n;
        m_written += n;
        if (m_direct) {
            // On the disk already, and never in memory.
            m_started = m_dropped = m_written;
        } else if (!WriteBack(false)) {
            return false;
        }
    }
    return true;
}

bool UploadWriter::Buffered() {
    int flags = fcntl(m_fd, F_GETFL);
    if (flags < 0 || fcntl(m_fd, F_SETFL, flags & ~O_DIRECT) != 0) return Failed("fcntl");
    m_direct = false;
    return true;
}

bool UploadWriter::WriteBack(bool all) {
    while (m_written - m_started >= WRITEBACK_BYTES || (all && m_written > m_started)) {
        off_t len = std::min(WRITEBACK_BYTES, m_written - m_started);
        if (sync_file_range(m_fd, m_started, len, SYNC_FILE_RANGE_WRITE) != 0) {
            return Failed("sync_file_range");
        }
        m_started += len;
        // The stretch before has had the time this one took to arrive.
        if (m_started - len > m_dropped && !Drop(m_started - len)) return false;
    }
    return !all || m_started == m_dropped || Drop(m_started);
}

bool UploadWriter::Drop(off_t upTo) {
    if (sync_file_range(m_fd, m_dropped, upTo - m_dropped,
                        SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER) != 0) {
        return Failed("sync_file_range");
    }
    posix_fadvise(m_fd, m_dropped, upTo - m_dropped, POSIX_FADV_DONTNEED);
    m_dropped = upTo;
    return true;
}

bool UploadWriter::Failed(const char* what) {
    int err = errno;
    std::lock_guard<std::mutex> lock(m_lock);
    m_error = *what ? std::string(what) + ": " + strerror(err) : strerror(err);
    errno = err;
    return false;
}
