#pragma once
// What each output sent to each destination since the daemon started:
// datagrams, bytes and datagrams that could not be sent. The output
// plug-ins count on their send threads through the counters For() hands
// out (stable for the life of the process, so a plug-in keeps the pointer
// and counts without a lock); the metrics page reads Snapshot().

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

struct TrafficCounters {
    std::atomic<uint64_t> datagrams{0};
    std::atomic<uint64_t> bytes{0};
    std::atomic<uint64_t> errors{0};

    void Count(uint64_t sent, uint64_t sentBytes, uint64_t failed) {
        datagrams.fetch_add(sent, std::memory_order_relaxed);
        bytes.fetch_add(sentBytes, std::memory_order_relaxed);
        if (failed) errors.fetch_add(failed, std::memory_order_relaxed);
    }
};

namespace OutputTraffic {

// The counters of one output ("UDP") towards one destination ("10.0.0.5",
// "broadcast"); the same pointer for the same pair every time.
TrafficCounters* For(const std::string& output, const std::string& destination);

struct Row {
    std::string output;
    std::string destination;
    uint64_t datagrams, bytes, errors;
};
// Every pair counted so far, in the order they first appeared.
std::vector<Row> Snapshot();

}  // namespace OutputTraffic
