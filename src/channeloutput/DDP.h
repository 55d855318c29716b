#pragma once
// DDP destinations (types 4 and 5) of the UDP output engine: a range of
// channels to one pixel controller in datagrams of up to 1440 data bytes,
// the last of each frame carrying the push flag. Created by UDPOutput::Init.

#include "channeloutput/UDPOutput.h"
#include "protocols/DDPWire.h"

class DDPOutputData : public UDPOutputData {
public:
    explicit DDPOutputData(const Json::Value& config);
    virtual ~DDPOutputData();

    virtual bool IsPingable() override { return true; }
    virtual void PrepareData(unsigned char* channelData, UDPOutputMessages& msgs) override;
    virtual void DumpConfig() override;
    virtual std::string GetOutputTypeString() const override { return "DDP"; }
    virtual void StampPacket(size_t i, uint8_t* header) override;

    int PacketCount() const { return (int)m_packets.size(); }

private:
    uint8_t m_sequence = 1;  // 1..15, never 0
    sockaddr_in m_to;
};
