#pragma once
// Stand-ins for the devices of the board's own outputs, and decoders of what
// goes out on them, written from the chips' data sheets and the widget's
// protocol, independently of the outputs' encoders: a FIFO whose reader can
// stop reading; a pseudo-terminal standing in for a USB serial interface,
// unplugged and plugged back in behind a path that stays; the one-wire
// (WS281x/SK6812) pulse decoder, the APA102 frame decoder and the USB Pro
// message decoder.

#include <json/json.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kivtest {

typedef std::vector<uint8_t> Bytes;

// Bytes as they arrived, with when each read ended (MonotonicUs).
struct ByteLog {
    Bytes bytes;
    std::vector<std::pair<size_t, long long>> reads;  // end offset, time
    long long timeOf(size_t offset) const;
};

// Collects what can be read from a descriptor, on a thread of its own.
class ByteCollector {
public:
    virtual ~ByteCollector();
    size_t size();
    ByteLog take();
    ByteLog copy();
    bool waitFor(size_t n, int timeoutMs);

protected:
    void start();
    void stop();
    std::mutex m_lock;  // guards m_fd and m_log
    int m_fd = -1;
    std::atomic<bool> m_reading{true};

private:
    ByteLog m_log;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// A FIFO at path; capacity: its buffer in bytes (0: the kernel's 64 KiB).
class FifoReader : public ByteCollector {
public:
    explicit FifoReader(const std::string& path, bool reading = true, int capacity = 0);
    ~FifoReader() override;
    bool ok() const { return m_fd >= 0; }
    void setReading(bool on) { m_reading = on; }

private:
    std::string m_path;
};

// A pseudo-terminal reached through a symbolic link at `link`, as
// /dev/serial/by-id/... leads to /dev/ttyUSBn; the master side is read.
class PtyDevice : public ByteCollector {
public:
    explicit PtyDevice(const std::string& link);
    ~PtyDevice() override;
    bool plugged() const { return m_fd >= 0; }
    // Closes the master (the slave's writers get EIO) and removes the link.
    void unplug();
    // A new pseudo-terminal behind the link.
    bool plug();
    // The line settings someone set on the slave, read with termios2.
    struct Line {
        uint32_t baud = 0;
        int dataBits = 0, stopBits = 0;
        bool parity = false;
        bool raw = false;  // no output processing, echo, canonical input or flow control
    };
    Line line();

private:
    std::string m_link;
    int m_slave = -1;  // held open so the pseudo-terminal lives until the output opens it
};

// One-wire chips from their data sheets: high time of a 0 and of a 1, the
// length of a bit (us, inclusive) and the low time that latches a frame.
struct OneWireTiming {
    const char* chip;
    double t0hMin, t0hMax, t1hMin, t1hMax, bitMin, bitMax, resetMin;
};
const OneWireTiming& OneWireTimingFor(const std::string& chip);  // WS2811, WS2812, SK6812

struct DecodedFrame {
    Bytes bytes;       // data bytes (one-wire) or colour bytes (APA102), in wire order
    Bytes global;      // APA102: each pixel's 5-bit global brightness
    size_t endOffset;  // where its reset gap or end frame is complete
};
struct DecodedStream {
    std::vector<DecodedFrame> frames;
    std::string error;  // the first thing that breaks the chip's rules
};
// An SPI byte stream at spiHz as a one-wire line: each pulse measured
// against the timing, frames cut at reset gaps. A frame not yet ended by
// its reset gap (or end frame) is left out.
DecodedStream DecodeOneWire(const Bytes& spi, double spiHz, const OneWireTiming& timing);
// APA102/SK9822: start frame, pixel frames (111, global brightness, three
// colours), end frame of zeros long enough for the pixel count.
DecodedStream DecodeAPA102(const Bytes& spi);

struct UsbProMessage {
    uint8_t label;
    Bytes payload;
    size_t endOffset;
};
// 7E label len-lo len-hi payload E7, back to back; an incomplete last one is left out.
std::vector<UsbProMessage> DecodeUsbPro(const Bytes& bytes, std::string& error);

// What an SPIPixels output (an entry of "channelOutputs") should send, from
// its settings as docs/outputs.md states them: string after string, null
// pixels dark first, the pixels (last first when reversed), each colour in
// the string's order (or the chip's default) at round(255 * (v / 255) ^
// gamma * brightness / 100). channels: the channel space from channel 1.
// Colour bytes only; globals gets each pixel's APA102 global brightness.
Bytes ExpectedWire(const Json::Value& output, const uint8_t* channels, Bytes* globals = nullptr);

}  // namespace kivtest
