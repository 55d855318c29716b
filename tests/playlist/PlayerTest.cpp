#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "ScheduleClock.h"
#include "TestPlaylistEntry.h"
#include "TestSupport.h"
#include "commands/Commands.h"
#include "common.h"
#include "playlist/Player.h"

using kivtest::TestEntries;

namespace {

std::string entries(const std::vector<std::string>& names) {
    std::string s = "[";
    for (size_t i = 0; i < names.size(); ++i) {
        if (i) s += ", ";
        s += R"({"type": "test", "name": ")" + names[i] + "\"}";
    }
    return s + "]";
}

std::vector<std::string> V(std::initializer_list<const char*> l = {}) { return std::vector<std::string>(l.begin(), l.end()); }

class PlayerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ScheduleClock::SetProvider([this] { return m_now.load(); });
        TestEntries::Register();
        TestEntries::Reset();
        CommandManager::INSTANCE.Init();
        Player::INSTANCE.Init();
        Player::INSTANCE.Cleanup();
        Player::INSTANCE.m_forceStopped = false;
    }
    void TearDown() override {
        Player::INSTANCE.Cleanup();
        ScheduleClock::SetProvider(nullptr);
    }
    void WritePlaylist(const std::string& name, const std::vector<std::string>& main,
                       const std::vector<std::string>& leadIn = {}, const std::vector<std::string>& leadOut = {}) {
        m_media.write("/playlists/" + name + ".json", "{\"leadIn\": " + entries(leadIn) +
                                                          ", \"mainPlaylist\": " + entries(main) +
                                                          ", \"leadOut\": " + entries(leadOut) + "}");
    }
    void Step(int n = 1) {
        for (int i = 0; i < n; ++i) Player::INSTANCE.Process();
    }
    // Lets the entry play a step, then ends it.
    void End(const std::string& name) {
        Step();
        TestEntries::Finish(name);
        Step();
    }
    std::string Current() {
        Json::Value s = Player::INSTANCE.GetStatusJSON();
        return s["currentEntry"]["name"].asString();
    }

    kivtest::TempMediaDir m_media;
    std::atomic<time_t> m_now{1731600000};
    Player& player = Player::INSTANCE;
};

TEST_F(PlayerTest, PlaysLeadInMainAndLeadOutInOrderThenGoesIdle) {
    WritePlaylist("show", V({"a", "b"}), V({"in"}), V({"out"}));
    ASSERT_TRUE(player.StartPlaylist("show", 0));
    EXPECT_EQ(PLAYER_PLAYING, player.GetStatus());
    EXPECT_EQ("show", player.GetPlaylistName());
    EXPECT_FALSE(player.WasScheduled());
    EXPECT_EQ(-1, player.GetScheduleEntry());
    EXPECT_EQ(1, player.GetPosition());
    End("in");
    EXPECT_EQ(2, player.GetPosition());
    End("a");
    EXPECT_EQ(3, player.GetPosition());
    End("b");
    EXPECT_EQ(4, player.GetPosition());
    EXPECT_EQ("out", Current());
    End("out");
    EXPECT_EQ(PLAYER_IDLE, player.GetStatus());
    EXPECT_EQ("", player.GetPlaylistName());
    EXPECT_EQ(0, player.GetPosition());
    EXPECT_EQ(V({"in:start", "in:end", "a:start", "a:end", "b:start", "b:end", "out:start", "out:end"}),
              TestEntries::Milestones());
}

TEST_F(PlayerTest, RepeatPlaysMainSectionAgainUntilStopped) {
    WritePlaylist("show", V({"a", "b"}), V({"in"}), V({"out"}));
    ASSERT_TRUE(player.StartPlaylist("show", 1));
    EXPECT_TRUE(player.GetRepeat());
    End("in");
    End("a");
    End("b");
    EXPECT_EQ("a", Current());
    End("a");
    End("b");
    EXPECT_EQ("a", Current());
    EXPECT_EQ(3, TestEntries::Count("a:start"));
    EXPECT_EQ(0, TestEntries::Count("out:start"));
    EXPECT_EQ(2, player.GetStatusJSON()["loop"].asInt());
}

TEST_F(PlayerTest, StopGracefullyFinishesTheEntryThenPlaysTheLeadOut) {
    WritePlaylist("show", V({"a", "b", "c"}), V({"in"}), V({"out"}));
    ASSERT_TRUE(player.StartPlaylist("show", 1));
    End("in");
    Step();
    player.StopGracefully(0, 0);
    EXPECT_EQ(PLAYER_STOPPING_GRACEFULLY, player.GetStatus());
    Step(3);
    EXPECT_EQ("a", Current()) << "the entry playing is not cut short";
    End("a");
    EXPECT_EQ("out", Current());
    EXPECT_EQ(PLAYER_STOPPING_GRACEFULLY, player.GetStatus());
    End("out");
    EXPECT_EQ(PLAYER_IDLE, player.GetStatus());
    EXPECT_EQ(0, TestEntries::Count("b:start"));
    EXPECT_EQ(0, TestEntries::Count("a:stop"));
}

TEST_F(PlayerTest, StopGracefullyAfterLoopFinishesThePassThenPlaysTheLeadOut) {
    WritePlaylist("show", V({"a", "b"}), V(), V({"out"}));
    ASSERT_TRUE(player.StartPlaylist("show", 1));
    player.StopGracefully(0, 1);
    EXPECT_EQ(PLAYER_STOPPING_GRACEFULLY_AFTER_LOOP, player.GetStatus());
    End("a");
    EXPECT_EQ("b", Current());
    End("b");
    EXPECT_EQ("out", Current());
    End("out");
    EXPECT_EQ(PLAYER_IDLE, player.GetStatus());
    EXPECT_EQ(1, TestEntries::Count("a:start"));
}

TEST_F(PlayerTest, StopGracefullyOverridesAfterLoopButNotTheReverse) {
    WritePlaylist("show", V({"a", "b"}), V(), V({"out"}));
    ASSERT_TRUE(player.StartPlaylist("show", 1));
    player.StopGracefully(0, 1);
    player.StopGracefully(0, 0);
    EXPECT_EQ(PLAYER_STOPPING_GRACEFULLY, player.GetStatus());
    player.StopGracefully(0, 1);
    EXPECT_EQ(PLAYER_STOPPING_GRACEFULLY, player.GetStatus());
    End("a");
    EXPECT_EQ("out", Current());
}

TEST_F(PlayerTest, StopNowStopsTheEntryAtOnceWithoutLeadOut) {
    WritePlaylist("show", V({"a"}), V(), V({"out"}));
    ASSERT_TRUE(player.StartPlaylist("show", 1));
    Step(2);
    player.StopNow(0);
    EXPECT_EQ(PLAYER_IDLE, player.GetStatus());
    EXPECT_EQ(V({"a:start", "a:stop"}), TestEntries::Milestones());
    EXPECT_FALSE(player.m_forceStopped) << "a manual playlist is not marked as stopped in a slot";
}

TEST_F(PlayerTest, StartPositionIsZeroBasedOverAllSections) {
    WritePlaylist("show", V({"a", "b"}), V({"in"}), V({"out"}));
    ASSERT_TRUE(player.StartPlaylist("show", 0, 2));
    EXPECT_EQ(3, player.GetPosition());
    EXPECT_EQ("b", Current());
    EXPECT_EQ("mainPlaylist", player.GetStatusJSON()["section"].asString());
    player.StopNow();
    kivtest::LogCapture log;
    ASSERT_TRUE(player.StartPlaylist("show", 0, 9));
    EXPECT_EQ(1, player.GetPosition());
    EXPECT_TRUE(log.contains("starting at the first instead of position 10"));
}

TEST_F(PlayerTest, ScheduledPlaylistEndsAtItsEndTimeWithItsStopMethod) {
    WritePlaylist("show", V({"a", "b"}), V(), V({"out"}));
    time_t start = m_now;
    // Hard: stopped at once.
    ASSERT_TRUE(player.StartScheduledPlaylist("show", 0, 1, 3, 3, start, start + 60, 1));
    EXPECT_TRUE(player.WasScheduled());
    EXPECT_EQ(3, player.GetScheduleEntry());
    m_now = start + 59;
    Step();
    EXPECT_EQ(PLAYER_PLAYING, player.GetStatus());
    m_now = start + 60;
    Step();
    EXPECT_EQ(PLAYER_IDLE, player.GetStatus());
    EXPECT_EQ(1, TestEntries::Count("a:stop"));
    EXPECT_FALSE(player.m_forceStopped) << "reaching the end time is not a stop on request";

    // Graceful: the entry finishes, then the lead-out.
    m_now = start;
    TestEntries::Reset();
    ASSERT_TRUE(player.StartScheduledPlaylist("show", 0, 1, 3, 3, start, start + 60, 0));
    m_now = start + 61;
    Step();
    EXPECT_EQ(PLAYER_STOPPING_GRACEFULLY, player.GetStatus());
    End("a");
    EXPECT_EQ("out", Current());
    End("out");
    EXPECT_EQ(PLAYER_IDLE, player.GetStatus());

    // Graceful after the loop: the pass finishes, then the lead-out.
    m_now = start;
    TestEntries::Reset();
    ASSERT_TRUE(player.StartScheduledPlaylist("show", 0, 1, 3, 3, start, start + 60, 2));
    EXPECT_EQ(2, player.GetStopMethod());
    m_now = start + 60;
    Step();
    EXPECT_EQ(PLAYER_STOPPING_GRACEFULLY_AFTER_LOOP, player.GetStatus());
    End("a");
    End("b");
    End("out");
    EXPECT_EQ(PLAYER_IDLE, player.GetStatus());
    EXPECT_EQ(V({"a:start", "a:end", "b:start", "b:end", "out:start", "out:end"}), TestEntries::Milestones());
}

TEST_F(PlayerTest, AdjustPlaylistStopTimeMovesTheEndOfTheScheduledPlaylist) {
    WritePlaylist("show", V({"a"}));
    EXPECT_FALSE(player.AdjustPlaylistStopTime(600)) << "nothing plays";
    time_t start = m_now;
    ASSERT_TRUE(player.StartScheduledPlaylist("show", 0, 1, 0, 0, start, start + 60, 1));
    EXPECT_EQ(start, player.m_actualStartTime.load());
    EXPECT_TRUE(player.AdjustPlaylistStopTime(600));
    EXPECT_EQ(start + 60, player.m_scheduledEndTime.load());
    EXPECT_EQ(start + 660, player.m_actualEndTime.load());
    m_now = start + 300;
    Step();
    EXPECT_EQ(PLAYER_PLAYING, player.GetStatus());
    EXPECT_TRUE(player.AdjustPlaylistStopTime(-400));
    Step();
    EXPECT_EQ(PLAYER_IDLE, player.GetStatus());

    ASSERT_TRUE(player.StartPlaylist("show", 1));
    EXPECT_FALSE(player.AdjustPlaylistStopTime(600)) << "a manual playlist has no end time";
}

TEST_F(PlayerTest, ScheduledStartWaitsWhileThePlaylistWindsDown) {
    WritePlaylist("first", V({"a"}), V(), V({"out"}));
    WritePlaylist("second", V({"s"}));
    time_t start = m_now;
    ASSERT_TRUE(player.StartScheduledPlaylist("first", 0, 1, 1, 1, start, start + 3600, 0));
    player.StopGracefully(0, 0);
    ASSERT_TRUE(player.StartScheduledPlaylist("second", 0, 0, 0, 0, start, start + 600, 0));
    EXPECT_EQ(PLAYER_STOPPING_GRACEFULLY, player.GetStatus());
    EXPECT_EQ("first", player.GetPlaylistName());
    EXPECT_EQ("second", player.GetStatusJSON()["nextPlaylist"].asString());
    End("a");
    EXPECT_EQ("out", Current());
    End("out");
    EXPECT_EQ(PLAYER_PLAYING, player.GetStatus());
    EXPECT_EQ("second", player.GetPlaylistName());
    EXPECT_EQ(0, player.m_priority.load());
    EXPECT_EQ(start + 600, player.m_scheduledEndTime.load());
    EXPECT_EQ(V({"a:start", "a:end", "out:start", "out:end", "s:start"}), TestEntries::Milestones());
}

TEST_F(PlayerTest, StopNowCancelsAStartWaitingForTheWindDown) {
    WritePlaylist("first", V({"a"}), V(), V({"out"}));
    WritePlaylist("second", V({"s"}));
    ASSERT_TRUE(player.StartScheduledPlaylist("first", 0, 1, 1, 1, m_now, m_now + 3600, 0));
    player.StopGracefully(0, 0);
    ASSERT_TRUE(player.StartScheduledPlaylist("second", 0, 0, 0, 0, m_now, m_now + 600, 0));
    player.StopNow(1);
    Step(3);
    EXPECT_EQ(PLAYER_IDLE, player.GetStatus());
    EXPECT_EQ(0, TestEntries::Count("s:start"));
}

TEST_F(PlayerTest, StopOnRequestMarksTheScheduledPlaylistUntilTheNextStart) {
    WritePlaylist("show", V({"a"}));
    ASSERT_TRUE(player.StartScheduledPlaylist("show", 0, 1, 4, 4, m_now, m_now + 3600, 0));
    player.StopNow(1);
    EXPECT_TRUE(player.m_forceStopped);
    EXPECT_EQ("show", player.GetForceStoppedPlaylist());
    EXPECT_EQ(4, player.GetScheduleEntry()) << "the main loop reads the row after the stop";
    player.Cleanup();
    EXPECT_TRUE(player.m_forceStopped) << "Cleanup after going idle keeps what the scheduler reads";
    ASSERT_TRUE(player.StartPlaylist("show", 0));
    EXPECT_FALSE(player.m_forceStopped);
    EXPECT_EQ("", player.GetForceStoppedPlaylist());
}

TEST_F(PlayerTest, PreparesTheNextEntryShortlyBeforeTheCurrentOneEnds) {
    m_media.write("/playlists/show.json", R"({"mainPlaylist": [
        {"type": "test", "name": "a", "lengthMs": 10000}, {"type": "test", "name": "b"}]})");
    ASSERT_TRUE(player.StartPlaylist("show", 0));
    TestEntries::SetElapsed("a", 5000);
    Step(3);
    EXPECT_EQ(0, TestEntries::Count("b:prep"));
    TestEntries::SetElapsed("a", 8500);
    Step(3);
    EXPECT_EQ(1, TestEntries::Count("b:prep"));
    End("a");
    EXPECT_EQ(V({"a:start", "b:prep", "a:end", "b:start"}), TestEntries::Milestones());
}

TEST_F(PlayerTest, PauseHoldsTheEntryAndResumeContinuesIt) {
    WritePlaylist("show", V({"a", "b"}));
    ASSERT_TRUE(player.StartPlaylist("show", 0));
    ASSERT_TRUE(player.Pause());
    EXPECT_EQ(PLAYER_PAUSED, player.GetStatus());
    EXPECT_TRUE(player.IsPlaying());
    int before = TestEntries::Count("a:process");
    TestEntries::Finish("a");
    Step(5);
    EXPECT_EQ(before, TestEntries::Count("a:process")) << "a paused entry is not stepped";
    ASSERT_TRUE(player.Resume());
    EXPECT_EQ(PLAYER_PLAYING, player.GetStatus());
    Step();
    EXPECT_EQ(V({"a:start", "a:pause", "a:resume", "a:end", "b:start"}), TestEntries::Milestones());
    EXPECT_FALSE(player.Resume());
}

TEST_F(PlayerTest, APlaylistThatCannotLoadLeavesTheCurrentOnePlaying) {
    WritePlaylist("show", V({"a"}));
    m_media.write("/playlists/broken.json", "{\"mainPlaylist\": [ {\"type\": \"test\", ");
    ASSERT_TRUE(player.StartPlaylist("show", 1));
    kivtest::LogCapture log;
    EXPECT_FALSE(player.StartPlaylist("nope", 0));
    EXPECT_TRUE(log.contains("Playlist 'nope' does not exist"));
    EXPECT_FALSE(player.StartPlaylist("broken", 0));
    EXPECT_TRUE(log.contains("broken.json is not valid JSON"));
    EXPECT_FALSE(player.StartPlaylist("../config/x", 0));
    EXPECT_TRUE(log.contains("Invalid playlist name '../config/x'"));
    EXPECT_EQ(PLAYER_PLAYING, player.GetStatus());
    EXPECT_EQ("show", player.GetPlaylistName());
    EXPECT_EQ(0, TestEntries::Count("a:stop"));
}

TEST_F(PlayerTest, StatusDocumentDescribesThePlaylist) {
    WritePlaylist("show", V({"a", "b"}), V({"in"}));
    Json::Value idle = player.GetStatusJSON();
    EXPECT_EQ(0, idle["status"].asInt());
    EXPECT_EQ("idle", idle["statusName"].asString());
    time_t start = m_now;
    ASSERT_TRUE(player.StartScheduledPlaylist("show", 1, 1, 2, 2, start - 60, start + 540, 0));
    m_now = start + 40;
    Json::Value s = player.GetStatusJSON();
    EXPECT_EQ(1, s["status"].asInt());
    EXPECT_EQ("playing", s["statusName"].asString());
    EXPECT_EQ("show", s["playlist"].asString());
    EXPECT_TRUE(s["scheduled"].asBool());
    EXPECT_TRUE(s["repeat"].asBool());
    EXPECT_EQ(2, s["position"].asInt());
    EXPECT_EQ(3, s["size"].asInt());
    EXPECT_EQ("mainPlaylist", s["section"].asString());
    EXPECT_EQ(2, s["scheduleEntry"].asInt());
    EXPECT_EQ(500, s["secondsRemaining"].asInt());
    EXPECT_EQ((Json::UInt64)start + 540, s["actualEndTime"].asUInt64());
    EXPECT_EQ("a", s["currentEntry"]["name"].asString());
    EXPECT_EQ("test", s["currentEntry"]["type"].asString());
    Json::Value m = player.GetMqttStatusJSON();
    EXPECT_EQ("show", m["playlist"].asString());
    EXPECT_EQ("test", m["currentEntry"]["type"].asString());
}

TEST_F(PlayerTest, CommandsStartStopAndReportThePlayer) {
    WritePlaylist("show", V({"a", "b", "c"}), V(), V({"out"}));
    auto& cm = CommandManager::INSTANCE;
    auto r = cm.run("Start Playlist", {});
    EXPECT_TRUE(r->isError());
    EXPECT_EQ("Command needs at least 1 argument, found 0", r->get());
    r = cm.run("Start Playlist", {"show", "true", "false", "2"});
    ASSERT_FALSE(r->isError()) << r->get();
    EXPECT_EQ(2, player.GetPosition());
    EXPECT_TRUE(player.GetRepeat());
    r = cm.run("Start Playlist", {"other", "false", "true"});
    EXPECT_FALSE(r->isError());
    EXPECT_EQ("Playlist 'show' is already playing", r->get());
    r = cm.run("Start Playlist", {"show", "maybe"});
    EXPECT_TRUE(r->isError());
    r = cm.run("Start Playlist", {"show", "true", "false", "0"});
    EXPECT_TRUE(r->isError());
    EXPECT_EQ("show", player.GetPlaylistName());

    r = cm.run("Get Playlist Status", {});
    EXPECT_EQ("application/json", r->contentType());
    EXPECT_EQ("show", LoadJsonFromString(r->get())["playlist"].asString());

    r = cm.run("Pause Playlist", {});
    EXPECT_EQ(PLAYER_PAUSED, player.GetStatus());
    r = cm.run("Resume Playlist", {});
    EXPECT_EQ(PLAYER_PLAYING, player.GetStatus());

    r = cm.run("Stop Gracefully After Loop", {});
    EXPECT_EQ(PLAYER_STOPPING_GRACEFULLY_AFTER_LOOP, player.GetStatus());
    r = cm.run("Stop Gracefully", {});
    EXPECT_EQ(PLAYER_STOPPING_GRACEFULLY, player.GetStatus());
    r = cm.run("Stop Now", {});
    EXPECT_EQ("Playlist stopped", r->get());
    EXPECT_EQ(PLAYER_IDLE, player.GetStatus());
    r = cm.run("Stop Now", {});
    EXPECT_TRUE(r->isError());
    EXPECT_EQ("No playlist is playing", r->get());
    r = cm.run("Start Playlist", {"missing"});
    EXPECT_TRUE(r->isError());
}

TEST_F(PlayerTest, StartsAndStopsFromManyThreadsWhileTheMainLoopSteps) {
    WritePlaylist("one", V({"a", "b"}), V(), V({"out"}));
    WritePlaylist("two", V({"c"}));
    std::atomic<bool> stop{false};
    std::thread mainLoop([&] {
        while (!stop) {
            Player::INSTANCE.Process();
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    std::thread reader([&] {
        while (!stop) {
            Json::Value s = Player::INSTANCE.GetStatusJSON();
            EXPECT_TRUE(s.isMember("status"));
            Player::INSTANCE.GetPlaylistName();
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
    std::vector<std::thread> commanders;
    for (int t = 0; t < 2; ++t) {
        commanders.emplace_back([&, t] {
            for (int i = 0; i < 150; ++i) {
                switch ((i + t) % 5) {
                case 0:
                    Player::INSTANCE.StartPlaylist(t ? "one" : "two", 1);
                    break;
                case 1:
                    Player::INSTANCE.StopGracefully(1, i % 2);
                    break;
                case 2:
                    Player::INSTANCE.StartScheduledPlaylist("one", 0, 1, 0, 0, 0, 0, 0);
                    break;
                case 3:
                    Player::INSTANCE.AdjustPlaylistStopTime(5);
                    break;
                default:
                    Player::INSTANCE.StopNow(1);
                    break;
                }
            }
        });
    }
    for (auto& c : commanders) c.join();
    Player::INSTANCE.StopNow(0);
    stop = true;
    mainLoop.join();
    reader.join();
    EXPECT_EQ(PLAYER_IDLE, Player::INSTANCE.GetStatus());
    EXPECT_EQ(TestEntries::Count("a:start") + TestEntries::Count("b:start") + TestEntries::Count("c:start") +
                  TestEntries::Count("out:start"),
              TestEntries::Count("a:stop") + TestEntries::Count("a:end") + TestEntries::Count("b:stop") +
                  TestEntries::Count("b:end") + TestEntries::Count("c:stop") + TestEntries::Count("c:end") +
                  TestEntries::Count("out:stop") + TestEntries::Count("out:end"))
        << "every entry started was ended or stopped";
}
}  // namespace
