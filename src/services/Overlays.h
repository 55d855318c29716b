#pragma once
// What draws over the sequence's frames: the pixel overlay models
// (services/PixelOverlay.h), the channel tester (services/ChannelTester.h)
// and the effect player; no effect sequences are defined yet.

#include <string>

#include "services/ChannelTester.h"
#include "services/PixelOverlay.h"

// The effect player: no effect sequences are installed, so starting one is
// reported as a failure.
void InitEffects();
void CloseEffects();
int StartEffect(const std::string& name, int startChannel, int loop, bool background);
int StopEffect(const std::string& name);
int IsEffectRunning();
void OverlayEffects(unsigned char* channelData);
