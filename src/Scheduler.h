#pragma once
// The scheduler: turns the rows of <media>/config/schedule.json into dated
// items, and once per second (ScheduleProc, from the main loop) starts the
// playlists and runs the commands that are due, preempts weaker playlists,
// announces the next start, and reports the schedule as JSON. One instance,
// created by main and reached through the global `scheduler`.

#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <json/json.h>

#include "ScheduleEntry.h"

// One dated occurrence of a schedule row.
class ScheduledItem {
public:
    ScheduledItem() {}
    // Copies every field but the row pointer (copies outlive reloads).
    explicit ScheduledItem(const ScheduledItem* other);

    int priority = 1;               // row index; lower is stronger
    ScheduleEntry* entry = nullptr;  // the row (owned by the scheduler)
    int entryIndex = 0;
    bool ran = false;
    time_t startTime = 0;
    time_t endTime = 0;  // equals startTime for command items
    std::string command;  // "Start Playlist" for playlist rows
    Json::Value args;
};

class Scheduler {
public:
    Scheduler();
    ~Scheduler();

    // Evaluation (main loop thread).
    void ScheduleProc();
    void CheckScheduledItems(bool restarted = false);
    void CheckIfShouldBePlayingNow(int force = 0, int entryToSkip = -1);
    std::string GetPlaylistThatShouldBePlaying(int& repeat);

    // Loading.
    void LoadScheduleFromFile();
    void ReloadScheduleFile();
    std::string ScheduleFilePath() const;
    long long ScheduleFileMTime() const;

    // Judges a schedule document as a load would, and tells what it would
    // do: for a good one, one object per row with "row" (1-based) and
    // "next" (up to `count` coming occurrences, each {"start", "end",
    // "startStr", "endStr"}); else false with one problem per bad row
    // ("Row 2: ..."), nothing loaded or warned.
    bool PreviewSchedule(const Json::Value& doc, int count, Json::Value& rows, std::vector<std::string>& problems);

    ScheduledItem* GetNextScheduledPlaylist();
    static std::string GetDayTextFromDayIndex(int dayIndex);
    void SetItemRan(ScheduledItem* item, bool ran);

    // Commands.
    bool StartNextScheduledItemNow();
    void SetTimeDelta(int seconds, int window);

    // Reports.
    Json::Value GetSchedule();
    Json::Value GetInfo();
    std::string GetNextPlaylistName();
    std::string GetNextPlaylistStartStr();
    void SchedulePrint();
    void DumpScheduledItem(time_t t, ScheduledItem* item);
    void DumpScheduledItems();
    void RegisterCommands();

    bool IsDisabled() const { return m_disabled; }

    // Test access: the item table (hold ItemsLock() while using it).
    std::recursive_mutex& ItemsLock() { return m_itemsMutex; }
    const std::map<time_t, std::unique_ptr<std::vector<std::unique_ptr<ScheduledItem>>>>& Items() const {
        return m_itemsByTime;
    }
    const std::vector<ScheduleEntry>& Entries() const { return m_entries; }
    int ForcedNextPlaylist() const { return m_forcedNextPlaylist; }

private:
    typedef std::vector<std::unique_ptr<ScheduledItem>> ItemList;

    void AddScheduledItems(ScheduleEntry* entry, int index);
    // Fills the row's startEndTimes for the days a load covers: this week
    // and `distance` days beyond (see pushStartEndTimes for the delta).
    static void ExpandRowDays(ScheduleEntry* entry, int distance, int& timeDelta, time_t timeDeltaLimit);
    void ClearScheduledItems();
    bool PlaylistFileMissing(const ScheduleEntry& entry);
    static bool SameOccurrence(const ScheduledItem* a, const ScheduledItem* b);
    std::string TimeText(time_t t);
    void RunCommandItem(ScheduledItem* item);
    void Countdown(time_t startTime, ItemList& items, time_t now);
    void NoteFailedStart(ScheduledItem* item, ScheduleEntry* row);
    void RetryFailedStarts(time_t now);

    bool m_disabled = false;
    bool m_reloadPending = true;
    int m_loadedDate = 0;
    int m_clockDelta = 0;
    time_t m_clockDeltaLimit = 0;
    time_t m_prevPassTime = 0;
    // Guards m_entries, m_itemsByTime, m_ranRegistry, m_forcedNextPlaylist,
    // the reload flag and the clock delta; recursive because evaluation
    // calls back into functions that take it again.
    std::recursive_mutex m_itemsMutex;
    std::vector<ScheduleEntry> m_entries;
    std::map<time_t, std::unique_ptr<ItemList>> m_itemsByTime;
    std::map<time_t, std::unique_ptr<ItemList>> m_ranRegistry;
    int m_forcedNextPlaylist = -1;
    // Modification time of the schedule file at the last load (ns, -1 when
    // missing): an edited file is read again on the next pass.
    long long m_fileMTime = -1;

    // Scheduled starts refused because the playlist file did not load (a
    // save half done, a typo): tried again when the file changes while the
    // slot is open, instead of losing the slot.
    struct FailedStart {
        time_t startTime;
        time_t endTime;
        int entryIndex;
        std::string path;
        long long stamp;  // modification time (ns) and size of the file when it failed
        std::string warning;
    };
    std::vector<FailedStart> m_failedStarts;

    // Schedule rows rejected by the last load, with their warnings.
    std::vector<std::string> m_rowWarnings;
    class Command* m_commands[5] = {nullptr, nullptr, nullptr, nullptr, nullptr};
};

extern Scheduler* scheduler;
