#include "bridge/InputReceiver.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <climits>
#include <cstring>

#include "log.h"

// Socket buffer wanted: a burst of 2,000 universes is about 1.3 MB.
static constexpr int RECEIVE_BUFFER_BYTES = 4 * 1024 * 1024;

bool FrameAssembler::Held(uint32_t slot) const {
    auto it = m_slots.find(slot);
    if (it != m_slots.end()) return it->second.heldIn == m_frameNumber;
    return !m_heldUnnoted.empty() && m_heldUnnoted.count(slot);
}

void FrameAssembler::Hold(uint32_t slot, long long nowUs) {
    m_lastHeldUs = nowUs;
    auto it = m_slots.find(slot);
    if (it == m_slots.end()) {
        if (m_slots.size() >= MAX_SLOTS) {
            if (m_heldUnnoted.size() < MAX_SLOTS && m_heldUnnoted.insert(slot).second) ++m_heldCount;
            return;
        }
        it = m_slots.emplace(slot, Slot{nowUs, 0}).first;
        m_notes.push_back({nowUs, slot});
    } else if (nowUs - it->second.notedUs >= NOTE_EVERY_US) {
        it->second.notedUs = nowUs;
        m_notes.push_back({nowUs, slot});
    }
    if (it->second.heldIn != m_frameNumber) {
        it->second.heldIn = m_frameNumber;
        ++m_heldCount;
    }
}

void FrameAssembler::Delivered(long long nowUs) {
    ++m_frameNumber;
    m_heldCount = 0;
    if (!m_heldUnnoted.empty()) m_heldUnnoted.clear();
    // A slot leaves when its latest note has left the window.
    while (!m_notes.empty() && nowUs - m_notes.front().first > ACTIVE_WINDOW_US) {
        auto it = m_slots.find(m_notes.front().second);
        if (it != m_slots.end() && it->second.notedUs == m_notes.front().first) m_slots.erase(it);
        m_notes.pop_front();
    }
    m_active = m_slots.size();
}

void WriteTimes::Cut(uint32_t offset, uint32_t end) {
    auto it = m_stretches.lower_bound(offset);
    if (it != m_stretches.begin()) {
        auto before = std::prev(it);
        if (before->second.end > offset) {
            // It starts before the cut: its head stays, and its tail when it reaches past.
            Stretch tail = before->second;
            before->second.end = offset;
            if (tail.end > end) {
                m_stretches.emplace(end, tail);
                return;
            }
        }
    }
    while (it != m_stretches.end() && it->first < end) {
        if (it->second.end > end) {
            Stretch tail = it->second;
            m_stretches.erase(it);
            m_stretches.emplace(end, tail);
            return;
        }
        it = m_stretches.erase(it);
    }
}

void WriteTimes::Rescan() {
    m_oldestUs = m_stretches.empty() ? 0 : LLONG_MAX;
    m_newestUs = m_stretches.empty() ? 0 : LLONG_MIN;
    for (auto& s : m_stretches) {
        m_oldestUs = std::min(m_oldestUs, s.second.writtenUs);
        m_newestUs = std::max(m_newestUs, s.second.writtenUs);
    }
}

void WriteTimes::Wrote(uint32_t offset, uint32_t len, long long nowUs) {
    if (len == 0) return;
    uint32_t end = offset + len;
    if (m_stretches.empty()) m_oldestUs = nowUs;
    m_newestUs = std::max(m_newestUs, nowUs);
    // The usual case: a sender writes the same stretches frame after frame.
    auto it = m_stretches.find(offset);
    if (it != m_stretches.end() && it->second.end == end) {
        it->second.writtenUs = nowUs;
        return;
    }
    Cut(offset, end);
    m_stretches.emplace(offset, Stretch{end, nowUs});
}

bool WriteTimes::Expire(std::vector<uint8_t>& data, long long before) {
    // The oldest time is only a bound between scans, so this scans about
    // once per timeout while bytes keep coming.
    if (m_stretches.empty() || m_oldestUs >= before) return false;
    bool any = false;
    for (auto it = m_stretches.begin(); it != m_stretches.end();) {
        if (it->second.writtenUs < before) {
            if (it->first < data.size()) {
                memset(data.data() + it->first, 0, std::min<size_t>(it->second.end, data.size()) - it->first);
            }
            it = m_stretches.erase(it);
            any = true;
        } else {
            ++it;
        }
    }
    Rescan();
    return any;
}

void WriteTimes::Clear(std::vector<uint8_t>& data, uint32_t offset, uint32_t len) {
    uint32_t end = offset + len;
    Cut(offset, end);
    if (offset < data.size()) memset(data.data() + offset, 0, std::min<size_t>(end, data.size()) - offset);
    Rescan();
}

long long BridgeClockUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string AddressText(const sockaddr_in& a) {
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof(text));
    return text;
}

InputReceiver::~InputReceiver() { Close(); }

bool InputReceiver::Open(const std::string& address, uint16_t port) {
    const char* name = InputProtocolName(m_protocol);
    m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        LogErr(VB_E131BRIDGE, "%s input: cannot create a socket: %s\n", name, strerror(errno));
        return false;
    }
    int one = 1;
    setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    int size = RECEIVE_BUFFER_BYTES;
    // Beyond the system's limit where the daemon may (root); else up to it.
    if (setsockopt(m_fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) != 0) {
        setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    }
    sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!address.empty() && inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1) {
        LogErr(VB_E131BRIDGE, "%s input: listen address \"%s\" is not an IPv4 address\n", name, address.c_str());
        Close();
        return false;
    }
    if (bind(m_fd, (sockaddr*)&a, sizeof(a)) != 0) {
        LogErr(VB_E131BRIDGE, "%s input: cannot listen on %s port %d: %s\n", name,
               address.empty() ? "every address" : address.c_str(), port, strerror(errno));
        Close();
        return false;
    }
    m_buffers.assign((size_t)BATCH * SLOT_BYTES, 0);
    memset(m_msgs, 0, sizeof(m_msgs));
    for (int i = 0; i < BATCH; ++i) {
        m_iovs[i].iov_base = m_buffers.data() + (size_t)i * SLOT_BYTES;
        m_iovs[i].iov_len = SLOT_BYTES;
        m_msgs[i].msg_hdr.msg_iov = &m_iovs[i];
        m_msgs[i].msg_hdr.msg_iovlen = 1;
        m_msgs[i].msg_hdr.msg_name = &m_from[i];
        m_msgs[i].msg_hdr.msg_namelen = sizeof(m_from[i]);
    }
    LogInfo(VB_E131BRIDGE, "%s input listening on %s port %d for %d input(s)\n", name,
            address.empty() ? "every address" : address.c_str(), port, (int)m_inputs.size());
    return true;
}

void InputReceiver::Close() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
}

bool InputReceiver::Readable(long long nowUs) {
    m_delivered = false;
    if (m_fd < 0) return false;
    int n = recvmmsg(m_fd, m_msgs, BATCH, MSG_DONTWAIT, nullptr);
    for (int i = 0; i < n; ++i) {
        mmsghdr& m = m_msgs[i];
        ++m_stats.packets;
        bool truncated = m.msg_hdr.msg_flags & MSG_TRUNC;
        if (truncated) {
            ++m_stats.oversized;
        } else {
            Handle((const uint8_t*)m_iovs[i].iov_base, m.msg_len, m_from[i], nowUs);
        }
        // The kernel shortens the address length to what it wrote.
        m.msg_hdr.msg_namelen = sizeof(m_from[i]);
    }
    return m_delivered;
}

// Expiry waits while a burst is held: handing on part of it would tear
// the frame, and the burst goes on within QuietUs anyway.
long long InputReceiver::FlushDueUs() const {
    return m_frame.Pending() ? m_frame.LastHeldUs() + QuietUs() : m_expiryDueUs;
}

bool InputReceiver::Flush(long long nowUs) {
    m_delivered = false;
    long long due = FlushDueUs();
    if (due && nowUs >= due) Deliver(nowUs);
    return m_delivered;
}

void InputReceiver::Store(LiveInput& in, uint32_t offset, const uint8_t* data, size_t len, long long nowUs) {
    if (offset >= in.data.size()) return;
    len = std::min(len, in.data.size() - offset);
    memcpy(in.data.data() + offset, data, len);
    if (!m_frameStarted) {
        m_frameStarted = true;
        m_frameStartUs = nowUs;
    }
    in.written.Wrote(offset, (uint32_t)len, m_frameStartUs);
    in.held = true;
    long long due = in.written.OldestUs() + InputTimeoutUs(in) + 1;
    if (!m_expiryDueUs || due < m_expiryDueUs) m_expiryDueUs = due;
}

void InputReceiver::Clear(LiveInput& in, uint32_t offset, uint32_t len) {
    if (offset >= in.data.size()) return;
    in.written.Clear(in.data, offset, (uint32_t)std::min<size_t>(len, in.data.size() - offset));
    in.held = true;
}

void InputReceiver::Deliver(long long nowUs) {
    std::vector<LiveInput*>& held = m_held;
    held.clear();
    m_expiryDueUs = 0;
    m_frameStarted = false;
    for (LiveInput* in : m_inputs) {
        const long long timeout = InputTimeoutUs(*in);
        // Bytes written more than the timeout ago are past: cleared, and the
        // input goes on without them (the outputs would keep them else).
        if (in->written.Expire(in->data, nowUs - timeout)) in->held = true;
        if (!in->written.Empty()) {
            long long due = in->written.OldestUs() + timeout + 1;
            if (!m_expiryDueUs || due < m_expiryDueUs) m_expiryDueUs = due;
        }
        if (!in->held) continue;
        in->expiresUs = in->written.Empty() ? 0 : in->written.NewestUs() + timeout;
        held.push_back(in);
    }
    m_frame.Delivered(nowUs);
    if (held.empty()) return;
    m_sink.Deliver(held, nowUs);
    for (LiveInput* in : held) in->held = false;
    m_delivered = true;
}
