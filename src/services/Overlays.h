#pragma once
// What draws over the sequence's frames: the pixel overlay models
// (services/PixelOverlay.h), the channel tester (services/ChannelTester.h)
// and the effect player (effects/EffectPlayer.h).

#include <string>

#include "effects/EffectPlayer.h"
#include "services/ChannelTester.h"
#include "services/PixelOverlay.h"
