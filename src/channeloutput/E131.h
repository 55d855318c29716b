#pragma once
// E1.31 (sACN) destinations (types 0 and 1) of the UDP output engine: one
// data packet per universe of up to 512 channels on UDP port 5568, to the
// universe's multicast group 239.255.hi.lo (type 0) or to one address
// (type 1). Created by UDPOutput::Init.

#include "channeloutput/UDPOutput.h"
#include "protocols/E131Wire.h"

class E131OutputData : public UDPOutputData {
public:
    explicit E131OutputData(const Json::Value& config);
    virtual ~E131OutputData();

    virtual bool IsPingable() override { return type == 1; }
    virtual void PrepareData(unsigned char* channelData, UDPOutputMessages& msgs) override;
    virtual void DumpConfig() override;
    virtual void GetRequiredChannelRange(int& min, int& max) override;
    virtual std::string GetOutputTypeString() const override { return "E1.31"; }
    virtual void StampPacket(size_t i, uint8_t* header) override;

    int Universe() const { return m_universe; }
    int UniverseCount() const { return m_universeCount; }
    const uint8_t* Cid() const { return m_cid; }

    // Parses "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" (dashes optional).
    static bool ParseCid(const std::string& text, uint8_t cid[16]);

private:
    int m_universe = 1;
    int m_universeCount = 1;
    int m_priority = E131_DEFAULT_PRIORITY;
    std::string m_sourceName;
    uint8_t m_cid[16];
    sockaddr_in m_to;
};
