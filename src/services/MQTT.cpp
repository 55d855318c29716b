#include "services/MQTT.h"

#include "log.h"

MosquittoClient::MosquittoClient(const std::string& host, int port, const std::string& prefix)
    : m_host(host), m_port(port), m_prefix(prefix) {}

bool MosquittoClient::Init(const std::string& username, const std::string& password, const std::string& caFile) {
    LogErr(VB_CONTROL, "MQTT broker %s:%d cannot be used: this daemon is built without an MQTT client\n",
           m_host.c_str(), m_port);
    return false;
}
