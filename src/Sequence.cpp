#include "Sequence.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "ThreadPriority.h"
#include "Warnings.h"
#include "channeloutput/channeloutput.h"
#include "channeloutput/channeloutputthread.h"
#include "commands/Commands.h"
#include "commands/SequenceCommands.h"
#include "common.h"
#include "effects/EffectPlayer.h"
#include "log.h"
#include "mediaoutput/SDLOut.h"
#include "playlist/Player.h"
#include "sync/MultiSync.h"
#include "services/Overlays.h"
#include "services/PluginManager.h"
#include "settings.h"

Sequence* sequence = nullptr;

static constexpr int READER_IDLE_WAIT_MS = 25;
static constexpr int SLOW_READ_US = 20000;
// A show started straight from its file waits this long at most for this
// many frames beyond its first to be read ahead.
static constexpr int START_READ_AHEAD_FRAMES = 4;
static constexpr int START_READ_AHEAD_WAIT_MS = 250;
static constexpr int BLANKING_DELAY_US = 5000;
static constexpr int WARNING_TIMEOUT_S = 60;
static constexpr int REMOTE_EARLY_SEEK_FRAMES = 99;
static constexpr int REMOTE_EARLY_SEEKS_WARNING = 6;
static constexpr int REMOTE_IDLE_READS_BEFORE_BLANK = 5;
static constexpr int BRIDGE_BUFFER_SIZE = Sequence::MAX_CHANNELS + 8;

static const char* const BRIDGE_WARNING = "Received bridging data while sequence is running.";
static const char* const EARLY_SEEK_WARNING = "Multiple Frame Skips During Playback - Likely Slow Network";

static bool SyncEnabled() { return multiSync && multiSync->isMultiSyncEnabled(); }

void ReadSequenceDataThread(Sequence* s) { s->ReadFramesLoop(); }

Sequence::Sequence() {
    memset(m_channelData, 0, sizeof(m_channelData));
    m_blankBetween = getSettingInt("blankBetweenSequences", 0);
    std::string priority = getSetting("bridgeDataPriority", "Warn If Sequence Running");
    if (priority == "Prioritize Sequence") {
        m_sequenceWins = true;
    } else if (priority == "Warn If Sequence Running") {
        m_sequenceWins = true;
        m_warnOnBridge = true;
    }
    RegisterSequenceCommands();
}

void Sequence::StopReadThread() {
    m_stopReader = true;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_readerWake.notify_all();
    }
    if (m_readerThread && m_readerThread->joinable()) {
        m_readerThread->join();
    }
}

Sequence::~Sequence() {
    StopReadThread();
    // The channel buffer goes with this object.
    WaitForChannelOutputSends();
    m_canvas.forget();
    m_outputFrame = m_sentFrame = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        SetLastFrameData(nullptr);
        clearCaches();
    }
    {
        std::lock_guard<std::mutex> lock(m_fileMutex);
        m_file.reset();
        m_hasFile = false;
    }
    free(m_bridgeBuffer.exchange(nullptr));
}

std::string Sequence::GetFileName() {
    std::lock_guard<std::recursive_mutex> play(m_playMutex);
    return m_fileName;
}

void Sequence::setFileName(const std::string& name) {
    m_fileName = name;
    m_drawnPastFrame = false;
    // Odd while the copy changes, so a reader can tell a torn copy.
    m_reportNameSeq.fetch_add(1, std::memory_order_acq_rel);
    size_t n = std::min(name.size(), sizeof(m_reportName) - 1);
    for (size_t i = 0; i < n; ++i) m_reportName[i].store(name[i], std::memory_order_relaxed);
    m_reportName[n].store(0, std::memory_order_relaxed);
    m_reportNameSeq.fetch_add(1, std::memory_order_acq_rel);
}

bool Sequence::GetCrashReportInfo(char* name, size_t len, int& elapsedMs) const {
    if (!len) return false;
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned before = m_reportNameSeq.load(std::memory_order_acquire);
        if (before & 1) continue;
        size_t i = 0;
        for (; i + 1 < len && i < sizeof(m_reportName); ++i) {
            name[i] = m_reportName[i].load(std::memory_order_relaxed);
            if (!name[i]) break;
        }
        name[std::min(i, len - 1)] = 0;
        std::atomic_thread_fence(std::memory_order_acquire);
        if (m_reportNameSeq.load(std::memory_order_relaxed) == before) {
            elapsedMs = m_elapsedMs;
            return name[0] != 0;
        }
    }
    name[0] = 0;
    return false;
}

// At most count frames of frameBytes each: as many as fit in bytes, never
// fewer than least.
static int FramesWithin(int count, uint64_t bytes, uint64_t frameBytes, int least) {
    return (int)std::max<uint64_t>(std::min<uint64_t>(count, bytes / std::max<uint64_t>(frameBytes, 1)), least);
}

int Sequence::ReadAheadFrames(uint64_t frameBytes) {
    return FramesWithin(READ_AHEAD_FRAMES, READ_AHEAD_BYTES, frameBytes, MIN_READ_AHEAD_FRAMES);
}

int Sequence::ShownFrames(uint64_t frameBytes) {
    return FramesWithin(SHOWN_FRAMES, SHOWN_BYTES, frameBytes, MIN_SHOWN_FRAMES);
}

// A name from a playlist or a command stays inside the sequences folder.
static bool SafeSequenceName(const std::string& name) {
    if (name[0] == '/') return false;
    for (auto& part : split(name, '/')) {
        if (part == "..") return false;
    }
    return true;
}

int Sequence::OpenSequenceFile(const std::string& filename, int startFrame, int startSecond) {
    // Asked before m_playMutex: the player calls in here holding its own lock.
    return OpenLocked(filename, startFrame, startSecond, Player::INSTANCE.GetStatus());
}

int Sequence::OpenLocked(const std::string& filename, int startFrame, int startSecond, int playerStatus) {
    LogDebug(VB_SEQUENCE, "OpenSequenceFile(%s, %d, %d)\n", filename.c_str(), startFrame, startSecond);
    if (filename.empty()) {
        LogErr(VB_SEQUENCE, "Empty Sequence Filename!\n");
        return 0;
    }
    if (!SafeSequenceName(filename)) {
        LogErr(VB_SEQUENCE, "Sequence name %s points outside the sequences folder\n", filename.c_str());
        return 0;
    }
    if (startFrame < 0) {
        startFrame = 0;
    }

    std::unique_lock<std::recursive_mutex> play(m_playMutex);
    if (m_hasFile && m_fileName == filename && m_openState != 0) {
        return 1;
    }
    if (IsSequenceRunning()) {
        CloseLocked(playerStatus);
    }
    {
        std::lock_guard<std::mutex> lock(m_fileMutex);
        m_file.reset();
        m_hasFile = false;
    }

    m_openState = 2;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_readFinished = false;
        m_lastQueuedFrame = startFrame ? startFrame - 1 : -1;
        clearCaches();
        m_missingReported = false;
        m_missingName = filename;
        // What the buffer holds now belongs to no frame of the new file.
        SetLastFrameData(nullptr);
    }
    m_paused = 0;
    m_durationMs = 0;
    m_elapsedMs = 0;
    m_remainingMs = 0;
    m_lastFiredFrame = -1;
    m_frameEffects.clear();
    m_lastEffectFrame = -1;
    // What was started to go with what played before ends as this starts.
    EffectPlayer::INSTANCE.StopForeground();
    SetChannelOutputFrameNumber(m_lastQueuedFrame + 1);

    if (!m_readerThread) {
        m_readerThread = std::make_unique<std::thread>(ReadSequenceDataThread, this);
    }

    setFileName(filename);
    std::string path = getKIVMediaDir("/sequences/" + filename);
    bool remote = getKIVmode() == MODE_REMOTE;
    if (remote) {
        CheckForHostSpecificFile(getSetting("HostName"), path);
    }
    if (!FileExists(path)) {
        std::string warning = "Sequence file " + path + " does not exist\n";
        if (!remote) {
            LogErr(VB_SEQUENCE, "Sequence file %s does not exist\n", path.c_str());
            WarningHolder::AddWarningTimeout(warning, WARNING_TIMEOUT_S);
            m_openState = 0;
            setFileName("");
            return 0;
        }
        LogDebug(VB_SEQUENCE, "Sequence file %s does not exist\n", path.c_str());
        std::string fallback = getKIVMediaDir("/sequences/fallback.hseq");
        if (!FileExists(fallback)) {
            LogDebug(VB_SEQUENCE, "Fallback Sequence file %s does not exist\n", fallback.c_str());
            WarningHolder::AddWarningTimeout(warning, WARNING_TIMEOUT_S);
            m_openState = 0;
            setFileName("");
            return 0;
        }
        setFileName("fallback.hseq");
        path = fallback;
        LogDebug(VB_SEQUENCE, "Playing Fallback Sequence file %s\n", path.c_str());
    }

    if (SyncEnabled()) {
        play.unlock();
        multiSync->SendSeqOpenPacket(filename);
        play.lock();
    }

    HSEQFile* file = HSEQFile::openHSEQFile(path);
    if (!file) {
        LogErr(VB_SEQUENCE, "Error opening sequence file: %s. HSEQFile::openHSEQFile returned NULL\n", path.c_str());
        m_openState = 0;
        setFileName("");
        return 0;
    }
    int stepTime = file->getStepTime();
    if (stepTime <= 0) {
        LogErr(VB_SEQUENCE, "Sequence file %s has an invalid step time of %d ms\n", path.c_str(), stepTime);
        delete file;
        m_openState = 0;
        setFileName("");
        return 0;
    }
    m_frameMs = stepTime;
    m_frameRate = 1000.0f / stepTime;
    if (startSecond >= 0) {
        long long last = (long long)startSecond * 1000 / stepTime - 1;
        m_lastQueuedFrame = (int)std::min<long long>(std::max<long long>(last, -1), INT_MAX - 1);
    }

    file->prepareRead(GetOutputRanges(true), (uint32_t)(m_lastQueuedFrame + 1));

    long long duration = (long long)file->getNumFrames() * stepTime;
    m_durationMs = (int)std::min<long long>(duration, INT_MAX);
    // Opened into the file, it stands at its start frame even before that
    // frame is read (a busy reader may need longer than one period), so a
    // pause straight away keeps the position.
    long long startMs = std::min<long long>((long long)(m_lastQueuedFrame + 1) * stepTime, m_durationMs.load());
    m_elapsedMs = (int)startMs;
    m_remainingMs = m_durationMs - m_elapsedMs;
    m_numFrames = (int)std::min<uint32_t>(file->getNumFrames(), INT_MAX);
    uint64_t frameBytes = std::max<uint32_t>(file->getChannelCount(), 1);
    m_readAheadLimit = ReadAheadFrames(frameBytes);
    m_shownLimit = ShownFrames(frameBytes);
    SetChannelOutputRefreshRate(m_frameRate);

    m_openState = 1;
    {
        std::lock_guard<std::mutex> lock(m_fileMutex);
        m_file.reset(file);
        m_hasFile = true;
    }
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_readerWake.notify_all();
    }
    m_paused = 0;
    m_stepForward = 0;
    m_stepBack = 0;
    m_overlaysApplied = false;

    ProcessVariableHeaders();
    // The first frame is in the buffer before the sequence starts.
    ReadOneFrame(false, true, playerStatus);
    play.unlock();

    StartChannelOutputThread();
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_earlySeekCount = 0;
    }
    LogDebug(VB_SEQUENCE, "seqRefreshRate        : %f\n", (double)m_frameRate);
    LogDebug(VB_SEQUENCE, "seqMSDuration         : %d\n", (int)m_durationMs);
    LogDebug(VB_SEQUENCE, "seqMSRemaining        : %d\n", (int)m_remainingMs);
    return 1;
}

// Little-endian, unaligned readers over a header's data; false when the
// data ends first.
static bool ReadU32(const std::vector<uint8_t>& d, size_t& pos, uint32_t& out) {
    if (d.size() < 4 || pos > d.size() - 4) return false;
    out = (uint32_t)d[pos] | ((uint32_t)d[pos + 1] << 8) | ((uint32_t)d[pos + 2] << 16) | ((uint32_t)d[pos + 3] << 24);
    pos += 4;
    return true;
}

static bool ReadCString(const std::vector<uint8_t>& d, size_t& pos, std::string& out) {
    auto end = std::find(d.begin() + std::min(pos, d.size()), d.end(), 0);
    if (end == d.end()) return false;
    out.assign(d.begin() + pos, end);
    pos = (size_t)(end - d.begin()) + 1;
    return true;
}

// "FC" (command presets) and "FE" (effects) headers:
//   version (1 byte, = 1), entry count (u32), description (NUL-terminated),
//   then per entry: name (NUL-terminated), range count (u32),
//   range count x (start frame u32, end frame u32).
void Sequence::ProcessVariableHeaders() {
    std::lock_guard<std::recursive_mutex> play(m_playMutex);
    m_presetsAtFrame.clear();
    m_effectStartsAtFrame.clear();
    m_effectStopsAtFrame.clear();
    if (!m_file) {
        return;
    }
    for (const auto& header : m_file->getVariableHeaders()) {
        if (header.code[0] != 'F' || (header.code[1] != 'C' && header.code[1] != 'E')) {
            continue;
        }
        const std::vector<uint8_t>& d = header.data;
        if (d.empty() || d[0] != 1) {
            continue;
        }
        bool presets = header.code[1] == 'C';
        size_t pos = 1;
        uint32_t entries = 0;
        std::string description;
        bool ok = ReadU32(d, pos, entries) && ReadCString(d, pos, description);
        for (uint32_t e = 0; ok && e < entries; ++e) {
            std::string name;
            uint32_t ranges = 0;
            ok = ReadCString(d, pos, name) && ReadU32(d, pos, ranges);
            for (uint32_t r = 0; ok && r < ranges; ++r) {
                uint32_t startFrame = 0, endFrame = 0;
                ok = ReadU32(d, pos, startFrame) && ReadU32(d, pos, endFrame);
                if (!ok || startFrame > INT_MAX || endFrame > INT_MAX) {
                    break;
                }
                if (presets) {
                    m_presetsAtFrame[(int)startFrame].push_back(name);
                    m_presetsAtFrame[(int)endFrame].push_back(name + "_END");
                } else {
                    m_effectStartsAtFrame[(int)startFrame].push_back(name);
                    m_effectStopsAtFrame[(int)endFrame].push_back(name);
                }
            }
        }
        if (!ok) {
            LogErr(VB_SEQUENCE, "Sequence %s: the %c%c header is truncated; entries after the break are ignored\n",
                   m_fileName.c_str(), header.code[0], header.code[1]);
        }
    }
    std::vector<std::string> effects;
    for (auto& [frame, names] : m_effectStartsAtFrame) effects.insert(effects.end(), names.begin(), names.end());
    EffectPlayer::INSTANCE.Preload(effects, m_fileName);
}

void Sequence::StartSequence() {
    if (m_hasFile && m_openState == 1) WaitForStartFrames();
    std::string name;
    bool start = false;
    {
        std::lock_guard<std::recursive_mutex> play(m_playMutex);
        if (!IsSequenceRunning() && m_hasFile) {
            if (SyncEnabled()) {
                ResetChannelOutputFrameNumber();
                multiSync->SendSeqSyncStartPacket(m_fileName);
            }
            m_openState = 0;
            start = true;
            // The first frame was processed before the start, when "FE"
            // effects do not start yet: processed again, it carries those
            // that start with it.
            std::lock_guard<std::mutex> lock(m_queueMutex);
            if (m_currentFrame && !EffectsAtFrame((int)m_currentFrame->getFrameNumber()).empty()) {
                ShowFrame(m_currentFrame);
                m_overlaysApplied = false;
            }
        }
        name = m_fileName;
    }
    if (start) {
        StartChannelOutputThread();
        // Frame 0 goes out now and starts the frame grid, rather than at the
        // next pass of whatever the thread was pacing before.
        ForceChannelOutputNow();
    }
    std::map<std::string, std::string> keywords{{"SEQUENCE_NAME", name}};
    CommandManager::INSTANCE.TriggerPreset("SEQUENCE_STARTED", keywords);
}

int Sequence::StartSequence(const std::string& filename, int startFrame) {
    int playerStatus = Player::INSTANCE.GetStatus();
    bool seek = false;
    {
        std::lock_guard<std::recursive_mutex> play(m_playMutex);
        if (m_hasFile && m_fileName == filename) {
            seek = startFrame != 0;
        } else {
            if (m_hasFile) {
                CloseLocked(playerStatus);
            }
            OpenLocked(filename, startFrame, -1, playerStatus);
            // Opening already positioned the reader at startFrame.
            if (!m_hasFile || (m_fileName != filename && m_fileName != "fallback.hseq")) {
                return 0;
            }
        }
    }
    // Started without m_playMutex held, so the output thread's first pass
    // does not wait for this caller.
    StartSequence();
    if (seek) {
        SeekSequenceFile(startFrame);
    }
    return 1;
}

// The first frames of a file are its slowest to read: their buffers are
// new memory, and the output thread's first sends of it compete for the
// same cores. Without frames in hand the show would repeat and skip its
// first frames at millions of channels. A file opened ahead (a playlist
// prepares the next entry) has read them long before its start, and does
// not wait.
void Sequence::WaitForStartFrames() {
    std::unique_lock<std::mutex> lock(m_queueMutex);
    size_t want = (size_t)std::min(m_readAheadLimit.load(), START_READ_AHEAD_FRAMES);
    m_readerWake.notify_all();
    m_frameQueued.wait_for(lock, std::chrono::milliseconds(START_READ_AHEAD_WAIT_MS),
                           [&] { return m_readAhead.size() >= want || m_readFinished || !m_hasFile; });
}

int Sequence::CloseSequenceFile() {
    int playerStatus = Player::INSTANCE.GetStatus();
    return CloseLocked(playerStatus);
}

int Sequence::CloseLocked(int playerStatus) {
    std::unique_lock<std::recursive_mutex> play(m_playMutex);
    LogDebug(VB_SEQUENCE, "CloseSequenceFile() %s\n", m_fileName.c_str());
    if (SyncEnabled()) {
        std::string name = m_fileName;
        play.unlock();
        multiSync->SendSeqSyncStopPacket(name);
        play.lock();
    }
    bool wasOpen = false;
    {
        std::lock_guard<std::mutex> lock(m_fileMutex);
        if (m_file) {
            m_file.reset();
            m_hasFile = false;
            wasOpen = true;
        }
    }
    if (wasOpen) {
        std::map<std::string, std::string> keywords{{"SEQUENCE_NAME", m_fileName}};
        CommandManager::INSTANCE.TriggerPreset("SEQUENCE_STOPPED", keywords);
        m_presetsAtFrame.clear();
        m_effectStartsAtFrame.clear();
        m_effectStopsAtFrame.clear();
        m_frameEffects.clear();
        m_lastEffectFrame = -1;
        EffectPlayer::INSTANCE.StopForeground();
    }
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        clearCaches();
        m_readFinished = true;
        m_lastQueuedFrame = -1;
    }
    m_frameQueued.notify_all();
    setFileName("");
    m_paused = 0;
    m_openState = 0;

    // Background effects that run on are laid over the blank frame: without
    // it the sequence's last frame would stay lit around them.
    if (getKIVmode() != MODE_REMOTE && playerStatus != PLAYER_PLAYING) {
        SendBlankingData();
    } else if (m_blankBetween) {
        SendBlankingData();
    }
    return 1;
}

void Sequence::CloseIfOpen(const std::string& filename) {
    int playerStatus = Player::INSTANCE.GetStatus();
    std::lock_guard<std::recursive_mutex> play(m_playMutex);
    if (m_hasFile && m_fileName == filename) {
        CloseLocked(playerStatus);
    }
}

int Sequence::IsSequenceRunning() { return m_hasFile && m_openState == 0; }

bool Sequence::HasCurrentFrame() {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    return m_currentFrame != nullptr;
}

int Sequence::IsSequenceRunning(const std::string& filename) {
    std::lock_guard<std::recursive_mutex> play(m_playMutex);
    return m_fileName == filename && IsSequenceRunning();
}

bool Sequence::HoldsFrame(HSEQFile::FrameData* frame) const {
    // Asked once a frame for the frame shown before, which is almost always
    // the second newest shown one: searched from there, a walk through both
    // lists (61 nodes spread over the heap, each a cache miss after the
    // frame copies) becomes two steps.
    return std::find(m_shownFrames.rbegin(), m_shownFrames.rend(), frame) != m_shownFrames.rend() ||
           std::find(m_readAhead.begin(), m_readAhead.end(), frame) != m_readAhead.end();
}

void Sequence::SetLastFrameData(HSEQFile::FrameData* lastFrameData) {
    if (m_outputFrame && m_outputFrame != lastFrameData) {
        // The frame the outputs read in place stops being current: what
        // they showed stays in the buffer.
        CopyFrameToBuffer(m_outputFrame);
        m_overlaysApplied = false;
    }
    ReplaceCurrent(lastFrameData);
}

void Sequence::ReplaceCurrent(HSEQFile::FrameData* frame) {
    if (m_currentFrame && m_currentFrame != frame && !HoldsFrame(m_currentFrame)) {
        DeleteFrame(m_currentFrame);
    }
    m_currentFrame = frame;
}

void Sequence::DeleteFrame(HSEQFile::FrameData* frame) {
    if (frame == m_sentFrame) WaitForSends();
    TakeBackDrawing(frame, false);
    if (frame == m_outputFrame) {
        m_canvas.forget();
        m_outputFrame = nullptr;
        m_outputData = m_channelData;
        m_overlaysApplied = false;
    }
    delete frame;
}

void Sequence::clearCaches() {
    for (auto* f : m_readAhead) {
        if (f != m_currentFrame) DeleteFrame(f);
    }
    for (auto* f : m_shownFrames) {
        if (f != m_currentFrame) DeleteFrame(f);
    }
    m_readAhead.clear();
    m_shownFrames.clear();
    ++m_cacheGeneration;
}

// Caller holds m_queueMutex.
void Sequence::RepositionReader(int frame) {
    clearCaches();
    LogDebug(VB_SEQUENCE, "Seeking to %d.   Last read is %d\n", frame, (int)m_lastQueuedFrame);
    m_lastQueuedFrame = frame - 1;
    // A reader that had reached the end reads again from the new position.
    m_readFinished = !m_hasFile;
}

int Sequence::SeekSequenceFile(int frameNumber) {
    LogDebug(VB_SEQUENCE, "SeekSequenceFile(%d)\n", frameNumber);
    std::lock_guard<std::recursive_mutex> play(m_playMutex);
    if (!IsSequenceRunning()) {
        LogDebug(VB_SEQUENCE, "No sequence is running\n");
        return 0;
    }
    if (frameNumber < 0) {
        frameNumber = 0;
    }
    bool repositioned = SeekLocked(frameNumber);
    if (repositioned && getKIVmode() == MODE_REMOTE && frameNumber <= REMOTE_EARLY_SEEK_FRAMES) {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        if (++m_earlySeekCount > REMOTE_EARLY_SEEKS_WARNING) {
            WarningHolder::AddWarning(EARLY_SEEK_WARNING);
        }
    }
    return 1;
}

// Caller holds m_playMutex. True when the reader had to be sent back to the
// file, false when the queue already led to the frame.
bool Sequence::SeekLocked(int frameNumber) {
    bool repositioned = false;
    std::lock_guard<std::mutex> lock(m_queueMutex);
    // Frames already shown from the target on go back in front of the
    // queue, newest first, so they play again without touching the file.
    while (!m_shownFrames.empty() && (int)m_shownFrames.back()->getFrameNumber() >= frameNumber) {
        m_readAhead.push_front(m_shownFrames.back());
        m_shownFrames.pop_back();
    }
    while (!m_readAhead.empty() && (int)m_readAhead.front()->getFrameNumber() < frameNumber) {
        HSEQFile::FrameData* f = m_readAhead.front();
        m_readAhead.pop_front();
        if (f != m_currentFrame) DeleteFrame(f);
    }
    // The queue must now run frame by frame from the target up to where the
    // reader goes on; history with gaps (earlier seeks, a late frame) does not.
    int expect = frameNumber;
    for (auto* f : m_readAhead) {
        if ((int)f->getFrameNumber() != expect) break;
        ++expect;
    }
    bool usable = !m_readAhead.empty() && expect == frameNumber + (int)m_readAhead.size() &&
                  expect - 1 == m_lastQueuedFrame;
    if (!usable) {
        RepositionReader(frameNumber);
        repositioned = true;
    }
    m_readerWake.notify_all();
    return repositioned;
}

int Sequence::ReadFramesLoop() {
    SetThreadName("KIV-ReadFrames");
    RaiseThreadPriority(ThreadRole::ReadAhead);
    std::unique_lock<std::mutex> lock(m_queueMutex);
    while (!m_stopReader) {
        if ((int)m_readAhead.size() >= m_readAheadLimit || m_openState > 1 || !m_hasFile || m_readFinished) {
            m_readerWake.wait_for(lock, std::chrono::milliseconds(READER_IDLE_WAIT_MS));
            continue;
        }
        int last = m_lastQueuedFrame;
        unsigned generation = m_cacheGeneration;
        int next = last + 1;
        if (next >= m_numFrames) {
            m_readFinished = true;
            lock.unlock();
            m_frameQueued.notify_all();
            usleep(1000);
            lock.lock();
            continue;
        }

        lock.unlock();
        long long t0 = GetTime();
        HSEQFile::FrameData* frame = nullptr;
        long long t1, t2;
        {
            std::lock_guard<std::mutex> fileLock(m_fileMutex);
            t1 = GetTime();
            if (m_file) {
                frame = ReadFrameFromFile(m_file.get(), (uint32_t)next);
            }
            t2 = GetTime();
        }
        long long t3 = GetTime();
        if (t3 - t0 > SLOW_READ_US || !frame) {
            LogDebug(VB_SEQUENCE,
                     "Problem reading frame %d:   %X    Time: %d ms     Last: %d     Lock: %d   GetFrame: %d   "
                     "Unlock: %d\n",
                     next, (unsigned)(uintptr_t)frame, (int)((t3 - t0) / 1000), (int)m_lastQueuedFrame,
                     (int)(t1 - t0), (int)(t2 - t1), (int)(t3 - t2));
        }

        lock.lock();
        if (!frame && m_hasFile && !m_missingReported && m_cacheGeneration == generation) {
            // The show holds its last good frame in time with the file's
            // length; the user learns why the lights stand still.
            m_missingReported = true;
            std::string warning = "Sequence file " + m_missingName + " cannot be read from frame " + std::to_string(next) +
                                  " on; it is damaged or was changed while playing";
            lock.unlock();
            LogErr(VB_SEQUENCE, "%s\n", warning.c_str());
            WarningHolder::AddWarningTimeout(warning, WARNING_TIMEOUT_S);
            lock.lock();
        }
        if (!frame) {
            // Do not spin on a frame that cannot be read; the output thread
            // moves the read position on if it runs late.
            m_readerWake.wait_for(lock, std::chrono::milliseconds(READER_IDLE_WAIT_MS));
            continue;
        }
        if (m_lastQueuedFrame == last && m_cacheGeneration == generation) {
            m_lastQueuedFrame = next;
            m_readAhead.push_back(frame);
            // Notified under the lock and straight on to the next frame: a
            // pause here cost a sleep and a wake-up per frame.
            m_frameQueued.notify_all();
        } else {
            delete frame;
        }
    }
    return 0;
}

HSEQFile::FrameData* Sequence::ReadFrameFromFile(HSEQFile* file, uint32_t frame) {
    return file->getPlacedFrame(frame);
}

void Sequence::WaitForSends() {
    WaitForChannelOutputSends();
    m_sentFrame = nullptr;
}

void Sequence::CopyFrameToBuffer(HSEQFile::FrameData* frame) {
    if (frame) {
        WaitForSends();
        LeaveOutputFrame();
        TakeBackDrawing(frame, true);
        frame->readFrame(m_channelData, MAX_CHANNELS);
        m_copyDrawnOn = false;
    }
}

void Sequence::LeaveOutputFrame() {
    if (m_outputFrame && m_canvas.keptBytes()) {
        // Given back when the frame is read again, not now: most frames
        // never are.
        m_drawnFrames.emplace_back(m_outputFrame, m_canvas.take(std::move(m_spareKept)));
    }
    m_canvas.forget();
    m_outputData = m_channelData;
    m_outputFrame = nullptr;
}

void Sequence::TakeBackDrawing(HSEQFile::FrameData* frame, bool restore) {
    for (auto it = m_drawnFrames.begin(); it != m_drawnFrames.end(); ++it) {
        if (it->first != frame) continue;
        if (restore) {
            // Outputs may still be sending the drawn bytes.
            if (frame == m_sentFrame) WaitForSends();
            uint32_t count = 0;
            if (uint8_t* own = frame->channelBytes(count)) it->second.restore(own);
        }
        m_spareKept = std::move(it->second);
        m_drawnFrames.erase(it);
        return;
    }
}

bool Sequence::DrawsAnywhere() {
    return m_drawnPastFrame || PluginManager::INSTANCE.hasFrameHooks() || ChannelTester::INSTANCE.Testing();
}

void Sequence::ShowFrame(HSEQFile::FrameData* frame) {
    uint32_t count = 0;
    uint8_t* own = frame ? frame->channelBytes(count) : nullptr;
    if (own && !DrawsAnywhere()) {
        // Asked every frame: outputs attached after the open must not read
        // past the frame's bytes (and the zeros after them).
        auto ranges = GetOutputRanges(true);
        if (ranges.empty() ||
            (uint64_t)ranges.back().first + ranges.back().second <= (uint64_t)count + HSEQ_FRAME_SPARE_BYTES) {
            if (frame != m_outputFrame) {
                LeaveOutputFrame();
                TakeBackDrawing(frame, true);
            }
            m_outputData = own;
            m_outputFrame = frame;
            m_outputSize = count + HSEQ_FRAME_SPARE_BYTES;
            return;
        }
    }
    CopyFrameToBuffer(frame);
}

void Sequence::ReadSequenceData(bool force) {
    LogExcess(VB_SEQUENCE, "ReadSequenceData()\n");
    int playerStatus = Player::INSTANCE.GetStatus();
    std::lock_guard<std::recursive_mutex> play(m_playMutex);
    if (!force && m_openState != 0) {
        return;
    }
    bool running = IsSequenceRunning();
    bool stepping = false;
    if (m_paused && running) {
        if (m_stepForward) {
            m_stepForward = 0;
            stepping = true;
        } else if (m_stepBack) {
            m_stepBack = 0;
            StepBackLocked();
            stepping = true;
        } else {
            return;
        }
    }
    if (force || running) {
        ReadOneFrame(stepping, force && !running, playerStatus);
        return;
    }
    if (m_blankBetween) {
        BlankSequenceData(false);
    } else if (getKIVmode() == MODE_REMOTE) {
        if (m_idleRemoteReads > REMOTE_IDLE_READS_BEFORE_BLANK) {
            BlankSequenceData(false);
        } else {
            ++m_idleRemoteReads;
        }
    } else if (playerStatus == PLAYER_IDLE) {
        BlankSequenceData(false);
    }
}

// Steps back by seeking to the frame before the current one; with history
// that is a move in memory, otherwise the reader goes back for it.
void Sequence::StepBackLocked() {
    int current;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        if (m_currentFrame) {
            current = (int)m_currentFrame->getFrameNumber();
        } else if (!m_readAhead.empty()) {
            current = (int)m_readAhead.front()->getFrameNumber() - 1;
        } else {
            current = m_lastQueuedFrame;
        }
    }
    SeekLocked(std::max(current - 1, 0));
}

void Sequence::ReadOneFrame(bool stepping, bool preroll, int playerStatus) {
    m_idleRemoteReads = 0;
    std::unique_lock<std::mutex> lock(m_queueMutex);
    if (m_readAhead.empty() && !m_readFinished) {
        m_readerWake.notify_all();
        int waitMs = m_frameMs - 1;
        if (waitMs > 0) {
            m_frameQueued.wait_for(lock, std::chrono::milliseconds(waitMs),
                                   [this] { return !m_readAhead.empty() || m_readFinished; });
        }
    }
    if (m_readAhead.empty() && m_readFinished) {
        lock.unlock();
        m_elapsedMs = m_durationMs.load();
        m_remainingMs = 0;
        CloseLocked(playerStatus);
        return;
    }
    if (m_readAhead.empty()) {
        if (stepping) {
            // A single step shows exactly the next frame; try again next pass.
            m_stepForward = 1;
        } else if (preroll) {
            // Not started yet: nothing is late; the first read of the
            // running sequence picks the frame up.
        } else {
            int awaited = m_lastQueuedFrame + 1;
            if (m_lastQueuedFrame > 0) {
                // Late: repeat the last frame and let the reader skip one, so
                // the show stays in time.
                ++m_lastQueuedFrame;
                if (!m_shownFrames.empty()) {
                    ReplaceCurrent(m_shownFrames.back());
                    ShowFrame(m_currentFrame);
                    m_overlaysApplied = false;
                }
            }
            if (m_currentFrame) {
                LogDebug(VB_SEQUENCE, "Frame %d was not read in time; frame %d goes out again\n", awaited,
                         (int)m_currentFrame->getFrameNumber());
            } else {
                LogDebug(VB_SEQUENCE, "Frame %d was not read in time; nothing of the sequence goes out yet\n",
                         awaited);
            }
        }
        lock.unlock();
        m_readerWake.notify_all();
        return;
    }

    HSEQFile::FrameData* frame = m_readAhead.front();
    m_readAhead.pop_front();
    if ((int)m_shownFrames.size() > m_shownLimit - 1) {
        HSEQFile::FrameData* oldest = m_shownFrames.front();
        m_shownFrames.pop_front();
        if (oldest != m_currentFrame) DeleteFrame(oldest);
    }
    m_shownFrames.push_back(frame);
    ReplaceCurrent(frame);
    lock.unlock();
    m_readerWake.notify_all();

    // The frame is current, so nobody deletes it while m_playMutex is held.
    ShowFrame(frame);
    int number = (int)frame->getFrameNumber();
    SetChannelOutputFrameNumber(number);
    m_elapsedMs = (int)std::min<long long>((long long)number * m_frameMs, INT_MAX);
    m_remainingMs = m_durationMs - m_elapsedMs;
    m_overlaysApplied = false;
}

void Sequence::MergeBridgeData(FrameCanvas& canvas) {
    std::lock_guard<std::mutex> lock(m_bridgeMutex);
    unsigned char* bridge = m_bridgeBuffer;
    if (!bridge || m_liveBridgeRanges.empty()) {
        return;
    }
    uint64_t now = (uint64_t)GetTimeMS();
    std::vector<std::pair<uint64_t, uint64_t>>& spans = m_bridgeSpans;  // [start, end), ascending start
    spans.clear();
    for (auto it = m_liveBridgeRanges.begin(); it != m_liveBridgeRanges.end();) {
        auto& expires = it->second.expires;
        for (auto e = expires.begin(); e != expires.end();) {
            if (e->second < now) {
                e = expires.erase(e);
            } else {
                ++e;
            }
        }
        if (expires.empty()) {
            it = m_liveBridgeRanges.erase(it);
            continue;
        }
        spans.push_back({it->first, it->first + expires.rbegin()->first});
        ++it;
    }
    if (spans.empty()) {
        return;
    }
    auto copy = [&](uint64_t start, uint64_t end) {
        end = std::min<uint64_t>(end, BRIDGE_BUFFER_SIZE);
        if (end > start && canvas.claim(start, end - start)) memcpy(canvas.data() + start, bridge + start, end - start);
    };
    uint64_t start = spans[0].first, end = spans[0].second;
    for (size_t i = 1; i < spans.size(); ++i) {
        if (spans[i].first <= end) {
            end = std::max(end, spans[i].second);
        } else {
            copy(start, end);
            start = spans[i].first;
            end = spans[i].second;
        }
    }
    copy(start, end);
}

std::set<std::string> Sequence::EffectsAtFrame(int frame) const {
    // An effect runs from a start frame up to (not at) its end frame: the
    // latest of its starts and stops at or before the frame decides.
    std::map<std::string, int> lastStart, lastStop;
    for (auto& [f, names] : m_effectStartsAtFrame) {
        if (f > frame) break;
        for (auto& n : names) lastStart[n] = f;
    }
    for (auto& [f, names] : m_effectStopsAtFrame) {
        if (f > frame) break;
        for (auto& n : names) lastStop[n] = f;
    }
    std::set<std::string> running;
    for (auto& [name, start] : lastStart) {
        auto stop = lastStop.find(name);
        if (stop == lastStop.end() || stop->second < start) running.insert(name);
    }
    return running;
}

void Sequence::UpdateFrameEffects() {
    // Started when their first frame is processed, not when the frame
    // before it is sent, so their first frame goes out with it. A seek
    // lands in the right state too.
    if (!IsSequenceRunning() || (m_effectStartsAtFrame.empty() && m_frameEffects.empty())) return;
    int frame;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        if (!m_currentFrame) return;
        frame = (int)m_currentFrame->getFrameNumber();
    }
    if (frame == m_lastEffectFrame) return;
    m_lastEffectFrame = frame;
    std::set<std::string> wanted = EffectsAtFrame(frame);
    for (auto& name : m_frameEffects) {
        if (!wanted.count(name)) StopEffect(name);
    }
    for (auto& name : wanted) {
        if (!m_frameEffects.count(name)) StartEffect(name, 0, 1, false);
    }
    m_frameEffects = wanted;
}

int Sequence::ProcessSequenceData(int ms) {
    std::lock_guard<std::recursive_mutex> play(m_playMutex);
    // Before the frame is put in the buffer: an effect that starts with it
    // changes it.
    UpdateFrameEffects();
    // Outputs may still send the last frame from the buffer (a frame that
    // takes longer than its period); it changes only once they are done.
    WaitForSends();
    if (m_outputFrame) {
        // Start again from the frame's own bytes: put back what the last
        // pass drew on them.
        m_canvas.restore();
        if (DrawsAnywhere()) {
            std::lock_guard<std::mutex> lock(m_queueMutex);
            CopyFrameToBuffer(m_outputFrame);
        }
    } else if (m_copyDrawnOn) {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        CopyFrameToBuffer(m_currentFrame);
    }
    if (!DrawOnFrame(ms)) {
        // Something writes where nothing keeps what it overwrites (a
        // plug-in or the tester that came up since the frame was shown), or
        // past the frame's own bytes: then this sequence is drawn on copies
        // from now on.
        if (m_canvas.refused()) m_drawnPastFrame = true;
        std::lock_guard<std::mutex> lock(m_queueMutex);
        CopyFrameToBuffer(m_outputFrame);
        DrawOnFrame(ms);
    }
    PrepareChannelData((char*)m_outputData);
    m_overlaysApplied = true;
    return 1;
}

bool Sequence::DrawOnFrame(int ms) {
    bool inPlace = m_outputFrame != nullptr;
    m_canvas.begin(m_outputData, inPlace ? m_outputSize : (uint32_t)sizeof(m_channelData), inPlace);
    m_copyDrawnOn = !inPlace;
    MergeBridgeData(m_canvas);
    // Plug-ins and the tester write anywhere and keep nothing.
    if (inPlace && (PluginManager::INSTANCE.hasFrameHooks() || ChannelTester::INSTANCE.Testing())) return false;
    PluginManager::INSTANCE.modifySequenceData(ms, m_outputData);
    if (IsEffectRunning()) {
        OverlayEffects(m_canvas);
    }
    if (SDLOutput::IsOverlayingVideo()) {
        SDLOutput::ProcessVideoOverlay(ms);
    }
    if (PixelOverlayManager::INSTANCE.hasActiveOverlays()) {
        PixelOverlayManager::INSTANCE.doOverlays(m_canvas);
    }
    if (ChannelTester::INSTANCE.Testing()) {
        if (inPlace) return false;
        ChannelTester::INSTANCE.OverlayTestData(m_outputData);
    }
    PluginManager::INSTANCE.modifyChannelData(ms, m_outputData);
    return !(inPlace && m_canvas.refused());
}

void Sequence::SendSequenceData() {
    std::lock_guard<std::recursive_mutex> play(m_playMutex);
    int frame = -1;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        if (m_currentFrame) {
            frame = (int)m_currentFrame->getFrameNumber();
        }
    }
    // Scheduled names fire once when their frame first goes out while the
    // sequence runs, not again for a paused, held or repeated frame.
    if (frame >= 0 && frame != m_lastFiredFrame && IsSequenceRunning()) {
        m_lastFiredFrame = frame;
        auto presets = m_presetsAtFrame.find(frame);
        if (presets != m_presetsAtFrame.end()) {
            for (auto& name : presets->second) {
                std::map<std::string, std::string> keywords{{"SEQUENCE_NAME", m_fileName}};
                CommandManager::INSTANCE.TriggerPreset(name, keywords);
            }
        }
    }
    SendChannelData((const char*)m_outputData);
    m_sentFrame = m_outputFrame;
}

void Sequence::BlankSequenceData(bool clearBridge) {
    LogExcess(VB_SEQUENCE, "BlankSequenceData()\n");
    std::lock_guard<std::recursive_mutex> play(m_playMutex);
    WaitForSends();
    LeaveOutputFrame();
    auto ranges = GetOutputRanges(true);
    for (auto& r : ranges) {
        if (r.first < (uint32_t)MAX_CHANNELS) {
            memset(m_channelData + r.first, 0, std::min<uint64_t>(r.second, (uint64_t)MAX_CHANNELS - r.first));
        }
    }
    if (clearBridge) {
        std::lock_guard<std::mutex> lock(m_bridgeMutex);
        unsigned char* bridge = m_bridgeBuffer;
        if (bridge) {
            for (auto& r : ranges) {
                if (r.first < (uint32_t)BRIDGE_BUFFER_SIZE) {
                    memset(bridge + r.first, 0, std::min<uint64_t>(r.second, (uint64_t)BRIDGE_BUFFER_SIZE - r.first));
                }
            }
        }
        m_liveBridgeRanges.clear();
    }
    m_overlaysApplied = false;
    std::lock_guard<std::mutex> lock(m_queueMutex);
    SetLastFrameData(nullptr);
}

void Sequence::SendBlankingData() {
    LogDebug(VB_SEQUENCE, "SendBlankingData()\n");
    usleep(BLANKING_DELAY_US);
    if (SyncEnabled()) {
        multiSync->SendBlankingDataPacket();
    }
    BlankSequenceData(true);
    if (ChannelOutputThreadIsRunning() && ChannelOutputThreadIsEnabled()) {
        ForceChannelOutputNow();
    } else {
        ProcessSequenceData(0);
        SendSequenceData();
    }
}

void Sequence::SetBridgeData(unsigned char* data, int startChannel, int length, unsigned long long expireMS) {
    SetBridgeData(std::vector<BridgeRange>{{data, startChannel, length, expireMS}});
}

void Sequence::SetBridgeData(const std::vector<BridgeRange>& ranges) {
    if (IsSequenceRunning()) {
        if (m_warnOnBridge) {
            // Refreshed at most once a second: bridge packets come in by the
            // hundred and every warning change rewrites the warnings file.
            long long now = GetTimeMS();
            bool refresh;
            {
                std::lock_guard<std::mutex> lock(m_bridgeMutex);
                refresh = now - m_lastBridgeWarningMs >= 1000;
                if (refresh) m_lastBridgeWarningMs = now;
            }
            if (refresh) {
                WarningHolder::AddWarningTimeout(BRIDGE_WARNING, WARNING_TIMEOUT_S);
            }
        }
        if (m_sequenceWins) {
            return;
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_bridgeMutex);
        unsigned char* bridge = m_bridgeBuffer;
        for (const BridgeRange& r : ranges) {
            if (!r.data || r.startChannel < 0 || r.length <= 0 ||
                (long long)r.startChannel + r.length > BRIDGE_BUFFER_SIZE) {
                LogErr(VB_E131BRIDGE, "Ignoring bridge data for channels %d+%d: outside the channel buffer\n",
                       r.startChannel, r.length);
                continue;
            }
            if (!bridge) {
                bridge = (unsigned char*)calloc(BRIDGE_BUFFER_SIZE, 1);
                if (!bridge) {
                    LogErr(VB_E131BRIDGE, "Could not allocate the bridge buffer\n");
                    return;
                }
                m_bridgeBuffer = bridge;
            }
            memcpy(bridge + r.startChannel, r.data, r.length);
            auto it = m_liveBridgeRanges.find((uint64_t)r.startChannel);
            if (it == m_liveBridgeRanges.end()) {
                it = m_liveBridgeRanges.emplace((uint64_t)r.startChannel, BridgeRangeData((uint32_t)r.startChannel))
                         .first;
            }
            it->second.expires[(uint32_t)r.length] = r.expireMS;
        }
    }
    m_overlaysApplied = false;
}

int Sequence::hasBridgeData() {
    std::lock_guard<std::mutex> lock(m_bridgeMutex);
    return !m_liveBridgeRanges.empty();
}

int Sequence::SequenceIsPaused() { return m_paused; }

void Sequence::ToggleSequencePause() { m_paused = !m_paused; }

void Sequence::SingleStepSequence() { m_stepForward = 1; }

void Sequence::SingleStepSequenceBack() { m_stepBack = 1; }

int Sequence::GetReadAheadCount() {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    return (int)m_readAhead.size();
}
