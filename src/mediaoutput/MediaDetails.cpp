#include "mediaoutput/MediaDetails.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <cstdlib>

#include "log.h"
#include "mediaoutput/mediaoutput.h"

MediaDetails MediaDetails::INSTANCE;

// A tag from the container, else from the first stream that has it (Ogg
// files keep their tags with the stream).
static std::string Tag(AVFormatContext* fmt, const char* key) {
    AVDictionaryEntry* e = av_dict_get(fmt->metadata, key, nullptr, 0);
    for (unsigned i = 0; !e && i < fmt->nb_streams; ++i) {
        e = av_dict_get(fmt->streams[i]->metadata, key, nullptr, 0);
    }
    return e && e->value ? e->value : "";
}

bool MediaDetails::ParseMedia(const std::string& mediaFilename) {
    MediaInfo info;
    bool ok = Read(mediaFilename, info);
    std::lock_guard<std::mutex> lock(m_lock);
    m_info = info;
    return ok;
}

bool MediaDetails::Read(const std::string& mediaFilename, MediaInfo& info, bool logProblems) {
    info = MediaInfo();
    info.filename = mediaFilename;
    std::string path = ResolveMediaPath(mediaFilename);
    if (path.empty()) {
        if (logProblems) LogErr(VB_MEDIAOUT, "Cannot read the details of %s: it does not exist\n", mediaFilename.c_str());
        return false;
    }
    AVFormatContext* fmt = nullptr;
    if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) {
        if (logProblems) LogErr(VB_MEDIAOUT, "Cannot read the details of %s: not a media file\n", path.c_str());
        return false;
    }
    if (avformat_find_stream_info(fmt, nullptr) < 0 && logProblems) {
        LogWarn(VB_MEDIAOUT, "Cannot find the streams of %s\n", path.c_str());
    }
    info.title = Tag(fmt, "title");
    info.artist = Tag(fmt, "artist");
    info.album = Tag(fmt, "album");
    info.genre = Tag(fmt, "genre");
    info.comment = Tag(fmt, "comment");
    info.year = atoi(Tag(fmt, "date").c_str());
    info.track = atoi(Tag(fmt, "track").c_str());
    if (fmt->duration != AV_NOPTS_VALUE && fmt->duration > 0) info.lengthMs = (int)(fmt->duration / 1000);
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        AVCodecParameters* p = fmt->streams[i]->codecpar;
        if (p->codec_type == AVMEDIA_TYPE_AUDIO) info.hasAudio = true;
        // Cover art travels as a one-picture video stream; it is no video.
        if (p->codec_type == AVMEDIA_TYPE_VIDEO && !(fmt->streams[i]->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
            info.hasVideo = true;
            info.videoWidth = p->width;
            info.videoHeight = p->height;
        }
    }
    avformat_close_input(&fmt);
    LogDebug(VB_MEDIAOUT, "Media details of %s: '%s' by '%s', %d ms\n", mediaFilename.c_str(), info.title.c_str(),
             info.artist.c_str(), info.lengthMs);
    return true;
}

void MediaDetails::Clear() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_info = MediaInfo();
}

MediaInfo MediaDetails::Get() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_info;
}

std::string MediaDetails::GetTitle() const { return Get().title; }
std::string MediaDetails::GetArtist() const { return Get().artist; }
int MediaDetails::GetLengthMs() const { return Get().lengthMs; }

Json::Value MediaDetails::toJson() const {
    MediaInfo i = Get();
    Json::Value v;
    v["filename"] = i.filename;
    v["title"] = i.title;
    v["artist"] = i.artist;
    v["album"] = i.album;
    v["genre"] = i.genre;
    v["comment"] = i.comment;
    v["year"] = i.year;
    v["track"] = i.track;
    v["length"] = i.lengthMs;
    v["seconds"] = i.lengthMs / 1000;
    v["hasAudio"] = i.hasAudio;
    v["hasVideo"] = i.hasVideo;
    if (i.hasVideo) {
        v["videoWidth"] = i.videoWidth;
        v["videoHeight"] = i.videoHeight;
    }
    return v;
}
