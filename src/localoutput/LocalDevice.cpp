#include "localoutput/LocalDevice.h"

// termios2 comes from the kernel's header; glibc's <termios.h> must stay
// out of this unit, its struct termios clashes with the kernel's.
#include <asm/termbits.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// spidev's "bufsiz" when the module does not say.
constexpr size_t SPIDEV_DEFAULT_BUFSIZ = 4096;
const char* SPIDEV_BUFSIZ_PATH = "/sys/module/spidev/parameters/bufsiz";

// The class a character device belongs to ("spidev", "tty", "mem", ...),
// from sysfs; "" when sysfs does not list it (pseudo-terminals).
std::string deviceClass(dev_t rdev) {
    std::string link =
        "/sys/dev/char/" + std::to_string(major(rdev)) + ":" + std::to_string(minor(rdev)) + "/subsystem";
    char target[PATH_MAX];
    ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
    if (n <= 0) return "";
    target[n] = 0;
    const char* slash = strrchr(target, '/');
    return slash ? slash + 1 : target;
}

// A broken pipe is an error return on the writing thread, never a signal
// that ends the program (kivd ignores it; a test program may not).
void ignorePipeSignalOnThisThread() {
    static thread_local bool done = false;
    if (done) return;
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    done = true;
}

}  // namespace

const char* DeviceKindName(DeviceKind kind) {
    switch (kind) {
        case DeviceKind::Missing: return "missing";
        case DeviceKind::SPI: return "an SPI device";
        case DeviceKind::Serial: return "a serial port";
        case DeviceKind::Pipe: return "a FIFO";
        case DeviceKind::File: return "a file";
        case DeviceKind::Other: return "another kind of file";
    }
    return "?";
}

LocalDevice& LocalDevice::Real() {
    static LocalDevice real;
    return real;
}

DeviceKind LocalDevice::Probe(const std::string& path, std::string& error) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        error = strerror(errno);
        return errno == ENOENT || errno == ENOTDIR ? DeviceKind::Missing : DeviceKind::Other;
    }
    if (S_ISFIFO(st.st_mode)) return DeviceKind::Pipe;
    if (S_ISREG(st.st_mode)) return DeviceKind::File;
    if (!S_ISCHR(st.st_mode)) return DeviceKind::Other;
    // Known devices are told by their class, without opening them (opening
    // some, a watchdog for one, does something).
    std::string cls = deviceClass(st.st_rdev);
    if (cls == "spidev") return DeviceKind::SPI;
    if (cls == "tty") return DeviceKind::Serial;
    if (!cls.empty()) return DeviceKind::Other;
    // Devices sysfs does not list (pseudo-terminals) are asked.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        error = strerror(errno);
        return DeviceKind::Other;
    }
    DeviceKind kind = DeviceKind::Other;
    uint8_t mode;
    struct termios2 tio;
    if (ioctl(fd, SPI_IOC_RD_MODE, &mode) == 0) {
        kind = DeviceKind::SPI;
    } else if (ioctl(fd, TCGETS2, &tio) == 0) {
        kind = DeviceKind::Serial;
    }
    close(fd);
    return kind;
}

int LocalDevice::Open(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    return fd >= 0 ? fd : -errno;
}

void LocalDevice::Close(int fd) {
    if (fd >= 0) close(fd);
}

ssize_t LocalDevice::Write(int fd, const uint8_t* data, size_t len) {
    ignorePipeSignalOnThisThread();
    ssize_t n = write(fd, data, len);
    return n >= 0 ? n : -errno;
}

int LocalDevice::WaitWritable(int fd, int timeoutMs) {
    struct pollfd p = {fd, POLLOUT, 0};
    int rc = poll(&p, 1, timeoutMs);
    if (rc < 0) return errno == EINTR ? 0 : -errno;
    if (rc == 0) return 0;
    if (p.revents & (POLLERR | POLLHUP)) return -EIO;
    if (p.revents & POLLNVAL) return -EBADF;
    return 1;
}

int LocalDevice::SpiSetup(int fd, uint8_t mode, uint32_t speedHz) {
    uint8_t bits = 8;
    if (ioctl(fd, SPI_IOC_WR_MODE, &mode) < 0) return -errno;
    if (ioctl(fd, SPI_IOC_WR_BITS_PER_WORD, &bits) < 0) return -errno;
    if (ioctl(fd, SPI_IOC_WR_MAX_SPEED_HZ, &speedHz) < 0) return -errno;
    return 0;
}

int LocalDevice::SpiTransfer(int fd, const uint8_t* data, size_t len, uint32_t speedHz) {
    struct spi_ioc_transfer t;
    memset(&t, 0, sizeof(t));
    t.tx_buf = (unsigned long)data;
    t.len = (uint32_t)len;
    t.speed_hz = speedHz;
    t.bits_per_word = 8;
    return ioctl(fd, SPI_IOC_MESSAGE(1), &t) < 0 ? -errno : 0;
}

size_t LocalDevice::SpiMaxTransfer() {
    int fd = open(SPIDEV_BUFSIZ_PATH, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return SPIDEV_DEFAULT_BUFSIZ;
    char buf[32];
    ssize_t n = read(fd, buf, sizeof(buf) - 1);
    close(fd);
    if (n <= 0) return SPIDEV_DEFAULT_BUFSIZ;
    buf[n] = 0;
    long v = strtol(buf, nullptr, 10);
    return v > 0 ? (size_t)v : SPIDEV_DEFAULT_BUFSIZ;
}

int LocalDevice::SerialSetup(int fd, uint32_t baud, bool twoStopBits) {
    struct termios2 tio;
    if (ioctl(fd, TCGETS2, &tio) < 0) return -errno;
    tio.c_iflag = 0;
    tio.c_oflag = 0;
    tio.c_lflag = 0;
    tio.c_cflag = CS8 | CREAD | CLOCAL | BOTHER | (twoStopBits ? CSTOPB : 0);
    tio.c_ispeed = baud;
    tio.c_ospeed = baud;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    return ioctl(fd, TCSETS2, &tio) < 0 ? -errno : 0;
}

int LocalDevice::SetBreak(int fd, bool on) { return ioctl(fd, on ? TIOCSBRK : TIOCCBRK) < 0 ? -errno : 0; }

// TCSBRK with a non-zero argument is tcdrain(): it waits, sends no break.
int LocalDevice::Drain(int fd) { return ioctl(fd, TCSBRK, 1) < 0 ? -errno : 0; }

bool DeviceGone(int negErrno) {
    switch (-negErrno) {
        case EIO:
        case ENODEV:
        case ENXIO:
        case EPIPE:
        case EBADF:
        case ENOENT:
        case ESHUTDOWN: return true;
    }
    return false;
}
