#pragma once
// Decodes the datagrams the daemon sends (DDP, E1.31, Art-Net) into channel
// data for the show monitor: where the bytes belong and whether a datagram
// completes a frame, parsed by the live input bridge's parsers
// (bridge/*Receiver.h). Receive side only; the senders live in the outputs.

#include <cstddef>
#include <cstdint>
#include <string>

enum class MonitorProtocol { DDP, E131, ArtNet };

struct DecodedPacket {
    bool valid = false;
    MonitorProtocol protocol = MonitorProtocol::DDP;
    uint32_t universe = 0;      // E1.31 / Art-Net
    uint32_t offset = 0;        // DDP byte offset
    uint8_t sequence = 0;
    bool push = false;          // DDP push flag: the frame is complete
    const uint8_t* data = nullptr;
    size_t length = 0;
};

DecodedPacket DecodeDDP(const uint8_t* buf, size_t len);
DecodedPacket DecodeE131(const uint8_t* buf, size_t len);
DecodedPacket DecodeArtNet(const uint8_t* buf, size_t len);
std::string ProtocolName(MonitorProtocol p);
