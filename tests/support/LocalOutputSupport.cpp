#include "LocalOutputSupport.h"

// termios2 from the kernel's header; glibc's <termios.h> stays out of this
// unit (both declare struct termios).
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "CaptureOutput.h"
#include "TestSupport.h"

namespace kivtest {

long long ByteLog::timeOf(size_t offset) const {
    for (auto& r : reads)
        if (offset < r.first) return r.second;
    return reads.empty() ? 0 : reads.back().second;
}

ByteCollector::~ByteCollector() { stop(); }

void ByteCollector::start() {
    m_thread = std::thread([this] {
        uint8_t buf[65536];
        while (!m_stop) {
            ssize_t n = 0;
            if (m_reading) {
                std::lock_guard<std::mutex> l(m_lock);
                struct pollfd p = {m_fd, POLLIN, 0};
                if (m_fd >= 0 && poll(&p, 1, 10) > 0 && (p.revents & POLLIN)) n = read(m_fd, buf, sizeof(buf));
                if (n > 0) {
                    m_log.bytes.insert(m_log.bytes.end(), buf, buf + n);
                    m_log.reads.push_back({m_log.bytes.size(), MonotonicUs()});
                }
            }
            // Nothing, or no writer (poll says "hung up" until one opens it).
            if (n <= 0) usleep(2000);
        }
    });
}

void ByteCollector::stop() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
}

size_t ByteCollector::size() {
    std::lock_guard<std::mutex> l(m_lock);
    return m_log.bytes.size();
}

ByteLog ByteCollector::take() {
    std::lock_guard<std::mutex> l(m_lock);
    ByteLog out;
    std::swap(out, m_log);
    return out;
}

ByteLog ByteCollector::copy() {
    std::lock_guard<std::mutex> l(m_lock);
    return m_log;
}

bool ByteCollector::waitFor(size_t n, int timeoutMs) {
    return waitUntil([&] { return size() >= n; }, timeoutMs);
}

FifoReader::FifoReader(const std::string& path, bool reading, int capacity) : m_path(path) {
    m_reading = reading;
    unlink(path.c_str());
    if (mkfifo(path.c_str(), 0600) != 0) return;
    m_fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (capacity && m_fd >= 0) fcntl(m_fd, F_SETPIPE_SZ, capacity);
    start();
}

FifoReader::~FifoReader() {
    stop();
    if (m_fd >= 0) close(m_fd);
    unlink(m_path.c_str());
}

PtyDevice::PtyDevice(const std::string& link) : m_link(link) {
    plug();
    start();
}

PtyDevice::~PtyDevice() {
    stop();
    unplug();
}

bool PtyDevice::plug() {
    std::lock_guard<std::mutex> l(m_lock);
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char name[128];
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof(name)) != 0) {
        if (master >= 0) close(master);
        return false;
    }
    m_fd = master;
    m_slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    unlink(m_link.c_str());
    return symlink(name, m_link.c_str()) == 0;
}

void PtyDevice::unplug() {
    std::lock_guard<std::mutex> l(m_lock);
    unlink(m_link.c_str());
    if (m_fd >= 0) close(m_fd);
    if (m_slave >= 0) close(m_slave);
    m_fd = m_slave = -1;
}

PtyDevice::Line PtyDevice::line() {
    Line line;
    std::lock_guard<std::mutex> l(m_lock);
    struct termios2 t;
    if (m_slave < 0 || ioctl(m_slave, TCGETS2, &t) != 0) return line;
    line.baud = t.c_ospeed;
    line.dataBits = (t.c_cflag & CSIZE) == CS8 ? 8 : (t.c_cflag & CSIZE) == CS7 ? 7 : 6;
    line.stopBits = (t.c_cflag & CSTOPB) ? 2 : 1;
    line.parity = (t.c_cflag & PARENB) != 0;
    line.raw = !(t.c_oflag & OPOST) && !(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) &&
               !(t.c_iflag & (ICRNL | INLCR | IGNCR | IXON | ISTRIP)) && !(t.c_cflag & CRTSCTS);
    return line;
}

const OneWireTiming& OneWireTimingFor(const std::string& chip) {
    // T0H and T1H +- 150 ns, a bit 1.25 us +- 600 ns, and the reset.
    static const OneWireTiming timings[] = {
        {"WS2811", 0.10, 0.40, 0.45, 0.75, 0.65, 1.85, 50},  // 800 kHz mode
        {"WS2812", 0.25, 0.55, 0.65, 0.95, 0.65, 1.85, 280},
        {"SK6812", 0.15, 0.45, 0.45, 0.75, 0.65, 1.85, 80},
    };
    for (auto& t : timings)
        if (chip == t.chip) return t;
    return timings[0];
}

DecodedStream DecodeOneWire(const Bytes& spi, double spiHz, const OneWireTiming& t) {
    DecodedStream out;
    const size_t total = spi.size() * 8;
    const double bitUs = 1e6 / spiHz;
    const size_t resetBits = (size_t)std::ceil(t.resetMin / bitUs);
    auto bit = [&spi](size_t i) { return (spi[i >> 3] >> (7 - (i & 7))) & 1; };
    auto inside = [](double v, double lo, double hi) { return v >= lo - 1e-9 && v <= hi + 1e-9; };
    char why[160];
    Bytes frame;
    int bits = 0;
    uint8_t acc = 0;
    size_t pos = 0;
    while (pos < total && !bit(pos)) ++pos;  // the line rests low before the first frame
    while (pos < total) {
        size_t high = 0, low = 0;
        while (pos + high < total && bit(pos + high)) ++high;
        while (pos + high + low < total && !bit(pos + high + low)) ++low;
        bool reset = low >= resetBits;
        if (!reset && pos + high + low == total) break;  // the stream ends inside a frame
        double highUs = high * bitUs, periodUs = (high + low) * bitUs;
        bool one = inside(highUs, t.t1hMin, t.t1hMax);
        if (!one && !inside(highUs, t.t0hMin, t.t0hMax)) {
            snprintf(why, sizeof(why), "%.3f us high at SPI bit %zu is no %s 0 or 1", highUs, pos, t.chip);
        } else if (!reset && !inside(periodUs, t.bitMin, t.bitMax)) {
            snprintf(why, sizeof(why), "a bit of %.3f us at SPI bit %zu", periodUs, pos);
        } else if (reset && (bits + 1) % 8 != 0) {
            snprintf(why, sizeof(why), "a frame of %d bits ends at SPI bit %zu", bits + 1, pos);
        } else {
            why[0] = 0;
        }
        if (why[0]) {
            out.error = why;
            return out;
        }
        acc = (uint8_t)(acc << 1 | one);
        if (++bits % 8 == 0) frame.push_back(acc);
        if (reset) {
            out.frames.push_back({frame, {}, (pos + high + resetBits + 7) / 8});
            frame.clear();
            bits = 0;
        }
        pos += high + low;
    }
    return out;
}

DecodedStream DecodeAPA102(const Bytes& spi) {
    DecodedStream out;
    auto zerosFrom = [&spi](size_t at) {
        size_t z = 0;
        while (at + z < spi.size() && spi[at + z] == 0) ++z;
        return z;
    };
    char why[160];
    if (zerosFrom(0) < std::min<size_t>(4, spi.size())) out.error = "no start frame of 4 zero bytes";
    for (size_t i = 4; out.error.empty() && i < spi.size();) {
        DecodedFrame f;
        for (; i < spi.size() && spi[i] != 0; i += 4) {
            if ((spi[i] & 0xE0) != 0xE0) {
                snprintf(why, sizeof(why), "byte %02x at %zu is no pixel frame (111 and brightness)", spi[i], i);
                out.error = why;
                return out;
            }
            if (i + 4 > spi.size()) return out;  // cut off in a pixel
            f.global.push_back(spi[i] & 0x1F);
            f.bytes.insert(f.bytes.end(), spi.begin() + i + 1, spi.begin() + i + 4);
        }
        // The end frame: half a clock a pixel for the clock to reach the
        // last one, 32 zero bits for an SK9822 to latch; then the next start frame.
        size_t needed = 4 + (f.global.size() + 15) / 16, zeros = zerosFrom(i);
        bool more = i + zeros < spi.size();
        if (!more && zeros < needed) return out;  // not ended yet
        if (f.global.empty() || zeros < needed + (more ? 4 : 0)) {
            snprintf(why, sizeof(why), "%zu zeros after %zu pixels at %zu", zeros, f.global.size(), i);
            out.error = why;
            return out;
        }
        f.endOffset = i + needed;
        out.frames.push_back(f);
        i += zeros;
    }
    return out;
}

std::vector<UsbProMessage> DecodeUsbPro(const Bytes& b, std::string& error) {
    std::vector<UsbProMessage> out;
    for (size_t i = 0; i < b.size();) {
        size_t len = i + 4 <= b.size() ? (b[i + 2] | (size_t)b[i + 3] << 8) : 0;
        if (b[i] != 0x7E || (i + 5 + len <= b.size() && b[i + 4 + len] != 0xE7)) {
            error = "message framing broken at byte " + std::to_string(i);
            return out;
        }
        if (i + 4 > b.size() || i + 5 + len > b.size()) return out;
        out.push_back({b[i + 1], Bytes(b.begin() + i + 4, b.begin() + i + 4 + len), i + 5 + len});
        i += 5 + len;
    }
    return out;
}

Bytes ExpectedWire(const Json::Value& output, const uint8_t* channels, Bytes* globals) {
    std::string chip = output["chip"].asString();
    std::string defaultOrder = chip == "WS2801" || chip == "WS2811"   ? "RGB"
                               : chip == "APA102" || chip == "SK9822" ? "BGR"
                                                                      : "GRB";
    Bytes wire;
    if (globals) globals->clear();
    for (auto& string : output["strings"]) {
        std::string order = string.get("colorOrder", defaultOrder).asString();
        double brightness = string.get("brightness", 100).asDouble(), gamma = string.get("gamma", 1).asDouble();
        int pixels = string["pixelCount"].asInt(), nulls = string.get("nullPixels", 0).asInt();
        size_t per = order.size(), first = string["startChannel"].asInt() - 1;
        wire.insert(wire.end(), nulls * per, 0);
        for (int i = 0; i < pixels; ++i) {
            int p = string.get("reversed", false).asBool() ? pixels - 1 - i : i;
            for (char c : order) {
                uint8_t v = channels[first + p * per + std::string("RGBW").find(c)];
                wire.push_back((uint8_t)std::lround(255.0 * std::pow(v / 255.0, gamma) * brightness / 100.0));
            }
        }
        if (globals)
            globals->insert(globals->end(), pixels + nulls, (uint8_t)string.get("globalBrightness", 31).asInt());
    }
    return wire;
}

}  // namespace kivtest
