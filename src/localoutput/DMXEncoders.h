#pragma once
// DMX512 packets for serial DMX interfaces, as plain functions that
// DMXSerial, tests and benchmarks call directly.
//
// USB Pro widget message: 7E, label, payload length (LE16), payload, E7.
// Label 6 sends a universe: the payload is the start code (0) and 24 to
// 512 channels (fewer are padded with zeros).
//
// A plain ("Open DMX") interface sends the packet itself at 250 kbaud,
// 8 data bits, 2 stop bits: a break of at least 92 us, a mark after break
// of at least 12 us, then the start code and the channels; 44 us a slot.

#include <cstddef>
#include <cstdint>
#include <vector>

static constexpr uint8_t USBPRO_MESSAGE_START = 0x7E;
static constexpr uint8_t USBPRO_MESSAGE_END = 0xE7;
static constexpr uint8_t USBPRO_LABEL_SEND_DMX = 6;
static constexpr size_t USBPRO_MIN_DMX_CHANNELS = 24;
static constexpr uint8_t DMX_START_CODE = 0;
static constexpr size_t DMX_MAX_CHANNELS = 512;
static constexpr uint32_t DMX_BAUD = 250000;
static constexpr int DMX_BREAK_US = 100;
static constexpr int DMX_MARK_AFTER_BREAK_US = 12;
static constexpr int DMX_SLOT_US = 44;          // 11 bits at 4 us
static constexpr int DMX_MIN_PACKET_US = 1204;  // break to break

// One USB Pro message with any label and payload.
void EncodeUsbProMessage(uint8_t label, const uint8_t* payload, size_t len, std::vector<uint8_t>& out);
// The label 6 message sending channels (at most 512) as a universe.
void EncodeUsbProDmx(const uint8_t* channels, size_t count, std::vector<uint8_t>& out);
// The bytes after the break: start code and channels (at most 512).
void EncodeDmxPacket(const uint8_t* channels, size_t count, std::vector<uint8_t>& out);
// How long a packet of count channels takes on the line, break to break.
int DmxPacketMicros(size_t count);
