#pragma once
// What the daemon makes of a message that reaches it from the MQTT broker,
// as plain functions of the message: which of the subscribed callbacks it
// goes to (MosquittoClient), and what a message on the daemon's system
// topics asks for (kivd's callbacks). Anyone who may publish to the broker
// can send anything here; the client, the callbacks, their tests and the
// fuzz target all call the same code.

#include <map>
#include <string>
#include <vector>

struct MqttDelivery {
    std::string key;    // the callback's topic, as registered ("/system/kivd/#")
    std::string topic;  // the message's topic below the daemon's base ("/system/kivd/stop")
};

// For a message on `topic`: one delivery per subscription (full topic
// filter -> key) that matches it. Retained messages go nowhere: one the
// broker kept would run again at every connection.
std::vector<MqttDelivery> RouteMqttMessage(const std::string& base,
                                           const std::map<std::string, std::string>& subscriptions,
                                           const std::string& topic, bool retained);

enum class SystemRequest {
    Invalid,
    StopDaemon,     // /system/kivd/stop
    RestartDaemon,  // /system/kivd/restart
    ShutdownBoard,  // /system/shutdown
    RebootBoard,    // /system/restart
};

// The request of a message on a system topic (the payload is not used).
SystemRequest ParseSystemRequest(const std::string& topic);
