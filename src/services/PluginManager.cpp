#include "services/PluginManager.h"

#include "log.h"

PluginManager PluginManager::INSTANCE;

void PluginManager::init() { LogDebug(VB_PLUGIN, "PluginManager::init()\n"); }
void PluginManager::loadUserPlugins() { LogDebug(VB_PLUGIN, "No user plug-ins are installed\n"); }
