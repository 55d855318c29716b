#pragma once
// What the bridge counts: per configured input (packets, bytes, errors,
// sequence gaps, the sources sending it) and per protocol socket (datagrams
// that were malformed, too long, for universes nobody configured, or of a
// kind the bridge does not use). Kept by the receivers on the input thread,
// reported by "Get Inputs" (GET /kivd/inputs).

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include <json/json.h>

#include "bridge/InputsConfig.h"

struct InputStatistics {
    uint64_t packets = 0;
    uint64_t bytes = 0;
    uint64_t errors = 0;        // malformed packets addressed to this input
    uint64_t sequenceGaps = 0;  // packets missing between two received ones
    uint64_t outOfOrder = 0;    // stale packets dropped
    long long lastSeenUs = 0;   // monotonic; 0 = never

    void Count(size_t len, long long nowUs) {
        ++packets;
        bytes += len;
        lastSeenUs = nowUs;
    }
};

// One sender of an input, as the receiver knows it.
struct SourceReport {
    std::string name;     // E1.31 source name
    std::string address;  // IP address
    std::string cid;      // E1.31 component identifier
    int priority = -1;    // E1.31 priority; -1 where the protocol has none
    bool active = false;  // its data is the one shown
    uint64_t packets = 0;
    long long lastSeenUs = 0;
};

struct ProtocolStatistics {
    static constexpr size_t MAX_LISTED_UNIVERSES = 32;

    uint64_t packets = 0;
    uint64_t malformed = 0;     // truncated or inconsistent packets
    uint64_t oversized = 0;     // longer than any valid packet of the protocol
    uint64_t unconfigured = 0;  // for a universe or range no input takes
    uint64_t ignored = 0;       // valid, but not channel data the bridge uses
    uint64_t polls = 0;         // Art-Net polls answered
    std::string lastError;      // why the last malformed packet was refused
    std::set<int> unconfiguredUniverses;  // the first few, to help the user

    void Malformed(const char* why) {
        ++malformed;
        lastError = why;
    }
    void Unconfigured(int universe) {
        ++unconfigured;
        if (universe >= 0 && unconfiguredUniverses.size() < MAX_LISTED_UNIVERSES) {
            unconfiguredUniverses.insert(universe);
        }
    }
};

Json::Value InputStatisticsJson(const InputConfig& config, const InputStatistics& stats,
                                const std::vector<SourceReport>& sources, long long nowUs);
Json::Value ProtocolStatisticsJson(const ProtocolStatistics& stats, bool listening);
