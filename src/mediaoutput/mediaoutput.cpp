#include "mediaoutput/mediaoutput.h"

#include <SDL2/SDL.h>

#include <algorithm>
#include <atomic>

#include "common.h"
#include "log.h"
#include "mediaoutput/SDLOut.h"
#include "settings.h"

MediaOutputStatus mediaOutputStatus;
static std::atomic<int> mediaVolume{70};

const std::vector<std::string>& AudioFileExtensions() {
    static const std::vector<std::string> ext = {"mp3", "ogg", "oga", "opus", "m4a", "aac", "wav",
                                                 "flac", "wma", "au", "aif", "aiff", "mka"};
    return ext;
}

const std::vector<std::string>& VideoFileExtensions() {
    static const std::vector<std::string> ext = {"mp4", "m4v", "mkv", "mov", "avi", "mpg",
                                                 "mpeg", "webm", "wmv", "flv", "ts", "ogv"};
    return ext;
}

static std::string ExtensionOf(const std::string& filename) {
    size_t dot = filename.rfind('.');
    size_t slash = filename.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    return toLowerCopy(filename.substr(dot + 1));
}

bool IsAudioFile(const std::string& filename) {
    auto& e = AudioFileExtensions();
    return std::find(e.begin(), e.end(), ExtensionOf(filename)) != e.end();
}

bool IsVideoFile(const std::string& filename) {
    auto& e = VideoFileExtensions();
    return std::find(e.begin(), e.end(), ExtensionOf(filename)) != e.end();
}

std::string ResolveMediaPath(const std::string& name) {
    if (name.empty()) return "";
    if (FileExists(name)) return name;
    std::string music = getKIVMediaDir("/music/" + name);
    if (FileExists(music)) return music;
    std::string videos = getKIVMediaDir("/videos/" + name);
    if (FileExists(videos)) return videos;
    return "";
}

void InitMediaOutput() {
    LogDebug(VB_MEDIAOUT, "InitMediaOutput()\n");
    InstallFFmpegLogging();
    // The device itself is opened by the first file played.
}

void CleanupMediaOutput() {
    LogDebug(VB_MEDIAOUT, "CleanupMediaOutput()\n");
    sdlManager.Cleanup();
}

void setVolume(int volume) {
    if (volume < 0) volume = 0;
    if (volume > 100) volume = 100;
    mediaVolume = volume;
    LogDebug(VB_MEDIAOUT, "Volume set to %d\n", volume);
}

int getVolume() { return mediaVolume; }

MediaOutputBase* CreateMediaOutput(const std::string& mediaFilename, const std::string& videoOut) {
    if (IsAudioFile(mediaFilename) || IsVideoFile(mediaFilename)) {
        return new SDLOutput(mediaFilename, &mediaOutputStatus, videoOut);
    }
    LogErr(VB_MEDIAOUT, "Cannot play %s: '.%s' files are not a media type this build plays\n", mediaFilename.c_str(),
           ExtensionOf(mediaFilename).c_str());
    return nullptr;
}

void ProcessMediaEvents() {
    // Audio devices coming and going are queued as SDL events.
    if (sdlManager.state == SDL::UNINITIALISED || !SDL_WasInit(SDL_INIT_EVENTS)) return;
    SDL_Event e;
    while (SDL_PollEvent(&e)) {
        if (e.type == SDL_AUDIODEVICEADDED || e.type == SDL_AUDIODEVICEREMOVED) {
            LogDebug(VB_MEDIAOUT, "Audio device %u %s\n", e.adevice.which,
                     e.type == SDL_AUDIODEVICEADDED ? "added" : "removed");
        }
    }
}
