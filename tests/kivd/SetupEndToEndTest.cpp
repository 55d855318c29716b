// Setting a board up over HTTP against the real kivd: files stream to disk
// and only whole ones take their names, every document is judged by the
// daemon's own loaders before anything is written, the scheduler and the
// outputs pick up what was saved, and a test pattern's frames reach a DDP
// receiver in the colours asked for.
#include <gtest/gtest.h>

#include <dirent.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <set>

#include "HeadlessChromium.h"
#include "FaultSupport.h"
#include "HttpClient.h"
#include "KivdProcess.h"
#include "NetTestSupport.h"
#include "TestSupport.h"
#include "common.h"
#include "hseq/ShowGenerator.h"
#include "monitor/PacketDecoder.h"

using kivtest::httpRequest;
using kivtest::HttpResult;

namespace {

std::string lo(int n) {
    static const int block = 100 + (int)getpid() % 100;
    return "127.201." + std::to_string(block) + "." + std::to_string(n);
}

// Every name in a folder, hidden ones too (temporaries of uploads).
std::vector<std::string> folder(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (struct dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") names.push_back(n);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The id of the daemon's thread of that name, 0 when it has none.
pid_t threadOf(pid_t pid, const std::string& name) {
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (auto& tid : folder(tasks)) {
        if (GetFileContents(tasks + "/" + tid + "/comm") == name + "\n") return atoi(tid.c_str());
    }
    return 0;
}

class SetupEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ShowSpec spec;
        spec.channels = 48;
        spec.frames = 40;
        ASSERT_TRUE(GenerateShow(media.file("/sequences/base.hseq"), spec));
        ASSERT_TRUE(GenerateShow(showFile, spec));
        media.write("/playlists/evening.json", R"({"mainPlaylist": [{"type": "sequence", "sequenceName": "base.hseq"}]})");
        media.write("/config/channeloutputs.json",
                    R"({"channelOutputs": [{"type": "UDP", "universes": [{"type": 4, "address": ")" + lo(1) +
                        R"(", "startChannel": 1, "channelCount": 48, "monitor": 0}]}]})");
    }
    void TearDown() override { unlink(showFile.c_str()); }
    void start(const std::string& settings = "") {
        media.write("/settings", settings);
        ASSERT_TRUE(d.start({"-f"}));
        ASSERT_TRUE(d.waitReady()) << d.output();
    }
    static HttpResult del(const std::string& url) { return httpRequest("DELETE", url, "", {"X-Requested-With: t"}); }
    HttpResult put(const std::string& path, const std::string& body, std::vector<std::string> headers = {}) {
        headers.push_back(kivtest::JSON_TYPE);
        return httpRequest("PUT", d.httpUrl(path), body, headers);
    }

    std::string showFile = "/tmp/kiv-setup-show-" + std::to_string(getpid()) + ".hseq";
    kivtest::TempMediaDir media;
    kivtest::KivdProcess d{media.path()};
};

TEST_F(SetupEndToEnd, UploadsStreamToDiskAndOnlyWholeGoodFilesTakeTheirNames) {
    start("UploadMaxBytes = 33554432\n");
    std::string show = GetFileContents(showFile);
    std::string dir = media.file("/sequences");

    auto up = httpRequest("PUT", d.httpUrl("/kivd/files/sequences/new%20show.hseq"), show,
                          {"Content-Type: application/octet-stream", "X-Requested-With: test"});
    EXPECT_EQ(up.status, 201) << up.body;
    EXPECT_EQ(GetFileContents(dir + "/new show.hseq"), show);
    auto list = LoadJsonFromString(httpRequest("GET", d.httpUrl("/kivd/files/sequences")).body);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1]["name"].asString(), "new show.hseq");
    EXPECT_EQ(list[1]["size"].asUInt64(), show.size());
    // Big enough to go through several stretches of writing behind, and
    // ending in part of a disk block.
    std::string song((20 << 20) + 1234, 0);
    for (size_t i = 0; i < song.size(); ++i) song[i] = (char)((i * 2654435761u) >> 13);
    EXPECT_EQ(httpRequest("PUT", d.httpUrl("/kivd/files/music/song.mp3"), song, {"X-Requested-With: t"}).status, 201);
    EXPECT_TRUE(GetFileContents(media.file("/music/song.mp3")) == song);

    std::vector<std::string> before = folder(dir);
    struct Case {
        const char* what;
        std::string path, body;
        long status;
    };
    const Case refused[] = {
        {"traversal", "/kivd/files/sequences/..%2Fsettings", show, 400},
        {"encoded slash", "/kivd/files/sequences/a%2Fb.hseq", show, 400},
        {"hidden", "/kivd/files/sequences/.hidden.hseq", show, 400},
        {"control character", "/kivd/files/sequences/a%0Ab.hseq", show, 400},
        {"unknown kind", "/kivd/files/scripts/x.sh", "echo", 404},
        {"not a sequence", "/kivd/files/sequences/junk.hseq", std::string(5000, 'x'), 422},
        {"over the limit", "/kivd/files/music/big.mp3", std::string(33554433, 'a'), 413},
    };
    for (auto& c : refused) {
        SCOPED_TRACE(c.what);
        auto r = httpRequest("PUT", d.httpUrl(c.path), c.body, {"X-Requested-With: test"});
        EXPECT_EQ(r.status, c.status) << r.body;
        EXPECT_TRUE(LoadJsonFromString(r.body)["error"].isString()) << r.body;
    }
    EXPECT_EQ(del(d.httpUrl("/kivd/files/sequences/..%2Fsettings")).status, 400);

    // Cut off half-way: the connection drops with half the bytes sent.
    int fd = kivtest::connectFrom("127.0.0.1", d.httpAddress(), d.httpPort());
    ASSERT_GE(fd, 0);
    std::string head = "PUT /kivd/files/music/cut.mp3 HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Requested-With: t\r\n"
                       "Content-Length: 200000\r\n\r\n" + std::string(100000, 'c');
    ASSERT_EQ(send(fd, head.data(), head.size(), MSG_NOSIGNAL), (ssize_t)head.size());
    // Meanwhile it is written on a thread of the lowest priority (best-effort IO level 7).
    pid_t writer = 0;
    EXPECT_TRUE(kivtest::waitUntil([&] {
        writer = threadOf(d.pid(), "KIV-Upload");
        return writer && syscall(SYS_ioprio_get, 1, writer) == (2 << 13 | 7);
    }, 20000));
    EXPECT_EQ(sched_getscheduler(writer), SCHED_BATCH);
    EXPECT_GE(getpriority(PRIO_PROCESS, writer), 5);
    close(fd);
    // The daemon notices the drop and removes what it wrote.
    const std::vector<std::string> kept = {"song.mp3"};
    EXPECT_TRUE(kivtest::waitUntil([&] { return folder(media.file("/music")) == kept; }, 30000))
        << "left in music: " << folder(media.file("/music")).size() << " file(s)";
    EXPECT_EQ(folder(dir), before);

    EXPECT_EQ(del(d.httpUrl("/kivd/files/sequences/new%20show.hseq")).status, 200);
    EXPECT_FALSE(FileExists(dir + "/new show.hseq"));
    EXPECT_EQ(del(d.httpUrl("/kivd/files/sequences/new%20show.hseq")).status, 404);
}

TEST_F(SetupEndToEnd, DocumentsAreJudgedByTheDaemonsLoadersAndRefusalsWriteNothing) {
    start();
    std::string playlist = media.file("/playlists/evening.json");
    std::string schedule = media.file("/config/schedule.json");
    std::string outputs = media.file("/config/channeloutputs.json");
    std::string settings = media.file("/settings");
    media.write("/config/schedule.json", "[]");
    auto snapshot = [&] {
        return GetFileContents(playlist) + GetFileContents(schedule) + GetFileContents(outputs) +
               GetFileContents(settings) + std::to_string(FileExists(media.file("/playlists/other.json")));
    };
    std::string before = snapshot();
    struct Case {
        const char* path;
        std::string body;
        long status;
        const char* error;  // part of the answer's error
    };
    const Case refused[] = {
        {"/kivd/playlists/evening", "{\"mainPlaylist\": [", 400, "not valid JSON"},
        {"/kivd/playlists/evening", R"({"mainPlaylist": [{"type": "sequence"}]})", 422,
         "mainPlaylist entry 1 skipped: Missing sequenceName entry"},
        {"/kivd/playlists/evening", R"({"leadIn": [{"type": "sequence", "sequenceName": "gone.hseq"}]})", 422,
         "leadIn entry 1 skipped: file sequences/gone.hseq does not exist"},
        {"/kivd/playlists/other", R"({"mainPlaylist": [{"type": "fireworks"}]})", 422, "type 'fireworks'"},
        {"/kivd/playlists/other", R"({"mainPlaylist": []})", 422, "has no entries to play"},
        {"/kivd/config/schedule", R"([{"playlist": "evening", "startTime": "25:00", "endTime": "23:00"}])", 422,
         "Row 1: playlist 'evening': \"startTime\""},
        {"/kivd/config/schedule", R"([{"playlist": "ghost", "startTime": "20:00", "endTime": "23:00"}])", 422,
         "Row 1: Scheduled Playlist 'ghost' does not exist"},
        {"/kivd/config/schedule", R"({"rows": 1})", 422, "JSON array"},
        {"/kivd/config/outputs", R"({"channelOutputs": [{"type": "Lasers"}]})", 422,
         "Output 1 (Lasers): unknown type \"Lasers\""},
        {"/kivd/config/outputs",
         R"({"channelOutputs": [{"type": "UDP", "universes": [{"type": 4, "address": "10.0.0.300", "startChannel": 1, "channelCount": 10}]}]})",
         422, "\"address\" '10.0.0.300'"},
        {"/kivd/config/outputs",
         R"({"channelOutputs": [{"type": "UDP", "universes": [
              {"type": 4, "address": "10.0.0.1", "startChannel": 1, "channelCount": 100, "description": "Roof"},
              {"type": 5, "address": "10.0.0.2", "startChannel": 90, "channelCount": 10, "description": "Tree"}]}]})",
         422, "destination 2 'Tree' (DDP): channels 90-99 overlap Output 1 (UDP) destination 1 'Roof' (DDP) (channels 1-100)"},
        {"/kivd/config/outputs",
         R"({"channelOutputs": [{"type": "UDP", "universes": [{"type": 1, "address": "10.0.0.1", "startChannel": 1, "channelCount": 600}]}]})",
         422, "more than 512 per universe"},
        {"/kivd/config/settings", R"({"HTTPAccessToken": "x"})", 422, "\"HTTPAccessToken\" cannot be changed here"},
        {"/kivd/config/settings", R"({"mediaOffset": 9000})", 422, "\"mediaOffset\" must be a whole number from -5000 to 5000"},
        {"/kivd/config/settings", R"({"blankBetweenSequences": "maybe"})", 422, "must be true or false"},
    };
    for (auto& c : refused) {
        SCOPED_TRACE(std::string(c.path) + " " + c.body);
        auto r = put(c.path, c.body);
        EXPECT_EQ(r.status, c.status) << r.body;
        EXPECT_NE(LoadJsonFromString(r.body)["error"].asString().find(c.error), std::string::npos) << r.body;
        EXPECT_EQ(r.body.find(media.path()), std::string::npos) << "the board's own paths: " << r.body;
    }
    EXPECT_EQ(snapshot(), before);

    // Good documents are written and answered.
    auto pl = put("/kivd/playlists/other", R"({"description": "d", "mainPlaylist": [{"type": "sequence", "sequenceName": "base.hseq"}]})");
    EXPECT_EQ(pl.status, 201) << pl.body;
    EXPECT_EQ(LoadJsonFromFile(media.file("/playlists/other.json"))["description"].asString(), "d");
    // Stored as docs/settings.md writes them: numbers and switches bare.
    auto st = httpRequest("PATCH", d.httpUrl("/kivd/config/settings"),
                          R"({"mediaOffset": -120, "DisableFakeNetworkBridges": true, "Latitude": 51.5, )"
                          R"("DateFormat": "%d.%m."})",
                          {kivtest::JSON_TYPE});
    EXPECT_EQ(st.status, 200) << st.body;
    std::string text = GetFileContents(settings);
    for (const char* line : {"mediaOffset = -120\n", "DisableFakeNetworkBridges = 1\n", "Latitude = 51.500000\n",
                             "DateFormat = \"%d.%m.\"\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
    }
    auto out = put("/kivd/config/outputs", R"({"channelOutputs": [{"type": "UDP", "universes": [
        {"type": 4, "address": "10.0.0.1", "startChannel": 1, "channelCount": 100},
        {"type": 0, "universe": 1, "startChannel": 101, "channelCount": 510}]}]})");
    EXPECT_EQ(out.status, 200) << out.body;
    EXPECT_EQ(LoadJsonFromFile(outputs)["channelOutputs"][0]["universes"].size(), 2u);
    EXPECT_EQ(del(d.httpUrl("/kivd/playlists/other")).status, 200);
    EXPECT_FALSE(FileExists(media.file("/playlists/other.json")));
}

TEST_F(SetupEndToEnd, SavedScheduleShowsItsNextStartsAndTheSchedulerTakesItWithoutRestart) {
    start();
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    // A window starting two hours on (before midnight wraps it to tomorrow).
    char startText[16], endText[16];
    snprintf(startText, sizeof(startText), "%02d:%02d:00", (t.tm_hour + 2) % 24, t.tm_min);
    snprintf(endText, sizeof(endText), "%02d:%02d:00", (t.tm_hour + 3) % 24, t.tm_min);
    auto r = put("/kivd/config/schedule", std::string(R"([{"playlist": "evening", "day": "Everyday", "startTime": ")") +
                                               startText + R"(", "endTime": ")" + endText + R"(", "repeat": true}])");
    ASSERT_EQ(r.status, 200) << r.body;
    Json::Value next = LoadJsonFromString(r.body)["next"];
    ASSERT_EQ(next.size(), 1u);
    ASSERT_EQ(next[0]["next"].size(), 3u) << r.body;
    long long first = next[0]["next"][0]["start"].asInt64();
    EXPECT_GT(first, (long long)now + 7000);
    EXPECT_LT(first, (long long)now + 7300);
    EXPECT_EQ(next[0]["next"][0]["end"].asInt64() - first, 3600);
    long long day = next[0]["next"][1]["start"].asInt64() - first;
    EXPECT_TRUE(day >= 82800 && day <= 90000) << "daily: " << day;

    // The scheduler lists the row's item from its next pass.
    bool listed = false;
    for (int i = 0; i < 50 && !listed; ++i, usleep(100 * 1000)) {
        Json::Value s = LoadJsonFromString(kivtest::httpGet(d.httpUrl("/kivd/schedule")).body);
        for (auto& item : s["items"]) listed |= item["startTime"].asInt64() == first;
    }
    EXPECT_TRUE(listed) << d.log();
}

TEST_F(SetupEndToEnd, TestPatternFramesReachTheReceiverInTheColoursAsked) {
    kivtest::UdpReceiver ddp(lo(1), 4048);
    ASSERT_TRUE(ddp.ok());
    start();
    std::string out;
    ASSERT_EQ(d.command({"Test Pattern", "Solid Color", "4-12", "GRB", "#ff8000", "false", "100"}, &out), 0) << out;
    ASSERT_TRUE(ddp.waitFor(5, 10000)) << d.log();
    ddp.take();
    ASSERT_TRUE(ddp.waitFor(2, 5000));
    auto grams = ddp.take();
    DecodedPacket p = DecodeDDP(grams.back().bytes.data(), grams.back().bytes.size());
    ASSERT_TRUE(p.valid);
    ASSERT_GE(p.length, 12u);
    // GRB: green 0x80, red 0xff, blue 0 for each pixel of channels 4-12.
    const uint8_t want[12] = {0, 0, 0, 0x80, 0xff, 0, 0x80, 0xff, 0, 0x80, 0xff, 0};
    EXPECT_EQ(std::vector<uint8_t>(p.data, p.data + 12), std::vector<uint8_t>(want, want + 12));
    EXPECT_NE(out.find("OK"), std::string::npos);
    EXPECT_EQ(LoadJsonFromString(kivtest::httpRequest("POST", d.httpUrl("/kivd/command"),
                                                      R"({"command": "Get Test Status"})", {kivtest::JSON_TYPE})
                                     .body)["channels"]
                  .asString(),
              "4-12");

    // A scheduled show keeps the board unless the test is forced.
    ASSERT_EQ(d.command({"Test Stop"}), 0);
    ASSERT_EQ(d.command({"Start Playlist", "evening", "true"}), 0);
    EXPECT_EQ(d.command({"Test Pattern", "Chase", "1-30", "RGB", "#ffffff"}, &out), 0) << "a manual playlist does not guard";
    ASSERT_EQ(d.command({"Test Stop"}), 0);
    ASSERT_EQ(d.command({"Stop Now"}), 0);

    // A row open from two minutes ago for an hour (past midnight, should
    // the day end meanwhile) starts the playlist as a scheduled show.
    ASSERT_EQ(put("/kivd/config/schedule", "[" + kivtest::scheduleRow("evening", -120, 3600, "Graceful") + "]").status, 200);
    ASSERT_TRUE(kivtest::waitUntil([&] {
        std::string s;
        d.command({"Get Playlist Status"}, &s, 5);
        return LoadJsonFromString(s)["playlist"].asString() == "evening";
    }, 10000)) << d.log();
    auto testStatus = [&] {
        std::string s;
        d.command({"Get Test Status"}, &s, 5);
        return LoadJsonFromString(s);
    };
    EXPECT_NE(d.command({"Test Pattern", "Solid Color", "1-48", "RGB", "#204060"}, &out), 0);
    EXPECT_NE(out.find("The scheduled playlist 'evening' is playing"), std::string::npos) << out;
    EXPECT_FALSE(testStatus()["running"].asBool());
    ASSERT_EQ(d.command({"Test Pattern", "Solid Color", "1-48", "RGB", "#204060", "true"}, &out), 0) << out;
    EXPECT_TRUE(testStatus()["running"].asBool());
    ddp.take();
    ASSERT_TRUE(ddp.waitFor(3, 5000));
    grams = ddp.take();
    p = DecodeDDP(grams.back().bytes.data(), grams.back().bytes.size());
    ASSERT_TRUE(p.valid && p.length == 48u);
    EXPECT_EQ(std::vector<uint8_t>(p.data, p.data + 3), (std::vector<uint8_t>{0x20, 0x40, 0x60}));
    EXPECT_EQ(std::vector<uint8_t>(p.data + 45, p.data + 48), (std::vector<uint8_t>{0x20, 0x40, 0x60}));
}

// Without a token another machine may only read, while the board itself
// may do anything; with one, either may change things when it carries it.
// The daemon runs on a board of a network of the test's own, the other
// machine is a second board on it.
TEST_F(SetupEndToEnd, OtherMachinesOnlyReadWithoutATokenAndChangeWithIt) {
    if (!kivtest::isRoot()) GTEST_SKIP() << "needs root for network namespaces";
    kivtest::BoardNetwork net;
    const int board = net.addBoard(1), other = net.addBoard(2);
    ASSERT_TRUE(net.ok() && board >= 0 && other >= 0) << net.error();
    d.setNetns(net.netns(board));
    const std::string listen = "HTTPBindAddress = 0.0.0.0\nHTTPPort = 32320\n", auth = "Authorization: Bearer s";
    const std::string json = kivtest::JSON_TYPE, stop = R"({"command": "Stop Now"})";
    const std::string play = R"({"command": "Start Playlist", "args": ["evening", "true"]})";
    const std::string list = R"({"mainPlaylist": [{"type": "sequence", "sequenceName": "base.hseq"}]})";
    const std::string refusal = "Set HTTPAccessToken to use this from another machine";
    auto ask = [&](int from, const std::string& method, const std::string& path, const std::string& body,
                   const std::vector<std::string>& headers) {
        std::string url = "http://" + (from == board ? "127.0.0.1" : net.address(board)) + ":32320" + path;
        HttpResult r;
        net.runInside(from, [&] { r = httpRequest(method, url, body, headers); });
        return r;
    };
    auto state = [&] {
        std::string s;
        d.command({"Get Playlist Status"}, &s, 5);
        return LoadJsonFromString(s)["statusName"].asString();
    };
    struct Case {
        int from;
        std::string method, path, body, header;
        long status;
        const char* after;  // the player's state after it
    };
    auto run = [&](const std::vector<Case>& cases) {
        for (auto& c : cases) {
            SCOPED_TRACE((c.from == board ? "board: " : "other: ") + c.method + " " + c.path + " " + c.body);
            auto r = ask(c.from, c.method, c.path, c.body,
                         c.header.empty() ? std::vector<std::string>() : std::vector<std::string>{c.header});
            EXPECT_EQ(r.status, c.status) << r.error << r.body;
            if (c.status == 403) {
                EXPECT_EQ(LoadJsonFromString(r.body)["error"].asString(), refusal);
            }
            EXPECT_TRUE(kivtest::waitUntil([&] { return state() == c.after; }, 10000)) << state();
        }
    };

    start(listen);
    run({{other, "GET", "/kivd/status", "", "", 200, "idle"},
         {other, "POST", "/kivd/command", play, json, 403, "idle"},
         {other, "PUT", "/kivd/playlists/x", list, json, 403, "idle"},
         {other, "DELETE", "/kivd/files/sequences/base.hseq", "", "", 403, "idle"},
         {board, "POST", "/kivd/command", play, json, 200, "playing"},
         {board, "PUT", "/kivd/playlists/x", list, json, 201, "playing"},
         {other, "POST", "/kivd/command", stop, json, 403, "playing"}});
    EXPECT_TRUE(FileExists(media.file("/sequences/base.hseq")));
    Json::Value remote = LoadJsonFromString(ask(other, "GET", "/kivd/changes", "", {}).body);
    EXPECT_FALSE(remote["writable"].asBool());
    EXPECT_EQ(remote["reason"].asString(), refusal);
    EXPECT_TRUE(LoadJsonFromString(ask(board, "GET", "/kivd/changes", "", {}).body)["writable"].asBool());
    EXPECT_NE(d.log().find("other machines may only read, not run commands or change anything. " + refusal),
              std::string::npos) << d.log();
    EXPECT_EQ(d.command({"Stop Now"}), 0);
    EXPECT_EQ(d.stop(), 0);

    size_t logBefore = d.log().size();
    start(listen + "HTTPAccessToken = s\n");
    run({{other, "POST", "/kivd/command", play, auth, 200, "playing"},
         {other, "POST", "/kivd/command", stop, json, 401, "playing"},
         {other, "POST", "/kivd/command", stop, auth, 200, "idle"},
         {other, "PUT", "/kivd/playlists/y", list, auth, 201, "idle"}});
    EXPECT_EQ(d.log().find(refusal, logBefore), std::string::npos) << "no warning with a token";
}

// Every page on a 390 px phone and a 1200 px screen, filled as a board in
// use fills it: nothing lies beyond the viewport, so nothing needs
// scrolling sideways and no column or button is cut off.
TEST_F(SetupEndToEnd, PagesFitAPhoneAndADesktopWithoutSidewaysScrolling) {
    if (!kivtest::HeadlessChromium::available()) GTEST_SKIP() << "chromium is not installed";
    media.write("/sequences/front-yard-mega-tree-and-arches-final-mix.hseq", GetFileContents(showFile));
    media.write("/music/front-yard-mega-tree-and-arches-final-mix.mp3", "ID3");
    media.write("/playlists/show.json", R"({"description": "Front yard, every evening in December",
        "leadIn": [{"type": "image", "imagePath": "welcome-sign.png", "modelName": "Matrix"}],
        "mainPlaylist": [{"type": "both", "sequenceName": "base.hseq", "mediaName": "song.mp3"}],
        "leadOut": [{"type": "media", "mediaName": "goodnight.mp3"}]})");
    media.write("/config/schedule.json", R"([
        {"enabled": true, "playlist": "evening", "day": "Everyday", "startTime": "18:00:00", "endTime": "22:30:00",
         "startDate": "2024-11-25", "endDate": "2099-01-06", "repeat": true, "stopType": "Graceful Loop"},
        {"enabled": true, "playlist": "evening", "day": "Weekends", "startTime": "07:00:00", "endTime": "08:00:00"}])");
    start();
    struct Page {
        const char* file;
        const char* ready;  // true once the page shows what it loaded
        const char* pick;   // clicked first when set
    };
    const Page pages[] = {
        {"index.html", "document.getElementById('connection').textContent === 'connected'", nullptr},
        {"files.html", "document.getElementById('list-music')", nullptr},
        {"playlists.html", "document.querySelector('#section-leadIn li')", "#pick-show"},
        {"schedule.html", "document.querySelector('#row-2 .next').textContent !== ''", nullptr},
        {"outputs.html", "document.getElementById('destinations').tBodies[0].rows.length === 1", nullptr},
        {"test.html", "document.getElementById('test-status').textContent !== ''", nullptr},
        {"virtualdisplay.html", "document.getElementById('status').textContent !== 'Connecting\u2026'", nullptr},
    };
    // What lies beyond [0, width]: the page's own width, then each element
    // with a box, by tag, id or class and text.
    const std::string beyond = R"((w) => {
        const out = [];
        const page = document.documentElement.scrollWidth;
        if (page > w) out.push('page ' + page + ' px wide');
        for (const e of document.body.querySelectorAll('*')) {
          const r = e.getBoundingClientRect();
          if (!r.width || !r.height || (r.left > -0.5 && r.right < w + 0.5)) continue;
          out.push(e.tagName.toLowerCase() + (e.id ? '#' + e.id : e.className ? '.' + e.className : '') +
                   ' "' + (e.textContent || e.value || '').slice(0, 20) + '" ' + Math.round(r.left) + '-' + Math.round(r.right));
        }
        return out;
    })";
    kivtest::HeadlessChromium b;
    ASSERT_TRUE(b.ok()) << b.error();
    for (int width : {390, 1200}) {
        Json::Value screen;
        screen["width"] = width;
        screen["height"] = width < 600 ? 844 : 900;
        screen["deviceScaleFactor"] = 1;
        screen["mobile"] = width < 600;
        ASSERT_FALSE(b.call("Emulation.setDeviceMetricsOverride", screen).isNull()) << b.error();
        for (const Page& p : pages) {
            SCOPED_TRACE(std::string(p.file) + " at " + std::to_string(width) + " px");
            ASSERT_TRUE(b.open(d.httpUrl("/") + p.file)) << b.error();
            if (p.pick) {
                ASSERT_TRUE(b.waitFor(std::string("document.querySelector('") + p.pick + "')", 10000) &&
                            b.clickSelector(p.pick));
            }
            ASSERT_TRUE(b.waitFor(p.ready, 10000)) << b.evaluate("document.body.innerText").asString();
            EXPECT_EQ(b.evaluate("document.documentElement.clientWidth").asInt(), width);
            Json::Value out = b.evaluate("(" + beyond + ")(" + std::to_string(width) + ")");
            ASSERT_TRUE(out.isArray()) << b.error();
            std::string list;
            for (Json::ArrayIndex i = 0; i < out.size() && i < 12; ++i) list += "\n  " + out[i].asString();
            EXPECT_EQ(out.size(), 0u) << "beyond the viewport:" << list;
        }
    }
}

// The pages as a user drives them in Chromium, on a daemon with an access
// token and a wall clock faked to an hour before noon (whatever the real
// time): what they save is on disk and the daemon acts on it.
TEST_F(SetupEndToEnd, PagesInChromiumSetUpAndRunAShow) {
    if (!kivtest::HeadlessChromium::available()) GTEST_SKIP() << "chromium is not installed";
    kivtest::UdpReceiver ddp(lo(1), 4048), moved(lo(2), 4048);
    ASSERT_TRUE(ddp.ok() && moved.ok());
    ShowSpec spec;
    spec.channels = 48;
    spec.frames = 400;
    spec.seed = 7;
    spec.compression = HSEQFile::CompressionType::none;  // big enough for the progress bar to move
    std::string upload = media.file("/garden.hseq");  // outside the folders kivd lists
    ASSERT_TRUE(GenerateShow(upload, spec));
    media.write("/music/old.mp3", "ID3");
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    t.tm_hour = 12;
    t.tm_min = t.tm_sec = 0;
    t.tm_isdst = -1;
    const time_t noon = mktime(&t);
    kivtest::FakeClock clock;
    bool faked = kivtest::FakeClock::available() && clock.setOffset(noon - 3600 - now);
    if (faked) clock.applyTo(d);
    const std::string auth = "Authorization: Bearer garden-key";
    start("HTTPAccessToken = garden-key\n");
    kivtest::HeadlessChromium b;
    ASSERT_TRUE(b.ok()) << b.error();
    auto js = [](const std::string& s) { return SaveJsonToString(Json::Value(s)); };
    auto page = [&](const std::string& name, const std::string& ready) {
        ASSERT_TRUE(b.open(d.httpUrl("/" + name))) << b.error();
        ASSERT_TRUE(b.waitFor(ready, 10000)) << name << ": " << b.evaluate("document.body.innerText").asString();
    };
    // Types into a field as a keyboard would, then leaves it.
    auto type = [&](const std::string& selector, const std::string& text) {
        ASSERT_TRUE(b.evaluate("(() => { const e = document.querySelector(" + js(selector) +
                               "); if (!e) return false; e.focus(); e.select(); return true; })()")
                        .asBool())
            << selector;
        Json::Value p;
        p["text"] = text;
        b.call("Input.insertText", p);
        b.evaluate("document.activeElement.blur()");
    };
    auto text = [&](const std::string& id) { return "document.getElementById('" + id + "').textContent"; };
    auto matching = [&](const std::vector<kivtest::Datagram>& grams) {
        std::set<std::vector<uint8_t>> frames;
        std::vector<uint8_t> frame(spec.channels);
        for (uint32_t f = 0; f < spec.frames; ++f) {
            RenderShowFrame(spec, f, frame.data());
            frames.insert(frame);
        }
        int n = 0;
        for (auto& g : grams) {
            DecodedPacket p = DecodeDDP(g.bytes.data(), g.bytes.size());
            n += p.valid && p.length == spec.channels && frames.count(std::vector<uint8_t>(p.data, p.data + p.length));
        }
        return n;
    };
    auto uploadBytesPerSecond = [&](double rate) {
        Json::Value c;
        c["offline"] = false;
        c["latency"] = 0;
        c["downloadThroughput"] = -1;
        c["uploadThroughput"] = rate;
        b.call("Network.enable", Json::Value(Json::objectValue));
        b.call("Network.emulateNetworkConditions", c);
    };

    // The token: asked for by the first page, typed once, used by every page of the tab.
    page("files.html", "!document.getElementById('token-form').hidden");
    type("#token", "garden-key");
    ASSERT_TRUE(b.clickSelector("#token-form button"));
    page("files.html", "document.getElementById('list-music')");
    EXPECT_TRUE(b.evaluate("document.getElementById('token-form').hidden").asBool());

    // Files: uploaded at a garden's Wi-Fi pace, the bar grows to full; the file is byte-exact and listed.
    uploadBytesPerSecond(GetFileContents(upload).size() / 2.0);
    b.evaluate("window.widths = []; new MutationObserver(() => widths.push(parseFloat(document.getElementById("
               "'upload-bar').style.width) || 0)).observe(document.getElementById('upload-bar'), {attributes: true})");
    Json::Value root = b.call("DOM.getDocument", Json::Value(Json::objectValue));
    Json::Value q;
    q["nodeId"] = root["root"]["nodeId"];
    q["selector"] = "#upload-file";
    Json::Value files;
    files["nodeId"] = b.call("DOM.querySelector", q)["nodeId"];
    files["files"].append(upload);
    b.call("DOM.setFileInputFiles", files);
    ASSERT_TRUE(b.clickElement("upload"));
    EXPECT_TRUE(b.waitFor(text("upload-result") + " === 'Uploaded garden.hseq'", 20000)) << b.evaluate(text("upload-result"));
    uploadBytesPerSecond(-1);
    EXPECT_TRUE(b.waitFor(text("list-sequences") + ".includes('garden.hseq')", 5000));
    EXPECT_EQ(GetFileContents(media.file("/sequences/garden.hseq")), GetFileContents(upload));
    Json::Value widths = b.evaluate("widths");
    int between = 0;
    for (Json::ArrayIndex i = 1; i < widths.size(); ++i) {
        EXPECT_GE(widths[i].asDouble(), widths[i - 1].asDouble()) << SaveJsonToString(widths);
        between += widths[i].asDouble() > 0 && widths[i].asDouble() < 100;
    }
    EXPECT_GE(between, 1) << SaveJsonToString(widths);
    EXPECT_EQ(widths[widths.size() - 1].asDouble(), 100) << SaveJsonToString(widths);

    // Deleting asks first; then the file is gone from the disk and the list.
    ASSERT_TRUE(b.clickSelector("#list-music li button"));
    EXPECT_TRUE(b.waitFor(text("list-music") + " === 'none' && " + text("files-result") + " === 'Deleted old.mp3'", 5000));
    EXPECT_FALSE(FileExists(media.file("/music/old.mp3")));
    EXPECT_EQ(b.dialogs(), std::vector<std::string>{"Delete old.mp3?"});

    // Playlists: "Save" with none chosen and "New" with a name taken say so
    // and touch nothing.
    page("playlists.html", "document.getElementById('pick-evening')");
    std::string evening = GetFileContents(media.file("/playlists/evening.json"));
    auto refused = [&](const std::string& what) {
        return b.waitFor("document.getElementById('playlist-result').classList.contains('error') && " +
                             text("playlist-result") + ".includes(" + js(what) + ")",
                         5000);
    };
    ASSERT_TRUE(b.clickElement("save"));
    EXPECT_TRUE(refused("Nothing to save")) << b.evaluate(text("playlist-result"));
    type("#new-name", "evening");
    ASSERT_TRUE(b.clickElement("new"));
    EXPECT_TRUE(refused("A playlist named evening already exists")) << b.evaluate(text("playlist-result"));
    EXPECT_EQ(b.evaluate(text("edit-name")).asString(), "");
    EXPECT_EQ(GetFileContents(media.file("/playlists/evening.json")), evening);
    // The description typed first, then three entries, the last one's type
    // changed, the second moved up, the last removed: each redraws the entries.
    type("#new-name", "garden");
    ASSERT_TRUE(b.clickElement("new"));
    ASSERT_TRUE(b.waitFor(text("edit-name") + " === 'garden'", 5000));
    type("#description", "front lawn");
    for (const char* name : {"base.hseq", "garden.hseq", "base.hseq"}) {
        ASSERT_TRUE(b.clickElement("add-mainPlaylist"));
        type("#section-mainPlaylist li:last-child input.file", name);
    }
    b.evaluate("(() => { const s = document.querySelector('#section-mainPlaylist li:last-child select');"
               " s.value = 'media'; s.dispatchEvent(new Event('change')); })()");
    ASSERT_TRUE(b.clickSelector("#section-mainPlaylist li:nth-child(2) button"));  // up
    ASSERT_TRUE(b.clickSelector("#section-mainPlaylist li:nth-child(3) button.danger"));
    EXPECT_EQ(b.evaluate("document.getElementById('description').value").asString(), "front lawn");
    ASSERT_TRUE(b.clickElement("save"));
    EXPECT_TRUE(b.waitFor(text("playlist-result") + " === 'Saved garden'", 5000)) << b.evaluate(text("playlist-result"));
    Json::Value saved = LoadJsonFromFile(media.file("/playlists/garden.json"));
    EXPECT_EQ(saved["description"].asString(), "front lawn");
    ASSERT_EQ(saved["mainPlaylist"].size(), 2u) << SaveJsonToString(saved);
    EXPECT_EQ(saved["mainPlaylist"][0]["type"].asString(), "sequence");
    EXPECT_EQ(saved["mainPlaylist"][0]["sequenceName"].asString(), "garden.hseq");
    EXPECT_EQ(saved["mainPlaylist"][1]["sequenceName"].asString(), "base.hseq");
    // A playlist of the same name saved elsewhere after "New" is replaced
    // only when the user says so.
    type("#new-name", "late");
    ASSERT_TRUE(b.clickElement("new"));
    ASSERT_TRUE(b.waitFor(text("edit-name") + " === 'late'", 5000));
    ASSERT_TRUE(b.clickElement("add-mainPlaylist"));
    type("#section-mainPlaylist li:last-child input.file", "garden.hseq");
    ASSERT_EQ(put("/kivd/playlists/late", R"({"description": "elsewhere", "mainPlaylist": [{"type": "sequence", "sequenceName": "base.hseq"}]})",
                  {auth}).status, 201);
    ASSERT_TRUE(b.clickElement("save"));
    EXPECT_TRUE(b.waitFor(text("playlist-result") + " === 'Saved late'", 5000)) << b.evaluate(text("playlist-result"));
    EXPECT_EQ(b.dialogs().back(), "A playlist named late was saved meanwhile. Replace it with this one?");
    EXPECT_EQ(LoadJsonFromFile(media.file("/playlists/late.json"))["mainPlaylist"][0]["sequenceName"].asString(), "garden.hseq");

    // The uploaded show plays its own frames to the receiver.
    ASSERT_EQ(d.command({"Start Playlist", "garden", "false"}), 0);
    ASSERT_TRUE(ddp.waitFor(20, 10000)) << d.log();
    EXPECT_GE(matching(ddp.take()), 10);
    ASSERT_EQ(d.command({"Stop Now"}), 0);

    // Schedule: a new row for the playlist shows the next start the daemon computed.
    media.write("/config/schedule.json", R"([{"enabled": false, "playlist": "evening", "startTime": "18:00:00", "endTime": "19:00:00"}])");
    page("schedule.html", "document.getElementById('row-1')");
    ASSERT_TRUE(b.clickElement("add-row"));
    type("#row-2 td:nth-child(2) input", "garden");
    type("#row-2 td:nth-child(4) input", "21:30:00");
    // A change elsewhere on the board leaves the unsaved row as typed.
    ASSERT_EQ(put("/kivd/playlists/other", saved.toStyledString(), {auth}).status, 201);
    EXPECT_TRUE(b.waitFor("!document.getElementById('changed').hidden", 5000));
    EXPECT_EQ(b.evaluate("document.querySelector('#row-2 td:nth-child(2) input').value").asString(), "garden");
    ASSERT_TRUE(b.clickElement("save"));
    std::string shown = "document.querySelector('#row-2 .next').textContent";
    EXPECT_TRUE(b.waitFor(shown + " !== ''", 5000)) << b.evaluate(text("schedule-result"));
    Json::Value sched = LoadJsonFromString(httpRequest("GET", d.httpUrl("/kivd/config/schedule"), "", {auth}).body);
    Json::Value onDisk = LoadJsonFromFile(media.file("/config/schedule.json"));
    EXPECT_EQ(onDisk[1]["playlist"].asString(), "garden");
    EXPECT_EQ(onDisk[1]["startTime"].asString(), "21:30:00");
    std::string first = sched["next"][1]["next"][0]["startStr"].asString();
    EXPECT_NE(first.find("21:30"), std::string::npos) << SaveJsonToString(sched);
    EXPECT_EQ(b.evaluate(shown).asString().find(first), 0u) << b.evaluate(shown);

    // Outputs: a bad address is named on the page and nothing is written; a
    // good one saved with a restart is where the daemon sends from then on.
    std::string outputs = GetFileContents(media.file("/config/channeloutputs.json"));
    page("outputs.html", "document.getElementById('destinations').tBodies[0].rows.length === 1");
    const std::string address = "#destinations tbody tr td:nth-child(4) input";
    type(address, "10.0.0.300");
    ASSERT_TRUE(b.clickElement("save"));
    EXPECT_TRUE(b.waitFor("document.getElementById('outputs-result').classList.contains('error') && " + text("outputs-result") +
                              ".includes(\"'10.0.0.300'\")",
                          5000))
        << b.evaluate(text("outputs-result"));
    EXPECT_EQ(GetFileContents(media.file("/config/channeloutputs.json")), outputs);
    type(address, lo(2));
    ASSERT_TRUE(b.clickElement("save-restart"));
    EXPECT_TRUE(b.waitFor(text("outputs-result") + " === 'Saved; kivd restarts with it'", 5000)) << b.evaluate(text("outputs-result"));
    ASSERT_TRUE(kivtest::waitUntil([&] { return d.log().find("Performing Restart.") != std::string::npos; }, 10000));
    ASSERT_TRUE(d.waitReady()) << d.output();

    // Test: one colour over the whole range reaches the moved receiver only.
    page("test.html", text("test-status") + " === 'No test running'");
    ddp.take();
    type("#channels", "1-48");
    b.evaluate("document.getElementById('pattern').value = 'Solid Color'; document.getElementById('color').value = '#10a0f0'");
    ASSERT_TRUE(b.clickElement("start"));
    EXPECT_TRUE(b.waitFor(text("test-status") + ".startsWith('Running: Solid Color on channels 1-48')", 5000))
        << b.evaluate(text("test-result"));
    moved.take();
    ASSERT_TRUE(moved.waitFor(3, 5000)) << d.log();
    auto grams = moved.take();
    DecodedPacket p = DecodeDDP(grams.back().bytes.data(), grams.back().bytes.size());
    ASSERT_TRUE(p.valid && p.length == spec.channels);
    const uint8_t rgb[3] = {0x10, 0xa0, 0xf0};
    for (uint32_t c = 0; c < p.length; ++c) ASSERT_EQ(p.data[c], rgb[c % 3]) << "channel " << c + 1;
    EXPECT_EQ(ddp.count(), 0u);
    ASSERT_TRUE(b.clickElement("stop"));
    EXPECT_TRUE(b.waitFor(text("test-status") + " === 'No test running'", 5000));

    // The new row's times edited on the Schedule page to noon: the playlist
    // starts when the faked clock, stepped as NTP would, reaches noon.
    if (!faked) GTEST_SKIP() << "libfaketime is not installed: the row's start is not checked";
    page("schedule.html", "document.getElementById('row-2')");
    type("#row-2 td:nth-child(4) input", "12:00:00");
    type("#row-2 td:nth-child(5) input", "12:30:00");
    ASSERT_TRUE(b.clickElement("save"));
    ASSERT_TRUE(b.waitFor(shown + ".includes('12:00:00')", 5000)) << b.evaluate(shown);
    sched = LoadJsonFromString(httpRequest("GET", d.httpUrl("/kivd/config/schedule"), "", {auth}).body);
    EXPECT_EQ(sched["next"][1]["next"][0]["start"].asInt64(), (long long)noon) << SaveJsonToString(sched);
    usleep(1500 * 1000);  // the scheduler's next passes, an hour before
    EXPECT_EQ(kivtest::playingPlaylist(d), "");
    moved.take();
    ASSERT_TRUE(clock.setOffset(noon - 4 - time(nullptr)));
    ASSERT_TRUE(kivtest::waitUntil([&] { return kivtest::playingPlaylist(d) == "garden"; }, 20000)) << d.log();
    Json::Value status = LoadJsonFromString(kivtest::commandText(d, {"Get Playlist Status"}));
    EXPECT_EQ(status["scheduledStartTime"].asInt64(), (long long)noon) << SaveJsonToString(status);
    ASSERT_TRUE(moved.waitFor(20, 10000)) << d.log();
    grams = moved.take();
    EXPECT_GE(matching(grams), 10);
    // Nothing went out before noon on the daemon's clock (arrivals are stamped on GetTime's).
    timespec wall;
    clock_gettime(CLOCK_REALTIME, &wall);
    long long toWallUs = wall.tv_sec * 1000000LL + wall.tv_nsec / 1000 - GetTime();
    for (auto& g : grams) ASSERT_GE(g.timeUs + toWallUs + clock.offset() * 1000000LL, noon * 1000000LL);
}

}  // namespace
