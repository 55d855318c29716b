#pragma once
// The channel output thread "KIV-ChannelOut": once per frame period it
// sends the processed frame of the sequence player to every output, reads
// and processes the next one, and sleeps until the next period. The period
// follows the open sequence and is nudged toward a master (media position,
// playlist wall clock, multi-system master). Started by the sequence player,
// the main loop and forcing callers; it stops itself when idle.

#include <atomic>
#include <cstdint>

// Timing state shared with the sequence player, the playlist entries and
// the media layer. Several threads touch these, hence atomics.
extern std::atomic<float> RefreshRate;        // frames per second of the open sequence
extern std::atomic<int> LightDelay;           // us, the period the thread sleeps now
extern std::atomic<int> SequenceLightDelay;   // us, nominal period of the open sequence
extern std::atomic<int> BridgeLightDelay;     // us, period when only bridge data is sent
extern std::atomic<int> MasterFramesPlayed;   // last frame count of a master, -1 = none
extern std::atomic<int> OutputFrames;         // output enabled
extern std::atomic<int> RunThread;            // the thread is to keep running
extern std::atomic<int> ThreadIsRunning;      // the thread is inside its loop
extern std::atomic<int> ThreadIsExiting;      // the thread is in its idle wait before ending
extern std::atomic<int> outputForced;         // callers that force output
extern std::atomic<int> FrameSkip;            // frames to skip (>0) or hold (-1) at the next read
extern std::atomic<float> mediaOffset;        // seconds, setting "mediaOffset" / 1000
extern std::atomic<int> alwaysTransmit;       // setting "alwaysTransmit", read at thread start

// A pass that begins less than this many periods late keeps the frame grid
// (the passes after it follow at once to catch up); one later starts a new
// grid where it began. A remote tells a master's two kinds of late frame
// apart by it (MasterGridFilter).
constexpr int MAX_CATCH_UP_PERIODS = 4;

// What the output thread did since the daemon started, for the metrics page.
// A frame is late when its pass began a whole period or more behind the
// grid, skipped when the show jumped over it (catching up with a master or
// its sound) or left it unsent as too late. A pass is the thread's work for
// one frame: send, read the next, process it.
struct OutputThreadStatistics {
    static constexpr int PASS_BUCKETS = 10;
    // Upper bounds (us) of the pass-time buckets; the last one catches the rest.
    static constexpr long long PASS_BUCKET_US[PASS_BUCKETS] = {500,   1000,  2000,   5000,   10000,
                                                               20000, 50000, 100000, 250000, 1000000};
    uint64_t framesSent = 0;
    uint64_t framesLate = 0;
    uint64_t framesSkipped = 0;
    uint64_t passes = 0;
    uint64_t passSumUs = 0;
    uint64_t passBuckets[PASS_BUCKETS + 1] = {};  // per bucket (not cumulative); [PASS_BUCKETS]: longer
};
OutputThreadStatistics GetOutputThreadStatistics();

int StartChannelOutputThread();
// 0 once the thread has left, -1 if it still runs after 5 s.
int StopChannelOutputThread();
int ChannelOutputThreadIsRunning();
int ChannelOutputThreadIsEnabled();
void EnableChannelOutput();
void DisableChannelOutput();

// Wakes a sleeping thread so that it sends a frame at once.
void ForceChannelOutputNow();
// Sends the frame from the calling thread, as a forced pass of the running
// output thread would, while no sequence plays. False, with nothing sent,
// when that cannot be done without waiting (the thread is not running, is
// in a pass or about to end, or a sequence plays): the caller forces
// output instead.
bool SendChannelOutputFromCaller();
void StartForcingChannelOutput();
void StopForcingChannelOutput();

void SetChannelOutputRefreshRate(float rate);
float GetChannelOutputRefreshRate();

void UpdateMasterPosition(int framesPlayed);
// A remote's view of its master: frame `framesPlayed` went out at monotonic
// time frameMonoUs, and frames follow every periodUs. From then on the
// thread sends each frame when the master does (see masterFrameClock).
void UpdateMasterPosition(int framesPlayed, long long frameMonoUs, int periodUs);
void ResetMasterPosition();

// Resynchronise the frame clock to a media position in seconds (checked at
// most every 20 frames, at once after a jump back of 2 s or more).
void CalculateNewChannelOutputDelay(float mediaPosition);
// Resynchronise to the number of frames a master expects sent by now.
void CalculateNewChannelOutputDelayForFrame(int expectedFramesSent);

// The time (monotonic us) at which to send frame `frame` so that it goes
// out with its sound: the frame belongs to song time frame / rate + offset
// seconds, and the song is at heardSeconds at nowUs. A frame ahead of its
// sound waits for it (at most 250 ms per frame); a frame behind moves the
// planned deadline earlier by at most half a period per frame, and when it
// is more than two periods behind the deadline stays and the period changes
// and skips of the media resynchronisation close the gap instead.
long long MediaPhaseDeadline(long long deadlineUs, long long nowUs, double heardSeconds, int frame, float rate,
                             float offsetSeconds, int periodUs);

void* RunChannelOutputThread(void* data);
