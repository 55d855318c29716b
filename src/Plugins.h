#pragma once
// What an output plug-in (a shared object loaded by name) exports: one C
// function, createPlugin(), returning an object that is both a Plugin and a
// ChannelOutputPlugin. The host owns the object and the outputs it creates.

#include <map>
#include <string>

class ChannelOutput;

namespace KIVPlugins {

class Plugin {
public:
    Plugin(const std::string& n);
    virtual ~Plugin();
    virtual void multiSyncData(const unsigned char* data, int len);

    const std::string& getName() const { return name; }

protected:
    std::string name;
    std::map<std::string, std::string> settings;
};

class ChannelOutputPlugin {
public:
    virtual ~ChannelOutputPlugin();
    virtual ChannelOutput* createChannelOutput(unsigned int startChannel, unsigned int channelCount) = 0;
};

}  // namespace KIVPlugins

extern "C" {
typedef KIVPlugins::Plugin* (*KIVCreatePluginFn)();
}
