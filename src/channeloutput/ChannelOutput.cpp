#include "channeloutput/ChannelOutput.h"

#include <cxxabi.h>

#include <cstdlib>
#include <typeinfo>

#include "Plugins.h"
#include "log.h"

KIVPlugins::Plugin::Plugin(const std::string& n) : name(n) {}
KIVPlugins::Plugin::~Plugin() {}
void KIVPlugins::Plugin::multiSyncData(const unsigned char* data, int len) {}
KIVPlugins::ChannelOutputPlugin::~ChannelOutputPlugin() {}

ChannelOutput::ChannelOutput(unsigned int startChannel, unsigned int channelCount)
    : m_startChannel(startChannel), m_channelCount(channelCount) {}

ChannelOutput::~ChannelOutput() {}

std::string ChannelOutput::GetOutputType() const {
    const char* raw = typeid(*this).name();
    if (*raw == '*') ++raw;
    int status = 0;
    char* demangled = abi::__cxa_demangle(raw, nullptr, nullptr, &status);
    std::string out = (status == 0 && demangled) ? demangled : raw;
    free(demangled);
    return out;
}

int ChannelOutput::Init(Json::Value config) {
    m_outputType = config.isMember("type") && config["type"].isString() ? config["type"].asString() : GetOutputType();
    return 1;
}

int ChannelOutput::Close() { return 1; }
int ChannelOutput::PrepData(unsigned char* channelData) { return 0; }
void ChannelOutput::StartingOutput() {}
void ChannelOutput::StoppingOutput() {}
int ChannelOutput::OverlayTestData(unsigned char*, int, float, int) { return 0; }
bool ChannelOutput::SupportsTesting() const { return false; }

void ChannelOutput::DumpConfig() {
    LogDebug(VB_CHANNELOUT, "ChannelOutput::DumpConfig()\n");
    LogDebug(VB_CHANNELOUT, "    Output Type      : %s\n", m_outputType.c_str());
    LogDebug(VB_CHANNELOUT, "    Start Channel    : %u\n", m_startChannel + 1);
    LogDebug(VB_CHANNELOUT, "    Channel Count    : %u\n", m_channelCount);
}

void ChannelOutput::ConvertToCSV(Json::Value config, char* configStr) {}
