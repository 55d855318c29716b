#include "services/MultiSync.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <unistd.h>

#include <cstring>

#include "log.h"
#include "settings.h"

MultiSync MultiSync::INSTANCE;
MultiSync* multiSync = &MultiSync::INSTANCE;

bool MultiSync::Init() {
    if (getSettingInt("MultiSyncEnabled", 0)) {
        LogWarn(VB_SYNC, "Multi-system sync was requested but this daemon plays as a single system\n");
    }
    LogInfo(VB_SYNC, "Multi-system sync is disabled\n");
    return true;
}

void MultiSync::ShutdownSync() {}
void MultiSync::ProcessControlPacket(bool pingOnly) {}
void MultiSync::Discover() {}
void MultiSync::PeriodicPing() {}

Json::Value MultiSync::GetSystems(bool localOnly, bool timestamps) {
    Json::Value result;
    Json::Value systems(Json::arrayValue);
    char host[256] = "";
    gethostname(host, sizeof(host) - 1);
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (struct ifaddrs* a = list; a; a = a->ifa_next) {
            if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
            if (a->ifa_flags & IFF_LOOPBACK) continue;
            char addr[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &((struct sockaddr_in*)a->ifa_addr)->sin_addr, addr, sizeof(addr));
            Json::Value s;
            s["address"] = addr;
            s["hostname"] = host;
            s["interface"] = a->ifa_name;
            s["version"] = getKIVVersion();
            s["mode"] = getKIVmodeStr(getKIVmode());
            s["local"] = true;
            systems.append(s);
        }
        freeifaddrs(list);
    }
    result["systems"] = systems;
    return result;
}
