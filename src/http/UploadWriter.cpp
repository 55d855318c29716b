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
// Every system call of the writing thread is kept short: a kernel that
// does not preempt a thread inside one (the usual server configuration)
// makes the real-time output thread wait until it returns. Measured with
// bench_upload: pieces of 1 MB and writeback stretches of 8 MB held the
// output thread up to 0.5 ms, and the disk's completion work for one
// stretch (run by kernel workers) as long.
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
    if (m_hints >= 0) close(m_hints);
    m_hints = -1;
    m_file.Discard();
}

bool UploadWriter::Open() {
    if (!m_file.Open()) {
        m_error = m_file.Error();
        return false;
    }
    // Writeback hints work through any descriptor of the file.
    m_hints = open(m_file.TempPath().c_str(), O_RDONLY | O_CLOEXEC);
    if (m_hints < 0) {
        m_error = strerror(errno);
        return false;
    }
    m_thread = std::thread(&UploadWriter::Run, this);
    return true;
}

bool UploadWriter::Write(const char* data, size_t len) {
    m_bytes += len;
    if (m_piece.capacity() < PIECE_BYTES) {
        // Buffers go round rather than back to the allocator: returning
        // large blocks unmaps them, which interrupts every thread of the
        // daemon (the output thread too) to flush its address cache.
        std::lock_guard<std::mutex> lock(m_lock);
        if (!m_spare.empty()) {
            m_piece.swap(m_spare.back());
            m_spare.pop_back();
        }
        m_piece.reserve(PIECE_BYTES);
    }
    m_piece.append(data, len);
    if (m_piece.size() < PIECE_BYTES) return true;
    std::string piece;
    piece.swap(m_piece);
    return Push(std::move(piece));
}

bool UploadWriter::Push(std::string&& piece) {
    std::unique_lock<std::mutex> lock(m_lock);
    m_changed.wait(lock, [&] { return m_failed || m_queued + piece.size() <= QUEUED_BYTES || m_queue.empty(); });
    if (m_failed) return false;
    m_queued += piece.size();
    m_queue.push_back(std::move(piece));
    m_changed.notify_all();
    return true;
}

bool UploadWriter::Finish() {
    if (!m_piece.empty() && !Push(std::move(m_piece))) return false;
    m_piece.clear();
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
    LogDebug(VB_HTTP, "Upload to %s written at %s\n", m_file.TempPath().c_str(), priority.c_str());
    while (true) {
        std::string piece;
        {
            std::unique_lock<std::mutex> lock(m_lock);
            m_changed.wait(lock, [&] { return m_abort || m_closing || !m_queue.empty(); });
            if (m_abort || m_queue.empty()) break;
            piece.swap(m_queue.front());
            m_queue.pop_front();
        }
        bool ok = true;
        for (size_t at = 0; ok && at < piece.size(); at += WRITE_BYTES) {
            ok = m_file.Write(piece.data() + at, std::min(WRITE_BYTES, piece.size() - at));
        }
        int err = errno;
        if (ok) {
            m_written += (off_t)piece.size();
            ok = WriteBack(false);
            err = errno;
        }
        std::lock_guard<std::mutex> lock(m_lock);
        m_queued -= piece.size();
        piece.clear();
        m_spare.push_back(std::move(piece));
        if (!ok) {
            m_failed = true;
            if (m_error.empty()) m_error = m_file.Error();
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

bool UploadWriter::WriteBack(bool all) {
    while (m_written - m_started >= WRITEBACK_BYTES || (all && m_written > m_started)) {
        off_t len = std::min(WRITEBACK_BYTES, m_written - m_started);
        if (sync_file_range(m_hints, m_started, len, SYNC_FILE_RANGE_WRITE) != 0) {
            return Failed("sync_file_range");
        }
        m_started += len;
        // The stretch before has had the time this one took to arrive.
        if (m_started - len > m_dropped && !Drop(m_started - len)) return false;
    }
    return !all || m_started == m_dropped || Drop(m_started);
}

bool UploadWriter::Drop(off_t upTo) {
    if (sync_file_range(m_hints, m_dropped, upTo - m_dropped,
                        SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER) != 0) {
        return Failed("sync_file_range");
    }
    posix_fadvise(m_hints, m_dropped, upTo - m_dropped, POSIX_FADV_DONTNEED);
    m_dropped = upTo;
    return true;
}

bool UploadWriter::Failed(const char* what) {
    int err = errno;
    std::lock_guard<std::mutex> lock(m_lock);
    m_error = std::string(what) + ": " + strerror(err);
    errno = err;
    return false;
}
