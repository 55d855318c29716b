#include "services/PluginManager.h"

#include "log.h"

PluginManager PluginManager::INSTANCE;

void PluginManager::init() { LogDebug(VB_PLUGIN, "PluginManager::init()\n"); }
void PluginManager::loadUserPlugins() { LogDebug(VB_PLUGIN, "No user plug-ins are installed\n"); }

void PluginManager::multiSyncData(const std::string& pluginName, const uint8_t* data, int len) {
    LogDebug(VB_PLUGIN, "%d bytes of sync data for plug-in %s: no such plug-in is loaded\n", len, pluginName.c_str());
}
