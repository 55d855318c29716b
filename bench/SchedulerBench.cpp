// How long the scheduler takes to load a large schedule and to make its
// once-per-second pass, against reading the same file as JSON in the same
// run. The pass runs on kivd's main loop, so it must stay far below the
// 10 ms the loop waits while a playlist plays.

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <chrono>

#include "ScheduleClock.h"
#include "Scheduler.h"
#include "common.h"
#include "log.h"
#include "settings.h"

static double nowUs() {
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

int main() {
    char tmpl[] = "/tmp/kivbench-XXXXXX";
    std::string media = mkdtemp(tmpl);
    setenv("KIV_MEDIA_DIR", media.c_str(), 1);
    setenv("TZ", "Europe/London", 1);
    tzset();
    for (auto sub : {"/config", "/playlists", "/sequences"}) mkdir((media + sub).c_str(), 0775);
    SetLogFile("", false);
    KIVLogger::INSTANCE.SetAllLevel(LOG_ERR);

    const int rows = 200;
    Json::Value schedule(Json::arrayValue);
    for (int i = 0; i < rows; ++i) {
        std::string name = "p" + std::to_string(i);
        PutFileContents(media + "/playlists/" + name + ".json", "{\"mainPlaylist\": []}");
        Json::Value row;
        row["playlist"] = name;
        row["day"] = i % 16;
        char t[16];
        snprintf(t, sizeof(t), "%02d:%02d:00", (i / 60) % 24, i % 60);
        row["startTime"] = t;
        row["endTime"] = "23:59:00";
        row["repeat"] = true;
        schedule.append(row);
    }
    PutFileContents(media + "/config/schedule.json", SaveJsonToString(schedule, "  "));
    SetSetting("ScheduleDistance", 28);

    time_t fixed = LocalTime(2024, 11, 14, 0, 0, 30);
    ScheduleClock::SetProvider([&] { return fixed; });

    const int loads = 20;
    double t0 = nowUs();
    for (int i = 0; i < loads; ++i) LoadJsonFromFile(media + "/config/schedule.json");
    double parseUs = (nowUs() - t0) / loads;

    Scheduler s;
    t0 = nowUs();
    for (int i = 0; i < loads; ++i) s.LoadScheduleFromFile();
    double loadUs = (nowUs() - t0) / loads;

    size_t items = 0;
    for (auto& slot : s.Items()) items += slot.second->size();

    // Passes with nothing due: the walk stops at the first future item.
    const int passes = 2000;
    t0 = nowUs();
    for (int i = 0; i < passes; ++i) s.CheckScheduledItems(false);
    double passUs = (nowUs() - t0) / passes;

    // Late on Saturday most of the week's items lie behind: the worst walk.
    fixed = LocalTime(2024, 11, 16, 23, 58, 30);
    s.LoadScheduleFromFile();
    s.CheckScheduledItems(false);
    t0 = nowUs();
    for (int i = 0; i < passes; ++i) s.CheckScheduledItems(false);
    double latePassUs = (nowUs() - t0) / passes;

    printf("schedule rows: %d, items: %zu (ScheduleDistance 28)\n", rows, items);
    printf("JSON parse of the file (reference): %.1f us\n", parseUs);
    printf("full load and expansion:           %.1f us (%.1f x parse)\n", loadUs, loadUs / parseUs);
    printf("evaluation pass, start of week:    %.2f us (%.4f x parse)\n", passUs, passUs / parseUs);
    printf("evaluation pass, end of week:      %.2f us (%.4f x parse)\n", latePassUs, latePassUs / parseUs);
    std::string cmd = "rm -rf '" + media + "'";
    return system(cmd.c_str()) == 0 ? 0 : 1;
}
