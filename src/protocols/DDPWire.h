#pragma once
// DDP on the wire: the 10-byte header (14 with a timecode) in front of the
// channel bytes. The DDP output builds packets from these, the bridge's DDP
// receiver parses them, and kivmon decodes with that parser.

#include <cstdint>

// DDP header: flags, sequence, data type, destination id, offset (BE32), length (BE16)
//   0 flags: version (bits 6-7, 01) | timecode 0x10 | storage 0x08 | reply 0x04 | query 0x02 | push 0x01
//   1 sequence (low 4 bits, 1-15; 0 = not used) | 2 data type | 3 destination id
//   4 byte offset of the data (BE32) | 8 data length (BE16) | [10 timecode (BE32)] | data
static constexpr uint16_t DDP_PORT = 4048;
static constexpr uint8_t DDP_FLAGS_VERSION_MASK = 0xC0;
static constexpr uint8_t DDP_FLAGS_VER1 = 0x40;
static constexpr uint8_t DDP_FLAGS_TIMECODE = 0x10;
static constexpr uint8_t DDP_FLAGS_STORAGE = 0x08;
static constexpr uint8_t DDP_FLAGS_REPLY = 0x04;
static constexpr uint8_t DDP_FLAGS_QUERY = 0x02;
static constexpr uint8_t DDP_FLAGS_PUSH = 0x01;
static constexpr uint8_t DDP_SEQUENCE_MASK = 0x0F;
static constexpr uint8_t DDP_ID_DISPLAY = 1;
static constexpr uint8_t DDP_ID_ALL = 255;
static constexpr int DDP_SEQUENCE_AT = 1, DDP_TYPE_AT = 2, DDP_ID_AT = 3, DDP_OFFSET_AT = 4, DDP_LENGTH_AT = 8;
static constexpr int DDP_HEADER_LEN = 10;
static constexpr int DDP_TIMECODE_HEADER_LEN = 14;
static constexpr int DDP_MAX_DATA = 1440;
