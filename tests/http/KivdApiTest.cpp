#include "http/KivdApi.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>

#include "HttpClient.h"
#include "OutputMonitor.h"
#include "Scheduler.h"
#include "TestSupport.h"
#include "Warnings.h"
#include "commands/Commands.h"
#include "commands/DaemonCommands.h"
#include "common.h"
#include "http/HttpServer.h"
#include "playlist/Player.h"
#include "settings.h"

using kivtest::httpGet;
using kivtest::httpRequest;

namespace {

// Records the arguments it runs with; fails when the first one is "fail".
class EchoCommand : public Command {
public:
    EchoCommand() : Command("Test Echo") {}
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        std::lock_guard<std::mutex> lock(seenLock);
        seen = a;
        if (!a.empty() && a[0] == "fail") return std::make_unique<ErrorResult>("Echo was told to fail");
        return std::make_unique<Result>("echo:" + std::to_string(a.size()));
    }
    static std::mutex seenLock;
    static std::vector<std::string> seen;
};
std::mutex EchoCommand::seenLock;
std::vector<std::string> EchoCommand::seen;

// Counts its runs: stands in for the pixel-count tester's commands.
class CountingCommand : public Command {
public:
    explicit CountingCommand(const std::string& name) : Command(name) {}
    std::unique_ptr<Result> run(const std::vector<std::string>&) override {
        ++runs;
        return std::make_unique<Result>("OK");
    }
    std::atomic<int> runs{0};
};

class KivdApiTest : public ::testing::Test {
protected:
    void SetUp() override {
        ClearSettings();
        CommandManager::INSTANCE.Init();
        RegisterDaemonCommands();
        Player::INSTANCE.Init();
        CommandManager::INSTANCE.addCommand(new EchoCommand());
        scheduler = new Scheduler();
        HttpServer::Options o;
        o.maxBodyBytes = KivdApi::MAX_COMMAND_BYTES;
        ASSERT_TRUE(server.Start(o));
        KivdApi::Register(server);
    }
    void TearDown() override {
        KivdApi::Unregister(server);
        server.Stop();
        delete scheduler;
        scheduler = nullptr;
        CommandManager::INSTANCE.Cleanup();
        ClearSettings();
    }
    std::string url(const std::string& path) { return "http://127.0.0.1:" + std::to_string(server.Port()) + path; }
    kivtest::HttpResult post(const std::string& body) {
        return httpRequest("POST", url("/kivd/command"), body, {kivtest::JSON_TYPE});
    }
    std::string commandText(const std::string& name) { return CommandManager::INSTANCE.run(name, {})->get(); }

    kivtest::TempMediaDir media;
    kivtest::TempInstallDir install;
    HttpServer server;
};

}  // namespace

TEST_F(KivdApiTest, EveryDocumentPathAnswersWhatItsCommandAnswers) {
    WarningHolder::AddWarning("Api test warning");
    const std::pair<const char*, const char*> paths[] = {
        {"/kivd/playlist", "Get Playlist Status"}, {"/kivd/schedule", "Get Schedule"},
        {"/kivd/scheduler", "Get Scheduler Info"}, {"/kivd/warnings", "Get Warnings"},
        {"/kivd/commands", "List Commands"}};
    for (auto& p : paths) {
        auto r = httpGet(url(p.first));
        EXPECT_EQ(r.status, 200) << p.first << " " << r.body;
        EXPECT_EQ(r.header("content-type"), "application/json") << p.first;
        EXPECT_EQ(r.header("cache-control"), "no-store") << p.first;
        EXPECT_EQ(r.body, commandText(p.second)) << p.first;
    }
    // The status carries the time, so compare its members instead.
    Json::Value st = LoadJsonFromString(httpGet(url("/kivd/status")).body);
    EXPECT_EQ(st["status_name"].asString(), "idle");
    EXPECT_EQ(st["warnings"][0].asString(), "Api test warning");
    EXPECT_EQ(LoadJsonFromString(httpGet(url("/kivd/warnings")).body)[0].asString(), "Api test warning");
    EXPECT_EQ(LoadJsonFromString(httpGet(url("/kivd/scheduler")).body)["status"].asString(), "idle");
    WarningHolder::RemoveWarning("Api test warning");
}

TEST_F(KivdApiTest, APostedCommandRunsWithItsArgumentsAsOnTheSocket) {
    auto r = post(R"({"command": "Test Echo", "args": ["a b", 2, true]})");
    EXPECT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.body, "echo:3");
    EXPECT_EQ(r.header("content-type"), "text/plain");
    {
        std::lock_guard<std::mutex> lock(EchoCommand::seenLock);
        EXPECT_EQ(EchoCommand::seen, (std::vector<std::string>{"a b", "2", "true"}));
    }
    auto noArgs = post(R"({"command": "Test Echo"})");
    EXPECT_EQ(noArgs.body, "echo:0");
    auto listed = post(R"({"command": "List Commands"})");
    EXPECT_EQ(listed.header("content-type"), "application/json");
    EXPECT_EQ(listed.body, commandText("List Commands"));
}

TEST_F(KivdApiTest, BadRequestsGetTheirDocumentedErrors) {
    struct Case {
        std::string method, path, body;
        long status;
        std::string error;
    } cases[] = {
        {"POST", "/kivd/command", "{\"command\": ", 400, "Request body is not valid JSON"},
        {"POST", "/kivd/command", "[1, 2]", 400, "Invalid command document: \"command\" must be a string"},
        {"POST", "/kivd/command", R"({"command": "Test Echo", "args": "x"})", 400,
         "Invalid command document: \"args\" must be an array"},
        {"POST", "/kivd/command", R"({"command": "Make Coffee"})", 404, "Unknown command: \"Make Coffee\""},
        {"POST", "/kivd/command", R"({"command": "Test Echo", "args": ["fail"]})", 422, "Echo was told to fail"},
        {"POST", "/kivd/command", std::string(70000, ' '), 413, "Request body larger than 65536 bytes"},
        {"GET", "/kivd/command", "", 405, "Method GET is not allowed on /kivd/command"},
        {"POST", "/kivd/status", "{}", 405, "Method POST is not allowed on /kivd/status"},
        {"GET", "/kivd/nothing", "", 404, "Not found: /kivd/nothing"},
        {"GET", "/etc/passwd", "", 404, "Not found: /etc/passwd"},
    };
    for (auto& c : cases) {
        auto r = httpRequest(c.method, url(c.path), c.body, {kivtest::JSON_TYPE});
        EXPECT_EQ(r.status, c.status) << c.method << " " << c.path << " " << c.body.substr(0, 40);
        EXPECT_EQ(r.header("content-type"), "application/json") << c.path;
        EXPECT_EQ(LoadJsonFromString(r.body)["error"].asString(), c.error) << c.path << " " << r.body;
    }
    EXPECT_EQ(httpRequest("GET", url("/kivd/command")).header("allow"), "POST");
    // A request without a body needs no content type: the path answers.
    for (const char* length : {"", "Content-Length: 0"}) {
        auto r = httpRequest("DELETE", url("/kivd/status"), "", {length});
        EXPECT_EQ(r.status, 405) << length << " " << r.body;
        EXPECT_EQ(r.header("allow"), "GET, HEAD") << length;
    }
    // Still serving.
    EXPECT_EQ(post(R"({"command": "Test Echo"})").status, 200);
}

TEST_F(KivdApiTest, ScheduleDocumentsNeedTheScheduler) {
    delete scheduler;
    scheduler = nullptr;
    auto r = httpGet(url("/kivd/schedule"));
    EXPECT_EQ(r.status, 503);
    EXPECT_EQ(LoadJsonFromString(r.body)["error"].asString(), "\"Get Schedule\" is not available in this daemon");
}

TEST_F(KivdApiTest, EveryStateChangingPathRefusesPagesOfOtherSitesAndServesTheBoardsOwn) {
    auto* testStart = new CountingCommand("Test Start");
    auto* testStop = new CountingCommand("Test Stop");
    CommandManager::INSTANCE.addCommand(testStart);
    CommandManager::INSTANCE.addCommand(testStop);
    media.write("/tmp/current", "0");
    OutputMonitor::INSTANCE.AddPortConfiguration(
        "P1", LoadJsonFromString(R"({"currentSensor": {"path": ")" + media.file("/tmp/current") + "\"}}"), false);
    ASSERT_TRUE(server.RegisterResource(OutputMonitor::STATUS_PATH, &OutputMonitor::INSTANCE, true));
    auto echoRuns = [] {
        std::lock_guard<std::mutex> lock(EchoCommand::seenLock);
        int n = EchoCommand::seen.size() == 1 ? 1 : 0;
        EchoCommand::seen.clear();
        return n;
    };
    struct Path {
        const char* method;
        const char* path;
        std::function<int()> runs;  // runs of what the request does, since last asked
    } paths[] = {
        {"POST", "/kivd/command", echoRuns},
        {"GET", "/kivd/ports/pixelCount", [&] { return testStart->runs.exchange(0); }},
        {"POST", "/kivd/ports/pixelCount", [&] { return testStart->runs.exchange(0); }},
        {"GET", "/kivd/ports/stop", [&] { return testStop->runs.exchange(0); }},
        {"POST", "/kivd/ports/stop", [&] { return testStop->runs.exchange(0); }},
    };
    const std::string own = "http://127.0.0.1:" + std::to_string(server.Port());
    const std::vector<std::string> foreign[] = {
        {"Origin: http://evil.example"}, {"Referer: http://evil.example/cat.html"}, {"Sec-Fetch-Site: cross-site"},
        {"Origin: null"}};
    for (auto& p : paths) {
        SCOPED_TRACE(std::string(p.method) + " " + p.path);
        std::string body = p.path == std::string("/kivd/command") ? R"({"command": "Test Echo", "args": ["x"]})" : "";
        for (auto& headers : foreign) {
            std::vector<std::string> h = headers;
            h.push_back(kivtest::JSON_TYPE);
            auto r = httpRequest(p.method, url(p.path), body, h);
            EXPECT_EQ(r.status, 403) << headers[0] << " " << r.body;
            EXPECT_EQ(LoadJsonFromString(r.body)["error"].asString(), "Cross-site request refused");
            EXPECT_EQ(p.runs(), 0) << headers[0];
        }
        // The board's own page, and a script that names nobody.
        auto r = httpRequest(p.method, url(p.path), body, {"Origin: " + own, kivtest::JSON_TYPE});
        EXPECT_EQ(r.status, 200) << r.body;
        EXPECT_EQ(p.runs(), 1);
        r = httpRequest(p.method, url(p.path), body, {"X-Requested-With: script"});
        EXPECT_EQ(r.status, 200) << r.body;
        EXPECT_EQ(p.runs(), 1);
    }
    // Whatever any mounted path does with them, writes from another site
    // never reach it.
    for (auto& path : server.MountedPaths()) {
        for (const char* method : {"POST", "PUT", "DELETE", "PATCH"}) {
            auto r = httpRequest(method, url(path), "{}", {"Origin: http://evil.example", kivtest::JSON_TYPE});
            EXPECT_EQ(r.status, 403) << method << " " << path;
        }
    }
    EXPECT_EQ(testStart->runs + testStop->runs, 0);
    server.UnregisterResource(OutputMonitor::STATUS_PATH);
    OutputMonitor::INSTANCE.Cleanup();
}
