#pragma once
// Senders for the live input tests, written from the protocols' own tables
// (E1.31, Art-Net 4, DDP) with literal offsets rather than from this
// project's code, and a reader of the DDP frames a daemon passes on.

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace kivtest {

typedef std::vector<uint8_t> Bytes;

// An E1.31 data packet: root, framing and DMP layers with start code 0.
Bytes E131Data(int universe, uint8_t sequence, const Bytes& channels, uint8_t priority = 100,
               uint8_t cidByte = 1, const std::string& name = "test source", uint8_t options = 0);
// An ArtDmx packet for a 15-bit port-address.
Bytes ArtDmx(int portAddress, uint8_t sequence, const Bytes& channels);
Bytes ArtPoll();
// A DDP data packet to the display (destination 1).
Bytes DDPData(uint32_t offset, const Bytes& data, bool push, uint8_t sequence = 0);

// A UDP socket bound to a loopback address (port 0: any) that sends.
class UdpSender {
public:
    explicit UdpSender(const std::string& address, uint16_t port = 0);
    ~UdpSender();
    bool ok() const { return m_fd >= 0; }
    bool send(const Bytes& packet, const std::string& to, uint16_t port);
    // The packets of one frame in one sendmmsg call, as players send them.
    bool sendBurst(const std::vector<Bytes>& packets, const std::string& to, uint16_t port);

private:
    int m_fd = -1;
};

// Frames of `channels` bytes rebuilt from DDP datagrams (offset from 0),
// one per push packet.
std::vector<Bytes> DDPFrames(const std::vector<Datagram>& datagrams, size_t channels);

// Consecutive equal frames folded into one.
std::vector<Bytes> Distinct(const std::vector<Bytes>& frames);

}  // namespace kivtest
