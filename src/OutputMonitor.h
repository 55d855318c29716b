#pragma once
// The board's output ports (enable pins, fuses, current sensing). No port
// definitions exist for this board yet: the monitor registers nothing.

#include <functional>
#include <map>

class OutputMonitor {
public:
    static OutputMonitor INSTANCE;
    void Initialize(std::map<int, std::function<bool(int)>>& callbacks) {}
    void Cleanup() {}
};
