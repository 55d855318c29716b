#include "playlist/PlaylistEntryBoth.h"

#include "common.h"
#include "hseq/HSEQFile.h"
#include "log.h"
#include "mediaoutput/MediaDetails.h"
#include "playlist/PlaylistEntryMedia.h"
#include "playlist/PlaylistEntrySequence.h"
#include "settings.h"

PlaylistEntryBoth::PlaylistEntryBoth(Playlist* playlist, PlaylistEntryBase* parent)
    : PlaylistEntryBase(playlist, parent) {
    LogDebug(VB_PLAYLIST, "PlaylistEntryBoth::PlaylistEntryBoth()\n");
    m_type = "both";
}

PlaylistEntryBoth::~PlaylistEntryBoth() {}

std::string PlaylistEntryBoth::MediaNameFromSequence(const std::string& sequenceName) {
    std::string path = getKIVMediaDir("/sequences/" + sequenceName);
    if (!FileExists(path)) return "";
    std::string name = HSEQFile::getMediaFilename(path);
    // Sequences are made elsewhere: "C:\Shows\Song.mp3" or "/home/me/Song.mp3".
    size_t cut = name.find_last_of("/\\");
    if (cut != std::string::npos) name = name.substr(cut + 1);
    TrimWhiteSpace(name);
    return name;
}

std::string PlaylistEntryBoth::ReadConfig(Json::Value& config) {
    if (!config["sequenceName"].isString() || config["sequenceName"].asString().empty()) {
        return "Missing sequenceName entry";
    }
    m_sequenceName = config["sequenceName"].asString();
    if (config.isMember("mediaName")) {
        if (!config["mediaName"].isString() || config["mediaName"].asString().empty()) {
            return "mediaName must be a file name in quotes";
        }
        m_mediaName = config["mediaName"].asString();
    } else {
        m_mediaFromHeader = true;
    }
    if (config["videoOut"].isString()) m_videoOut = config["videoOut"].asString();
    m_sequence.reset(new PlaylistEntrySequence(m_parentPlaylist, this));
    Json::Value seq(Json::objectValue);
    seq["type"] = "sequence";
    seq["sequenceName"] = m_sequenceName;
    return m_sequence->ReadConfig(seq);
}

bool PlaylistEntryBoth::Init(Json::Value& config) {
    LogDebug(VB_PLAYLIST, "PlaylistEntryBoth::Init()\n");
    std::string problem = ReadConfig(config);
    if (!problem.empty()) {
        LogErr(VB_PLAYLIST, "%s\n", problem.c_str());
        return false;
    }
    Json::Value seq(Json::objectValue);
    seq["type"] = "sequence";
    seq["sequenceName"] = m_sequenceName;
    if (!m_sequence->Init(seq)) return false;
    if (m_mediaFromHeader) m_mediaName = MediaNameFromSequence(m_sequenceName);
    if (!m_mediaName.empty() && !MakeMediaEntry()) return false;
    return PlaylistEntryBase::Init(config);
}

bool PlaylistEntryBoth::MakeMediaEntry() {
    m_media.reset(new PlaylistEntryMedia(m_parentPlaylist, this));
    m_media->SetQuietWithoutAudioDevice(true);
    Json::Value media(Json::objectValue);
    media["type"] = "media";
    media["mediaName"] = m_mediaName;
    if (!m_videoOut.empty()) media["videoOut"] = m_videoOut;
    if (!m_media->Init(media)) {
        m_media.reset();
        return false;
    }
    return true;
}

std::string PlaylistEntryBoth::FindMissingFile() {
    // A missing song is reported when the entry plays; the lights still can.
    return m_sequence ? m_sequence->FindMissingFile() : "";
}

int PlaylistEntryBoth::StartPlaying() {
    LogDebug(VB_PLAYLIST, "PlaylistEntryBoth::StartPlaying()\n");
    if (!CanPlay() || !m_sequence) {
        FinishPlay();
        return 0;
    }
    if (m_mediaFromHeader && !m_media) {
        // The sequence may have arrived since the playlist was loaded.
        m_mediaName = MediaNameFromSequence(m_sequenceName);
        if (!m_mediaName.empty()) MakeMediaEntry();
    }
    if (!m_media) {
        LogWarn(VB_PLAYLIST, "Sequence %s names no media file; it plays without a song\n", m_sequenceName.c_str());
    }
    m_sequencePaused = m_mediaPaused = false;

    // Both are opened first, so that they start within moments of each other.
    m_sequence->PreparePlay(0);
    bool songReady = m_media && m_media->PreparePlay();
    m_sequence->SetFollowClock(false);
    m_sequence->StartPlaying();
    m_songIsClock = songReady && m_media->StartPlaying();
    if (!m_songIsClock) {
        if (m_media && !m_media->IsFinished()) m_media->FinishPlay();
        LogDebug(VB_PLAYLIST, "%s plays on the wall clock: its song %s is not playing\n", m_sequenceName.c_str(),
                 m_mediaName.empty() ? "(none)" : m_mediaName.c_str());
        m_sequence->SetFollowClock(true);
    }
    return PlaylistEntryBase::StartPlaying();
}

int PlaylistEntryBoth::Process() {
    if (m_media && m_songIsClock && !m_media->IsFinished()) {
        m_media->Process();
        if (m_media->IsFinished()) {
            m_songIsClock = false;
            if (!m_sequence->IsFinished()) {
                LogDebug(VB_PLAYLIST, "The song of %s ended first; the rest follows the wall clock\n",
                         m_sequenceName.c_str());
                m_sequence->SetFollowClock(true);
            }
        }
    }
    if (!m_sequence->IsFinished()) m_sequence->Process();
    bool songDone = !m_media || !m_songIsClock || m_media->IsFinished();
    if (m_sequence->IsFinished() && songDone) FinishPlay();
    return PlaylistEntryBase::Process();
}

int PlaylistEntryBoth::Stop() {
    LogDebug(VB_PLAYLIST, "PlaylistEntryBoth::Stop()\n");
    if (m_media && (!m_media->IsFinished() || m_mediaPaused)) m_media->Stop();
    if (m_sequence && (!m_sequence->IsFinished() || m_sequencePaused)) m_sequence->Stop();
    m_songIsClock = false;
    m_sequencePaused = m_mediaPaused = false;
    return PlaylistEntryBase::Stop();
}

void PlaylistEntryBoth::Pause() {
    if (m_sequence && !m_sequence->IsFinished()) {
        m_sequence->Pause();
        m_sequencePaused = true;
    }
    if (m_media && m_songIsClock && !m_media->IsFinished()) {
        m_media->Pause();
        m_mediaPaused = m_media->IsPaused();
    }
}

bool PlaylistEntryBoth::IsPaused() { return m_sequencePaused || m_mediaPaused; }

void PlaylistEntryBoth::Resume() {
    if (!IsPaused()) return;
    if (m_sequencePaused) {
        m_sequence->SetFollowClock(false);
        m_sequence->Resume();
    }
    if (m_mediaPaused) {
        m_media->Resume();
        m_songIsClock = m_media->HasOutput();
        if (!m_songIsClock) m_media->FinishPlay();
    }
    if (m_sequencePaused && !m_songIsClock) m_sequence->SetFollowClock(true);
    m_sequencePaused = m_mediaPaused = false;
}

int PlaylistEntryBoth::HandleSigChild(pid_t pid) { return m_media ? m_media->HandleSigChild(pid) : 0; }

void PlaylistEntryBoth::Dump() {
    PlaylistEntryBase::Dump();
    LogDebug(VB_PLAYLIST, "Sequence Filename: %s\n", m_sequenceName.c_str());
    LogDebug(VB_PLAYLIST, "Media Filename: %s\n", m_mediaName.c_str());
}

uint64_t PlaylistEntryBoth::GetLengthInMS() {
    uint64_t seq = m_sequence ? m_sequence->GetLengthInMS() : 0;
    uint64_t media = m_media ? m_media->GetLengthInMS() : 0;
    return std::max(seq, media);
}

uint64_t PlaylistEntryBoth::GetElapsedMS() {
    uint64_t seq = m_sequence ? m_sequence->GetElapsedMS() : 0;
    uint64_t media = m_media ? m_media->GetElapsedMS() : 0;
    return std::max(seq, media);
}

Json::Value PlaylistEntryBoth::GetConfig() {
    Json::Value v = PlaylistEntryBase::GetConfig();
    v["sequenceName"] = m_sequenceName;
    v["mediaName"] = m_mediaName;
    uint64_t length = GetLengthInMS(), elapsed = GetElapsedMS();
    v["secondsElapsed"] = (Json::UInt64)(elapsed / 1000);
    v["secondsRemaining"] = (Json::UInt64)(length > elapsed ? (length - elapsed) / 1000 : 0);
    v["songIsClock"] = m_songIsClock;
    if (m_sequence) v["sequence"] = m_sequence->GetConfig();
    if (m_media) v["media"] = m_media->GetConfig();
    return v;
}

Json::Value PlaylistEntryBoth::GetMqttStatus() {
    Json::Value v = PlaylistEntryBase::GetMqttStatus();
    v["sequenceName"] = m_sequenceName;
    v["mediaName"] = m_mediaName;
    MediaInfo info = MediaDetails::INSTANCE.Get();
    bool ours = !m_mediaName.empty() && info.filename == m_mediaName;
    v["mediaTitle"] = ours ? info.title : "";
    v["mediaArtist"] = ours ? info.artist : "";
    uint64_t length = GetLengthInMS(), elapsed = GetElapsedMS();
    v["secondsElapsed"] = (Json::UInt64)(elapsed / 1000);
    v["secondsRemaining"] = (Json::UInt64)(length > elapsed ? (length - elapsed) / 1000 : 0);
    v["secondsTotal"] = (Json::UInt64)(length / 1000);
    return v;
}
