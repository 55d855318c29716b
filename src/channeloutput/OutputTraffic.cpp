#include "channeloutput/OutputTraffic.h"

#include <deque>
#include <map>
#include <mutex>
#include <utility>

namespace {
struct Entry {
    std::string output, destination;
    TrafficCounters counters;
};
std::mutex trafficLock;  // guards entries and byName (not the counters, which are atomic)
std::deque<Entry> entries;  // a deque: growing it never moves an entry
std::map<std::pair<std::string, std::string>, TrafficCounters*> byName;
}  // namespace

TrafficCounters* OutputTraffic::For(const std::string& output, const std::string& destination) {
    std::lock_guard<std::mutex> lock(trafficLock);
    auto key = std::make_pair(output, destination);
    auto it = byName.find(key);
    if (it != byName.end()) return it->second;
    entries.emplace_back();
    entries.back().output = output;
    entries.back().destination = destination;
    TrafficCounters* c = &entries.back().counters;
    byName[key] = c;
    return c;
}

std::vector<OutputTraffic::Row> OutputTraffic::Snapshot() {
    std::lock_guard<std::mutex> lock(trafficLock);
    std::vector<Row> rows;
    rows.reserve(entries.size());
    for (auto& e : entries) {
        rows.push_back({e.output, e.destination, e.counters.datagrams.load(), e.counters.bytes.load(),
                        e.counters.errors.load()});
    }
    return rows;
}
