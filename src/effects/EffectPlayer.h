#pragma once
// The effect player: effects (short sequences from <media>/effects) laid
// over the frame, several at once, each at its own frame step, once or
// looping, started by command, by a sequence's "FE" header or by a master.
// The sequence player calls OverlayEffects on every frame it processes;
// the effect commands (commands/EffectCommands) drive the rest.
//
// Foreground effects belong to what plays: a sequence starting or ending
// stops them. Background effects run until they end or are stopped.
// docs/effects.md describes both, and the files.

#include <sys/types.h>

#include <atomic>
#include <map>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <json/json.h>

#include "FrameCanvas.h"
#include "effects/EffectFile.h"

class EffectPlayer {
public:
    static EffectPlayer INSTANCE;

    static std::string EffectsDirectory();  // <media>/effects
    // The file an effect name stands for: the name itself, or with ".eseq"
    // or ".hseq" added; false with `error` set when there is none or the
    // name is not a plain file name.
    static bool FindEffectFile(const std::string& name, std::string& path, std::string& error);

    // Starts `name` with its first channel at `startChannel` (1-based; 0:
    // where the file puts it). Starting an effect that runs at that channel
    // already starts it again from its first frame. False with a one-line
    // `error` (naming the effect) when it cannot start; nothing that runs
    // changes then. `startMonoUs`: the moment its frames count from (its
    // first frame at a master, on this board's monotonic clock; 0: its
    // first frame here). `announce`: a master tells its remotes when its
    // first frame is shown (not for what a sequence starts, nor for what a
    // master asked of this board).
    bool Start(const std::string& name, int startChannel, bool loop, bool background, std::string& error,
               long long startMonoUs = 0, bool announce = true);
    // Reads the effects a sequence names in its "FE" header when it opens,
    // so that starting them at their frames does not read a file on the
    // output thread; replaces what was read for the sequence before.
    void Preload(const std::vector<std::string>& names, const std::string& sequenceName);

    // Stops every running copy of `name`; how many were stopped.
    int Stop(const std::string& name, bool announce = true);
    int StopAll(bool announce = true);
    // A sequence starts or ends.
    void StopForeground();

    // An effect runs, or an ended one still has its channels to blank.
    bool IsRunning() const { return m_active.load(std::memory_order_relaxed); }
    // What effects count their frames by: the playing sequence's position
    // (so they keep in step with it, and with its "FE" frames), or else
    // the monotonic clock.
    struct Clock {
        bool sequence = false;
        long long us = 0;
        long long monoUs = 0;  // now on the monotonic clock; 0: unknown
        long long periodUs = 50000;  // the output's frame period
    };
    // Lays the running effects over `data`; ended ones leave (and, when no
    // sequence plays, blank) their channels.
    void Overlay(uint8_t* data, bool sequenceRunning, Clock clock);
    void Overlay(FrameCanvas& canvas, bool sequenceRunning, Clock clock);

    // The shortest frame step of the running effects in us (0: none): while
    // no sequence plays, the output goes at that pace, so no effect frame
    // is left out.
    int FastestStepUs();

    Json::Value GetRunning();
    Json::Value ListEffectFiles();

private:
    struct Running {
        std::string name;
        std::shared_ptr<const EffectFrames> frames;
        int64_t offset = 0;  // added to the file's channels
        bool loop = false;
        bool background = false;
        int startChannel = 0;     // as asked for (0: the file's own)
        bool announce = false;    // to be told to the remotes with its first frame
        long long startUs = 0;    // when its frames count from (monotonic; 0: its first frame here)
        bool shown = false;       // overlaid at least once
        bool bySequence = false;  // lastUs is a sequence position
        long long lastUs = 0;     // the clock's value last counted
        long long elapsedUs = 0;  // show time since its first frame
        uint32_t frame = 0;       // the frame last overlaid
    };
    // The effect file's frames, from the preloaded ones when the file is
    // unchanged since; null with `why` set when it cannot be read.
    std::shared_ptr<const EffectFrames> Load(const std::string& path, std::string& why);
    void Blank(const Running& r);  // m_lock held
    void UpdateActive();           // m_lock held

    std::mutex m_lock;  // guards m_running and m_blank
    std::vector<Running> m_running;
    HSEQFile::RangeList m_blank;  // channels of ended effects not yet given back
    std::atomic<bool> m_active{false};

    struct Preloaded {
        long long mtimeNs = 0;
        off_t size = 0;
        std::shared_ptr<const EffectFrames> frames;
    };
    std::mutex m_preloadLock;  // guards m_preloaded
    std::map<std::string, Preloaded> m_preloaded;  // by path
};

// The effect player's entry points that the daemon's core calls.
void InitEffects();
void CloseEffects();
int StartEffect(const std::string& name, int startChannel, int loop, bool background);
int StopEffect(const std::string& name);
int IsEffectRunning();
void OverlayEffects(unsigned char* channelData);
void OverlayEffects(FrameCanvas& canvas);
