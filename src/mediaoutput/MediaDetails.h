#pragma once
// What a media file says about itself: title, artist, album and the other
// tags, its length and whether it has sound and pictures, read with
// libavformat. The media playlist entry parses each file it opens into
// MediaDetails::INSTANCE (the last parsed file), which status reports and
// the plug-ins' media callback read.

#include <mutex>
#include <string>

#include <json/json.h>

struct MediaInfo {
    std::string filename;  // the name as given
    std::string title;
    std::string artist;
    std::string album;
    std::string genre;
    std::string comment;
    int year = 0;
    int track = 0;
    int lengthMs = 0;  // 0 when unknown
    bool hasAudio = false;
    bool hasVideo = false;
    int videoWidth = 0;
    int videoHeight = 0;
};

class MediaDetails {
public:
    static MediaDetails INSTANCE;

    // Reads the file (found as media outputs find it: by path, then in the
    // music and videos folders). False, with the reason logged, when it is
    // missing or not media; the details are then empty but for the name.
    bool ParseMedia(const std::string& mediaFilename);
    // The same reading into `info` only, leaving INSTANCE as it is (the
    // Files page lists lengths while a song plays); `logProblems` false
    // keeps a file that is not media out of the log.
    static bool Read(const std::string& mediaFilename, MediaInfo& info, bool logProblems = true);
    void Clear();

    MediaInfo Get() const;
    std::string GetTitle() const;
    std::string GetArtist() const;
    int GetLengthMs() const;
    // The details as the plug-ins' media callback receives them.
    Json::Value toJson() const;

private:
    mutable std::mutex m_lock;  // guards m_info
    MediaInfo m_info;
};
