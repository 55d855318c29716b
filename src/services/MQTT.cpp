#include "services/MQTT.h"

#include <mosquitto.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <mutex>

#include "Warnings.h"
#include "common.h"
#include "log.h"
#include "services/MqttMessages.h"

namespace {

constexpr int KEEPALIVE_S = 30;
constexpr int RECONNECT_DELAY_MIN_S = 1;
constexpr int RECONNECT_DELAY_MAX_S = 16;
constexpr int QOS = 1;
// More waiting than this while connected means the broker does not keep up;
// the queue is then dropped and every topic's latest value sent instead.
constexpr size_t MAX_QUEUED = 1000;
constexpr int FLUSH_WAIT_MS = 2000;

std::once_flag libraryInit;

// Topic levels may not carry the wildcards or the separator.
std::string topicSafe(std::string s) {
    for (char& c : s) {
        if (c == '/' || c == '+' || c == '#') c = '_';
    }
    return s;
}

}  // namespace

MosquittoClient::MosquittoClient(const std::string& host, int port, const std::string& prefix,
                                 const std::string& clientId)
    : m_host(host), m_port(port), m_prefix(prefix), m_clientId(clientId) {
    std::string p = m_prefix;
    while (!p.empty() && p.back() == '/') p.pop_back();
    std::string hostName = topicSafe(GetStatusHostName());
    m_base = (p.empty() ? "" : p + "/") + "kivd/" + hostName;
    if (m_clientId.empty()) m_clientId = "kivd-" + hostName;
    m_downSince = std::chrono::steady_clock::now();
}

MosquittoClient::~MosquittoClient() {
    Stop();
    if (m_mosq) {
        mosquitto_destroy(m_mosq);
        m_mosq = nullptr;
    }
}

std::string MosquittoClient::FullTopic(const std::string& topic) const {
    size_t start = topic.find_first_not_of('/');
    return m_base + "/" + (start == std::string::npos ? "" : topic.substr(start));
}

bool MosquittoClient::Init(const std::string& username, const std::string& password, const std::string& caFile) {
    std::call_once(libraryInit, [] { mosquitto_lib_init(); });
    if (m_port <= 0) m_port = caFile.empty() ? 1883 : 8883;
    std::string where = m_host + ":" + std::to_string(m_port);
    m_unreachableWarning = "MQTT broker " + where + " cannot be reached";
    m_mosq = mosquitto_new(m_clientId.c_str(), true, this);
    if (!m_mosq) {
        LogErr(VB_CONTROL, "MQTT: cannot create a client: %s\n", strerror(errno));
        return false;
    }
    mosquitto_threaded_set(m_mosq, true);
    mosquitto_connect_callback_set(m_mosq, ConnectCallback);
    mosquitto_disconnect_callback_set(m_mosq, DisconnectCallback);
    mosquitto_message_callback_set(m_mosq, MessageCallback);
    mosquitto_publish_callback_set(m_mosq, AckCallback);
    mosquitto_subscribe_callback_set(m_mosq, SubscribeCallback);
    mosquitto_unsubscribe_callback_set(m_mosq, AckCallback);
    mosquitto_log_callback_set(m_mosq, LogCallback);
    if (!username.empty() &&
        mosquitto_username_pw_set(m_mosq, username.c_str(), password.empty() ? nullptr : password.c_str()) !=
            MOSQ_ERR_SUCCESS) {
        LogErr(VB_CONTROL, "MQTT: the user name cannot be used\n");
        return false;
    }
    if (!caFile.empty()) {
        int rc = mosquitto_tls_set(m_mosq, caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            LogErr(VB_CONTROL, "MQTT: CA file %s cannot be used: %s\n", caFile.c_str(), mosquitto_strerror(rc));
            return false;
        }
    }
    // Subscribers learn that the daemon died when the broker loses it.
    std::string readyTopic = FullTopic("ready");
    mosquitto_will_set(m_mosq, readyTopic.c_str(), 1, "0", QOS, true);

    // A name that does not resolve is a settings problem; a broker that is
    // down is not: the network thread keeps trying until it comes.
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* ai = nullptr;
    int gai = getaddrinfo(m_host.c_str(), nullptr, &hints, &ai);
    if (gai != 0) {
        LogErr(VB_CONTROL, "MQTT: cannot connect to %s: %s\n", where.c_str(), gai_strerror(gai));
        return false;
    }
    freeaddrinfo(ai);
    LogInfo(VB_CONTROL, "MQTT client %s publishing under %s/ to %s\n", m_clientId.c_str(), m_base.c_str(),
            where.c_str());
    m_worker = std::thread(&MosquittoClient::WorkerMain, this);
    m_network = std::thread(&MosquittoClient::NetworkMain, this);
    return true;
}

bool MosquittoClient::WaitStop(int ms) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_cv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_netStop; });
}

void MosquittoClient::NetworkMain() {
    SetThreadName("KIV-MQTTNet");
    int backoff = RECONNECT_DELAY_MIN_S;
    bool everConnected = false;
    bool haveSocket = false;
    int connections = 0;
    while (true) {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (m_netStop) break;
            if (m_connections != connections) {
                // A CONNACK arrived since the last pass: the next loss
                // retries quickly again.
                connections = m_connections;
                backoff = RECONNECT_DELAY_MIN_S;
            }
        }
        if (!haveSocket) {
            // Blocking connect (name lookup and TCP) on this thread only.
            int rc = everConnected ? mosquitto_reconnect(m_mosq)
                                   : mosquitto_connect(m_mosq, m_host.c_str(), m_port, KEEPALIVE_S);
            if (rc == MOSQ_ERR_SUCCESS) {
                haveSocket = true;
                everConnected = true;
                continue;
            }
            LogDebug(VB_CONTROL, "MQTT connect to %s:%d: %s; next try in %d s\n", m_host.c_str(), m_port,
                     rc == MOSQ_ERR_ERRNO ? strerror(errno) : mosquitto_strerror(rc), backoff);
            if (WaitStop(backoff * 1000)) break;
            backoff = std::min(backoff * 2, RECONNECT_DELAY_MAX_S);
            continue;
        }
        // Reads, writes what the worker queued (its publish wakes the wait)
        // and keeps the session alive.
        int rc = mosquitto_loop(m_mosq, 100, 1);
        if (rc != MOSQ_ERR_SUCCESS) {
            // Lost, or refused at login: the socket is gone.
            haveSocket = false;
            LogDebug(VB_CONTROL, "MQTT loop: %s; reconnecting in %d s\n", mosquitto_strerror(rc), backoff);
            if (WaitStop(backoff * 1000)) break;
            backoff = std::min(backoff * 2, RECONNECT_DELAY_MAX_S);
        }
    }
    if (haveSocket) SayGoodbye();
}

void MosquittoClient::SayGoodbye() {
    // Everything queued goes out and every acknowledgement is read while the
    // session is still active, when reading is safe: a reply left unread
    // when the socket closes makes the kernel reset the connection, and a
    // broker that meets the reset before it has read the goodbye sends the
    // will. After this the broker has nothing more to say to us.
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(FLUSH_WAIT_MS);
    while ((mosquitto_want_write(m_mosq) || AwaitingAcks()) && std::chrono::steady_clock::now() < end) {
        if (mosquitto_loop(m_mosq, 50, 1) != MOSQ_ERR_SUCCESS) return;  // the connection is gone
    }
    // Anything else that came meanwhile (a ping answer, a message) is read too.
    struct pollfd p = {mosquitto_socket(m_mosq), POLLIN, 0};
    while (p.fd >= 0 && poll(&p, 1, 0) == 1 && (p.revents & POLLIN)) {
        if (mosquitto_loop_read(m_mosq, 1) != MOSQ_ERR_SUCCESS) return;
        p.fd = mosquitto_socket(m_mosq);
    }
    // A clean goodbye, after everything queued before it: the broker then
    // drops the will instead of sending it.
    mosquitto_disconnect(m_mosq);
    // Writing only: an acknowledgement read now would end the session
    // before the goodbye has left.
    for (int i = 0; i < 50 && mosquitto_socket(m_mosq) >= 0; ++i) {
        if (mosquitto_loop_write(m_mosq, 1) != MOSQ_ERR_SUCCESS) break;
        if (mosquitto_socket(m_mosq) >= 0) usleep(10000);
    }
}

void MosquittoClient::CountAck(int mid, int change) {
    std::lock_guard<std::mutex> lock(m_lock);
    int& n = m_unacked[mid];
    n += change;
    if (n == 0) m_unacked.erase(mid);
}

bool MosquittoClient::AwaitingAcks() {
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto& u : m_unacked) {
        if (u.second > 0) return true;
    }
    return false;
}

void MosquittoClient::WorkerMain() {
    SetThreadName("KIV-MQTT");
    std::unique_lock<std::mutex> lock(m_lock);
    while (true) {
        m_cv.wait_for(lock, std::chrono::seconds(1), [this] {
            return m_stop || !m_queue.empty() || !m_incoming.empty() || (m_connected && m_resync);
        });
        if (!m_connected && !m_warned && !m_stop &&
            std::chrono::steady_clock::now() - m_downSince >= std::chrono::seconds(m_unreachableSeconds)) {
            m_warned = true;
            lock.unlock();
            LogWarn(VB_CONTROL, "%s for %d seconds\n", m_unreachableWarning.c_str(), m_unreachableSeconds);
            WarningHolder::AddWarning(m_unreachableWarning);
            lock.lock();
        }
        if (m_connected && m_resync) {
            m_resync = false;
            m_queue.clear();
            std::map<std::string, std::string> subs = m_subscriptions;
            std::map<std::string, std::string> latest = m_latest;
            m_workerBusy = true;
            lock.unlock();
            int mid;
            for (auto& s : subs) {
                if (mosquitto_subscribe(m_mosq, &mid, s.first.c_str(), QOS) == MOSQ_ERR_SUCCESS) CountAck(mid, 1);
            }
            for (auto& l : latest) {
                if (mosquitto_publish(m_mosq, &mid, l.first.c_str(), (int)l.second.size(), l.second.data(), QOS,
                                      true) == MOSQ_ERR_SUCCESS) {
                    CountAck(mid, 1);
                }
            }
            LogDebug(VB_CONTROL, "MQTT: subscribed %d topics, republished %d\n", (int)subs.size(), (int)latest.size());
            lock.lock();
        } else if (!m_queue.empty()) {
            std::deque<std::pair<std::string, std::string>> out;
            out.swap(m_queue);
            m_workerBusy = true;
            lock.unlock();
            for (auto& o : out) {
                int mid;
                int rc = mosquitto_publish(m_mosq, &mid, o.first.c_str(), (int)o.second.size(), o.second.data(),
                                           QOS, true);
                if (rc == MOSQ_ERR_SUCCESS) {
                    CountAck(mid, 1);
                } else {
                    // Kept in m_latest: sent again after the reconnect.
                    LogDebug(VB_CONTROL, "MQTT publish of %s: %s\n", o.first.c_str(), mosquitto_strerror(rc));
                }
            }
            lock.lock();
        }
        if (!m_incoming.empty()) {
            std::deque<Incoming> in;
            in.swap(m_incoming);
            bool deliver = m_deliver;
            m_workerBusy = true;
            lock.unlock();
            for (auto& i : in) {
                if (!deliver) break;
                LogDebug(VB_CONTROL, "MQTT message on %s for %s\n", i.topic.c_str(), i.key.c_str());
                Events::InvokeCallback(i.key, i.topic, i.payload);
            }
            lock.lock();
        }
        m_workerBusy = false;
        m_cv.notify_all();
        if (m_stop && m_queue.empty() && m_incoming.empty()) break;
    }
}

bool MosquittoClient::Publish(const std::string& topic, const std::string& payload) {
    return PublishFullTopic(FullTopic(topic), payload);
}

bool MosquittoClient::PublishFullTopic(const std::string& full, const std::string& payload) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_latest[full] = payload;
    if (!m_connected || m_stop) return false;
    if (!m_resync) {
        if (m_queue.size() >= MAX_QUEUED) {
            m_queue.clear();
            m_resync = true;
        } else {
            m_queue.emplace_back(full, payload);
        }
    }
    m_cv.notify_all();
    return true;
}

bool MosquittoClient::Publish(const std::string& topic, int value) { return Publish(topic, std::to_string(value)); }

void MosquittoClient::RegisterCallback(const std::string& topic) {
    std::string full = FullTopic(topic);
    bool now;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_subscriptions[full] = topic;
        now = m_connected && !m_resync;
    }
    int mid;
    if (now && m_mosq && mosquitto_subscribe(m_mosq, &mid, full.c_str(), QOS) == MOSQ_ERR_SUCCESS) CountAck(mid, 1);
}

void MosquittoClient::RemoveCallback(const std::string& topic) {
    std::string full = FullTopic(topic);
    bool now;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (!m_subscriptions.erase(full)) return;
        now = m_connected;
    }
    int mid;
    if (now && m_mosq && mosquitto_unsubscribe(m_mosq, &mid, full.c_str()) == MOSQ_ERR_SUCCESS) CountAck(mid, 1);
}

void MosquittoClient::PrepareForShutdown() {
    std::unique_lock<std::mutex> lock(m_lock);
    m_deliver = false;
    m_incoming.clear();
    m_cv.notify_all();
    m_cv.wait_for(lock, std::chrono::milliseconds(FLUSH_WAIT_MS),
                  [this] { return !m_worker.joinable() || !m_connected || (m_queue.empty() && !m_workerBusy && !m_resync); });
}

bool MosquittoClient::IsConnected() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_connected;
}

int MosquittoClient::ConnectionCount() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_connections;
}

void MosquittoClient::Stop() {
    bool warned;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stop = true;
        m_cv.notify_all();
        warned = m_warned;
        m_warned = false;
    }
    // The worker hands its last messages to libmosquitto first; then the
    // network thread sends them and says goodbye.
    if (m_worker.joinable()) m_worker.join();
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_netStop = true;
        m_cv.notify_all();
    }
    if (m_network.joinable()) m_network.join();
    if (warned) WarningHolder::RemoveWarning(m_unreachableWarning);
}

void MosquittoClient::OnConnect(int rc) {
    if (rc != 0) {
        LogWarn(VB_CONTROL, "MQTT broker %s:%d refused the connection: %s\n", m_host.c_str(), m_port,
                mosquitto_connack_string(rc));
        return;
    }
    LogInfo(VB_CONTROL, "Connected to MQTT broker %s:%d as %s\n", m_host.c_str(), m_port, m_clientId.c_str());
    bool warned;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_connected = true;
        m_resync = true;
        ++m_connections;
        m_unacked.clear();  // a new session: what the old one awaited never comes
        warned = m_warned;
        m_warned = false;
        m_cv.notify_all();
    }
    if (warned) WarningHolder::RemoveWarning(m_unreachableWarning);
}

void MosquittoClient::OnDisconnect(int rc) {
    bool was;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        was = m_connected;
        m_connected = false;
        m_resync = false;
        m_queue.clear();
        if (was) m_downSince = std::chrono::steady_clock::now();
        m_cv.notify_all();
    }
    if (was && rc != 0) {
        LogWarn(VB_CONTROL, "Lost the connection to MQTT broker %s:%d (%s); reconnecting\n", m_host.c_str(), m_port,
                mosquitto_strerror(rc));
    } else {
        LogDebug(VB_CONTROL, "MQTT: not connected to %s:%d (%s)\n", m_host.c_str(), m_port, mosquitto_strerror(rc));
    }
}

void MosquittoClient::OnMessage(const struct mosquitto_message* msg) {
    if (!msg || !msg->topic) return;
    std::string topic = msg->topic;
    if (msg->retain) LogDebug(VB_CONTROL, "MQTT: retained message on %s ignored\n", topic.c_str());
    std::string payload = msg->payload ? std::string((const char*)msg->payload, msg->payloadlen) : "";
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_deliver) return;
    for (auto& d : RouteMqttMessage(m_base, m_subscriptions, topic, msg->retain)) {
        m_incoming.push_back({d.key, d.topic, payload});
    }
    m_cv.notify_all();
}

void MosquittoClient::ConnectCallback(struct mosquitto*, void* obj, int rc) { ((MosquittoClient*)obj)->OnConnect(rc); }

void MosquittoClient::DisconnectCallback(struct mosquitto*, void* obj, int rc) {
    ((MosquittoClient*)obj)->OnDisconnect(rc);
}

void MosquittoClient::MessageCallback(struct mosquitto*, void* obj, const struct mosquitto_message* msg) {
    ((MosquittoClient*)obj)->OnMessage(msg);
}

void MosquittoClient::AckCallback(struct mosquitto*, void* obj, int mid) { ((MosquittoClient*)obj)->CountAck(mid, -1); }

void MosquittoClient::SubscribeCallback(struct mosquitto*, void* obj, int mid, int, const int*) {
    ((MosquittoClient*)obj)->CountAck(mid, -1);
}

void MosquittoClient::LogCallback(struct mosquitto*, void*, int level, const char* text) {
    if (level & (MOSQ_LOG_ERR | MOSQ_LOG_WARNING)) {
        LogDebug(VB_CONTROL, "libmosquitto: %s\n", text);
    } else {
        LogExcess(VB_CONTROL, "libmosquitto: %s\n", text);
    }
}
