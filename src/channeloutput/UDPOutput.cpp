#include "channeloutput/UDPOutput.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <curl/curl.h>
#include <errno.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/udp.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "ThreadPriority.h"
#include "Warnings.h"
#include "channeloutput/ArtNet.h"
#include "channeloutput/DDP.h"
#include "channeloutput/E131.h"
#include "channeloutput/KiNet.h"
#include "channeloutput/Twinkly.h"
#include "common.h"
#include "log.h"
#include "services/NetworkMonitor.h"
#include "services/Ping.h"
#include "settings.h"

UDPOutput* UDPOutput::INSTANCE = nullptr;

// A batch may take this long before its address counts a failed round.
static constexpr long long SLOW_SEND_MS = 100;
// How long the frame thread waits for the workers.
static constexpr auto WORKER_BUDGET = std::chrono::milliseconds(50);
static constexpr int SOCKETS_PER_ADDRESS = 5;
static constexpr int MAX_SEND_ATTEMPTS = 10;

#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103
#endif
#ifndef SOL_UDP
#define SOL_UDP 17
#endif

// What a kernel answers to a segmented send it will not cut for this
// socket or route (no checksum offload path, IPsec, datagrams above the
// route's MTU): the same datagrams go out plain instead.
static bool IsSegmentRefusal(int err) { return err == EIO || err == EINVAL || err == EMSGSIZE; }

// ------------------------------------------------------------------ helpers

static std::string JsonString(const Json::Value& config, const char* key, const std::string& def) {
    if (!config.isObject() || !config.isMember(key)) return def;
    const Json::Value& v = config[key];
    if (v.isString()) return v.asString();
    if (v.isNumeric() || v.isBool()) return v.asString();
    return def;
}

// --------------------------------------------------------- UDPOutputData

UDPOutputData::UDPOutputData(const Json::Value& config) {
    description = JsonString(config, "description", "");
    active = JsonInt(config, "active", 1) != 0;
    startChannel = JsonInt(config, "startChannel", 0);
    channelCount = JsonInt(config, "channelCount", 0);
    type = JsonInt(config, "type", 0);
    address = JsonString(config, "address", "");
    monitor = JsonInt(config, "monitor", 1) != 0;
    deDuplicate = JsonInt(config, "deDuplicate", 0) != 0;
}

UDPOutputData::~UDPOutputData() {
    free(lastData);
    free(m_pendingData);
}

void UDPOutputData::GetRequiredChannelRange(int& min, int& max) {
    min = startChannel - 1;
    max = startChannel + channelCount - 1;
}

in_addr_t UDPOutputData::toInetAddr(const std::string& host, bool& valid) {
    valid = true;
    bool hasLetter = false;
    for (char c : host) {
        if (isalpha((unsigned char)c)) {
            hasLetter = true;
            break;
        }
    }
    if (hasLetter) {
        // getaddrinfo rather than gethostbyname: this runs on several threads.
        struct addrinfo hints, *res = nullptr;
        memset(&hints, 0, sizeof(hints));
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_DGRAM;
        if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res) {
            LogErr(VB_CHANNELOUT, "Error looking up hostname: %s\n", host.c_str());
            valid = false;
            return 0;
        }
        in_addr_t a = ((struct sockaddr_in*)res->ai_addr)->sin_addr.s_addr;
        freeaddrinfo(res);
        return a;
    }
    return inet_addr(host.c_str());
}

bool UDPOutputData::NeedToOutputFrame(unsigned char* channelData, int rangeStart, int offset, int count) {
    if (!deDuplicate || skippedFrames > 9 || !lastData) return true;
    if (offset < 0 || count < 0 || offset + count > lastDataSize) return true;
    return memcmp(channelData + rangeStart + offset, lastData + offset, count) != 0;
}

void UDPOutputData::SaveFrame(unsigned char* data, int size) {
    if (!deDuplicate || size <= 0) return;
    if (!m_pendingData || m_pendingDataSize < size) {
        free(m_pendingData);
        m_pendingData = (unsigned char*)calloc(1, size);
        m_pendingDataSize = m_pendingData ? size : 0;
    }
    if (!m_pendingData) return;
    memcpy(m_pendingData, data, size);
    m_pendingSave = true;
}

void UDPOutputData::BeginFrame() {
    m_queued.clear();
    m_queuedAny = false;
    m_pendingSkipped = false;
    m_pendingSave = false;
    m_pendingCommit = true;
}

void UDPOutputData::NoteQueued(size_t i, uint32_t key) {
    m_queued.push_back(i);
    m_queuedKey = key;
    m_queuedAny = true;
}

void UDPOutputData::FrameSent() {
    for (size_t i : m_queued) {
        if (i < m_packets.size()) StampPacket(i, m_packets[i].header.data());
    }
    if (!m_pendingCommit) return;  // the same frame sent again
    m_pendingCommit = false;
    skippedFrames = m_pendingSkipped ? skippedFrames + 1 : 0;
    if (m_pendingSave) {
        // The prepared copy becomes the last data sent; the old buffer is
        // reused for the next prepare.
        std::swap(lastData, m_pendingData);
        std::swap(lastDataSize, m_pendingDataSize);
        m_pendingSave = false;
    }
}

bool UDPOutputData::ResolveDestination(sockaddr_in& to, int port) {
    memset(&to, 0, sizeof(to));
    to.sin_family = AF_INET;
    to.sin_port = htons((uint16_t)port);
    bool ok = true;
    to.sin_addr.s_addr = toInetAddr(address, ok);
    if (!ok && active) {
        WarningHolder::AddWarning("Could not resolve host name " + address + " - disabling output");
        active = false;
    }
    return ok;
}

bool UDPOutputData::CheckChannelSpan(int first, long long count) {
    if (first >= 1 && count >= 1 && (long long)(first - 1) + count <= UDP_MAX_CHANNELS) return true;
    LogErr(VB_CHANNELOUT, "%s output %s: channels %d+%lld are outside 1-%d, disabling output\n",
           GetOutputTypeString().c_str(), address.c_str(), first, count, UDP_MAX_CHANNELS);
    if (active) {
        WarningHolder::AddWarning(GetOutputTypeString() + " output " + address + " " + description +
                                  ": channel range outside 1-8388608 - disabling output");
    }
    active = false;
    return false;
}

UDPOutputData::Packet& UDPOutputData::AddPacket(size_t headerLen, int offset, int length, int trailer) {
    m_packets.emplace_back();
    Packet& p = m_packets.back();
    p.header.assign(headerLen, 0);
    p.offset = offset;
    p.length = length;
    p.trailer = trailer;
    return p;
}

void UDPOutputData::FinishPackets() {
    // A static run of zeros for trailers; never written.
    static const uint8_t zeros[4] = {0, 0, 0, 0};
    m_iov.assign(m_packets.size() * 3, iovec{nullptr, 0});
    for (size_t i = 0; i < m_packets.size(); ++i) {
        m_iov[3 * i].iov_base = m_packets[i].header.data();
        m_iov[3 * i].iov_len = m_packets[i].header.size();
        m_iov[3 * i + 1].iov_len = m_packets[i].length;
        m_iov[3 * i + 2].iov_base = (void*)zeros;
        m_iov[3 * i + 2].iov_len = m_packets[i].trailer;
    }
}

void UDPOutputData::QueuePacket(UDPOutputMessages& msgs, uint32_t key, sockaddr_in& to, size_t i,
                                unsigned char* channelData) {
    Packet& p = m_packets[i];
    iovec* iov = &m_iov[3 * i];
    iov[1].iov_base = channelData + startChannel - 1 + p.offset;
    struct mmsghdr m;
    memset(&m, 0, sizeof(m));
    m.msg_hdr.msg_name = &to;
    m.msg_hdr.msg_namelen = sizeof(sockaddr_in);
    m.msg_hdr.msg_iov = iov;
    m.msg_hdr.msg_iovlen = p.trailer ? 3 : 2;
    m.msg_len = p.header.size() + p.length + p.trailer;
    msgs.GetMessages(key).push_back(m);
}

void UDPOutputData::QueueChangedPackets(unsigned char* channelData, UDPOutputMessages& msgs, uint32_t key,
                                        sockaddr_in& to) {
    bool queued = false;
    for (size_t i = 0; i < m_packets.size(); ++i) {
        Packet& p = m_packets[i];
        if (!NeedToOutputFrame(channelData, startChannel - 1, p.offset, p.length)) {
            NoteSkipped();
            continue;
        }
        if (i < m_packetTo.size()) {
            QueuePacket(msgs, key, m_packetTo[i], i, channelData);
        } else {
            QueuePacket(msgs, key, to, i, channelData);
        }
        NoteQueued(i, key);
        queued = true;
    }
    if (queued) SaveFrame(channelData + startChannel - 1, PacketSpan());
}

int UDPOutputData::PacketSpan() const {
    int span = 0;
    for (auto& p : m_packets) span = std::max(span, p.offset + p.length);
    return span;
}

// ------------------------------------------------------ UDPOutputMessages

UDPOutputMessages::~UDPOutputMessages() { clearSockets(); }

std::vector<struct mmsghdr>& UDPOutputMessages::GetMessages(uint32_t key) {
    if (!m_lastBatch || m_lastKey != key) {
        m_lastBatch = &messages[key];
        m_lastKey = key;
    }
    return *m_lastBatch;
}

int UDPOutputMessages::GetSocket(uint32_t key) {
    SendSocketInfo*& info = sockets[key];
    if (!info) info = new SendSocketInfo();
    return info->sockets.empty() ? -1 : info->sockets[0];
}

void UDPOutputMessages::ForceSocket(uint32_t key, int sock) {
    SendSocketInfo*& info = sockets[key];
    if (!info) info = new SendSocketInfo();
    for (int s : info->sockets) {
        if (s >= 0) close(s);
    }
    info->sockets.clear();
    info->sockets.push_back(sock);
    info->nextIdx = 0;
}

void UDPOutputMessages::clearMessages() {
    for (auto& m : messages) m.second.clear();
}

void UDPOutputMessages::clearSockets() {
    for (auto& s : sockets) {
        for (int fd : s.second->sockets) {
            if (fd >= 0) close(fd);
        }
        delete s.second;
    }
    sockets.clear();
}

// Bytes of one datagram: the sum of its scatter list.
static size_t DatagramSize(const struct msghdr& m) {
    size_t n = 0;
    for (size_t i = 0; i < m.msg_iovlen; ++i) n += m.msg_iov[i].iov_len;
    return n;
}

static bool SameAddress(const struct msghdr& a, const struct msghdr& b) {
    return a.msg_namelen == b.msg_namelen &&
           (a.msg_name == b.msg_name || memcmp(a.msg_name, b.msg_name, a.msg_namelen) == 0);
}

int UDPOutputMessages::BuildSegments(SendSocketInfo* info, std::vector<struct mmsghdr>& msgs) {
    info->segMsgs.clear();
    info->segCounts.clear();
    info->segIov.clear();
    info->segControl.clear();
    // Pointers into segIov and segControl are set once both stopped
    // growing; until then a message holds offsets (iov, control or -1).
    std::vector<std::pair<size_t, long>>& at = info->segAt;
    at.clear();
    size_t total = msgs.size();
    for (size_t i = 0; i < total;) {
        const struct msghdr& first = msgs[i].msg_hdr;
        size_t size = DatagramSize(first);
        size_t j = i + 1, bytes = size, iovs = first.msg_iovlen;
        if (size > 0 && !first.msg_controllen) {
            while (j < total && j - i < (size_t)SEGMENT_MAX_COUNT) {
                const struct msghdr& next = msgs[j].msg_hdr;
                size_t n = DatagramSize(next);
                if (n == 0 || n > size || next.msg_controllen || !SameAddress(first, next) ||
                    bytes + n > SEGMENT_MAX_BYTES || iovs + next.msg_iovlen > (size_t)UIO_MAXIOV)
                    break;
                bytes += n;
                iovs += next.msg_iovlen;
                ++j;
                if (n < size) break;  // only the last one may be shorter
            }
        }
        struct mmsghdr m = msgs[i];
        m.msg_len = 0;
        if (j - i == 1) {
            at.emplace_back(0, -1);
        } else {
            at.emplace_back(info->segIov.size(), (long)info->segControl.size());
            for (size_t k = i; k < j; ++k) {
                const struct msghdr& h = msgs[k].msg_hdr;
                info->segIov.insert(info->segIov.end(), h.msg_iov, h.msg_iov + h.msg_iovlen);
            }
            m.msg_hdr.msg_iovlen = iovs;
            info->segControl.emplace_back();
            SegmentControl& c = info->segControl.back();
            memset(&c, 0, sizeof(c));
            struct cmsghdr* cm = &c.align;
            cm->cmsg_level = SOL_UDP;
            cm->cmsg_type = UDP_SEGMENT;
            cm->cmsg_len = CMSG_LEN(sizeof(uint16_t));
            uint16_t gso = (uint16_t)size;
            memcpy(CMSG_DATA(cm), &gso, sizeof(gso));
        }
        info->segMsgs.push_back(m);
        info->segCounts.push_back((int)(j - i));
        i = j;
    }
    for (size_t k = 0; k < info->segMsgs.size(); ++k) {
        if (at[k].second < 0) continue;
        struct msghdr& h = info->segMsgs[k].msg_hdr;
        h.msg_iov = &info->segIov[at[k].first];
        h.msg_control = info->segControl[at[k].second].buf;
        h.msg_controllen = sizeof(SegmentControl::buf);
    }
    return (int)info->segMsgs.size();
}

// ---------------------------------------------------------------- UDPOutput

UDPOutput::UDPOutput(unsigned int startChannel, unsigned int channelCount) : ChannelOutput(1, 1) {
    memset(&m_localAddress, 0, sizeof(m_localAddress));
    m_localAddress.sin_family = AF_INET;
    m_curlMulti = curl_multi_init();
    INSTANCE = this;
}

UDPOutput::~UDPOutput() {
    StopPingThread();
    if (m_networkCallbackId >= 0) {
        NetworkMonitor::INSTANCE.removeCallback(m_networkCallbackId);
        m_networkCallbackId = -1;
    }
    {
        // A network event may still be in a ping round over the destinations.
        std::lock_guard<std::mutex> round(m_pingRoundLock);
    }
    {
        std::lock_guard<std::mutex> lock(m_outputLock);
        WaitForWorkInFlight();
    }
    m_workersRunning = false;
    {
        std::lock_guard<std::mutex> lock(m_workLock);
        m_workCV.notify_all();
    }
    for (auto* d : m_outputs) delete d;
    m_outputs.clear();
    if (m_curlMulti) {
        curl_multi_cleanup((CURLM*)m_curlMulti);
        m_curlMulti = nullptr;
    }
    while (m_workerCount > 0) {
        {
            std::lock_guard<std::mutex> lock(m_workLock);
            m_workCV.notify_all();
        }
        usleep(1000);
    }
    {
        std::lock_guard<std::mutex> lock(m_outputLock);
        m_messages.clearMessages();
        m_messages.clearSockets();
    }
    if (INSTANCE == this) INSTANCE = nullptr;
}

static UDPOutputData* createDestination(const Json::Value& u) {
    // A type that is there but not a number must not become multicast E1.31.
    int type = JsonInt(u, "type", u.isMember("type") ? -1 : 0);
    switch (type) {
        case 0:
        case 1:
            return new E131OutputData(u);
        case 2:
        case 3:
            return new ArtNetOutputData(u);
        case 4:
        case 5:
            return new DDPOutputData(u);
        case 6:
        case 7:
            return new KiNetOutputData(u);
        case 8:
            return new TwinklyOutputData(u);
        default:
            LogErr(VB_CHANNELOUT, "Unknown IP output type %d\n", type);
            return nullptr;
    }
}

std::vector<UDPOutputData*> UDPOutput::OutputsSnapshot() {
    std::lock_guard<std::mutex> lock(m_outputsListLock);
    return std::vector<UDPOutputData*>(m_outputs.begin(), m_outputs.end());
}

bool UDPOutput::IsLocalAddress(const std::string& a) const { return m_localAddresses.count(a) > 0; }

void UDPOutput::CheckSendToSelf(UDPOutputData* d) {
    if (getSettingInt("DisableFakeNetworkBridges", 0)) return;
    if (d->IsPingable() && d->active && IsLocalAddress(d->address)) {
        std::string text = "UDP Output set to send data to myself.  Disabling " + d->address;
        WarningHolder::AddWarning(text);
        LogWarn(VB_CHANNELOUT, "%s\n", text.c_str());
        d->active = false;
    }
}

int UDPOutput::Init(Json::Value config) {
    LogDebug(VB_CHANNELOUT, "UDPOutput::Init()\n");
    m_enabled = JsonInt(config, "enabled", 1) != 0;
    const Json::Value& universes = config["universes"];
    if (universes.isArray()) {
        std::lock_guard<std::mutex> lock(m_outputsListLock);
        for (Json::ArrayIndex i = 0; i < universes.size(); ++i) {
            if (!universes[i].isObject()) {
                LogErr(VB_CHANNELOUT, "UDP output entry %u is not a JSON object, skipped\n", i);
                continue;
            }
            UDPOutputData* d = createDestination(universes[i]);
            if (d) m_outputs.push_back(d);
        }
    }
    if (config.isMember("threaded")) m_threaded = JsonInt(config, "threaded", 1) != 0;
    if (config.isMember("interface")) m_interface = JsonString(config, "interface", "");

    struct ifaddrs* interfaces = nullptr;
    std::string firstNonLo;
    bool haveInterface = !m_interface.empty();
    if (getifaddrs(&interfaces) == 0) {
        for (struct ifaddrs* ifa = interfaces; ifa; ifa = ifa->ifa_next) {
            if (!ifa->ifa_addr || ifa->ifa_addr->sa_family != AF_INET) continue;
            char addr[INET_ADDRSTRLEN + 16] = "";
            GetInterfaceAddress(ifa->ifa_name, addr, nullptr, nullptr);
            m_localAddresses.insert(addr);
            if (!haveInterface) {
                if (firstNonLo.empty() && strcmp(ifa->ifa_name, "lo")) firstNonLo = ifa->ifa_name;
                if (ifa->ifa_name[0] == 'e') {
                    m_interface = ifa->ifa_name;
                    haveInterface = true;
                }
            }
        }
        freeifaddrs(interfaces);
    }
    if (m_interface.empty()) m_interface = firstNonLo.empty() ? "eth0" : firstNonLo;

    {
        std::lock_guard<std::mutex> lock(m_outputsListLock);
        for (auto* d : m_outputs) CheckSendToSelf(d);
    }

    m_networkCallbackId = NetworkMonitor::INSTANCE.registerCallback(
        [this](NetworkMonitor::NetEventType type, int state, const std::string& iface) {
            NetworkEvent((int)type, state, iface);
        });
    m_networkUp = true;
    ChooseSendPath();
    InitNetwork();
    PingControllers(false);
    PingControllers(true);
    PingControllers(true);
    m_initialised = true;

    m_pingThreadRunning = true;
    m_pingThread = std::thread(&UDPOutput::PingThreadMain, this);
    return ChannelOutput::Init(config);
}

void UDPOutput::ChooseSendPath() {
    // The environment switch lets a whole test run or benchmark take the
    // plain path without touching the board's settings.
    const char* env = getenv("KIV_UDP_SEGMENTATION");
    const char* off = env && *env && atoi(env) == 0 ? "KIV_UDP_SEGMENTATION"
                      : !getSettingInt("UDPSegmentation", 1) ? "UDPSegmentation"
                                                             : nullptr;
    if (off) {
        m_segmentation = false;
        LogInfo(VB_CHANNELOUT, "UDP output sends with sendmmsg: segmentation offload is switched off (%s)\n", off);
        return;
    }
    // A kernel that knows the option takes it on any UDP socket; one that
    // takes it but cannot use it on a route refuses the first send there,
    // which SendMessages turns into the same fallback.
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int size = 1400;
    int err = 0;
    if (sock < 0 || setsockopt(sock, SOL_UDP, UDP_SEGMENT, &size, sizeof(size)) < 0) err = errno;
    if (sock >= 0) close(sock);
    m_segmentation = err == 0;
    if (err) {
        LogInfo(VB_CHANNELOUT, "UDP output sends with sendmmsg: the kernel does not take UDP segmentation offload (%s)\n",
                strerror(err));
    } else {
        LogInfo(VB_CHANNELOUT, "UDP output sends with UDP segmentation offload (UDP_SEGMENT)\n");
    }
}

int UDPOutput::Close() {
    LogDebug(VB_CHANNELOUT, "UDPOutput::Close()\n");
    StopPingThread();
    if (m_networkCallbackId >= 0) {
        NetworkMonitor::INSTANCE.removeCallback(m_networkCallbackId);
        m_networkCallbackId = -1;
    }
    {
        std::lock_guard<std::mutex> lock(m_outputLock);
        WaitForWorkInFlight();
        m_messages.clearMessages();
        m_messages.clearSockets();
    }
    return ChannelOutput::Close();
}

void UDPOutput::addOutput(UDPOutputData* out) {
    if (!out) return;
    std::lock_guard<std::mutex> olock(m_outputLock);
    std::lock_guard<std::mutex> lock(m_outputsListLock);
    // Destinations that arrive after Init get the same self check.
    if (m_initialised) CheckSendToSelf(out);
    m_outputs.push_back(out);
}

void UDPOutput::InitNetwork() {
    std::lock_guard<std::mutex> lock(m_outputLock);
    if (!m_messages.sockets.empty()) return;
    // Late workers create sockets from the local address.
    WaitForWorkInFlight();
    char addr[INET_ADDRSTRLEN + 16] = "";
    GetInterfaceAddress(m_interface.c_str(), addr, nullptr, nullptr);
    LogDebug(VB_CHANNELOUT, "UDPLocalAddress = %s\n", addr);
    if (strncmp(addr, "127", 3) == 0) return;
    memset(&m_localAddress, 0, sizeof(m_localAddress));
    m_localAddress.sin_family = AF_INET;
    m_localAddress.sin_port = 0;
    m_localAddress.sin_addr.s_addr = inet_addr(addr);
    m_messages.ForceSocket(UDPOutputMessages::BROADCAST_KEY, createSocket(0, true));
}

void UDPOutput::CloseNetwork() {
    {
        std::lock_guard<std::mutex> lock(m_outputLock);
        WaitForWorkInFlight();
        m_messages.clearSockets();
    }
}

int UDPOutput::createSocket(int port, bool broadcast) {
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        LogErr(VB_CHANNELOUT, "Error opening datagram socket\n");
        exit(1);
    }
    sockaddr_in local = m_localAddress;
    local.sin_family = AF_INET;
    local.sin_port = htons((uint16_t)port);
    char loop = 0;
    if (setsockopt(sock, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof(loop)) < 0) {
        LogErr(VB_CHANNELOUT, "Error setting IP_MULTICAST_LOOP error\n");
        close(sock);
        return -1;
    }
    if (broadcast) {
        int on = 1;
        if (setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on)) < 0) {
            LogErr(VB_SYNC, "Error setting SO_BROADCAST: %s\n", strerror(errno));
            exit(1);
        }
    } else if (local.sin_addr.s_addr != htonl(INADDR_ANY) &&  // "any" is the kernel's own choice already
               setsockopt(sock, IPPROTO_IP, IP_MULTICAST_IF, &local.sin_addr, sizeof(local.sin_addr)) < 0) {
        LogErr(VB_CHANNELOUT, "Error setting IP_MULTICAST_IF: %s\n", strerror(errno));
    }
    if (bind(sock, (struct sockaddr*)&local, sizeof(local)) < 0) {
        LogErr(VB_CHANNELOUT, "Error in bind:errno=%d, %s\n", errno, strerror(errno));
    }
    // Connected to itself, the socket accepts no stray datagrams that would
    // fill its receive buffer; sendmmsg still names each destination.
    if (connect(sock, (struct sockaddr*)&local, sizeof(local)) < 0) {
        LogErr(VB_CHANNELOUT, "Error connecting IP_MULTICAST_LOOP socket\n");
    }
    return sock;
}

UDPOutputMessages::SendSocketInfo* UDPOutput::findOrCreateSocket(uint32_t key, int count) {
    UDPOutputMessages::SendSocketInfo*& info = m_messages.sockets[key];
    if (!info) info = new UDPOutputMessages::SendSocketInfo();
    if (info->sockets.empty()) {
        for (int i = 0; i < count; ++i) info->sockets.push_back(createSocket(0, false));
    }
    if (info->nextIdx == -1) info->nextIdx = 0;
    return info;
}

// How the metrics name a batch key: its address, or what the reserved key stands for.
static std::string KeyName(uint32_t key) {
    if (key == UDPOutputMessages::BROADCAST_KEY) return "broadcast";
    if (key == UDPOutputMessages::MULTICAST_KEY) return "multicast";
    char text[INET_ADDRSTRLEN] = "";
    struct in_addr a;
    a.s_addr = key;
    inet_ntop(AF_INET, &a, text, sizeof(text));
    return text;
}

int UDPOutput::SendMessages(uint32_t key, UDPOutputMessages::SendSocketInfo* info, std::vector<struct mmsghdr>& msgs,
                            int* error) {
    int sent = SendBatch(key, info, msgs, error);
    if (!info || msgs.empty()) return sent;
    // Counted here, in datagrams, whichever way they went: a segmented
    // message carries many, and a refused one goes again plain.
    if (!info->traffic) info->traffic = OutputTraffic::For("UDP", KeyName(key));
    uint64_t bytes = 0;
    for (int i = 0; i < sent; ++i) bytes += DatagramSize(msgs[i].msg_hdr);
    info->traffic->Count(sent, bytes, msgs.size() - sent);
    return sent;
}

int UDPOutput::SendBatch(uint32_t key, UDPOutputMessages::SendSocketInfo* info, std::vector<struct mmsghdr>& msgs,
                         int* error) {
    int total = (int)msgs.size();
    if (error) *error = 0;
    if (!total || !info) return 0;
    if (info->sockets.empty()) {
        // The broadcast key has no socket when the interface had a loopback
        // address at start-up; make one rather than dropping its datagrams.
        info->sockets.push_back(createSocket(0, key == UDPOutputMessages::BROADCAST_KEY));
    }
    int sent = 0;
    if (m_segmentation) {
        int count = UDPOutputMessages::BuildSegments(info, msgs);
        if (count < total) {
            int err = 0;
            int done = SendLoop(key, info, info->segMsgs.data(), count, &err, true);
            long long cut = 0;
            for (int i = 0; i < done; ++i) {
                sent += info->segCounts[i];
                if (info->segCounts[i] > 1) cut += info->segCounts[i];
            }
            m_segmentedDatagrams += cut;
            bool refused = done < count && info->segMsgs[done].msg_hdr.msg_controllen && IsSegmentRefusal(err);
            if (!refused) {
                if (error) *error = err;
                return sent;
            }
            // The path to this address cannot take it (an interface with a
            // small MTU, IPsec): everything goes plain from now on, starting
            // with the rest of this batch.
            if (m_segmentation.exchange(false)) {
                LogWarn(VB_CHANNELOUT,
                        "UDP output falls back to sendmmsg: the kernel refused a segmented send (key: %X): %s\n",
                        key, strerror(err));
            }
        }
    }
    return sent + SendLoop(key, info, msgs.data() + sent, total - sent, error, false);
}

int UDPOutput::SendLoop(uint32_t key, UDPOutputMessages::SendSocketInfo* info, struct mmsghdr* msgs, int total,
                        int* error, bool segmented) {
    if (error) *error = 0;
    if (total <= 0) return 0;
    auto nextSocket = [&]() {
        int idx = info->nextIdx < 0 ? 0 : info->nextIdx % (int)info->sockets.size();
        info->nextIdx = (idx + 1) % (int)info->sockets.size();
        if (info->sockets[idx] == -1) {
            info->sockets[idx] = createSocket(0, key == UDPOutputMessages::BROADCAST_KEY);
        }
        return info->sockets[idx];
    };
    int sock = nextSocket();
    int sent = 0;
    int failures = 0;
    int lastError = 0;
    while (sent < total) {
        // The kernel takes at most UIO_MAXIOV datagrams per call (about 1.5
        // million channels of DDP): a batch beyond that goes in several
        // calls. A call may also take only part of what it was given (a full
        // socket buffer, or a datagram it refuses after others went): that
        // is no error, the rest goes in the next call, which reports the
        // error if there is one.
        int chunk = std::min(total - sent, UIO_MAXIOV);
        int r = sock >= 0 ? sendmmsg(sock, msgs + sent, chunk, MSG_DONTWAIT) : -1;
        int err = r < 0 ? (sock >= 0 ? errno : EBADF) : 0;
        if (r > 0) sent += r;
        if (r == chunk) continue;
        if (r >= 0) {
            // Messages, not datagrams: on the segmented path one carries many.
            LogDebug(VB_CHANNELOUT, "sendmmsg() took %d of %d messages for UDP output (key: %X   Socket: %d)\n", r,
                     chunk, key, sock);
        } else {
            lastError = err;
            LogDebug(VB_CHANNELOUT, "sendmmsg() for UDP output (key: %X   Socket: %d   output count: %d/%d): %s\n", key,
                     sock, sent, total, strerror(err));
            // Retrying a refused segmented send on another socket would
            // only be refused again; a datagram alone fails as it always did.
            if (segmented && msgs[sent].msg_hdr.msg_controllen && IsSegmentRefusal(err)) break;
        }
        if (++failures >= MAX_SEND_ATTEMPTS || (err == EAGAIN && key == UDPOutputMessages::BROADCAST_KEY)) break;
        sock = nextSocket();
    }
    if (error) *error = lastError;
    return sent;
}

void UDPOutput::AccountSendResult(UDPOutputMessages::SendSocketInfo* info, uint32_t key, int sent, int total,
                                  long long elapsedMs, int err) {
    if (sent == total) {
        // Everything went out. Only slowly (a huge frame on a busy board):
        // said once per spell rather than every frame; it is no failure, so
        // it does not send the pings after unreachable controllers.
        info->errCount = 0;
        if (elapsedMs <= SLOW_SEND_MS) {
            info->slowReported = false;
        } else if (!info->slowReported) {
            info->slowReported = true;
            LogWarn(VB_CHANNELOUT, "UDP output (key: %X): sending %d datagrams took %u ms\n", key, total,
                    (unsigned)elapsedMs);
        }
        return;
    }
    info->errCount++;
    std::string why = err ? std::to_string(err) + "   " + strerror(err)
                          : std::string("none, the kernel took only part of the batch each time");
    LogErr(VB_CHANNELOUT,
           "sendmmsg() failed for UDP output (key: %X   output count: %d/%d   time: %u ms    errCount: %d) with "
           "error: %s\n",
           key, sent, total, (unsigned)elapsedMs, info->errCount, why.c_str());
}

void UDPOutput::WorkerMain() {
    SetThreadName("KIV-UDPWork");
    // The output thread waits for these workers: they send at its priority.
    RaiseThreadPriority(ThreadRole::Output);
    while (m_workersRunning) {
        WorkItem item;
        {
            std::unique_lock<std::mutex> lock(m_workLock);
            m_workCV.wait(lock, [this] { return !m_workQueue.empty() || !m_workersRunning; });
            if (!m_workersRunning) break;
            item = m_workQueue.front();
            m_workQueue.pop_front();
            m_queueLength--;
        }
        long long start = GetTimeMS();
        int err = 0;
        int sent = SendMessages(item.key, item.socketInfo, *item.msgs, &err);
        AccountSendResult(item.socketInfo, item.key, sent, (int)item.msgs->size(), GetTimeMS() - start, err);
        {
            std::lock_guard<std::mutex> lock(m_doneLock);
            m_doneCount++;
            m_doneCV.notify_all();
        }
    }
    m_workerCount--;
}

void UDPOutput::WaitForWorkInFlight() {
    std::unique_lock<std::mutex> lock(m_doneLock);
    long long start = GetTimeMS();
    while (m_doneCount < m_queuedCount) {
        m_doneCV.wait_for(lock, std::chrono::milliseconds(1000));
        if (m_doneCount < m_queuedCount && !m_workersRunning && m_workerCount == 0) break;
        if (GetTimeMS() - start > 1000) {
            LogWarn(VB_CHANNELOUT, "Still waiting for UDP send workers (%d of %d batches done)\n", m_doneCount.load(),
                    m_queuedCount.load());
            start = GetTimeMS();
        }
    }
}

void UDPOutput::WaitForSendsToFinish() {
    if (m_threaded) WaitForWorkInFlight();
}

int UDPOutput::PrepData(unsigned char* channelData) {
    if (!m_enabled) return 0;
    std::lock_guard<std::mutex> lock(m_outputLock);
    // Workers that overran the last frame's budget may still read the
    // batches; clearing them under their feet would send freed memory.
    WaitForWorkInFlight();
    m_messages.clearMessages();
    for (auto* d : m_outputs) {
        d->BeginFrame();
        if (d->valid && d->active) d->PrepareData(channelData, m_messages);
    }
    for (auto* d : m_outputs) {
        if (d->valid && d->active) d->PostPrepareData(channelData, m_messages);
    }
    return 1;
}

int UDPOutput::SendData(unsigned char* channelData) {
    if (!m_enabled) return 0;
    std::lock_guard<std::mutex> lock(m_outputLock);
    if (m_messages.messages.empty()) return 0;
    WaitForWorkInFlight();
    if (!m_threaded) {
        MarkSent(SentPart::ALL);
        for (auto& kv : m_messages.messages) {
            if (kv.second.empty()) continue;
            UDPOutputMessages::SendSocketInfo* info = findOrCreateSocket(kv.first, SOCKETS_PER_ADDRESS);
            long long start = GetTimeMS();
            int err = 0;
            int sent = SendMessages(kv.first, info, kv.second, &err);
            AccountSendResult(info, kv.first, sent, (int)kv.second.size(), GetTimeMS() - start, err);
            if (info->errCount > 2) {
                WakePingThread();
                info->errCount = 0;
            }
        }
        return 1;
    }

    int queued = 0;
    {
        std::lock_guard<std::mutex> dl(m_doneLock);
        m_doneCount = 0;
        m_queuedCount = 0;
    }
    // Numbered before the workers read the headers; the reserved keys only
    // once it is sure they go out too.
    MarkSent(SentPart::WORKER_KEYS);
    // This thread would only wait for the workers: it sends the last batch
    // itself. With one address (a bridged universe, one big controller) no
    // other thread is woken at all, which saves a wake-up of latency and
    // its CPU on every frame.
    std::pair<const uint32_t, std::vector<struct mmsghdr>>* own = nullptr;
    for (auto& kv : m_messages.messages) {
        if (!kv.second.empty() && !UDPOutputMessages::IsReservedKey(kv.first)) own = &kv;
    }
    for (auto& kv : m_messages.messages) {
        if (kv.second.empty() || UDPOutputMessages::IsReservedKey(kv.first) || &kv == own) continue;
        UDPOutputMessages::SendSocketInfo* info = findOrCreateSocket(kv.first, SOCKETS_PER_ADDRESS);
        {
            std::lock_guard<std::mutex> wl(m_workLock);
            m_workQueue.push_back(WorkItem{kv.first, info, &kv.second});
            m_queueLength++;
            m_queuedCount++;
        }
        ++queued;
        m_workCV.notify_one();
    }
    if (queued) {
        std::lock_guard<std::mutex> wl(m_workLock);
        while (m_workerCount < m_queueLength) {
            m_workerCount++;
            std::thread(&UDPOutput::WorkerMain, this).detach();
        }
        m_workCV.notify_all();
    }
    if (own) {
        UDPOutputMessages::SendSocketInfo* info = findOrCreateSocket(own->first, SOCKETS_PER_ADDRESS);
        long long start = GetTimeMS();
        int err = 0;
        int sent = SendMessages(own->first, info, own->second, &err);
        AccountSendResult(info, own->first, sent, (int)own->second.size(), GetTimeMS() - start, err);
    }
    bool allDone;
    {
        std::unique_lock<std::mutex> dl(m_doneLock);
        allDone = m_doneCV.wait_for(dl, WORKER_BUDGET, [&] { return m_doneCount >= queued; });
    }
    if (!allDone) {
        LogDebug(VB_CHANNELOUT, "UDP send workers did not finish within 50 ms (%d of %d batches)\n",
                 m_doneCount.load(), queued);
        return 1;
    }
    MarkSent(SentPart::RESERVED_KEYS);
    for (auto& kv : m_messages.messages) {
        if (kv.second.empty()) continue;
        UDPOutputMessages::SendSocketInfo* info;
        if (UDPOutputMessages::IsReservedKey(kv.first)) {
            info = findOrCreateSocket(kv.first, 0);
            long long start = GetTimeMS();
            int err = 0;
            int sent = SendMessages(kv.first, info, kv.second, &err);
            AccountSendResult(info, kv.first, sent, (int)kv.second.size(), GetTimeMS() - start, err);
        } else {
            info = m_messages.sockets[kv.first];
        }
        if (info && info->errCount > 2) {
            WakePingThread();
            info->errCount = 0;
        }
    }
    return 1;
}

void UDPOutput::MarkSent(SentPart part) {
    for (auto* d : m_outputs) {
        // A destination that left everything out still counts the frame.
        bool reserved = d->HasQueuedPackets() && UDPOutputMessages::IsReservedKey(d->QueuedKey());
        if (part == SentPart::ALL || (part == SentPart::RESERVED_KEYS) == reserved) d->FrameSent();
    }
}

void UDPOutput::GetRequiredChannelRanges(const std::function<void(int, int)>& add) {
    if (!m_enabled) return;
    for (auto* d : OutputsSnapshot()) {
        if (!d->active) continue;
        int mn = 0, mx = 0;
        d->GetRequiredChannelRange(mn, mx);
        add(mn, mx);
    }
}

void UDPOutput::StartingOutput() {
    for (auto* d : OutputsSnapshot()) {
        if (d->valid && d->active) d->StartingOutput();
    }
}

void UDPOutput::StoppingOutput() {
    for (auto* d : OutputsSnapshot()) {
        if (d->valid && d->active) d->StoppingOutput();
    }
}

void UDPOutput::DumpConfig() {
    ChannelOutput::DumpConfig();
    for (auto* d : OutputsSnapshot()) d->DumpConfig();
}

// --------------------------------------------------------- reachability

static int pingTimeoutFor(int failCount) {
    if (failCount == 1) return 500;
    if (failCount == 2) return 1000;
    return 250;
}

bool UDPOutput::PingControllers(bool failedOnly) {
    LogExcess(VB_CHANNELOUT, "Pinging controllers to see what is online\n");
    std::lock_guard<std::mutex> round(m_pingRoundLock);
    std::vector<UDPOutputData*> outputs = OutputsSnapshot();
    bool changed = false;
    std::map<std::string, int> pingResults;
    std::map<CURL*, std::string> checks;
    std::set<std::string> checkStarted;

    auto markOnline = [&](UDPOutputData* d) {
        WarningHolder::RemoveWarning("Cannot Ping " + d->GetOutputTypeString() + " Channel Data Target " +
                                     d->address + " " + d->description);
        LogWarn(VB_CHANNELOUT, "Could ping host %s, re-adding to outputs\n", d->address.c_str());
        d->failCount = 0;
        d->valid = true;
        changed = true;
    };

    for (auto* d : outputs) {
        if (!d->IsPingable() || !d->Monitor() || !d->active) continue;
        if (failedOnly && d->failCount == 0) continue;
        auto found = pingResults.find(d->address);
        int result;
        if (found == pingResults.end()) {
            result = ping(d->address, pingTimeoutFor(d->failCount));
            pingResults[d->address] = result;
        } else {
            result = found->second;
        }
        if (result <= 0) {
            int fc = ++d->failCount;
            LogDebug(VB_CHANNELOUT, "Could not ping host %s   Fail count: %d   Currently Valid: %d\n",
                     d->address.c_str(), fc, (int)d->valid);
            if (fc == 2 && m_curlMulti && checkStarted.insert(d->address).second) {
                CURL* c = curl_easy_init();
                if (c) {
                    std::string url = "http://" + d->address + "/";
                    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
                    curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
                    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, 2000L);
                    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, 5000L);
                    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
                    curl_multi_add_handle((CURLM*)m_curlMulti, c);
                    checks[c] = d->address;
                }
            }
            if (fc == 3 && d->valid) {
                WarningHolder::AddWarning("Cannot Ping " + d->GetOutputTypeString() + " Channel Data Target " +
                                          d->address + " " + d->description);
                LogWarn(VB_CHANNELOUT, "Could not ping host %s, removing from output\n", d->address.c_str());
                d->valid = false;
                changed = true;
            }
            if (fc > 4) d->failCount = 0;
        } else if (!d->valid) {
            markOnline(d);
        } else {
            // Only failed pings in a row count: one lost now and then (a busy
            // network, a busy board) must not add up to a removal days later.
            d->failCount = 0;
        }
    }

    if (!checks.empty()) {
        CURLM* multi = (CURLM*)m_curlMulti;
        int running = 1;
        long long end = GetTimeMS() + 6000;
        while (running && GetTimeMS() < end) {
            curl_multi_perform(multi, &running);
            if (running) {
                int fds = 0;
                curl_multi_poll(multi, nullptr, 0, 100, &fds);
            }
        }
        int left = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
            if (msg->msg != CURLMSG_DONE || msg->data.result != CURLE_OK) continue;
            auto it = checks.find(msg->easy_handle);
            if (it == checks.end()) continue;
            LogDebug(VB_CHANNELOUT, "HTTP check of %s answered\n", it->second.c_str());
            for (auto* d : outputs) {
                if (d->address != it->second) continue;
                d->failCount = 0;
                if (!d->valid) markOnline(d);
            }
        }
        for (auto& c : checks) {
            curl_multi_remove_handle(multi, c.first);
            curl_easy_cleanup(c.first);
        }
    }
    return changed;
}

void UDPOutput::PingThreadMain() {
    SetThreadName("KIV-UDPPing");
    std::unique_lock<std::mutex> lock(m_pingLock);
    m_pingCV.wait_for(lock, std::chrono::seconds(10), [this] { return m_pingWake || !m_pingThreadRunning; });
    while (m_pingThreadRunning) {
        m_pingWake = false;
        lock.unlock();
        PingControllers(false);
        if (m_networkComingUp.exchange(false)) {
            // The interface's address may come a moment after the link.
            usleep(200000);
            InitNetwork();
            m_networkUp = true;
        }
        lock.lock();
        m_pingCV.wait_for(lock, std::chrono::seconds(15), [this] { return m_pingWake || !m_pingThreadRunning; });
    }
}

void UDPOutput::WakePingThread() {
    std::lock_guard<std::mutex> lock(m_pingLock);
    m_pingWake = true;
    m_pingCV.notify_all();
}

void UDPOutput::StopPingThread() {
    {
        std::lock_guard<std::mutex> lock(m_pingLock);
        m_pingThreadRunning = false;
        m_pingCV.notify_all();
    }
    if (m_pingThread.joinable()) m_pingThread.join();
}

// Runs on the main loop, which also moves the playlist on: the pings a link
// change calls for (seconds, for controllers that do not answer) are left
// to the ping thread.
void UDPOutput::NetworkEvent(int type, int state, const std::string& iface) {
    if (iface != m_interface) return;
    if (type == NetworkMonitor::UP && state) {
        if (!m_networkUp) {
            LogInfo(VB_CHANNELOUT, "UDP Interface %s now up\n", iface.c_str());
            m_networkComingUp = true;
        }
        WakePingThread();
    } else if (type == NetworkMonitor::DOWN) {
        LogInfo(VB_CHANNELOUT, "UDP Interface %s now down\n", iface.c_str());
        m_networkUp = false;
        m_networkComingUp = false;
        CloseNetwork();
        WakePingThread();
    }
}

// ------------------------------------------------------------- plug-in

ChannelOutput* UDPPlugin::createChannelOutput(unsigned int startChannel, unsigned int channelCount) {
    return new UDPOutput(startChannel, channelCount);
}

extern "C" {
KIVPlugins::Plugin* createPlugin() { return new UDPPlugin(); }
}
