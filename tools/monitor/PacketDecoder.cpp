#include "PacketDecoder.h"

#include <cstring>

#include "ByteOrder.h"

// DDP: flags, sequence, type, id, offset (BE32), length (BE16), data.
DecodedPacket DecodeDDP(const uint8_t* buf, size_t len) {
    DecodedPacket d;
    static constexpr size_t HEADER = 10;
    if (len < HEADER || (buf[0] & 0xC0) != 0x40) return d;
    size_t dataLen = GetBE16(buf + 8);
    if (HEADER + dataLen > len) return d;
    d.valid = true;
    d.protocol = MonitorProtocol::DDP;
    d.push = buf[0] & 0x01;
    d.sequence = buf[1] & 0x0F;
    d.offset = GetBE32(buf + 4);
    d.data = buf + HEADER;
    d.length = dataLen;
    return d;
}

// E1.31 data packet: root layer to 38, framing layer to 115, DMP layer
// with the property count at 123 and the start code at 125.
DecodedPacket DecodeE131(const uint8_t* buf, size_t len) {
    DecodedPacket d;
    static const uint8_t ACN_ID[12] = {'A', 'S', 'C', '-', 'E', '1', '.', '1', '7', 0, 0, 0};
    if (len < 126 || memcmp(buf + 4, ACN_ID, 12) != 0) return d;
    if (GetBE32(buf + 18) != 4 || GetBE32(buf + 40) != 2 || buf[117] != 0x02) return d;
    size_t count = GetBE16(buf + 123);
    if (count < 1 || 125 + count > len || buf[125] != 0) return d;
    d.valid = true;
    d.protocol = MonitorProtocol::E131;
    d.sequence = buf[111];
    d.universe = GetBE16(buf + 113);
    d.data = buf + 126;
    d.length = count - 1;
    return d;
}

// ArtDmx: "Art-Net\0", opcode 0x5000 (LE), version, sequence, physical,
// SubUni, Net, length (BE), data.
DecodedPacket DecodeArtNet(const uint8_t* buf, size_t len) {
    DecodedPacket d;
    if (len < 18 || memcmp(buf, "Art-Net\0", 8) != 0 || buf[8] != 0x00 || buf[9] != 0x50) return d;
    size_t dataLen = GetBE16(buf + 16);
    if (18 + dataLen > len) return d;
    d.valid = true;
    d.protocol = MonitorProtocol::ArtNet;
    d.sequence = buf[12];
    d.universe = buf[14] | ((uint32_t)(buf[15] & 0x7F) << 8);
    d.data = buf + 18;
    d.length = dataLen;
    return d;
}

std::string ProtocolName(MonitorProtocol p) {
    switch (p) {
    case MonitorProtocol::DDP:
        return "DDP";
    case MonitorProtocol::E131:
        return "E1.31";
    case MonitorProtocol::ArtNet:
        return "Art-Net";
    }
    return "?";
}
