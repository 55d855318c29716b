#include "ScheduleClock.h"

#include <mutex>

namespace {
std::mutex providerLock;  // guards provider
std::function<time_t()> provider;
}  // namespace

time_t ScheduleClock::Now() {
    std::lock_guard<std::mutex> lock(providerLock);
    return provider ? provider() : time(nullptr);
}

void ScheduleClock::SetProvider(std::function<time_t()> p) {
    std::lock_guard<std::mutex> lock(providerLock);
    provider = std::move(p);
}

int LocalDateInt(time_t t) {
    struct tm tm;
    localtime_r(&t, &tm);
    return (tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday;
}

time_t LocalTime(int year, int month, int day, int hour, int minute, int second) {
    struct tm tm = {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;  // let the zone rules decide, never assume
    struct tm first = tm;
    time_t t = mktime(&tm);
    if (t != (time_t)-1 && tm.tm_isdst == 0) {
        // In the hour the clocks go back the same wall-clock time happens
        // twice and mktime may pick either: take the first, in summer time.
        first.tm_isdst = 1;
        time_t earlier = mktime(&first);
        if (earlier != (time_t)-1 && earlier < t && first.tm_hour == tm.tm_hour && first.tm_min == tm.tm_min &&
            first.tm_sec == tm.tm_sec && first.tm_mday == tm.tm_mday && first.tm_isdst > 0) {
            return earlier;
        }
    }
    return t;
}

long DaysFromCivil(int y, int m, int d) {
    // Days from 1970-01-01; exact for every Gregorian date, no time zones.
    y -= m <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = (unsigned)(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + (long)doe - 719468;
}
