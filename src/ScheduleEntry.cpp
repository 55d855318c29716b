#include "ScheduleEntry.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "ScheduleClock.h"
#include "SunTimes.h"
#include "log.h"

namespace {

const char* DAY_TEXTS[] = {"Sunday",   "Monday",     "Tuesday",  "Wednesday", "Thursday",  "Friday",
                           "Saturday", "Everyday",   "Weekdays", "Weekends",  "Mon/Wed/Fri", "Tues-Thurs",
                           "Sun-Thurs", "Fri/Sat",   "Odd Days", "Even Days"};
// Day-of-week bits in weekday order, Sunday first.
const int DAY_BITS[7] = {SCHEDULE_DAY_MASK_SUNDAY,   SCHEDULE_DAY_MASK_MONDAY, SCHEDULE_DAY_MASK_TUESDAY,
                         SCHEDULE_DAY_MASK_WEDNESDAY, SCHEDULE_DAY_MASK_THURSDAY, SCHEDULE_DAY_MASK_FRIDAY,
                         SCHEDULE_DAY_MASK_SATURDAY};
const char DAY_LETTERS[7] = {'S', 'M', 'T', 'W', 'T', 'F', 'S'};

bool readBool(const Json::Value& v, bool def, bool& ok) {
    if (v.isNull()) return def;
    if (v.isBool()) return v.asBool();
    if (v.isIntegral()) return v.asInt64() != 0;
    if (v.isString()) {
        std::string s = v.asString();
        for (auto& c : s) c = (char)tolower((unsigned char)c);
        if (s == "true" || s == "1" || s == "yes") return true;
        if (s == "false" || s == "0" || s == "no" || s.empty()) return false;
    }
    ok = false;
    return def;
}

bool readString(const Json::Value& v, std::string& out, bool& ok) {
    if (v.isNull()) return false;
    if (!v.isString()) {
        ok = false;
        return false;
    }
    out = v.asString();
    return true;
}

// "HH:MM" or "HH:MM:SS"; hours up to maxHour (24 only as "24:00:00").
bool parseTime(const std::string& s, int maxHour, int& h, int& m, int& sec) {
    int n = 0;
    h = m = sec = 0;
    char extra;
    int fields = sscanf(s.c_str(), "%d:%d:%d%n%c", &h, &m, &sec, &n, &extra);
    if (fields == 3 && n == (int)s.size()) {
        // HH:MM:SS
    } else {
        sec = 0;
        fields = sscanf(s.c_str(), "%d:%d%n%c", &h, &m, &n, &extra);
        if (fields != 2 || n != (int)s.size()) return false;
    }
    for (char c : s) {
        if (!isdigit((unsigned char)c) && c != ':') return false;
    }
    if (h < 0 || m < 0 || m > 59 || sec < 0 || sec > 59 || h > maxHour) return false;
    if (h == 24 && (m != 0 || sec != 0)) return false;
    return true;
}

// A whole number of minutes, written as a number or numeric text, within
// -limit..limit; def when absent.
bool readMinutes(const Json::Value& v, int limit, int& out) {
    out = 0;
    if (v.isNull()) return true;
    long long m;
    if (v.isIntegral()) {
        m = v.asInt64();
    } else if (v.isString()) {
        const std::string s = v.asString();
        char* end = nullptr;
        m = strtoll(s.c_str(), &end, 10);
        if (s.empty() || *end) return false;
    } else {
        return false;
    }
    if (m < -limit || m > limit) return false;
    out = (int)m;
    return true;
}

// Offsets of sun times reach up to half a day either way.
constexpr int MAX_OFFSET_MINUTES = 720;

std::string timeText(int h, int m, int s) {
    char buf[16];
    snprintf(buf, sizeof(buf), "%02d:%02d:%02d", h, m, s);
    return buf;
}

// "YYYY-MM-DD" or "MM-DD" (every year); -1 when malformed, 0 for "".
int parseDate(const std::string& s) {
    if (s.empty()) return 0;
    int y = 0, m = 0, d = 0, n = 0;
    bool digitsOk = true;
    for (char c : s) {
        if (!isdigit((unsigned char)c) && c != '-') digitsOk = false;
    }
    if (!digitsOk) return -1;
    if (s.size() == 10 && sscanf(s.c_str(), "%4d-%2d-%2d%n", &y, &m, &d, &n) == 3 && n == 10) {
        // full date; year 0000 means every year
    } else if (s.size() == 5 && sscanf(s.c_str(), "%2d-%2d%n", &m, &d, &n) == 2 && n == 5) {
        y = 0;
    } else {
        return -1;
    }
    if (m < 1 || m > 12 || d < 1 || d > 31) return -1;
    return y * 10000 + m * 100 + d;
}

}  // namespace

ScheduleEntry::ScheduleEntry() {}

int ScheduleEntry::DayMaskForIndex(int dayIndex) {
    if (dayIndex & SCHEDULE_DAY_MASK_FLAG) return dayIndex & 0x7F00;
    switch (dayIndex) {
    case 0: case 1: case 2: case 3: case 4: case 5: case 6:
        return DAY_BITS[dayIndex];
    case SCHEDULE_DAY_EVERYDAY:
        return 0x7F00;
    case SCHEDULE_DAY_WEEKDAYS:
        return 0x3E00;
    case SCHEDULE_DAY_WEEKENDS:
        return 0x4100;
    case SCHEDULE_DAY_M_W_F:
        return SCHEDULE_DAY_MASK_MONDAY | SCHEDULE_DAY_MASK_WEDNESDAY | SCHEDULE_DAY_MASK_FRIDAY;
    case SCHEDULE_DAY_T_TH:
        return 0x1400;
    case SCHEDULE_DAY_SUN_TO_THURS:
        return 0x7C00;
    case SCHEDULE_DAY_FRI_SAT:
        return 0x0300;
    case SCHEDULE_DAY_ODD:
    case SCHEDULE_DAY_EVEN:
        return 0;
    default:
        // Unknown codes are read as a custom set of days (usually none).
        return dayIndex & 0x7F00;
    }
}

long ScheduleEntry::DayCountSinceOddEvenEpoch(int year, int month, int day) {
    // Counted on the calendar, not in seconds/86400, so the parity never
    // slips in the first hour after midnight in zones with summer time.
    return DaysFromCivil(year, month, day) - DaysFromCivil(2013, 7, 15);
}

bool ScheduleEntry::SelectsDate(int year, int month, int day, int weekday) const {
    if (dayIndex == SCHEDULE_DAY_ODD || dayIndex == SCHEDULE_DAY_EVEN) {
        long count = DayCountSinceOddEvenEpoch(year, month, day);
        bool odd = (count % 2) != 0;
        return dayIndex == SCHEDULE_DAY_ODD ? odd : !odd;
    }
    return (DayMaskForIndex(dayIndex) & DAY_BITS[weekday]) != 0;
}

int ScheduleEntry::ParseDayIndex(const Json::Value& v) {
    if (v.isIntegral()) {
        int d = v.asInt();
        if ((d >= 0 && d <= 15) || ((d & SCHEDULE_DAY_MASK_FLAG) && (d & ~(SCHEDULE_DAY_MASK_FLAG | 0x7F00)) == 0)) {
            return d;
        }
        return -1;
    }
    if (!v.isString()) return -1;
    std::string s = v.asString();
    for (int i = 0; i < 16; ++i) {
        if (strcasecmp(s.c_str(), DAY_TEXTS[i]) == 0) return i;
    }
    // "Mask: SMTWTFS" with '-' for days left out, as the listing shows it.
    const std::string prefix = "Mask: ";
    std::string m = s.compare(0, prefix.size(), prefix) == 0 ? s.substr(prefix.size()) : "";
    if (m.size() == 7) {
        int mask = SCHEDULE_DAY_MASK_FLAG;
        for (int i = 0; i < 7; ++i) {
            if (toupper((unsigned char)m[i]) == DAY_LETTERS[i]) {
                mask |= DAY_BITS[i];
            } else if (m[i] != '-') {
                return -1;
            }
        }
        return mask;
    }
    return -1;
}

std::string ScheduleEntry::StopTypeText(int stopType) {
    switch (stopType) {
    case SCHEDULE_STOP_HARD:
        return "Hard";
    case SCHEDULE_STOP_GRACEFUL_LOOP:
        return "Graceful Loop";
    default:
        return "Graceful";
    }
}

bool ScheduleEntry::LoadFromJson(Json::Value& row) {
    loadError.clear();
    auto fail = [this](const std::string& why) {
        loadError = why;
        LogErr(VB_SCHEDULE, "Invalid schedule row: %s\n", why.c_str());
        return false;
    };
    if (!row.isObject()) return fail("a row must be a JSON object");

    bool ok = true;
    enabled = readBool(row["enabled"], true, ok);
    if (!ok) return fail("\"enabled\" must be true or false");
    playlist.clear();
    command.clear();
    readString(row["playlist"], playlist, ok);
    if (!ok) return fail("\"playlist\" must be a string");
    sequence = readBool(row["sequence"], false, ok);
    if (!ok) return fail("\"sequence\" must be true or false");
    readString(row["command"], command, ok);
    if (!ok) return fail("\"command\" must be a string");
    if (playlist.empty() && command.empty()) return fail("the row names neither a \"playlist\" nor a \"command\"");
    if (!playlist.empty() && !command.empty()) {
        return fail("the row names both a \"playlist\" and a \"command\" ('" + playlist + "', '" + command + "')");
    }
    std::string what = playlist.empty() ? "command '" + command + "'" : "playlist '" + playlist + "'";

    args = row.isMember("args") ? row["args"] : Json::Value(Json::arrayValue);
    if (!args.isArray()) return fail(what + ": \"args\" must be an array");
    multisyncCommand = readBool(row["multisyncCommand"], false, ok);
    if (!ok) return fail(what + ": \"multisyncCommand\" must be true or false");
    multisyncHosts.clear();
    readString(row["multisyncHosts"], multisyncHosts, ok);
    if (!ok) return fail(what + ": \"multisyncHosts\" must be a string");

    dayIndex = row.isMember("day") ? ParseDayIndex(row["day"]) : SCHEDULE_DAY_EVERYDAY;
    if (dayIndex < 0) return fail(what + ": \"day\" is not a day code, day text or \"Mask: SMTWTFS\" text");

    std::string st, et;
    SunEvent sun;
    startSun = endSun = -1;
    double latitude, longitude;
    bool located = ScheduleLocation(latitude, longitude);
    auto needsPlace = [&](const char* key, SunEvent e) {
        return fail(what + ": \"" + key + "\" " + SunEventName(e) +
                    " needs the settings \"Latitude\" and \"Longitude\" (degrees, north and east positive)");
    };
    if (readString(row["startTime"], st, ok) && ParseSunEvent(st, sun)) {
        if (!located) return needsPlace("startTime", sun);
        startSun = (int)sun;
        startHour = startMinute = startSecond = 0;
        startTimeStr = SunEventName(sun);
    } else if (!ok || !parseTime(st, 23, startHour, startMinute, startSecond)) {
        return fail(what + ": \"startTime\" must be \"HH:MM:SS\", \"HH:MM\", \"SunRise\", \"SunSet\", \"Dawn\" or \"Dusk\"");
    } else {
        startTimeStr = timeText(startHour, startMinute, startSecond);
    }
    if (!readMinutes(row["startTimeOffset"], MAX_OFFSET_MINUTES, startTimeOffset)) {
        return fail(what + ": \"startTimeOffset\" must be a whole number of minutes from -720 to 720");
    }
    if (!playlist.empty()) {
        if (readString(row["endTime"], et, ok) && ParseSunEvent(et, sun)) {
            if (!located) return needsPlace("endTime", sun);
            endSun = (int)sun;
            endHour = endMinute = endSecond = 0;
            endTimeStr = SunEventName(sun);
        } else if (!ok || !parseTime(et, 24, endHour, endMinute, endSecond)) {
            return fail(what + ": \"endTime\" must be \"HH:MM:SS\" or \"HH:MM\" (\"24:00:00\" for midnight), "
                               "\"SunRise\", \"SunSet\", \"Dawn\" or \"Dusk\"");
        } else {
            endTimeStr = timeText(endHour, endMinute, endSecond);
        }
        if (!readMinutes(row["endTimeOffset"], MAX_OFFSET_MINUTES, endTimeOffset)) {
            return fail(what + ": \"endTimeOffset\" must be a whole number of minutes from -720 to 720");
        }
    } else {
        endHour = startHour;
        endMinute = startMinute;
        endSecond = startSecond;
        endSun = -1;
        endTimeOffset = 0;
        endTimeStr.clear();
    }

    startDateStr.clear();
    endDateStr.clear();
    readString(row["startDate"], startDateStr, ok);
    readString(row["endDate"], endDateStr, ok);
    if (!ok) return fail(what + ": \"startDate\" and \"endDate\" must be strings");
    startDate = parseDate(startDateStr);
    endDate = parseDate(endDateStr);
    if (startDate < 0) return fail(what + ": \"startDate\" must be \"YYYY-MM-DD\" or \"MM-DD\"");
    if (endDate < 0) return fail(what + ": \"endDate\" must be \"YYYY-MM-DD\" or \"MM-DD\"");
    // One end of the range given: the other is open.
    if (startDate == 0 && endDate != 0) startDate = endDate >= 10000 ? 10101 : 101;
    if (endDate == 0 && startDate != 0) endDate = startDate >= 10000 ? 99991231 : 1231;
    if (startDate >= 10000 && endDate >= 10000 && endDate < startDate) {
        return fail(what + ": \"endDate\" " + endDateStr + " is before \"startDate\" " + startDateStr);
    }

    repeat = readBool(row["repeat"], false, ok);
    if (!ok) return fail(what + ": \"repeat\" must be true or false");

    const Json::Value& stv = row["stopType"];
    stopType = SCHEDULE_STOP_GRACEFUL;
    if (stv.isIntegral() && stv.asInt() >= 0 && stv.asInt() <= 2) {
        stopType = stv.asInt();
    } else if (stv.isString() && strcasecmp(stv.asCString(), "Graceful") == 0) {
        stopType = SCHEDULE_STOP_GRACEFUL;
    } else if (stv.isString() && strcasecmp(stv.asCString(), "Hard") == 0) {
        stopType = SCHEDULE_STOP_HARD;
    } else if (stv.isString() && strcasecmp(stv.asCString(), "Graceful Loop") == 0) {
        stopType = SCHEDULE_STOP_GRACEFUL_LOOP;
    } else if (!stv.isNull()) {
        return fail(what + ": \"stopType\" must be 0, 1, 2, \"Graceful\", \"Hard\" or \"Graceful Loop\"");
    }
    startEndTimes.clear();
    return true;
}

Json::Value ScheduleEntry::GetJson() const {
    Json::Value v;
    v["enabled"] = enabled;
    v["playlist"] = playlist;
    v["sequence"] = sequence;
    v["command"] = command;
    v["args"] = args;
    v["multisyncCommand"] = multisyncCommand;
    v["multisyncHosts"] = multisyncHosts;
    v["day"] = dayIndex;
    v["startTime"] = startTimeStr;
    v["endTime"] = endTimeStr;
    v["startTimeOffset"] = startTimeOffset;
    v["endTimeOffset"] = endTimeOffset;
    v["startDate"] = startDateStr;
    v["endDate"] = endDateStr;
    v["repeat"] = repeat;
    v["stopType"] = stopType;
    return v;
}

// Day d + 1 may be the first of the next month: normalised through the
// calendar like every other day here.
static bool TimeOn(int sunEvent, int hour, int minute, int second, int offsetMinutes, int year, int month, int day,
                   time_t& when) {
    if (sunEvent >= 0) {
        double latitude, longitude;
        struct tm t = {};
        t.tm_year = year - 1900;
        t.tm_mon = month - 1;
        t.tm_mday = day;
        t.tm_hour = 12;
        t.tm_isdst = -1;
        mktime(&t);
        if (!ScheduleLocation(latitude, longitude) ||
            !SunEventTime((SunEvent)sunEvent, latitude, longitude, t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, when)) {
            return false;
        }
    } else {
        when = LocalTime(year, month, day, hour, minute, second);
    }
    when += (time_t)offsetMinutes * 60;
    return true;
}

bool ScheduleEntry::StartOn(int year, int month, int day, time_t& when) const {
    return TimeOn(startSun, startHour, startMinute, startSecond, startTimeOffset, year, month, day, when);
}

bool ScheduleEntry::EndOn(int year, int month, int day, time_t& when) const {
    return TimeOn(endSun, endHour, endMinute, endSecond, endTimeOffset, year, month, day, when);
}

void ScheduleEntry::pushStartEndTimes(int dayOffset, int& timeDelta, time_t timeDeltaThreshold) {
    time_t now = ScheduleClock::Now();
    struct tm today;
    localtime_r(&now, &today);

    // The day asked for, at noon so that a summer-time change on it cannot
    // move it to a neighbouring date while mktime normalises.
    struct tm day = {};
    day.tm_year = today.tm_year;
    day.tm_mon = today.tm_mon;
    day.tm_mday = today.tm_mday - today.tm_wday + dayOffset;
    day.tm_hour = 12;
    day.tm_isdst = -1;
    mktime(&day);
    int y = day.tm_year + 1900, m = day.tm_mon + 1, d = day.tm_mday;
    if (!SelectsDate(y, m, d, day.tm_wday)) return;

    time_t start;
    if (!StartOn(y, m, d, start)) {
        LogDebug(VB_SCHEDULE, "No %s on %04d-%02d-%02d at the configured place: '%s' does not start that day\n",
                 startTimeStr.c_str(), y, m, d, playlist.empty() ? command.c_str() : playlist.c_str());
        return;
    }
    time_t end = start;
    if (!playlist.empty()) {
        if (startSun < 0 && endSun < 0 && startTimeOffset == 0 && endTimeOffset == 0) {
            int startSecs = startHour * 3600 + startMinute * 60 + startSecond;
            int endSecs = endHour * 3600 + endMinute * 60 + endSecond;
            // An end at or before the start is on the next day.
            end = LocalTime(y, m, endSecs <= startSecs ? d + 1 : d, endHour, endMinute, endSecond);
        } else if (!EndOn(y, m, d, end) || end <= start) {
            // The end that comes after the start: the same day's, else the next day's.
            if (!EndOn(y, m, d + 1, end) || end <= start) {
                LogDebug(VB_SCHEDULE, "No %s after the start on %04d-%02d-%02d: '%s' does not play that day\n",
                         endTimeStr.c_str(), y, m, d, playlist.c_str());
                return;
            }
        }
    }

    if (timeDelta != 0 && timeDeltaThreshold < now) {
        timeDelta = 0;  // the extension window is over
    }
    if (timeDelta != 0 && start < timeDeltaThreshold) {
        start += timeDelta;
        end += timeDelta;
    }
    startEndTimes.emplace_back(start, end);
}
