// The receivers' decisions on a simulated clock: which E1.31 source wins a
// universe and when another takes over, sequence numbers, when a burst of
// packets is handed on as one frame, DDP push, Art-Net poll replies, and the
// inputs file.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>

#include <map>
#include <memory>

#include "LiveInputSupport.h"
#include "bridge/ArtNetReceiver.h"
#include "bridge/DDPReceiver.h"
#include "bridge/E131Receiver.h"
#include "common.h"

using kivtest::Bytes;

namespace {

struct Delivery {
    long long atUs = 0;
    std::vector<Bytes> data;  // per input handed on
    std::vector<long long> expiresUs;
};

class Rig : public InputSink {
public:
    // Inputs as "protocol universe count channels [offset]".
    Rig(InputProtocol p, std::vector<InputConfig> inputs) {
        if (p == InputProtocol::E131) receiver.reset(new E131Receiver(*this));
        if (p == InputProtocol::ArtNet) receiver.reset(new ArtNetReceiver(*this));
        if (p == InputProtocol::DDP) receiver.reset(new DDPReceiver(*this));
        InputsConfig cfg;
        for (auto& c : inputs) {
            c.protocol = p;
            c.channelCount = p == InputProtocol::DDP ? c.channelCount : c.universeCount * c.channelsPerUniverse;
            live.emplace_back(new LiveInput());
            live.back()->config = c;
            live.back()->data.assign(c.channelCount, 0);
            receiver->AddInput(live.back().get());
            cfg.inputs.push_back(c);
        }
        receiver->Prepare(cfg);
    }
    void Deliver(const std::vector<LiveInput*>& inputs, long long nowUs) override {
        Delivery d;
        d.atUs = nowUs;
        for (auto* in : inputs) {
            d.data.push_back(in->data);
            d.expiresUs.push_back(in->expiresUs);
        }
        frames.push_back(d);
    }
    // Runs the bridge's timer up to ms: quiet bursts and expired bytes go on.
    void advance(long long ms) {
        for (long long due; (due = receiver->FlushDueUs()) && due <= ms * 1000;) receiver->Flush(due);
    }
    // What the outputs show of the only input at ms: the latest frame until it expires.
    Bytes shown(long long ms) {
        for (auto f = frames.rbegin(); f != frames.rend(); ++f) {
            if (f->atUs <= ms * 1000) return f->expiresUs[0] >= ms * 1000 ? f->data[0] : Bytes(f->data[0].size(), 0);
        }
        return Bytes(live[0]->data.size(), 0);
    }
    void send(const Bytes& p, long long ms, uint32_t ip = 0x7f000002) {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl(ip);
        from.sin_port = htons(5000);
        receiver->Handle(p.data(), p.size(), from, ms * 1000);
    }
    // Sends, then lets the burst go quiet.
    void sendAlone(const Bytes& p, long long ms) {
        send(p, ms);
        receiver->Flush((ms + 20) * 1000);
    }
    std::unique_ptr<InputReceiver> receiver;
    std::vector<std::unique_ptr<LiveInput>> live;
    std::vector<Delivery> frames;
};

InputConfig Universes(int first, int count, int channels = 4) {
    InputConfig c;
    c.universe = first;
    c.universeCount = count;
    c.channelsPerUniverse = channels;
    return c;
}

TEST(Receivers, E131HighestPriorityWinsUntilSilentThenLowerTakesOverAndTerminationEndsTheInput) {
    Rig rig(InputProtocol::E131, {Universes(1, 1)});
    rig.send(kivtest::E131Data(1, 1, Bytes(4, 0x10), 100, 0xA), 0);
    rig.send(kivtest::E131Data(1, 1, Bytes(4, 0x20), 150, 0xB), 10);
    rig.send(kivtest::E131Data(1, 2, Bytes(4, 0x11), 100, 0xA), 20);    // loses to 150
    rig.send(kivtest::E131Data(1, 3, Bytes(4, 0x12), 100, 0xA), 2400);  // 150 silent 2.39 s: still its universe
    ASSERT_EQ(2u, rig.frames.size());
    EXPECT_EQ(Bytes(4, 0x20), rig.frames[1].data[0]);
    auto sources = rig.receiver->Sources(*rig.live[0], 2400 * 1000);
    ASSERT_EQ(2u, sources.size());
    for (auto& s : sources) EXPECT_EQ(s.priority == 150, s.active) << s.cid;

    rig.send(kivtest::E131Data(1, 4, Bytes(4, 0x13), 100, 0xA), 2520);  // 150 silent 2.51 s: gone
    ASSERT_EQ(3u, rig.frames.size());
    EXPECT_EQ(Bytes(4, 0x13), rig.frames[2].data[0]);
    sources = rig.receiver->Sources(*rig.live[0], 2520 * 1000);
    ASSERT_EQ(1u, sources.size());
    EXPECT_EQ(100, sources[0].priority);
    EXPECT_EQ("0a0a0a0a-0a0a-0a0a-0a0a-0a0a0a0a0a0a", sources[0].cid);

    rig.send(kivtest::E131Data(1, 5, Bytes(4, 0x77), 100, 0xA, "x", 0x40), 2530);  // stream terminated
    ASSERT_EQ(4u, rig.frames.size());
    EXPECT_EQ(0, rig.frames[3].expiresUs[0]) << "ended: dropped by the outputs at once";
    EXPECT_EQ(Bytes(4, 0), rig.frames[3].data[0]) << "neither the terminating packet's data nor the old";
}

// One step of an arbitration scenario on E1.31 universes 1-3 of one input
// (4 channels each): a source sends a universe one value, ends its stream
// there, or the outputs are looked at.
struct Step {
    long long ms;
    uint8_t cid, priority;  // cid 0: a look at the outputs
    int universe;
    uint8_t value, options;
    Bytes shown;  // a look: the value each universe shows
};
Step Send(long long ms, uint8_t cid, uint8_t prio, int u, uint8_t v) { return {ms, cid, prio, u, v, 0, {}}; }
Step End(long long ms, uint8_t cid, int universe) { return {ms, cid, 100, universe, 0x7F, 0x40, {}}; }
Step Look(long long ms, Bytes shown) { return {ms, 0, 0, 0, 0, 0, shown}; }

TEST(Receivers, E131SourcesTakeOverWithoutExpiredDataComingBack) {
    struct Case { const char* name; int timeoutMs; std::vector<Step> steps; };
    const Case cases[] = {
        {"equal priority: a newer source takes over once the holder's data has expired", 1000,
         {Send(0, 0xA, 100, 1, 0x11), Look(500, {0x11, 0, 0}), Look(1100, {0, 0, 0}), Send(1500, 0xB, 100, 1, 0x21),
          Send(1500, 0xB, 100, 2, 0x22), Send(1500, 0xB, 100, 3, 0x23), Look(1520, {0x21, 0x22, 0x23})}},
        {"equal priority: the source shown keeps the universe while its data is live", 1000,
         {Send(0, 0xA, 100, 1, 0x11), Send(500, 0xB, 100, 1, 0x21), Look(520, {0x11, 0, 0}),
          Send(900, 0xA, 100, 1, 0x12), Send(1400, 0xB, 100, 1, 0x22), Look(1420, {0x12, 0, 0}),
          Send(1950, 0xB, 100, 1, 0x23), Look(1970, {0x23, 0, 0})}},
        {"a universe gone quiet is not handed on beside another source's", 1000,
         {Send(0, 0xA, 150, 1, 0x11), Send(1500, 0xB, 100, 2, 0x22), Send(1500, 0xB, 100, 3, 0x23),
          Look(1520, {0, 0x22, 0x23})}},
        {"a frame whose packets came apart expires whole", 1000,
         {Send(0, 0xA, 100, 1, 0x11), Send(4, 0xA, 100, 2, 0x12), Look(999, {0x11, 0x12, 0}), Look(1002, {0, 0, 0})}},
        {"a universe expires on time while the others keep coming", 1000,
         {Send(0, 0xA, 100, 1, 0x11), Send(0, 0xA, 100, 2, 0x12), Send(600, 0xA, 100, 2, 0x13),
          Look(990, {0x11, 0x13, 0}), Look(1010, {0, 0x13, 0}), Look(1590, {0, 0x13, 0}), Look(1610, {0, 0, 0})}},
        {"the first packet of a source is shown when the last went silent 2.5 s before", 1000,
         {Send(0, 0xA, 100, 1, 0x11), Send(0, 0xA, 200, 2, 0x12), Send(3000, 0xB, 100, 1, 0x21),
          Send(3000, 0xB, 50, 2, 0x22), Look(3020, {0x21, 0x22, 0})}},
        {"the first packet of a source is shown when nobody held the universe", 1000,
         {Send(0, 0xB, 100, 1, 0x21), Look(20, {0x21, 0, 0})}},
        {"a timeout above 2.5 s holds the last look until a lower priority backup takes over", 3000,
         {Send(0, 0xA, 150, 1, 0x11), Send(1500, 0xB, 100, 1, 0x21), Look(2490, {0x11, 0, 0}),
          Send(2600, 0xB, 100, 1, 0x22), Look(2620, {0x22, 0, 0})}},
        {"a source that ends its stream darkens its universe at once, the others stay", 1000,
         {Send(0, 0xA, 100, 1, 0x11), Send(0, 0xB, 100, 2, 0x12), End(100, 0xA, 1), Look(120, {0, 0x12, 0}),
          End(200, 0xB, 2), Look(220, {0, 0, 0})}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        InputConfig config = Universes(1, 3);
        config.timeoutMs = c.timeoutMs;
        Rig rig(InputProtocol::E131, {config});
        std::map<std::pair<int, int>, uint8_t> sequence;  // per source and universe
        std::map<uint8_t, long long> sentUs;               // per value
        for (const Step& s : c.steps) {
            rig.advance(s.ms);
            if (s.cid) {
                rig.send(kivtest::E131Data(s.universe, sequence[{s.cid, s.universe}]++, Bytes(4, s.value), s.priority,
                                           s.cid, "source", s.options),
                         s.ms);
                sentUs[s.value] = s.ms * 1000;
                continue;
            }
            Bytes want;
            for (uint8_t v : s.shown) want.insert(want.end(), 4, v);
            EXPECT_EQ(want, rig.shown(s.ms)) << "at " << s.ms << " ms";
        }
        // Nothing is ever handed on past its timeout.
        for (const Delivery& d : rig.frames) {
            for (size_t at = 0; at < d.data[0].size(); at += 4) {
                if (uint8_t v = d.data[0][at]) { EXPECT_LE(d.atUs, sentUs[v] + c.timeoutMs * 1000LL) << "universe " << at / 4 + 1; }
            }
        }
    }
}

TEST(Receivers, E131SendersBeyondSixteenWaitUntilOneHasBeenSilentFor2500Ms) {
    Rig rig(InputProtocol::E131, {Universes(1, 1)});
    for (uint8_t c = 1; c <= 16; ++c) rig.sendAlone(kivtest::E131Data(1, 1, Bytes(4, c), 100, c), c);
    rig.sendAlone(kivtest::E131Data(1, 1, Bytes(4, 99), 200, 99), 100);  // a seventeenth: no place
    EXPECT_EQ(1u, rig.receiver->Statistics().ignored);
    EXPECT_EQ(16u, rig.receiver->Sources(*rig.live[0], 100 * 1000).size());
    size_t before = rig.frames.size();
    rig.sendAlone(kivtest::E131Data(1, 2, Bytes(4, 99), 200, 99), 2600);  // the sixteen have all gone quiet
    ASSERT_EQ(before + 1, rig.frames.size());
    EXPECT_EQ(Bytes(4, 99), rig.frames.back().data[0]);
}

TEST(Receivers, E131SequenceNumbersDropStalePacketsAndCountGaps) {
    Rig rig(InputProtocol::E131, {Universes(1, 1)});
    struct Step {
        uint8_t sequence;
        bool taken;
    };
    // Up to 19 behind (in 8-bit arithmetic) is stale; 20 or more behind is a new start.
    const Step steps[] = {{10, true},  {9, false}, {10, false}, {13, true},   {200, true},
                          {255, true}, {0, true},  {236, true}, {235, false}, {237, true}};
    long long ms = 0;
    size_t before = 0;
    for (const Step& s : steps) {
        SCOPED_TRACE(s.sequence);
        rig.sendAlone(kivtest::E131Data(1, s.sequence, Bytes(4, s.sequence)), ms += 30);
        EXPECT_EQ(before + (s.taken ? 1 : 0), rig.frames.size());
        before = rig.frames.size();
    }
    EXPECT_EQ(3u, rig.live[0]->stats.outOfOrder);
    EXPECT_EQ(2u + 54u, rig.live[0]->stats.sequenceGaps);
}

TEST(Receivers, BurstsOfUniversesGoOnAsWholeFrames) {
    Rig rig(InputProtocol::E131, {Universes(1, 3)});
    // The first burst goes on once quiet, and teaches which universes come.
    for (int u = 1; u <= 3; ++u) rig.send(kivtest::E131Data(u, 1, Bytes(4, 1)), 0);
    EXPECT_TRUE(rig.frames.empty());
    EXPECT_TRUE(rig.receiver->Flush(10 * 1000));
    ASSERT_EQ(1u, rig.frames.size());
    EXPECT_EQ(Bytes(12, 1), rig.frames[0].data[0]);
    size_t learnt = rig.frames.size();
    // A whole burst: handed on once, when its last universe arrives.
    rig.send(kivtest::E131Data(1, 2, Bytes(4, 2)), 50);
    rig.send(kivtest::E131Data(2, 2, Bytes(4, 2)), 50);
    EXPECT_EQ(learnt, rig.frames.size());
    rig.send(kivtest::E131Data(3, 2, Bytes(4, 2)), 50);
    ASSERT_EQ(learnt + 1, rig.frames.size());
    Bytes all2(12, 2);
    EXPECT_EQ(all2, rig.frames.back().data[0]);
    // A sender that leaves universe 3 out: its burst goes on once quiet for 10 ms...
    rig.send(kivtest::E131Data(1, 3, Bytes(4, 3)), 100);
    rig.send(kivtest::E131Data(2, 3, Bytes(4, 3)), 100);
    EXPECT_FALSE(rig.receiver->Flush(109 * 1000));
    EXPECT_TRUE(rig.receiver->Flush(110 * 1000));
    // ...or at once when its next frame begins.
    rig.send(kivtest::E131Data(1, 4, Bytes(4, 4)), 150);
    rig.send(kivtest::E131Data(2, 4, Bytes(4, 4)), 150);
    rig.send(kivtest::E131Data(1, 5, Bytes(4, 5)), 150);
    ASSERT_EQ(learnt + 3, rig.frames.size());
    Bytes expected = {4, 4, 4, 4, 4, 4, 4, 4, 2, 2, 2, 2};
    EXPECT_EQ(expected, rig.frames.back().data[0]);
    // Universes nobody takes, preview data and other start codes are counted, not used.
    rig.send(kivtest::E131Data(9, 1, Bytes(4, 9)), 200);
    rig.send(kivtest::E131Data(2, 6, Bytes(4, 9), 100, 1, "p", 0x80), 200);
    Bytes dd = kivtest::E131Data(2, 7, Bytes(4, 9));
    dd[125] = 0xDD;
    rig.send(dd, 200);
    EXPECT_EQ(1u, rig.receiver->Statistics().unconfigured);
    EXPECT_EQ(std::set<int>{9}, rig.receiver->Statistics().unconfiguredUniverses);
    EXPECT_EQ(2u, rig.receiver->Statistics().ignored);
}

TEST(Receivers, AssemblerBeyondItsSlotLimitStillHoldsAndForgetsSlotsGoneQuiet) {
    const uint32_t limit = FrameAssembler::MAX_SLOTS;
    FrameAssembler f;
    for (uint32_t slot = 0; slot < limit + 10; ++slot) f.Hold(slot, 0);
    // Slots past the limit are not learnt, but their bytes still wait for the frame.
    EXPECT_TRUE(f.Held(limit + 5));
    EXPECT_FALSE(f.Held(limit + 20));
    EXPECT_TRUE(f.Pending());
    f.Delivered(0);
    EXPECT_FALSE(f.Pending());
    EXPECT_FALSE(f.Held(7));
    EXPECT_FALSE(f.Held(limit + 5));
    // A second later only the slot that still comes makes up a frame.
    f.Hold(7, 2000000);
    f.Delivered(2000000);
    f.Hold(7, 2010000);
    EXPECT_TRUE(f.Complete());
}

TEST(Receivers, DDPFramesWaitForPushAndLandByOffset) {
    InputConfig a, b;
    a.ddpOffset = 0, a.channelCount = 1000;
    b.ddpOffset = 1000, b.channelCount = 2000;
    Rig rig(InputProtocol::DDP, {a, b});
    // The first frame teaches that the sender pushes.
    rig.send(kivtest::DDPData(0, Bytes(1440, 9), false, 1), 0);
    rig.send(kivtest::DDPData(1440, Bytes(1440, 9), true, 2), 0);
    size_t learnt = rig.frames.size();
    rig.send(kivtest::DDPData(0, Bytes(1440, 1), false, 3), 20);
    EXPECT_EQ(learnt, rig.frames.size());
    rig.send(kivtest::DDPData(1440, Bytes(1440, 2), true, 4), 20);
    ASSERT_EQ(learnt + 1, rig.frames.size());
    Bytes second(2000, 0);
    std::fill(second.begin(), second.begin() + 440, 1);
    std::fill(second.begin() + 440, second.begin() + 1880, 2);
    EXPECT_EQ(Bytes(1000, 1), rig.frames.back().data[0]);
    EXPECT_EQ(second, rig.frames.back().data[1]);
    // A pusher's frame is held however long its packets take (up to 100 ms).
    rig.send(kivtest::DDPData(0, Bytes(1440, 3), false, 5), 50);
    EXPECT_FALSE(rig.receiver->Flush(60 * 1000));
    rig.send(kivtest::DDPData(1440, Bytes(1440, 4), true, 7), 70);  // sequence 6 lost
    ASSERT_EQ(learnt + 2, rig.frames.size());
    EXPECT_EQ(1u, rig.live[1]->stats.sequenceGaps);  // counted on the inputs the packet reached
    rig.send(kivtest::DDPData(9000, Bytes(10, 1), true), 80);
    EXPECT_EQ(1u, rig.receiver->Statistics().unconfigured);
    // A damaged packet counts on the inputs its header names; one without a header on none.
    Bytes damaged = kivtest::DDPData(1200, Bytes(100, 1), true);
    damaged.pop_back();
    rig.send(damaged, 90);
    rig.send(Bytes(5, 0x41), 90);
    EXPECT_EQ(2u, rig.receiver->Statistics().malformed);
    EXPECT_EQ(0u, rig.live[0]->stats.errors);
    EXPECT_EQ(1u, rig.live[1]->stats.errors);
}

TEST(Receivers, DDPPacketsOfUpTo2038DataBytesAreTakenLongerOnesAreOversized) {
    InputConfig c;
    c.channelCount = 3000;
    Rig rig(InputProtocol::DDP, {c});
    sockaddr_in a{};
    socklen_t n = sizeof(a);
    ASSERT_TRUE(rig.receiver->Open("127.0.0.1", 0) && getsockname(rig.receiver->Descriptor(), (sockaddr*)&a, &n) == 0);
    kivtest::UdpSender sender("127.0.0.1");
    for (size_t bytes : {1440, 1500, 2038, 2039}) {
        SCOPED_TRACE(bytes);
        size_t frames = rig.frames.size();
        Bytes packet = kivtest::DDPData(0, Bytes(bytes, (uint8_t)bytes), true);
        ASSERT_TRUE(sender.send(packet, "127.0.0.1", ntohs(a.sin_port)));
        pollfd p{rig.receiver->Descriptor(), POLLIN, 0};
        ASSERT_EQ(1, poll(&p, 1, 5000));
        rig.receiver->Readable(BridgeClockUs());
        EXPECT_EQ(bytes <= 2038 ? frames + 1 : frames, rig.frames.size());
    }
    EXPECT_EQ(1u, rig.receiver->Statistics().oversized);
    EXPECT_EQ(Bytes(2038, (uint8_t)2038), Bytes(rig.live[0]->data.begin(), rig.live[0]->data.begin() + 2038));
}

TEST(Receivers, ArtNetPollRepliesListTheUniversesFourPerReply) {
    Rig rig(InputProtocol::ArtNet, {Universes(0x0110, 6), Universes(0x0300, 1)});
    auto replies = static_cast<ArtNetReceiver*>(rig.receiver.get())->PollReplies(htonl(0x0a000105));
    ASSERT_EQ(3u, replies.size());
    struct Want {
        uint8_t net, subnet, ports, bindIndex;
        Bytes swOut;
    };
    const Want want[] = {{1, 1, 4, 1, {0, 1, 2, 3}}, {1, 1, 2, 2, {4, 5}}, {3, 0, 1, 3, {0}}};
    for (size_t i = 0; i < replies.size(); ++i) {
        SCOPED_TRACE(i);
        const Bytes& r = replies[i];
        ASSERT_EQ(239u, r.size());
        EXPECT_EQ(0, memcmp(r.data(), "Art-Net\0", 8));
        EXPECT_EQ(Bytes({0x00, 0x21}), Bytes(r.begin() + 8, r.begin() + 10));   // OpPollReply, low byte first
        EXPECT_EQ(Bytes({10, 0, 1, 5}), Bytes(r.begin() + 10, r.begin() + 14));  // IP
        EXPECT_EQ(Bytes({0x36, 0x19}), Bytes(r.begin() + 14, r.begin() + 16));  // port 6454, low byte first
        EXPECT_EQ(want[i].net, r[18]);
        EXPECT_EQ(want[i].subnet, r[19]);
        EXPECT_EQ(want[i].ports, r[173]);
        for (size_t p = 0; p < want[i].swOut.size(); ++p) {
            EXPECT_EQ(0x80, r[174 + p]);  // an output port taking DMX from Art-Net
            EXPECT_EQ(want[i].swOut[p], r[190 + p]);
        }
        EXPECT_EQ(want[i].bindIndex, r[211]);
    }
    // Two consoles on one universe: the latest packet wins; stale ones are dropped.
    rig.send(kivtest::ArtDmx(0x0300, 7, Bytes(4, 7)), 0, 0x7f000002);
    rig.send(kivtest::ArtDmx(0x0300, 1, Bytes(4, 8)), 10, 0x7f000003);
    rig.send(kivtest::ArtDmx(0x0300, 6, Bytes(4, 6)), 20, 0x7f000002);
    ASSERT_EQ(2u, rig.frames.size());
    EXPECT_EQ(Bytes(4, 8), rig.frames.back().data[0]);
    EXPECT_EQ(1u, rig.live[1]->stats.outOfOrder);
}

TEST(Receivers, InputsFileExampleAndRefusedInputs) {
    InputsConfig example = LoadInputsConfig(kivtest::sourceDir() + "/docs/examples/inputs.json");
    EXPECT_TRUE(example.errors.empty());
    ASSERT_EQ(3u, example.inputs.size());  // the disabled one is left out
    EXPECT_EQ("eth0", example.interface);
    const InputConfig& e = example.inputs[0];
    EXPECT_EQ(InputProtocol::E131, e.protocol);
    EXPECT_EQ(4080u, e.channelCount);
    EXPECT_EQ(0u, e.startChannel);
    EXPECT_EQ(1000, e.timeoutMs);
    EXPECT_EQ(4080u, example.inputs[1].startChannel);
    EXPECT_EQ(1024u, example.inputs[1].channelCount);
    EXPECT_EQ(InputProtocol::DDP, example.inputs[2].protocol);
    EXPECT_EQ(3000u, example.inputs[2].channelCount);

    const std::pair<const char*, const char*> refused[] = {
        {R"({"protocol": "KiNet", "universe": 1})", "\"protocol\" must be"},
        {R"({"protocol": "E1.31"})", "\"universe\" is missing"},
        {R"({"protocol": "E1.31", "universe": 64000})", "\"universe\" 64000 is outside 1-63999"},
        {R"({"protocol": "E1.31", "universe": 63999, "universeCount": 2})", "go past 63999"},
        {R"({"protocol": "Art-Net", "universe": 0, "channelCount": 513})", "\"channelCount\" 513 is outside 1-512"},
        {R"({"protocol": "DDP", "startChannel": 1})", "\"channelCount\" is missing"},
        {R"({"protocol": "DDP", "channelCount": 10, "startChannel": 8388605})", "go past channel 8388608"},
        {R"({"protocol": "E1.31", "universe": "one"})", "\"universe\" must be a whole number"},
        {R"({"protocol": "E1.31", "universe": 5, "universeCount": 3})", "universe 5 is already taken by input 1"},
    };
    for (auto& r : refused) {
        SCOPED_TRACE(r.first);
        Json::Value doc;
        ASSERT_TRUE(LoadJsonFromString(std::string(R"({"inputs": [{"protocol": "E1.31", "universe": 5}, )") +
                                           r.first + "]}",
                                       doc));
        InputsConfig cfg = ParseInputsConfig(doc);
        EXPECT_EQ(1u, cfg.inputs.size());
        ASSERT_EQ(1u, cfg.errors.size());
        EXPECT_NE(std::string::npos, cfg.errors[0].find("input 2")) << cfg.errors[0];
        EXPECT_NE(std::string::npos, cfg.errors[0].find(r.second)) << cfg.errors[0];
    }
}

}  // namespace
