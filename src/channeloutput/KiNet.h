#pragma once
// KiNet destinations (types 6 and 7) of the UDP output engine: DMX-sized
// universes to a KiNet power supply, one datagram per universe, in the
// version 1 packet form (6) or the version 2 port form (7).

#include "channeloutput/UDPOutput.h"

static constexpr uint16_t KINET_PORT = 6038;
static constexpr int KINET_V1_HEADER_LEN = 21;
static constexpr int KINET_V2_HEADER_LEN = 24;
static constexpr int KINET_MAX_CHANNELS = 512;
static constexpr int KINET_MAX_UNIVERSES = 255;

class KiNetOutputData : public UDPOutputData {
public:
    explicit KiNetOutputData(const Json::Value& config);
    virtual ~KiNetOutputData();

    virtual bool IsPingable() override { return true; }
    virtual void PrepareData(unsigned char* channelData, UDPOutputMessages& msgs) override;
    virtual void DumpConfig() override;
    virtual void GetRequiredChannelRange(int& min, int& max) override;
    virtual std::string GetOutputTypeString() const override { return "KiNet"; }
    virtual void StampPacket(size_t i, uint8_t* header) override;

    int UniverseCount() const { return m_universeCount; }

private:
    int m_firstPort = 0;
    int m_universeCount = 1;
    sockaddr_in m_to;
};
