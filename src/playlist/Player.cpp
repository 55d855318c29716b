#include "playlist/Player.h"

#include "ScheduleClock.h"
#include "commands/PlayerCommands.h"
#include "Sequence.h"
#include "common.h"
#include "log.h"
#include "mediaoutput/mediaoutput.h"
#include "playlist/Playlist.h"
#include "playlist/PlaylistEntryBase.h"
#include "settings.h"
#include "sync/ClockQuality.h"

Player Player::INSTANCE;

namespace {
const char* statusName(int status) {
    switch (status) {
    case PLAYER_IDLE:
        return "idle";
    case PLAYER_PLAYING:
        return "playing";
    case PLAYER_STOPPING_GRACEFULLY:
        return "stopping gracefully";
    case PLAYER_STOPPING_GRACEFULLY_AFTER_LOOP:
        return "stopping gracefully after loop";
    case PLAYER_PAUSED:
        return "paused";
    default:
        return "unknown";
    }
}
}  // namespace

Player::~Player() {}

void Player::Init() {
    LogDebug(VB_PLAYLIST, "Player::Init()\n");
    RegisterPlayerCommands();
}

// Restarting an output takes the device a moment to settle; its position
// is judged again only after this long.
static constexpr long long REMOTE_MEDIA_SETTLE_US = 1000000;
static constexpr long long REMOTE_MEDIA_DRIFT_WINDOW_US = 2000000;

void Player::RemoteMediaOpen(const std::string& file) {
    // The master opens the file anew: one that failed here is tried again.
    m_remoteMediaFailed.clear();
    OpenRemoteMedia(file);
}

bool Player::OpenRemoteMedia(const std::string& file) {
    if (m_remoteMediaFile == file && m_remoteMedia) return true;
    if (file == m_remoteMediaFailed) return false;
    RemoteMediaStop(m_remoteMediaFile);
    std::string videoOut = getSetting("VideoOutput", "");
    if (!ResolveMediaPath(file).empty()) {
        m_remoteMedia.reset(CreateMediaOutput(file, videoOut.empty() ? "--HDMI--" : videoOut));
    }
    if (!m_remoteMedia) {
        m_remoteMediaFailed = file;
        LogWarn(VB_MEDIAOUT, "The master plays %s, which cannot play on this remote (not in its music or videos "
                             "folder, or of a kind it cannot play); the lights follow without it\n", file.c_str());
        return false;
    }
    m_remoteMediaFile = file;
    return true;
}

bool Player::RemoteMediaPlay(double positionS) {
    if (!m_remoteMedia) return false;
    // Starting takes a while (decoding up to the position, opening the
    // device): the output starts where the master will be by then, judged
    // by the last start.
    positionS += m_mediaStartCostUs / 1e6;
    int ms = positionS > 0 ? (int)(positionS * 1000) : 0;
    LogInfo(VB_MEDIAOUT, "Remote media %s from %d ms\n", m_remoteMediaFile.c_str(), ms);
    long long t0 = SyncMonoUs();
    bool started = m_remoteMedia->Start(ms);
    m_mediaStartCostUs = SyncMonoUs() - t0;
    m_driftCheckFromUs = SyncMonoUs() + REMOTE_MEDIA_SETTLE_US;
    m_driftSum = 0;
    m_driftSamples = 0;
    if (started) return true;
    LogErr(VB_MEDIAOUT, "Could not start media %s; the lights follow the master without it\n",
           m_remoteMediaFile.c_str());
    m_remoteMediaFailed = m_remoteMediaFile;
    RemoteMediaStop(m_remoteMediaFile);
    return false;
}

void Player::RemoteMediaStart(const std::string& file, double positionS, long long atMonoUs) {
    if (mediaOutputStatus.status == MEDIAOUTPUTSTATUS_PLAYING && m_remoteMediaFile == file) {
        // Started again (a resume): begin from the master's position.
        RemoteMediaStop(file);
    }
    if (!OpenRemoteMedia(file)) return;
    m_masterMediaS = positionS;
    m_masterMediaAtUs = atMonoUs;
    RemoteMediaPlay(positionS + (SyncMonoUs() - atMonoUs) / 1e6);
}

void Player::RemoteMediaSync(const std::string& file, double positionS, long long atMonoUs) {
    if (m_remoteMediaFile != file || !m_remoteMedia || mediaOutputStatus.status != MEDIAOUTPUTSTATUS_PLAYING) {
        // Joining a song that plays already.
        if (file != m_remoteMediaFailed) RemoteMediaStart(file, positionS, atMonoUs);
        return;
    }
    m_masterMediaS = positionS;
    m_masterMediaAtUs = atMonoUs;
}

void Player::RemoteMediaStop(const std::string& file) {
    if (!m_remoteMedia || m_remoteMediaFile != file) return;
    m_remoteMedia->Close();
    m_remoteMedia.reset();
    m_remoteMediaFile.clear();
    mediaOutputStatus.status = MEDIAOUTPUTSTATUS_IDLE;
}

void Player::ProcessMedia() {
    if (!m_remoteMedia) return;
    if (!m_remoteMedia->Process()) {
        RemoteMediaStop(m_remoteMediaFile);
        return;
    }
    long long now = SyncMonoUs();
    if (now < m_driftCheckFromUs) return;
    // Both positions move in steps of a device buffer: the drift is judged
    // on its mean over a while, not on one reading.
    m_driftSum += mediaOutputStatus.mediaSeconds - (m_masterMediaS + (now - m_masterMediaAtUs) / 1e6);
    if (++m_driftSamples == 1) m_driftWindowEndUs = now + REMOTE_MEDIA_DRIFT_WINDOW_US;
    if (now < m_driftWindowEndUs) return;
    double drift = m_driftSum / m_driftSamples;
    m_driftSum = 0;
    m_driftSamples = 0;
    if (drift > REMOTE_MEDIA_TOLERANCE_S || drift < -REMOTE_MEDIA_TOLERANCE_S) {
        double master = m_masterMediaS + (now - m_masterMediaAtUs) / 1e6;
        LogInfo(VB_MEDIAOUT, "Remote media %s is %.0f ms %s the master; restarting at %.2f s\n",
                m_remoteMediaFile.c_str(), drift < 0 ? -drift * 1000 : drift * 1000,
                drift < 0 ? "behind" : "ahead of", master);
        std::string file = m_remoteMediaFile;
        RemoteMediaStop(file);
        if (OpenRemoteMedia(file)) RemoteMediaPlay(master + (SyncMonoUs() - now) / 1e6);
    }
}

void Player::Cleanup() {
    RemoteMediaStop(m_remoteMediaFile);
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    m_pending.reset();
    if (m_playlist) StopNowLocked(0);
}

std::string Player::GetPlaylistName() {
    std::lock_guard<std::mutex> lock(m_nameLock);
    return m_playlistName;
}

std::string Player::GetLastStartError() {
    std::lock_guard<std::mutex> lock(m_nameLock);
    return m_lastStartError;
}

std::string Player::GetForceStoppedPlaylist() {
    std::lock_guard<std::mutex> lock(m_nameLock);
    return m_forceStoppedPlaylist;
}

bool Player::StartPlaylist(const std::string& playlist, int repeat, int position) {
    auto req = std::make_unique<StartRequest>();
    req->position = position;
    req->repeat = repeat != 0;
    req->playlist = std::make_unique<Playlist>(playlist);
    return RequestStart(std::move(req));
}

bool Player::StartScheduledPlaylist(const std::string& playlist, int position, int repeat, int scheduleEntry,
                                    int priority, time_t startTime, time_t endTime, int stopMethod) {
    auto req = std::make_unique<StartRequest>();
    req->position = position;
    req->repeat = repeat != 0;
    req->scheduled = true;
    req->scheduleEntry = scheduleEntry;
    req->priority = priority;
    req->startTime = startTime;
    req->endTime = endTime;
    req->stopMethod = stopMethod;
    req->playlist = std::make_unique<Playlist>(playlist);
    return RequestStart(std::move(req));
}

bool Player::RequestStart(std::unique_ptr<StartRequest> req) {
    Playlist* pl = req->playlist.get();
    // Loaded before anything is stopped: a playlist that cannot play must
    // not cut short the one that can.
    bool loaded;
    if (endsWith(pl->GetName(), ".hseq") && !FileExists(Playlist::FilePath(pl->GetName()))) {
        // A sequence played as a playlist of one.
        Json::Value doc;
        Json::Value entry;
        entry["type"] = "sequence";
        entry["sequenceName"] = pl->GetName();
        doc["mainPlaylist"].append(entry);
        loaded = pl->LoadJson(doc);
    } else {
        loaded = pl->Load();
    }
    if (!loaded) {
        LogErr(VB_PLAYLIST, "Cannot start %s playlist '%s': %s\n", req->scheduled ? "scheduled" : "manual",
               pl->GetName().c_str(), pl->GetLoadError().c_str());
        std::lock_guard<std::mutex> lock(m_nameLock);
        m_lastStartError = pl->GetLoadError();
        return false;
    }

    std::lock_guard<std::recursive_mutex> lock(m_lock);
    int status = GetStatus();
    if (req->scheduled && (status == PLAYER_STOPPING_GRACEFULLY || status == PLAYER_STOPPING_GRACEFULLY_AFTER_LOOP)) {
        LogInfo(VB_PLAYLIST, "Scheduled playlist '%s' starts when '%s' has wound down\n", pl->GetName().c_str(),
                GetPlaylistName().c_str());
        m_pending = std::move(req);
        return true;
    }
    m_pending.reset();
    return StartNow(std::move(req));
}

bool Player::StartNow(std::unique_ptr<StartRequest> req) {
    if (m_playlist) StopNowLocked(0);

    m_playlist = std::move(req->playlist);
    std::string name = m_playlist->GetName();
    {
        std::lock_guard<std::mutex> lock(m_nameLock);
        m_playlistName = name;
        m_forceStoppedPlaylist.clear();
    }
    m_forceStopped = false;
    m_scheduled = req->scheduled;
    m_repeat = req->repeat;
    m_scheduleEntry = req->scheduled ? req->scheduleEntry : -1;
    m_priority = req->scheduled ? req->priority : 0;
    m_stopMethod = req->scheduled ? req->stopMethod : 0;
    m_scheduledStartTime = req->scheduled ? req->startTime : 0;
    m_scheduledEndTime = req->scheduled ? req->endTime : 0;
    m_actualStartTime = ScheduleClock::Now();
    m_actualEndTime = req->scheduled ? req->endTime : 0;
    m_status = PLAYER_PLAYING;

    LogInfo(VB_PLAYLIST, "Starting %s playlist '%s' at position %d, repeat %d\n",
            req->scheduled ? "scheduled" : "manual", name.c_str(), req->position + 1, (int)req->repeat);
    if (!m_playlist->Start(req->position, req->repeat)) {
        LogErr(VB_PLAYLIST, "Playlist '%s' could not start\n", name.c_str());
        FinishLocked();
        return false;
    }
    m_position = m_playlist->GetPosition();
    if (m_playlist->IsFinished()) FinishLocked();
    return true;
}

void Player::Process() {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    if (m_playlist) {
        int status = GetStatus();
        if (m_scheduled && m_actualEndTime > 0 && (status == PLAYER_PLAYING || status == PLAYER_PAUSED) &&
            ScheduleClock::Now() >= m_actualEndTime) {
            LogInfo(VB_PLAYLIST, "Scheduled playlist '%s' reached its end time; stopping (%s)\n",
                    m_playlist->GetName().c_str(),
                    m_stopMethod == 1 ? "hard" : (m_stopMethod == 2 ? "graceful after loop" : "graceful"));
            if (status == PLAYER_PAUSED) {
                m_playlist->Resume();
                m_status = PLAYER_PLAYING;
            }
            switch (m_stopMethod) {
            case 1:
                StopNowLocked(0);
                break;
            case 2:
                StopGracefullyLocked(0, 1);
                break;
            default:
                StopGracefullyLocked(0, 0);
                break;
            }
        }
    }
    if (m_playlist) {
        m_playlist->Process();
        m_position = m_playlist->GetPosition();
        if (m_playlist->IsFinished()) FinishLocked();
    }
    if (!m_playlist && m_pending) {
        StartNow(std::move(m_pending));
    }
}

void Player::FinishLocked() {
    m_playlist.reset();
    m_position = 0;
    {
        std::lock_guard<std::mutex> lock(m_nameLock);
        m_playlistName.clear();
    }
    m_status = PLAYER_IDLE;
    // The last sequence closed while the player still counted as playing,
    // so nothing blanked the outputs yet: the show ends dark.
    if (sequence && !sequence->IsSequenceRunning()) {
        sequence->SendBlankingData();
    }
}

void Player::SetForceStopped(int forceStopped) {
    if (!forceStopped || !m_scheduled) return;
    std::lock_guard<std::mutex> lock(m_nameLock);
    m_forceStoppedPlaylist = m_playlistName;
    m_forceStopped = true;
}

void Player::StopNow(int forceStopped) {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    m_pending.reset();
    StopNowLocked(forceStopped);
}

void Player::StopNowLocked(int forceStopped) {
    if (!m_playlist) return;
    LogInfo(VB_PLAYLIST, "Stopping playlist '%s' now\n", m_playlist->GetName().c_str());
    SetForceStopped(forceStopped);
    // The status stays what it was until idle: the main loop watches for a
    // change from playing (or winding down) to idle, never a step between.
    m_playlist->StopNow();
    FinishLocked();
}

void Player::StopGracefully(int forceStopped, int afterCurrentLoop) {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    StopGracefullyLocked(forceStopped, afterCurrentLoop);
}

void Player::StopGracefullyLocked(int forceStopped, int afterCurrentLoop) {
    if (!m_playlist) return;
    int status = GetStatus();
    if (status == PLAYER_STOPPING_GRACEFULLY) return;  // already the quicker of the two
    if (status == PLAYER_STOPPING_GRACEFULLY_AFTER_LOOP && afterCurrentLoop) return;
    SetForceStopped(forceStopped);
    if (status == PLAYER_PAUSED) m_playlist->Resume();
    m_playlist->StopGracefully(afterCurrentLoop != 0);
    m_status = afterCurrentLoop ? PLAYER_STOPPING_GRACEFULLY_AFTER_LOOP : PLAYER_STOPPING_GRACEFULLY;
}

bool Player::Pause() {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    if (!m_playlist || GetStatus() != PLAYER_PLAYING) return false;
    m_playlist->Pause();
    m_status = PLAYER_PAUSED;
    LogInfo(VB_PLAYLIST, "Playlist '%s' paused\n", m_playlist->GetName().c_str());
    return true;
}

bool Player::Resume() {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    if (!m_playlist || GetStatus() != PLAYER_PAUSED) return false;
    m_playlist->Resume();
    m_status = PLAYER_PLAYING;
    LogInfo(VB_PLAYLIST, "Playlist '%s' resumed\n", m_playlist->GetName().c_str());
    return true;
}

bool Player::AdjustPlaylistStopTime(int seconds) {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    int status = GetStatus();
    if (!m_playlist || !m_scheduled || (status != PLAYER_PLAYING && status != PLAYER_PAUSED)) {
        LogWarn(VB_PLAYLIST, "No scheduled playlist is playing; its end time cannot move\n");
        return false;
    }
    m_actualEndTime = m_actualEndTime + seconds;
    LogInfo(VB_PLAYLIST, "Playlist '%s' now ends %d seconds %s\n", m_playlist->GetName().c_str(),
            seconds < 0 ? -seconds : seconds, seconds < 0 ? "earlier" : "later");
    return true;
}

Json::Value Player::StatusJSON(bool mqtt) {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    Json::Value v;
    int status = GetStatus();
    v["status"] = status;
    v["statusName"] = statusName(status);
    v["playlist"] = GetPlaylistName();
    v["scheduled"] = WasScheduled();
    v["repeat"] = GetRepeat();
    v["position"] = GetPosition();
    v["scheduleEntry"] = GetScheduleEntry();
    v["stopMethod"] = GetStopMethod();
    if (WasScheduled() && status != PLAYER_IDLE) {
        v["scheduledStartTime"] = (Json::UInt64)m_scheduledStartTime.load();
        v["scheduledEndTime"] = (Json::UInt64)m_scheduledEndTime.load();
        v["actualEndTime"] = (Json::UInt64)m_actualEndTime.load();
        v["secondsRemaining"] = (Json::Int64)(m_actualEndTime.load() - ScheduleClock::Now());
    }
    if (status != PLAYER_IDLE) v["actualStartTime"] = (Json::UInt64)m_actualStartTime.load();
    if (m_playlist) {
        Json::Value info = m_playlist->GetInfo(mqtt);
        v["size"] = info["size"];
        v["section"] = info["section"];
        v["loop"] = info["loop"];
        if (info.isMember("currentEntry")) v["currentEntry"] = info["currentEntry"];
    }
    if (m_pending) v["nextPlaylist"] = m_pending->playlist->GetName();
    return v;
}

Json::Value Player::GetStatusJSON() { return StatusJSON(false); }
Json::Value Player::GetMqttStatusJSON() { return StatusJSON(true); }
