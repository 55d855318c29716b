#pragma once
// The master hands its show to its remotes ("Sync Files", docs/sync.md).
// Each remote lists its files with size and SHA-256 (GET /kivd/sync/files,
// which every board answers, with its health); the master sends what is
// missing or different through the remote's own upload API with the access
// token, one file at a time and no faster than "SyncFilesMaxKBps", from a
// thread of its own ("KIV-SyncFiles", below every thread of the show). A
// remote it cannot reach is tried again with back-off until it answers; what
// a remote refuses is kept with the reason. It also looks at every remote
// once a minute, for its health and the files it lacks. kivd starts and
// stops it; "Get Systems" shows each remote's state.

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <json/json.h>

#include "sync/FileInventory.h"

class SyncFiles {
public:
    static SyncFiles INSTANCE;

    // What a master sends when "SyncFilesMaxKBps" is not set, in kB (1000
    // bytes) a second: a third of a 100 Mbit/s show network.
    static constexpr int DEFAULT_MAX_KBPS = 4000;
    // Back-off for a remote that cannot be reached: from the first to the
    // longest wait between tries.
    static constexpr int RETRY_FIRST_MS = 2000;
    static constexpr int RETRY_MAX_MS = 60000;
    // How often a master looks at each remote without sending.
    static constexpr int CHECK_INTERVAL_MS = 60000;
    // Changes through the setup API wait this long for more before
    // "SyncFilesAfterUpload" starts a pass.
    static constexpr int AFTER_UPLOAD_QUIET_MS = 3000;

    // Mounts /kivd/sync/files and registers "Sync Files"; on a master it
    // also starts the thread.
    void Init();
    void Shutdown();
    // Starts a pass over every remote known (one under way is followed by
    // another). False, with the reason in `message`, on a board that is not
    // a master or knows no remote.
    bool Start(std::string& message);
    // Each remote's "health" and "files" in a "Get Systems" document, and
    // "fileSync" for the whole.
    void AddStatus(Json::Value& systems);
    // The listing a board answers with: its files of `kinds` with their
    // digests, "health", and "writable" (whether `requestor` may change
    // anything here).
    static Json::Value Describe(const std::vector<FileInventory::Kind>& kinds, const std::string& requestor);

private:
    struct Refusal {
        std::string file;
        std::string error;
    };
    // What the master knows of one remote; m_lock guards every one.
    struct Remote {
        std::string address, hostname;
        int httpPort = 0;
        bool listed = true;    // in the systems multi-system sync knows now
        bool pending = false;  // a pass asked for has not reached it yet
        int failures = 0;      // tries in a row that could not reach it
        long long nextTryMs = 0;
        long long nextCheckMs = 0;
        std::string state = "unknown";
        std::string error;             // about the remote as a whole
        std::vector<Refusal> refused;  // by the last pass
        int outOfDate = -1;            // files it lacked at the last look
        std::string sending;           // "<kind>/<name>" under way
        long long sendingSize = 0, sendingDone = 0;
        int passSent = 0;
        long long passBytes = 0, passStartMs = 0;
        Json::Value lastPass;  // {"sent", "bytes", "seconds", "finished"}
        long long checkedWall = 0;
        Json::Value health;    // as the remote reports it
        std::string warning;   // raised for its refusals
    };
    enum class Outcome { Done, Unreachable, Stopped };

    void Run();
    // Takes new remotes from multi-system sync (never with m_lock held).
    void RefreshRemotes();
    // Lists the remote's files and, with `send`, sends what it lacks.
    Outcome Visit(const std::string& address, bool send);
    void Finish(Remote& r, Outcome o, bool send, long long nowMs);
    // Called by the setup API after every change on this board.
    static void AfterChange();

    std::mutex m_lock;  // guards every member below but the thread and m_stop
    std::condition_variable m_wake;
    std::map<std::string, Remote> m_remotes;  // by address
    bool m_requested = false;
    long long m_autoAtMs = 0;  // a pass after uploads, at this time (0: none)
    bool m_running = false;    // a pass is under way
    bool m_mounted = false;

    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_active{false};  // the thread runs: this board is a master
    std::thread m_thread;  // "KIV-SyncFiles", on a master only; stopped by Shutdown
};
