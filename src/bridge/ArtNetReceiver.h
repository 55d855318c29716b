#pragma once
// The bridge's Art-Net input: parses ArtDmx and ArtPoll (ParseArtNet, also
// used by the table tests, the fuzz target and kivmon), takes ArtDmx of the
// configured port-addresses (net, sub-net and universe as one 15-bit
// number), and answers ArtPoll with ArtPollReply packets so consoles list
// the board with the universes it takes. Several senders of one universe:
// the latest packet wins.

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "bridge/InputReceiver.h"

enum class ArtNetPacketKind { Dmx, Poll, Other };

struct ArtNetPacket {
    ArtNetPacketKind kind = ArtNetPacketKind::Other;
    uint16_t opcode = 0;
    uint8_t sequence = 0;
    uint8_t physical = 0;
    int universe = -1;  // 15-bit port-address; set as soon as it could be read
    const uint8_t* data = nullptr;
    size_t length = 0;
};

extern const char* const ARTNET_OVERSIZED;

// nullptr when buf holds a well-formed Art-Net packet (out is filled), else
// the reason it was refused.
const char* ParseArtNet(const uint8_t* buf, size_t len, ArtNetPacket& out);

// One ArtPollReply announcing up to four output ports: port-addresses
// netSubnet | low nibble of each of `universes` (all within one sub-net).
// ip in network byte order.
std::vector<uint8_t> BuildArtPollReply(uint32_t ip, const std::string& shortName, const std::string& longName,
                                       const std::string& report, int netSubnet, const std::vector<int>& universes,
                                       int bindIndex);

struct ArtNetUniverseState {
    std::vector<Sender> sources;
    uint32_t lastSource = 0;  // address of the sender shown last
};

class ArtNetReceiver : public UniverseReceiver<ArtNetUniverseState> {
public:
    explicit ArtNetReceiver(InputSink& sink) : UniverseReceiver(InputProtocol::ArtNet, sink) {}
    void Prepare(const InputsConfig& cfg) override;
    void Handle(const uint8_t* buf, size_t len, const sockaddr_in& from, long long nowUs) override;
    std::vector<SourceReport> Sources(const LiveInput& in, long long nowUs) const override;
    // The replies to a poll, one per four universes of a sub-net.
    std::vector<std::vector<uint8_t>> PollReplies(uint32_t ip) const;

private:
    void Reply(const sockaddr_in& from, long long nowUs);

    // Polls answered in the current second: a flood of polls (or forged
    // ones aimed at a victim's address) gets a bounded number of replies.
    long long m_pollWindowUs = 0;
    int m_pollsInWindow = 0;
    std::string m_listenAddress;
    std::string m_shortName;
};
