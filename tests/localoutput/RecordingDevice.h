#pragma once
// A device layer for tests: each call is recorded with its time and goes on
// to the real layer, so a FIFO or a pseudo-terminal still gets the bytes.
// Paths in spiPaths are SPI devices: their SPI calls, which no FIFO takes,
// are recorded and their bytes written to the FIFO.

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "CaptureOutput.h"
#include "localoutput/LocalDevice.h"

namespace kivtest {

class RecordingDevice : public LocalDevice {
public:
    struct Call {
        std::string what;  // "write", "spiSetup", "spiTransfer", "serialSetup", "break on", "break off", "drain"
        long long us;      // MonotonicUs when it began
        long long value;   // spiSetup, spiTransfer: speed; serialSetup: baud
        size_t len;        // write, spiTransfer: bytes; spiSetup: mode; serialSetup: stop bits
    };
    std::set<std::string> spiPaths;
    size_t maxTransfer = 4096;

    std::vector<Call> Calls(const std::string& what = "") {
        std::lock_guard<std::mutex> l(m_lock);
        std::vector<Call> out;
        for (auto& c : m_calls)
            if (what.empty() || c.what == what) out.push_back(c);
        return out;
    }

    DeviceKind Probe(const std::string& path, std::string& error) override {
        return spiPaths.count(path) ? DeviceKind::SPI : Real().Probe(path, error);
    }
    ssize_t Write(int fd, const uint8_t* data, size_t len) override {
        long long t = MonotonicUs();
        ssize_t n = Real().Write(fd, data, len);
        if (n > 0) record("write", 0, n, t);
        return n;
    }
    int SpiSetup(int fd, uint8_t mode, uint32_t speedHz) override { return record("spiSetup", speedHz, mode); }
    int SpiTransfer(int fd, const uint8_t* data, size_t len, uint32_t speedHz) override {
        record("spiTransfer", speedHz, len);
        for (size_t done = 0; done < len;) {
            ssize_t n = Real().Write(fd, data + done, len - done);
            if (n < 0 && Real().WaitWritable(fd, 100) < 0) return (int)n;
            if (n > 0) done += n;
        }
        return 0;
    }
    size_t SpiMaxTransfer() override { return maxTransfer; }
    int SerialSetup(int fd, uint32_t baud, bool twoStopBits) override {
        record("serialSetup", baud, twoStopBits ? 2 : 1);
        return Real().SerialSetup(fd, baud, twoStopBits);
    }
    int SetBreak(int fd, bool on) override {
        record(on ? "break on" : "break off", 0, 0);
        return Real().SetBreak(fd, on);
    }
    int Drain(int fd) override {
        record("drain", 0, 0);
        return Real().Drain(fd);
    }

private:
    int record(const char* what, long long value, size_t len, long long us = 0) {
        std::lock_guard<std::mutex> l(m_lock);
        m_calls.push_back({what, us ? us : MonotonicUs(), value, len});
        return 0;
    }
    std::mutex m_lock;  // guards m_calls
    std::vector<Call> m_calls;
};

}  // namespace kivtest
