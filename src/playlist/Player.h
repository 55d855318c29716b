#pragma once
// The playlist player: plays one playlist at a time (started by the
// scheduler or by a command), stepped from the main loop by Process(). The
// scheduler reads its state and public members; every method is safe to
// call from any thread. The state getters never wait for the player's lock,
// so the sequence player and the output thread may ask them at any time.

#include <atomic>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

#include <json/json.h>

enum PlayerStatus {
    PLAYER_IDLE = 0,
    PLAYER_PLAYING = 1,
    PLAYER_STOPPING_GRACEFULLY = 2,             // finishing the current entry, then the lead-out
    PLAYER_STOPPING_GRACEFULLY_AFTER_LOOP = 3,  // finishing the current loop, then the lead-out
    PLAYER_PAUSED = 5,
};

class Playlist;
class MediaOutputBase;

class Player {
public:
    static Player INSTANCE;

    // Registers the player's commands.
    void Init();
    // One step of the playing playlist; ends the slot of a scheduled
    // playlist at its end time with its stop method.
    void Process();
    // Remote mode, from the main loop while the master's media plays here:
    // steps the media output and, when it has drifted from the master's
    // position by more than REMOTE_MEDIA_TOLERANCE_S (on average over two
    // seconds), restarts it there.
    void ProcessMedia();
    // Remote mode: the master's media events (sync packets). positionS is
    // the master's position at monotonic time atMonoUs. A file missing here
    // is said once and the lights follow without it.
    void RemoteMediaOpen(const std::string& file);
    void RemoteMediaStart(const std::string& file, double positionS, long long atMonoUs);
    void RemoteMediaSync(const std::string& file, double positionS, long long atMonoUs);
    void RemoteMediaStop(const std::string& file);
    static constexpr double REMOTE_MEDIA_TOLERANCE_S = 0.1;
    // Stops whatever plays (shut-down); a finished playlist is already gone.
    void Cleanup();

    int GetStatus() const { return m_status.load(); }
    bool IsPlaying() const { return GetStatus() != PLAYER_IDLE; }

    std::string GetPlaylistName();
    bool WasScheduled() const { return m_scheduled.load(); }
    bool GetRepeat() const { return m_repeat.load(); }
    int GetPosition() const { return m_position.load(); }           // 1-based entry position, 0 when idle
    int GetScheduleEntry() const { return m_scheduleEntry.load(); }  // schedule row being played, -1 for none
    int GetStopMethod() const { return m_stopMethod.load(); }        // 0 graceful, 1 hard, 2 graceful after the loop
    std::string GetForceStoppedPlaylist();

    // position is 0-based over lead-in, main and lead-out entries. A manual
    // start stops what plays at once.
    bool StartPlaylist(const std::string& playlist, int repeat, int position = 0);
    // While a playlist winds down gracefully the new one waits for it.
    bool StartScheduledPlaylist(const std::string& playlist, int position, int repeat, int scheduleEntry,
                                int priority, time_t startTime, time_t endTime, int stopMethod);
    // Why the last start request was refused (the playlist did not load).
    std::string GetLastStartError();
    // forceStopped: a user or a stronger item asked, before the slot ended.
    void StopNow(int forceStopped = 0);
    void StopGracefully(int forceStopped = 0, int afterCurrentLoop = 0);
    bool Pause();
    bool Resume();
    // Moves the end of the running scheduled playlist; false when none.
    bool AdjustPlaylistStopTime(int seconds);

    Json::Value GetStatusJSON();
    Json::Value GetMqttStatusJSON();

    // Read by the scheduler.
    std::atomic<time_t> m_scheduledStartTime{0};
    std::atomic<time_t> m_scheduledEndTime{0};
    std::atomic<time_t> m_actualStartTime{0};
    std::atomic<time_t> m_actualEndTime{0};
    std::atomic<int> m_priority{0};
    // A scheduled playlist stopped on request before its end: not restarted
    // in its slot. The name is GetForceStoppedPlaylist().
    std::atomic<bool> m_forceStopped{false};

    ~Player();

private:
    struct StartRequest {
        std::unique_ptr<Playlist> playlist;
        int position = 0;
        bool repeat = false;
        bool scheduled = false;
        int scheduleEntry = -1;
        int priority = 0;
        time_t startTime = 0;
        time_t endTime = 0;
        int stopMethod = 0;
    };

    bool RequestStart(std::unique_ptr<StartRequest> req);
    bool StartNow(std::unique_ptr<StartRequest> req);
    void StopNowLocked(int forceStopped);
    void StopGracefullyLocked(int forceStopped, int afterCurrentLoop);
    void FinishLocked();
    void SetForceStopped(int forceStopped);
    Json::Value StatusJSON(bool mqtt);

    // Guards m_playlist, m_pending and every change of the state below.
    std::recursive_mutex m_lock;
    std::unique_ptr<Playlist> m_playlist;
    std::unique_ptr<StartRequest> m_pending;

    std::atomic<int> m_status{PLAYER_IDLE};
    std::atomic<bool> m_scheduled{false};
    std::atomic<bool> m_repeat{false};
    std::atomic<int> m_position{0};
    std::atomic<int> m_scheduleEntry{-1};
    std::atomic<int> m_stopMethod{0};

    // The master's media as this remote plays it; main loop thread only.
    bool OpenRemoteMedia(const std::string& file);
    bool RemoteMediaPlay(double positionS);
    std::unique_ptr<MediaOutputBase> m_remoteMedia;
    std::string m_remoteMediaFile;
    std::string m_remoteMediaFailed;  // cannot play here; said once, tried again at the master's next open
    double m_masterMediaS = 0;
    long long m_masterMediaAtUs = 0;
    long long m_mediaStartCostUs = 0;  // how long the last Start took
    long long m_driftCheckFromUs = 0;
    long long m_driftWindowEndUs = 0;
    double m_driftSum = 0;
    int m_driftSamples = 0;

    std::mutex m_nameLock;  // guards m_playlistName, m_forceStoppedPlaylist, m_lastStartError
    std::string m_playlistName;
    std::string m_forceStoppedPlaylist;
    std::string m_lastStartError;
};
