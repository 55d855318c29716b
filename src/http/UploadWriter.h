#pragma once
// Writes an upload's body to disk behind the HTTP thread that receives it.
// The receiving thread hands over pieces (and waits once QUEUED_BYTES are
// waiting for the disk, so TCP slows the sender down); a thread of the
// upload's own, "KIV-Upload", writes them at background priority. Where the
// file system allows it the bytes go straight to the disk (direct IO), past
// the page cache: no pile of dirty pages for one long flush at the end
// (which holds up every other writer of the disk, the log among them), no
// writeback and page-freeing work for the kernel to do meanwhile, nothing
// of the playing show pushed out of memory. Elsewhere (tmpfs) they go
// through the page cache in short writes, the disk set writing every
// megabyte and what is written dropped. Used by the file uploads of the
// setup pages (src/http/SetupApi).

#include <sys/types.h>

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common.h"

class UploadWriter {
public:
    // The file is written beside `path` and takes its name on Commit.
    explicit UploadWriter(const std::string& path);
    // An upload not committed (cut off, refused) leaves no file.
    ~UploadWriter();
    UploadWriter(const UploadWriter&) = delete;
    UploadWriter& operator=(const UploadWriter&) = delete;

    // Creates the temporary and starts the writing thread.
    bool Open();
    // Takes the next bytes; false once writing has failed.
    bool Write(const char* data, size_t len);
    // Waits until every byte is written; false when writing failed.
    bool Finish();
    // Puts the finished file on the disk and gives it its name.
    bool Commit();
    // Stops writing and removes what was written at once, so a failed
    // upload's bytes do not hold the disk until the request is gone.
    void Discard();
    // The temporary's path until Commit (to look at what was written).
    const std::string& TempPath() const { return m_file.TempPath(); }
    // Why writing failed.
    std::string Error();
    // Writing failed because the disk (or the user's quota) is full.
    bool NoSpace();
    long long Bytes() const { return m_bytes; }

private:
    // A piece of the body in memory aligned for direct IO.
    struct Piece {
        std::unique_ptr<char, decltype(&free)> bytes{nullptr, &free};
        size_t size = 0;
    };

    void Run();
    bool Push(Piece&& piece);
    // Writes a piece at the end of the file.
    bool WriteOut(const Piece& piece);
    // Goes on through the page cache (the end of the body, or a file
    // system that refuses direct IO).
    bool Buffered();
    // Starts writeback of every whole stretch written, waits for the one
    // before and drops it from memory; with `all` the rest too.
    bool WriteBack(bool all);
    // Waits until the file is on the disk up to `upTo` and drops that from memory.
    bool Drop(off_t upTo);
    // Records the failure of `what` (nothing: of writing) with errno.
    bool Failed(const char* what);
    bool Stop();

    FileReplacer m_file;
    Piece m_piece;  // being filled by the receiving thread
    long long m_bytes = 0;

    std::mutex m_lock;  // guards m_queue, m_spare, m_queued, m_closing, m_abort, m_failed, m_error, m_errno
    std::condition_variable m_changed;
    std::deque<Piece> m_queue;
    std::vector<Piece> m_spare;  // written pieces, for the receiving thread to fill again
    size_t m_queued = 0;
    bool m_closing = false;  // no more pieces come
    bool m_abort = false;    // the rest is not wanted
    bool m_failed = false;
    std::string m_error;
    int m_errno = 0;
    std::thread m_thread;

    // The writing thread's own.
    int m_fd = -1;          // the temporary again, written at m_written
    bool m_direct = false;  // m_fd bypasses the page cache
    off_t m_written = 0;    // bytes in the file
    off_t m_started = 0;    // writeback started up to here
    off_t m_dropped = 0;    // on the disk and out of memory up to here
};
