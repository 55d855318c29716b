#pragma once
// Push buttons, motion sensors and other switches on the board's GPIO
// inputs, bound to commands: <media>/config/gpio.json (docs/gpio.md) names
// each input's pin, pull, active level and debounce time, and what runs when
// it is pressed, released or held for a time. The main loop's set-up calls
// Initialize after the output ports are registered (their pins are refused)
// and before GPIOManager::Initialize, which puts the pins' event
// descriptors in the map (gathered in one epoll set); each input also has a
// timer descriptor there for its debounce and hold times. Nothing is
// polled. kivd's shut-down calls Cleanup before GPIOManager::Cleanup.
//
// Debouncing acts on the first edge: a press runs its command in the main
// loop pass that sees the edge, then the input stops listening to its pin
// for the debounce time (GPIOManager::PauseGPIOCallback: a noisy line does
// not wake the main loop), and reads it once more when that time is over.

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <json/json.h>

class PinCapabilities;

class GPIOInputs {
public:
    static GPIOInputs INSTANCE;
    static constexpr int DEFAULT_DEBOUNCE_MS = 50;

    static std::string FilePath();  // <media>/config/gpio.json
    // Loads the file, sets up the pins and registers them with the GPIO
    // service, and adds each input's timer descriptor to the map. A bad
    // entry is refused with its reason (log and warning); the others work.
    // Returns the number of inputs that work.
    int Initialize(std::map<int, std::function<bool(int)>>& callbacks, const std::string& path = FilePath());
    // Stops watching the pins and closes the timers.
    void Cleanup();

    // [{"name", "pin", "pressed", "presses", "edges"}]: every working input,
    // for "Get GPIO Inputs" and other reporters.
    Json::Value Snapshot();

private:
    struct Action {
        std::string preset;   // run as a preset, or
        Json::Value command;  // a command document {"command", "args", ...}
        bool empty() const { return preset.empty() && command.isNull(); }
    };
    struct Input {
        std::string name;
        std::string pinName;
        PinCapabilities* pin = nullptr;
        int activeLevel = 1;
        int debounceMs = DEFAULT_DEBOUNCE_MS;
        int heldMs = 0;
        Action press, release, held;
        int timerFd = -1;
        // Main thread only, except under m_lock for Snapshot:
        bool pressed = false;
        long long lockedUntil = 0;  // GetTimeMS: the pin is ignored until then (0: not locked)
        long long heldAt = 0;       // GetTimeMS: the hold command is due then (0: none)
        long long presses = 0;
        long long edges = 0;  // changes the pin reported while listened to
    };

    std::string checkEntry(const Json::Value& e, Input& in, const std::map<std::string, std::string>& portPins);
    bool onEdge(Input& in, int level);
    bool onTimer(Input& in);
    void accept(Input& in, bool active, long long now);
    void run(Input& in, const Action& a, const char* what);
    void arm(Input& in);

    // Guards the inputs' states for Snapshot; the list itself changes only
    // in Initialize and Cleanup, on the main thread.
    std::mutex m_lock;
    std::vector<std::unique_ptr<Input>> m_inputs;
};
