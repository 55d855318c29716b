#include "localoutput/DMXSerial.h"

#include <errno.h>
#include <time.h>

#include <algorithm>
#include <cstring>

#include "localoutput/DMXEncoders.h"
#include "localoutput/OutputSettings.h"
#include "log.h"

namespace {

constexpr uint32_t USBPRO_BAUD = 57600;  // the widget ignores it; raw bytes matter
constexpr long long MAX_RATE = 1000;
// Receivers may let go of a universe not refreshed for a second: without
// new frames the last packet is sent again this often. It is also how
// often a device that is away is looked for.
constexpr int KEEP_ALIVE_MS = 800;

long long monotonicUs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

// Sleeps at least us microseconds (never less: DMX timing has minimums).
void sleepUs(long long us) {
    long long until = monotonicUs() + us;
    struct timespec ts = {(time_t)(until / 1000000), (long)(until % 1000000) * 1000};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// A device named by its /dev/serial/by-id name or by a path.
std::string serialPath(const std::string& name) {
    return OutputSettings::DevicePath(name, {"/dev/serial/by-id", "/dev"});
}

void sleepUntilUs(long long until) {
    if (until > monotonicUs()) sleepUs(until - monotonicUs());
}

}  // namespace

DMXSerialOutput::DMXSerialOutput(unsigned int startChannel, unsigned int channelCount, LocalDevice& io)
    : ThreadedChannelOutput(startChannel, channelCount), m_io(io) {}

DMXSerialOutput::~DMXSerialOutput() {}

int DMXSerialOutput::Init(Json::Value config) {
    auto fail = [](const std::string& why) {
        LogErr(VB_CHANNELOUT, "DMXSerial: %s\n", why.c_str());
        return 0;
    };
    if (!config["device"].isString() || config["device"].asString().empty()) {
        return fail("\"device\" (a serial port such as /dev/ttyUSB0, or its name in /dev/serial/by-id) is missing");
    }
    m_deviceName = config["device"].asString();
    std::string protocol = config["protocol"].isString() ? config["protocol"].asString() : "";
    if (protocol == "USBPro") {
        m_protocol = Protocol::UsbPro;
    } else if (protocol == "OpenDMX") {
        m_protocol = Protocol::OpenDmx;
    } else {
        return fail("\"protocol\" must be USBPro or OpenDMX");
    }
    if (m_channelCount < 1 || m_channelCount > DMX_MAX_CHANNELS) {
        return fail("\"channelCount\" must be from 1 to 512 (one universe), not " + std::to_string(m_channelCount));
    }
    int fastest = 1000000 / DmxPacketMicros(m_channelCount);
    long long rate;
    std::string error;
    if (!OutputSettings::Int(config, "refreshRate", fastest, 1, MAX_RATE, rate, error)) return fail(error);
    if (rate > fastest) {
        LogInfo(VB_CHANNELOUT, "DMXSerial: %d channels go out at most %d times a second, not %lld\n", m_channelCount,
                fastest, rate);
        rate = fastest;
    }
    m_intervalUs = (int)((1000000 + rate - 1) / rate);

    std::string path = serialPath(m_deviceName);
    std::string why;
    DeviceKind kind = m_io.Probe(path, why);
    if (kind != DeviceKind::Missing && kind != DeviceKind::Serial) {
        return fail(path + " is not a serial port (tty) but " + DeviceKindName(kind) + (why.empty() ? "" : ": ") + why);
    }
    m_conn = std::make_unique<DeviceConnection>(
        m_io, "DMXSerial", m_deviceName, [this] { return serialPath(m_deviceName); },
        [this](int fd) { return setupDevice(fd); });
    if (kind == DeviceKind::Missing) {
        // A USB interface comes and goes: it is waited for.
        m_conn->Missing(why);
    } else {
        int rc = m_conn->Open();
        if (rc < 0) {
            m_conn.reset();
            return fail(path + " cannot be used: " + strerror(-rc));
        }
    }
    m_useDoubleBuffer = 1;
    m_maxWait = KEEP_ALIVE_MS;
    return ThreadedChannelOutput::Init(config);
}

int DMXSerialOutput::Close() {
    int rc = ThreadedChannelOutput::Close();
    m_conn.reset();
    return rc;
}

int DMXSerialOutput::setupDevice(int fd) {
    if (m_protocol == Protocol::OpenDmx) return m_io.SerialSetup(fd, DMX_BAUD, true);
    return m_io.SerialSetup(fd, USBPRO_BAUD, false);
}

void DMXSerialOutput::sendPacket() {
    long long start = monotonicUs();
    int fd = m_conn->Fd();
    int rc = 0;
    const char* what = "a write";
    if (m_protocol == Protocol::OpenDmx) {
        what = "a break";
        rc = m_io.SetBreak(fd, true);
        if (rc == 0) {
            sleepUs(DMX_BREAK_US);
            rc = m_io.SetBreak(fd, false);
            sleepUs(DMX_MARK_AFTER_BREAK_US);
        }
    }
    if (rc == 0) {
        what = "a write";
        rc = m_conn->WriteAll(m_packet.data(), m_packet.size(), [this] { return m_runThread != 0; });
    }
    if (rc == 0 && m_protocol == Protocol::OpenDmx) {
        // The next break must not cut this packet short.
        what = "a drain";
        rc = m_io.Drain(fd);
    }
    if (rc < 0 && rc != -ETIMEDOUT) m_conn->Failed(rc, what);
    // Waited out here, not before the next packet: frames handed over
    // meanwhile replace each other, and the newest goes next.
    sleepUntilUs(start + m_intervalUs);
}

int DMXSerialOutput::DeviceSendData(unsigned char* channelData) {
    if (m_protocol == Protocol::OpenDmx) {
        EncodeDmxPacket(channelData, m_channelCount, m_packet);
    } else {
        EncodeUsbProDmx(channelData, m_channelCount, m_packet);
    }
    if (!m_conn || !m_conn->Ready()) return 0;
    sendPacket();
    return m_channelCount;
}

void DMXSerialOutput::WaitTimedOut() {
    if (!m_conn || !m_conn->Ready() || m_packet.empty()) return;
    sendPacket();
}

void DMXSerialOutput::GetRequiredChannelRanges(const std::function<void(int, int)>& add) {
    add(m_startChannel, m_startChannel + m_channelCount - 1);
}

void DMXSerialOutput::DumpConfig() {
    ThreadedChannelOutput::DumpConfig();
    LogDebug(VB_CHANNELOUT, "    Device           : %s\n", m_deviceName.c_str());
    LogDebug(VB_CHANNELOUT, "    Protocol         : %s\n", m_protocol == Protocol::UsbPro ? "USBPro" : "OpenDMX");
    LogDebug(VB_CHANNELOUT, "    Packet interval  : %d us\n", m_intervalUs);
}

ChannelOutput* DMXSerialPlugin::createChannelOutput(unsigned int startChannel, unsigned int channelCount) {
    return new DMXSerialOutput(startChannel, channelCount);
}

extern "C" {
KIVPlugins::Plugin* createPlugin() { return new DMXSerialPlugin(); }
}
