// Real daemons on a network of the test's own: a master and remotes, each
// kivd in a namespace of its own sending its show to a DDP receiver beside
// it. Every remote frame is compared with the master's same frame. Clocks
// are one machine's, declared trusted (the kernel here reports them
// unsynchronised and tests never touch the clock).

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>

#include "HttpClient.h"
#include "MediaTestSupport.h"
#include "SyncTestSupport.h"
#include "common.h"
#include "settings.h"
#include "sync/ClockQuality.h"
#include "sync/FileInventory.h"
#include "sync/SyncPacket.h"

using namespace kivtest;

namespace {

constexpr int STEP_MS = 25;
constexpr long long PERIOD_US = STEP_MS * 1000;

class SyncEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (!isRoot()) GTEST_SKIP() << "needs root for network namespaces";
        ASSERT_TRUE(net.ok()) << net.error();
    }
    SyncBoard& AddBoard(int host, const std::string& mode, const std::string& settings, int frames) {
        std::string error;
        boards.push_back(SyncBoard::make(net, host, mode, settings, frames, STEP_MS, 0, 0, &error));
        if (!boards.back()) throw std::runtime_error("board " + std::to_string(host) + ": " + error);
        return *boards.back();
    }
    static Json::Value Systems(SyncBoard& b) { return LoadJsonFromString(commandText(*b.kivd, {"Get Systems"})); }
    // Within one frame period of the master, plus what the machine's load
    // made either board's own delivery uneven (measured in the same run).
    static void ExpectInStep(const std::vector<long long>& offsets, SyncBoard& master, SyncBoard& remote,
                             const std::string& who) {
        ASSERT_GT(offsets.size(), 40u) << who;
        long long p50 = Percentile(offsets, 0.5), p99 = Percentile(offsets, 0.99);
        long long load = std::max(frameUnevennessUs(master, 0.99), frameUnevennessUs(remote, 0.99));
        RecordProperty(who + " offset p50 us", (int)p50);
        if (!TIMING_JUDGED) return;
        EXPECT_LE(p50, PERIOD_US / 5) << who;
        EXPECT_LE(p99, PERIOD_US + load) << who << ": p50 " << p50 << " us, p99 " << p99 << " us, load allowance "
                                         << load << " us";
    }

    BoardNetwork net;
    std::vector<std::unique_ptr<SyncBoard>> boards;
};

TEST_F(SyncEndToEnd, RemotesFollowJoinLateTakeCommandsAndOutliveTheirMaster) {
    const int frames = 560;  // 14 s
    SyncBoard& master = AddBoard(1, "master", "", frames);
    SyncBoard& a = AddBoard(2, "remote", "MultiSyncPeers = 10.78.0.1\n", frames);
    SyncBoard& b = AddBoard(3, "remote", "MultiSyncPeers = 10.78.0.0/24\nHostName = remoteb\n", frames);
    b.media->write("/config/commandPresets.json",
                   R"({"commands": [{"name": "SYNC_TEST_STOP", "command": "Stop KIVD", "args": []}]})");
    ASSERT_TRUE(master.start()) << master.kivd->output();
    ASSERT_TRUE(a.start()) << a.kivd->output();
    ASSERT_EQ(0, master.kivd->command({"Start Sequence", "show.hseq"}));

    // B comes up while the show plays.
    ASSERT_TRUE(master.show->waitForFrame(0, 120, 10000));
    ASSERT_TRUE(b.start()) << b.kivd->output();
    long long bReadyUs = GetTime();
    int bFirst = -1;
    ASSERT_TRUE(waitUntil([&] {
        b.show->collect();
        for (auto& f : b.show->seen()) if (f.sequence == 0 && bFirst < 0) bFirst = f.frame;
        return bFirst >= 0;
    }, 10000)) << b.kivd->log();
    ASSERT_TRUE(b.show->waitForFrame(0, bFirst + 80, 10000)) << b.kivd->log();

    // A command for B only: B stops, A and the master go on.
    std::string out;
    EXPECT_EQ(0, master.kivd->command({"-H", "remoteb", "Trigger Command Preset", "SYNC_TEST_STOP"}, &out)) << out;
    EXPECT_EQ(0, b.kivd->waitExit(10000)) << b.kivd->log();
    EXPECT_NE(std::string::npos, b.kivd->log().find("Running command \"Trigger Command Preset\" from 10.78.0.1"));

    Json::Value systems = Systems(a);
    EXPECT_EQ("10.78.0.1", systems["sync"]["master"].asString()) << systems;
    EXPECT_EQ("timestamps", systems["sync"]["timeSource"].asString()) << systems;
    // A clock declared trusted is synchronised; an error estimate is given
    // only when the kernel has one, which it has not while it reports the
    // clock unsynchronised.
    bool kernelEstimates = !ReadKernelClock().unsynchronised;
    EXPECT_TRUE(systems["sync"]["clockSynchronised"].asBool()) << systems;
    EXPECT_EQ(kernelEstimates, systems["sync"].isMember("clockErrorUs")) << systems;
    bool masterListed = false;
    for (auto& s : systems["systems"]) {
        masterListed |= s["address"] == "10.78.0.1" && s["mode"] == "master" && s["clockSynchronised"].asBool() &&
                        s.isMember("clockErrorUs") == kernelEstimates;
    }
    EXPECT_TRUE(masterListed) << systems;

    // The master dies: A plays the sequence to its end on its own clock, warns, then blanks.
    ASSERT_TRUE(master.show->waitForFrame(0, 320, 10000));
    master.kivd->stop(SIGKILL);
    master.show->collect();
    int killedAt = master.show->seen().back().frame;
    long long killedUs = GetTime();
    EXPECT_TRUE(waitUntil([&] { return hasWarning(*a.kivd, "Sync master 10.78.0.1 lost"); }, 10000))
        << a.kivd->log() << a.kivd->threads() << Systems(a);
    long long warnedUs = GetTime();
    // To its end: a frame the machine's load made too late may be left out.
    EXPECT_TRUE(a.show->waitForFrame(0, frames - 5, 15000)) << a.show->describe();
    EXPECT_TRUE(waitUntil([&] { a.show->collect(); return a.show->seen().back().blank; }, 5000))
        << a.show->describe();
    EXPECT_EQ(0, a.kivd->stop(SIGTERM));

    ExpectInStep(syncOffsets(master, a, 0, killedAt), master, a, "remote A");
    auto bOffsets = syncOffsets(master, b);
    ExpectInStep(bOffsets, master, b, "late remote B");
    std::vector<ShowFrame> bShow;
    for (auto& f : b.show->seen()) if (f.sequence == 0) bShow.push_back(f);
    ASSERT_FALSE(bShow.empty());
    auto runs = a.show->runs(STEP_MS);
    ASSERT_FALSE(runs.empty());
    // Where A's frame grid lies (its frames' times less their frame
    // numbers' share), over a range of frames: the median, so a frame the
    // machine's load delayed does not move it.
    auto gridOfA = [&](int from, int to) {
        std::vector<long long> v;
        for (auto& f : a.show->seen()) {
            if (f.sequence == 0 && f.frame >= from && f.frame < to) v.push_back(f.timeUs - f.frame * PERIOD_US);
        }
        return Percentile(v, 0.5);
    };
    if (TIMING_JUDGED) {
        // In step within a second of coming up (the master's worst lateness
        // is the allowance for load), and nothing before.
        long long load = master.show->runs(STEP_MS).front().grid.maxLateUs;
        EXPECT_LE(bShow.front().timeUs - bReadyUs, 1000000 + load);
        EXPECT_LE(bOffsets.front(), PERIOD_US + load);
        // The warning comes about 3 s after the last packet; A's frames after
        // the master went stay on the grid they had, to the last one.
        EXPECT_GE(warnedUs - killedUs, 2500000);
        EXPECT_LE(std::llabs(gridOfA(killedAt + 40, frames) - gridOfA(0, killedAt)), PERIOD_US);
    }
    EXPECT_GE(runs.back().lastFrame, frames - 5);
}

TEST_F(SyncEndToEnd, ARemotePlaysTheMastersEffectsInStep) {
    const int frames = 160;
    SyncBoard& master = AddBoard(1, "master", "", frames);
    SyncBoard& remote = AddBoard(2, "remote", "MultiSyncPeers = 10.78.0.1\n", frames);
    // The show itself, played as an effect: its frames are recognised at
    // both receivers, so the remote's are compared with the master's.
    for (SyncBoard* b : {&master, &remote}) {
        mkdir(b->media->file("/effects").c_str(), 0775);
        ASSERT_TRUE(CopyFileContents(b->media->file("/sequences/show.hseq"), b->media->file("/effects/show.hseq")));
        ASSERT_TRUE(b->start()) << b->kivd->output();
    }
    std::string out;
    ASSERT_EQ(0, master.kivd->command({"Effect Start", "show", "0", "false", "true"}, &out)) << out;
    ASSERT_TRUE(master.show->waitForFrame(0, frames - 1, 15000)) << master.show->describe();
    ASSERT_TRUE(remote.show->waitForFrame(0, frames - 1, 5000)) << remote.show->describe() << remote.kivd->log();
    auto offsets = syncOffsets(master, remote);
    ASSERT_GT(offsets.size(), (size_t)frames * 3 / 4);
    // Each board steps on its own output grid, so a frame may go out up to
    // a period apart; a remote that started on arrival would lag by the
    // packet's way and more.
    long long load = std::max(frameUnevennessUs(master, 0.99), frameUnevennessUs(remote, 0.99));
    if (TIMING_JUDGED) {
        EXPECT_LE(Percentile(offsets, 0.5), PERIOD_US / 2);
        EXPECT_LE(Percentile(offsets, 0.99), PERIOD_US + load);
    }

    // A stop reaches the remote too.
    ASSERT_EQ(0, master.kivd->command({"Effect Start", "show", "0", "true", "true"}, &out)) << out;
    ASSERT_TRUE(waitUntil([&] { return LoadJsonFromString(commandText(*remote.kivd, {"Get Running Effects"})).size() == 1; },
                          5000));
    ASSERT_EQ(0, master.kivd->command({"Effects Stop All"}, &out)) << out;
    EXPECT_TRUE(waitUntil([&] { return LoadJsonFromString(commandText(*remote.kivd, {"Get Running Effects"})).empty(); },
                          5000));
}

// Datagrams from a test socket bound to `from` inside the intruder's namespace.
class Sender {
public:
    explicit Sender(const std::string& from) {
        m_fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, from.c_str(), &a.sin_addr);
        bind(m_fd, (sockaddr*)&a, sizeof(a));
        setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_IF, &a.sin_addr, sizeof(a.sin_addr));
        m_to.sin_family = AF_INET;
        m_to.sin_port = htons(SYNC_DEFAULT_PORT);
        inet_pton(AF_INET, SYNC_DEFAULT_GROUP, &m_to.sin_addr);
    }
    ~Sender() { close(m_fd); }
    void send(const std::vector<uint8_t>& b) { sendto(m_fd, b.data(), b.size(), 0, (sockaddr*)&m_to, sizeof(m_to)); }

private:
    int m_fd;
    sockaddr_in m_to{};
};

TEST_F(SyncEndToEnd, StrangersForgeriesGarbageAndFloodsLeaveTheShowAlone) {
    const int frames = 480;
    const std::string key = "MultiSyncKey = 3f9a1c77e2d04b\n";
    SyncBoard& master = AddBoard(1, "master", key, frames);
    SyncBoard& a = AddBoard(2, "remote", key + "MultiSyncPeers = 10.78.0.1, 10.78.0.9\n", frames);
    int intruder = net.addBoard(9);
    ASSERT_GE(intruder, 0) << net.error();
    ASSERT_EQ(0, runCommand("ip -n " + net.name(intruder) + " addr add 10.78.0.10/24 dev eth0"));
    ASSERT_TRUE(master.start()) << master.kivd->output();
    ASSERT_TRUE(a.start()) << a.kivd->output();
    ASSERT_EQ(0, master.kivd->command({"Start Sequence", "show.hseq"}));
    ASSERT_TRUE(a.show->waitForFrame(0, 80, 10000)) << a.kivd->log();

    // .9 may speak but has no key; .10 has the key but is nobody's master.
    SyncPacket jump;
    jump.type = SYNC_SEQ_SYNC;
    jump.file = "show.hseq";
    jump.frame = 400;
    jump.periodUs = 25000;
    jump.flags = SYNC_FLAG_CLOCK_SYNCED;
    long long floodEnd = GetTime() + 3000000;
    int sent = 0;
    net.runInside(intruder, [&] {
        Sender allowed("10.78.0.9"), stranger("10.78.0.10");
        for (uint32_t n = 1; GetTime() < floodEnd; ++n) {
            jump.session = 77;
            jump.seq = n;
            jump.timeUs = GetTime();
            std::vector<uint8_t> garbage(n % 200);
            for (auto& g : garbage) g = (uint8_t)(n * 31 + g);
            allowed.send(BuildSyncPacket(jump, ""));
            allowed.send(BuildSyncPacket(jump, "not the key"));
            allowed.send(garbage);
            stranger.send(BuildSyncPacket(jump, "3f9a1c77e2d04b"));
            sent += 4;
            usleep(1000);  // about 4000 a second, a hundred times the master's
        }
    });
    ASSERT_TRUE(a.show->waitForFrame(0, frames - 5, 15000)) << a.show->describe();
    master.show->waitForFrame(0, frames - 5, 5000);

    Json::Value sync = Systems(a)["sync"];
    Json::Value c = sync["counters"];
    EXPECT_EQ("10.78.0.1", sync["master"].asString());
    // Counted as they were read (a flood overruns the socket's buffer, so
    // not every one is).
    EXPECT_GE(c["badSignature"].asInt(), sent / 20) << c << " of " << sent;  // unsigned and wrongly signed
    EXPECT_GE(c["malformed"].asInt(), sent / 40) << c << " of " << sent;
    EXPECT_GE(c["notAllowed"].asInt(), sent / 40) << c << " of " << sent;
    EXPECT_EQ(0, c["otherMaster"].asInt()) << c;
    // Dropped packets are logged, a few lines a minute per kind.
    std::string log = a.kivd->log();
    int lines = 0;
    for (size_t at = 0; (at = log.find("Sync packet from", at)) != std::string::npos; ++at) ++lines;
    EXPECT_LE(lines, 40);
    // Every frame came in order and in step, none from the forged jump.
    auto runs = a.show->runs(STEP_MS);
    ASSERT_EQ(1u, runs.size()) << a.show->describe();
    EXPECT_EQ(0, runs[0].grid.backwards);
    ExpectInStep(syncOffsets(master, a), master, a, "flooded remote");
    EXPECT_EQ(0, a.kivd->stop(SIGTERM));
    EXPECT_EQ(0, master.kivd->stop(SIGTERM));
}

TEST_F(SyncEndToEnd, PluginsOfTheSameNameSendEachOtherData) {
    SyncBoard& master = AddBoard(1, "master", "MultiSyncPeers = 10.78.0.0/24\n", 40);
    SyncBoard& a = AddBoard(2, "remote", "MultiSyncPeers = 10.78.0.1\n", 40);
    SyncBoard& b = AddBoard(3, "remote", "MultiSyncPeers = 10.78.0.1\n", 40);
    for (SyncBoard* board : {&master, &a, &b}) {
        ASSERT_EQ(0, runCommand("mkdir -p '" + board->media->file("/plugins") + "' && cp -r '" + buildDir() +
                                "/tests/plugins/test-user' '" + board->media->file("/plugins/") + "'"));
        ASSERT_TRUE(board->start()) << board->kivd->output();
    }
    std::string out;
    ASSERT_EQ(0, master.kivd->command({"test-user send", "fixture 7 at 40%"}, &out)) << out;
    ASSERT_EQ(0, a.kivd->command({"test-user send", "from a"}, &out)) << out;
    auto received = [](SyncBoard& board) {
        return LoadJsonFromString(commandText(*board.kivd, {"test-user report"}))["sync"];
    };
    ASSERT_TRUE(waitUntil([&] { return received(master).size() == 1 && received(b).size() == 1; }, 5000))
        << received(master) << received(b);
    EXPECT_EQ("from a", received(master)[0].asString());
    // Remotes take it only from systems in their MultiSyncPeers: here the master's, not each other's.
    for (SyncBoard* remote : {&a, &b}) {
        Json::Value got = received(*remote);
        EXPECT_EQ(1u, got.size()) << got;
        EXPECT_EQ("fixture 7 at 40%", got[0].asString()) << got;
    }
}

TEST_F(SyncEndToEnd, ARemoteJoiningMidSongPlaysItFromTheMastersPosition) {
    if (!FfmpegAvailable()) GTEST_SKIP() << "the ffmpeg command-line tool is not installed";
    const int frames = 400;  // 10 s, the song's length
    std::vector<int> tones = {300, 400, 500, 600, 700, 800, 900, 1000, 1100, 1200};
    SyncBoard& master = AddBoard(1, "master", "openStartDelay = 300\n", frames);
    SyncBoard& a = AddBoard(2, "remote", "MultiSyncPeers = 10.78.0.1\n", frames);
    for (SyncBoard* b : {&master, &a}) {
        ASSERT_TRUE(MakeSteppedTone(b->media->file("/music/song.wav"), tones));
        b->kivd->setEnv("SDL_AUDIODRIVER", "disk");
        b->kivd->setEnv("SDL_DISKAUDIOFILE", b->media->file("/tmp/played.raw"));
    }
    master.media->write("/playlists/song.json", R"({"mainPlaylist": [{"type": "media", "mediaName": "song.wav"}]})");
    ASSERT_TRUE(master.start()) << master.kivd->output();
    ASSERT_EQ(0, master.kivd->command({"Start Playlist", "song"}));
    usleep(3300000);
    ASSERT_TRUE(a.start()) << a.kivd->output();
    ASSERT_TRUE(waitUntil([&] { return a.kivd->log().find("Remote media song.wav from") != std::string::npos; }, 5000))
        << a.kivd->log();
    ASSERT_TRUE(waitUntil([&] { return commandText(*master.kivd, {"Get Playlist Status"}).find("idle") !=
                                       std::string::npos; }, 15000));
    usleep(500000);
    EXPECT_EQ(0, a.kivd->stop(SIGTERM));
    EXPECT_EQ(0, master.kivd->stop(SIGTERM));

    // The last start (a restart to follow the master empties the capture).
    std::string log = a.kivd->log();
    int startMs = atoi(log.c_str() + log.rfind("Remote media song.wav from") + 27);
    EXPECT_GE(startMs, 2500) << log;
    if (!TIMING_JUDGED) return;  // decoding under TSan cannot keep up with the song
    PcmCapture played = ReadPcm16(a.media->file("/tmp/played.raw"));
    size_t first = played.firstSound();
    ASSERT_NE(std::string::npos, first);
    // What the remote played first is the master's second of the song, and
    // it played on to the song's end.
    int second = startMs / 1000 + 1;  // the first whole second it played, sampled in its middle
    double f = played.frequency(first + (size_t)((second * 1000 + 400 - startMs) * 44.1), 4410);
    EXPECT_NEAR(tones[second], f, 12) << "started at " << startMs << " ms";
    EXPECT_NEAR((10000 - startMs) / 1000.0, (played.endOfSound() - first) / 44100.0, 0.3);
    EXPECT_NEAR(1200, played.frequency(played.endOfSound() - 4410, 2205), 12);
}

}  // namespace

namespace {

// The files of a show as bytes that tell them apart.
std::string Noise(size_t bytes, unsigned seed) {
    std::string s(bytes, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (auto& c : s) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        c = (char)x;
    }
    return s;
}

int Count(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

}  // namespace

TEST_F(SyncEndToEnd, TheMasterHandsItsShowToItsRemotes) {
    const int frames = 240;
    const std::string http = "HTTPBindAddress = 0.0.0.0\nHTTPPort = 32320\nHTTPAccessToken = show-token\n";
    SyncBoard& master = AddBoard(1, "master", http + "SyncFilesMaxKBps = 1000\nSyncFilesAfterUpload = 1\n", frames);
    SyncBoard& a = AddBoard(2, "remote", http + "MultiSyncPeers = 10.78.0.1\n", frames);
    SyncBoard& b = AddBoard(3, "remote", http + "MultiSyncPeers = 10.78.0.1\nHostName = remoteb\n", frames);
    // The show, on the master only: a sequence for every board and one
    // made for B, a song, a picture, a playlist and the schedule.
    auto& m = *master.media;
    ASSERT_TRUE(CopyFileContents(m.file("/sequences/show.hseq"), m.file("/sequences/show-remoteb.hseq")));
    const std::string song = Noise(4000000, 1), logo = Noise(40000, 2);
    m.write("/music/song.mp3", song);
    mkdir(m.file("/images").c_str(), 0775);
    m.write("/images/logo.png", logo);
    master.show->writePlaylist("show", {0});
    m.write("/config/schedule.json",
            R"([{"enabled": false, "playlist": "show", "day": "Everyday", "startTime": "20:00:00", "endTime": "21:00:00"}])");
    const std::string showBytes = GetFileContents(m.file("/sequences/show.hseq"));
    for (SyncBoard* r : {&a, &b}) ASSERT_EQ(0, unlink(r->media->file("/sequences/show.hseq").c_str()));
    // B keeps its songs on a small disk of its own: room for one song, not two.
    TmpfsMount small(6 << 20);
    ASSERT_TRUE(small.ok()) << small.error();
    ASSERT_EQ(0, rmdir(b.media->file("/music").c_str()));
    ASSERT_EQ(0, symlink(small.path().c_str(), b.media->file("/music").c_str()));
    auto systems = [&] { return Systems(master); };
    auto remote = [&](const Json::Value& all, const std::string& address) {
        for (auto& s : all["systems"]) {
            if (s["address"] == address) return s;
        }
        return Json::Value();
    };
    // B is known before A is first looked at: until then B's sequence is an
    // ordinary file, which A would lack too.
    for (SyncBoard* board : {&master, &b}) ASSERT_TRUE(board->start()) << board->kivd->output();
    ASSERT_TRUE(waitUntil([&] { return remote(systems(), "10.78.0.3")["hostname"] == "remoteb"; }, 15000)) << systems();
    ASSERT_TRUE(a.start()) << a.kivd->output();
    // The master's HTTP interface, as another machine of the show network uses it.
    auto masterHttp = [&](const std::string& method, const std::string& path, const std::string& body) {
        HttpResult r;
        net.runInside(a.index, [&] {
            r = httpRequest(method, "http://10.78.0.1:32320" + path, body,
                            {"Authorization: Bearer show-token", "Content-Type: application/octet-stream"});
        });
        return r;
    };
    auto rxBytes = [&](SyncBoard& board) {
        std::string out;
        runCommand("ip netns exec " + net.name(board.index) + " cat /sys/class/net/eth0/statistics/rx_bytes", &out);
        return atoll(out.c_str());
    };
    // Before anything is sent the master has looked at both: their health,
    // and what they lack (B also lacks its own sequence).
    Json::Value all;
    ASSERT_TRUE(waitUntil([&] {
        all = systems();
        return remote(all, "10.78.0.2")["health"].isMember("outOfDate") &&
               remote(all, "10.78.0.3")["health"].isMember("outOfDate");
    }, 15000)) << all << master.kivd->log();
    Json::Value health = remote(all, "10.78.0.3")["health"];
    EXPECT_EQ(32320, remote(all, "10.78.0.3")["httpPort"].asInt()) << all;
    EXPECT_EQ(5, remote(all, "10.78.0.2")["health"]["outOfDate"].asInt()) << all;
    EXPECT_EQ(6, health["outOfDate"].asInt()) << all;
    EXPECT_EQ(getKIVVersion(), health["version"].asString()) << health;
    EXPECT_GT(health["freeBytes"].asUInt64(), 0u) << health;
    EXPECT_TRUE(health["warnings"].isArray()) << health;

    // "Sync Files"; B is stopped while its song is on the way, and started again.
    std::string out;
    ASSERT_EQ(0, master.kivd->command({"Sync Files"}, &out)) << out;
    EXPECT_NE(std::string::npos, out.find("Sending files to 2 remotes")) << out;
    ASSERT_TRUE(waitUntil([&] {
        all = systems();
        return remote(all, "10.78.0.3")["files"]["sending"] == "music/song.mp3";
    }, 30000)) << all;
    EXPECT_EQ(0, b.kivd->stop(SIGTERM));
    ASSERT_TRUE(waitUntil([&] { return remote(systems(), "10.78.0.3")["files"]["state"] == "retrying"; }, 10000))
        << systems();
    EXPECT_FALSE(FileExists(b.media->file("/music/song.mp3")));
    ASSERT_TRUE(b.start()) << b.kivd->output();
    ASSERT_TRUE(waitUntil([&] {
        all = systems();
        return remote(all, "10.78.0.2")["files"]["state"] == "in step" &&
               remote(all, "10.78.0.3")["files"]["state"] == "in step";
    }, 60000)) << all << master.kivd->log();
    EXPECT_TRUE(all["fileSync"]["waiting"].empty()) << all;
    // By now B follows the master, and says how far its packets are off.
    health = remote(all, "10.78.0.3")["health"];
    EXPECT_EQ(0, health["outOfDate"].asInt()) << health;
    EXPECT_EQ("10.78.0.1", health["master"].asString()) << health;
    EXPECT_TRUE(health["masterOffsetMs"].isNumeric()) << health;
    // Every file whole, the song of the cut-off transfer too, and nothing
    // half-written left beside it; B's own sequence went to B only.
    for (SyncBoard* r : {&a, &b}) {
        EXPECT_EQ(song, GetFileContents(r->media->file("/music/song.mp3")));
        EXPECT_EQ(logo, GetFileContents(r->media->file("/images/logo.png")));
        EXPECT_EQ(showBytes, GetFileContents(r->media->file("/sequences/show.hseq")));
        EXPECT_EQ(LoadJsonFromFile(m.file("/playlists/show.json")),
                  LoadJsonFromFile(r->media->file("/playlists/show.json")));
        EXPECT_EQ(LoadJsonFromFile(m.file("/config/schedule.json")),
                  LoadJsonFromFile(r->media->file("/config/schedule.json")));
    }
    EXPECT_FALSE(FileExists(a.media->file("/sequences/show-remoteb.hseq")));
    EXPECT_EQ(showBytes, GetFileContents(b.media->file("/sequences/show-remoteb.hseq")));
    std::string leftovers;
    runCommand("ls -A '" + small.path() + "'", &leftovers);
    EXPECT_EQ("song.mp3\n", leftovers);
    // The limit held (the pass also counts the lists and the smaller files).
    Json::Value pass = remote(all, "10.78.0.2")["files"]["lastPass"];
    EXPECT_GE(pass["bytes"].asDouble(), 4000000) << pass;
    EXPECT_LE(pass["bytes"].asDouble() / pass["seconds"].asDouble(), 1000 * 1000 * 1.1) << pass;

    // The show plays on all three, in step.
    ASSERT_EQ(0, master.kivd->command({"Start Playlist", "show"}, &out)) << out;
    ASSERT_TRUE(master.show->waitForFrame(0, frames - 1, 15000)) << master.show->describe();
    for (SyncBoard* r : {&a, &b}) {
        ASSERT_TRUE(r->show->waitForFrame(0, frames - 5, 5000)) << r->show->describe() << r->kivd->log();
        ExpectInStep(syncOffsets(master, *r), master, *r, r == &a ? "remote A" : "remote B");
    }

    // One file changed: it alone crosses the network to each remote.
    const std::string logo2 = Noise(40000, 3);
    m.write("/images/logo.png", logo2);
    long long rxA = rxBytes(a), rxB = rxBytes(b);
    HttpResult started = masterHttp("POST", "/kivd/sync/files", "");
    ASSERT_EQ(202, started.status) << started.body << started.error;
    ASSERT_TRUE(waitUntil([&] {
        all = systems();
        return remote(all, "10.78.0.2")["files"]["lastPass"]["sent"] == 1 &&
               remote(all, "10.78.0.3")["files"]["lastPass"]["sent"] == 1 && all["fileSync"]["waiting"].empty();
    }, 30000)) << all;
    for (auto got : {rxBytes(a) - rxA, rxBytes(b) - rxB}) {
        EXPECT_GE(got, (long long)logo2.size());
        EXPECT_LE(got, (long long)logo2.size() + 100000) << "more than the changed file reached a remote";
    }
    for (SyncBoard* r : {&a, &b}) {
        EXPECT_EQ(logo2, GetFileContents(r->media->file("/images/logo.png")));
        EXPECT_EQ(1, Count(r->kivd->log(), "Uploaded music/song.mp3"));
        EXPECT_EQ(2, Count(r->kivd->log(), "Uploaded images/logo.png"));
    }

    // A with a token of its own, B without room for the new song: each is
    // reported with its reason and keeps the files it had.
    ASSERT_EQ(0, a.kivd->stop(SIGTERM));
    a.media->write("/settings", GetFileContents(a.media->file("/settings")) + "HTTPAccessToken = another-token\n");
    ASSERT_TRUE(a.start()) << a.kivd->output();
    ASSERT_TRUE(waitUntil([&] { return remote(systems(), "10.78.0.2")["httpPort"] == 32320; }, 10000));
    // A new song uploaded to the master goes on to the remotes by itself.
    HttpResult uploaded = masterHttp("PUT", "/kivd/files/music/song.mp3", Noise(4000000, 4));
    ASSERT_EQ(201, uploaded.status) << uploaded.body << uploaded.error;
    EXPECT_EQ(FileInventory::Sha256Hex(Noise(4000000, 4)), LoadJsonFromString(uploaded.body)["sha256"].asString());
    ASSERT_TRUE(waitUntil([&] {
        all = systems();
        return remote(all, "10.78.0.2")["files"]["state"] == "refused" &&
               remote(all, "10.78.0.3")["files"]["state"] == "refused";
    }, 30000)) << all;
    Json::Value filesA = remote(all, "10.78.0.2")["files"], filesB = remote(all, "10.78.0.3")["files"];
    EXPECT_NE(std::string::npos, filesA["error"].asString().find("refused this master's access token")) << filesA;
    ASSERT_EQ(1u, filesB["refused"].size()) << filesB;
    EXPECT_EQ("music/song.mp3", filesB["refused"][0]["file"].asString());
    EXPECT_NE(std::string::npos, filesB["refused"][0]["error"].asString().find("Not enough space for song.mp3"))
        << filesB;
    EXPECT_EQ(1, remote(all, "10.78.0.3")["health"]["outOfDate"].asInt()) << all;
    for (SyncBoard* r : {&a, &b}) EXPECT_EQ(song, GetFileContents(r->media->file("/music/song.mp3")));
    EXPECT_EQ(1, Count(a.kivd->log(), "Uploaded music/song.mp3"));
    EXPECT_TRUE(hasWarning(*master.kivd, "Files for remote 10.78.0.3 (remoteb) not in step")) << all;
}
