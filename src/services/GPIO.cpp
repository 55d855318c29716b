#include "services/GPIO.h"

#include <atomic>

#include "common.h"
#include "log.h"
#include "services/GPIODPins.h"
#include "services/SimulatedPins.h"
#include "settings.h"

GPIOManager GPIOManager::INSTANCE;

// Written by start-up and shut-down on the main thread before and after
// every other user; atomic so readers on other threads see it whole.
static std::atomic<PinProvider*> currentProvider{nullptr};

PinProvider::~PinProvider() {
    PinProvider* self = this;
    currentProvider.compare_exchange_strong(self, nullptr);
}

void PinCapabilities::InitGPIO(const std::string& process, PinProvider* provider) {
    LogDebug(VB_GPIO, "InitGPIO(%s)\n", process.c_str());
    if (provider) provider->init(process);
    currentProvider = provider;
}

PinCapabilities* PinCapabilities::getPinByName(const std::string& name) {
    PinProvider* p = currentProvider;
    return p ? p->getPinByName(name) : nullptr;
}

void PinCapabilities::setMultiPinValue(const std::vector<PinCapabilities*>& pins, int value) {
    if (pins.empty()) return;
    PinProvider* p = currentProvider;
    if (p) {
        p->setMultiPinValue(pins, value);
    } else {
        for (auto* pin : pins) pin->setValue(value);
    }
}

PiGPIOPinProvider::PiGPIOPinProvider() {
    std::string kind = getSetting("GPIOProvider", "gpiod");
    if (kind == "simulated") {
        m_impl = std::make_unique<SimulatedPinProvider>(getSettingInt("GPIOSimulatedPins", 64),
                                                        getKIVMediaDir("/tmp/gpio-sim.sock"),
                                                        getKIVMediaDir("/tmp/gpio-sim.json"));
    } else {
        if (kind != "gpiod") {
            LogErr(VB_GPIO, "Unknown GPIOProvider \"%s\" (use \"gpiod\" or \"simulated\"); using \"gpiod\"\n",
                   kind.c_str());
        }
        m_impl = std::make_unique<GPIODPinProvider>();
    }
}

PiGPIOPinProvider::~PiGPIOPinProvider() {}

void PiGPIOPinProvider::init(const std::string& process) { m_impl->init(process); }

PinCapabilities* PiGPIOPinProvider::getPinByName(const std::string& name) { return m_impl->getPinByName(name); }

void PiGPIOPinProvider::setMultiPinValue(const std::vector<PinCapabilities*>& pins, int value) {
    m_impl->setMultiPinValue(pins, value);
}

void PiGPIOPinProvider::addControlCallbacks(std::map<int, std::function<bool(int)>>& callbacks) {
    m_impl->addControlCallbacks(callbacks);
}

bool GPIOManager::AddGPIOCallback(PinCapabilities* pin, std::function<bool(int)> callback) {
    if (!pin) return false;
    int fd = pin->requestEventFile();
    if (fd < 0) {
        LogWarn(VB_GPIO, "Pin %s cannot report input changes\n", pin->name.c_str());
        return false;
    }
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_initialized) {
        LogWarn(VB_GPIO, "Callback for pin %s added after the main loop started; it is not watched\n",
                pin->name.c_str());
    }
    auto w = std::make_shared<Watch>();
    w->pin = pin;
    w->fd = fd;
    w->callback = std::move(callback);
    m_watches[pin] = w;
    LogDebug(VB_GPIO, "Watching pin %s on descriptor %d\n", pin->name.c_str(), fd);
    return true;
}

void GPIOManager::RemoveGPIOCallback(PinCapabilities* pin) {
    std::shared_ptr<Watch> w;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        auto it = m_watches.find(pin);
        if (it == m_watches.end()) return;
        w = it->second;
        m_watches.erase(it);
    }
    pin->releaseEventFile();
}

void GPIOManager::Initialize(std::map<int, std::function<bool(int)>>& callbacks) {
    LogDebug(VB_GPIO, "GPIOManager::Initialize()\n");
    PinProvider* p = currentProvider;
    if (p) p->addControlCallbacks(callbacks);
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto& entry : m_watches) {
        std::weak_ptr<Watch> weak = entry.second;
        callbacks[entry.second->fd] = [weak](int) {
            auto w = weak.lock();
            if (!w) return false;  // removed since
            w->pin->clearEvents();
            return w->callback(w->pin->getValue());
        };
    }
    m_initialized = true;
}

void GPIOManager::Cleanup() {
    std::map<PinCapabilities*, std::shared_ptr<Watch>> watches;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        watches.swap(m_watches);
        m_initialized = false;
    }
    for (auto& entry : watches) entry.first->releaseEventFile();
}
