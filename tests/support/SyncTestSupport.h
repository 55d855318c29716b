#pragma once
// A board of a synchronised show for end-to-end tests and the sync
// benchmark: a kivd in a namespace of a BoardNetwork, with its own media
// directory, the show's sequence and a DDP receiver beside it in the same
// namespace. Its wall clock is declared trusted (the kernel here calls the
// clock unsynchronised, and nothing may change it).

#include <memory>
#include <string>
#include <vector>

#include "FaultSupport.h"
#include "KivdProcess.h"
#include "NetTestSupport.h"
#include "TestSupport.h"

namespace kivtest {

struct SyncBoard {
    int index = -1;
    std::string mode;  // "master", "remote" or "player"
    std::unique_ptr<TempMediaDir> media;
    std::unique_ptr<ShowUnderTest> show;
    std::unique_ptr<KivdProcess> kivd;

    // kivd in `mode` at 10.78.0.<host> with sequence "show.hseq" of
    // `frames` frames at stepMs, DDP channels 1-512 to its receiver, and
    // `settings` after "MultiSyncClockTrusted = 1" (a later line wins).
    // Null, with the reason in *error, when the board cannot be made.
    static std::unique_ptr<SyncBoard> make(BoardNetwork& net, int host, const std::string& mode,
                                           const std::string& settings, int frames, int stepMs = 25,
                                           double delayMs = 0, double jitterMs = 0, std::string* error = nullptr);
    bool start() { return kivd->start({"-f", "--mode", mode}) && kivd->waitReady(); }
};

// |other - reference| in us for every frame of the show both delivered,
// numbered in [from, to).
std::vector<long long> syncOffsets(const SyncBoard& reference, const SyncBoard& other, int from = 0,
                                   int to = 1 << 30);

// How unevenly a board delivered its show, whatever the cause (a loaded
// machine): the q-quantile of |gap - step| over consecutive frames, in us.
// The allowance a timing judgement grants for the machine's load.
long long frameUnevennessUs(const SyncBoard& b, double q, int stepMs = 25);

}  // namespace kivtest
