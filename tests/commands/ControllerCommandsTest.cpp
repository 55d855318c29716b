#include <gtest/gtest.h>

#include <chrono>

#include "HttpTestServer.h"
#include "TestSupport.h"
#include "commands/Commands.h"
#include "commands/ControllerCommands.h"
#include "common.h"

namespace {

using kivtest::HttpRequest;
using kivtest::HttpResponse;

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(ControllerAddresses, HostsPortsAndIPv6AreAcceptedAndNothingElse) {
    std::string host;
    struct Case {
        const char* address;
        const char* urlHost;
    } good[] = {
        {"192.168.1.50", "192.168.1.50"},
        {"192.168.1.50:8080", "192.168.1.50:8080"},
        {"wled-porch.local", "wled-porch.local"},
        {"fe80::1", "[fe80::1]"},
        {"[::1]", "[::1]"},
        {"[::1]:81", "[::1]:81"},
    };
    for (const auto& c : good) {
        EXPECT_TRUE(ControllerAddressToURLHost(c.address, host)) << c.address;
        EXPECT_EQ(host, c.urlHost);
    }
    for (const char* bad : {"", "http://10.0.0.1", "10.0.0.1/admin", "user@10.0.0.1", "10.0.0.1:0", "10.0.0.1:65536",
                            "10.0.0.1:http", "-x", ".local", "a b", "[::1", "[::1]x", "[zz::1]", "10.0.0.1:80:1x",
                            "host?x=1", "host#frag"}) {
        EXPECT_FALSE(ControllerAddressToURLHost(bad, host)) << bad;
    }
}

TEST(DetectControllers, OneRecordPerAddressInOrderWithAClearErrorEach) {
    kivtest::HttpTestServer wled("127.0.0.1", 0, [](const HttpRequest& r) {
        if (r.url == "/") return HttpResponse{200, "<html>WLED UI</html>", "text/html"};
        if (r.url == "/json/info") return HttpResponse{200, R"({"ver": "0.14.0", "arch": "esp8266"})", "application/json"};
        return HttpResponse{404, "", "text/plain"};
    });
    kivtest::HttpTestServer plain("127.0.0.1", 0, [](const HttpRequest&) {
        return HttpResponse{200, "<html><body>A printer</body></html>", "text/html"};
    });
    kivtest::HttpTestServer missing("127.0.0.1", 0, [](const HttpRequest&) {
        return HttpResponse{404, "gone", "text/plain"};
    });
    // 50 MB pages, announced by their length or not.
    const size_t huge = 50 * 1024 * 1024;
    kivtest::BulkHttpServer big(huge, true);
    kivtest::BulkHttpServer endless(huge, false);
    kivtest::SilentTcpListener silent;
    ASSERT_TRUE(wled.ok() && plain.ok() && missing.ok() && big.ok() && endless.ok() && silent.ok());
    auto at = [](uint16_t port) { return "127.0.0.1:" + std::to_string(port); };
    std::vector<std::string> addresses = {at(wled.port()),    at(kivtest::closedLoopbackPort()), at(silent.port()),
                                          at(plain.port()),   at(missing.port()),               at(big.port()),
                                          "not an address!",  at(endless.port())};
    auto start = std::chrono::steady_clock::now();
    Json::Value out = DetectControllers(addresses);
    double seconds = secondsSince(start);
    ASSERT_EQ(out.size(), addresses.size());
    for (unsigned i = 0; i < out.size(); ++i) EXPECT_EQ(out[i]["address"].asString(), addresses[i]);
    EXPECT_EQ(out[0]["vendor"].asString(), "WLED");
    EXPECT_EQ(out[0]["model"].asString(), "esp8266");
    EXPECT_EQ(out[0]["version"].asString(), "0.14.0");
    EXPECT_EQ(out[0]["typeId"].asInt(), 251);
    EXPECT_EQ(out[0]["mode"].asString(), "player");
    EXPECT_EQ(out[0]["ranges"].asString(), "0-0");
    EXPECT_FALSE(out[0].isMember("error"));
    EXPECT_EQ(out[1]["error"].asString().rfind("No answer: ", 0), 0u) << out[1];
    EXPECT_EQ(out[2]["error"].asString(), "No answer: Timeout was reached") << out[2];
    EXPECT_EQ(out[3]["error"].asString(), "Not a known controller");
    EXPECT_EQ(out[4]["error"].asString(), "No answer: HTTP status 404");
    EXPECT_EQ(out[5]["error"].asString(), "No answer: answer larger than 2097152 bytes");
    EXPECT_EQ(out[6]["error"].asString(), "Not a valid address");
    EXPECT_EQ(out[7]["error"].asString(), "No answer: answer larger than 2097152 bytes");
    // The page stops being read at the bound, it is not fetched whole.
    EXPECT_LT(endless.sent(), huge / 2);
    // Addresses are handled side by side: the silent one costs its time-out once.
    EXPECT_LT(seconds, 30.0);
}

TEST(DetectControllers, SilentAddressesAreWaitedForSideBySide) {
    std::vector<std::unique_ptr<kivtest::SilentTcpListener>> silent;
    std::vector<std::string> addresses;
    for (int i = 0; i < 8; ++i) {
        silent.emplace_back(new kivtest::SilentTcpListener());
        addresses.push_back("127.0.0.1:" + std::to_string(silent.back()->port()));
    }
    auto start = std::chrono::steady_clock::now();
    Json::Value out = DetectControllers(addresses);
    double seconds = secondsSince(start);
    ASSERT_EQ(out.size(), 8u);
    for (auto& r : out) EXPECT_EQ(r["error"].asString(), "No answer: Timeout was reached");
    // Eight 4-second time-outs one after another would take 32 s.
    EXPECT_LT(seconds, 20.0);
}

class DetectControllerCommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        CommandManager::INSTANCE.Init();
        RegisterControllerCommands();
    }
    void TearDown() override { CommandManager::INSTANCE.Cleanup(); }
    kivtest::TempMediaDir media;
};

TEST_F(DetectControllerCommandTest, CommaSeparatedAddressesAnswerAJsonArray) {
    kivtest::HttpTestServer hinks("127.0.0.1", 0, [](const HttpRequest&) {
        return HttpResponse{200, "<title>HinksPix Config</title>", "text/html"};
    });
    std::string a = "127.0.0.1:" + std::to_string(hinks.port());
    auto r = CommandManager::INSTANCE.run("Detect Controller", {" " + a + " , " + a + ",", a});
    ASSERT_FALSE(r->isError()) << r->get();
    EXPECT_EQ(r->contentType(), "application/json");
    Json::Value out = LoadJsonFromString(r->get());
    ASSERT_TRUE(out.isArray());
    ASSERT_EQ(out.size(), 3u);
    for (auto& rec : out) {
        EXPECT_EQ(rec["address"].asString(), a);
        EXPECT_EQ(rec["model"].asString(), "HinksPix");
        EXPECT_EQ(rec["vendor"].asString(), "HolidayCoro");
    }
    EXPECT_TRUE(CommandManager::INSTANCE.getCommand("Detect Controller")->runsLong());
}

TEST_F(DetectControllerCommandTest, NoAddressOrTooManyIsAnError) {
    auto r = CommandManager::INSTANCE.run("Detect Controller", {});
    EXPECT_TRUE(r->isError());
    EXPECT_EQ(r->get(), "Detect Controller needs at least one address");
    r = CommandManager::INSTANCE.run("Detect Controller", {" , "});
    EXPECT_TRUE(r->isError());
    std::string many;
    for (int i = 0; i < 65; ++i) many += "10.0.0." + std::to_string(i) + ",";
    r = CommandManager::INSTANCE.run("Detect Controller", {many});
    EXPECT_TRUE(r->isError());
    EXPECT_EQ(r->get(), "Detect Controller takes at most 64 addresses at a time");
}

}  // namespace
