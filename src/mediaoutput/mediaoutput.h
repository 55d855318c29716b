#pragma once
// Media outputs: the base class of audio/video players, the shared playing
// status, the factory that picks a player by file extension, and the media
// set-up and shut-down of the daemon. The media playlist entry creates one
// output per file through CreateMediaOutput; the decoder lives in SDLOut.

#include <sys/types.h>

#include <string>
#include <vector>

// Where the playing media is; written by the playing output, read by the
// media entry and the status reports.
struct MediaOutputStatus {
    int status = 0;  // 0 idle, 1 playing
    int secondsElapsed = 0;
    int subSecondsElapsed = 0;  // hundredths
    int secondsRemaining = 0;
    int subSecondsRemaining = 0;  // hundredths
    int minutesTotal = 0;
    int secondsTotal = 0;
    float mediaSeconds = 0.0f;  // current position in seconds
    int speedDelta = 0;
};
#define MEDIAOUTPUTSTATUS_IDLE 0
#define MEDIAOUTPUTSTATUS_PLAYING 1

extern MediaOutputStatus mediaOutputStatus;

class MediaOutputBase {
public:
    MediaOutputBase() {}
    virtual ~MediaOutputBase() {}

    // msTime: where in the file to begin, in milliseconds. 1 when playing.
    virtual int Start(int msTime = 0) = 0;
    virtual int Stop() = 0;
    // Called periodically while playing; true while it still plays.
    virtual int Process() = 0;
    virtual int AdjustSpeed(float masterPosition) { return 1; }
    virtual void SetVolume(int volume) {}
    virtual int Close() { return 1; }
    virtual int IsPlaying() { return m_isPlaying; }

    std::string m_mediaFilename;
    MediaOutputStatus* m_mediaOutputStatus = nullptr;
    pid_t m_childPID = 0;  // an output that runs a helper process; 0 = none

protected:
    bool m_isPlaying = false;
};

// File extensions (lower case, without the dot) of the files this build plays.
const std::vector<std::string>& AudioFileExtensions();
const std::vector<std::string>& VideoFileExtensions();
bool IsAudioFile(const std::string& filename);
bool IsVideoFile(const std::string& filename);

// Where a media name is found: the name itself when that file exists, else
// <media>/music/<name>, else <media>/videos/<name>. "" when none exists.
std::string ResolveMediaPath(const std::string& name);

void InitMediaOutput();
void CleanupMediaOutput();
void setVolume(int volume);
int getVolume();
// True while the sound device could not be set up (said once in the log).
bool MediaAudioDeviceMissing();
// Drains the media layer's event queue; called by the main loop when idle.
void ProcessMediaEvents();
// A new output for the file (owned by the caller), chosen by its extension;
// null, with an error logged, when no output plays that kind of file.
MediaOutputBase* CreateMediaOutput(const std::string& mediaFilename, const std::string& videoOut);
