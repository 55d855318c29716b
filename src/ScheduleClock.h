#pragma once
// The wall clock of the scheduling code. The scheduler, its schedule rows
// and the player's slot end times all read "now" here, so tests can
// evaluate chosen instants (a fixed or stepped clock) without waiting.

#include <ctime>
#include <functional>

class ScheduleClock {
public:
    // Seconds since the epoch: the provider's answer, else time(nullptr).
    static time_t Now();
    // Installs a provider; an empty function restores the system clock.
    static void SetProvider(std::function<time_t()> provider);
};

// Local calendar helpers shared by the schedule rows and the scheduler. All
// day arithmetic goes through mktime on local broken-down times with
// tm_isdst = -1, so days that are 23 or 25 hours long come out right.

// YYYYMMDD of the local date of t.
int LocalDateInt(time_t t);
// The local time year-month-day hh:mm:ss (month 1-12; out-of-range days and
// hours are normalised by mktime, so day 0 is the last day of the month
// before and hour 24 is midnight at the end of the day). A time that does
// not exist (clocks going forward) is read as the same distance past the
// change; a time that happens twice (clocks going back) is the first one.
time_t LocalTime(int year, int month, int day, int hour, int minute, int second);
// Whole civil days from 1970-01-01 to the given date (proleptic Gregorian).
long DaysFromCivil(int year, int month, int day);
