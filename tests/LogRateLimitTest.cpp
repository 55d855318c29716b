#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "LogRateLimit.h"

TEST(LogRateLimit, LetsTheLimitThroughThenCountsWhatItHoldsBack) {
    LogRateLimit limit(3, 200);
    long held = -1;
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(limit.Allow(held));
        EXPECT_EQ(0, held);
    }
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(limit.Allow(held));
    usleep(250000);
    // A new window: the first line through tells how many were left out.
    EXPECT_TRUE(limit.Allow(held));
    EXPECT_EQ(5, held);
    EXPECT_TRUE(limit.Allow(held));
    EXPECT_EQ(0, held);
}

TEST(LogRateLimit, TheLastLineOfAWindowSaysTheRestAreHeldBack) {
    LogRateLimit limit(2, 200);
    long held = 0;
    bool last = true;
    ASSERT_TRUE(limit.Allow(held, &last));
    EXPECT_FALSE(last);
    ASSERT_TRUE(limit.Allow(held, &last));
    EXPECT_TRUE(last);
    EXPECT_EQ("; more bad documents this minute are not logged", LogRateLimit::Note(held, last, "bad documents"));
    EXPECT_FALSE(limit.Allow(held, &last));
    usleep(250000);
    ASSERT_TRUE(limit.Allow(held, &last));
    EXPECT_FALSE(last);
    EXPECT_EQ(" (1 more bad documents were not logged)", LogRateLimit::Note(held, last, "bad documents"));
    EXPECT_EQ("", LogRateLimit::Note(0, false, "bad documents"));
}

TEST(LogRateLimit, ThreadsTogetherNeverPassMoreThanTheLimit) {
    LogRateLimit limit(50, 60000);
    std::atomic<int> passed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            long held;
            for (int i = 0; i < 1000; ++i)
                if (limit.Allow(held)) ++passed;
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(50, passed.load());
}
