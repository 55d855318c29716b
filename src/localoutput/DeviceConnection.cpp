#include "localoutput/DeviceConnection.h"

#include <errno.h>

#include <cstring>

#include "Warnings.h"
#include "common.h"
#include "log.h"

namespace {
constexpr long long RETRY_MS = 1000;
constexpr int WRITE_WAIT_MS = 100;
}  // namespace

DeviceConnection::DeviceConnection(LocalDevice& io, const std::string& owner, const std::string& device,
                                   std::function<std::string()> where, std::function<int(int fd)> setup)
    : m_io(io), m_owner(owner), m_device(device), m_where(std::move(where)), m_setup(std::move(setup)) {}

DeviceConnection::~DeviceConnection() {
    Close();
    if (!m_warning.empty()) WarningHolder::RemoveWarning(m_warning);
}

int DeviceConnection::Open() {
    Close();
    m_lastAttemptMs = GetTimeMS();
    m_path = m_where();
    int fd = m_io.Open(m_path);
    if (fd < 0) return fd;
    int rc = m_setup ? m_setup(fd) : 0;
    if (rc < 0) {
        m_io.Close(fd);
        return rc;
    }
    m_fd = fd;
    if (!m_warning.empty()) {
        LogInfo(VB_CHANNELOUT, "%s: %s is back (%s)\n", m_owner.c_str(), m_device.c_str(), m_path.c_str());
        WarningHolder::RemoveWarning(m_warning);
        m_warning.clear();
    }
    return 0;
}

bool DeviceConnection::Ready() {
    if (m_fd >= 0) return true;
    if (GetTimeMS() - m_lastAttemptMs < RETRY_MS) return false;
    int rc = Open();
    if (rc < 0) Missing(strerror(-rc));
    return m_fd >= 0;
}

void DeviceConnection::Close() {
    if (m_fd >= 0) m_io.Close(m_fd);
    m_fd = -1;
}

int DeviceConnection::WriteAll(const uint8_t* data, size_t len, const std::function<bool()>& keepGoing) {
    size_t done = 0;
    long long progressMs = GetTimeMS();
    while (done < len) {
        ssize_t n = m_io.Write(m_fd, data + done, len - done);
        if (n > 0) {
            done += (size_t)n;
            progressMs = GetTimeMS();
            continue;
        }
        if (n < 0 && n != -EAGAIN && n != -EINTR) return (int)n;
        int rc = m_io.WaitWritable(m_fd, WRITE_WAIT_MS);
        if (rc < 0) return rc;
        if (rc == 0 && !keepGoing() && GetTimeMS() - progressMs >= WRITE_WAIT_MS) return -ETIMEDOUT;
    }
    return 0;
}

void DeviceConnection::Failed(int negErrno, const char* what) {
    if (DeviceGone(negErrno)) {
        Close();
        Missing(strerror(-negErrno));
        return;
    }
    long heldBack = 0;
    bool last = false;
    if (m_errorLog.Allow(heldBack, &last)) {
        LogErr(VB_CHANNELOUT, "%s: %s on %s failed: %s%s\n", m_owner.c_str(), what, m_path.c_str(), strerror(-negErrno),
               LogRateLimit::Note(heldBack, last, "errors").c_str());
    }
}

void DeviceConnection::Missing(const std::string& why) {
    if (!m_warning.empty()) return;
    m_warning = m_owner + ": " + m_device + " is not available (" + why + "); output resumes when it is back";
    LogWarn(VB_CHANNELOUT, "%s\n", m_warning.c_str());
    WarningHolder::AddWarning(m_warning);
}
