#include "sync/SyncPacket.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cstring>

#include "ByteOrder.h"

const char* SyncParseResultText(SyncParseResult r) {
    switch (r) {
    case SyncParseResult::Ok:
        return "ok";
    case SyncParseResult::TooShort:
        return "shorter than a header";
    case SyncParseResult::BadMagic:
        return "not a sync packet";
    case SyncParseResult::BadVersion:
        return "unsupported version";
    case SyncParseResult::BadLength:
        return "length does not match its header";
    case SyncParseResult::BadType:
        return "unknown packet type";
    case SyncParseResult::BadBody:
        return "malformed body";
    }
    return "?";
}

const char* SyncPacketTypeName(uint8_t type) {
    static const char* const names[] = {"?",          "ping",        "seq-open",   "seq-start", "seq-stop",
                                        "seq-sync",   "media-open",  "media-start", "media-stop", "media-sync",
                                        "blank",      "command",     "plugin",     "effect-start", "effect-stop"};
    return type <= SYNC_EFFECT_STOP ? names[type] : "?";
}

namespace {

// Body fields: integers big-endian, strings and byte blocks as a BE16
// length and the bytes.
class BodyWriter {
public:
    void u8(uint8_t v) { m_b.push_back(v); }
    void u16(uint16_t v) {
        uint8_t b[2];
        PutBE16(b, v);
        m_b.insert(m_b.end(), b, b + 2);
    }
    void u32(uint32_t v) {
        uint8_t b[4];
        PutBE32(b, v);
        m_b.insert(m_b.end(), b, b + 4);
    }
    void u64(uint64_t v) {
        uint8_t b[8];
        PutBE64(b, v);
        m_b.insert(m_b.end(), b, b + 8);
    }
    void bytes(const uint8_t* p, size_t n) {
        uint8_t b[2];
        PutBE16(b, (uint16_t)std::min<size_t>(n, 0xFFFF));
        m_b.insert(m_b.end(), b, b + 2);
        m_b.insert(m_b.end(), p, p + n);
        if (n > 0xFFFF) m_tooLong = true;
    }
    void str(const std::string& s) { bytes((const uint8_t*)s.data(), s.size()); }
    const std::vector<uint8_t>& data() const { return m_b; }
    bool tooLong() const { return m_tooLong || m_b.size() > SYNC_MAX_BODY; }

private:
    std::vector<uint8_t> m_b;
    bool m_tooLong = false;
};

// Every read is checked against the bytes left; a short body fails the
// packet. Bytes after the fields of a type are left alone: later
// revisions of version 1 may append fields.
class BodyReader {
public:
    BodyReader(const uint8_t* p, size_t n) : m_p(p), m_n(n) {}
    bool u8(uint8_t& v) {
        if (m_n - m_pos < 1) return false;
        v = m_p[m_pos++];
        return true;
    }
    bool u16(uint16_t& v) {
        if (m_n - m_pos < 2) return false;
        v = GetBE16(m_p + m_pos);
        m_pos += 2;
        return true;
    }
    bool u32(uint32_t& v) {
        if (m_n - m_pos < 4) return false;
        v = GetBE32(m_p + m_pos);
        m_pos += 4;
        return true;
    }
    bool u64(uint64_t& v) {
        if (m_n - m_pos < 8) return false;
        v = GetBE64(m_p + m_pos);
        m_pos += 8;
        return true;
    }
    bool block(const uint8_t*& p, size_t& len) {
        if (m_n - m_pos < 2) return false;
        len = GetBE16(m_p + m_pos);
        m_pos += 2;
        if (m_n - m_pos < len) return false;
        p = m_p + m_pos;
        m_pos += len;
        return true;
    }
    bool atEnd() const { return m_pos >= m_n; }
    bool str(std::string& s) {
        const uint8_t* p;
        size_t len;
        if (!block(p, len)) return false;
        s.assign((const char*)p, len);
        return true;
    }

private:
    const uint8_t* m_p;
    size_t m_n;
    size_t m_pos = 0;
};

void WriteBody(const SyncPacket& p, BodyWriter& w) {
    switch (p.type) {
    case SYNC_PING:
        w.u8(p.mode);
        w.u8(p.master ? 1 : 0);
        w.u8(p.typeId);
        w.u8(0);
        w.u32(p.clockErrorUs);
        w.str(p.hostname);
        w.str(p.version);
        w.str(p.uuid);
        w.u16(p.httpPort);
        break;
    case SYNC_SEQ_START:
    case SYNC_SEQ_SYNC:
        w.u32(p.frame);
        w.u32(p.periodUs);
        w.str(p.file);
        break;
    case SYNC_MEDIA_START:
    case SYNC_MEDIA_SYNC:
        w.u64(p.positionUs);
        w.str(p.file);
        break;
    case SYNC_SEQ_OPEN:
    case SYNC_SEQ_STOP:
    case SYNC_MEDIA_OPEN:
    case SYNC_MEDIA_STOP:
        w.str(p.file);
        break;
    case SYNC_COMMAND:
        w.str(p.hosts);
        w.str(p.command);
        w.u8((uint8_t)std::min<size_t>(p.args.size(), 255));
        for (size_t i = 0; i < p.args.size() && i < 255; ++i) w.str(p.args[i]);
        break;
    case SYNC_PLUGIN:
        w.str(p.plugin);
        w.bytes(p.data.data(), p.data.size());
        break;
    case SYNC_EFFECT_START:
        w.u32(p.startChannel);
        w.u8(p.effectFlags);
        w.str(p.file);
        break;
    case SYNC_EFFECT_STOP:
        w.str(p.file);
        break;
    default:
        break;
    }
}

bool ReadBody(SyncPacket& p, BodyReader& r) {
    switch (p.type) {
    case SYNC_PING: {
        uint8_t master, reserved;
        if (!(r.u8(p.mode) && r.u8(master) && r.u8(p.typeId) && r.u8(reserved) && r.u32(p.clockErrorUs) &&
              r.str(p.hostname) && r.str(p.version) && r.str(p.uuid))) {
            return false;
        }
        p.master = master != 0;
        // Appended later: a sender that does not know it leaves it out.
        if (!r.atEnd()) r.u16(p.httpPort);
        return true;
    }
    case SYNC_SEQ_START:
    case SYNC_SEQ_SYNC:
        // A frame period of 0 would divide the remote's clock by nothing.
        return r.u32(p.frame) && r.u32(p.periodUs) && r.str(p.file) && p.periodUs > 0 && !p.file.empty();
    case SYNC_MEDIA_START:
    case SYNC_MEDIA_SYNC:
        return r.u64(p.positionUs) && r.str(p.file) && !p.file.empty();
    case SYNC_SEQ_OPEN:
    case SYNC_SEQ_STOP:
    case SYNC_MEDIA_OPEN:
    case SYNC_MEDIA_STOP:
        return r.str(p.file) && !p.file.empty();
    case SYNC_BLANK:
        return true;
    case SYNC_COMMAND: {
        uint8_t count;
        if (!(r.str(p.hosts) && r.str(p.command) && r.u8(count)) || p.command.empty()) return false;
        p.args.resize(count);
        for (auto& a : p.args) {
            if (!r.str(a)) return false;
        }
        return true;
    }
    case SYNC_PLUGIN: {
        const uint8_t* d;
        size_t len;
        if (!(r.str(p.plugin) && r.block(d, len)) || p.plugin.empty()) return false;
        p.data.assign(d, d + len);
        return true;
    }
    case SYNC_EFFECT_START:
        return r.u32(p.startChannel) && r.u8(p.effectFlags) && r.str(p.file) && !p.file.empty();
    case SYNC_EFFECT_STOP:
        return r.str(p.file);
    default:
        return false;
    }
}

void Hmac(const std::string& key, const uint8_t* data, size_t len, uint8_t out[SYNC_TAG_SIZE]) {
    unsigned int outLen = SYNC_TAG_SIZE;
    HMAC(EVP_sha256(), key.data(), (int)key.size(), data, len, out, &outLen);
}

}  // namespace

SyncParseResult ParseSyncPacket(const uint8_t* data, size_t len, SyncPacket& out) {
    out = SyncPacket();
    if (!data || len < SYNC_HEADER_SIZE) return SyncParseResult::TooShort;
    if (memcmp(data, SYNC_MAGIC, 4) != 0) return SyncParseResult::BadMagic;
    if (data[4] != SYNC_VERSION) return SyncParseResult::BadVersion;
    out.type = data[5];
    out.flags = data[6];
    out.session = GetBE32(data + 8);
    out.seq = GetBE32(data + 12);
    out.timeUs = GetBE64(data + 16);
    size_t body = GetBE16(data + 24);
    size_t tag = (out.flags & SYNC_FLAG_SIGNED) ? SYNC_TAG_SIZE : 0;
    if (body > SYNC_MAX_BODY || len != SYNC_HEADER_SIZE + body + tag) return SyncParseResult::BadLength;
    if (out.type < SYNC_PING || out.type > SYNC_EFFECT_STOP) return SyncParseResult::BadType;
    out.signedLength = SYNC_HEADER_SIZE + body;
    out.tagOffset = tag ? out.signedLength : 0;
    BodyReader r(data + SYNC_HEADER_SIZE, body);
    if (!ReadBody(out, r)) return SyncParseResult::BadBody;
    return SyncParseResult::Ok;
}

std::vector<uint8_t> BuildSyncPacket(const SyncPacket& p, const std::string& key) {
    BodyWriter w;
    WriteBody(p, w);
    if (w.tooLong()) return {};
    const std::vector<uint8_t>& body = w.data();
    std::vector<uint8_t> out(SYNC_HEADER_SIZE + body.size() + (key.empty() ? 0 : SYNC_TAG_SIZE));
    memcpy(out.data(), SYNC_MAGIC, 4);
    out[4] = SYNC_VERSION;
    out[5] = p.type;
    out[6] = (uint8_t)((p.flags & ~SYNC_FLAG_SIGNED) | (key.empty() ? 0 : SYNC_FLAG_SIGNED));
    out[7] = 0;
    PutBE32(out.data() + 8, p.session);
    PutBE32(out.data() + 12, p.seq);
    PutBE64(out.data() + 16, p.timeUs);
    PutBE16(out.data() + 24, (uint16_t)body.size());
    if (!body.empty()) memcpy(out.data() + SYNC_HEADER_SIZE, body.data(), body.size());
    size_t signedLength = SYNC_HEADER_SIZE + body.size();
    if (!key.empty()) Hmac(key, out.data(), signedLength, out.data() + signedLength);
    return out;
}

bool VerifySyncTag(const uint8_t* data, const SyncPacket& p, const std::string& key) {
    if (key.empty() || !(p.flags & SYNC_FLAG_SIGNED) || !p.tagOffset) return false;
    uint8_t want[SYNC_TAG_SIZE];
    Hmac(key, data, p.signedLength, want);
    return CRYPTO_memcmp(want, data + p.tagOffset, SYNC_TAG_SIZE) == 0;
}
