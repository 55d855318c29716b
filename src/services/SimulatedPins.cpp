#include "services/SimulatedPins.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "common.h"
#include "log.h"

static constexpr size_t MAX_CONTROL_BYTES = 8192;
// A bounded share per pass of the main loop: under a flood of changes the
// watchers of the pins (and the show) still get their turn between batches;
// the socket stays readable, so the next pass comes at once.
static constexpr int CONTROL_DATAGRAMS_PER_PASS = 8;
// Under a flood of input changes the state file is rewritten at most this
// often (a sender waiting for its answer always finds it up to date).
static constexpr int STATE_WRITE_MIN_MS = 50;

SimulatedPin::~SimulatedPin() {
    if (m_eventFd >= 0) close(m_eventFd);
}

int SimulatedPin::levelLocked() const {
    if (m_output) return m_outValue;
    if (m_driven) return m_drivenValue;
    // Undriven inputs rest at their pull's level; without a pull they read 0.
    return m_mode == "gpio_pu" ? 1 : 0;
}

bool SimulatedPin::configPin(const std::string& mode, bool directionOut, int initialValue) {
    if (mode != "gpio" && mode != "gpio_pu" && mode != "gpio_pd") {
        LogErr(VB_GPIO, "Pin %s: unknown mode \"%s\"\n", name.c_str(), mode.c_str());
        return false;
    }
    std::lock_guard<std::mutex> lock(m_owner->m_lock);
    m_configured = true;
    m_output = directionOut;
    m_mode = mode;
    if (directionOut) m_outValue = initialValue ? 1 : 0;
    m_owner->writeStateLocked();
    return true;
}

int SimulatedPin::getValue() {
    std::lock_guard<std::mutex> lock(m_owner->m_lock);
    return levelLocked();
}

void SimulatedPin::setValue(int value) {
    std::lock_guard<std::mutex> lock(m_owner->m_lock);
    if (!m_output) {
        LogWarn(VB_GPIO, "Pin %s is not an output; write ignored\n", name.c_str());
        return;
    }
    int v = value ? 1 : 0;
    if (v == m_outValue) return;
    m_outValue = v;
    m_owner->writeStateLocked();
}

int SimulatedPin::requestEventFile() {
    std::lock_guard<std::mutex> lock(m_owner->m_lock);
    if (m_eventFd < 0) {
        m_eventFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (m_eventFd < 0) {
            LogErr(VB_GPIO, "Pin %s: no event descriptor: %s\n", name.c_str(), strerror(errno));
        }
    }
    return m_eventFd;
}

void SimulatedPin::clearEvents() {
    std::lock_guard<std::mutex> lock(m_owner->m_lock);
    if (m_eventFd >= 0) {
        uint64_t n;
        if (read(m_eventFd, &n, sizeof(n)) < 0) {
            // nothing pending: another pass already took it
        }
    }
}

void SimulatedPin::releaseEventFile() {
    std::lock_guard<std::mutex> lock(m_owner->m_lock);
    if (m_eventFd >= 0) {
        close(m_eventFd);
        m_eventFd = -1;
    }
}

SimulatedPinProvider::SimulatedPinProvider(int pinCount, const std::string& socketPath, const std::string& statePath)
    : m_socketPath(socketPath), m_statePath(statePath) {
    if (pinCount < 0) pinCount = 0;
    for (int i = 0; i < pinCount; ++i) {
        auto p = std::make_unique<SimulatedPin>("GPIO" + std::to_string(i), this);
        m_byName[p->name] = p.get();
        m_pins.push_back(std::move(p));
    }
}

SimulatedPinProvider::~SimulatedPinProvider() {
    if (m_writeTimer >= 0) close(m_writeTimer);
    if (m_sock >= 0) {
        close(m_sock);
        unlink(m_socketPath.c_str());
    }
}

void SimulatedPinProvider::init(const std::string& process) {
    LogInfo(VB_GPIO, "Simulated GPIO: %d pins GPIO0..GPIO%d, inputs driven through %s, state in %s\n",
            (int)m_pins.size(), (int)m_pins.size() - 1, m_socketPath.c_str(), m_statePath.c_str());
    {
        std::lock_guard<std::mutex> lock(m_lock);
        writeStateLocked();
    }
    if (m_sock >= 0 || m_socketPath.empty()) return;
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    if (m_socketPath.size() >= sizeof(addr.sun_path)) {
        LogErr(VB_GPIO, "Simulated GPIO socket path %s is too long\n", m_socketPath.c_str());
        return;
    }
    strcpy(addr.sun_path, m_socketPath.c_str());
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        LogErr(VB_GPIO, "Unable to create the simulated GPIO socket: %s\n", strerror(errno));
        return;
    }
    unlink(m_socketPath.c_str());
    if (bind(fd, (struct sockaddr*)&addr, sizeof(addr)) < 0) {
        LogErr(VB_GPIO, "Unable to bind the simulated GPIO socket %s: %s\n", m_socketPath.c_str(), strerror(errno));
        close(fd);
        return;
    }
    chmod(m_socketPath.c_str(), 0770);
    m_sock = fd;
}

PinCapabilities* SimulatedPinProvider::getPinByName(const std::string& name) {
    auto it = m_byName.find(name);
    return it == m_byName.end() ? nullptr : it->second;
}

void SimulatedPinProvider::setMultiPinValue(const std::vector<PinCapabilities*>& pins, int value) {
    std::lock_guard<std::mutex> lock(m_lock);
    bool changed = false;
    for (auto* p : pins) {
        auto it = m_byName.find(p->name);
        if (it == m_byName.end() || it->second != p) {
            continue;  // not one of ours
        }
        SimulatedPin* sp = it->second;
        if (!sp->m_output) {
            LogWarn(VB_GPIO, "Pin %s is not an output; write ignored\n", sp->name.c_str());
            continue;
        }
        int v = value ? 1 : 0;
        if (sp->m_outValue != v) {
            sp->m_outValue = v;
            changed = true;
        }
    }
    if (changed) writeStateLocked();
}

std::string SimulatedPinProvider::applyText(const std::string& text, bool writeState) {
    std::string t = text;
    for (char& c : t) {
        if (c == ',' || c == '\n' || c == '\r' || c == '\t') c = ' ';
    }
    std::vector<std::pair<SimulatedPin*, int>> changes;
    std::istringstream in(t);
    std::string item;
    while (in >> item) {
        size_t eq = item.find('=');
        if (eq == std::string::npos) {
            return "ERROR: \"" + item + "\" is not NAME=0 or NAME=1";
        }
        std::string name = item.substr(0, eq);
        std::string value = item.substr(eq + 1);
        auto it = m_byName.find(name);
        if (it == m_byName.end()) {
            return "ERROR: unknown pin " + name;
        }
        if (value != "0" && value != "1") {
            return "ERROR: level of " + name + " must be 0 or 1, not \"" + value + "\"";
        }
        changes.push_back({it->second, value == "1" ? 1 : 0});
    }
    if (changes.empty()) {
        return "ERROR: no assignments (send NAME=0 or NAME=1)";
    }
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto& c : changes) {
        if (c.first->m_output) {
            return "ERROR: " + c.first->name + " is an output";
        }
    }
    // All levels change first, then the watchers hear of it: an interrupt
    // line and the fuse lines behind it move together, as on a board.
    std::vector<SimulatedPin*> signal;
    for (auto& c : changes) {
        SimulatedPin* p = c.first;
        int before = p->levelLocked();
        p->m_driven = true;
        p->m_drivenValue = c.second;
        if (p->levelLocked() != before && p->m_eventFd >= 0) signal.push_back(p);
    }
    if (writeState) {
        writeStateLocked();
    } else {
        m_stateDirty = true;
    }
    for (auto* p : signal) {
        uint64_t one = 1;
        if (write(p->m_eventFd, &one, sizeof(one)) < 0) {
            LogWarn(VB_GPIO, "Pin %s: change not signalled: %s\n", p->name.c_str(), strerror(errno));
        }
    }
    LogDebug(VB_GPIO, "Simulated inputs: %s\n", text.c_str());
    return "OK";
}

void SimulatedPinProvider::processControl() {
    std::vector<char> buf(MAX_CONTROL_BYTES + 1);
    for (int handled = 0; m_sock >= 0 && handled < CONTROL_DATAGRAMS_PER_PASS; ++handled) {
        struct sockaddr_un from;
        socklen_t fromLen = sizeof(from);
        memset(&from, 0, sizeof(from));
        ssize_t n = recvfrom(m_sock, buf.data(), MAX_CONTROL_BYTES + 1, MSG_DONTWAIT, (struct sockaddr*)&from, &fromLen);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                LogErr(VB_GPIO, "Error reading the simulated GPIO socket: %s\n", strerror(errno));
            }
            break;
        }
        std::string answer;
        if ((size_t)n > MAX_CONTROL_BYTES) {
            answer = "ERROR: more than 8192 bytes";
        } else {
            // A flood of changes (a bouncing contact, a benchmark) writes
            // the state file once per batch, not once per datagram.
            answer = applyText(std::string(buf.data(), n), false);
        }
        if (answer != "OK") {
            LogWarn(VB_GPIO, "Simulated GPIO: %s\n", answer.c_str());
        }
        if (fromLen > sizeof(sa_family_t)) {
            // A sender that waits for the answer finds the file up to date.
            flushState();
            sendto(m_sock, answer.data(), answer.size(), MSG_DONTWAIT, (struct sockaddr*)&from, fromLen);
        }
    }
    writeStateSoon();
}

void SimulatedPinProvider::flushState() {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_stateDirty) writeStateLocked();
}

void SimulatedPinProvider::writeStateSoon() {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_stateDirty) return;
    long long since = GetTimeMS() - m_lastWrite;
    if (since >= STATE_WRITE_MIN_MS || m_writeTimer < 0) {
        writeStateLocked();
    } else if (!m_writeTimerArmed) {
        struct itimerspec spec;
        memset(&spec, 0, sizeof(spec));
        spec.it_value.tv_nsec = (STATE_WRITE_MIN_MS - since) * 1000000L;
        m_writeTimerArmed = timerfd_settime(m_writeTimer, 0, &spec, nullptr) == 0;
        if (!m_writeTimerArmed) writeStateLocked();
    }
}

void SimulatedPinProvider::addControlCallbacks(std::map<int, std::function<bool(int)>>& callbacks) {
    if (m_sock < 0) return;
    callbacks[m_sock] = [this](int) {
        processControl();
        return false;
    };
    if (m_writeTimer < 0) m_writeTimer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (m_writeTimer >= 0) {
        callbacks[m_writeTimer] = [this](int fd) {
            uint64_t expirations;
            if (read(fd, &expirations, sizeof(expirations)) < 0) {
                // not due after all
            }
            {
                std::lock_guard<std::mutex> lock(m_lock);
                m_writeTimerArmed = false;
            }
            flushState();
            return false;
        };
    }
}

void SimulatedPinProvider::writeStateLocked() {
    if (m_statePath.empty()) return;
    Json::Value pins(Json::objectValue);
    for (auto& p : m_pins) {
        if (!p->m_configured && !p->m_driven) continue;
        Json::Value v;
        v["direction"] = !p->m_configured ? "unset" : (p->m_output ? "out" : "in");
        v["mode"] = p->m_mode;
        v["value"] = p->levelLocked();
        pins[p->name] = v;
    }
    Json::Value doc;
    doc["pins"] = pins;
    // Readers poll this file: they must never see half of it. A runtime
    // file rewritten on every change: nothing needs it on the disk.
    m_stateDirty = false;
    m_lastWrite = GetTimeMS();
    std::string tmp = m_statePath + ".tmp";
    std::string text = SaveJsonToString(doc, "  ") + "\n";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && write(fd, text.data(), text.size()) == (ssize_t)text.size();
    if (fd >= 0) close(fd);
    if (!ok || rename(tmp.c_str(), m_statePath.c_str()) != 0) {
        LogWarn(VB_GPIO, "Unable to write %s\n", m_statePath.c_str());
    }
}
