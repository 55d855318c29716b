#include "services/GPIO.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

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

void GPIOManager::watchLocked(const Watch& w, int op) {
    if (m_epoll < 0) return;
    struct epoll_event ev;
    memset(&ev, 0, sizeof(ev));
    ev.events = w.paused ? 0u : (uint32_t)EPOLLIN;
    ev.data.fd = w.fd;
    if (epoll_ctl(m_epoll, op, w.fd, &ev) < 0) {
        LogErr(VB_GPIO, "Pin %s: cannot watch its descriptor %d: %s\n", w.pin->name.c_str(), w.fd, strerror(errno));
    }
}

bool GPIOManager::AddGPIOCallback(PinCapabilities* pin, std::function<bool(int)> callback) {
    if (!pin) return false;
    int fd = pin->requestEventFile();
    if (fd < 0) {
        LogWarn(VB_GPIO, "Pin %s cannot report input changes\n", pin->name.c_str());
        return false;
    }
    std::lock_guard<std::mutex> lock(m_lock);
    auto old = m_watches.find(pin);
    if (old != m_watches.end()) {
        watchLocked(*old->second, EPOLL_CTL_DEL);
        m_byFd.erase(old->second->fd);
    }
    auto w = std::make_shared<Watch>();
    w->pin = pin;
    w->fd = fd;
    w->callback = std::move(callback);
    m_watches[pin] = w;
    m_byFd[fd] = w;
    watchLocked(*w, EPOLL_CTL_ADD);
    LogDebug(VB_GPIO, "Watching pin %s on descriptor %d\n", pin->name.c_str(), fd);
    return true;
}

void GPIOManager::RemoveGPIOCallback(PinCapabilities* pin) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        auto it = m_watches.find(pin);
        if (it == m_watches.end()) return;
        watchLocked(*it->second, EPOLL_CTL_DEL);
        m_byFd.erase(it->second->fd);
        m_watches.erase(it);
    }
    pin->releaseEventFile();
}

void GPIOManager::PauseGPIOCallback(PinCapabilities* pin) {
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_watches.find(pin);
    if (it == m_watches.end() || it->second->paused) return;
    it->second->paused = true;
    watchLocked(*it->second, EPOLL_CTL_MOD);
}

void GPIOManager::ResumeGPIOCallback(PinCapabilities* pin) {
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_watches.find(pin);
    if (it == m_watches.end() || !it->second->paused) return;
    it->second->paused = false;
    watchLocked(*it->second, EPOLL_CTL_MOD);
}

bool GPIOManager::serveReady() {
    struct epoll_event events[16];
    int n;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        n = m_epoll < 0 ? 0 : epoll_wait(m_epoll, events, 16, 0);
    }
    bool force = false;
    for (int i = 0; i < n; ++i) {
        std::shared_ptr<Watch> w;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            auto it = m_byFd.find(events[i].data.fd);
            if (it != m_byFd.end()) w = it->second.lock();
        }
        if (!w) continue;  // removed since
        // Called without the lock: a callback may pause or remove its pin.
        w->pin->clearEvents();
        force |= w->callback(w->pin->getValue());
    }
    return force;
}

void GPIOManager::Initialize(std::map<int, std::function<bool(int)>>& callbacks) {
    LogDebug(VB_GPIO, "GPIOManager::Initialize()\n");
    PinProvider* p = currentProvider;
    if (p) p->addControlCallbacks(callbacks);
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_epoll < 0) {
        m_epoll = epoll_create1(EPOLL_CLOEXEC);
        if (m_epoll < 0) {
            LogErr(VB_GPIO, "No epoll set for the pins: %s; input changes are not seen\n", strerror(errno));
            return;
        }
        for (auto& entry : m_watches) watchLocked(*entry.second, EPOLL_CTL_ADD);
    }
    callbacks[m_epoll] = [this](int) { return serveReady(); };
}

void GPIOManager::Cleanup() {
    std::map<PinCapabilities*, std::shared_ptr<Watch>> watches;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        watches.swap(m_watches);
        m_byFd.clear();
        if (m_epoll >= 0) close(m_epoll);
        m_epoll = -1;
    }
    for (auto& entry : watches) entry.first->releaseEventFile();
}
