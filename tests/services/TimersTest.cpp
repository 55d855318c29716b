#include <gtest/gtest.h>

#include "common.h"
#include "services/Timers.h"

namespace {

class TimersTest : public ::testing::Test {
protected:
    void TearDown() override { Timers::INSTANCE.clear(); }
};

TEST_F(TimersTest, OneShotFiresOnceWhenDue) {
    int fired = 0;
    long long now = GetTimeMS();
    Timers::INSTANCE.addTimer("once", now + 100, [&] { ++fired; });
    EXPECT_EQ(Timers::INSTANCE.nextFireTime(), now + 100);
    Timers::INSTANCE.fireTimersInternal(now + 99);
    EXPECT_EQ(fired, 0);
    Timers::INSTANCE.fireTimersInternal(now + 100);
    EXPECT_EQ(fired, 1);
    Timers::INSTANCE.fireTimersInternal(now + 500);
    EXPECT_EQ(fired, 1);
    EXPECT_FALSE(Timers::INSTANCE.hasTimers());
    EXPECT_EQ(Timers::INSTANCE.nextFireTime(), -1);
}

TEST_F(TimersTest, PeriodicKeepsPhaseAndSkipsMissedPeriods) {
    int fired = 0;
    long long start = GetTimeMS();
    Timers::INSTANCE.addPeriodicTimer("p", 1000, [&] { ++fired; });
    long long first = Timers::INSTANCE.nextFireTime();
    EXPECT_GE(first, start + 1000);
    Timers::INSTANCE.fireTimersInternal(first + 10);
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(Timers::INSTANCE.nextFireTime(), first + 1000);
    // a stall of several periods fires once, then resumes from now
    Timers::INSTANCE.fireTimersInternal(first + 5500);
    EXPECT_EQ(fired, 2);
    EXPECT_EQ(Timers::INSTANCE.nextFireTime(), first + 6500);
    Timers::INSTANCE.stopPeriodicTimer("p");
    Timers::INSTANCE.fireTimersInternal(first + 100000);
    EXPECT_EQ(fired, 2);
}

TEST_F(TimersTest, CallbackMayAddAndStopTimers) {
    int fired = 0;
    long long now = GetTimeMS();
    Timers::INSTANCE.addTimer("a", now, [&] {
        ++fired;
        Timers::INSTANCE.addTimer("b", now + 10, [&] { fired += 10; });
        Timers::INSTANCE.stopTimer("c");
    });
    Timers::INSTANCE.addTimer("c", now + 5, [&] { fired += 100; });
    Timers::INSTANCE.fireTimersInternal(now);
    Timers::INSTANCE.fireTimersInternal(now + 20);
    EXPECT_EQ(fired, 11);
}

TEST_F(TimersTest, SameNameReplacesTheTimer) {
    int a = 0, b = 0;
    long long now = GetTimeMS();
    Timers::INSTANCE.addTimer("x", now, [&] { ++a; });
    Timers::INSTANCE.addTimer("x", now, [&] { ++b; });
    Timers::INSTANCE.fireTimersInternal(now);
    EXPECT_EQ(a, 0);
    EXPECT_EQ(b, 1);
}

}  // namespace
