#include <gtest/gtest.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>

#include "ScheduleClock.h"
#include "Scheduler.h"
#include "TestPlaylistEntry.h"
#include "TestSupport.h"
#include "Warnings.h"
#include "commands/Commands.h"
#include "common.h"
#include "log.h"
#include "playlist/Player.h"
#include "settings.h"

using kivtest::TestEntries;

namespace {

// ---- a command that records how it was run

std::mutex recLock;  // guards recCalls, recThreads
std::condition_variable recCV;
std::vector<std::string> recCalls;
std::vector<std::string> recThreads;

class RecordCommand : public Command {
public:
    RecordCommand() : Command("Test Record", "Records its arguments") {}
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override {
        char name[32] = {0};
        pthread_getname_np(pthread_self(), name, sizeof(name));
        std::string joined;
        for (auto& a : args) joined += (joined.empty() ? "" : ",") + a;
        std::lock_guard<std::mutex> l(recLock);
        recCalls.push_back(joined);
        recThreads.push_back(name);
        recCV.notify_all();  // under the lock: the waiter sees the call
        return std::make_unique<Result>("OK");
    }
};

std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> l(recLock);
    return recCalls;
}

bool WaitForCalls(size_t n, int ms = 5000) {
    std::unique_lock<std::mutex> l(recLock);
    return recCV.wait_for(l, std::chrono::milliseconds(ms), [n] { return recCalls.size() >= n; });
}

bool HasWarning(const std::string& text) {
    for (auto& w : WarningHolder::GetWarnings()) {
        if (w == text) return true;
    }
    return false;
}

std::string Entries(const std::vector<std::string>& names) {
    std::string s = "[";
    for (size_t i = 0; i < names.size(); ++i) {
        s += std::string(i ? ", " : "") + R"({"type": "test", "name": ")" + names[i] + "\"}";
    }
    return s + "]";
}

struct Local {
    int year, month, day, hour, minute, second, weekday;
};
Local L(time_t t) {
    struct tm tm;
    localtime_r(&t, &tm);
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_wday};
}

class SchedulerTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "Europe/London", 1);
        tzset();
        ClearSettings();
        setKIVmode(MODE_PLAYER);
        m_now = T(12, 0, 0);
        ScheduleClock::SetProvider([this] { return m_now.load(); });
        CommandManager::INSTANCE.Init();
        CommandManager::INSTANCE.addCommand(new RecordCommand());
        Player::INSTANCE.Init();
        TestEntries::Register();
        TestEntries::Reset();
        Player::INSTANCE.Cleanup();
        Player::INSTANCE.m_forceStopped = false;
        {
            std::lock_guard<std::mutex> l(recLock);
            recCalls.clear();
            recThreads.clear();
        }
    }
    void TearDown() override {
        delete scheduler;
        scheduler = nullptr;
        Player::INSTANCE.Cleanup();
        ScheduleClock::SetProvider(nullptr);
        for (auto& w : WarningHolder::GetWarnings()) WarningHolder::RemoveWarning(w);
        ClearSettings();
    }

    // Thursday 14 November 2024 unless told otherwise (no summer time).
    static time_t T(int h, int m, int s, int day = 14, int month = 11, int year = 2024) {
        return LocalTime(year, month, day, h, m, s);
    }
    void WriteSchedule(const std::string& json) { m_media.write("/config/schedule.json", json); }
    void WritePlaylist(const std::string& name, const std::vector<std::string>& main,
                       const std::vector<std::string>& leadOut = {}) {
        m_media.write("/playlists/" + name + ".json",
                      "{\"mainPlaylist\": " + Entries(main) + ", \"leadOut\": " + Entries(leadOut) + "}");
    }
    // As kivd starts: the scheduler, then a first look at what should play.
    void StartDaemon() {
        scheduler = new Scheduler();
        m_prevStatus = 0;
        scheduler->CheckIfShouldBePlayingNow(0, -1);
    }
    // One pass of kivd's main loop: the player, then the scheduler.
    void Pass() {
        Player& p = Player::INSTANCE;
        if (p.IsPlaying()) p.Process();
        int status = p.GetStatus();
        if (status == PLAYER_IDLE && (m_prevStatus == 1 || m_prevStatus == 2 || m_prevStatus == 3 || m_prevStatus == 5)) {
            p.Cleanup();
            if (p.m_forceStopped) {
                scheduler->CheckIfShouldBePlayingNow(0, p.GetScheduleEntry());
            } else {
                scheduler->CheckIfShouldBePlayingNow(0, -1);
            }
            if (p.GetStatus() != PLAYER_IDLE) {
                m_prevStatus = 0;
                scheduler->ScheduleProc();
                return;
            }
        }
        m_prevStatus = p.GetStatus();
        scheduler->ScheduleProc();
    }
    void PassAt(time_t t) {
        m_now = t;
        Pass();
    }
    // One pass per second up to and including t.
    void RunUntil(time_t t) {
        while (m_now < t) {
            m_now = m_now + 1;
            Pass();
        }
    }
    // The entry plays a step, then ends.
    void End(const std::string& name) {
        Pass();
        TestEntries::Finish(name);
        Pass();
    }
    std::vector<time_t> ItemStarts(const std::string& command = "") {
        std::vector<time_t> out;
        std::lock_guard<std::recursive_mutex> l(scheduler->ItemsLock());
        for (auto& slot : scheduler->Items()) {
            for (auto& item : *slot.second) {
                if (command.empty() || item->command == command) out.push_back(item->startTime);
            }
        }
        return out;
    }
    ScheduledItem* ItemAt(time_t start, int index = 0) {
        std::lock_guard<std::recursive_mutex> l(scheduler->ItemsLock());
        auto it = scheduler->Items().find(start);
        if (it == scheduler->Items().end() || index >= (int)it->second->size()) return nullptr;
        return (*it->second)[index].get();
    }

    kivtest::TempMediaDir m_media;
    std::atomic<time_t> m_now{0};
    int m_prevStatus = 0;
    bool m_summerOffset = false;
    Player& player = Player::INSTANCE;
};

// ---------------------------------------------------------------- expansion

TEST_F(SchedulerTest, EverydayRowCoversThisWeeksSundayToSaturday) {
    WritePlaylist("show", {"a"});
    WriteSchedule(R"([{"playlist": "show", "day": "Everyday", "startTime": "18:00", "endTime": "19:00"}])");
    m_now = T(9, 0, 0);  // Thursday
    scheduler = new Scheduler();
    auto starts = ItemStarts();
    ASSERT_EQ(7u, starts.size());
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(T(18, 0, 0, 10 + i), starts[i]) << i;
    }
    delete scheduler;
    m_now = T(9, 0, 0, 17);  // Sunday: the Saturday before is added
    scheduler = new Scheduler();
    starts = ItemStarts();
    ASSERT_EQ(8u, starts.size());
    EXPECT_EQ(T(18, 0, 0, 16), starts[0]);
    EXPECT_EQ(T(18, 0, 0, 23), starts[7]);
}

TEST_F(SchedulerTest, DayCodesAndMasksSelectTheirDays) {
    WritePlaylist("show", {"a"});
    WriteSchedule(R"([
        {"playlist": "show", "day": "Tues-Thurs", "startTime": "18:00", "endTime": "19:00"},
        {"playlist": "show", "day": 82176, "startTime": "20:00", "endTime": "21:00"},
        {"playlist": "show", "day": "Mon/Wed/Fri", "startTime": "07:00", "endTime": "08:00"}
    ])");
    m_now = T(9, 0, 0);
    scheduler = new Scheduler();
    EXPECT_EQ("Mask: S-----S", Scheduler::GetDayTextFromDayIndex(0x10000 | 0x4100));
    EXPECT_EQ("Tues-Thurs", Scheduler::GetDayTextFromDayIndex(11));
    EXPECT_EQ("Error", Scheduler::GetDayTextFromDayIndex(99));
    std::vector<int> tuesThurs, mask, mwf;
    for (time_t t : ItemStarts()) {
        Local l = L(t);
        if (l.hour == 18) tuesThurs.push_back(l.weekday);
        if (l.hour == 20) mask.push_back(l.weekday);
        if (l.hour == 7) mwf.push_back(l.weekday);
    }
    EXPECT_EQ(std::vector<int>({2, 4}), tuesThurs) << "no Wednesday";
    EXPECT_EQ(std::vector<int>({0, 6}), mask) << "the mask acts like Weekends";
    EXPECT_EQ(std::vector<int>({1, 3, 5}), mwf);
}

TEST_F(SchedulerTest, OddAndEvenDaysAlternateFromFifteenthOfJuly2013) {
    WritePlaylist("show", {"a"});
    WriteSchedule(R"([
        {"playlist": "show", "day": "Odd Days", "startTime": "18:00", "endTime": "19:00"},
        {"playlist": "show", "day": "Even Days", "startTime": "20:00", "endTime": "21:00"}
    ])");
    m_now = T(9, 0, 0, 16, 7, 2013);  // Tuesday 16 July 2013: day 1, odd
    scheduler = new Scheduler();
    std::vector<int> odd, even;
    for (time_t t : ItemStarts()) {
        (L(t).hour == 18 ? odd : even).push_back(L(t).day);
    }
    EXPECT_EQ(std::vector<int>({16, 18, 20}), odd) << "starts today, every other day";
    EXPECT_EQ(std::vector<int>({15, 17, 19}), even) << "yesterday, then from tomorrow";
}

TEST_F(SchedulerTest, OddDayParityHoldsJustAfterMidnightInSummerTime) {
    // In a zone whose summer falls in January the seconds since 15 July
    // 2013 00:00 come out an hour short just after midnight; the calendar
    // count does not.
    setenv("TZ", "Australia/Sydney", 1);
    tzset();
    WritePlaylist("show", {"a"});
    WriteSchedule(R"([{"playlist": "show", "day": "Odd Days", "startTime": "00:45", "endTime": "01:00"}])");
    m_now = LocalTime(2024, 1, 10, 0, 30, 0);
    scheduler = new Scheduler();
    auto atHalfPast = ItemStarts();
    delete scheduler;
    m_now = LocalTime(2024, 1, 10, 12, 0, 0);
    scheduler = new Scheduler();
    EXPECT_EQ(ItemStarts(), atHalfPast);
    long count = ScheduleEntry::DayCountSinceOddEvenEpoch(2024, 1, 10);
    bool todayListed = false;
    for (time_t t : atHalfPast) todayListed |= L(t).day == 10;
    EXPECT_EQ(count % 2 != 0, todayListed);
}

TEST_F(SchedulerTest, ScheduleDistanceAddsWholeWeeks) {
    WritePlaylist("show", {"a"});
    WriteSchedule(R"([{"playlist": "show", "day": "Weekends", "startTime": "18:00", "endTime": "19:00"}])");
    SetSetting("ScheduleDistance", 7);
    m_now = T(9, 0, 0);
    scheduler = new Scheduler();
    EXPECT_EQ(std::vector<time_t>({T(18, 0, 0, 10), T(18, 0, 0, 16), T(18, 0, 0, 17), T(18, 0, 0, 23)}),
              ItemStarts());
}

TEST_F(SchedulerTest, DateRangesLimitTheOccurrences) {
    WritePlaylist("show", {"a"});
    WriteSchedule(R"([
        {"playlist": "show", "startTime": "18:00", "endTime": "19:00", "startDate": "2024-11-12", "endDate": "2024-11-15"},
        {"playlist": "show", "startTime": "20:00", "endTime": "21:00", "startDate": "11-15", "endDate": "11-16"}
    ])");
    m_now = T(9, 0, 0);
    scheduler = new Scheduler();
    std::vector<int> full, yearless;
    for (time_t t : ItemStarts()) (L(t).hour == 18 ? full : yearless).push_back(L(t).day);
    EXPECT_EQ(std::vector<int>({12, 13, 14, 15}), full);
    EXPECT_EQ(std::vector<int>({15, 16}), yearless);
}

TEST_F(SchedulerTest, ItemsStartingTogetherKeepFileOrder) {
    WritePlaylist("first", {"a"});
    WritePlaylist("second", {"b"});
    WriteSchedule(R"([
        {"playlist": "second", "day": "Thursday", "startTime": "18:00", "endTime": "19:00"},
        {"playlist": "first", "day": "Thursday", "startTime": "18:00", "endTime": "19:00"},
        {"command": "Test Record", "args": ["x"], "day": "Thursday", "startTime": "18:00"}
    ])");
    m_now = T(9, 0, 0);
    scheduler = new Scheduler();
    ASSERT_NE(nullptr, ItemAt(T(18, 0, 0), 2));
    EXPECT_EQ("second", ItemAt(T(18, 0, 0), 0)->args[0].asString());
    EXPECT_EQ(0, ItemAt(T(18, 0, 0), 0)->priority);
    EXPECT_EQ("first", ItemAt(T(18, 0, 0), 1)->args[0].asString());
    EXPECT_EQ("Test Record", ItemAt(T(18, 0, 0), 2)->command);
    EXPECT_EQ(ItemAt(T(18, 0, 0), 2)->startTime, ItemAt(T(18, 0, 0), 2)->endTime);
    EXPECT_EQ("[\"second\",\"false\",\"false\"]", SaveJsonToString(ItemAt(T(18, 0, 0), 0)->args));
}

TEST_F(SchedulerTest, MissingPlaylistWarnsUntilTheFileExists) {
    WriteSchedule(R"([
        {"playlist": "ghost", "startTime": "18:00", "endTime": "19:00"},
        {"playlist": "ghost.hseq", "sequence": true, "startTime": "18:00", "endTime": "19:00"}
    ])");
    kivtest::LogCapture log;
    m_now = T(9, 0, 0);
    scheduler = new Scheduler();
    EXPECT_TRUE(HasWarning("Scheduled Playlist 'ghost' does not exist"));
    EXPECT_TRUE(HasWarning("Scheduled Sequence 'ghost.hseq' does not exist"));
    EXPECT_TRUE(log.contains("ERROR: Scheduled Playlist 'ghost' does not exist"));
    EXPECT_TRUE(scheduler->Entries().empty());
    EXPECT_TRUE(ItemStarts().empty());

    WritePlaylist("ghost", {"a"});
    PassAt(T(9, 0, 1));
    EXPECT_TRUE(HasWarning("Scheduled Playlist 'ghost' does not exist")) << "until the schedule is read again";
    auto r = CommandManager::INSTANCE.run("Reload Schedule", {});
    EXPECT_EQ("Schedule will be reloaded", r->get());
    PassAt(T(9, 0, 2));
    EXPECT_FALSE(HasWarning("Scheduled Playlist 'ghost' does not exist"));
    EXPECT_TRUE(HasWarning("Scheduled Sequence 'ghost.hseq' does not exist"));
    EXPECT_EQ(1u, scheduler->Entries().size());
    EXPECT_EQ(7u, ItemStarts().size());

    // A row removed from the file takes its warning with it.
    WriteSchedule(R"([{"playlist": "ghost", "startTime": "18:00", "endTime": "19:00"}])");
    scheduler->ReloadScheduleFile();
    PassAt(T(9, 0, 3));
    EXPECT_FALSE(HasWarning("Scheduled Sequence 'ghost.hseq' does not exist"));
}

TEST_F(SchedulerTest, GarbledScheduleKeepsTheRowsLoadedBefore) {
    WritePlaylist("show", {"a"});
    WriteSchedule(R"([{"playlist": "show", "startTime": "18:00", "endTime": "19:00"}])");
    m_now = T(17, 0, 0);
    StartDaemon();
    ASSERT_EQ(1u, scheduler->Entries().size());

    WriteSchedule(R"([{"playlist": "show", "startTime": "18:00", "endTi)");
    kivtest::LogCapture log;
    scheduler->ReloadScheduleFile();
    PassAt(T(17, 0, 1));
    std::string path = m_media.path() + "/config/schedule.json";
    EXPECT_TRUE(log.contains("Schedule file " + path + " is not valid JSON; keeping the 1 rows loaded before"))
        << log.text();
    EXPECT_TRUE(HasWarning("Schedule file is not valid (" + path + " is not valid JSON)"));
    EXPECT_EQ(1u, scheduler->Entries().size());
    RunUntil(T(18, 0, 1));
    EXPECT_EQ("show", player.GetPlaylistName()) << "the show still starts";

    WriteSchedule(R"([{"playlist": "show", "startTime": "18:00", "endTime": "19:00"}])");
    scheduler->ReloadScheduleFile();
    RunUntil(T(18, 0, 2));
    EXPECT_FALSE(HasWarning("Schedule file is not valid (" + path + " is not valid JSON)"));
}

TEST_F(SchedulerTest, EditedScheduleFileIsReadOnTheNextPass) {
    WritePlaylist("show", {"a"});
    WriteSchedule(R"([{"playlist": "show", "day": "Thursday", "startTime": "18:00", "endTime": "19:00"}])");
    m_now = T(9, 0, 0);
    StartDaemon();
    PassAt(T(9, 0, 1));
    EXPECT_EQ(std::vector<time_t>({T(18, 0, 0)}), ItemStarts());
    WriteSchedule(R"([{"playlist": "show", "day": "Thursday", "startTime": "20:00", "endTime": "21:00"}])");
    // A later modification time, whatever the file system's granularity.
    struct timespec times[2] = {{time(nullptr) + 5, 0}, {time(nullptr) + 5, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, m_media.file("/config/schedule.json").c_str(), times, 0));
    kivtest::LogCapture log;
    PassAt(T(9, 0, 2));
    EXPECT_TRUE(log.contains("Schedule file changed; reloading"));
    EXPECT_EQ(std::vector<time_t>({T(20, 0, 0)}), ItemStarts());
    PassAt(T(9, 0, 3));
    EXPECT_EQ(1, log.count("Schedule file changed")) << "read once per change";
    EXPECT_EQ(1, log.count("Current Schedule:"));
}

TEST_F(SchedulerTest, GarbledScheduleAtStartIsAnEmptyScheduleWithAnError) {
    WriteSchedule("{ this is not json");
    kivtest::LogCapture log;
    m_now = T(17, 0, 0);
    StartDaemon();
    EXPECT_TRUE(scheduler->Entries().empty());
    EXPECT_TRUE(log.contains("is not valid JSON; keeping the 0 rows loaded before"));
    RunUntil(T(17, 0, 5));
    EXPECT_EQ(PLAYER_IDLE, player.GetStatus());
}

TEST_F(SchedulerTest, UnusableRowIsReportedAndTheOthersStillPlay) {
    WritePlaylist("show", {"a"});
    WriteSchedule(R"([
        {"playlist": "show", "startTime": "25:61", "endTime": "19:00"},
        {"playlist": "show", "startTime": "18:00", "endTime": "19:00"}
    ])");
    kivtest::LogCapture log;
    m_now = T(17, 59, 0);
    StartDaemon();
    EXPECT_TRUE(log.contains("Schedule row 1 ignored: playlist 'show': \"startTime\" must be"));
    EXPECT_TRUE(HasWarning("Schedule row 1 ignored: playlist 'show': \"startTime\" must be \"HH:MM:SS\", \"HH:MM\", \"SunRise\", "
                           "\"SunSet\", \"Dawn\" or \"Dusk\""));
    ASSERT_EQ(1u, scheduler->Entries().size());
    RunUntil(T(18, 0, 0));
    EXPECT_EQ("show", player.GetPlaylistName());
}

// ---------------------------------------------------------------- evaluation

TEST_F(SchedulerTest, SecondPassInTheSameSecondReturnsAtOnce) {
    WritePlaylist("show", {"a"});
    WriteSchedule(R"([{"playlist": "show", "startTime": "18:00", "endTime": "19:00"}])");
    KIVLogger::INSTANCE.SetLevel("Schedule", LOG_DEBUG);
    kivtest::LogCapture log;
    m_now = T(17, 59, 40);
    StartDaemon();
    PassAt(T(17, 59, 50));
    PassAt(T(17, 59, 50));
    PassAt(T(17, 59, 50));
    EXPECT_EQ(1, log.count("Scheduled Item running in 10 seconds:"));
}

TEST_F(SchedulerTest, CommandRunsInItsOwnSecondOnARunCmdThread) {
    WriteSchedule(R"([{"command": "Test Record", "args": ["lights", "on"], "startTime": "12:00:00",
                      "multisyncCommand": true, "multisyncHosts": "10.1.1.1"}])");
    m_now = T(11, 59, 58);
    StartDaemon();
    PassAt(T(11, 59, 59));
    EXPECT_TRUE(Calls().empty());
    PassAt(T(12, 0, 0));
    ASSERT_TRUE(WaitForCalls(1));
    EXPECT_EQ(std::vector<std::string>({"lights,on"}), Calls());
    {
        std::lock_guard<std::mutex> l(recLock);
        EXPECT_EQ("KIV-RunCmd", recThreads[0]);
    }
    PassAt(T(12, 0, 1));
    usleep(100000);
    EXPECT_EQ(1u, Calls().size()) << "a command runs once";
}

TEST_F(SchedulerTest, MissedCommandIsMarkedAndNeverRunLate) {
    WriteSchedule(R"([{"command": "Test Record", "args": ["late"], "startTime": "12:00:00"}])");
    m_now = T(11, 59, 58);
    StartDaemon();
    PassAt(T(11, 59, 59));
    PassAt(T(12, 0, 1));  // the pass of 12:00:00 never happened
    PassAt(T(12, 0, 2));
    usleep(200000);
    EXPECT_TRUE(Calls().empty());
    Json::Value items = scheduler->GetSchedule()["items"];
    for (auto& i : items) EXPECT_NE(T(12, 0, 0), (time_t)i["startTime"].asUInt64());
}

TEST_F(SchedulerTest, CommandThatRanIsNotRunAgainWhenTheClockStepsBack) {
    WriteSchedule(R"([{"command": "Test Record", "args": ["once"], "startTime": "12:00:00"}])");
    m_now = T(11, 59, 58);
    StartDaemon();
    RunUntil(T(12, 0, 5));
    ASSERT_TRUE(WaitForCalls(1));
    // NTP sets the clock ten minutes back: 12:00:00 comes round again.
    PassAt(T(11, 50, 5));
    RunUntil(T(12, 0, 3));
    usleep(200000);
    EXPECT_EQ(1u, Calls().size()) << "the command ran again";
}

TEST_F(SchedulerTest, PlaylistHalfWrittenWhenItsSlotOpensStartsOnceTheSaveCompletes) {
    m_media.write("/playlists/show.json", "{\"mainPlaylist\": [{\"type\": \"te");
    WriteSchedule(R"([{"playlist": "show", "startTime": "18:00", "endTime": "19:00"}])");
    m_now = T(17, 59, 58);
    StartDaemon();
    RunUntil(T(18, 0, 3));
    EXPECT_EQ(PLAYER_IDLE, player.GetStatus());
    auto warned = [] {
        for (auto& w : WarningHolder::GetWarnings())
            if (w.find("Scheduled Playlist 'show' could not start") != std::string::npos) return true;
        return false;
    };
    EXPECT_TRUE(warned());
    RunUntil(T(18, 0, 6));
    EXPECT_EQ(PLAYER_IDLE, player.GetStatus()) << "not tried again while the file stays as it is";
    WritePlaylist("show", {"a"});
    RunUntil(T(18, 0, 7));
    EXPECT_EQ("show", player.GetPlaylistName());
    EXPECT_EQ(T(19, 0, 0), player.m_scheduledEndTime.load());
    EXPECT_FALSE(warned());
}

TEST_F(SchedulerTest, StartsThePlaylistWhenItsSlotOpensAndStopsItAtTheEnd) {
    WritePlaylist("show", {"a", "b"}, {"out"});
    WriteSchedule(R"([{"playlist": "show", "startTime": "18:00", "endTime": "18:30", "repeat": true, "stopType": 0}])");
    m_now = T(17, 59, 55);
    StartDaemon();
    RunUntil(T(17, 59, 59));
    EXPECT_EQ(PLAYER_IDLE, player.GetStatus());
    RunUntil(T(18, 0, 0));
    EXPECT_EQ(PLAYER_PLAYING, player.GetStatus());
    EXPECT_EQ("show", player.GetPlaylistName());
    EXPECT_TRUE(player.WasScheduled());
    EXPECT_TRUE(player.GetRepeat());
    EXPECT_EQ(T(18, 0, 0), player.m_scheduledStartTime.load());
    EXPECT_EQ(T(18, 30, 0), player.m_scheduledEndTime.load());
    RunUntil(T(18, 29, 59));
    EXPECT_EQ(1, TestEntries::Count("a:start")) << "started once, not again every pass";
    RunUntil(T(18, 30, 0));
    EXPECT_EQ(PLAYER_STOPPING_GRACEFULLY, player.GetStatus());
    End("a");
    End("out");
    EXPECT_EQ(PLAYER_IDLE, player.GetStatus());
    RunUntil(T(18, 30, 10));
    EXPECT_EQ(PLAYER_IDLE, player.GetStatus()) << "the window is over";
}

TEST_F(SchedulerTest, RepeatingRowRestartsWhileItsWindowIsOpen) {
    WritePlaylist("show", {"a"});
    WriteSchedule(R"([{"playlist": "show", "startTime": "18:00", "endTime": "19:00", "repeat": false},
                     {"playlist": "loop", "startTime": "20:00", "endTime": "21:00", "repeat": true}])");
    WritePlaylist("loop", {"l"});
    m_now = T(17, 59, 59);
    StartDaemon();
    RunUntil(T(18, 0, 0));
    End("a");
    RunUntil(T(18, 10, 0));
    EXPECT_EQ(PLAYER_IDLE, player.GetStatus()) << "a row without repeat plays once";
    RunUntil(T(20, 0, 1));
    player.StopNow(0);  // as if the playlist had ended by itself
    Pass();
    EXPECT_EQ(PLAYER_PLAYING, player.GetStatus()) << "a repeating row is re-armed while its window is open";
    EXPECT_EQ(2, TestEntries::Count("l:start"));
}

TEST_F(SchedulerTest, StrongerItemPreemptsAndTheWeakerComesBack) {
    WritePlaylist("strong", {"s"});
    WritePlaylist("weak", {"w"});
    WriteSchedule(R"([
        {"playlist": "strong", "startTime": "18:30", "endTime": "19:00", "stopType": 0},
        {"playlist": "weak", "startTime": "18:00", "endTime": "20:00", "repeat": true, "stopType": 0}
    ])");
    m_now = T(17, 59, 59);
    StartDaemon();
    RunUntil(T(18, 0, 0));
    ASSERT_EQ("weak", player.GetPlaylistName());
    EXPECT_EQ(1, player.m_priority.load());
    RunUntil(T(18, 30, 0));
    EXPECT_EQ(PLAYER_STOPPING_GRACEFULLY, player.GetStatus()) << "the weaker winds down gracefully";
    EXPECT_EQ(1, scheduler->ForcedNextPlaylist());
    EXPECT_FALSE(ItemAt(T(18, 0, 0))->ran) << "the interrupted item is re-armed";
    EXPECT_TRUE(ItemAt(T(18, 30, 0))->ran);
    RunUntil(T(18, 30, 5));
    EXPECT_EQ("weak", player.GetPlaylistName()) << "busy winding down: left alone";
    End("w");
    EXPECT_EQ("strong", player.GetPlaylistName());
    EXPECT_EQ(0, player.m_priority.load());
    RunUntil(T(18, 40, 0));
    EXPECT_EQ("strong", player.GetPlaylistName()) << "the weaker item waits";
    End("s");
    EXPECT_EQ("weak", player.GetPlaylistName()) << "back once the stronger one ended";
    EXPECT_EQ(std::vector<std::string>({"w:start", "w:end", "s:start", "s:end", "w:start"}), TestEntries::Milestones());
}

TEST_F(SchedulerTest, PreemptionStopsHardWhenTheWeakerRowSaysSo) {
    WritePlaylist("strong", {"s"});
    WritePlaylist("weak", {"w"}, {"out"});
    WriteSchedule(R"([
        {"playlist": "strong", "startTime": "18:30", "endTime": "19:00"},
        {"playlist": "weak", "startTime": "18:00", "endTime": "20:00", "repeat": true, "stopType": "Hard"}
    ])");
    m_now = T(17, 59, 59);
    StartDaemon();
    RunUntil(T(18, 30, 0));
    EXPECT_EQ("strong", player.GetPlaylistName());
    EXPECT_EQ(std::vector<std::string>({"w:start", "w:stop", "s:start"}), TestEntries::Milestones());
}

TEST_F(SchedulerTest, WeakerOrEqualItemLeavesTheScheduledPlaylistAlone) {
    WritePlaylist("first", {"f"});
    WritePlaylist("second", {"x"});
    WriteSchedule(R"([
        {"playlist": "first", "startTime": "18:00", "endTime": "20:00"},
        {"playlist": "second", "startTime": "18:30", "endTime": "19:00"}
    ])");
    m_now = T(17, 59, 59);
    StartDaemon();
    RunUntil(T(18, 35, 0));
    EXPECT_EQ("first", player.GetPlaylistName());
    EXPECT_FALSE(ItemAt(T(18, 30, 0))->ran) << "left unmarked";
    End("f");
    EXPECT_EQ("second", player.GetPlaylistName()) << "its window is still open when the first ends";
}

TEST_F(SchedulerTest, ManualPlaylistGivesWayToTheScheduleAtOnce) {
    WritePlaylist("show", {"a"});
    WritePlaylist("manual", {"m"});
    WriteSchedule(R"([{"playlist": "show", "startTime": "18:00", "endTime": "19:00"}])");
    m_now = T(17, 59, 50);
    StartDaemon();
    ASSERT_TRUE(player.StartPlaylist("manual", 1));
    RunUntil(T(18, 0, 0));
    EXPECT_EQ("show", player.GetPlaylistName());
    EXPECT_TRUE(player.WasScheduled());
    EXPECT_EQ(std::vector<std::string>({"m:start", "m:stop", "a:start"}), TestEntries::Milestones());
}

TEST_F(SchedulerTest, PlaylistStoppedByTheUserIsNotRestartedInItsSlot) {
    WritePlaylist("show", {"a"});
    WriteSchedule(R"([{"playlist": "show", "startTime": "18:00", "endTime": "20:00", "repeat": true}])");
    m_now = T(17, 59, 59);
    StartDaemon();
    RunUntil(T(18, 10, 0));
    auto r = CommandManager::INSTANCE.run("Stop Now", {});
    EXPECT_EQ("Playlist stopped", r->get());
    RunUntil(T(18, 20, 0));
    EXPECT_EQ(PLAYER_IDLE, player.GetStatus());
    scheduler->ReloadScheduleFile();
    RunUntil(T(18, 21, 0));
    EXPECT_EQ(PLAYER_IDLE, player.GetStatus());
    EXPECT_EQ(1, TestEntries::Count("a:start"));
}

TEST_F(SchedulerTest, RanRegistryKeepsAPlayedItemFromStartingAgainAfterReload) {
    WritePlaylist("show", {"a"});
    WriteSchedule(R"([{"playlist": "show", "startTime": "18:00", "endTime": "19:00"}])");
    m_now = T(17, 59, 59);
    StartDaemon();
    RunUntil(T(18, 0, 0));
    End("a");
    EXPECT_EQ(PLAYER_IDLE, player.GetStatus());
    kivtest::LogCapture log;
    KIVLogger::INSTANCE.SetLevel("Schedule", LOG_DEBUG);
    scheduler->ReloadScheduleFile();
    RunUntil(T(18, 0, 5));
    EXPECT_TRUE(log.contains("Marking playlist item as already ran:"));
    EXPECT_TRUE(ItemAt(T(18, 0, 0))->ran);
    EXPECT_EQ(PLAYER_IDLE, player.GetStatus());
    EXPECT_EQ(1, TestEntries::Count("a:start"));

    // A daemon started afresh has no registry: it resumes the open slot.
    delete scheduler;
    StartDaemon();
    EXPECT_EQ("show", player.GetPlaylistName());
}

TEST_F(SchedulerTest, ItemAlreadyPlayingIsMarkedNotRestarted) {
    WritePlaylist("show", {"a"});
    WriteSchedule(R"([{"playlist": "show", "startTime": "18:00", "endTime": "20:00", "repeat": true}])");
    m_now = T(17, 0, 0);
    StartDaemon();
    auto r = CommandManager::INSTANCE.run("Start Next Scheduled Item", {});
    EXPECT_EQ("Next scheduled item started", r->get());
    EXPECT_EQ("show", player.GetPlaylistName());
    EXPECT_EQ(T(17, 0, 0), player.m_scheduledStartTime.load());
    EXPECT_EQ(T(20, 0, 0), player.m_scheduledEndTime.load());
    EXPECT_FALSE(ItemAt(T(18, 0, 0))->ran);
    RunUntil(T(18, 0, 1));
    EXPECT_TRUE(ItemAt(T(18, 0, 0))->ran);
    EXPECT_EQ(1, TestEntries::Count("a:start"));
}

TEST_F(SchedulerTest, StartNextScheduledItemWithNothingLeftIsAnError) {
    WriteSchedule("[]");
    m_now = T(17, 0, 0);
    StartDaemon();
    auto r = CommandManager::INSTANCE.run("Start Next Scheduled Item", {});
    EXPECT_TRUE(r->isError());
    EXPECT_EQ("Unable to start next scheduled item", r->get());
}

TEST_F(SchedulerTest, CountdownLogsAndPresetsFireOnTheListedSeconds) {
    WritePlaylist("show", {"a"});
    WriteSchedule(R"([{"playlist": "show", "startTime": "18:00", "endTime": "19:00"}])");
    std::vector<int> fired = {900, 600, 300, 240, 180, 120, 60, 50, 40, 30, 20, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1};
    std::vector<int> silent = {1000, 999, 901, 899, 301, 299, 241, 61, 59, 51, 45, 11};
    Json::Value presets;
    for (int list = 0; list < 2; ++list) {
        for (int d : list ? silent : fired) {
            char name[32];
            snprintf(name, sizeof(name), "PLAYLIST_START_TMINUS_%03d", d);
            Json::Value p;
            p["name"] = name;
            p["command"] = "Test Record";
            p["args"].append("%PLAYLIST_NAME%");
            p["args"].append(std::to_string(d));
            presets["commands"].append(p);
        }
    }
    m_media.write("/config/commandPresets.json", SaveJsonToString(presets));
    KIVLogger::INSTANCE.SetLevel("Schedule", LOG_DEBUG);
    kivtest::LogCapture log;
    m_now = T(17, 40, 0);
    StartDaemon();
    RunUntil(T(17, 59, 59));
    CommandManager::INSTANCE.WaitForPresets();
    std::set<std::string> calls;
    for (auto& c : Calls()) calls.insert(c);
    std::set<std::string> expected;
    for (int d : fired) expected.insert("show," + std::to_string(d));
    EXPECT_EQ(expected, calls);
    EXPECT_EQ(fired.size(), Calls().size()) << "each preset once";
    for (int d : {1200, 900, 600, 300, 240, 180, 120, 60, 50, 40, 30, 20, 10, 9, 2}) {
        EXPECT_EQ(1, log.count("Scheduled Item running in " + std::to_string(d) + " seconds:")) << d;
    }
    EXPECT_EQ(1, log.count("Scheduled Item running in 1 second:"));
    for (int d : silent) {
        EXPECT_EQ(0, log.count("running in " + std::to_string(d) + " seconds:")) << d;
    }
    // 1200 and the listed seconds, nothing else.
    EXPECT_EQ(1 + (int)fired.size(), log.count("Scheduled Item running in "));
}

TEST_F(SchedulerTest, RestartResumesTheScheduledPlaylistAtTheSavedPosition) {
    WritePlaylist("show", {"a", "b", "c"});
    WriteSchedule(R"([{"playlist": "show", "startTime": "18:00", "endTime": "20:00", "repeat": true}])");
    SetSetting("restarted", 1);
    SetSetting("resumePlaylist", "show");
    SetSetting("resumePosition", 2);
    m_now = T(19, 0, 0);
    StartDaemon();
    EXPECT_EQ("show", player.GetPlaylistName());
    EXPECT_EQ(3, player.GetPosition());
    EXPECT_EQ(1, TestEntries::Count("c:start"));
    EXPECT_EQ("", getSetting("resumePlaylist", "x"));
    EXPECT_EQ(0, getSettingInt("resumePosition", 7));
}

TEST_F(SchedulerTest, RestartWithoutAPositionResumesTheSlotFromTheTop) {
    WritePlaylist("show", {"a", "b"});
    WriteSchedule(R"([{"playlist": "show", "startTime": "18:00", "endTime": "20:00", "repeat": true}])");
    SetSetting("restarted", 1);
    SetSetting("resumePlaylist", "other");
    SetSetting("resumePosition", 1);
    m_now = T(19, 0, 0);
    StartDaemon();
    EXPECT_EQ(1, player.GetPosition());
    EXPECT_EQ("other", getSetting("resumePlaylist", "")) << "only the matching playlist uses the saved position";
}

// ---------------------------------------------------------------- reports and commands

TEST_F(SchedulerTest, GetScheduleListsRowsAndUnranItemsWithThePlayingOneFirst) {
    WritePlaylist("show", {"a"});
    WriteSchedule(R"([
        {"playlist": "show", "day": "Thursday", "startTime": "18:00", "endTime": "20:00", "repeat": true},
        {"command": "Test Record", "args": ["x"], "day": "Thursday", "startTime": "21:00",
         "multisyncCommand": true, "multisyncHosts": "10.0.0.9"}
    ])");
    m_now = T(17, 59, 59);
    StartDaemon();
    RunUntil(T(18, 0, 0));
    player.AdjustPlaylistStopTime(60);
    Json::Value s = scheduler->GetSchedule();
    EXPECT_EQ(1, s["enabled"].asInt());
    ASSERT_EQ(2u, s["entries"].size());
    EXPECT_EQ(0, s["entries"][0]["id"].asInt());
    EXPECT_EQ("playlist", s["entries"][0]["type"].asString());
    EXPECT_EQ("Thursday", s["entries"][0]["dayStr"].asString());
    EXPECT_EQ("show", s["entries"][0]["playlist"].asString());
    EXPECT_EQ("command", s["entries"][1]["type"].asString());
    ASSERT_EQ(2u, s["items"].size()) << SaveJsonToString(s, "  ");
    Json::Value playing = s["items"][0];
    EXPECT_EQ("Start Playlist", playing["command"].asString());
    EXPECT_EQ("show", playing["args"][0].asString());
    EXPECT_EQ(0, playing["id"].asInt());
    EXPECT_EQ((Json::UInt64)T(18, 0, 0), playing["startTime"].asUInt64());
    EXPECT_EQ((Json::UInt64)T(20, 1, 0), playing["endTime"].asUInt64()) << "the player's actual end";
    EXPECT_EQ("2024-11-14 @ 20:01:00", playing["endTimeStr"].asString());
    Json::Value cmd = s["items"][1];
    EXPECT_EQ("Test Record", cmd["command"].asString());
    EXPECT_EQ((Json::UInt64)T(21, 0, 0), cmd["startTime"].asUInt64());
    EXPECT_TRUE(cmd["multisyncCommand"].asBool());
    EXPECT_EQ("10.0.0.9", cmd["multisyncHosts"].asString());

    SetSetting("DateFormat", "%d/%m");
    SetSetting("TimeFormat", "%H:%M");
    EXPECT_EQ("14/11 @ 21:00", scheduler->GetSchedule()["items"][1]["startTimeStr"].asString());

    auto r = CommandManager::INSTANCE.run("Get Schedule", {});
    EXPECT_EQ("application/json", r->contentType());
    EXPECT_EQ(2u, LoadJsonFromString(r->get())["items"].size());
}

TEST_F(SchedulerTest, GetInfoReportsWhatPlaysAndWhatComesNext) {
    WritePlaylist("show", {"a"});
    WritePlaylist("late", {"b"});
    WriteSchedule(R"([
        {"playlist": "show", "day": "Thursday", "startTime": "18:00", "endTime": "20:00", "stopType": 2},
        {"playlist": "late", "day": "Thursday", "startTime": "21:00", "endTime": "22:00"}
    ])");
    m_now = T(17, 0, 0);
    StartDaemon();
    Json::Value info = scheduler->GetInfo();
    EXPECT_EQ("idle", info["status"].asString());
    EXPECT_EQ("show", info["nextPlaylist"]["playlistName"].asString());
    EXPECT_EQ((Json::UInt64)T(18, 0, 0), info["nextPlaylist"]["scheduledStartTime"].asUInt64());
    EXPECT_EQ("2024-11-14 @ 18:00:00 - (Thursday)", info["nextPlaylist"]["scheduledStartTimeStr"].asString());

    RunUntil(T(18, 0, 0));
    m_now = T(18, 30, 0);
    info = scheduler->GetInfo();
    EXPECT_EQ("playing", info["status"].asString());
    EXPECT_EQ("late", info["nextPlaylist"]["playlistName"].asString());
    Json::Value cur = info["currentPlaylist"];
    EXPECT_EQ("show", cur["playlistName"].asString());
    EXPECT_EQ((Json::UInt64)T(18, 30, 0), cur["currentTime"].asUInt64());
    EXPECT_EQ((Json::UInt64)T(18, 0, 0), cur["scheduledStartTime"].asUInt64());
    EXPECT_EQ((Json::UInt64)T(18, 0, 0), cur["actualStartTime"].asUInt64());
    EXPECT_EQ((Json::UInt64)T(20, 0, 0), cur["scheduledEndTime"].asUInt64());
    EXPECT_EQ((Json::UInt64)T(20, 0, 0), cur["actualEndTime"].asUInt64());
    EXPECT_EQ(5400, cur["secondsRemaining"].asInt());
    EXPECT_EQ(2, cur["stopType"].asInt());
    EXPECT_EQ("Graceful Loop", cur["stopTypeStr"].asString());

    player.StopNow(1);
    ASSERT_TRUE(player.StartPlaylist("late", 0));
    info = scheduler->GetInfo();
    EXPECT_EQ("manual", info["status"].asString());
    EXPECT_EQ("late", info["currentPlaylist"]["playlistName"].asString());
    EXPECT_FALSE(info["currentPlaylist"].isMember("scheduledStartTime"));
    EXPECT_EQ("late", LoadJsonFromString(CommandManager::INSTANCE.run("Get Scheduler Info", {})->get())
                          ["currentPlaylist"]["playlistName"].asString());
}

TEST_F(SchedulerTest, ExtendScheduleMovesThePlaylistEndAndOptionallyTheNextItems) {
    WritePlaylist("show", {"a"});
    WriteSchedule(R"([
        {"playlist": "show", "day": "Thursday", "startTime": "18:00", "endTime": "19:00"},
        {"command": "Test Record", "args": ["soon"], "day": "Thursday", "startTime": "18:30"},
        {"command": "Test Record", "args": ["later"], "day": "Thursday", "startTime": "20:00"}
    ])");
    auto& cm = CommandManager::INSTANCE;
    m_now = T(17, 59, 59);
    StartDaemon();
    auto r = cm.run("Extend Schedule", {"600"});
    EXPECT_TRUE(r->isError());
    EXPECT_EQ("Error extending Schedule", r->get()) << "nothing plays yet";

    RunUntil(T(18, 5, 0));
    r = cm.run("Extend Schedule", {});
    EXPECT_TRUE(r->isError());
    EXPECT_EQ("Command needs at least 1 argument, found 0", r->get());
    EXPECT_EQ("text/plain", r->contentType());
    r = cm.run("Extend Schedule", {"ten"});
    EXPECT_TRUE(r->isError());

    r = cm.run("Extend Schedule", {"600"});
    EXPECT_EQ("Schedule Updated", r->get());
    EXPECT_EQ(T(19, 10, 0), player.m_actualEndTime.load());
    RunUntil(T(18, 5, 1));
    EXPECT_NE(nullptr, ItemAt(T(18, 30, 0))) << "without a limit the other items stay";

    r = cm.run("Extend Schedule", {"600", "3600"});
    EXPECT_EQ("Schedule Updated", r->get());
    EXPECT_EQ(T(19, 20, 0), player.m_actualEndTime.load());
    RunUntil(T(18, 5, 2));
    EXPECT_EQ(nullptr, ItemAt(T(18, 30, 0)));
    EXPECT_NE(nullptr, ItemAt(T(18, 40, 0))) << "moved by 600 s";
    EXPECT_NE(nullptr, ItemAt(T(20, 0, 0))) << "beyond the next hour: unchanged";
    RunUntil(T(18, 40, 0));
    ASSERT_TRUE(WaitForCalls(1));
    EXPECT_EQ(std::vector<std::string>({"soon"}), Calls());
    RunUntil(T(19, 19, 59));
    EXPECT_EQ(PLAYER_PLAYING, player.GetStatus());
    RunUntil(T(19, 20, 0));
    EXPECT_EQ(PLAYER_STOPPING_GRACEFULLY, player.GetStatus());
}

TEST_F(SchedulerTest, ScheduleTableInTheLog) {
    WritePlaylist("show", {"a"});
    WriteSchedule(R"([
        {"playlist": "show", "startTime": "18:00", "endTime": "20:00", "startDate": "2024-12-01",
         "endDate": "2025-01-05", "repeat": true},
        {"enabled": false, "command": "Test Record", "day": "Mask: -M-W-F-", "startTime": "07:30", "stopType": 1}
    ])");
    kivtest::LogCapture log;
    m_now = T(9, 0, 0);
    scheduler = new Scheduler();
    EXPECT_TRUE(log.contains("Stat Start & End Dates       Days          Start & End Times   Playlist/Command\n"));
    EXPECT_TRUE(log.contains("+!*G 2024-12-01 - 2025-01-05 Everyday      18:00:00 - 20:00:00 show\n")) << log.text();
    EXPECT_TRUE(log.contains("-  H 0000-00-00 - 0000-00-00 Mask: -M-W-F- 07:30:00            Test Record\n"))
        << log.text();
}

TEST_F(SchedulerTest, ItemDumpShowsTimePriorityCommandAndQuotedArguments) {
    WritePlaylist("show", {"a"});
    WriteSchedule(R"([{"playlist": "show", "day": "Thursday", "startTime": "18:00", "endTime": "19:00", "repeat": true}])");
    m_now = T(9, 0, 0);
    scheduler = new Scheduler();
    KIVLogger::INSTANCE.SetLevel("Schedule", LOG_DEBUG);
    kivtest::LogCapture log;
    scheduler->DumpScheduledItems();
    EXPECT_TRUE(log.contains("DumpScheduledItems()\n"));
    EXPECT_TRUE(log.contains("Thu Nov 14 18:00:00 2024:  0 'Start Playlist' - '\"show\" \"true\" \"false\" '\n"))
        << log.text();
}

TEST_F(SchedulerTest, DisabledSchedulerStartsNothingAndSaysSo) {
    WritePlaylist("show", {"a"});
    WriteSchedule(R"([{"playlist": "show", "startTime": "18:00", "endTime": "19:00"}])");
    SetSetting("DisableScheduler", 1);
    kivtest::LogCapture log;
    m_now = T(18, 30, 0);
    StartDaemon();
    EXPECT_TRUE(HasWarning("KIV Scheduler is disabled"));
    EXPECT_TRUE(log.contains("Scheduler is disabled!"));
    EXPECT_TRUE(log.contains("WARNING: Scheduler is currently disabled"));
    RunUntil(T(18, 30, 5));
    EXPECT_EQ(PLAYER_IDLE, player.GetStatus());
    EXPECT_EQ("Scheduler is disabled.", scheduler->GetNextPlaylistName());
    EXPECT_EQ("", scheduler->GetNextPlaylistStartStr());
    int repeat = 5;
    EXPECT_EQ("", scheduler->GetPlaylistThatShouldBePlaying(repeat));
    EXPECT_EQ(5, repeat);
    EXPECT_EQ(0, scheduler->GetInfo()["enabled"].asInt());
}

TEST_F(SchedulerTest, PlaylistThatShouldBePlayingIsTheOpenWindow) {
    WritePlaylist("show", {"a"});
    WriteSchedule(R"([{"playlist": "show", "day": "Thursday", "startTime": "18:00", "endTime": "19:00", "repeat": true}])");
    m_now = T(17, 0, 0);
    scheduler = new Scheduler();
    int repeat = 7;
    EXPECT_EQ("", scheduler->GetPlaylistThatShouldBePlaying(repeat));
    EXPECT_EQ(0, repeat);
    m_now = T(18, 59, 59);
    EXPECT_EQ("show", scheduler->GetPlaylistThatShouldBePlaying(repeat));
    EXPECT_EQ(1, repeat);
}

// ---------------------------------------------------------------- clock changes

TEST_F(SchedulerTest, DailyShowStartsAtSixOnTheDaysTheClocksChange) {
    WritePlaylist("show", {"a"});
    WriteSchedule(R"([{"playlist": "show", "startTime": "18:00", "endTime": "18:30"}])");
    for (const char* zone : {"Europe/London", "America/New_York"}) {
        setenv("TZ", zone, 1);
        tzset();
        int days[2][2] = {{3, 31}, {10, 27}};
        if (std::string(zone) == "America/New_York") {
            days[0][0] = 3, days[0][1] = 10, days[1][0] = 11, days[1][1] = 3;
        }
        for (auto& d : days) {
            TestEntries::Reset();
            m_now = LocalTime(2024, d[0], d[1], 17, 59, 50);
            StartDaemon();
            RunUntil(LocalTime(2024, d[0], d[1], 17, 59, 59));
            EXPECT_EQ(PLAYER_IDLE, player.GetStatus()) << zone;
            RunUntil(LocalTime(2024, d[0], d[1], 18, 0, 0));
            EXPECT_EQ(PLAYER_PLAYING, player.GetStatus()) << zone << " " << d[0] << "/" << d[1];
            Local l = L(player.m_actualStartTime);
            EXPECT_EQ(18, l.hour) << zone;
            EXPECT_EQ(0, l.minute) << zone;
            RunUntil(LocalTime(2024, d[0], d[1], 18, 30, 0));
            End("a");
            EXPECT_EQ(PLAYER_IDLE, player.GetStatus());
            EXPECT_EQ(1, TestEntries::Count("a:start"));
            delete scheduler;
            scheduler = nullptr;
        }
    }
}

TEST_F(SchedulerTest, SlotAcrossTheAutumnChangeStartsOnceAndEndsAtItsLocalEnd) {
    WritePlaylist("show", {"a"});
    WriteSchedule(R"([{"playlist": "show", "startTime": "00:30", "endTime": "03:30", "repeat": true, "stopType": 1}])");
    time_t start = LocalTime(2024, 10, 27, 0, 30, 0), end = LocalTime(2024, 10, 27, 3, 30, 0);
    ASSERT_EQ(4 * 3600, end - start);
    m_now = start - 10;
    StartDaemon();
    time_t stoppedAt = 0;
    while (m_now < end + 5) {
        m_now = m_now + 1;
        Pass();
        if (!stoppedAt && m_now > start && player.GetStatus() == PLAYER_IDLE) stoppedAt = m_now;
    }
    EXPECT_EQ(1, TestEntries::Count("a:start"));
    EXPECT_EQ(end, stoppedAt);
}

TEST_F(SchedulerTest, NothingStartsTwiceInTheRepeatedHour) {
    WritePlaylist("once", {"a"});
    WritePlaylist("loop", {"l"});
    WriteSchedule(R"([
        {"playlist": "once", "startTime": "01:15", "endTime": "01:20"},
        {"playlist": "loop", "startTime": "01:30", "endTime": "01:50", "repeat": true, "stopType": 1},
        {"command": "Test Record", "args": ["01:25"], "startTime": "01:25"}
    ])");
    // 27 October 2024: the clocks go back from 02:00 BST to 01:00 GMT.
    m_now = LocalTime(2024, 10, 27, 0, 59, 0);
    StartDaemon();
    time_t until = m_now + 3 * 3600;
    time_t onceStartedAt = 0;
    while (m_now < until) {
        m_now = m_now + 1;
        Pass();
        if (!onceStartedAt && player.GetPlaylistName() == "once") {
            onceStartedAt = m_now;
            struct tm tm;
            time_t t = m_now;
            localtime_r(&t, &tm);
            m_summerOffset = tm.tm_isdst > 0;
        }
        if (player.GetPlaylistName() == "once" && TestEntries::Count("a:process") > 60) {
            TestEntries::Finish("a");
        }
    }
    ASSERT_TRUE(WaitForCalls(1));
    usleep(100000);
    EXPECT_EQ(1, TestEntries::Count("a:start"));
    EXPECT_EQ(1, TestEntries::Count("l:start"));
    EXPECT_EQ(onceStartedAt, LocalTime(2024, 10, 27, 1, 15, 0));
    EXPECT_EQ(1, L(onceStartedAt).hour);
    EXPECT_EQ(m_summerOffset, true) << "the first 01:15, still in summer time";
    EXPECT_EQ(1u, Calls().size());
    EXPECT_EQ(PLAYER_IDLE, player.GetStatus());
}

TEST_F(SchedulerTest, SlotPastMidnightSurvivesTheNewWeeksReload) {
    WritePlaylist("show", {"a"});
    WriteSchedule(R"([{"playlist": "show", "day": "Saturday", "startTime": "23:00", "endTime": "01:00",
                      "repeat": true, "stopType": 1}])");
    m_now = T(22, 59, 58, 16);  // Saturday 16 November
    StartDaemon();
    RunUntil(T(0, 30, 0, 17));
    EXPECT_EQ("show", player.GetPlaylistName());
    EXPECT_EQ(1, TestEntries::Count("a:start")) << "the Sunday reload does not start it again";
    RunUntil(T(1, 0, 0, 17));
    EXPECT_EQ(PLAYER_IDLE, player.GetStatus());
}
}  // namespace

namespace {
// ---------------------------------------------------------------- the documented example

TEST_F(SchedulerTest, DocumentedExampleScheduleLoadsEveryRow) {
    std::string docs = kivtest::sourceDir() + "/docs/examples";
    m_media.write("/config/schedule.json", GetFileContents(docs + "/schedule.json"));
    m_media.write("/playlists/evening.json", GetFileContents(docs + "/playlists/evening.json"));
    m_media.write("/playlists/new-year.json", GetFileContents(docs + "/playlists/new-year.json"));
    Touch(m_media.file("/sequences/matinee.hseq"));
    kivtest::LogCapture log;
    m_now = T(12, 0, 0, 15, 12);  // Sunday 15 December 2024
    scheduler = new Scheduler();
    ASSERT_EQ(4u, scheduler->Entries().size()) << log.text();
    EXPECT_TRUE(WarningHolder::GetWarnings().empty());
    EXPECT_TRUE(log.contains("+!*L 0000-12-31 - 0000-12-31 Everyday      21:00:00 - 00:30:00 new-year\n")) << log.text();
    EXPECT_TRUE(log.contains("+ *G 0000-11-25 - 0000-01-06 Everyday      17:30:00 - 22:00:00 evening\n"));
    EXPECT_TRUE(log.contains("+  H 2024-11-30 - 2024-12-22 Weekends      15:00:00 - 15:30:00 matinee.hseq\n"));
    EXPECT_TRUE(log.contains("+  G 0000-00-00 - 0000-00-00 Mask: SMTWTF- 16:45:00            Trigger Command Preset\n"));

    std::vector<int> evening, matinee, porch;
    int newYear = 0;
    std::lock_guard<std::recursive_mutex> l(scheduler->ItemsLock());
    for (auto& slot : scheduler->Items()) {
        for (auto& item : *slot.second) {
            Local t = L(item->startTime);
            if (item->command != "Start Playlist") {
                EXPECT_EQ("[\"PORCH_LIGHTS_ON\"]", SaveJsonToString(item->args));
                porch.push_back(t.day);
            } else if (item->args[0] == "evening") {
                evening.push_back(t.day);
                EXPECT_EQ(4 * 3600 + 1800, item->endTime - item->startTime);
            } else if (item->args[0] == "matinee.hseq") {
                matinee.push_back(t.day);
            } else {
                ++newYear;
            }
        }
    }
    EXPECT_EQ(std::vector<int>({14, 15, 16, 17, 18, 19, 20, 21}), evening);
    EXPECT_EQ(std::vector<int>({14, 15, 21}), matinee);
    EXPECT_EQ(std::vector<int>({15, 16, 17, 18, 19, 20}), porch);
    EXPECT_EQ(0, newYear);
}

TEST_F(SchedulerTest, DocumentedExampleHandsNewYearsEveToTheStrongerRow) {
    std::string docs = kivtest::sourceDir() + "/docs/examples";
    m_media.write("/config/schedule.json", GetFileContents(docs + "/schedule.json"));
    // The example's playlist names, played here by test entries.
    WritePlaylist("evening", {"e"}, {"goodnight"});
    WritePlaylist("new-year", {"n"});
    Touch(m_media.file("/sequences/matinee.hseq"));
    m_now = T(20, 59, 0, 31, 12);
    StartDaemon();
    EXPECT_EQ("evening", player.GetPlaylistName());
    RunUntil(T(21, 0, 0, 31, 12));
    EXPECT_EQ(PLAYER_STOPPING_GRACEFULLY, player.GetStatus());
    End("e");
    End("goodnight");
    EXPECT_EQ("new-year", player.GetPlaylistName());
    EXPECT_EQ(T(0, 30, 0, 1, 1, 2025), player.m_scheduledEndTime.load());
}
}  // namespace
