// The three packet parsers of the bridge against packets built from the
// protocols' own tables: what they accept, what they take from a packet, and
// the reason each kind of damage is refused. The fuzz corpus is replayed too.

#include <gtest/gtest.h>

#include <dirent.h>

#include "../../fuzz/InputFuzzInput.h"
#include "LiveInputSupport.h"
#include "common.h"

using kivtest::Bytes;

namespace {

// A packet changed by one edit.
Bytes with(Bytes p, size_t at, uint8_t v) {
    p.at(at) = v;
    return p;
}
Bytes cut(Bytes p, size_t n) {
    p.resize(p.size() - n);
    return p;
}
Bytes grow(Bytes p, size_t n) {
    p.resize(p.size() + n, 0);
    return p;
}

struct Case {
    const char* name;
    Bytes packet;
    const char* refusal;  // nullptr: accepted
};

TEST(InputParsers, E131) {
    Bytes data(300, 7);
    Bytes good = kivtest::E131Data(513, 42, data, 150, 9, "Sequencer");
    E131Packet p;
    ASSERT_EQ(nullptr, ParseE131(good.data(), good.size(), p));
    EXPECT_EQ(E131PacketKind::Data, p.kind);
    EXPECT_EQ(513, p.universe);
    EXPECT_EQ(42, p.sequence);
    EXPECT_EQ(150, p.priority);
    EXPECT_EQ("Sequencer", std::string(p.sourceName, p.sourceNameLength));
    EXPECT_EQ(9, p.cid[15]);
    ASSERT_EQ(300u, p.length);
    EXPECT_EQ(Bytes(p.data, p.data + p.length), data);

    const Case cases[] = {
        {"no channels, only the start code", kivtest::E131Data(1, 0, {}), nullptr},
        {"512 channels", kivtest::E131Data(1, 0, Bytes(512, 1)), nullptr},
        {"513 channels", kivtest::E131Data(1, 0, Bytes(513, 1)), E131_OVERSIZED},
        {"short root layer", Bytes(good.begin(), good.begin() + 20), "shorter than an E1.31 root layer"},
        {"wrong identifier", with(good, 4, 'B'), "not an ACN packet"},
        {"wrong preamble", with(good, 1, 0x11), "not an ACN packet"},
        {"one byte cut", cut(good, 1), "root layer length does not match the datagram"},
        {"one byte too many", grow(good, 1), "root layer length does not match the datagram"},
        {"unknown root vector", with(good, 21, 0x05), "unknown root vector"},
        {"framing length off", with(good, 39, good[39] + 1), "framing layer length does not match the datagram"},
        {"framing vector", with(good, 43, 0x03), "unknown framing vector"},
        {"DMP length off", with(good, 116, good[116] - 1), "DMP layer length does not match the datagram"},
        {"DMP address type", with(good, 118, 0xa2), "unexpected DMP layer fields"},
        {"property count", with(good, 124, good[124] - 1), "property count does not match the datagram"},
        {"priority 201", with(good, 108, 201), "priority above 200"},
        {"universe 0", with(with(good, 113, 0), 114, 0), "universe outside 1-63999"},
        {"universe 64000", with(with(good, 113, 0xFA), 114, 0x00), "universe outside 1-63999"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const char* why = ParseE131(c.packet.data(), c.packet.size(), p);
        EXPECT_STREQ(c.refusal, why);
    }
    // Universe, priority and options are taken as they stand.
    Bytes terminated = kivtest::E131Data(7, 1, {1}, 100, 1, "x", 0x40);
    ASSERT_EQ(nullptr, ParseE131(terminated.data(), terminated.size(), p));
    EXPECT_EQ(0x40, p.options);
    // A malformed packet still tells its universe, so the input counts it.
    Bytes damaged = with(good, 124, 0);
    ParseE131(damaged.data(), damaged.size(), p);
    EXPECT_EQ(513, p.universe);
}

TEST(InputParsers, ArtNet) {
    Bytes data(170, 3);
    Bytes good = kivtest::ArtDmx(0x1234, 9, data);
    ArtNetPacket p;
    ASSERT_EQ(nullptr, ParseArtNet(good.data(), good.size(), p));
    EXPECT_EQ(ArtNetPacketKind::Dmx, p.kind);
    EXPECT_EQ(0x1234, p.universe);
    EXPECT_EQ(9, p.sequence);
    EXPECT_EQ(Bytes(p.data, p.data + p.length), data);
    Bytes poll = kivtest::ArtPoll();
    ASSERT_EQ(nullptr, ParseArtNet(poll.data(), poll.size(), p));
    EXPECT_EQ(ArtNetPacketKind::Poll, p.kind);

    const Case cases[] = {
        {"trailing padding", grow(good, 2), nullptr},
        {"an unused opcode (ArtSync)", with(good, 9, 0x52), nullptr},
        {"short header", Bytes(good.begin(), good.begin() + 9), "shorter than an Art-Net header"},
        {"wrong identifier", with(good, 0, 'a'), "not an Art-Net packet"},
        {"short ArtDmx", Bytes(good.begin(), good.begin() + 17), "truncated ArtDmx"},
        {"short ArtPoll", cut(poll, 1), "truncated ArtPoll"},
        {"protocol 13", with(good, 11, 13), "Art-Net protocol version below 14"},
        {"length past the end", cut(good, 1), "ArtDmx length past the end of the datagram"},
        {"length 0", with(with(good, 16, 0), 17, 0), "ArtDmx without channels"},
        {"length 514", with(with(good, 16, 2), 17, 2), ARTNET_OVERSIZED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_STREQ(c.refusal, ParseArtNet(c.packet.data(), c.packet.size(), p));
    }
}

TEST(InputParsers, DDP) {
    Bytes data(1440, 5);
    Bytes good = kivtest::DDPData(2880, data, true, 11);
    DDPPacket p;
    ASSERT_EQ(nullptr, ParseDDP(good.data(), good.size(), p));
    EXPECT_EQ(DDPPacketKind::Data, p.kind);
    EXPECT_EQ(2880u, p.offset);
    EXPECT_TRUE(p.push);
    EXPECT_EQ(11, p.sequence);
    EXPECT_EQ(Bytes(p.data, p.data + p.length), data);
    // With a timecode the data starts 4 bytes later.
    Bytes timed = with(good, 0, 0x51);
    timed.insert(timed.begin() + 10, 4, 0xEE);
    ASSERT_EQ(nullptr, ParseDDP(timed.data(), timed.size(), p));
    EXPECT_EQ(5, p.data[0]);

    const Case cases[] = {
        {"short header", Bytes(good.begin(), good.begin() + 9), "shorter than a DDP header"},
        {"version 2", with(good, 0, 0x81), "not DDP version 1"},
        {"length past the end", cut(good, 1), "DDP length past the end of the datagram"},
        {"offset near 4 GiB", with(with(good, 4, 0xFF), 5, 0xFF), nullptr},
        {"data past 4 GiB", with(with(with(with(good, 4, 0xFF), 5, 0xFF), 6, 0xFF), 7, 0xFF),
         "DDP data past the 4 GiB offset space"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_STREQ(c.refusal, ParseDDP(c.packet.data(), c.packet.size(), p));
    }
    Bytes query = with(good, 0, 0x42);
    ASSERT_EQ(nullptr, ParseDDP(query.data(), query.size(), p));
    EXPECT_EQ(DDPPacketKind::Query, p.kind);
    Bytes config = with(good, 3, 250);  // a JSON configuration destination
    ASSERT_EQ(nullptr, ParseDDP(config.data(), config.size(), p));
    EXPECT_EQ(DDPPacketKind::Other, p.kind);
}

TEST(InputParsers, FuzzCorpusReplays) {
    struct Dir {
        const char* name;
        InputProtocol protocol;
    };
    for (Dir d : {Dir{"e131", InputProtocol::E131}, Dir{"artnet", InputProtocol::ArtNet}, Dir{"ddp", InputProtocol::DDP}}) {
        std::string dir = kivtest::sourceDir() + "/fuzz/corpus/" + d.name;
        DIR* dh = opendir(dir.c_str());
        ASSERT_NE(nullptr, dh) << dir;
        int seeds = 0;
        while (dirent* e = readdir(dh)) {
            if (e->d_name[0] == '.') continue;
            std::string bytes = GetFileContents(dir + "/" + e->d_name);
            inputfuzz::RunInputFuzz(d.protocol, (const uint8_t*)bytes.data(), bytes.size());
            ++seeds;
        }
        closedir(dh);
        EXPECT_GE(seeds, 3) << dir;
    }
}

}  // namespace
