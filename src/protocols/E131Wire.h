#pragma once
// E1.31 (sACN) on the wire: where each field of a data packet and of a
// synchronization packet sits and the values it may hold. The E1.31 output
// builds packets from these, the bridge's E1.31 receiver parses them, and
// kivmon decodes with that parser. All fields are big-endian.

#include <cstdint>

// Data packet, 126 bytes before the channels:
//   Root layer     0 preamble size 0x0010 | 2 postamble 0 | 4 "ASC-E1.17\0\0\0" | 16 flags+length
//                 18 vector 0x00000004 | 22 CID (16)
//   Framing layer 38 flags+length | 40 vector 0x00000002 | 44 source name (64, NUL-terminated)
//                108 priority | 109 sync address | 111 sequence | 112 options | 113 universe
//   DMP layer    115 flags+length | 117 vector 0x02 | 118 address & data type 0xA1 | 119 first address 0
//                121 increment 1 | 123 property count 1 + n | 125 start code | 126 channels
// Synchronization packet (49 bytes): the root layer with vector 0x00000008,
//   then 38 flags+length | 40 vector 0x00000001 | 44 sequence | 45 sync address | 47 reserved
// flags+length: 0x7000 | bytes from the field to the end of the packet.
static constexpr uint16_t E131_PORT = 5568;
inline constexpr uint8_t E131_ACN_PACKET_ID[12] = {'A', 'S', 'C', '-', 'E', '1', '.', '1', '7', 0, 0, 0};
static constexpr uint16_t E131_PREAMBLE_SIZE = 0x0010;
static constexpr uint16_t E131_PDU_FLAGS = 0x7000;
static constexpr uint16_t E131_PDU_LENGTH_MASK = 0x0FFF;

static constexpr uint32_t E131_VECTOR_ROOT_DATA = 0x00000004;
static constexpr uint32_t E131_VECTOR_ROOT_EXTENDED = 0x00000008;
static constexpr uint32_t E131_VECTOR_FRAMING_DATA = 0x00000002;
static constexpr uint32_t E131_VECTOR_EXTENDED_SYNC = 0x00000001;
static constexpr uint32_t E131_VECTOR_EXTENDED_DISCOVERY = 0x00000002;
static constexpr uint8_t E131_VECTOR_DMP_SET_PROPERTY = 0x02;
static constexpr uint8_t E131_DMP_ADDRESS_DATA_TYPE = 0xA1;

static constexpr int E131_POSTAMBLE_AT = 2, E131_PACKET_ID_AT = 4;
static constexpr int E131_ROOT_PDU_AT = 16, E131_ROOT_VECTOR_AT = 18, E131_CID_AT = 22;
static constexpr int E131_FRAMING_PDU_AT = 38, E131_FRAMING_VECTOR_AT = 40;
static constexpr int E131_SOURCE_NAME_AT = 44, E131_SOURCE_NAME_LEN = 64;
static constexpr int E131_PRIORITY_AT = 108, E131_SYNC_ADDRESS_AT = 109, E131_SEQUENCE_AT = 111;
static constexpr int E131_OPTIONS_AT = 112, E131_UNIVERSE_AT = 113;
static constexpr int E131_DMP_PDU_AT = 115, E131_DMP_VECTOR_AT = 117, E131_DMP_TYPE_AT = 118;
static constexpr int E131_FIRST_ADDRESS_AT = 119, E131_ADDRESS_INCREMENT_AT = 121;
static constexpr int E131_PROPERTY_COUNT_AT = 123, E131_START_CODE_AT = 125;
static constexpr int E131_HEADER_LEN = 126;
static constexpr int E131_SYNC_SEQUENCE_AT = 44, E131_SYNC_UNIVERSE_AT = 45;
static constexpr int E131_SYNC_PACKET_LEN = 49;

static constexpr uint8_t E131_OPTION_PREVIEW = 0x80;     // for visualisers only, never live output
static constexpr uint8_t E131_OPTION_TERMINATED = 0x40;  // the source stops sending this universe
static constexpr uint8_t E131_OPTION_FORCE_SYNC = 0x20;

static constexpr int E131_MAX_CHANNELS = 512;
static constexpr int E131_MAX_PACKET_LEN = E131_HEADER_LEN + E131_MAX_CHANNELS;
static constexpr int E131_MIN_UNIVERSE = 1;
static constexpr int E131_MAX_UNIVERSE = 63999;
static constexpr int E131_DISCOVERY_UNIVERSE = 64214;
static constexpr int E131_DEFAULT_PRIORITY = 100;
static constexpr int E131_MAX_PRIORITY = 200;
static constexpr uint8_t E131_START_CODE_DIMMER = 0x00;
// A source not heard from for this long has gone (network data loss).
static constexpr int E131_NETWORK_DATA_LOSS_MS = 2500;
// A sequence number this far behind the last one is a stale packet, not a restart.
static constexpr int E131_SEQUENCE_WINDOW = 20;

// The multicast group of a universe: 239.255.<hi>.<lo>, host byte order.
inline uint32_t E131MulticastGroup(int universe) {
    return (239u << 24) | (255u << 16) | ((uint32_t)(universe >> 8 & 0xFF) << 8) | (uint32_t)(universe & 0xFF);
}
