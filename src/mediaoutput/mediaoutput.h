#pragma once
// Media outputs: the base class of audio/video players, the shared playing
// status, and the factory. No decoder is built into the daemon yet, so the
// factory makes nothing and no video is ever overlaid.

#include <string>

struct MediaOutputStatus {
    int status = 0;  // 0 idle, 1 playing
    int secondsElapsed = 0;
    int subSecondsElapsed = 0;
    int secondsRemaining = 0;
    int subSecondsRemaining = 0;
    int minutesTotal = 0;
    int secondsTotal = 0;
    float mediaSeconds = 0.0f;
    int speedDelta = 0;
};
#define MEDIAOUTPUTSTATUS_IDLE 0
#define MEDIAOUTPUTSTATUS_PLAYING 1

extern MediaOutputStatus mediaOutputStatus;

class MediaOutputBase {
public:
    MediaOutputBase() {}
    virtual ~MediaOutputBase() {}

    virtual int Start(int msTime = 0) = 0;
    virtual int Stop() = 0;
    virtual int Process() = 0;
    virtual int AdjustSpeed(float masterPosition) { return 1; }
    virtual void SetVolume(int volume) {}
    virtual int Close() { return 1; }
    virtual int IsPlaying() { return m_isPlaying; }

    std::string m_mediaFilename;
    MediaOutputStatus* m_mediaOutputStatus = nullptr;

protected:
    bool m_isPlaying = false;
};

void InitMediaOutput();
void CleanupMediaOutput();
void setVolume(int volume);
int getVolume();
// Drains the media layer's event queue; called by the main loop when idle.
void ProcessMediaEvents();
MediaOutputBase* CreateMediaOutput(const std::string& mediaFilename, const std::string& videoOut);

class SDLOutput {
public:
    static bool IsOverlayingVideo() { return false; }
    static bool ProcessVideoOverlay(unsigned int msTimestamp) { return false; }
};
