#pragma once
// Fixtures for the fault cases that disturb a playing kivd: a show whose
// every delivered frame says which sequence and frame it is, the analysis of
// what the receivers got against the frame grid, and the disturbances
// themselves (a small tmpfs, a folder switched read-only, a disk filled up,
// a wall clock stepped through libfaketime). Mounts need root; each RAII
// object undoes what it did.

#include <sys/types.h>

#include <climits>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "StallMeter.h"
#include "TestSupport.h"
#include "hseq/ShowGenerator.h"

namespace kivtest {

class KivdProcess;

// Under TSan every memory access is checked: the player, keeping its grid,
// drops frames it cannot make in time and entries change late. Frame timing
// is judged in the other builds only; what was sent is judged in all.
#if defined(__SANITIZE_THREAD__)
constexpr bool TIMING_JUDGED = false;
#else
constexpr bool TIMING_JUDGED = true;
#endif

// A loopback address of this test program's own (127.<a>.<pid block>.n),
// away from other programs' blocks; `a` keeps test programs apart.
std::string loopbackFor(int a, int n);

// One delivered DDP frame of the show.
struct ShowFrame {
    int sequence = -1;  // index into the show's sequences; -1: not a show frame
    int frame = -1;
    long long timeUs = 0;
    bool blank = false;  // every byte 0 (blanking between or after shows)
    bool exact = false;  // the bytes equal the rendered frame
};

// How a run of frames of one sequence kept the frame grid.
struct GridReport {
    int frames = 0;         // frames delivered in the run (repeats excluded)
    int skipped = 0;        // frame numbers missing between the first and last
    int repeats = 0;        // a frame delivered again right after itself
    int backwards = 0;      // a frame older than one already delivered
    int damaged = 0;        // bytes that are a show frame's header but not its bytes
    long long maxLateUs = 0;  // worst delay against the grid of the run's best start
    long long maxGapUs = 0;   // longest time between two deliveries
    std::vector<int> delivered;  // frame numbers in order (repeats and backward frames left out)
    std::string describe() const;
};

// Generated sequences (each with its own seed, so the frames tell them
// apart) in <media>/sequences, and the knowledge to recognise their frames.
class ShowSequences {
public:
    // names[i] gets specs[i]; specs' seeds are set to 100 + i.
    ShowSequences(const std::string& mediaDir, const std::vector<std::string>& names, std::vector<ShowSpec> specs);
    bool ok() const { return m_ok; }
    const ShowSpec& spec(int i) const { return m_specs[i]; }
    const std::string& name(int i) const { return m_names[i]; }
    std::string path(int i) const;
    int count() const { return (int)m_specs.size(); }
    // Decodes DDP datagrams carrying channels 1..n (offset 0, push flag).
    std::vector<ShowFrame> decode(const std::vector<Datagram>& datagrams) const;
    // Frames of channel data (already reassembled) starting at channel `first`.
    ShowFrame identify(const uint8_t* data, size_t len, long long timeUs, size_t first = 0) const;

private:
    std::string m_media;
    std::vector<std::string> m_names;
    std::vector<ShowSpec> m_specs;
    bool m_ok = false;
};

// Frames of `channels` channels from DDP datagrams starting at offset 0: the
// bytes of every datagram up to and including one with the push flag.
std::vector<std::vector<uint8_t>> ddpFrames(const std::vector<Datagram>& datagrams, size_t channels);

// Splits deliveries into runs of one sequence played once (a run ends when
// another sequence or a blank frame comes, or the frame number falls back to
// the start) and reports each run's grid.
struct SequenceRun {
    int sequence = -1;
    int firstFrame = -1;
    int lastFrame = -1;
    long long startUs = 0, endUs = 0;
    GridReport grid;
};
std::vector<SequenceRun> splitRuns(const std::vector<ShowFrame>& frames, int stepMs);
GridReport analyseGrid(const std::vector<ShowFrame>& run, int stepMs);

// A show as the fault cases play it: the sequences, a playlist of them, one
// DDP destination (channels 1-512) to a receiver on a loopback address of
// its own, and what the receiver saw so far.
class ShowUnderTest {
public:
    // loopbackA: the second byte of the receiver's loopback address, one per
    // test program (see loopbackFor).
    ShowUnderTest(const std::string& mediaDir, const std::vector<std::string>& names, std::vector<ShowSpec> specs,
                  int loopbackA);
    bool ok() const { return m_seqs.ok() && m_ddp.ok(); }
    const std::string& address() const { return m_address; }
    ShowSequences& sequences() { return m_seqs; }
    // <media>/playlists/<name>.json playing the given sequences in order.
    void writePlaylist(const std::string& name, const std::vector<int>& sequences);
    // <media>/config/channeloutputs.json with the DDP destination; `universes`
    // adds destinations (JSON objects, comma-separated) after it.
    void writeOutputs(const std::string& moreUniverses = "", const std::string& engineKeys = "");
    void writeSchedule(const std::vector<std::string>& rows);
    // Takes what arrived into seen().
    void collect();
    // Collects until the receiver saw frame `frame` (or later) of `sequence`.
    bool waitForFrame(int sequence, int frame, int timeoutMs);
    // Collects for ms milliseconds.
    void collectFor(int ms);
    const std::vector<ShowFrame>& seen() const { return m_seen; }
    // Forgets what was seen so far (the next run of a show starts afresh).
    void clearSeen() {
        collect();
        m_seen.clear();
    }
    std::vector<SequenceRun> runs(int stepMs = 25) const { return splitRuns(m_seen, stepMs); }
    std::string describe(int stepMs = 25) const;
    // The worst delay with which this machine has woken a thread of the test
    // since the show was made (a StallMeter): bounds on the show's timing
    // widen by it, so a loaded machine is allowed what it does to threads.
    long long stallUs() const { return m_stalls.worstUs(); }

private:
    StallMeter m_stalls;
    std::string m_media;
    ShowSequences m_seqs;
    std::string m_address;
    UdpReceiver m_ddp;
    std::vector<ShowFrame> m_seen;
};

// For every frame of `sequence` that both saw, the time `other` first got it
// minus the time `reference` first got it, in us (one board against
// another, the same clock).
std::vector<long long> frameOffsets(const std::vector<ShowFrame>& reference, const std::vector<ShowFrame>& other,
                                    int sequence);

// Files the daemon writes must always hold a whole document: a JSON file
// that parses (or is absent), a log of whole lines.
bool jsonFileIsWhole(const std::string& path, std::string* why = nullptr);
bool logIsWholeLines(const std::string& text, std::string* why = nullptr);

// A tmpfs of `bytes` mounted on a fresh folder; unmounted (lazily, so a
// daemon still holding files cannot keep it) by the destructor.
class TmpfsMount {
public:
    explicit TmpfsMount(size_t bytes);
    ~TmpfsMount();
    bool ok() const { return m_mounted; }
    const std::string& path() const { return m_path; }
    const std::string& error() const { return m_error; }

private:
    std::string m_path;
    std::string m_error;
    bool m_mounted = false;
};

// Takes every free byte of the file system holding `dir` with one file;
// release() (or the destructor) gives the space back.
class DiskFiller {
public:
    explicit DiskFiller(const std::string& dir);
    ~DiskFiller();
    bool full() const { return m_full; }
    void release();
    // Frees the space again after release() was not called: fills anew.
    bool fill();

private:
    std::string m_file;
    bool m_full = false;
};

// `dir` bind-mounted onto itself, so the folder can be switched read-only
// and back like a card remounted by the kernel after an error.
class ReadOnlySwitch {
public:
    explicit ReadOnlySwitch(const std::string& dir);
    ~ReadOnlySwitch();
    bool ok() const { return m_mounted; }
    bool setReadOnly(bool readOnly);
    const std::string& error() const { return m_error; }

private:
    std::string m_dir;
    std::string m_error;
    bool m_mounted = false;
};

// The wall clock of a daemon started after applyTo(): libfaketime reads the
// offset from a file, so the test steps the clock while the daemon runs, as
// NTP does; the monotonic clock is left alone, as NTP leaves it.
class FakeClock {
public:
    FakeClock();
    ~FakeClock();
    static bool available();
    // Sets the environment of the daemon started next.
    void applyTo(KivdProcess& d) const;
    // Offset from the real time, in seconds; takes effect within a second.
    bool setOffset(long seconds);
    long offset() const { return m_offset; }

private:
    std::string m_dir;
    std::string m_file;
    long m_offset = 0;
};

// Wall-clock "HH:MM:SS" of a time, for schedule rows.
std::string clockText(time_t t);
// True when [now + from, now + to] stays within today (a slot's end would
// otherwise be tomorrow).
bool slotFitsToday(int fromNow, int toNow);
// One schedule row of the playlist, Everyday, with start and end relative
// to `base` (default: now).
std::string scheduleRow(const std::string& playlist, int fromNow, int toNow, const std::string& stopType,
                        bool repeat = true, time_t base = 0);

// The daemon's state through its command client.
std::string commandText(KivdProcess& d, const std::vector<std::string>& args, int timeoutSec = 5);
std::string playingPlaylist(KivdProcess& d);
// Frames the player left out because a busy machine kept its reader from
// having them in time, as it says at debug level on the Sequence facility
// (start the daemon with "--log-level debug:Sequence"). Counted in its
// output, which has every line even while the log file cannot be written;
// only those up to `lastFrame` of the sequence when it is given.
int lateReads(const std::string& log, int lastFrame = INT_MAX);
int lateReads(KivdProcess& d, int lastFrame = INT_MAX);
// Frames the player jumped to on its own, to catch up with its clock after
// falling behind: "SeekSequenceFile(N)" at debug level on the Sequence
// facility.
std::set<int> catchUpSeeks(const std::string& log);
// Frames missing from `delivered` (ascending frame numbers of one run) that
// no such jump left out: the frames a jump passed over were the player's
// choice, said in its log; the rest must be late reads.
int unexplainedSkips(const std::vector<int>& delivered, const std::set<int>& seeks);
int unexplainedSkips(const GridReport& grid, KivdProcess& d);
bool hasWarning(KivdProcess& d, const std::string& part);

}  // namespace kivtest
