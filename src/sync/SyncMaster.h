#pragma once
// The master role: turns this board's sequence and media events into sync
// packets. Each packet carries the position and the wall-clock time of that
// position: a frame's time is when the output thread began sending it, a
// media position's time is when it was measured. Called through
// MultiSync from the sequence player, the channel output thread, the media
// entry and the media output; thread-safe.

#include <functional>
#include <mutex>
#include <string>

#include "sync/SyncPacket.h"

class SyncMaster {
public:
    // Fills the header (session, number, flags) and sends; timeUs is the
    // packet's wall-clock time.
    typedef std::function<void(SyncPacket&, long long timeUs)> Sender;
    explicit SyncMaster(Sender send) : m_send(std::move(send)) {}

    void SeqOpen(const std::string& file);
    void SeqStart(const std::string& file, int periodUs);
    void SeqStop(const std::string& file);
    // frameMonoUs: when the frame goes out on the monotonic clock (0: now).
    void SeqSync(const std::string& file, int frame, long long frameMonoUs, int periodUs);
    void Blank();
    void MediaOpen(const std::string& file);
    void MediaStart(const std::string& file, double seconds);
    void MediaStop(const std::string& file);
    // Called on every media position update; sent at most every
    // MEDIA_SYNC_INTERVAL_US, and at once after a start.
    void MediaSync(const std::string& file, double seconds);
    // An effect started at startMonoUs (monotonic) by a command, or stopped
    // (an empty name: all of them); "FE" effects the remotes start
    // themselves from their own copy of the sequence.
    void EffectStart(const std::string& name, int startChannel, bool loop, bool background, long long startMonoUs);
    void EffectStop(const std::string& name);

    static constexpr long long MEDIA_SYNC_INTERVAL_US = 250000;

private:
    void SendFile(uint8_t type, const std::string& file);
    Sender m_send;
    std::mutex m_mediaLock;  // guards m_lastMediaSyncUs
    long long m_lastMediaSyncUs = 0;
};
