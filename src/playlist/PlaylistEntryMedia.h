#pragma once
// The playlist entry that plays one audio or video file through a media
// output (CreateMediaOutput): a named file, or in the random modes a file
// picked from <media>/music or <media>/videos so that each plays once
// before any repeats. Pauses and resumes by position and publishes
// "playlist/media/status", "playlist/media/title" and "playlist/media/artist".
// Created and driven by the owning Playlist on the player's thread; the
// "both" entry drives one as the song of its sequence.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "mediaoutput/mediaoutput.h"
#include "playlist/PlaylistEntryBase.h"

class PlaylistEntryMedia : public PlaylistEntryBase {
public:
    PlaylistEntryMedia(Playlist* playlist, PlaylistEntryBase* parent = nullptr);
    virtual ~PlaylistEntryMedia();

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

    // Opens the output for the file to play next (in the random modes a new
    // pick); false when there is nothing that can be opened.
    virtual bool PreparePlay();

    bool OpenMediaOutput();
    bool CloseMediaOutput();

    const std::string& GetMediaName() const { return m_chosenFile; }
    const std::string& GetFileMode() const { return m_fileMode; }
    int GetPausedAtMs() const { return m_pausedAtMs; }
    bool HasOutput();
    // A start that fails only because the board has no sound device is a
    // debug line rather than an error (the device layer already said so
    // once); for callers that go on without the sound.
    void SetQuietWithoutAudioDevice(bool quiet) { m_quietWithoutDevice = quiet; }

    // Random modes: the files of the folder not yet played since the list
    // was last built.
    bool GetFileList();
    std::string GetNextRandomFile();
    const std::vector<std::string>& GetFileListForTest() const { return m_fileList; }

protected:
    static int m_openStartDelay;

    int64_t m_openedAtMs = 0;
    unsigned int m_seed;
    std::string m_chosenFile;
    std::string m_mediaPrefix;
    std::string m_videoOutput = "--Default--";
    std::unique_ptr<MediaOutputBase> m_output;
    std::mutex m_outputMutex;  // guards m_output
    int64_t m_mediaLengthMs = 0;
    std::string m_fileMode = "single";
    std::vector<std::string> m_fileList;
    int m_pausedAtMs = -1;
    MediaOutputStatus m_savedStatus;
    // Random modes: the file picked at Init has not played yet, so the
    // first play takes it instead of drawing another.
    bool m_chosenUnplayed = false;
    bool m_quietWithoutDevice = false;
    // The file whose details were read for its length (once per file:
    // the playlist asks every pass).
    std::string m_lengthParsedFor;

private:
    bool IsRandom() const { return m_fileMode != "single"; }
    void PublishTopics(bool withFile);
    void ResetStatusTimes();
};
