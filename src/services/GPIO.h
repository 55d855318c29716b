#pragma once
// The board's pins. PinCapabilities is one named pin (output, input with an
// optional pull, change events on a descriptor), looked up by name from the
// pin provider that start-up installs with PinCapabilities::InitGPIO: the
// kernel's GPIO chips through libgpiod, or a simulated board (setting
// "GPIOProvider"). GPIOManager hands input changes to callbacks through the
// main loop's descriptor map; the output monitor is its user.

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class PinCapabilities {
public:
    explicit PinCapabilities(const std::string& n) : name(n) {}
    virtual ~PinCapabilities() {}

    const std::string name;

    // mode: "gpio" (no pull), "gpio_pu" (pull-up) or "gpio_pd" (pull-down).
    // An output starts at `initialValue`, so a pin is never switched on by
    // being set up. False when the pin cannot be set up (logged).
    virtual bool configPin(const std::string& mode = "gpio", bool directionOut = true, int initialValue = 0) = 0;
    // The level read on an input, the level driven on an output (0 or 1).
    virtual int getValue() = 0;
    virtual void setValue(int value) = 0;
    // A descriptor that becomes readable when the input changes level
    // (both edges), or -1 when the pin cannot report changes.
    virtual int requestEventFile() = 0;
    // Consumes what made the event descriptor readable.
    virtual void clearEvents() = 0;
    virtual void releaseEventFile() = 0;

    // The pin of that name from the installed provider, or null.
    static PinCapabilities* getPinByName(const std::string& name);
    // Drives several pins to one level in one write where the provider can.
    static void setMultiPinValue(const std::vector<PinCapabilities*>& pins, int value);

    // Installs the provider (not owned; start-up deletes it at shut-down,
    // which uninstalls it). `process` names the pins' consumer.
    static void InitGPIO(const std::string& process, class PinProvider* provider);
};

class PinProvider {
public:
    virtual ~PinProvider();
    virtual void init(const std::string& process) {}
    virtual PinCapabilities* getPinByName(const std::string& name) = 0;
    virtual void setMultiPinValue(const std::vector<PinCapabilities*>& pins, int value) {
        for (auto* p : pins) p->setValue(value);
    }
    // Descriptors the provider itself needs served by the main loop.
    virtual void addControlCallbacks(std::map<int, std::function<bool(int)>>& callbacks) {}
};

// The board's provider, chosen by the setting "GPIOProvider": "gpiod"
// (default, the kernel's GPIO chips) or "simulated" (SimulatedPins.h).
class PiGPIOPinProvider : public PinProvider {
public:
    PiGPIOPinProvider();
    ~PiGPIOPinProvider() override;
    void init(const std::string& process) override;
    PinCapabilities* getPinByName(const std::string& name) override;
    void setMultiPinValue(const std::vector<PinCapabilities*>& pins, int value) override;
    void addControlCallbacks(std::map<int, std::function<bool(int)>>& callbacks) override;

private:
    std::unique_ptr<PinProvider> m_impl;
};

// Input change callbacks, called on the main loop's thread with the pin's
// level after the change. Pins are watched through their event
// descriptors, gathered in one epoll set that sits in the main loop's map,
// so nothing is polled and pins can be added, paused and removed while the
// loop runs.
class GPIOManager {
public:
    static GPIOManager INSTANCE;

    // Adds the provider's descriptors and the pins' epoll set to the map.
    void Initialize(std::map<int, std::function<bool(int)>>& callbacks);
    // False when the pin cannot report changes (logged).
    bool AddGPIOCallback(PinCapabilities* pin, std::function<bool(int)> callback);
    void RemoveGPIOCallback(PinCapabilities* pin);
    // Stops and restarts the delivery of a pin's changes; what changed
    // meanwhile is reported once when it restarts. A debounced input
    // pauses its pin while it ignores it, so a flood of edges on a noisy
    // line does not wake the main loop.
    void PauseGPIOCallback(PinCapabilities* pin);
    void ResumeGPIOCallback(PinCapabilities* pin);
    // Inputs without an event descriptor would be polled here; every pin
    // of both providers has one.
    void CheckGPIOInputs() {}
    // Releases the event descriptors and forgets the callbacks.
    void Cleanup();

private:
    struct Watch {
        PinCapabilities* pin = nullptr;
        int fd = -1;
        bool paused = false;
        std::function<bool(int)> callback;
    };
    // Calls the callbacks of the pins whose changes are pending.
    bool serveReady();
    void watchLocked(const Watch& w, int op);

    std::mutex m_lock;  // guards m_watches, m_byFd, m_epoll
    std::map<PinCapabilities*, std::shared_ptr<Watch>> m_watches;
    std::map<int, std::weak_ptr<Watch>> m_byFd;
    int m_epoll = -1;  // the pins' epoll set, from Initialize to Cleanup
};
