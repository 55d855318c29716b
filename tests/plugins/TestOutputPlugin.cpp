// "TestOutput": a real output plug-in for registry and daemon tests. Each
// frame's channels are appended to the file named by "file" (one line of
// hex per frame); "failInit": true makes Init fail; "overflowStack":
// "init" or "send" recurses without end in Init (the main thread) or in
// the first SendData (the output thread), as a runaway plug-in would.

#include <cstdio>
#include <string>

#include "Plugins.h"
#include "channeloutput/ChannelOutput.h"
#include "log.h"

namespace {
volatile int bottomless = 1;
}

// Each level keeps 64 kB of the stack, so a debugger's trace of it stays
// short; built with stack clash protection, every page of a level is
// touched in turn and the recursion meets the guard page below the stack
// rather than jumping past it. Exported, so that a backtrace taken without
// a debugger names it too.
__attribute__((noinline, visibility("default"))) int diveIntoTheStack(int depth) {
    volatile char level[65536];
    level[0] = (char)depth;
    level[sizeof(level) - 1] = level[0];
    if (!bottomless) return depth;
    return diveIntoTheStack(depth + 1) + level[sizeof(level) - 1];
}

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
        m_overflow = config.get("overflowStack", "").asString();
        if (m_overflow == "init") diveIntoTheStack(0);
        return 1;
    }
    int SendData(unsigned char* data) override {
        if (m_overflow == "send") diveIntoTheStack(0);
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
    std::string m_overflow;
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
