#include "mediaoutput/mediaoutput.h"

#include <atomic>

#include "log.h"

MediaOutputStatus mediaOutputStatus;
static std::atomic<int> mediaVolume{70};

void InitMediaOutput() { LogDebug(VB_MEDIAOUT, "InitMediaOutput()\n"); }
void CleanupMediaOutput() { LogDebug(VB_MEDIAOUT, "CleanupMediaOutput()\n"); }

void setVolume(int volume) {
    if (volume < 0) volume = 0;
    if (volume > 100) volume = 100;
    mediaVolume = volume;
    LogDebug(VB_MEDIAOUT, "Volume set to %d\n", volume);
}

int getVolume() { return mediaVolume; }

MediaOutputBase* CreateMediaOutput(const std::string& mediaFilename, const std::string& videoOut) {
    LogErr(VB_MEDIAOUT, "Cannot play %s: no media decoder is built into this daemon\n", mediaFilename.c_str());
    return nullptr;
}
void ProcessMediaEvents() {}
