#pragma once
// What an output plug-in (a shared object loaded by name) exports: one C
// function, createPlugin(), returning an object that is both a Plugin and a
// ChannelOutputPlugin. The host owns the object and the outputs it creates.
// Plugin itself is public (include/kiv/Plugin.h), shared with user plug-ins.

#include "kiv/Plugin.h"

class ChannelOutput;

namespace KIVPlugins {

class ChannelOutputPlugin {
public:
    virtual ~ChannelOutputPlugin();
    virtual ChannelOutput* createChannelOutput(unsigned int startChannel, unsigned int channelCount) = 0;
};

}  // namespace KIVPlugins
