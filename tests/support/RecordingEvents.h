#pragma once
// An event handler that records what is published ("topic=payload", and
// "topic=#value" for numbers), in order; register it with
// Events::AddEventHandler for the test's life.

#include <mutex>
#include <string>
#include <vector>

#include "Events.h"

namespace kivtest {

class RecordingHandler : public EventHandler {
public:
    bool Publish(const std::string& topic, const std::string& payload) override {
        std::lock_guard<std::mutex> l(m_lock);
        m_events.push_back(topic + "=" + payload);
        return true;
    }
    bool Publish(const std::string& topic, int value) override {
        std::lock_guard<std::mutex> l(m_lock);
        m_events.push_back(topic + "=#" + std::to_string(value));
        return true;
    }
    void RegisterCallback(const std::string&) override {}
    void RemoveCallback(const std::string&) override {}
    void PrepareForShutdown() override {}
    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> l(m_lock);
        return m_events;
    }
    // The recorded events whose topic starts with prefix.
    std::vector<std::string> Events(const std::string& prefix) {
        std::lock_guard<std::mutex> l(m_lock);
        std::vector<std::string> out;
        for (auto& e : m_events) {
            if (e.compare(0, prefix.size(), prefix) == 0) out.push_back(e);
        }
        return out;
    }
    void Clear() {
        std::lock_guard<std::mutex> l(m_lock);
        m_events.clear();
    }

private:
    std::mutex m_lock;  // guards m_events
    std::vector<std::string> m_events;
};

}  // namespace kivtest
