#pragma once
// The channel output registry: reads <media>/config/channeloutputs.json,
// creates every enabled output through its plug-in (a shared object found
// by plug-in name) and drives them all once per frame.

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <json/json.h>

class ChannelOutput;

// Frames sent for the current sequence.
extern std::atomic<int> channelOutputFrame;
// The media position the output thread last derived, in seconds.
extern std::atomic<float> mediaElapsedSeconds;

std::string ChannelOutputsFilePath();
// Directories searched for plug-ins: $KIV_PLUGIN_PATH (colon separated),
// then <installation>/plugins.
std::vector<std::string> PluginSearchPath();

int InitializeChannelOutputs();
// Judges an outputs document as InitializeChannelOutputs would treat it,
// and more strictly: every entry must be usable (a known plug-in, channels
// inside 1-8388608), every network destination of the UDP engine must have
// a known protocol, an address where it sends to one, and channels inside
// the range, and no two enabled outputs or destinations may send the same
// channel. One problem per line, each naming the entry; none when good.
std::vector<std::string> CheckChannelOutputs(const Json::Value& doc);
void CloseChannelOutputs();
// Registers an output built in-process (the registry takes ownership).
void AddChannelOutput(ChannelOutput* output);
int ChannelOutputCount();

int PrepareChannelData(char* channelData);
int SendChannelData(const char* channelData);
// Returns once no output still reads the channel buffer for the frame last
// sent; called before the buffer is written again.
void WaitForChannelOutputSends();
// (first channel, count) ranges read by the outputs, sorted and merged.
// precise = false also merges ranges separated by gaps below 1024 channels.
std::vector<std::pair<uint32_t, uint32_t>> GetOutputRanges(bool precise);
void StartingOutput();
void StoppingOutput();

void SetChannelOutputFrameNumber(int frameNumber);
void ResetChannelOutputFrameNumber();
