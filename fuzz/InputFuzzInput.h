#pragma once
// One fuzz input for the live input bridge, shared by the libFuzzer targets
// (fuzz/input_fuzz.cpp, built as e131_fuzz, artnet_fuzz and ddp_fuzz) and
// the test that replays the seed corpus (tests/bridge/InputParsersTest.cpp).
//
// Input: 1 control byte, then one datagram. The datagram goes through the
// protocol's parser and then through a receiver that lives for the whole
// run (so state left by earlier inputs is exercised); the control byte
// moves the receiver's clock on by that many times 20 ms, so sources time
// out and bursts go quiet. The state kept between inputs is not a leak: run
// with -detect_leaks=0, or leak checking after every input makes the
// targets a hundred times slower.

#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "bridge/ArtNetReceiver.h"
#include "bridge/DDPReceiver.h"
#include "bridge/E131Receiver.h"

namespace inputfuzz {

class DiscardSink : public InputSink {
public:
    void Deliver(const std::vector<LiveInput*>& inputs, long long) override {
        for (LiveInput* in : inputs) frames += in->data.empty() ? 0 : in->data[0] | 1;
    }
    long long frames = 0;
};

// Inputs covering low universes and DDP offsets, as a small show would.
inline InputsConfig FuzzConfig(InputProtocol p) {
    InputsConfig cfg;
    InputConfig a;
    a.protocol = p;
    a.universe = p == InputProtocol::ArtNet ? 0 : 1;
    a.universeCount = 4;
    a.channelsPerUniverse = 510;
    a.channelCount = 2040;
    a.ddpOffset = 100;
    a.startChannel = 0;
    InputConfig b = a;
    b.index = 1;
    b.universe += 16;
    b.universeCount = 1;
    b.channelCount = 510;
    b.ddpOffset = 3000;
    b.startChannel = 2040;
    cfg.inputs = {a, b};
    return cfg;
}

struct Harness {
    explicit Harness(InputProtocol p) {
        if (p == InputProtocol::E131) receiver.reset(new E131Receiver(sink));
        if (p == InputProtocol::ArtNet) receiver.reset(new ArtNetReceiver(sink));
        if (p == InputProtocol::DDP) receiver.reset(new DDPReceiver(sink));
        InputsConfig cfg = FuzzConfig(p);
        for (auto& c : cfg.inputs) {
            inputs.emplace_back(new LiveInput());
            inputs.back()->config = c;
            inputs.back()->data.assign(c.channelCount, 0);
            receiver->AddInput(inputs.back().get());
        }
        receiver->Prepare(cfg);
    }
    void Run(const uint8_t* data, size_t size) {
        if (size < 1) return;
        now += (long long)data[0] * 20000;
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl(0x7f000001u + (data[0] & 3));
        receiver->Handle(data + 1, size - 1, from, now);
        receiver->Flush(now);
    }
    DiscardSink sink;
    std::vector<std::unique_ptr<LiveInput>> inputs;
    std::unique_ptr<InputReceiver> receiver;
    long long now = 1000000;
};

// Parses the datagram alone, then feeds it to the run's receiver.
inline void RunInputFuzz(InputProtocol p, const uint8_t* data, size_t size) {
    // Made once and kept for the run (receivers hold a reference to their sink).
    static Harness* harness[3] = {new Harness(InputProtocol::E131), new Harness(InputProtocol::ArtNet),
                                  new Harness(InputProtocol::DDP)};
    if (size >= 1) {
        E131Packet e;
        ArtNetPacket a;
        DDPPacket d;
        if (p == InputProtocol::E131) ParseE131(data + 1, size - 1, e);
        if (p == InputProtocol::ArtNet) ParseArtNet(data + 1, size - 1, a);
        if (p == InputProtocol::DDP) ParseDDP(data + 1, size - 1, d);
    }
    harness[(int)p]->Run(data, size);
}

}  // namespace inputfuzz
