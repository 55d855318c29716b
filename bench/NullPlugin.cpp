// A user plug-in whose frame hooks do nothing, for bench_plugins: what the
// hook path itself costs the output thread.

#include "kiv/UserPlugin.h"

namespace {

class NullPlugin : public KIVPlugins::Plugin, public KIVPlugins::UserPlugin, public KIVPlugins::ChannelDataPlugin {
public:
    NullPlugin() : KIVPlugins::Plugin("null") {}
    std::string version() const override { return "0"; }
};

}  // namespace

KIV_PLUGIN(NullPlugin)
