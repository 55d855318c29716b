#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "common.h"
#include "monitor/PacketDecoder.h"

namespace {

std::vector<uint8_t> ddpPacket(uint32_t offset, const std::vector<uint8_t>& data, bool push, uint8_t seq) {
    std::vector<uint8_t> p = {(uint8_t)(0x40 | (push ? 1 : 0)), seq, 0, 1,
                              (uint8_t)(offset >> 24), (uint8_t)(offset >> 16), (uint8_t)(offset >> 8), (uint8_t)offset,
                              (uint8_t)(data.size() >> 8), (uint8_t)data.size()};
    p.insert(p.end(), data.begin(), data.end());
    return p;
}

std::vector<uint8_t> e131Packet(uint16_t universe, uint8_t seq, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> p(126 + data.size(), 0);
    p[1] = 0x10;
    memcpy(&p[4], "ASC-E1.17", 9);
    for (size_t at : {16, 38, 115}) {  // flags and length of each layer, up to the end
        p[at] = 0x70 | (uint8_t)((p.size() - at) >> 8);
        p[at + 1] = (uint8_t)(p.size() - at);
    }
    p[21] = 0x04;
    p[43] = 0x02;
    p[108] = 100;
    p[111] = seq;
    p[113] = universe >> 8;
    p[114] = universe & 0xFF;
    p[117] = 0x02;
    p[118] = 0xa1;
    p[122] = 1;
    uint16_t count = data.size() + 1;
    p[123] = count >> 8;
    p[124] = count & 0xFF;
    memcpy(&p[126], data.data(), data.size());
    return p;
}

std::vector<uint8_t> artnetPacket(uint16_t universe, uint8_t seq, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> p = {'A', 'r', 't', '-', 'N', 'e', 't', 0, 0x00, 0x50, 0, 14, seq, 0,
                              (uint8_t)(universe & 0xFF), (uint8_t)(universe >> 8),
                              (uint8_t)(data.size() >> 8), (uint8_t)data.size()};
    p.insert(p.end(), data.begin(), data.end());
    return p;
}

TEST(PacketDecoder, DdpOffsetLengthAndPush) {
    auto p = ddpPacket(1440, {1, 2, 3}, true, 7);
    DecodedPacket d = DecodeDDP(p.data(), p.size());
    ASSERT_TRUE(d.valid);
    EXPECT_EQ(d.offset, 1440u);
    EXPECT_EQ(d.length, 3u);
    EXPECT_TRUE(d.push);
    EXPECT_EQ(d.sequence, 7);
    EXPECT_EQ(d.data[2], 3);
    p.pop_back();  // shorter than the length field says
    EXPECT_FALSE(DecodeDDP(p.data(), p.size()).valid);
}

TEST(PacketDecoder, E131UniverseSequenceAndData) {
    auto p = e131Packet(513, 200, {9, 8, 7, 6});
    DecodedPacket d = DecodeE131(p.data(), p.size());
    ASSERT_TRUE(d.valid);
    EXPECT_EQ(d.universe, 513u);
    EXPECT_EQ(d.sequence, 200);
    EXPECT_EQ(d.length, 4u);
    EXPECT_EQ(d.data[0], 9);
    p[125] = 0xDD;  // not a DMX start code
    EXPECT_FALSE(DecodeE131(p.data(), p.size()).valid);
}

TEST(PacketDecoder, ArtNetUniverseFromSubUniAndNet) {
    auto p = artnetPacket(0x0123, 5, {1, 2});
    DecodedPacket d = DecodeArtNet(p.data(), p.size());
    ASSERT_TRUE(d.valid);
    EXPECT_EQ(d.universe, 0x123u);
    EXPECT_EQ(d.sequence, 5);
    EXPECT_EQ(d.length, 2u);
    p[8] = 0x00;
    p[9] = 0x20;  // ArtPoll, not ArtDmx
    EXPECT_FALSE(DecodeArtNet(p.data(), p.size()).valid);
}

TEST(ShowMonitor, ReportsFramesAndFirstPixels) {
    std::string out;
    std::thread monitor([&] {
        kivtest::runCommand(kivtest::buildDir() + "/src/kivmon -a 127.0.0.9 -n 2 -t 3 --plain", &out);
    });
    sockaddr_in to;
    memset(&to, 0, sizeof(to));
    to.sin_family = AF_INET;
    to.sin_port = htons(4048);
    inet_pton(AF_INET, "127.0.0.9", &to.sin_addr);
    // Frames go out once kivmon listens on the DDP port (127.0.0.9:4048 is
    // "0900007F:0FD0" in /proc/net/udp): starting a program takes long on a
    // loaded machine or under an emulator.
    EXPECT_TRUE(kivtest::waitUntil(
        [] { return GetFileContents("/proc/net/udp").find(" 0900007F:0FD0 ") != std::string::npos; }, 20000));
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    for (int f = 0; f < 20; ++f) {
        auto a = ddpPacket(0, {0xff, 0x00, 0x80}, false, 1);
        auto b = ddpPacket(3, {0x01, 0x02, 0x03}, true, 2);
        sendto(fd, a.data(), a.size(), 0, (sockaddr*)&to, sizeof(to));
        sendto(fd, b.data(), b.size(), 0, (sockaddr*)&to, sizeof(to));
        usleep(25000);
    }
    close(fd);
    monitor.join();
    EXPECT_NE(out.find("DDP"), std::string::npos) << out;
    EXPECT_NE(out.find("20 frames"), std::string::npos) << out;
    EXPECT_NE(out.find("ff0080 010203"), std::string::npos) << out;
}

}  // namespace
