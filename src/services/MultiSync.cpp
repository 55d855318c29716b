#include "services/MultiSync.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <unistd.h>

#include <cstring>

#include "common.h"
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

namespace {
struct SystemType {
    int id;
    const char* name;
};

// Ids travel between systems and in detection records: never renumber.
const SystemType SYSTEM_TYPES[] = {
    {0x01, "KIV (undetermined hardware)"},
    {0x02, "Raspberry Pi A"},
    {0x03, "Raspberry Pi B"},
    {0x04, "Raspberry Pi A+"},
    {0x05, "Raspberry Pi B+"},
    {0x06, "Raspberry Pi 2 Model B"},
    {0x07, "Raspberry Pi Zero"},
    {0x08, "Raspberry Pi Zero W"},
    {0x09, "Raspberry Pi 3 Model B"},
    {0x0A, "Raspberry Pi 3 Model B+"},
    {0x0B, "Raspberry Pi 3 Model A+"},
    {0x0C, "Raspberry Pi 4 Model B"},
    {0x0D, "Raspberry Pi 400"},
    {0x0E, "Raspberry Pi Zero 2 W"},
    {0x0F, "Raspberry Pi 5"},
    {0x40, "BeagleBone Black"},
    {0x41, "BeagleBone Green"},
    {0x42, "PocketBeagle"},
    {0x70, "Debian"},
    {0x71, "Docker"},
    {0x80, "Sorvex Controller"},
    {0x81, "Sorvex S4"},
    {0x82, "Sorvex S16"},
    {0x83, "Sorvex S32"},
    {0x84, "Sorvex Mini"},
    {0x85, "Sorvex Bridge"},
    {0xC2, "ESPixelStick"},
    {0xFB, "WLED"},
    {0xFC, "DIYLEDExpress"},
    {0xFD, "HinksPix"},
    {0xFE, "AlphaPix"},
    {0xFF, "SanDevices"},
};
}  // namespace

std::string MultiSync::GetTypeString(int type, bool local) {
    if (local && type == TYPE_UNDETERMINED) {
        // The device tree names the board on ARM systems.
        std::string model = GetFileContents("/proc/device-tree/model");
        TrimWhiteSpace(model);
        if (!model.empty()) return "KIV (" + model + ")";
    }
    for (const auto& t : SYSTEM_TYPES) {
        if (t.id == type) return t.name;
    }
    return "Unknown System Type";
}

int MultiSync::ModelStringToType(std::string model) {
    TrimWhiteSpace(model);
    std::string lower = toLowerCopy(model);
    int best = TYPE_UNDETERMINED;
    size_t bestLength = 0;
    for (const auto& t : SYSTEM_TYPES) {
        std::string name = toLowerCopy(t.name);
        if (lower == name) return t.id;
        // "Raspberry Pi 4 Model B Rev 1.4" is a Raspberry Pi 4 Model B.
        if (lower.size() > name.size() && startsWith(lower, name) && lower[name.size()] == ' ' &&
            name.size() > bestLength) {
            best = t.id;
            bestLength = name.size();
        }
    }
    return best;
}
