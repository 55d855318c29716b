#pragma once
// The message-broker client: an EventHandler on libmosquitto, created by
// kivd when "MQTTHost" is set. It publishes every status topic retained
// under <prefix>/kivd/<host name>/<topic>, leaves "ready" 0 as its last will,
// subscribes the topics of the Events callbacks and delivers what arrives
// through Events::InvokeCallback. Publish only queues, so no caller ever
// waits for the network: a worker thread ("KIV-MQTT") hands messages to
// libmosquitto and runs the callbacks, a network thread ("KIV-MQTTNet") runs
// libmosquitto's loop and reconnects with back-off (1 to 16 s). After a
// reconnect the client subscribes again and republishes the latest value of
// every topic. Both threads end in the destructor. Topics: docs/mqtt.md.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "Events.h"

struct mosquitto;
struct mosquitto_message;

class MosquittoClient : public EventHandler {
public:
    // Seconds without a broker before a warning says so.
    static constexpr int UNREACHABLE_WARNING_SECONDS = 30;

    // port 0: 1883, or 8883 with a CA file. clientId empty: "kivd-<host name>".
    MosquittoClient(const std::string& host, int port, const std::string& prefix, const std::string& clientId = "");
    ~MosquittoClient() override;

    // Sets up the session and starts connecting; false (logged) when the
    // settings cannot work: the host does not resolve, the CA file cannot be
    // loaded. A broker that is down is not a failure: the client keeps
    // trying and connects when it comes.
    bool Init(const std::string& username, const std::string& password, const std::string& caFile);

    // Queued for the worker; true when a broker is connected (while none is,
    // the value is kept and sent on connection).
    bool Publish(const std::string& topic, const std::string& payload) override;
    bool Publish(const std::string& topic, int value) override;
    // The same for a topic outside the daemon's base, named in full (Home
    // Assistant's discovery documents); an empty payload removes what the
    // broker retained there.
    bool PublishFullTopic(const std::string& fullTopic, const std::string& payload);
    void RegisterCallback(const std::string& topic) override;
    void RemoveCallback(const std::string& topic) override;
    // Hands what is queued (the "ready" 0 among it) to the broker, waiting at
    // most 2 s, and stops delivering incoming messages.
    void PrepareForShutdown() override;

    // "<prefix>/kivd/<host name>"
    const std::string& BaseTopic() const { return m_base; }
    // The broker's name for a relative topic ("ready", "/system/kivd/#").
    std::string FullTopic(const std::string& topic) const;
    bool IsConnected();
    int ConnectionCount();
    void SetUnreachableWarningSeconds(int seconds) { m_unreachableSeconds = seconds; }

private:
    struct Incoming {
        std::string key;
        std::string topic;
        std::string payload;
    };

    void WorkerMain();
    void NetworkMain();
    void Stop();
    bool WaitStop(int ms);
    void OnConnect(int rc);
    void OnDisconnect(int rc);
    void OnMessage(const struct mosquitto_message* msg);
    static void ConnectCallback(struct mosquitto*, void* obj, int rc);
    static void DisconnectCallback(struct mosquitto*, void* obj, int rc);
    static void MessageCallback(struct mosquitto*, void* obj, const struct mosquitto_message* msg);
    static void AckCallback(struct mosquitto*, void* obj, int mid);
    static void SubscribeCallback(struct mosquitto*, void* obj, int mid, int, const int*);
    // A request the broker acknowledges (publish at QoS 1, subscribe,
    // unsubscribe) went out (+1) or its acknowledgement came (-1).
    void CountAck(int mid, int change);
    bool AwaitingAcks();
    void SayGoodbye();
    static void LogCallback(struct mosquitto*, void* obj, int level, const char* text);

    std::string m_host;
    int m_port;
    std::string m_prefix;
    std::string m_clientId;
    std::string m_base;
    std::string m_unreachableWarning;
    int m_unreachableSeconds = UNREACHABLE_WARNING_SECONDS;  // set before Init
    struct mosquitto* m_mosq = nullptr;
    std::thread m_worker;   // "KIV-MQTT", joined by Stop
    std::thread m_network;  // "KIV-MQTTNet", joined by Stop

    // Guards everything below; never held while calling libmosquitto,
    // Events or the warnings.
    std::mutex m_lock;
    std::condition_variable m_cv;  // wakes the worker, the network thread's back-off and PrepareForShutdown
    std::deque<std::pair<std::string, std::string>> m_queue;  // full topic, payload; to send now
    std::map<std::string, std::string> m_latest;              // full topic -> last payload
    std::map<std::string, std::string> m_subscriptions;       // full topic filter -> relative topic (the key)
    std::deque<Incoming> m_incoming;
    bool m_connected = false;
    bool m_resync = false;  // connected afresh: subscribe and republish everything
    bool m_deliver = true;
    bool m_stop = false;     // the worker ends once its queues are empty
    bool m_netStop = false;  // the network thread says goodbye and ends
    bool m_workerBusy = false;
    int m_connections = 0;
    // Message id -> requests sent minus acknowledgements received; the two
    // may come in either order. Emptied by each new session.
    std::map<int, int> m_unacked;
    bool m_warned = false;
    std::chrono::steady_clock::time_point m_downSince;
};
