// "TestOutput": a real output plug-in for registry and daemon tests. Each
// frame's channels are appended to the file named by "file" (one line of
// hex per frame); "failInit": true makes Init fail.

#include <cstdio>
#include <string>

#include "Plugins.h"
#include "channeloutput/ChannelOutput.h"
#include "log.h"

namespace {

class TestFileOutput : public ChannelOutput {
public:
    TestFileOutput(unsigned int start, unsigned int count) : ChannelOutput(start, count) {}
    int Init(Json::Value config) override {
        if (!ChannelOutput::Init(config)) return 0;
        if (config.get("failInit", false).asBool()) {
            LogErr(VB_CHANNELOUT, "TestOutput asked to fail\n");
            return 0;
        }
        m_file = config.get("file", "").asString();
        return 1;
    }
    int SendData(unsigned char* data) override {
        if (m_file.empty()) return 0;
        FILE* f = fopen(m_file.c_str(), "a");
        if (!f) return 0;
        for (unsigned i = 0; i < m_channelCount; ++i) fprintf(f, "%02x", data[m_startChannel + i]);
        fputc('\n', f);
        fclose(f);
        return (int)m_channelCount;
    }
    void GetRequiredChannelRanges(const std::function<void(int, int)>& add) override {
        if (m_channelCount) add((int)m_startChannel, (int)(m_startChannel + m_channelCount - 1));
    }

private:
    std::string m_file;
};

class TestOutputPlugin : public KIVPlugins::Plugin, public KIVPlugins::ChannelOutputPlugin {
public:
    TestOutputPlugin() : KIVPlugins::Plugin("TestOutput") {}
    ChannelOutput* createChannelOutput(unsigned int start, unsigned int count) override {
        return new TestFileOutput(start, count);
    }
};

}  // namespace

extern "C" KIVPlugins::Plugin* createPlugin() { return new TestOutputPlugin(); }
