#pragma once
// Named one-shot and periodic timers fired from the main loop. Any thread
// may add or stop a timer; callbacks run on the main thread.

#include <functional>
#include <map>
#include <mutex>
#include <string>

class Timers {
public:
    static Timers INSTANCE;

    void addTimer(const std::string& name, long long fireTimeMs, std::function<void()> callback);
    void addPeriodicTimer(const std::string& name, int periodMs, std::function<void()> callback);
    void stopPeriodicTimer(const std::string& name);
    void stopTimer(const std::string& name);

    bool hasTimers();
    // Earliest due time in ms (GetTimeMS clock), or -1 when none.
    long long nextFireTime();
    void fireTimersInternal(long long nowMs);
    void clear();

private:
    struct Timer {
        long long fireTime;
        int periodMs;  // 0 for one-shot
        std::function<void()> callback;
    };
    std::mutex m_lock;  // guards m_timers, m_nextFire
    std::map<std::string, Timer> m_timers;
    long long m_nextFire = -1;
    void updateNextFire();
};
