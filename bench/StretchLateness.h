#pragma once
// Output lateness measured at a DDP receiver, stretch by stretch: each show
// frame recognised in the datagrams by its bytes, each stretch (quiet, or
// under some load) timed against its own grid. Shared by the benchmarks that
// run the real kivd and compare a loaded stretch with a quiet one
// (bench_upload, bench_gpio).

#include <algorithm>
#include <climits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "CaptureOutput.h"
#include "TestSupport.h"
#include "monitor/PacketDecoder.h"

namespace kivbench {

using Stretch = std::pair<long long, long long>;  // from, to (us, the receiver's clock)

// Lateness (us) of the frames of `channels` channels that arrived in each
// stretch against the grid of that stretch (anchored at its earliest frame),
// all stretches together; empty when fewer than 100 of the show's frames
// arrived in one of them.
inline std::vector<double> StretchLateness(const std::vector<kivtest::Datagram>& grams,
                                           const std::unordered_map<uint64_t, int>& hashes,
                                           const std::vector<Stretch>& stretches, uint32_t channels, int fps) {
    std::vector<double> all;
    for (auto& s : stretches) {
        std::vector<std::pair<int, long long>> shown;
        for (auto& g : grams) {
            if (g.timeUs < s.first || g.timeUs > s.second) continue;
            DecodedPacket p = DecodeDDP(g.bytes.data(), g.bytes.size());
            if (!p.valid || p.length != channels) continue;
            auto it = hashes.find(kivtest::HashBytes(p.data, p.length));
            if (it != hashes.end()) shown.push_back({it->second, g.timeUs});
        }
        if (shown.size() < 100) return {};
        long long anchor = LLONG_MAX;
        for (auto& f : shown) anchor = std::min(anchor, f.second - f.first * (1000000LL / fps));
        for (auto& f : shown) all.push_back((double)(f.second - f.first * (1000000LL / fps) - anchor));
    }
    return all;
}

}  // namespace kivbench
