#include "channeloutput/DDP.h"

#include <algorithm>
#include <cstring>

#include "ByteOrder.h"
#include "log.h"

DDPOutputData::DDPOutputData(const Json::Value& config) : UDPOutputData(config) {
    ResolveDestination(m_to, DDP_PORT);
    if (!CheckChannelSpan(startChannel, channelCount)) return;
    // Type 4 addresses the controller by absolute channel, type 5 from 0.
    int base = type == 5 ? 0 : startChannel - 1;
    int count = (channelCount + DDP_MAX_DATA - 1) / DDP_MAX_DATA;
    for (int i = 0; i < count; ++i) {
        int offset = i * DDP_MAX_DATA;
        int len = std::min(DDP_MAX_DATA, channelCount - offset);
        Packet& p = AddPacket(DDP_HEADER_LEN, offset, len);
        uint8_t* h = p.header.data();
        h[0] = DDP_FLAGS_VER1 | (i == count - 1 ? DDP_FLAGS_PUSH : 0);
        h[DDP_SEQUENCE_AT] = 0;
        h[DDP_TYPE_AT] = 0;  // data type: undefined, the controller knows its pixels
        h[DDP_ID_AT] = DDP_ID_DISPLAY;
        PutBE32(h + DDP_OFFSET_AT, (uint32_t)(base + offset));
        PutBE16(h + DDP_LENGTH_AT, (uint16_t)len);
    }
    FinishPackets();
}

DDPOutputData::~DDPOutputData() {}

void DDPOutputData::PrepareData(unsigned char* channelData, UDPOutputMessages& msgs) {
    if (!valid || !active) return;
    bool queued = false;
    size_t last = m_packets.size() - 1;
    for (size_t i = 0; i < m_packets.size(); ++i) {
        Packet& p = m_packets[i];
        bool unchanged = !NeedToOutputFrame(channelData, startChannel - 1, p.offset, p.length);
        // The push packet goes whenever anything of the frame went, or the
        // controller would never show the changed part.
        if (unchanged && (i != last || !queued)) {
            NoteSkipped();
            continue;
        }
        QueuePacket(msgs, m_to.sin_addr.s_addr, m_to, i, channelData);
        NoteQueued(i, m_to.sin_addr.s_addr);
        queued = true;
    }
    if (queued) SaveFrame(channelData + startChannel - 1, channelCount);
}

void DDPOutputData::StampPacket(size_t, uint8_t* h) {
    h[DDP_SEQUENCE_AT] = m_sequence & DDP_SEQUENCE_MASK;
    m_sequence = m_sequence >= 15 ? 1 : m_sequence + 1;
}

void DDPOutputData::DumpConfig() {
    LogDebug(VB_CHANNELOUT, "DDP: %s   %d:%d:%d:%d  %s\n", description.c_str(), (int)active, startChannel,
             channelCount, type, address.c_str());
}
