#include "Events.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "CaptureOutput.h"
#include "StallMeter.h"
#include "TestSupport.h"
#include "Warnings.h"
#include "log.h"
#include "common.h"
#include "settings.h"

namespace {

struct Publication {
    std::string topic;
    std::string payload;
    long long timeUs;
};

// Records what it is given; answers Publish with `ok`.
class RecordingHandler : public EventHandler {
public:
    explicit RecordingHandler(bool ok = true) : m_ok(ok) {}
    bool Publish(const std::string& topic, const std::string& payload) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_published.push_back({topic, payload, kivtest::MonotonicUs()});
        return m_ok;
    }
    bool Publish(const std::string& topic, int value) override { return Publish(topic, std::to_string(value)); }
    void RegisterCallback(const std::string& topic) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_calls.push_back("register " + topic);
    }
    void RemoveCallback(const std::string& topic) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_calls.push_back("remove " + topic);
    }
    void PrepareForShutdown() override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_calls.push_back("prepare");
    }
    std::vector<Publication> published(const std::string& topic = "") {
        std::lock_guard<std::mutex> lock(m_lock);
        std::vector<Publication> out;
        for (auto& p : m_published) {
            if (topic.empty() || p.topic == topic) out.push_back(p);
        }
        return out;
    }
    std::vector<std::string> calls() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_calls;
    }

private:
    bool m_ok;
    std::mutex m_lock;  // guards m_published, m_calls
    std::vector<Publication> m_published;
    std::vector<std::string> m_calls;
};

class EventsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ClearSettings();
        for (auto& w : WarningHolder::GetWarnings()) WarningHolder::RemoveWarning(w);
    }
    void TearDown() override { ClearSettings(); }
};

}  // namespace

TEST_F(EventsTest, AHandlerAddedLaterGetsTheExistingCallbacksInKeyOrder) {
    Events::CallbackFunction fn = [](const std::string&, const std::string&) {};
    Events::AddCallback("/system/restart", fn);
    Events::AddCallback("/system/kivd/#", fn);
    RecordingHandler h;
    Events::AddEventHandler(&h);
    EXPECT_EQ(h.calls(), (std::vector<std::string>{"register /system/kivd/#", "register /system/restart"}));
    Events::AddCallback("/a", fn);
    Events::RemoveCallback("/a");
    Events::RemoveEventHandler(&h);
    EXPECT_EQ(h.calls(), (std::vector<std::string>{"register /system/kivd/#", "register /system/restart", "register /a",
                                                   "remove /a", "remove /system/kivd/#", "remove /system/restart"}));
    EXPECT_FALSE(Events::HasEventHandlers());
    Events::RemoveCallback("/system/restart");
    Events::RemoveCallback("/system/kivd/#");
}

TEST_F(EventsTest, PublishIsTrueOnlyWhenEveryHandlerSucceeds) {
    EXPECT_TRUE(Events::Publish("x", "with no handlers"));
    RecordingHandler good, bad(false);
    Events::AddEventHandler(&bad);
    Events::AddEventHandler(&good);
    EXPECT_FALSE(Events::Publish("x", 5));
    // The failing handler does not keep the next one from its copy.
    ASSERT_EQ(good.published("x").size(), 1u);
    EXPECT_EQ(good.published("x")[0].payload, "5");
    Events::RemoveEventHandler(&bad);
    EXPECT_TRUE(Events::Publish("x", "y"));
    Events::RemoveEventHandler(&good);
}

TEST_F(EventsTest, InvokeCallbackRunsTheFunctionStoredUnderTheKey) {
    std::string seen;
    Events::CallbackFunction fn = [&](const std::string& topic, const std::string& payload) {
        seen = topic + "=" + payload;
    };
    Events::AddCallback("/system/kivd/#", fn);
    Events::InvokeCallback("/system/kivd/#", "/system/kivd/stop", "1");
    EXPECT_EQ(seen, "/system/kivd/stop=1");
    seen.clear();
    Events::InvokeCallback("/nobody", "/nobody", "1");
    EXPECT_EQ(seen, "");
    Events::RemoveCallback("/system/kivd/#");
}

TEST_F(EventsTest, ReadyAndShutdownPublishTheDaemonsState) {
    RecordingHandler h;
    Events::AddEventHandler(&h);
    Events::Ready();
    auto p = h.published();
    ASSERT_EQ(p.size(), 3u);
    EXPECT_EQ(p[0].topic + "=" + p[0].payload, "ready=1");
    EXPECT_EQ(p[1].topic + "=" + p[1].payload, std::string("version=") + getKIVVersion());
    EXPECT_EQ(p[2].topic + "=" + p[2].payload, std::string("branch=") + getKIVBranch());
    Events::PrepareForShutdown();
    p = h.published();
    ASSERT_EQ(p.size(), 4u);
    EXPECT_EQ(p[3].topic + "=" + p[3].payload, "ready=0");
    EXPECT_EQ(h.calls().back(), "prepare");
    Events::RemoveEventHandler(&h);
}

TEST_F(EventsTest, WarningChangesArePublishedAsACompactArrayOnlyWithHandlers) {
    kivtest::TempInstallDir install;
    kivtest::LogCapture log;
    KIVLogger::INSTANCE.Control.level = LOG_DEBUG;
    WarningHolder::StartNotifyThread();
    Events::Ready();
    WarningHolder::AddWarning("nobody listens");
    WarningHolder::RemoveWarning("nobody listens");
    usleep(200000);
    EXPECT_FALSE(log.contains("Sending warning message"));

    RecordingHandler h;
    Events::AddEventHandler(&h);
    WarningHolder::AddWarning("b warning");
    WarningHolder::AddWarning("A warning");
    EXPECT_TRUE(kivtest::waitUntil(
        [&] {
            auto w = h.published("warnings");
            return !w.empty() && w.back().payload == "[\"A warning\",\"b warning\"]";
        },
        5000));
    WarningHolder::RemoveWarning("A warning");
    WarningHolder::RemoveWarning("b warning");
    EXPECT_TRUE(kivtest::waitUntil(
        [&] {
            auto w = h.published("warnings");
            return !w.empty() && w.back().payload == "[]";
        },
        5000));
    EXPECT_TRUE(log.contains("Sending warning message: []"));
    Events::PrepareForShutdown();
    Events::RemoveEventHandler(&h);
    WarningHolder::StopNotifyThread();
}

TEST_F(EventsTest, WarningsRaisedBeforeReadyArePublishedAtReady) {
    kivtest::TempInstallDir install;
    WarningHolder::StartNotifyThread();
    WarningHolder::AddWarning("Raised during start-up");
    RecordingHandler h;
    Events::AddEventHandler(&h);
    Events::Ready();
    EXPECT_TRUE(kivtest::waitUntil(
        [&] {
            auto w = h.published("warnings");
            return !w.empty() && w.back().payload == "[\"Raised during start-up\"]";
        },
        5000));
    Events::PrepareForShutdown();
    Events::RemoveEventHandler(&h);
    WarningHolder::RemoveWarning("Raised during start-up");
    WarningHolder::StopNotifyThread();
}

TEST_F(EventsTest, PublishThreadKeepsBothCadencesCountedFromItsStart) {
    // Scaled down from 5 and 7 seconds: the thread starts 3 s after Ready,
    // then the playlist goes out every 2 s and the status every 3 s.
    SetSetting("MQTTFrequency", 2);
    SetSetting("MQTTStatusFrequency", 3);
    RecordingHandler h;
    Events::AddEventHandler(&h);
    kivtest::StallMeter stalls;  // a loaded machine runs the publisher late
    long long t0 = kivtest::MonotonicUs();
    Events::Ready();
    ASSERT_TRUE(kivtest::waitUntil([&] { return h.published("kivd_status").size() >= 3; }, 30000));
    Events::PrepareForShutdown();
    Events::RemoveEventHandler(&h);

    auto playlist = h.published("playlist_details");
    auto status = h.published("kivd_status");
    ASSERT_GE(playlist.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        double at = (playlist[i].timeUs - t0) / 1e6;
        EXPECT_NEAR(at, 3 + 2.0 * (i + 1), 0.7 + 2 * stalls.worstUs() / 1e6) << "playlist publication " << i;
    }
    for (size_t i = 0; i < 3; ++i) {
        double at = (status[i].timeUs - t0) / 1e6;
        EXPECT_NEAR(at, 3 + 3.0 * (i + 1), 0.7 + 2 * stalls.worstUs() / 1e6) << "status publication " << i;
    }
    // The documents: the player's status and the daemon's, rendered
    // indented with one closing newline.
    Json::Value pl, st;
    ASSERT_TRUE(LoadJsonFromString(playlist[0].payload, pl)) << playlist[0].payload;
    EXPECT_EQ(pl["statusName"].asString(), "idle");
    EXPECT_NE(playlist[0].payload.find("\n\t"), std::string::npos);
    EXPECT_EQ(playlist[0].payload.back(), '\n');
    ASSERT_TRUE(LoadJsonFromString(status[0].payload, st)) << status[0].payload;
    for (const char* key : {"mode_name", "version", "host_name", "time", "uptime_seconds", "status_name",
                            "current_playlist", "current_sequence", "next_playlist", "warnings"}) {
        EXPECT_TRUE(st.isMember(key)) << key;
    }
}

TEST_F(EventsTest, OnlyTheConfiguredCadenceRunsAndShutdownEndsTheThreadAtOnce) {
    SetSetting("MQTTFrequency", 1);
    RecordingHandler h;
    Events::AddEventHandler(&h);
    Events::Ready();
    ASSERT_TRUE(kivtest::waitUntil([&] { return h.published("playlist_details").size() >= 2; }, 20000));
    kivtest::StallMeter stalls;
    long long t0 = kivtest::MonotonicUs();
    Events::PrepareForShutdown();
    // Joined, not left to finish its sleep (of a second).
    EXPECT_LT(kivtest::MonotonicUs() - t0, 500000 + 2 * stalls.worstUs());
    size_t n = h.published("playlist_details").size();
    usleep(1500000);
    EXPECT_EQ(h.published("playlist_details").size(), n);
    EXPECT_TRUE(h.published("kivd_status").empty());
    Events::RemoveEventHandler(&h);
}
