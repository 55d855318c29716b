#include "channeloutput/KiNet.h"

#include <algorithm>
#include <cstring>

#include "ByteOrder.h"
#include "log.h"

// Both forms: magic 04 01 DC 4A, protocol version 01 00 (LE 1).
//  v1 (21 bytes): 0 magic | 4 version | 6 type 01 01 | 8 zero(4) | 12 port | 13 zero(3) | 16 FF FF FF FF | 20 zero
//  v2 (24 bytes): 0 magic | 4 version | 6 type 08 01 | 8 sequence (LE32) | 12 FF FF FF FF | 16 port | 17 zero(3)
//                 | 20 512 (LE16) | 22 zero(2)
static const uint8_t KINET_MAGIC[4] = {0x04, 0x01, 0xDC, 0x4A};
static constexpr uint16_t KINET_VERSION = 0x0001;
static constexpr uint16_t KINET_V1_TYPE_DMXOUT = 0x0101;
static constexpr uint16_t KINET_V2_TYPE_PORTOUT = 0x0108;

KiNetOutputData::KiNetOutputData(const Json::Value& config) : UDPOutputData(config) {
    ResolveDestination(m_to, KINET_PORT);
    m_firstPort = JsonInt(config, "id", 1);
    m_universeCount = std::max(1, std::min(KINET_MAX_UNIVERSES, JsonInt(config, "universeCount", 1)));
    channelCount = std::min(channelCount, KINET_MAX_CHANNELS);
    if (!CheckChannelSpan(startChannel, (long long)channelCount * m_universeCount)) return;
    for (int u = 0; u < m_universeCount; ++u) {
        bool v2 = type == 7;
        Packet& p = AddPacket(v2 ? KINET_V2_HEADER_LEN : KINET_V1_HEADER_LEN, u * channelCount, channelCount);
        uint8_t* h = p.header.data();
        memcpy(h, KINET_MAGIC, 4);
        PutLE16(h + 4, KINET_VERSION);
        uint8_t port = (uint8_t)(m_firstPort + u);
        if (v2) {
            PutLE16(h + 6, KINET_V2_TYPE_PORTOUT);
            PutLE32(h + 8, 0);
            PutBE32(h + 12, 0xFFFFFFFF);
            h[16] = port;
            PutLE16(h + 20, 512);
        } else {
            PutLE16(h + 6, KINET_V1_TYPE_DMXOUT);
            h[12] = port;
            PutBE32(h + 16, 0xFFFFFFFF);
        }
    }
    FinishPackets();
}

KiNetOutputData::~KiNetOutputData() {}

void KiNetOutputData::GetRequiredChannelRange(int& min, int& max) {
    min = startChannel - 1;
    max = startChannel + channelCount * m_universeCount - 1;
}

void KiNetOutputData::PrepareData(unsigned char* channelData, UDPOutputMessages& msgs) {
    if (!valid || !active) return;
    QueueChangedPackets(channelData, msgs, m_to.sin_addr.s_addr, m_to);
}

void KiNetOutputData::StampPacket(size_t, uint8_t* h) {
    // Each universe's header counts its own datagrams.
    if (type == 7) PutLE32(h + 8, GetLE32(h + 8) + 1);
}

void KiNetOutputData::DumpConfig() {
    LogDebug(VB_CHANNELOUT, "KiNet: %s   %d:%d:%d:%d  %s\n", description.c_str(), (int)active, startChannel,
             channelCount, type, address.c_str());
}
