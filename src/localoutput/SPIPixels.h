#pragma once
// The "SPIPixels" output plug-in: pixel strings wired to one of the board's
// SPI buses, driven through the kernel's spidev (/dev/spidevB.C). Each
// frame the worker thread encodes every string of the bus (PixelEncoders)
// and sends the bytes as SPI messages no larger than spidev takes; a FIFO
// or a file in place of the device gets the same bytes. A string named by
// a port of the board's layout is sent dark while that port is switched
// off or its fuse has tripped. Created by the output registry from
// <media>/config/channeloutputs.json (docs/outputs.md).

#include <memory>
#include <string>
#include <vector>

#include "Plugins.h"
#include "channeloutput/ThreadedChannelOutput.h"
#include "localoutput/DeviceConnection.h"
#include "localoutput/LocalDevice.h"
#include "localoutput/PixelEncoders.h"

class SPIPixelsOutput : public ThreadedChannelOutput {
public:
    SPIPixelsOutput(unsigned int startChannel, unsigned int channelCount, LocalDevice& io = LocalDevice::Real());
    ~SPIPixelsOutput() override;

    int Init(Json::Value config) override;
    int Close() override;
    int DeviceSendData(unsigned char* channelData) override;
    void WaitTimedOut() override;
    void GetRequiredChannelRanges(const std::function<void(int, int)>& add) override;
    void DumpConfig() override;

    // Settings as read by Init, for tests.
    const PixelChipInfo* Chip() const { return m_chip; }
    uint32_t SpeedHz() const { return m_speedHz; }
    const std::vector<PixelString>& Strings() const { return m_strings; }

private:
    // Reads the settings; false with a one-line reason logged.
    bool readConfig(const Json::Value& config);
    int setupDevice(int fd);
    int send(const uint8_t* data, size_t len);

    LocalDevice& m_io;
    std::string m_device;  // the path
    DeviceKind m_kind = DeviceKind::Missing;
    const PixelChipInfo* m_chip = nullptr;
    uint32_t m_speedHz = 0;
    size_t m_maxTransfer = 0;  // SPI bytes per message
    // Worker only, after Init: the strings (dark set per frame), the
    // string names and the ports powering them (-1: none).
    std::vector<PixelString> m_strings;
    std::vector<std::string> m_names;
    std::vector<int> m_ports;
    std::vector<uint8_t> m_frame;  // the encoded frame
    std::unique_ptr<DeviceConnection> m_conn;
};

class SPIPixelsPlugin : public KIVPlugins::Plugin, public KIVPlugins::ChannelOutputPlugin {
public:
    SPIPixelsPlugin() : KIVPlugins::Plugin("SPIPixels") {}
    ChannelOutput* createChannelOutput(unsigned int startChannel, unsigned int channelCount) override;
};
