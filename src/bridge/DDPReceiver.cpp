#include "bridge/DDPReceiver.h"

#include <arpa/inet.h>

#include <algorithm>

#include "ByteOrder.h"
#include "log.h"
#include "protocols/DDPWire.h"

const char* ParseDDP(const uint8_t* buf, size_t len, DDPPacket& out) {
    out = DDPPacket();
    if (len < (size_t)DDP_HEADER_LEN) return "shorter than a DDP header";
    out.flags = buf[0];
    if ((out.flags & DDP_FLAGS_VERSION_MASK) != DDP_FLAGS_VER1) return "not DDP version 1";
    size_t header = (out.flags & DDP_FLAGS_TIMECODE) ? DDP_TIMECODE_HEADER_LEN : DDP_HEADER_LEN;
    if (len < header) return "truncated DDP header";
    out.sequence = buf[DDP_SEQUENCE_AT] & DDP_SEQUENCE_MASK;
    out.dataType = buf[DDP_TYPE_AT];
    out.id = buf[DDP_ID_AT];
    out.offset = GetBE32(buf + DDP_OFFSET_AT);
    out.push = (out.flags & DDP_FLAGS_PUSH) != 0;
    if (out.flags & (DDP_FLAGS_QUERY | DDP_FLAGS_REPLY)) {
        out.kind = (out.flags & DDP_FLAGS_REPLY) ? DDPPacketKind::Other : DDPPacketKind::Query;
        return nullptr;
    }
    out.kind = (out.id == DDP_ID_DISPLAY || out.id == DDP_ID_ALL) ? DDPPacketKind::Data : DDPPacketKind::Other;
    out.length = GetBE16(buf + DDP_LENGTH_AT);
    if (header + out.length > len) return "DDP length past the end of the datagram";
    if ((uint64_t)out.offset + out.length > UINT32_MAX) return "DDP data past the 4 GiB offset space";
    out.data = buf + header;
    return nullptr;
}

// The packet's bytes [offset, end) reach into the input's range.
static bool Reaches(const LiveInput& in, uint64_t offset, uint64_t end) {
    uint64_t first = in.config.ddpOffset, last = first + in.config.channelCount;
    return end > first && offset < last;
}

long long DDPReceiver::QuietUs() const {
    return m_pushSeenUs && m_lastUs - m_pushSeenUs < PUSH_MEMORY_US ? PUSH_WAIT_US : QUIET_US;
}

DDPReceiver::Source* DDPReceiver::Find(const sockaddr_in& from, long long nowUs) {
    // By address alone: a sender may spread a frame over several sockets.
    for (auto& s : m_sources) {
        if (s.address == from.sin_addr.s_addr) return &s;
    }
    // Forget senders silent for a while before taking a new one.
    m_sources.erase(std::remove_if(m_sources.begin(), m_sources.end(),
                                   [&](const Source& s) {
                                       return nowUs - s.lastSeenUs > SOURCE_GONE_US;
                                   }),
                    m_sources.end());
    if (m_sources.size() >= MAX_SOURCES) return nullptr;
    m_sources.emplace_back();
    Source& s = m_sources.back();
    s.address = from.sin_addr.s_addr;
    LogInfo(VB_E131BRIDGE, "DDP source %s sends data\n", AddressText(from).c_str());
    return &s;
}

void DDPReceiver::Handle(const uint8_t* buf, size_t len, const sockaddr_in& from, long long nowUs) {
    DDPPacket p;
    const char* why = ParseDDP(buf, len, p);
    if (why) {
        m_stats.Malformed(why);
        // Counted on the inputs its header says it was meant for.
        if (p.kind == DDPPacketKind::Data) {
            for (LiveInput* in : m_inputs) {
                if (Reaches(*in, p.offset, (uint64_t)p.offset + std::max<size_t>(p.length, 1))) ++in->stats.errors;
            }
        }
        return;
    }
    if (p.kind != DDPPacketKind::Data) {
        ++m_stats.ignored;
        return;
    }
    m_lastUs = nowUs;
    uint64_t end = (uint64_t)p.offset + p.length;
    bool used = false;
    Source* src = nullptr;
    for (LiveInput* in : m_inputs) {
        if (p.length == 0 || !Reaches(*in, p.offset, end)) continue;
        uint64_t first = in->config.ddpOffset, last = first + in->config.channelCount;
        if (!used) {
            src = Find(from, nowUs);
            if (!src) {
                ++m_stats.ignored;
                return;
            }
            if (p.sequence && src->sequence) {
                int ahead = ((int)p.sequence - (int)src->sequence + 15) % 15;
                if (ahead > 1) in->stats.sequenceGaps += ahead - 1;
            }
            src->sequence = p.sequence;
            src->lastSeenUs = nowUs;
            ++src->packets;
            if (p.push) src->pushSeenUs = m_pushSeenUs = nowUs;
            if (m_frame.Held(p.offset)) Deliver(nowUs);
        }
        used = true;
        in->stats.Count(len, nowUs);
        if (std::find(src->inputs.begin(), src->inputs.end(), in) == src->inputs.end()) src->inputs.push_back(in);
        uint64_t from64 = std::max<uint64_t>(first, p.offset);
        uint64_t to64 = std::min<uint64_t>(last, end);
        Store(*in, (uint32_t)(from64 - first), p.data + (from64 - p.offset), (size_t)(to64 - from64), nowUs);
    }
    if (!used) {
        // A push without data still ends the frame the sender built.
        if (p.push && m_frame.Pending()) {
            Deliver(nowUs);
        } else {
            m_stats.Unconfigured(-1);
        }
        return;
    }
    m_frame.Hold(p.offset, nowUs);
    bool waitsForPush = src->pushSeenUs && nowUs - src->pushSeenUs < PUSH_MEMORY_US;
    if (p.push || (!waitsForPush && m_frame.Complete())) Deliver(nowUs);
}

std::vector<SourceReport> DDPReceiver::Sources(const LiveInput& in, long long nowUs) const {
    std::vector<SourceReport> list;
    for (const Source& s : m_sources) {
        if (nowUs - s.lastSeenUs > SOURCE_GONE_US) continue;
        if (std::find(s.inputs.begin(), s.inputs.end(), &in) == s.inputs.end()) continue;
        SourceReport r;
        sockaddr_in a;
        a.sin_addr.s_addr = s.address;
        r.address = AddressText(a);
        r.active = true;
        r.packets = s.packets;
        r.lastSeenUs = s.lastSeenUs;
        list.push_back(r);
    }
    return list;
}
