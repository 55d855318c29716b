#pragma once
// The media decode output: plays one audio or video file for the media
// playlist entry. FFmpeg demuxes and decodes it on the one decode thread
// "KIV-SDLDecode" of the process-wide audio manager `sdlManager`; the audio
// is resampled to the format of one SDL2 audio device and queued there, and
// the pictures are scaled to a pixel overlay model and shown at their media
// time. While it plays, the audio position is the show's clock: Process()
// steers the channel output thread toward it. Created by CreateMediaOutput.

#include <SDL2/SDL_audio.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mediaoutput/mediaoutput.h"

struct SDLDecodeData;

// The audio manager: SDL's audio subsystem, the one open device and the
// decode thread. One instance, `sdlManager`; the caller's thread (media
// entry / main loop) drives it, the decode thread reads `current`.
class SDL {
public:
    // state values
    static constexpr int UNINITIALISED = 0;
    static constexpr int INITIALISED = 1;
    static constexpr int DEVICE_OPEN = 2;
    static constexpr int PLAYING = 3;
    static constexpr int STOPPED = 4;
    static constexpr int THREAD_ENDED = 5;

    SDL();
    virtual ~SDL();

    // Initialises SDL's audio subsystem (once); false when that fails.
    bool initSDL();
    // Opens the device chosen by the settings when SDL is initialised and
    // no device is open. Without a usable device the state still becomes
    // DEVICE_OPEN with audioDevice 0: video then plays on the wall clock.
    bool openAudio();
    // Stops playing: pauses and empties the device, detaches the current
    // decode state and waits for the decode thread to leave it.
    void Stop();
    // Closes the device (state back to INITIALISED).
    void Close();
    // Process exit: stops, closes, quits SDL and joins the decode thread.
    void Cleanup();
    void StartDecodeThread();
    // Ends the decode thread's sleep (a new file to decode).
    void WakeDecodeThread();
    void runDecode();

    // The device's queue: decoded audio waiting for the device, drained by
    // its callback on SDL's audio thread, which stamps the audio clock at
    // each buffer. Push returns the bytes it took (all unless the queue is
    // full). ClearQueue throws the waiting audio away: that stretch of the
    // song passes unheard, so the audio clock moves on by it.
    int Push(const uint8_t* data, int len);
    int Queued();
    void ClearQueue();
    // Copies `len` bytes of the audio heard now (silence past the queue).
    void CopyHeard(uint8_t* out, int len, int frameBytes);
    // The device's callback.
    void Fill(uint8_t* stream, int len);

    std::atomic<int> state{UNINITIALISED};
    SDL_AudioSpec wanted;
    // The format obtained from the device.
    int rate = 44100;
    int bytesPerSample = 2;
    int channels = 2;
    bool isFloat = false;
    SDL_AudioDeviceID audioDevice = 0;
    // How long after the device takes a buffer its first sample is heard.
    long long latencyUs = 0;
    // True while the decode thread is inside a pass over `current`.
    std::atomic<bool> decoding{false};
    std::atomic<SDLDecodeData*> current{nullptr};
    // Guards `current` against the channel output thread: video is
    // overlaid from there, and a decode state must not go while it is used.
    std::mutex overlayLock;

private:
    std::thread m_decodeThread;
    std::atomic<bool> m_runDecode{false};
    // The decode thread sleeps on m_decodeWake between passes; the lock
    // guards m_wakeDecode and orders it and m_runDecode with the wait.
    std::mutex m_decodeWakeLock;
    std::condition_variable m_decodeWake;
    bool m_wakeDecode = false;

    // Guards the ring below between the decode thread, the device's
    // callback, Process and GetAudioSamples. The audio already played stays
    // in the ring behind m_read until it is overwritten.
    std::mutex m_queueLock;
    std::vector<uint8_t> m_ring;
    size_t m_read = 0;    // next byte for the device
    size_t m_queued = 0;  // bytes waiting from m_read on
    uint8_t m_silence = 0;
};

extern SDL sdlManager;

class SDLOutput : public MediaOutputBase {
public:
    // videoOut: name of the pixel overlay model to show the video on;
    // "", "--Disabled--", "--HDMI--" and "HDMI" show no video.
    SDLOutput(const std::string& mediaFilename, MediaOutputStatus* status, const std::string& videoOut);
    virtual ~SDLOutput();

    int Start(int msTime = 0) override;
    int Stop() override;
    int Process() override;
    int Close() override;
    int IsPlaying() override;

    bool HasAudio() const;
    bool HasVideo() const;

    // True while a playing file shows video on a model. Called by the
    // sequence player and the channel output thread.
    static bool IsOverlayingVideo();
    // Shows the video frame due at msTime; called by the sequence player
    // on each frame.
    static int ProcessVideoOverlay(unsigned int msTime);
    // The `count` samples of the first channel the device plays now, as
    // floats; 0 when nothing plays. For callers that analyse the sound.
    static int GetAudioSamples(float* samples, int count, int& sampleRate);

private:
    SDLDecodeData* m_data = nullptr;
};

// Sends FFmpeg's log lines to the MediaOut facility (skipping repeats).
void InstallFFmpegLogging();

// What the settings ask of the audio device; exposed for tests.
struct AudioDeviceRequest {
    int rate = 44100;
    SDL_AudioFormat format = AUDIO_S16SYS;
    int channels = 2;
    std::string cardId;  // "" = SDL's default device
};
AudioDeviceRequest DesiredAudioDevice(const std::string& sysSoundRoot = "/sys/class/sound");
// The device whose name starts with cardId (the last such), "" for none.
std::string ChooseAudioDeviceName(const std::string& cardId, const std::vector<std::string>& deviceNames);
// The FFmpeg channel mask for the "AudioLayout" setting.
uint64_t AudioLayoutChannelMask(int audioLayout);
