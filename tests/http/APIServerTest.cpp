#include "http/APIServer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "HttpClient.h"
#include "TestSupport.h"
#include "Warnings.h"
#include "common.h"
#include "http/HttpServer.h"
#include "services/Timers.h"
#include "settings.h"

using kivtest::httpGet;

namespace {

// A loopback address of this test program's own.
std::string lo() { return "127.202." + std::to_string(1 + getpid() % 250) + ".1"; }

class APIServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ClearSettings();
        SetSetting("HTTPBindAddress", lo());
        SetSetting("HTTPPort", 32330 + getpid() % 1000);
        PutFileContents(install.path() + "/www/index.html", "status page");
    }
    void TearDown() override { ClearSettings(); }
    std::string url(const std::string& path) {
        return "http://" + lo() + ":" + std::to_string(getSettingInt("HTTPPort")) + path;
    }

    kivtest::TempInstallDir install;
};

}  // namespace

TEST_F(APIServerTest, ServesTheInstallationPagesOnTheConfiguredAddressUntilDeleted) {
    kivtest::LogCapture log;
    auto* api = new APIServer();
    ASSERT_TRUE(api->Init());
    EXPECT_TRUE(HttpServer::INSTANCE.IsRunning());
    EXPECT_EQ(HttpServer::INSTANCE.Port(), getSettingInt("HTTPPort"));
    auto r = httpGet(url("/"));
    EXPECT_EQ(r.status, 200) << r.error;
    EXPECT_EQ(r.body, "status page");
    // What it refuses the main loop's timers sum up once a minute.
    EXPECT_EQ(kivtest::rawRequest(lo(), HttpServer::INSTANCE.Port(),
                                  "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: -1\r\n\r\n").status, 400);
    Timers::INSTANCE.fireTimersInternal(GetTimeMS() + 30000);
    EXPECT_FALSE(log.contains("HTTP in the last minute")) << log.text();
    Timers::INSTANCE.fireTimersInternal(GetTimeMS() + 61000);
    EXPECT_TRUE(log.contains("HTTP in the last minute: libmicrohttpd refused 1 request(s) (400: 1)")) << log.text();
    delete api;
    EXPECT_FALSE(Timers::INSTANCE.hasTimers());
    EXPECT_FALSE(HttpServer::INSTANCE.IsRunning());
    EXPECT_EQ(httpGet(url("/")).status, 0);
}

TEST_F(APIServerTest, PortZeroTurnsTheInterfaceOff) {
    SetSetting("HTTPPort", 0);
    APIServer api;
    EXPECT_FALSE(api.Init());
    EXPECT_FALSE(HttpServer::INSTANCE.IsRunning());
}

TEST_F(APIServerTest, APortInUseRaisesAWarningNamingTheAddress) {
    HttpServer other;
    HttpServer::Options o;
    o.address = lo();
    o.port = getSettingInt("HTTPPort");
    ASSERT_TRUE(other.Start(o));
    std::string warning = "HTTP interface cannot listen on " + lo() + " port " + std::to_string(o.port) +
                          ": Address already in use";
    {
        APIServer api;
        EXPECT_FALSE(api.Init());
        EXPECT_TRUE(kivtest::hasWarning(warning));
    }
    EXPECT_FALSE(kivtest::hasWarning(warning));
    other.Stop();
}
