#include "bridge/InputStatistics.h"

static Json::Value MsAgo(long long thenUs, long long nowUs) {
    return thenUs ? Json::Value((Json::Int64)((nowUs - thenUs) / 1000)) : Json::Value(Json::nullValue);
}

Json::Value InputStatisticsJson(const InputConfig& config, const InputStatistics& stats,
                                const std::vector<SourceReport>& sources, long long nowUs) {
    Json::Value v(Json::objectValue);
    v["description"] = config.Name();
    v["protocol"] = InputProtocolName(config.protocol);
    if (config.protocol == InputProtocol::DDP) {
        v["offset"] = (Json::UInt)config.ddpOffset;
    } else {
        v["universe"] = config.universe;
        v["universeCount"] = config.universeCount;
    }
    v["startChannel"] = (Json::UInt)(config.startChannel + 1);
    v["channelCount"] = (Json::UInt)config.channelCount;
    v["timeoutMs"] = config.timeoutMs;
    v["live"] = stats.lastSeenUs != 0 && nowUs - stats.lastSeenUs <= (long long)config.timeoutMs * 1000;
    v["packets"] = (Json::UInt64)stats.packets;
    v["bytes"] = (Json::UInt64)stats.bytes;
    v["errors"] = (Json::UInt64)stats.errors;
    v["sequenceGaps"] = (Json::UInt64)stats.sequenceGaps;
    v["outOfOrder"] = (Json::UInt64)stats.outOfOrder;
    v["lastSeenMsAgo"] = MsAgo(stats.lastSeenUs, nowUs);
    Json::Value list(Json::arrayValue);
    for (auto& s : sources) {
        Json::Value j(Json::objectValue);
        if (!s.name.empty()) j["name"] = s.name;
        j["address"] = s.address;
        if (!s.cid.empty()) j["cid"] = s.cid;
        if (s.priority >= 0) j["priority"] = s.priority;
        j["active"] = s.active;
        j["packets"] = (Json::UInt64)s.packets;
        j["lastSeenMsAgo"] = MsAgo(s.lastSeenUs, nowUs);
        list.append(j);
    }
    v["sources"] = list;
    return v;
}

Json::Value ProtocolStatisticsJson(const ProtocolStatistics& stats, bool listening) {
    Json::Value v(Json::objectValue);
    v["listening"] = listening;
    v["packets"] = (Json::UInt64)stats.packets;
    v["malformed"] = (Json::UInt64)stats.malformed;
    v["oversized"] = (Json::UInt64)stats.oversized;
    v["unconfigured"] = (Json::UInt64)stats.unconfigured;
    v["ignored"] = (Json::UInt64)stats.ignored;
    v["polls"] = (Json::UInt64)stats.polls;
    if (!stats.lastError.empty()) v["lastError"] = stats.lastError;
    Json::Value u(Json::arrayValue);
    for (int x : stats.unconfiguredUniverses) u.append(x);
    v["unconfiguredUniverses"] = u;
    return v;
}
