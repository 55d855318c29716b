#include "bridge/ArtNetReceiver.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "ByteOrder.h"
#include "common.h"
#include "log.h"
#include "protocols/ArtNetWire.h"
#include "settings.h"

const char* const ARTNET_OVERSIZED = "ArtDmx longer than 512 channels";

// A sequence number this far behind the last one is a stale packet.
static constexpr int ARTNET_SEQUENCE_WINDOW = 20;
static constexpr size_t MAX_SOURCES_PER_UNIVERSE = 16;
// Consoles poll every few seconds; more than this in a second is a flood.
static constexpr int MAX_POLLS_PER_SECOND = 20;

const char* ParseArtNet(const uint8_t* buf, size_t len, ArtNetPacket& out) {
    out = ArtNetPacket();
    if (len < (size_t)ARTNET_VERSION_AT) return "shorter than an Art-Net header";
    if (memcmp(buf, ARTNET_ID, sizeof(ARTNET_ID)) != 0) return "not an Art-Net packet";
    out.opcode = GetLE16(buf + ARTNET_OPCODE_AT);
    if (out.opcode == ARTNET_OP_POLL) {
        if (len < (size_t)ARTNET_POLL_MIN_LEN) return "truncated ArtPoll";
        out.kind = ArtNetPacketKind::Poll;
        return nullptr;
    }
    if (out.opcode != ARTNET_OP_DMX) return nullptr;  // another opcode: nothing to use
    if (len < (size_t)ARTNET_HEADER_LEN) return "truncated ArtDmx";
    out.universe = buf[ARTNET_SUBUNI_AT] | (int)(buf[ARTNET_NET_AT] & 0x7F) << 8;
    if (GetBE16(buf + ARTNET_VERSION_AT) < ARTNET_PROTOCOL_VERSION) return "Art-Net protocol version below 14";
    size_t count = GetBE16(buf + ARTNET_LENGTH_AT);
    if (count > (size_t)ARTNET_MAX_CHANNELS) return ARTNET_OVERSIZED;
    if (count < 1) return "ArtDmx without channels";
    if (ARTNET_HEADER_LEN + count > len) return "ArtDmx length past the end of the datagram";
    out.kind = ArtNetPacketKind::Dmx;
    out.sequence = buf[ARTNET_SEQUENCE_AT];
    out.physical = buf[ARTNET_PHYSICAL_AT];
    out.data = buf + ARTNET_HEADER_LEN;
    out.length = count;
    return nullptr;
}

static void PutText(uint8_t* at, const std::string& text, size_t room) {
    memcpy(at, text.data(), std::min(text.size(), room - 1));  // the rest stays 0: NUL-terminated
}

std::vector<uint8_t> BuildArtPollReply(uint32_t ip, const std::string& shortName, const std::string& longName,
                                       const std::string& report, int netSubnet, const std::vector<int>& universes,
                                       int bindIndex) {
    std::vector<uint8_t> r(ARTNET_POLL_REPLY_LEN, 0);
    uint8_t* b = r.data();
    memcpy(b, ARTNET_ID, sizeof(ARTNET_ID));
    PutLE16(b + ARTNET_OPCODE_AT, ARTNET_OP_POLL_REPLY);
    memcpy(b + ARTNET_REPLY_IP_AT, &ip, 4);
    PutLE16(b + ARTNET_REPLY_PORT_AT, ARTNET_PORT);
    b[ARTNET_REPLY_NET_AT] = (uint8_t)(netSubnet >> 8 & 0x7F);
    b[ARTNET_REPLY_SUBNET_AT] = (uint8_t)(netSubnet >> 4 & 0x0F);
    PutText(b + ARTNET_REPLY_SHORT_NAME_AT, shortName, ARTNET_REPLY_SHORT_NAME_LEN);
    PutText(b + ARTNET_REPLY_LONG_NAME_AT, longName, ARTNET_REPLY_LONG_NAME_LEN);
    PutText(b + ARTNET_REPLY_REPORT_AT, report, ARTNET_REPLY_REPORT_LEN);
    size_t ports = std::min(universes.size(), (size_t)ARTNET_REPLY_MAX_PORTS);
    PutBE16(b + ARTNET_REPLY_PORT_COUNT_AT, (uint16_t)ports);
    for (size_t i = 0; i < ports; ++i) {
        b[ARTNET_REPLY_PORT_TYPES_AT + i] = ARTNET_PORT_TYPE_OUTPUT_DMX;
        b[ARTNET_REPLY_GOOD_OUTPUT_AT + i] = ARTNET_GOOD_OUTPUT_DATA;
        b[ARTNET_REPLY_SW_OUT_AT + i] = (uint8_t)(universes[i] & 0x0F);
    }
    b[ARTNET_REPLY_STYLE_AT] = ARTNET_STYLE_NODE;
    memcpy(b + ARTNET_REPLY_BIND_IP_AT, &ip, 4);
    b[ARTNET_REPLY_BIND_INDEX_AT] = (uint8_t)bindIndex;
    b[ARTNET_REPLY_STATUS2_AT] = ARTNET_STATUS2_PORT_ADDRESS_15BIT;
    return r;
}

void ArtNetReceiver::Prepare(const InputsConfig& cfg) {
    MapUniverses();
    m_listenAddress = cfg.address;
    m_shortName = cfg.name.empty() ? getSetting("HostName", "kivd") : cfg.name;
    if (m_shortName.empty()) m_shortName = "kivd";
}

std::vector<std::vector<uint8_t>> ArtNetReceiver::PollReplies(uint32_t ip) const {
    std::map<int, std::vector<int>> bySubnet;  // sorted, so replies come in a stable order
    for (auto& u : m_universes) bySubnet[u.first & 0x7FF0].push_back(u.first);
    std::vector<std::vector<uint8_t>> replies;
    int bindIndex = 1;
    std::string report = "#0001 [" + std::to_string(m_stats.polls % 10000) + "] kivd takes " +
                         std::to_string(m_universes.size()) + " universe(s)";
    for (auto& s : bySubnet) {
        std::vector<int>& list = s.second;
        std::sort(list.begin(), list.end());
        for (size_t i = 0; i < list.size(); i += ARTNET_REPLY_MAX_PORTS) {
            std::vector<int> ports(list.begin() + i, list.begin() + std::min(list.size(), i + ARTNET_REPLY_MAX_PORTS));
            replies.push_back(BuildArtPollReply(ip, m_shortName, "kivd show controller " + m_shortName, report,
                                                s.first, ports, bindIndex++));
        }
    }
    return replies;
}

void ArtNetReceiver::Reply(const sockaddr_in& from, long long nowUs) {
    if (nowUs - m_pollWindowUs >= 1000000) {
        m_pollWindowUs = nowUs;
        m_pollsInWindow = 0;
    }
    if (++m_pollsInWindow > MAX_POLLS_PER_SECOND) {
        ++m_stats.ignored;
        return;
    }
    ++m_stats.polls;
    sockaddr_in local;
    memset(&local, 0, sizeof(local));
    local.sin_family = AF_INET;
    if (!m_listenAddress.empty()) {
        inet_pton(AF_INET, m_listenAddress.c_str(), &local.sin_addr);
    } else {
        // The address the poller reaches this board on: the route to it.
        int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        socklen_t size = sizeof(local);
        if (probe < 0 || connect(probe, (const sockaddr*)&from, sizeof(from)) != 0 ||
            getsockname(probe, (sockaddr*)&local, &size) != 0) {
            memset(&local, 0, sizeof(local));
        }
        if (probe >= 0) close(probe);
    }
    sockaddr_in to = from;
    to.sin_port = htons(ARTNET_PORT);
    for (auto& r : PollReplies(local.sin_addr.s_addr)) {
        sendto(m_fd, r.data(), r.size(), MSG_DONTWAIT, (const sockaddr*)&to, sizeof(to));
    }
}

void ArtNetReceiver::Handle(const uint8_t* buf, size_t len, const sockaddr_in& from, long long nowUs) {
    ArtNetPacket p;
    if (const char* why = ParseArtNet(buf, len, p)) {
        Refuse(why, why == ARTNET_OVERSIZED, p.universe);
        return;
    }
    if (p.kind == ArtNetPacketKind::Poll) {
        if (m_fd >= 0) Reply(from, nowUs);
        return;
    }
    if (p.kind != ArtNetPacketKind::Dmx) {
        ++m_stats.ignored;
        return;
    }
    Universe* at = Arrived(p.universe, len, nowUs);
    if (!at) return;
    Universe& u = *at;
    LiveInput& in = *u.input;
    Sender* src = nullptr;
    for (auto it = u.sources.begin(); it != u.sources.end();) {
        if (it->address == from.sin_addr.s_addr) {
            src = &*it;
            break;
        }
        // A sender silent this long has gone; its place is free.
        if (nowUs - it->lastSeenUs > SOURCE_GONE_US) {
            it = u.sources.erase(it);
        } else {
            ++it;
        }
    }
    if (!src) {
        if (u.sources.size() >= MAX_SOURCES_PER_UNIVERSE) {
            ++m_stats.ignored;
            return;
        }
        u.sources.emplace_back();
        src = &u.sources.back();
        src->address = from.sin_addr.s_addr;
        LogInfo(VB_E131BRIDGE, "Art-Net source %s sends universe %d\n", AddressText(from).c_str(), p.universe);
    } else if (p.sequence != 0 && src->sequence != 0) {
        // Sequence numbers run 1..255, 1, ...; 0 means the sender does not number.
        int ahead = ((int)p.sequence - (int)src->sequence + 255) % 255;
        if (ahead == 0 || ahead > 255 - ARTNET_SEQUENCE_WINDOW) {
            ++in.stats.outOfOrder;
            return;
        }
        if (ahead > 1) in.stats.sequenceGaps += ahead - 1;
    }
    src->sequence = p.sequence;
    src->lastSeenUs = nowUs;
    ++src->packets;
    u.lastSource = src->address;
    Take(p.universe, u, p.data, p.length, nowUs);
}

std::vector<SourceReport> ArtNetReceiver::Sources(const LiveInput& in, long long nowUs) const {
    return Report(
        in, nowUs, [](const Universe& u, size_t i) { return std::to_string(u.sources[i].address); },
        [](SourceReport& r, const Universe& u, size_t i) {
            r.active = r.active || u.lastSource == u.sources[i].address;
        });
}
