#include "playlist/Playlist.h"

#include <map>
#include <mutex>

#include "Warnings.h"
#include "common.h"
#include "log.h"
#include "playlist/PlaylistEntryBase.h"
#include "playlist/PlaylistEntryBoth.h"
#include "playlist/PlaylistEntryMedia.h"
#include "playlist/PlaylistEntryImage.h"
#include "playlist/PlaylistEntrySequence.h"
#include "settings.h"

namespace {
// When the entry playing has this little left, the next one is prepared.
constexpr uint64_t PREPARE_AHEAD_MS = 2000;

std::mutex registryLock;  // guards extraTypes
std::map<std::string, Playlist::EntryFactory>& extraTypes() {
    static std::map<std::string, Playlist::EntryFactory> types;
    return types;
}

std::mutex warningsLock;  // guards skippedWarnings
// Warnings raised by the last load of each playlist, withdrawn on reload.
std::map<std::string, std::vector<std::string>>& skippedWarnings() {
    static std::map<std::string, std::vector<std::string>> w;
    return w;
}
}  // namespace

void Playlist::RegisterEntryType(const std::string& type, EntryFactory factory) {
    std::lock_guard<std::mutex> lock(registryLock);
    extraTypes()[type] = std::move(factory);
}

void Playlist::UnregisterEntryType(const std::string& type) {
    std::lock_guard<std::mutex> lock(registryLock);
    extraTypes().erase(type);
}

std::string Playlist::FilePath(const std::string& name) { return getKIVMediaDir("/playlists/" + name + ".json"); }

const char* Playlist::SectionKey(int section) {
    switch (section) {
    case LEAD_IN:
        return "leadIn";
    case MAIN:
        return "mainPlaylist";
    default:
        return "leadOut";
    }
}

Playlist::Playlist(const std::string& name) : m_name(name) {}

Playlist::~Playlist() {}

PlaylistEntryBase* Playlist::CreateEntry(const std::string& type) {
    std::lock_guard<std::mutex> lock(registryLock);
    auto it = extraTypes().find(type);
    if (it != extraTypes().end()) return it->second(this, nullptr);
    if (type == "sequence") return new PlaylistEntrySequence(this, nullptr);
    if (type == "media") return new PlaylistEntryMedia(this, nullptr);
    if (type == "both") return new PlaylistEntryBoth(this, nullptr);
    if (type == "image") return new PlaylistEntryImage(this, nullptr);
    return nullptr;
}

bool Playlist::ValidName(const std::string& name) {
    if (name.empty() || name[0] == '.' || name.find('/') != std::string::npos || name.find("..") != std::string::npos) {
        return false;
    }
    for (char c : name) {
        if ((unsigned char)c < 0x20 || c == 0x7f) return false;
    }
    return true;
}

void Playlist::Report(const std::string& text) const {
    if (m_checkOnly) {
        LogDebug(VB_PLAYLIST, "%s\n", text.c_str());
    } else {
        LogErr(VB_PLAYLIST, "%s\n", text.c_str());
    }
}

std::vector<std::string> Playlist::Check(const std::string& name, const Json::Value& doc) {
    Playlist p(name);
    p.m_checkOnly = true;
    std::vector<std::string> problems;
    if (!ValidName(name)) {
        problems.push_back("Invalid playlist name '" + name + "'");
        return problems;
    }
    bool ok = p.LoadJson(doc);
    problems = p.m_skipped;
    if (!ok && problems.empty()) problems.push_back(p.m_loadError);
    return problems;
}

bool Playlist::Load() {
    auto fail = [this](const std::string& why) {
        m_loadError = why;
        Report(why);
        return false;
    };
    // Names come from commands and schedule rows: keep them inside the folder.
    if (!ValidName(m_name)) {
        return fail("Invalid playlist name '" + m_name + "'");
    }
    std::string path = FilePath(m_name);
    if (!FileExists(path)) {
        return fail("Playlist '" + m_name + "' does not exist (" + path + ")");
    }
    Json::Value doc;
    if (!LoadJsonFromString(GetFileContents(path), doc)) {
        return fail("Playlist file " + path + " is not valid JSON");
    }
    return LoadJson(doc);
}

bool Playlist::LoadJson(const Json::Value& doc) {
    auto fail = [this](const std::string& why) {
        m_loadError = why;
        Report(why);
        return false;
    };
    for (auto& s : m_sections) s.clear();
    m_skipped.clear();
    m_loadError.clear();
    if (!doc.isObject()) {
        return fail("Playlist '" + m_name + "' must be a JSON object with \"leadIn\", \"mainPlaylist\" and \"leadOut\"");
    }
    if (doc["description"].isString()) m_description = doc["description"].asString();
    for (int s = 0; s < SECTION_COUNT; ++s) {
        const Json::Value& entries = doc[SectionKey(s)];
        if (!entries.isNull() && !entries.isArray()) {
            return fail("Playlist '" + m_name + "': \"" + SectionKey(s) + "\" must be an array of entries");
        }
    }
    for (int s = 0; s < SECTION_COUNT; ++s) {
        LoadSection(s, doc[SectionKey(s)]);
    }

    if (!m_checkOnly) {
        std::lock_guard<std::mutex> lock(warningsLock);
        auto& mine = skippedWarnings()[m_name];
        for (auto& w : mine) WarningHolder::RemoveWarning(w);
        mine = m_skipped;
        for (auto& w : mine) WarningHolder::AddWarning(w);
    }
    if (GetSize() == 0) {
        return fail("Playlist '" + m_name + "' has no entries to play");
    }
    return true;
}

bool Playlist::LoadSection(int section, const Json::Value& entries) {
    for (Json::ArrayIndex i = 0; i < entries.size(); ++i) {
        Json::Value cfg = entries[i];
        std::string where = "Playlist '" + m_name + "': " + SectionKey(section) + " entry " + std::to_string(i + 1);
        auto skip = [&](const std::string& why) {
            std::string text = where + " skipped: " + why;
            Report(text);
            m_skipped.push_back(text);
        };
        if (!cfg.isObject()) {
            skip("it is not a JSON object");
            continue;
        }
        if (!cfg["type"].isString()) {
            skip("it has no \"type\"");
            continue;
        }
        std::string type = cfg["type"].asString();
        std::unique_ptr<PlaylistEntryBase> entry(CreateEntry(type));
        if (!entry) {
            skip("type '" + type + "' cannot be played by this build");
            continue;
        }
        std::string problem = entry->ReadConfig(cfg);
        if (!problem.empty()) {
            skip(problem);
            continue;
        }
        if (!m_checkOnly && !entry->Init(cfg)) {
            skip("its settings are not valid (see the log above)");
            continue;
        }
        std::string missing = entry->FindMissingFile();
        if (!missing.empty()) {
            skip("file " + missing + " does not exist");
            continue;
        }
        m_sections[section].push_back(std::move(entry));
    }
    return true;
}

int Playlist::GetSize() const {
    int n = 0;
    for (auto& s : m_sections) n += (int)s.size();
    return n;
}

PlaylistEntryBase* Playlist::GetEntry(int section, int index) const {
    if (section < 0 || section >= SECTION_COUNT || index < 0 || index >= (int)m_sections[section].size()) {
        return nullptr;
    }
    return m_sections[section][index].get();
}

PlaylistEntryBase* Playlist::GetCurrentEntry() const {
    if (!m_started || m_finished) return nullptr;
    return GetEntry(m_section, m_index);
}

int Playlist::GetPosition() const {
    if (!m_started || m_finished) return 0;
    int pos = m_index + 1;
    for (int s = 0; s < m_section; ++s) pos += (int)m_sections[s].size();
    return pos;
}

bool Playlist::Start(int position, bool repeat) {
    m_repeat = repeat;
    m_started = true;
    m_finished = false;
    m_paused = false;
    m_stopGracefully = m_stopAfterLoop = false;
    m_loops = 0;
    m_passPlayedSomething = false;
    int total = GetSize();
    if (total == 0) {
        m_finished = true;
        return false;
    }
    if (position < 0 || position >= total) {
        LogWarn(VB_PLAYLIST, "Playlist '%s' has %d entries; starting at the first instead of position %d\n",
                m_name.c_str(), total, position + 1);
        position = 0;
    }
    m_section = LEAD_IN;
    m_index = position;
    while (m_index >= (int)m_sections[m_section].size()) {
        m_index -= (int)m_sections[m_section].size();
        ++m_section;
    }
    m_entryStarted = false;
    m_nextPrepared = false;
    LogInfo(VB_PLAYLIST, "Starting playlist '%s' at position %d (%s), repeat %d\n", m_name.c_str(), position + 1,
            SectionKey(m_section), (int)repeat);
    Process();
    return true;
}

bool Playlist::EnterSection(int section) {
    for (; section < SECTION_COUNT; ++section) {
        if (section == MAIN && m_stopGracefully) continue;  // straight to the lead-out
        if (!m_sections[section].empty()) {
            m_section = section;
            m_index = 0;
            if (section == MAIN) m_passPlayedSomething = false;
            return true;
        }
    }
    return false;
}

bool Playlist::Advance() {
    m_entryStarted = false;
    m_nextPrepared = false;
    m_entryProcessCount = 0;
    if (m_stopGracefully && m_section != LEAD_OUT) {
        return EnterSection(LEAD_OUT);
    }
    if (++m_index < (int)m_sections[m_section].size()) return true;
    if (m_section == LEAD_IN) return EnterSection(MAIN);
    if (m_section == MAIN) {
        ++m_loops;
        if (m_repeat && !m_stopAfterLoop) {
            if (!m_passPlayedSomething) {
                // Every entry failed at once: looping would spin without end.
                LogErr(VB_PLAYLIST, "Playlist '%s': nothing in \"mainPlaylist\" could play; not repeating it\n",
                       m_name.c_str());
                WarningHolder::AddWarningTimeout("Playlist '" + m_name + "' could not play any main entry", 60);
                return EnterSection(LEAD_OUT);
            }
            return EnterSection(MAIN);
        }
        return EnterSection(LEAD_OUT);
    }
    return false;
}

PlaylistEntryBase* Playlist::PeekNext() const {
    if (m_stopGracefully && m_section != LEAD_OUT) return GetEntry(LEAD_OUT, 0);
    if (m_index + 1 < (int)m_sections[m_section].size()) return GetEntry(m_section, m_index + 1);
    for (int s = m_section; s < SECTION_COUNT; ++s) {
        bool again = s == MAIN && s == m_section && m_repeat && !m_stopAfterLoop;
        if (s == m_section && !again) continue;
        if (!m_sections[s].empty()) return GetEntry(s, 0);
    }
    return nullptr;
}

void Playlist::PrepareNextIfDue(PlaylistEntryBase* current) {
    if (m_nextPrepared) return;
    uint64_t length = current->GetLengthInMS();
    if (length == 0) return;
    uint64_t elapsed = current->GetElapsedMS();
    if (elapsed + PREPARE_AHEAD_MS < length) return;
    PlaylistEntryBase* next = PeekNext();
    m_nextPrepared = true;
    if (next && next != current) {
        LogDebug(VB_PLAYLIST, "Preparing next %s entry of playlist '%s'\n", next->GetType().c_str(), m_name.c_str());
        next->Prep();
    }
}

void Playlist::Process() {
    if (!m_started || m_finished || m_paused) return;
    // Entries that cannot play finish at once; bound how many one call walks.
    int budget = 2 * GetSize() + 2;
    while (budget-- > 0) {
        PlaylistEntryBase* entry = GetCurrentEntry();
        if (!entry) {
            Finish();
            return;
        }
        if (!m_entryStarted) {
            m_entryStarted = true;
            m_entryProcessCount = 0;
            LogDebug(VB_PLAYLIST, "Playlist '%s': starting %s entry %d\n", m_name.c_str(), entry->GetType().c_str(),
                     GetPosition());
            entry->StartPlaying();
        } else if (!entry->IsFinished()) {
            entry->Process();
            ++m_entryProcessCount;
        }
        if (!entry->IsFinished()) {
            PrepareNextIfDue(entry);
            return;
        }
        // An entry that ended at its first step did not really play.
        if (m_entryProcessCount > 1 && m_section == MAIN) m_passPlayedSomething = true;
        if (!Advance()) {
            Finish();
            return;
        }
    }
}

void Playlist::Finish() {
    if (m_finished) return;
    m_finished = true;
    LogInfo(VB_PLAYLIST, "Playlist '%s' finished\n", m_name.c_str());
}

void Playlist::StopNow() {
    if (!m_started || m_finished) return;
    PlaylistEntryBase* entry = GetCurrentEntry();
    if (entry && m_entryStarted && !entry->IsFinished()) {
        entry->Stop();
    }
    m_paused = false;
    Finish();
}

void Playlist::StopGracefully(bool afterCurrentLoop) {
    if (afterCurrentLoop) {
        m_stopAfterLoop = true;
    } else {
        m_stopGracefully = true;
    }
    m_nextPrepared = false;  // the next entry may now be another one
    LogInfo(VB_PLAYLIST, "Playlist '%s' stops gracefully%s\n", m_name.c_str(),
            afterCurrentLoop ? " after the current loop" : "");
}

void Playlist::Pause() {
    if (m_paused || !m_started || m_finished) return;
    PlaylistEntryBase* entry = GetCurrentEntry();
    if (entry && m_entryStarted && !entry->IsFinished()) entry->Pause();
    m_paused = true;
}

void Playlist::Resume() {
    if (!m_paused) return;
    m_paused = false;
    PlaylistEntryBase* entry = GetCurrentEntry();
    if (entry && entry->IsPaused()) entry->Resume();
}

Json::Value Playlist::GetInfo(bool mqtt) {
    Json::Value v;
    v["name"] = m_name;
    if (!m_description.empty()) v["description"] = m_description;
    v["size"] = GetSize();
    v["position"] = GetPosition();
    v["section"] = (m_started && !m_finished) ? SectionKey(m_section) : "";
    v["loop"] = m_loops;
    v["repeat"] = m_repeat;
    PlaylistEntryBase* entry = GetCurrentEntry();
    if (entry) v["currentEntry"] = mqtt ? entry->GetMqttStatus() : entry->GetConfig();
    return v;
}
