#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/udp.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "NetTestSupport.h"
#include "StallMeter.h"
#include "TestSupport.h"
#include "UDPTestUtil.h"
#include "ByteOrder.h"
#include "channeloutput/ArtNet.h"
#include "channeloutput/DDP.h"
#include "channeloutput/E131.h"
#include "channeloutput/KiNet.h"
#include "services/NetworkMonitor.h"
#include "services/Ping.h"
#include "log.h"
#include "settings.h"

using namespace udptest;
using kivtest::Datagram;
using kivtest::UdpReceiver;

namespace {

Json::Value ddp(const std::string& address, int start, int count, const std::string& description = "prop") {
    Json::Value u(Json::objectValue);
    u["type"] = 4;
    u["address"] = address;
    u["startChannel"] = start;
    u["channelCount"] = count;
    u["description"] = description;
    return u;
}

Json::Value engine(const Json::Value& universes, bool threaded = true, const std::string& iface = "") {
    Json::Value o = OutputsFixture::udpOutput(universes, threaded);
    if (!iface.empty()) o["interface"] = iface;
    Json::Value outs(Json::arrayValue);
    outs.append(o);
    return outs;
}

// One entry per thread, so workers can be counted.
std::multiset<std::string> threadNames() {
    std::multiset<std::string> names;
    DIR* d = opendir("/proc/self/task");
    if (!d) return names;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::string comm = GetFileContents(std::string("/proc/self/task/") + e->d_name + "/comm");
        while (!comm.empty() && comm.back() == '\n') comm.pop_back();
        names.insert(comm);
    }
    closedir(d);
    return names;
}

// IPv4 addresses of this machine other than loopback ones.
std::vector<std::string> boardAddresses() {
    std::vector<std::string> out;
    struct ifaddrs* ifs = nullptr;
    if (getifaddrs(&ifs) != 0) return out;
    for (auto* i = ifs; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        char buf[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &((sockaddr_in*)i->ifa_addr)->sin_addr, buf, sizeof(buf));
        if (strncmp(buf, "127.", 4) != 0) out.push_back(buf);
    }
    freeifaddrs(ifs);
    return out;
}

// A controller in a network namespace of this test program's own, reached
// through a veth pair: `far` inside the namespace, `outside` the interface
// on this side (root only).
struct ControllerNamespace {
    ControllerNamespace(const std::string& prefix, int subnet) {
        int tag = getpid() % 200 + 20;
        outside = prefix + "o" + std::to_string(getpid() % 100000);
        inside = prefix + "i" + std::to_string(getpid() % 100000);
        std::string net = "10." + std::to_string(subnet) + "." + std::to_string(tag) + ".";
        far = net + "2";
        veth.reset(new kivtest::VethNamespace("kiv" + prefix + std::to_string(getpid()), outside, inside, net + "1",
                                              far));
    }
    std::string outside, inside, far;
    std::unique_ptr<kivtest::VethNamespace> veth;
};

}  // namespace

TEST(UDPOutput, UnknownTypeIsLoggedAndSkippedWhileOthersLoad) {
    kivtest::LogCapture log;
    UdpReceiver rx(lo(2), DDP_PORT);
    ASSERT_TRUE(rx.ok());
    OutputsFixture f;
    Json::Value u(Json::arrayValue);
    Json::Value bad = ddp(lo(9), 1, 10);
    bad["type"] = 9;
    u.append(bad);
    u.append(ddp(lo(2), 1, 10));
    ASSERT_EQ(1, f.load(engine(u)));
    EXPECT_TRUE(log.contains("Unknown IP output type 9\n"));
    ASSERT_EQ(1u, UDPOutput::INSTANCE->GetOutputs().size());
    EXPECT_EQ("DDP", UDPOutput::INSTANCE->GetOutputs().front()->GetOutputTypeString());
    f.sendFrame();
    EXPECT_TRUE(rx.waitFor(1, 5000));
}

TEST(UDPOutput, DestinationAtTheBoardsOwnAddressIsDisabledUnlessAllowed) {
    std::vector<std::string> own = boardAddresses();
    own.push_back("127.0.0.1");  // lo's own address is local too
    for (const std::string& addr : own) {
        SCOPED_TRACE(addr);
        std::string warning = "UDP Output set to send data to myself.  Disabling " + addr;
        {
            kivtest::LogCapture log;
            OutputsFixture f;
            Json::Value u(Json::arrayValue);
            u.append(ddp(addr, 1, 10));
            u.append(ddp(lo(2), 11, 10));
            ASSERT_EQ(1, f.load(engine(u)));
            EXPECT_FALSE(UDPOutput::INSTANCE->GetOutputs().front()->active);
            EXPECT_TRUE(UDPOutput::INSTANCE->GetOutputs().back()->active);
            EXPECT_TRUE(hasWarning(warning));
            EXPECT_TRUE(log.contains(warning + "\n"));
            WarningHolder::RemoveWarning(warning);
        }
        {
            SetSetting("DisableFakeNetworkBridges", 1);
            OutputsFixture f;
            Json::Value u(Json::arrayValue);
            u.append(ddp(addr, 1, 10));
            ASSERT_EQ(1, f.load(engine(u)));
            EXPECT_TRUE(UDPOutput::INSTANCE->GetOutputs().front()->active);
            EXPECT_FALSE(hasWarning(warning));
            SetSetting("DisableFakeNetworkBridges", 0);
        }
    }
}

TEST(UDPOutput, EachAddressUsesFiveSocketsInTurn) {
    UdpReceiver rx(lo(2), DDP_PORT);
    ASSERT_TRUE(rx.ok());
    OutputsFixture f;
    Json::Value u(Json::arrayValue);
    u.append(ddp(lo(2), 1, 10));
    ASSERT_EQ(1, f.load(engine(u)));
    std::vector<int> ports;
    for (int frame = 0; frame < 10; ++frame) {
        f.sendFrame();
        ASSERT_TRUE(rx.waitFor(1, 5000));
        ports.push_back(ntohs(rx.take()[0].from.sin_port));
    }
    std::set<int> distinct(ports.begin(), ports.end());
    EXPECT_EQ(5u, distinct.size());
    for (int i = 5; i < 10; ++i) EXPECT_EQ(ports[i - 5], ports[i]) << "frame " << i;
    // One address: the frame thread sends its batch itself, no worker is woken.
    EXPECT_EQ(0u, threadNames().count("KIV-UDPWork"));
}

TEST(UDPOutput, UnthreadedModeSendsEveryAddressOnTheCallingThread) {
    UdpReceiver a(lo(2), DDP_PORT), b(lo(3), DDP_PORT), c(lo(4), DDP_PORT);
    ASSERT_TRUE(a.ok() && b.ok() && c.ok());
    OutputsFixture f;
    Json::Value u(Json::arrayValue);
    u.append(ddp(lo(2), 1, 2000));
    u.append(ddp(lo(3), 2001, 100));
    u.append(ddp(lo(4), 1, 3000));
    ASSERT_EQ(1, f.load(engine(u, false)));
    EXPECT_FALSE(UDPOutput::INSTANCE->IsThreaded());
    f.pattern(0, 3000, 5);
    for (int i = 0; i < 5; ++i) f.sendFrame();
    EXPECT_TRUE(a.waitFor(10, 5000));
    EXPECT_TRUE(b.waitFor(5, 5000));
    EXPECT_TRUE(c.waitFor(15, 5000));
    EXPECT_EQ(0u, threadNames().count("KIV-UDPWork"));
}

// The frame thread sends one address's batch itself: two addresses keep one worker.
TEST(UDPOutput, WorkersAndPingThreadCarryTheirNames) {
    UdpReceiver a(lo(2), DDP_PORT), b(lo(3), DDP_PORT);
    ASSERT_TRUE(a.ok() && b.ok());
    OutputsFixture f;
    Json::Value u(Json::arrayValue);
    u.append(ddp(lo(2), 1, 10));
    u.append(ddp(lo(3), 1, 10));
    ASSERT_EQ(1, f.load(engine(u)));
    for (int i = 0; i < 3; ++i) f.sendFrame();
    ASSERT_TRUE(a.waitFor(3, 5000));
    ASSERT_TRUE(b.waitFor(3, 5000));
    // A new thread names itself once it runs.
    EXPECT_TRUE(kivtest::waitUntil([] { return threadNames().count("KIV-UDPWork") == 1; }, 5000));
    EXPECT_TRUE(kivtest::waitUntil([] { return threadNames().count("KIV-UDPPing") == 1; }, 5000));
    EXPECT_EQ(1u, threadNames().count("KIV-UDPWork"));
    f.close();
    EXPECT_TRUE(kivtest::waitUntil([] { return threadNames().count("KIV-UDPPing") == 0; }, 5000));
}

TEST(UDPOutput, NumbersWrittenAsTextAreAcceptedAndRangesReported) {
    kivtest::LogCapture log;
    KIVLogger::INSTANCE.ChannelOut.level = LOG_DEBUG;  // restored by the capture
    OutputsFixture f;
    std::string text = R"({"channelOutputs":[{"type":"UDP","enabled":1,"universes":[
        {"type":"4","address":"@2","startChannel":"101","channelCount":"50","description":"porch","active":1},
        {"type":4,"address":"@3","startChannel":1,"channelCount":20,"active":0}]}]})";
    replaceAll(text, "@2", lo(2));
    replaceAll(text, "@3", lo(3));
    ASSERT_EQ(1, f.loadText(text));
    auto& list = UDPOutput::INSTANCE->GetOutputs();
    ASSERT_EQ(2u, list.size());
    EXPECT_EQ(101, list.front()->startChannel);
    EXPECT_EQ(50, list.front()->channelCount);
    // The inactive destination's range is not read.
    auto ranges = GetOutputRanges(true);
    ASSERT_EQ(1u, ranges.size());
    EXPECT_EQ(100u, ranges[0].first);
    UDPOutput::INSTANCE->DumpConfig();
    EXPECT_TRUE(log.contains("DDP: porch   1:101:50:4  " + lo(2) + "\n"));
    EXPECT_TRUE(log.contains("DDP:    0:1:20:4  " + lo(3) + "\n"));
}

// A frame is sometimes prepared more than once before it goes out (the
// output thread processes the buffer again after an open, a blank or bridge
// data), and a prepared frame may never be sent at all. Receivers count every
// gap in the sequence numbers as a lost packet, so numbers go only to
// datagrams that leave.
TEST(UDPOutput, SequenceNumbersAreTakenOnlyByDatagramsThatAreSent) {
    UdpReceiver e131Rx(lo(2), E131_PORT), artRx(lo(3), ARTNET_PORT), ddpRx(lo(4), DDP_PORT), kinetRx(lo(5), KINET_PORT);
    ASSERT_TRUE(e131Rx.ok() && artRx.ok() && ddpRx.ok() && kinetRx.ok());
    OutputsFixture f;
    Json::Value u(Json::arrayValue);
    Json::Value e(Json::objectValue);
    e["type"] = 1;
    e["address"] = lo(2);
    e["universe"] = 7;
    e["startChannel"] = 1;
    e["channelCount"] = 512;
    u.append(e);
    Json::Value a(Json::objectValue);
    a["type"] = 3;
    a["address"] = lo(3);
    a["universe"] = 1;
    a["startChannel"] = 513;
    a["channelCount"] = 512;
    u.append(a);
    u.append(ddp(lo(4), 1025, 1440 * 2));
    Json::Value k(Json::objectValue);
    k["type"] = 7;
    k["address"] = lo(5);
    k["id"] = 1;
    k["startChannel"] = 3905;
    k["channelCount"] = 100;
    u.append(k);
    ASSERT_EQ(1, f.load(engine(u)));

    const int frames = 20;
    for (int frame = 0; frame < frames; ++frame) {
        f.pattern(0, 4004, frame);
        if (frame % 3 == 1) {
            // Prepared, then replaced by a newer frame before anything went out.
            PrepareChannelData((char*)f.channels());
            f.pattern(0, 4004, frame + 100);
            PrepareChannelData((char*)f.channels());
        }
        // Prepared twice, sent once.
        PrepareChannelData((char*)f.channels());
        f.sendFrame();
        ASSERT_TRUE(e131Rx.waitFor(frame + 1, 5000));
        ASSERT_TRUE(artRx.waitFor(frame + 1, 5000));
        ASSERT_TRUE(ddpRx.waitFor(2 * (frame + 1), 5000));
        ASSERT_TRUE(kinetRx.waitFor(frame + 1, 5000));
    }
    auto sequences = [](kivtest::UdpReceiver& rx, const std::function<uint32_t(const std::vector<uint8_t>&)>& seqOf) {
        std::vector<uint32_t> s;
        for (auto& d : rx.take()) s.push_back(seqOf(d.bytes));
        std::sort(s.begin(), s.end());  // sockets may reorder datagrams
        return s;
    };
    std::vector<uint32_t> expected;
    for (int i = 1; i <= frames; ++i) expected.push_back(i);
    EXPECT_EQ(expected, sequences(e131Rx, [](const std::vector<uint8_t>& b) { return (uint32_t)b[111]; }))
        << "E1.31";
    EXPECT_EQ(expected, sequences(artRx, [](const std::vector<uint8_t>& b) { return (uint32_t)b[12]; })) << "Art-Net";
    EXPECT_EQ(expected, sequences(kinetRx, [](const std::vector<uint8_t>& b) { return GetLE32(b.data() + 8); }))
        << "KiNet v2";
    // DDP numbers every datagram 1..15, then 1 again.
    std::vector<uint32_t> ddpExpected;
    for (int i = 0; i < 2 * frames; ++i) ddpExpected.push_back(i % 15 + 1);
    std::sort(ddpExpected.begin(), ddpExpected.end());
    EXPECT_EQ(ddpExpected, sequences(ddpRx, [](const std::vector<uint8_t>& b) { return (uint32_t)(b[1] & 0x0F); }))
        << "DDP";
}

// With de-duplication a change is judged against what the controller last
// received, not against a frame that was only prepared.
TEST(UDPOutput, AChangePreparedTwiceBeforeItsSendStillGoesOut) {
    UdpReceiver rx(lo(2), DDP_PORT);
    ASSERT_TRUE(rx.ok());
    OutputsFixture f;
    Json::Value u(Json::arrayValue);
    Json::Value d = ddp(lo(2), 1, 3 * 1440);
    d["deDuplicate"] = 1;
    u.append(d);
    ASSERT_EQ(1, f.load(engine(u)));
    f.pattern(0, 3 * 1440, 1);
    f.sendFrame();
    ASSERT_TRUE(rx.waitFor(3, 5000));
    rx.take();
    f.channels()[5] ^= 0xFF;  // only the first packet changes
    PrepareChannelData((char*)f.channels());
    f.sendFrame();
    ASSERT_TRUE(rx.waitFor(2, 5000)) << "the changed packet and the push packet";
    usleep(100000);
    auto got = rx.take();
    ASSERT_EQ(2u, got.size());
    bool changedArrived = false;
    for (auto& g : got) {
        if (GetBE32(g.bytes.data() + 4) == 0) changedArrived = g.bytes[10 + 5] == f.channels()[5];
    }
    EXPECT_TRUE(changedArrived);
}

TEST(UDPOutput, ControllerThatStopsAnsweringIsDisabledAndComesBack) {
    if (!kivtest::isRoot()) GTEST_SKIP() << "needs root to create a network namespace with a veth pair";
    ControllerNamespace cn("kv", 213);
    kivtest::VethNamespace& net = *cn.veth;
    const std::string &outside = cn.outside, &inside = cn.inside, &far = cn.far;
    ASSERT_TRUE(net.ok()) << net.error();

    kivtest::LogCapture log;
    std::unique_ptr<UdpReceiver> farRx;
    net.runInside([&] { farRx.reset(new UdpReceiver(far, DDP_PORT)); });
    ASSERT_TRUE(farRx && farRx->ok());
    UdpReceiver nearRx(lo(2), DDP_PORT);
    ASSERT_TRUE(nearRx.ok());

    // Link events reach the engine the way the main loop hands them over.
    std::map<int, std::function<bool(int)>> callbacks;
    NetworkMonitor::INSTANCE.Init(callbacks);
    std::atomic<bool> stop{false};
    std::thread pump([&] {
        while (!stop) {
            for (auto& c : callbacks) {
                pollfd p = {c.first, POLLIN, 0};
                if (poll(&p, 1, 20) > 0) c.second(c.first);
            }
            if (callbacks.empty()) usleep(20000);
        }
    });

    OutputsFixture f;
    Json::Value u(Json::arrayValue);
    u.append(ddp(far, 1, 100, "far tree"));
    u.append(ddp(lo(2), 101, 100, "near arch"));
    ASSERT_EQ(1, f.load(engine(u, true, outside)));
    UDPOutputData* farDest = UDPOutput::INSTANCE->GetOutputs().front();
    ASSERT_TRUE(farDest->valid);

    std::atomic<int> frames{0};
    kivtest::StallMeter stalls;
    std::atomic<long long> slowestUs{0};
    std::thread show([&] {
        while (!stop) {
            long long t = GetTime();
            f.sendFrame();
            long long took = GetTime() - t;
            if (took > slowestUs) slowestUs = took;
            frames++;
            usleep(25000);
        }
    });
    ASSERT_TRUE(farRx->waitFor(3, 5000));

    const std::string warning = "Cannot Ping DDP Channel Data Target " + far + " far tree";
    // Rounds come from this test and, meanwhile, from the ping thread (woken
    // by failed sends) and the link-down event; they take turns. So the
    // destination's state between two calls here says nothing about which
    // ping disabled it: the rounds' own log lines, in order, do.
    KIVLogger::INSTANCE.ChannelOut.level = LOG_DEBUG;  // restored by the capture
    ASSERT_EQ(0, net.exec("ip link set " + inside + " down"));
    for (int round = 0; round < 10 && farDest->valid; ++round) {
        UDPOutput::INSTANCE->PingControllers(false);  // one round of the ping thread
    }
    EXPECT_FALSE(farDest->valid);
    EXPECT_TRUE(hasWarning(warning));
    // Every failed ping of the far controller, and the removal, in order.
    std::vector<std::string> events;
    {
        std::istringstream in(log.text());
        std::string line;
        const std::string failed = "Could not ping host " + far + "   Fail count: ";
        const std::string removed = "Could not ping host " + far + ", removing from output";
        while (std::getline(in, line)) {
            size_t at = line.find(failed);
            if (at != std::string::npos) events.push_back("failed " + line.substr(at + failed.size()));
            else if (line.find(removed) != std::string::npos) events.push_back("removed");
        }
    }
    auto removal = std::find(events.begin(), events.end(), "removed");
    ASSERT_GE(removal - events.begin(), 3) << "removed before three failed pings";
    std::vector<std::string> expected = {"failed 1   Currently Valid: 1", "failed 2   Currently Valid: 1",
                                         "failed 3   Currently Valid: 1"};
    EXPECT_EQ(expected, std::vector<std::string>(removal - 3, removal)) << "disabled on the third failed ping in a row";
    EXPECT_EQ(1, std::count(events.begin(), events.end(), "removed"));
    size_t nearBefore = nearRx.count();
    int framesBefore = frames;
    usleep(500000);
    // The near destination kept every frame meanwhile.
    EXPECT_GE(nearRx.count() - nearBefore + 1, (size_t)(frames - framesBefore));

    size_t farBefore = farRx->count();
    ASSERT_EQ(0, net.exec("ip link set " + inside + " up"));
    bool back = kivtest::waitUntil(
        [&] {
            if (!farDest->valid) UDPOutput::INSTANCE->PingControllers(false);
            return farDest->valid.load();
        },
        20000);
    EXPECT_TRUE(back);
    EXPECT_FALSE(hasWarning(warning));
    EXPECT_TRUE(log.contains("Could ping host " + far + ", re-adding to outputs\n"));
    EXPECT_TRUE(farRx->waitFor(farBefore + 3, 5000));

    stop = true;
    show.join();
    pump.join();
    NetworkMonitor::INSTANCE.Close();
    // Every frame reached the near destination, and pinging never held a frame up.
    EXPECT_TRUE(nearRx.waitFor(frames, 5000)) << nearRx.count() << " of " << frames.load();
    EXPECT_LT(slowestUs.load(), 500000 + 2 * stalls.worstUs());
    EXPECT_TRUE(log.contains("UDP Interface " + outside + " now down\n"));
    f.close();
}

// A ping lost now and then (a busy network or board) must not add up: only
// three failed pings in a row take a controller out.
TEST(UDPOutput, PingsLostNowAndThenDoNotAddUpToADisable) {
    if (!kivtest::isRoot()) GTEST_SKIP() << "needs root to create a network namespace with a veth pair";
    ControllerNamespace cn("ks", 214);
    kivtest::VethNamespace& net = *cn.veth;
    const std::string &outside = cn.outside, &inside = cn.inside, &far = cn.far;
    ASSERT_TRUE(net.ok()) << net.error();

    OutputsFixture f;
    Json::Value u(Json::arrayValue);
    u.append(ddp(far, 1, 100, "far tree"));
    ASSERT_EQ(1, f.load(engine(u, true, outside)));
    UDPOutputData* farDest = UDPOutput::INSTANCE->GetOutputs().front();
    ASSERT_TRUE(farDest->valid);

    // Two pings lost, one answered, two lost again. (The ping thread's own
    // first round comes 10 s after the start, after all of this.)
    auto round = [] { UDPOutput::INSTANCE->PingControllers(false); };
    ASSERT_EQ(0, net.exec("ip link set " + inside + " down"));
    round();
    round();
    EXPECT_EQ(2, (int)farDest->failCount);
    EXPECT_TRUE(farDest->valid);
    ASSERT_EQ(0, net.exec("ip link set " + inside + " up"));
    ASSERT_TRUE(kivtest::waitUntil([&] { return ping(far, 500) > 0; }, 10000));
    round();
    EXPECT_EQ(0, (int)farDest->failCount) << "an answered ping starts the count again";
    ASSERT_EQ(0, net.exec("ip link set " + inside + " down"));
    round();
    round();
    EXPECT_TRUE(farDest->valid) << "disabled after two failed pings in a row";
    EXPECT_FALSE(hasWarning("Cannot Ping DDP Channel Data Target " + far + " far tree"));
    f.close();
}

// A batch the kernel takes only in part, then refuses a datagram (to port
// 0): the part is no failure, the refusal is one, with its error. A batch
// that went out whole, only slowly, is not called a failure either.
TEST(UDPOutput, SendFailuresCarryTheirErrorWhilePartialAndSlowSendsAreNoFailures) {
    kivtest::LogCapture log;
    UdpReceiver rx(lo(2), DDP_PORT);
    ASSERT_TRUE(rx.ok());
    OutputsFixture f;
    Json::Value u(Json::arrayValue);
    u.append(ddp(lo(2), 1, 10));
    ASSERT_EQ(1, f.load(engine(u)));
    UDPOutput* udp = UDPOutput::INSTANCE;
    sockaddr_in to[4] = {};
    char bytes[4] = {'a', 'b', 'c', 'd'};
    iovec iov[4] = {{&bytes[0], 1}, {&bytes[1], 1}, {&bytes[2], 1}, {&bytes[3], 1}};
    std::vector<mmsghdr> msgs(4);
    for (int i = 0; i < 4; ++i) {
        to[i].sin_family = AF_INET;
        to[i].sin_port = htons(i == 2 ? 0 : DDP_PORT);
        inet_pton(AF_INET, lo(2).c_str(), &to[i].sin_addr);
        msgs[i].msg_hdr = {&to[i], sizeof(to[i]), &iov[i], 1, nullptr, 0, 0};
    }
    UDPOutputMessages::SendSocketInfo info;
    info.sockets.push_back(udp->createSocket(0, false));
    uint32_t key = to[0].sin_addr.s_addr;
    int err = 0;
    EXPECT_EQ(udp->SendMessages(key, &info, msgs, &err), 2);
    EXPECT_EQ(err, EINVAL);
    EXPECT_TRUE(rx.waitFor(2, 5000));
    udp->AccountSendResult(&info, key, 2, 4, 1, err);
    for (int frame = 0; frame < 2; ++frame) udp->AccountSendResult(&info, key, 5826, 5826, 150, 0);
    close(info.sockets[0]);
    for (auto& c : {std::make_pair("sendmmsg() failed", 1), {"output count: 2/4", 1}, {"Invalid argument", 1},
                    {"Success", 0}, {"5826 datagrams took 150 ms", 1}}) {
        EXPECT_EQ(log.count(c.first), c.second) << c.first << "\n" << log.text();
    }
}

// Runs of datagrams to one address and of one size become one segmented
// message; anything else stays a datagram of its own.
TEST(UDPOutput, SegmentsJoinRunsOfOneSizeToOneAddressOnly) {
    sockaddr_in a = {}, b = {};
    a.sin_family = b.sin_family = AF_INET;
    a.sin_port = b.sin_port = htons(DDP_PORT);
    inet_pton(AF_INET, "10.0.0.1", &a.sin_addr);
    inet_pton(AF_INET, "10.0.0.2", &b.sin_addr);
    sockaddr_in aAgain = a;  // the same address in another destination's storage
    static uint8_t bytes[2000];
    struct Case {
        const char* name;
        std::vector<std::pair<sockaddr_in*, int>> datagrams;  // (address, size)
        std::vector<int> counts;                               // datagrams per message
    };
    std::vector<std::pair<sockaddr_in*, int>> seventy(70, {&a, 10}), fifty(50, {&a, 1450});
    const Case cases[] = {
        {"one size, one address", {{&a, 100}, {&a, 100}, {&aAgain, 100}}, {3}},
        {"a shorter last one joins", {{&a, 100}, {&a, 100}, {&a, 40}}, {3}},
        {"a shorter one ends the run", {{&a, 100}, {&a, 40}, {&a, 100}, {&a, 100}}, {2, 2}},
        {"a longer one starts a new run", {{&a, 40}, {&a, 100}, {&a, 100}}, {1, 2}},
        {"another address splits", {{&a, 100}, {&b, 100}, {&b, 100}, {&a, 100}}, {1, 2, 1}},
        {"at most 64 datagrams", seventy, {64, 6}},
        {"at most 64 KiB", fifty, {45, 5}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Two scatter entries per datagram, as a header and channel bytes.
        std::vector<iovec> iov(2 * c.datagrams.size());
        std::vector<mmsghdr> msgs(c.datagrams.size());
        for (size_t i = 0; i < c.datagrams.size(); ++i) {
            iov[2 * i] = {bytes + i, 4};
            iov[2 * i + 1] = {bytes + 100 + i, (size_t)c.datagrams[i].second - 4};
            msgs[i].msg_hdr = {c.datagrams[i].first, sizeof(sockaddr_in), &iov[2 * i], 2, nullptr, 0, 0};
        }
        UDPOutputMessages::SendSocketInfo info;
        int n = UDPOutputMessages::BuildSegments(&info, msgs);
        ASSERT_EQ(n, (int)c.counts.size());
        EXPECT_EQ(info.segCounts, c.counts);
        size_t first = 0;
        for (int m = 0; m < n; ++m) {
            const msghdr& h = info.segMsgs[m].msg_hdr;
            int count = c.counts[m];
            EXPECT_EQ(h.msg_name, c.datagrams[first].first);
            ASSERT_EQ(h.msg_iovlen, 2u * count);
            for (int k = 0; k < 2 * count; ++k) {
                EXPECT_EQ(h.msg_iov[k].iov_base, iov[2 * first + k].iov_base);
                EXPECT_EQ(h.msg_iov[k].iov_len, iov[2 * first + k].iov_len);
            }
            cmsghdr* cm = h.msg_controllen ? CMSG_FIRSTHDR(&h) : nullptr;
            if (count == 1) {
                EXPECT_EQ(cm, nullptr) << "a datagram alone goes plain";
            } else {
                ASSERT_NE(cm, nullptr);
                EXPECT_EQ(cm->cmsg_level, SOL_UDP);
                EXPECT_EQ(cm->cmsg_type, UDP_SEGMENT);
                uint16_t size = 0;
                memcpy(&size, CMSG_DATA(cm), sizeof(size));
                EXPECT_EQ(size, c.datagrams[first].second);
            }
            first += count;
        }
    }
}

// Every protocol, several destinations at one address, de-duplication
// leaving packets out: segmented sends put the very datagrams of plain
// ones on the wire, in the same order.
TEST(UDPOutput, SegmentedSendsPutTheSameDatagramsOnTheWireAsPlainOnes) {
    if (segmentationForcedOff()) GTEST_SKIP() << "KIV_UDP_SEGMENTATION=0";
    std::vector<std::vector<uint8_t>> wire[2][4];  // per path and receiver: datagrams in arrival order
    for (int segmentation : {1, 0}) {
        SCOPED_TRACE(segmentation ? "segmented" : "plain");
        kivtest::LogCapture log;
        SetSetting("UDPSegmentation", segmentation);
        UdpReceiver ddpRx(lo(2), DDP_PORT), e131Rx(lo(2), E131_PORT), artRx(lo(2), ARTNET_PORT),
            kinetRx(lo(2), KINET_PORT);
        ASSERT_TRUE(ddpRx.ok() && e131Rx.ok() && artRx.ok() && kinetRx.ok());
        OutputsFixture f;
        Json::Value u = parse(R"([
          {"type": 4, "address": ")" + lo(2) + R"(", "startChannel": 1, "channelCount": 20000, "deDuplicate": 1},
          {"type": 1, "address": ")" + lo(2) + R"(", "universe": 1, "universeCount": 6, "startChannel": 20001, "channelCount": 510},
          {"type": 3, "address": ")" + lo(2) + R"(", "universe": 0, "universeCount": 5, "startChannel": 23061, "channelCount": 512, "deDuplicate": 1},
          {"type": 7, "address": ")" + lo(2) + R"(", "id": 1, "universeCount": 3, "startChannel": 25621, "channelCount": 512}
        ])");
        ASSERT_EQ(1, f.load(engine(u)));
        const int channels = 27157;
        size_t datagrams = 0;
        for (int frame = 0; frame < 12; ++frame) {
            // Frames that change everything, and frames that change only a
            // few packets of the de-duplicated destinations.
            if (frame % 3 == 0) {
                f.pattern(0, channels, frame);
            } else {
                f.channels()[frame * 1440 + 7] ^= 0xFF;
                f.channels()[23060 + (frame % 5) * 512] ^= 0xFF;
            }
            f.sendFrame();
            // Sent: 14 DDP packets (or the changed ones and the push packet),
            // 6 + 3 universes, the Art-Net universes that changed.
            datagrams += frame % 3 == 0 ? 14 + 6 + 5 + 3 : 2 + 6 + 1 + 3;
            size_t now = 0;
            ASSERT_TRUE(kivtest::waitUntil(
                [&] {
                    now = ddpRx.count() + e131Rx.count() + artRx.count() + kinetRx.count();
                    return now >= datagrams;
                },
                5000))
                << now << " of " << datagrams << " datagrams after frame " << frame;
        }
        EXPECT_EQ(UDPOutput::INSTANCE->UsesSegmentation(), segmentation == 1);
        if (segmentation) {
            EXPECT_GT(UDPOutput::INSTANCE->SegmentedDatagrams(), 0);
            EXPECT_EQ(log.count("UDP output sends with UDP segmentation offload (UDP_SEGMENT)"), 1) << log.text();
        } else {
            EXPECT_EQ(UDPOutput::INSTANCE->SegmentedDatagrams(), 0);
            EXPECT_EQ(log.count("segmentation offload is switched off (UDPSegmentation)"), 1) << log.text();
        }
        f.close();
        UdpReceiver* receivers[4] = {&ddpRx, &e131Rx, &artRx, &kinetRx};
        for (int r = 0; r < 4; ++r) {
            for (auto& d : receivers[r]->take()) wire[segmentation][r].push_back(d.bytes);
        }
    }
    SetSetting("UDPSegmentation", 1);
    const char* names[4] = {"DDP", "E1.31", "Art-Net", "KiNet"};
    for (int r = 0; r < 4; ++r) {
        SCOPED_TRACE(names[r]);
        EXPECT_EQ(wire[1][r].size(), wire[0][r].size());
        EXPECT_TRUE(wire[1][r] == wire[0][r]) << "the datagrams differ";
    }
}

// A route that cannot take a segmented send (here an MTU below DDP's
// packet size): the frame still goes out whole, the log says so once and
// the engine stays on sendmmsg.
TEST(UDPOutput, ARefusedSegmentedSendFallsBackToSendmmsgOnce) {
    if (segmentationForcedOff()) GTEST_SKIP() << "KIV_UDP_SEGMENTATION=0";
    if (!kivtest::inPrivateNetns()) {
        if (!kivtest::isRoot()) GTEST_SKIP() << "needs root to change the loopback MTU in a namespace of its own";
        std::string out;
        EXPECT_EQ(kivtest::rerunInPrivateNetns(&out), 0) << out;
        return;
    }
    ASSERT_EQ(system("ip link set lo mtu 1200"), 0);
    kivtest::LogCapture log;
    UdpReceiver rx(lo(2), DDP_PORT);
    ASSERT_TRUE(rx.ok());
    OutputsFixture f;
    Json::Value u(Json::arrayValue);
    u.append(ddp(lo(2), 1, 4 * 1440));
    ASSERT_EQ(1, f.load(engine(u)));
    EXPECT_TRUE(UDPOutput::INSTANCE->UsesSegmentation());
    for (int frame = 0; frame < 3; ++frame) {
        f.pattern(0, 4 * 1440, frame);
        f.sendFrame();
        ASSERT_TRUE(rx.waitFor(4 * (frame + 1), 5000)) << "frame " << frame;
    }
    EXPECT_FALSE(UDPOutput::INSTANCE->UsesSegmentation());
    EXPECT_EQ(UDPOutput::INSTANCE->SegmentedDatagrams(), 0);
    EXPECT_EQ(log.count("UDP output falls back to sendmmsg: the kernel refused a segmented send"), 1) << log.text();
    EXPECT_EQ(log.count("sendmmsg() failed"), 0) << log.text();
    // Every datagram whole, the first frame's included (sequence numbers 1..12).
    std::vector<uint32_t> sequences;
    for (auto& d : rx.take()) {
        ASSERT_EQ(d.bytes.size(), 10u + 1440);
        sequences.push_back(d.bytes[1] & 0x0F);
    }
    std::vector<uint32_t> expected = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    EXPECT_EQ(sequences, expected);
}
