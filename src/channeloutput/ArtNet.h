#pragma once
// Art-Net destinations (types 2 and 3) of the UDP output engine: one ArtDmx
// packet per universe of up to 512 channels on UDP port 6454, broadcast
// (type 2) or to one node (type 3). Created by UDPOutput::Init.

#include "channeloutput/UDPOutput.h"
#include "protocols/ArtNetWire.h"

class ArtNetOutputData : public UDPOutputData {
public:
    explicit ArtNetOutputData(const Json::Value& config);
    virtual ~ArtNetOutputData();

    virtual bool IsPingable() override { return type == 3; }
    virtual void PrepareData(unsigned char* channelData, UDPOutputMessages& msgs) override;
    virtual void DumpConfig() override;
    virtual void GetRequiredChannelRange(int& min, int& max) override;
    virtual std::string GetOutputTypeString() const override { return "ArtNet"; }
    virtual void StampPacket(size_t i, uint8_t* header) override;

    int Universe() const { return m_universe; }
    int UniverseCount() const { return m_universeCount; }

private:
    int m_universe = 0;
    int m_universeCount = 1;
    sockaddr_in m_to;
};
