#pragma once
// What the sync service knows about other systems: which senders it
// listens to (addresses and subnets from a setting), packets already seen
// (replays and the copy that came both by multicast and unicast), the
// lowest delay seen lately, and the table of systems behind GetSystems.
// Used by MultiSync and the remote role on the main loop's thread.

#include <netinet/in.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <json/json.h>

#include "sync/SyncPacket.h"

// "10.0.0.5, 192.168.1.0/24" or "*" (anyone).
class SyncAddressRule {
public:
    // Entries that do not parse are reported in `problems` and left out.
    void Parse(const std::string& text, std::vector<std::string>& problems);
    bool Allows(in_addr a) const;
    bool Empty() const { return !m_any && m_nets.empty(); }
    bool AllowsAny() const { return m_any; }

private:
    bool m_any = false;
    std::vector<std::pair<uint32_t, uint32_t>> m_nets;  // (network, mask), host order
};

// Per sender: the newest session and a window of the last 64 sequence
// numbers. A new session is taken only when its time stamp is later than
// every one seen from that sender, so an old capture played back later is
// refused.
class ReplayGuard {
public:
    bool Accept(uint32_t sender, uint32_t session, uint32_t seq, uint64_t timeUs);

private:
    struct State {
        uint32_t session = 0;
        uint32_t highest = 0;
        uint64_t window = 0;  // bit i: highest - i was seen
        uint64_t latestTimeUs = 0;
    };
    std::map<uint32_t, State> m_senders;
};

// The smallest of a series of values over roughly the last `spanUs` (two
// half-span buckets): the least delay of recent packets, the offset of a
// peer's clock plus its shortest path.
class WindowMin {
public:
    explicit WindowMin(long long spanUs) : m_halfUs(spanUs / 2) {}
    void Add(long long value, long long nowUs);
    bool Get(long long& value) const;
    void Clear() { m_have[0] = m_have[1] = false; }

private:
    long long m_halfUs;
    long long m_bucketStartUs = 0;
    long long m_min[2] = {0, 0};
    bool m_have[2] = {false, false};
};

struct SyncSystem {
    std::string address;
    std::string hostname, version, uuid;
    int mode = 0;
    bool master = false;
    int typeId = 0;
    bool clockSynced = false;
    long clockErrorUs = -1;
    int httpPort = 0;  // 0: its HTTP interface is not open to other machines (or it does not say)
    long long lastSeenWallUs = 0;
    long long lastSeenMonoUs = 0;
    WindowMin offset{10000000};  // arrival - sender's time stamp, us
};

// Every system heard from (pings and any accepted packet).
class SyncSystems {
public:
    // True when the system is new or its description changed.
    bool Seen(const std::string& address, const SyncPacket& p, long long arrivalWallUs, long long arrivalMonoUs);
    // Systems silent for longer than maxAgeUs leave the table; true when one did.
    bool Expire(long long nowMonoUs, long long maxAgeUs);
    void AppendJson(Json::Value& list, bool timestamps, long long nowMonoUs) const;
    size_t Count() const { return m_systems.size(); }

private:
    std::map<std::string, SyncSystem> m_systems;
};

std::string ModeText(int mode, bool master);
