#include "bridge/E131Receiver.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "ByteOrder.h"
#include "Warnings.h"
#include "common.h"
#include "log.h"
#include "protocols/E131Wire.h"

const char* const E131_OVERSIZED = "longer than any E1.31 data packet";

// A flags+length field: the flags must be 0x7 and the length must reach
// exactly from the field to the end of the packet.
static bool PduFits(const uint8_t* buf, size_t len, int at) {
    uint16_t v = GetBE16(buf + at);
    return (v & ~E131_PDU_LENGTH_MASK) == E131_PDU_FLAGS && (size_t)(v & E131_PDU_LENGTH_MASK) == len - at;
}

const char* ParseE131(const uint8_t* buf, size_t len, E131Packet& out) {
    out = E131Packet();
    if (len < (size_t)E131_FRAMING_PDU_AT) return "shorter than an E1.31 root layer";
    if (GetBE16(buf) != E131_PREAMBLE_SIZE || GetBE16(buf + E131_POSTAMBLE_AT) != 0 ||
        memcmp(buf + E131_PACKET_ID_AT, E131_ACN_PACKET_ID, sizeof(E131_ACN_PACKET_ID)) != 0) {
        return "not an ACN packet";
    }
    uint32_t rootVector = GetBE32(buf + E131_ROOT_VECTOR_AT);
    if (rootVector == E131_VECTOR_ROOT_DATA && len > (size_t)E131_MAX_PACKET_LEN) return E131_OVERSIZED;
    if (!PduFits(buf, len, E131_ROOT_PDU_AT)) return "root layer length does not match the datagram";
    out.cid = buf + E131_CID_AT;
    if (rootVector == E131_VECTOR_ROOT_EXTENDED) {
        if (len < (size_t)E131_FRAMING_VECTOR_AT + 4) return "truncated extended packet";
        uint32_t vector = GetBE32(buf + E131_FRAMING_VECTOR_AT);
        if (vector == E131_VECTOR_EXTENDED_DISCOVERY) return nullptr;  // universe discovery: nothing to use
        if (vector != E131_VECTOR_EXTENDED_SYNC) return "unknown extended framing vector";
        if (len < (size_t)E131_SYNC_PACKET_LEN) return "truncated synchronization packet";
        if (!PduFits(buf, len, E131_FRAMING_PDU_AT)) return "framing layer length does not match the datagram";
        out.kind = E131PacketKind::Sync;
        out.sequence = buf[E131_SYNC_SEQUENCE_AT];
        out.syncAddress = GetBE16(buf + E131_SYNC_UNIVERSE_AT);
        return nullptr;
    }
    if (rootVector != E131_VECTOR_ROOT_DATA) return "unknown root vector";
    if (len < (size_t)E131_HEADER_LEN) return "truncated data packet";
    out.universe = GetBE16(buf + E131_UNIVERSE_AT);
    if (!PduFits(buf, len, E131_FRAMING_PDU_AT)) return "framing layer length does not match the datagram";
    if (GetBE32(buf + E131_FRAMING_VECTOR_AT) != E131_VECTOR_FRAMING_DATA) return "unknown framing vector";
    if (!PduFits(buf, len, E131_DMP_PDU_AT)) return "DMP layer length does not match the datagram";
    if (buf[E131_DMP_VECTOR_AT] != E131_VECTOR_DMP_SET_PROPERTY || buf[E131_DMP_TYPE_AT] != E131_DMP_ADDRESS_DATA_TYPE ||
        GetBE16(buf + E131_FIRST_ADDRESS_AT) != 0 || GetBE16(buf + E131_ADDRESS_INCREMENT_AT) != 1) {
        return "unexpected DMP layer fields";
    }
    size_t count = GetBE16(buf + E131_PROPERTY_COUNT_AT);
    if (count < 1 || E131_START_CODE_AT + count != len) return "property count does not match the datagram";
    if (buf[E131_PRIORITY_AT] > E131_MAX_PRIORITY) return "priority above 200";
    if (out.universe < E131_MIN_UNIVERSE || out.universe > E131_MAX_UNIVERSE) return "universe outside 1-63999";
    out.kind = E131PacketKind::Data;
    out.sourceName = (const char*)buf + E131_SOURCE_NAME_AT;
    out.sourceNameLength = strnlen(out.sourceName, E131_SOURCE_NAME_LEN);
    out.priority = buf[E131_PRIORITY_AT];
    out.syncAddress = GetBE16(buf + E131_SYNC_ADDRESS_AT);
    out.sequence = buf[E131_SEQUENCE_AT];
    out.options = buf[E131_OPTIONS_AT];
    out.startCode = buf[E131_START_CODE_AT];
    out.data = buf + E131_HEADER_LEN;
    out.length = count - 1;
    return nullptr;
}

void E131Receiver::Prepare(const InputsConfig& cfg) {
    MapUniverses();
    std::vector<int> groups;
    for (LiveInput* in : m_inputs) {
        if (!in->config.multicast) continue;
        for (int i = 0; i < in->config.universeCount; ++i) groups.push_back(in->config.universe + i);
    }
    if (groups.empty() || m_fd < 0) return;
    if (!cfg.address.empty()) {
        LogWarn(VB_E131BRIDGE,
                "E1.31 input listens on %s only, so its %d multicast universe(s) are not received; leave \"address\" "
                "out of the inputs file to receive them\n",
                cfg.address.c_str(), (int)groups.size());
        return;
    }
    // A named interface is joined by its address (struct ip_mreq), as the
    // sync transport does: the user-mode emulator the arm64 build is tested
    // under drops the index of a struct ip_mreqn. One without an IPv4
    // address is joined by its index.
    ip_mreqn req;
    memset(&req, 0, sizeof(req));
    req.imr_address.s_addr = htonl(INADDR_ANY);
    bool byAddress = false;
    if (!cfg.interface.empty()) {
        byAddress = InterfaceIPv4Address(cfg.interface, req.imr_address);
        if (!byAddress) req.imr_ifindex = (int)if_nametoindex(cfg.interface.c_str());
        if (!byAddress && req.imr_ifindex == 0) {
            LogErr(VB_E131BRIDGE, "E1.31 input: interface \"%s\" does not exist; joining multicast groups where the "
                                  "routing table says\n", cfg.interface.c_str());
        }
    }
    int joined = 0;
    std::string failure;
    for (int universe : groups) {
        req.imr_multiaddr.s_addr = htonl(E131MulticastGroup(universe));
        ip_mreq byAddr{req.imr_multiaddr, req.imr_address};
        int rc = byAddress ? setsockopt(m_fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &byAddr, sizeof(byAddr))
                           : setsockopt(m_fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &req, sizeof(req));
        if (rc == 0) {
            ++joined;
        } else if (failure.empty()) {
            failure = "universe " + std::to_string(universe) + ": " + strerror(errno);
            if (errno == ENOBUFS) failure += " (the system's limit, net.ipv4.igmp_max_memberships, is reached)";
        }
    }
    if (joined < (int)groups.size()) {
        std::string text = "E1.31 input joined " + std::to_string(joined) + " of " + std::to_string(groups.size()) +
                           " multicast groups; the first that failed: " + failure;
        LogErr(VB_E131BRIDGE, "%s\n", text.c_str());
        WarningHolder::AddWarning(text);
    } else {
        LogInfo(VB_E131BRIDGE, "E1.31 input joined %d multicast group(s)%s%s\n", joined,
                cfg.interface.empty() ? "" : " on ", cfg.interface.c_str());
    }
}

void E131Receiver::DropGone(int universe, Universe& u, long long nowUs) {
    for (size_t i = 0; i < u.sources.size();) {
        if (nowUs - u.sources[i].lastSeenUs <= (long long)E131_NETWORK_DATA_LOSS_MS * 1000) {
            ++i;
            continue;
        }
        LogInfo(VB_E131BRIDGE, "E1.31 source \"%s\" silent on universe %d for %d ms: dropped\n",
                u.sources[i].name.c_str(), universe, E131_NETWORK_DATA_LOSS_MS);
        u.sources.erase(u.sources.begin() + i);
        if (u.holder == (int)i) {
            u.holder = -1;
        } else if (u.holder > (int)i) {
            --u.holder;
        }
    }
}

int E131Receiver::ChooseHolder(Universe& u, long long nowUs) {
    int best = -1;
    for (size_t i = 0; i < u.sources.size(); ++i) {
        const E131Source& s = u.sources[i];
        if (best < 0 || s.priority > u.sources[best].priority ||
            (s.priority == u.sources[best].priority && s.lastSeenUs > u.sources[best].lastSeenUs)) {
            best = (int)i;
        }
    }
    // Among equals the source that has the universe keeps it while its data
    // is live; data past the input's timeout is gone from the outputs, and
    // a source still sending takes over rather than waiting for the 2.5 s.
    if (best >= 0 && u.holder >= 0 && u.sources[u.holder].priority == u.sources[best].priority &&
        nowUs - u.sources[u.holder].lastSeenUs <= InputTimeoutUs(*u.input)) {
        best = u.holder;
    }
    u.holder = best;
    return best;
}

void E131Receiver::Handle(const uint8_t* buf, size_t len, const sockaddr_in& from, long long nowUs) {
    E131Packet p;
    if (const char* why = ParseE131(buf, len, p)) {
        Refuse(why, why == E131_OVERSIZED, p.universe);
        return;
    }
    if (p.kind != E131PacketKind::Data || (p.options & E131_OPTION_PREVIEW)) {
        ++m_stats.ignored;
        return;
    }
    Universe* at = Arrived(p.universe, len, nowUs);
    if (!at) return;
    Universe& u = *at;
    LiveInput& in = *u.input;
    if (p.startCode != E131_START_CODE_DIMMER) {
        ++m_stats.ignored;
        return;
    }
    // Sources gone quiet go before the packet's own is looked up, so that
    // its index stays what the choice below returns.
    DropGone(p.universe, u, nowUs);
    int s = -1;
    for (size_t i = 0; i < u.sources.size(); ++i) {
        if (memcmp(u.sources[i].cid, p.cid, 16) == 0) {
            s = (int)i;
            break;
        }
    }
    if (p.options & E131_OPTION_TERMINATED) {
        if (s >= 0) {
            LogInfo(VB_E131BRIDGE, "E1.31 source \"%s\" ended its stream on universe %d\n", u.sources[s].name.c_str(),
                    p.universe);
            u.sources.erase(u.sources.begin() + s);
            u.holder = -1;
            ChooseHolder(u, nowUs);
            // Nobody is left to fill the universe: dark now, not at the timeout.
            if (u.sources.empty()) Blank(p.universe, u, nowUs);
        }
        return;
    }
    if (s < 0) {
        if (u.sources.size() >= MAX_SOURCES_PER_UNIVERSE) {
            ++m_stats.ignored;
            return;
        }
        E131Source src;
        memcpy(src.cid, p.cid, 16);
        src.name.assign(p.sourceName, p.sourceNameLength);
        src.sequence = (uint8_t)(p.sequence - 1);
        u.sources.push_back(src);
        s = (int)u.sources.size() - 1;
        LogInfo(VB_E131BRIDGE, "E1.31 source \"%s\" at %s sends universe %d with priority %d\n", src.name.c_str(),
                AddressText(from).c_str(), p.universe, p.priority);
    } else {
        int8_t step = (int8_t)(p.sequence - u.sources[s].sequence);
        if (step <= 0 && step > -E131_SEQUENCE_WINDOW) {
            ++in.stats.outOfOrder;
            return;
        }
        if (step > 1) in.stats.sequenceGaps += step - 1;
    }
    E131Source& src = u.sources[s];
    src.sequence = p.sequence;
    src.priority = p.priority;
    src.address = from.sin_addr.s_addr;
    src.lastSeenUs = nowUs;
    ++src.packets;
    if (ChooseHolder(u, nowUs) == s) Take(p.universe, u, p.data, p.length, nowUs);
}

std::vector<SourceReport> E131Receiver::Sources(const LiveInput& in, long long nowUs) const {
    auto cid = [](const Universe& u, size_t i) {
        const uint8_t* c = u.sources[i].cid;
        char text[40];
        snprintf(text, sizeof(text), "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", c[0], c[1],
                 c[2], c[3], c[4], c[5], c[6], c[7], c[8], c[9], c[10], c[11], c[12], c[13], c[14], c[15]);
        return std::string(text);
    };
    return Report(in, nowUs, cid, [&](SourceReport& r, const Universe& u, size_t i) {
        r.cid = cid(u, i);
        r.name = u.sources[i].name;
        r.priority = std::max(r.priority, (int)u.sources[i].priority);
        r.active = r.active || u.holder == (int)i;
    });
}
