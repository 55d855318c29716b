#pragma once
// The position of the song the sound device is playing, as a smooth clock.
// The device takes audio in whole buffers (2048 samples, 46 ms at
// 44.1 kHz), so what it has taken moves in steps; this clock is stamped
// with the monotonic time whenever the device takes a buffer and advances
// with the time elapsed since, never backwards and never past what the
// device has taken. The device's callback (SDL's audio thread) feeds it;
// SDLOutput::Process() and the channel output thread read it.

#include <mutex>

class AudioClock {
public:
    // The one sound device of the process.
    static AudioClock INSTANCE;

    // Monotonic microseconds (the clock of the channel output thread).
    static long long NowUs();

    // A playback begins: the next byte the device takes is byte `startByte`
    // of the song. latencyUs: how long after the device takes a buffer its
    // first sample is heard.
    void Start(long long startByte, double bytesPerSecond, long long latencyUs);
    // Playback ended or paused for good: Position reports nothing.
    void Stop();
    // The device took `bytes` bytes of the song at monotonic time nowUs (a
    // buffer it could only partly fill has silence after those bytes).
    void Taken(long long bytes, long long nowUs);
    // Bytes of the song thrown away before the device took them: that
    // stretch passes unheard, so the position moves on by it.
    void Skip(long long bytes);

    // The song position (seconds) heard at nowUs; false while nothing plays.
    bool Position(long long nowUs, double& seconds);
    // The song position (seconds) up to which the device has taken audio.
    double TakenSeconds() const;
    // Buffers taken since Start: a staircase would have moved this often.
    long long Stamps() const;

private:
    mutable std::mutex m_lock;  // guards every member below
    bool m_running = false;
    double m_bytesPerSecond = 1;
    long long m_latencyUs = 0;
    long long m_taken = 0;       // song bytes taken so far
    long long m_stampByte = 0;   // song byte at the start of the last buffer taken
    long long m_stampUs = -1;    // when that buffer was taken; -1 before the first
    long long m_stamps = 0;
    double m_last = 0;           // the last position reported...
    long long m_lastUs = -1;     // ...and the time it was asked for
};
