#pragma once
// Base of every playlist entry (sequence now; media and image entries
// later). The owning Playlist creates an entry from its JSON object, calls
// Init, then drives it on the player's thread: StartPlaying, Process until
// IsFinished, Stop when cut short. Specialisations call the base versions
// of Init, StartPlaying, Process, Stop, Dump, GetConfig and GetMqttStatus.

#include <cstdint>
#include <string>
#include <sys/types.h>

#include <json/json.h>

class Playlist;

class PlaylistEntryBase {
public:
    PlaylistEntryBase(Playlist* playlist, PlaylistEntryBase* parent = nullptr);
    virtual ~PlaylistEntryBase();

    // Reads the keys every entry has: "type", "enabled", "playOnce", "note".
    virtual bool Init(Json::Value& config);
    // Reads the entry's own keys into the entry without starting or changing
    // anything else: the part of Init that judges the configuration, also
    // used to check a playlist before it is saved. Empty, or what is wrong,
    // naming the key. FindMissingFile may be asked afterwards.
    virtual std::string ReadConfig(Json::Value& config);
    // 0 when the entry may not play (see CanPlay): it is then finished.
    virtual int StartPlaying();
    virtual int IsStarted();
    virtual int IsPlaying();
    virtual int IsFinished();
    // Called ahead of StartPlaying when the entry before it nears its end.
    virtual int Prep();
    virtual int Process();
    virtual int Stop();
    virtual void Pause();
    virtual bool IsPaused();
    virtual void Resume();
    virtual int HandleSigChild(pid_t pid);
    virtual void Dump();
    virtual Json::Value GetConfig();
    virtual Json::Value GetMqttStatus();
    // Replaces "%PLAYLIST%", "%TYPE%" and "%NOTE%" in text.
    virtual std::string ReplaceMatches(std::string text);
    virtual uint64_t GetLengthInMS();
    virtual uint64_t GetElapsedMS();
    virtual int GetNextBranchType();
    virtual std::string GetNextSection();
    virtual PlaylistEntryBase* GetNextItem();
    virtual std::string GetNextData();
    // A file the entry needs that is not there ("" when none is missing);
    // the playlist skips such an entry with a warning when it loads.
    virtual std::string FindMissingFile();

    // False when the entry is disabled, or is "playOnce" and played already.
    bool CanPlay();
    // Marks the entry finished (not playing).
    void FinishPlay();

    const std::string& GetType() const { return m_type; }
    Playlist* GetPlaylist() const { return m_parentPlaylist; }
    int GetPlayCount() const { return m_playCount; }

protected:
    std::string m_type;  // the entry type string: "sequence", ...
    Json::Value m_config;
    Playlist* m_parentPlaylist;
    PlaylistEntryBase* m_parent;
    bool m_enabled = true;
    bool m_playOnce = false;
    std::string m_note;
    int m_playCount = 0;
    bool m_isStarted = false;
    bool m_isPlaying = false;
    bool m_isFinished = false;
};
