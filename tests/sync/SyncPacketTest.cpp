// The wire format against bytes written independently from docs/sync.md
// (the fuzz seeds, made by a small script from the tables there), every
// way a datagram can be refused, and the signature.

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "common.h"
#include "sync/SyncPacket.h"

namespace {

std::vector<uint8_t> Seed(const std::string& name) {
    std::string s = GetFileContents(kivtest::sourceDir() + "/fuzz/corpus/sync/" + name);
    return std::vector<uint8_t>(s.begin(), s.end());
}

SyncPacket Parsed(const std::vector<uint8_t>& d, SyncParseResult want = SyncParseResult::Ok) {
    SyncPacket p;
    EXPECT_EQ(want, ParseSyncPacket(d.data(), d.size(), p));
    return p;
}

TEST(SyncPacket, DocumentedBytesParseToTheirFields) {
    auto d = Seed("seq-sync-signed");
    SyncPacket p = Parsed(d);
    EXPECT_EQ(SYNC_SEQ_SYNC, p.type);
    EXPECT_EQ(0x1234u, p.session);
    EXPECT_EQ(7u, p.seq);
    EXPECT_EQ(1733750400123456ull, p.timeUs);
    EXPECT_EQ(SYNC_FLAG_SIGNED | SYNC_FLAG_CLOCK_SYNCED, p.flags);
    EXPECT_EQ(120u, p.frame);
    EXPECT_EQ(25000u, p.periodUs);
    EXPECT_EQ("show.hseq", p.file);
    EXPECT_TRUE(VerifySyncTag(d.data(), p, "fuzz key"));
    EXPECT_FALSE(VerifySyncTag(d.data(), p, "fuzz kez"));
    d[30] ^= 1;  // one bit of the frame number
    EXPECT_FALSE(VerifySyncTag(d.data(), Parsed(d), "fuzz key"));

    p = Parsed(Seed("ping"));
    EXPECT_EQ(SYNC_PING, p.type);
    EXPECT_EQ(SYNC_FLAG_CLOCK_SYNCED | SYNC_FLAG_REPLY, p.flags);
    EXPECT_EQ(2, p.mode);
    EXPECT_TRUE(p.master);
    EXPECT_EQ(180u, p.clockErrorUs);
    EXPECT_EQ("house", p.hostname);
    EXPECT_EQ("1.0.0", p.version);
    EXPECT_EQ("uuid-1", p.uuid);
    EXPECT_EQ(0, p.httpPort) << "a ping without the HTTP port";
    p = Parsed(Seed("ping-http-port"));
    EXPECT_EQ("uuid-1", p.uuid);
    EXPECT_EQ(32320, p.httpPort);
    EXPECT_EQ(Seed("ping-http-port"), BuildSyncPacket(p, ""));

    p = Parsed(Seed("command"));
    EXPECT_EQ("10.0.0.12,garage", p.hosts);
    EXPECT_EQ("Trigger Command Preset", p.command);
    EXPECT_EQ(std::vector<std::string>{"XMAS"}, p.args);

    p = Parsed(Seed("media-sync"));
    EXPECT_EQ(3250000u, p.positionUs);
    EXPECT_EQ("song.mp3", p.file);
    p = Parsed(Seed("effect-start"));
    EXPECT_EQ(SYNC_EFFECT_START, p.type);
    EXPECT_EQ(1537u, p.startChannel);
    EXPECT_EQ(SYNC_EFFECT_LOOP | SYNC_EFFECT_BACKGROUND, p.effectFlags);
    EXPECT_EQ("sparkle", p.file);
    EXPECT_EQ(Seed("effect-start"), BuildSyncPacket(p, ""));
    EXPECT_EQ("sparkle", Parsed(Seed("effect-stop")).file);
    SyncPacket all;
    all.type = SYNC_EFFECT_STOP;  // no name: every effect
    EXPECT_EQ("", Parsed(BuildSyncPacket(all, "")).file);
    p = Parsed(Seed("plugin"));
    EXPECT_EQ("brightness", p.plugin);
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), p.data);
    // A later revision's extra field is skipped; a string longer than its body is not.
    EXPECT_EQ(SYNC_BLANK, Parsed(Seed("blank-trailing-field")).type);
    Parsed(Seed("short-string"), SyncParseResult::BadBody);
    EXPECT_FALSE(VerifySyncTag(Seed("ping").data(), Parsed(Seed("ping")), "fuzz key")) << "unsigned";
}

TEST(SyncPacket, BuildsWhatItParsesAndRefusesWhatIsBroken) {
    auto valid = Seed("media-sync");
    SyncPacket p = Parsed(valid);
    EXPECT_EQ(valid, BuildSyncPacket(p, ""));
    auto with = [&](size_t at, uint8_t v) {
        auto d = valid;
        d[at] = v;
        return d;
    };
    std::vector<uint8_t> cut(valid.begin(), valid.end() - 1);
    auto longer = valid;
    longer.push_back(0);
    auto signedNoTag = with(6, SYNC_FLAG_SIGNED);
    auto zeroPeriod = Seed("seq-sync-signed");
    for (int i = 30; i < 34; ++i) zeroPeriod[i] = 0;
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        SyncParseResult want;
    } cases[] = {
        {"empty", {}, SyncParseResult::TooShort},
        {"header cut", std::vector<uint8_t>(valid.begin(), valid.begin() + 25), SyncParseResult::TooShort},
        {"magic", with(0, 'k'), SyncParseResult::BadMagic},
        {"version 2", with(4, 2), SyncParseResult::BadVersion},
        {"a byte short", cut, SyncParseResult::BadLength},
        {"a byte long", longer, SyncParseResult::BadLength},
        {"signed without a tag", signedNoTag, SyncParseResult::BadLength},
        {"body over 1200", with(24, 0x05), SyncParseResult::BadLength},
        {"type 0", with(5, 0), SyncParseResult::BadType},
        {"type 15", with(5, 15), SyncParseResult::BadType},
        {"media sync read as a ping", with(5, SYNC_PING), SyncParseResult::BadBody},
        {"frame period 0", zeroPeriod, SyncParseResult::BadBody},
        {"empty file name", with(35, 0), SyncParseResult::BadBody},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Parsed(c.bytes, c.want);
    }

    SyncPacket big;
    big.type = SYNC_SEQ_OPEN;
    big.file = std::string(1200, 'x');
    EXPECT_TRUE(BuildSyncPacket(big, "").empty()) << "a body over 1200 bytes is not sent";
    big.file.resize(1198);
    auto built = BuildSyncPacket(big, "key");
    ASSERT_EQ(SYNC_HEADER_SIZE + 1200 + SYNC_TAG_SIZE, built.size());
    EXPECT_TRUE(VerifySyncTag(built.data(), Parsed(built), "key"));
}

}  // namespace
