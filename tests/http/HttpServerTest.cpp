#include "http/HttpServer.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "HttpClient.h"
#include "TestSupport.h"
#include "common.h"

using httpserver::http_request;
using httpserver::http_resource;
using httpserver::http_response;
using httpserver::string_response;
using kivtest::httpGet;
using kivtest::httpRequest;

namespace {

// Answers with what it saw, so tests can check what reached the resource.
class EchoResource : public http_resource {
public:
    std::shared_ptr<http_response> render_GET(const http_request& req) override {
        Json::Value v;
        v["verb"] = "GET";
        v["path"] = req.get_path();
        for (auto& p : req.get_path_pieces()) v["pieces"].append(p);
        v["arg"] = req.get_arg("x");
        v["header"] = req.get_header("x-test");
        v["requestor"] = req.get_requestor();
        char name[32] = "";
        pthread_getname_np(pthread_self(), name, sizeof(name));
        v["thread"] = name;
        return std::make_shared<string_response>(SaveJsonToString(v), 200, "application/json");
    }
    std::shared_ptr<http_response> render_POST(const http_request& req) override {
        return std::make_shared<string_response>("posted:" + req.get_content(), 201, "text/plain");
    }
};

// Takes bodies of up to 100000 bytes, more than the server's limit.
class UploadResource : public EchoResource {
public:
    HttpAccess access(const http_request&) override { return HttpAccess::Change(100000); }
};

class FixedResource : public http_resource {
public:
    explicit FixedResource(const std::string& text) : m_text(text) {}
    std::shared_ptr<http_response> render_GET(const http_request&) override {
        return std::make_shared<string_response>(m_text);
    }

private:
    std::string m_text;
};

// Holds its first render until released, to catch a request in flight;
// later requests pass at once.
class GateResource : public http_resource {
public:
    std::shared_ptr<http_response> render_GET(const http_request&) override {
        std::unique_lock<std::mutex> lock(m_lock);
        if (m_entered) return std::make_shared<string_response>("later");
        m_entered = true;
        m_cv.notify_all();
        m_cv.wait(lock, [this] { return m_open; });
        return std::make_shared<string_response>("through");
    }
    void waitEntered() {
        std::unique_lock<std::mutex> lock(m_lock);
        m_cv.wait_for(lock, std::chrono::seconds(20), [this] { return m_entered; });
    }
    bool entered() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_entered;
    }
    void open() {
        std::lock_guard<std::mutex> lock(m_lock);
        m_open = true;
        m_cv.notify_all();
    }

private:
    std::mutex m_lock;
    std::condition_variable m_cv;
    bool m_entered = false;
    bool m_open = false;
};

class HttpServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        HttpServer::Options o;
        o.port = 0;
        o.maxBodyBytes = 1024;
        ASSERT_TRUE(server.Start(o)) << server.LastError();
        ASSERT_GT(server.Port(), 0);
    }
    std::string url(const std::string& path) { return "http://127.0.0.1:" + std::to_string(server.Port()) + path; }

    HttpServer server;
};

}  // namespace

TEST_F(HttpServerTest, RendersTheMethodOfTheVerbWithPathArgsAndHeaders) {
    EchoResource echo;
    ASSERT_TRUE(server.RegisterResource("/kivd/echo", &echo, true));

    auto r = httpGet(url("/kivd/echo/a/b?x=1%202"), {"X-Test: hello"});
    ASSERT_EQ(r.status, 200) << r.error;
    EXPECT_EQ(r.header("content-type"), "application/json");
    Json::Value v = LoadJsonFromString(r.body);
    EXPECT_EQ(v["verb"].asString(), "GET");
    EXPECT_EQ(v["path"].asString(), "/kivd/echo/a/b");
    ASSERT_EQ(v["pieces"].size(), 4u);
    EXPECT_EQ(v["pieces"][0].asString(), "kivd");
    EXPECT_EQ(v["pieces"][3].asString(), "b");
    EXPECT_EQ(v["arg"].asString(), "1 2");
    EXPECT_EQ(v["header"].asString(), "hello");
    EXPECT_EQ(v["requestor"].asString(), "127.0.0.1");
    EXPECT_EQ(v["thread"].asString(), "KIV-HTTP");

    auto p = httpRequest("POST", url("/kivd/echo"), "abc", {kivtest::JSON_TYPE});
    EXPECT_EQ(p.status, 201);
    EXPECT_EQ(p.body, "posted:abc");

    auto h = httpRequest("HEAD", url("/kivd/echo"));
    EXPECT_EQ(h.status, 200);
    EXPECT_EQ(h.body, "");

    auto d = httpRequest("DELETE", url("/kivd/echo"), "", {kivtest::JSON_TYPE});
    EXPECT_EQ(d.status, 405);
    EXPECT_EQ(d.header("content-type"), "application/json");
    EXPECT_TRUE(LoadJsonFromString(d.body)["error"].isString()) << d.body;
    server.UnregisterResource("/kivd/echo");
}

TEST_F(HttpServerTest, ExactMountsWinOverFamiliesAndNothingElseIsServed) {
    FixedResource family("family"), exact("exact"), single("single");
    ASSERT_TRUE(server.RegisterResource("/kivd", &family, true));
    ASSERT_TRUE(server.RegisterResource("/kivd/ports/list", &exact));
    ASSERT_TRUE(server.RegisterResource("/only", &single));

    EXPECT_EQ(httpGet(url("/kivd")).body, "family");
    EXPECT_EQ(httpGet(url("/kivd/ports")).body, "family");
    EXPECT_EQ(httpGet(url("/kivd/ports/list")).body, "exact");
    EXPECT_EQ(httpGet(url("/kivd/ports/list/")).body, "exact");
    EXPECT_EQ(httpGet(url("/kivd/ports/list/more")).body, "family");
    EXPECT_EQ(httpGet(url("/only")).body, "single");

    // Not below a family, not an exact mount: 404 with a JSON error.
    for (const char* path : {"/only/below", "/kivdx", "/", "/nothing/here"}) {
        auto r = httpGet(url(path));
        EXPECT_EQ(r.status, 404) << path;
        EXPECT_EQ(r.header("content-type"), "application/json") << path;
        EXPECT_NE(LoadJsonFromString(r.body)["error"].asString().find("Not found"), std::string::npos) << r.body;
    }
    server.UnregisterResource("/kivd");
    server.UnregisterResource("/kivd/ports/list");
    server.UnregisterResource("/only");
    EXPECT_EQ(httpGet(url("/kivd/ports/list")).status, 404);
}

TEST_F(HttpServerTest, RefusesMalformedAndTakenMountPaths) {
    FixedResource a("a"), b("b");
    EXPECT_TRUE(server.RegisterResource("/x", &a));
    EXPECT_FALSE(server.RegisterResource("/x/", &b));
    EXPECT_FALSE(server.RegisterResource("x", &b));
    EXPECT_FALSE(server.RegisterResource("/a/../b", &b));
    EXPECT_FALSE(server.RegisterResource("/y", nullptr));
    EXPECT_EQ(httpGet(url("/x")).body, "a");
    server.UnregisterResource("/x");
    EXPECT_TRUE(server.RegisterResource("/x", &b));
    EXPECT_EQ(httpGet(url("/x")).body, "b");
    server.UnregisterResource("/x");
}

TEST_F(HttpServerTest, BodiesOverTheLimitGet413AndTheServerGoesOn) {
    EchoResource echo;
    ASSERT_TRUE(server.RegisterResource("/echo", &echo));
    std::string big(5000, 'x');

    auto r = httpRequest("POST", url("/echo"), big, {kivtest::JSON_TYPE});
    EXPECT_EQ(r.status, 413) << r.error;
    EXPECT_NE(LoadJsonFromString(r.body)["error"].asString().find("1024"), std::string::npos) << r.body;

    // Without a length announced the body is read, dropped and refused.
    auto chunked = httpRequest("POST", url("/echo"), big, {"Transfer-Encoding: chunked", kivtest::JSON_TYPE});
    EXPECT_EQ(chunked.status, 413) << chunked.error;

    auto ok = httpRequest("POST", url("/echo"), std::string(1024, 'y'), {kivtest::JSON_TYPE});
    EXPECT_EQ(ok.status, 201);
    EXPECT_EQ(ok.body.size(), 7u + 1024u);

    // A resource may take more.
    UploadResource upload;
    ASSERT_TRUE(server.RegisterResource("/upload", &upload));
    EXPECT_EQ(httpRequest("POST", url("/upload"), big, {kivtest::JSON_TYPE}).status, 201);
    auto over = httpRequest("POST", url("/upload"), std::string(100001, 'z'), {kivtest::JSON_TYPE});
    EXPECT_EQ(over.status, 413);
    EXPECT_NE(over.body.find("100000"), std::string::npos) << over.body;
    server.UnregisterResource("/upload");
    server.UnregisterResource("/echo");
}

TEST_F(HttpServerTest, RequestsThatCreepInMakeRoomForNewOnes) {
    kivtest::LogCapture log;
    FixedResource fixed("here");
    ASSERT_TRUE(server.RegisterResource("/x", &fixed));
    // More connections than the server holds, from five addresses (as many
    // as one address may hold), each with a request line it never finishes.
    std::vector<int> creeping;
    for (int i = 0; i < 80; ++i) {
        int fd = kivtest::connectFrom("127.0.0." + std::to_string(2 + i / 16), "127.0.0.1", server.Port());
        ASSERT_GE(fd, 0);
        ASSERT_EQ(send(fd, "GET /x HT", 9, MSG_NOSIGNAL), 9);
        creeping.push_back(fd);
    }
    // Once they have had time to send their requests, a newcomer takes the
    // place of the oldest.
    usleep((HttpLimits::UNFINISHED_GRACE_MS + 200) * 1000);
    auto open = [&] {
        return std::count_if(creeping.begin(), creeping.end(), [](int fd) { return !kivtest::closedByPeer(fd); });
    };
    // No more than the allowance waits on.
    EXPECT_TRUE(kivtest::waitUntil([&] { return open() <= (long)HttpLimits::UNFINISHED_REQUESTS; }, 10000)) << open();
    long held = open();
    auto r = httpGet(url("/x"));
    EXPECT_EQ(r.status, 200) << r.error;
    EXPECT_EQ(r.body, "here");
    EXPECT_TRUE(kivtest::waitUntil([&] { return open() < held; }, 10000)) << "one made room";
    for (int fd : creeping) close(fd);
    // Counted, not logged one by one.
    EXPECT_GT(server.Refused().tooSlow, 0);
    EXPECT_FALSE(log.contains("came too slowly")) << log.text();
    server.UnregisterResource("/x");
}

TEST(HttpServerToken, ResourcesNeedTheTokenUnlessMountedWithout) {
    HttpServer server;
    HttpServer::Options o;
    o.accessToken = "s3cret";
    ASSERT_TRUE(server.Start(o));
    FixedResource guarded("guarded"), open("open");
    server.RegisterResource("/guarded", &guarded);
    server.RegisterResource("/open", &open, false, false);
    std::string base = "http://127.0.0.1:" + std::to_string(server.Port());

    auto none = httpGet(base + "/guarded");
    EXPECT_EQ(none.status, 401);
    EXPECT_EQ(none.header("www-authenticate"), "Bearer");
    EXPECT_TRUE(LoadJsonFromString(none.body)["error"].isString());
    EXPECT_EQ(httpGet(base + "/guarded", {"Authorization: Bearer s3cre"}).status, 401);
    EXPECT_EQ(httpGet(base + "/guarded", {"Authorization: Bearer s3cret2"}).status, 401);
    EXPECT_EQ(httpGet(base + "/guarded", {"Authorization: Basic s3cret"}).status, 401);
    auto good = httpGet(base + "/guarded", {"Authorization: Bearer s3cret"});
    EXPECT_EQ(good.status, 200);
    EXPECT_EQ(good.body, "guarded");
    EXPECT_EQ(httpGet(base + "/open").body, "open");
    server.Stop();
    server.UnregisterResource("/guarded");
    server.UnregisterResource("/open");
}

TEST(HttpServerStatic, ServesPageFilesOfTheFolderOnly) {
    kivtest::TempMediaDir dir;
    std::string www = dir.path() + "/www";
    mkdir(www.c_str(), 0755);
    mkdir((www + "/sub").c_str(), 0755);
    PutFileContents(www + "/index.html", "<html>home</html>");
    PutFileContents(www + "/app.js", "var x = 1;");
    PutFileContents(www + "/sub/index.html", "sub page");
    PutFileContents(www + "/data.json", "[]");
    PutFileContents(www + "/.hidden.html", "hidden");
    PutFileContents(dir.path() + "/secret.html", "outside");

    HttpServer server;
    HttpServer::Options o;
    o.accessToken = "t";  // static pages never ask for it
    ASSERT_TRUE(server.Start(o));
    ASSERT_TRUE(server.AddStaticDirectory("/", www));
    std::string base = "http://127.0.0.1:" + std::to_string(server.Port());

    auto home = httpGet(base + "/");
    EXPECT_EQ(home.status, 200);
    EXPECT_EQ(home.body, "<html>home</html>");
    EXPECT_EQ(home.header("content-type"), "text/html; charset=utf-8");
    auto js = httpGet(base + "/app.js");
    EXPECT_EQ(js.body, "var x = 1;");
    EXPECT_EQ(js.header("content-type"), "text/javascript; charset=utf-8");
    EXPECT_EQ(httpGet(base + "/sub/").body, "sub page");
    auto redirect = httpGet(base + "/sub");
    EXPECT_EQ(redirect.status, 301);
    EXPECT_EQ(redirect.header("location"), "/sub/");

    for (const char* path : {"/data.json", "/.hidden.html", "/../secret.html", "/sub/../../secret.html",
                             "/missing.html", "/%2e%2e/secret.html"}) {
        auto r = httpGet(base + path);
        EXPECT_EQ(r.status, 404) << path << " " << r.body;
        EXPECT_EQ(r.body.find("outside"), std::string::npos) << path;
    }
    auto post = httpRequest("POST", base + "/index.html", "x");
    EXPECT_EQ(post.status, 405);
    EXPECT_EQ(post.header("allow"), "GET, HEAD");

    // A resource mounted below the folder's prefix wins over the files.
    FixedResource r("resource");
    server.RegisterResource("/app.js", &r, false, false);
    EXPECT_EQ(httpGet(base + "/app.js").body, "resource");
    server.UnregisterResource("/app.js");
    server.Stop();
}

// What a client gets for requests no browser sends. Those the server
// reads itself answer {"error": ...}; heads too large or malformed for
// libmicrohttpd to hand over get its own HTML answer (docs/http-api.md),
// counted and summed up in one line of log.
TEST(HttpServerEdges, RequestsNoBrowserSendsGetTheirDocumentedAnswersAndOneLineOfLog) {
    kivtest::LogCapture log;
    kivtest::TempMediaDir dir;
    PutFileContents(dir.path() + "/index.html", "<html>home</html>");
    HttpServer server;
    ASSERT_TRUE(server.Start(HttpServer::Options()));
    ASSERT_TRUE(server.AddStaticDirectory("/", dir.path()));
    const std::string host = "Host: 127.0.0.1\r\nConnection: close\r\n";
    auto get = [&](const std::string& target, const std::string& headers = "") {
        return "GET " + target + " HTTP/1.1\r\n" + host + headers + "\r\n";
    };
    auto fields = [](int n) {
        std::string s;
        for (int i = 0; i < n; ++i) s += "X-" + std::to_string(i) + ": 1\r\n";
        return s;
    };
    const char *page = "text/html; charset=utf-8", *json = "application/json", *library = "";
    struct Case {
        const char* name;
        std::string request;
        long status;
        const char* type;  // libmicrohttpd's own answers have none
    } cases[] = {
        {"the page", get("/index.html"), 200, page},
        {"escaped NUL before an extension", get("/index.html%00.txt"), 400, json},
        {"escaped NUL at the end", get("/index.html%00"), 400, json},
        {"NUL byte before an extension", get(std::string("/index.html\0.txt", 15)), 400, json},
        {"escaped NUL in the query", get("/index.html?a=%00"), 400, json},
        {"target over 8 KiB", get("/" + std::string(9000, 'a')), 414, json},
        {"head over 8 KiB", get("/index.html", "X-Big: " + std::string(9000, 'b') + "\r\n"), 431, json},
        {"over 100 fields", get("/index.html", fields(150)), 431, json},
        {"a 100 KB request line", get("/" + std::string(100000, 'a')), 414, library},
        {"a 1 MB header", get("/index.html", "X-Big: " + std::string(1 << 20, 'b') + "\r\n"), 431, library},
        {"10,000 headers", get("/index.html", fields(10000)), 431, library},
        {"negative length", "POST /index.html HTTP/1.1\r\n" + host + "Content-Length: -1\r\n\r\n", 400, library},
        {"bad chunk", "POST /index.html HTTP/1.1\r\n" + host + "Transfer-Encoding: chunked\r\n\r\nzz\r\n", 400,
         library},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto r = kivtest::rawRequest("127.0.0.1", server.Port(), c.request);
        EXPECT_EQ(r.status, c.status) << r.error << " " << r.body.substr(0, 200);
        EXPECT_EQ(r.header("content-type"), c.type);
        EXPECT_TRUE(c.type == json ? LoadJsonFromString(r.body)["error"].isString()
                                   : r.body.find("<html>") != std::string::npos)
            << r.body.substr(0, 200);
    }
    EXPECT_FALSE(log.contains("libmicrohttpd:")) << log.text();
    EXPECT_EQ(server.Refused().byLibrary, (std::map<int, long>{{400, 2}, {414, 1}, {431, 2}}));
    server.ReportRefusals();
    server.ReportRefusals();  // nothing since: nothing said
    EXPECT_EQ(log.count("HTTP in the last minute:"), 1) << log.text();
    EXPECT_TRUE(log.contains("libmicrohttpd refused 5 request(s) (400: 2, 414: 1, 431: 2)")) << log.text();
    server.Stop();
}

TEST_F(HttpServerTest, UnregisterWaitsForTheRequestInsideTheResource) {
    GateResource gate;
    ASSERT_TRUE(server.RegisterResource("/gate", &gate));
    auto pending = std::async(std::launch::async, [&] { return httpGet(url("/gate")); });
    gate.waitEntered();
    ASSERT_TRUE(gate.entered());

    std::atomic<bool> unregistered{false};
    std::thread t([&] {
        server.UnregisterResource("/gate");
        unregistered = true;
    });
    // Taken down for new requests at once, but the call waits for the render.
    EXPECT_TRUE(kivtest::waitUntil([&] { return httpGet(url("/gate")).status == 404; }, 10000));
    usleep(100000);
    EXPECT_FALSE(unregistered.load());
    gate.open();
    t.join();
    EXPECT_TRUE(unregistered.load());
    EXPECT_EQ(pending.get().body, "through");
}

TEST_F(HttpServerTest, StopLetsTheRequestInProgressFinish) {
    GateResource gate;
    ASSERT_TRUE(server.RegisterResource("/gate", &gate));
    int port = server.Port();
    auto pending = std::async(std::launch::async, [&] { return httpGet(url("/gate")); });
    gate.waitEntered();
    std::thread stopper([&] { server.Stop(); });
    usleep(200000);
    gate.open();
    stopper.join();
    auto r = pending.get();
    EXPECT_EQ(r.status, 200) << r.error;
    EXPECT_EQ(r.body, "through");
    EXPECT_FALSE(server.IsRunning());
    auto after = httpGet("http://127.0.0.1:" + std::to_string(port) + "/gate");
    EXPECT_EQ(after.status, 0);
    server.UnregisterResource("/gate");
}

TEST(HttpServerStart, ReportsWhyItCannotListen) {
    kivtest::LogCapture log;
    HttpServer first;
    HttpServer::Options o;
    ASSERT_TRUE(first.Start(o));
    // A clean start says nothing from libmicrohttpd (which complains, for
    // one, when its logger is not the first option).
    EXPECT_FALSE(log.contains("libmicrohttpd:")) << log.text();

    HttpServer second;
    o.port = first.Port();
    EXPECT_FALSE(second.Start(o));
    EXPECT_EQ(second.LastError(), "Address already in use");
    EXPECT_FALSE(second.IsRunning());

    o.address = "localhost-by-name";
    EXPECT_FALSE(second.Start(o));
    EXPECT_NE(second.LastError().find("not a numeric IP address"), std::string::npos);

    o.address = "::1";
    o.port = 0;
    if (second.Start(o)) {
        FixedResource six("six");
        second.RegisterResource("/six", &six);
        EXPECT_EQ(httpGet("http://[::1]:" + std::to_string(second.Port()) + "/six").body, "six");
        second.Stop();
        second.UnregisterResource("/six");
    }
    first.Stop();
    // A stopped server starts again.
    o.address = "127.0.0.1";
    EXPECT_TRUE(first.Start(o));
    first.Stop();
}
