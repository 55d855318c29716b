#pragma once
// A playlist: the entries of one file <media>/playlists/<name>.json in
// three sections — "leadIn" (played once), "mainPlaylist" (repeated when
// the start asks for it) and "leadOut" (played once at the end, also after
// a graceful stop). The Player owns the playing Playlist and calls it from
// its own lock; the playlist owns its entries. docs/playlists.md describes
// the file.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <json/json.h>

class PlaylistEntryBase;

class Playlist {
public:
    enum Section { LEAD_IN = 0, MAIN = 1, LEAD_OUT = 2, SECTION_COUNT = 3 };

    // How an entry type is built; the playlist calls Init on the result.
    typedef std::function<PlaylistEntryBase*(Playlist*, PlaylistEntryBase*)> EntryFactory;
    // Adds (or replaces) an entry type beside the built-in ones.
    static void RegisterEntryType(const std::string& type, EntryFactory factory);
    static void UnregisterEntryType(const std::string& type);
    static std::string FilePath(const std::string& name);
    static const char* SectionKey(int section);  // "leadIn", "mainPlaylist", "leadOut"

    explicit Playlist(const std::string& name);
    ~Playlist();

    // Reads the playlist file. False, with the reason in GetLoadError() and
    // an error log line, when the file is missing, is not valid JSON, or
    // leaves nothing to play. Entries that cannot be used are skipped with
    // a warning and an error log line; the rest still plays.
    bool Load();
    bool LoadJson(const Json::Value& doc);
    // Judges a playlist document as Load would, without playing, warning or
    // logging beyond debug: the problems (each naming the section, entry and
    // key), or none when every entry would play.
    static std::vector<std::string> Check(const std::string& name, const Json::Value& doc);
    // A playlist name usable as a file name: not empty, no "/", no "..", no
    // leading dot, no control characters.
    static bool ValidName(const std::string& name);

    // position: 0-based over lead-in, main and lead-out entries in order.
    bool Start(int position, bool repeat);
    void Process();
    void StopNow();
    // Finish the current entry (or, afterCurrentLoop, the current pass of
    // the main section), then play the lead-out.
    void StopGracefully(bool afterCurrentLoop);
    void Pause();
    void Resume();
    bool IsPaused() const { return m_paused; }
    bool IsFinished() const { return m_finished; }

    const std::string& GetName() const { return m_name; }
    const std::string& GetLoadError() const { return m_loadError; }
    const std::string& GetDescription() const { return m_description; }
    int GetSize() const;
    int GetSectionSize(int section) const { return (int)m_sections[section].size(); }
    int GetPosition() const;  // 1-based over all sections; 0 when not playing
    int GetCurrentSection() const { return m_section; }
    int GetLoopCount() const { return m_loops; }
    PlaylistEntryBase* GetCurrentEntry() const;
    PlaylistEntryBase* GetEntry(int section, int index) const;
    Json::Value GetInfo(bool mqtt);

    // Skipped entries of the last load, as their warning texts.
    const std::vector<std::string>& GetSkippedEntries() const { return m_skipped; }

private:
    PlaylistEntryBase* CreateEntry(const std::string& type);
    bool LoadSection(int section, const Json::Value& entries);
    // Logs a load problem: an error when loading, debug when only checking.
    void Report(const std::string& text) const;
    bool EnterSection(int section);
    bool Advance();
    PlaylistEntryBase* PeekNext() const;
    void PrepareNextIfDue(PlaylistEntryBase* current);
    void Finish();

    std::string m_name;
    std::string m_description;
    std::string m_loadError;
    std::vector<std::string> m_skipped;
    bool m_checkOnly = false;  // Check: entries are judged, not initialised
    std::vector<std::unique_ptr<PlaylistEntryBase>> m_sections[SECTION_COUNT];

    int m_section = LEAD_IN;
    int m_index = 0;
    bool m_repeat = false;
    bool m_started = false;
    bool m_finished = false;
    bool m_paused = false;
    bool m_stopGracefully = false;
    bool m_stopAfterLoop = false;
    bool m_entryStarted = false;
    int m_entryProcessCount = 0;
    bool m_nextPrepared = false;
    bool m_passPlayedSomething = false;
    int m_loops = 0;
};
