#include "localoutput/SPIPixels.h"

#include <errno.h>

#include <algorithm>
#include <cstring>

#include "OutputMonitor.h"
#include "localoutput/OutputSettings.h"
#include "log.h"

namespace {

constexpr long long MAX_CHANNELS = 8388608;
constexpr long long MAX_PIXELS = 100000;  // per string
constexpr long long MAX_NULL_PIXELS = 1000;
constexpr long long MIN_SPEED_HZ = 10000;
constexpr uint8_t SPI_MODE = 0;  // clock idles low, data read on the rising edge
constexpr int RETRY_TICK_MS = 1000;

constexpr const char* CHIP_NAMES = "WS2801, APA102, SK9822, WS2811, WS2812, WS2812B or SK6812";

}  // namespace

SPIPixelsOutput::SPIPixelsOutput(unsigned int startChannel, unsigned int channelCount, LocalDevice& io)
    : ThreadedChannelOutput(startChannel, channelCount), m_io(io) {}

SPIPixelsOutput::~SPIPixelsOutput() {}

bool SPIPixelsOutput::readConfig(const Json::Value& config) {
    std::string error;
    auto fail = [](const std::string& where, const std::string& why) {
        LogErr(VB_CHANNELOUT, "SPIPixels: %s%s\n", where.c_str(), why.c_str());
        return false;
    };
    if (!config["device"].isString() || config["device"].asString().empty()) {
        return fail("", "\"device\" (an SPI device such as /dev/spidev0.0) is missing");
    }
    m_device = OutputSettings::DevicePath(config["device"].asString(), {"/dev"});
    if (!config["chip"].isString() || !(m_chip = FindPixelChip(config["chip"].asString()))) {
        return fail("", std::string("\"chip\" must be ") + CHIP_NAMES);
    }
    long long speed;
    if (m_chip->clocked) {
        if (!OutputSettings::Int(config, "speed", m_chip->defaultSpeedHz, MIN_SPEED_HZ, m_chip->maxSpeedHz, speed,
                                 error)) {
            return fail("", error + " (Hz) for " + m_chip->name);
        }
    } else if (config.isMember("speed")) {
        return fail("", std::string("\"speed\" cannot be set for ") + m_chip->name +
                            ": the bit encoding needs its own 3.2 MHz");
    } else {
        speed = m_chip->defaultSpeedHz;
    }
    m_speedHz = (uint32_t)speed;

    const Json::Value& list = config["strings"];
    if (!list.isArray() || list.empty()) return fail("", "\"strings\" must list at least one pixel string");
    long long first = MAX_CHANNELS, end = 0;
    std::vector<long long> starts;
    for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
        const Json::Value& js = list[i];
        std::string where = "string " + std::to_string(i + 1) + ": ";
        if (!js.isObject()) return fail(where, "not a JSON object");
        PixelString s;
        std::string name, order;
        long long start, pixels, nulls, global;
        double brightness, gamma;
        bool reversed;
        if (!OutputSettings::Text(js, "name", "", name, error)) return fail(where, error);
        if (!name.empty()) where = "string " + std::to_string(i + 1) + " (" + name + "): ";
        if (!js.isMember("startChannel")) return fail(where, "\"startChannel\" is missing");
        if (!js.isMember("pixelCount")) return fail(where, "\"pixelCount\" is missing");
        if (!OutputSettings::Int(js, "startChannel", 1, 1, MAX_CHANNELS, start, error) ||
            !OutputSettings::Int(js, "pixelCount", 1, 1, MAX_PIXELS, pixels, error) ||
            !OutputSettings::Text(js, "colorOrder", m_chip->defaultOrder, order, error) ||
            !OutputSettings::Number(js, "brightness", 100, 0, 100, brightness, error) ||
            !OutputSettings::Number(js, "gamma", 1, 0.1, 5, gamma, error) ||
            !OutputSettings::Flag(js, "reversed", false, reversed, error) ||
            !OutputSettings::Int(js, "nullPixels", 0, 0, MAX_NULL_PIXELS, nulls, error) ||
            !OutputSettings::Int(js, "globalBrightness", 31, 0, 31, global, error)) {
            return fail(where, error);
        }
        if (!ParseColourOrder(order, s)) {
            return fail(where, "\"colorOrder\" must be an order of R, G and B (such as GRB), or of R, G, B and W");
        }
        if (s.channelsPerPixel == 4 && m_chip->clocked) {
            return fail(where, std::string("\"colorOrder\" ") + order + " has white, which " + m_chip->name +
                                   " pixels do not have");
        }
        if (js.isMember("globalBrightness") && m_chip->chip != PixelChip::APA102) {
            return fail(where, "\"globalBrightness\" is for APA102 and SK9822 pixels only");
        }
        long long count = pixels * s.channelsPerPixel;
        if (start - 1 + count > MAX_CHANNELS) {
            return fail(where, std::to_string(pixels) + " pixels from channel " + std::to_string(start) +
                                   " go past channel " + std::to_string(MAX_CHANNELS));
        }
        s.pixelCount = (uint32_t)pixels;
        s.nullPixels = (uint32_t)nulls;
        s.reversed = reversed;
        s.globalBrightness = (uint8_t)global;
        BuildLevels(brightness, gamma, s.levels);
        first = std::min(first, start - 1);
        end = std::max(end, start - 1 + count);
        starts.push_back(start - 1);
        m_strings.push_back(s);
        m_names.push_back(name);
    }
    // The output reads the span of all its strings; each string's offset
    // is from the span's first channel.
    m_startChannel = (unsigned int)first;
    m_channelCount = (unsigned int)(end - first);
    for (size_t i = 0; i < m_strings.size(); ++i) m_strings[i].offset = (uint32_t)(starts[i] - first);
    return true;
}

int SPIPixelsOutput::Init(Json::Value config) {
    if (!readConfig(config)) return 0;
    std::string why;
    m_kind = m_io.Probe(m_device, why);
    if (m_kind == DeviceKind::Missing) {
        LogErr(VB_CHANNELOUT, "SPIPixels: %s does not exist (is SPI switched on for the board?)\n", m_device.c_str());
        return 0;
    }
    if (m_kind != DeviceKind::SPI && m_kind != DeviceKind::Pipe && m_kind != DeviceKind::File) {
        LogErr(VB_CHANNELOUT, "SPIPixels: %s is not an SPI device but %s%s%s\n", m_device.c_str(),
               DeviceKindName(m_kind), why.empty() ? "" : ": ", why.c_str());
        return 0;
    }
    m_conn = std::make_unique<DeviceConnection>(
        m_io, "SPIPixels", m_device, [this] { return m_device; }, [this](int fd) { return setupDevice(fd); });
    int rc = m_conn->Open();
    if (rc == -ENXIO && m_kind == DeviceKind::Pipe) {
        m_conn->Missing("no program reads the FIFO");
    } else if (rc < 0) {
        LogErr(VB_CHANNELOUT, "SPIPixels: %s cannot be used: %s\n", m_device.c_str(), strerror(-rc));
        m_conn.reset();
        return 0;
    }
    size_t frameBytes = EncodedSize(m_chip->chip, m_strings);
    if (m_kind == DeviceKind::SPI) {
        m_maxTransfer = std::max<size_t>(m_io.SpiMaxTransfer(), 1);
        size_t messages = (frameBytes + m_maxTransfer - 1) / m_maxTransfer;
        if (messages > 1 && !m_chip->clocked) {
            // Between messages the data line rests low; a rest of 50 us
            // latches WS281x pixels halfway through the frame.
            LogWarn(VB_CHANNELOUT,
                    "SPIPixels: a frame of %zu bytes goes to %s in %zu messages of at most %zu bytes; %s pixels may "
                    "latch between them: raise the kernel's spidev.bufsiz to %zu or more\n",
                    frameBytes, m_device.c_str(), messages, m_maxTransfer, m_chip->name, frameBytes);
        }
    }
    m_frame.reserve(frameBytes);
    m_ports.assign(m_strings.size(), -1);
    for (size_t i = 0; i < m_strings.size(); ++i) {
        if (m_names[i].empty()) continue;
        m_ports[i] =
            OutputMonitor::INSTANCE.AttachPixelString(m_names[i], (int)(m_startChannel + m_strings[i].offset + 1),
                                                      (int)m_strings[i].pixelCount, m_strings[i].channelsPerPixel);
    }
    // The channel output thread writes the next frame into its buffer
    // while the worker still sends this one.
    m_useDoubleBuffer = 1;
    // A device that is away is looked for again even when no frames come.
    m_maxWait = RETRY_TICK_MS;
    return ThreadedChannelOutput::Init(config);
}

int SPIPixelsOutput::Close() {
    int rc = ThreadedChannelOutput::Close();
    m_conn.reset();
    return rc;
}

int SPIPixelsOutput::setupDevice(int fd) {
    return m_kind == DeviceKind::SPI ? m_io.SpiSetup(fd, SPI_MODE, m_speedHz) : 0;
}

int SPIPixelsOutput::send(const uint8_t* data, size_t len) {
    if (m_kind != DeviceKind::SPI) {
        return m_conn->WriteAll(data, len, [this] { return m_runThread != 0; });
    }
    for (size_t done = 0; done < len; done += m_maxTransfer) {
        int rc = m_io.SpiTransfer(m_conn->Fd(), data + done, std::min(m_maxTransfer, len - done), m_speedHz);
        if (rc < 0) return rc;
    }
    return 0;
}

int SPIPixelsOutput::DeviceSendData(unsigned char* channelData) {
    if (!m_conn || !m_conn->Ready()) return 0;
    for (size_t i = 0; i < m_strings.size(); ++i) {
        if (m_ports[i] >= 0) m_strings[i].dark = !OutputMonitor::INSTANCE.PortPowered(m_ports[i]);
    }
    EncodePixels(m_chip->chip, m_strings, channelData, m_frame);
    int rc = send(m_frame.data(), m_frame.size());
    // A frame cut short by the output closing is not an error.
    if (rc < 0 && rc != -ETIMEDOUT) m_conn->Failed(rc, m_kind == DeviceKind::SPI ? "an SPI transfer" : "a write");
    return m_channelCount;
}

void SPIPixelsOutput::WaitTimedOut() {
    if (m_conn) m_conn->Ready();
}

void SPIPixelsOutput::GetRequiredChannelRanges(const std::function<void(int, int)>& add) {
    for (auto& s : m_strings) {
        int first = (int)(m_startChannel + s.offset);
        add(first, first + (int)(s.pixelCount * s.channelsPerPixel) - 1);
    }
}

void SPIPixelsOutput::DumpConfig() {
    ThreadedChannelOutput::DumpConfig();
    LogDebug(VB_CHANNELOUT, "    Device           : %s (%s)\n", m_device.c_str(), DeviceKindName(m_kind));
    LogDebug(VB_CHANNELOUT, "    Chip             : %s at %u Hz\n", m_chip ? m_chip->name : "?", m_speedHz);
    for (size_t i = 0; i < m_strings.size(); ++i) {
        const PixelString& s = m_strings[i];
        LogDebug(VB_CHANNELOUT, "    String %-9zu : %s channel %u, %u pixels, %u null, %s%s\n", i + 1,
                 m_names[i].c_str(), m_startChannel + s.offset + 1, s.pixelCount, s.nullPixels,
                 s.reversed ? "reversed" : "forward", m_ports[i] >= 0 ? ", powered by a port" : "");
    }
}

ChannelOutput* SPIPixelsPlugin::createChannelOutput(unsigned int startChannel, unsigned int channelCount) {
    return new SPIPixelsOutput(startChannel, channelCount);
}

extern "C" {
KIVPlugins::Plugin* createPlugin() { return new SPIPixelsPlugin(); }
}
