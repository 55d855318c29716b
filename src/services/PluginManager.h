#pragma once
// User plug-ins: loads the shared objects in <media>/plugins/<name>/ at
// start (ABI symbol checked before createPlugin, set-up guarded; a refusal
// is one log line and a warning), and calls them from the daemon's hooks:
// frame data on the channel output thread (Sequence::ProcessSequenceData),
// media announcements from the media entry, descriptors for the main loop,
// their commands, and data from synchronised systems. Unloads them in
// reverse order at shut-down. Layout and interfaces: docs/plugins.md.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <shared_mutex>
#include <string>
#include <vector>

#include <json/json.h>

class PluginManager {
public:
    static PluginManager INSTANCE;

    void init();
    void loadUserPlugins();
    void addControlCallbacks(std::map<int, std::function<bool(int)>>& callbacks);
    void Cleanup();

    // Per frame on the channel output thread. Without a plug-in that
    // changes frames they cost one atomic load.
    void modifySequenceData(int ms, unsigned char* data) {
        if (m_frameHooks.load(std::memory_order_acquire)) runFrameHooks(ms, data, false);
    }
    void modifyChannelData(int ms, unsigned char* data) {
        if (m_frameHooks.load(std::memory_order_acquire)) runFrameHooks(ms, data, true);
    }
    // Some plug-in changes the channel data of every frame.
    bool hasFrameHooks() const { return m_frameHooks.load(std::memory_order_acquire); }
    void mediaCallback(const Json::Value& playlistInfo, const Json::Value& mediaDetails);
    // Data for the plug-in named pluginName (KIVPlugins::Plugin::getName)
    // that arrived from another system; dropped when none has that name.
    void multiSyncData(const std::string& pluginName, const uint8_t* data, int len);

    // Loaded plug-ins (name, version, interfaces, time per frame) and the
    // refused ones with their reasons: the "Get Plugins" document.
    Json::Value GetStatus();
    static std::string PluginsDirectory();

private:
    struct Loaded;
    void runFrameHooks(int ms, unsigned char* data, bool last);
    void load(const std::string& folder);
    void refuse(const std::string& folder, const std::string& file, const std::string& why);
    void failed(Loaded& p, const char* call, const char* what);

    // Guards the lists below. Hooks hold it shared while they call plug-ins,
    // so a slow media announcement never holds up a frame; loading and
    // unloading hold it exclusively.
    std::shared_mutex m_lock;
    std::vector<std::unique_ptr<Loaded>> m_plugins;  // in load order
    std::vector<Loaded*> m_framePlugins;             // those that change frames
    Json::Value m_refused{Json::arrayValue};
    std::atomic<bool> m_frameHooks{false};
};
