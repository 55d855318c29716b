#pragma once
// What the benchmarks measure about frames sent by the output thread: which
// show frame each captured frame was, and how late each went out against
// the show's grid; how a benchmark reads the "RESULT key=value ..." line of
// the child process it measured in; and a page polling the daemon's web
// server. Shared by bench_playback, bench_status and bench_security.

#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "BenchSupport.h"
#include "CaptureOutput.h"
#include "hseq/ShowGenerator.h"

namespace kivbench {

using bench::Percentiles;
using bench::Stats;

// Hashes of every frame of the show (the frames themselves may not fit the
// memory a benchmark measures): hash -> frame number.
inline std::unordered_map<uint64_t, int> FrameHashes(const ShowSpec& spec) {
    std::unordered_map<uint64_t, int> out;
    std::vector<uint8_t> frame(spec.channels);
    for (uint32_t n = 0; n < spec.frames; ++n) {
        RenderShowFrame(spec, n, frame.data());
        out[kivtest::HashBytes(frame.data(), frame.size())] = (int)n;
    }
    return out;
}

struct Shown {
    std::vector<std::pair<int, long long>> frames;  // show frame number, send time (us)
    int garbage = 0;  // neither a show frame nor blank
    int blanks = 0;
};

// The show frames among the captured ones, in sending order. Frame 0 may go
// out more than once before the start (pre-roll); the last copy counts.
inline Shown ShownFrames(const std::vector<kivtest::CapturedFrame>& captured,
                         const std::unordered_map<uint64_t, int>& frameOfHash, uint64_t blankHash) {
    Shown s;
    for (auto& f : captured) {
        if (f.hash == blankHash) {
            ++s.blanks;
            continue;
        }
        auto it = frameOfHash.find(f.hash);
        if (it == frameOfHash.end()) {
            ++s.garbage;
            continue;
        }
        if (it->second == 0 && !s.frames.empty() && s.frames.back().first == 0) s.frames.pop_back();
        s.frames.push_back({it->second, f.timeUs});
    }
    return s;
}

struct Lateness {
    Stats grid;       // against one grid for the whole show, anchored at the earliest frame
    Stats wake;       // against the thread's own schedule, as cyclictest measures its wake-ups
    int regrids = 0;  // passes more than a period late, after which the grid starts again
};

inline Lateness FrameLateness(const std::vector<std::pair<int, long long>>& shown, long long stepUs) {
    Lateness l;
    std::vector<long long> d;
    for (auto& s : shown) d.push_back(s.second - s.first * stepUs);
    long long anchor = d.empty() ? 0 : *std::min_element(d.begin(), d.end());
    std::vector<double> late;
    for (long long x : d) late.push_back((double)(x - anchor));
    l.grid = Percentiles(late);
    std::vector<double> wake;
    long long segMin = d.empty() ? 0 : d[0];
    for (size_t i = 0; i < d.size(); ++i) {
        if (d[i] - segMin > stepUs) {
            wake.push_back((double)(d[i] - segMin));
            ++l.regrids;
            segMin = d[i];
            continue;
        }
        segMin = std::min(segMin, d[i]);
        wake.push_back((double)(d[i] - segMin));
    }
    l.wake = Percentiles(wake);
    return l;
}

// The key=value pairs after "RESULT " in a child's output; empty when absent.
inline std::map<std::string, std::string> ParseResult(const std::string& text) {
    std::map<std::string, std::string> kv;
    auto pos = text.find("RESULT ");
    if (pos == std::string::npos) return kv;
    std::istringstream in(text.substr(pos + 7));
    std::string tok;
    while (in >> tok) {
        auto eq = tok.find('=');
        if (eq != std::string::npos) kv[tok.substr(0, eq)] = tok.substr(eq + 1);
    }
    return kv;
}

inline const char* Verdict(bool met) { return met ? "goal met" : "GOAL MISSED"; }

// Asks for `url` at `rate` per second on one kept-alive connection, as a
// polling page does, until `stop`; each answered request's time in us.
inline void PollHttp(const std::string& url, int rate, std::atomic<bool>& stop, std::vector<double>& latencies,
                     int& failures) {
    SetThreadName("bench-http");
    CURL* c = curl_easy_init();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, 5000L);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, +[](char*, size_t size, size_t n, void*) { return size * n; });
    long long period = 1000000 / rate;
    long long next = kivtest::MonotonicUs();
    while (!stop) {
        long long t0 = kivtest::MonotonicUs();
        CURLcode rc = curl_easy_perform(c);
        long code = 0;
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &code);
        long long t1 = kivtest::MonotonicUs();
        if (rc == CURLE_OK && code == 200) {
            latencies.push_back((double)(t1 - t0));
        } else {
            ++failures;
        }
        next += period;
        if (next > t1) usleep((useconds_t)(next - t1));
        else next = t1;  // fell behind: no burst to catch up
    }
    curl_easy_cleanup(c);
}

}  // namespace kivbench
