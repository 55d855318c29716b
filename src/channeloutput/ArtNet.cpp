#include "channeloutput/ArtNet.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

#include "Warnings.h"
#include "ByteOrder.h"
#include "log.h"

ArtNetOutputData::ArtNetOutputData(const Json::Value& config) : UDPOutputData(config) {
    m_universe = JsonInt(config, "universe", 0);
    m_universeCount = std::max(1, JsonInt(config, "universeCount", 1));
    channelCount = std::min(channelCount, ARTNET_MAX_CHANNELS);
    if (type == 2 && address.empty()) address = "255.255.255.255";
    ResolveDestination(m_to, ARTNET_PORT);
    if (m_universe < 0 || (long long)m_universe + m_universeCount - 1 > ARTNET_MAX_UNIVERSE) {
        LogErr(VB_CHANNELOUT, "ArtNet output %s: universes %d-%d are outside 0-32767, disabling output\n",
               description.c_str(), m_universe, m_universe + m_universeCount - 1);
        if (active) {
            WarningHolder::AddWarning("ArtNet output " + description + ": universe " + std::to_string(m_universe) +
                                      " is outside 0-32767 - disabling output");
        }
        active = false;
        return;
    }
    if (!CheckChannelSpan(startChannel, (long long)channelCount * m_universeCount)) return;

    int pad = channelCount & 1;
    for (int u = 0; u < m_universeCount; ++u) {
        int universe = m_universe + u;
        Packet& p = AddPacket(ARTNET_HEADER_LEN, u * channelCount, channelCount, pad);
        uint8_t* h = p.header.data();
        memcpy(h, ARTNET_ID, sizeof(ARTNET_ID));
        PutLE16(h + ARTNET_OPCODE_AT, ARTNET_OP_DMX);
        PutBE16(h + ARTNET_VERSION_AT, ARTNET_PROTOCOL_VERSION);
        h[ARTNET_SEQUENCE_AT] = 0;
        h[ARTNET_PHYSICAL_AT] = 0;
        h[ARTNET_SUBUNI_AT] = (uint8_t)(universe & 0xFF);
        h[ARTNET_NET_AT] = (uint8_t)((universe >> 8) & 0x7F);
        PutBE16(h + ARTNET_LENGTH_AT, (uint16_t)(channelCount + pad));
    }
    FinishPackets();
}

ArtNetOutputData::~ArtNetOutputData() {}

void ArtNetOutputData::GetRequiredChannelRange(int& min, int& max) {
    min = startChannel - 1;
    max = startChannel - 1 + channelCount * m_universeCount - 1;
}

void ArtNetOutputData::PrepareData(unsigned char* channelData, UDPOutputMessages& msgs) {
    if (!valid || !active) return;
    // Broadcasts share the engine's broadcast socket.
    uint32_t key = type == 2 ? UDPOutputMessages::BROADCAST_KEY : m_to.sin_addr.s_addr;
    QueueChangedPackets(channelData, msgs, key, m_to);
}

void ArtNetOutputData::StampPacket(size_t, uint8_t* h) {
    // Sequence 0 tells nodes "not sequenced", so it runs 1..255, 1, ...
    h[ARTNET_SEQUENCE_AT] = h[ARTNET_SEQUENCE_AT] >= 255 ? 1 : h[ARTNET_SEQUENCE_AT] + 1;
}

void ArtNetOutputData::DumpConfig() {
    LogDebug(VB_CHANNELOUT, "ArtNet: %s   %d:%d:%d:%d  %s  universe %d+%d\n", description.c_str(), (int)active,
             startChannel, channelCount, type, address.c_str(), m_universe, m_universeCount);
}
