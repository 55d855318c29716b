// Garbage, oversized messages and floods on the daemon's interfaces while
// the show plays: well-formed requests keep their right answers, the show
// keeps its grid, and the log does not fill the card.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>

#include "FaultSupport.h"
#include "HttpClient.h"
#include "KivdProcess.h"
#include "MqttTestSupport.h"
#include "TestSupport.h"
#include "common.h"

namespace {

constexpr int FRAMES = 120;  // 3 s at 25 ms

// A client of the command socket that sends any bytes and reads the answer.
class RawCommandClient {
public:
    explicit RawCommandClient(const std::string& path) {
        m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un self{};
        self.sun_family = AF_UNIX;
        bind(m_fd, (sockaddr*)&self, sizeof(sa_family_t));
        int sz = 4 * 1024 * 1024;
        setsockopt(m_fd, SOL_SOCKET, SO_SNDBUF, &sz, sizeof(sz));
        setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &sz, sizeof(sz));
        m_to.sun_family = AF_UNIX;
        strncpy(m_to.sun_path, path.c_str(), sizeof(m_to.sun_path) - 1);
    }
    ~RawCommandClient() { close(m_fd); }
    bool send(const std::string& bytes, int flags = 0) {
        return sendto(m_fd, bytes.data(), bytes.size(), flags, (sockaddr*)&m_to, sizeof(m_to)) == (ssize_t)bytes.size();
    }
    // The answer document, null when none came.
    Json::Value answer(int timeoutMs) {
        pollfd p = {m_fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return Json::Value();
        std::vector<char> buf(4 * 1024 * 1024);
        ssize_t n = recv(m_fd, buf.data(), buf.size(), 0);
        Json::Value v;
        if (n <= 0 || !ParseJson(std::string(buf.data(), n), v)) return Json::Value();
        return v;
    }

private:
    int m_fd;
    sockaddr_un m_to{};
};

class Garbage : public ::testing::Test {
protected:
    void SetUp() override {
        if (!kivtest::slotFitsToday(-60, 600)) GTEST_SKIP() << "too close to midnight for a same-day slot";
        ShowSpec a, b;
        a.frames = b.frames = FRAMES;
        show.reset(new kivtest::ShowUnderTest(media.path(), {"a.hseq", "b.hseq"}, {a, b}, 205));
        ASSERT_TRUE(show->ok());
        show->writePlaylist("show", {0, 1});
        show->writeOutputs();
        show->writeSchedule({kivtest::scheduleRow("show", -60, 600, "Hard")});
    }

    // While the show played: every run whole, in order and on its grid, and
    // each entry starting when the one before ended.
    void expectTheShowKeptItsGrid(kivtest::KivdProcess& d) {
        auto runs = show->runs();
        ASSERT_GE(runs.size(), 3u) << show->describe();
        for (size_t i = 0; i < runs.size(); ++i) {
            EXPECT_EQ(0, runs[i].grid.backwards) << show->describe();
            EXPECT_EQ(0, runs[i].grid.damaged) << show->describe();
            if (!kivtest::TIMING_JUDGED) continue;
            // The flooders of the test take both cores of a small machine;
            // a player short of time drops a frame rather than fall behind
            // the grid, and says so; no other frame may go.
            EXPECT_LE(kivtest::unexplainedSkips(runs[i].grid, d), kivtest::lateReads(d)) << show->describe();
            EXPECT_LT(runs[i].grid.maxGapUs, 400000 + 2 * show->stallUs()) << show->describe();
            if (i > 0 && i + 1 < runs.size()) {
                EXPECT_NEAR((runs[i].startUs - runs[i - 1].startUs) / 1000.0, FRAMES * 25,
                            600 + 2 * show->stallUs() / 1000.0)
                    << show->describe();
            }
        }
    }

    // Bytes of log written since `from`, but for the player's lines at debug
    // level, which the test turns on to learn about late reads.
    size_t logGrowth(kivtest::KivdProcess& d, size_t from) {
        size_t n = 0;
        for (auto& line : split(d.log().substr(from), '\n'))
            if (line.find("[Sequence]") == std::string::npos) n += line.size() + 1;
        return n;
    }

    kivtest::TempMediaDir media;
    std::unique_ptr<kivtest::ShowUnderTest> show;
};

TEST_F(Garbage, CommandSocketAnswersGarbageWithErrorsAndFloodsDoNotStopTheShow) {
    kivtest::KivdProcess d(media.path());
    ASSERT_TRUE(d.start({"-f", "--log-level", "debug:Sequence"}) && d.waitReady()) << d.output();
    ASSERT_TRUE(show->waitForFrame(0, 10, 10000));
    std::string sock = media.file("/tmp/kivd.sock");

    RawCommandClient c(sock);
    std::mt19937 rng(getpid());
    std::string binary(3000, 0);
    for (auto& ch : binary) ch = (char)rng();
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"binary bytes", binary},
        {"an empty datagram", ""},
        {"half a document", "{\"command\": \"Get Playlist Status\", \"args\": ["},
        {"an array", "[1, 2, 3]"},
        {"a number for the name", "{\"command\": 5}"},
        {"arguments that are not an array", "{\"command\": \"Extend Schedule\", \"args\": \"600\"}"},
        {"an object as an argument", "{\"command\": \"Extend Schedule\", \"args\": [{\"a\": 1}]}"},
        {"a 60000-byte unknown name", "{\"command\": \"" + std::string(60000, 'x') + "\"}"},
        {"nesting 60000 deep", std::string(60000, '[')},
        {"a NUL inside", std::string("{\"command\": \"Get\0Status\"}", 25)},
        {"a 100000-byte document", "{\"command\": \"List Commands\", \"pad\": \"" + std::string(100000, ' ') + "\"}"},
    };
    for (auto& b : bad) {
        ASSERT_TRUE(c.send(b.second)) << b.first;
        Json::Value a = c.answer(5000);
        EXPECT_TRUE(a.isObject()) << b.first << ": no answer";
        EXPECT_TRUE(a["error"].asBool()) << b.first << ": " << SaveJsonToString(a);
    }
    EXPECT_TRUE(d.running());
    EXPECT_EQ("show", kivtest::playingPlaylist(d));

    // Floods: two senders of garbage and one of unknown commands, as fast
    // as the socket takes them, for several entries of the show.
    size_t logBefore = d.log().size();
    std::atomic<bool> stop{false};
    std::atomic<long> sent{0};
    std::vector<std::thread> flooders;
    for (int t = 0; t < 3; ++t) {
        flooders.emplace_back([&, t] {
            RawCommandClient f(sock);
            std::mt19937 r(t);
            std::string junk(2000, 0);
            std::string unknown = "{\"command\": \"" + std::string(30000, 'u') + "\"}";
            while (!stop) {
                for (auto& ch : junk) ch = (char)r();
                if (f.send(t == 2 ? unknown : junk, MSG_DONTWAIT)) ++sent;
                else usleep(200);
            }
        });
    }
    // Long enough for entries to change, and until the flood is a flood
    // however slowly this machine lets the flooders run.
    long long t0 = GetTime();
    int asked = 0, right = 0;
    while (GetTime() - t0 < 8000000 || (sent.load() <= 1000 && GetTime() - t0 < 60000000)) {
        std::string out;
        ++asked;
        if (d.command({"Get Playlist Status"}, &out, 5) == 0 && LoadJsonFromString(out)["playlist"] == "show") ++right;
        show->collectFor(200);
    }
    stop = true;
    for (auto& t : flooders) t.join();
    show->collectFor(500);
    EXPECT_GT(sent.load(), 1000);
    EXPECT_EQ(asked, right) << "well-formed requests keep their answers";
    size_t grew = logGrowth(d, logBefore);
    // What is logged is limited per minute.
    size_t minutes = 1 + (GetTime() - t0) / 60000000;
    EXPECT_LT(grew, 100000u * minutes) << "a flood of " << sent.load() << " bad documents wrote " << grew
                                       << " bytes of log";
    EXPECT_NE(std::string::npos, d.log().find("more bad documents this minute are not logged"));
    EXPECT_NE(std::string::npos, d.log().find("more unknown commands this minute are not logged"));
    expectTheShowKeptItsGrid(d);
    EXPECT_EQ(d.stop(SIGTERM), 0);
}

// Opens a TCP connection from a chosen loopback address.
int connectFrom(const std::string& from, const std::string& to, int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, from.c_str(), &a.sin_addr);
    bind(fd, (sockaddr*)&a, sizeof(a));
    sockaddr_in b{};
    b.sin_family = AF_INET;
    b.sin_port = htons(port);
    inet_pton(AF_INET, to.c_str(), &b.sin_addr);
    if (connect(fd, (sockaddr*)&b, sizeof(b)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends bytes and reads until the server closes or a second passes.
std::string exchange(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) break;
        done += n;
    }
    std::string got;
    char buf[4096];
    pollfd p = {fd, POLLIN, 0};
    while (poll(&p, 1, 1000) > 0) {
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) break;
        got.append(buf, n);
    }
    return got;
}

TEST_F(Garbage, HttpInterfaceServesWellFormedRequestsThroughGarbageAndIdleConnections) {
    kivtest::KivdProcess d(media.path());
    PutFileContents(d.installDir() + "/www/hello.html", "<p>hello</p>");
    ASSERT_TRUE(d.start({"-f", "--log-level", "debug:Sequence"}) && d.waitReady()) << d.output();
    ASSERT_TRUE(show->waitForFrame(0, 10, 10000));
    const std::string host = d.httpAddress();
    const int port = d.httpPort();
    // The attacker comes from one address, the user from another.
    const std::string attacker = kivtest::loopbackFor(205, 50);
    auto pageOk = [&] {
        auto r = kivtest::httpRequest("GET", d.httpUrl("/hello.html"), "", {}, 5000);
        return r.status == 200 && r.body == "<p>hello</p>";
    };
    ASSERT_TRUE(pageOk());

    std::mt19937 rng(getpid());
    std::string binary(5000, 0);
    for (auto& ch : binary) ch = (char)rng();
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"binary bytes", binary},
        {"a request line without version", "GET /hello.html\r\n\r\n"},
        {"a 100000-byte path", "GET /" + std::string(100000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n"},
        {"a 1 MB header", "GET /hello.html HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(1 << 20, 'b') + "\r\n\r\n"},
        {"a body larger than allowed", "POST /hello.html HTTP/1.1\r\nHost: x\r\nContent-Length: 10000000\r\n\r\n" +
                                           std::string(200000, 'p')},
        {"a negative length", "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: -5\r\n\r\n"},
        {"a path outside the pages", "GET /../../etc/passwd HTTP/1.1\r\nHost: x\r\n\r\n"},
        {"bad chunked encoding", "POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n"},
    };
    for (auto& b : bad) {
        int fd = connectFrom(attacker, host, port);
        ASSERT_GE(fd, 0) << b.first;
        std::string got = exchange(fd, b.second);
        close(fd);
        EXPECT_EQ(std::string::npos, got.find("root:")) << b.first;
        EXPECT_EQ(std::string::npos, got.find(" 200 ")) << b.first << ": " << got.substr(0, 200);
        EXPECT_TRUE(pageOk()) << "after " << b.first;
    }

    // Bad command documents in a loop: each answered 400, none filling the log.
    size_t logBefore = d.log().size();
    std::string junk(1000, 0);
    int answered400 = 0;
    const int posts = 300;
    for (int i = 0; i < posts; ++i) {
        for (auto& ch : junk) ch = (char)('!' + rng() % 90);
        junk[0] = '{';
        auto r = kivtest::httpRequest("POST", d.httpUrl("/kivd/command"), junk, {"Content-Type: application/json"},
                                      5000);
        answered400 += r.status == 400;
    }
    EXPECT_EQ(posts, answered400);
    size_t grew = logGrowth(d, logBefore);
    EXPECT_LT(grew, 30000u) << posts << " bad command documents wrote " << grew << " bytes of log";
    auto status = kivtest::httpRequest("POST", d.httpUrl("/kivd/command"), R"({"command": "Get Playlist Status"})",
                                       {"Content-Type: application/json"}, 5000);
    EXPECT_EQ(200, status.status);
    EXPECT_EQ("show", LoadJsonFromString(status.body)["playlist"].asString()) << status.body;

    // Idle connections from one address, more than the server takes at once,
    // and a flood of requests beside them.
    std::vector<int> idle;
    for (int i = 0; i < 150; ++i) {
        int fd = connectFrom(attacker, host, port);
        if (fd >= 0) idle.push_back(fd);
    }
    std::atomic<bool> stop{false};
    std::vector<std::thread> flood;
    for (int t = 0; t < 2; ++t) {
        flood.emplace_back([&] {
            while (!stop) kivtest::httpRequest("GET", d.httpUrl("/nothing-here"), "", {}, 2000);
        });
    }
    int asked = 0, served = 0;
    long long slowest = 0;
    // Long enough for several entries of the show to change under the load.
    long long t0 = GetTime();
    while (GetTime() - t0 < 8000000) {
        long long t = GetTime();
        ++asked;
        if (pageOk()) ++served;
        slowest = std::max(slowest, GetTime() - t);
        show->collectFor(300);
    }
    stop = true;
    for (auto& t : flood) t.join();
    for (int fd : idle) close(fd);
    EXPECT_EQ(asked, served) << "idle connections locked the user out";
    EXPECT_LT(slowest, 3000000 + 2 * show->stallUs()) << "slowest answer " << slowest / 1000 << " ms";
    EXPECT_TRUE(d.running());
    show->collectFor(500);
    expectTheShowKeptItsGrid(d);
    EXPECT_EQ(d.stop(SIGTERM), 0);
}

TEST_F(Garbage, BrokerFloodOfBadRequestsLeavesTheShowAndTheLogAlone) {
    if (!kivtest::MosquittoBroker::available()) GTEST_SKIP() << "mosquitto is not installed";
    kivtest::MosquittoBroker broker;
    ASSERT_TRUE(broker.start()) << broker.log();
    const std::string base = "show/kivd/board1/";
    media.write("/settings", "HostName = board1\nMQTTHost = " + broker.address() + "\nMQTTPort = " +
                                 std::to_string(broker.port()) + "\nMQTTPrefix = show\n");
    kivtest::MqttSubscriber peer(broker.address(), broker.port(), base + "#");
    ASSERT_TRUE(peer.waitConnected());
    kivtest::KivdProcess d(media.path());
    ASSERT_TRUE(d.start({"-f", "--log-level", "debug:Sequence"}) && d.waitReady()) << d.output();
    ASSERT_GE(peer.waitFor(base + "ready", "1", 15000), 0) << d.log();
    ASSERT_TRUE(show->waitForFrame(0, 10, 10000));

    // Requests the daemon does not know, with names and payloads of any
    // size, as fast as the broker takes them, for several entries.
    size_t logBefore = d.log().size();
    std::mt19937 rng(getpid());
    // For several entries, and until 1000 went out however slowly this
    // machine lets the test's own publisher run.
    long long t0 = GetTime();
    int sent = 0;
    while (GetTime() - t0 < 7000000 || (sent <= 1000 && GetTime() - t0 < 60000000)) {
        for (int i = 0; i < 50; ++i) {
            std::string name(1 + rng() % 300, 'a');
            for (auto& ch : name) ch = (char)('a' + rng() % 26);
            std::string payload(rng() % 4 == 0 ? 100000 : rng() % 200, 0);
            for (auto& ch : payload) ch = (char)rng();
            if (peer.publish(base + "system/kivd/" + name, payload)) ++sent;
        }
        show->collect();
        usleep(5000);
    }
    show->collectFor(1500);
    EXPECT_GT(sent, 1000);
    EXPECT_EQ("show", kivtest::playingPlaylist(d)) << "the daemon still answers";
    EXPECT_TRUE(d.running());
    size_t grew = logGrowth(d, logBefore);
    size_t minutes = 1 + (GetTime() - t0) / 60000000;
    EXPECT_LT(grew, 50000u * minutes) << sent << " bad requests wrote " << grew << " bytes of log";
    EXPECT_NE(std::string::npos, d.log().find("more invalid requests this minute are not logged")) << tail(d.log(), 3000);
    expectTheShowKeptItsGrid(d);
    // Still a client of the broker: a good request works.
    size_t mark = peer.messages().size();
    ASSERT_TRUE(peer.publish(base + "system/kivd/stop", ""));
    EXPECT_EQ(0, d.waitExit(20000)) << d.log();
    EXPECT_GE(peer.waitFor(base + "ready", "0", 10000, mark), 0);
}

}  // namespace
