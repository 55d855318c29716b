#include "services/Overlays.h"

#include "log.h"

void InitEffects() {}
void CloseEffects() {}

int StartEffect(const std::string& name, int startChannel, int loop, bool background) {
    LogErr(VB_EFFECT, "Effect %s cannot be started: no effect sequences are installed\n", name.c_str());
    return 0;
}

int StopEffect(const std::string& name) { return 0; }
int IsEffectRunning() { return 0; }
void OverlayEffects(unsigned char* channelData) {}
