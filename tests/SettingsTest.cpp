#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "TestSupport.h"
#include "log.h"
#include "common.h"
#include "SettingsCatalog.h"
#include "settings.h"

namespace {

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override { ClearSettings(); }
    void TearDown() override { ClearSettings(); }
};

TEST_F(SettingsTest, ReadsKeyValueLinesWithQuotesAndComments) {
    LoadSettingsFromText("# comment\n\nHostName = \"stage left\"\nblankBetweenSequences=1\n  alwaysTransmit =  0  \n",
                         "test");
    EXPECT_EQ(getSetting("HostName"), "stage left");
    EXPECT_EQ(getSettingInt("blankBetweenSequences"), 1);
    EXPECT_EQ(getSettingInt("alwaysTransmit", 7), 0);
    EXPECT_EQ(getSetting("missing", "def"), "def");
    EXPECT_EQ(getSettingInt("missing", 42), 42);
}

TEST_F(SettingsTest, MalformedLinesAreLoggedWithLineNumberAndSkipped) {
    kivtest::LogCapture log;
    LoadSettingsFromText("good = 1\nthis line has no equals\n= novalue\nbad key = 2\nquote = \"open\nlast = ok\n",
                         "/m/settings");
    EXPECT_EQ(getSettingInt("good"), 1);
    EXPECT_EQ(getSetting("last"), "ok");
    EXPECT_EQ(getSetting("quote", "unset"), "unset");
    EXPECT_TRUE(log.contains("Settings file /m/settings line 2 is malformed"));
    EXPECT_TRUE(log.contains("line 3 is malformed"));
    EXPECT_TRUE(log.contains("line 4 is malformed"));
    EXPECT_TRUE(log.contains("line 5 is malformed"));
    EXPECT_FALSE(log.contains("line 6 is malformed"));
}

TEST_F(SettingsTest, NonNumericIntFallsBackToDefault) {
    SetSetting("x", "abc");
    EXPECT_EQ(getSettingInt("x", 5), 5);
    SetSetting("y", 12);
    EXPECT_EQ(getSetting("y"), "12");
}

TEST_F(SettingsTest, ModeAndLogLevelsComeFromTheFile) {
    std::string levels = KIVLogger::INSTANCE.GetLogLevelString();
    LoadSettingsFromText("kivMode = remote\nLogLevel_Schedule = debug\n", "t");
    EXPECT_EQ(getKIVmode(), MODE_REMOTE);
    EXPECT_EQ(KIVLogger::INSTANCE.Schedule.level, LOG_DEBUG);
    LoadSettingsFromText("kivMode = master\n", "t");
    EXPECT_EQ(getKIVmode(), MODE_PLAYER);
    EXPECT_EQ(getSettingInt("MultiSyncEnabled"), 1);
    SetLogLevelComplex(levels);
}

TEST_F(SettingsTest, LoadSettingsReadsTheMediaDirectoryFile) {
    kivtest::TempMediaDir media;
    media.write("/settings", "HostName = h1\n");
    LoadSettings("kivd");
    EXPECT_EQ(getSetting("HostName"), "h1");
    EXPECT_EQ(getKIVMediaDir("/sequences"), media.path() + "/sequences");
    chmod((media.path() + "/settings").c_str(), 0644);  // a password there would be open to all
    kivtest::LogCapture log;
    ReportSettingsProblems();
    EXPECT_TRUE(log.contains(media.path() + "/settings is readable by all users"));
}

TEST_F(SettingsTest, MissingMediaDirectoryIsReportedNotFatal) {
    kivtest::LogCapture log;
    setenv("KIV_MEDIA_DIR", "/nonexistent/media", 1);
    LoadSettings("kivd");
    unsetenv("KIV_MEDIA_DIR");
    EXPECT_TRUE(log.contains("Media directory /nonexistent/media does not exist"));
}

TEST_F(SettingsTest, InstallationDirectoryFollowsTheProgramOrTheEnvironment) {
    const char* old = getenv("KIV_INSTALL_DIR");
    std::string saved = old ? old : "";
    unsetenv("KIV_INSTALL_DIR");
    // test programs live in <build>/tests, so the installation is <build>
    EXPECT_EQ(getKIVDDir("/src/kivd"), kivtest::buildDir() + "/src/kivd");
    setenv("KIV_INSTALL_DIR", "/opt/kiv", 1);
    EXPECT_EQ(getKIVDDir("/www"), "/opt/kiv/www");
    if (old) setenv("KIV_INSTALL_DIR", saved.c_str(), 1);
    else unsetenv("KIV_INSTALL_DIR");
}

}  // namespace

namespace {

TEST_F(SettingsTest, DocumentedExampleLoadsWithoutComplaint) {
    kivtest::LogCapture log;
    std::string levels = KIVLogger::INSTANCE.GetLogLevelString();
    LoadSettingsFromText(GetFileContents(kivtest::sourceDir() + "/docs/examples/settings"), "example");
    EXPECT_FALSE(log.contains("malformed"));
    EXPECT_EQ(getSetting("HostName"), "stage-left");
    EXPECT_EQ(getKIVmode(), MODE_PLAYER);
    EXPECT_EQ(getSettingInt("E131BridgingInterval"), 50);
    SetLogLevelComplex(levels);
}

// The settings page shows every key docs/settings.md documents, and the
// catalog holds no key the document leaves out.
TEST_F(SettingsTest, TheCatalogHoldsEveryDocumentedKeyAndNoOther) {
    std::set<std::string> documented;
    for (auto& line : split(GetFileContents(kivtest::sourceDir() + "/docs/settings.md"), '\n')) {
        if (!startsWith(line, "| `")) continue;
        std::string cell = line.substr(2, line.find(" |", 2) - 2);
        for (size_t at = cell.find('`'); at != std::string::npos; at = cell.find('`', cell.find('`', at + 1) + 1)) {
            std::string key = cell.substr(at + 1, cell.find('`', at + 1) - at - 1);
            if (key == "LogLevel_<facility>") {
                for (auto& f : KIVLogger::INSTANCE.FacilityNames()) documented.insert("LogLevel_" + f);
            } else {
                documented.insert(key);
            }
        }
    }
    std::set<std::string> catalog;
    for (auto& s : SettingsCatalog()) catalog.insert(s.key);
    EXPECT_GE(documented.size(), 70u);
    for (auto& k : documented) EXPECT_TRUE(catalog.count(k)) << k << " is documented but not in the catalog";
    for (auto& k : catalog) EXPECT_TRUE(documented.count(k)) << k << " is in the catalog but not documented";
}

// A value is judged by the rule the page shows with it; only that rule's
// values are written, in the form the file's example uses.
TEST_F(SettingsTest, ChangesAreJudgedByTheRuleThePageShows) {
    struct Case {
        const char* key;
        Json::Value value;
        const char* stored;  // nullptr: refused with the rule
    };
    const Case cases[] = {
        {"mediaOffset", -120, "-120"},     {"mediaOffset", 9000, nullptr},
        {"Latitude", 51.5, "51.500000"},   {"Latitude", "north", nullptr},
        {"DisableScheduler", true, "1"},   {"DisableScheduler", "yes", nullptr},
        {"kivMode", "remote", "remote"},   {"kivMode", "boss", nullptr},
        {"LogLevel_HTTP", "debug", "debug"}, {"MQTTPassword", "s3cret", "s3cret"},
        {"HostName", std::string(64, 'h'), nullptr},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " " + SaveJsonToString(c.value));
        std::string text, error;
        bool ok = CheckEditableSetting(c.key, c.value, text, error);
        EXPECT_EQ(ok, c.stored != nullptr) << error;
        if (c.stored) {
            EXPECT_EQ(text, c.stored);
        } else {
            EXPECT_EQ(error, "\"" + std::string(c.key) + "\" must be " + SettingRule(*FindSettingInfo(c.key)));
        }
    }
    std::string text, error;
    EXPECT_FALSE(CheckEditableSetting("HTTPAccessToken", "x", text, error));
    EXPECT_EQ(error, "\"HTTPAccessToken\" cannot be changed here: it is changed in the settings file only (docs/settings.md)");
    EXPECT_EQ(SettingRule(*FindSettingInfo("kivMode")), "one of player, master, remote");
    // A secret is never shown, only whether it is set.
    SetSetting("MQTTPassword", "s3cret");
    Json::Value shown = DescribeSetting(*FindSettingInfo("MQTTPassword"));
    EXPECT_TRUE(shown["set"].asBool());
    EXPECT_FALSE(shown.isMember("value"));
    EXPECT_EQ(SaveJsonToString(shown).find("s3cret"), std::string::npos);
}

}  // namespace
