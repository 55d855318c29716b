#include "services/MqttMessages.h"

#include <mosquitto.h>

#include "common.h"

std::vector<MqttDelivery> RouteMqttMessage(const std::string& base,
                                           const std::map<std::string, std::string>& subscriptions,
                                           const std::string& topic, bool retained) {
    std::vector<MqttDelivery> out;
    if (retained) return out;
    std::string relative = startsWith(topic, base + "/") ? topic.substr(base.size()) : topic;
    for (auto& s : subscriptions) {
        bool match = false;
        if (mosquitto_topic_matches_sub(s.first.c_str(), topic.c_str(), &match) == MOSQ_ERR_SUCCESS && match) {
            out.push_back({s.second, relative});
        }
    }
    return out;
}

SystemRequest ParseSystemRequest(const std::string& topic) {
    // Exactly the documented topics: "/system/kivd/x/stop" asks for nothing.
    if (topic == "/system/kivd/stop") return SystemRequest::StopDaemon;
    if (topic == "/system/kivd/restart") return SystemRequest::RestartDaemon;
    if (topic == "/system/shutdown") return SystemRequest::ShutdownBoard;
    if (topic == "/system/restart") return SystemRequest::RebootBoard;
    return SystemRequest::Invalid;
}
