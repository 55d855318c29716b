#include "LiveInputSupport.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace kivtest {

static void be16(Bytes& p, size_t at, unsigned v) {
    p[at] = (uint8_t)(v >> 8);
    p[at + 1] = (uint8_t)v;
}

// ANSI E1.31-2018 tables 4-1 (root layer), 6-1 (framing layer), 7-1 (DMP layer).
Bytes E131Data(int universe, uint8_t sequence, const Bytes& channels, uint8_t priority, uint8_t cidByte,
               const std::string& name, uint8_t options) {
    Bytes p(126 + channels.size(), 0);
    be16(p, 0, 0x0010);  // preamble size
    memcpy(&p[4], "ASC-E1.17\0\0\0", 12);
    be16(p, 16, 0x7000 | (p.size() - 16));
    p[21] = 0x04;  // VECTOR_ROOT_E131_DATA
    memset(&p[22], cidByte, 16);
    be16(p, 38, 0x7000 | (p.size() - 38));
    p[43] = 0x02;  // VECTOR_E131_DATA_PACKET
    memcpy(&p[44], name.data(), std::min<size_t>(name.size(), 63));
    p[108] = priority;
    p[111] = sequence;
    p[112] = options;
    be16(p, 113, universe);
    be16(p, 115, 0x7000 | (p.size() - 115));
    p[117] = 0x02;  // VECTOR_DMP_SET_PROPERTY
    p[118] = 0xa1;
    be16(p, 121, 1);  // address increment
    be16(p, 123, channels.size() + 1);
    if (!channels.empty()) memcpy(&p[126], channels.data(), channels.size());
    return p;
}

// Art-Net 4: ArtDmx (OpCode 0x5000) and ArtPoll (0x2000).
Bytes ArtDmx(int portAddress, uint8_t sequence, const Bytes& channels) {
    Bytes p = {'A', 'r', 't', '-', 'N', 'e', 't', 0, 0x00, 0x50, 0, 14, sequence, 0,
               (uint8_t)(portAddress & 0xFF), (uint8_t)(portAddress >> 8 & 0x7F), 0, 0};
    be16(p, 16, channels.size());
    p.insert(p.end(), channels.begin(), channels.end());
    return p;
}

Bytes ArtPoll() { return {'A', 'r', 't', '-', 'N', 'e', 't', 0, 0x00, 0x20, 0, 14, 0, 0}; }

// DDP: flags (version 1, push), sequence, data type, id, offset, length.
Bytes DDPData(uint32_t offset, const Bytes& data, bool push, uint8_t sequence) {
    Bytes p = {(uint8_t)(0x40 | (push ? 0x01 : 0)), sequence, 0x01, 0x01, (uint8_t)(offset >> 24),
               (uint8_t)(offset >> 16), (uint8_t)(offset >> 8), (uint8_t)offset, 0, 0};
    be16(p, 8, data.size());
    p.insert(p.end(), data.begin(), data.end());
    return p;
}

UdpSender::UdpSender(const std::string& address, uint16_t port) {
    m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    if (bind(m_fd, (sockaddr*)&a, sizeof(a)) < 0) {
        close(m_fd);
        m_fd = -1;
    }
}

UdpSender::~UdpSender() {
    if (m_fd >= 0) close(m_fd);
}

bool UdpSender::send(const Bytes& packet, const std::string& to, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, to.c_str(), &a.sin_addr);
    return sendto(m_fd, packet.data(), packet.size(), 0, (sockaddr*)&a, sizeof(a)) == (ssize_t)packet.size();
}

bool UdpSender::sendBurst(const std::vector<Bytes>& packets, const std::string& to, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, to.c_str(), &a.sin_addr);
    std::vector<mmsghdr> msgs(packets.size());
    std::vector<iovec> iov(packets.size());
    for (size_t i = 0; i < packets.size(); ++i) {
        iov[i] = {(void*)packets[i].data(), packets[i].size()};
        msgs[i] = {};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
        msgs[i].msg_hdr.msg_name = &a;
        msgs[i].msg_hdr.msg_namelen = sizeof(a);
    }
    return sendmmsg(m_fd, msgs.data(), msgs.size(), 0) == (int)msgs.size();
}

std::vector<Bytes> DDPFrames(const std::vector<Datagram>& datagrams, size_t channels) {
    std::vector<Bytes> frames;
    Bytes frame(channels, 0);
    for (auto& d : datagrams) {
        const Bytes& b = d.bytes;
        if (b.size() < 10 || (b[0] & 0xC0) != 0x40) continue;
        size_t offset = (size_t)b[4] << 24 | (size_t)b[5] << 16 | (size_t)b[6] << 8 | b[7];
        size_t len = (size_t)b[8] << 8 | b[9];
        for (size_t i = 0; i < len && 10 + i < b.size() && offset + i < channels; ++i) frame[offset + i] = b[10 + i];
        if (b[0] & 0x01) frames.push_back(frame);
    }
    return frames;
}

std::vector<Bytes> Distinct(const std::vector<Bytes>& frames) {
    std::vector<Bytes> out;
    for (auto& f : frames) {
        if (out.empty() || out.back() != f) out.push_back(f);
    }
    return out;
}

}  // namespace kivtest
