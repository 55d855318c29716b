#pragma once
// A command that records its calls (its first argument, or its own name
// when it has none), for tests of what runs commands: presets, triggers,
// thresholds. Register it under any name; every instance shares the list.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "commands/Commands.h"

namespace kivtest {

class RecordCommand : public Command {
public:
    explicit RecordCommand(const std::string& name = "Record") : Command(name, "records its calls") {}
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        std::lock_guard<std::mutex> lock(m);
        calls.push_back(a.empty() ? name : a[0]);
        return std::make_unique<Result>("recorded");
    }
    static std::vector<std::string> taken() {
        std::lock_guard<std::mutex> lock(m);
        return calls;
    }
    // What was recorded, forgotten once taken.
    static std::vector<std::string> takeAll() {
        std::lock_guard<std::mutex> lock(m);
        std::vector<std::string> out;
        out.swap(calls);
        return out;
    }
    static void clear() {
        std::lock_guard<std::mutex> lock(m);
        calls.clear();
    }

private:
    inline static std::mutex m;
    inline static std::vector<std::string> calls;
};

}  // namespace kivtest
