#pragma once
// The synchronisation wire format (docs/sync.md): one UDP datagram per
// packet, a fixed header, a body per packet type and an optional
// HMAC-SHA-256 tag. ParseSyncPacket is a plain function from bytes to a
// struct, shared by the receiver, the table tests and the fuzz target;
// BuildSyncPacket is its inverse, used by every sender.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Header: magic "KIVS", version, type, flags, reserved, session (BE32),
// sequence number (BE32), time (BE64, us since the epoch), body length (BE16).
static constexpr uint8_t SYNC_MAGIC[4] = {'K', 'I', 'V', 'S'};
static constexpr uint8_t SYNC_VERSION = 1;
static constexpr size_t SYNC_HEADER_SIZE = 26;
static constexpr size_t SYNC_TAG_SIZE = 32;
static constexpr size_t SYNC_MAX_BODY = 1200;
static constexpr uint16_t SYNC_DEFAULT_PORT = 32350;
static constexpr const char* SYNC_DEFAULT_GROUP = "239.255.75.86";

static constexpr uint8_t SYNC_FLAG_SIGNED = 0x01;        // a tag follows the body
static constexpr uint8_t SYNC_FLAG_CLOCK_SYNCED = 0x02;  // the sender's wall clock is synchronised
static constexpr uint8_t SYNC_FLAG_REPLY = 0x04;         // ping: answer with a ping

enum SyncPacketType : uint8_t {
    SYNC_PING = 1,
    SYNC_SEQ_OPEN = 2,
    SYNC_SEQ_START = 3,
    SYNC_SEQ_STOP = 4,
    SYNC_SEQ_SYNC = 5,
    SYNC_MEDIA_OPEN = 6,
    SYNC_MEDIA_START = 7,
    SYNC_MEDIA_STOP = 8,
    SYNC_MEDIA_SYNC = 9,
    SYNC_BLANK = 10,
    SYNC_COMMAND = 11,
    SYNC_PLUGIN = 12,
    SYNC_EFFECT_START = 13,
    SYNC_EFFECT_STOP = 14,
};

enum class SyncParseResult { Ok, TooShort, BadMagic, BadVersion, BadLength, BadType, BadBody };
const char* SyncParseResultText(SyncParseResult r);
const char* SyncPacketTypeName(uint8_t type);

// One packet; only the fields of its type are meaningful.
struct SyncPacket {
    uint8_t type = 0;
    uint8_t flags = 0;
    uint32_t session = 0;
    uint32_t seq = 0;
    uint64_t timeUs = 0;  // sender's wall clock: when the frame went out / the position was measured

    // sequence and media packets
    std::string file;
    uint32_t frame = 0;
    uint32_t periodUs = 0;
    uint64_t positionUs = 0;

    // ping
    uint8_t mode = 0;  // 2 player, 8 remote
    bool master = false;
    uint8_t typeId = 0;
    uint32_t clockErrorUs = 0;  // kernel's estimated error; SYNC_UNKNOWN_ERROR when unknown
    std::string hostname, version, uuid;
    uint16_t httpPort = 0;  // where its HTTP interface takes other machines; 0: it does not

    // command
    std::string hosts;  // comma-separated targets; empty: every system
    std::string command;
    std::vector<std::string> args;

    // plug-in data
    std::string plugin;
    std::vector<uint8_t> data;

    // effect start and stop (the effect's name in `file`; stop: empty = all)
    uint32_t startChannel = 0;  // 0: where its file puts it
    uint8_t effectFlags = 0;    // SYNC_EFFECT_LOOP, SYNC_EFFECT_BACKGROUND

    // Set by the parser: bytes covered by the tag, and where the tag is.
    size_t signedLength = 0;
    size_t tagOffset = 0;
};
static constexpr uint32_t SYNC_UNKNOWN_ERROR = 0xFFFFFFFF;
static constexpr uint8_t SYNC_EFFECT_LOOP = 0x01;
static constexpr uint8_t SYNC_EFFECT_BACKGROUND = 0x02;

SyncParseResult ParseSyncPacket(const uint8_t* data, size_t len, SyncPacket& out);

// The datagram for p; signed with key unless key is empty. Empty when the
// body would exceed SYNC_MAX_BODY (a file name or command that is too long).
std::vector<uint8_t> BuildSyncPacket(const SyncPacket& p, const std::string& key);

// True when the packet (parsed from data) carries a tag made with key.
bool VerifySyncTag(const uint8_t* data, const SyncPacket& p, const std::string& key);
