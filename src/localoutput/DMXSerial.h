#pragma once
// The "DMXSerial" output plug-in: one DMX universe on a USB serial
// interface attached to the board — a "USB Pro" widget, which takes the
// universe as a message and makes the DMX signal itself, or a plain FTDI
// cable ("Open DMX"), on which the output makes the signal: 250 kbaud 8N2,
// a break and a mark after break before every packet. Packets go out no
// faster than DMX carries them; an interface that is unplugged is a
// warning, and output resumes when it is back. Created by the output
// registry from <media>/config/channeloutputs.json (docs/outputs.md).

#include <memory>
#include <string>
#include <vector>

#include "Plugins.h"
#include "channeloutput/ThreadedChannelOutput.h"
#include "localoutput/DeviceConnection.h"
#include "localoutput/LocalDevice.h"

class DMXSerialOutput : public ThreadedChannelOutput {
public:
    enum class Protocol { UsbPro, OpenDmx };

    DMXSerialOutput(unsigned int startChannel, unsigned int channelCount, LocalDevice& io = LocalDevice::Real());
    ~DMXSerialOutput() override;

    int Init(Json::Value config) override;
    int Close() override;
    int DeviceSendData(unsigned char* channelData) override;
    void WaitTimedOut() override;
    void GetRequiredChannelRanges(const std::function<void(int, int)>& add) override;
    void DumpConfig() override;

    // Settings as read by Init, for tests: microseconds from one packet's
    // start to the next one's, at the least.
    int PacketIntervalUs() const { return m_intervalUs; }
    Protocol GetProtocol() const { return m_protocol; }

private:
    int setupDevice(int fd);
    // Sends m_packet, then waits out the packet interval.
    void sendPacket();

    LocalDevice& m_io;
    std::string m_deviceName;  // as configured: a path or a /dev/serial/by-id name
    Protocol m_protocol = Protocol::UsbPro;
    int m_intervalUs = 0;
    // Worker only, after Init.
    std::vector<uint8_t> m_packet;  // the last packet (message) built
    std::unique_ptr<DeviceConnection> m_conn;
};

class DMXSerialPlugin : public KIVPlugins::Plugin, public KIVPlugins::ChannelOutputPlugin {
public:
    DMXSerialPlugin() : KIVPlugins::Plugin("DMXSerial") {}
    ChannelOutput* createChannelOutput(unsigned int startChannel, unsigned int channelCount) override;
};
