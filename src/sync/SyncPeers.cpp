#include "sync/SyncPeers.h"

#include <arpa/inet.h>

#include <algorithm>

#include "common.h"
#include "settings.h"

// A flood from forged source addresses must not grow the tables without end.
static constexpr size_t MAX_SENDERS = 1024;
static constexpr size_t MAX_SYSTEMS = 256;

void SyncAddressRule::Parse(const std::string& text, std::vector<std::string>& problems) {
    m_any = false;
    m_nets.clear();
    for (std::string entry : split(text, ',')) {
        TrimWhiteSpace(entry);
        if (entry.empty()) continue;
        if (entry == "*") {
            m_any = true;
            continue;
        }
        std::string addr = entry;
        int bits = 32;
        size_t slash = entry.find('/');
        if (slash != std::string::npos) {
            addr = entry.substr(0, slash);
            std::string b = entry.substr(slash + 1);
            char* end = nullptr;
            long v = strtol(b.c_str(), &end, 10);
            if (b.empty() || *end || v < 0 || v > 32) {
                problems.push_back("\"" + entry + "\" has no prefix length from 0 to 32");
                continue;
            }
            bits = (int)v;
        }
        in_addr a;
        if (inet_pton(AF_INET, addr.c_str(), &a) != 1) {
            problems.push_back("\"" + entry + "\" is not a numeric IPv4 address or subnet");
            continue;
        }
        uint32_t mask = bits == 0 ? 0 : 0xFFFFFFFFu << (32 - bits);
        m_nets.push_back({ntohl(a.s_addr) & mask, mask});
    }
}

bool SyncAddressRule::Allows(in_addr a) const {
    if (m_any) return true;
    uint32_t h = ntohl(a.s_addr);
    return std::any_of(m_nets.begin(), m_nets.end(), [h](auto& n) { return (h & n.second) == n.first; });
}

bool ReplayGuard::Accept(uint32_t sender, uint32_t session, uint32_t seq, uint64_t timeUs) {
    auto it = m_senders.find(sender);
    if (it == m_senders.end()) {
        if (m_senders.size() >= MAX_SENDERS) m_senders.clear();
        State s;
        s.session = session;
        s.highest = seq;
        s.window = 1;
        s.latestTimeUs = timeUs;
        m_senders[sender] = s;
        return true;
    }
    State& s = it->second;
    if (session != s.session) {
        if (timeUs <= s.latestTimeUs) return false;
        s.session = session;
        s.highest = seq;
        s.window = 1;
        s.latestTimeUs = timeUs;
        return true;
    }
    if (seq > s.highest) {
        uint32_t shift = seq - s.highest;
        s.window = shift >= 64 ? 1 : (s.window << shift) | 1;
        s.highest = seq;
    } else {
        uint32_t back = s.highest - seq;
        if (back >= 64 || (s.window & (1ULL << back))) return false;
        s.window |= 1ULL << back;
    }
    s.latestTimeUs = std::max<uint64_t>(s.latestTimeUs, timeUs);
    return true;
}

void WindowMin::Add(long long value, long long nowUs) {
    if (!m_have[1] || nowUs - m_bucketStartUs >= m_halfUs) {
        m_min[0] = m_min[1];
        m_have[0] = m_have[1];
        m_have[1] = false;
        m_bucketStartUs = nowUs;
    }
    if (!m_have[1] || value < m_min[1]) m_min[1] = value;
    m_have[1] = true;
}

bool WindowMin::Get(long long& value) const {
    if (!m_have[0] && !m_have[1]) return false;
    if (m_have[0] && m_have[1]) {
        value = std::min(m_min[0], m_min[1]);
    } else {
        value = m_have[1] ? m_min[1] : m_min[0];
    }
    return true;
}

std::string ModeText(int mode, bool master) {
    if (mode == MODE_PLAYER && master) return "master";
    return getKIVmodeStr(mode);
}

bool SyncSystems::Seen(const std::string& address, const SyncPacket& p, long long arrivalWallUs,
                       long long arrivalMonoUs) {
    auto it = m_systems.find(address);
    bool changed = false;
    if (it == m_systems.end()) {
        if (m_systems.size() >= MAX_SYSTEMS) return false;
        it = m_systems.emplace(address, SyncSystem()).first;
        it->second.address = address;
        changed = true;
    }
    SyncSystem& s = it->second;
    s.lastSeenWallUs = arrivalWallUs;
    s.lastSeenMonoUs = arrivalMonoUs;
    s.offset.Add(arrivalWallUs - (long long)p.timeUs, arrivalMonoUs);
    bool synced = (p.flags & SYNC_FLAG_CLOCK_SYNCED) != 0;
    if (synced != s.clockSynced) changed = true;
    s.clockSynced = synced;
    if (p.type == SYNC_PING) {
        if (s.hostname != p.hostname || s.mode != p.mode || s.master != p.master || s.version != p.version ||
            s.httpPort != p.httpPort) {
            changed = true;
        }
        s.hostname = p.hostname;
        s.version = p.version;
        s.uuid = p.uuid;
        s.mode = p.mode;
        s.master = p.master;
        s.typeId = p.typeId;
        s.httpPort = p.httpPort;
        s.clockErrorUs = p.clockErrorUs == SYNC_UNKNOWN_ERROR ? -1 : (long)p.clockErrorUs;
    } else if (p.type != SYNC_COMMAND && p.type != SYNC_PLUGIN && !s.master) {
        // Show packets come from a master only.
        s.master = true;
        s.mode = MODE_PLAYER;
        changed = true;
    }
    return changed;
}

bool SyncSystems::Expire(long long nowMonoUs, long long maxAgeUs) {
    bool any = false;
    for (auto it = m_systems.begin(); it != m_systems.end();) {
        if (nowMonoUs - it->second.lastSeenMonoUs > maxAgeUs) {
            it = m_systems.erase(it);
            any = true;
        } else {
            ++it;
        }
    }
    return any;
}

void SyncSystems::AppendJson(Json::Value& list, bool timestamps, long long nowMonoUs) const {
    for (auto& e : m_systems) {
        const SyncSystem& s = e.second;
        Json::Value v;
        v["address"] = s.address;
        v["hostname"] = s.hostname;
        v["mode"] = ModeText(s.mode, s.master);
        v["version"] = s.version;
        v["uuid"] = s.uuid;
        v["typeId"] = s.typeId;
        v["local"] = false;
        v["clockSynchronised"] = s.clockSynced;
        if (s.clockErrorUs >= 0) v["clockErrorUs"] = (Json::Int64)s.clockErrorUs;
        if (s.httpPort) v["httpPort"] = s.httpPort;
        long long offset;
        if (s.offset.Get(offset)) v["offsetMs"] = offset / 1000.0;
        v["secondsSinceSeen"] = (Json::Int64)((nowMonoUs - s.lastSeenMonoUs) / 1000000);
        if (timestamps) v["lastSeen"] = (Json::Int64)(s.lastSeenWallUs / 1000000);
        list.append(v);
    }
}
