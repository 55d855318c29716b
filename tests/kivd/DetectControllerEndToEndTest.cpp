#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "HttpClient.h"
#include "HttpTestServer.h"
#include "KivdProcess.h"
#include "TestSupport.h"
#include "common.h"

namespace {

using kivtest::HttpRequest;
using kivtest::HttpResponse;

TEST(DetectControllerEndToEnd, ClientGetsARecordPerAddressAndTheMainLoopKeepsAnswering) {
    kivtest::TempMediaDir media;
    // A WLED device that takes its time over its start page.
    std::atomic<bool> pageAsked{false};
    kivtest::HttpTestServer wled("127.0.0.1", 0, [&](const HttpRequest& r) {
        if (r.url == "/json/info") return HttpResponse{200, R"({"ver": "0.15.0", "arch": "esp32"})", "application/json"};
        pageAsked = true;
        usleep(1500000);
        return HttpResponse{200, "<html><body>WLED UI</body></html>", "text/html"};
    });
    kivtest::HttpTestServer hinks("127.0.0.1", 0, [](const HttpRequest&) {
        return HttpResponse{200, "<title>HinksPix Config</title>", "text/html"};
    });
    kivtest::SilentTcpListener silent;
    ASSERT_TRUE(wled.ok() && hinks.ok() && silent.ok());
    kivtest::KivdProcess d(media.path());
    ASSERT_TRUE(d.start({"-f"}));
    ASSERT_TRUE(d.waitReady());

    std::string addresses = "127.0.0.1:" + std::to_string(wled.port()) + ",127.0.0.1:" + std::to_string(hinks.port()) +
                            ", 127.0.0.1:" + std::to_string(silent.port());
    std::string out;
    int rc = -1;
    std::atomic<bool> answered{false};
    std::thread client([&] {
        rc = d.command({"Detect Controller", addresses}, &out, 30);
        answered = true;
    });
    ASSERT_TRUE(kivtest::waitUntil([&] { return pageAsked.load(); }, 10000));
    // While detection waits on the devices, other commands are answered.
    std::string status;
    EXPECT_EQ(d.command({"Get Status"}, &status, 3), 0);
    EXPECT_FALSE(answered);
    client.join();

    EXPECT_EQ(rc, 0) << out;
    Json::Value records = LoadJsonFromString(out);
    ASSERT_TRUE(records.isArray()) << out;
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0]["vendor"].asString(), "WLED");
    EXPECT_EQ(records[0]["version"].asString(), "0.15.0");
    EXPECT_EQ(records[0]["model"].asString(), "esp32");
    EXPECT_EQ(records[1]["model"].asString(), "HinksPix");
    EXPECT_EQ(records[2]["address"].asString(), "127.0.0.1:" + std::to_string(silent.port()));
    EXPECT_EQ(records[2]["error"].asString(), "No answer: Timeout was reached");
    // Only the addresses given were contacted, each once for its page.
    EXPECT_EQ(hinks.requestCount(), 1u);
    EXPECT_EQ(wled.requestCount(), 2u);

    EXPECT_EQ(d.command({"Detect Controller"}, &out), 1);
    EXPECT_EQ(out, "Detect Controller needs at least one address\n");
    EXPECT_EQ(d.stop(SIGTERM), 0);
}

// From a browser or a script: the same records over the HTTP interface,
// and the status page still answers while a detection waits on a device.
TEST(DetectControllerEndToEnd, TheHttpInterfaceRunsItToo) {
    kivtest::TempMediaDir media;
    std::atomic<bool> asked{false};
    kivtest::HttpTestServer wled("127.0.0.1", 0, [&](const HttpRequest& r) {
        if (r.url == "/json/info") return HttpResponse{200, R"({"ver": "0.14.2", "arch": "esp8266"})", "application/json"};
        asked = true;
        usleep(1500000);
        return HttpResponse{200, "<html><body>WLED UI</body></html>", "text/html"};
    });
    ASSERT_TRUE(wled.ok());
    kivtest::KivdProcess d(media.path());
    ASSERT_TRUE(d.start({"-f"}));
    ASSERT_TRUE(d.waitReady());

    kivtest::HttpResult r;
    std::thread client([&] {
        r = kivtest::httpRequest("POST", d.httpUrl("/kivd/command"),
                                 R"({"command": "Detect Controller", "args": ["127.0.0.1:)" +
                                     std::to_string(wled.port()) + R"("]})",
                                 {kivtest::JSON_TYPE});
    });
    ASSERT_TRUE(kivtest::waitUntil([&] { return asked.load(); }, 10000));
    EXPECT_EQ(kivtest::httpGet(d.httpUrl("/kivd/status")).status, 200);
    client.join();
    ASSERT_EQ(r.status, 200) << r.body << r.error;
    Json::Value records = LoadJsonFromString(r.body);
    ASSERT_EQ(records.size(), 1u) << r.body;
    EXPECT_EQ(records[0]["vendor"].asString(), "WLED");
    EXPECT_EQ(records[0]["version"].asString(), "0.14.2");

    r = kivtest::httpRequest("POST", d.httpUrl("/kivd/command"), R"({"command": "Detect Controller"})",
                             {kivtest::JSON_TYPE});
    EXPECT_EQ(r.status, 422) << r.body;
    EXPECT_NE(r.body.find("Detect Controller needs at least one address"), std::string::npos) << r.body;
    EXPECT_EQ(d.stop(SIGTERM), 0);
}

}  // namespace
