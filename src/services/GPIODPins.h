#pragma once
// Pins of the kernel's GPIO chips through libgpiod (1.6): a pin is named
// by its line name ("GPIO17", "P9_12") or by chip and offset
// ("gpiochip0:17"). Inputs report changes on the line's event descriptor.
// The default provider on real boards (setting "GPIOProvider" "gpiod").

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "services/GPIO.h"

struct gpiod_line;

class GPIODPin : public PinCapabilities {
public:
    GPIODPin(const std::string& name, gpiod_line* line, const std::string& consumer);
    ~GPIODPin() override;

    bool configPin(const std::string& mode, bool directionOut, int initialValue) override;
    int getValue() override;
    void setValue(int value) override;
    int requestEventFile() override;
    void clearEvents() override;
    void releaseEventFile() override;

private:
    bool requestLocked(int type, int initialValue);
    std::mutex m_lock;  // guards the line's request state below
    gpiod_line* m_line;
    std::string m_consumer;
    int m_flags = 0;
    bool m_output = false;
    bool m_events = false;
    bool m_requested = false;
};

class GPIODPinProvider : public PinProvider {
public:
    GPIODPinProvider();
    ~GPIODPinProvider() override;
    void init(const std::string& process) override;
    PinCapabilities* getPinByName(const std::string& name) override;

private:
    std::mutex m_lock;  // guards m_pins, m_consumer
    std::map<std::string, std::unique_ptr<GPIODPin>> m_pins;
    std::string m_consumer = "KIVD";
};
