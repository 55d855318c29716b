#include "channeloutput/E131.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "Warnings.h"
#include "ByteOrder.h"
#include "log.h"
#include "settings.h"

// E1.31 data packet (all fields big-endian), 126 bytes before the channels:
//   Root layer     0 preamble size 0x0010 | 2 postamble 0 | 4 "ASC-E1.17\0\0\0" | 16 flags+length
//                 18 vector 0x00000004 | 22 CID (16)
//   Framing layer 38 flags+length | 40 vector 0x00000002 | 44 source name (64, NUL-terminated)
//                108 priority | 109 sync address 0 | 111 sequence | 112 options 0 | 113 universe
//   DMP layer    115 flags+length | 117 vector 0x02 | 118 address & data type 0xA1 | 119 first address 0
//                121 increment 1 | 123 property count 1 + n | 125 start code 0 | 126 channels
// flags+length: 0x7000 | bytes from the field to the end of the packet.
static const uint8_t ACN_PACKET_ID[12] = {'A', 'S', 'C', '-', 'E', '1', '.', '1', '7', 0, 0, 0};
static constexpr uint16_t E131_PREAMBLE_SIZE = 0x0010;
static constexpr uint32_t VECTOR_ROOT_E131_DATA = 0x00000004;
static constexpr uint32_t VECTOR_E131_DATA_PACKET = 0x00000002;
static constexpr uint8_t VECTOR_DMP_SET_PROPERTY = 0x02;
static constexpr uint8_t DMP_ADDRESS_DATA_TYPE = 0xA1;
static constexpr uint16_t PDU_FLAGS = 0x7000;
static constexpr int ROOT_PDU_AT = 16, FRAMING_PDU_AT = 38, DMP_PDU_AT = 115;
static constexpr int SEQUENCE_AT = 111;
static constexpr int SOURCE_NAME_LEN = 64;

// Used when neither "cid" nor a UUID in the "SystemUUID" setting names this
// sender; stable across restarts so receivers keep recognising the source.
static const uint8_t DEFAULT_CID[16] = {0x4b, 0x49, 0x56, 0x2d, 0x45, 0x31, 0x33, 0x31,
                                        0x80, 0x00, 0x4b, 0x49, 0x56, 0x64, 0x00, 0x01};

bool E131OutputData::ParseCid(const std::string& text, uint8_t cid[16]) {
    uint8_t out[16];
    int nibbles = 0;
    for (char c : text) {
        if (c == '-') continue;
        int v;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else return false;
        if (nibbles >= 32) return false;
        if (nibbles % 2 == 0) out[nibbles / 2] = (uint8_t)(v << 4);
        else out[nibbles / 2] |= (uint8_t)v;
        ++nibbles;
    }
    if (nibbles != 32) return false;
    memcpy(cid, out, 16);
    return true;
}

E131OutputData::E131OutputData(const Json::Value& config) : UDPOutputData(config) {
    m_universe = JsonInt(config, "universe", 1);
    m_universeCount = std::max(1, JsonInt(config, "universeCount", 1));
    channelCount = std::min(channelCount, E131_MAX_CHANNELS);
    m_priority = std::max(0, std::min(E131_MAX_PRIORITY, JsonInt(config, "priority", E131_DEFAULT_PRIORITY)));
    m_sourceName = config.isMember("sourceName") && config["sourceName"].isString() ? config["sourceName"].asString()
                                                                                   : std::string("KIV");
    std::string cidText = config.isMember("cid") && config["cid"].isString() ? config["cid"].asString() : "";
    if (!ParseCid(cidText, m_cid)) {
        if (!cidText.empty()) {
            LogErr(VB_CHANNELOUT, "E1.31 output %s: \"cid\" %s is not a UUID, using the default\n",
                   description.c_str(), cidText.c_str());
        }
        if (!ParseCid(getSetting("SystemUUID", ""), m_cid)) memcpy(m_cid, DEFAULT_CID, 16);
    }

    if (type == 1) {
        ResolveDestination(m_to, E131_PORT);
    } else {
        memset(&m_to, 0, sizeof(m_to));
        m_to.sin_family = AF_INET;
        m_to.sin_port = htons(E131_PORT);
    }
    if (m_universe < E131_MIN_UNIVERSE || (long long)m_universe + m_universeCount - 1 > E131_MAX_UNIVERSE) {
        LogErr(VB_CHANNELOUT, "E1.31 output %s: universes %d-%d are outside 1-63999, disabling output\n",
               description.c_str(), m_universe, m_universe + m_universeCount - 1);
        if (active) {
            WarningHolder::AddWarning("E1.31 output " + description + ": universe " + std::to_string(m_universe) +
                                      " is outside 1-63999 - disabling output");
        }
        active = false;
        return;
    }
    if (!CheckChannelSpan(startChannel, (long long)channelCount * m_universeCount)) return;

    for (int u = 0; u < m_universeCount; ++u) {
        int universe = m_universe + u;
        int total = E131_HEADER_LEN + channelCount;
        Packet& p = AddPacket(E131_HEADER_LEN, u * channelCount, channelCount);
        uint8_t* h = p.header.data();
        PutBE16(h + 0, E131_PREAMBLE_SIZE);
        PutBE16(h + 2, 0);
        memcpy(h + 4, ACN_PACKET_ID, sizeof(ACN_PACKET_ID));
        PutBE16(h + ROOT_PDU_AT, (uint16_t)(PDU_FLAGS | (total - ROOT_PDU_AT)));
        PutBE32(h + 18, VECTOR_ROOT_E131_DATA);
        memcpy(h + 22, m_cid, 16);
        PutBE16(h + FRAMING_PDU_AT, (uint16_t)(PDU_FLAGS | (total - FRAMING_PDU_AT)));
        PutBE32(h + 40, VECTOR_E131_DATA_PACKET);
        strncpy((char*)h + 44, m_sourceName.c_str(), SOURCE_NAME_LEN - 1);
        h[108] = (uint8_t)m_priority;
        PutBE16(h + 109, 0);
        h[SEQUENCE_AT] = 0;
        h[112] = 0;
        PutBE16(h + 113, (uint16_t)universe);
        PutBE16(h + DMP_PDU_AT, (uint16_t)(PDU_FLAGS | (total - DMP_PDU_AT)));
        h[117] = VECTOR_DMP_SET_PROPERTY;
        h[118] = DMP_ADDRESS_DATA_TYPE;
        PutBE16(h + 119, 0);
        PutBE16(h + 121, 1);
        PutBE16(h + 123, (uint16_t)(1 + channelCount));
        h[125] = 0;  // start code: dimmer data
        if (type == 0) {
            sockaddr_in group = m_to;
            group.sin_addr.s_addr = htonl((239u << 24) | (255u << 16) | ((uint32_t)(universe >> 8) << 8) |
                                          (uint32_t)(universe & 0xFF));
            m_packetTo.push_back(group);
        }
    }
    FinishPackets();
}

E131OutputData::~E131OutputData() {}

void E131OutputData::GetRequiredChannelRange(int& min, int& max) {
    min = startChannel - 1;
    max = startChannel - 1 + channelCount * m_universeCount - 1;
}

void E131OutputData::PrepareData(unsigned char* channelData, UDPOutputMessages& msgs) {
    if (!valid || !active) return;
    uint32_t key = type == 0 ? UDPOutputMessages::MULTICAST_KEY : m_to.sin_addr.s_addr;
    QueueChangedPackets(channelData, msgs, key, m_to);
}

void E131OutputData::StampPacket(size_t, uint8_t* h) {
    // Each universe numbers its own packets; 255 is followed by 0.
    h[SEQUENCE_AT] = (uint8_t)(h[SEQUENCE_AT] + 1);
}

void E131OutputData::DumpConfig() {
    LogDebug(VB_CHANNELOUT, "E1.31: %s   %d:%d:%d:%d  %s  universe %d+%d  priority %d  source \"%s\"\n",
             description.c_str(), (int)active, startChannel, channelCount, type,
             type == 0 ? "multicast" : address.c_str(), m_universe, m_universeCount, m_priority,
             m_sourceName.c_str());
}
