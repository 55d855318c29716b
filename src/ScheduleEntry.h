#pragma once
// One row of the schedule file (<media>/config/schedule.json): a playlist
// (or a sequence played as one) with a daily start and end time, or a
// command with arguments, on chosen days within a date range. The
// scheduler loads rows with LoadFromJson and asks each for its dated
// (start, end) times through pushStartEndTimes; docs/schedule.md
// describes the keys.

#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include <json/json.h>

// Day codes of the "day" key.
#define SCHEDULE_DAY_SUNDAY 0
#define SCHEDULE_DAY_SATURDAY 6
#define SCHEDULE_DAY_EVERYDAY 7
#define SCHEDULE_DAY_WEEKDAYS 8
#define SCHEDULE_DAY_WEEKENDS 9
#define SCHEDULE_DAY_M_W_F 10
#define SCHEDULE_DAY_T_TH 11
#define SCHEDULE_DAY_SUN_TO_THURS 12
#define SCHEDULE_DAY_FRI_SAT 13
#define SCHEDULE_DAY_ODD 14
#define SCHEDULE_DAY_EVEN 15
// A custom set of days: this flag plus one bit per day.
#define SCHEDULE_DAY_MASK_FLAG 0x10000
#define SCHEDULE_DAY_MASK_SUNDAY 0x4000
#define SCHEDULE_DAY_MASK_MONDAY 0x2000
#define SCHEDULE_DAY_MASK_TUESDAY 0x1000
#define SCHEDULE_DAY_MASK_WEDNESDAY 0x0800
#define SCHEDULE_DAY_MASK_THURSDAY 0x0400
#define SCHEDULE_DAY_MASK_FRIDAY 0x0200
#define SCHEDULE_DAY_MASK_SATURDAY 0x0100

// Stop types of a playlist row.
#define SCHEDULE_STOP_GRACEFUL 0
#define SCHEDULE_STOP_HARD 1
#define SCHEDULE_STOP_GRACEFUL_LOOP 2

class ScheduleEntry {
public:
    ScheduleEntry();

    // Reads one row; false (with the reason in loadError and an error log
    // line) when the row cannot be used.
    bool LoadFromJson(Json::Value& row);
    // The row in the same keys LoadFromJson reads ("day" as its number).
    Json::Value GetJson() const;

    // Appends the (start, end) times of this row for the local day that is
    // dayOffset days after the Sunday starting the current week (-1 is the
    // Saturday before), when the row's days select that day. Occurrences
    // starting before timeDeltaThreshold are moved by timeDelta seconds;
    // once the threshold has passed the delta is spent and reset to 0.
    void pushStartEndTimes(int dayOffset, int& timeDelta, time_t timeDeltaThreshold);

    // The day-of-week bits (SCHEDULE_DAY_MASK_*) a day code selects; odd
    // and even days select none here, they are decided per date.
    static int DayMaskForIndex(int dayIndex);
    // Days from 15 July 2013 (day 0, even) to the given local date.
    static long DayCountSinceOddEvenEpoch(int year, int month, int day);
    // The row's days select this local date (weekday 0 = Sunday).
    bool SelectsDate(int year, int month, int day, int weekday) const;

    // Parses "day" values: a number, a day text ("Everyday", "Weekends",
    // ...) or a mask text ("Mask: S-----S"). -1 when not understood.
    static int ParseDayIndex(const Json::Value& v);
    static std::string StopTypeText(int stopType);  // "Graceful", "Hard", "Graceful Loop"

    // The start (or end) of the row on the local date: its clock time or sun
    // time plus its offset. False when the sun does not get there that day.
    bool StartOn(int year, int month, int day, time_t& when) const;
    bool EndOn(int year, int month, int day, time_t& when) const;

    bool enabled = true;
    std::string playlist;  // empty: a command row
    bool sequence = false;
    std::string command;
    Json::Value args = Json::Value(Json::arrayValue);
    bool multisyncCommand = false;
    std::string multisyncHosts;
    int dayIndex = SCHEDULE_DAY_EVERYDAY;
    int startHour = 0;
    int startMinute = 0;
    int startSecond = 0;
    int endHour = 0;
    int endMinute = 0;
    int endSecond = 0;
    // A start or end at sunrise, sunset, dawn or dusk of the day (a SunEvent;
    // -1 for a clock time), each moved by its offset in minutes.
    int startSun = -1;
    int endSun = -1;
    int startTimeOffset = 0;
    int endTimeOffset = 0;
    bool repeat = false;
    std::vector<std::pair<time_t, time_t>> startEndTimes;
    int startDate = 0;  // YYYYMMDD; MMDD for every year; 0 with endDate 0 = always
    int endDate = 0;
    int stopType = SCHEDULE_STOP_GRACEFUL;
    std::string startTimeStr;  // "HH:MM:SS" as listed
    std::string endTimeStr;
    std::string startDateStr;  // as written in the file, for GetJson
    std::string endDateStr;
    std::string loadError;
};
