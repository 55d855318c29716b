#include "channeloutput/E131.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "Warnings.h"
#include "ByteOrder.h"
#include "log.h"
#include "settings.h"

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
        PutBE16(h + E131_POSTAMBLE_AT, 0);
        memcpy(h + E131_PACKET_ID_AT, E131_ACN_PACKET_ID, sizeof(E131_ACN_PACKET_ID));
        PutBE16(h + E131_ROOT_PDU_AT, (uint16_t)(E131_PDU_FLAGS | (total - E131_ROOT_PDU_AT)));
        PutBE32(h + E131_ROOT_VECTOR_AT, E131_VECTOR_ROOT_DATA);
        memcpy(h + E131_CID_AT, m_cid, 16);
        PutBE16(h + E131_FRAMING_PDU_AT, (uint16_t)(E131_PDU_FLAGS | (total - E131_FRAMING_PDU_AT)));
        PutBE32(h + E131_FRAMING_VECTOR_AT, E131_VECTOR_FRAMING_DATA);
        strncpy((char*)h + E131_SOURCE_NAME_AT, m_sourceName.c_str(), E131_SOURCE_NAME_LEN - 1);
        h[E131_PRIORITY_AT] = (uint8_t)m_priority;
        PutBE16(h + E131_SYNC_ADDRESS_AT, 0);
        h[E131_SEQUENCE_AT] = 0;
        h[E131_OPTIONS_AT] = 0;
        PutBE16(h + E131_UNIVERSE_AT, (uint16_t)universe);
        PutBE16(h + E131_DMP_PDU_AT, (uint16_t)(E131_PDU_FLAGS | (total - E131_DMP_PDU_AT)));
        h[E131_DMP_VECTOR_AT] = E131_VECTOR_DMP_SET_PROPERTY;
        h[E131_DMP_TYPE_AT] = E131_DMP_ADDRESS_DATA_TYPE;
        PutBE16(h + E131_FIRST_ADDRESS_AT, 0);
        PutBE16(h + E131_ADDRESS_INCREMENT_AT, 1);
        PutBE16(h + E131_PROPERTY_COUNT_AT, (uint16_t)(1 + channelCount));
        h[E131_START_CODE_AT] = E131_START_CODE_DIMMER;
        if (type == 0) {
            sockaddr_in group = m_to;
            group.sin_addr.s_addr = htonl(E131MulticastGroup(universe));
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
    h[E131_SEQUENCE_AT] = (uint8_t)(h[E131_SEQUENCE_AT] + 1);
}

void E131OutputData::DumpConfig() {
    LogDebug(VB_CHANNELOUT, "E1.31: %s   %d:%d:%d:%d  %s  universe %d+%d  priority %d  source \"%s\"\n",
             description.c_str(), (int)active, startChannel, channelCount, type,
             type == 0 ? "multicast" : address.c_str(), m_universe, m_universeCount, m_priority,
             m_sourceName.c_str());
}
