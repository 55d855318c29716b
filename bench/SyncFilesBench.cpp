// File sync benchmark: a master and two remotes, real daemons in network
// namespaces of the benchmark's own (tests/support SyncBoard), all three
// playing a show at 40 fps, each to a DDP receiver beside it. The master
// holds --megabytes (200) of videos the remotes lack. Two phases:
//   - at the limit a master sends with unless told otherwise
//     ("SyncFilesMaxKBps", --max-kbps to try another): the videos go to
//     both remotes a few at a time (--rounds, 4), each batch after a quiet
//     stretch as long as its pass; the master's output lateness p99 (its
//     receiver's frames against the frame grid) while the files move
//     against the quiet stretches (goal <= 1.1 x). Quiet and moving take
//     turns, so a change in the machine's load weighs on both;
//   - without a limit: passes of all the videos for as long as a quiet
//     stretch, then curl uploading the same files to the same remotes'
//     upload API from the master's namespace, one remote after the other
//     as the master does (goal: our rate >= 0.8 x curl's). The rate is the
//     bytes sent over the seconds each remote's pass took, as the master
//     reports them. Its lateness is shown too.
// The remotes' copies are deleted before every pass and every curl run.
//
//   bench_sync_files [--megabytes M] [--rounds N] [--files N] [--max-kbps K]

#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "FrameTiming.h"
#include "HttpClient.h"
#include "SyncTestSupport.h"
#include "sync/SyncFiles.h"

using namespace kivtest;

namespace {

constexpr int STEP_MS = 25;
const char* const TOKEN = "bench-token";
const std::string HTTP = std::string("HTTPBindAddress = 0.0.0.0\nHTTPPort = 32320\nHTTPAccessToken = ") + TOKEN + "\n";

using Stretch = std::pair<long long, long long>;  // from, to (us)

// Lateness (us) of the master's frames in each stretch against that
// stretch's grid, all stretches together.
std::vector<double> Lateness(const std::vector<ShowFrame>& seen, const std::vector<Stretch>& stretches) {
    std::vector<double> all;
    for (auto& s : stretches) {
        std::vector<const ShowFrame*> in;
        for (auto& f : seen) {
            if (f.sequence == 0 && f.timeUs >= s.first && f.timeUs <= s.second) in.push_back(&f);
        }
        long long anchor = LLONG_MAX;
        for (auto* f : in) anchor = std::min(anchor, f->timeUs - f->frame * STEP_MS * 1000LL);
        for (auto* f : in) all.push_back((double)(f->timeUs - f->frame * STEP_MS * 1000LL - anchor));
    }
    return all;
}

int Count(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// Thrown by Fail, so the daemons and their folders are cleaned up on the way out.
struct Failed {};

[[noreturn]] void Fail(const std::string& why, SyncBoard* board = nullptr) {
    fprintf(stderr, "bench_sync_files: %s\n%s", why.c_str(), board ? board->kivd->log().c_str() : "");
    throw Failed();
}

// The master's own word on frames it sent late, one line per spell.
std::string LateSpells(const std::string& log) {
    std::string out;
    int spells = 0;
    for (size_t at = log.find("Output Thread is falling behind"); at != std::string::npos;
         at = log.find("Output Thread is falling behind", at + 1)) {
        size_t start = log.rfind('\n', at);
        start = start == std::string::npos ? 0 : start + 1;
        if (++spells <= 5) out += "  " + log.substr(start, log.find('\n', at) - start) + "\n";
    }
    return "master logged " + std::to_string(spells) + " spells of late frames\n" + out;
}

int Run(int argc, char** argv) {
    int megabytes = 200, rounds = 4, files = 8, maxKBps = SyncFiles::DEFAULT_MAX_KBPS;
    static option opts[] = {{"megabytes", required_argument, nullptr, 'm'},
                            {"rounds", required_argument, nullptr, 'r'},
                            {"files", required_argument, nullptr, 'f'},
                            {"max-kbps", required_argument, nullptr, 'k'},
                            {nullptr, 0, nullptr, 0}};
    for (int c; (c = getopt_long(argc, argv, "m:r:f:k:", opts, nullptr)) != -1;) {
        if (c == 'm') megabytes = std::max(1, atoi(optarg));
        if (c == 'r') rounds = std::max(1, atoi(optarg));
        if (c == 'f') files = std::max(1, atoi(optarg));
        if (c == 'k') maxKBps = std::max(1, atoi(optarg));
    }
    files = std::max(files, rounds);  // every limited round sends a batch of its own
    if (!isRoot()) Fail("needs root for network namespaces");
    std::string loadBefore = GetFileContents("/proc/loadavg").substr(0, 14);
    BoardNetwork net;
    if (!net.ok()) Fail(net.error());
    long long fileBytes = (long long)megabytes * 1000000 / files, bytes = fileBytes * files;
    // Both phases, each quiet and moving, with room to spare.
    double limitedSeconds = 2.0 * bytes / (maxKBps * 1000.0);
    int frames = (int)((2 * limitedSeconds + rounds * 40 + 120) * 1000 / STEP_MS);
    std::string error;
    std::vector<std::unique_ptr<SyncBoard>> boards;
    boards.push_back(SyncBoard::make(net, 1, "master", HTTP + "SyncFilesMaxKBps = " + std::to_string(maxKBps) + "\n",
                                     frames, STEP_MS, 0, 0, &error));
    for (int host : {2, 3}) {
        if (!boards.back()) break;
        boards.push_back(SyncBoard::make(net, host, "remote", HTTP + "MultiSyncPeers = 10.78.0.1\n", frames, STEP_MS, 0,
                                         0, &error));
    }
    if (!boards.back()) Fail(error);
    SyncBoard& master = *boards[0];
    std::string videos = master.media->file("/videos");
    mkdir(videos.c_str(), 0775);
    std::vector<std::string> names;
    for (int i = 0; i < files; ++i) {
        names.push_back("clip" + std::to_string(i + 1) + ".mp4");
        if (runCommand("head -c " + std::to_string(fileBytes) + " /dev/urandom > '" + videos + "/" + names.back() +
                       "'") != 0) {
            Fail("cannot write the videos");
        }
    }
    for (auto& b : boards) {
        // The same show everywhere (each board's sequence was made apart);
        // each pass deletes the remotes' copies of what it is to send.
        if (b.get() != &master) {
            CopyFileContents(master.media->file("/sequences/show.hseq"), b->media->file("/sequences/show.hseq"));
            mkdir(b->media->file("/videos").c_str(), 0775);
            for (auto& n : names) CopyFileContents(videos + "/" + n, b->media->file("/videos/" + n));
        }
        if (!b->start()) Fail("kivd did not start", b.get());
    }
    auto systems = [&] { return LoadJsonFromString(commandText(*master.kivd, {"Get Systems"})); };
    auto remoteOf = [](const Json::Value& all, const std::string& address) {
        for (auto& s : all["systems"]) {
            if (s["address"] == address) return s;
        }
        return Json::Value();
    };
    // The master has looked at both (every board has hashed the videos once).
    if (!waitUntil([&] {
            Json::Value all = systems();
            return remoteOf(all, "10.78.0.2")["files"]["state"] == "in step" &&
                   remoteOf(all, "10.78.0.3")["files"]["state"] == "in step";
        }, 120000)) {
        Fail("the master did not see both remotes in step:\n" + SaveJsonToString(systems(), "  "), &master);
    }
    if (master.kivd->command({"Start Sequence", "show.hseq"}) != 0) Fail("the show did not start", &master);
    sleep(3);

    auto removeCopies = [&](const std::vector<std::string>& which) {
        for (size_t i = 1; i < boards.size(); ++i) {
            for (auto& n : which) unlink(boards[i]->media->file("/videos/" + n).c_str());
        }
    };
    // One "Sync Files" to its end; the seconds and bytes of each remote's pass.
    auto pass = [&](size_t expected, double& seconds, long long& sent) {
        int passes = Count(master.kivd->log(), "Files for remote ");
        if (master.kivd->command({"Sync Files"}) != 0) Fail("Sync Files was refused", &master);
        // Watched in the log, so the daemon is not asked anything meanwhile.
        if (!waitUntil([&] { return Count(master.kivd->log(), "Files for remote ") >= passes + 2; }, 1800000)) {
            Fail("the pass did not end", &master);
        }
        Json::Value all = systems();
        for (const char* address : {"10.78.0.2", "10.78.0.3"}) {
            Json::Value r = remoteOf(all, address)["files"];
            if (r["state"] != "in step" || r["lastPass"]["sent"].asUInt() != expected) {
                Fail("remote " + std::string(address) + " did not get every file:\n" + SaveJsonToString(r, "  "),
                     &master);
            }
            seconds += r["lastPass"]["seconds"].asDouble();
            sent += r["lastPass"]["bytes"].asInt64();
        }
    };

    // At the limit: a batch of the videos a round, after as long a quiet stretch.
    std::vector<Stretch> quiet, moving;
    double limitedPassSeconds = 0;
    long long limitedBytes = 0;
    for (int r = 0; r < rounds; ++r) {
        std::vector<std::string> batch;
        for (int i = r; i < files; i += rounds) batch.push_back(names[i]);
        long long from = GetTime();
        usleep((useconds_t)(2e6 * fileBytes * batch.size() / (maxKBps * 1000.0)));
        quiet.push_back({from, GetTime()});
        removeCopies(batch);
        from = GetTime();
        pass(batch.size(), limitedPassSeconds, limitedBytes);
        moving.push_back({from, GetTime()});
    }

    // Without a limit, against curl.
    std::vector<std::string> token = {"Authorization: Bearer " + std::string(TOKEN), JSON_TYPE};
    auto setLimit = [&](int kbps) {
        HttpResult h;
        net.runInside(master.index, [&] {
            h = httpRequest("PATCH", "http://10.78.0.1:32320/kivd/config/settings",
                            "{\"SyncFilesMaxKBps\": " + std::to_string(kbps) + "}", token);
        });
        if (h.status != 200) Fail("the limit was not changed: " + std::to_string(h.status) + " " + h.body + h.error);
    };
    setLimit(0);
    std::vector<Stretch> quietFree, movingFree;
    double ourSeconds = 0, curlSeconds = 0;
    long long ourBytes = 0, curlBytes = 0;
    int passCount = 0;
    std::string glob;
    for (auto& n : names) glob += (glob.empty() ? "" : ",") + n;
    for (int r = 0; r < rounds; ++r) {
        long long from = GetTime();
        sleep(10);
        quietFree.push_back({from, GetTime()});
        // Passes one after the other for as long as the quiet stretch
        // lasted, so the lateness of both rests on as many frames.
        from = GetTime();
        for (int n = 0; GetTime() - from < quietFree.back().second - quietFree.back().first || n == 0; ++n) {
            removeCopies(names);
            pass(names.size(), ourSeconds, ourBytes);
            ++passCount;
        }
        movingFree.push_back({from, GetTime()});

        // The reference: curl from the master's namespace, the same files,
        // the same remotes, one after the other.
        removeCopies(names);
        long long t0 = GetTime();
        for (const char* address : {"10.78.0.2", "10.78.0.3"}) {
            std::string cmd = "ip netns exec " + net.name(master.index) + " sh -c \"cd '" + videos +
                              "' && curl -s -f -o /dev/null -H 'Authorization: Bearer " + TOKEN + "' -T '{" + glob +
                              "}' http://" + address + ":32320/kivd/files/videos/\"";
            if (runCommand(cmd) != 0) Fail("curl failed: " + cmd);
        }
        curlSeconds += (GetTime() - t0) / 1e6;
        curlBytes += 2 * bytes;
        sleep(2);
    }
    master.show->collect();
    const auto& seen = master.show->seen();
    auto quietLate = Lateness(seen, quiet), movingLate = Lateness(seen, moving);
    auto quietFreeLate = Lateness(seen, quietFree), movingFreeLate = Lateness(seen, movingFree);
    std::string log = master.kivd->log();
    std::string late = LateSpells(log);
    size_t prio = log.find("Thread priority: ");
    for (auto& b : boards) b->kivd->stop();
    for (auto* l : {&quietLate, &movingLate, &quietFreeLate, &movingFreeLate}) {
        if (l->size() < 100) Fail("the master's receiver got too few frames");
    }

    printf("kivd: %s", prio == std::string::npos ? "no thread priority line\n"
                                                  : log.substr(prio, log.find('\n', prio) - prio + 1).c_str());
    printf("load average before: %s, after: %s\n", loadBefore.c_str(),
           GetFileContents("/proc/loadavg").substr(0, 14).c_str());
    printf("%s", late.c_str());
    auto lateness = [](const char* what, const std::vector<double>& quietUs, const std::vector<double>& movingUs) {
        auto q = bench::Percentiles(quietUs), m = bench::Percentiles(movingUs);
        printf("master output lateness %s: quiet p50 %.0f us, p99 %.0f us, max %.0f us (%zu frames); while files move "
               "p50 %.0f us, p99 %.0f us, max %.0f us (%zu frames): p99 ratio %.2f x\n",
               what, q.median, q.p99, q.max, quietUs.size(), m.median, m.p99, m.max, movingUs.size(),
               m.p99 / std::max(q.p99, 1.0));
        return m.p99 / std::max(q.p99, 1.0);
    };
    double ratio = lateness(("at the limit (" + std::to_string(maxKBps) + " kB/s)").c_str(), quietLate, movingLate);
    printf("  %lld MB to each of two remotes in %d batches: %.1f MB/s while sending; p99 ratio goal <= 1.1: %s\n",
           bytes / 1000000, rounds, limitedBytes / 1e6 / limitedPassSeconds, kivbench::Verdict(ratio <= 1.1));
    lateness("without a limit", quietFreeLate, movingFreeLate);
    double ourRate = ourBytes / 1e6 / ourSeconds, curlRate = curlBytes / 1e6 / curlSeconds, speed = ourRate / curlRate;
    printf("Sync Files without a limit, %d files, %lld MB in all, to two remotes, %d passes in %d rounds: %.1f MB/s; "
           "curl uploading the same: %.1f MB/s; ratio %.2f x (goal >= 0.8): %s\n",
           files, bytes / 1000000, passCount, rounds, ourRate, curlRate, speed, kivbench::Verdict(speed >= 0.8));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const Failed&) {
        return 1;
    }
}
