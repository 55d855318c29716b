#pragma once
// The playlist player: plays one playlist at a time (started by the
// scheduler or by a command), stepped from the main loop by Process(). The
// scheduler reads its state and public members; every method is safe to
// call from any thread.

#include <ctime>
#include <mutex>
#include <string>

#include <json/json.h>

enum PlayerStatus {
    PLAYER_IDLE = 0,
    PLAYER_PLAYING = 1,
    PLAYER_STOPPING_GRACEFULLY = 2,             // finishing the current entry, then the lead-out
    PLAYER_STOPPING_GRACEFULLY_AFTER_LOOP = 3,  // finishing the current loop, then the lead-out
    PLAYER_STOPPING_NOW = 4,
    PLAYER_PAUSED = 5,
};

class Playlist;

class Player {
public:
    static Player INSTANCE;

    void Init();
    void Process();
    void ProcessMedia();
    void Cleanup();

    int GetStatus();
    bool IsPlaying();

    std::string GetPlaylistName();
    bool WasScheduled();
    bool GetRepeat();
    int GetPosition();       // 1-based entry position
    int GetScheduleEntry();  // schedule row being played, -1 for none
    int GetStopMethod();     // 0 graceful, 1 hard, 2 graceful after the current loop

    bool StartPlaylist(const std::string& playlist, int repeat, int position = 0);
    bool StartScheduledPlaylist(const std::string& playlist, int position, int repeat, int scheduleEntry,
                                int priority, time_t startTime, time_t endTime, int stopMethod);
    void StopNow(int forceStopped = 0);
    void StopGracefully(int forceStopped = 0, int afterCurrentLoop = 0);
    bool AdjustPlaylistStopTime(int seconds);

    Json::Value GetStatusJSON();
    Json::Value GetMqttStatusJSON();

    // Read by the scheduler.
    time_t m_scheduledStartTime = 0;
    time_t m_scheduledEndTime = 0;
    time_t m_actualStartTime = 0;
    time_t m_actualEndTime = 0;
    int m_priority = 0;
    // A scheduled playlist stopped on request before its end: not restarted in its slot.
    bool m_forceStopped = false;
    std::string m_forceStoppedPlaylist;

private:
    std::recursive_mutex m_lock;  // guards everything below and the playlist
    Playlist* m_playlist = nullptr;
    int m_status = PLAYER_IDLE;
    bool m_scheduled = false;
    bool m_repeat = false;
    int m_scheduleEntry = -1;
    int m_stopMethod = 0;
};
