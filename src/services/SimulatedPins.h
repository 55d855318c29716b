#pragma once
// A simulated board for machines without GPIO: pins "GPIO0" .. "GPIO<n-1>"
// whose inputs a test or a person drives through a datagram socket
// (<media>/tmp/gpio-sim.sock, "GPIO5=1 GPIO9=0"), and whose configuration
// and levels are written to a state file (<media>/tmp/gpio-sim.json) on
// every change. Input changes reach the main loop through one event
// descriptor per watched pin. Chosen with the setting "GPIOProvider".

#include <sys/socket.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "services/GPIO.h"

class SimulatedPinProvider;

class SimulatedPin : public PinCapabilities {
public:
    SimulatedPin(const std::string& name, SimulatedPinProvider* owner) : PinCapabilities(name), m_owner(owner) {}
    ~SimulatedPin() override;

    bool configPin(const std::string& mode, bool directionOut, int initialValue) override;
    int getValue() override;
    void setValue(int value) override;
    int requestEventFile() override;
    void clearEvents() override;
    void releaseEventFile() override;

private:
    friend class SimulatedPinProvider;
    // All guarded by the provider's m_lock.
    int levelLocked() const;
    SimulatedPinProvider* m_owner;
    bool m_configured = false;
    bool m_output = false;
    std::string m_mode = "gpio";
    int m_outValue = 0;
    bool m_driven = false;  // an input level was given through the socket
    int m_drivenValue = 0;
    int m_eventFd = -1;
};

class SimulatedPinProvider : public PinProvider {
public:
    SimulatedPinProvider(int pinCount, const std::string& socketPath, const std::string& statePath);
    ~SimulatedPinProvider() override;

    // Binds the control socket and writes the first state file.
    void init(const std::string& process) override;
    PinCapabilities* getPinByName(const std::string& name) override;
    // One state-file write for the whole group.
    void setMultiPinValue(const std::vector<PinCapabilities*>& pins, int value) override;
    void addControlCallbacks(std::map<int, std::function<bool(int)>>& callbacks) override;

    // Applies one control text: assignments "NAME=0" or "NAME=1" separated
    // by blanks, commas or line feeds, all together, and signals the
    // watched inputs whose level changed. Nothing is applied when any
    // assignment is wrong. Returns "OK" or "ERROR: <reason>".
    std::string apply(const std::string& text) { return applyText(text, true); }
    // Reads the pending datagrams on the control socket (a few: the rest in
    // the next pass) and answers senders that have an address.
    void processControl();
    // Writes the state file when inputs changed since it was written.
    void flushState();

    int controlSocket() const { return m_sock; }
    const std::string& socketPath() const { return m_socketPath; }
    const std::string& statePath() const { return m_statePath; }

private:
    friend class SimulatedPin;
    // writeState false: the state file is left for the caller to write
    // (m_stateDirty), once for a batch of datagrams.
    std::string applyText(const std::string& text, bool writeState);
    // Writes the state file now, or when the write timer fires if it was
    // written a moment ago.
    void writeStateSoon();
    void writeStateLocked();

    std::mutex m_lock;  // guards every pin's fields, the state file and the members below
    std::vector<std::unique_ptr<SimulatedPin>> m_pins;
    std::map<std::string, SimulatedPin*> m_byName;
    std::string m_socketPath;
    std::string m_statePath;
    int m_sock = -1;
    bool m_stateDirty = false;  // inputs changed since the state file was written
    long long m_lastWrite = 0;  // GetTimeMS of the last write of the state file
    int m_writeTimer = -1;      // in the main loop's map once addControlCallbacks ran
    bool m_writeTimerArmed = false;
};
