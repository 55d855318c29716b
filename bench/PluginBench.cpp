// User plug-in hooks on the channel output thread at 1,048,576 channels.
// The same zstd show plays through the real output thread in rounds, in
// turn without plug-ins, with a loaded plug-in whose hooks do nothing, and
// with the example brightness limiter capping every channel; each round's
// CPU time of the output thread per frame sent is measured, and the median
// of each kind is set against the median without plug-ins of the same run.
// Also: the hooks' cost without plug-ins (nanoseconds per frame) and the
// limiter's own time per frame as the daemon reports it.
//
//   bench_plugins [-f FRAMES] [-r ROUNDS]

#include <getopt.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "FrameTiming.h"
#include "Sequence.h"
#include "TestSupport.h"
#include "channeloutput/ChannelOutput.h"
#include "channeloutput/channeloutput.h"
#include "channeloutput/channeloutputthread.h"
#include "common.h"
#include "hseq/ShowGenerator.h"
#include "log.h"
#include "services/PluginManager.h"

namespace {

constexpr uint32_t CHANNELS = 1048576;

// Reads every channel and sends nothing: the frame path without any
// output's own cost, so the hooks' share is not watered down.
class CountingOutput : public ChannelOutput {
public:
    CountingOutput() : ChannelOutput(0, CHANNELS) {}
    int SendData(unsigned char*) override { return (int)++sent; }
    void GetRequiredChannelRanges(const std::function<void(int, int)>& add) override { add(0, CHANNELS - 1); }
    std::atomic<long> sent{0};
};

enum Kind { NONE, NULL_PLUGIN, LIMITER, KINDS };
const char* KIND_NAMES[] = {"no plug-ins", "a plug-in that does nothing", "the brightness limiter"};

// <media>/plugins holding the plug-in of this kind (none for NONE).
void InstallPlugin(const kivtest::TempMediaDir& media, Kind kind) {
    kivtest::runCommand("rm -rf '" + media.file("/plugins") + "'");
    if (kind == NONE) return;
    std::string name = kind == NULL_PLUGIN ? "null" : "brightness-limiter";
    std::string dir = media.file("/plugins/" + name);
    kivtest::runCommand("mkdir -p '" + dir + "'");
    symlink((kind == NULL_PLUGIN ? KIV_BENCH_NULL_PLUGIN : KIV_BENCH_LIMITER), (dir + "/" + name + ".so").c_str());
    // A tenth of full: the show is brighter, so every frame is capped.
    media.write("/plugins/" + name + "/" + name + ".json",
                R"({"ranges": [{"startChannel": 1, "channelCount": )" + std::to_string(CHANNELS) +
                    R"(, "maxPercent": 10}]})");
}

// Plays the show once; CPU seconds of the output thread per frame sent,
// between frame 5 and the last few (the thread's start and end left out).
double PlayRound(Sequence& player, CountingOutput& out, const ShowSpec& spec, double* hookUs) {
    player.StartSequence("bench.hseq", 0);
    if (!kivtest::waitUntil([] { return channelOutputFrame > 5; }, 20000)) return -1;
    double cpu0 = kivtest::ThreadCpuByName()["KIV-ChannelOut"];
    long sent0 = out.sent;
    if (!kivtest::waitUntil([&] { return channelOutputFrame > (int)spec.frames - 6; }, 60000)) return -1;
    double cpu1 = kivtest::ThreadCpuByName()["KIV-ChannelOut"];
    long sent1 = out.sent;
    kivtest::waitUntil([&] { return !player.IsSequenceRunning(); }, 10000);
    Json::Value status = PluginManager::INSTANCE.GetStatus();
    *hookUs = status["plugins"].empty() ? 0 : status["plugins"][0]["averageFrameUs"].asDouble();
    return sent1 > sent0 ? (cpu1 - cpu0) / (sent1 - sent0) : -1;
}

// Both hooks as the frame path calls them, with no plug-in loaded.
double EmptyHooksNs(unsigned char* data) {
    const int calls = 10000000;
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; ++i) {
        PluginManager::INSTANCE.modifySequenceData(i, data);
        PluginManager::INSTANCE.modifyChannelData(i, data);
    }
    return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count() / calls;
}

}  // namespace

int main(int argc, char** argv) {
    int frames = 300, rounds = 5;
    int c;
    while ((c = getopt(argc, argv, "f:r:")) != -1) {
        if (c == 'f') frames = atoi(optarg);
        else if (c == 'r') rounds = atoi(optarg);
        else {
            fprintf(stderr, "usage: %s [-f FRAMES] [-r ROUNDS]\n", argv[0]);
            return 2;
        }
    }
    SetLogFile("", false);  // quiet: logging is not what is measured
    kivtest::TempMediaDir media;
    ShowSpec spec;
    spec.channels = CHANNELS;
    spec.frames = (uint32_t)frames;
    spec.stepMs = 20;
    printf("User plug-in hooks: %u channels, %d frames of %d ms per round, %d rounds of each kind\n", CHANNELS, frames,
           spec.stepMs, rounds);
    if (!GenerateShow(media.file("/sequences/bench.hseq"), spec)) {
        fprintf(stderr, "could not write the show\n");
        return 1;
    }
    auto* out = new CountingOutput();
    AddChannelOutput(out);
    auto player = std::make_unique<Sequence>();
    sequence = player.get();

    std::vector<double> perFrame[KINDS], hookUs;
    for (int r = 0; r < rounds; ++r) {
        for (int k = NONE; k < KINDS; ++k) {
            InstallPlugin(media, (Kind)k);
            PluginManager::INSTANCE.loadUserPlugins();
            double hook = 0, cpu = PlayRound(*player, *out, spec, &hook);
            PluginManager::INSTANCE.Cleanup();
            if (cpu < 0) {
                fprintf(stderr, "round with %s did not play\n", KIND_NAMES[k]);
                return 1;
            }
            perFrame[k].push_back(cpu * 1e6);
            if (k == LIMITER) hookUs.push_back(hook);
            printf("  round %d, %-28s %7.1f us per frame\n", r + 1, KIND_NAMES[k], cpu * 1e6);
            fflush(stdout);
        }
    }
    StopChannelOutputThread();
    double none = bench::Percentiles(perFrame[NONE]).median;
    std::vector<unsigned char> frame(CHANNELS);
    double empty = EmptyHooksNs(frame.data());

    printf("\nCPU time of the output thread per frame (median of %d rounds)\n", rounds);
    for (int k = NONE; k < KINDS; ++k) {
        double med = bench::Percentiles(perFrame[k]).median;
        printf("  %-28s %7.1f us   %.3f x\n", KIND_NAMES[k], med, med / none);
    }
    double ratio = bench::Percentiles(perFrame[NULL_PLUGIN]).median / none;
    printf("  a plug-in that does nothing: %.3f x without plug-ins (goal <= 1.05 x)   %s\n", ratio,
           kivbench::Verdict(ratio <= 1.05));
    printf("  the limiter's own time in its hook, as \"Get Plugins\" reports it: %.1f us per frame\n",
           bench::Percentiles(hookUs).median);
    printf("  both hooks without plug-ins: %.1f ns per frame\n", empty);

    player.reset();
    sequence = nullptr;
    CloseChannelOutputs();
    return 0;
}
