// The daemon's overall status document, published as "kivd_status", served
// at /kivd/status and answered by the "Get Status" command. Its members are
// listed in docs/mqtt.md.
#include <unistd.h>

#include <chrono>
#include <ctime>

#include "Events.h"
#include "Scheduler.h"
#include "Sequence.h"
#include "Warnings.h"
#include "common.h"
#include "playlist/Player.h"
#include "sensors/Sensors.h"
#include "settings.h"

// Taken when the program is loaded: the daemon's age.
static const std::chrono::steady_clock::time_point PROCESS_START = std::chrono::steady_clock::now();

std::string GetStatusHostName() {
    std::string name = getSetting("HostName", "");
    if (!name.empty()) return name;
    char host[256] = "";
    if (gethostname(host, sizeof(host) - 1) != 0 || !host[0]) return "kivd";
    return host;
}

double GetDaemonUptimeSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - PROCESS_START).count();
}

void GetCurrentKIVDStatus(Json::Value& result) {
    result["mode"] = getKIVmode();
    result["mode_name"] = getKIVmodeStr(getKIVmode());
    result["version"] = getKIVVersion();
    result["branch"] = getKIVBranch();
    result["host_name"] = GetStatusHostName();
    result["time"] = GetTimeStr("%a %b %d %H:%M:%S %Z %Y");
    result["time_epoch"] = Json::Int64(time(nullptr));
    result["uptime_seconds"] = Json::Int64(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - PROCESS_START).count());

    Json::Value player = Player::INSTANCE.GetStatusJSON();
    result["status"] = player["status"];
    result["status_name"] = player["statusName"];
    result["current_playlist"] = player;

    Json::Value seq(Json::objectValue);
    if (sequence && sequence->IsSequenceRunning()) {
        seq["name"] = sequence->GetFileName();
        seq["seconds_elapsed"] = sequence->GetElapsedMs() / 1000;
        seq["seconds_remaining"] = sequence->GetRemainingMs() / 1000;
        seq["seconds_total"] = sequence->GetDurationMs() / 1000;
        seq["paused"] = sequence->SequenceIsPaused() != 0;
    } else {
        seq["name"] = "";
    }
    result["current_sequence"] = seq;

    Json::Value next(Json::objectValue);
    if (scheduler) {
        Json::Value info = scheduler->GetInfo();
        next = info["nextPlaylist"];
        result["scheduler_enabled"] = info["enabled"].asInt() != 0;
    } else {
        result["scheduler_enabled"] = false;
    }
    result["next_playlist"] = next;

    Json::Value warnings(Json::arrayValue);
    for (auto& w : WarningHolder::GetWarnings()) warnings.append(w);
    result["warnings"] = warnings;

    // What a status page shows of each sensor; "Get Sensors" has the rest.
    Json::Value sensors(Json::arrayValue);
    Json::Value snapshot = Sensors::INSTANCE.Snapshot();
    for (auto& s : snapshot["sensors"]) {
        Json::Value v;
        for (const char* k : {"name", "value", "unit", "alarm"}) v[k] = s[k];
        sensors.append(v);
    }
    result["sensors"] = sensors;
}
