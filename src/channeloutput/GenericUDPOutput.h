#pragma once
// The "GenericUDP" output plug-in: a range of channels sent in a datagram
// whose layout the user writes as a token string (literal bytes, counts and
// the channel data). GenericUDPOutput hands its destination to the running
// UDP output engine, which prepares and sends it with all the others.

#include "channeloutput/UDPOutput.h"

class GenericUDPOutputData : public UDPOutputData {
public:
    explicit GenericUDPOutputData(const Json::Value& config);
    virtual ~GenericUDPOutputData();

    virtual bool IsPingable() override { return !m_broadcast; }
    virtual void PrepareData(unsigned char* channelData, UDPOutputMessages& msgs) override;
    virtual void DumpConfig() override {}
    virtual std::string GetOutputTypeString() const override { return "GenericUDP"; }

    // The datagram for the channel bytes `data` (channelCount of them), as
    // PrepareData would send it.
    std::vector<uint8_t> BuildDatagram(const uint8_t* data) const;
    bool IsBroadcast() const { return m_broadcast; }

private:
    void ParseTokens();
    void AddBytes(const uint8_t* b, size_t n);

    std::string m_tokens;
    sockaddr_in m_to;
    bool m_broadcast = false;
    std::vector<std::vector<uint8_t>> m_segments;
    // Datagram pieces in token order: segment index, or -1 for a data slot.
    std::vector<int> m_layout;
    std::vector<iovec> m_dgIov;
    std::vector<size_t> m_dataSlots;  // positions in m_dgIov of the data slots
    size_t m_totalLength = 0;
    unsigned int m_datagrams = 0;
    bool m_segmentOpen = false;
};

class GenericUDPOutput : public ChannelOutput {
public:
    GenericUDPOutput(unsigned int startChannel, unsigned int channelCount);
    virtual ~GenericUDPOutput();

    virtual int Init(Json::Value config) override;
    virtual int Close() override;
    virtual int SendData(unsigned char* channelData) override;
    virtual void GetRequiredChannelRanges(const std::function<void(int, int)>& add) override;
};

class GenericUDPPlugin : public KIVPlugins::Plugin, public KIVPlugins::ChannelOutputPlugin {
public:
    GenericUDPPlugin() : KIVPlugins::Plugin("GenericUDP") {}
    virtual ChannelOutput* createChannelOutput(unsigned int startChannel, unsigned int channelCount) override;
};
