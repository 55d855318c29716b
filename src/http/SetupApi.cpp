#include "http/SetupApi.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "Scheduler.h"
#include "SettingsCatalog.h"
#include "channeloutput/channeloutput.h"
#include "common.h"
#include "hseq/HSEQFile.h"
#include "http/HttpServer.h"
#include "http/UploadWriter.h"
#include "log.h"
#include "mediaoutput/MediaDetails.h"
#include "playlist/Playlist.h"
#include "settings.h"
#include "sync/FileInventory.h"

using SetupApi::DEFAULT_UPLOAD_MAX_BYTES;
using SetupApi::FileNameProblem;
using httpserver::body_sink;
using httpserver::error_response;
using httpserver::http_request;
using httpserver::http_resource;
using httpserver::http_response;
using httpserver::string_response;

namespace {

constexpr size_t PLAYLIST_MAX_BYTES = 256 * 1024;
constexpr size_t SCHEDULE_MAX_BYTES = 256 * 1024;
constexpr size_t OUTPUTS_MAX_BYTES = 1024 * 1024;
constexpr size_t SETTINGS_MAX_BYTES = 16 * 1024;
constexpr int NEXT_OCCURRENCES = 3;

struct MediaKind {
    const char* name;    // path piece and key in listings
    const char* folder;  // below the media directory
};
const MediaKind MEDIA_KINDS[] = {
    {"sequences", "/sequences"}, {"music", "/music"}, {"videos", "/videos"}, {"images", "/images"},
    {"effects", "/effects"}};

HttpServer* g_server = nullptr;  // set by Register on the main thread, before any request
// Bumped by every change made here; the pages poll it to show changes at once.
std::atomic<long long> g_version{1};
std::atomic<void (*)()> g_changeListener{nullptr};

const MediaKind* findKind(const std::string& name) {
    for (auto& k : MEDIA_KINDS) {
        if (name == k.name) return &k;
    }
    return nullptr;
}

std::shared_ptr<http_response> json(const Json::Value& v, int code = 200) {
    return std::make_shared<string_response>(SaveJsonToString(v) + "\n", code, "application/json");
}

std::shared_ptr<http_response> notAllowed(const http_request& req, const std::string& allow) {
    auto r = error_response(405, "Method " + req.get_method() + " is not allowed on " + req.get_path());
    r->with_header("Allow", allow);
    return r;
}

// Names files relative to the media folder: where the board keeps it is
// none of a client's business (the log keeps the paths whole).
std::string mediaRelative(std::string text) {
    const std::string base = getKIVMediaDir("") + "/";
    for (size_t at = text.find(base); at != std::string::npos; at = text.find(base, at)) text.erase(at, base.size());
    return text;
}

// Every error answer of these paths.
std::shared_ptr<http_response> failure(int code, const std::string& message) {
    return error_response(code, mediaRelative(message));
}

std::shared_ptr<http_response> problemsAnswer(const std::vector<std::string>& problems) {
    Json::Value v;
    v["error"] = mediaRelative(problems.front());
    for (auto& p : problems) v["problems"].append(mediaRelative(p));
    return json(v, 422);
}

// A JSON body, or the 400 to answer.
std::shared_ptr<http_response> readBody(const http_request& req, Json::Value& doc) {
    if (!ParseJson(req.get_content(), doc)) return failure(400, "Request body is not valid JSON");
    return nullptr;
}

void changed() {
    ++g_version;
    if (auto listener = g_changeListener.load()) listener();
}

// Every resource here: reads as usual; changes (which the access rules let
// through from other machines only with the token) take bodies up to the
// resource's limit.
class SetupResource : public http_resource {
public:
    explicit SetupResource(size_t maxBody) : m_maxBody(maxBody) {}
    HttpAccess access(const http_request& req) override {
        const std::string& m = req.get_method();
        if (m == "GET" || m == "HEAD") return HttpAccess::Read();
        return HttpAccess::Change(MaxBody());
    }

protected:
    virtual size_t MaxBody() { return m_maxBody; }
    size_t m_maxBody;
};

// ------------------------------------------------------------------ files

std::string MediaPath(const MediaKind& k, const std::string& name = "") {
    return getKIVMediaDir(k.folder) + (name.empty() ? "" : "/" + name);
}

// What a listing tells of a file besides its name: a sequence's length,
// frame step and channels (and whether live input was recorded into it),
// a song's or video's length. Read once per file version: a folder of
// songs is listed on every visit of the Files and Playlists pages.
struct FileDetails {
    long long size = -1;
    long long mtime = 0;
    Json::Value json;
};
std::mutex g_detailsLock;  // guards g_details
std::map<std::string, FileDetails> g_details;

Json::Value readDetails(const MediaKind& k, const std::string& path) {
    Json::Value v(Json::objectValue);
    if (std::string(k.name) == "sequences") {
        std::unique_ptr<HSEQFile> f(HSEQFile::openHSEQFile(path));
        if (!f) return v;
        v["seconds"] = (double)f->getNumFrames() * f->getStepTime() / 1000.0;
        v["frames"] = f->getNumFrames();
        v["stepMs"] = f->getStepTime();
        v["channels"] = f->getChannelCount();
        for (auto& h : f->getVariableHeaders()) {
            std::string text(h.data.begin(), h.data.end());
            if (h.code[0] == 's' && h.code[1] == 'p' && text.find("recording of live input") != std::string::npos) {
                v["recording"] = true;
            }
        }
    } else if (std::string(k.name) == "music" || std::string(k.name) == "videos") {
        MediaInfo info;
        if (MediaDetails::Read(path, info, false) && info.lengthMs > 0) v["seconds"] = info.lengthMs / 1000.0;
    }
    return v;
}

Json::Value details(const MediaKind& k, const std::string& path, const struct stat& st) {
    {
        std::lock_guard<std::mutex> lock(g_detailsLock);
        auto it = g_details.find(path);
        if (it != g_details.end() && it->second.size == st.st_size && it->second.mtime == st.st_mtime) {
            return it->second.json;
        }
    }
    Json::Value v = readDetails(k, path);
    std::lock_guard<std::mutex> lock(g_detailsLock);
    g_details[path] = {(long long)st.st_size, (long long)st.st_mtime, v};
    return v;
}

Json::Value listFolder(const MediaKind& k) {
    Json::Value files(Json::arrayValue);
    std::string dir = MediaPath(k);
    DIR* d = opendir(dir.c_str());
    if (!d) return files;
    std::vector<std::string> names;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') names.push_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    for (auto& n : names) {
        struct stat st;
        if (stat((dir + "/" + n).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        Json::Value f;
        f["name"] = n;
        f["size"] = (Json::UInt64)st.st_size;
        f["mtime"] = (Json::Int64)st.st_mtime;
        Json::Value more = details(k, dir + "/" + n, st);
        for (auto& key : more.getMemberNames()) f[key] = more[key];
        files.append(f);
    }
    return files;
}

// Streams an upload into a temporary beside its final name, and takes its
// digest on the way: a master comparing files with this board's then finds
// it known without reading it back.
class UploadSink : public body_sink {
public:
    explicit UploadSink(const std::string& path) : m_writer(path) {}
    bool Open() { return m_writer.Open(); }
    bool write(const char* data, size_t len) override {
        m_digest.Update(data, len);
        return m_writer.Write(data, len);
    }
    UploadWriter& Writer() { return m_writer; }
    std::string Digest() { return m_digest.Hex(); }

private:
    UploadWriter m_writer;
    FileInventory::Sha256 m_digest;
};

// Takes the body of an upload that will be refused, so it is not held in
// memory; one refused on its head alone answers before the body is read.
class DiscardSink : public body_sink {
public:
    explicit DiscardSink(std::shared_ptr<http_response> answer = nullptr) : m_answer(std::move(answer)) {}
    bool write(const char*, size_t) override { return false; }
    std::shared_ptr<http_response> refusal() const override { return m_answer; }

private:
    std::shared_ptr<http_response> m_answer;
};

std::string noSpaceFor(const std::string& name) { return "Not enough space for " + name + ": "; }

// The announced length of an upload that cannot fit in the folder's free
// space: refused before the sender spends its time on the bytes.
std::shared_ptr<http_response> tooBigForDisk(const http_request& head, const MediaKind& k, const std::string& name,
                                             const std::string& folder) {
    std::string length = head.get_header("Content-Length");
    struct statvfs fs;
    if (length.empty() || statvfs(folder.c_str(), &fs) != 0) return nullptr;
    unsigned long long announced = strtoull(length.c_str(), nullptr, 10);
    unsigned long long room = (unsigned long long)fs.f_bavail * fs.f_frsize;
    if (announced <= room) return nullptr;
    LogErr(VB_HTTP, "Upload of %s/%s from %s refused: %llu bytes do not fit in the %llu free on the disk\n", k.name,
           name.c_str(), head.get_requestor().c_str(), announced, room);
    return failure(507, noSpaceFor(name) + length + " bytes, " + std::to_string(room) + " free on the disk");
}

// /kivd/files, /kivd/files/<kind>, /kivd/files/<kind>/<name>
class FilesResource : public SetupResource {
public:
    FilesResource() : SetupResource(0) {}

    std::shared_ptr<body_sink> body_sink_for(const http_request& head) override {
        const MediaKind* k = nullptr;
        std::string name;
        if (head.get_method() != "PUT") return nullptr;
        if (!Target(head, k, name) || !FileNameProblem(name).empty()) {
            return std::make_shared<DiscardSink>();
        }
        mkdir(MediaPath(*k).c_str(), 0775);
        if (auto refused = tooBigForDisk(head, *k, name, MediaPath(*k))) return std::make_shared<DiscardSink>(refused);
        auto sink = std::make_shared<UploadSink>(MediaPath(*k, name));
        if (!sink->Open()) {
            LogErr(VB_HTTP, "Upload of %s: cannot create a file beside it: %s\n", name.c_str(),
                   sink->Writer().Error().c_str());
            return std::make_shared<DiscardSink>();
        }
        return sink;
    }

    std::shared_ptr<http_response> render_GET(const http_request& req) override {
        auto pieces = req.get_path_pieces();
        if (pieces.size() == 2) {
            Json::Value all;
            for (auto& k : MEDIA_KINDS) all[k.name] = listFolder(k);
            return json(all);
        }
        const MediaKind* k = findKind(pieces[2]);
        if (!k || pieces.size() > 3) return failure(404, "Not found: " + req.get_path());
        return json(listFolder(*k));
    }

    std::shared_ptr<http_response> render_PUT(const http_request& req) override {
        const MediaKind* k = nullptr;
        std::string name;
        if (!Target(req, k, name)) return failure(404, "Upload to /kivd/files/<kind>/<name>");
        std::string problem = FileNameProblem(name);
        if (!problem.empty()) return failure(400, problem);
        auto* sink = dynamic_cast<UploadSink*>(req.get_body_sink());
        if (!sink) return failure(500, "Cannot create a file in " + MediaPath(*k));
        UploadWriter& file = sink->Writer();
        if (!file.Finish()) return failed(req, *k, name, file);
        if (std::string(k->name) == "sequences") {
            // The player's own reader judges it: a file it cannot open never takes the name.
            std::unique_ptr<HSEQFile> f(HSEQFile::openHSEQFile(file.TempPath()));
            if (!f) return failure(422, name + " is not a sequence file this player can read");
        }
        if (!file.Commit()) return failed(req, *k, name, file);
        std::string digest = sink->Digest();
        FileInventory::RememberDigest(MediaPath(*k, name), digest);
        LogInfo(VB_HTTP, "Uploaded %s/%s (%lld bytes) from %s\n", k->name, name.c_str(), file.Bytes(),
                req.get_requestor().c_str());
        changed();
        Json::Value v;
        v["name"] = name;
        v["size"] = (Json::Int64)file.Bytes();
        v["sha256"] = digest;
        return json(v, 201);
    }

    std::shared_ptr<http_response> render_DELETE(const http_request& req) override {
        const MediaKind* k = nullptr;
        std::string name;
        if (!Target(req, k, name)) return failure(404, "Delete /kivd/files/<kind>/<name>");
        std::string problem = FileNameProblem(name);
        if (!problem.empty()) return failure(400, problem);
        struct stat st;
        std::string path = MediaPath(*k, name);
        if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return failure(404, "No file " + name);
        if (unlink(path.c_str()) != 0) return failure(500, "Could not delete " + name + ": " + strerror(errno));
        LogInfo(VB_HTTP, "Deleted %s/%s from %s\n", k->name, name.c_str(), req.get_requestor().c_str());
        changed();
        return json(Json::Value(Json::objectValue));
    }

    std::shared_ptr<http_response> render(const http_request& req) override {
        return notAllowed(req, "GET, HEAD, PUT, DELETE");
    }

protected:
    size_t MaxBody() override {
        long long v = atoll(getSetting("UploadMaxBytes", "").c_str());
        return (size_t)(v > 0 ? v : DEFAULT_UPLOAD_MAX_BYTES);
    }

private:
    // Written bytes are removed before the line is logged: on a full disk
    // the log needs the space too.
    static std::shared_ptr<http_response> failed(const http_request& req, const MediaKind& k, const std::string& name,
                                                 UploadWriter& file) {
        file.Discard();
        std::string why = file.Error();
        LogErr(VB_HTTP, "Upload of %s/%s from %s failed after %lld bytes: %s; nothing was kept\n", k.name, name.c_str(),
               req.get_requestor().c_str(), file.Bytes(), why.c_str());
        if (file.NoSpace()) {
            return failure(507, noSpaceFor(name) + why + " after " + std::to_string(file.Bytes()) +
                                           " bytes; nothing was kept");
        }
        return failure(507, "Could not write " + name + ": " + why + "; nothing was kept");
    }

    // The kind and name of /kivd/files/<kind>/<name>.
    static bool Target(const http_request& req, const MediaKind*& k, std::string& name) {
        // The path comes percent-decoded: an encoded "/" stays in the name
        // and is refused there.
        auto pieces = req.get_path_pieces();
        if (pieces.size() < 4) return false;
        k = findKind(pieces[2]);
        std::string prefix = std::string("/kivd/files/") + pieces[2] + "/";
        if (!k || !startsWith(req.get_path(), prefix)) return false;
        name = req.get_path().substr(prefix.size());
        return true;
    }
};

// -------------------------------------------------------------- playlists

// /kivd/playlists, /kivd/playlists/<name>
class PlaylistsResource : public SetupResource {
public:
    PlaylistsResource() : SetupResource(PLAYLIST_MAX_BYTES) {}

    std::shared_ptr<http_response> render_GET(const http_request& req) override {
        std::string name;
        if (!Target(req, name)) {
            Json::Value list(Json::arrayValue);
            std::vector<std::string> names;
            if (DIR* d = opendir(getKIVMediaDir("/playlists").c_str())) {
                while (struct dirent* e = readdir(d)) {
                    std::string n = e->d_name;
                    if (n[0] != '.' && endsWith(n, ".json")) names.push_back(n.substr(0, n.size() - 5));
                }
                closedir(d);
            }
            std::sort(names.begin(), names.end());
            for (auto& n : names) {
                Json::Value doc, p;
                LoadJsonFromString(GetFileContents(Playlist::FilePath(n)), doc);
                p["name"] = n;
                p["description"] = doc.isObject() && doc["description"].isString() ? doc["description"] : "";
                list.append(p);
            }
            return json(list);
        }
        if (!Playlist::ValidName(name)) return failure(400, "Invalid playlist name '" + name + "'");
        if (!FileExists(Playlist::FilePath(name))) return failure(404, "No playlist '" + name + "'");
        Json::Value doc;
        if (!LoadJsonFromString(GetFileContents(Playlist::FilePath(name)), doc)) {
            return failure(500, "Playlist file " + Playlist::FilePath(name) + " is not valid JSON");
        }
        return json(doc);
    }

    std::shared_ptr<http_response> render_PUT(const http_request& req) override {
        std::string name;
        if (!Target(req, name)) return failure(405, "PUT /kivd/playlists/<name>");
        Json::Value doc;
        if (auto bad = readBody(req, doc)) return bad;
        auto problems = Playlist::Check(name, doc);
        if (!problems.empty()) return problemsAnswer(problems);
        mkdir(getKIVMediaDir("/playlists").c_str(), 0775);
        bool existed = FileExists(Playlist::FilePath(name));
        if (!SaveJsonToFile(doc, Playlist::FilePath(name), "    ")) {
            return failure(500, "Could not write " + Playlist::FilePath(name));
        }
        changed();
        return json(doc, existed ? 200 : 201);
    }

    std::shared_ptr<http_response> render_DELETE(const http_request& req) override {
        std::string name;
        if (!Target(req, name)) return failure(405, "DELETE /kivd/playlists/<name>");
        if (!Playlist::ValidName(name)) return failure(400, "Invalid playlist name '" + name + "'");
        if (unlink(Playlist::FilePath(name).c_str()) != 0) return failure(404, "No playlist '" + name + "'");
        changed();
        return json(Json::Value(Json::objectValue));
    }

    std::shared_ptr<http_response> render(const http_request& req) override {
        return notAllowed(req, "GET, HEAD, PUT, DELETE");
    }

private:
    static bool Target(const http_request& req, std::string& name) {
        const std::string prefix = "/kivd/playlists/";
        if (req.get_path().size() <= prefix.size()) return false;
        name = req.get_path().substr(prefix.size());
        return true;
    }
};

// --------------------------------------------------------------- schedule

// /kivd/config/schedule: the rows as written, with each row's next starts.
class ScheduleResource : public SetupResource {
public:
    ScheduleResource() : SetupResource(SCHEDULE_MAX_BYTES) {}

    std::shared_ptr<http_response> render_GET(const http_request&) override {
        if (!scheduler) return failure(503, "The scheduler is not running");
        Json::Value rows = LoadJsonFromFile(scheduler->ScheduleFilePath());
        if (!rows.isArray()) rows = Json::Value(Json::arrayValue);
        return Answer(rows, 200);
    }

    std::shared_ptr<http_response> render_PUT(const http_request& req) override {
        if (!scheduler) return failure(503, "The scheduler is not running");
        Json::Value rows;
        if (auto bad = readBody(req, rows)) return bad;
        Json::Value next;
        std::vector<std::string> problems;
        if (!scheduler->PreviewSchedule(rows, NEXT_OCCURRENCES, next, problems)) return problemsAnswer(problems);
        mkdir(getKIVMediaDir("/config").c_str(), 0775);
        if (!SaveJsonToFile(rows, scheduler->ScheduleFilePath(), "    ")) {
            return failure(500, "Could not write " + scheduler->ScheduleFilePath());
        }
        // Read on the scheduler's next pass, within a second.
        scheduler->ReloadScheduleFile();
        changed();
        return Answer(rows, 200);
    }

    std::shared_ptr<http_response> render(const http_request& req) override { return notAllowed(req, "GET, HEAD, PUT"); }

private:
    std::shared_ptr<http_response> Answer(const Json::Value& rows, int code) {
        Json::Value v, next;
        std::vector<std::string> problems;
        v["rows"] = rows;
        scheduler->PreviewSchedule(rows, NEXT_OCCURRENCES, next, problems);
        v["next"] = next;
        for (auto& p : problems) v["problems"].append(p);
        return json(v, code);
    }
};

// ---------------------------------------------------------------- outputs

// /kivd/config/outputs: channeloutputs.json; "?restart=1" applies it at once.
class OutputsResource : public SetupResource {
public:
    OutputsResource() : SetupResource(OUTPUTS_MAX_BYTES) {}

    std::shared_ptr<http_response> render_GET(const http_request&) override {
        Json::Value doc = LoadJsonFromFile(ChannelOutputsFilePath());
        if (!doc.isObject()) doc["channelOutputs"] = Json::Value(Json::arrayValue);
        Json::Value v;
        v["outputs"] = doc;
        for (auto& p : CheckChannelOutputs(doc)) v["problems"].append(p);
        return json(v);
    }

    std::shared_ptr<http_response> render_PUT(const http_request& req) override {
        Json::Value doc;
        if (auto bad = readBody(req, doc)) return bad;
        auto problems = CheckChannelOutputs(doc);
        if (!problems.empty()) return problemsAnswer(problems);
        mkdir(getKIVMediaDir("/config").c_str(), 0775);
        if (!SaveJsonToFile(doc, ChannelOutputsFilePath(), "    ")) {
            return failure(500, "Could not write " + ChannelOutputsFilePath());
        }
        changed();
        bool restart = req.get_arg("restart") == "1" || req.get_arg("restart") == "true";
        Json::Value v;
        v["outputs"] = doc;
        v["restarting"] = restart;
        if (restart) {
            LogInfo(VB_HTTP, "Outputs changed from %s: restarting\n", req.get_requestor().c_str());
            ShutdownKIVD(true);
        }
        return json(v);
    }

    std::shared_ptr<http_response> render(const http_request& req) override { return notAllowed(req, "GET, HEAD, PUT"); }
};

// --------------------------------------------------------------- settings

// /kivd/config/settings: every documented key with its description, rule
// and value; "?restart=1" restarts kivd once the changes are written.
class SettingsResource : public SetupResource {
public:
    SettingsResource() : SetupResource(SETTINGS_MAX_BYTES) {}

    std::shared_ptr<http_response> render_GET(const http_request&) override { return json(List()); }

    std::shared_ptr<http_response> render_PUT(const http_request& req) override {
        Json::Value doc;
        if (auto bad = readBody(req, doc)) return bad;
        if (!doc.isObject() || doc.empty()) return failure(400, "Send an object of keys and values");
        std::map<std::string, std::string> changes;
        std::vector<std::string> problems;
        for (auto& key : doc.getMemberNames()) {
            std::string text, error;
            if (CheckEditableSetting(key, doc[key], text, error)) {
                changes[key] = text;
            } else {
                problems.push_back(error);
            }
        }
        if (!problems.empty()) return problemsAnswer(problems);
        std::string error;
        if (!ChangeSettings(changes, error)) return failure(500, error);
        changed();
        Json::Value v;
        v["settings"] = List();
        v["restartNeeded"] = Json::Value(Json::arrayValue);
        bool schedule = false;
        for (auto& c : changes) {
            const SettingInfo* s = FindSettingInfo(c.first);
            if (s->restart) v["restartNeeded"].append(c.first);
            schedule |= std::string(s->group) == "Schedule";
        }
        std::string keys;
        for (auto& c : changes) keys += (keys.empty() ? "" : ", ") + c.first;
        LogInfo(VB_HTTP, "Settings changed from %s: %s\n", req.get_requestor().c_str(), keys.c_str());
        // Sun times, formats and the distance show in the next starts at once.
        if (schedule && scheduler) scheduler->ReloadScheduleFile();
        bool restart = req.get_arg("restart") == "1" || req.get_arg("restart") == "true";
        v["restarting"] = restart;
        if (restart) {
            LogInfo(VB_HTTP, "Restarting for the new settings\n");
            ShutdownKIVD(true);
        }
        return json(v);
    }
    std::shared_ptr<http_response> render_PATCH(const http_request& req) override { return render_PUT(req); }

    std::shared_ptr<http_response> render(const http_request& req) override {
        return notAllowed(req, "GET, HEAD, PUT, PATCH");
    }

private:
    static Json::Value List() {
        Json::Value list(Json::arrayValue);
        for (auto& s : SettingsCatalog()) list.append(DescribeSetting(s));
        return list;
    }
};

// ----------------------------------------------------------------- changes

// /kivd/changes: a number that grows with every change made through these
// paths, and whether the asking machine may make changes.
class ChangesResource : public http_resource {
public:
    std::shared_ptr<http_response> render_GET(const http_request& req) override {
        Json::Value v;
        v["version"] = (Json::Int64)g_version.load();
        bool writable = g_server->AccessRules().ChangesAllowedFrom(req.get_requestor());
        v["writable"] = writable;
        if (!writable) v["reason"] = HttpAccessRules::REMOTE_CHANGES_REFUSED;
        return json(v);
    }
    std::shared_ptr<http_response> render(const http_request& req) override { return notAllowed(req, "GET, HEAD"); }
};

struct Mount {
    const char* path;
    bool family;
};
const Mount MOUNTS[] = {{"/kivd/files", true},           {"/kivd/playlists", true},
                        {"/kivd/config/schedule", false}, {"/kivd/config/outputs", false},
                        {"/kivd/config/settings", false}, {"/kivd/changes", false}};

std::vector<std::unique_ptr<http_resource>> resources;  // owned here, created by Register on the main thread

}  // namespace

void SetupApi::SetChangeListener(void (*listener)()) { g_changeListener = listener; }

std::string SetupApi::FileNameProblem(const std::string& name) {
    if (name.empty()) return "A file name is needed";
    if (name.size() > 255) return "File name longer than 255 bytes";
    if (name.find('/') != std::string::npos || name.find('\\') != std::string::npos) {
        return "File name '" + name + "' holds a path separator";
    }
    if (name.find("..") != std::string::npos) return "File name '" + name + "' holds \"..\"";
    if (name[0] == '.') return "File name '" + name + "' is hidden (starts with a dot)";
    for (char c : name) {
        if ((unsigned char)c < 0x20 || c == 0x7f) return "File name holds control characters";
    }
    return "";
}

void SetupApi::Register(HttpServer& server) {
    if (!resources.empty()) return;
    g_server = &server;
    resources.push_back(std::make_unique<FilesResource>());
    resources.push_back(std::make_unique<PlaylistsResource>());
    resources.push_back(std::make_unique<ScheduleResource>());
    resources.push_back(std::make_unique<OutputsResource>());
    resources.push_back(std::make_unique<SettingsResource>());
    resources.push_back(std::make_unique<ChangesResource>());
    for (size_t i = 0; i < resources.size(); ++i) {
        server.RegisterResource(MOUNTS[i].path, resources[i].get(), MOUNTS[i].family);
    }
}

void SetupApi::Unregister(HttpServer& server) {
    if (resources.empty()) return;
    for (auto& m : MOUNTS) server.UnregisterResource(m.path);
    resources.clear();
}
