#include "playlist/PlaylistEntryMedia.h"

#include <errno.h>
#include <time.h>

#include <cstdlib>
#include <filesystem>

#include "Events.h"
#include "channeloutput/channeloutput.h"
#include "common.h"
#include "log.h"
#include "mediaoutput/MediaDetails.h"
#include "playlist/Playlist.h"
#include "sync/MultiSync.h"
#include "services/PluginManager.h"
#include "settings.h"

static const char* STATUS_TOPIC = "playlist/media/status";
static const char* TITLE_TOPIC = "playlist/media/title";
static const char* ARTIST_TOPIC = "playlist/media/artist";

int PlaylistEntryMedia::m_openStartDelay = -1;

static bool SyncEnabled() { return multiSync && multiSync->isMultiSyncEnabled(); }

PlaylistEntryMedia::PlaylistEntryMedia(Playlist* playlist, PlaylistEntryBase* parent)
    : PlaylistEntryBase(playlist, parent) {
    LogDebug(VB_PLAYLIST, "PlaylistEntryMedia::PlaylistEntryMedia()\n");
    if (m_openStartDelay == -1) m_openStartDelay = getSettingInt("openStartDelay", 0);
    m_type = "media";
    m_seed = (unsigned int)time(nullptr);
}

PlaylistEntryMedia::~PlaylistEntryMedia() {
    std::lock_guard<std::mutex> lock(m_outputMutex);
    if (m_output) {
        m_output->Close();
        m_output.reset();
    }
}

bool PlaylistEntryMedia::Init(Json::Value& config) {
    LogDebug(VB_PLAYLIST, "PlaylistEntryMedia::Init()\n");
    if (config["fileMode"].isString()) m_fileMode = config["fileMode"].asString();
    if (IsRandom()) {
        if (config["mediaPrefix"].isString()) m_mediaPrefix = config["mediaPrefix"].asString();
        if (!GetFileList()) {
            LogErr(VB_PLAYLIST, "Error, no files found when trying to play random file in %s mode\n",
                   m_fileMode.c_str());
            return false;
        }
        m_chosenFile = GetNextRandomFile();
        m_chosenUnplayed = true;
    } else {
        if (!config.isMember("mediaName")) {
            LogErr(VB_PLAYLIST, "Missing mediaName entry\n");
            return false;
        }
        if (!config["mediaName"].isString() || config["mediaName"].asString().empty()) {
            LogErr(VB_PLAYLIST, "mediaName must be a file name in quotes\n");
            return false;
        }
        m_chosenFile = config["mediaName"].asString();
    }
    if (config["videoOut"].isString()) m_videoOutput = config["videoOut"].asString();
    m_pausedAtMs = -1;
    return PlaylistEntryBase::Init(config);
}

std::string PlaylistEntryMedia::FindMissingFile() {
    if (IsRandom() || !ResolveMediaPath(m_chosenFile).empty()) return "";
    return getKIVMediaDir("/music/" + m_chosenFile);
}

bool PlaylistEntryMedia::GetFileList() {
    m_fileList.clear();
    std::string dir;
    if (m_fileMode == "randomVideo") {
        dir = getKIVMediaDir("/videos");
    } else if (m_fileMode == "randomAudio") {
        dir = getKIVMediaDir("/music");
    }
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!dir.empty() && fs::is_directory(dir, ec)) {
        for (auto it = fs::recursive_directory_iterator(dir, fs::directory_options::skip_permission_denied, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            // Only files that can play: a folder, cover art or notes kept
            // beside the songs would otherwise fail one play in so many.
            if (!it->is_regular_file(ec)) continue;
            std::string path = it->path().string();
            if (!IsAudioFile(path) && !IsVideoFile(path)) continue;
            if (!m_mediaPrefix.empty()) {
                if (!startsWith(it->path().filename().string(), m_mediaPrefix)) continue;
                LogDebug(VB_PLAYLIST, "match: %s\n", path.c_str());
            }
            m_fileList.push_back(path);
        }
    }
    LogDebug(VB_PLAYLIST, "%d files in %s directory\n", (int)m_fileList.size(), dir.c_str());
    return !m_fileList.empty();
}

std::string PlaylistEntryMedia::GetNextRandomFile() {
    if (m_fileList.empty() && !GetFileList()) {
        LogWarn(VB_PLAYLIST, "No files found in GetNextRandomFile()\n");
        return "";
    }
    size_t i = (size_t)rand_r(&m_seed) % m_fileList.size();
    std::string file = m_fileList[i];
    m_fileList.erase(m_fileList.begin() + i);
    LogDebug(VB_PLAYLIST, "GetNextRandomFile() = %s\n", file.c_str());
    return file;
}

void PlaylistEntryMedia::ResetStatusTimes() {
    mediaOutputStatus.minutesTotal = 0;
    mediaOutputStatus.secondsTotal = 0;
    mediaOutputStatus.secondsElapsed = 0;
    mediaOutputStatus.subSecondsElapsed = 0;
}

void PlaylistEntryMedia::PublishTopics(bool withFile) {
    if (withFile) {
        MediaInfo info = MediaDetails::INSTANCE.Get();
        Events::Publish(STATUS_TOPIC, m_chosenFile);
        Events::Publish(TITLE_TOPIC, info.title);
        Events::Publish(ARTIST_TOPIC, info.artist);
    } else {
        Events::Publish(STATUS_TOPIC, "");
        Events::Publish(TITLE_TOPIC, "");
        Events::Publish(ARTIST_TOPIC, "");
    }
}

bool PlaylistEntryMedia::PreparePlay() {
    LogDebug(VB_PLAYLIST, "PlaylistEntryMedia::PreparePlay()\n");
    // A resume goes on with a play already counted ("playOnce" holds).
    bool resuming = m_pausedAtMs >= 0;
    if (!resuming && !CanPlay()) {
        FinishPlay();
        return false;
    }
    ResetStatusTimes();
    if (IsRandom()) {
        // A resume goes on with the file it paused; the first play takes
        // the file picked at Init; every other play draws the next one.
        if (!(resuming && !m_chosenFile.empty()) && !m_chosenUnplayed) {
            if (m_fileList.empty() && !GetFileList()) {
                LogErr(VB_PLAYLIST, "Error, no files found when trying to play random file in %s mode\n",
                       m_fileMode.c_str());
                return false;
            }
            m_chosenFile = GetNextRandomFile();
            m_mediaLengthMs = 0;
        }
        m_chosenUnplayed = false;
    }
    if (!OpenMediaOutput()) {
        FinishPlay();
        return false;
    }
    if (SyncEnabled()) multiSync->SendMediaOpenPacket(m_chosenFile);
    m_openedAtMs = GetMonotonicMS();
    PublishTopics(true);
    return true;
}

bool PlaylistEntryMedia::OpenMediaOutput() {
    LogDebug(VB_PLAYLIST, "PlaylistEntryMedia::OpenMediaOutput() - Starting\n");
    if (HasOutput()) CloseMediaOutput();
    size_t dot = m_chosenFile.rfind('.');
    if (dot == std::string::npos) {
        LogWarn(VB_MEDIAOUT, "Unable to determine extension of media file %s\n", m_chosenFile.c_str());
        return false;
    }
    LogDebug(VB_PLAYLIST, "PlaylistEntryMedia - Starting %s\n", m_chosenFile.c_str());
    MediaDetails::INSTANCE.ParseMedia(m_chosenFile);
    // The playlist's report asks this entry for its state, which takes the
    // output lock: gathered before the lock is held.
    Json::Value info = m_parentPlaylist ? m_parentPlaylist->GetInfo(false) : Json::Value(Json::objectValue);
    PluginManager::INSTANCE.mediaCallback(info, MediaDetails::INSTANCE.toJson());

    std::string videoOut = m_videoOutput;
    if (videoOut == "--Default--") videoOut = getSetting("VideoOutput", "");
    if (videoOut.empty()) videoOut = "--HDMI--";

    MediaOutputBase* output = CreateMediaOutput(m_chosenFile, videoOut);
    {
        std::lock_guard<std::mutex> lock(m_outputMutex);
        m_output.reset(output);
    }
    if (!output) {
        LogDebug(VB_MEDIAOUT, "No Media Output handler for %s\n", m_chosenFile.c_str());
        return false;
    }
    LogDebug(VB_PLAYLIST, "PlaylistEntryMedia::OpenMediaOutput() - Complete\n");
    return true;
}

bool PlaylistEntryMedia::CloseMediaOutput() {
    LogDebug(VB_PLAYLIST, "PlaylistEntryMedia::CloseMediaOutput()\n");
    mediaOutputStatus.status = MEDIAOUTPUTSTATUS_IDLE;
    std::unique_lock<std::mutex> lock(m_outputMutex);
    if (!m_output) return false;
    if (SyncEnabled()) multiSync->SendMediaSyncStopPacket(m_chosenFile);
    if (m_output->m_childPID) {
        // The child's exit notification needs the lock.
        MediaOutputBase* out = m_output.get();
        lock.unlock();
        out->Stop();
        lock.lock();
    }
    if (m_output) {
        m_output->Close();
        m_output.reset();
    }
    return true;
}

bool PlaylistEntryMedia::HasOutput() {
    std::lock_guard<std::mutex> lock(m_outputMutex);
    return m_output != nullptr;
}

int PlaylistEntryMedia::StartPlaying() {
    LogDebug(VB_PLAYLIST, "PlaylistEntryMedia::StartPlaying()\n");
    if (SyncEnabled() && m_openedAtMs != 0 && m_openStartDelay > 0) {
        // Gives the remotes time to open the same file.
        int64_t left = m_openedAtMs + m_openStartDelay - GetMonotonicMS();
        if (left > 0) {
            struct timespec ts = {(time_t)(left / 1000), (long)(left % 1000) * 1000000L};
            while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
            }
        }
    }
    if (!HasOutput()) PreparePlay();
    std::unique_lock<std::mutex> lock(m_outputMutex);
    if (!m_output) {
        lock.unlock();
        FinishPlay();
        return 0;
    }
    if (m_mediaLengthMs == 0) {
        m_mediaLengthMs = (mediaOutputStatus.secondsTotal + mediaOutputStatus.minutesTotal * 60) * 1000;
    }
    if (mediaOutputStatus.mediaSeconds * 1000 > m_mediaLengthMs) {
        m_mediaLengthMs = (int64_t)(mediaOutputStatus.mediaSeconds * 1000);
    }
    if (SyncEnabled()) multiSync->SendMediaSyncStartPacket(m_chosenFile);
    ResetChannelOutputFrameNumber();
    if (m_output->Start(0)) {
        lock.unlock();
        m_pausedAtMs = -1;
        return PlaylistEntryBase::StartPlaying();
    }
    if (m_quietWithoutDevice && MediaAudioDeviceMissing()) {
        LogDebug(VB_MEDIAOUT, "%s is not played: there is no audio device\n", m_output->m_mediaFilename.c_str());
    } else {
        LogErr(VB_MEDIAOUT, "Could not start media %s\n", m_output->m_mediaFilename.c_str());
    }
    m_output->Close();
    m_output.reset();
    lock.unlock();
    PublishTopics(false);
    FinishPlay();
    return 0;
}

int PlaylistEntryMedia::Process() {
    std::unique_lock<std::mutex> lock(m_outputMutex);
    if (m_output) {
        m_output->Process();
        if (!m_output->IsPlaying()) {
            FinishPlay();
            lock.unlock();
            CloseMediaOutput();
            // The file ended: what is playing is no longer this file.
            PublishTopics(false);
            lock.lock();
        }
    } else if (!IsPaused()) {
        FinishPlay();
    }
    lock.unlock();
    return PlaylistEntryBase::Process();
}

int PlaylistEntryMedia::Stop() {
    LogDebug(VB_PLAYLIST, "PlaylistEntryMedia::Stop()\n");
    CloseMediaOutput();
    PublishTopics(false);
    ResetStatusTimes();
    m_pausedAtMs = -1;
    return PlaylistEntryBase::Stop();
}

void PlaylistEntryMedia::Pause() {
    if (!HasOutput()) return;
    m_savedStatus = mediaOutputStatus;
    m_pausedAtMs = (int)GetElapsedMS();
    CloseMediaOutput();
    PublishTopics(false);
}

bool PlaylistEntryMedia::IsPaused() { return m_pausedAtMs >= 0; }

void PlaylistEntryMedia::Resume() {
    if (m_pausedAtMs < 0) return;
    PreparePlay();
    std::lock_guard<std::mutex> lock(m_outputMutex);
    if (m_output) {
        if (SyncEnabled()) multiSync->SendMediaSyncStartPacket(m_chosenFile, m_pausedAtMs / 1000.0f);
        if (!m_output->Start(m_pausedAtMs)) {
            LogErr(VB_MEDIAOUT, "Could not start media %s\n", m_output->m_mediaFilename.c_str());
            m_output->Close();
            m_output.reset();
        }
    }
    m_pausedAtMs = -1;
    MediaOutputStatus now = mediaOutputStatus;
    mediaOutputStatus = m_savedStatus;
    // The output's own state decides whether it plays.
    mediaOutputStatus.status = now.status;
}

int PlaylistEntryMedia::HandleSigChild(pid_t pid) {
    LogDebug(VB_PLAYLIST, "PlaylistEntryMedia::HandleSigChild(%d)\n", (int)pid);
    std::unique_lock<std::mutex> lock(m_outputMutex);
    if (m_output && pid == m_output->m_childPID) {
        m_output->Close();
        m_output->m_childPID = 0;
        m_output.reset();
        FinishPlay();
        lock.unlock();
        PublishTopics(false);
        return 1;
    }
    return 0;
}

void PlaylistEntryMedia::Dump() {
    PlaylistEntryBase::Dump();
    LogDebug(VB_PLAYLIST, "Media Filename: %s\n", m_chosenFile.c_str());
}

uint64_t PlaylistEntryMedia::GetLengthInMS() {
    if (m_mediaLengthMs != 0) return m_mediaLengthMs;
    if (m_lengthParsedFor != m_chosenFile) {
        m_lengthParsedFor = m_chosenFile;
        MediaDetails details;
        details.ParseMedia(m_chosenFile);
        m_mediaLengthMs = details.GetLengthMs();
    }
    if (m_mediaLengthMs == 0) {
        m_mediaLengthMs = (mediaOutputStatus.secondsTotal + mediaOutputStatus.minutesTotal * 60) * 1000;
    }
    return m_mediaLengthMs;
}

uint64_t PlaylistEntryMedia::GetElapsedMS() {
    if (!HasOutput() && !IsPaused()) return 0;
    const MediaOutputStatus& s = IsPaused() ? m_savedStatus : mediaOutputStatus;
    int64_t elapsed = (int64_t)s.secondsElapsed * 1000 + s.subSecondsElapsed * 10;
    if (m_mediaLengthMs == 0) m_mediaLengthMs = ((int64_t)s.secondsTotal + s.minutesTotal * 60) * 1000;
    if (elapsed > m_mediaLengthMs) m_mediaLengthMs = elapsed;
    return elapsed;
}

Json::Value PlaylistEntryMedia::GetConfig() {
    Json::Value v = PlaylistEntryBase::GetConfig();
    v["mediaFilename"] = m_chosenFile;
    if (HasOutput() || IsPaused()) {
        const MediaOutputStatus& s = IsPaused() ? m_savedStatus : mediaOutputStatus;
        v["status"] = s.status;
        v["secondsElapsed"] = s.secondsElapsed;
        v["subSecondsElapsed"] = s.subSecondsElapsed;
        v["secondsRemaining"] = s.secondsRemaining;
        v["subSecondsRemaining"] = s.subSecondsRemaining;
        v["minutesTotal"] = s.minutesTotal;
        v["secondsTotal"] = s.secondsTotal;
        v["mediaSeconds"] = s.mediaSeconds;
    }
    return v;
}

Json::Value PlaylistEntryMedia::GetMqttStatus() {
    Json::Value v = PlaylistEntryBase::GetMqttStatus();
    const MediaOutputStatus& s = IsPaused() ? m_savedStatus : mediaOutputStatus;
    MediaInfo info = MediaDetails::INSTANCE.Get();
    v["secondsElapsed"] = s.secondsElapsed;
    v["secondsRemaining"] = s.secondsRemaining;
    v["secondsTotal"] = s.secondsTotal + s.minutesTotal * 60;
    v["mediaName"] = m_chosenFile;
    v["mediaTitle"] = info.title;
    v["mediaArtist"] = info.artist;
    return v;
}
