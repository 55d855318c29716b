// The smooth audio clock fed as a device would feed it: buffers taken at
// given times, positions asked for in between.

#include <gtest/gtest.h>

#include "mediaoutput/AudioClock.h"

namespace {

constexpr double BPS = 1000.0;  // 1000 bytes of song per second: a byte is a millisecond

struct Step {
    char what;        // 'T' taken, 'S' skipped, 'Q' query
    long long bytes;  // taken or skipped
    long long atUs;
    double expectMs;  // for a query
};

struct Case {
    const char* name;
    long long startByte, latencyUs;
    std::vector<Step> steps;
};

TEST(AudioClockTest, AdvancesSmoothlyBetweenBuffersNeverBackNorPastWhatWasTaken) {
    const Case cases[] = {
        {"before the first buffer it stands at the start", 2000, 0,
         {{'Q', 0, 50000, 2000}, {'T', 46, 100000, 0}, {'Q', 0, 100000, 2000}, {'Q', 0, 120000, 2020}}},
        {"between buffers it moves with the time, capped at what was taken", 0, 0,
         {{'T', 46, 0, 0}, {'Q', 0, 10000, 10}, {'Q', 0, 45000, 45}, {'Q', 0, 60000, 46}, {'T', 46, 61000, 0},
          {'Q', 0, 61000, 46}, {'Q', 0, 70000, 55}}},
        {"a buffer taken late does not pull it back", 0, 20000,
         {{'T', 46, 0, 0}, {'Q', 0, 66000, 46}, {'T', 46, 66000, 0}, {'Q', 0, 67000, 46}, {'Q', 0, 90000, 50}}},
        {"the device latency delays what is heard", 0, 20000,
         {{'T', 46, 0, 0}, {'Q', 0, 10000, 0}, {'Q', 0, 30000, 10}, {'T', 46, 46000, 0}, {'Q', 0, 60000, 40},
          {'Q', 0, 80000, 60}}},
        {"a buffer of silence only moves it to the end of the song taken", 0, 0,
         {{'T', 20, 0, 0}, {'T', 0, 46000, 0}, {'Q', 0, 80000, 20}}},
        {"audio thrown away moves it on", 0, 0,
         {{'T', 46, 0, 0}, {'Q', 0, 10000, 10}, {'S', 1000, 10000, 0}, {'Q', 0, 20000, 1020}}},
        {"an earlier moment asked after a later one gets its own answer", 0, 0,
         {{'T', 46, 0, 0}, {'Q', 0, 30000, 30}, {'Q', 0, 20000, 20}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AudioClock clock;
        double s = -1;
        EXPECT_FALSE(clock.Position(0, s)) << "nothing plays before Start";
        clock.Start(c.startByte, BPS, c.latencyUs);
        for (const Step& st : c.steps) {
            if (st.what == 'T') clock.Taken(st.bytes, st.atUs);
            if (st.what == 'S') clock.Skip(st.bytes);
            if (st.what == 'Q') {
                ASSERT_TRUE(clock.Position(st.atUs, s));
                EXPECT_NEAR(st.expectMs, s * 1000, 1e-6) << "at " << st.atUs << " us";
            }
        }
        clock.Stop();
        EXPECT_FALSE(clock.Position(1000000, s));
    }
}

}  // namespace
