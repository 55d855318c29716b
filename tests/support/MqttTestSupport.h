#pragma once
// MQTT peers for tests: a real mosquitto broker on a loopback address of the
// test program's own, started from a temporary configuration file, and a
// libmosquitto subscriber that records what arrives.

#include <sys/types.h>

#include <mutex>
#include <string>
#include <vector>

struct mosquitto;

namespace kivtest {

class MosquittoBroker {
public:
    // address empty: 127.203.<from pid>.<instance>; port 1883.
    explicit MosquittoBroker(const std::string& address = "", int port = 1883);
    ~MosquittoBroker();
    static bool available();  // the mosquitto program is installed

    // Starts the broker and waits until it accepts connections.
    bool start();
    // Stops it (SIGTERM) and waits for the process to end.
    void stop();
    bool running();
    const std::string& address() const { return m_address; }
    int port() const { return m_port; }
    std::string log() const;

private:
    std::string m_address;
    int m_port;
    std::string m_dir;
    pid_t m_pid = -1;
};

struct MqttMessage {
    std::string topic;
    std::string payload;
    bool retain = false;
    long long timeUs = 0;  // monotonic, when it arrived
};

class MqttSubscriber {
public:
    MqttSubscriber(const std::string& address, int port, const std::string& topicFilter);
    ~MqttSubscriber();
    // Connected and subscribed.
    bool waitConnected(int timeoutMs = 10000);
    std::vector<MqttMessage> messages();
    std::vector<MqttMessage> messages(const std::string& topic);
    // Waits for a message on `topic` (whose payload equals `payload` unless
    // that is empty) arriving after message index `from`; returns its index
    // or -1.
    int waitFor(const std::string& topic, const std::string& payload, int timeoutMs, size_t from = 0);
    // Publishes from this client.
    bool publish(const std::string& topic, const std::string& payload, bool retain = false);
    void onMessage(const MqttMessage& m);
    void onSubscribed();

private:
    struct mosquitto* m_mosq = nullptr;
    std::string m_filter;
    std::mutex m_lock;  // guards m_messages, m_subscribed
    std::vector<MqttMessage> m_messages;
    bool m_subscribed = false;
};

}  // namespace kivtest
