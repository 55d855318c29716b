#include "channeloutput/channeloutputthread.h"

#include <errno.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include "Sequence.h"
#include "ThreadPriority.h"
#include "channeloutput/channeloutput.h"
#include "common.h"
#include "log.h"
#include "mediaoutput/AudioClock.h"
#include "mediaoutput/SDLOut.h"
#include "sync/MasterFrameClock.h"
#include "sync/MultiSync.h"
#include "services/Overlays.h"
#include "settings.h"

std::atomic<float> RefreshRate{20.0f};
std::atomic<int> LightDelay{50000};
std::atomic<int> SequenceLightDelay{50000};
std::atomic<int> BridgeLightDelay{50000};
std::atomic<int> MasterFramesPlayed{-1};
std::atomic<int> OutputFrames{1};
std::atomic<int> RunThread{0};
std::atomic<int> ThreadIsRunning{0};
std::atomic<int> ThreadIsExiting{0};
std::atomic<int> outputForced{0};
std::atomic<int> FrameSkip{0};
std::atomic<float> mediaOffset{0.0f};
std::atomic<int> alwaysTransmit{0};

// Written by the output thread only; read by anyone (the metrics page).
namespace {
struct Counters {
    std::atomic<uint64_t> framesSent{0}, framesLate{0}, framesSkipped{0}, passSumUs{0};
    std::atomic<uint64_t> passBuckets[OutputThreadStatistics::PASS_BUCKETS + 1] = {};
} counters;

void add(std::atomic<uint64_t>& c, uint64_t n = 1) { c.fetch_add(n, std::memory_order_relaxed); }

void countPass(long long us) {
    int b = 0;
    while (b < OutputThreadStatistics::PASS_BUCKETS && us > OutputThreadStatistics::PASS_BUCKET_US[b]) ++b;
    add(counters.passBuckets[b]);
    add(counters.passSumUs, us > 0 ? (uint64_t)us : 0);
}
}  // namespace

OutputThreadStatistics GetOutputThreadStatistics() {
    OutputThreadStatistics s;
    // The count is the buckets' sum, so the histogram always adds up.
    for (int b = 0; b <= OutputThreadStatistics::PASS_BUCKETS; ++b) s.passBuckets[b] = counters.passBuckets[b];
    s.passSumUs = counters.passSumUs;
    for (auto n : s.passBuckets) s.passes += n;
    s.framesSent = counters.framesSent;
    s.framesLate = counters.framesLate;
    s.framesSkipped = counters.framesSkipped;
    return s;
}

static pthread_t ChannelOutputThreadID;

// Held by the thread for its whole life; its period sleep waits on
// outputThreadCond with it.
static std::mutex outputThreadLock;
static std::condition_variable outputThreadCond;

// Guards ThreadIsRunning/ThreadIsExiting transitions, startRequests and
// liveThreads; outputThreadSatusCond wakes the idle wait and announces
// status changes.
static std::mutex outputThreadStatusLock;
static std::condition_variable outputThreadSatusCond;
static unsigned startRequests = 0;  // start requests so far: an idle wait that sees a new one resumes
static int liveThreads = 0;         // threads created and not yet past their last statement

// Forced wakes so far; the period sleep ends early when this moves. A
// counter rather than a bare notify so a force that lands while the thread
// is busy still shortens the following sleep.
static std::atomic<unsigned> forcedWakes{0};

static constexpr int IDLE_WAIT_MS = 2500;
static constexpr int REMOTE_IDLE_PASSES = 20;
static constexpr int SLOW_LOOP_US = 50000;
static constexpr int VERY_SLOW_LOOP_US = 150000;
// A remote holds a frame that is early against its master for at most this
// long; further ahead (the master went back) it seeks instead.
static constexpr long long REMOTE_HOLD_LIMIT_US = 1000000;
static constexpr long long REMOTE_HOLD_MARGIN_US = 500;
// A seek a remote made to catch up is given this long to reach the reader
// before another one replaces it.
static constexpr long long REMOTE_SEEK_PATIENCE_US = 1000000;

// The frame clock runs on the monotonic clock: a wall-clock step (NTP
// setting the time on a board without a battery clock) must neither freeze
// nor race the show.
static long long MonoTimeUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

static bool SyncEnabled() { return multiSync && multiSync->isMultiSyncEnabled(); }

static bool SequenceRunning() { return sequence && sequence->IsSequenceRunning(); }
static bool BridgeDataLive() { return sequence && sequence->hasBridgeData(); }

// Anything besides a sequence that needs frames to go out.
static bool OtherOutputNeeded() {
    return IsEffectRunning() || PixelOverlayManager::INSTANCE.hasActiveOverlays() || SDLOutput::IsOverlayingVideo() ||
           ChannelTester::INSTANCE.Testing() || alwaysTransmit || BridgeDataLive() || outputForced > 0;
}

static int FrameMs(bool seqRunning) {
    if (seqRunning) {
        float rate = RefreshRate;
        return rate > 0 ? (int)(1000.0 * channelOutputFrame / rate) : 0;
    }
    return (int)(1000.0 * mediaElapsedSeconds);
}

int ChannelOutputThreadIsRunning() { return ThreadIsRunning; }
int ChannelOutputThreadIsEnabled() { return OutputFrames; }

void EnableChannelOutput() {
    LogDebug(VB_CHANNELOUT, "EnableChannelOutput()\n");
    OutputFrames = 1;
}

void DisableChannelOutput() {
    LogDebug(VB_CHANNELOUT, "DisableChannelOutput()\n");
    OutputFrames = 0;
}

void ForceChannelOutputNow() {
    LogDebug(VB_CHANNELOUT, "ForceChannelOutputNow()\n");
    // Never takes outputThreadLock: the thread itself forces (closing a
    // sequence at its end) while holding it.
    ++forcedWakes;
    outputThreadCond.notify_all();
    {
        std::lock_guard<std::mutex> status(outputThreadStatusLock);
        ++startRequests;
    }
    outputThreadSatusCond.notify_all();
}

// Live input calls this from the thread that received the frame: waking
// the output thread for it would put a second thread hop, on a board a
// second core wake-up, between the datagram in and the datagram out. The
// thread's own lock serialises this pass with the thread's passes; it is
// only tried, so the output thread never waits for a caller, nor a caller
// for a pass or the idle wait (both run with the lock held).
bool SendChannelOutputFromCaller() {
    std::unique_lock<std::mutex> threadLock(outputThreadLock, std::try_to_lock);
    if (!threadLock.owns_lock()) return false;
    if (!ThreadIsRunning || ThreadIsExiting || !RunThread || !OutputFrames || !sequence) return false;
    if (sequence->IsSequenceRunning()) return false;
    sequence->ProcessSequenceData(FrameMs(false));
    // A file opened but not started keeps its first frame for its start.
    if (sequence->IsSequenceOpeningOrNotStarted() && !OtherOutputNeeded()) return true;
    sequence->SendSequenceData();
    return true;
}

void StartForcingChannelOutput() {
    ++outputForced;
    StartChannelOutputThread();
}

void StopForcingChannelOutput() {
    int v = outputForced.load();
    while (v > 0 && !outputForced.compare_exchange_weak(v, v - 1)) {
    }
}

void SetChannelOutputRefreshRate(float rate) {
    if (rate <= 0) {
        LogErr(VB_CHANNELOUT, "Ignoring invalid refresh rate %f\n", rate);
        return;
    }
    RefreshRate = rate;
    SequenceLightDelay = (int)(1000000.0f / rate);
    LightDelay = SequenceLightDelay.load();
}

float GetChannelOutputRefreshRate() { return RefreshRate; }

void UpdateMasterPosition(int framesPlayed) {
    MasterFramesPlayed = framesPlayed;
    CalculateNewChannelOutputDelayForFrame(framesPlayed);
}

void UpdateMasterPosition(int framesPlayed, long long frameMonoUs, int periodUs) {
    masterFrameClock.Set(framesPlayed, frameMonoUs, periodUs);
    MasterFramesPlayed = framesPlayed;
}

void ResetMasterPosition() {
    masterFrameClock.Reset();
    MasterFramesPlayed = -1;
}

// When a remote's frame in the buffer is due: the moment its master sends
// the same frame. False without a master clock, or when the frame is so far
// ahead of the master that waiting would look like a stall.
static bool RemoteFrameDue(long long nowUs, long long& dueUs) {
    return masterFrameClock.TimeOfFrame(channelOutputFrame, dueUs) && dueUs - nowUs <= REMOTE_HOLD_LIMIT_US;
}

// The frame a remote reads next so that it goes out with its master's: -1
// for simply the next one of the file; another frame when that one would
// leave more than half a period late, or more than REMOTE_HOLD_LIMIT_US early.
static int RemoteFrameToRead(long long nowUs) {
    static int pendingSeek = -1;
    static long long pendingSinceUs = 0;
    int next = channelOutputFrame + 1;
    if (pendingSeek >= 0 && next <= pendingSeek && nowUs - pendingSinceUs < REMOTE_SEEK_PATIENCE_US) return -1;
    pendingSeek = -1;
    int due = masterFrameClock.FirstFrameAtOrAfter(nowUs - SequenceLightDelay / 2);
    long long nextDue;
    if (due < 0 || !masterFrameClock.TimeOfFrame(next, nextDue)) return -1;
    if (due <= next && nextDue - nowUs <= REMOTE_HOLD_LIMIT_US) return -1;
    LogDebug(VB_CHANNELOUT, "Remote at frame %d, master due at %d: seeking\n", next, due);
    pendingSeek = due;
    pendingSinceUs = nowUs;
    return due;
}

int StartChannelOutputThread() {
    LogDebug(VB_CHANNELOUT, "StartChannelOutputThread()\n");
    BridgeLightDelay = getSettingInt("E131BridgingInterval", 50) * 1000;
    if (getKIVmode() & MODE_PLAYER) {
        mediaOffset = (float)getSettingInt("mediaOffset", 0) / 1000.0f;
        LogDebug(VB_MEDIAOUT, "Using mediaOffset of %.3f\n", (double)mediaOffset);
    }

    std::unique_lock<std::mutex> status(outputThreadStatusLock);
    ++startRequests;
    outputThreadSatusCond.notify_all();
    if (ThreadIsRunning) {
        if (ThreadIsExiting) {
            // The idle-waiting thread sees the request and clears its exiting
            // flag, or it had already timed out and is on its way out; either
            // way it reports soon. Waiting for that (rather than a fixed
            // 10 ms) keeps a busy machine from starting a second thread that
            // would only queue up behind the first.
            outputThreadSatusCond.wait_for(status, std::chrono::seconds(1),
                                           [] { return !ThreadIsExiting || !ThreadIsRunning; });
        }
        if (ThreadIsRunning && !ThreadIsExiting) {
            LogDebug(VB_CHANNELOUT, "Channel Output thread is already running\n");
            return 1;
        }
    }

    RunThread = 1;
    ThreadIsExiting = 0;
    ++liveThreads;
    int rc = pthread_create(&ChannelOutputThreadID, nullptr, RunChannelOutputThread, nullptr);
    if (rc) {
        RunThread = 0;
        --liveThreads;
        const char* why = rc == EAGAIN ? "Insufficient Resources"
                          : rc == EINVAL ? "Invalid settings"
                          : rc == EPERM  ? "Invalid Permissions"
                                         : "";
        LogErr(VB_CHANNELOUT, "ERROR creating channel output thread: %s\n", why);
        return 0;
    }
    pthread_detach(ChannelOutputThreadID);
    // The thread announces itself on the status condition. Bounded so a
    // thread that ends at once (remote mode without a master) cannot hang
    // the caller.
    outputThreadSatusCond.wait_for(status, std::chrono::seconds(5), [] { return ThreadIsRunning != 0; });
    return 1;
}

int StopChannelOutputThread() {
    LogDebug(VB_CHANNELOUT, "StopChannelOutputThread()\n");
    RunThread = 0;
    // Cut the period sleep and the idle wait short; the thread sees RunThread.
    outputThreadCond.notify_all();
    std::unique_lock<std::mutex> status(outputThreadStatusLock);
    outputThreadSatusCond.notify_all();
    for (int i = 0; i < 50; ++i) {
        if (!ThreadIsRunning && liveThreads == 0) {
            return 0;
        }
        outputThreadSatusCond.wait_for(status, std::chrono::milliseconds(100));
    }
    if (!ThreadIsRunning && liveThreads == 0) {
        return 0;
    }
    return -1;
}

void* RunChannelOutputThread(void* data) {
    SetThreadName("KIV-ChannelOut");
    // Wake at the period boundary rather than up to 50 us after it.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    alwaysTransmit = getSettingInt("alwaysTransmit", 0);
    std::string priority = RaiseThreadPriority(ThreadRole::Output);
    LogDebug(VB_CHANNELOUT, "RunChannelOutputThread() starting (%s)\n", priority.c_str());

    std::unique_lock<std::mutex> threadLock(outputThreadLock);
    unsigned seenStarts;
    {
        std::lock_guard<std::mutex> status(outputThreadStatusLock);
        ThreadIsRunning = 1;
        ThreadIsExiting = 0;
        seenStarts = startRequests;
    }
    outputThreadSatusCond.notify_all();
    StartingOutput();

    const bool remote = getKIVmode() == MODE_REMOTE;
    int idleCountdown = remote ? REMOTE_IDLE_PASSES : 1;
    // Set when this thread decided to end; a new thread may already have
    // set RunThread again by then.
    bool ending = false;

    if (remote && !OtherOutputNeeded() && MasterFramesPlayed < 0) {
        for (int i = 0; i < 2000 && RunThread && !OtherOutputNeeded() && MasterFramesPlayed < 0; ++i) {
            usleep(1000);
        }
        if (!OtherOutputNeeded() && MasterFramesPlayed < 0) {
            LogDebug(VB_CHANNELOUT, "No master position within 2 seconds, output thread ending\n");
            ending = true;
        }
    }

    long long nextStart = 0;  // scheduled start of the next pass (monotonic us), 0 = none
    // LightDelay was switched to the bridge period by an idle pass; a
    // sequence that starts afterwards gets its own period back.
    bool bridgePeriod = false;
    bool forcedWake = false;
    int slowCount = 0;
    static long long lastStatTime = 0;
    // A spell in which frames go out late (a pass more than a period behind
    // the grid) is reported when it begins and when the show has kept its
    // grid for a second again, not per frame; so is a spell of slow loops.
    bool behind = false;
    int lateFrames = 0;
    long long prevSendUs = 0, prevReadUs = 0, prevProcessUs = 0;
    struct {
        long long lateUs, sendUs, readUs, processUs;
    } worst = {};  // the frame of a spell that went out latest, and where its time went
    long long onTimeSinceUs = 0;
    // The last pass sent a frame of the running show and read the next one
    // (`pendingFrame`), due at the next point of the grid. Forcing output
    // then does not start a pass early: a pass reads the frame after the one
    // it sends, so every early pass would move the show a frame ahead of
    // its clock. What was forced goes out with that frame.
    bool showOnGrid = false;
    int pendingFrame = -1;
    auto keepsItsGrid = [&] {
        return showOnGrid && SequenceRunning() && sequence->HasCurrentFrame() && channelOutputFrame == pendingFrame;
    };

    // A remote's frame waits for the moment its master sent it; a stop ends the wait.
    auto WaitForMaster = [&](long long dueMonoUs) {
        auto until = std::chrono::steady_clock::time_point(std::chrono::microseconds(dueMonoUs));
        outputThreadCond.wait_until(threadLock, until, [] { return !RunThread.load(); });
    };

    while (RunThread && !ending) {
        long long wake = MonoTimeUs();
        // The period is measured from the scheduled start of the pass, so
        // neither processing nor the wake-up latency adds to it, and a short
        // stall is made up by the next passes following at once. After a
        // longer one a new grid starts (a master then pulls the show back
        // with skips) rather than a burst of frames.
        long long start = wake;
        long long lateUs = nextStart && wake > nextStart ? wake - nextStart : 0;
        if (nextStart && wake >= nextStart && lateUs < (long long)MAX_CATCH_UP_PERIODS * LightDelay) {
            start = nextStart;
        }
        nextStart = 0;
        unsigned seenForces = forcedWakes;

        bool seqRunning = SequenceRunning();
        bool bridge = BridgeDataLive();
        bool otherOutput = OtherOutputNeeded();
        bool busy = otherOutput || forcedWake;
        forcedWake = false;

        // Nothing of a sequence goes out before its first frame does, once,
        // at the start: an opened sequence waits for its start, and a started
        // one whose first frame was not read in time reads it first. Other
        // output (overlays, bridge data, ...) keeps the buffer going out.
        bool readFirst = false;
        bool hold = false;
        if (sequence && !otherOutput) {
            if (sequence->IsSequenceOpeningOrNotStarted()) {
                hold = true;
            } else if (seqRunning && !sequence->HasCurrentFrame()) {
                sequence->ReadSequenceData(false);
                readFirst = true;
                hold = !sequence->HasCurrentFrame();
            }
        }

        // A remote sends no frame before its master does (the first one
        // after a start or a join comes here early), nor one that is more
        // than a period late (a join that took long): the next read seeks
        // to the frame due.
        long long dueUs;
        bool remoteLate = false;
        if (remote && seqRunning && !hold && !otherOutput && RemoteFrameDue(wake, dueUs)) {
            if (dueUs - wake > REMOTE_HOLD_MARGIN_US) {
                WaitForMaster(dueUs);
                if (!RunThread) break;
                wake = MonoTimeUs();
                start = dueUs;
                lateUs = 0;
            } else if (wake - dueUs > SequenceLightDelay) {
                remoteLate = true;
            }
        }

        if (seqRunning && !hold && !readFirst && lateUs >= LightDelay) {
            ++lateFrames;
            add(counters.framesLate);
            onTimeSinceUs = 0;
            if (lateUs > worst.lateUs) worst = {lateUs, prevSendUs, prevReadUs, prevProcessUs};
            if (!behind) {
                behind = true;
                // Where the time went: the pass before at work, or the thread
                // waiting to be run again (a busy machine).
                LogWarn(VB_CHANNELOUT,
                        "Output Thread is falling behind its frame grid: frame %ld goes out %lld ms late (%d ms frame "
                        "period; the pass before took %lld ms to send, %lld ms to read, %lld ms to process, the rest "
                        "was waiting to run); the show slows down until it keeps up\n",
                        (long)channelOutputFrame, lateUs / 1000, (int)LightDelay / 1000, prevSendUs / 1000,
                        prevReadUs / 1000, prevProcessUs / 1000);
            }
        } else if (behind && seqRunning && !hold) {
            if (!onTimeSinceUs) onTimeSinceUs = wake;
            if (wake - onTimeSinceUs >= 1000000) {
                LogInfo(VB_CHANNELOUT,
                        "Output Thread is on its frame grid again after %d late frames; the worst was %lld ms late "
                        "(the pass before took %lld ms to send, %lld ms to read, %lld ms to process)\n",
                        lateFrames, worst.lateUs / 1000, worst.sendUs / 1000, worst.readUs / 1000,
                        worst.processUs / 1000);
                behind = false;
                lateFrames = 0;
                worst = {};
                onTimeSinceUs = 0;
            }
        }
        int sentFrame = channelOutputFrame;
        if (OutputFrames && sequence && !hold && !remoteLate) {
            if (!sequence->isDataProcessed() || bridge) {
                sequence->ProcessSequenceData(FrameMs(seqRunning));
            }
            bool skip = false;
            if (remote && !otherOutput && MasterFramesPlayed < 0) {
                for (int i = 0; i < 1000 && RunThread && !BridgeDataLive() && MasterFramesPlayed < 0; ++i) {
                    usleep(1000);
                }
                // The master's first packet came while this frame waited, so
                // it was not placed yet: it leaves when the master's did, or
                // not at all when that has passed (the next read seeks).
                long long due;
                if (RemoteFrameDue(MonoTimeUs(), due)) {
                    if (due - MonoTimeUs() > REMOTE_HOLD_MARGIN_US) {
                        WaitForMaster(due);
                    }
                    skip = MonoTimeUs() - due > SequenceLightDelay;
                }
            }
            // A file opened since this pass looked has put its first frame
            // in the buffer: that frame waits for its start.
            if (!seqRunning && !otherOutput && sequence->IsSequenceOpeningOrNotStarted()) skip = true;
            if (!skip) {
                sequence->SendSequenceData();
                add(counters.framesSent);
            } else if (seqRunning) {
                add(counters.framesSkipped);
            }
        } else if (remoteLate) {
            add(counters.framesSkipped);
        }
        // Told after the frame left, so remotes cost the master no latency;
        // the packet carries the moment this pass began sending it (late
        // when the machine is busy: the remotes are to match the frames as
        // they leave, not as they were meant to).
        if (SyncEnabled() && seqRunning && !hold) {
            multiSync->SendSeqSyncPacket(sequence->GetFileName(), sentFrame, sentFrame / (float)RefreshRate, wake,
                                         LightDelay);
        }
        long long sendDone = MonoTimeUs();

        // A held pass reads nothing: the frame in the buffer has not gone out.
        // (A pass that read the first frame late has sent it: the next one is read.)
        if (sequence && !hold && (SequenceRunning() || idleCountdown)) {
            if (SequenceRunning()) {
                int seekTo = -1;
                if (remote && masterFrameClock.Valid()) {
                    seekTo = RemoteFrameToRead(MonoTimeUs());
                } else if (FrameSkip != 0) {
                    seekTo = channelOutputFrame + FrameSkip.exchange(0) + 1;
                }
                if (seekTo > channelOutputFrame + 1) add(counters.framesSkipped, seekTo - channelOutputFrame - 1);
                if (seekTo >= 0) sequence->SeekSequenceFile(seekTo);
            }
            sequence->ReadSequenceData(false);
        }
        long long readDone = MonoTimeUs();

        if (sequence && !BridgeDataLive()) {
            // The next frame is ready before its period starts.
            sequence->ProcessSequenceData(FrameMs(SequenceRunning()));
        }
        long long processDone = MonoTimeUs();
        showOnGrid = OutputFrames && seqRunning && !hold;
        pendingFrame = channelOutputFrame;

        prevSendUs = sendDone - wake;
        prevReadUs = readDone - sendDone;
        prevProcessUs = processDone - readDone;
        int loopUs = (int)(processDone - wake);
        countPass(loopUs);
        if (loopUs > VERY_SLOW_LOOP_US) {
            slowCount = 3;
        } else if (loopUs > SLOW_LOOP_US) {
            // Once per spell of slow loops, not for every frame of it.
            if (++slowCount == 4) {
                LogWarn(VB_CHANNELOUT,
                        "SLOW Output Thread: Loop: %dus, Send: %lldus, Read: %lldus, Process: %lldus, FrameNum: %ld\n",
                        (int)LightDelay, sendDone - wake, readDone - sendDone, processDone - readDone,
                        (long)channelOutputFrame);
            }
        } else {
            slowCount = 0;
        }

        {
            std::unique_lock<std::mutex> status(outputThreadStatusLock);
            if (!SequenceRunning() && !busy && !BridgeDataLive()) {
                LightDelay = BridgeLightDelay.load();
                bridgePeriod = true;
                if (idleCountdown > 0) {
                    --idleCountdown;
                } else {
                    ThreadIsExiting = 1;
                    bool woken = outputThreadSatusCond.wait_for(status, std::chrono::milliseconds(IDLE_WAIT_MS), [&] {
                        return startRequests != seenStarts || !RunThread;
                    });
                    seenStarts = startRequests;
                    if (woken && RunThread) {
                        ThreadIsExiting = 0;
                        outputThreadSatusCond.notify_all();
                        idleCountdown = 1;
                        continue;
                    }
                    if (!woken) {
                        RunThread = 0;
                    }
                    ending = true;
                    break;
                }
            } else {
                idleCountdown = remote ? REMOTE_IDLE_PASSES : 1;
                if (bridgePeriod && SequenceRunning()) {
                    LightDelay = SequenceLightDelay.load();
                    bridgePeriod = false;
                } else if (!SequenceRunning() && !BridgeDataLive()) {
                    // Effects alone go at their own pace.
                    int effectUs = EffectPlayer::INSTANCE.FastestStepUs();
                    if (effectUs && effectUs != LightDelay) {
                        LightDelay = effectUs;
                        bridgePeriod = true;
                    }
                }
                long long sleepUs = start + LightDelay - processDone;
                if (sleepUs < 1) sleepUs = 0;
                long long nowWall = GetTime();
                if (channelOutputFrame < 2 || sleepUs == 0 || nowWall - lastStatTime >= 1000000) {
                    lastStatTime = nowWall;
                    LogDebug(VB_CHANNELOUT,
                             "Output Thread: Loop: %dus, Send: %lldus, Read: %lldus, Process: %lldus, Sleep: %dus, "
                             "FrameNum: %ld\n",
                             (int)LightDelay, sendDone - wake, readDone - sendDone, processDone - readDone,
                             (int)sleepUs, (long)channelOutputFrame);
                }
            }
            seenStarts = startRequests;
        }

        if (!RunThread) {
            break;
        }
        long long deadline = start + LightDelay;
        double heard;
        long long now = MonoTimeUs();
        if (remote) {
            // A remote sends each frame when its master sent it.
            if (SequenceRunning() && RemoteFrameDue(now, dueUs)) deadline = dueUs;
        } else if (SequenceRunning() && !sequence->SequenceIsPaused() && AudioClock::INSTANCE.Position(now, heard)) {
            // Light on the beat: the next frame leaves when its sound is heard.
            deadline = MediaPhaseDeadline(deadline, now, heard, channelOutputFrame, RefreshRate, mediaOffset,
                                          SequenceLightDelay);
        }
        nextStart = deadline;
        if (deadline - MonoTimeUs() > 0) {
            auto until = std::chrono::steady_clock::time_point(std::chrono::microseconds(deadline));
            while (outputThreadCond.wait_until(threadLock, until,
                                               [&] { return forcedWakes != seenForces || !RunThread; }) &&
                   RunThread) {
                forcedWake = true;
                if (!keepsItsGrid()) {
                    LogDebug(VB_CHANNELOUT, "Forced output\n");
                    nextStart = 0;
                    break;
                }
                LogExcess(VB_CHANNELOUT, "Forced output waits for the next frame of the show\n");
                seenForces = forcedWakes;
            }
        } else if (forcedWakes != seenForces) {
            forcedWake = true;
        }
    }

    {
        std::lock_guard<std::mutex> status(outputThreadStatusLock);
        ThreadIsRunning = 0;
        ThreadIsExiting = 0;
    }
    StoppingOutput();
    threadLock.unlock();
    LogDebug(VB_CHANNELOUT, "RunChannelOutputThread() completed\n");
    {
        std::lock_guard<std::mutex> status(outputThreadStatusLock);
        --liveThreads;
        outputThreadSatusCond.notify_all();
    }
    return nullptr;
}

static constexpr long long MAX_WAIT_FOR_SOUND_US = 250000;

long long MediaPhaseDeadline(long long deadlineUs, long long nowUs, double heardSeconds, int frame, float rate,
                             float offsetSeconds, int periodUs) {
    if (rate <= 0 || periodUs <= 0) return deadlineUs;
    double dueSeconds = frame / (double)rate + offsetSeconds;
    long long ideal = nowUs + std::llround((dueSeconds - heardSeconds) * 1e6);
    long long shift = ideal - deadlineUs;
    // Ahead of the sound (a device that stalls, the song not started yet):
    // the frame waits for it, but no longer than MAX_WAIT_FOR_SOUND_US per
    // pass, so a device that stopped for good cannot freeze the show.
    if (shift >= 0) return deadlineUs + std::min<long long>(shift, MAX_WAIT_FOR_SOUND_US);
    if (shift < -2LL * periodUs) return deadlineUs;
    return deadlineUs + std::max<long long>(shift, -periodUs / 2);
}

static constexpr int MAX_PERIOD_CHANGE_US = 15000;

void CalculateNewChannelOutputDelayForFrame(int expectedFramesSent) {
    int sent = channelOutputFrame;
    int diff = sent - expectedFramesSent;
    int target = SequenceRunning() ? SequenceLightDelay.load() : BridgeLightDelay.load();

    if (!SyncEnabled()) {
        if (diff < -4) {
            if (diff <= -0.5 * RefreshRate) {
                LogDebug(VB_CHANNELOUT, "Skipping many frames - We are at %d, master is at: %d\n", sent,
                         expectedFramesSent);
                FrameSkip = expectedFramesSent - sent;
                LightDelay = target;
                return;
            }
            LogDebug(VB_CHANNELOUT, "Skipping a few frames - We are at %d, master is at: %d\n", sent,
                     expectedFramesSent);
            FrameSkip = 4;
            diff += 4;
        } else if (diff > 2) {
            FrameSkip = -1;
            diff -= 1;
        }
    }

    int current = LightDelay;
    if (std::abs(diff) > 1) {
        int newDelay = target;
        if ((expectedFramesSent >= sent && current <= target) || (expectedFramesSent < sent && current >= target)) {
            // 1 % of the nominal period per frame of difference, never more
            // than 15 ms shorter than nominal, nor longer: a master that
            // claims to be far behind (a bad position, a clock that jumped)
            // must not stretch one frame into seconds of dark.
            long long stretched = (long long)current + (long long)diff * (target / 100);
            stretched = std::max<long long>(stretched, target - MAX_PERIOD_CHANGE_US);
            stretched = std::min<long long>(stretched, target + MAX_PERIOD_CHANGE_US);
            newDelay = (int)stretched;
        }
        LogDebug(VB_CHANNELOUT, "LightDelay: %d, newLightDelay: %d,   DiffFrames: %d     %d/%d\n", current, newDelay,
                 diff, sent, expectedFramesSent);
        LightDelay = newDelay;
    } else if ((diff == 0 && current != target) || (diff == -1 && current > target) ||
               (diff == 1 && current < target)) {
        LightDelay = target;
    }
}

void CalculateNewChannelOutputDelay(float mediaPosition) {
    // Media position at which the next resynchronisation is due.
    static std::atomic<float> nextSyncCheck{0.5f};

    float offset = mediaOffset;
    float elapsed = mediaPosition - offset;
    mediaElapsedSeconds = elapsed < 0 ? 0.0f : elapsed;

    if (getKIVmode() == MODE_REMOTE || !SequenceRunning()) {
        return;
    }
    float due = nextSyncCheck;
    // At most every 20 frames; a jump back of 2 s or more resyncs at once.
    if (due >= mediaPosition && due < mediaPosition + 2.0f) {
        return;
    }
    float rate = RefreshRate;
    nextSyncCheck = mediaPosition + 20.0f / rate;
    int expected = (int)((mediaPosition - offset) * rate);
    int sent = channelOutputFrame;
    LogDebug(VB_CHANNELOUT, "Media Position: %.2f, Offset: %.3f, Frames Sent: %d, Expected: %d, Diff: %d\n",
             (double)mediaPosition, (double)offset, sent, expected, sent - expected);
    CalculateNewChannelOutputDelayForFrame(expected);
}
