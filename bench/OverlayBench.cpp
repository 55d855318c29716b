// Drawing on pixel overlay models, measured in one run:
//  1. scrolling text on a 256 x 64 model: the output thread's work for one
//     frame of it (the text drawn at its new place over the model's
//     picture, the picture shown, the model laid over the frame), against a
//     plain copy of the model's picture into the frame; goal <= 1 ms;
//  2. a 1,048,576-channel show played through the sequence player, the
//     real output thread and the UDP output plug-in (DDP to four receivers
//     on loopback, in a child process) in rounds, in turn alone and with
//     four scrolling text models and ten looping ESEQ effects (started by
//     "Effect Start") over it: CPU time of the process per frame sent (the
//     output pass with its reading and sending), the median of each kind
//     set against the show alone; goal <= 1.2 x. The output thread's own
//     time per frame is shown beside it.
//
//   bench_overlays [-f FRAMES] [-r ROUNDS] [-k alone|drawn]
//   (-r 0: the first measurement only; -k: rounds of one kind only, for a
//   profiler)

#include <arpa/inet.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "FrameTiming.h"
#include "HSEQTestSupport.h"
#include "Sequence.h"
#include "TestSupport.h"
#include "channeloutput/DDP.h"
#include "channeloutput/channeloutput.h"
#include "channeloutput/channeloutputthread.h"
#include "commands/Commands.h"
#include "commands/EffectCommands.h"
#include "commands/OverlayCommands.h"
#include "common.h"
#include "effects/EffectPlayer.h"
#include "hseq/ShowGenerator.h"
#include "log.h"
#include "overlays/OverlayDrawing.h"
#include "services/PixelOverlay.h"

namespace {

constexpr uint32_t CHANNELS = 1048576;
constexpr int TEXT_MODELS = 4;
constexpr int EFFECTS = 10;
constexpr int EFFECT_CHANNELS = 3000;
const char* TEXT = "MERRY CHRISTMAS AND A HAPPY NEW YEAR";

long long ThreadCpuNs() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

bool Run(const std::vector<std::string>& args) {
    auto r = CommandManager::INSTANCE.run(args[0], std::vector<std::string>(args.begin() + 1, args.end()));
    if (r->isError()) fprintf(stderr, "%s: %s\n", args[0].c_str(), r->get().c_str());
    return !r->isError();
}

bool LoadModels(const std::string& records) {
    Json::Value doc;
    if (!LoadJsonFromString("{\"models\": [" + records + "]}", doc)) return false;
    return PixelOverlayManager::INSTANCE.LoadModels(doc, "bench");
}

// ---- 1: one text model, frame by frame -----------------------------------

int TextFrames(int frames) {
    const int w = 256, h = 64, bytes = w * h * 3;
    if (!LoadModels(R"({"name": "Sign", "startChannel": 1, "width": 256, "height": 64})")) return 1;
    PixelOverlayModel* sign = PixelOverlayManager::INSTANCE.getModel("Sign");
    std::vector<uint8_t> frame(bytes, 0);

    long long t0 = ThreadCpuNs();
    if (!Run({"Overlay Model Text", "Sign", TEXT, "gold", "DejaVu Sans Bold", "0", "Center", "Left", "60"})) return 1;
    double renderUs = (ThreadCpuNs() - t0) / 1e3;

    // A frame period of 1 ms (the least the drawing steps by) and a pause
    // of a little more between frames: every frame moves the text on.
    LightDelay = 1000;
    std::vector<double> perFrame;
    int drawn = 0;
    for (int i = 0; i < frames; ++i) {
        usleep(1200);
        unsigned long long before = sign->getChangeNumber();
        long long a = ThreadCpuNs();
        PixelOverlayManager::INSTANCE.doOverlays(frame.data());
        long long b = ThreadCpuNs();
        if (sign->getChangeNumber() != before) {
            ++drawn;
            perFrame.push_back((b - a) / 1e3);
        }
    }
    std::string error;
    OverlayDrawing::INSTANCE.StopEffect("Sign", error);

    // The reference: the model's picture copied into the frame, nothing more.
    std::vector<uint8_t> picture = sign->getData();
    std::vector<double> copies;
    for (int i = 0; i < frames; ++i) {
        picture[i % bytes] ^= 1;
        long long a = ThreadCpuNs();
        memcpy(frame.data(), picture.data(), bytes);
        long long b = ThreadCpuNs();
        copies.push_back((b - a) / 1e3);
    }
    double med = bench::Percentiles(perFrame).median, p99 = bench::Percentiles(perFrame).p99;
    double copy = bench::Percentiles(copies).median;
    printf("Scrolling text on a 256 x 64 model (\"%s\", DejaVu Sans Bold fitted to 64 rows, 60 px/s)\n", TEXT);
    printf("  rendering the text once: %.0f us\n", renderUs);
    printf("  one frame, %d of %d frames drawn: median %.1f us, p99 %.1f us; a copy of the picture: %.1f us (%.1f x)\n",
           drawn, frames, med, p99, copy, copy > 0 ? med / copy : 0);
    printf("  per frame: %.3f ms (goal <= 1 ms)   %s\n\n", med / 1000, kivbench::Verdict(med <= 1000 && drawn > frames / 2));
    PixelOverlayManager::INSTANCE.Cleanup();
    return 0;
}

// ---- 2: the show with and without the drawing ---------------------------

constexpr int RECEIVERS = 4;
std::string ReceiverAddress(int i) { return "127.0.0." + std::to_string(2 + i); }

// Four DDP receivers that drain their sockets, in a child process so that
// their time is not the daemon's; the child's pid, or -1.
pid_t StartReceivers() {
    std::vector<int> fds;
    for (int r = 0; r < RECEIVERS; ++r) {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        int size = 16 * 1024 * 1024;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size));
        sockaddr_in a;
        memset(&a, 0, sizeof(a));
        a.sin_family = AF_INET;
        a.sin_port = htons(DDP_PORT);
        inet_pton(AF_INET, ReceiverAddress(r).c_str(), &a.sin_addr);
        if (bind(fd, (sockaddr*)&a, sizeof(a)) < 0) {
            perror("bind");
            return -1;
        }
        fds.push_back(fd);
    }
    pid_t pid = fork();
    if (pid != 0) {
        for (int fd : fds) close(fd);
        return pid;
    }
    std::vector<pollfd> polls;
    for (int fd : fds) polls.push_back({fd, POLLIN, 0});
    std::vector<char> buf(1500);
    while (true) {
        if (poll(polls.data(), polls.size(), 1000) <= 0) continue;
        for (auto& p : polls) {
            while (recv(p.fd, buf.data(), buf.size(), MSG_DONTWAIT) > 0) {
            }
        }
    }
}

struct Round {
    double processUs = -1;  // CPU of the process but this thread, per frame sent
    double threadUs = -1;   // CPU of the output thread per frame sent
};

// Plays the show once, measured between frame 5 and the last few (the
// thread's start and end left out).
Round PlayRound(Sequence& player, const ShowSpec& spec) {
    Round r;
    player.StartSequence("bench.hseq", 0);
    if (!kivtest::waitUntil([] { return channelOutputFrame > 5; }, 20000)) return r;
    double thread0 = kivtest::ThreadCpuByName()["KIV-ChannelOut"];
    double all0 = bench::CpuSeconds(RUSAGE_SELF) - bench::CpuSeconds(RUSAGE_THREAD);
    int frame0 = channelOutputFrame;
    if (!kivtest::waitUntil([&] { return channelOutputFrame > (int)spec.frames - 6; }, 120000)) return r;
    double thread1 = kivtest::ThreadCpuByName()["KIV-ChannelOut"];
    double all1 = bench::CpuSeconds(RUSAGE_SELF) - bench::CpuSeconds(RUSAGE_THREAD);
    int frames = channelOutputFrame - frame0;
    kivtest::waitUntil([&] { return !player.IsSequenceRunning(); }, 10000);
    if (frames > 0) {
        r.processUs = (all1 - all0) * 1e6 / frames;
        r.threadUs = (thread1 - thread0) * 1e6 / frames;
    }
    return r;
}

bool StartDrawing() {
    for (int e = 0; e < EFFECTS; ++e) {
        if (!Run({"Effect Start", "fx" + std::to_string(e), std::to_string(600001 + e * EFFECT_CHANNELS), "true", "true"})) {
            return false;
        }
    }
    for (int m = 0; m < TEXT_MODELS; ++m) {
        if (!Run({"Overlay Model Text", "Sign" + std::to_string(m), TEXT, "white", "DejaVu Sans", "0", "Center", "Left",
                  "60"})) {
            return false;
        }
    }
    return true;
}

void StopDrawing() {
    Run({"Effects Stop All"});
    for (int m = 0; m < TEXT_MODELS; ++m) Run({"Overlay Model Effect", "Sign" + std::to_string(m), "Stop"});
}

int Show(const kivtest::TempMediaDir& media, int frames, int rounds, int onlyKind) {
    KIVLogger::INSTANCE.SetAllLevel(LOG_WARN);
    ShowSpec spec;
    spec.channels = CHANNELS;
    spec.frames = (uint32_t)frames;
    spec.stepMs = 20;
    printf("A %u-channel show, %d frames of %d ms per round, %d rounds of each kind\n", CHANNELS, frames, spec.stepMs,
           rounds);
    if (!GenerateShow(media.file("/sequences/bench.hseq"), spec)) {
        fprintf(stderr, "could not write the show\n");
        return 1;
    }
    // Ten effects of 1,000 RGB pixels, 20 frames each.
    mkdir(media.file("/effects").c_str(), 0775);
    for (int e = 0; e < EFFECTS; ++e) {
        std::vector<hseqtest::Bytes> fx;
        for (int f = 0; f < 20; ++f) fx.push_back(hseqtest::Bytes(EFFECT_CHANNELS, (uint8_t)(e * 20 + f)));
        if (!hseqtest::WriteFile(media.file("/effects/fx" + std::to_string(e) + ".eseq"),
                                 hseqtest::BuildESEQ(EFFECT_CHANNELS, 1, EFFECT_CHANNELS, fx))) {
            return 1;
        }
    }
    std::string records;
    for (int m = 0; m < TEXT_MODELS; ++m) {
        records += std::string(m ? "," : "") + "{\"name\": \"Sign" + std::to_string(m) +
                   "\", \"startChannel\": " + std::to_string(1 + m * 150000) + ", \"width\": 256, \"height\": 64}";
    }
    if (!LoadModels(records)) return 1;

    Json::Value universes(Json::arrayValue);
    for (int r = 0; r < RECEIVERS; ++r) {
        Json::Value u;
        u["description"] = "part " + std::to_string(r + 1);
        u["type"] = 4;  // DDP
        u["address"] = ReceiverAddress(r);
        u["startChannel"] = 1 + r * (CHANNELS / RECEIVERS);
        u["channelCount"] = CHANNELS / RECEIVERS;
        universes.append(u);
    }
    Json::Value outputs;
    outputs["channelOutputs"][0]["type"] = "UDP";
    outputs["channelOutputs"][0]["enabled"] = 1;
    outputs["channelOutputs"][0]["universes"] = universes;
    media.write("/config/channeloutputs.json", SaveJsonToString(outputs));
    setenv("KIV_PLUGIN_PATH", KIV_BENCH_PLUGIN_DIR, 1);
    pid_t receivers = StartReceivers();
    if (receivers < 0) return 1;
    if (InitializeChannelOutputs() != 1) {
        fprintf(stderr, "could not load the UDP output plug-in from %s\n", KIV_BENCH_PLUGIN_DIR);
        return 1;
    }
    auto player = std::make_unique<Sequence>();
    sequence = player.get();

    enum { ALONE, DRAWN, KINDS };
    const char* names[] = {"the show alone", "with 4 text models and 10 effects"};
    std::vector<double> process[KINDS], thread[KINDS];
    int running = 0;
    unsigned long long drawnFrames = 0;
    for (int r = 0; r < rounds; ++r) {
        for (int k = ALONE; k < KINDS; ++k) {
            if (onlyKind >= 0 && k != onlyKind) continue;
            if (k == DRAWN && !StartDrawing()) return 1;
            // Change numbers come from one counter: the models' pictures
            // drawn in the round, all of them.
            unsigned long long change0 = PixelOverlayManager::INSTANCE.getModel("Sign0")->getChangeNumber();
            Round round = PlayRound(*player, spec);
            if (k == DRAWN) {
                running = (int)EffectPlayer::INSTANCE.GetRunning().size();
                unsigned long long last = 0;
                for (int m = 0; m < TEXT_MODELS; ++m) {
                    auto* model = PixelOverlayManager::INSTANCE.getModel("Sign" + std::to_string(m));
                    last = std::max(last, model->getChangeNumber());
                }
                drawnFrames = last - change0;
                StopDrawing();
            }
            if (round.processUs < 0) {
                fprintf(stderr, "round %s did not play\n", names[k]);
                return 1;
            }
            process[k].push_back(round.processUs);
            thread[k].push_back(round.threadUs);
            printf("  round %d, %-34s %7.1f us per frame (output thread %6.1f us)\n", r + 1, names[k],
                   round.processUs, round.threadUs);
            fflush(stdout);
        }
    }
    StopChannelOutputThread();
    kill(receivers, SIGKILL);
    waitpid(receivers, nullptr, 0);
    if (onlyKind >= 0) {
        printf("\n(one kind only: no comparison)\n");
    } else {
        double alone = bench::Percentiles(process[ALONE]).median, drawn = bench::Percentiles(process[DRAWN]).median;
        double aloneThread = bench::Percentiles(thread[ALONE]).median;
        double drawnThread = bench::Percentiles(thread[DRAWN]).median;
        printf("\nCPU time per frame sent (median of %d rounds)\n", rounds);
        printf("  %-34s %7.1f us   (output thread %6.1f us)\n", names[ALONE], alone, aloneThread);
        printf("  %-34s %7.1f us   (output thread %6.1f us)\n", names[DRAWN], drawn, drawnThread);
        printf("  with the drawing: %.3f x the show alone (goal <= 1.2 x)   %s\n", drawn / alone,
               kivbench::Verdict(drawn / alone <= 1.2));
        printf("  the output thread alone: %.3f x (%.1f us per frame for the drawing: each model and effect drawn on "
               "the frame's own bytes, what they cover kept to give back)\n",
               aloneThread > 0 ? drawnThread / aloneThread : 0, drawnThread - aloneThread);
        printf("  (in the last round %d effects ran to its end, and the %d text models were drawn %llu times in all "
               "in its %u frames)\n",
               running, TEXT_MODELS, drawnFrames, spec.frames);
    }
    player.reset();
    sequence = nullptr;
    CloseChannelOutputs();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int frames = 300, rounds = 5, onlyKind = -1;
    int c;
    while ((c = getopt(argc, argv, "f:r:k:")) != -1) {
        if (c == 'f') frames = atoi(optarg);
        else if (c == 'r') rounds = atoi(optarg);
        else if (c == 'k' && (!strcmp(optarg, "alone") || !strcmp(optarg, "drawn"))) onlyKind = optarg[0] == 'd';
        else {
            fprintf(stderr, "usage: %s [-f FRAMES] [-r ROUNDS] [-k alone|drawn]\n", argv[0]);
            return 2;
        }
    }
    SetLogFile("", false);  // quiet: logging is not what is measured
    kivtest::TempMediaDir media;
    RegisterEffectCommands();
    RegisterOverlayCommands();
    if (int rc = TextFrames(std::max(frames, 1000))) return rc;
    return rounds > 0 ? Show(media, frames, rounds, onlyKind) : 0;
}
