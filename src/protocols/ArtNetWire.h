#pragma once
// Art-Net on the wire: the ArtDmx, ArtPoll and ArtPollReply packets. The
// Art-Net output builds ArtDmx from these, the bridge's Art-Net receiver
// parses ArtDmx and ArtPoll and answers with ArtPollReply, and kivmon
// decodes with that parser. OpCodes and the reply's port are
// little-endian, the other multi-byte fields big-endian.

#include <cstdint>

// Every packet: 0 "Art-Net\0" | 8 OpCode (LE16) | 10 protocol version (BE16), except ArtPollReply.
// ArtDmx, 18 bytes before the channels:
//  12 sequence (0 = not sequenced, else 1-255) | 13 physical | 14 SubUni (port-address bits 0-7)
//  15 Net (bits 8-14) | 16 length (BE16, 2-512, even) | 18 channels
// ArtPoll: 12 flags | 13 diagnostics priority (14 bytes at least).
// ArtPollReply (239 bytes):
//  10 IP (4) | 14 port (LE16) | 16 firmware version (BE16) | 18 NetSwitch | 19 SubSwitch
//  20 OEM (BE16) | 22 UBEA version | 23 Status1 | 24 ESTA manufacturer (LE16)
//  26 short name (18) | 44 long name (64) | 108 node report (64) | 172 port count (BE16)
// 174 port types (4) | 178 good input (4) | 182 good output (4) | 186 SwIn (4) | 190 SwOut (4)
// 194 ACN priority | 195 SwMacro | 196 SwRemote | 197 spare (3) | 200 style | 201 MAC (6)
// 207 bind IP (4) | 211 bind index | 212 Status2 | 213 good output B (4) | 217 Status3
// 218 default RDM responder UID (6) | 224 user (2) | 226 refresh rate (2) | 228 filler (11)
static constexpr uint16_t ARTNET_PORT = 6454;
inline constexpr uint8_t ARTNET_ID[8] = {'A', 'r', 't', '-', 'N', 'e', 't', 0};
static constexpr uint16_t ARTNET_OP_POLL = 0x2000;
static constexpr uint16_t ARTNET_OP_POLL_REPLY = 0x2100;
static constexpr uint16_t ARTNET_OP_DMX = 0x5000;
static constexpr uint16_t ARTNET_PROTOCOL_VERSION = 14;

static constexpr int ARTNET_OPCODE_AT = 8, ARTNET_VERSION_AT = 10;
static constexpr int ARTNET_SEQUENCE_AT = 12, ARTNET_PHYSICAL_AT = 13, ARTNET_SUBUNI_AT = 14, ARTNET_NET_AT = 15;
static constexpr int ARTNET_LENGTH_AT = 16;
static constexpr int ARTNET_HEADER_LEN = 18;
static constexpr int ARTNET_POLL_MIN_LEN = 14;
static constexpr int ARTNET_MAX_CHANNELS = 512;
static constexpr int ARTNET_MAX_UNIVERSE = 32767;  // 15-bit port-address

static constexpr int ARTNET_REPLY_IP_AT = 10, ARTNET_REPLY_PORT_AT = 14, ARTNET_REPLY_VERSION_AT = 16;
static constexpr int ARTNET_REPLY_NET_AT = 18, ARTNET_REPLY_SUBNET_AT = 19, ARTNET_REPLY_OEM_AT = 20;
static constexpr int ARTNET_REPLY_STATUS1_AT = 23, ARTNET_REPLY_ESTA_AT = 24;
static constexpr int ARTNET_REPLY_SHORT_NAME_AT = 26, ARTNET_REPLY_SHORT_NAME_LEN = 18;
static constexpr int ARTNET_REPLY_LONG_NAME_AT = 44, ARTNET_REPLY_LONG_NAME_LEN = 64;
static constexpr int ARTNET_REPLY_REPORT_AT = 108, ARTNET_REPLY_REPORT_LEN = 64;
static constexpr int ARTNET_REPLY_PORT_COUNT_AT = 172, ARTNET_REPLY_PORT_TYPES_AT = 174;
static constexpr int ARTNET_REPLY_GOOD_INPUT_AT = 178, ARTNET_REPLY_GOOD_OUTPUT_AT = 182;
static constexpr int ARTNET_REPLY_SW_IN_AT = 186, ARTNET_REPLY_SW_OUT_AT = 190;
static constexpr int ARTNET_REPLY_STYLE_AT = 200, ARTNET_REPLY_MAC_AT = 201;
static constexpr int ARTNET_REPLY_BIND_IP_AT = 207, ARTNET_REPLY_BIND_INDEX_AT = 211;
static constexpr int ARTNET_REPLY_STATUS2_AT = 212;
static constexpr int ARTNET_POLL_REPLY_LEN = 239;
static constexpr int ARTNET_REPLY_MAX_PORTS = 4;

static constexpr uint8_t ARTNET_PORT_TYPE_OUTPUT_DMX = 0x80;  // takes data from Art-Net, DMX512
static constexpr uint8_t ARTNET_GOOD_OUTPUT_DATA = 0x80;      // data is being output
static constexpr uint8_t ARTNET_STYLE_NODE = 0x00;
static constexpr uint8_t ARTNET_STATUS2_PORT_ADDRESS_15BIT = 0x08;
