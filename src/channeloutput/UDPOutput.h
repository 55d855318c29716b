#pragma once
// The UDP output engine (plug-in "UDP"): one channel output that drives any
// number of network destinations. The channel output thread calls PrepData,
// where every destination builds its datagrams into per-address batches, and
// SendData, which sends each batch with one sendmmsg: one batch on the
// calling thread, the others meanwhile on worker threads. Where the kernel
// takes UDP segmentation offload, runs of datagrams of one size to one
// address go as one segmented message each, which the kernel cuts into the
// same datagrams. A ping thread takes controllers that stop answering out
// and back in.

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <json/json.h>

#include "Plugins.h"
#include "channeloutput/ChannelOutput.h"
#include "channeloutput/OutputTraffic.h"
#include "common.h"

class UDPOutputMessages;

// Channels in the one frame buffer the outputs read from.
static constexpr int UDP_MAX_CHANNELS = 8388608;

// Reads an integer key that users may also have written as a bool, a
// floating point number or a numeric string; anything else gives def.

// One network destination. Protocol classes build their headers once and,
// per frame, queue datagrams that point at those headers and at the channel
// buffer.
class UDPOutputData {
public:
    explicit UDPOutputData(const Json::Value& config);
    virtual ~UDPOutputData();

    virtual bool IsPingable() = 0;
    virtual bool Monitor() const { return monitor; }
    virtual void PrepareData(unsigned char* channelData, UDPOutputMessages& msgs) = 0;
    virtual void PostPrepareData(unsigned char* channelData, UDPOutputMessages& msgs) {}
    virtual void DumpConfig() = 0;
    virtual void GetRequiredChannelRange(int& min, int& max);
    virtual void StartingOutput() {}
    virtual void StoppingOutput() {}
    virtual std::string GetOutputTypeString() const { return "UDP"; }

    // IPv4 address in network order; host names are looked up.
    static in_addr_t toInetAddr(const std::string& host, bool& valid);

    bool NeedToOutputFrame(unsigned char* channelData, int rangeStart, int offset, int count);
    // Keeps the bytes of the frame being prepared; they become what the
    // controller last received (for de-duplication) once the frame is sent.
    void SaveFrame(unsigned char* data, int size);

    // A frame may be prepared again, or dropped, before it goes out. What a
    // prepare decided (which packets, de-duplication state) stays pending
    // until the engine sends the datagrams; sequence numbers are written
    // then, so every number on the wire belongs to a datagram that left.
    // BeginFrame discards what the last prepare left unsent; FrameSent
    // stamps the queued packets and commits the frame (each time it is sent).
    void BeginFrame();
    void FrameSent();
    bool HasQueuedPackets() const { return m_queuedAny; }
    // The batch key the queued datagrams went to.
    uint32_t QueuedKey() const { return m_queuedKey; }

    std::string description;
    bool active = true;
    int startChannel = 0;
    int channelCount = 0;
    int type = 0;
    std::string address;
    // Written by the ping thread, read by the output thread.
    std::atomic<bool> valid{true};
    bool monitor = true;
    std::atomic<int> failCount{0};
    bool deDuplicate = false;
    int skippedFrames = 0;
    unsigned char* lastData = nullptr;
    int lastDataSize = 0;

protected:
    // Resolves address into to (port in host order). An address that does
    // not resolve raises the warning and deactivates the destination.
    bool ResolveDestination(sockaddr_in& to, int port);
    // Deactivates a destination whose channels (first, count) do not fit in
    // the frame buffer, so that no datagram ever reads past it.
    bool CheckChannelSpan(int first, long long count);

    // Fixed-layout datagrams: a header of the protocol, then `length`
    // channel bytes at `offset` within the destination's range, then
    // `trailer` zero bytes (Art-Net pads odd lengths).
    struct Packet {
        std::vector<uint8_t> header;
        int offset = 0;
        int length = 0;
        int trailer = 0;
    };
    Packet& AddPacket(size_t headerLen, int offset, int length, int trailer = 0);
    // Builds the scatter lists once every packet was added.
    void FinishPackets();
    // Queues packet i to `to`, with its payload from the channel buffer.
    void QueuePacket(UDPOutputMessages& msgs, uint32_t key, sockaddr_in& to, size_t i, unsigned char* channelData);
    // Queues every packet whose bytes changed (all without de-duplication).
    void QueueChangedPackets(unsigned char* channelData, UDPOutputMessages& msgs, uint32_t key, sockaddr_in& to);
    // Records that packet i (of m_packets; any index for destinations
    // without them) was queued to key, or that something was left out.
    void NoteQueued(size_t i, uint32_t key);
    void NoteSkipped() { m_pendingSkipped = true; }
    // Fills the per-datagram fields (sequence numbers) of packet i just
    // before it is sent; called in queue order.
    virtual void StampPacket(size_t i, uint8_t* header) {}
    // Channels from the range start up to the end of the last packet.
    int PacketSpan() const;

    std::vector<Packet> m_packets;
    std::vector<iovec> m_iov;  // 3 per packet: header, channel bytes, trailer
    // When set (one per packet), each packet goes to its own address (E1.31
    // multicast groups) instead of the `to` given to QueueChangedPackets,
    // still in the batch of the key given there.
    std::vector<sockaddr_in> m_packetTo;

private:
    std::vector<size_t> m_queued;  // packets queued by the last prepare, in order
    uint32_t m_queuedKey = 0;
    bool m_queuedAny = false;
    bool m_pendingSkipped = false;  // the last prepare left something out
    bool m_pendingCommit = false;   // the last prepare is not sent yet
    unsigned char* m_pendingData = nullptr;  // SaveFrame's copy until the send
    int m_pendingDataSize = 0;
    bool m_pendingSave = false;
};

// The per-frame batches of datagrams and the sockets, keyed by destination
// IPv4 address in network byte order.
class UDPOutputMessages {
public:
    // Reserved keys, sent on the frame thread after the workers: datagrams
    // to broadcast addresses (on the SO_BROADCAST socket) and to multicast
    // groups (one socket for every group rather than five per group).
    static constexpr uint32_t BROADCAST_KEY = 0xFFFFFFFF;
    static constexpr uint32_t MULTICAST_KEY = 0xFFFFFFFE;
    static bool IsReservedKey(uint32_t key) { return key == BROADCAST_KEY || key == MULTICAST_KEY; }

    // Room for the one control message of a segmented send (its size).
    union SegmentControl {
        char buf[CMSG_SPACE(sizeof(uint16_t))];
        struct cmsghdr align;
    };

    struct SendSocketInfo {
        std::vector<int> sockets;
        int errCount = 0;
        int nextIdx = -1;
        bool slowReported = false;  // a complete but slow send was logged; cleared by a quick one
        TrafficCounters* traffic = nullptr;  // this key's counters, found at its first send
        // A batch regrouped for segmented sends: the messages, the datagrams
        // each one carries, their joined scatter lists and control
        // messages. Kept between frames to save the allocations; one thread
        // sends a key's batch at a time.
        std::vector<struct mmsghdr> segMsgs;
        std::vector<int> segCounts;
        std::vector<iovec> segIov;
        std::vector<SegmentControl> segControl;
        std::vector<std::pair<size_t, long>> segAt;  // BuildSegments' offsets into segIov, segControl
    };

    // Largest run of datagrams one segmented send carries: 64 datagrams
    // (what every kernel with the offload cuts out of one send) of at most
    // 64 KiB together (one UDP payload over IPv4).
    static constexpr int SEGMENT_MAX_COUNT = 64;
    static constexpr size_t SEGMENT_MAX_BYTES = 65507;
    // Regroups msgs into info's segmented messages: each run of consecutive
    // datagrams to one address, of one size (the last may be shorter, as
    // the kernel cuts), becomes one message with a UDP_SEGMENT control
    // message; a datagram that stands alone stays as it is. Returns the
    // number of messages.
    static int BuildSegments(SendSocketInfo* info, std::vector<struct mmsghdr>& msgs);

    ~UDPOutputMessages();
    std::vector<struct mmsghdr>& GetMessages(uint32_t key);
    int GetSocket(uint32_t key);
    void ForceSocket(uint32_t key, int sock);
    void clearMessages();
    void clearSockets();

    std::map<uint32_t, std::vector<struct mmsghdr>> messages;
    std::map<uint32_t, SendSocketInfo*> sockets;

private:
    // The batch GetMessages found last: a destination queues all its
    // packets in a row, and a map search per packet showed in profiles of
    // large frames. Entries of `messages` are never erased, so it stays valid.
    uint32_t m_lastKey = 0;
    std::vector<struct mmsghdr>* m_lastBatch = nullptr;
};

class UDPOutput : public ChannelOutput {
public:
    UDPOutput(unsigned int startChannel, unsigned int channelCount);
    virtual ~UDPOutput();

    static UDPOutput* INSTANCE;

    virtual int Init(Json::Value config) override;
    virtual int Close() override;
    virtual int PrepData(unsigned char* channelData) override;
    virtual int SendData(unsigned char* channelData) override;
    // SendData waits at most 50 ms for the workers; the rest of a frame
    // they still send is waited for here, before the buffer changes.
    virtual void WaitForSendsToFinish() override;
    virtual void GetRequiredChannelRanges(const std::function<void(int, int)>& add) override;
    virtual void StartingOutput() override;
    virtual void StoppingOutput() override;
    virtual void DumpConfig() override;

    void addOutput(UDPOutputData* out);

    bool PingControllers(bool failedOnly);
    void InitNetwork();
    void CloseNetwork();
    int createSocket(int port, bool broadcast);
    UDPOutputMessages::SendSocketInfo* findOrCreateSocket(uint32_t key, int count);
    // Returns the datagrams that went out; error: the last error of a call
    // that failed (0 when none did).
    int SendMessages(uint32_t key, UDPOutputMessages::SendSocketInfo* socketInfo, std::vector<struct mmsghdr>& msgs,
                     int* error = nullptr);
    // Whether batches go out segmented now (the start-up probe found the
    // kernel willing, the setting allows it and no send was refused since),
    // and the datagrams that went out in segmented sends so far.
    bool UsesSegmentation() const { return m_segmentation; }
    long long SegmentedDatagrams() const { return m_segmentedDatagrams; }
    // Reports a batch's result (a failure with its error; a complete but
    // slow send once per spell) and counts failures towards the pings.
    void AccountSendResult(UDPOutputMessages::SendSocketInfo* socketInfo, uint32_t key, int sent, int total,
                           long long elapsedMs, int err);

    // For callers that inspect the engine (status pages, tests).
    const std::list<UDPOutputData*>& GetOutputs() const { return m_outputs; }
    const std::string& GetInterface() const { return m_interface; }
    bool IsThreaded() const { return m_threaded; }
    bool IsEnabled() const { return m_enabled; }

private:
    struct WorkItem {
        uint32_t key;
        UDPOutputMessages::SendSocketInfo* socketInfo;
        std::vector<struct mmsghdr>* msgs;
    };

    void WorkerMain();
    // Decides at start between segmented sends and plain sendmmsg, and
    // logs which.
    void ChooseSendPath();
    // SendMessages without the traffic counters.
    int SendBatch(uint32_t key, UDPOutputMessages::SendSocketInfo* info, std::vector<struct mmsghdr>& msgs,
                  int* error);
    // Sends total messages with sendmmsg, in several calls when the kernel
    // takes part of them, rotating the address's sockets; returns those
    // that went out. segmented: a message with UDP_SEGMENT that the kernel
    // refuses ends the loop at once.
    int SendLoop(uint32_t key, UDPOutputMessages::SendSocketInfo* info, struct mmsghdr* msgs, int total,
                 int* error, bool segmented);
    void PingThreadMain();
    void WakePingThread();
    void StopPingThread();
    void NetworkEvent(int type, int state, const std::string& iface);
    // Blocks until every work item of the last SendData was sent; the
    // batches and sockets they use must outlive the sends.
    void WaitForWorkInFlight();
    // Tells destinations that their prepared datagrams are going out now:
    // all of them, those sent by the workers (and those with nothing to
    // send), or those of the reserved keys sent on the frame thread.
    enum class SentPart { ALL, WORKER_KEYS, RESERVED_KEYS };
    void MarkSent(SentPart part);
    bool IsLocalAddress(const std::string& address) const;
    void CheckSendToSelf(UDPOutputData* d);

    bool m_enabled = true;
    // Cleared for good by the first segmented send the kernel refuses (a
    // worker or the frame thread, whichever meets it).
    std::atomic<bool> m_segmentation{false};
    std::atomic<long long> m_segmentedDatagrams{0};
    std::list<UDPOutputData*> m_outputs;
    std::string m_interface;
    std::set<std::string> m_localAddresses;
    sockaddr_in m_localAddress;
    std::atomic<bool> m_networkUp{false};
    // The link came back: the ping thread opens the network again.
    std::atomic<bool> m_networkComingUp{false};
    bool m_initialised = false;

    std::mutex m_outputLock;  // guards m_messages (batches and sockets), m_localAddress
    UDPOutputMessages m_messages;

    // guards the m_outputs list (appends by addOutput against readers that
    // take a copy); destinations themselves live as long as the engine
    std::mutex m_outputsListLock;
    // serialises ping rounds (ping thread, network events, Init); held for a
    // whole round, which may take seconds, so never taken by the frame path
    std::mutex m_pingRoundLock;
    std::vector<UDPOutputData*> OutputsSnapshot();

    int m_networkCallbackId = -1;

    std::thread m_pingThread;
    std::atomic<bool> m_pingThreadRunning{false};
    std::mutex m_pingLock;  // pairs with m_pingCV; guards m_pingWake
    std::condition_variable m_pingCV;
    bool m_pingWake = false;

    void* m_curlMulti = nullptr;  // reachability checks (HEAD), used by PingControllers only

    std::mutex m_workLock;  // guards m_workQueue, m_queueLength
    std::condition_variable m_workCV;
    std::deque<WorkItem> m_workQueue;
    int m_queueLength = 0;
    std::atomic<int> m_doneCount{0};
    std::atomic<int> m_queuedCount{0};
    std::mutex m_doneLock;  // pairs with m_doneCV (wakes the frame thread when a work item is done)
    std::condition_variable m_doneCV;
    std::atomic<int> m_workerCount{0};
    std::atomic<bool> m_workersRunning{true};
    bool m_threaded = true;
};

class UDPPlugin : public KIVPlugins::Plugin, public KIVPlugins::ChannelOutputPlugin {
public:
    UDPPlugin() : KIVPlugins::Plugin("UDP") {}
    virtual ChannelOutput* createChannelOutput(unsigned int startChannel, unsigned int channelCount) override;
};
