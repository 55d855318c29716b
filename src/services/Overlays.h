#pragma once
// Pixel overlay models and the channel tester. No overlay models or test
// patterns are defined in this daemon yet: nothing is active and frames
// pass through unchanged.

#include <string>

class PixelOverlayModel;

class PixelOverlayManager {
public:
    static PixelOverlayManager INSTANCE;
    void Initialize() {}
    bool hasActiveOverlays() const { return false; }
    void doOverlays(unsigned char* channelData) {}
    PixelOverlayModel* getModel(const std::string& name) { return nullptr; }
};

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
