// A 1,000,000-channel frame as DDP to four receivers on loopback, 2,000
// frames: the engine's PrepData + SendData time per frame against a minimal
// loop that sends the same datagrams with one sendmmsg per address; the
// datagrams received against those sent; and, with de-duplication on and a
// static frame, the share of datagrams left out.

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "channeloutput/DDP.h"
#include "channeloutput/UDPOutput.h"
#include "ByteOrder.h"
#include "channeloutput/channeloutput.h"
#include "common.h"
#include "log.h"

static constexpr int FRAMES = 2000;
static constexpr int RECEIVERS = 4;
static constexpr int CHANNELS = 1000000;
static constexpr int PER_RECEIVER = CHANNELS / RECEIVERS;

struct Receiver {
    int fd = -1;
    std::atomic<long long> count{0};
    std::thread thread;
};

static std::atomic<bool> stopReceivers{false};

static void receiveLoop(Receiver* r) {
    std::vector<mmsghdr> msgs(256);
    std::vector<std::vector<char>> bufs(256, std::vector<char>(1500));
    std::vector<iovec> iov(256);
    for (int i = 0; i < 256; ++i) {
        iov[i] = {bufs[i].data(), bufs[i].size()};
        memset(&msgs[i], 0, sizeof(mmsghdr));
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
    while (!stopReceivers) {
        pollfd p = {r->fd, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        int n = recvmmsg(r->fd, msgs.data(), msgs.size(), MSG_DONTWAIT, nullptr);
        if (n > 0) r->count += n;
    }
}

static long long totalReceived(std::vector<Receiver>& rs) {
    long long t = 0;
    for (auto& r : rs) t += r.count;
    return t;
}

static void waitQuiet(std::vector<Receiver>& rs) {
    long long last = -1;
    while (true) {
        usleep(100000);
        long long now = totalReceived(rs);
        if (now == last) return;
        last = now;
    }
}

static std::string addressOf(int i) { return "127.0.0." + std::to_string(2 + i); }

static double percentile(std::vector<long long> v, double p) {
    std::sort(v.begin(), v.end());
    size_t idx = std::min(v.size() - 1, (size_t)(p * (v.size() - 1) + 0.5));
    return (double)v[idx];
}

// The reference: the same datagrams, built once, one sendmmsg per address.
static std::vector<long long> minimalLoop(unsigned char* channels, int& perFrame) {
    std::vector<int> socks;
    std::vector<std::unique_ptr<bench::DDPBatch>> batches;
    perFrame = 0;
    for (int r = 0; r < RECEIVERS; ++r) {
        socks.push_back(socket(AF_INET, SOCK_DGRAM, 0));
        batches.emplace_back(new bench::DDPBatch(channels + r * PER_RECEIVER, PER_RECEIVER, addressOf(r),
                                                 r * PER_RECEIVER));
        perFrame += batches.back()->Datagrams();
    }
    std::vector<long long> times;
    for (int f = 0; f < FRAMES; ++f) {
        channels[f % CHANNELS] ^= 1;
        long long t = GetTimeMicros();
        for (int r = 0; r < RECEIVERS; ++r) batches[r]->Send(socks[r]);
        times.push_back(GetTimeMicros() - t);
        usleep(1000);
    }
    for (int s : socks) close(s);
    return times;
}

static std::vector<long long> engineLoop(unsigned char* channels, bool dedup, bool staticFrame) {
    std::string dir = "/tmp/kivbench-XXXXXX";
    std::vector<char> d(dir.begin(), dir.end());
    d.push_back(0);
    std::string media = mkdtemp(d.data());
    mkdir((media + "/config").c_str(), 0775);
    setenv("KIV_MEDIA_DIR", media.c_str(), 1);
    setenv("KIV_PLUGIN_PATH", KIV_BENCH_PLUGIN_DIR, 1);
    Json::Value universes(Json::arrayValue);
    for (int r = 0; r < RECEIVERS; ++r) {
        Json::Value u(Json::objectValue);
        u["type"] = 4;
        u["address"] = addressOf(r);
        u["startChannel"] = 1 + r * PER_RECEIVER;
        u["channelCount"] = PER_RECEIVER;
        u["deDuplicate"] = dedup ? 1 : 0;
        universes.append(u);
    }
    Json::Value out(Json::objectValue);
    out["type"] = "UDP";
    out["enabled"] = 1;
    out["universes"] = universes;
    Json::Value doc(Json::objectValue);
    doc["channelOutputs"].append(out);
    PutFileContents(media + "/config/channeloutputs.json", SaveJsonToString(doc));
    if (InitializeChannelOutputs() != 1) {
        fprintf(stderr, "could not load the UDP output plug-in from %s\n", KIV_BENCH_PLUGIN_DIR);
        exit(1);
    }
    std::vector<long long> times;
    for (int f = 0; f < FRAMES; ++f) {
        if (!staticFrame) channels[f % CHANNELS] ^= 1;
        long long t = GetTimeMicros();
        PrepareChannelData((char*)channels);
        SendChannelData((const char*)channels);
        times.push_back(GetTimeMicros() - t);
        usleep(1000);
    }
    CloseChannelOutputs();
    std::string cmd = "rm -rf '" + media + "'";
    if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", media.c_str());
    return times;
}

int main() {
    SetLogFile("stderr", false);
    KIVLogger::INSTANCE.SetAllLevel(LOG_WARN);
    std::vector<Receiver> rs(RECEIVERS);
    for (int r = 0; r < RECEIVERS; ++r) {
        rs[r].fd = socket(AF_INET, SOCK_DGRAM, 0);
        int sz = 64 * 1024 * 1024;
        setsockopt(rs[r].fd, SOL_SOCKET, SO_RCVBUFFORCE, &sz, sizeof(sz));
        sockaddr_in a;
        memset(&a, 0, sizeof(a));
        a.sin_family = AF_INET;
        a.sin_port = htons(DDP_PORT);
        inet_pton(AF_INET, addressOf(r).c_str(), &a.sin_addr);
        if (bind(rs[r].fd, (sockaddr*)&a, sizeof(a)) < 0) {
            perror("bind");
            return 1;
        }
        rs[r].thread = std::thread(receiveLoop, &rs[r]);
    }
    std::vector<unsigned char> channels(UDP_MAX_CHANNELS);
    for (size_t i = 0; i < channels.size(); ++i) channels[i] = (unsigned char)(i * 7);

    int perFrame = 0;
    auto ref = minimalLoop(channels.data(), perFrame);
    waitQuiet(rs);
    long long refReceived = totalReceived(rs);

    auto eng = engineLoop(channels.data(), false, false);
    waitQuiet(rs);
    long long engReceived = totalReceived(rs) - refReceived;

    auto dd = engineLoop(channels.data(), true, true);
    waitQuiet(rs);
    long long ddReceived = totalReceived(rs) - refReceived - engReceived;

    stopReceivers = true;
    for (auto& r : rs) {
        r.thread.join();
        close(r.fd);
    }

    long long sent = (long long)perFrame * FRAMES;
    double engMed = percentile(eng, 0.5), engP99 = percentile(eng, 0.99);
    double refMed = percentile(ref, 0.5), refP99 = percentile(ref, 0.99);
    printf("frames: %d\n", FRAMES);
    printf("channels per frame: %d\n", CHANNELS);
    printf("receivers: %d\n", RECEIVERS);
    printf("datagrams per frame: %d\n", perFrame);
    printf("engine PrepData+SendData per frame median: %.0f us\n", engMed);
    printf("engine PrepData+SendData per frame p99: %.0f us\n", engP99);
    printf("minimal sendmmsg loop per frame median: %.0f us\n", refMed);
    printf("minimal sendmmsg loop per frame p99: %.0f us\n", refP99);
    printf("engine / minimal, median: %.2f (goal <= 1.25)\n", engMed / refMed);
    printf("engine / minimal, p99: %.2f\n", engP99 / refP99);
    printf("engine datagrams sent: %lld\n", sent);
    printf("engine datagrams received: %lld (%.2f%%)\n", engReceived, 100.0 * engReceived / sent);
    printf("minimal loop datagrams received: %lld (%.2f%%)\n", refReceived, 100.0 * refReceived / sent);
    printf("de-duplication, static frame: datagrams sent %lld of %lld\n", ddReceived, sent);
    printf("de-duplication, static frame: share skipped %.2f%%\n", 100.0 * (sent - ddReceived) / sent);
    return 0;
}
