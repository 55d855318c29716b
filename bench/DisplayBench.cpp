// Pictures on the local display and in image entries, measured in one run:
//  1. a 1920 x 1080 display at 32 bits per pixel (memory DRM device): the
//     time of one full-picture conversion and of one drawing step of each
//     transition, against a plain memcpy of one page;
//  2. loading and scaling a 4000 x 3000 JPEG for a 1920 x 1080 model the
//     way the image entry does (read, resize, letter-box, crop, PNG cache,
//     RGB export), against `gm convert <file> -resize 1922x1082 out.png`.

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <Magick++.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "DisplayTestSupport.h"
#include "FrameBuffer.h"
#include "MemoryDisplay.h"
#include "common.h"
#include "log.h"
#include "playlist/PlaylistEntryImage.h"
#include "services/PixelOverlay.h"
#include "settings.h"

namespace {

constexpr int W = 1920, H = 1080;

double nowUs() {
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// CPU time of the calling thread: what drawing costs, whatever else the
// shared machine runs meanwhile.
double cpuUs() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

const char* transitionName(int t) {
    static const char* names[] = {"normal (page flip)", "slide up",      "slide down",       "slide left",
                                  "slide right",        "wipe up",       "wipe down",        "wipe left",
                                  "wipe right",         "wipe to centre", "wipe from centre", "blinds open",
                                  "blinds close",       "mosaic"};
    return names[t];
}

std::vector<uint8_t> picture(uint32_t seed) { return kivtest::TestPicture(W, H, seed); }

void displayBench() {
    setenv("KIV_DISPLAY_BACKEND", "memory", 1);
    FrameBuffer fb;
    fb.SetPauseFunction([](int) {});  // drawing cost only, not the pauses between steps
    Json::Value config;
    config["Device"] = "HDMI-A-1";
    config["Width"] = W;
    config["Height"] = H;
    if (!fb.FBInit(config)) {
        printf("could not open the memory display\n");
        exit(1);
    }
    auto screen = MemoryDisplay::Screen("HDMI-A-1");
    const size_t page = (size_t)fb.LineLength() * H;
    std::vector<uint8_t> from(page, 1), to(page, 2);
    auto a = picture(1), b = picture(2);

    // The reference is measured next to each figure, and ratios are taken
    // run by run: this machine is shared, and its speed drifts.
    auto timeCopy = [&] {
        double t0 = cpuUs();
        memcpy(to.data(), from.data(), page);
        double t = cpuUs() - t0;
        from[(size_t)t % page] = to[page / 2];  // keep the copies from being folded away
        return t;
    };
    std::vector<double> copies, conversions, ratios;
    for (int i = 0; i < 60; ++i) {
        double c = timeCopy();
        double t0 = cpuUs();
        fb.FBCopyData((i % 2 ? a : b).data(), 0);
        double v = cpuUs() - t0;
        copies.push_back(c);
        conversions.push_back(v);
        ratios.push_back(v / c);
    }
    double copy = median(copies);
    printf("Display 1920 x 1080 at 32 bpp (memory DRM device), page %zu bytes; thread CPU time, medians,\n"
           "ratios taken run by run\n",
           page);
    double bestCopy = *std::min_element(copies.begin(), copies.end());
    double bestConversion = *std::min_element(conversions.begin(), conversions.end());
    printf("  %-38s %10.1f us   (best %.1f us)\n", "memcpy of one page (reference)", copy, bestCopy);
    printf("  %-38s %10.1f us   %5.2f x memcpy   (best %.1f us, %.2f x best memcpy)\n",
           "full-picture conversion (RGB -> XRGB)", median(conversions), median(ratios), bestConversion,
           bestConversion / bestCopy);
    printf("  %-22s %7s %12s %12s %10s\n", "transition", "steps", "total us", "us / step", "x memcpy");
    // A step's time: between the pauses that follow consecutive steps (the
    // wake-up of the draw thread stays out); transitions without pauses:
    // the whole transition over its steps.
    std::vector<double> pauseTimes;
    fb.SetPauseFunction([&pauseTimes](int) { pauseTimes.push_back(cpuUs()); });  // on the draw thread
    for (int t = 0; t <= IMAGE_TRANSITION_COUNT; ++t) {
        std::vector<double> perStep, stepRatios;
        int steps = 0;
        for (int run = 0; run < 7; ++run) {
            fb.FBCopyData((run % 2 ? a : b).data(), 0);
            double c = timeCopy();
            int s0 = screen->Steps() + screen->PageChanges();
            pauseTimes.clear();
            fb.FBStartDraw(t);
            fb.WaitUntilShown(120000);

            double total = (double)fb.LastDrawMicros();
            steps = screen->Steps() + screen->PageChanges() - s0;
            double step = pauseTimes.size() >= 2 ? (pauseTimes.back() - pauseTimes.front()) / (pauseTimes.size() - 1)
                                                 : total / std::max(1, steps);
            perStep.push_back(step);
            stepRatios.push_back(step / c);
        }
        double step = median(perStep);
        printf("  %-22s %7d %12.0f %12.1f %10.3f\n", transitionName(t), steps, step * steps, step,
               median(stepRatios));
    }
    printf("  (a step: the draw thread's CPU time between the pauses that follow steps; normal and the\n"
           "   wipes left and right, which do not pause: the draw loop's wall time over the steps)\n");
}

std::string makePhoto(const std::string& dir) {
    // Smooth colour waves with a little grain: compresses like a photo.
    const int pw = 4000, ph = 3000;
    std::vector<uint8_t> rgb((size_t)pw * ph * 3);
    uint32_t n = 12345;
    for (int y = 0; y < ph; ++y) {
        for (int x = 0; x < pw; ++x) {
            n = n * 1103515245u + 12345u;
            int grain = (int)((n >> 16) % 17) - 8;
            uint8_t* p = &rgb[((size_t)y * pw + x) * 3];
            p[0] = (uint8_t)std::clamp(128 + (int)(100 * sin(x / 97.0 + y / 211.0)) + grain, 0, 255);
            p[1] = (uint8_t)std::clamp(128 + (int)(100 * sin(x / 151.0 - y / 83.0)) + grain, 0, 255);
            p[2] = (uint8_t)std::clamp(128 + (int)(100 * cos((x + y) / 173.0)) + grain, 0, 255);
        }
    }
    std::string path = dir + "/photo.jpg";
    Magick::Image image(pw, ph, "RGB", Magick::CharPixel, rgb.data());
    image.quality(90);
    image.write(path);
    return path;
}

double runGm(const std::string& photo, const std::string& out) {
    double t0 = nowUs();
    pid_t pid = fork();
    if (pid == 0) {
        execlp("gm", "gm", "convert", photo.c_str(), "-resize", "1922x1082", out.c_str(), (char*)nullptr);
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        printf("gm convert failed (is the graphicsmagick package installed?)\n");
        exit(1);
    }
    return nowUs() - t0;
}

void imageBench() {
    char tmpl[] = "/tmp/kivbench-image-XXXXXX";
    std::string dir = mkdtemp(tmpl);
    setenv("KIV_MEDIA_DIR", dir.c_str(), 1);
    std::string photo = makePhoto(dir);
    struct stat st;
    stat(photo.c_str(), &st);

    Json::Value doc;
    LoadJsonFromString(R"({"models": [{"name": "Screen", "startChannel": 1, "width": 1920, "height": 1080}]})",
                       doc);
    PixelOverlayManager::INSTANCE.LoadModels(doc, "bench");

    std::vector<double> ours, theirs;
    for (int run = 0; run < 5; ++run) {
        unlink((dir + "/cache/pei-photo.jpg.png").c_str());
        Json::Value config;
        config["type"] = "image";
        config["modelName"] = "Screen";
        config["imagePath"] = photo;
        double t0 = nowUs();
        PlaylistEntryImage entry(nullptr);
        entry.Init(config);
        entry.WaitForPreparedImage(600000);
        ours.push_back(nowUs() - t0);
        theirs.push_back(runGm(photo, dir + "/gm-out.png"));
    }
    double o = median(ours) / 1000, g = median(theirs) / 1000;
    printf("\n4000 x 3000 JPEG (%.1f MB) for a 1920 x 1080 model, median of 5\n", st.st_size / 1048576.0);
    printf("  %-58s %8.1f ms\n", "gm convert -resize 1922x1082 out.png (reference)", g);
    printf("  %-58s %8.1f ms   %5.2f x gm   (goal <= 1.2 x)\n",
           "image entry: read, scale, letter-box, crop, PNG cache, RGB", o, o / g);
    PixelOverlayManager::INSTANCE.Cleanup();
    std::string rm = "rm -rf '" + dir + "'";
    if (system(rm.c_str())) {
    }
}

}  // namespace

int main() {
    MagickLib::InitializeMagickEx(nullptr, MAGICK_OPT_NO_SIGNAL_HANDER, nullptr);
    Magick::InitializeMagick(nullptr);
    SetLogFile("", false);
    displayBench();
    imageBench();
    return 0;
}
