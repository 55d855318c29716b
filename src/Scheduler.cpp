#include "Scheduler.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <thread>

#include "ScheduleClock.h"
#include "Warnings.h"
#include "commands/Commands.h"
#include "common.h"
#include "log.h"
#include "playlist/Player.h"
#include "settings.h"

Scheduler* scheduler = nullptr;

namespace {
const char* START_PLAYLIST = "Start Playlist";
const std::string SCHEDULE_FILE_WARNING_PREFIX = "Schedule file is not valid";
constexpr time_t RAN_REGISTRY_KEEP_SECONDS = 172800;  // two days
constexpr int MAX_CLOCK_JUMP_SECONDS = 5;
constexpr int EXTEND_LIMIT_SECONDS = 43200;

bool parseInt(const std::string& s, int& out) {
    if (s.empty()) return false;
    char* end = nullptr;
    long v = strtol(s.c_str(), &end, 10);
    if (*end != 0) return false;
    out = (int)v;
    return true;
}

class StartNextItemCommand : public Command {
public:
    explicit StartNextItemCommand(Scheduler* s)
        : Command("Start Next Scheduled Item", "Starts the next scheduled playlist now"), m_scheduler(s) {}
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override {
        if (m_scheduler->StartNextScheduledItemNow()) {
            return std::make_unique<Result>("Next scheduled item started");
        }
        return std::make_unique<ErrorResult>("Unable to start next scheduled item");
    }

private:
    Scheduler* m_scheduler;
};

class ExtendScheduleCommand : public Command {
public:
    explicit ExtendScheduleCommand(Scheduler* s)
        : Command("Extend Schedule", "Moves the end of the running scheduled playlist"), m_scheduler(s) {
        args.emplace_back("Seconds", "int", "Extend for Seconds");
        args.back().setRange(-EXTEND_LIMIT_SECONDS, EXTEND_LIMIT_SECONDS).setDefaultValue("300");
        args.emplace_back("Limit", "int", "For schedule events occurring in the next x Seconds", true);
        args.back().setRange(-EXTEND_LIMIT_SECONDS, EXTEND_LIMIT_SECONDS).setDefaultValue("0");
    }
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        if (a.empty()) {
            return std::make_unique<ErrorResult>("Command needs at least 1 argument, found " +
                                                 std::to_string(a.size()));
        }
        int seconds = 0;
        if (!parseInt(a[0], seconds) || seconds < -EXTEND_LIMIT_SECONDS || seconds > EXTEND_LIMIT_SECONDS) {
            return std::make_unique<ErrorResult>("Seconds must be a whole number from -43200 to 43200, found '" +
                                                 a[0] + "'");
        }
        int limit = 0;
        if (a.size() > 1 && (!parseInt(a[1], limit) || limit < -EXTEND_LIMIT_SECONDS || limit > EXTEND_LIMIT_SECONDS)) {
            return std::make_unique<ErrorResult>("Limit must be a whole number from -43200 to 43200, found '" + a[1] +
                                                 "'");
        }
        if (!Player::INSTANCE.AdjustPlaylistStopTime(seconds)) {
            return std::make_unique<ErrorResult>("Error extending Schedule");
        }
        if (limit != 0) {
            m_scheduler->SetTimeDelta(seconds, limit);
        }
        return std::make_unique<Result>("Schedule Updated");
    }

private:
    Scheduler* m_scheduler;
};

class ReloadScheduleCommand : public Command {
public:
    explicit ReloadScheduleCommand(Scheduler* s)
        : Command("Reload Schedule", "Reads the schedule file again on the next pass"), m_scheduler(s) {}
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override {
        m_scheduler->ReloadScheduleFile();
        return std::make_unique<Result>("Schedule will be reloaded");
    }

private:
    Scheduler* m_scheduler;
};

class GetScheduleCommand : public Command {
public:
    explicit GetScheduleCommand(Scheduler* s)
        : Command("Get Schedule", "The schedule rows and the upcoming items as JSON"), m_scheduler(s) {}
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override {
        return std::make_unique<Result>(SaveJsonToString(m_scheduler->GetSchedule(), "  "), "application/json");
    }

private:
    Scheduler* m_scheduler;
};

class GetSchedulerInfoCommand : public Command {
public:
    explicit GetSchedulerInfoCommand(Scheduler* s)
        : Command("Get Scheduler Info", "What plays now and what is scheduled next, as JSON"), m_scheduler(s) {}
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override {
        return std::make_unique<Result>(SaveJsonToString(m_scheduler->GetInfo(), "  "), "application/json");
    }

private:
    Scheduler* m_scheduler;
};

std::string missingWarning(const ScheduleEntry& e) {
    return std::string("Scheduled ") + (e.sequence ? "Sequence" : "Playlist") + " '" + e.playlist + "' does not exist";
}

std::string playlistFilePath(const ScheduleEntry& e) {
    if (e.sequence) return getKIVMediaDir("/sequences/" + e.playlist);
    return getKIVMediaDir("/playlists/" + e.playlist + ".json");
}

}  // namespace

ScheduledItem::ScheduledItem(const ScheduledItem* o)
    : priority(o->priority),
      entry(nullptr),
      entryIndex(o->entryIndex),
      ran(o->ran),
      startTime(o->startTime),
      endTime(o->endTime),
      command(o->command),
      args(o->args) {}

Scheduler::Scheduler() {
    RegisterCommands();
    m_disabled = getSettingInt("DisableScheduler", 0) == 1;
    if (m_disabled && getKIVmode() == MODE_PLAYER) {
        WarningHolder::AddWarning("KIV Scheduler is disabled");
        LogWarn(VB_SCHEDULE, "Scheduler is disabled!\n");
    }
    m_prevPassTime = ScheduleClock::Now();
    LoadScheduleFromFile();
}

Scheduler::~Scheduler() {
    for (Command* c : m_commands) {
        // A later scheduler may have registered commands of the same name.
        if (c && CommandManager::INSTANCE.getCommand(c->name) == c) {
            CommandManager::INSTANCE.removeCommand(c->name);
        }
    }
    std::lock_guard<std::recursive_mutex> lock(m_itemsMutex);
    ClearScheduledItems();
    m_ranRegistry.clear();
    m_entries.clear();
}

void Scheduler::RegisterCommands() {
    m_commands[0] = new StartNextItemCommand(this);
    m_commands[1] = new ExtendScheduleCommand(this);
    m_commands[2] = new ReloadScheduleCommand(this);
    m_commands[3] = new GetScheduleCommand(this);
    m_commands[4] = new GetSchedulerInfoCommand(this);
    for (Command* c : m_commands) {
        CommandManager::INSTANCE.addCommand(c);
    }
}

std::string Scheduler::ScheduleFilePath() const { return getKIVMediaDir("/config/schedule.json"); }

long long Scheduler::ScheduleFileMTime() const {
    struct stat st;
    if (stat(ScheduleFilePath().c_str(), &st) != 0) return -1;
    return (long long)st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
}

void Scheduler::ReloadScheduleFile() {
    std::lock_guard<std::recursive_mutex> lock(m_itemsMutex);
    m_reloadPending = true;
}

bool Scheduler::PlaylistFileMissing(const ScheduleEntry& e) { return !FileExists(playlistFilePath(e)); }

void Scheduler::LoadScheduleFromFile() {
    std::string path = ScheduleFilePath();
    LogDebug(VB_SCHEDULE, "Loading Schedule from %s\n", path.c_str());

    std::lock_guard<std::recursive_mutex> lock(m_itemsMutex);
    m_reloadPending = false;
    m_loadedDate = LocalDateInt(ScheduleClock::Now());
    m_fileMTime = ScheduleFileMTime();

    for (auto& w : m_rowWarnings) {
        WarningHolder::RemoveWarning(w);
    }
    m_rowWarnings.clear();

    Json::Value doc(Json::arrayValue);
    bool keepRows = false;
    if (FileExists(path)) {
        std::string why;
        if (!LoadJsonFromFile(path, doc)) {
            why = "is not valid JSON";
        } else if (!doc.isArray()) {
            why = "is not a JSON array of rows";
        }
        if (!why.empty()) {
            // A half-written or mistyped file must not cancel tonight's show:
            // the rows read last time stay in force until the file is fixed.
            LogErr(VB_SCHEDULE, "Schedule file %s %s; keeping the %d rows loaded before\n", path.c_str(),
                   why.c_str(), (int)m_entries.size());
            std::string warning = SCHEDULE_FILE_WARNING_PREFIX + " (" + path + " " + why + ")";
            WarningHolder::AddWarning(warning);
            m_rowWarnings.push_back(warning);
            keepRows = true;
        }
    }

    ClearScheduledItems();
    if (!keepRows) {
        m_entries.clear();
        for (Json::ArrayIndex i = 0; i < doc.size(); ++i) {
            ScheduleEntry row;
            if (!row.LoadFromJson(doc[i])) {
                LogErr(VB_SCHEDULE, "Schedule row %u ignored: %s\n", i + 1, row.loadError.c_str());
                std::string warning = "Schedule row " + std::to_string(i + 1) + " ignored: " + row.loadError;
                WarningHolder::AddWarning(warning);
                m_rowWarnings.push_back(warning);
                continue;
            }
            std::string warning = missingWarning(row);
            if (row.enabled && !row.playlist.empty() && PlaylistFileMissing(row)) {
                LogErr(VB_SCHEDULE, "ERROR: Scheduled %s '%s' does not exist\n",
                       row.sequence ? "Sequence" : "Playlist", row.playlist.c_str());
                WarningHolder::AddWarning(warning);
                m_rowWarnings.push_back(warning);  // withdrawn if the row goes away too
                continue;
            }
            if (!row.playlist.empty()) WarningHolder::RemoveWarning(warning);
            m_entries.push_back(row);
        }
    }

    for (size_t j = 0; j < m_entries.size(); ++j) {
        AddScheduledItems(&m_entries[j], (int)j);
    }

    SchedulePrint();
    if (WillLog(LOG_EXCESS, VB_SCHEDULE)) {
        DumpScheduledItems();
    }
}

void Scheduler::ClearScheduledItems() {
    std::lock_guard<std::recursive_mutex> lock(m_itemsMutex);
    m_itemsByTime.clear();
}

bool Scheduler::SameOccurrence(const ScheduledItem* a, const ScheduledItem* b) {
    if (a->command != b->command || a->startTime != b->startTime || a->endTime != b->endTime) return false;
    bool aEmpty = !a->args.isArray() || a->args.empty();
    bool bEmpty = !b->args.isArray() || b->args.empty();
    if (aEmpty || bEmpty) return aEmpty && bEmpty;
    return a->args[0] == b->args[0];
}

void Scheduler::ExpandRowDays(ScheduleEntry* entry, int distance, int& timeDelta, time_t timeDeltaLimit) {
    time_t now = ScheduleClock::Now();
    struct tm today;
    localtime_r(&now, &today);
    int weekday = today.tm_wday;

    entry->startEndTimes.clear();
    std::set<int> pushed;  // a day is expanded once even when two rules name it
    auto push = [&](int offset) {
        if (pushed.insert(offset).second) {
            entry->pushStartEndTimes(offset, timeDelta, timeDeltaLimit);
        }
    };

    bool oddEven = entry->dayIndex == SCHEDULE_DAY_ODD || entry->dayIndex == SCHEDULE_DAY_EVEN;
    if (oddEven) {
        long count = ScheduleEntry::DayCountSinceOddEvenEpoch(today.tm_year + 1900, today.tm_mon + 1, today.tm_mday);
        bool todayOdd = (count % 2) != 0;
        bool ofKind = entry->dayIndex == SCHEDULE_DAY_ODD ? todayOdd : !todayOdd;
        int first = weekday;
        if (!ofKind) {
            push(weekday - 1);
            first = weekday + 1;
        }
        // The same span the weekly codes cover: this week, plus whole weeks
        // up to the distance.
        int last = distance >= 0 ? 7 * (distance / 7) + 6 : -1;
        for (int off = first; off <= last; off += 2) {
            push(off);
        }
    }
    if (weekday == 0) {
        push(-1);  // a Saturday slot may run past midnight into today
    }
    if (!oddEven && distance >= 0) {
        int mask = ScheduleEntry::DayMaskForIndex(entry->dayIndex);
        static const int bits[7] = {SCHEDULE_DAY_MASK_SUNDAY,   SCHEDULE_DAY_MASK_MONDAY,
                                    SCHEDULE_DAY_MASK_TUESDAY,  SCHEDULE_DAY_MASK_WEDNESDAY,
                                    SCHEDULE_DAY_MASK_THURSDAY, SCHEDULE_DAY_MASK_FRIDAY,
                                    SCHEDULE_DAY_MASK_SATURDAY};
        for (int w = 0; w <= distance; w += 7) {
            for (int d = 0; d < 7; ++d) {
                if (mask & bits[d]) push(w + d);
            }
        }
    }
}

bool Scheduler::PreviewSchedule(const Json::Value& doc, int count, Json::Value& rows,
                                std::vector<std::string>& problems) {
    rows = Json::Value(Json::arrayValue);
    if (!doc.isArray()) {
        problems.push_back("The schedule must be a JSON array of rows");
        return false;
    }
    time_t now = ScheduleClock::Now();
    // At least a week ahead, so every row's next start shows.
    int distance = std::max(getSettingInt("ScheduleDistance", 0), 7);
    for (Json::ArrayIndex i = 0; i < doc.size(); ++i) {
        std::string where = "Row " + std::to_string(i + 1) + ": ";
        ScheduleEntry row;
        Json::Value copy = doc[i];
        if (!row.LoadFromJson(copy)) {
            problems.push_back(where + row.loadError);
            continue;
        }
        if (row.enabled && !row.playlist.empty() && PlaylistFileMissing(row)) {
            problems.push_back(where + missingWarning(row));
            continue;
        }
        Json::Value r;
        r["row"] = (int)i + 1;
        r["next"] = Json::Value(Json::arrayValue);
        if (row.enabled) {
            int delta = 0;
            ExpandRowDays(&row, distance, delta, 0);
            std::sort(row.startEndTimes.begin(), row.startEndTimes.end());
            for (auto& se : row.startEndTimes) {
                bool open = row.playlist.empty() ? se.first >= now : se.second > now;
                if (!open || !DateInRange(LocalDateInt(se.first), row.startDate, row.endDate)) continue;
                if ((int)r["next"].size() >= count) break;
                Json::Value o;
                o["start"] = (Json::UInt64)se.first;
                o["end"] = (Json::UInt64)se.second;
                o["startStr"] = TimeText(se.first);
                o["endStr"] = TimeText(se.second);
                r["next"].append(o);
            }
        }
        rows.append(r);
    }
    return problems.empty();
}

void Scheduler::AddScheduledItems(ScheduleEntry* entry, int index) {
    if (!entry->enabled) return;
    if (!entry->playlist.empty()) {
        std::string warning = missingWarning(*entry);
        if (PlaylistFileMissing(*entry)) {
            WarningHolder::AddWarning(warning);
            m_rowWarnings.push_back(warning);
            entry->enabled = false;
            return;
        }
        WarningHolder::RemoveWarning(warning);
    }

    ExpandRowDays(entry, getSettingInt("ScheduleDistance", 0), m_clockDelta, m_clockDeltaLimit);

    for (auto& se : entry->startEndTimes) {
        int date = LocalDateInt(se.first);
        if (!DateInRange(date, entry->startDate, entry->endDate)) continue;

        auto item = std::make_unique<ScheduledItem>();
        item->priority = index;
        item->entryIndex = index;
        item->entry = entry;
        item->startTime = se.first;
        item->endTime = se.first;
        if (entry->playlist.empty()) {
            item->command = entry->command;
            item->args = entry->args;
        } else {
            item->args = Json::Value(Json::arrayValue);
            item->args.append(entry->playlist);
            item->args.append(entry->repeat ? "true" : "false");
            item->args.append("false");
            item->command = START_PLAYLIST;
            item->endTime = se.second;
        }
        // Commands too: after the clock was set back, a command that ran
        // must not run a second time when its second comes round again.
        auto reg = m_ranRegistry.find(item->startTime);
        if (reg != m_ranRegistry.end()) {
            for (auto& copy : *reg->second) {
                if (SameOccurrence(copy.get(), item.get())) {
                    LogDebug(VB_SCHEDULE, "Marking %s item as already ran:\n",
                             entry->playlist.empty() ? "command" : "playlist");
                    DumpScheduledItem(item->startTime, item.get());
                    item->ran = true;
                    break;
                }
            }
        }
        auto& slot = m_itemsByTime[item->startTime];
        if (!slot) slot = std::make_unique<ItemList>();
        slot->push_back(std::move(item));
    }
}

ScheduledItem* Scheduler::GetNextScheduledPlaylist() {
    std::lock_guard<std::recursive_mutex> lock(m_itemsMutex);
    for (auto& t : m_itemsByTime) {
        for (auto& item : *t.second) {
            if (!item->ran && item->command == START_PLAYLIST) return item.get();
        }
    }
    return nullptr;
}

std::string Scheduler::GetDayTextFromDayIndex(int dayIndex) {
    static const char* texts[] = {"Sunday",   "Monday",      "Tuesday",    "Wednesday", "Thursday", "Friday",
                                  "Saturday", "Everyday",    "Weekdays",   "Weekends",  "Mon/Wed/Fri",
                                  "Tues-Thurs", "Sun-Thurs", "Fri/Sat",    "Odd Days",  "Even Days"};
    if (dayIndex >= 0 && dayIndex <= 15) return texts[dayIndex];
    if (dayIndex & SCHEDULE_DAY_MASK_FLAG) {
        static const int bits[7] = {SCHEDULE_DAY_MASK_SUNDAY,   SCHEDULE_DAY_MASK_MONDAY,
                                    SCHEDULE_DAY_MASK_TUESDAY,  SCHEDULE_DAY_MASK_WEDNESDAY,
                                    SCHEDULE_DAY_MASK_THURSDAY, SCHEDULE_DAY_MASK_FRIDAY,
                                    SCHEDULE_DAY_MASK_SATURDAY};
        static const char letters[7] = {'S', 'M', 'T', 'W', 'T', 'F', 'S'};
        std::string s = "Mask: ";
        for (int d = 0; d < 7; ++d) s += (dayIndex & bits[d]) ? letters[d] : '-';
        return s;
    }
    return "Error";
}

void Scheduler::SetItemRan(ScheduledItem* item, bool ran) {
    std::lock_guard<std::recursive_mutex> lock(m_itemsMutex);
    item->ran = ran;
    auto reg = m_ranRegistry.find(item->startTime);
    if (reg != m_ranRegistry.end()) {
        bool matched = false;
        for (auto& copy : *reg->second) {
            if (SameOccurrence(copy.get(), item)) {
                copy->ran = ran;
                matched = true;
            }
        }
        if (!matched) reg->second->push_back(std::make_unique<ScheduledItem>(item));
        return;
    }
    auto list = std::make_unique<ItemList>();
    list->push_back(std::make_unique<ScheduledItem>(item));
    m_ranRegistry[item->startTime] = std::move(list);
}

// ---------------------------------------------------------------- evaluation

void Scheduler::ScheduleProc() {
    time_t now = ScheduleClock::Now();
    if (now == m_prevPassTime) return;

    std::lock_guard<std::recursive_mutex> lock(m_itemsMutex);
    if (LocalDateInt(now) != m_loadedDate || now - m_prevPassTime > MAX_CLOCK_JUMP_SECONDS ||
        m_prevPassTime - now > MAX_CLOCK_JUMP_SECONDS) {
        m_reloadPending = true;
        for (auto it = m_ranRegistry.begin(); it != m_ranRegistry.end();) {
            if (it->first < now - RAN_REGISTRY_KEEP_SECONDS) {
                it = m_ranRegistry.erase(it);
            } else {
                ++it;
            }
        }
    }
    m_prevPassTime = now;
    if (ScheduleFileMTime() != m_fileMTime) {
        LogInfo(VB_SCHEDULE, "Schedule file changed; reloading\n");
        m_reloadPending = true;
    }
    if (m_reloadPending) LoadScheduleFromFile();
    RetryFailedStarts(now);
    CheckScheduledItems(false);
}

void Scheduler::RunCommandItem(ScheduledItem* item) {
    LogDebug(VB_SCHEDULE, "Running scheduled item:\n");
    DumpScheduledItem(item->startTime, item);
    Json::Value cmd;
    cmd["command"] = item->command;
    cmd["args"] = item->args;
    cmd["multisyncCommand"] = item->entry ? item->entry->multisyncCommand : false;
    cmd["multisyncHosts"] = item->entry ? item->entry->multisyncHosts : std::string();
    // Commands may block (HTTP, scripts): never on the evaluation thread.
    std::thread([cmd]() {
        SetThreadName("KIV-RunCmd");
        auto result = CommandManager::INSTANCE.run(cmd);
        if (result && result->isError()) {
            LogWarn(VB_SCHEDULE, "Scheduled command '%s' failed: %s\n", cmd["command"].asString().c_str(),
                    result->get().c_str());
        }
    }).detach();
}

void Scheduler::CheckScheduledItems(bool restarted) {
    if (m_disabled) return;
    std::lock_guard<std::recursive_mutex> lock(m_itemsMutex);
    time_t now = ScheduleClock::Now();
    Player& player = Player::INSTANCE;

    for (auto& slot : m_itemsByTime) {
        if (slot.first > now) {
            Countdown(slot.first, *slot.second, now);
            break;
        }
        for (auto& itemPtr : *slot.second) {
            ScheduledItem* item = itemPtr.get();
            if (item->ran) continue;
            ScheduleEntry* row = item->entry;

            if (item->command != START_PLAYLIST) {
                if (item->startTime == now) {
                    RunCommandItem(item);
                }
                // A command whose second has passed is never run late.
                SetItemRan(item, true);
                continue;
            }

            LogDebug(VB_SCHEDULE, "Checking scheduled 'Start Playlist'\n");
            DumpScheduledItem(item->startTime, item);
            if (now >= item->endTime) {
                SetItemRan(item, true);
                continue;
            }
            if (!row) continue;

            // Stopped by the user in this slot: not started again.
            if (player.m_forceStopped && item->startTime == player.m_scheduledStartTime &&
                player.GetForceStoppedPlaylist() == row->playlist) {
                SetItemRan(item, true);
                continue;
            }

            int status = player.GetStatus();
            if (status == PLAYER_PLAYING) {
                if (player.GetPlaylistName() == row->playlist && player.WasScheduled() &&
                    player.GetRepeat() == row->repeat &&
                    (item->endTime == player.m_scheduledEndTime || item->endTime == player.m_actualEndTime) &&
                    player.GetStopMethod() == row->stopType) {
                    SetItemRan(item, true);  // already playing
                    continue;
                }
                if (player.WasScheduled()) {
                    if (item->priority >= player.m_priority) continue;
                    // Preempt; the interrupted playlist may come back later.
                    std::string current = player.GetPlaylistName();
                    auto prev = m_itemsByTime.find(player.m_scheduledStartTime);
                    if (prev != m_itemsByTime.end()) {
                        for (auto& p : *prev->second) {
                            if (p->command == START_PLAYLIST && p->entry && p->entry->playlist == current) {
                                p->ran = false;
                                m_forcedNextPlaylist = p->entryIndex;
                            }
                        }
                    }
                    int forceStopped = player.m_scheduledEndTime > player.m_actualEndTime ? 1 : 0;
                    switch (player.GetStopMethod()) {
                    case SCHEDULE_STOP_GRACEFUL:
                        player.StopGracefully(forceStopped, 0);
                        break;
                    case SCHEDULE_STOP_GRACEFUL_LOOP:
                        player.StopGracefully(forceStopped, 1);
                        break;
                    default:
                        player.StopNow(forceStopped);
                        break;
                    }
                } else {
                    // A manual playlist gives way to the schedule at once.
                    for (int tries = 0; tries < 10 && player.GetStatus() != PLAYER_IDLE; ++tries) {
                        player.StopNow(1);
                    }
                    if (player.GetStatus() != PLAYER_IDLE) {
                        LogErr(VB_SCHEDULE, "Could not stop manual playlist '%s' for scheduled '%s'\n",
                               player.GetPlaylistName().c_str(), row->playlist.c_str());
                        continue;
                    }
                }
            } else if (status != PLAYER_IDLE) {
                continue;  // busy: winding down, paused
            }

            LogDebug(VB_SCHEDULE, "Starting Scheduled Playlist:\n");
            DumpScheduledItem(item->startTime, item);
            int position = 0;
            if (restarted && getSetting("resumePlaylist", "") == row->playlist) {
                position = getSettingInt("resumePosition", 0);
                SetSetting("resumePlaylist", "");
                SetSetting("resumePosition", 0);
            }
            bool started = player.StartScheduledPlaylist(row->playlist, position, row->repeat, item->entryIndex,
                                                         item->entryIndex, item->startTime, item->endTime,
                                                         row->stopType);
            SetItemRan(item, true);
            if (!started) NoteFailedStart(item, row);
        }
    }
}

static long long fileStamp(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return -1;
    return ((long long)st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec) ^ ((long long)st.st_size << 40);
}

void Scheduler::NoteFailedStart(ScheduledItem* item, ScheduleEntry* row) {
    FailedStart f;
    f.startTime = item->startTime;
    f.endTime = item->endTime;
    f.entryIndex = item->entryIndex;
    f.path = playlistFilePath(*row);
    f.stamp = fileStamp(f.path);
    for (auto& old : m_failedStarts) {
        if (old.startTime == f.startTime && old.entryIndex == f.entryIndex) {
            old.stamp = f.stamp;
            return;
        }
    }
    f.warning = std::string("Scheduled ") + (row->sequence ? "Sequence" : "Playlist") + " '" + row->playlist +
                "' could not start: " + Player::INSTANCE.GetLastStartError();
    LogWarn(VB_SCHEDULE, "Scheduled playlist '%s' will start when %s changes, while its slot is open\n",
            row->playlist.c_str(), f.path.c_str());
    WarningHolder::AddWarning(f.warning);
    m_failedStarts.push_back(f);
}

void Scheduler::RetryFailedStarts(time_t now) {
    for (auto it = m_failedStarts.begin(); it != m_failedStarts.end();) {
        bool drop = now >= it->endTime;
        if (!drop && fileStamp(it->path) != it->stamp) {
            auto slot = m_itemsByTime.find(it->startTime);
            if (slot != m_itemsByTime.end()) {
                for (auto& item : *slot->second) {
                    if (item->entryIndex == it->entryIndex && item->command == START_PLAYLIST) {
                        LogInfo(VB_SCHEDULE, "%s changed; starting its scheduled playlist again\n", it->path.c_str());
                        SetItemRan(item.get(), false);
                    }
                }
            }
            drop = true;
        }
        if (drop) {
            WarningHolder::RemoveWarning(it->warning);
            it = m_failedStarts.erase(it);
        } else {
            ++it;
        }
    }
}

void Scheduler::Countdown(time_t startTime, ItemList& items, time_t now) {
    long d = (long)(startTime - now);
    bool log = d <= 10 || (d <= 60 && d % 10 == 0) || (d <= 300 && d % 60 == 0) || (d > 300 && d % 300 == 0);
    if (!log) return;
    LogDebug(VB_SCHEDULE, "Scheduled Item%s running in %ld second%s:\n", items.size() > 1 ? "s" : "", d,
             d == 1 ? "" : "s");
    for (auto& item : items) {
        if (item->command == START_PLAYLIST && d < 1000 && item->entry) {
            char name[26];
            snprintf(name, sizeof(name), "PLAYLIST_START_TMINUS_%03ld", d);
            std::map<std::string, std::string> keywords;
            keywords["PLAYLIST_NAME"] = item->entry->playlist;
            CommandManager::INSTANCE.TriggerPreset(name, keywords);
        }
        DumpScheduledItem(item->startTime, item.get());
    }
}

void Scheduler::CheckIfShouldBePlayingNow(int force, int entryToSkip) {
    if (m_disabled) return;
    LogDebug(VB_SCHEDULE, "CheckIfShouldBePlayingNow(%d, %d)\n", force, entryToSkip);
    std::lock_guard<std::recursive_mutex> lock(m_itemsMutex);
    time_t now = ScheduleClock::Now();
    Player& player = Player::INSTANCE;
    for (auto& slot : m_itemsByTime) {
        if (slot.first > now) break;
        LogExcess(VB_SCHEDULE, "Checking scheduled items:\n");
        for (auto& itemPtr : *slot.second) {
            ScheduledItem* item = itemPtr.get();
            if (WillLog(LOG_EXCESS, VB_SCHEDULE)) DumpScheduledItem(item->startTime, item);
            if (item->command != START_PLAYLIST || !item->entry) continue;
            if (now >= item->endTime) {
                LogExcess(VB_SCHEDULE, "End time is in the past, skipping item\n");
                continue;
            }
            bool permitted = force != 0;
            if (item->entryIndex == m_forcedNextPlaylist) {
                LogExcess(VB_SCHEDULE, "This item entry index == m_forcedNextPlaylist\n");
                permitted = true;
            }
            if (player.GetStatus() != PLAYER_IDLE && player.GetPlaylistName() == item->entry->playlist) continue;
            if (item->entryIndex != entryToSkip && (permitted || item->entry->repeat)) {
                LogExcess(VB_SCHEDULE, "Item run status reset\n");
                item->ran = false;
            }
        }
    }
    LogExcess(VB_SCHEDULE, "Done checking list, proceeding to call CheckScheduledItems()\n");
    CheckScheduledItems(getSettingInt("restarted", 0) == 1);
}

std::string Scheduler::GetPlaylistThatShouldBePlaying(int& repeat) {
    if (m_disabled) return "";
    std::lock_guard<std::recursive_mutex> lock(m_itemsMutex);
    time_t now = ScheduleClock::Now();
    for (auto& slot : m_itemsByTime) {
        if (slot.first > now) break;
        for (auto& item : *slot.second) {
            if (item->command == START_PLAYLIST && item->entry && now < item->endTime) {
                repeat = item->entry->repeat ? 1 : 0;
                return item->entry->playlist;
            }
        }
    }
    repeat = 0;
    return "";
}

bool Scheduler::StartNextScheduledItemNow() {
    std::lock_guard<std::recursive_mutex> lock(m_itemsMutex);
    ScheduledItem* item = GetNextScheduledPlaylist();
    if (!item || !item->entry) return false;
    Player& player = Player::INSTANCE;
    if (player.GetStatus() != PLAYER_IDLE) {
        LogDebug(VB_SCHEDULE, "Force-Stopping running playlist\n");
        player.StopNow(1);
    }
    LogDebug(VB_SCHEDULE, "Force-Starting next scheduled playlist now:\n");
    DumpScheduledItem(item->startTime, item);
    player.StartScheduledPlaylist(item->entry->playlist, 0, item->entry->repeat, item->entryIndex, item->entryIndex,
                                  ScheduleClock::Now(), item->endTime, item->entry->stopType);
    return true;
}

void Scheduler::SetTimeDelta(int seconds, int window) {
    std::lock_guard<std::recursive_mutex> lock(m_itemsMutex);
    m_clockDelta += seconds;
    m_reloadPending = true;
    m_clockDeltaLimit = ScheduleClock::Now() + window;
}

// ---------------------------------------------------------------- reports

std::string Scheduler::TimeText(time_t t) {
    std::string dateFormat = getSetting("DateFormat", "");
    std::string timeFormat = getSetting("TimeFormat", "");
    // Unset formats would give a bare " @ "; show a readable date instead.
    if (dateFormat.empty()) dateFormat = "%Y-%m-%d";
    if (timeFormat.empty()) timeFormat = "%H:%M:%S";
    std::string format = dateFormat + " @ " + timeFormat;
    char buf[32];
    struct tm tm;
    localtime_r(&t, &tm);
    if (strftime(buf, sizeof(buf), format.c_str(), &tm) == 0) buf[0] = 0;
    return buf;
}

static Json::UInt64 jsonTime(time_t t) { return (Json::UInt64)t; }

Json::Value Scheduler::GetSchedule() {
    std::lock_guard<std::recursive_mutex> lock(m_itemsMutex);
    Json::Value result;
    result["enabled"] = m_disabled ? 0 : 1;
    Json::Value entries(Json::arrayValue);
    for (size_t i = 0; i < m_entries.size(); ++i) {
        Json::Value e = m_entries[i].GetJson();
        e["id"] = (int)i;
        e["type"] = m_entries[i].playlist.empty() ? "command" : "playlist";
        e["dayStr"] = GetDayTextFromDayIndex(m_entries[i].dayIndex);
        entries.append(e);
    }
    result["entries"] = entries;

    Json::Value items(Json::arrayValue);
    Player& player = Player::INSTANCE;
    if (player.GetStatus() != PLAYER_IDLE && player.WasScheduled()) {
        Json::Value p;
        p["priority"] = player.m_priority.load();
        p["id"] = player.GetScheduleEntry();
        p["startTimeStr"] = TimeText(player.m_scheduledStartTime);
        p["startTime"] = jsonTime(player.m_scheduledStartTime);
        p["endTimeStr"] = TimeText(player.m_actualEndTime);
        p["endTime"] = jsonTime(player.m_actualEndTime);
        p["command"] = START_PLAYLIST;
        Json::Value args(Json::arrayValue);
        args.append(player.GetPlaylistName());
        p["args"] = args;
        items.append(p);
    }
    for (auto& slot : m_itemsByTime) {
        for (auto& item : *slot.second) {
            if (item->ran) continue;
            Json::Value j;
            j["priority"] = item->priority;
            j["id"] = item->entryIndex;
            j["startTimeStr"] = TimeText(item->startTime);
            j["startTime"] = jsonTime(item->startTime);
            j["endTimeStr"] = TimeText(item->endTime);
            j["endTime"] = jsonTime(item->endTime);
            j["command"] = item->command;
            j["args"] = item->args;
            j["multisyncCommand"] = item->entry ? item->entry->multisyncCommand : false;
            j["multisyncHosts"] = item->entry ? item->entry->multisyncHosts : std::string();
            items.append(j);
        }
    }
    result["items"] = items;
    return result;
}

std::string Scheduler::GetNextPlaylistName() {
    if (m_disabled) return "Scheduler is disabled.";
    std::lock_guard<std::recursive_mutex> lock(m_itemsMutex);
    ScheduledItem* item = GetNextScheduledPlaylist();
    if (!item || !item->entry) return "No playlist scheduled.";
    return item->entry->playlist;
}

std::string Scheduler::GetNextPlaylistStartStr() {
    if (m_disabled) return "";
    std::lock_guard<std::recursive_mutex> lock(m_itemsMutex);
    ScheduledItem* item = GetNextScheduledPlaylist();
    if (!item || !item->entry) return "";
    return TimeText(item->startTime) + " - (" + GetDayTextFromDayIndex(item->entry->dayIndex) + ")";
}

Json::Value Scheduler::GetInfo() {
    std::lock_guard<std::recursive_mutex> lock(m_itemsMutex);
    Json::Value result;
    Json::Value next;
    next["playlistName"] = GetNextPlaylistName();
    ScheduledItem* item = GetNextScheduledPlaylist();
    next["scheduledStartTime"] = jsonTime(item ? item->startTime : 0);
    next["scheduledStartTimeStr"] = GetNextPlaylistStartStr();
    result["nextPlaylist"] = next;
    result["enabled"] = m_disabled ? 0 : 1;

    Player& player = Player::INSTANCE;
    int status = player.GetStatus();
    // Paused counts as busy with the playlist too, not as idle.
    if (status == PLAYER_PLAYING || status == PLAYER_STOPPING_GRACEFULLY ||
        status == PLAYER_STOPPING_GRACEFULLY_AFTER_LOOP || status == PLAYER_PAUSED) {
        bool scheduled = player.WasScheduled();
        result["status"] = scheduled ? "playing" : "manual";
        Json::Value cur;
        cur["playlistName"] = player.GetPlaylistName();
        if (scheduled) {
            time_t now = ScheduleClock::Now();
            cur["currentTime"] = jsonTime(now);
            cur["currentTimeStr"] = TimeText(now);
            cur["scheduledStartTime"] = jsonTime(player.m_scheduledStartTime);
            cur["scheduledStartTimeStr"] = TimeText(player.m_scheduledStartTime);
            cur["actualStartTime"] = jsonTime(player.m_actualStartTime);
            cur["actualStartTimeStr"] = TimeText(player.m_actualStartTime);
            cur["scheduledEndTime"] = jsonTime(player.m_scheduledEndTime);
            cur["scheduledEndTimeStr"] = TimeText(player.m_scheduledEndTime);
            cur["actualEndTime"] = jsonTime(player.m_actualEndTime);
            cur["actualEndTimeStr"] = TimeText(player.m_actualEndTime);
            cur["secondsRemaining"] = (int)(player.m_actualEndTime - now);
            cur["stopType"] = player.GetStopMethod();
            cur["stopTypeStr"] = ScheduleEntry::StopTypeText(player.GetStopMethod());
        }
        result["currentPlaylist"] = cur;
    } else {
        result["status"] = "idle";
    }
    return result;
}

void Scheduler::SchedulePrint() {
    std::lock_guard<std::recursive_mutex> lock(m_itemsMutex);
    if (m_disabled) LogInfo(VB_SCHEDULE, "WARNING: Scheduler is currently disabled\n");
    LogInfo(VB_SCHEDULE,
            "Current Schedule: (Status: '+' = Enabled, '-' = Disabled, '!' = Outside Date Range, '*' = Repeat, "
            "Stop (G)raceful/(L)oop/(H)ard\n");
    LogInfo(VB_SCHEDULE, "Stat Start & End Dates       Days          Start & End Times   Playlist/Command\n");
    LogInfo(VB_SCHEDULE,
            "---- ----------------------- ------------- ------------------- "
            "---------------------------------------------\n");
    int today = LocalDateInt(ScheduleClock::Now());
    for (auto& e : m_entries) {
        static const char stopLetters[] = {'G', 'H', 'L'};
        char stop = (e.stopType >= 0 && e.stopType <= 2) ? stopLetters[e.stopType] : 'G';
        bool isPlaylist = !e.playlist.empty();
        LogInfo(VB_SCHEDULE, "%c%c%c%c %04d-%02d-%02d - %04d-%02d-%02d %-13.13s %-8.8s %c %-8.8s %s\n",
                e.enabled ? '+' : '-', DateInRange(today, e.startDate, e.endDate) ? ' ' : '!', e.repeat ? '*' : ' ',
                stop, e.startDate / 10000, (e.startDate % 10000) / 100, e.startDate % 100, e.endDate / 10000,
                (e.endDate % 10000) / 100, e.endDate % 100, GetDayTextFromDayIndex(e.dayIndex).c_str(),
                e.startTimeStr.c_str(), isPlaylist ? '-' : ' ', isPlaylist ? e.endTimeStr.c_str() : "",
                isPlaylist ? e.playlist.c_str() : e.command.c_str());
    }
    LogDebug(VB_SCHEDULE, "//////////////////////////////////////////////////\n");
}

void Scheduler::DumpScheduledItem(time_t t, ScheduledItem* item) {
    char buf[64];
    ctime_r(&t, buf);
    size_t len = strlen(buf);
    if (len && buf[len - 1] == '\n') buf[len - 1] = 0;
    std::string args;
    if (item->args.isArray()) {
        for (const auto& a : item->args) {
            args += "\"" + (a.isString() ? a.asString() : SaveJsonToString(a)) + "\" ";
        }
    }
    LogDebug(VB_SCHEDULE, "%s: %2d '%s' - '%s'\n", buf, item->priority, item->command.c_str(), args.c_str());
}

void Scheduler::DumpScheduledItems() {
    std::lock_guard<std::recursive_mutex> lock(m_itemsMutex);
    LogDebug(VB_SCHEDULE, "DumpScheduledItems()\n");
    for (auto& slot : m_itemsByTime) {
        for (auto& item : *slot.second) {
            DumpScheduledItem(slot.first, item.get());
        }
    }
}
