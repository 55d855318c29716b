#include "MqttTestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "CaptureOutput.h"
#include "TestSupport.h"
#include "common.h"

namespace kivtest {

namespace {

bool accepts(const std::string& address, int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    bool ok = connect(fd, (sockaddr*)&a, sizeof(a)) == 0;
    close(fd);
    return ok;
}

std::once_flag libraryInit;

}  // namespace

MosquittoBroker::MosquittoBroker(const std::string& address, int port) : m_address(address), m_port(port) {
    static std::atomic<int> instances{0};
    if (m_address.empty()) {
        int n = instances++;
        m_address = "127.203." + std::to_string(1 + getpid() % 250) + "." + std::to_string(1 + n % 250);
    }
    char tmpl[] = "/tmp/kivmqtt-XXXXXX";
    if (mkdtemp(tmpl)) m_dir = tmpl;
    chmod(m_dir.c_str(), 0755);
    PutFileContents(m_dir + "/mosquitto.conf", "listener " + std::to_string(m_port) + " " + m_address +
                                                   "\nallow_anonymous true\npersistence false\n"
                                                   "log_dest stderr\nlog_type all\n");
}

MosquittoBroker::~MosquittoBroker() {
    stop();
    if (!m_dir.empty()) runCommand("rm -rf '" + m_dir + "'");
}

bool MosquittoBroker::available() { return runCommand("command -v mosquitto >/dev/null 2>&1") == 0; }

bool MosquittoBroker::start() {
    if (running()) return true;
    m_pid = fork();
    if (m_pid < 0) return false;
    if (m_pid == 0) {
        int fd = open((m_dir + "/broker.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        execlp("mosquitto", "mosquitto", "-c", (m_dir + "/mosquitto.conf").c_str(), (char*)nullptr);
        _exit(127);
    }
    return waitUntil([&] { return accepts(m_address, m_port) || !running(); }, 15000) && running();
}

bool MosquittoBroker::running() {
    if (m_pid <= 0) return false;
    int status;
    if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_pid = -1;
        return false;
    }
    return true;
}

void MosquittoBroker::stop() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGTERM);
    if (!waitUntil([&] { return !running(); }, 10000)) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
}

std::string MosquittoBroker::log() const { return GetFileContents(m_dir + "/broker.log"); }

MqttSubscriber::MqttSubscriber(const std::string& address, int port, const std::string& topicFilter)
    : m_filter(topicFilter) {
    std::call_once(libraryInit, [] { mosquitto_lib_init(); });
    static std::atomic<int> instances{0};
    std::string id = "kivtest-" + std::to_string(getpid()) + "-" + std::to_string(instances++);
    m_mosq = mosquitto_new(id.c_str(), true, this);
    mosquitto_connect_callback_set(m_mosq, [](struct mosquitto* m, void* obj, int rc) {
        if (rc == 0) mosquitto_subscribe(m, nullptr, ((MqttSubscriber*)obj)->m_filter.c_str(), 1);
    });
    mosquitto_subscribe_callback_set(m_mosq, [](struct mosquitto*, void* obj, int, int, const int*) {
        ((MqttSubscriber*)obj)->onSubscribed();
    });
    mosquitto_message_callback_set(m_mosq, [](struct mosquitto*, void* obj, const struct mosquitto_message* msg) {
        MqttMessage m;
        m.topic = msg->topic;
        m.payload = msg->payload ? std::string((const char*)msg->payload, msg->payloadlen) : "";
        m.retain = msg->retain;
        m.timeUs = MonotonicUs();
        ((MqttSubscriber*)obj)->onMessage(m);
    });
    mosquitto_reconnect_delay_set(m_mosq, 1, 2, false);
    mosquitto_connect_async(m_mosq, address.c_str(), port, 30);
    mosquitto_loop_start(m_mosq);
}

MqttSubscriber::~MqttSubscriber() {
    mosquitto_disconnect(m_mosq);
    mosquitto_loop_stop(m_mosq, false);
    mosquitto_destroy(m_mosq);
}

void MqttSubscriber::onMessage(const MqttMessage& m) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_messages.push_back(m);
}

void MqttSubscriber::onSubscribed() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_subscribed = true;
}

bool MqttSubscriber::waitConnected(int timeoutMs) {
    return waitUntil(
        [&] {
            std::lock_guard<std::mutex> lock(m_lock);
            return m_subscribed;
        },
        timeoutMs);
}

std::vector<MqttMessage> MqttSubscriber::messages() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_messages;
}

std::vector<MqttMessage> MqttSubscriber::messages(const std::string& topic) {
    std::vector<MqttMessage> out;
    for (auto& m : messages()) {
        if (m.topic == topic) out.push_back(m);
    }
    return out;
}

int MqttSubscriber::waitFor(const std::string& topic, const std::string& payload, int timeoutMs, size_t from) {
    int found = -1;
    waitUntil(
        [&] {
            std::lock_guard<std::mutex> lock(m_lock);
            for (size_t i = from; i < m_messages.size(); ++i) {
                if (m_messages[i].topic == topic && (payload.empty() || m_messages[i].payload == payload)) {
                    found = (int)i;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return found;
}

bool MqttSubscriber::publish(const std::string& topic, const std::string& payload, bool retain) {
    return mosquitto_publish(m_mosq, nullptr, topic.c_str(), (int)payload.size(), payload.data(), 1, retain) ==
           MOSQ_ERR_SUCCESS;
}

}  // namespace kivtest
