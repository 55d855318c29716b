#include "services/Timers.h"

#include <vector>

#include "common.h"
#include "log.h"

Timers Timers::INSTANCE;

void Timers::updateNextFire() {
    m_nextFire = -1;
    for (auto& t : m_timers) {
        if (m_nextFire < 0 || t.second.fireTime < m_nextFire) m_nextFire = t.second.fireTime;
    }
}

void Timers::addTimer(const std::string& name, long long fireTimeMs, std::function<void()> callback) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_timers[name] = Timer{fireTimeMs, 0, callback};
    updateNextFire();
}

void Timers::addPeriodicTimer(const std::string& name, int periodMs, std::function<void()> callback) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (periodMs < 1) periodMs = 1;
    m_timers[name] = Timer{GetTimeMS() + periodMs, periodMs, callback};
    updateNextFire();
}

void Timers::stopPeriodicTimer(const std::string& name) { stopTimer(name); }

void Timers::stopTimer(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_timers.erase(name);
    updateNextFire();
}

bool Timers::hasTimers() {
    std::lock_guard<std::mutex> lock(m_lock);
    return !m_timers.empty();
}

long long Timers::nextFireTime() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_nextFire;
}

void Timers::clear() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_timers.clear();
    m_nextFire = -1;
}

void Timers::fireTimersInternal(long long nowMs) {
    std::vector<std::function<void()>> due;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (auto it = m_timers.begin(); it != m_timers.end();) {
            if (it->second.fireTime > nowMs) {
                ++it;
                continue;
            }
            due.push_back(it->second.callback);
            if (it->second.periodMs) {
                // Keep the period's phase; skip periods missed while busy.
                long long next = it->second.fireTime + it->second.periodMs;
                if (next <= nowMs) next = nowMs + it->second.periodMs;
                it->second.fireTime = next;
                ++it;
            } else {
                it = m_timers.erase(it);
            }
        }
        updateNextFire();
    }
    // Callbacks run unlocked so they may add or stop timers.
    for (auto& cb : due) {
        cb();
    }
}
