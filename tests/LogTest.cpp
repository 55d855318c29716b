#include <gtest/gtest.h>

#include <sys/stat.h>

#include "TestSupport.h"
#include "common.h"
#include "log.h"

namespace {

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        KIVLogger::INSTANCE.Init();
        saved = KIVLogger::INSTANCE.GetLogLevelString();
        KIVLogger::INSTANCE.SetAllLevel(LOG_INFO);
    }
    void TearDown() override { SetLogLevelComplex(saved); }
    std::string saved;
};

TEST_F(LogTest, ComplexDebugWithoutColonSetsEveryFacility) {
    EXPECT_TRUE(SetLogLevelComplex("debug"));
    EXPECT_EQ(KIVLogger::INSTANCE.Schedule.level, LOG_DEBUG);
    EXPECT_EQ(KIVLogger::INSTANCE.HTTP.level, LOG_DEBUG);
}

TEST_F(LogTest, PlainExcessMeansInfo) {
    EXPECT_TRUE(SetLogLevel("excess"));
    EXPECT_EQ(KIVLogger::INSTANCE.General.level, LOG_INFO);
    EXPECT_FALSE(SetLogLevel("loud"));
}

TEST_F(LogTest, NamedFacilityIsCaseSensitiveAndAcceptsSettingPrefix) {
    EXPECT_TRUE(SetLogLevelComplex("debug:Sequence"));
    EXPECT_EQ(KIVLogger::INSTANCE.Sequence.level, LOG_DEBUG);
    EXPECT_EQ(KIVLogger::INSTANCE.Playlist.level, LOG_INFO);

    KIVLogger::INSTANCE.SetAllLevel(LOG_INFO);
    EXPECT_FALSE(SetLogLevelComplex("debug:sequence"));
    EXPECT_EQ(KIVLogger::INSTANCE.Sequence.level, LOG_INFO);

    EXPECT_TRUE(SetLogLevelComplex("warn:LogLevel_Playlist"));
    EXPECT_EQ(KIVLogger::INSTANCE.Playlist.level, LOG_WARN);
}

TEST_F(LogTest, InvalidSecondGroupIsLoggedButFirstStillApplies) {
    kivtest::LogCapture log;
    EXPECT_TRUE(SetLogLevelComplex("debug:Sequence;bogus"));
    EXPECT_EQ(KIVLogger::INSTANCE.Sequence.level, LOG_DEBUG);
    EXPECT_TRUE(log.contains("Invalid Log Level Token: bogus"));
}

TEST_F(LogTest, MinimumLogLevelIsTheMostVerboseFacility) {
    EXPECT_EQ(KIVLogger::INSTANCE.MinimumLogLevel(), LOG_INFO);
    KIVLogger::INSTANCE.SetLevel("HTTP", LOG_EXCESS);
    EXPECT_EQ(KIVLogger::INSTANCE.MinimumLogLevel(), LOG_EXCESS);
}

TEST_F(LogTest, LevelStringGroupsAdjacentFacilitiesAndRoundTrips) {
    KIVLogger::INSTANCE.SetLevel("Sequence", LOG_DEBUG);
    std::string s = KIVLogger::INSTANCE.GetLogLevelString();
    EXPECT_EQ(s,
              "info:General,ChannelOut,ChannelData,Command,E131Bridge,Effect,MediaOut,Playlist,Schedule;"
              "debug:Sequence;info:Settings,Control,Sync,Plugin,GPIO,HTTP");
    KIVLogger::INSTANCE.SetAllLevel(LOG_WARN);
    EXPECT_TRUE(SetLogLevelComplex(s));
    EXPECT_EQ(KIVLogger::INSTANCE.Sequence.level, LOG_DEBUG);
    EXPECT_EQ(KIVLogger::INSTANCE.GPIO.level, LOG_INFO);
    EXPECT_EQ(KIVLogger::INSTANCE.GetLogLevelString(), s);
}

TEST_F(LogTest, LinesCarryFacilityLocationAndExpandedArguments) {
    kivtest::LogCapture log;
    LogInfo(VB_SCHEDULE, "value %d and %s\n", 42, "text");
    LogDebug(VB_SCHEDULE, "suppressed %d\n", 1);
    std::string t = log.text();
    EXPECT_NE(t.find("[Schedule] "), std::string::npos);
    EXPECT_NE(t.find("LogTest.cpp:"), std::string::npos);
    EXPECT_NE(t.find(": value 42 and text\n"), std::string::npos);
    EXPECT_EQ(t.find("suppressed"), std::string::npos);
    // date, time with milliseconds, thread id in parentheses
    EXPECT_TRUE(t.size() > 26 && t[4] == '-' && t[7] == '-' && t[13] == ':' && t[19] == '.' && t[24] == '(');
}

TEST_F(LogTest, StringFormWritesPercentSignsLiterally) {
    kivtest::LogCapture log;
    _LogWrite(__FILE__, __LINE__, LOG_INFO, VB_GENERAL, std::string("100% done %s %n\n"));
    EXPECT_TRUE(log.contains("100% done %s %n\n"));
}

TEST_F(LogTest, OverlongFormatIsCutWithoutBreakingConversions) {
    kivtest::LogCapture log;
    std::string longFmt(600, 'x');
    longFmt += " %s\n";
    LogInfo(VB_GENERAL, longFmt.c_str(), "tail");
    std::string t = log.text();
    EXPECT_NE(t.find("xxxxxxxx"), std::string::npos);
    EXPECT_LT(t.size(), 600u);  // cut at the 512-byte line buffer
}

TEST_F(LogTest, StdoutDestinationWithStdoutCopyPrintsOnce) {
    std::string saved = GetLogFile();
    bool savedStd = GetLogToStdOut();
    testing::internal::CaptureStdout();
    SetLogFile("stdout", true);
    LogInfo(VB_GENERAL, "only once\n");
    SetLogFile(saved.c_str(), savedStd);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("only once"), out.rfind("only once"));
    EXPECT_NE(out.find("only once"), std::string::npos);
}

TEST_F(LogTest, UnwritableLogFileFallsBackToStderr) {
    std::string saved = GetLogFile();
    bool savedStd = GetLogToStdOut();
    testing::internal::CaptureStderr();
    SetLogFile("/nonexistent-dir/kivd.log", false);
    LogErr(VB_GENERAL, "still visible\n");
    SetLogFile(saved.c_str(), savedStd);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Error: Unable to open log file for writing!"), std::string::npos);
    EXPECT_NE(err.find("still visible"), std::string::npos);
}

// Space back, but no line logged since (a quiet show, or the log deleted to
// make room): the problem is over as soon as the note of the lost lines is
// written, which makes the file anew when it has to.
TEST_F(LogTest, ALogProblemEndsWhenTheFileCanBeWrittenAgainWithoutAnotherLine) {
    kivtest::TempMediaDir dir;
    std::string folder = dir.file("/gone"), path = folder + "/kivd.log";
    std::string saved = GetLogFile();
    bool savedStd = GetLogToStdOut();
    testing::internal::CaptureStderr();
    SetLogFile(path.c_str(), false);
    LogInfo(VB_GENERAL, "lost while the folder is gone\n");
    std::string why;
    long lost = 0;
    bool problem = LogFileProblem(why, lost);
    ASSERT_EQ(0, mkdir(folder.c_str(), 0775));
    bool problemAfter = LogFileProblem(why, lost);
    SetLogFile(saved.c_str(), savedStd);
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(problem);
    EXPECT_GE(lost, 1);
    EXPECT_FALSE(problemAfter);
    EXPECT_NE(GetFileContents(path).find("log lines could not be written to this file"), std::string::npos);
}

TEST_F(LogTest, LoggingToFileOnlyForRealPaths) {
    std::string saved = GetLogFile();
    bool savedStd = GetLogToStdOut();
    SetLogFile("stderr", false);
    EXPECT_FALSE(loggingToFile());
    SetLogFile("", false);
    EXPECT_FALSE(loggingToFile());
    SetLogFile("/tmp/x.log", false);
    EXPECT_TRUE(loggingToFile());
    SetLogFile(saved.c_str(), savedStd);
    EXPECT_EQ(LogLevelToString(4), "debug");
    EXPECT_EQ(LogLevelToString(9), "unknown");
}

}  // namespace
