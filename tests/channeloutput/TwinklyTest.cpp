#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "HttpTestServer.h"
#include "TestSupport.h"
#include "UDPTestUtil.h"
#include "channeloutput/Twinkly.h"
#include "services/CurlManager.h"
#include "services/Timers.h"

using namespace udptest;
using kivtest::Datagram;
using kivtest::HttpRequest;
using kivtest::HttpResponse;
using kivtest::UdpReceiver;

namespace {

const std::vector<uint8_t> TOKEN1 = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA};
const std::vector<uint8_t> TOKEN2 = {0xF1, 0xE2, 0xD3, 0xC4, 0xB5, 0xA6, 0x97, 0x88};

// A Twinkly controller: hands out the tokens in turn, answers the periodic
// check with verifyCode.
struct FakeTwinkly {
    std::atomic<int> logins{0};
    std::atomic<int> verifyCode{1000};
    std::atomic<bool> giveToken{true};

    HttpResponse operator()(const HttpRequest& r) {
        if (r.method == "POST" && r.url == "/xled/v1/login") {
            int n = logins++;
            if (!giveToken) return {200, "{\"code\":1000}"};
            const auto& t = n % 2 == 0 ? TOKEN1 : TOKEN2;
            return {200, "{\"authentication_token\":\"" + base64Encode(t.data(), t.size()) +
                             "\",\"authentication_token_expires_in\":14400,\"code\":1000}"};
        }
        if (r.method == "GET" && r.url == "/xled/v1/verify") {
            return {200, "{\"code\":" + std::to_string(verifyCode.load()) + "}"};
        }
        return {200, "{\"code\":1000}"};
    }
};

class TwinklyTest : public ::testing::Test {
protected:
    void SetUp() override {
        server.reset(new kivtest::HttpTestServer(lo(5), 80, [this](const HttpRequest& r) { return fake(r); }));
        if (!server->ok()) GTEST_SKIP() << "cannot listen on " << lo(5) << ":80 (needs root)";
        rx.reset(new UdpReceiver(lo(5), TWINKLY_PORT));
        ASSERT_TRUE(rx->ok());
        Json::Value u(Json::objectValue);
        u["type"] = 8;
        u["address"] = lo(5);
        u["startChannel"] = 1;
        u["channelCount"] = 1000;
        u["description"] = "tree";
        Json::Value a(Json::arrayValue);
        a.append(u);
        Json::Value outs(Json::arrayValue);
        outs.append(OutputsFixture::udpOutput(a));
        ASSERT_EQ(1, f.load(outs));
        twinkly = dynamic_cast<TwinklyOutputData*>(UDPOutput::INSTANCE->GetOutputs().front());
        ASSERT_NE(nullptr, twinkly);
        f.pattern(0, 1000, 1);
    }
    void TearDown() override {
        f.close();
        Timers::INSTANCE.clear();
    }

    std::vector<HttpRequest> requestsTo(const std::string& method, const std::string& url) {
        std::vector<HttpRequest> out;
        for (auto& r : server->requests()) {
            if (r.method == method && r.url == url) out.push_back(r);
        }
        return out;
    }
    // Sends one frame and returns its datagrams ordered by packet index.
    std::vector<Datagram> frame() {
        rx->take();
        f.sendFrame();
        EXPECT_TRUE(rx->waitFor(2, 5000));
        auto d = rx->take();
        std::sort(d.begin(), d.end(), [](const Datagram& a, const Datagram& b) { return a.bytes[11] < b.bytes[11]; });
        return d;
    }

    FakeTwinkly fake;
    std::unique_ptr<kivtest::HttpTestServer> server;
    std::unique_ptr<UdpReceiver> rx;
    OutputsFixture f;
    TwinklyOutputData* twinkly = nullptr;
};

std::vector<uint8_t> tokenBytes(const Datagram& d) { return slice(d.bytes, 1, 8); }

}  // namespace

TEST_F(TwinklyTest, LogsInSwitchesToRealTimeAndStampsTokenBytes) {
    StartingOutput();
    auto all = server->requests();
    ASSERT_EQ(3u, all.size());
    EXPECT_EQ("POST", all[0].method);
    EXPECT_EQ("/xled/v1/login", all[0].url);
    Json::Value body = parse(all[0].body);
    ASSERT_TRUE(body.isObject());
    EXPECT_EQ(1u, body.size());
    EXPECT_EQ(44u, body["challenge"].asString().size());
    EXPECT_EQ(32u, base64Decode(body["challenge"].asString()).size());
    EXPECT_EQ("application/json", all[0].header("content-type"));
    EXPECT_EQ(0u, all[0].header("user-agent").rfind("KIV/", 0));
    std::string token1 = base64Encode(TOKEN1.data(), TOKEN1.size());
    EXPECT_EQ("/xled/v1/verify", all[1].url);
    EXPECT_EQ("POST", all[1].method);
    EXPECT_EQ(token1, all[1].header("x-auth-token"));
    EXPECT_EQ("/xled/v1/led/mode", all[2].url);
    EXPECT_EQ("{\"mode\": \"rt\"}", all[2].body);
    EXPECT_EQ(token1, all[2].header("x-auth-token"));
    EXPECT_EQ(token1, twinkly->Token());

    auto d = frame();
    ASSERT_EQ(2u, d.size());
    ASSERT_EQ(12u + 900, d[0].bytes.size());
    ASSERT_EQ(12u + 100, d[1].bytes.size());
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(3, d[i].bytes[0]);
        EXPECT_EQ(slice(TOKEN1, 0, 8), tokenBytes(d[i]));
        EXPECT_EQ(0, d[i].bytes[9]);
        EXPECT_EQ(0, d[i].bytes[10]);
        EXPECT_EQ(i, d[i].bytes[11]);
        EXPECT_EQ(channelsOf(f.channels(), 900 * i, i == 0 ? 900 : 100), slice(d[i].bytes, 12, i == 0 ? 900 : 100));
    }
    EXPECT_TRUE(Timers::INSTANCE.hasTimers());

    StoppingOutput();
    auto off = requestsTo("POST", "/xled/v1/led/mode");
    ASSERT_EQ(2u, off.size());
    EXPECT_EQ("{\"mode\": \"off\"}", off[1].body);
    EXPECT_EQ("", twinkly->Token());
    EXPECT_FALSE(Timers::INSTANCE.hasTimers());
}

TEST_F(TwinklyTest, LoginWithoutTokenLeavesHeadersAndSendsNoModeRequest) {
    fake.giveToken = false;
    StartingOutput();
    auto all = server->requests();
    ASSERT_EQ(1u, all.size());
    EXPECT_EQ("/xled/v1/login", all[0].url);
    EXPECT_EQ("", twinkly->Token());
    auto d = frame();
    ASSERT_EQ(2u, d.size());
    for (auto& g : d) EXPECT_EQ(std::vector<uint8_t>(8, 0), tokenBytes(g));
}

TEST_F(TwinklyTest, PeriodicCheckLogsInAgainOnlyWhenTheTokenIsRejected) {
    StartingOutput();
    ASSERT_EQ(1, fake.logins.load());
    std::string token1 = base64Encode(TOKEN1.data(), TOKEN1.size());

    // Accepted: nothing changes.
    Timers::INSTANCE.fireTimersInternal(GetTimeMS() + TWINKLY_VERIFY_PERIOD_MS + 1);
    CurlManager::INSTANCE.processAll(5000);
    auto checks = requestsTo("GET", "/xled/v1/verify");
    ASSERT_EQ(1u, checks.size());
    EXPECT_EQ(token1, checks[0].header("x-auth-token"));
    EXPECT_EQ(1, fake.logins.load());
    EXPECT_EQ(slice(TOKEN1, 0, 8), tokenBytes(frame()[0]));

    // Rejected (any code but 1000): a new login, new token bytes.
    fake.verifyCode = 1104;
    Timers::INSTANCE.fireTimersInternal(GetTimeMS() + 2 * TWINKLY_VERIFY_PERIOD_MS + 2);
    CurlManager::INSTANCE.processAll(5000);
    EXPECT_EQ(2u, requestsTo("GET", "/xled/v1/verify").size());
    EXPECT_EQ(2, fake.logins.load());
    EXPECT_EQ(base64Encode(TOKEN2.data(), TOKEN2.size()), twinkly->Token());
    auto d = frame();
    ASSERT_EQ(2u, d.size());
    EXPECT_EQ(TOKEN2, tokenBytes(d[0]));
    EXPECT_EQ(TOKEN2, tokenBytes(d[1]));
}

TEST_F(TwinklyTest, LogsInAgainOnTheFrameAfter576000) {
    StartingOutput();
    ASSERT_EQ(1, fake.logins.load());
    for (uint32_t i = 0; i < TWINKLY_RELOGIN_FRAMES; ++i) PrepareChannelData((char*)f.channels());
    EXPECT_EQ(1, fake.logins.load());
    EXPECT_EQ(TWINKLY_RELOGIN_FRAMES, twinkly->FrameCounter());
    auto d = frame();
    EXPECT_EQ(2, fake.logins.load());
    ASSERT_EQ(2u, d.size());
    EXPECT_EQ(TOKEN2, tokenBytes(d[0]));
    EXPECT_EQ(0u, twinkly->FrameCounter());

    // A re-login that gets no token does not retry on every frame.
    for (uint32_t i = 0; i < TWINKLY_RELOGIN_FRAMES; ++i) PrepareChannelData((char*)f.channels());
    fake.giveToken = false;
    frame();
    EXPECT_EQ(3, fake.logins.load());
    frame();
    frame();
    EXPECT_EQ(3, fake.logins.load());
    EXPECT_EQ(TOKEN2, tokenBytes(frame()[1]));
}

TEST_F(TwinklyTest, LoginOnAnotherThreadNeverTearsTheTokenOfAFrame) {
    StartingOutput();
    std::atomic<bool> stop{false};
    std::thread logins([&] {
        while (!stop) twinkly->authenticate();
    });
    int frames = 0;
    // Until the login thread has logged in often, however the two threads
    // are scheduled (bounded in time).
    long long start = GetTimeMS();
    for (; (frames < 150 || fake.logins.load() <= 2) && fake.logins.load() < 40 && GetTimeMS() - start < 20000;
         ++frames) {
        for (auto& d : frame()) {
            auto t = tokenBytes(d);
            EXPECT_TRUE(t == slice(TOKEN1, 0, 8) || t == TOKEN2) << "frame " << frames;
        }
    }
    stop = true;
    logins.join();
    EXPECT_GT(fake.logins.load(), 2);
}
