#include "sync/SyncMaster.h"

#include "common.h"
#include "settings.h"
#include "sync/ClockQuality.h"

// Media files travel by the name a remote finds in its own music or videos
// folder (random entries hold the full path of this board's file).
static std::string MediaName(const std::string& file) {
    for (const char* folder : {"/music/", "/videos/"}) {
        std::string prefix = getKIVMediaDir(folder);
        if (startsWith(file, prefix)) return file.substr(prefix.size());
    }
    return file;
}

void SyncMaster::SendFile(uint8_t type, const std::string& file) {
    SyncPacket p;
    p.type = type;
    p.file = file;
    m_send(p, SyncWallUs());
}

void SyncMaster::SeqOpen(const std::string& file) { SendFile(SYNC_SEQ_OPEN, file); }
void SyncMaster::SeqStop(const std::string& file) { SendFile(SYNC_SEQ_STOP, file); }
void SyncMaster::MediaOpen(const std::string& file) { SendFile(SYNC_MEDIA_OPEN, MediaName(file)); }

void SyncMaster::MediaStop(const std::string& file) {
    {
        std::lock_guard<std::mutex> lock(m_mediaLock);
        m_lastMediaSyncUs = 0;
    }
    SendFile(SYNC_MEDIA_STOP, MediaName(file));
}

void SyncMaster::SeqStart(const std::string& file, int periodUs) {
    SyncPacket p;
    p.type = SYNC_SEQ_START;
    p.file = file;
    p.frame = 0;
    p.periodUs = periodUs > 0 ? (uint32_t)periodUs : 50000;
    m_send(p, SyncWallUs());
}

void SyncMaster::SeqSync(const std::string& file, int frame, long long frameMonoUs, int periodUs) {
    SyncPacket p;
    p.type = SYNC_SEQ_SYNC;
    p.file = file;
    p.frame = frame < 0 ? 0 : (uint32_t)frame;
    p.periodUs = periodUs > 0 ? (uint32_t)periodUs : 50000;
    long long wall = SyncWallUs();
    // The frame's own moment on the wall clock, not when this line runs.
    if (frameMonoUs > 0) wall += frameMonoUs - SyncMonoUs();
    m_send(p, wall);
}

void SyncMaster::EffectStart(const std::string& name, int startChannel, bool loop, bool background,
                             long long startMonoUs) {
    SyncPacket p;
    p.type = SYNC_EFFECT_START;
    p.file = name;
    p.startChannel = startChannel > 0 ? (uint32_t)startChannel : 0;
    p.effectFlags = (loop ? SYNC_EFFECT_LOOP : 0) | (background ? SYNC_EFFECT_BACKGROUND : 0);
    // The remotes count the effect's frames from the same moment.
    m_send(p, SyncWallUs() + (startMonoUs - SyncMonoUs()));
}

void SyncMaster::EffectStop(const std::string& name) {
    SyncPacket p;
    p.type = SYNC_EFFECT_STOP;
    p.file = name;
    m_send(p, SyncWallUs());
}

void SyncMaster::Blank() {
    SyncPacket p;
    p.type = SYNC_BLANK;
    m_send(p, SyncWallUs());
}

void SyncMaster::MediaStart(const std::string& file, double seconds) {
    {
        std::lock_guard<std::mutex> lock(m_mediaLock);
        m_lastMediaSyncUs = 0;
    }
    SyncPacket p;
    p.type = SYNC_MEDIA_START;
    p.file = MediaName(file);
    p.positionUs = seconds > 0 ? (uint64_t)(seconds * 1e6) : 0;
    m_send(p, SyncWallUs());
}

void SyncMaster::MediaSync(const std::string& file, double seconds) {
    long long now = SyncMonoUs();
    {
        std::lock_guard<std::mutex> lock(m_mediaLock);
        if (m_lastMediaSyncUs && now - m_lastMediaSyncUs < MEDIA_SYNC_INTERVAL_US) return;
        m_lastMediaSyncUs = now;
    }
    SyncPacket p;
    p.type = SYNC_MEDIA_SYNC;
    p.file = MediaName(file);
    p.positionUs = seconds > 0 ? (uint64_t)(seconds * 1e6) : 0;
    m_send(p, SyncWallUs());
}
