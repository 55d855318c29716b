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
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <set>

#include "HeadlessChromium.h"
#include "FaultSupport.h"
#include "HttpClient.h"
#include "KivdProcess.h"
#include "LiveInputSupport.h"
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

// Drives the pages as a user would: types into fields (never a file name:
// those are picked) and picks from lists.
struct PageDriver {
    kivtest::HeadlessChromium& b;
    static std::string js(const std::string& s) { return SaveJsonToString(Json::Value(s)); }
    static std::string text(const std::string& id) { return "document.getElementById('" + id + "').textContent"; }
    void open(const std::string& url, const std::string& ready) {
        ASSERT_TRUE(b.open(url)) << b.error();
        ASSERT_TRUE(b.waitFor(ready, 10000)) << url << ": " << b.evaluate("document.body.innerText").asString();
    }
    // Types as a keyboard would, then leaves the field.
    void type(const std::string& selector, const std::string& text) {
        for (const char* ext : {".hseq", ".mp3", ".png", ".json", ".eseq"}) {
            ASSERT_FALSE(endsWith(text, ext)) << "a file name typed: " << text;
        }
        ASSERT_TRUE(b.evaluate("(() => { const e = document.querySelector(" + js(selector) +
                               "); if (!e) return false; e.focus(); e.value = ''; return true; })()")
                        .asBool())
            << selector;
        Json::Value p;
        p["text"] = text;
        b.call("Input.insertText", p);
        b.evaluate("document.activeElement.blur()");
    }
    // Picks an option of a list, as choosing it from the list would.
    void pick(const std::string& selector, const std::string& value) {
        ASSERT_TRUE(b.evaluate("(() => { const s = document.querySelector(" + js(selector) + "); if (!s || ![...s.options]"
                               ".some((o) => o.value === " + js(value) + ")) return false; s.value = " + js(value) +
                               "; s.dispatchEvent(new Event('change', {bubbles: true})); return true; })()")
                        .asBool())
            << selector << " has no " << value << ": " << b.evaluate("document.body.innerText").asString();
    }
};

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
        {"/kivd/config/settings", R"({"kivMode": "boss"})", 422, "\"kivMode\" must be one of player, master, remote"},
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

// Every page on a 390 px phone in the dark scheme and a 1200 px screen in
// the light one, filled as a board in use fills it: nothing lies beyond the
// viewport (so nothing scrolls sideways), every control is a finger's size,
// axe-core finds nothing serious, and no page reports an error. The
// screenshots are kept in the build's tests/screenshots.
TEST_F(SetupEndToEnd, EveryPageFitsAPhoneAndADesktopIsAccessibleAndReportsNoErrors) {
    if (!kivtest::HeadlessChromium::available()) GTEST_SKIP() << "chromium is not installed";
    ASSERT_FALSE(kivtest::HeadlessChromium::axePath().empty()) << "axe-core is missing: run scripts/setup.sh";
    media.write("/sequences/front-yard-mega-tree-and-arches-final-mix.hseq", GetFileContents(showFile));
    media.write("/music/front-yard-mega-tree-and-arches-final-mix.mp3", "ID3");
    mkdir(media.file("/effects").c_str(), 0755);
    media.write("/effects/flash.eseq", GetFileContents(showFile));
    media.write("/playlists/show.json", R"({"description": "Front yard, every evening in December",
        "leadIn": [{"type": "image", "imagePath": "welcome-sign.png", "modelName": "Matrix"}],
        "mainPlaylist": [{"type": "both", "sequenceName": "base.hseq", "mediaName": "song.mp3"}],
        "leadOut": [{"type": "media", "mediaName": "goodnight.mp3"}]})");
    media.write("/config/schedule.json", R"([
        {"enabled": true, "playlist": "evening", "day": "Everyday", "startTime": "18:00:00", "endTime": "22:30:00",
         "startDate": "2024-11-25", "endDate": "2099-01-06", "repeat": true, "stopType": "Graceful Loop"},
        {"enabled": true, "playlist": "evening", "day": "Weekends", "startTime": "SunSet", "startTimeOffset": -30,
         "endTime": "23:00:00"},
        {"command": "Effects Stop All", "day": "Weekdays", "startTime": "23:30:00"}])");
    media.write("/config/channeloutputs.json", R"({"channelOutputs": [
        {"type": "UDP", "universes": [{"type": 4, "address": ")" + lo(1) + R"(", "startChannel": 1, "channelCount": 48, "monitor": 0},
          {"type": 1, "address": ")" + lo(1) + R"(", "universe": 10, "universeCount": 2, "startChannel": 49, "channelCount": 510, "monitor": 0}]},
        {"type": "HTTPVirtualDisplay", "startChannel": 1, "channelCount": 48, "port": 32328, "pixelMap": "map"}]})");
    media.write("/config/map", "width = 4\nheight = 4\n0,0,1,3,RGB\n3,3,46,3,RGB\n");
    media.write("/config/overlay-models.json", R"({"models": [{"name": "Matrix", "startChannel": 1, "width": 4, "height": 4}]})");
    media.write("/config/inputs.json", R"({"address": ")" + lo(3) + R"(", "inputs": [{"description": "From the sequencer", "protocol": "DDP", "channelCount": 48}]})");
    start("Latitude = 51.5\nLongitude = -0.12\n");
    struct Page {
        const char* file;
        const char* ready;  // true once the page shows what it loaded
        const char* pick;   // clicked first when set
    };
    const Page pages[] = {
        {"index.html", "document.getElementById('connection').textContent === 'connected' && "
                       "document.getElementById('start-playlist').options.length > 1 && "
                       "(document.getElementById('display').contentWindow.kivVirtualDisplay || {}).connected", nullptr},
        {"files.html", "document.getElementById('list-effects')", nullptr},
        {"playlists.html", "document.querySelector('#section-leadIn li')", "#pick-show"},
        {"schedule.html", "document.querySelector('#row-2 .when').textContent !== ''", nullptr},
        {"outputs.html", "document.getElementById('destinations').children.length === 2", nullptr},
        {"effects.html", "document.getElementById('effect-name').value === 'flash.eseq' && document.querySelector('fieldset.model')", nullptr},
        {"inputs.html", "document.getElementById('inputs').textContent.includes('From the sequencer')", nullptr},
        {"board.html", "document.getElementById('plugin-dir').textContent !== ''", nullptr},
        {"settings.html", "document.getElementById('setting-LogLevel_HTTP')", nullptr},
        {"log.html", "document.getElementById('log').textContent !== ''", nullptr},
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
    // Controls smaller than 44 x 44 px; a checkbox counts with its label.
    const std::string small = R"((() => {
        const out = [];
        for (const e of document.querySelectorAll('button, select, input, textarea, nav a, a.button, summary')) {
          const own = e.getBoundingClientRect();
          if (!own.width || !own.height) continue;
          const t = e.type === 'checkbox' && e.labels.length && e.labels[0].contains(e) ? e.labels[0] : e;
          const r = t.getBoundingClientRect();
          if (r.width < 43.5 || r.height < 43.5) out.push((e.id || e.textContent || e.type) + ' ' + Math.round(r.width) + 'x' + Math.round(r.height));
        }
        return out;
    })())";
    auto listed = [](const Json::Value& v) {
        std::string text;
        for (Json::ArrayIndex i = 0; i < v.size() && i < 12; ++i) text += "\n  " + v[i].asString();
        return text;
    };
    const std::string shots = std::string(KIV_TEST_BUILD_DIR) + "/tests/screenshots";
    mkdir(shots.c_str(), 0755);
    kivtest::HeadlessChromium b;
    ASSERT_TRUE(b.ok()) << b.error();
    for (int width : {390, 1200}) {
        Json::Value screen;
        screen["width"] = width;
        screen["height"] = width < 600 ? 844 : 900;
        screen["deviceScaleFactor"] = 1;
        screen["mobile"] = width < 600;
        ASSERT_FALSE(b.call("Emulation.setDeviceMetricsOverride", screen).isNull()) << b.error();
        Json::Value scheme;
        scheme["features"][0]["name"] = "prefers-color-scheme";
        scheme["features"][0]["value"] = width < 600 ? "dark" : "light";
        ASSERT_FALSE(b.call("Emulation.setEmulatedMedia", scheme).isNull()) << b.error();
        for (const Page& p : pages) {
            SCOPED_TRACE(std::string(p.file) + " at " + std::to_string(width) + " px");
            b.takeConsoleErrors();
            ASSERT_TRUE(b.open(d.httpUrl("/") + p.file)) << b.error();
            if (p.pick) {
                ASSERT_TRUE(b.waitFor(std::string("document.querySelector('") + p.pick + "')", 10000) &&
                            b.clickSelector(p.pick));
            }
            ASSERT_TRUE(b.waitFor(p.ready, 15000)) << b.evaluate("document.body.innerText").asString();
            EXPECT_EQ(b.evaluate("document.documentElement.clientWidth").asInt(), width);
            Json::Value out = b.evaluate("(" + beyond + ")(" + std::to_string(width) + ")");
            ASSERT_TRUE(out.isArray()) << b.error();
            EXPECT_EQ(out.size(), 0u) << "beyond the viewport:" << listed(out);
            Json::Value tiny = b.evaluate(small);
            ASSERT_TRUE(tiny.isArray()) << b.error();
            EXPECT_EQ(tiny.size(), 0u) << "smaller than 44 px:" << listed(tiny);
            Json::Value axe = b.seriousAccessibilityViolations();
            ASSERT_TRUE(axe.isArray()) << b.error();
            EXPECT_EQ(axe.size(), 0u) << "axe-core:" << listed(axe);
            std::vector<uint8_t> png = b.screenshot();
            PutFileContents(shots + "/" + std::string(p.file).substr(0, std::string(p.file).find('.')) + "-" +
                                std::to_string(width) + ".png",
                            std::string(png.begin(), png.end()));
            auto errors = b.takeConsoleErrors();
            std::string all;
            for (auto& e : errors) all += "\n  " + e;
            EXPECT_TRUE(errors.empty()) << "errors:" << all;
        }
    }
}

// A first-time set-up in Chromium, from a media folder with nothing in it
// to a scheduled show at a receiver, without typing a single file name: on
// a daemon with an access token and a wall clock faked to an hour before
// noon (whatever the real time), what the pages save is on disk and the
// daemon acts on it.
TEST_F(SetupEndToEnd, PagesInChromiumSetUpAnEmptyBoardToAScheduledShowWithoutTypingAFileName) {
    if (!kivtest::HeadlessChromium::available()) GTEST_SKIP() << "chromium is not installed";
    for (const char* f : {"/sequences/base.hseq", "/playlists/evening.json", "/config/channeloutputs.json"}) {
        ASSERT_EQ(unlink(media.file(f).c_str()), 0) << f;
    }
    kivtest::UdpReceiver ddp(lo(1), 4048);
    ASSERT_TRUE(ddp.ok());
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
    PageDriver u{b};
    auto js = PageDriver::js;
    auto text = PageDriver::text;
    auto page = [&](const std::string& name, const std::string& ready) { u.open(d.httpUrl("/" + name), ready); };
    auto type = [&](const std::string& selector, const std::string& t) { u.type(selector, t); };
    auto pick = [&](const std::string& selector, const std::string& v) { u.pick(selector, v); };
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

    // Files: picked in the file chooser, the kind follows its extension;
    // uploaded at a garden's Wi-Fi pace, the bar grows to full; the file is
    // byte-exact and listed with its length.
    uploadBytesPerSecond(GetFileContents(upload).size() / 2.0);
    b.evaluate("window.widths = []; new MutationObserver(() => widths.push(parseFloat(document.getElementById("
               "'upload-bar').style.width) || 0)).observe(document.getElementById('upload-bar'), {attributes: true})");
    b.evaluate("document.getElementById('upload-kind').value = 'images'");
    Json::Value root = b.call("DOM.getDocument", Json::Value(Json::objectValue));
    Json::Value q;
    q["nodeId"] = root["root"]["nodeId"];
    q["selector"] = "#upload-file";
    Json::Value files;
    files["nodeId"] = b.call("DOM.querySelector", q)["nodeId"];
    files["files"].append(upload);
    b.call("DOM.setFileInputFiles", files);
    EXPECT_EQ(b.evaluate("document.getElementById('upload-kind').value").asString(), "sequences");
    ASSERT_TRUE(b.clickElement("upload"));
    EXPECT_TRUE(b.waitFor(text("upload-result") + " === 'Uploaded garden.hseq'", 20000)) << b.evaluate(text("upload-result"));
    uploadBytesPerSecond(-1);
    EXPECT_TRUE(b.waitFor(text("list-sequences") + ".includes('garden.hseq0:10')", 5000)) << b.evaluate(text("list-sequences"));
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

    // Outputs: a new destination with a bad address is named on the page and
    // nothing is written; a good one saved with a restart is where the
    // daemon sends from then on. The interface is one of the board's.
    page("outputs.html", "document.body.dataset.loaded");
    ASSERT_TRUE(b.clickElement("add-destination"));
    EXPECT_TRUE(b.evaluate("[...document.querySelectorAll('#udp-entry .interface option')].some((o) => o.value === '')").asBool());
    const std::string dest = "#destinations li:last-child ";
    type(dest + ".address input", "10.0.0.300");
    type(dest + ".channelCount input", "48");
    b.evaluate("document.querySelector('#destinations li:last-child .monitor input').click()");
    ASSERT_TRUE(b.clickElement("save"));
    EXPECT_TRUE(b.waitFor("document.getElementById('outputs-result').classList.contains('error') && " + text("outputs-result") +
                              ".includes(\"'10.0.0.300'\")",
                          5000))
        << b.evaluate(text("outputs-result"));
    EXPECT_FALSE(FileExists(media.file("/config/channeloutputs.json")));
    type(dest + ".address input", lo(1));
    ASSERT_TRUE(b.clickElement("save-restart"));
    EXPECT_TRUE(b.waitFor(text("outputs-result") + " === 'Saved; kivd restarts with it'", 5000)) << b.evaluate(text("outputs-result"));
    ASSERT_TRUE(kivtest::waitUntil([&] { return d.log().find("Performing Restart.") != std::string::npos; }, 10000));
    ASSERT_TRUE(d.waitReady()) << d.output();
    Json::Value out = LoadJsonFromFile(media.file("/config/channeloutputs.json"))["channelOutputs"][0]["universes"][0];
    EXPECT_EQ(out["type"].asInt(), 4) << SaveJsonToString(out);
    EXPECT_EQ(out["channelCount"].asInt(), 48) << SaveJsonToString(out);
    EXPECT_EQ(out["monitor"].asInt(), 0) << SaveJsonToString(out);

    // Test: one colour over the whole range reaches the receiver.
    page("test.html", text("test-status") + " === 'No test running'");
    type("#channels", "1-48");
    b.evaluate("document.getElementById('pattern').value = 'Solid Color'; document.getElementById('color').value = '#10a0f0'");
    ASSERT_TRUE(b.clickElement("start"));
    EXPECT_TRUE(b.waitFor(text("test-status") + ".startsWith('Running: Solid Color on channels 1-48')", 5000))
        << b.evaluate(text("test-result"));
    ddp.take();
    ASSERT_TRUE(ddp.waitFor(3, 5000)) << d.log();
    auto grams = ddp.take();
    DecodedPacket p = DecodeDDP(grams.back().bytes.data(), grams.back().bytes.size());
    ASSERT_TRUE(p.valid && p.length == spec.channels);
    const uint8_t rgb[3] = {0x10, 0xa0, 0xf0};
    for (uint32_t c = 0; c < p.length; ++c) ASSERT_EQ(p.data[c], rgb[c % 3]) << "channel " << c + 1;
    ASSERT_TRUE(b.clickElement("stop"));
    EXPECT_TRUE(b.waitFor(text("test-status") + " === 'No test running'", 5000));

    // Playlists: "Save" with none chosen says so and touches nothing. A new
    // playlist's entry offers the one sequence on the board, with its length.
    page("playlists.html", text("playlist-list") + ".includes('none yet')");
    auto refused = [&](const std::string& what) {
        return b.waitFor("document.getElementById('playlist-result').classList.contains('error') && " +
                             text("playlist-result") + ".includes(" + js(what) + ")",
                         5000);
    };
    ASSERT_TRUE(b.clickElement("save"));
    EXPECT_TRUE(refused("Nothing to save")) << b.evaluate(text("playlist-result"));
    type("#new-name", "garden");
    ASSERT_TRUE(b.clickElement("new"));
    ASSERT_TRUE(b.waitFor(text("edit-name") + " === 'garden'", 5000));
    type("#description", "front lawn");
    const std::string main = "#section-mainPlaylist ";
    ASSERT_TRUE(b.clickElement("add-mainPlaylist"));
    EXPECT_EQ(b.evaluate("document.querySelector('" + main + "li select.name').value").asString(), "garden.hseq");
    EXPECT_EQ(b.evaluate("document.querySelector('" + main + "li .length').textContent").asString(), "0:10");
    // A second entry, a picture without a model, then moved up with its
    // button, then dragged back below the first: each redraws the entries.
    ASSERT_TRUE(b.clickElement("add-mainPlaylist"));
    pick(main + "li:last-child select", "image");
    EXPECT_EQ(b.evaluate("document.querySelector('" + main + "li:last-child .field:nth-of-type(2) select').options[0].text").asString(),
              "pick a file");
    ASSERT_TRUE(b.clickSelector(main + "li:nth-child(2) button.up"));
    EXPECT_EQ(b.evaluate("document.querySelector('" + main + "li:first-child select').value").asString(), "image");
    b.evaluate("(() => { const items = document.querySelectorAll('" + main + "li'); const dt = new DataTransfer();"
               " items[0].dispatchEvent(new DragEvent('dragstart', {dataTransfer: dt, bubbles: true}));"
               " document.getElementById('section-mainPlaylist').dispatchEvent(new DragEvent('drop', {dataTransfer: dt, bubbles: true})); })()");
    EXPECT_EQ(b.evaluate("document.querySelector('" + main + "li:last-child select').value").asString(), "image");
    EXPECT_EQ(b.evaluate("document.getElementById('description').value").asString(), "front lawn");
    // The picture has no file: the daemon refuses it and nothing is written.
    ASSERT_TRUE(b.clickElement("save"));
    EXPECT_TRUE(refused("mainPlaylist entry 2")) << b.evaluate(text("playlist-result"));
    EXPECT_FALSE(FileExists(media.file("/playlists/garden.json")));
    ASSERT_TRUE(b.clickSelector(main + "li:last-child button.remove"));
    ASSERT_TRUE(b.clickElement("save"));
    EXPECT_TRUE(b.waitFor(text("playlist-result") + " === 'Saved garden'", 5000)) << b.evaluate(text("playlist-result"));
    Json::Value saved = LoadJsonFromFile(media.file("/playlists/garden.json"));
    EXPECT_EQ(saved["description"].asString(), "front lawn");
    ASSERT_EQ(saved["mainPlaylist"].size(), 1u) << SaveJsonToString(saved);
    EXPECT_EQ(saved["mainPlaylist"][0]["type"].asString(), "sequence");
    EXPECT_EQ(saved["mainPlaylist"][0]["sequenceName"].asString(), "garden.hseq");
    // A second "garden" is refused; one saved elsewhere after "New" is
    // replaced only when the user says so.
    ASSERT_TRUE(b.waitFor("document.getElementById('pick-garden')", 5000));
    type("#new-name", "garden");
    ASSERT_TRUE(b.clickElement("new"));
    EXPECT_TRUE(refused("A playlist named garden already exists")) << b.evaluate(text("playlist-result"));
    type("#new-name", "late");
    ASSERT_TRUE(b.clickElement("new"));
    ASSERT_TRUE(b.waitFor(text("edit-name") + " === 'late'", 5000));
    ASSERT_TRUE(b.clickElement("add-mainPlaylist"));
    ASSERT_EQ(put("/kivd/playlists/late", R"({"description": "elsewhere", "mainPlaylist": [{"type": "both", "sequenceName": "garden.hseq"}]})",
                  {auth}).status, 201);
    // The change shows as a banner over the page; the entry being made stays.
    ASSERT_TRUE(b.waitFor("!document.getElementById('changed').hidden", 5000));
    EXPECT_EQ(b.evaluate("document.querySelectorAll('" + main + "li').length").asInt(), 1);
    ASSERT_TRUE(b.clickElement("save"));
    EXPECT_TRUE(b.waitFor(text("playlist-result") + " === 'Saved late'", 5000)) << b.evaluate(text("playlist-result"));
    EXPECT_EQ(b.dialogs().back(), "A playlist named late was saved meanwhile. Replace it with this one?");
    EXPECT_EQ(LoadJsonFromFile(media.file("/playlists/late.json"))["mainPlaylist"][0]["type"].asString(), "sequence");

    // Status: the playlist picked from the list plays the uploaded show's own frames.
    page("index.html", "[...document.getElementById('start-playlist').options].some((o) => o.value === 'garden')");
    pick("#start-playlist", "garden");
    ddp.take();
    ASSERT_TRUE(b.clickElement("start"));
    EXPECT_TRUE(b.waitFor(text("playlist-name") + " === 'garden'", 5000)) << b.evaluate(text("command-result"));
    ASSERT_TRUE(ddp.waitFor(20, 10000)) << d.log();
    EXPECT_GE(matching(ddp.take()), 10);
    ASSERT_TRUE(b.clickElement("stop-now"));
    EXPECT_TRUE(kivtest::waitUntil([&] { return kivtest::playingPlaylist(d).empty(); }, 5000));

    // Schedule: a new row offers the playlists of the board; the unsaved row
    // stays as set while something changes elsewhere; once saved, its next
    // start comes first in the list at the top.
    page("schedule.html", "document.body.dataset.loaded && " + text("coming") + " === 'nothing scheduled'");
    ASSERT_TRUE(b.clickElement("add-row"));
    EXPECT_EQ(b.evaluate("document.querySelector('#row-1 .what select').value").asString(), "playlist:garden");
    b.evaluate("(() => { const t = document.querySelector('#row-1 .startTime-at input'); t.value = '12:00:00'; t.dispatchEvent(new Event('change')); "
               "const e = document.querySelector('#row-1 .endTime-at input'); e.value = '12:30:00'; e.dispatchEvent(new Event('change')); })()");
    ASSERT_EQ(put("/kivd/playlists/other", saved.toStyledString(), {auth}).status, 201);
    EXPECT_TRUE(b.waitFor("!document.getElementById('changed').hidden", 5000));
    EXPECT_EQ(b.evaluate("document.querySelector('#row-1 .startTime-at input').value").asString(), "12:00:00");
    ASSERT_TRUE(b.clickElement("save"));
    std::string first = "document.querySelector('#coming li span').textContent";
    EXPECT_TRUE(b.waitFor(first + ".includes('12:00:00')", 5000)) << b.evaluate(text("schedule-result"));
    Json::Value onDisk = LoadJsonFromFile(media.file("/config/schedule.json"));
    EXPECT_EQ(onDisk[0]["playlist"].asString(), "garden");
    EXPECT_EQ(onDisk[0]["startTime"].asString(), "12:00:00");
    EXPECT_EQ(onDisk[0]["endTime"].asString(), "12:30:00");

    // The row's playlist starts when the faked clock, stepped as NTP would, reaches noon.
    if (!faked) GTEST_SKIP() << "libfaketime is not installed: the row's start is not checked";
    Json::Value sched = LoadJsonFromString(httpRequest("GET", d.httpUrl("/kivd/config/schedule"), "", {auth}).body);
    EXPECT_EQ(sched["next"][0]["next"][0]["start"].asInt64(), (long long)noon) << SaveJsonToString(sched);
    usleep(1500 * 1000);  // the scheduler's next passes, an hour before
    EXPECT_EQ(kivtest::playingPlaylist(d), "");
    ddp.take();
    ASSERT_TRUE(clock.setOffset(noon - 4 - time(nullptr)));
    ASSERT_TRUE(kivtest::waitUntil([&] { return kivtest::playingPlaylist(d) == "garden"; }, 20000)) << d.log();
    Json::Value status = LoadJsonFromString(kivtest::commandText(d, {"Get Playlist Status"}));
    EXPECT_EQ(status["scheduledStartTime"].asInt64(), (long long)noon) << SaveJsonToString(status);
    ASSERT_TRUE(ddp.waitFor(20, 10000)) << d.log();
    grams = ddp.take();
    EXPECT_GE(matching(grams), 10);
    // Nothing went out before noon on the daemon's clock (arrivals are stamped on GetTime's).
    timespec wall;
    clock_gettime(CLOCK_REALTIME, &wall);
    long long toWallUs = wall.tv_sec * 1000000LL + wall.tv_nsec / 1000 - GetTime();
    for (auto& g : grams) ASSERT_GE(g.timeUs + toWallUs + clock.offset() * 1000000LL, noon * 1000000LL);
}

// The rest of the board in Chromium: settings saved by their rules (a
// log level at once), the log filtered and downloaded, an effect file and
// a model's fill at a receiver, text and an effect on a model in the
// daemon's state, live input counted and recorded into a listed file.
TEST_F(SetupEndToEnd, PagesInChromiumChangeSettingsReadTheLogDrawOnModelsAndRecordLiveInput) {
    if (!kivtest::HeadlessChromium::available()) GTEST_SKIP() << "chromium is not installed";
    kivtest::UdpReceiver ddp(lo(1), 4048);
    ASSERT_TRUE(ddp.ok());
    ShowSpec effect;
    effect.channels = 48;
    effect.frames = 20;
    effect.seed = 3;
    mkdir(media.file("/effects").c_str(), 0755);
    ASSERT_TRUE(GenerateShow(media.file("/effects/flash.hseq"), effect));
    media.write("/config/overlay-models.json", R"({"models": [{"name": "Matrix", "startChannel": 1, "width": 4, "height": 4}]})");
    media.write("/config/inputs.json", R"({"address": ")" + lo(3) + R"(", "inputs": [{"description": "Console", "protocol": "DDP", "channelCount": 12, "startChannel": 101}]})");
    start();
    kivtest::HeadlessChromium b;
    ASSERT_TRUE(b.ok()) << b.error();
    PageDriver u{b};
    auto text = PageDriver::text;
    auto frames = [&](int n) {
        ddp.take();
        std::vector<std::vector<uint8_t>> out;
        if (!ddp.waitFor(n, 10000)) return out;
        for (auto& g : ddp.take()) {
            DecodedPacket p = DecodeDDP(g.bytes.data(), g.bytes.size());
            if (p.valid && p.length == 48) out.emplace_back(p.data, p.data + p.length);
        }
        return out;
    };

    // Settings: a value out of its range is marked with its rule and not
    // sent; the good values are written as the file writes them and a log
    // level applies at once; a key about access has no control.
    std::string settings = GetFileContents(media.file("/settings"));
    u.open(d.httpUrl("/settings.html"), "document.body.dataset.loaded");
    EXPECT_TRUE(b.evaluate("document.getElementById('setting-HTTPAccessToken').disabled").asBool());
    u.type("#setting-mediaOffset", "-120");
    u.pick("#setting-LogLevel_Schedule", "debug");
    u.type("#setting-E131BridgingInterval", "9000");
    EXPECT_EQ(b.evaluate(text("setting-E131BridgingInterval-problem")).asString(), "Must be a whole number from 10 to 1000");
    ASSERT_TRUE(b.clickElement("save"));
    EXPECT_TRUE(b.waitFor(text("settings-result") + " === 'Correct the values marked first'", 5000)) << b.evaluate(text("settings-result"));
    EXPECT_EQ(GetFileContents(media.file("/settings")), settings);
    u.type("#setting-E131BridgingInterval", "40");
    ASSERT_TRUE(b.clickElement("save"));
    EXPECT_TRUE(b.waitFor(text("settings-result") + " === 'Saved mediaOffset, LogLevel_Schedule, E131BridgingInterval; "
                          "E131BridgingInterval, mediaOffset take effect after a restart'", 5000))
        << b.evaluate(text("settings-result"));
    std::string written = GetFileContents(media.file("/settings"));
    for (const char* line : {"mediaOffset = -120\n", "LogLevel_Schedule = debug\n", "E131BridgingInterval = 40\n"}) {
        EXPECT_NE(written.find(line), std::string::npos) << line << written;
    }
    auto log = [&](const std::string& query) { return LoadJsonFromString(kivtest::httpGet(d.httpUrl("/kivd/log" + query)).body); };
    EXPECT_NE(log("")["levelsInForce"].asString().find("debug:Schedule"), std::string::npos);

    // Log: filtered by level, then by facility; the file downloads whole.
    u.open(d.httpUrl("/log.html"), "document.querySelectorAll('#log span').length > 0");
    u.pick("#level", "warn");
    std::string spans = "[...document.querySelectorAll('#log span')]";
    EXPECT_TRUE(b.waitFor(spans + ".length > 0 && " + spans + ".every((s) => s.className === 'error' || s.className === 'warn')", 5000))
        << b.evaluate(text("log"));
    u.pick("#facility", "Settings");
    EXPECT_TRUE(b.waitFor(spans + ".length > 0 && " + spans + ".every((s) => s.textContent.includes('[Settings]'))", 5000))
        << b.evaluate(text("log"));
    for (auto& l : log("?level=warn&facility=Settings")["lines"]) EXPECT_TRUE(l["level"] == "warn" || l["level"] == "error");
    EXPECT_EQ(kivtest::httpGet(d.httpUrl("/kivd/log?level=loud")).status, 400);
    b.evaluate("window.saved = []; const make = URL.createObjectURL; URL.createObjectURL = (x) => { saved.push(x); return make(x); }");
    ASSERT_TRUE(b.clickElement("download-file"));
    ASSERT_TRUE(b.waitFor("saved.length === 1", 5000));
    std::string downloaded = b.evaluate("saved[0].text()").asString();
    EXPECT_NE(downloaded.find("Settings changed from"), std::string::npos) << downloaded.size();
    EXPECT_EQ(downloaded, GetFileContents(media.file("/logs/kivd.log")).substr(0, downloaded.size()));

    // Effects: the effect file plays its own frames where it puts them.
    u.open(d.httpUrl("/effects.html"), "document.getElementById('effect-name').value === 'flash.hseq' && document.querySelector('fieldset.model')");
    ASSERT_TRUE(b.clickElement("effect-loop"));
    ASSERT_TRUE(b.clickElement("effect-start"));
    EXPECT_TRUE(b.waitFor(text("running") + ".includes('flash')", 5000)) << b.evaluate(text("effects-result"));
    std::set<std::vector<uint8_t>> own;
    std::vector<uint8_t> frame(48);
    for (uint32_t f = 0; f < effect.frames; ++f) {
        RenderShowFrame(effect, f, frame.data());
        own.insert(frame);
    }
    int matched = 0;
    for (auto& f : frames(10)) matched += own.count(f);
    EXPECT_GE(matched, 5);
    ASSERT_TRUE(b.clickElement("stop-all"));
    EXPECT_TRUE(b.waitFor(text("running") + " === 'none'", 5000));
    // Overlay model: a fill reaches the receiver; text and an effect are the daemon's state.
    b.evaluate("document.getElementById('model-Matrix-colour').value = '#ff8000'");
    ASSERT_TRUE(b.clickSelector("#model-Matrix-card button"));  // Fill
    EXPECT_TRUE(b.waitFor(text("model-Matrix-result") + ".includes('filled')", 5000)) << b.evaluate(text("model-Matrix-result"));
    auto filled = frames(3);
    ASSERT_FALSE(filled.empty()) << d.log();
    const uint8_t orange[3] = {0xff, 0x80, 0x00};
    for (size_t c = 0; c < 48; ++c) ASSERT_EQ(filled.back()[c], orange[c % 3]) << "channel " << c + 1;
    u.type("#model-Matrix-text", "Hi");
    ASSERT_TRUE(b.clickElement("model-Matrix-write"));
    auto models = [&] { return LoadJsonFromString(kivtest::httpGet(d.httpUrl("/kivd/overlays")).body)[0]; };
    EXPECT_TRUE(kivtest::waitUntil([&] { return models()["drawing"].asString() == "Text 'Hi'"; }, 5000)) << SaveJsonToString(models());
    u.pick("#model-Matrix-effect", "Twinkle");
    u.type("#model-Matrix-params", "density=50 colour=gold");
    ASSERT_TRUE(b.clickSelector("#model-Matrix-card fieldset > div:nth-of-type(4) button, #model-Matrix-card > div:nth-of-type(4) button"));
    EXPECT_TRUE(kivtest::waitUntil([&] { return models()["effect"]["name"].asString() == "Twinkle"; }, 5000)) << SaveJsonToString(models());
    EXPECT_EQ(models()["effect"]["parameters"]["density"].asInt(), 50) << SaveJsonToString(models());

    // Inputs: packets are counted; a recording started and stopped on the
    // page is a file of the sequences, listed as recorded live.
    kivtest::UdpSender console(lo(4));
    ASSERT_TRUE(console.ok());
    auto send = [&](int n) {
        for (int i = 0; i < n; ++i, usleep(20000)) console.send(kivtest::DDPData(0, kivtest::Bytes(12, (uint8_t)(i * 9)), true, (uint8_t)i), lo(3), 4048);
    };
    u.open(d.httpUrl("/inputs.html"), text("inputs") + ".includes('Console')");
    send(10);
    EXPECT_TRUE(b.waitFor(text("inputs") + ".includes('live')", 5000)) << b.evaluate(text("inputs"));
    std::string file = b.evaluate("document.getElementById('record-file').value").asString();
    ASSERT_TRUE(b.clickElement("record-start"));
    EXPECT_TRUE(b.waitFor(text("recording-state") + ".startsWith('Recording into')", 5000)) << b.evaluate(text("record-result"));
    send(25);
    ASSERT_TRUE(b.clickElement("record-stop"));
    EXPECT_TRUE(b.waitFor(text("record-result") + ".startsWith('Recorded')", 5000)) << b.evaluate(text("record-result"));
    EXPECT_TRUE(FileExists(media.file("/sequences/" + file))) << file;
    EXPECT_TRUE(b.waitFor(text("recordings") + ".includes(" + PageDriver::js(file) + ")", 10000)) << b.evaluate(text("recordings"));
}

}  // namespace
