#include "Events.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <list>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <sstream>
#include <thread>

#include "Warnings.h"
#include "common.h"
#include "log.h"
#include "playlist/Player.h"
#include "settings.h"

// Handlers and callbacks change during start-up (before Ready) and
// shut-down (after PrepareForShutdown). The lock makes a removal wait for
// publications in progress, so a handler is never deleted under a thread
// that is still inside it.
static std::shared_mutex EVENT_LOCK;  // guards EVENT_HANDLERS, EVENT_CALLBACKS
static std::list<EventHandler*> EVENT_HANDLERS;
static std::map<std::string, Events::CallbackFunction> EVENT_CALLBACKS;

// The periodic publisher. It sleeps on the condition so that shut-down wakes
// and joins it: a publisher left running would publish into handlers that
// shut-down deletes.
static std::mutex EVENT_PUBLISH_LOCK;  // guards EVENT_PUBLISH_THREAD_RUN, pairs with EVENT_PUBLISH_CV
static std::condition_variable EVENT_PUBLISH_CV;
static std::thread* EVENT_PUBLISH_THREAD = nullptr;  // started and joined by the main thread
static bool EVENT_PUBLISH_THREAD_RUN = true;

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
    std::unique_lock<std::shared_mutex> lock(EVENT_LOCK);
    for (auto& cb : EVENT_CALLBACKS) {
        handler->RegisterCallback(cb.first);
    }
    EVENT_HANDLERS.push_back(handler);
}

void Events::RemoveEventHandler(EventHandler* handler) {
    std::unique_lock<std::shared_mutex> lock(EVENT_LOCK);
    for (auto& cb : EVENT_CALLBACKS) {
        handler->RemoveCallback(cb.first);
    }
    EVENT_HANDLERS.remove(handler);
}

bool Events::HasEventHandlers() {
    std::shared_lock<std::shared_mutex> lock(EVENT_LOCK);
    return !EVENT_HANDLERS.empty();
}

bool Events::Publish(const std::string& topic, const std::string& payload) {
    std::shared_lock<std::shared_mutex> lock(EVENT_LOCK);
    bool ok = true;
    for (auto* h : EVENT_HANDLERS) {
        if (!h->Publish(topic, payload)) ok = false;
    }
    return ok;
}

bool Events::Publish(const std::string& topic, int value) {
    std::shared_lock<std::shared_mutex> lock(EVENT_LOCK);
    bool ok = true;
    for (auto* h : EVENT_HANDLERS) {
        if (!h->Publish(topic, value)) ok = false;
    }
    return ok;
}

void Events::AddCallback(const std::string& topic, CallbackFunction& fn) {
    std::unique_lock<std::shared_mutex> lock(EVENT_LOCK);
    EVENT_CALLBACKS[topic] = fn;
    for (auto* h : EVENT_HANDLERS) {
        h->RegisterCallback(topic);
    }
}

void Events::RemoveCallback(const std::string& topic) {
    std::unique_lock<std::shared_mutex> lock(EVENT_LOCK);
    for (auto* h : EVENT_HANDLERS) {
        h->RemoveCallback(topic);
    }
    EVENT_CALLBACKS.erase(topic);
}

void Events::InvokeCallback(const std::string& key, const std::string& topic, const std::string& payload) {
    CallbackFunction fn;
    {
        std::shared_lock<std::shared_mutex> lock(EVENT_LOCK);
        auto it = EVENT_CALLBACKS.find(key);
        if (it == EVENT_CALLBACKS.end()) return;
        fn = it->second;
    }
    // Run unlocked: a callback may register or remove callbacks itself.
    if (fn) fn(topic, payload);
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

// Sleeps until `until` or a stop; true when the thread is to stop.
static bool publishThreadWait(std::chrono::steady_clock::time_point until) {
    std::unique_lock<std::mutex> lock(EVENT_PUBLISH_LOCK);
    return EVENT_PUBLISH_CV.wait_until(lock, until, [] { return !EVENT_PUBLISH_THREAD_RUN; });
}

void Events::RunPublishThread() {
    typedef std::chrono::steady_clock Clock;
    SetThreadName("KIV-Events");
    if (publishThreadWait(Clock::now() + std::chrono::seconds(3))) return;
    int a = std::max(0, getSettingInt("MQTTFrequency", 0));
    int b = std::max(0, getSettingInt("MQTTStatusFrequency", 0));
    LogInfo(VB_CONTROL, "Starting Publish Thread with Playlist Frequency: %d and Status Frequency %d\n", a, b);
    if (a == 0 && b == 0) {
        LogInfo(VB_CONTROL, "Stopping Publish Thread as frequency is zero.\n");
        return;
    }
    // Each interval counts from the previous due time, not from the late
    // wake-up, so the cadence does not drift; after a stall longer than an
    // interval it counts from now.
    Clock::time_point start = Clock::now();
    Clock::time_point nextPlaylist = start + std::chrono::seconds(a);
    Clock::time_point nextStatus = start + std::chrono::seconds(b);
    auto advance = [](Clock::time_point& next, int seconds, Clock::time_point now) {
        next += std::chrono::seconds(seconds);
        if (next <= now) next = now + std::chrono::seconds(seconds);
    };
    while (true) {
        Clock::time_point now = Clock::now();
        if (a > 0 && now >= nextPlaylist) {
            PublishPlaylistStatus();
            advance(nextPlaylist, a, now);
        }
        if (b > 0 && now >= nextStatus) {
            PublishKIVDStatus();
            advance(nextStatus, b, now);
        }
        Clock::time_point due = a > 0 ? nextPlaylist : nextStatus;
        if (a > 0 && b > 0) due = std::min(nextPlaylist, nextStatus);
        if (publishThreadWait(due)) return;
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
    // Warnings raised during start-up came before the listener: without this
    // the list would stay unpublished until the next change. The notifier
    // sends it, so it stays in order with later changes.
    WarningHolder::NotifyListeners();
    int a = getSettingInt("MQTTFrequency", 0);
    int b = getSettingInt("MQTTStatusFrequency", 0);
    if (!EVENT_PUBLISH_THREAD && (a > 0 || b > 0)) {
        {
            std::lock_guard<std::mutex> lock(EVENT_PUBLISH_LOCK);
            EVENT_PUBLISH_THREAD_RUN = true;
        }
        EVENT_PUBLISH_THREAD = new std::thread(RunPublishThread);
    }
}

void Events::PrepareForShutdown() {
    if (EVENT_PUBLISH_THREAD) {
        {
            std::lock_guard<std::mutex> lock(EVENT_PUBLISH_LOCK);
            EVENT_PUBLISH_THREAD_RUN = false;
            EVENT_PUBLISH_CV.notify_all();
        }
        EVENT_PUBLISH_THREAD->join();
        delete EVENT_PUBLISH_THREAD;
        EVENT_PUBLISH_THREAD = nullptr;
    }
    if (EVENT_WARNING_LISTENER) {
        WarningHolder::RemoveWarningListener(EVENT_WARNING_LISTENER);
        delete EVENT_WARNING_LISTENER;
        EVENT_WARNING_LISTENER = nullptr;
    }
    Publish("ready", 0);
    std::shared_lock<std::shared_mutex> lock(EVENT_LOCK);
    for (auto* h : EVENT_HANDLERS) {
        h->PrepareForShutdown();
    }
}
