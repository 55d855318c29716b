// The daemon's overall status document, published as "kivd_status" and
// answered by the "Get Status" command.
#include <ctime>

#include "Events.h"
#include "Warnings.h"
#include "common.h"
#include "playlist/Player.h"
#include "settings.h"

void GetCurrentKIVDStatus(Json::Value& result) {
    result["mode"] = getKIVmode();
    result["mode_name"] = getKIVmodeStr(getKIVmode());
    result["version"] = getKIVVersion();
    result["branch"] = getKIVBranch();
    result["time"] = GetTimeStr("%a %b %d %H:%M:%S %Z %Y");
    result["time_elapsed"] = Json::UInt64(time(nullptr));
    Json::Value player = Player::INSTANCE.GetStatusJSON();
    result["status"] = Player::INSTANCE.GetStatus();
    result["current_playlist"] = player;
    Json::Value warnings(Json::arrayValue);
    for (auto& w : WarningHolder::GetWarnings()) warnings.append(w);
    result["warnings"] = warnings;
}
