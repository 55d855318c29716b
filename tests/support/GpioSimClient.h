#pragma once
// Drives the simulated board (GPIOProvider "simulated") from a test: input
// levels through its datagram socket, output levels and pin set-up read
// from its state file; and, for in-process tests, serves a descriptor map
// the way kivd's main loop does.

#include <functional>
#include <map>
#include <string>

#include <json/json.h>

namespace kivtest {

class GpioSimClient {
public:
    // The board of the daemon using this media directory.
    explicit GpioSimClient(const std::string& mediaDir);
    ~GpioSimClient();
    // Sends "GPIO5=1 GPIO9=0" and returns the answer ("OK", "ERROR: ..."),
    // or "" when none came within timeoutMs.
    std::string send(const std::string& assignments, int timeoutMs = 5000);
    // The pin's record in the state file (null when the pin is not set up).
    Json::Value pin(const std::string& name) const;
    // Its level, or -1 when the pin is not set up.
    int level(const std::string& name) const;
    const std::string& statePath() const { return m_state; }

private:
    std::string m_socket;
    std::string m_state;
    std::string m_own;
    int m_fd = -1;
};

// Waits on every descriptor of the map for up to waitMs and calls the
// callbacks of the ready ones, again and again while something is ready,
// for at most maxPasses passes of the main loop (one wait each). Returns the
// number of callbacks run.
int serveDescriptors(std::map<int, std::function<bool(int)>>& callbacks, int waitMs, int maxPasses = 1 << 30);

}  // namespace kivtest
