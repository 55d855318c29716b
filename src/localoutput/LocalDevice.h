#pragma once
// The system calls of the board's own output devices — spidev nodes and
// serial ports — in one thin layer: SPIPixels and DMXSerial call nothing
// else. Every method is the real call and nothing more; tests put a
// recording layer in front of it to see what no pipe or pseudo-terminal
// shows (SPI mode and speed, serial breaks).
//
// Errors come back as -errno, so a caller can tell a vanished device
// (EIO, ENODEV, ENXIO, EPIPE) from a busy one (EAGAIN).

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

// What a device path leads to.
enum class DeviceKind {
    Missing,  // nothing there
    SPI,      // a spidev node: the SPI ioctls work on it
    Serial,   // a tty: the termios ioctls work on it
    Pipe,     // a FIFO: gets the bytes that would go on the wire
    File,     // a regular file: the same, appended
    Other,    // anything else (another character device, a directory, ...)
};
const char* DeviceKindName(DeviceKind kind);

class LocalDevice {
public:
    // The layer of real calls, shared by every output.
    static LocalDevice& Real();
    virtual ~LocalDevice() {}

    // What is at path now; error holds the reason when it cannot be told.
    virtual DeviceKind Probe(const std::string& path, std::string& error);
    // Opens for writing, non-blocking, never as controlling terminal.
    // Returns the descriptor or -errno.
    virtual int Open(const std::string& path);
    virtual void Close(int fd);
    // One write(2): the bytes taken, or -errno (-EAGAIN when full).
    virtual ssize_t Write(int fd, const uint8_t* data, size_t len);
    // Waits until fd takes more bytes: 1, 0 on timeout, -EIO when the
    // other side hung up, or -errno.
    virtual int WaitWritable(int fd, int timeoutMs);

    // SPI mode (0-3), 8 bits per word and the clock of later transfers.
    virtual int SpiSetup(int fd, uint8_t mode, uint32_t speedHz);
    // One SPI_IOC_MESSAGE of one transfer, sent only (no bytes read).
    virtual int SpiTransfer(int fd, const uint8_t* data, size_t len, uint32_t speedHz);
    // The most bytes spidev takes in one message (its "bufsiz" parameter).
    virtual size_t SpiMaxTransfer();

    // Raw 8-bit bytes at any baud rate (termios2, BOTHER), one or two stop
    // bits, no parity, no flow control, nothing translated.
    virtual int SerialSetup(int fd, uint32_t baud, bool twoStopBits);
    // Holds the line in break (on) or releases it.
    virtual int SetBreak(int fd, bool on);
    // Returns once the bytes written have left the port.
    virtual int Drain(int fd);
};

// A vanished device, as opposed to one that is only busy.
bool DeviceGone(int negErrno);
