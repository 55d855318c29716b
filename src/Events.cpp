#include "Events.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <list>
#include <map>
#include <sstream>
#include <thread>

#include "Warnings.h"
#include "common.h"
#include "log.h"
#include "playlist/Player.h"
#include "settings.h"

// Handlers and callbacks change only during start-up (before Ready) and
// shut-down (after PrepareForShutdown), so publishing reads them unlocked.
static std::list<EventHandler*> EVENT_HANDLERS;
static std::map<std::string, Events::CallbackFunction> EVENT_CALLBACKS;
static std::thread* EVENT_PUBLISH_THREAD = nullptr;
static std::atomic<bool> EVENT_PUBLISH_THREAD_RUN{true};

class EventWarningListener : public WarningListener {
public:
    void handleWarnings(std::list<std::string>& warnings) override {
        if (!Events::HasEventHandlers()) {
            return;
        }
        Json::Value arr(Json::arrayValue);
        for (auto& w : warnings) arr.append(w);
        std::string text = SaveJsonToString(arr, "");
        LogDebug(VB_CONTROL, "Sending warning message: %s\n", text.c_str());
        Events::Publish("warnings", text);
    }
};
static EventWarningListener* EVENT_WARNING_LISTENER = nullptr;

void Events::AddEventHandler(EventHandler* handler) {
    for (auto& cb : EVENT_CALLBACKS) {
        handler->RegisterCallback(cb.first);
    }
    EVENT_HANDLERS.push_back(handler);
}

void Events::RemoveEventHandler(EventHandler* handler) {
    for (auto& cb : EVENT_CALLBACKS) {
        handler->RemoveCallback(cb.first);
    }
    EVENT_HANDLERS.remove(handler);
}

bool Events::HasEventHandlers() { return !EVENT_HANDLERS.empty(); }

bool Events::Publish(const std::string& topic, const std::string& payload) {
    bool ok = true;
    for (auto* h : EVENT_HANDLERS) {
        if (!h->Publish(topic, payload)) ok = false;
    }
    return ok;
}

bool Events::Publish(const std::string& topic, int value) {
    bool ok = true;
    for (auto* h : EVENT_HANDLERS) {
        if (!h->Publish(topic, value)) ok = false;
    }
    return ok;
}

void Events::AddCallback(const std::string& topic, CallbackFunction& fn) {
    EVENT_CALLBACKS[topic] = fn;
    for (auto* h : EVENT_HANDLERS) {
        h->RegisterCallback(topic);
    }
}

void Events::RemoveCallback(const std::string& topic) {
    for (auto* h : EVENT_HANDLERS) {
        h->RemoveCallback(topic);
    }
    EVENT_CALLBACKS.erase(topic);
}

void Events::InvokeCallback(const std::string& key, const std::string& topic, const std::string& payload) {
    auto it = EVENT_CALLBACKS.find(key);
    if (it != EVENT_CALLBACKS.end() && it->second) {
        it->second(topic, payload);
    }
}

static std::string renderStatus(const Json::Value& v) {
    std::ostringstream out;
    out << v << "\n";
    return out.str();
}

void Events::PublishPlaylistStatus() { Publish("playlist_details", renderStatus(Player::INSTANCE.GetMqttStatusJSON())); }

void Events::PublishKIVDStatus() {
    Json::Value status(Json::objectValue);
    GetCurrentKIVDStatus(status);
    Publish("kivd_status", renderStatus(status));
}

void Events::RunPublishThread() {
    SetThreadName("KIV-Events");
    sleep(3);
    int a = std::max(0, getSettingInt("MQTTFrequency", 0));
    int b = std::max(0, getSettingInt("MQTTStatusFrequency", 0));
    LogInfo(VB_CONTROL, "Starting Publish Thread with Playlist Frequency: %d and Status Frequency %d\n", a, b);
    if (a == 0 && b == 0) {
        LogInfo(VB_CONTROL, "Stopping Publish Thread as frequency is zero.\n");
        return;
    }
    time_t start = time(nullptr);
    time_t nextPlaylist = start + a;
    time_t nextStatus = start + b;
    while (EVENT_PUBLISH_THREAD_RUN) {
        time_t now = time(nullptr);
        if (a > 0 && now >= nextPlaylist) {
            PublishPlaylistStatus();
            nextPlaylist = now + a;
        }
        if (b > 0 && now >= nextStatus) {
            PublishKIVDStatus();
            nextStatus = now + b;
        }
        time_t due = a > 0 ? nextPlaylist : nextStatus;
        if (a > 0 && b > 0) due = std::min(nextPlaylist, nextStatus);
        now = time(nullptr);
        if (due > now) sleep((unsigned)(due - now));
    }
}

void Events::Ready() {
    if (!EVENT_WARNING_LISTENER) {
        EVENT_WARNING_LISTENER = new EventWarningListener();
        WarningHolder::AddWarningListener(EVENT_WARNING_LISTENER);
    }
    Publish("ready", 1);
    Publish("version", getKIVVersion());
    Publish("branch", getKIVBranch());
    int a = getSettingInt("MQTTFrequency", 0);
    int b = getSettingInt("MQTTStatusFrequency", 0);
    if (!EVENT_PUBLISH_THREAD && (a > 0 || b > 0)) {
        EVENT_PUBLISH_THREAD_RUN = true;
        EVENT_PUBLISH_THREAD = new std::thread(RunPublishThread);
        // Not joined at shut-down: it ends after its current sleep.
        EVENT_PUBLISH_THREAD->detach();
    }
}

void Events::PrepareForShutdown() {
    if (EVENT_PUBLISH_THREAD) {
        EVENT_PUBLISH_THREAD_RUN = false;
        delete EVENT_PUBLISH_THREAD;
        EVENT_PUBLISH_THREAD = nullptr;
    }
    if (EVENT_WARNING_LISTENER) {
        WarningHolder::RemoveWarningListener(EVENT_WARNING_LISTENER);
        delete EVENT_WARNING_LISTENER;
        EVENT_WARNING_LISTENER = nullptr;
    }
    Publish("ready", 0);
    for (auto* h : EVENT_HANDLERS) {
        h->PrepareForShutdown();
    }
}
