// Status benchmark: a show plays through the channel output thread to a
// capturing output, once quiet (the reference) and once while the daemon's
// HTTP server answers 200 GET /kivd/status requests per second and the MQTT
// client publishes "playlist_details" and "kivd_status" every second to a
// real mosquitto broker. Rounds alternate quiet and loaded runs, each in a
// child process of its own, so both see the same machine.
//   - output-thread lateness p99 loaded against quiet (goal <= 1.1 x);
//   - HTTP status latency p50 / p99 / max on loopback (goal p99 <= 5 ms);
//   - MQTT messages that reached a subscriber.
//
//   bench_status [--seconds S] [--channels N] [--fps F] [--rate R] [--rounds K]

#include <curl/curl.h>
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "CaptureOutput.h"
#include "Events.h"
#include "FrameTiming.h"
#include "MqttTestSupport.h"
#include "Sequence.h"
#include "TestSupport.h"
#include "channeloutput/channeloutput.h"
#include "channeloutput/channeloutputthread.h"
#include "commands/Commands.h"
#include "commands/DaemonCommands.h"
#include "common.h"
#include "hseq/HSEQFile.h"
#include "hseq/ShowGenerator.h"
#include "http/HttpServer.h"
#include "http/KivdApi.h"
#include "log.h"
#include "playlist/Player.h"
#include "services/MQTT.h"
#include "settings.h"

using namespace kivtest;
using kivbench::ParseResult;
using kivbench::Stats;
using kivbench::Verdict;

namespace {

struct Options {
    int seconds = 30;
    uint32_t channels = 50000;
    int fps = 40;
    int rate = 200;  // HTTP requests per second
    int rounds = 2;
};

ShowSpec Spec(const Options& o) {
    ShowSpec spec;
    spec.channels = o.channels;
    spec.frames = (uint32_t)(o.seconds * o.fps);
    spec.stepMs = 1000 / o.fps;
    spec.versionMajor = 2;
    spec.compression = HSEQFile::CompressionType::zstd;
    return spec;
}

// ---- child: one run ----------------------------------------------------------

int Play(const Options& o, const std::string& mediaDir, bool loaded) {
    setenv("KIV_MEDIA_DIR", mediaDir.c_str(), 1);
    ShowSpec spec = Spec(o);
    auto frameOfHash = kivbench::FrameHashes(spec);
    std::vector<uint8_t> zeros(spec.channels, 0);
    uint64_t blankHash = HashBytes(zeros.data(), zeros.size());

    auto* capture = new CaptureOutput(0, spec.channels, false);
    AddChannelOutput(capture);
    auto player = std::make_unique<Sequence>();
    sequence = player.get();

    // The daemon's side of the load: its commands, HTTP server, MQTT client.
    std::unique_ptr<MosquittoBroker> broker;
    std::unique_ptr<MqttSubscriber> subscriber;
    std::unique_ptr<MosquittoClient> mqtt;
    HttpServer& server = HttpServer::INSTANCE;
    CommandManager::INSTANCE.Init();
    RegisterDaemonCommands();
    Player::INSTANCE.Init();
    if (loaded) {
        broker = std::make_unique<MosquittoBroker>();
        if (!broker->start()) {
            fprintf(stderr, "mosquitto did not start: %s\n", broker->log().c_str());
            return 1;
        }
        subscriber = std::make_unique<MqttSubscriber>(broker->address(), broker->port(), "bench/#");
        subscriber->waitConnected();
        SetSetting("MQTTFrequency", 1);
        SetSetting("MQTTStatusFrequency", 1);
        mqtt = std::make_unique<MosquittoClient>(broker->address(), broker->port(), "bench");
        if (!mqtt->Init("", "", "")) return 1;
        Events::AddEventHandler(mqtt.get());
        waitUntil([&] { return mqtt->IsConnected(); }, 10000);
        HttpServer::Options ho;
        ho.threads = 4;
        if (!server.Start(ho)) return 1;
        KivdApi::Register(server);
        Events::Ready();
    }

    if (!player->StartSequence("bench.hseq", 0)) {
        fprintf(stderr, "could not start the sequence\n");
        return 1;
    }
    std::atomic<bool> stopLoad{false};
    std::vector<double> latencies;
    int failures = 0;
    std::thread load;
    if (loaded) {
        std::string url = "http://127.0.0.1:" + std::to_string(server.Port()) + "/kivd/status";
        load = std::thread(kivbench::PollHttp, url, o.rate, std::ref(stopLoad), std::ref(latencies), std::ref(failures));
    }
    long long timeout = MonotonicUs() + (long long)(o.seconds + 30) * 1000000;
    while (player->IsSequenceRunning() && MonotonicUs() < timeout) usleep(100000);
    stopLoad = true;
    if (load.joinable()) load.join();
    waitUntil([&] { auto f = capture->Frames(); return !f.empty() && f.back().hash == blankHash; }, 5000);
    StopChannelOutputThread();

    int mqttMessages = 0;
    if (loaded) {
        Events::PrepareForShutdown();
        Events::RemoveEventHandler(mqtt.get());
        mqtt.reset();
        KivdApi::Unregister(server);
        server.Stop();
        for (auto& m : subscriber->messages())
            if (m.topic == "bench/kivd/" + GetStatusHostName() + "/playlist_details" ||
                m.topic == "bench/kivd/" + GetStatusHostName() + "/kivd_status")
                ++mqttMessages;
    }

    auto shown = kivbench::ShownFrames(capture->Frames(), frameOfHash, blankHash);
    kivbench::Lateness l = kivbench::FrameLateness(shown.frames, (long long)spec.stepMs * 1000);
    Stats http = kivbench::Percentiles(latencies);
    printf("RESULT expected=%u sent=%d garbage=%d late_median=%.0f late_p99=%.0f late_max=%.0f wake_p99=%.0f "
           "regrids=%d http_count=%d http_failures=%d http_median=%.0f http_p99=%.0f http_max=%.0f mqtt=%d\n",
           spec.frames, (int)shown.frames.size(), shown.garbage, l.grid.median, l.grid.p99, l.grid.max, l.wake.p99,
           l.regrids, (int)latencies.size(), failures, http.median, http.p99, http.max, mqttMessages);
    player.reset();
    sequence = nullptr;
    CloseChannelOutputs();
    CommandManager::INSTANCE.Cleanup();
    return 0;
}

// ---- parent ---------------------------------------------------------------------

double num(std::map<std::string, std::string>& r, const char* key) { return std::stod(r[key]); }

}  // namespace

int main(int argc, char** argv) {
    Options o;
    std::string playDir;
    bool loaded = false;
    static option longOpts[] = {{"seconds", required_argument, nullptr, 's'},
                                {"channels", required_argument, nullptr, 'c'},
                                {"fps", required_argument, nullptr, 'f'},
                                {"rate", required_argument, nullptr, 'r'},
                                {"rounds", required_argument, nullptr, 'k'},
                                {"play", required_argument, nullptr, 'p'},
                                {"loaded", no_argument, nullptr, 'l'},
                                {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "", longOpts, nullptr)) != -1) {
        switch (c) {
            case 's': o.seconds = atoi(optarg); break;
            case 'c': o.channels = (uint32_t)atoi(optarg); break;
            case 'f': o.fps = atoi(optarg); break;
            case 'r': o.rate = atoi(optarg); break;
            case 'k': o.rounds = atoi(optarg); break;
            case 'p': playDir = optarg; break;
            case 'l': loaded = true; break;
            default:
                fprintf(stderr, "usage: %s [--seconds S] [--channels N] [--fps F] [--rate R] [--rounds K]\n", argv[0]);
                return 2;
        }
    }
    if (o.seconds <= 0 || o.fps <= 0 || o.fps > 1000 || o.rate <= 0 || o.rounds <= 0 || o.channels == 0 ||
        o.channels > HSEQ_MAX_CHANNELS) {
        fprintf(stderr, "bad options\n");
        return 2;
    }
    SetLogFile("", false);  // quiet: logging is not what is measured
    if (!playDir.empty()) return Play(o, playDir, loaded);
    if (!MosquittoBroker::available()) {
        fprintf(stderr, "mosquitto is not installed (scripts/setup.sh)\n");
        return 1;
    }

    ShowSpec spec = Spec(o);
    TempMediaDir media;
    if (!GenerateShow(media.file("/sequences/bench.hseq"), spec)) {
        fprintf(stderr, "could not write the sequence\n");
        return 1;
    }
    printf("Status benchmark: %d s show, %u channels, %d fps; loaded runs: %d HTTP status requests/s, "
           "MQTT status every 1 s; %d rounds of quiet + loaded\n",
           o.seconds, o.channels, o.fps, o.rate, o.rounds);
    fflush(stdout);

    std::vector<double> quietP99, loadedP99;
    std::vector<std::map<std::string, std::string>> loadedRuns;
    bool framesOk = true;
    for (int round = 0; round < o.rounds; ++round) {
        for (bool withLoad : {false, true}) {
            std::string out;
            std::string cmd = std::string("'") + argv[0] + "' --play '" + media.path() + "' --seconds " +
                              std::to_string(o.seconds) + " --channels " + std::to_string(o.channels) + " --fps " +
                              std::to_string(o.fps) + " --rate " + std::to_string(o.rate) +
                              (withLoad ? " --loaded" : "");
            int rc = runCommand(cmd, &out);
            auto r = ParseResult(out);
            if (rc != 0 || r.empty()) {
                fprintf(stderr, "run failed (%d): %s\n", rc, out.c_str());
                return 1;
            }
            framesOk = framesOk && r["sent"] == r["expected"] && r["garbage"] == "0";
            printf("  round %d %-6s frames %s/%s  lateness median %6s  p99 %6s  max %6s us  (%s regrids)",
                   round + 1, withLoad ? "loaded" : "quiet", r["sent"].c_str(), r["expected"].c_str(),
                   r["late_median"].c_str(), r["late_p99"].c_str(), r["late_max"].c_str(), r["regrids"].c_str());
            if (withLoad) {
                printf("  HTTP %s requests (%s failed) p50 %s p99 %s max %s us, MQTT %s messages", r["http_count"].c_str(),
                       r["http_failures"].c_str(), r["http_median"].c_str(), r["http_p99"].c_str(),
                       r["http_max"].c_str(), r["mqtt"].c_str());
                loadedP99.push_back(num(r, "late_p99"));
                loadedRuns.push_back(r);
            } else {
                quietP99.push_back(num(r, "late_p99"));
            }
            printf("\n");
            fflush(stdout);
        }
    }
    // Medians over the rounds, so one disturbed run does not decide.
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    double q = median(quietP99), l = median(loadedP99);
    std::vector<double> httpP99;
    double requests = 0, failed = 0, mqtt = 0;
    for (auto& r : loadedRuns) {
        httpP99.push_back(num(r, "http_p99"));
        requests += num(r, "http_count");
        failed += num(r, "http_failures");
        mqtt += num(r, "mqtt");
    }
    double h = median(httpP99);
    printf("\nFrames: every frame of every run sent once, in order   %s\n", Verdict(framesOk));
    printf("Output-thread lateness p99: loaded %.0f us vs quiet %.0f us = %.2f x (goal <= 1.1 x)   %s\n", l, q,
           q > 0 ? l / q : 0, Verdict(q > 0 && l <= 1.1 * q));
    printf("HTTP status latency p99: %.2f ms over %.0f requests, %.0f failed (goal <= 5 ms)   %s\n", h / 1000,
           requests, failed, Verdict(h <= 5000 && failed == 0));
    printf("MQTT: %.0f status messages received by a subscriber (about %d expected)\n", mqtt,
           2 * o.rounds * (o.seconds - 3));
    return 0;
}
