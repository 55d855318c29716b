#pragma once
// The playlist entry most shows are made of: a sequence together with its
// song ("type": "both"). Both start together; while the song plays its
// position is the clock the frames follow, and when it ends first, or
// cannot play (no sound device, a missing file), the sequence goes on by
// the wall clock. The entry ends when the longer of the two ends. The song
// is "mediaName", or else the file the sequence's "mf" header names.
// Created and driven by the owning Playlist on the player's thread; it
// drives a sequence entry and a media entry of its own.

#include <memory>
#include <string>

#include "playlist/PlaylistEntryBase.h"

class PlaylistEntryMedia;
class PlaylistEntrySequence;

class PlaylistEntryBoth : public PlaylistEntryBase {
public:
    PlaylistEntryBoth(Playlist* playlist, PlaylistEntryBase* parent = nullptr);
    virtual ~PlaylistEntryBoth();

    bool Init(Json::Value& config) override;
    std::string ReadConfig(Json::Value& config) override;
    int StartPlaying() override;
    int Process() override;
    int Stop() override;
    void Pause() override;
    bool IsPaused() override;
    void Resume() override;
    int HandleSigChild(pid_t pid) override;
    void Dump() override;
    Json::Value GetConfig() override;
    Json::Value GetMqttStatus() override;
    uint64_t GetLengthInMS() override;
    uint64_t GetElapsedMS() override;
    std::string FindMissingFile() override;

    const std::string& GetSequenceName() const { return m_sequenceName; }
    // The song, "" when there is none.
    const std::string& GetMediaName() const { return m_mediaName; }
    // True while the song sets the pace.
    bool SongIsClock() const { return m_songIsClock; }

    // The file name a sequence's "mf" header names, without the folders of
    // the machine it was made on; "" when it names none.
    static std::string MediaNameFromSequence(const std::string& sequenceName);

private:
    bool MakeMediaEntry();

    std::unique_ptr<PlaylistEntrySequence> m_sequence;
    std::unique_ptr<PlaylistEntryMedia> m_media;
    std::string m_sequenceName;
    std::string m_mediaName;
    bool m_mediaFromHeader = false;
    std::string m_videoOut;
    bool m_songIsClock = false;
    bool m_sequencePaused = false;
    bool m_mediaPaused = false;
};
