// The "HTTPVirtualDisplay" output on the wire, read by a plain TCP client:
// the response header, one chunk per event, the colour groups and their
// order, positions in four and six digits, what is (not) sent when nothing
// changed or nobody listens, clients coming and going, a client that never
// reads and one that reads while the output's writer is held up, and the
// geometry the page asks the daemon's web server for.

#include "channeloutput/HTTPVirtualDisplay.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <memory>

#include "HttpClient.h"
#include "http/HttpAccess.h"
#include "StallMeter.h"
#include "TestSupport.h"
#include "VirtualDisplayClient.h"
#include "Warnings.h"
#include "channeloutput/channeloutput.h"
#include "common.h"
#include "http/HttpServer.h"
#include "log.h"
#include "settings.h"

using kivtest::StreamEvent;
using kivtest::StreamPicture;
using kivtest::VirtualDisplayClient;

namespace {

// Ports of this test program's own: ctest runs every case in a process of
// its own, side by side with other programs.
int testPort(int n = 0) { return 21000 + (int)(getpid() % 3000) * 3 + n; }

class VirtualDisplayFixture : public ::testing::Test {
protected:
    void SetUp() override { channels.assign(4096, 0); }
    void TearDown() override {
        if (out) out->Close();
        out.reset();
    }
    // Creates and initialises the output on channels 1-4096 with this map.
    bool load(const std::string& map, int port = testPort(), unsigned start = 0, unsigned count = 4096) {
        media.write("/config/virtualdisplaymap", map);
        out.reset(new HTTPVirtualDisplayOutput(start, count));
        Json::Value cfg(Json::objectValue);
        cfg["type"] = "HTTPVirtualDisplay";
        cfg["port"] = port;
        return out->Init(cfg) == 1;
    }
    void frame() {
        out->PrepData(channels.data());
        out->SendData(channels.data());
    }
    void rgb(int channel1, int r, int g, int b) {
        channels[channel1 - 1] = (uint8_t)r;
        channels[channel1] = (uint8_t)g;
        channels[channel1 + 1] = (uint8_t)b;
    }
    // Frames through the registry's free functions until the client has
    // an event.
    bool registryFramesUntilEvent(VirtualDisplayClient& c) {
        return kivtest::waitUntil(
            [&] {
                PrepareChannelData((char*)channels.data());
                SendChannelData((const char*)channels.data());
                return c.eventCount() > 0;
            },
            10000);
    }
    // A frame of BUSY_MAP's show: every pixel changes every frame.
    void busyFrame(int n) {
        for (int ch = 0; ch < 3900; ++ch) channels[ch] = (uint8_t)((ch + n) * 4);
        frame();
    }
    bool waitConnections(int n) {
        return kivtest::waitUntil([&] { return out->ConnectionCount() == n; }, 10000);
    }

    kivtest::TempMediaDir media;
    std::vector<unsigned char> channels;
    std::unique_ptr<HTTPVirtualDisplayOutput> out;
};

// x 70 with y' 5 on a map of height 10 (y' = 9 - y).
const char* SINGLE_PIXEL_MAP = "width = 100\nheight = 10\n70,4,1,3,RGB\n";

std::string chunkOf(const std::string& message) {
    char hex[16];
    snprintf(hex, sizeof(hex), "%zx", message.size());
    return std::string(hex) + "\r\n" + message + "\r\n";
}

int threadCount() { return kivtest::countDirectoryEntries("/proc/self/task"); }
using kivtest::threadNames;

// 20,000 pixels on 3,900 channels, about 100 kB per event when all change.
const std::string BUSY_MAP = [] {
    std::string map = "width = 200\nheight = 100\n";
    for (int i = 0; i < 20000; ++i)
        map += std::to_string(i % 200) + "," + std::to_string(i / 200) + "," + std::to_string(1 + (i % 1300) * 3) +
               ",3,RGB\n";
    return map;
}();

// Keeps a named thread of this process in a signal handler until
// destroyed: the output's writer held up, as a board busy with the show
// may hold it. The thread is caught asleep, waiting for work, so it holds
// no lock.
class HeldThread {
public:
    explicit HeldThread(const std::string& name) {
        struct sigaction sa;
        memset(&sa, 0, sizeof(sa));
        sa.sa_handler = [](int) {
            s_state = HELD;
            // Bounded, so that a test gone wrong does not hang for good.
            timespec ms = {0, 1000000};
            for (int i = 0; i < 60000 && s_state == HELD; ++i) nanosleep(&ms, nullptr);
            s_state = FREE;
        };
        sigaction(SIGUSR2, &sa, &m_old);
        pid_t tid = 0;
        kivtest::waitUntil([&] { return (tid = sleepingThread(name)) > 0; }, 10000);
        m_held = tid > 0 && syscall(SYS_tgkill, getpid(), tid, SIGUSR2) == 0 &&
                 kivtest::waitUntil([] { return s_state == HELD; }, 10000);
    }
    ~HeldThread() {
        s_state = RELEASED;
        if (m_held) kivtest::waitUntil([] { return s_state == FREE; }, 10000);
        sigaction(SIGUSR2, &m_old, nullptr);
    }
    bool held() const { return m_held; }

private:
    enum State { FREE, HELD, RELEASED };
    // The id of the thread of that name while it sleeps, else 0.
    static pid_t sleepingThread(const std::string& name) {
        pid_t found = 0;
        DIR* d = opendir("/proc/self/task");
        while (struct dirent* e = d ? readdir(d) : nullptr) {
            std::string dir = std::string("/proc/self/task/") + e->d_name, comm = GetFileContents(dir + "/comm");
            TrimWhiteSpace(comm);
            std::string stat = comm == name ? GetFileContents(dir + "/stat") : "";
            size_t end = stat.rfind(')');  // the state follows the name
            if (end != std::string::npos && stat.compare(end + 2, 1, "S") == 0) found = atoi(e->d_name);
        }
        if (d) closedir(d);
        return found;
    }

    static std::atomic<int> s_state;  // lock-free: the handler may use it
    struct sigaction m_old;
    bool m_held = false;
};
std::atomic<int> HeldThread::s_state{HeldThread::FREE};

}  // namespace

TEST_F(VirtualDisplayFixture, NewConnectionGetsTheEventStreamHeader) {
    ASSERT_TRUE(load(SINGLE_PIXEL_MAP));
    VirtualDisplayClient c(testPort());
    ASSERT_TRUE(c.connected());
    ASSERT_TRUE(c.waitHeader(10000));
    std::string h = c.header();
    std::string before =
        "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream;charset=UTF-8\r\nTransfer-Encoding: chunked\r\n"
        "Connection: close\r\nDate: ";
    std::string after = std::string("\r\nServer: kivd\r\nX-Powered-By: KIV/") + getKIVVersion() +
                        "\r\nCache-Control: no-cache, private\r\nAccess-Control-Allow-Origin: *\r\n"
                        "Access-Control-Allow-Credentials: true\r\nX-Position-Digits: 4\r\n\r\n";
    ASSERT_EQ(h.compare(0, before.size(), before), 0) << h;
    ASSERT_GT(h.size(), before.size() + after.size());
    EXPECT_EQ(h.substr(h.size() - after.size()), after) << h;
    // "%a %b %d %H:%M:%S %Z %Y", e.g. "Tue Dec 08 11:05:34 UTC 2026"
    std::string date = h.substr(before.size(), h.size() - before.size() - after.size());
    EXPECT_EQ(date.size() >= 24 && date[3] == ' ' && date[7] == ' ' && date[10] == ' ' && date[13] == ':' &&
                  date[16] == ':',
              true)
        << date;
    EXPECT_EQ(date.substr(date.size() - 4), GetTimeStr("%Y")) << date;
}

TEST_F(VirtualDisplayFixture, OneChangedPixelIsOneChunkWithTheGroupOfItsColour) {
    ASSERT_TRUE(load(SINGLE_PIXEL_MAP));
    VirtualDisplayClient c(testPort());
    ASSERT_TRUE(c.waitHeader(10000));
    rgb(1, 255, 0, 128);
    frame();
    ASSERT_TRUE(c.waitEvents(1, 10000));
    StreamEvent e = c.events()[0];
    EXPECT_EQ(e.event, "message");
    EXPECT_EQ(e.data, "/0W:1605");
    std::string message = "id: " + e.id + "\r\nevent: message\r\ndata: /0W:1605\r\n\r\n";
    EXPECT_EQ(out->PreparedMessage(), message);
    EXPECT_EQ(e.chunk, chunkOf(message));
    EXPECT_EQ(c.framingError(), "");
}

TEST_F(VirtualDisplayFixture, UnchangedFrameSendsNothingButTheNumberAdvances) {
    ASSERT_TRUE(load("width = 4\nheight = 1\n0,0,1,3,RGB\n1,0,4,3,RGB\n"));
    VirtualDisplayClient c(testPort());
    ASSERT_TRUE(c.waitHeader(10000));
    rgb(1, 40, 40, 40);
    frame();
    ASSERT_TRUE(c.waitEvents(1, 10000));
    frame();  // same frame
    EXPECT_EQ(out->PreparedMessage(), "");
    rgb(1, 41, 42, 43);  // the same 6-bit colour: below 4 steps
    frame();
    EXPECT_EQ(out->PreparedMessage(), "");
    rgb(4, 200, 0, 0);
    frame();
    ASSERT_TRUE(c.waitEvents(2, 10000));
    usleep(100000);
    auto ev = c.events();
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(std::stoul(ev[1].id), std::stoul(ev[0].id) + 3) << "one number per frame, sent or not";
    EXPECT_EQ(ev[1].data, "o00:0100");  // only pixel 2 (x 1), colour 50,0,0
}

TEST_F(VirtualDisplayFixture, AMessagePreparedButNeverSentIsNotLost) {
    // The output thread may prepare a frame twice before sending (a
    // sequence starting): the changes of the first must still arrive.
    ASSERT_TRUE(load("width = 3\nheight = 1\n0,0,1,3,RGB\n1,0,4,3,RGB\n2,0,7,3,RGB\n"));
    VirtualDisplayClient c(testPort());
    ASSERT_TRUE(c.waitHeader(10000));
    frame();
    ASSERT_TRUE(c.waitEvents(1, 10000));
    rgb(1, 252, 0, 0);
    out->PrepData(channels.data());  // never sent
    rgb(7, 0, 252, 0);
    frame();
    ASSERT_TRUE(c.waitEvents(2, 10000));
    StreamPicture p(3, 1);
    for (auto& e : c.events()) ASSERT_TRUE(p.apply(e.data, 4));
    EXPECT_EQ(p.r(0, 0), 63) << c.events()[1].data;
    EXPECT_EQ(p.g(2, 0), 63);
    frame();  // back to changes only
    rgb(4, 0, 0, 252);
    frame();
    ASSERT_TRUE(c.waitEvents(3, 10000));
    EXPECT_EQ(c.events()[2].data, "00/:0100");
}

TEST_F(VirtualDisplayFixture, NothingIsEncodedWithNoClientConnected) {
    kivtest::LogCapture log;
    SetLogLevelComplex("excess:ChannelOut");
    ASSERT_TRUE(load(SINGLE_PIXEL_MAP));
    auto first = std::make_unique<VirtualDisplayClient>(testPort());
    ASSERT_TRUE(first->waitHeader(10000));
    frame();
    ASSERT_TRUE(first->waitEvents(1, 10000));
    unsigned long lastId = std::stoul(first->events()[0].id);
    first.reset();
    ASSERT_TRUE(waitConnections(0));
    int encodedBefore = log.count("PixelsChanged:");
    for (int i = 1; i <= 5; ++i) {
        rgb(1, i * 40, 0, 0);
        frame();
        EXPECT_EQ(out->PreparedMessage(), "");
    }
    EXPECT_TRUE(log.contains("HTTPVirtualDisplayOutput::PrepData("));
    EXPECT_EQ(log.count("PixelsChanged:"), encodedBefore);

    VirtualDisplayClient second(testPort());
    ASSERT_TRUE(second.waitHeader(10000));
    ASSERT_TRUE(waitConnections(1));
    frame();
    ASSERT_TRUE(second.waitEvents(1, 10000));
    EXPECT_TRUE(log.contains("PixelsChanged: 1, Colors: 1, Data Size: "));
    // The frames without a client used no message number, and the pixel
    // that changed meanwhile is sent as it is now.
    EXPECT_EQ(std::stoul(second.events()[0].id), lastId + 1);
    EXPECT_EQ(second.events()[0].data, "o00:1605");
}

TEST_F(VirtualDisplayFixture, GroupsComeInAscendingOrderOfTheirColourText) {
    // Digits 62 "+" and 63 "/" sort before "0" as text.
    ASSERT_TRUE(load("width = 8\nheight = 1\n"
                     "0,0,1,3,RGB\n1,0,4,3,RGB\n2,0,7,3,RGB\n3,0,10,3,RGB\n"
                     "4,0,13,3,RGB\n5,0,16,3,RGB\n6,0,19,3,RGB\n"));
    VirtualDisplayClient c(testPort());
    ASSERT_TRUE(c.waitHeader(10000));
    rgb(1, 40, 0, 0);     // "A00"
    rgb(4, 252, 0, 0);    // "/00"
    rgb(7, 0, 0, 0);      // "000"
    rgb(10, 248, 0, 0);   // "+00"
    rgb(13, 144, 0, 0);   // "a00"
    rgb(16, 252, 0, 0);   // "/00" again: the same group, in map order
    rgb(19, 0, 0, 4);     // "001"
    frame();
    ASSERT_TRUE(c.waitEvents(1, 10000));
    EXPECT_EQ(c.events()[0].data, "+00:0300|/00:01000500|000:0200|001:0600|A00:0000|a00:0400");
}

TEST_F(VirtualDisplayFixture, ManyColoursGroupInTheSameOrderAsFew) {
    // 10,000 pixels; frames of 9,000+ colours and of 3 colours alternate,
    // so that both ways of grouping run (the choice follows the previous
    // frame's colour count).
    std::string map = "width = 100\nheight = 100\n";
    for (int i = 0; i < 10000; ++i)  // map order: rows from the top, left to right
        map += std::to_string(i % 100) + "," + std::to_string(99 - i / 100) + "," + std::to_string(1 + 3 * i) +
               ",3,RGB\n";
    channels.assign(30000, 0);
    ASSERT_TRUE(load(map, testPort(), 0, 30000));
    VirtualDisplayClient c(testPort());
    ASSERT_TRUE(c.waitHeader(10000));
    StreamPicture picture(100, 100);
    const bool manyColours[] = {true, true, false, false, true, false, false};
    for (int f = 0; f < 7; ++f) {
        bool many = manyColours[f];
        for (int i = 0; i < 10000; ++i) {
            uint32_t h = (uint32_t)i * 2654435761u ^ (uint32_t)(f + 1) * 0x85ebca6bu;
            h ^= h >> 15;
            h *= 0x2c1b3c6du;
            h ^= h >> 12;
            if (many) rgb(1 + 3 * i, h >> 24, h >> 16, h >> 8);
            else rgb(1 + 3 * i, (i % 3) * 100 + f * 4, 0, 252);
        }
        frame();
        ASSERT_TRUE(c.waitEvents(f + 1, 10000)) << "frame " << f;
        std::string data = c.events()[f].data;
        ASSERT_TRUE(picture.apply(data, 4));
        StreamPicture want(100, 100);
        for (int i = 0; i < 10000; ++i)
            want.set(i % 100, i / 100, channels[3 * i] >> 2, channels[3 * i + 1] >> 2, channels[3 * i + 2] >> 2);
        EXPECT_TRUE(picture == want) << "frame " << f;
        // Groups strictly ascending as text; positions of a group in map order.
        std::string lastColour;
        int groups = 0;
        for (const std::string& g : split(data, '|')) {
            ++groups;
            std::string colour = g.substr(0, 3);
            EXPECT_LT(lastColour, colour) << "frame " << f;
            lastColour = colour;
            int lastIndex = -1;
            for (size_t k = 4; k + 4 <= g.size(); k += 4) {
                int x = kivtest::streamDigit(g[k]) * 64 + kivtest::streamDigit(g[k + 1]);
                int y = kivtest::streamDigit(g[k + 2]) * 64 + kivtest::streamDigit(g[k + 3]);
                EXPECT_LT(lastIndex, y * 100 + x);
                lastIndex = y * 100 + x;
            }
        }
        if (many) EXPECT_GT(groups, 4096) << "frame " << f;
        else EXPECT_EQ(groups, 3);
    }
}

TEST_F(VirtualDisplayFixture, ColourOfEveryPixelKindReachesTheClient) {
    ASSERT_TRUE(load("width = 6\nheight = 1\n"
                     "0,0,1,3,GBR\n1,0,4,4,BRGW\n2,0,8,4,RGBW\n3,0,12,1,B\n4,0,13,1,W\n5,0,14,3,RGB,#FF8000\n"));
    VirtualDisplayClient c(testPort());
    ASSERT_TRUE(c.waitHeader(10000));
    unsigned char data[] = {10, 20, 30, 40, 50, 60, 0, 1, 2, 3, 200, 100, 160};
    memcpy(channels.data(), data, sizeof(data));
    frame();
    ASSERT_TRUE(c.waitEvents(1, 10000));
    StreamPicture p(6, 1);
    ASSERT_TRUE(p.apply(c.events()[0].data, 4)) << c.events()[0].data;
    StreamPicture want(6, 1);
    want.set(0, 0, 30 >> 2, 10 >> 2, 20 >> 2);   // GBR of 10,20,30
    want.set(1, 0, 50 >> 2, 60 >> 2, 40 >> 2);   // BRG of 40,50,60, white 0
    want.set(2, 0, 200 >> 2, 200 >> 2, 200 >> 2);  // white 200 wins
    want.set(3, 0, 0, 0, 100 >> 2);
    want.set(4, 0, 160 >> 2, 160 >> 2, 160 >> 2);
    want.set(5, 0, 63, 32, 0);
    EXPECT_TRUE(p == want) << c.events()[0].data;
}

TEST_F(VirtualDisplayFixture, WideMapsSendEveryPositionInSixDigits) {
    ASSERT_TRUE(load("width = 5000\nheight = 2\n4100,1,1,3,RGB\n3,0,4,3,RGB\n"));
    EXPECT_TRUE(out->SixDigitPositions());
    VirtualDisplayClient c(testPort());
    ASSERT_TRUE(c.waitHeader(10000));
    rgb(1, 255, 255, 255);
    rgb(4, 255, 255, 255);
    frame();
    ASSERT_TRUE(c.waitEvents(1, 10000));
    // x 4100 = 1*4096 + 0*64 + 4, row 0; then x 3, row 1.
    EXPECT_EQ(c.events()[0].data, "///:104000003001");
    EXPECT_NE(c.header().find("\r\nX-Position-Digits: 6\r\n"), std::string::npos) << "a reader learns it from the stream";
    EXPECT_EQ(HTTPVirtualDisplayOutput::EncodePosition(4100, 0, true), "104000");
    EXPECT_EQ(HTTPVirtualDisplayOutput::EncodePosition(70, 5, false), "1605");
    EXPECT_EQ(HTTPVirtualDisplayOutput::EncodePosition(4094, 4095, false), "/+//");
    // A narrow but tall map needs six digits too: row 5000 has no four-digit form.
    out->Close();
    ASSERT_TRUE(load("width = 10\nheight = 5001\n0,0,1,3,RGB\n", testPort(1)));
    EXPECT_TRUE(out->SixDigitPositions());
    out->Close();
    ASSERT_TRUE(load("width = 4095\nheight = 4096\n4094,0,1,3,RGB\n", testPort(2)));
    EXPECT_FALSE(out->SixDigitPositions());
}

TEST_F(VirtualDisplayFixture, ANewClientGetsTheWholePictureFirstOthersKeepTheirStream) {
    ASSERT_TRUE(load("width = 3\nheight = 1\n0,0,1,3,RGB\n1,0,4,3,RGB\n2,0,7,3,RGB\n"));
    VirtualDisplayClient first(testPort());
    ASSERT_TRUE(first.waitHeader(10000));
    rgb(1, 100, 100, 100);
    rgb(4, 200, 0, 0);
    frame();
    ASSERT_TRUE(first.waitEvents(1, 10000));
    rgb(1, 0, 0, 252);
    frame();
    ASSERT_TRUE(first.waitEvents(2, 10000));
    EXPECT_EQ(first.events()[1].data, "00/:0000");

    VirtualDisplayClient second(testPort());
    ASSERT_TRUE(second.waitHeader(10000));
    ASSERT_TRUE(waitConnections(2));
    frame();  // nothing changed, but someone new is watching
    ASSERT_TRUE(second.waitEvents(1, 10000));
    StreamPicture p(3, 1), q(3, 1);
    ASSERT_TRUE(p.apply(second.events()[0].data, 4));
    EXPECT_EQ(p.b(0, 0), 63);
    EXPECT_EQ(p.r(1, 0), 50);
    EXPECT_EQ(p.r(2, 0), 0);  // black is sent too
    ASSERT_TRUE(first.waitEvents(3, 10000));
    for (auto& e : first.events()) ASSERT_TRUE(q.apply(e.data, 4));
    EXPECT_TRUE(p == q);

    // One who joins after a frame's changes were prepared, before they go
    // out, gets the whole picture with the next frame, not those changes.
    rgb(7, 0, 252, 0);
    out->PrepData(channels.data());
    VirtualDisplayClient third(testPort());
    ASSERT_TRUE(third.waitHeader(10000));
    ASSERT_TRUE(waitConnections(3));
    out->SendData(channels.data());
    frame();
    ASSERT_TRUE(third.waitEvents(1, 10000));
    StreamPicture r(3, 1);
    ASSERT_TRUE(r.apply(third.events()[0].data, 4));
    EXPECT_EQ(r.b(0, 0), 63) << third.events()[0].data;
    EXPECT_EQ(r.g(2, 0), 63);
    ASSERT_TRUE(first.waitEvents(4, 10000));
    EXPECT_EQ(first.events()[3].data, "0/0:0200");
}

TEST_F(VirtualDisplayFixture, ADisconnectedClientIsClosedAndRemoved) {
    kivtest::LogCapture log;
    SetLogLevelComplex("debug:ChannelOut");
    ASSERT_TRUE(load(SINGLE_PIXEL_MAP));
    int socketsBefore = kivtest::countSockets();
    auto leaving = std::make_unique<VirtualDisplayClient>(testPort());
    VirtualDisplayClient staying(testPort());
    ASSERT_TRUE(leaving->waitHeader(10000) && staying.waitHeader(10000));
    ASSERT_TRUE(waitConnections(2));
    leaving.reset();
    ASSERT_TRUE(waitConnections(1));
    EXPECT_TRUE(kivtest::waitUntil([&] { return log.contains("Closing socket "); }, 5000)) << log.text();
    rgb(1, 255, 0, 0);
    frame();
    ASSERT_TRUE(staying.waitEvents(1, 10000));
    EXPECT_EQ(staying.events()[0].data, "/00:1605");
    staying.disconnect();
    ASSERT_TRUE(waitConnections(0));
    EXPECT_EQ(kivtest::countSockets(), socketsBefore);
    EXPECT_TRUE(log.contains("Started ConnectionThread()"));
    EXPECT_TRUE(log.contains("Started SelectThread()"));
    EXPECT_TRUE(log.contains("Connection list changed, rebuilding active_fd-set"));
}

TEST_F(VirtualDisplayFixture, DataSentByTheBrowserIsReadAndDropped) {
    kivtest::LogCapture log;
    SetLogLevelComplex("debug:ChannelOut");
    ASSERT_TRUE(load(SINGLE_PIXEL_MAP));
    int fd = kivtest::connectFrom("127.0.0.1", "127.0.0.1", testPort());
    ASSERT_GE(fd, 0);
    std::string request = kivtest::streamRequest(testPort(), "127.0.0.1", {}, "/");
    ASSERT_EQ(write(fd, request.data(), request.size()), (ssize_t)request.size());
    ASSERT_TRUE(waitConnections(1));
    ASSERT_EQ(write(fd, "more", 4), 4);
    EXPECT_TRUE(kivtest::waitUntil([&] { return log.contains("Data read from socket "); }, 10000)) << log.text();
    EXPECT_EQ(out->ConnectionCount(), 1);
    close(fd);
    EXPECT_TRUE(waitConnections(0));
}

TEST_F(VirtualDisplayFixture, AClientThatNeverReadsIsClosedWithoutHoldingUpAFrame) {
    kivtest::LogCapture log;
    ASSERT_TRUE(load(BUSY_MAP));
    int stuck = kivtest::connectNeverReading(testPort());
    ASSERT_GE(stuck, 0);
    VirtualDisplayClient reader(testPort());
    ASSERT_TRUE(reader.waitHeader(10000));
    ASSERT_TRUE(waitConnections(2));

    kivtest::StallMeter stalls;
    long long slowest = 0;
    int frames = 0;
    std::vector<std::pair<long long, size_t>> queued;  // when, bytes
    for (; frames < 600 && out->ConnectionCount() == 2; ++frames) {
        long long t0 = GetTime();
        busyFrame(frames);
        slowest = std::max(slowest, GetTime() - t0);
        queued.push_back({t0, out->PreparedMessageSize() + 16});  // and the chunk's size line
        usleep(5000);
    }
    EXPECT_LT(frames, 600) << "the stuck client was never closed";
    EXPECT_TRUE(waitConnections(1));
    // A blocking write would hang here for good; even a loaded machine
    // finishes a non-blocking frame well within a second.
    EXPECT_LT(slowest, 1000000 + 2 * stalls.worstUs()) << "slowest PrepData+SendData in us";
    EXPECT_EQ(log.count("is not reading"), 1) << log.text();
    // All it pinned, the stream's bytes it had not taken: the budget, and
    // at most what the stream added in the grace it had.
    size_t graceBytes = 0;
    for (size_t i = 0, first = 0, sum = 0; i < queued.size(); ++i) {
        sum += queued[i].second;
        while (queued[i].first - queued[first].first > HTTPVirtualDisplayOutput::BEHIND_GRACE_MS * 1000)
            sum -= queued[first++].second;
        graceBytes = std::max(graceBytes, sum);
    }
    std::string line = log.text().substr(log.text().find("is not reading ("));
    EXPECT_LE(std::stoul(line.substr(line.find('(') + 1)), HTTPVirtualDisplayOutput::MAX_BACKLOG_BYTES + graceBytes)
        << line;
    // The reader still gets every frame, in full.
    ASSERT_TRUE(reader.waitEvents((size_t)frames, 20000)) << reader.eventCount() << " of " << frames;
    StreamPicture p(200, 100);
    for (auto& e : reader.events()) ASSERT_TRUE(p.apply(e.data, 4));
    EXPECT_EQ(p.r(0, 99), (((0 + frames - 1) * 4) & 0xFF) >> 2);
    EXPECT_EQ(reader.framingError(), "");
    close(stuck);
}

TEST_F(VirtualDisplayFixture, AReadingClientKeepsItsConnectionWhileTheWriterIsHeldUp) {
    kivtest::LogCapture log;
    ASSERT_TRUE(load(BUSY_MAP));
    VirtualDisplayClient reader(testPort());
    ASSERT_TRUE(reader.waitHeader(10000));
    ASSERT_TRUE(waitConnections(1));
    busyFrame(0);
    ASSERT_TRUE(reader.waitEvents(1, 10000));
    size_t frames = 1;
    auto framesFor = [&](long long ms, int everyMs) {
        for (long long end = GetMonotonicMS() + ms; GetMonotonicMS() < end; ++frames) {
            busyFrame((int)frames);
            usleep(everyMs * 1000);
        }
    };
    // Longer than the grace, several times the budget queues while the
    // writer cannot run. The reader has read all it was given: its socket
    // takes more, so it is not the one behind.
    {
        HeldThread writer("KIV-HTTPVD-Sel");
        ASSERT_TRUE(writer.held());
        framesFor(HTTPVirtualDisplayOutput::BEHIND_GRACE_MS * 3 / 2, 25);
        EXPECT_FALSE(log.contains("is not reading")) << log.text();
    }
    // Then it is behind by all that and catches up while the show goes on.
    framesFor(HTTPVirtualDisplayOutput::BEHIND_GRACE_MS, 50);
    ASSERT_TRUE(reader.waitEvents(frames, 20000)) << reader.eventCount() << " of " << frames;
    StreamPicture p(200, 100);
    for (auto& e : reader.events()) ASSERT_TRUE(p.apply(e.data, 4));
    EXPECT_EQ(p.r(0, 99), (int)((((frames - 1) * 4) & 0xFF) >> 2));
    EXPECT_EQ(reader.framingError(), "");
    EXPECT_EQ(out->ConnectionCount(), 1);
    EXPECT_FALSE(log.contains("is not reading")) << log.text();
}

TEST_F(VirtualDisplayFixture, ThreadsAreNamedAndGoneAfterClose) {
    // A first output brings up what a process starts once (a sanitizer's
    // own thread, for one).
    ASSERT_TRUE(load(SINGLE_PIXEL_MAP));
    out->Close();
    int before = threadCount();
    ASSERT_TRUE(load(SINGLE_PIXEL_MAP));
    std::vector<std::string> names;
    auto named = [&](const char* n) { return std::count(names.begin(), names.end(), n); };
    // The threads name themselves as they start.
    EXPECT_TRUE(kivtest::waitUntil(
        [&] {
            names = threadNames();
            return named("KIV-HTTPVD-Con") == 1 && named("KIV-HTTPVD-Sel") == 1;
        },
        5000));
    VirtualDisplayClient c(testPort());
    ASSERT_TRUE(c.waitHeader(10000));
    out->Close();
    EXPECT_TRUE(c.waitClosed(10000));
    names = threadNames();
    EXPECT_EQ(named("KIV-HTTPVD-Con"), 0);
    EXPECT_EQ(named("KIV-HTTPVD-Sel"), 0);
    c.disconnect();
    // None is left over; one of the process may have ended meanwhile (under
    // an emulator, one of the emulator's own).
    EXPECT_LE(threadCount(), before);
    // The port is free again.
    ASSERT_TRUE(load(SINGLE_PIXEL_MAP));
}

TEST_F(VirtualDisplayFixture, RefusesABadPortAPortInUseAndAnUnfittingMap) {
    kivtest::LogCapture log;
    Json::Value cfg(Json::objectValue);
    cfg["port"] = 70000;
    media.write("/config/virtualdisplaymap", SINGLE_PIXEL_MAP);
    out.reset(new HTTPVirtualDisplayOutput(0, 10));
    EXPECT_EQ(out->Init(cfg), 0);
    EXPECT_TRUE(log.contains("Virtual display \"port\" must be a number 1-65535, not 70000"));

    // A plain listener without SO_REUSEPORT holds the port.
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)testPort(1));
    ASSERT_EQ(bind(holder, (sockaddr*)&a, sizeof(a)), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    EXPECT_FALSE(load(SINGLE_PIXEL_MAP, testPort(1)));
    EXPECT_TRUE(log.contains("Could not bind socket: Address already in use")) << log.text();
    close(holder);

    // Two displays on one port would split the browsers between them.
    ASSERT_TRUE(load(SINGLE_PIXEL_MAP, testPort(2)));
    HTTPVirtualDisplayOutput twin(0, 4096);
    cfg["port"] = testPort(2);
    EXPECT_EQ(twin.Init(cfg), 0);
    EXPECT_TRUE(log.contains("Virtual display port " + std::to_string(testPort(2)) +
                             " is already used by another virtual display"));

    // Channels 1-3 of the map lie outside an output of channels 11-20.
    EXPECT_FALSE(load(SINGLE_PIXEL_MAP, testPort(), 10, 10));
    EXPECT_TRUE(log.contains("Error, unable to initialize pixel map"));
    EXPECT_TRUE(log.contains("line 3: channels 1-3 are outside this output's channels 11-20"));
}

TEST_F(VirtualDisplayFixture, ThePageLearnsEachDisplaysSizeFromTheWebServer) {
    HttpServer::Options o;
    o.port = 0;
    ASSERT_TRUE(HttpServer::INSTANCE.Start(o)) << HttpServer::INSTANCE.LastError();
    std::string url = "http://127.0.0.1:" + std::to_string(HttpServer::INSTANCE.Port()) + "/kivd/virtualdisplay";
    ASSERT_TRUE(load("width = 5000\nheight = 3\n4100,1,1,3,RGB\n3,0,4,3,RGB\n", testPort(), 0, 6));
    HTTPVirtualDisplayOutput second(100, 3);
    media.write("/config/small", "width = 2\nheight = 2\n1,1,101,3,RGB\n");
    Json::Value cfg = LoadJsonFromString("{\"port\": " + std::to_string(testPort(1)) + ", \"pixelMap\": \"small\"}");
    ASSERT_EQ(second.Init(cfg), 1);

    auto r = kivtest::httpGet(url);
    EXPECT_EQ(r.status, 200) << r.error;
    EXPECT_EQ(r.header("content-type"), "application/json");
    Json::Value doc = LoadJsonFromString(r.body);
    ASSERT_EQ(doc["displays"].size(), 2u) << r.body;
    EXPECT_EQ(doc["displays"][0]["port"].asInt(), testPort());
    EXPECT_EQ(doc["displays"][0]["width"].asInt(), 5000);
    EXPECT_EQ(doc["displays"][0]["height"].asInt(), 3);
    EXPECT_EQ(doc["displays"][0]["pixels"].asInt(), 2);
    EXPECT_EQ(doc["displays"][0]["positionDigits"].asInt(), 6);
    EXPECT_EQ(doc["displays"][1]["port"].asInt(), testPort(1));
    EXPECT_EQ(doc["displays"][1]["positionDigits"].asInt(), 4);
    EXPECT_EQ(doc["displays"][1]["startChannel"].asInt(), 101);
    EXPECT_EQ(doc["displays"][1]["channelCount"].asInt(), 3);

    second.Close();
    doc = LoadJsonFromString(kivtest::httpGet(url).body);
    EXPECT_EQ(doc["displays"].size(), 1u);
    out->Close();
    EXPECT_EQ(kivtest::httpGet(url).status, 404);
    HttpServer::INSTANCE.Stop();
}

TEST_F(VirtualDisplayFixture, LoadsAsAPluginThroughTheOutputRegistry) {
    setenv("KIV_PLUGIN_PATH", (kivtest::buildDir() + "/plugins").c_str(), 1);
    media.write("/config/virtualdisplaymap", SINGLE_PIXEL_MAP);
    media.write("/config/channeloutputs.json",
                "{\"channelOutputs\": [{\"type\": \"HTTPVirtualDisplay\", \"enabled\": 1, \"startChannel\": 1, "
                "\"channelCount\": 3, \"port\": " + std::to_string(testPort()) + "}]}");
    ASSERT_EQ(InitializeChannelOutputs(), 1);
    auto ranges = GetOutputRanges(true);
    EXPECT_EQ(ranges, (std::vector<std::pair<uint32_t, uint32_t>>{{0, 3}}));
    VirtualDisplayClient c(testPort());
    ASSERT_TRUE(c.waitHeader(10000));
    rgb(1, 255, 0, 128);
    ASSERT_TRUE(registryFramesUntilEvent(c));
    EXPECT_EQ(c.events()[0].data, "/0W:1605");
    CloseChannelOutputs();
    EXPECT_TRUE(c.waitClosed(10000));
}

TEST_F(VirtualDisplayFixture, TheDocumentedExampleLoadsWithItsMap) {
    setenv("KIV_PLUGIN_PATH", (kivtest::buildDir() + "/plugins").c_str(), 1);
    std::string docs = kivtest::sourceDir() + "/docs/";
    std::string page = GetFileContents(docs + "virtual-display.md");
    EXPECT_NE(page.find("(examples/outputs-virtualdisplay.json)"), std::string::npos);
    EXPECT_NE(page.find("(examples/virtualdisplaymap)"), std::string::npos);
    Json::Value file;
    ASSERT_TRUE(LoadJsonFromFile(docs + "examples/outputs-virtualdisplay.json", file));
    ASSERT_EQ(file["channelOutputs"].size(), 1u);
    EXPECT_EQ(file["channelOutputs"][0]["port"].asInt(), HTTPVirtualDisplayOutput::DEFAULT_PORT);
    file["channelOutputs"][0]["port"] = testPort();  // not the well-known port: suites run side by side
    media.write("/config/virtualdisplaymap", GetFileContents(docs + "examples/virtualdisplaymap"));
    media.write("/config/channeloutputs.json", SaveJsonToString(file));
    auto before = WarningHolder::GetWarnings();
    ASSERT_EQ(InitializeChannelOutputs(), 1);
    EXPECT_EQ(before, WarningHolder::GetWarnings());
    VirtualDisplayClient c(testPort());
    ASSERT_TRUE(c.waitHeader(10000));
    rgb(1, 255, 255, 255);
    ASSERT_TRUE(registryFramesUntilEvent(c));
    StreamPicture p(40, 12);
    ASSERT_TRUE(p.apply(c.events()[0].data, 4));
    EXPECT_EQ(p.r(0, 0), 63);       // the first pixel, top left
    EXPECT_EQ(p.r(39, 11), 0x40 >> 2);  // the grey mark, bottom right
    EXPECT_EQ(p.r(5, 5), -1);       // not a point of the map
    CloseChannelOutputs();
}

TEST_F(VirtualDisplayFixture, TheStreamAsksWhatTheWebServerAsks) {
    SetSetting("HTTPAccessToken", "s3cret");
    ASSERT_TRUE(load(SINGLE_PIXEL_MAP));
    const std::string own = "Origin: http://127.0.0.1:32320";
    struct Case {
        const char* name;
        std::vector<std::string> headers;
        std::string target;
        std::string status;  // of the answer's first line
    } cases[] = {
        {"no token", {}, "/", "401"},
        {"wrong token", {"Authorization: Bearer nope"}, "/", "401"},
        {"token in the address", {own}, "/?token=s3cret", "200"},
        {"token in a header", {"Authorization: Bearer s3cret"}, "/", "200"},
        {"page of another site", {"Origin: http://evil.example"}, "/?token=s3cret", "403"},
        {"rebinding name", {"Host: evil.example"}, "/?token=s3cret", "403"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        VirtualDisplayClient client(testPort(), "127.0.0.1", 5000, c.headers, c.target);
        ASSERT_TRUE(client.waitHeader(10000));
        EXPECT_EQ(client.header().substr(0, 12), "HTTP/1.1 " + c.status) << client.header();
        if (c.status != "200") {
            EXPECT_TRUE(client.waitClosed(10000));
        }
    }
    VirtualDisplayClient page(testPort(), "127.0.0.1", 5000, {own}, "/?token=s3cret");
    ASSERT_TRUE(page.waitHeader(10000));
    EXPECT_NE(page.header().find("\r\nAccess-Control-Allow-Origin: http://127.0.0.1:32320\r\n"), std::string::npos);
    // Like the web server, the stream listens on loopback only by default.
    EXPECT_LT(kivtest::connectFrom("127.0.0.1", "127.0.0.2", testPort()), 0);
    SetSetting("HTTPAccessToken", "");
}

TEST_F(VirtualDisplayFixture, ConnectionsAreLimitedPerAddressAndSlowRequestsMakeRoom) {
    ASSERT_TRUE(load(SINGLE_PIXEL_MAP));
    std::vector<std::unique_ptr<VirtualDisplayClient>> browsers;
    for (unsigned i = 0; i < HttpLimits::CONNECTIONS_PER_ADDRESS; ++i) {
        browsers.emplace_back(new VirtualDisplayClient(testPort()));
        ASSERT_TRUE(browsers.back()->waitHeader(10000));
    }
    VirtualDisplayClient oneTooMany(testPort());
    ASSERT_TRUE(oneTooMany.waitHeader(10000));
    EXPECT_EQ(oneTooMany.header().substr(0, 12), "HTTP/1.1 503");
    EXPECT_TRUE(oneTooMany.waitClosed(10000));
    // Connections that never finish their request, from many addresses:
    // only so many are held.
    std::vector<int> creeping;
    for (unsigned i = 0; i < HttpLimits::UNFINISHED_REQUESTS + 8; ++i) {
        int fd = kivtest::connectFrom("127.0.1." + std::to_string(1 + i % 8), "127.0.0.1", testPort());
        ASSERT_GE(fd, 0);
        ASSERT_EQ(send(fd, "GET / HT", 8, MSG_NOSIGNAL), 8);
        creeping.push_back(fd);
    }
    EXPECT_TRUE(kivtest::waitUntil([&] { return kivtest::closedByPeer(creeping.back()); }, 10000)) << "refused";
    EXPECT_FALSE(kivtest::closedByPeer(creeping.front()));
    // Once they have had time to send their requests, a newcomer takes the
    // place of the oldest.
    usleep((HttpLimits::UNFINISHED_GRACE_MS + 200) * 1000);
    browsers.pop_back();
    ASSERT_TRUE(waitConnections((int)HttpLimits::CONNECTIONS_PER_ADDRESS - 1));
    VirtualDisplayClient owner(testPort());
    ASSERT_TRUE(owner.waitHeader(10000));
    EXPECT_EQ(owner.header().substr(0, 12), "HTTP/1.1 200");
    EXPECT_TRUE(kivtest::waitUntil([&] { return kivtest::closedByPeer(creeping.front()); }, 10000));
    for (int fd : creeping) close(fd);
}
