#include "SyncTestSupport.h"

#include <algorithm>
#include <cstdlib>

#include "hseq/ShowGenerator.h"

namespace kivtest {

std::unique_ptr<SyncBoard> SyncBoard::make(BoardNetwork& net, int host, const std::string& mode,
                                           const std::string& settings, int frames, int stepMs, double delayMs,
                                           double jitterMs, std::string* error) {
    auto b = std::make_unique<SyncBoard>();
    b->index = net.addBoard(host, delayMs, jitterMs);
    if (b->index < 0) {
        if (error) *error = net.error();
        return nullptr;
    }
    b->mode = mode;
    b->media = std::make_unique<TempMediaDir>();
    ShowSpec spec;
    spec.frames = frames;
    spec.stepMs = stepMs;
    net.runInside(b->index, [&] {
        b->show = std::make_unique<ShowUnderTest>(b->media->path(), std::vector<std::string>{"show.hseq"},
                                                  std::vector<ShowSpec>{spec}, 60);
    });
    if (!b->show || !b->show->ok()) {
        if (error) *error = "the show or its receiver could not be made";
        return nullptr;
    }
    b->show->writeOutputs();
    b->media->write("/settings", "MultiSyncClockTrusted = 1\n" + settings);
    b->kivd = std::make_unique<KivdProcess>(b->media->path());
    b->kivd->setNetns(net.netns(b->index));
    return b;
}

std::vector<long long> syncOffsets(const SyncBoard& reference, const SyncBoard& other, int from, int to) {
    auto within = [&](const std::vector<ShowFrame>& all) {
        std::vector<ShowFrame> out;
        for (auto& f : all) {
            if (f.frame >= from && f.frame < to) out.push_back(f);
        }
        return out;
    };
    auto offsets = frameOffsets(within(reference.show->seen()), within(other.show->seen()), 0);
    for (auto& o : offsets) o = std::llabs(o);
    return offsets;
}

long long frameUnevennessUs(const SyncBoard& b, double q, int stepMs) {
    std::vector<long long> uneven;
    const ShowFrame* prev = nullptr;
    for (auto& f : b.show->seen()) {
        if (f.sequence != 0) continue;
        if (prev && f.frame == prev->frame + 1) uneven.push_back(std::llabs(f.timeUs - prev->timeUs - stepMs * 1000LL));
        prev = &f;
    }
    if (uneven.empty()) return 0;
    std::sort(uneven.begin(), uneven.end());
    return uneven[std::min(uneven.size() - 1, (size_t)(q * (uneven.size() - 1) + 0.5))];
}

}  // namespace kivtest
