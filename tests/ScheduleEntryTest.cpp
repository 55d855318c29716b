#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "ScheduleClock.h"
#include "ScheduleEntry.h"
#include "SunTimes.h"
#include "TestSupport.h"
#include "common.h"
#include "settings.h"

namespace {

Json::Value parse(const std::string& text) {
    Json::Value v;
    EXPECT_TRUE(LoadJsonFromString(text, v)) << text;
    return v;
}

struct LocalParts {
    int year, month, day, hour, minute, second, isdst;
};

LocalParts local(time_t t) {
    struct tm tm;
    localtime_r(&t, &tm);
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_isdst};
}

class ScheduleEntryTest : public ::testing::Test {
protected:
    void SetUp() override { UseZone("Europe/London"); }
    void TearDown() override {
        ScheduleClock::SetProvider(nullptr);
        setenv("TZ", "Europe/London", 1);
        tzset();
    }
    void UseZone(const char* zone) {
        setenv("TZ", zone, 1);
        tzset();
    }
    void At(time_t t) {
        m_now = t;
        ScheduleClock::SetProvider([this] { return m_now; });
    }
    ScheduleEntry Load(const std::string& json) {
        ScheduleEntry e;
        Json::Value v = parse(json);
        EXPECT_TRUE(e.LoadFromJson(v)) << e.loadError;
        return e;
    }
    time_t m_now = 0;
};

TEST_F(ScheduleEntryTest, ReadsEveryKeyAndWritesThemBack) {
    ScheduleEntry e = Load(R"({"enabled": true, "playlist": "evening", "day": "Weekends",
        "startTime": "18:00", "endTime": "22:30:15", "startDate": "2024-12-01", "endDate": "2025-01-05",
        "repeat": true, "stopType": "Graceful Loop"})");
    EXPECT_TRUE(e.enabled);
    EXPECT_EQ("evening", e.playlist);
    EXPECT_FALSE(e.sequence);
    EXPECT_EQ(SCHEDULE_DAY_WEEKENDS, e.dayIndex);
    EXPECT_EQ("18:00:00", e.startTimeStr);
    EXPECT_EQ("22:30:15", e.endTimeStr);
    EXPECT_EQ(20241201, e.startDate);
    EXPECT_EQ(20250105, e.endDate);
    EXPECT_TRUE(e.repeat);
    EXPECT_EQ(SCHEDULE_STOP_GRACEFUL_LOOP, e.stopType);

    Json::Value back = e.GetJson();
    ScheduleEntry again;
    ASSERT_TRUE(again.LoadFromJson(back)) << again.loadError;
    EXPECT_EQ(SaveJsonToString(back), SaveJsonToString(again.GetJson()));
    EXPECT_EQ(9, back["day"].asInt());
    EXPECT_EQ("2024-12-01", back["startDate"].asString());
    EXPECT_EQ(2, back["stopType"].asInt());
}

TEST_F(ScheduleEntryTest, CommandRowKeepsArgumentsAndHasNoEndTime) {
    ScheduleEntry e = Load(R"({"command": "Extend Schedule", "args": ["600", "3600"], "multisyncCommand": true,
        "multisyncHosts": "10.0.0.5", "day": 4, "startTime": "17:59:30"})");
    EXPECT_TRUE(e.playlist.empty());
    EXPECT_EQ("Extend Schedule", e.command);
    ASSERT_EQ(2u, e.args.size());
    EXPECT_EQ("3600", e.args[1].asString());
    EXPECT_TRUE(e.multisyncCommand);
    EXPECT_EQ("10.0.0.5", e.multisyncHosts);
    EXPECT_EQ("", e.endTimeStr);

    At(LocalTime(2024, 11, 14, 9, 0, 0));  // a Thursday
    int delta = 0;
    e.pushStartEndTimes(4, delta, 0);
    ASSERT_EQ(1u, e.startEndTimes.size());
    EXPECT_EQ(LocalTime(2024, 11, 14, 17, 59, 30), e.startEndTimes[0].first);
    EXPECT_EQ(e.startEndTimes[0].first, e.startEndTimes[0].second);
}

TEST_F(ScheduleEntryTest, RejectsUnusableRowsWithTheReason) {
    struct Case {
        const char* json;
        const char* reason;
    } cases[] = {
        {R"([1, 2])", "must be a JSON object"},
        {R"({"day": 7, "startTime": "18:00:00"})", "neither a \"playlist\" nor a \"command\""},
        {R"({"playlist": "a", "command": "b", "startTime": "18:00", "endTime": "19:00"})", "both"},
        {R"({"playlist": "a", "startTime": "25:00:00", "endTime": "26:00:00"})", "\"startTime\""},
        {R"({"playlist": "a", "startTime": "18:00"})", "\"endTime\""},
        {R"({"playlist": "a", "startTime": "18:00", "endTime": "19:00", "day": "Funday"})", "\"day\""},
        {R"({"playlist": "a", "startTime": "18:00", "endTime": "19:00", "startDate": "2024-13-01"})", "\"startDate\""},
        {R"({"playlist": "a", "startTime": "18:00", "endTime": "19:00", "startDate": "2025-01-05",
             "endDate": "2024-12-01"})", "before"},
        {R"({"command": "x", "args": "not an array", "startTime": "18:00"})", "\"args\""},
        {R"({"playlist": "a", "startTime": "18:00", "endTime": "19:00", "stopType": 7})", "\"stopType\""},
        {R"({"playlist": 12, "startTime": "18:00", "endTime": "19:00"})", "\"playlist\" must be a string"},
    };
    for (auto& c : cases) {
        kivtest::LogCapture log;
        ScheduleEntry e;
        Json::Value v = parse(c.json);
        EXPECT_FALSE(e.LoadFromJson(v)) << c.json;
        EXPECT_NE(std::string::npos, e.loadError.find(c.reason)) << c.json << " gave: " << e.loadError;
        EXPECT_TRUE(log.contains("Invalid schedule row: " + e.loadError)) << log.text();
    }
}

TEST_F(ScheduleEntryTest, ReadsDayTextsNumbersAndMasks) {
    EXPECT_EQ(7, ScheduleEntry::ParseDayIndex(Json::Value("Everyday")));
    EXPECT_EQ(11, ScheduleEntry::ParseDayIndex(Json::Value("tues-thurs")));
    EXPECT_EQ(15, ScheduleEntry::ParseDayIndex(Json::Value("Even Days")));
    EXPECT_EQ(3, ScheduleEntry::ParseDayIndex(Json::Value(3)));
    EXPECT_EQ(0x10000 | 0x4100, ScheduleEntry::ParseDayIndex(Json::Value("Mask: S-----S")));
    EXPECT_EQ(0x10000 | 0x2A00, ScheduleEntry::ParseDayIndex(Json::Value("Mask: -M-W-F-")));
    EXPECT_EQ(0x10000 | 0x4100, ScheduleEntry::ParseDayIndex(Json::Value(0x10000 | 0x4100)));
    EXPECT_EQ(-1, ScheduleEntry::ParseDayIndex(Json::Value(16)));
    EXPECT_EQ(-1, ScheduleEntry::ParseDayIndex(Json::Value("Mask: SMTWTFX")));
    EXPECT_EQ(0x3E00, ScheduleEntry::DayMaskForIndex(8));
    EXPECT_EQ(0x4100, ScheduleEntry::DayMaskForIndex(9));
    EXPECT_EQ(0x1400, ScheduleEntry::DayMaskForIndex(11));
    EXPECT_EQ(0x7C00, ScheduleEntry::DayMaskForIndex(12));
    EXPECT_EQ(0x0300, ScheduleEntry::DayMaskForIndex(13));
}

TEST_F(ScheduleEntryTest, DayOffsetsCountFromTheSundayOfTheCurrentWeek) {
    At(LocalTime(2024, 11, 14, 9, 0, 0));  // Thursday 14 November 2024
    ScheduleEntry e = Load(R"({"playlist": "p", "startTime": "18:00", "endTime": "19:30"})");
    int delta = 0;
    e.pushStartEndTimes(0, delta, 0);
    e.pushStartEndTimes(-1, delta, 0);
    e.pushStartEndTimes(9, delta, 0);
    ASSERT_EQ(3u, e.startEndTimes.size());
    EXPECT_EQ(LocalTime(2024, 11, 10, 18, 0, 0), e.startEndTimes[0].first);   // Sunday
    EXPECT_EQ(LocalTime(2024, 11, 10, 19, 30, 0), e.startEndTimes[0].second);
    EXPECT_EQ(LocalTime(2024, 11, 9, 18, 0, 0), e.startEndTimes[1].first);    // Saturday before
    EXPECT_EQ(LocalTime(2024, 11, 19, 18, 0, 0), e.startEndTimes[2].first);   // Tuesday next week
}

TEST_F(ScheduleEntryTest, DaysTheCodeLeavesOutAreNotPushed) {
    At(LocalTime(2024, 11, 17, 9, 0, 0));  // Sunday
    ScheduleEntry e = Load(R"({"playlist": "p", "day": "Weekdays", "startTime": "23:00", "endTime": "01:00"})");
    int delta = 0;
    e.pushStartEndTimes(-1, delta, 0);  // Saturday: not a weekday
    e.pushStartEndTimes(0, delta, 0);   // Sunday: not a weekday
    EXPECT_TRUE(e.startEndTimes.empty());
    e.pushStartEndTimes(5, delta, 0);   // Friday
    ASSERT_EQ(1u, e.startEndTimes.size());
}

TEST_F(ScheduleEntryTest, SlotEndingAtOrBeforeItsStartEndsNextDay) {
    At(LocalTime(2024, 11, 14, 9, 0, 0));
    int delta = 0;
    ScheduleEntry late = Load(R"({"playlist": "p", "startTime": "22:00", "endTime": "02:00"})");
    late.pushStartEndTimes(4, delta, 0);
    EXPECT_EQ(LocalTime(2024, 11, 14, 22, 0, 0), late.startEndTimes[0].first);
    EXPECT_EQ(LocalTime(2024, 11, 15, 2, 0, 0), late.startEndTimes[0].second);

    ScheduleEntry allDay = Load(R"({"playlist": "p", "startTime": "00:00", "endTime": "24:00:00"})");
    allDay.pushStartEndTimes(4, delta, 0);
    EXPECT_EQ(LocalTime(2024, 11, 14, 0, 0, 0), allDay.startEndTimes[0].first);
    EXPECT_EQ(LocalTime(2024, 11, 15, 0, 0, 0), allDay.startEndTimes[0].second);
}

TEST_F(ScheduleEntryTest, DailyShowStartsAtLocalTimeOnClockChangeDays) {
    struct Case {
        const char* zone;
        int month, day;      // the Sunday the clocks change
        int hoursSinceDayBefore;
    } cases[] = {
        {"Europe/London", 3, 31, 23},
        {"Europe/London", 10, 27, 25},
        {"America/New_York", 3, 10, 23},
        {"America/New_York", 11, 3, 25},
    };
    for (auto& c : cases) {
        UseZone(c.zone);
        At(LocalTime(2024, c.month, c.day, 12, 0, 0));
        ScheduleEntry e = Load(R"({"playlist": "p", "startTime": "18:00", "endTime": "19:00"})");
        int delta = 0;
        e.pushStartEndTimes(-1, delta, 0);  // Saturday
        e.pushStartEndTimes(0, delta, 0);   // Sunday, the change day
        e.pushStartEndTimes(1, delta, 0);   // Monday
        ASSERT_EQ(3u, e.startEndTimes.size()) << c.zone;
        for (auto& se : e.startEndTimes) {
            LocalParts s = local(se.first), en = local(se.second);
            EXPECT_EQ(18, s.hour) << c.zone;
            EXPECT_EQ(0, s.minute) << c.zone;
            EXPECT_EQ(19, en.hour) << c.zone;
            EXPECT_EQ(3600, se.second - se.first) << c.zone;
        }
        EXPECT_EQ(c.day, local(e.startEndTimes[1].first).day) << c.zone;
        EXPECT_EQ(c.hoursSinceDayBefore * 3600, e.startEndTimes[1].first - e.startEndTimes[0].first) << c.zone;
        EXPECT_EQ(24 * 3600, e.startEndTimes[2].first - e.startEndTimes[1].first) << c.zone;
    }
}

TEST_F(ScheduleEntryTest, SlotSpanningClockChangeEndsAtItsLocalEndTime) {
    int delta = 0;
    At(LocalTime(2024, 3, 31, 12, 0, 0));  // clocks go forward at 01:00
    ScheduleEntry spring = Load(R"({"playlist": "p", "startTime": "00:30", "endTime": "03:30"})");
    spring.pushStartEndTimes(0, delta, 0);
    EXPECT_EQ(2 * 3600, spring.startEndTimes[0].second - spring.startEndTimes[0].first);
    EXPECT_EQ(3, local(spring.startEndTimes[0].second).hour);
    EXPECT_EQ(30, local(spring.startEndTimes[0].second).minute);

    At(LocalTime(2024, 10, 27, 12, 0, 0));  // clocks go back at 02:00
    ScheduleEntry autumn = Load(R"({"playlist": "p", "startTime": "00:30", "endTime": "03:30"})");
    autumn.pushStartEndTimes(0, delta, 0);
    EXPECT_EQ(4 * 3600, autumn.startEndTimes[0].second - autumn.startEndTimes[0].first);
    EXPECT_EQ(3, local(autumn.startEndTimes[0].second).hour);
    EXPECT_EQ(0, local(autumn.startEndTimes[0].second).isdst);
}

TEST_F(ScheduleEntryTest, TimesInTheChangingHourAreReadTheSameWayInEveryZone) {
    for (const char* zone : {"Europe/London", "America/New_York"}) {
        UseZone(zone);
        bool london = std::string(zone) == "Europe/London";
        // Clocks go back: 01:30 happens twice; the first one, in summer time.
        int day = london ? 27 : 3, month = london ? 10 : 11;
        time_t twice = LocalTime(2024, month, day, 1, 30, 0);
        EXPECT_EQ(1, local(twice).isdst) << zone;
        EXPECT_EQ(1, local(twice).hour) << zone;
        EXPECT_EQ(5400, LocalTime(2024, month, day, 2, 0, 0) - twice) << zone << ": 02:00 comes 90 minutes later";
        // Clocks go forward: 01:30 (London) or 02:30 (New York) does not exist.
        time_t missing = london ? LocalTime(2024, 3, 31, 1, 30, 0) : LocalTime(2024, 3, 10, 2, 30, 0);
        EXPECT_EQ(london ? 2 : 3, local(missing).hour) << zone;
        EXPECT_EQ(30, local(missing).minute) << zone;
    }
}

TEST_F(ScheduleEntryTest, TimeDeltaMovesOccurrencesBeforeTheThreshold) {
    At(LocalTime(2024, 11, 14, 17, 0, 0));
    ScheduleEntry e = Load(R"({"playlist": "p", "startTime": "17:30", "endTime": "18:00"})");
    int delta = 600;
    time_t threshold = LocalTime(2024, 11, 14, 18, 0, 0);
    e.pushStartEndTimes(4, delta, threshold);  // Thursday 17:30: before the threshold
    e.pushStartEndTimes(5, delta, threshold);  // Friday 17:30: after it
    ASSERT_EQ(2u, e.startEndTimes.size());
    EXPECT_EQ(LocalTime(2024, 11, 14, 17, 40, 0), e.startEndTimes[0].first);
    EXPECT_EQ(LocalTime(2024, 11, 14, 18, 10, 0), e.startEndTimes[0].second);
    EXPECT_EQ(LocalTime(2024, 11, 15, 17, 30, 0), e.startEndTimes[1].first);
    EXPECT_EQ(600, delta);
}

TEST_F(ScheduleEntryTest, TimeDeltaIsSpentOnceItsThresholdHasPassed) {
    At(LocalTime(2024, 11, 14, 19, 0, 0));
    ScheduleEntry e = Load(R"({"playlist": "p", "startTime": "17:30", "endTime": "18:00"})");
    int delta = 600;
    e.pushStartEndTimes(4, delta, LocalTime(2024, 11, 14, 18, 0, 0));
    EXPECT_EQ(0, delta);
    EXPECT_EQ(LocalTime(2024, 11, 14, 17, 30, 0), e.startEndTimes[0].first);
}

TEST_F(ScheduleEntryTest, OddAndEvenDaysCountFromFifteenthOfJuly2013) {
    EXPECT_EQ(0, ScheduleEntry::DayCountSinceOddEvenEpoch(2013, 7, 15));
    EXPECT_EQ(1, ScheduleEntry::DayCountSinceOddEvenEpoch(2013, 7, 16));
    // Strict alternation across month and year ends.
    EXPECT_EQ(16, ScheduleEntry::DayCountSinceOddEvenEpoch(2013, 7, 31));
    EXPECT_EQ(17, ScheduleEntry::DayCountSinceOddEvenEpoch(2013, 8, 1));
    long dec31 = ScheduleEntry::DayCountSinceOddEvenEpoch(2023, 12, 31);
    EXPECT_EQ(dec31 + 1, ScheduleEntry::DayCountSinceOddEvenEpoch(2024, 1, 1));
    EXPECT_EQ(dec31 + 61, ScheduleEntry::DayCountSinceOddEvenEpoch(2024, 3, 1));  // 2024 is a leap year

    ScheduleEntry odd = Load(R"({"playlist": "p", "day": "Odd Days", "startTime": "18:00", "endTime": "19:00"})");
    ScheduleEntry even = Load(R"({"playlist": "p", "day": "Even Days", "startTime": "18:00", "endTime": "19:00"})");
    EXPECT_TRUE(odd.SelectsDate(2013, 7, 16, 2));
    EXPECT_FALSE(even.SelectsDate(2013, 7, 16, 2));
    EXPECT_TRUE(even.SelectsDate(2013, 7, 17, 3));
}

// Rows with sun times, at the place of the settings "Latitude" and
// "Longitude".
class SunScheduleTest : public ScheduleEntryTest {
protected:
    void SetUp() override {
        ScheduleEntryTest::SetUp();
        Place("51.5074", "-0.1278");  // London
    }
    void TearDown() override {
        Place("", "");
        ScheduleEntryTest::TearDown();
    }
    void Place(const char* latitude, const char* longitude) {
        SetSetting("Latitude", latitude);
        SetSetting("Longitude", longitude);
    }
    static time_t Sun(SunEvent e, double lat, double lon, int y, int m, int d) {
        time_t t = 0;
        EXPECT_TRUE(SunEventTime(e, lat, lon, y, m, d, t));
        return t;
    }
};

TEST_F(SunScheduleTest, ADuskRowStartsAtEachDaysDuskAcrossTheClockChange) {
    At(LocalTime(2024, 3, 31, 12, 0, 0));  // the Sunday British summer time begins
    ScheduleEntry e = Load(R"({"playlist": "p", "startTime": "Dusk", "endTime": "23:00"})");
    int delta = 0;
    e.pushStartEndTimes(-1, delta, 0);  // Saturday, still winter time
    e.pushStartEndTimes(0, delta, 0);   // Sunday
    e.pushStartEndTimes(1, delta, 0);   // Monday
    ASSERT_EQ(3u, e.startEndTimes.size());
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Sun(SunEvent::Dusk, 51.5074, -0.1278, 2024, 3, 30 + i), e.startEndTimes[i].first) << i;
        LocalParts end = local(e.startEndTimes[i].second);
        EXPECT_EQ(30 + i - (i == 2 ? 31 : 0), end.day) << i;
        EXPECT_EQ(23, end.hour) << i;
        EXPECT_EQ(0, end.minute) << i;
    }
    // Dusk moves by the clock change: 19:04 winter time Saturday, 20:06
    // summer time Sunday (the published figure is 20:06:48).
    LocalParts sat = local(e.startEndTimes[0].first), sun = local(e.startEndTimes[1].first);
    EXPECT_EQ(19, sat.hour);
    EXPECT_EQ(0, sat.isdst);
    EXPECT_EQ(20, sun.hour);
    EXPECT_EQ(1, sun.isdst);
    EXPECT_LE(std::labs((long)(e.startEndTimes[1].first - LocalTime(2024, 3, 31, 20, 6, 48))), 60L);
    EXPECT_EQ("Dusk", e.GetJson()["startTime"].asString());
}

TEST_F(SunScheduleTest, OffsetsMoveSunTimesAndAnEndBeforeTheStartIsTheNextDays) {
    At(LocalTime(2024, 12, 18, 12, 0, 0));  // a Wednesday
    ScheduleEntry e = Load(R"({"playlist": "p", "day": "Wednesday", "startTime": "SunSet", "startTimeOffset": -30,
                               "endTime": "SunRise", "endTimeOffset": "15"})");
    EXPECT_EQ(-30, e.startTimeOffset);
    EXPECT_EQ(15, e.endTimeOffset);
    int delta = 0;
    e.pushStartEndTimes(3, delta, 0);
    ASSERT_EQ(1u, e.startEndTimes.size());
    EXPECT_EQ(Sun(SunEvent::SunSet, 51.5074, -0.1278, 2024, 12, 18) - 30 * 60, e.startEndTimes[0].first);
    EXPECT_EQ(Sun(SunEvent::SunRise, 51.5074, -0.1278, 2024, 12, 19) + 15 * 60, e.startEndTimes[0].second);
    Json::Value j = e.GetJson();
    EXPECT_EQ(-30, j["startTimeOffset"].asInt());
    EXPECT_EQ(15, j["endTimeOffset"].asInt());
    EXPECT_EQ("SunRise", j["endTime"].asString());

    // A clock time with an offset, and a command at sunset.
    ScheduleEntry c = Load(R"({"command": "Trigger Command Preset", "args": ["PORCH"], "day": "Wednesday",
                               "startTime": "sunset", "startTimeOffset": 10})");
    c.pushStartEndTimes(3, delta, 0);
    ASSERT_EQ(1u, c.startEndTimes.size());
    EXPECT_EQ(Sun(SunEvent::SunSet, 51.5074, -0.1278, 2024, 12, 18) + 600, c.startEndTimes[0].first);
    EXPECT_EQ(c.startEndTimes[0].first, c.startEndTimes[0].second);
}

TEST_F(SunScheduleTest, DaysWithoutTheSunTimeHaveNoOccurrence) {
    UseZone("Europe/Oslo");
    Place("69.6492", "18.9553");  // Tromso
    At(LocalTime(2024, 6, 19, 12, 0, 0));  // midsummer week: the sun never sets
    ScheduleEntry dusk = Load(R"({"playlist": "p", "startTime": "SunSet", "endTime": "23:00"})");
    int delta = 0;
    for (int d = 0; d < 7; ++d) dusk.pushStartEndTimes(d, delta, 0);
    EXPECT_TRUE(dusk.startEndTimes.empty());

    At(LocalTime(2024, 12, 18, 12, 0, 0));  // midwinter: no sunrise, but civil twilight at noon
    ScheduleEntry sunrise = Load(R"({"playlist": "p", "startTime": "SunRise", "endTime": "SunSet"})");
    ScheduleEntry twilight = Load(R"({"playlist": "p", "startTime": "Dawn", "endTime": "Dusk"})");
    for (int d = 0; d < 7; ++d) {
        sunrise.pushStartEndTimes(d, delta, 0);
        twilight.pushStartEndTimes(d, delta, 0);
    }
    EXPECT_TRUE(sunrise.startEndTimes.empty());
    ASSERT_EQ(7u, twilight.startEndTimes.size());
    for (auto& se : twilight.startEndTimes) {
        EXPECT_LT(se.first, se.second);
        EXPECT_LT(se.second - se.first, 6 * 3600) << "a short twilight day";
    }
}

TEST_F(SunScheduleTest, SunTimesNeedTheLocationAndOffsetsMustBeMinutes) {
    Place("", "");
    struct Case {
        const char* json;
        const char* reason;
    } cases[] = {
        {R"({"playlist": "a", "startTime": "Dusk", "endTime": "23:00"})",
         "\"startTime\" Dusk needs the settings \"Latitude\" and \"Longitude\""},
        {R"({"playlist": "a", "startTime": "18:00", "endTime": "sunrise"})",
         "\"endTime\" SunRise needs the settings"},
    };
    for (auto& c : cases) {
        ScheduleEntry e;
        Json::Value v = parse(c.json);
        EXPECT_FALSE(e.LoadFromJson(v)) << c.json;
        EXPECT_NE(std::string::npos, e.loadError.find(c.reason)) << e.loadError;
    }
    Place("51.5", "-0.1");
    for (const char* offset : {"721", "\"soon\"", "1.5", "true"}) {
        ScheduleEntry e;
        Json::Value v = parse(std::string(R"({"playlist": "a", "startTime": "Dusk", "endTime": "23:00", "startTimeOffset": )") +
                              offset + "}");
        EXPECT_FALSE(e.LoadFromJson(v)) << offset;
        EXPECT_NE(std::string::npos, e.loadError.find("\"startTimeOffset\" must be a whole number of minutes"))
            << e.loadError;
    }
    ScheduleEntry e;
    Json::Value v = parse(R"({"playlist": "a", "startTime": "Twilight", "endTime": "23:00"})");
    EXPECT_FALSE(e.LoadFromJson(v));
    EXPECT_NE(std::string::npos, e.loadError.find("\"SunRise\", \"SunSet\", \"Dawn\" or \"Dusk\"")) << e.loadError;
}

}  // namespace
