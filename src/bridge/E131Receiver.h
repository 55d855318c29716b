#pragma once
// The bridge's E1.31 (sACN) input: parses data packets (ParseE131, also
// used by the table tests, the fuzz target and kivmon), joins the multicast
// group of every configured universe, and per universe lets the source of
// the highest priority through (among equals the one showing keeps the
// universe until its data expires). A source silent for 2.5 s, or one that
// says its stream ended, is dropped; stale packets (sequence number up to
// 20 behind) are dropped as the standard says.

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "bridge/InputReceiver.h"

enum class E131PacketKind { Data, Sync, Other };

struct E131Packet {
    E131PacketKind kind = E131PacketKind::Other;
    const uint8_t* cid = nullptr;       // 16 bytes
    const char* sourceName = nullptr;   // up to 64 bytes, NUL-terminated or not
    size_t sourceNameLength = 0;
    uint8_t priority = 0;
    uint16_t syncAddress = 0;
    uint8_t sequence = 0;
    uint8_t options = 0;
    int universe = -1;                  // set as soon as it could be read
    uint8_t startCode = 0;
    const uint8_t* data = nullptr;      // the channels after the start code
    size_t length = 0;
};

// Why a datagram longer than any E1.31 data packet was refused.
extern const char* const E131_OVERSIZED;

// nullptr when buf holds a well-formed E1.31 packet (out is filled), else
// the reason it was refused.
const char* ParseE131(const uint8_t* buf, size_t len, E131Packet& out);

struct E131Source : Sender {
    uint8_t cid[16];
    std::string name;
    uint8_t priority = 0;
};

struct E131UniverseState {
    std::vector<E131Source> sources;
    int holder = -1;  // index of the source whose data is shown
};

class E131Receiver : public UniverseReceiver<E131UniverseState> {
public:
    static constexpr size_t MAX_SOURCES_PER_UNIVERSE = 16;

    explicit E131Receiver(InputSink& sink) : UniverseReceiver(InputProtocol::E131, sink) {}
    // Joins the multicast groups of the inputs that ask for them.
    void Prepare(const InputsConfig& cfg) override;
    void Handle(const uint8_t* buf, size_t len, const sockaddr_in& from, long long nowUs) override;
    std::vector<SourceReport> Sources(const LiveInput& in, long long nowUs) const override;

private:
    // Forgets the sources silent for 2.5 s.
    void DropGone(int universe, Universe& u, long long nowUs);
    // The source that wins the universe now; -1 when none is left.
    int ChooseHolder(Universe& u, long long nowUs);
};
