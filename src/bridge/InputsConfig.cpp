#include "bridge/InputsConfig.h"

#include <algorithm>
#include <map>

#include "Sequence.h"
#include "common.h"
#include "protocols/ArtNetWire.h"
#include "protocols/E131Wire.h"

const char* InputProtocolName(InputProtocol p) {
    switch (p) {
    case InputProtocol::E131:
        return "E1.31";
    case InputProtocol::ArtNet:
        return "Art-Net";
    case InputProtocol::DDP:
        return "DDP";
    }
    return "?";
}

std::string InputConfig::Name() const {
    if (!description.empty()) return description;
    std::string n = InputProtocolName(protocol);
    if (protocol == InputProtocol::DDP) return n + " offset " + std::to_string(ddpOffset);
    n += " universe " + std::to_string(universe);
    if (universeCount > 1) n += "-" + std::to_string(universe + universeCount - 1);
    return n;
}

namespace {

// Reads an integer key; false (with the reason in why) when it is there but
// not a whole number in [min, max].
bool ReadInt(const Json::Value& v, const char* key, long long min, long long max, long long& out, std::string& why) {
    if (!v.isMember(key)) return true;
    const Json::Value& x = v[key];
    if (x.isBool()) {
        out = x.asBool() ? 1 : 0;
    } else if (x.isIntegral()) {
        out = x.asLargestInt();
    } else if (x.isDouble() && x.asDouble() == (double)(long long)x.asDouble()) {
        out = (long long)x.asDouble();
    } else {
        why = std::string("\"") + key + "\" must be a whole number";
        return false;
    }
    if (out < min || out > max) {
        why = std::string("\"") + key + "\" " + std::to_string(out) + " is outside " + std::to_string(min) + "-" +
              std::to_string(max);
        return false;
    }
    return true;
}

bool ReadProtocol(const Json::Value& v, InputProtocol& p, std::string& why) {
    std::string text = v["protocol"].isString() ? v["protocol"].asString() : "";
    toUpper(text);
    if (text == "E1.31" || text == "E131" || text == "SACN") {
        p = InputProtocol::E131;
    } else if (text == "ART-NET" || text == "ARTNET") {
        p = InputProtocol::ArtNet;
    } else if (text == "DDP") {
        p = InputProtocol::DDP;
    } else {
        why = "\"protocol\" must be \"E1.31\", \"Art-Net\" or \"DDP\"";
        return false;
    }
    return true;
}

bool ParseInput(const Json::Value& v, InputConfig& in, std::string& why) {
    if (!v.isObject()) {
        why = "not a JSON object";
        return false;
    }
    if (!ReadProtocol(v, in.protocol, why)) return false;
    if (v["description"].isString()) in.description = v["description"].asString();
    long long start = 1, count = 0, timeout = INPUT_DEFAULT_TIMEOUT_MS, multicast = 1;
    if (!ReadInt(v, "startChannel", 1, Sequence::MAX_CHANNELS, start, why) ||
        !ReadInt(v, "timeoutMs", 1, INPUT_MAX_TIMEOUT_MS, timeout, why) ||
        !ReadInt(v, "multicast", 0, 1, multicast, why)) {
        return false;
    }
    in.startChannel = (uint32_t)(start - 1);
    in.timeoutMs = (int)timeout;
    in.multicast = multicast != 0;
    if (in.protocol == InputProtocol::DDP) {
        long long offset = 0;
        count = 0;
        if (!ReadInt(v, "offset", 0, UINT32_MAX, offset, why) ||
            !ReadInt(v, "channelCount", 1, Sequence::MAX_CHANNELS, count, why)) {
            return false;
        }
        if (!v.isMember("channelCount")) {
            why = "\"channelCount\" is missing";
            return false;
        }
        in.ddpOffset = (uint32_t)offset;
        in.channelCount = (uint32_t)count;
    } else {
        bool e131 = in.protocol == InputProtocol::E131;
        long long first = e131 ? E131_MIN_UNIVERSE : 0;
        long long last = e131 ? E131_MAX_UNIVERSE : ARTNET_MAX_UNIVERSE;
        long long universe = first, universes = 1;
        count = 512;
        if (!v.isMember("universe")) {
            why = "\"universe\" is missing";
            return false;
        }
        if (!ReadInt(v, "universe", first, last, universe, why) ||
            !ReadInt(v, "universeCount", 1, last - first + 1, universes, why) ||
            !ReadInt(v, "channelCount", 1, E131_MAX_CHANNELS, count, why)) {
            return false;
        }
        if (universe + universes - 1 > last) {
            why = "universes " + std::to_string(universe) + "-" + std::to_string(universe + universes - 1) +
                  " go past " + std::to_string(last);
            return false;
        }
        in.universe = (int)universe;
        in.universeCount = (int)universes;
        in.channelsPerUniverse = (int)count;
        in.channelCount = (uint32_t)(count * universes);
    }
    if ((long long)in.startChannel + in.channelCount > Sequence::MAX_CHANNELS) {
        why = "channels " + std::to_string(in.startChannel + 1) + "-" +
              std::to_string((long long)in.startChannel + in.channelCount) + " go past channel " +
              std::to_string(Sequence::MAX_CHANNELS);
        return false;
    }
    return true;
}

}  // namespace

InputsConfig ParseInputsConfig(const Json::Value& doc) {
    InputsConfig cfg;
    if (!doc.isObject()) {
        cfg.errors.push_back("the file is not a JSON object");
        return cfg;
    }
    if (doc["interface"].isString()) cfg.interface = doc["interface"].asString();
    if (doc["address"].isString()) cfg.address = doc["address"].asString();
    if (doc["name"].isString()) cfg.name = doc["name"].asString();
    const Json::Value& list = doc["inputs"];
    if (!list.isNull() && !list.isArray()) {
        cfg.errors.push_back("\"inputs\" must be an array");
        return cfg;
    }
    // Who owns each universe already, per protocol.
    std::map<std::pair<int, int>, int> owner;
    for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
        const Json::Value& v = list[i];
        if (v.isObject() && v.isMember("enabled") && !v["enabled"].asBool()) continue;
        InputConfig in;
        in.index = (int)i;
        std::string why;
        bool ok = ParseInput(v, in, why);
        if (ok && in.protocol != InputProtocol::DDP) {
            for (int u = in.universe; u < in.universe + in.universeCount && ok; ++u) {
                auto it = owner.find({(int)in.protocol, u});
                if (it != owner.end()) {
                    why = "universe " + std::to_string(u) + " is already taken by input " + std::to_string(it->second + 1);
                    ok = false;
                }
            }
            for (int u = in.universe; ok && u < in.universe + in.universeCount; ++u) owner[{(int)in.protocol, u}] = (int)i;
        }
        if (!ok) {
            std::string name = v.isObject() && v["description"].isString() ? " (\"" + v["description"].asString() + "\")" : "";
            cfg.errors.push_back("input " + std::to_string(i + 1) + name + ": " + why);
            continue;
        }
        cfg.inputs.push_back(in);
    }
    return cfg;
}

InputsConfig LoadInputsConfig(const std::string& path) {
    if (!FileExists(path)) return InputsConfig();
    Json::Value doc;
    if (!LoadJsonFromFile(path, doc)) {
        InputsConfig cfg;
        cfg.errors.push_back("the file is not valid JSON");
        return cfg;
    }
    return ParseInputsConfig(doc);
}
