#pragma once
// The playlist entry that plays one sequence file (<media>/sequences/<name>)
// through the process-wide sequence player. It opens the file when asked to
// prepare, starts it, keeps the output timing on the wall clock while it
// runs, notices the end, pauses and resumes by frame, and publishes
// "playlist/sequence/status" and "playlist/sequence/secondsTotal". Created
// and driven by the owning Playlist on the player's thread.

#include <cstdint>
#include <string>

#include "playlist/PlaylistEntryBase.h"

class PlaylistEntrySequence : public PlaylistEntryBase {
public:
    PlaylistEntrySequence(Playlist* playlist, PlaylistEntryBase* parent = nullptr);
    virtual ~PlaylistEntrySequence();

    bool Init(Json::Value& config) override;
    std::string ReadConfig(Json::Value& config) override;
    int StartPlaying() override;
    int Process() override;
    int Stop() override;
    void Pause() override;
    bool IsPaused() override;
    void Resume() override;
    void Dump() override;
    Json::Value GetConfig() override;
    Json::Value GetMqttStatus() override;
    uint64_t GetLengthInMS() override;
    uint64_t GetElapsedMS() override;
    std::string FindMissingFile() override;

    // Opens the file in the sequence player at frame `frame`.
    bool PreparePlay(int frame = 0);
    // While true, Process keeps the output timing on the wall clock (a
    // song keeps it otherwise). Turning it on anchors the clock at the
    // frame playing now, so a sequence whose song ended goes on smoothly.
    void SetFollowClock(bool follow);
    bool GetFollowClock() const { return m_followClock; }

    const std::string& GetSequenceName() const { return m_sequenceName; }
    int GetPauseFrame() const { return m_pauseFrame; }
    int64_t GetStartedAtMs() const { return m_startedAtMs; }

private:
    int64_t m_startedAtMs = 0;  // GetMonotonicMS() that corresponds to frame 0: steps of the wall clock leave the show's pace alone
    bool m_followClock = true;
    bool m_isPrepared = false;
    int m_lengthMs = 0;
    int m_framePeriodMs = 0;
    std::string m_sequenceName;
    int m_pauseFrame = -1;
};
