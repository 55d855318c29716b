#include "http/APIServer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "HttpClient.h"
#include "TestSupport.h"
#include "Warnings.h"
#include "common.h"
#include "http/HttpServer.h"
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
    auto* api = new APIServer();
    ASSERT_TRUE(api->Init());
    EXPECT_TRUE(HttpServer::INSTANCE.IsRunning());
    EXPECT_EQ(HttpServer::INSTANCE.Port(), getSettingInt("HTTPPort"));
    auto r = httpGet(url("/"));
    EXPECT_EQ(r.status, 200) << r.error;
    EXPECT_EQ(r.body, "status page");
    delete api;
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
