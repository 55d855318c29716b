#pragma once
// Link up/down events from the kernel (rtnetlink), read on the main loop
// through its descriptor map and handed to registered callbacks.

#include <functional>
#include <map>
#include <mutex>
#include <string>

class NetworkMonitor {
public:
    static NetworkMonitor INSTANCE;

    enum NetEventType { NEW_LINK = 0, DEL_LINK = 1, UP = 2, DOWN = 3 };
    // (event type, state: 1 running / 0 not, interface name)
    typedef std::function<void(NetEventType, int, const std::string&)> CallbackType;

    void Init(std::map<int, std::function<bool(int)>>& callbacks);
    void Close();
    int registerCallback(CallbackType cb);
    void removeCallback(int id);
    int socket() const { return m_socket; }

    // Parses one buffer of rtnetlink messages; public for tests.
    void handleMessages(const char* buf, int len);
    void dispatch(NetEventType type, int state, const std::string& iface);

private:
    bool receive();
    int m_socket = -1;
    int m_nextId = 1;
    std::mutex m_lock;  // guards m_callbacks
    std::map<int, CallbackType> m_callbacks;
    std::map<int, bool> m_running;  // interface index -> last seen running state
};
