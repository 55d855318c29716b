#include <gtest/gtest.h>

#include "HttpTestServer.h"
#include "TestSupport.h"
#include "common.h"
#include "services/CurlManager.h"

namespace {

TEST(CurlManager, CompletesQueuedRequestsWithStatusBodyAndHeaders) {
    kivtest::HttpTestServer server("127.0.0.1", 0, [](const kivtest::HttpRequest& r) {
        kivtest::HttpResponse resp;
        if (r.url == "/missing") resp.status = 404;
        resp.body = "{\"method\": \"" + r.method + "\", \"token\": \"" + r.header("x-auth-token") + "\"}";
        return resp;
    });
    ASSERT_TRUE(server.ok());
    std::string base = "http://127.0.0.1:" + std::to_string(server.port());
    int getCode = -1, postCode = -1, missingCode = -1;
    std::string getBody, postBody;
    CurlManager::INSTANCE.add(base + "/xled/v1/verify", "GET", "", {"X-Auth-Token: abc"},
                              [&](int code, const std::string& body) {
                                  getCode = code;
                                  getBody = body;
                              });
    CurlManager::INSTANCE.add(base + "/post", "POST", "{\"a\": 1}", {"Content-Type: application/json"},
                              [&](int code, const std::string& body) {
                                  postCode = code;
                                  postBody = body;
                              });
    CurlManager::INSTANCE.add(base + "/missing", "GET", "", {}, [&](int code, const std::string&) { missingCode = code; });
    EXPECT_TRUE(CurlManager::INSTANCE.hasPending());
    CurlManager::INSTANCE.processAll(10000);
    EXPECT_FALSE(CurlManager::INSTANCE.hasPending());
    EXPECT_EQ(getCode, 200);
    EXPECT_EQ(LoadJsonFromString(getBody)["token"].asString(), "abc");
    EXPECT_EQ(postCode, 200);
    EXPECT_EQ(LoadJsonFromString(postBody)["method"].asString(), "POST");
    EXPECT_EQ(missingCode, 404);
    auto reqs = server.requests();
    bool sawBody = false;
    for (auto& r : reqs) sawBody |= (r.method == "POST" && r.body == "{\"a\": 1}");
    EXPECT_TRUE(sawBody);
}

TEST(CurlManager, RefusedConnectionReportsCodeZero) {
    // A port nothing listens on: the transfer fails rather than hangs.
    int code = -1;
    CurlManager::INSTANCE.add("http://127.0.0.1:9/", "GET", "", {}, [&](int c, const std::string&) { code = c; }, 2000);
    CurlManager::INSTANCE.processAll(5000);
    EXPECT_EQ(code, 0);
}

TEST(CurlManager, CallbackMayQueueAnotherRequest) {
    kivtest::HttpTestServer server("127.0.0.1", 0, [](const kivtest::HttpRequest&) { return kivtest::HttpResponse{}; });
    std::string base = "http://127.0.0.1:" + std::to_string(server.port());
    int second = -1;
    CurlManager::INSTANCE.add(base + "/one", "GET", "", {}, [&](int, const std::string&) {
        CurlManager::INSTANCE.add(base + "/two", "GET", "", {}, [&](int c, const std::string&) { second = c; });
    });
    CurlManager::INSTANCE.processAll(10000);
    EXPECT_EQ(second, 200);
    EXPECT_EQ(server.requestCount(), 2u);
}

TEST(HttpHelpers, SynchronousGetAndPost) {
    kivtest::HttpTestServer server("127.0.0.1", 0, [](const kivtest::HttpRequest& r) {
        kivtest::HttpResponse resp;
        resp.body = r.method + ":" + r.body + ":" + r.header("accept");
        return resp;
    });
    std::string base = "http://127.0.0.1:" + std::to_string(server.port());
    std::string resp;
    EXPECT_TRUE(urlGet(base + "/a", resp));
    EXPECT_EQ(resp, "GET::application/json");
    EXPECT_TRUE(urlPost(base + "/b", "{}", resp));
    EXPECT_EQ(resp, "POST:{}:application/json");
    EXPECT_TRUE(urlDelete(base + "/c", "", resp));
    EXPECT_EQ(resp.substr(0, 7), "DELETE:");
    kivtest::LogCapture log;
    EXPECT_FALSE(urlGet("http://127.0.0.1:9/", resp));
    EXPECT_TRUE(log.contains("curl_easy_perform() failed (http://127.0.0.1:9/)"));
}

}  // namespace
