#pragma once
// DDP destinations (types 4 and 5) of the UDP output engine: a range of
// channels to one pixel controller in datagrams of up to 1440 data bytes,
// the last of each frame carrying the push flag. Created by UDPOutput::Init.

#include "channeloutput/UDPOutput.h"

// DDP header: flags, sequence, data type, destination id, offset (BE32), length (BE16)
static constexpr uint16_t DDP_PORT = 4048;
static constexpr uint8_t DDP_FLAGS_VER1 = 0x40;
static constexpr uint8_t DDP_FLAGS_PUSH = 0x01;
static constexpr uint8_t DDP_ID_DISPLAY = 1;
static constexpr int DDP_HEADER_LEN = 10;
static constexpr int DDP_MAX_DATA = 1440;

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
