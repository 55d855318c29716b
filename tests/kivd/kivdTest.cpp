#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "KivdProcess.h"
#include "NetTestSupport.h"
#include "TestSupport.h"
#include "common.h"

namespace {

const char* USAGE_BODY =
    " [OPTION...]\n"
    "\n"
    "kivd is the Sorvex Player daemon.\n"
    "\n"
    "Options:\n"
    "  -f, --foreground              - Don't daemonize the application.  In the\n"
    "                                  foreground, all logging will be on the\n"
    "                                  console instead of the log file\n"
    "  -d, --daemonize               - Daemonize even if the config file says not to.\n"
    "  -v, --volume VOLUME           - Set a volume (over-written by config file)\n"
    "  -m, --mode MODE               - Set the mode: \"player\", \"bridge\",\n"
    "                                  \"master\", or \"remote\"\n"
    "  -l, --log-file FILENAME       - Set the log file\n"
    "  -H  --detect-hardware         - Detect Sorvex hardware on SPI port\n"
    "  -C  --configure-hardware      - Configure detected Sorvex hardware on SPI\n"
    "  -h, --help                    - This menu.\n"
    "      --log-level LEVEL         - Set the global log output level (all loggers):\n"
    "                                  \"info\", \"warn\", \"debug\", \"excess\")\n"
    "      --log-level LEVEL:logger  - Set the log level for one or more loggers.\n"
    "                                  each level should be separated by semicolons\n"
    "                                  with one or more loggers separated by commas.\n"
    "                                  example: debug:schedule,player;excess:mqtt \n"
    "                                  valid loggers are: \n"
    "                                    ChannelData - channel data itself\n"
    "                                    ChannelOut  - channel output code\n"
    "                                    Command     - command processing\n"
    "                                    Control     - Control socket debugging\n"
    "                                    E131Bridge  - E1.31 bridge\n"
    "                                    Effect      - Effects sequences\n"
    "                                    General     - general messages\n"
    "                                    GPIO        - GPIO Input handling\n"
    "                                    HTTP        - HTTP API requests\n"
    "                                    MediaOut    - Media file handling\n"
    "                                    Playlist    - Playlist handling\n"
    "                                    Plugin      - Plugin handling\n"
    "                                    Schedule    - Playlist scheduling\n"
    "                                    Sequence    - Sequence parsing\n"
    "                                    Setting     - Settings parsing\n"
    "                                    Sync        - Player/Remote Synchronization\n"
    "                                  The default logging is read from settings\n";

std::string kivd() { return kivtest::buildDir() + "/src/kivd"; }

TEST(KivdCommandLine, HelpPrintsTheUsageTextExactly) {
    std::string out;
    EXPECT_EQ(kivtest::runCommand(kivd() + " --help", &out), 0);
    EXPECT_EQ(out, "Usage: " + kivd() + USAGE_BODY);
}

TEST(KivdCommandLine, BridgeModeIsRejected) {
    std::string out;
    EXPECT_EQ(kivtest::runCommand(kivd() + " --mode bridge", &out), 1);
    EXPECT_EQ(out, "Error parsing mode\n");
}

TEST(KivdCommandLine, DetectPifaceIsAnUnknownOption) {
    std::string out;
    EXPECT_EQ(kivtest::runCommand(kivd() + " --detect-piface 2>/dev/null", &out), 1);
    EXPECT_NE(out.find(std::string("Usage: ") + kivd() + USAGE_BODY), std::string::npos);
}

TEST(KivdCommandLine, DetectHardwareFindsNothingAndFails) {
    std::string out;
    EXPECT_EQ(kivtest::runCommand(kivd() + " -H", &out), 1);
    EXPECT_NE(out.find("No Sorvex hardware found"), std::string::npos);
}

class KivdProcessTest : public ::testing::Test {
protected:
    kivtest::TempMediaDir media;
};

TEST_F(KivdProcessTest, LogLevelArgumentPrintsTheGroupedLevelsAndStarts) {
    kivtest::KivdProcess d(media.path());
    ASSERT_TRUE(d.start({"--log-level", "debug:Sequence", "-f"}));
    ASSERT_TRUE(d.waitReady());
    EXPECT_NE(d.output().find("info:General,ChannelOut,ChannelData,Command,E131Bridge,Effect,MediaOut,Playlist,"
                              "Schedule;debug:Sequence;info:Settings,Control,Sync,Plugin,GPIO,HTTP\n"),
              std::string::npos);
    std::string warnings;
    d.command({"Get Warnings"}, &warnings);
    EXPECT_NE(warnings.find("A Log Level is set to Debug"), std::string::npos);
    EXPECT_EQ(d.stop(SIGTERM), 0);
}

TEST_F(KivdProcessTest, SigtermTakesTheServicesDownInOrderAndExitsZero) {
    kivtest::KivdProcess d(media.path());
    ASSERT_TRUE(d.start({"-f"}));
    ASSERT_TRUE(d.waitReady());
    EXPECT_TRUE(kivtest::waitUntil([&] { return FileExists(d.installDir() + "/www/warnings.json"); }, 5000));
    EXPECT_EQ(d.stop(SIGTERM), 0);
    std::string log = d.log();
    size_t started = log.find("Starting main processing loop");
    size_t shutting = log.find("Shutting down main loop.");
    size_t stopping = log.find("Stopping channel output thread.");
    size_t complete = log.find("Main Loop complete, shutting down.");
    ASSERT_NE(started, std::string::npos) << log;
    ASSERT_NE(shutting, std::string::npos) << log;
    EXPECT_LT(started, shutting);
    EXPECT_LT(shutting, stopping);
    EXPECT_LT(stopping, complete);
    // foreground: every log line also reaches standard output
    EXPECT_NE(d.output().find("Starting main processing loop"), std::string::npos);
    // the warnings file is removed at the end of a clean stop
    EXPECT_FALSE(FileExists(d.installDir() + "/www/warnings.json"));
}

TEST_F(KivdProcessTest, DaemonizeDetachesAndLogsToTheFile) {
    std::string out;
    std::string cmd = "KIV_MEDIA_DIR='" + media.path() + "' KIV_INSTALL_DIR='" + kivtest::buildDir() + "' " + kivd() +
                      " -d";
    EXPECT_EQ(kivtest::runCommand(cmd, &out), 0);  // the parent returns at once
    EXPECT_EQ(out.find("Starting main processing loop"), std::string::npos);
    kivtest::KivdProcess client(media.path());
    ASSERT_TRUE(kivtest::waitUntil([&] { return client.command({"List Commands"}, nullptr, 2) == 0; }, 20000));
    EXPECT_NE(GetFileContents(media.file("/logs/kivd.log")).find("Starting main processing loop"), std::string::npos);
    EXPECT_EQ(client.command({"Stop KIVD"}), 0);
    EXPECT_TRUE(kivtest::waitUntil([&] { return !FileExists(media.file("/tmp/kivd.sock")); }, 20000));
}

TEST_F(KivdProcessTest, RestartReExecutesWithLogLevelsAndRestartedFlag) {
    kivtest::KivdProcess d(media.path());
    ASSERT_TRUE(d.start({"-f", "--log-level", "debug:Playlist"}));
    ASSERT_TRUE(d.waitReady());
    pid_t pid = d.pid();
    EXPECT_EQ(d.command({"Restart KIVD"}), 0);
    ASSERT_TRUE(kivtest::waitUntil([&] { return kivtest::KivdProcess(media.path()).command({"List Commands"}, nullptr, 1) == 0 &&
                                                GetFileContents(media.file("/logs/kivd.log")).find("Performing Restart.") != std::string::npos; },
                                   20000));
    ASSERT_TRUE(d.waitReady());
    EXPECT_EQ(d.pid(), pid);  // the same process, a new program image
    std::string cmdline = GetFileContents("/proc/" + std::to_string(pid) + "/cmdline");
    for (char& c : cmdline) if (c == 0) c = ' ';
    EXPECT_NE(cmdline.find(" -f --log-level "), std::string::npos) << cmdline;
    EXPECT_NE(cmdline.find("debug:Playlist"), std::string::npos) << cmdline;
    EXPECT_NE(cmdline.find(" -r"), std::string::npos) << cmdline;
    EXPECT_EQ(d.stop(SIGTERM), 0);
}

TEST_F(KivdProcessTest, BadInputsAreReportedAndTheDaemonRunsOn) {
    media.write("/settings", "good = 1\nthis is not a setting\n");
    media.write("/config/channeloutputs.json", "{\"channelOutputs\": [ {\"type\": \"NoSuchPlugin\", \"channelCount\": 3},");
    kivtest::KivdProcess d(media.path());
    ASSERT_TRUE(d.start({"-f"}));
    ASSERT_TRUE(d.waitReady());
    std::string warnings;
    d.command({"Get Warnings"}, &warnings);
    EXPECT_NE(warnings.find("Channel outputs file"), std::string::npos) << warnings;
    EXPECT_NE(d.output().find("line 2 is malformed"), std::string::npos);
    EXPECT_NE(warnings.find("has 1 malformed line(s)"), std::string::npos) << warnings;
    media.write("/config/channeloutputs.json",
                "{\"channelOutputs\": [ {\"type\": \"NoSuchPlugin\", \"startChannel\": 1, \"channelCount\": 3} ]}");
    EXPECT_EQ(d.stop(SIGTERM), 0);
    kivtest::KivdProcess d2(media.path());
    ASSERT_TRUE(d2.start({"-f"}));
    ASSERT_TRUE(d2.waitReady());
    d2.command({"Get Warnings"}, &warnings);
    EXPECT_NE(warnings.find("Channel output 0 (NoSuchPlugin) disabled"), std::string::npos) << warnings;
    EXPECT_EQ(d2.stop(SIGTERM), 0);
}

TEST(KivdMissingMedia, MissingMediaDirectoryIsReportedNotFatal) {
    kivtest::KivdProcess d("/tmp/kiv-no-such-media-dir");
    ASSERT_TRUE(d.start({"-f"}));
    ASSERT_TRUE(kivtest::waitUntil([&] { return d.output().find("Starting main processing loop") != std::string::npos; },
                                   20000)) << d.output();
    EXPECT_NE(d.output().find("Media directory /tmp/kiv-no-such-media-dir does not exist"), std::string::npos);
    EXPECT_EQ(d.stop(SIGTERM), 0);
}

TEST_F(KivdProcessTest, UnknownCommandThroughTheClientIsAnErrorNotAHang) {
    kivtest::KivdProcess d(media.path());
    ASSERT_TRUE(d.start({"-f"}));
    ASSERT_TRUE(d.waitReady());
    std::string out;
    EXPECT_EQ(d.command({"Frobnicate"}, &out, 5), 1);
    EXPECT_EQ(out, "Unknown command: \"Frobnicate\"\n");
    EXPECT_EQ(d.stop(SIGTERM), 0);
}

TEST_F(KivdProcessTest, UserSignalOneStopsCleanly) {
    kivtest::KivdProcess d(media.path());
    ASSERT_TRUE(d.start({"-f"}));
    ASSERT_TRUE(d.waitReady());
    EXPECT_EQ(d.stop(SIGUSR1), 0);
    EXPECT_NE(d.log().find("Crash handler called:  10"), std::string::npos);
}

TEST_F(KivdProcessTest, RuntimeInformationFileListsTheBoardsAddressesOnlyWhenItHasSome) {
    KIV_RUN_IN_PRIVATE_NETNS();
    std::string info = media.file("/kiv-info.json");
    media.write("/kiv-info.json", "{\"addresses\": \"stale\"}");
    {
        // Loopback only: no file.
        kivtest::KivdProcess d(media.path());
        ASSERT_TRUE(d.start({"-f"}));
        ASSERT_TRUE(d.waitReady());
        EXPECT_FALSE(FileExists(info));
        EXPECT_NE(d.log().find("Not creating " + info + " as no IP addresses found"), std::string::npos);
        EXPECT_EQ(d.stop(SIGTERM), 0);
    }
    ASSERT_EQ(0, kivtest::runCommand(kivtest::privateShowNetworkCommand() +
                                     " && ip addr add 10.77.0.9/24 dev kivshow0"));
    kivtest::KivdProcess d(media.path());
    ASSERT_TRUE(d.start({"-f"}));
    ASSERT_TRUE(d.waitReady());
    Json::Value rec = LoadJsonFromString(GetFileContents(info));
    EXPECT_EQ(rec["addresses"].asString(), "10.77.0.1,10.77.0.9");
    EXPECT_FALSE(rec.isMember("address"));
    EXPECT_EQ(rec["mode"].asString(), "player");
    EXPECT_EQ(d.stop(SIGTERM), 0);
}

}  // namespace
