#pragma once
// The message-broker client. No MQTT library is part of this build, so Init
// fails and the daemon starts without it, as it does when the broker is
// unreachable.

#include <string>

#include "Events.h"

class MosquittoClient : public EventHandler {
public:
    MosquittoClient(const std::string& host, int port, const std::string& prefix);
    bool Init(const std::string& username, const std::string& password, const std::string& caFile);

    bool Publish(const std::string& topic, const std::string& payload) override { return false; }
    bool Publish(const std::string& topic, int value) override { return false; }
    void RegisterCallback(const std::string& topic) override {}
    void RemoveCallback(const std::string& topic) override {}
    void PrepareForShutdown() override {}

private:
    std::string m_host;
    int m_port;
    std::string m_prefix;
};
