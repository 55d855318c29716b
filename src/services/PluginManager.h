#pragma once
// User plug-ins (code that modifies frames or reacts to media). None are
// installed with this daemon: the manager loads nothing and leaves frames
// untouched.

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include <json/json.h>

class PluginManager {
public:
    static PluginManager INSTANCE;

    void init();
    void loadUserPlugins();
    void addControlCallbacks(std::map<int, std::function<bool(int)>>& callbacks) {}
    void Cleanup() {}
    void modifySequenceData(int ms, unsigned char* data) {}
    void modifyChannelData(int ms, unsigned char* data) {}
    void mediaCallback(const Json::Value& playlistInfo, const Json::Value& mediaDetails) {}
    // Data another system's plug-in of this name sent through sync
    // (MultiSync::SendPluginData); with no plug-ins loaded it reaches nobody.
    void multiSyncData(const std::string& pluginName, const uint8_t* data, int len);
};
