#pragma once
// What the three protocol receivers of the bridge share: the UDP socket the
// input thread reads, the configured inputs a receiver fills, and the decision
// when the bytes received so far form a frame worth handing on. Each
// protocol unit (E131Receiver, ArtNetReceiver, DDPReceiver) derives from
// InputReceiver; the Bridge owns them and hands frames to the sequence
// player and the recorder.

#include <netinet/in.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "bridge/InputStatistics.h"
#include "bridge/InputsConfig.h"

// When each stretch of an input's bytes was last written (the frame that
// brought it). A frame of one source may be handed on beside the universe
// of another that has gone quiet; that universe's bytes must not go out
// again with it, so bytes are cleared once they are older than the input's
// timeout.
class WriteTimes {
public:
    // Bytes [offset, offset + len) were written at nowUs.
    void Wrote(uint32_t offset, uint32_t len, long long nowUs);
    // Zeroes in data, and forgets, the stretches written before `before`;
    // true when there were any.
    bool Expire(std::vector<uint8_t>& data, long long before);
    // Zeroes in data, and forgets, the bytes [offset, offset + len).
    void Clear(std::vector<uint8_t>& data, uint32_t offset, uint32_t len);
    bool Empty() const { return m_stretches.empty(); }
    // No stretch was written before this (exact after Expire or Clear).
    long long OldestUs() const { return m_oldestUs; }
    long long NewestUs() const { return m_newestUs; }

private:
    struct Stretch {
        uint32_t end;
        long long writtenUs;
    };
    // Cuts [offset, end) out of the stretches that overlap it.
    void Cut(uint32_t offset, uint32_t end);
    void Rescan();

    std::map<uint32_t, Stretch> m_stretches;  // by first byte; they never overlap
    long long m_oldestUs = 0;
    long long m_newestUs = 0;
};

// One configured input while the bridge runs (input thread).
struct LiveInput {
    InputConfig config;
    std::vector<uint8_t> data;  // the bytes received; 0 where nothing live was
    WriteTimes written;         // when each stretch of data came
    bool held = false;          // changed since the last frame was handed on
    // As last handed on: when its newest bytes stop being live (monotonic
    // us); 0 = nothing of it is live, the outputs drop it at once.
    long long expiresUs = 0;
    InputStatistics stats;
};

// Where complete frames go (the Bridge).
class InputSink {
public:
    virtual ~InputSink() {}
    virtual void Deliver(const std::vector<LiveInput*>& inputs, long long nowUs) = 0;
};

// A sender's frame arrives as a burst of packets, one per universe (or DDP
// range); handing on part of a burst would show a frame half old, half new.
// A frame is taken as complete when every slot heard from in the last
// second has arrived, or when a slot arrives a second time (the sender began
// its next frame); a sender that leaves unchanged slots out is handed on
// once its burst has gone quiet.
class FrameAssembler {
public:
    static constexpr long long ACTIVE_WINDOW_US = 1000000;
    // Arrivals of a slot are noted at most this often, so the bookkeeping
    // stays small whatever the packet rate.
    static constexpr long long NOTE_EVERY_US = 100000;
    // More slots than any configuration has universes: a sender spraying
    // DDP offsets cannot make the bookkeeping grow without bound.
    static constexpr size_t MAX_SLOTS = 65536;

    bool Held(uint32_t slot) const;
    void Hold(uint32_t slot, long long nowUs);
    // Until a first frame taught which slots come, bursts go on when quiet.
    bool Complete() const { return m_active && m_heldCount >= m_active; }
    bool Pending() const { return m_heldCount != 0; }
    long long LastHeldUs() const { return m_lastHeldUs; }
    void Delivered(long long nowUs);

private:
    // No allocation per packet once the slots are known: a slot is held
    // when its mark is this frame's number, so a new frame clears nothing.
    struct Slot {
        long long notedUs = 0;  // when its arrival was last noted
        uint64_t heldIn = 0;    // the frame that holds it
    };
    std::unordered_map<uint32_t, Slot> m_slots;          // the slots heard within the window
    std::deque<std::pair<long long, uint32_t>> m_notes;  // (when, slot), oldest first
    std::unordered_set<uint32_t> m_heldUnnoted;          // held while m_slots is full: not learnt
    uint64_t m_frameNumber = 1;
    size_t m_heldCount = 0;
    size_t m_active = 0;  // slots heard from within the window, as of the last frame
    long long m_lastHeldUs = 0;
};

class InputReceiver {
public:
    static constexpr int BATCH = 64;          // datagrams read per call
    static constexpr int SLOT_BYTES = 2048;   // longer datagrams are counted as oversized
    // A burst that paused this long is complete. Even a burst sent in one
    // call can reach the socket in parts milliseconds apart on a busy
    // machine (the kernel defers loopback and NIC delivery under load).
    static constexpr long long QUIET_US = 10000;

    InputReceiver(InputProtocol protocol, InputSink& sink) : m_protocol(protocol), m_sink(sink) {}
    virtual ~InputReceiver();

    InputProtocol Protocol() const { return m_protocol; }
    void AddInput(LiveInput* in) { m_inputs.push_back(in); }
    // Opens the UDP socket on address ("" = every address) and port; false
    // with the reason logged.
    bool Open(const std::string& address, uint16_t port);
    // Work after Open that needs the inputs (multicast joins).
    virtual void Prepare(const InputsConfig& cfg) {}
    int Descriptor() const { return m_fd; }
    void Close();

    // The input thread found the socket readable: reads at most BATCH
    // datagrams. True when a frame was handed on.
    bool Readable(long long nowUs);
    // Hands on held bytes whose burst has gone quiet, and inputs part of
    // whose bytes have just expired. True when it did.
    bool Flush(long long nowUs);
    // When Flush has work next (monotonic us); 0 = none.
    long long FlushDueUs() const;
    // Part of a sender's frame is held, waiting for the rest.
    bool BurstPending() const { return m_frame.Pending(); }

    // Handles one datagram; public so tests and benchmarks feed bytes
    // without a socket.
    virtual void Handle(const uint8_t* buf, size_t len, const sockaddr_in& from, long long nowUs) = 0;
    virtual std::vector<SourceReport> Sources(const LiveInput& in, long long nowUs) const = 0;
    const ProtocolStatistics& Statistics() const { return m_stats; }

protected:
    // Stores bytes of an input for the next frame.
    void Store(LiveInput& in, uint32_t offset, const uint8_t* data, size_t len, long long nowUs);
    // Clears bytes of an input whose sender is gone; the next frame hands
    // the input on without them.
    void Clear(LiveInput& in, uint32_t offset, uint32_t len);
    // Hands the held inputs on as one frame, with the bytes that expired
    // meanwhile cleared (and so with every input that lost some).
    void Deliver(long long nowUs);
    // How long a held burst may stay quiet before it is handed on.
    virtual long long QuietUs() const { return QUIET_US; }

    InputProtocol m_protocol;
    InputSink& m_sink;
    std::vector<LiveInput*> m_inputs;
    FrameAssembler m_frame;
    ProtocolStatistics m_stats;
    bool m_delivered = false;
    int m_fd = -1;

private:
    std::vector<LiveInput*> m_held;  // the frame being handed on; kept to spare an allocation a frame
    long long m_expiryDueUs = 0;     // when bytes of an input expire next; 0 = none held
    // When the first bytes of the frame being assembled came: all its bytes
    // count as written then, so a frame expires whole, not packet by packet.
    long long m_frameStartUs = 0;
    bool m_frameStarted = false;
    // The read's headers, set up once: rebuilding all BATCH of them wrote
    // 6 KB for every read, however few datagrams came.
    std::vector<uint8_t> m_buffers;
    mmsghdr m_msgs[BATCH];
    iovec m_iovs[BATCH];
    sockaddr_in m_from[BATCH];
};

// A sender silent this long has gone (as E1.31's network data loss).
static constexpr long long SOURCE_GONE_US = 2500000;

// How long an input's bytes stay live after the packet that brought them.
inline long long InputTimeoutUs(const LiveInput& in) { return (long long)in.config.timeoutMs * 1000; }

// "a.b.c.d" of an address in network byte order.
std::string AddressText(const sockaddr_in& a);

// What a receiver knows of one sender.
struct Sender {
    uint32_t address = 0;  // network byte order
    uint8_t sequence = 0;  // the last sequence number taken
    uint64_t packets = 0;
    long long lastSeenUs = 0;
};

// The receivers whose inputs are numbered universes (E1.31, Art-Net): which
// input each universe fills and where, beside the protocol's own state of
// the universe (State).
template <class State>
class UniverseReceiver : public InputReceiver {
public:
    using InputReceiver::InputReceiver;

protected:
    struct Universe : State {
        LiveInput* input = nullptr;
        uint32_t offset = 0;  // in the input's bytes
    };

    void MapUniverses() {
        m_universes.clear();
        for (LiveInput* in : m_inputs) {
            for (int i = 0; i < in->config.universeCount; ++i) {
                Universe& u = m_universes[in->config.universe + i];
                u.input = in;
                u.offset = (uint32_t)(i * in->config.channelsPerUniverse);
            }
        }
    }
    // Counts a datagram the parser refused for `why`, on the input of its
    // universe too when the universe could be read.
    void Refuse(const char* why, bool oversized, int universe) {
        if (oversized) {
            ++m_stats.oversized;
        } else {
            m_stats.Malformed(why);
        }
        auto it = m_universes.find(universe);
        if (it != m_universes.end()) ++it->second.input->stats.errors;
    }
    // The universe a packet of len bytes is for, counted on its input; null
    // (counted as unconfigured) when no input takes it.
    Universe* Arrived(int universe, size_t len, long long nowUs) {
        auto it = m_universes.find(universe);
        if (it == m_universes.end()) {
            m_stats.Unconfigured(universe);
            return nullptr;
        }
        it->second.input->stats.Count(len, nowUs);
        return &it->second;
    }
    // Takes a universe's channels into the frame being assembled.
    void Take(int universe, Universe& u, const uint8_t* data, size_t len, long long nowUs) {
        if (m_frame.Held((uint32_t)universe)) Deliver(nowUs);
        Store(*u.input, u.offset, data, std::min(len, (size_t)u.input->config.channelsPerUniverse), nowUs);
        m_frame.Hold((uint32_t)universe, nowUs);
        if (m_frame.Complete()) Deliver(nowUs);
    }
    // Clears a universe whose sources are gone, as part of the frame being
    // assembled: a sender ends all its universes at once.
    void Blank(int universe, Universe& u, long long nowUs) {
        if (m_frame.Held((uint32_t)universe)) Deliver(nowUs);
        Clear(*u.input, u.offset, (uint32_t)u.input->config.channelsPerUniverse);
        m_frame.Hold((uint32_t)universe, nowUs);
        if (m_frame.Complete()) Deliver(nowUs);
    }

    // The senders heard in the last 2.5 s on the input's universes, one
    // report each across universes: key(universe, i) tells the senders apart,
    // fill(report, universe, i) adds what the protocol knows of them.
    template <class Key, class Fill>
    std::vector<SourceReport> Report(const LiveInput& in, long long nowUs, Key key, Fill fill) const {
        std::vector<SourceReport> list;
        std::vector<std::string> keys;
        for (int n = 0; n < in.config.universeCount; ++n) {
            auto it = m_universes.find(in.config.universe + n);
            if (it == m_universes.end()) continue;
            const Universe& u = it->second;
            for (size_t i = 0; i < u.sources.size(); ++i) {
                const Sender& s = u.sources[i];
                if (nowUs - s.lastSeenUs > (long long)SOURCE_GONE_US) continue;
                std::string id = key(u, i);
                size_t at = std::find(keys.begin(), keys.end(), id) - keys.begin();
                if (at == keys.size()) {
                    keys.push_back(id);
                    list.emplace_back();
                    sockaddr_in a{};
                    a.sin_addr.s_addr = s.address;
                    list.back().address = AddressText(a);
                }
                SourceReport& r = list[at];
                r.packets += s.packets;
                r.lastSeenUs = std::max(r.lastSeenUs, s.lastSeenUs);
                fill(r, u, i);
            }
        }
        return list;
    }

    std::unordered_map<int, Universe> m_universes;
};

// The bridge's clock: monotonic microseconds.
long long BridgeClockUs();
