#pragma once
// Records what the bridge receives into a version 2 sequence file (zstd
// blocks, one sparse range per stretch of configured channels): frames on a
// fixed step, each holding what the inputs show at its tick (the latest
// data of each, or 0 where it has expired, as on the outputs). The
// ticks settle halfway between the frames a sender delivers, so a sender's
// jitter of up to half a step neither doubles nor drops a frame. Two
// threads: "KIV-Recorder" takes the frames on time, "KIV-RecWrite"
// compresses and writes them. The file is written beside its final name and
// renamed once complete; a full disk ends the recording with a warning and
// keeps the whole blocks written so far (or the previous file). Owned by the
// Bridge; "Start Recording" and "Stop Recording" drive it.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <json/json.h>

#include "bridge/InputReceiver.h"
#include "hseq/HSEQFile.h"

class Recorder {
public:
    static constexpr int MIN_STEP_MS = 5;
    static constexpr int MAX_STEP_MS = 255;
    // A recording without a duration ends after this long.
    static constexpr int MAX_DURATION_S = 4 * 3600;
    // Frames waiting for the disk before the recording gives up.
    static constexpr size_t MAX_QUEUED_BYTES = 64 * 1024 * 1024;
    static constexpr size_t SOURCES_HEADER_BYTES = 1024;
    // A frame is taken at least this long after the latest arrival: the
    // other protocols' parts of a sender's frame come a moment apart.
    static constexpr long long SETTLE_US = 5000;
    // A tick waits at most this share of a step (and at least 10 ms) for
    // the inputs that came before the previous tick: one sender's frame
    // reaches several sockets, and the input thread may read them a moment
    // apart on a busy board.
    static constexpr int WAIT_STEP_DIVISOR = 4;

    // Lines naming the inputs and the senders heard now (called once a
    // second from the recorder's thread).
    typedef std::function<std::vector<std::string>()> SourcesFn;

    explicit Recorder(SourcesFn sources) : m_sources(std::move(sources)) {}
    ~Recorder();

    // The inputs whose bytes are recorded, where each lands.
    void Configure(const std::vector<InputConfig>& inputs);
    bool Active() const { return m_active; }
    // From the input thread: inputs whose bytes just came as a frame.
    void Take(const std::vector<LiveInput*>& inputs, long long nowUs);
    // From the input thread: a receiver holds part of a sender's frame.
    void BurstPending(bool pending) { m_burstPending = pending; }

    // Starts recording into <media>/sequences/<name>; false with the reason.
    bool Start(const std::string& name, int stepMs, int durationS, std::string& why);
    // Ends the recording and completes the file; what became of it.
    std::string Stop();
    Json::Value Status() const;

private:
    typedef std::vector<std::pair<uint32_t, uint32_t>> Ranges;
    void CaptureLoop();
    void WriteLoop();
    void Finish();
    std::string SourcesText();

    SourcesFn m_sources;
    std::vector<InputConfig> m_inputs;
    std::vector<uint32_t> m_packedAt;  // per input: where its channels start in a recorded frame
    Ranges m_ranges;  // union of the inputs' channels, ascending
    uint32_t m_channels = 0;  // end of the last range
    uint32_t m_frameBytes = 0;  // sum of the ranges

    std::mutex m_control;  // serialises Start and Stop
    std::atomic<bool> m_active{false};
    std::atomic<bool> m_burstPending{false};

    // Guards m_live, m_expiresUs, m_lastArrivalUs, m_arrived.
    std::mutex m_liveLock;
    std::vector<uint8_t> m_live;  // the latest bytes of every channel, as received
    std::vector<long long> m_expiresUs;  // per input (as m_inputs): when its bytes stop being live
    long long m_lastArrivalUs = 0;  // latest frame delivered since the last tick; 0 = none
    std::vector<char> m_arrived;    // per input (as m_inputs): delivered since the last tick

    // Guards the queue and the state below; m_wake wakes both threads.
    mutable std::mutex m_lock;
    std::condition_variable m_wake;
    std::deque<std::vector<uint8_t>> m_queue;
    size_t m_queuedBytes = 0;
    bool m_stopCapture = false;
    bool m_captureDone = false;
    std::string m_failure;  // why the recording ended early
    std::set<std::string> m_sourceLines;

    std::unique_ptr<V2HSEQFile> m_file;
    std::string m_name, m_path, m_tempPath;
    int m_stepMs = 50;
    uint32_t m_plannedFrames = 0;
    long long m_startUs = 0;
    std::atomic<uint32_t> m_captured{0};
    std::atomic<uint32_t> m_written{0};
    std::atomic<uint32_t> m_lateTicks{0};
    std::string m_result;  // what became of the last recording
    std::thread m_captureThread, m_writeThread;
};
