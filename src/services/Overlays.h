#pragma once
// What draws over the sequence's frames: the pixel overlay models
// (services/PixelOverlay.h), the channel tester and the effect player. No
// test patterns or effect sequences are defined in this daemon yet.

#include <string>

#include "services/PixelOverlay.h"

class ChannelTester {
public:
    static ChannelTester INSTANCE;
    bool Testing() const { return false; }
    void OverlayTestData(unsigned char* channelData) {}
    void RegisterCommands() {}
};

// The effect player: no effect sequences are installed, so starting one is
// reported as a failure.
void InitEffects();
void CloseEffects();
int StartEffect(const std::string& name, int startChannel, int loop, bool background);
int StopEffect(const std::string& name);
int IsEffectRunning();
void OverlayEffects(unsigned char* channelData);
