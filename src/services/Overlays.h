#pragma once
// What draws over the sequence's frames: the pixel overlay models
// (services/PixelOverlay.h), the channel tester and the effect player. The
// channel tester's one test is the output ports' pixel count
// (services/PixelCountTester.h); no effect sequences are defined yet.

#include <string>

#include "services/PixelOverlay.h"

class ChannelTester {
public:
    static ChannelTester INSTANCE;
    bool Testing() const;
    void OverlayTestData(unsigned char* channelData);
    void RegisterCommands();
};

// The effect player: no effect sequences are installed, so starting one is
// reported as a failure.
void InitEffects();
void CloseEffects();
int StartEffect(const std::string& name, int startChannel, int loop, bool background);
int StopEffect(const std::string& name);
int IsEffectRunning();
void OverlayEffects(unsigned char* channelData);
