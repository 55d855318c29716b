#include "services/GPIODPins.h"

#include <gpiod.h>

#include <cerrno>
#include <cstring>

#include "log.h"

GPIODPin::GPIODPin(const std::string& name, gpiod_line* line, const std::string& consumer)
    : PinCapabilities(name), m_line(line), m_consumer(consumer) {}

GPIODPin::~GPIODPin() {
    if (m_requested) gpiod_line_release(m_line);
    gpiod_line_close_chip(m_line);
}

bool GPIODPin::requestLocked(int type, int initialValue) {
    if (m_requested) {
        gpiod_line_release(m_line);
        m_requested = false;
    }
    struct gpiod_line_request_config cfg;
    memset(&cfg, 0, sizeof(cfg));
    cfg.consumer = m_consumer.c_str();
    cfg.request_type = type;
    cfg.flags = m_flags;
    if (gpiod_line_request(m_line, &cfg, initialValue ? 1 : 0) != 0) {
        LogErr(VB_GPIO, "Unable to set up pin %s: %s\n", name.c_str(), strerror(errno));
        return false;
    }
    m_requested = true;
    return true;
}

bool GPIODPin::configPin(const std::string& mode, bool directionOut, int initialValue) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (mode == "gpio_pu") {
        m_flags = GPIOD_LINE_REQUEST_FLAG_BIAS_PULL_UP;
    } else if (mode == "gpio_pd") {
        m_flags = GPIOD_LINE_REQUEST_FLAG_BIAS_PULL_DOWN;
    } else if (mode == "gpio") {
        m_flags = 0;
    } else {
        LogErr(VB_GPIO, "Pin %s: unknown mode \"%s\"\n", name.c_str(), mode.c_str());
        return false;
    }
    m_output = directionOut;
    m_events = false;
    return requestLocked(directionOut ? GPIOD_LINE_REQUEST_DIRECTION_OUTPUT : GPIOD_LINE_REQUEST_DIRECTION_INPUT,
                         initialValue);
}

int GPIODPin::getValue() {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_requested && !requestLocked(GPIOD_LINE_REQUEST_DIRECTION_INPUT, 0)) return 0;
    int v = gpiod_line_get_value(m_line);
    return v > 0 ? 1 : 0;
}

void GPIODPin::setValue(int value) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_requested || !m_output) {
        LogWarn(VB_GPIO, "Pin %s is not an output; write ignored\n", name.c_str());
        return;
    }
    if (gpiod_line_set_value(m_line, value ? 1 : 0) != 0) {
        LogErr(VB_GPIO, "Unable to drive pin %s: %s\n", name.c_str(), strerror(errno));
    }
}

int GPIODPin::requestEventFile() {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_output) {
        LogWarn(VB_GPIO, "Pin %s is an output and reports no changes\n", name.c_str());
        return -1;
    }
    if (!m_events || !m_requested) {
        // Events need their own request of the line, with the same pull.
        if (!requestLocked(GPIOD_LINE_REQUEST_EVENT_BOTH_EDGES, 0)) return -1;
        m_events = true;
    }
    return gpiod_line_event_get_fd(m_line);
}

void GPIODPin::clearEvents() {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_events || !m_requested) return;
    struct gpiod_line_event ev[16];
    int fd = gpiod_line_event_get_fd(m_line);
    // One read takes every queued edge; the callback reads the level after.
    if (fd >= 0 && gpiod_line_event_read_fd_multiple(fd, ev, 16) < 0 && errno != EAGAIN) {
        LogWarn(VB_GPIO, "Pin %s: reading events failed: %s\n", name.c_str(), strerror(errno));
    }
}

void GPIODPin::releaseEventFile() {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_events && m_requested) {
        m_events = false;
        requestLocked(GPIOD_LINE_REQUEST_DIRECTION_INPUT, 0);
    }
}

GPIODPinProvider::GPIODPinProvider() {}
GPIODPinProvider::~GPIODPinProvider() {}

void GPIODPinProvider::init(const std::string& process) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_consumer = process;
    LogDebug(VB_GPIO, "GPIO through libgpiod %s\n", gpiod_version_string());
}

PinCapabilities* GPIODPinProvider::getPinByName(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_pins.find(name);
    if (it != m_pins.end()) return it->second.get();
    gpiod_line* line = nullptr;
    size_t colon = name.rfind(':');
    if (colon != std::string::npos && colon + 1 < name.size() && name.size() - colon <= 9 &&
        name.find_first_not_of("0123456789", colon + 1) == std::string::npos) {
        line = gpiod_line_get(name.substr(0, colon).c_str(), (unsigned)std::stoul(name.substr(colon + 1)));
    }
    if (!line) line = gpiod_line_find(name.c_str());
    if (!line) return nullptr;
    auto pin = std::make_unique<GPIODPin>(name, line, m_consumer);
    GPIODPin* p = pin.get();
    m_pins[name] = std::move(pin);
    return p;
}
