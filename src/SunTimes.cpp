#include "SunTimes.h"

#include <strings.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <initializer_list>

#include "ScheduleClock.h"
#include "settings.h"

namespace {

constexpr double PI = 3.14159265358979323846;
double Rad(double deg) { return deg * PI / 180.0; }
double Deg(double rad) { return rad * 180.0 / PI; }

// Julian day at 0h UT of a date of the Gregorian calendar.
double JulianDay(int year, int month, int day) {
    if (month <= 2) {
        year -= 1;
        month += 12;
    }
    int a = year / 100;
    int b = 2 - a + a / 4;
    return std::floor(365.25 * (year + 4716)) + std::floor(30.6001 * (month + 1)) + day + b - 1524.5;
}

// NOAA's solar calculator (after Meeus, Astronomical Algorithms): the
// sun's declination (degrees) and the equation of time (minutes) at a
// Julian day.
void SunAt(double jd, double& declination, double& equationOfTime) {
    double t = (jd - 2451545.0) / 36525.0;  // Julian centuries since J2000
    double l0 = std::fmod(280.46646 + t * (36000.76983 + t * 0.0003032), 360.0);
    double m = 357.52911 + t * (35999.05029 - 0.0001537 * t);
    double e = 0.016708634 - t * (0.000042037 + 0.0000001267 * t);
    double c = std::sin(Rad(m)) * (1.914602 - t * (0.004817 + 0.000014 * t)) +
               std::sin(Rad(2 * m)) * (0.019993 - 0.000101 * t) + std::sin(Rad(3 * m)) * 0.000289;
    double omega = 125.04 - 1934.136 * t;
    double lambda = l0 + c - 0.00569 - 0.00478 * std::sin(Rad(omega));
    double seconds = 21.448 - t * (46.8150 + t * (0.00059 - t * 0.001813));
    double epsilon = 23.0 + (26.0 + seconds / 60.0) / 60.0 + 0.00256 * std::cos(Rad(omega));
    declination = Deg(std::asin(std::sin(Rad(epsilon)) * std::sin(Rad(lambda))));
    double y = std::tan(Rad(epsilon) / 2.0);
    y *= y;
    double eq = y * std::sin(2.0 * Rad(l0)) - 2.0 * e * std::sin(Rad(m)) +
                4.0 * e * y * std::sin(Rad(m)) * std::cos(2.0 * Rad(l0)) - 0.5 * y * y * std::sin(4.0 * Rad(l0)) -
                1.25 * e * e * std::sin(2.0 * Rad(m));
    equationOfTime = 4.0 * Deg(eq);
}

// Minutes after 0h UT of the day jd0 when the sun's centre crosses the
// zenith distance on the rising (or setting) side, with the sun's position
// taken at that moment (two refinements); false when it does not cross.
bool CrossingMinutes(bool rising, double jd0, double latitude, double longitude, double zenith, double& minutes) {
    minutes = 720.0;
    for (int pass = 0; pass < 3; ++pass) {
        double declination, equationOfTime;
        SunAt(jd0 + minutes / 1440.0, declination, equationOfTime);
        double arg = std::cos(Rad(zenith)) / (std::cos(Rad(latitude)) * std::cos(Rad(declination))) -
                     std::tan(Rad(latitude)) * std::tan(Rad(declination));
        if (arg < -1.0 || arg > 1.0) return false;
        double hourAngle = Deg(std::acos(arg));
        minutes = 720.0 - 4.0 * (longitude + (rising ? hourAngle : -hourAngle)) - equationOfTime;
    }
    return true;
}

bool ParseDegrees(const std::string& text, double limit, double& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    double v = strtod(text.c_str(), &end);
    while (end && (*end == ' ' || *end == '\t')) ++end;
    if (errno || !end || *end || !std::isfinite(v) || v < -limit || v > limit) return false;
    out = v;
    return true;
}

}  // namespace

bool ParseSunEvent(const std::string& text, SunEvent& event) {
    static const SunEvent all[] = {SunEvent::SunRise, SunEvent::SunSet, SunEvent::Dawn, SunEvent::Dusk};
    for (SunEvent e : all) {
        if (strcasecmp(text.c_str(), SunEventName(e)) == 0) {
            event = e;
            return true;
        }
    }
    return false;
}

const char* SunEventName(SunEvent event) {
    switch (event) {
    case SunEvent::SunRise:
        return "SunRise";
    case SunEvent::SunSet:
        return "SunSet";
    case SunEvent::Dawn:
        return "Dawn";
    default:
        return "Dusk";
    }
}

bool SunEventTime(SunEvent event, double latitude, double longitude, int year, int month, int day, time_t& when) {
    bool morning = event == SunEvent::SunRise || event == SunEvent::Dawn;
    // Sunrise and sunset: the sun's centre 50' below the horizon (its
    // radius and the usual refraction); dawn and dusk: 6 degrees (civil).
    double zenith = event == SunEvent::SunRise || event == SunEvent::SunSet ? 90.833 : 96.0;
    time_t from = LocalTime(year, month, day, morning ? 0 : 12, 0, 0);
    time_t until = LocalTime(year, month, day + 1, morning ? 0 : 12, 0, 0);
    // The crossing on the UT date of the local one, else on the UT date
    // before or after (far east and west of Greenwich the local day spans two).
    time_t utcMidnight = (time_t)(DaysFromCivil(year, month, day) * 86400L);
    for (int shift : {0, -1, 1}) {
        double minutes;
        if (!CrossingMinutes(morning, JulianDay(year, month, day) + shift, latitude, longitude, zenith, minutes)) {
            continue;
        }
        time_t t = utcMidnight + (time_t)shift * 86400 + (time_t)std::llround(minutes * 60.0);
        if (t >= from && t < until) {
            when = t;
            return true;
        }
    }
    return false;
}

bool ScheduleLocation(double& latitude, double& longitude) {
    return ParseDegrees(getSetting("Latitude"), 90.0, latitude) && ParseDegrees(getSetting("Longitude"), 180.0, longitude);
}
