#include "playlist/PlaylistEntryBase.h"

#include "common.h"
#include "log.h"
#include "playlist/Playlist.h"

PlaylistEntryBase::PlaylistEntryBase(Playlist* playlist, PlaylistEntryBase* parent)
    : m_type("base"), m_parentPlaylist(playlist), m_parent(parent) {}

PlaylistEntryBase::~PlaylistEntryBase() {}

static bool boolKey(const Json::Value& v, bool def) {
    if (v.isBool()) return v.asBool();
    if (v.isIntegral()) return v.asInt() != 0;
    if (v.isString()) return v.asString() == "true" || v.asString() == "1";
    return def;
}

bool PlaylistEntryBase::Init(Json::Value& config) {
    m_config = config;
    m_enabled = boolKey(config["enabled"], true);
    m_playOnce = boolKey(config["playOnce"], false);
    m_note = config["note"].isString() ? config["note"].asString() : "";
    m_playCount = 0;
    m_isStarted = m_isPlaying = m_isFinished = false;
    return true;
}

std::string PlaylistEntryBase::ReadConfig(Json::Value& config) { return ""; }

bool PlaylistEntryBase::CanPlay() {
    if (!m_enabled) return false;
    if (m_playOnce && m_playCount > 0) return false;
    return true;
}

void PlaylistEntryBase::FinishPlay() {
    m_isPlaying = false;
    m_isFinished = true;
}

int PlaylistEntryBase::StartPlaying() {
    if (!CanPlay()) {
        FinishPlay();
        return 0;
    }
    m_isStarted = true;
    m_isPlaying = true;
    m_isFinished = false;
    ++m_playCount;
    return 1;
}

int PlaylistEntryBase::IsStarted() { return m_isStarted; }
int PlaylistEntryBase::IsPlaying() { return m_isPlaying; }
int PlaylistEntryBase::IsFinished() { return m_isFinished; }
int PlaylistEntryBase::Prep() { return 1; }
int PlaylistEntryBase::Process() { return 1; }

int PlaylistEntryBase::Stop() {
    FinishPlay();
    return 1;
}

void PlaylistEntryBase::Pause() {}
bool PlaylistEntryBase::IsPaused() { return false; }
void PlaylistEntryBase::Resume() {}
int PlaylistEntryBase::HandleSigChild(pid_t pid) { return 0; }

void PlaylistEntryBase::Dump() {
    LogDebug(VB_PLAYLIST, "---- Playlist Entry ---- %s\n", m_type.c_str());
    LogDebug(VB_PLAYLIST, "Entry Enabled: %d, Play Once: %d, Play Count: %d\n", (int)m_enabled, (int)m_playOnce,
             m_playCount);
    if (!m_note.empty()) LogDebug(VB_PLAYLIST, "Note: %s\n", m_note.c_str());
}

Json::Value PlaylistEntryBase::GetConfig() {
    Json::Value v;
    v["type"] = m_type;
    v["enabled"] = m_enabled;
    v["playOnce"] = m_playOnce;
    if (!m_note.empty()) v["note"] = m_note;
    v["isStarted"] = m_isStarted;
    v["isPlaying"] = m_isPlaying;
    v["isFinished"] = m_isFinished;
    return v;
}

Json::Value PlaylistEntryBase::GetMqttStatus() {
    Json::Value v;
    v["type"] = m_type;
    v["playOnce"] = m_playOnce;
    return v;
}

std::string PlaylistEntryBase::ReplaceMatches(std::string text) {
    replaceAll(text, "%PLAYLIST%", m_parentPlaylist ? m_parentPlaylist->GetName() : std::string());
    replaceAll(text, "%TYPE%", m_type);
    replaceAll(text, "%NOTE%", m_note);
    return text;
}

uint64_t PlaylistEntryBase::GetLengthInMS() { return 0; }
uint64_t PlaylistEntryBase::GetElapsedMS() { return 0; }
int PlaylistEntryBase::GetNextBranchType() { return 0; }
std::string PlaylistEntryBase::GetNextSection() { return ""; }
PlaylistEntryBase* PlaylistEntryBase::GetNextItem() { return nullptr; }
std::string PlaylistEntryBase::GetNextData() { return ""; }
std::string PlaylistEntryBase::FindMissingFile() { return ""; }
