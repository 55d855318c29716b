#pragma once
// The sequence player: owns the channel data buffer the daemon shows, opens
// one sequence file at a time, reads frames ahead on "KIV-ReadFrames", and
// hands the current frame to the buffer when the channel output thread asks
// for it. Also merges bridge data, blanks, seeks, pauses, single-steps and
// fires the presets and effects a file schedules at given frames. main
// creates the one instance (global `sequence`); playlist entries, commands
// and the main loop use it.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <set>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FrameCanvas.h"
#include "hseq/HSEQFile.h"

class Sequence {
public:
    static constexpr int MAX_CHANNELS = 8388608;
    // Frames decoded ahead and kept after they were shown: these many, but
    // no more bytes than the *_BYTES below (never fewer than the MIN_*), so a
    // show of millions of channels holds tens of MiB of frames rather than
    // hundreds, and does not fault them all in at its start.
    static constexpr int READ_AHEAD_FRAMES = 40;
    static constexpr int SHOWN_FRAMES = 21;
    static constexpr uint64_t READ_AHEAD_BYTES = 16 << 20;
    static constexpr uint64_t SHOWN_BYTES = 4 << 20;
    static constexpr int MIN_READ_AHEAD_FRAMES = 4;
    static constexpr int MIN_SHOWN_FRAMES = 2;
    // The limits above for frames of frameBytes each.
    static int ReadAheadFrames(uint64_t frameBytes);
    static int ShownFrames(uint64_t frameBytes);

    // One start channel of bridge data: range length -> expiry (GetTimeMS,
    // the monotonic clock).
    class BridgeRangeData {
    public:
        explicit BridgeRangeData(uint32_t s) : start(s) {}
        uint32_t start;
        std::map<uint32_t, uint64_t> expires;
    };

    Sequence();
    virtual ~Sequence();

    // 1 on success (or when the same file is already being opened), 0 on failure.
    int OpenSequenceFile(const std::string& filename, int startFrame = 0, int startSecond = -1);
    void StartSequence();
    int StartSequence(const std::string& filename, int startFrame);
    int CloseSequenceFile();
    void CloseIfOpen(const std::string& filename);

    int IsSequenceRunning();
    int IsSequenceRunning(const std::string& filename);
    // A file is being opened, or is open and its start has not come yet.
    bool IsSequenceOpeningOrNotStarted() const { return m_openState != 0; }
    // A frame of the open sequence is in the buffer (false from the open
    // until the first frame was read).
    bool HasCurrentFrame();
    int SeekSequenceFile(int frameNumber);

    // Per-frame work of the channel output thread.
    void ReadSequenceData(bool force = false);
    int ProcessSequenceData(int ms);
    void SendSequenceData();
    void SendBlankingData();
    void BlankSequenceData(bool clearBridge = false);

    // expireMS: the GetTimeMS() (monotonic) at which the data stops being live.
    void SetBridgeData(unsigned char* data, int startChannel, int length, unsigned long long expireMS);
    // One range of bridge data and when it stops being live (GetTimeMS clock).
    struct BridgeRange {
        const unsigned char* data;
        int startChannel;
        int length;
        unsigned long long expireMS;
    };
    // Stores ranges together: a frame is processed with all of them or with
    // none, so a source spread over several ranges never shows half a frame.
    void SetBridgeData(const std::vector<BridgeRange>& ranges);
    int hasBridgeData();

    int SequenceIsPaused();
    void ToggleSequencePause();
    void SingleStepSequence();
    void SingleStepSequenceBack();

    void ProcessVariableHeaders();
    void clearCaches();
    void SetLastFrameData(HSEQFile::FrameData* lastFrameData);
    int ReadFramesLoop();

    // Read by the sequence playlist entry and the status reports.
    int GetDurationMs() const { return m_durationMs; }
    int GetElapsedMs() const { return m_elapsedMs; }
    int GetRemainingMs() const { return m_remainingMs; }
    int GetStepTimeMs() const { return m_frameMs; }
    float GetFrameRate() const { return m_frameRate; }
    std::string GetFileName();
    // The open file's name and elapsed time for a crash report: safe in a
    // signal handler (no locks, no allocation). False when no file is open.
    bool GetCrashReportInfo(char* name, size_t len, int& elapsedMs) const;
    // Frames read ahead and waiting in the queue.
    int GetReadAheadCount();
    // The buffer already holds overlays etc. for the current frame.
    bool isDataProcessed() const { return m_overlaysApplied; }
    // The bytes the outputs get: the channel data buffer, or the current
    // frame's own bytes when they go out unchanged. Stable only while the
    // output thread is not running (tests, blanking on the caller's thread).
    const unsigned char* GetChannelData() const { return m_outputData; }

protected:
    // Reads one frame from the open file; runs on the read thread with
    // m_fileMutex held. A subclass that overrides it calls StopReadThread()
    // in its destructor, before its own members go.
    virtual HSEQFile::FrameData* ReadFrameFromFile(HSEQFile* file, uint32_t frame);
    // Ends and joins the read thread (the destructor does it too).
    void StopReadThread();

private:
    // The *Locked forms take m_playMutex themselves; the player status is
    // asked by the public entry points before that lock, never under it.
    int OpenLocked(const std::string& filename, int startFrame, int startSecond, int playerStatus);
    int CloseLocked(int playerStatus);
    void ReadOneFrame(bool stepping, bool preroll, int playerStatus);
    void WaitForStartFrames();
    void StepBackLocked();
    // The "FE" effects that run at `frame`, and starting and stopping them
    // as the frame that is processed needs.
    std::set<std::string> EffectsAtFrame(int frame) const;
    void UpdateFrameEffects();
    bool SeekLocked(int frameNumber);
    void CopyFrameToBuffer(HSEQFile::FrameData* frame);
    // Makes frame's bytes the ones the outputs get: its own buffer when it
    // holds every channel they read and nothing that keeps no record of
    // what it overwrites draws on it, else a copy in m_channelData. Caller
    // holds m_playMutex.
    void ShowFrame(HSEQFile::FrameData* frame);
    // Makes m_channelData the output buffer; what was drawn on the frame
    // shown in place is noted, to be given back by TakeBackDrawing.
    void LeaveOutputFrame();
    // Drops the note of what was drawn on a frame in place; restore: first
    // gives the frame its own bytes back, before they are read again.
    void TakeBackDrawing(HSEQFile::FrameData* frame, bool restore);
    // Something writes the frame that cannot be drawn in place: plug-ins,
    // the tester, or drawing past the frame's own bytes seen before.
    bool DrawsAnywhere();
    // Bridge data, effects, video, overlays, tests and plug-ins laid over
    // m_outputData. False when drawing in place had to give up (the frame
    // is then copied and drawn on again).
    bool DrawOnFrame(int ms);
    // m_currentFrame = frame, deleting the old one when no list holds it.
    void ReplaceCurrent(HSEQFile::FrameData* frame);
    // Deletes a frame, after any send still reading its bytes.
    void DeleteFrame(HSEQFile::FrameData* frame);
    void WaitForSends();
    void MergeBridgeData(FrameCanvas& canvas);
    void RepositionReader(int frame);
    bool HoldsFrame(HSEQFile::FrameData* frame) const;

    std::atomic<int> m_durationMs{0};
    std::atomic<int> m_elapsedMs{0};
    std::atomic<int> m_remainingMs{0};
    // Written on the output thread, by openers and by blanking; all of them
    // hold m_playMutex while they do.
    unsigned char m_channelData[MAX_CHANNELS + 8];
    // The bytes the outputs get: m_channelData, or the own buffer of the
    // current frame m_outputFrame (see ShowFrame), drawn on in place, so a
    // frame of millions of channels goes out without a copy. Guarded by
    // m_playMutex.
    unsigned char* m_outputData = m_channelData;
    HSEQFile::FrameData* m_outputFrame = nullptr;
    // The bytes of m_outputFrame's buffer that may be drawn on, and the
    // record of what the drawing covered (given back before the frame is
    // drawn on again or stops being shown). Guarded by m_playMutex.
    uint32_t m_outputSize = 0;
    FrameCanvas m_canvas;
    // Frames drawn on in place and left since, with what to give back
    // (a handful: the frames kept to be shown again), and room for the
    // next record. Guarded by m_playMutex.
    std::vector<std::pair<HSEQFile::FrameData*, FrameCanvas::Kept>> m_drawnFrames;
    FrameCanvas::Kept m_spareKept;
    // A drawer reached past a frame's own bytes: the open sequence is drawn
    // on copies.
    bool m_drawnPastFrame = false;
    // m_channelData holds a copy of the current frame with drawing on it:
    // copied again before the next drawing.
    bool m_copyDrawnOn = false;
    // The frame whose own buffer the last send read; not freed before that
    // send is done. Guarded by m_playMutex.
    HSEQFile::FrameData* m_sentFrame = nullptr;
    std::string m_fileName;  // guarded by m_playMutex
    void setFileName(const std::string& name);  // with m_playMutex held
    // Copy of m_fileName for GetCrashReportInfo; m_reportNameSeq is odd
    // while it changes.
    std::atomic<unsigned> m_reportNameSeq{0};
    std::atomic<char> m_reportName[256] = {};
    bool m_sequenceWins = false;
    bool m_warnOnBridge = false;
    std::map<uint64_t, BridgeRangeData> m_liveBridgeRanges;
    std::mutex m_bridgeMutex;  // guards m_liveBridgeRanges, m_bridgeSpans and the bytes of m_bridgeBuffer
    std::vector<std::pair<uint64_t, uint64_t>> m_bridgeSpans;  // MergeBridgeData's, kept to spare an allocation a frame
    std::atomic<unsigned char*> m_bridgeBuffer{nullptr};
    std::unique_ptr<HSEQFile> m_file;  // changed under m_playMutex and m_fileMutex
    std::atomic<bool> m_hasFile{false};  // m_file is set; read without locks by the output thread
    std::atomic<int> m_openState{0};  // 2 opening, 1 opened not started, 0 started or idle
    std::atomic<int> m_paused{0};
    std::atomic<int> m_frameMs{50};
    std::atomic<int> m_stepForward{0};
    std::atomic<int> m_stepBack{0};
    std::atomic<float> m_frameRate{20.0f};
    int m_idleRemoteReads = 0;  // output thread only
    std::atomic<bool> m_overlaysApplied{false};
    int m_earlySeekCount = 0;  // guarded by m_queueMutex
    int m_blankBetween = 0;
    // Guards opening, closing, starting, seeking, reading and everything
    // that writes m_channelData or makes a frame current.
    std::recursive_mutex m_playMutex;

    std::atomic<int> m_lastQueuedFrame{-1};
    std::atomic<int> m_numFrames{0};  // frame count of the open file, for the read thread
    // The open file's frame limits (READ_AHEAD_FRAMES and SHOWN_FRAMES
    // bounded by bytes), set at the open.
    std::atomic<int> m_readAheadLimit{READ_AHEAD_FRAMES};
    std::atomic<int> m_shownLimit{SHOWN_FRAMES};
    bool m_readFinished = true;  // guarded by m_queueMutex
    std::atomic<bool> m_stopReader{false};
    std::unique_ptr<std::thread> m_readerThread;
    std::list<HSEQFile::FrameData*> m_readAhead;    // owned, in frame order
    std::list<HSEQFile::FrameData*> m_shownFrames;  // owned, oldest first, at most m_shownLimit
    HSEQFile::FrameData* m_currentFrame = nullptr;  // owned by whichever list holds it, else by this
    // Guards both lists, m_currentFrame, m_readFinished, m_cacheGeneration
    // and the read thread's decisions.
    std::mutex m_queueMutex;
    std::mutex m_fileMutex;  // serialises reads from m_file against replacing or closing it
    std::condition_variable m_readerWake;
    std::condition_variable m_frameQueued;
    // Bumped whenever the queue is thrown away, so a frame read across a
    // close, reopen or seek is never queued.
    unsigned m_cacheGeneration = 0;
    // The open file's frames that cannot be read are reported once per
    // opening (guarded by m_queueMutex, set when the file is opened).
    bool m_missingReported = false;
    std::string m_missingName;

    // Last frame whose scheduled presets and effects fired; a frame sent
    // again (paused, held, late) does not fire them twice. Guarded by m_playMutex.
    int m_lastFiredFrame = -1;
    long long m_lastBridgeWarningMs = 0;  // guarded by m_bridgeMutex

    // Frame-scheduled names from the "FC" and "FE" headers; guarded by m_playMutex.
    std::map<int, std::vector<std::string>> m_presetsAtFrame;
    std::map<int, std::vector<std::string>> m_effectStartsAtFrame;
    std::map<int, std::vector<std::string>> m_effectStopsAtFrame;
    // The "FE" effects this sequence has running, and the frame they were
    // last brought up to date for.
    std::set<std::string> m_frameEffects;
    int m_lastEffectFrame = -1;
};

extern Sequence* sequence;
