#pragma once
// The remote role: follows one master's sequence and media. It takes the
// first allowed master it hears and keeps it until that master has been
// silent for LOSS_TIMEOUT_US; then it warns, lets the current sequence play
// to its end on this board's clock, and follows whichever allowed master
// speaks next. Each master position becomes a moment on this board's
// monotonic clock: from the master's time stamp when both clocks are
// synchronised, otherwise from the arrival time of the fastest recent
// packet; the master's frame grid is the median over its last packets
// (MasterGridFilter). Runs on the main loop's thread (MultiSync hands it the
// packets).

#include <string>

#include <json/json.h>

#include "sync/MasterFrameClock.h"
#include "sync/SyncPeers.h"

class SyncRemote {
public:
    static constexpr long long LOSS_TIMEOUT_US = 3000000;

    // True when the packet comes from the master this remote follows (a
    // show packet or a master's ping picks the master when none is
    // followed); false for another master's, which the caller counts.
    bool FromFollowedMaster(const std::string& address, const SyncPacket& p, long long nowMonoUs);
    // A packet of the followed master. ownClockSynced: this board's clock
    // may be used for time stamps.
    void Handle(const SyncPacket& p, long long arrivalMonoUs, bool ownClockSynced);
    // About once a second: master loss, a sequence that ended here.
    void Periodic(long long nowMonoUs);
    void Shutdown();
    void AppendStatus(Json::Value& sync, long long nowMonoUs) const;

private:
    long long LocalMono(const SyncPacket& p, long long arrivalMonoUs);
    void NoteTimeSource(bool stamps);
    bool Playing(const std::string& file) const;
    void StartFile(const std::string& file, int frame);
    void StopFollowing();
    // A start or sync packet: joins the sequence when it does not play here yet.
    void OnSeqSync(const SyncPacket& p, long long frameMonoUs);

    std::string m_master;
    long long m_lastHeardMonoUs = 0;
    bool m_lost = false;
    std::string m_lostWarning;
    // 1 time stamps, 0 arrival time, -1 not decided yet
    int m_timeSource = -1;
    WindowMin m_delay{2000000};  // arrival (monotonic) - master's time stamp, us
    MasterGridFilter m_grid;     // the master's frame grid from its recent sync packets
    std::string m_playingFile;   // the master's name of the sequence playing here
    // A sequence that ended or could not open here while the master still
    // plays it: not joined again until the master opens or starts one.
    std::string m_doneFile;
};
