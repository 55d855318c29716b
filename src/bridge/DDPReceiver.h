#pragma once
// The bridge's DDP input: parses DDP packets (ParseDDP, also used by the
// table tests, the fuzz target and kivmon) and places their bytes, by
// offset, into the configured DDP ranges. A sender that sets the push flag
// has its frames held until the push packet arrives.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bridge/InputReceiver.h"

enum class DDPPacketKind { Data, Query, Other };

struct DDPPacket {
    DDPPacketKind kind = DDPPacketKind::Other;
    uint8_t flags = 0;
    uint8_t sequence = 0;  // 1-15; 0 = the sender does not number
    uint8_t dataType = 0;
    uint8_t id = 0;
    uint32_t offset = 0;
    bool push = false;
    const uint8_t* data = nullptr;
    size_t length = 0;  // as the header says, which may be past the usual 1440
};

// nullptr when buf holds a well-formed DDP packet (out is filled), else the
// reason it was refused. Kind, offset and length are set as soon as the
// header could be read, so a refused data packet still tells where it was
// meant to go.
const char* ParseDDP(const uint8_t* buf, size_t len, DDPPacket& out);

class DDPReceiver : public InputReceiver {
public:
    // A sender seen using push this recently is waited for.
    static constexpr long long PUSH_MEMORY_US = 2000000;
    // A held frame whose push never came goes on after this long.
    static constexpr long long PUSH_WAIT_US = 100000;
    static constexpr size_t MAX_SOURCES = 64;

    explicit DDPReceiver(InputSink& sink) : InputReceiver(InputProtocol::DDP, sink) {}
    void Handle(const uint8_t* buf, size_t len, const sockaddr_in& from, long long nowUs) override;
    std::vector<SourceReport> Sources(const LiveInput& in, long long nowUs) const override;

protected:
    long long QuietUs() const override;

private:
    struct Source : Sender {
        long long pushSeenUs = 0;
        std::vector<LiveInput*> inputs;  // inputs its packets reached
    };
    Source* Find(const sockaddr_in& from, long long nowUs);

    std::vector<Source> m_sources;
    long long m_pushSeenUs = 0;
    long long m_lastUs = 0;
};
