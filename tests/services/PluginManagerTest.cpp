// The user plug-in loader against real shared objects (tests/plugins and the
// example limiter): what loads, what is refused and why, the calls that
// reach a plug-in, a plug-in that throws, and the order of unloading.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "TestSupport.h"
#include "common.h"
#include "commands/Commands.h"
#include "kiv/UserPlugin.h"
#include "services/PluginManager.h"

namespace {

// <media>/plugins/<folder>/<folder>.so linked to a built plug-in.
void Install(const kivtest::TempMediaDir& media, const std::string& folder, const std::string& so) {
    std::string dir = media.file("/plugins/" + folder);
    kivtest::runCommand("mkdir -p '" + dir + "'");
    if (!so.empty()) symlink(so.c_str(), (dir + "/" + folder + ".so").c_str());
}

std::string TestPlugin(const std::string& name) { return kivtest::buildDir() + "/tests/plugins/" + name + "/" + name + ".so"; }

Json::Value Report(const std::string& plugin) {
    return LoadJsonFromString(CommandManager::INSTANCE.run(plugin + " report", {})->get());
}

TEST(PluginManager, LoadsInNameOrderRefusesBadOnesCallsThemAndUnloadsInReverse) {
    kivtest::TempMediaDir media;
    kivtest::LogCapture log;
    for (auto n : {"test-user", "test-user-b", "test-other-abi", "test-no-create", "test-throws"})
        Install(media, n, TestPlugin(n));
    Install(media, "empty", "");
    Install(media, "shared", TestPlugin("test-user"));
    // A copy under another folder gives the same name as test-user.
    Install(media, "zz-copy", "");
    kivtest::runCommand("cp '" + TestPlugin("test-user") + "' '" + media.file("/plugins/zz-copy/zz-copy.so") + "'");
    chmod(media.file("/plugins/shared").c_str(), 0777);

    PluginManager::INSTANCE.loadUserPlugins();
    Json::Value status = PluginManager::INSTANCE.GetStatus();
    ASSERT_EQ(status["plugins"].size(), 2u) << SaveJsonToString(status);
    EXPECT_EQ(status["plugins"][0]["name"], "test-user");
    EXPECT_EQ(status["plugins"][1]["name"], "test-user-b");
    EXPECT_EQ(status["plugins"][0]["version"], "2.5.1");
    EXPECT_EQ(status["plugins"][0]["interfaces"].size(), 4u);
    EXPECT_EQ(log.count("Plug-in test-user: set up in " + media.file("/plugins/test-user") + "\n"), 1);
    EXPECT_TRUE(kivtest::hasWarning("Plug-in test-user-b: up and running"));

    struct Refusal { const char* folder; std::string reason; };
    const Refusal refusals[] = {
        {"empty", "there is no empty.so in " + media.file("/plugins/empty")},
        {"shared", media.file("/plugins/shared/shared.so") + " or its folder is writable by every user"},
        {"test-no-create", "exports no createPlugin function"},
        {"test-other-abi", "built for plug-in ABI 2, this kivd loads ABI 1"},
        {"test-throws", "set-up failed: the sensor is not connected"},
        {"zz-copy", "another plug-in (test-user) is already named \"test-user\""},
    };
    ASSERT_EQ(status["refused"].size(), std::size(refusals));
    for (size_t i = 0; i < std::size(refusals); ++i) {
        const Refusal& r = refusals[i];
        SCOPED_TRACE(r.folder);
        std::string line = std::string("User plug-in ") + r.folder + " refused: " + r.reason;
        EXPECT_EQ(log.count(line + "\n"), 1) << log.text();
        EXPECT_TRUE(kivtest::hasWarning(line));
        EXPECT_EQ(status["refused"][(int)i]["reason"], r.reason);
        EXPECT_EQ(status["refused"][(int)i]["folder"], r.folder);
    }

    // A command paints channels 2-4 in the last hook only.
    EXPECT_EQ(CommandManager::INSTANCE.run("test-user paint", {"2", "77", "3"})->get(), "painted 3 channels");
    std::vector<unsigned char> frame(KIVPlugins::FRAME_CHANNELS, 0);
    PluginManager::INSTANCE.modifySequenceData(0, frame.data());
    EXPECT_EQ(frame[1], 0);
    PluginManager::INSTANCE.modifyChannelData(0, frame.data());
    EXPECT_EQ(std::vector<unsigned char>(frame.begin(), frame.begin() + 5), std::vector<unsigned char>({0, 77, 77, 77, 0}));

    const uint8_t hello[] = {'h', 'i'};
    PluginManager::INSTANCE.multiSyncData("test-user-b", hello, 2);
    PluginManager::INSTANCE.multiSyncData("nobody", hello, 2);
    Json::Value details;
    details["title"] = "Carol";
    PluginManager::INSTANCE.mediaCallback(Json::Value(), details);
    EXPECT_EQ(Report("test-user-b")["sync"][0], "hi");
    EXPECT_TRUE(Report("test-user")["sync"].isNull());
    EXPECT_EQ(Report("test-user")["media"][0], "Carol");
    EXPECT_EQ(Report("test-user")["frames"], 1);
    EXPECT_EQ(PluginManager::INSTANCE.GetStatus()["plugins"][0]["frames"], 1);

    // A hook that throws: logged and warned once, then never called again.
    CommandManager::INSTANCE.run("test-user paint", {std::to_string(KIVPlugins::FRAME_CHANNELS), "1", "1"});
    for (int i = 0; i < 3; ++i) PluginManager::INSTANCE.modifyChannelData(0, frame.data());
    status = PluginManager::INSTANCE.GetStatus();
    EXPECT_EQ(status["plugins"][0]["frames"], 2);
    EXPECT_TRUE(status["plugins"][0]["failed"].asBool());
    EXPECT_EQ(Report("test-user-b")["frames"], 4);
    std::string failure = "Plug-in test-user failed in modifyChannelData (asked to throw); it is no longer called";
    EXPECT_EQ(log.count(failure), 1);
    EXPECT_TRUE(kivtest::hasWarning(failure));
    EXPECT_TRUE(CommandManager::INSTANCE.run("test-user paint", {"1", "1", "1"})->isError());

    PluginManager::INSTANCE.Cleanup();
    EXPECT_EQ(GetFileContents(media.file("/unloaded.txt")), "test-user-b\ntest-user\n");
    EXPECT_EQ(CommandManager::INSTANCE.getCommand("test-user paint"), nullptr);
}

TEST(PluginManager, LimiterWithABadConfigurationIsRefusedWithTheReason) {
    struct Case { std::string config, reason; };
    const Case cases[] = {
        {"", "cannot be read"},
        {R"({"ranges": []})", "has no \"ranges\" array"},
        {R"({"ranges": [{"startChannel": 0, "channelCount": 10, "maxPercent": 5}]})",
         "range 1: channels 0+10 are outside 1-8388608"},
        {R"({"ranges": [{"startChannel": 8388600, "channelCount": 10, "maxPercent": 5}]})",
         "range 1: channels 8388600+10 are outside 1-8388608"},
        {R"({"ranges": [{"startChannel": 1, "channelCount": 10, "maxPercent": 5},
                        {"startChannel": 1, "channelCount": 10, "maxPercent": 101}]})",
         "range 2: \"maxPercent\" must lie in 0-100"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.config);
        kivtest::TempMediaDir media;
        Install(media, "brightness-limiter",
                kivtest::buildDir() + "/examples/plugins/brightness-limiter/brightness-limiter.so");
        std::string config = media.file("/plugins/brightness-limiter/brightness-limiter.json");
        if (!c.config.empty()) PutFileContents(config, c.config);
        PluginManager::INSTANCE.loadUserPlugins();
        Json::Value refused = PluginManager::INSTANCE.GetStatus()["refused"];
        PluginManager::INSTANCE.Cleanup();
        ASSERT_EQ(refused.size(), 1u);
        EXPECT_NE(refused[0]["reason"].asString().find(c.reason), std::string::npos) << refused[0]["reason"];
    }
}

}  // namespace
