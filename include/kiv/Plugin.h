#pragma once
// The first base of every plug-in kivd loads (output plug-ins and user
// plug-ins) and the two symbols a plug-in's shared object exports:
//
//   kivPluginAbiVersion  const uint32_t, KIV_PLUGIN_ABI_VERSION of the
//                        headers it was built with (user plug-ins)
//   createPlugin         KIVPlugins::Plugin* createPlugin(), C linkage:
//                        a new plug-in object, owned by the daemon
//
// KIV_PLUGIN(Class) defines both. docs/plugins.md describes the rest.

#include <cstdint>
#include <map>
#include <string>

// Raised whenever a class of these headers changes its layout or its
// virtual operations: a plug-in built for another number is refused.
#define KIV_PLUGIN_ABI_VERSION 1u

namespace KIVPlugins {

class Plugin {
public:
    explicit Plugin(const std::string& n);
    virtual ~Plugin();
    // Data for this plug-in (by its name) that arrived with multi-system
    // synchronisation packets; called on the daemon's main thread.
    virtual void multiSyncData(const unsigned char* data, int len);

    const std::string& getName() const { return name; }

protected:
    std::string name;
    std::map<std::string, std::string> settings;
};

}  // namespace KIVPlugins

extern "C" {
typedef KIVPlugins::Plugin* (*KIVCreatePluginFn)();
}

#define KIV_PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))

#define KIV_PLUGIN(Class)                                                        \
    KIV_PLUGIN_EXPORT const uint32_t kivPluginAbiVersion = KIV_PLUGIN_ABI_VERSION; \
    KIV_PLUGIN_EXPORT KIVPlugins::Plugin* createPlugin() { return new Class(); }
