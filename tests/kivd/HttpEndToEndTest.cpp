// The real kivd serves its HTTP interface while it runs: the API answers
// as documented and as the command client does, bad requests get their
// errors and leave the daemon running, and the status page works in a real
// browser.
#include <gtest/gtest.h>

#include <unistd.h>

#include "HeadlessChromium.h"
#include "HttpClient.h"
#include "KivdProcess.h"
#include "TestSupport.h"
#include "common.h"
#include "hseq/ShowGenerator.h"

using kivtest::httpGet;
using kivtest::httpRequest;

namespace {

// A media directory with a playlist "evening" of one long sequence, and no
// outputs (the frames go nowhere; only the player's state matters here).
class HttpEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ShowSpec spec;
        spec.channels = 64;
        spec.frames = 2400;  // 60 s
        ASSERT_TRUE(GenerateShow(media.file("/sequences/long.hseq"), spec));
        media.write("/playlists/evening.json",
                    R"({"mainPlaylist": [{"type": "sequence", "sequenceName": "long.hseq"}]})");
    }
    void startDaemon(const std::string& settings = "") {
        if (!settings.empty()) media.write("/settings", settings);
        ASSERT_TRUE(d.start({"-f"}));
        ASSERT_TRUE(d.waitReady()) << d.output();
    }
    std::string kivcmd(const std::vector<std::string>& args, int* rc = nullptr) {
        std::string out;
        int r = d.command(args, &out, 10);
        if (rc) *rc = r;
        return out;
    }
    std::string playerState() { return LoadJsonFromString(kivcmd({"Get Playlist Status"}))["statusName"].asString(); }

    kivtest::TempMediaDir media;
    kivtest::KivdProcess d{media.path()};
};

}  // namespace

TEST_F(HttpEndToEnd, DaemonServesItsPagesUntilItStops) {
    PutFileContents(d.installDir() + "/www/hello.html", "<p>hello</p>");
    startDaemon();
    auto page = httpGet(d.httpUrl("/hello.html"));
    EXPECT_EQ(page.status, 200) << page.error << d.output();
    EXPECT_EQ(page.body, "<p>hello</p>");
    auto statusPage = httpGet(d.httpUrl("/"));
    EXPECT_EQ(statusPage.status, 200);
    EXPECT_NE(statusPage.body.find("status.js"), std::string::npos);
    EXPECT_NE(d.log().find("HTTP server listening on " + d.httpAddress()), std::string::npos) << d.log();

    EXPECT_EQ(d.stop(), 0);
    EXPECT_EQ(httpGet(d.httpUrl("/hello.html")).status, 0);
}

TEST_F(HttpEndToEnd, EveryApiPathAnswersAsTheCommandClientDoes) {
    startDaemon();
    const std::pair<const char*, const char*> paths[] = {
        {"/kivd/playlist", "Get Playlist Status"}, {"/kivd/schedule", "Get Schedule"},
        {"/kivd/scheduler", "Get Scheduler Info"}, {"/kivd/warnings", "Get Warnings"},
        {"/kivd/commands", "List Commands"}};
    for (auto& p : paths) {
        auto r = httpGet(d.httpUrl(p.first));
        EXPECT_EQ(r.status, 200) << p.first;
        EXPECT_EQ(r.header("content-type"), "application/json") << p.first;
        // kivcmd ends what it prints with a newline.
        EXPECT_EQ(r.body + "\n", kivcmd({p.second})) << p.first;
    }
    auto st = httpGet(d.httpUrl("/kivd/status"));
    EXPECT_EQ(st.status, 200);
    EXPECT_EQ(LoadJsonFromString(st.body)["status_name"].asString(), "idle");

    // The same command through both doors: same answer, same effect.
    auto started = httpRequest("POST", d.httpUrl("/kivd/command"),
                               R"({"command": "Start Playlist", "args": ["evening", "true"]})", {kivtest::JSON_TYPE});
    EXPECT_EQ(started.status, 200) << started.body;
    EXPECT_EQ(started.body, "Playlist 'evening' started");
    EXPECT_TRUE(kivtest::waitUntil([&] { return playerState() == "playing"; }, 10000));
    EXPECT_EQ(LoadJsonFromString(httpGet(d.httpUrl("/kivd/status")).body)["current_playlist"]["playlist"].asString(), "evening");
    auto stopped = httpRequest("POST", d.httpUrl("/kivd/command"), R"({"command": "Stop Now"})", {kivtest::JSON_TYPE});
    EXPECT_EQ(stopped.status, 200);
    EXPECT_TRUE(kivtest::waitUntil([&] { return playerState() == "idle"; }, 10000));
    int rc = 0;
    kivcmd({"Start Playlist", "evening"}, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(kivtest::waitUntil([&] { return playerState() == "playing"; }, 10000));
    EXPECT_EQ(kivcmd({"Stop Now"}), stopped.body + "\n");
    EXPECT_TRUE(kivtest::waitUntil([&] { return playerState() == "idle"; }, 10000));

    // An error through both doors.
    auto extend =
        httpRequest("POST", d.httpUrl("/kivd/command"), R"({"command": "Extend Schedule"})", {kivtest::JSON_TYPE});
    EXPECT_EQ(extend.status, 422);
    std::string cmdErr = kivcmd({"Extend Schedule"}, &rc);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(LoadJsonFromString(extend.body)["error"].asString() + "\n", cmdErr);
}

TEST_F(HttpEndToEnd, BadRequestsGetTheirErrorsAndTheDaemonRunsOn) {
    startDaemon("HTTPAccessToken = let-me-in\n");
    const std::string auth = "Authorization: Bearer let-me-in";
    struct Case {
        std::string method, path, body, header;
        long status;
    } cases[] = {
        {"POST", "/kivd/command", "{not json", auth, 400},
        {"POST", "/kivd/command", R"({"command": "Fly To The Moon"})", auth, 404},
        {"GET", "/kivd/status", "", "Authorization: Bearer wrong", 401},
        {"GET", "/kivd/status", "", "", 401},
        {"POST", "/kivd/command", std::string(100000, 'x'), auth, 413},
        {"GET", "/kivd/../../etc/passwd", "", auth, 404},
        {"GET", "/settings", "", auth, 404},
        {"GET", "/warnings.json", "", auth, 404},
    };
    for (auto& c : cases) {
        std::vector<std::string> headers;
        if (!c.header.empty()) headers.push_back(c.header);
        auto r = httpRequest(c.method, d.httpUrl(c.path), c.body, headers);
        EXPECT_EQ(r.status, c.status) << c.method << " " << c.path << " " << r.body;
        EXPECT_TRUE(LoadJsonFromString(r.body)["error"].isString()) << c.path << " " << r.body;
        ASSERT_TRUE(d.running()) << c.path << d.output();
    }
    auto good = httpGet(d.httpUrl("/kivd/warnings"), {auth});
    EXPECT_EQ(good.status, 200);
    // The page itself needs no token; its API calls do.
    EXPECT_EQ(httpGet(d.httpUrl("/index.html")).status, 200);
    EXPECT_TRUE(d.waitReady());
}

TEST_F(HttpEndToEnd, APageOfAnotherSiteCanNeitherStopTheShowNorReadTheStatus) {
    startDaemon();
    int rc = 0;
    kivcmd({"Start Playlist", "evening", "true"}, &rc);
    ASSERT_EQ(rc, 0);
    ASSERT_TRUE(kivtest::waitUntil([&] { return playerState() == "playing"; }, 10000));
    const std::string port = std::to_string(d.httpPort()), stop = R"({"command": "Stop Now"})";
    struct Case {
        const char* name;
        std::vector<std::string> headers;
        long status;
    } cases[] = {
        // What a browser sends for any page without asking first.
        {"plain-text POST", {"Content-Type: text/plain", "Origin: http://evil.example"}, 403},
        {"form POST that hides its origin", {"Content-Type: application/x-www-form-urlencoded"}, 415},
        {"JSON from another site", {kivtest::JSON_TYPE, "Origin: http://evil.example"}, 403},
        {"rebinding page", {kivtest::JSON_TYPE, "Host: evil.example:" + port, "Origin: http://evil.example:" + port},
         403},
    };
    for (auto& c : cases) {
        auto r = httpRequest("POST", d.httpUrl("/kivd/command"), stop, c.headers);
        EXPECT_EQ(r.status, c.status) << c.name << " " << r.body;
        EXPECT_EQ(playerState(), "playing") << c.name;
    }
    EXPECT_EQ(httpGet(d.httpUrl("/kivd/status"), {"Host: evil.example:" + port}).status, 403);
    EXPECT_EQ(httpGet(d.httpUrl("/kivd/status"), {"Host: localhost:" + port}).status, 200);
    // The board's own page stops it.
    auto r = httpRequest("POST", d.httpUrl("/kivd/command"), stop,
                         {kivtest::JSON_TYPE, "Origin: http://" + d.httpAddress() + ":" + port});
    EXPECT_EQ(r.status, 200) << r.body;
    EXPECT_TRUE(kivtest::waitUntil([&] { return playerState() == "idle"; }, 10000));
}

TEST_F(HttpEndToEnd, StatusPageInChromiumShowsThePlayingPlaylistAndItsStopButtonStopsIt) {
    if (!kivtest::HeadlessChromium::available()) GTEST_SKIP() << "chromium is not installed";
    startDaemon();
    int rc = 0;
    kivcmd({"Start Playlist", "evening", "true"}, &rc);
    ASSERT_EQ(rc, 0);
    ASSERT_TRUE(kivtest::waitUntil([&] { return playerState() == "playing"; }, 10000));

    kivtest::HeadlessChromium browser;
    ASSERT_TRUE(browser.ok()) << browser.error();
    ASSERT_TRUE(browser.open(d.httpUrl("/"))) << browser.error();
    ASSERT_TRUE(browser.waitFor("document.getElementById('playlist-name').textContent === 'evening'", 20000))
        << browser.evaluate("document.body.innerText").asString();
    EXPECT_TRUE(browser.waitFor("document.getElementById('connection').textContent === 'connected'", 5000));
    EXPECT_TRUE(browser.waitFor("document.getElementById('entry').textContent.includes('long.hseq')", 5000));
    EXPECT_TRUE(browser.waitFor("/\\d+:\\d\\d \\/ 1:00/.test(document.getElementById('position').textContent)", 5000))
        << browser.evaluate("document.getElementById('position').textContent").asString();
    // Nothing outside this daemon was asked for.
    EXPECT_EQ(browser
                  .evaluate("performance.getEntriesByType('resource').filter(e => !e.name.startsWith(location.origin))"
                            ".length")
                  .asInt(),
              0);

    // The screenshot shows the name where the page laid it out.
    auto png = browser.screenshot();
    kivtest::Image shot;
    ASSERT_TRUE(kivtest::DecodePng(png, shot)) << png.size() << " bytes";
    PutFileContents(kivtest::buildDir() + "/tests/status-page.png", std::string(png.begin(), png.end()));
    // The laid-out text of the name: {x, y, width, height}.
    Json::Value text = browser.evaluate(
        "(() => { const r = document.createRange();"
        " r.selectNodeContents(document.getElementById('playlist-name'));"
        " const b = r.getBoundingClientRect(); return [b.x, b.y, b.width, b.height]; })()");
    ASSERT_EQ(text.size(), 4u);
    int x = text[0].asInt(), y = text[1].asInt(), w = text[2].asInt(), h = text[3].asInt();
    EXPECT_GT(w, 20);
    EXPECT_LE(y + h, shot.height);
    // Anti-aliased glyphs: many shades where the name is, one flat panel
    // colour just right of it.
    EXPECT_GT(shot.distinctColours(x, y, w, h), 5);
    EXPECT_LE(shot.distinctColours(x + w + 10, y, 40, h), 2);

    // Pressing Stop (a real mouse click) stops the playlist.
    ASSERT_TRUE(browser.clickElement("stop-now")) << browser.error();
    EXPECT_TRUE(kivtest::waitUntil([&] { return playerState() == "idle"; }, 10000));
    EXPECT_TRUE(browser.waitFor("document.getElementById('command-result').textContent.startsWith('Stop Now:')", 5000));
    EXPECT_TRUE(browser.waitFor("document.getElementById('state').textContent === 'idle'", 10000));
}
