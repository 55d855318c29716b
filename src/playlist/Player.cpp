#include "playlist/Player.h"

#include "log.h"

// Playlists are not built yet: the player stays idle and says so when asked
// to play.
Player Player::INSTANCE;

void Player::Init() { LogDebug(VB_PLAYLIST, "Player::Init()\n"); }
void Player::Process() {}
void Player::ProcessMedia() {}
void Player::Cleanup() {}

int Player::GetStatus() {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    return m_status;
}
bool Player::IsPlaying() { return GetStatus() != PLAYER_IDLE; }
std::string Player::GetPlaylistName() { return ""; }
bool Player::WasScheduled() { return m_scheduled; }
bool Player::GetRepeat() { return m_repeat; }
int Player::GetPosition() { return 0; }
int Player::GetScheduleEntry() { return m_scheduleEntry; }
int Player::GetStopMethod() { return m_stopMethod; }

bool Player::StartPlaylist(const std::string& playlist, int repeat, int position) {
    LogErr(VB_PLAYLIST, "Cannot start playlist %s: playlists are not supported by this build\n", playlist.c_str());
    return false;
}

bool Player::StartScheduledPlaylist(const std::string& playlist, int position, int repeat, int scheduleEntry,
                                    int priority, time_t startTime, time_t endTime, int stopMethod) {
    return StartPlaylist(playlist, repeat, position);
}

void Player::StopNow(int forceStopped) {}
void Player::StopGracefully(int forceStopped, int afterCurrentLoop) {}
bool Player::AdjustPlaylistStopTime(int seconds) { return false; }

Json::Value Player::GetStatusJSON() {
    Json::Value v;
    v["status"] = "idle";
    return v;
}
Json::Value Player::GetMqttStatusJSON() { return GetStatusJSON(); }
