#include <gtest/gtest.h>

#include <cstdlib>

#include "TestSupport.h"
#include "Warnings.h"
#include "channeloutput/ChannelOutput.h"
#include "channeloutput/channeloutput.h"
#include "common.h"

namespace {

class ChannelOutputRegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("KIV_PLUGIN_PATH", (kivtest::buildDir() + "/tests/plugins").c_str(), 1);
        for (auto& w : WarningHolder::GetWarnings()) WarningHolder::RemoveWarning(w);
    }
    void TearDown() override {
        CloseChannelOutputs();
        unsetenv("KIV_PLUGIN_PATH");
        for (auto& w : WarningHolder::GetWarnings()) WarningHolder::RemoveWarning(w);
    }
    void writeOutputs(const std::string& json) { media.write("/config/channeloutputs.json", json); }
    bool hasWarningContaining(const std::string& part) {
        for (auto& w : WarningHolder::GetWarnings())
            if (w.find(part) != std::string::npos) return true;
        return false;
    }
    kivtest::TempMediaDir media;
};

TEST_F(ChannelOutputRegistryTest, PluginOutputReceivesItsChannelsEveryFrame) {
    std::string out = media.file("/frames.txt");
    writeOutputs(R"({"channelOutputs": [{"type": "TestOutput", "startChannel": 3, "channelCount": 4, "file": ")" +
                 out + R"("}]})");
    ASSERT_EQ(InitializeChannelOutputs(), 1);
    std::vector<char> frame(16);
    for (int i = 0; i < 16; ++i) frame[i] = (char)(0x10 + i);
    PrepareChannelData(frame.data());
    SendChannelData(frame.data());
    frame[2] = 0x7f;
    SendChannelData(frame.data());
    EXPECT_EQ(GetFileContents(out), "12131415\n7f131415\n");
    auto ranges = GetOutputRanges(true);
    ASSERT_EQ(ranges.size(), 1u);
    EXPECT_EQ(ranges[0], std::make_pair(2u, 4u));
}

TEST_F(ChannelOutputRegistryTest, BadEntriesAreReportedAndTheRestStillRun) {
    kivtest::LogCapture log;
    std::string out = media.file("/frames.txt");
    writeOutputs(R"({"channelOutputs": [
        {"type": "NoSuchPlugin", "startChannel": 1, "channelCount": 3},
        {"type": "../../etc/evil", "startChannel": 1, "channelCount": 3},
        {"type": "TestOutput", "startChannel": 1, "channelCount": 3, "failInit": true},
        {"type": "TestOutput", "startChannel": 8388608, "channelCount": 2},
        {"type": "TestOutput", "enabled": 0, "startChannel": 1, "channelCount": 3, "file": "/nonexistent/x"},
        {"startChannel": 1},
        {"type": "TestOutput", "startChannel": 1, "channelCount": 2, "file": ")" + out + R"("}
    ]})");
    EXPECT_EQ(InitializeChannelOutputs(), 1);
    EXPECT_TRUE(log.contains("Channel output 0 (NoSuchPlugin) disabled: no plug-in named NoSuchPlugin.so"));
    EXPECT_TRUE(log.contains("Channel output 1 (../../etc/evil) disabled: invalid plug-in name"));
    EXPECT_TRUE(log.contains("Channel output 2 (TestOutput) disabled: its configuration could not be initialised"));
    EXPECT_TRUE(log.contains("Channel output 3 (TestOutput) disabled: channel range 8388608+2 is outside"));
    EXPECT_TRUE(log.contains("Channel output 4 (TestOutput) is not enabled"));
    EXPECT_TRUE(log.contains("Channel output 5 (?) disabled"));
    EXPECT_TRUE(hasWarningContaining("Channel output 0 (NoSuchPlugin) disabled"));
    EXPECT_TRUE(hasWarningContaining("Channel output 2 (TestOutput) disabled"));
    char frame[4] = {1, 2, 3, 4};
    SendChannelData(frame);
    EXPECT_EQ(GetFileContents(out), "0102\n");
}

TEST_F(ChannelOutputRegistryTest, InvalidOutputsFileIsAWarningNotACrash) {
    kivtest::LogCapture log;
    writeOutputs("{\"channelOutputs\": [ {\"type\": ");
    EXPECT_EQ(InitializeChannelOutputs(), 0);
    EXPECT_TRUE(hasWarningContaining("is invalid; no outputs are running"));
    writeOutputs("[1, 2]");
    EXPECT_EQ(InitializeChannelOutputs(), 0);
}

TEST_F(ChannelOutputRegistryTest, MissingOutputsFileMeansNoOutputs) {
    EXPECT_EQ(InitializeChannelOutputs(), 0);
    EXPECT_EQ(ChannelOutputCount(), 0);
    EXPECT_TRUE(GetOutputRanges(true).empty());
}

// An in-process output reporting fixed ranges.
class RangeOutput : public ChannelOutput {
public:
    RangeOutput(std::vector<std::pair<int, int>> r) : ranges(r) {}
    int SendData(unsigned char*) override { return 0; }
    void GetRequiredChannelRanges(const std::function<void(int, int)>& add) override {
        for (auto& p : ranges) add(p.first, p.second);
    }
    std::vector<std::pair<int, int>> ranges;
};

TEST_F(ChannelOutputRegistryTest, RangesAreSortedMergedAndClamped) {
    AddChannelOutput(new RangeOutput({{100, 199}, {0, 9}}));
    AddChannelOutput(new RangeOutput({{150, 249}, {250, 259}, {2000, 2009}, {8388600, 8388700}}));
    auto r = GetOutputRanges(true);
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[0], std::make_pair(0u, 10u));
    EXPECT_EQ(r[1], std::make_pair(100u, 160u));  // overlapping and touching ranges merge
    EXPECT_EQ(r[2], std::make_pair(2000u, 10u));
    EXPECT_EQ(r[3], std::make_pair(8388600u, 8u));  // clamped to the buffer
    auto loose = GetOutputRanges(false);
    ASSERT_EQ(loose.size(), 3u);  // gaps under 1024 channels are bridged, longer ones kept
    EXPECT_EQ(loose[0], std::make_pair(0u, 260u));
    EXPECT_EQ(loose[1], std::make_pair(2000u, 10u));
}

TEST_F(ChannelOutputRegistryTest, OutputTypeNamesTheDynamicClass) {
    RangeOutput o({});
    EXPECT_NE(o.GetOutputType().find("RangeOutput"), std::string::npos);
}

}  // namespace
