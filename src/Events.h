#pragma once
// The status publish/subscribe hub. Parts of the daemon publish small
// status values under relative topics; registered event handlers (such as a
// message-broker client) forward them, and deliver incoming messages back to
// the callbacks registered here. A publisher thread ("KIV-Events") sends the
// playlist and daemon status at the configured intervals.

#include <functional>
#include <string>

#include <json/json.h>

class EventHandler {
public:
    virtual ~EventHandler() {}
    virtual bool Publish(const std::string& topic, const std::string& payload) = 0;
    virtual bool Publish(const std::string& topic, int value) = 0;
    virtual void RegisterCallback(const std::string& topic) = 0;
    virtual void RemoveCallback(const std::string& topic) = 0;
    virtual void PrepareForShutdown() = 0;
};

class Events {
public:
    typedef std::function<void(const std::string& topic, const std::string& payload)> CallbackFunction;

    static void AddEventHandler(EventHandler* handler);
    static void RemoveEventHandler(EventHandler* handler);
    static bool HasEventHandlers();

    static bool Publish(const std::string& topic, const std::string& payload);
    static bool Publish(const std::string& topic, int value);

    static void AddCallback(const std::string& topic, CallbackFunction& fn);
    static void RemoveCallback(const std::string& topic);
    static void InvokeCallback(const std::string& key, const std::string& topic, const std::string& payload);

    static void Ready();
    static void PrepareForShutdown();

    static void PublishPlaylistStatus();
    static void PublishKIVDStatus();

private:
    static void RunPublishThread();
};

// Fills the daemon's overall status document (published as "kivd_status").
void GetCurrentKIVDStatus(Json::Value& result);
// Seconds since the daemon started.
double GetDaemonUptimeSeconds();
// The board's name in status documents and topics: the setting "HostName",
// else the system's host name.
std::string GetStatusHostName();
