// The table of system type ids and model names that synchronised systems
// announce and controller detection reports (docs/controllers.md).
#include "sync/MultiSync.h"

#include "common.h"

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
