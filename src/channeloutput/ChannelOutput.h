#pragma once
// Base of every channel output: a range of the channel buffer that the
// output turns into something a device sees. The output thread calls
// PrepData then SendData once per frame; outputs report the channel ranges
// they read so the sequence reader loads only those.

#include <functional>
#include <string>

#include <json/json.h>

class ChannelOutput {
public:
    ChannelOutput(unsigned int startChannel = 0, unsigned int channelCount = 0);
    virtual ~ChannelOutput();

    virtual std::string GetOutputType() const;
    virtual int Init(Json::Value config);
    virtual int Close();
    virtual int PrepData(unsigned char* channelData);
    virtual int SendData(unsigned char* channelData) = 0;
    // Returns once nothing SendData started still reads the channel buffer
    // (outputs that hand it to threads of their own and return early); the
    // buffer is about to be written. Default: nothing is left in flight.
    virtual void WaitForSendsToFinish() {}
    // add(first, last): absolute 0-based channels, last inclusive.
    virtual void GetRequiredChannelRanges(const std::function<void(int, int)>& add) = 0;
    virtual void StartingOutput();
    virtual void StoppingOutput();
    virtual int OverlayTestData(unsigned char* channelData, int cycleNum, float percentOfCycle, int testType);
    virtual bool SupportsTesting() const;
    virtual void DumpConfig();
    virtual void ConvertToCSV(Json::Value config, char* configStr);

    unsigned int GetStartChannel() const { return m_startChannel; }
    unsigned int GetChannelCount() const { return m_channelCount; }

protected:
    std::string m_outputType;
    unsigned int m_startChannel;
    unsigned int m_channelCount;
};
