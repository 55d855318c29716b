#include "playlist/PlaylistEntrySequence.h"

#include <sys/stat.h>

#include <memory>

#include "Events.h"
#include "Sequence.h"
#include "channeloutput/channeloutput.h"
#include "channeloutput/channeloutputthread.h"
#include "common.h"
#include "hseq/HSEQFile.h"
#include "log.h"
#include "settings.h"

static const char* STATUS_TOPIC = "playlist/sequence/status";
static const char* SECONDS_TOTAL_TOPIC = "playlist/sequence/secondsTotal";

PlaylistEntrySequence::PlaylistEntrySequence(Playlist* playlist, PlaylistEntryBase* parent)
    : PlaylistEntryBase(playlist, parent) {
    LogDebug(VB_PLAYLIST, "PlaylistEntrySequence::PlaylistEntrySequence()\n");
    m_type = "sequence";
}

PlaylistEntrySequence::~PlaylistEntrySequence() {}

std::string PlaylistEntrySequence::ReadConfig(Json::Value& config) {
    if (!config.isMember("sequenceName")) return "Missing sequenceName entry";
    if (!config["sequenceName"].isString()) return "sequenceName must be a file name in quotes";
    m_sequenceName = config["sequenceName"].asString();
    return "";
}

bool PlaylistEntrySequence::Init(Json::Value& config) {
    LogDebug(VB_PLAYLIST, "PlaylistEntrySequence::Init()\n");
    std::string problem = ReadConfig(config);
    if (!problem.empty()) {
        LogErr(VB_PLAYLIST, "%s\n", problem.c_str());
        return false;
    }
    m_pauseFrame = -1;
    return PlaylistEntryBase::Init(config);
}

std::string PlaylistEntrySequence::FindMissingFile() {
    std::string path = getKIVMediaDir("/sequences/" + m_sequenceName);
    struct stat st;
    bool isFile = stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    return isFile ? "" : path;
}

bool PlaylistEntrySequence::PreparePlay(int frame) {
    if (!sequence || sequence->OpenSequenceFile(m_sequenceName, frame, -1) <= 0) {
        LogErr(VB_PLAYLIST, "Error opening sequence %s\n", m_sequenceName.c_str());
        return false;
    }
    m_lengthMs = sequence->GetDurationMs();
    m_framePeriodMs = sequence->GetStepTimeMs();
    m_isPrepared = true;
    return true;
}

void PlaylistEntrySequence::SetFollowClock(bool follow) {
    if (follow && !m_followClock && sequence && sequence->IsSequenceRunning()) {
        int period = sequence->GetStepTimeMs();
        m_startedAtMs = GetMonotonicMS() - (int64_t)channelOutputFrame * period;
    }
    m_followClock = follow;
}

int PlaylistEntrySequence::StartPlaying() {
    LogDebug(VB_PLAYLIST, "PlaylistEntrySequence::StartPlaying()\n");
    if (!CanPlay()) {
        m_isPrepared = false;
        FinishPlay();
        return 0;
    }
    if (!m_isPrepared) {
        // A file that fails to open still goes on: the next Process sees no
        // running sequence and finishes the entry.
        PreparePlay(0);
    }
    m_pauseFrame = -1;
    ResetChannelOutputFrameNumber();
    if (sequence) sequence->StartSequence();
    m_startedAtMs = GetMonotonicMS();

    LogDebug(VB_PLAYLIST, "Started Sequence, ID: %s\n", m_sequenceName.c_str());
    Events::Publish(STATUS_TOPIC, m_sequenceName);
    if (m_lengthMs > 0) {
        Events::Publish(SECONDS_TOTAL_TOPIC, m_lengthMs / 1000);
    } else {
        Events::Publish(SECONDS_TOTAL_TOPIC, "");
    }
    return PlaylistEntryBase::StartPlaying();
}

int PlaylistEntrySequence::Process() {
    if (sequence && sequence->IsSequenceRunning()) {
        if (m_followClock) {
            int period = sequence->GetStepTimeMs();
            if (period > 0) {
                int32_t sinceStart = (int32_t)(GetMonotonicMS() - m_startedAtMs);
                CalculateNewChannelOutputDelayForFrame(sinceStart / period);
            }
        }
    } else {
        FinishPlay();
        m_isPrepared = false;
        Events::Publish(STATUS_TOPIC, "");
        Events::Publish(SECONDS_TOTAL_TOPIC, "");
    }
    return PlaylistEntryBase::Process();
}

int PlaylistEntrySequence::Stop() {
    LogDebug(VB_PLAYLIST, "PlaylistEntrySequence::Stop()\n");
    if (sequence) sequence->CloseSequenceFile();
    m_isPrepared = false;
    Events::Publish(STATUS_TOPIC, "");
    Events::Publish(SECONDS_TOTAL_TOPIC, "");
    return PlaylistEntryBase::Stop();
}

void PlaylistEntrySequence::Pause() {
    if (!sequence) return;
    int period = sequence->GetStepTimeMs();
    m_pauseFrame = period > 0 ? sequence->GetElapsedMs() / period : 0;
    sequence->CloseSequenceFile();
    sequence->SendBlankingData();
    m_isPrepared = false;
}

bool PlaylistEntrySequence::IsPaused() { return m_pauseFrame != -1; }

void PlaylistEntrySequence::Resume() {
    if (m_pauseFrame < 0 || !sequence) return;
    PreparePlay(m_pauseFrame);
    sequence->StartSequence();
    m_startedAtMs = GetMonotonicMS() - (int64_t)m_pauseFrame * sequence->GetStepTimeMs();
    LogDebug(VB_PLAYLIST, "Started Sequence, ID: %s\n", m_sequenceName.c_str());
    m_pauseFrame = -1;
    Events::Publish(STATUS_TOPIC, m_sequenceName);
}

void PlaylistEntrySequence::Dump() {
    PlaylistEntryBase::Dump();
    LogDebug(VB_PLAYLIST, "Sequence Filename: %s\n", m_sequenceName.c_str());
}

Json::Value PlaylistEntrySequence::GetConfig() {
    Json::Value v = PlaylistEntryBase::GetConfig();
    v["sequenceName"] = m_sequenceName;
    // Pausing closes the file, so a paused entry reports its own position
    // rather than depending on what the sequence player has open.
    if (IsPaused() || (sequence && sequence->GetFileName() == m_sequenceName)) {
        if (IsPaused()) {
            int elapsed = m_pauseFrame * m_framePeriodMs;
            v["secondsElapsed"] = elapsed / 1000;
            v["secondsRemaining"] = (m_lengthMs - elapsed) / 1000;
        } else {
            v["secondsElapsed"] = sequence->GetElapsedMs() / 1000;
            v["secondsRemaining"] = sequence->GetRemainingMs() / 1000;
        }
    }
    return v;
}

Json::Value PlaylistEntrySequence::GetMqttStatus() {
    Json::Value v = PlaylistEntryBase::GetMqttStatus();
    v["sequenceName"] = m_sequenceName;
    if (IsPaused()) {
        int elapsed = m_pauseFrame * m_framePeriodMs;
        v["secondsElapsed"] = elapsed / 1000;
        v["secondsRemaining"] = (m_lengthMs - elapsed) / 1000;
        v["secondsTotal"] = m_lengthMs / 1000;
    } else if (sequence) {
        v["secondsElapsed"] = sequence->GetElapsedMs() / 1000;
        v["secondsRemaining"] = sequence->GetRemainingMs() / 1000;
        v["secondsTotal"] = sequence->GetDurationMs() / 1000;
    }
    return v;
}

uint64_t PlaylistEntrySequence::GetLengthInMS() {
    if (m_lengthMs != 0) return m_lengthMs;
    std::string path = getKIVMediaDir("/sequences/" + m_sequenceName);
    if (FileExists(path)) {
        std::unique_ptr<HSEQFile> file(HSEQFile::openHSEQFile(path));
        if (file) m_lengthMs = (int)(file->getNumFrames() * file->getStepTime());
    }
    return m_lengthMs;
}

uint64_t PlaylistEntrySequence::GetElapsedMS() {
    if (m_isPrepared && sequence) return sequence->GetElapsedMs();
    return 0;
}
