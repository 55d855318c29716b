#include "sync/MultiSync.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/random.h>
#include <unistd.h>

#include "Events.h"
#include "LogRateLimit.h"
#include "Warnings.h"
#include "channeloutput/channeloutputthread.h"
#include "commands/Commands.h"
#include "common.h"
#include "http/APIServer.h"
#include "http/HttpAccess.h"
#include "log.h"
#include "services/NetworkMonitor.h"
#include "services/PluginManager.h"
#include "settings.h"

MultiSync MultiSync::INSTANCE;
MultiSync* multiSync = &MultiSync::INSTANCE;

static constexpr int PACKETS_PER_CALL = 64;
static constexpr long long MASTER_PING_INTERVAL_US = 1000000;
static constexpr long long PING_INTERVAL_US = 5000000;
static constexpr long long REPLY_INTERVAL_US = 1000000;
static constexpr long long FORGET_AFTER_US = 300000000;
static constexpr int LOGGED_PER_MINUTE = 10;

static std::string AddressText(in_addr a) {
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &a, text, sizeof(text));
    return text;
}

static std::string LocalHostName() {
    std::string name = getSetting("HostName", "");
    if (!name.empty()) return name;
    char host[256] = "";
    gethostname(host, sizeof(host) - 1);
    return host;
}

// Every IPv4 address of the board's up, non-loopback interfaces.
static std::vector<std::pair<std::string, std::string>> LocalInterfaces() {
    std::vector<std::pair<std::string, std::string>> out;  // (interface, address)
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return out;
    for (struct ifaddrs* a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET || (a->ifa_flags & IFF_LOOPBACK)) continue;
        out.push_back({a->ifa_name, AddressText(((sockaddr_in*)a->ifa_addr)->sin_addr)});
    }
    freeifaddrs(list);
    return out;
}

// The HTTP port other machines reach this board on (a master sends its
// files there); 0 while the interface is off or listens on loopback only.
static int AnnouncedHttpPort() {
    int port = getSettingInt("HTTPPort", APIServer::DEFAULT_PORT);
    std::string bind = getSetting("HTTPBindAddress", "127.0.0.1");
    if (port <= 0 || port > 65535 || bind == "localhost" || HttpAccessRules::IsLoopbackPeer(bind)) return 0;
    return port;
}

static void ReportSettingProblems(const char* key, const std::vector<std::string>& problems) {
    for (auto& p : problems) {
        std::string text = std::string("Setting ") + key + ": " + p + "; that entry is ignored";
        LogErr(VB_SYNC, "%s\n", text.c_str());
        WarningHolder::AddWarning(text);
    }
}

bool MultiSync::Init() {
    int mode = getKIVmode();
    m_master = (mode & MODE_PLAYER) && getSettingInt("MultiSyncEnabled", 0);
    m_remote = mode == MODE_REMOTE;
    m_sendMediaSync = m_master.load();
    if (!m_master && !m_remote) {
        LogInfo(VB_SYNC, "Multi-system sync is off (player mode; --mode master or remote turns it on)\n");
        return true;
    }
    m_key = getSetting("MultiSyncKey", "");
    std::vector<std::string> problems;
    m_peers.Parse(getSetting("MultiSyncPeers", ""), problems);
    ReportSettingProblems("MultiSyncPeers", problems);
    m_clock = ClockQuality(getSettingInt("MultiSyncClockTrusted", 0) != 0,
                           getSettingInt("MultiSyncClockToleranceUs", 2000));
    KernelClockState k = ReadKernelClock();
    m_clockSynced = m_clock.Synchronised(k);
    m_clockErrorUs = k.estimatedErrorUs;
    m_clockText = m_clock.Describe(k);
    if (getrandom(&m_session, sizeof(m_session), 0) != sizeof(m_session) || !m_session) {
        m_session = (uint32_t)(SyncWallUs() ^ (getpid() << 16)) | 1;
    }

    SyncTransport::Options o;
    o.port = m_port = getSettingInt("MultiSyncPort", SYNC_DEFAULT_PORT);
    o.group = SYNC_DEFAULT_GROUP;
    o.interfaceName = getSetting("MultiSyncInterface", "");
    o.sendMulticast = getSettingInt("MultiSyncMulticast", 1) != 0;
    for (std::string u : split(getSetting("MultiSyncUnicast", ""), ',')) {
        TrimWhiteSpace(u);
        if (!u.empty()) o.unicast.push_back(u);
    }
    std::string error;
    problems.clear();
    if (!m_transport.Open(o, error, problems)) {
        LogErr(VB_SYNC, "Multi-system sync cannot start: %s\n", error.c_str());
        fprintf(stderr, "Multi-system sync cannot start: %s\n", error.c_str());
        return false;
    }
    ReportSettingProblems("MultiSyncUnicast", problems);
    // A network that comes up after the start (Wi-Fi, a late DHCP lease)
    // joins the group too.
    NetworkMonitor::INSTANCE.registerCallback(
        [this](NetworkMonitor::NetEventType type, int state, const std::string& name) {
            if (type == NetworkMonitor::UP || (type == NetworkMonitor::NEW_LINK && state)) {
                m_transport.JoinInterface(name);
            }
        });
    LogInfo(VB_SYNC, "Multi-system sync on as %s: UDP port %d, group %s%s, %s, clock %s\n",
            m_master ? "master" : "remote", o.port, o.group.c_str(), o.sendMulticast ? "" : " (not sent to)",
            m_key.empty() ? "packets not signed" : "packets signed", m_clockText.c_str());
    if (m_remote && m_peers.Empty()) {
        std::string text = "Remote mode follows no master: set MultiSyncPeers to the master's address or subnet";
        LogWarn(VB_SYNC, "%s\n", text.c_str());
        WarningHolder::AddWarning(text);
    }
    return true;
}

void MultiSync::ShutdownSync() {
    if (m_transport.Fd() < 0) return;
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        m_remoteRole.Shutdown();
    }
    m_master = false;
    m_sendMediaSync = false;
    m_transport.Close();
    LogInfo(VB_SYNC, "Multi-system sync stopped\n");
}

std::vector<uint8_t> MultiSync::Seal(SyncPacket& p, long long timeUs) {
    p.session = m_session;
    p.seq = ++m_seq;
    p.timeUs = timeUs > 0 ? (uint64_t)timeUs : 0;
    if (m_clockSynced) p.flags |= SYNC_FLAG_CLOCK_SYNCED;
    std::vector<uint8_t> bytes = BuildSyncPacket(p, m_key);
    if (bytes.empty()) {
        static LogRateLimit tooLong(LOGGED_PER_MINUTE);
        long held = 0;
        if (tooLong.Allow(held)) {
            LogErr(VB_SYNC, "A %s packet for %s is longer than a sync packet can be; not sent\n",
                   SyncPacketTypeName(p.type), p.file.empty() ? p.command.c_str() : p.file.c_str());
        }
        Count(TOO_LONG);
    }
    return bytes;
}

void MultiSync::Send(SyncPacket& p, long long timeUs) {
    if (m_transport.Fd() < 0) return;
    std::vector<uint8_t> bytes = Seal(p, timeUs);
    if (bytes.empty()) return;
    Count(m_transport.Send(bytes) > 0 ? SENT : SEND_ERRORS);
}

void MultiSync::SendPing(bool askForReplies, const sockaddr_in* to) {
    SyncPacket p;
    p.type = SYNC_PING;
    if (askForReplies) p.flags |= SYNC_FLAG_REPLY;
    p.mode = (uint8_t)getKIVmode();
    p.master = m_master;
    p.typeId = TYPE_UNDETERMINED;
    p.clockErrorUs = m_clockErrorUs >= 0 ? (uint32_t)m_clockErrorUs : SYNC_UNKNOWN_ERROR;
    p.hostname = LocalHostName();
    p.version = getKIVVersion();
    p.uuid = getSetting("SystemUUID", "unknown");
    p.httpPort = (uint16_t)AnnouncedHttpPort();
    if (to) {
        m_transport.SendTo(Seal(p, SyncWallUs()), *to);
    } else {
        Send(p, SyncWallUs());
    }
}

void MultiSync::ProcessControlPacket(bool pingOnly) {
    if (m_transport.Fd() < 0) return;
    std::vector<uint8_t>& buf = m_receiveBuffer;
    buf.resize(SYNC_HEADER_SIZE + SYNC_MAX_BODY + SYNC_TAG_SIZE + 1);
    for (int i = 0; i < PACKETS_PER_CALL; ++i) {
        size_t len = 0;
        sockaddr_in from{};
        long long arrivalWallUs = 0;
        if (!m_transport.Receive(buf, len, from, arrivalWallUs)) break;
        HandlePacket(buf.data(), len, from, arrivalWallUs, pingOnly);
    }
    if (m_systemsChanged) {
        m_systemsChanged = false;
        PublishSystems();
    }
}

void MultiSync::Refuse(LogRateLimit& limit, Counter c, const std::string& from, const std::string& why) {
    Count(c);
    long held = 0;
    bool last = false;
    if (limit.Allow(held, &last)) {
        LogWarn(VB_SYNC, "Sync packet from %s dropped: %s%s\n", from.c_str(), why.c_str(),
                LogRateLimit::Note(held, last, "dropped packets").c_str());
    }
}

void MultiSync::HandlePacket(const uint8_t* data, size_t len, const sockaddr_in& from, long long arrivalWallUs,
                             bool pingOnly) {
    static LogRateLimit malformedLog(LOGGED_PER_MINUTE), signatureLog(LOGGED_PER_MINUTE),
        strangerLog(LOGGED_PER_MINUTE);
    Count(RECEIVED);
    std::string address = AddressText(from.sin_addr);
    SyncPacket p;
    SyncParseResult r = ParseSyncPacket(data, len, p);
    if (r != SyncParseResult::Ok) {
        Refuse(malformedLog, MALFORMED, address, SyncParseResultText(r));
        return;
    }
    if (p.session == m_session) return;  // our own, looped back by a switch or a unicast list naming us
    if (!m_key.empty() && !VerifySyncTag(data, p, m_key)) {
        Refuse(signatureLog, BAD_SIGNATURE, address,
               (p.flags & SYNC_FLAG_SIGNED) ? "wrong signature (MultiSyncKey differs)" : "not signed");
        return;
    }
    bool allowed = m_peers.Allows(from.sin_addr);
    if (p.type != SYNC_PING && !allowed) {
        Refuse(strangerLog, NOT_ALLOWED, address,
               std::string(SyncPacketTypeName(p.type)) + " from a system not in MultiSyncPeers");
        return;
    }
    long long nowWall = SyncWallUs();
    long long nowMono = SyncMonoUs();
    long long arrivalMonoUs = arrivalWallUs - (nowWall - nowMono);
    std::unique_lock<std::mutex> lock(m_stateLock);
    if (!m_replay.Accept(ntohl(from.sin_addr.s_addr), p.session, p.seq, p.timeUs)) {
        Count(REPLAYED);
        return;
    }
    Count(ACCEPTED);
    if (m_systems.Seen(address, p, arrivalWallUs, arrivalMonoUs)) m_systemsChanged = true;

    if (p.type == SYNC_PING && (p.flags & SYNC_FLAG_REPLY) && nowMono - m_lastReplyMonoUs >= REPLY_INTERVAL_US) {
        m_lastReplyMonoUs = nowMono;
        SendPing(false, &from);
    }
    if (pingOnly) return;
    switch (p.type) {
    case SYNC_COMMAND:
        RunReceivedCommand(address, p);
        return;
    case SYNC_PLUGIN:
        // Plug-in code runs without the sync state held: it may be slow, or send.
        lock.unlock();
        PluginManager::INSTANCE.multiSyncData(p.plugin, p.data.data(), (int)p.data.size());
        return;
    case SYNC_PING:
        if (!allowed) return;
        break;
    default:
        break;
    }
    if (!m_remote) return;
    if (!m_remoteRole.FromFollowedMaster(address, p, arrivalMonoUs)) {
        if (p.type != SYNC_PING) Count(OTHER_MASTER);
        return;
    }
    m_remoteRole.Handle(p, arrivalMonoUs, m_clockSynced);
}

bool MultiSync::CommandIsForMe(const std::string& hosts) {
    if (hosts.empty()) return true;
    std::string me = toLowerCopy(LocalHostName());
    auto interfaces = LocalInterfaces();
    for (std::string h : split(hosts, ',')) {
        TrimWhiteSpace(h);
        if (toLowerCopy(h) == me) return true;
        for (auto& i : interfaces) {
            if (i.second == h) return true;
        }
    }
    return false;
}

void MultiSync::RunReceivedCommand(const std::string& from, const SyncPacket& p) {
    if (!CommandIsForMe(p.hosts)) {
        LogDebug(VB_SYNC, "Command \"%s\" from %s is for %s, not this system\n", p.command.c_str(), from.c_str(),
                 p.hosts.c_str());
        return;
    }
    LogInfo(VB_SYNC, "Running command \"%s\" from %s\n", p.command.c_str(), from.c_str());
    Json::Value cmd;
    cmd["command"] = p.command;
    cmd["args"] = Json::Value(Json::arrayValue);
    for (auto& a : p.args) cmd["args"].append(a);
    // Never passed on again: the sender reached every system it meant to.
    if (CommandManager::INSTANCE.QueueCommand(cmd)) Count(COMMANDS_RUN);
    else Count(COMMANDS_DROPPED);
}

bool MultiSync::SendCommand(const std::string& hosts, const std::string& command,
                            const std::vector<std::string>& args) {
    if (m_transport.Fd() < 0) return false;
    SyncPacket p;
    p.type = SYNC_COMMAND;
    p.hosts = hosts;
    p.command = command;
    p.args = args;
    std::vector<uint8_t> bytes = Seal(p, SyncWallUs());
    if (bytes.empty()) return true;
    Count(m_transport.Send(bytes) > 0 ? SENT : SEND_ERRORS);
    // Systems named by address get their own copy too, wherever they are;
    // the copy that also came by multicast is dropped as already seen.
    for (std::string h : split(hosts, ',')) {
        TrimWhiteSpace(h);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons((uint16_t)m_port);
        if (inet_pton(AF_INET, h.c_str(), &to.sin_addr) == 1) m_transport.SendTo(bytes, to);
    }
    return true;
}

void MultiSync::SendPluginData(const std::string& pluginName, const uint8_t* data, int len) {
    if (m_transport.Fd() < 0 || !data || len < 0) return;
    SyncPacket p;
    p.type = SYNC_PLUGIN;
    p.plugin = pluginName;
    p.data.assign(data, data + len);
    Send(p, SyncWallUs());
}

void MultiSync::Discover() {
    if (m_transport.Fd() < 0) return;
    SendPing(true, nullptr);
    m_lastPingMonoUs = SyncMonoUs();
}

void MultiSync::PeriodicPing() {
    if (m_transport.Fd() < 0) return;
    long long now = SyncMonoUs();
    KernelClockState k = ReadKernelClock();
    bool synced = m_clock.Synchronised(k);
    std::string text = m_clock.Describe(k);
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        m_clockErrorUs = k.estimatedErrorUs;
        if (synced != m_clockSynced) {
            LogInfo(VB_SYNC, "This board's clock: %s\n", text.c_str());
        }
        m_clockSynced = synced;
        m_clockText = text;
        if (m_remote) m_remoteRole.Periodic(now);
        changed = m_systems.Expire(now, FORGET_AFTER_US);
    }
    if (now - m_lastPingMonoUs >= (m_master ? MASTER_PING_INTERVAL_US : PING_INTERVAL_US)) {
        m_lastPingMonoUs = now;
        SendPing(false, nullptr);
    }
    if (changed) PublishSystems();
}

Json::Value MultiSync::GetSystems(bool localOnly, bool timestamps) {
    Json::Value result;
    Json::Value systems(Json::arrayValue);
    std::string host = LocalHostName();
    std::lock_guard<std::mutex> lock(m_stateLock);
    for (auto& i : LocalInterfaces()) {
        Json::Value s;
        s["address"] = i.second;
        s["hostname"] = host;
        s["interface"] = i.first;
        s["version"] = getKIVVersion();
        s["mode"] = ModeText(getKIVmode(), m_master);
        s["typeId"] = TYPE_UNDETERMINED;
        s["type"] = GetTypeString(TYPE_UNDETERMINED, true);
        s["uuid"] = getSetting("SystemUUID", "unknown");
        s["local"] = true;
        s["clockSynchronised"] = m_clockSynced.load();
        systems.append(s);
    }
    long long now = SyncMonoUs();
    if (!localOnly) m_systems.AppendJson(systems, timestamps, now);
    result["systems"] = systems;
    if (localOnly) return result;

    Json::Value sync;
    sync["role"] = m_master ? "master" : m_remote ? "remote" : "off";
    sync["signed"] = !m_key.empty();
    sync["clockSynchronised"] = m_clockSynced.load();
    sync["clock"] = m_clockText;
    if (m_clockErrorUs >= 0) sync["clockErrorUs"] = (Json::Int64)m_clockErrorUs;
    if (m_remote) m_remoteRole.AppendStatus(sync, now);
    static const char* const names[COUNTERS] = {"received",   "accepted",    "sent",        "sendErrors",
                                                "malformed",  "badSignature", "notAllowed", "replayed",
                                                "otherMaster", "tooLong",     "commandsRun", "commandsDropped"};
    for (int i = 0; i < COUNTERS; ++i) sync["counters"][names[i]] = (Json::UInt64)m_counters[i].load();
    result["sync"] = sync;
    return result;
}

void MultiSync::PublishSystems() {
    Json::StreamWriterBuilder w;
    w["indentation"] = "";
    Events::Publish("multisync/systems", Json::writeString(w, GetSystems(false, true)));
}

void MultiSync::SendSeqOpenPacket(const std::string& filename) {
    if (m_master) m_masterRole.SeqOpen(filename);
}
void MultiSync::SendSeqSyncStartPacket(const std::string& filename) {
    if (m_master) m_masterRole.SeqStart(filename, SequenceLightDelay);
}
void MultiSync::SendSeqSyncStopPacket(const std::string& filename) {
    if (m_master) m_masterRole.SeqStop(filename);
}
void MultiSync::SendSeqSyncPacket(const std::string& filename, int frames, float seconds, long long frameMonoUs,
                                  int periodUs) {
    if (m_master) m_masterRole.SeqSync(filename, frames, frameMonoUs, periodUs);
}
void MultiSync::SendBlankingDataPacket() {
    if (m_master) m_masterRole.Blank();
}
void MultiSync::SendEffectStartPacket(const std::string& name, int startChannel, bool loop, bool background,
                                      long long startMonoUs) {
    if (m_master) m_masterRole.EffectStart(name, startChannel, loop, background, startMonoUs);
}
void MultiSync::SendEffectStopPacket(const std::string& name) {
    if (m_master) m_masterRole.EffectStop(name);
}
void MultiSync::SendMediaOpenPacket(const std::string& filename) {
    if (m_master) m_masterRole.MediaOpen(filename);
}
void MultiSync::SendMediaSyncStartPacket(const std::string& filename, float seconds) {
    if (m_master) m_masterRole.MediaStart(filename, seconds);
}
void MultiSync::SendMediaSyncStopPacket(const std::string& filename) {
    if (m_master) m_masterRole.MediaStop(filename);
}
void MultiSync::SendMediaSyncPacket(const std::string& filename, float seconds) {
    if (m_master) m_masterRole.MediaSync(filename, seconds);
}
