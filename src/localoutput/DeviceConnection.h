#pragma once
// An output's device, kept open across it vanishing: a device that is
// unplugged (or a FIFO whose reader went away) is closed with a warning,
// opened again on the next attempt a second later, configured anew, and
// the warning withdrawn when it is back. Writes never wait on a device
// without a bound, so the output's worker can always be stopped.
// Owned and used by one output's worker (and its Init before that).

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "LogRateLimit.h"
#include "localoutput/LocalDevice.h"

class DeviceConnection {
public:
    // owner: the output type, first in log lines and warnings; device: the
    // device as the user named it. where gives the path to open, asked
    // anew on every attempt (a by-id name leads elsewhere after a replug);
    // setup configures a freshly opened descriptor (0 or -errno).
    DeviceConnection(LocalDevice& io, const std::string& owner, const std::string& device,
                     std::function<std::string()> where, std::function<int(int fd)> setup);
    ~DeviceConnection();

    // The path last opened or tried.
    const std::string& Path() const { return m_path; }

    // Opens and configures the device now: 0 or -errno (nothing open).
    int Open();
    // True when the device is open; a closed one is opened when the last
    // attempt is at least a second old.
    bool Ready();
    void Close();
    int Fd() const { return m_fd; }

    // Writes every byte, waiting while the device is full. Gives up when
    // the device is gone, or when keepGoing() turns false (the output is
    // closing) and the device took nothing for 100 ms. 0 or -errno.
    int WriteAll(const uint8_t* data, size_t len, const std::function<bool()>& keepGoing);
    // A call on the device failed: a vanished device is closed with a
    // warning (and retried), anything else logged, a few lines a minute.
    void Failed(int negErrno, const char* what);
    // The device is not open: it vanished or never came; the warning says so.
    void Missing(const std::string& why);

private:
    LocalDevice& m_io;
    std::string m_owner;
    std::string m_device;
    std::function<std::string()> m_where;
    std::function<int(int)> m_setup;
    std::string m_path;
    int m_fd = -1;
    long long m_lastAttemptMs = 0;
    std::string m_warning;  // raised while the device is away
    LogRateLimit m_errorLog{6};
};
