#include "PacketDecoder.h"

#include "bridge/ArtNetReceiver.h"
#include "bridge/DDPReceiver.h"
#include "bridge/E131Receiver.h"

// The daemon's own input parsers decide what a packet holds; this only
// picks out what the monitor shows.

DecodedPacket DecodeDDP(const uint8_t* buf, size_t len) {
    DecodedPacket d;
    DDPPacket p;
    if (ParseDDP(buf, len, p) || p.kind != DDPPacketKind::Data) return d;
    d.valid = true;
    d.protocol = MonitorProtocol::DDP;
    d.push = p.push;
    d.sequence = p.sequence;
    d.offset = p.offset;
    d.data = p.data;
    d.length = p.length;
    return d;
}

DecodedPacket DecodeE131(const uint8_t* buf, size_t len) {
    DecodedPacket d;
    E131Packet p;
    if (ParseE131(buf, len, p) || p.kind != E131PacketKind::Data || p.startCode != 0) return d;
    d.valid = true;
    d.protocol = MonitorProtocol::E131;
    d.sequence = p.sequence;
    d.universe = (uint32_t)p.universe;
    d.data = p.data;
    d.length = p.length;
    return d;
}

DecodedPacket DecodeArtNet(const uint8_t* buf, size_t len) {
    DecodedPacket d;
    ArtNetPacket p;
    if (ParseArtNet(buf, len, p) || p.kind != ArtNetPacketKind::Dmx) return d;
    d.valid = true;
    d.protocol = MonitorProtocol::ArtNet;
    d.sequence = p.sequence;
    d.universe = (uint32_t)p.universe;
    d.data = p.data;
    d.length = p.length;
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
