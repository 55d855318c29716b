#include "sync/SyncRemote.h"

#include <cmath>

#include "Sequence.h"
#include "Warnings.h"
#include "channeloutput/channeloutputthread.h"
#include "effects/EffectPlayer.h"
#include "log.h"
#include "playlist/Player.h"
#include "sync/ClockQuality.h"

static const char* const ARRIVAL_WARNING =
    "Sync: the clocks of this remote and its master are not both synchronised; frames follow the master by "
    "packet arrival time";
// A late joiner opens this far ahead of the master, so the frame it starts
// with is read before it is due.
static constexpr long long JOIN_LEAD_US = 150000;

static bool IsShowPacket(uint8_t type) {
    return type != SYNC_PING && type != SYNC_COMMAND && type != SYNC_PLUGIN;
}

bool SyncRemote::FromFollowedMaster(const std::string& address, const SyncPacket& p, long long nowMonoUs) {
    if (!IsShowPacket(p.type) && !(p.type == SYNC_PING && p.master)) return address == m_master;
    if (m_master.empty() || (m_lost && address != m_master)) {
        if (!m_master.empty()) {
            LogInfo(VB_SYNC, "Sync master %s is gone; following %s\n", m_master.c_str(), address.c_str());
        } else {
            LogInfo(VB_SYNC, "Following sync master %s\n", address.c_str());
        }
        m_master = address;
        m_delay.Clear();
        m_grid.Clear();
    }
    if (address != m_master) return false;
    m_lastHeardMonoUs = nowMonoUs;
    if (m_lost) {
        m_lost = false;
        WarningHolder::RemoveWarning(m_lostWarning);
        LogInfo(VB_SYNC, "Sync master %s is back\n", m_master.c_str());
    }
    return true;
}

long long SyncRemote::LocalMono(const SyncPacket& p, long long arrivalMonoUs) {
    m_delay.Add(arrivalMonoUs - (long long)p.timeUs, arrivalMonoUs);
    if (m_timeSource == 1) return (long long)p.timeUs + (SyncMonoUs() - SyncWallUs());
    long long d = 0;
    m_delay.Get(d);
    return (long long)p.timeUs + d;
}

void SyncRemote::NoteTimeSource(bool stamps) {
    int source = stamps ? 1 : 0;
    if (source == m_timeSource) return;
    m_timeSource = source;
    m_grid.Clear();  // its stamps were placed the other way
    if (stamps) {
        LogInfo(VB_SYNC, "Sync: clocks synchronised here and at master %s; frames are placed by its time stamps\n",
                m_master.c_str());
        WarningHolder::RemoveWarning(ARRIVAL_WARNING);
    } else {
        LogWarn(VB_SYNC, "%s (master %s)\n", ARRIVAL_WARNING, m_master.c_str());
        WarningHolder::AddWarning(ARRIVAL_WARNING);
    }
}

bool SyncRemote::Playing(const std::string& file) const {
    return !file.empty() && m_playingFile == file && sequence && sequence->IsSequenceRunning();
}

void SyncRemote::StartFile(const std::string& file, int frame) {
    LogInfo(VB_SYNC, "Playing %s with master %s from frame %d\n", file.c_str(), m_master.c_str(), frame);
    if (sequence->StartSequence(file, frame)) {
        m_playingFile = file;
        m_doneFile.clear();
    } else {
        LogWarn(VB_SYNC, "Cannot play %s with master %s: no such sequence here and no fallback.hseq\n", file.c_str(),
                m_master.c_str());
        m_doneFile = file;
    }
}

void SyncRemote::StopFollowing() {
    ResetMasterPosition();
    m_grid.Clear();
    m_playingFile.clear();
}

void SyncRemote::OnSeqSync(const SyncPacket& p, long long frameMonoUs) {
    if (m_playingFile == p.file && !Playing(p.file)) {
        // It ended here a moment before the master's: not played again.
        m_doneFile = p.file;
        StopFollowing();
    }
    bool joining = !Playing(p.file);
    if (joining && m_doneFile == p.file) return;
    // The clock first: the frame the start puts in the buffer is held until
    // the master sends the same one.
    if (p.type == SYNC_SEQ_START) m_grid.Clear();
    m_grid.Add((int)p.frame, frameMonoUs, (int)p.periodUs);
    int gridFrame = 0, periodUs = 0;
    long long gridMonoUs = 0;
    if (!m_grid.Get(gridFrame, gridMonoUs, periodUs)) return;
    UpdateMasterPosition(gridFrame, gridMonoUs, periodUs);
    if (!joining) return;
    // At a start, the frame due now; joining late, where the master will be
    // once the first frame here has been read.
    long long frameDueUs = gridMonoUs + (long long)((int)p.frame - gridFrame) * periodUs;
    double behind = (double)(SyncMonoUs() - frameDueUs) / p.periodUs;
    double frames =
        p.type == SYNC_SEQ_START ? std::floor(behind) : std::ceil(behind + (double)JOIN_LEAD_US / p.periodUs);
    StartFile(p.file, (int)p.frame + (int)std::max(0.0, frames));
    if (!Playing(p.file)) {
        ResetMasterPosition();
        m_grid.Clear();
    }
}

void SyncRemote::Handle(const SyncPacket& p, long long arrivalMonoUs, bool ownClockSynced) {
    NoteTimeSource(ownClockSynced && (p.flags & SYNC_FLAG_CLOCK_SYNCED));
    long long at = LocalMono(p, arrivalMonoUs);
    switch (p.type) {
    case SYNC_SEQ_OPEN:
        if (m_doneFile == p.file) m_doneFile.clear();
        if (!sequence->IsSequenceRunning()) {
            LogDebug(VB_SYNC, "Opening %s for master %s\n", p.file.c_str(), m_master.c_str());
            sequence->OpenSequenceFile(p.file, 0, -1);
        }
        break;
    case SYNC_SEQ_START:
        m_doneFile.clear();
        OnSeqSync(p, at);
        break;
    case SYNC_SEQ_SYNC:
        OnSeqSync(p, at);
        break;
    case SYNC_SEQ_STOP:
        if (m_playingFile == p.file || m_doneFile == p.file) {
            LogInfo(VB_SYNC, "Master %s stopped %s\n", m_master.c_str(), p.file.c_str());
            if (sequence->IsSequenceRunning()) sequence->CloseSequenceFile();
            StopFollowing();
            m_doneFile.clear();
        }
        sequence->CloseIfOpen(p.file);  // opened for a start that never came
        break;
    case SYNC_BLANK:
        sequence->SendBlankingData();
        break;
    case SYNC_MEDIA_OPEN:
        Player::INSTANCE.RemoteMediaOpen(p.file);
        break;
    case SYNC_MEDIA_START:
        Player::INSTANCE.RemoteMediaStart(p.file, p.positionUs / 1e6, at);
        break;
    case SYNC_MEDIA_SYNC:
        Player::INSTANCE.RemoteMediaSync(p.file, p.positionUs / 1e6, at);
        break;
    case SYNC_MEDIA_STOP:
        Player::INSTANCE.RemoteMediaStop(p.file);
        break;
    case SYNC_EFFECT_START: {
        std::string error;
        // From the master's moment of starting it, so its frames keep step.
        if (!EffectPlayer::INSTANCE.Start(p.file, (int)p.startChannel, p.effectFlags & SYNC_EFFECT_LOOP,
                                          p.effectFlags & SYNC_EFFECT_BACKGROUND, error, at, false)) {
            LogWarn(VB_SYNC, "Master %s started an effect this board cannot play: %s\n", m_master.c_str(),
                    error.c_str());
            WarningHolder::AddWarningTimeout("Sync: " + error + " (started by master " + m_master + ")", 60);
        }
        break;
    }
    case SYNC_EFFECT_STOP:
        if (p.file.empty()) {
            EffectPlayer::INSTANCE.StopAll(false);
        } else {
            EffectPlayer::INSTANCE.Stop(p.file, false);
        }
        break;
    default:
        break;
    }
}

void SyncRemote::Periodic(long long nowMonoUs) {
    if (!m_master.empty() && !m_lost && nowMonoUs - m_lastHeardMonoUs > LOSS_TIMEOUT_US) {
        m_lost = true;
        m_lostWarning = "Sync master " + m_master + " lost: the current sequence plays to its end on this board's "
                        "clock, then the remote waits for a master";
        LogWarn(VB_SYNC, "%s\n", m_lostWarning.c_str());
        WarningHolder::AddWarning(m_lostWarning);
    }
    if (!m_playingFile.empty() && !(sequence && sequence->IsSequenceRunning())) {
        // It ended here (its last frame, or the file was shorter).
        LogDebug(VB_SYNC, "%s ended here\n", m_playingFile.c_str());
        m_doneFile = m_playingFile;
        StopFollowing();
        // Without a master to send the blanking, the remote blanks itself.
        if (m_lost && sequence) sequence->SendBlankingData();
    }
}

void SyncRemote::Shutdown() {
    StopFollowing();
    if (m_lost) WarningHolder::RemoveWarning(m_lostWarning);
    if (m_timeSource == 0) WarningHolder::RemoveWarning(ARRIVAL_WARNING);
}

void SyncRemote::AppendStatus(Json::Value& sync, long long nowMonoUs) const {
    sync["master"] = m_master;
    sync["masterLost"] = m_lost;
    if (!m_master.empty()) sync["secondsSinceMaster"] = (Json::Int64)((nowMonoUs - m_lastHeardMonoUs) / 1000000);
    sync["timeSource"] = m_timeSource == 1 ? "timestamps" : m_timeSource == 0 ? "arrival" : "";
    sync["following"] = m_playingFile;
}
