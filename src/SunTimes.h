#pragma once
// Sun times for the schedule: sunrise, sunset and civil dawn and dusk of a
// local date at the board's place (settings "Latitude" and "Longitude"),
// computed with NOAA's published solar algorithm. Schedule rows use them as start and end times
// ("SunRise", "SunSet", "Dawn", "Dusk"); docs/schedule.md describes them.

#include <ctime>
#include <string>

enum class SunEvent { SunRise, SunSet, Dawn, Dusk };

// "SunRise", "SunSet", "Dawn" or "Dusk", in any case; false for anything else.
bool ParseSunEvent(const std::string& text, SunEvent& event);
const char* SunEventName(SunEvent event);

// The moment of the event that belongs to the local date year-month-day:
// the morning's sunrise or dawn (searched from local midnight) and the
// evening's sunset or dusk (searched from local noon, so a sunset after
// midnight still counts for the evening before). False when the sun does
// not get there that day: it stays up or down all day (polar day, polar
// night), or, for dawn and dusk, twilight lasts all night.
bool SunEventTime(SunEvent event, double latitude, double longitude, int year, int month, int day, time_t& when);

// The settings "Latitude" (degrees north, -90 to 90) and "Longitude"
// (degrees east, -180 to 180); false when either is missing or not a number
// in range.
bool ScheduleLocation(double& latitude, double& longitude);
