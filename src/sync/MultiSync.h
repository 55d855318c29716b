#pragma once
// Multi-system synchronisation (docs/sync.md): a master sends its sequence
// and media positions with the wall-clock time of each; remotes play the
// same show in step; every system announces itself and may pass commands
// and plug-in data to the others. This is the service the daemon calls
// (`MultiSync::INSTANCE`, also `multiSync`): start and stop from main, the
// socket from the main loop, the events from the sequence player, the
// output thread and the media layer. Roles, wire format, socket and clock
// check live in the other units of this folder.

#include <netinet/in.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <json/json.h>

class LogRateLimit;

#include "sync/ClockQuality.h"
#include "sync/SyncMaster.h"
#include "sync/SyncPeers.h"
#include "sync/SyncRemote.h"
#include "sync/SyncTransport.h"

class MultiSync {
public:
    static MultiSync INSTANCE;

    // Opens the socket in master and remote mode (player mode keeps sync
    // off). False only when sync was asked for and cannot run.
    bool Init();
    void ShutdownSync();
    // This system sends sync: it is the master.
    bool isMultiSyncEnabled() const { return m_master.load(); }
    int GetControlSocket() const { return m_transport.Fd(); }
    // Handles the waiting packets (a bounded number per call, so a flood
    // cannot hold the main loop). pingOnly: only discovery is answered.
    void ProcessControlPacket(bool pingOnly);
    // Announces this system and asks the others to answer.
    void Discover();
    // About once a second from the main loop: announcements, master loss,
    // the clock check, forgetting silent systems.
    void PeriodicPing();
    // {"systems": [this board's addresses, then every system heard from],
    //  "sync": {role, clock, master, counters ...}}
    Json::Value GetSystems(bool localOnly, bool timestamps);

    // System type ids shared by synchronised systems and controller
    // detection, and their model names (docs/controllers.md lists them).
    static constexpr int TYPE_UNDETERMINED = 0x01;
    // The model name of a type id; "Unknown System Type" for an id not in
    // the table. local: the id describes this very board, so an
    // undetermined type names the board model the kernel reports.
    static std::string GetTypeString(int type, bool local = false);
    // The type id of a model name (case-insensitive; a known name followed
    // by a blank and more text, such as a board revision, counts too);
    // TYPE_UNDETERMINED when the name is not known.
    static int ModelStringToType(std::string model);

    // Master events (sent only while this system is the master).
    void SendSeqOpenPacket(const std::string& filename);
    void SendSeqSyncStartPacket(const std::string& filename);
    void SendSeqSyncStopPacket(const std::string& filename);
    // frameMonoUs: the monotonic time the output thread began sending the
    // frame; periodUs: the period it runs at.
    void SendSeqSyncPacket(const std::string& filename, int frames, float seconds, long long frameMonoUs = 0,
                           int periodUs = 0);
    void SendBlankingDataPacket();
    void SendEffectStartPacket(const std::string& name, int startChannel, bool loop, bool background,
                               long long startMonoUs);
    void SendEffectStopPacket(const std::string& name);
    void SendMediaOpenPacket(const std::string& filename);
    void SendMediaSyncStartPacket(const std::string& filename, float seconds = 0);
    void SendMediaSyncStopPacket(const std::string& filename);
    void SendMediaSyncPacket(const std::string& filename, float seconds);
    std::atomic<bool> m_sendMediaSync{false};

    // A command for other systems ("multisyncCommand"): hosts is the
    // "multisyncHosts" text (names or addresses, comma-separated; empty:
    // every system). False when sync is not running here.
    bool SendCommand(const std::string& hosts, const std::string& command, const std::vector<std::string>& args);
    // Data for the plug-in of that name on every other system.
    void SendPluginData(const std::string& pluginName, const uint8_t* data, int len);

private:
    // Fills the header (session, number, clock flag, time) and builds the
    // datagram; empty (and counted) when the packet is too long.
    std::vector<uint8_t> Seal(SyncPacket& p, long long timeUs);
    void Send(SyncPacket& p, long long timeUs);
    void SendPing(bool askForReplies, const sockaddr_in* to);
    void HandlePacket(const uint8_t* data, size_t len, const sockaddr_in& from, long long arrivalWallUs,
                      bool pingOnly);
    bool CommandIsForMe(const std::string& hosts);
    void RunReceivedCommand(const std::string& from, const SyncPacket& p);
    void PublishSystems();
    // What happened to packets, for status; counted from any thread.
    enum Counter {
        RECEIVED, ACCEPTED, SENT, SEND_ERRORS, MALFORMED, BAD_SIGNATURE, NOT_ALLOWED,
        REPLAYED, OTHER_MASTER, TOO_LONG, COMMANDS_RUN, COMMANDS_DROPPED, COUNTERS  // COUNTERS: how many
    };
    void Count(Counter c) { ++m_counters[c]; }
    void Refuse(LogRateLimit& limit, Counter c, const std::string& from, const std::string& why);

    SyncTransport m_transport;
    std::atomic<bool> m_master{false};
    bool m_remote = false;
    std::string m_key;
    int m_port = SYNC_DEFAULT_PORT;
    SyncAddressRule m_peers;
    uint32_t m_session = 0;
    std::atomic<uint32_t> m_seq{0};
    ClockQuality m_clock{false, 0};
    std::atomic<bool> m_clockSynced{false};
    long m_clockErrorUs = -1;
    std::string m_clockText;

    SyncMaster m_masterRole{[this](SyncPacket& p, long long t) { Send(p, t); }};

    // Changed on the main loop's thread; read by GetSystems from any.
    std::mutex m_stateLock;  // guards the five below and m_clockErrorUs, m_clockText
    SyncRemote m_remoteRole;
    ReplayGuard m_replay;
    SyncSystems m_systems;
    long long m_lastReplyMonoUs = 0;
    bool m_systemsChanged = false;

    // Main loop thread only.
    long long m_lastPingMonoUs = 0;
    std::vector<uint8_t> m_receiveBuffer;

    std::atomic<uint64_t> m_counters[COUNTERS] = {};
};

extern MultiSync* multiSync;
