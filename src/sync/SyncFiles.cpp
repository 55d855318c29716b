#include "sync/SyncFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <curl/curl.h>

#include <algorithm>
#include <functional>
#include <memory>

#include "ThreadPriority.h"
#include "Warnings.h"
#include "commands/Commands.h"
#include "common.h"
#include "http/HttpServer.h"
#include "http/SetupApi.h"
#include "log.h"
#include "settings.h"
#include "sync/MultiSync.h"

using namespace FileInventory;
using httpserver::error_response;
using httpserver::http_request;
using httpserver::http_resource;
using httpserver::http_response;
using httpserver::string_response;

SyncFiles SyncFiles::INSTANCE;

namespace {

const char* const PATH = "/kivd/sync/files";
// A remote hashes the files it has not seen yet before it answers: a show
// of a few GB on a card takes a minute or more.
constexpr long LISTING_TIMEOUT_MS = 600000;
constexpr long CONNECT_TIMEOUT_MS = 3000;
// A transfer that moves nothing for this long is given up (and tried again).
constexpr long STALLED_SECONDS = 60;
constexpr size_t MAX_ANSWER_BYTES = 16 << 20;
// Bytes curl hands the socket at a time: fewer system calls than its
// default, still fine-grained for the rate limit.
constexpr long UPLOAD_BUFFER_BYTES = 256 * 1024;

std::string KindsText(const std::vector<Kind>& kinds) {
    std::string t;
    for (Kind k : kinds) t += (t.empty() ? "" : ",") + std::string(KindName(k));
    return t;
}

std::vector<Kind> ChosenKinds() {
    std::vector<std::string> problems;
    std::vector<Kind> kinds = ParseKinds(getSetting("SyncFilesKinds", ""), &problems);
    for (auto& p : problems) LogWarn(VB_SYNC, "Setting SyncFilesKinds: %s; left out\n", p.c_str());
    return kinds;
}

long long MaxBytesPerSecond() {
    long long kbps = getSettingInt("SyncFilesMaxKBps", SyncFiles::DEFAULT_MAX_KBPS);
    return kbps > 0 ? kbps * 1000 : 0;
}

std::string SizeText(long long bytes) {
    char text[32];
    if (bytes < 1000000) {
        snprintf(text, sizeof(text), "%lld kB", (bytes + 999) / 1000);
    } else {
        snprintf(text, sizeof(text), "%.1f MB", bytes / 1e6);
    }
    return text;
}

// One answer of a remote: status 0 when none came (error says why).
struct Answer {
    long status = 0;
    std::string body;
    std::string error;
};

// What went wrong, from an answer's {"error": "..."} or its text.
std::string ErrorText(const Answer& a) {
    if (a.status == 0) return a.error;
    Json::Value v;
    if (ParseJson(a.body, v) && v.isObject() && v["error"].isString()) return v["error"].asString();
    std::string text = a.body.substr(0, 200);
    TrimWhiteSpace(text);
    return "HTTP " + std::to_string(a.status) + (text.empty() ? "" : ": " + text);
}

// HTTP to one remote's interface on the file sync thread: one handle, so
// the connection is kept from request to request.
class Client {
public:
    Client(const std::string& base, const std::string& token, const std::atomic<bool>& stop)
        : m_base(base), m_stop(stop), m_curl(curl_easy_init()) {
        if (!token.empty()) m_headers.push_back("Authorization: Bearer " + token);
        // A change with a body passes the cross-site rules with this header.
        m_headers.push_back("X-Requested-With: kivd");
    }
    ~Client() {
        if (m_curl) curl_easy_cleanup(m_curl);
        if (m_list) curl_slist_free_all(m_list);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    std::string Escape(const std::string& text) {
        char* e = m_curl ? curl_easy_escape(m_curl, text.data(), (int)text.size()) : nullptr;
        std::string out = e ? e : text;
        curl_free(e);
        return out;
    }

    Answer Get(const std::string& path, long timeoutMs) {
        if (!Prepare(path, {})) return m_answer;
        curl_easy_setopt(m_curl, CURLOPT_TIMEOUT_MS, timeoutMs);
        return Perform();
    }

    Answer PutDocument(const std::string& path, const std::string& body) {
        if (!Prepare(path, {"Content-Type: application/json"})) return m_answer;
        curl_easy_setopt(m_curl, CURLOPT_CUSTOMREQUEST, "PUT");
        curl_easy_setopt(m_curl, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(m_curl, CURLOPT_POSTFIELDSIZE_LARGE, (curl_off_t)body.size());
        Stalled();
        return Perform();
    }

    // The file's bytes from fd; `sent` gets the bytes sent so far.
    Answer PutFile(const std::string& path, int fd, long long size, long long bytesPerSecond,
                   std::function<void(long long)> sent) {
        if (!Prepare(path, {"Content-Type: application/octet-stream"})) return m_answer;
        m_fd = fd;
        m_sent = std::move(sent);
        curl_easy_setopt(m_curl, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(m_curl, CURLOPT_READFUNCTION, &Client::Read);
        curl_easy_setopt(m_curl, CURLOPT_READDATA, this);
        curl_easy_setopt(m_curl, CURLOPT_INFILESIZE_LARGE, (curl_off_t)size);
        curl_easy_setopt(m_curl, CURLOPT_UPLOAD_BUFFERSIZE, UPLOAD_BUFFER_BYTES);
        if (bytesPerSecond > 0) curl_easy_setopt(m_curl, CURLOPT_MAX_SEND_SPEED_LARGE, (curl_off_t)bytesPerSecond);
        Stalled();
        Answer a = Perform();
        m_fd = -1;
        m_sent = nullptr;
        return a;
    }

private:
    bool Prepare(const std::string& path, const std::vector<std::string>& extra) {
        m_answer = Answer();
        if (!m_curl) {
            m_answer.error = "cannot make an HTTP client";
            return false;
        }
        curl_easy_reset(m_curl);  // keeps the connection
        if (m_list) curl_slist_free_all(m_list);
        m_list = nullptr;
        for (auto& h : m_headers) m_list = curl_slist_append(m_list, h.c_str());
        for (auto& h : extra) m_list = curl_slist_append(m_list, h.c_str());
        m_url = m_base + path;
        curl_easy_setopt(m_curl, CURLOPT_URL, m_url.c_str());
        curl_easy_setopt(m_curl, CURLOPT_HTTPHEADER, m_list);
        curl_easy_setopt(m_curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(m_curl, CURLOPT_CONNECTTIMEOUT_MS, CONNECT_TIMEOUT_MS);
        curl_easy_setopt(m_curl, CURLOPT_USERAGENT, (std::string("kivd/") + getKIVVersionTriplet()).c_str());
        curl_easy_setopt(m_curl, CURLOPT_WRITEFUNCTION, &Client::Write);
        curl_easy_setopt(m_curl, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(m_curl, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(m_curl, CURLOPT_XFERINFOFUNCTION, &Client::Progress);
        curl_easy_setopt(m_curl, CURLOPT_XFERINFODATA, this);
        return true;
    }
    void Stalled() {
        curl_easy_setopt(m_curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(m_curl, CURLOPT_LOW_SPEED_TIME, STALLED_SECONDS);
    }
    Answer Perform() {
        CURLcode rc = curl_easy_perform(m_curl);
        if (rc == CURLE_OK) {
            curl_easy_getinfo(m_curl, CURLINFO_RESPONSE_CODE, &m_answer.status);
        } else {
            m_answer.status = 0;
            m_answer.error = m_stop ? "stopped" : curl_easy_strerror(rc);
        }
        return m_answer;
    }
    static size_t Write(char* data, size_t size, size_t n, void* self) {
        Client* c = (Client*)self;
        if (c->m_answer.body.size() + size * n > MAX_ANSWER_BYTES) return 0;
        c->m_answer.body.append(data, size * n);
        return size * n;
    }
    static size_t Read(char* buffer, size_t size, size_t n, void* self) {
        Client* c = (Client*)self;
        for (;;) {
            ssize_t got = read(c->m_fd, buffer, size * n);
            if (got < 0 && errno == EINTR) continue;
            return got < 0 ? CURL_READFUNC_ABORT : (size_t)got;
        }
    }
    static int Progress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t sent) {
        Client* c = (Client*)self;
        if (c->m_sent) c->m_sent((long long)sent);
        return c->m_stop ? 1 : 0;
    }

    std::string m_base;
    const std::atomic<bool>& m_stop;
    CURL* m_curl;
    std::vector<std::string> m_headers;
    struct curl_slist* m_list = nullptr;
    std::string m_url;
    Answer m_answer;
    int m_fd = -1;
    std::function<void(long long)> m_sent;
};

// What an answer of 401 or 403 means for the master: the token, said so
// that the user knows which setting to change where.
std::string TokenProblem(const Answer& a, bool haveToken) {
    if (a.status == 401) {
        return haveToken ? "refused this master's access token: HTTPAccessToken differs on the two boards"
                         : "wants an access token: set HTTPAccessToken on this master, the same as on the remote";
    }
    if (a.status == 403 && ErrorText(a) == HttpAccessRules::REMOTE_CHANGES_REFUSED) {
        return "takes no changes from other machines: set HTTPAccessToken on it, the same as on this master";
    }
    return "";
}

// /kivd/sync/files: GET lists this board's files (?kinds=...) with its
// health; POST starts "Sync Files" on a master.
class SyncFilesResource : public http_resource {
public:
    std::shared_ptr<http_response> render_GET(const http_request& req) override {
        std::vector<std::string> problems;
        std::vector<Kind> kinds = ParseKinds(req.get_arg("kinds"), &problems);
        if (!problems.empty()) return error_response(400, problems.front());
        return std::make_shared<string_response>(
            SaveJsonToString(SyncFiles::Describe(kinds, req.get_requestor())) + "\n", 200, "application/json");
    }
    std::shared_ptr<http_response> render_POST(const http_request&) override {
        std::string message;
        if (!SyncFiles::INSTANCE.Start(message)) return error_response(409, message);
        Json::Value v;
        v["message"] = message;
        return std::make_shared<string_response>(SaveJsonToString(v) + "\n", 202, "application/json");
    }
    std::shared_ptr<http_response> render(const http_request& req) override {
        auto r = error_response(405, "Method " + req.get_method() + " is not allowed on " + req.get_path());
        r->with_header("Allow", "GET, HEAD, POST");
        return r;
    }
};

class SyncFilesCommand : public Command {
public:
    SyncFilesCommand()
        : Command("Sync Files", "On a master: sends every remote the show's files it lacks or holds otherwise "
                                "(the kinds of SyncFilesKinds); \"Get Systems\" shows how each remote stands") {}
    std::unique_ptr<Result> run(const std::vector<std::string>&) override {
        std::string message;
        if (!SyncFiles::INSTANCE.Start(message)) return std::make_unique<ErrorResult>(message);
        return std::make_unique<Result>(message);
    }
};

SyncFilesResource g_resource;

}  // namespace

void SyncFiles::Init() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_mounted) return;
        m_mounted = true;
    }
    HttpServer::INSTANCE.RegisterResource(PATH, &g_resource);
    CommandManager::INSTANCE.addCommand(new SyncFilesCommand());
    if (!MultiSync::INSTANCE.isMultiSyncEnabled()) return;
    SetupApi::SetChangeListener(&SyncFiles::AfterChange);
    m_stop = false;
    m_active = true;
    m_thread = std::thread(&SyncFiles::Run, this);
    LogInfo(VB_SYNC, "File sync to remotes ready: %s, at most %s\n", KindsText(ChosenKinds()).c_str(),
            MaxBytesPerSecond() ? (std::to_string(MaxBytesPerSecond() / 1000) + " kB/s").c_str() : "unlimited");
}

void SyncFiles::Shutdown() {
    SetupApi::SetChangeListener(nullptr);
    m_stop = true;
    m_wake.notify_all();
    if (m_thread.joinable()) m_thread.join();
    m_active = false;
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto& r : m_remotes) {
        if (!r.second.warning.empty()) WarningHolder::RemoveWarning(r.second.warning);
    }
    m_remotes.clear();
    if (m_mounted) HttpServer::INSTANCE.UnregisterResource(PATH);
    m_mounted = false;
}

bool SyncFiles::Start(std::string& message) {
    if (!m_active) {
        message = "Sync Files runs on a master; this board is not one";
        return false;
    }
    RefreshRemotes();
    std::lock_guard<std::mutex> lock(m_lock);
    std::string names;
    int count = 0;
    for (auto& r : m_remotes) {
        if (!r.second.listed) continue;
        ++count;
        names += (names.empty() ? "" : ", ") + r.first + (r.second.hostname.empty() ? "" : " (" + r.second.hostname + ")");
    }
    if (!count) {
        message = "No remote known to send files to: \"Get Systems\" lists none";
        return false;
    }
    bool busy = std::any_of(m_remotes.begin(), m_remotes.end(), [](auto& r) { return r.second.pending; });
    m_requested = true;
    m_wake.notify_all();
    message = "Sending files to " + std::to_string(count) + (count == 1 ? " remote: " : " remotes: ") + names +
              (busy ? " (after the pass under way)" : "");
    LogInfo(VB_SYNC, "%s\n", message.c_str());
    return true;
}

void SyncFiles::AfterChange() {
    SyncFiles& s = INSTANCE;
    if (!s.m_active || !getSettingInt("SyncFilesAfterUpload", 0)) return;
    std::lock_guard<std::mutex> lock(s.m_lock);
    s.m_autoAtMs = GetTimeMS() + AFTER_UPLOAD_QUIET_MS;
    s.m_wake.notify_all();
}

void SyncFiles::RefreshRemotes() {
    Json::Value systems = MultiSync::INSTANCE.GetSystems(false, false)["systems"];
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto& r : m_remotes) r.second.listed = false;
    for (auto& s : systems) {
        if (s["local"].asBool() || s["mode"].asString() != "remote") continue;
        Remote& r = m_remotes[s["address"].asString()];
        r.address = s["address"].asString();
        r.hostname = s["hostname"].asString();
        r.httpPort = s["httpPort"].asInt();
        r.listed = true;
    }
    // A remote gone silent is forgotten, unless files still wait for it.
    for (auto it = m_remotes.begin(); it != m_remotes.end();) {
        if (!it->second.listed && !it->second.pending) {
            if (!it->second.warning.empty()) WarningHolder::RemoveWarning(it->second.warning);
            it = m_remotes.erase(it);
        } else {
            ++it;
        }
    }
}

void SyncFiles::Run() {
    SetThreadName("KIV-SyncFiles");
    std::string priority = LowerThreadPriority();
    LogDebug(VB_SYNC, "File sync thread at %s\n", priority.c_str());
    while (!m_stop) {
        RefreshRemotes();
        std::string address;
        bool send = false;
        {
            std::unique_lock<std::mutex> lock(m_lock);
            long long now = GetTimeMS();
            if (m_autoAtMs && now >= m_autoAtMs) {
                m_autoAtMs = 0;
                m_requested = true;
                LogInfo(VB_SYNC, "Files changed on this master: sending them to the remotes\n");
            }
            if (m_requested) {
                m_requested = false;
                for (auto& r : m_remotes) {
                    if (!r.second.listed) continue;
                    r.second.pending = true;
                    r.second.failures = 0;
                    r.second.nextTryMs = now;
                }
            }
            for (auto& r : m_remotes) {
                if (r.second.pending && r.second.nextTryMs <= now) {
                    address = r.first;
                    send = true;
                    break;
                }
            }
            if (address.empty()) {
                for (auto& r : m_remotes) {
                    if (r.second.listed && !r.second.pending && r.second.nextCheckMs <= now) {
                        address = r.first;
                        break;
                    }
                }
            }
            m_running = std::any_of(m_remotes.begin(), m_remotes.end(), [](auto& r) { return r.second.pending; });
            if (address.empty()) {
                // New remotes are looked for once a second.
                m_wake.wait_for(lock, std::chrono::seconds(1), [this] { return m_stop || m_requested; });
                continue;
            }
        }
        Outcome o = Visit(address, send);
        if (o == Outcome::Stopped) break;
        std::lock_guard<std::mutex> lock(m_lock);
        auto it = m_remotes.find(address);
        if (it != m_remotes.end()) Finish(it->second, o, send, GetTimeMS());
    }
    LogDebug(VB_SYNC, "File sync thread stopped\n");
}

SyncFiles::Outcome SyncFiles::Visit(const std::string& address, bool send) {
    std::string hostname;
    int port = 0;
    std::vector<std::string> hosts;
    long long now = GetTimeMS();
    {
        std::lock_guard<std::mutex> lock(m_lock);
        Remote& r = m_remotes[address];
        hostname = r.hostname;
        port = r.httpPort;
        for (auto& e : m_remotes) hosts.push_back(e.second.hostname);
        r.error.clear();
        if (send) {
            r.state = "sending";
            if (!r.failures) {
                r.refused.clear();
                r.passSent = 0;
                r.passBytes = 0;
                r.passStartMs = now;
            }
        }
    }
    Json::Value me = MultiSync::INSTANCE.GetSystems(true, false)["systems"];
    if (me.size()) hosts.push_back(me[0]["hostname"].asString());
    auto remoteError = [&](const std::string& text, Outcome o) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_remotes[address].error = text;
        return o;
    };
    if (!port) {
        return remoteError("its HTTP interface is not open to other machines: set HTTPBindAddress (and "
                           "HTTPAccessToken) there",
                           Outcome::Unreachable);
    }
    std::string token = getSetting("HTTPAccessToken", "");
    std::vector<Kind> kinds = ChosenKinds();
    Client client("http://" + address + ":" + std::to_string(port), token, m_stop);
    Answer a = client.Get(std::string(PATH) + "?kinds=" + KindsText(kinds), LISTING_TIMEOUT_MS);
    if (m_stop) return Outcome::Stopped;
    if (a.status == 0) return remoteError("cannot be reached: " + a.error, Outcome::Unreachable);
    std::string tokenProblem = TokenProblem(a, !token.empty());
    if (!tokenProblem.empty()) return remoteError(tokenProblem, Outcome::Done);
    if (a.status != 200) return remoteError("answered the file list with " + ErrorText(a), Outcome::Done);
    Json::Value doc;
    Listing theirs;
    std::string error;
    if (!ParseJson(a.body, doc) || !FromJson(doc, theirs, error)) {
        return remoteError("sent a file list that cannot be read" + (error.empty() ? "" : ": " + error),
                           Outcome::Done);
    }
    std::vector<Transfer> plan = Plan(ListLocal(kinds), theirs, hostname, hosts);
    {
        std::lock_guard<std::mutex> lock(m_lock);
        Remote& r = m_remotes[address];
        r.health = doc["health"].isObject() ? doc["health"] : Json::Value(Json::objectValue);
        r.outOfDate = (int)plan.size();
        r.checkedWall = GetWallTime() / 1000000;
    }
    if (!send || plan.empty()) return Outcome::Done;
    if (!doc["writable"].asBool()) {
        return remoteError("takes no changes from other machines: set HTTPAccessToken on it, the same as on this "
                           "master",
                           Outcome::Done);
    }

    for (auto& t : plan) {
        if (m_stop) return Outcome::Stopped;
        std::string what = t.Path();
        {
            std::lock_guard<std::mutex> lock(m_lock);
            Remote& r = m_remotes[address];
            r.sending = what;
            r.sendingSize = t.entry.size;
            r.sendingDone = 0;
        }
        std::string path = LocalPath(t.kind, t.entry.name);
        if (IsMedia(t.kind)) {
            int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            struct stat st;
            if (fd < 0 || fstat(fd, &st) != 0) {
                if (fd >= 0) close(fd);
                LogWarn(VB_SYNC, "%s left out for %s: %s\n", what.c_str(), address.c_str(), strerror(errno));
                continue;
            }
            posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
            a = client.PutFile("/kivd/files/" + std::string(KindName(t.kind)) + "/" + client.Escape(t.entry.name), fd,
                               st.st_size, MaxBytesPerSecond(), [&](long long sent) {
                                   std::lock_guard<std::mutex> lock(m_lock);
                                   m_remotes[address].sendingDone = sent;
                               });
            close(fd);
        } else if (t.kind == Kind::Playlists) {
            a = client.PutDocument("/kivd/playlists/" + client.Escape(t.entry.name), GetFileContents(path));
        } else {
            a = client.PutDocument("/kivd/config/schedule", GetFileContents(path));
        }
        if (m_stop) return Outcome::Stopped;
        std::lock_guard<std::mutex> lock(m_lock);
        Remote& r = m_remotes[address];
        r.sending.clear();
        if (a.status == 0) {
            // Cut off: what it received of this file was thrown away there;
            // the next try lists again and sends what is still missing.
            r.error = "cannot be reached: " + a.error + " (while sending " + what + ")";
            return Outcome::Unreachable;
        }
        if (a.status == 200 || a.status == 201) {
            ++r.passSent;
            r.passBytes += t.entry.size;
            if (r.outOfDate > 0) --r.outOfDate;
            continue;
        }
        tokenProblem = TokenProblem(a, !token.empty());
        if (!tokenProblem.empty()) {
            r.error = tokenProblem;
            return Outcome::Done;
        }
        r.refused.push_back({what, ErrorText(a)});
        LogWarn(VB_SYNC, "Remote %s%s refused %s: %s\n", address.c_str(),
                hostname.empty() ? "" : (" (" + hostname + ")").c_str(), what.c_str(), ErrorText(a).c_str());
    }
    return Outcome::Done;
}

void SyncFiles::Finish(Remote& r, Outcome o, bool send, long long nowMs) {
    std::string who = r.address + (r.hostname.empty() ? "" : " (" + r.hostname + ")");
    r.sending.clear();
    r.nextCheckMs = nowMs + CHECK_INTERVAL_MS;
    if (o == Outcome::Unreachable) {
        if (!send) {
            // Its interface may be starting still: soon again.
            r.state = "unreachable";
            r.nextCheckMs = nowMs + RETRY_FIRST_MS * 2;
            return;
        }
        ++r.failures;
        long long wait = std::min<long long>((long long)RETRY_FIRST_MS << std::min(r.failures - 1, 16), RETRY_MAX_MS);
        r.nextTryMs = nowMs + wait;
        r.state = "retrying";
        // Said once a pass; the tries after it only at debug level.
        _LogWrite(__FILE__, __LINE__, r.failures == 1 ? LOG_WARN : LOG_DEBUG, VB_SYNC,
                  "Remote %s %s; files follow when it answers (next try in %lld s)\n", who.c_str(), r.error.c_str(),
                  wait / 1000);
        return;
    }
    if (!send) {
        if (!r.error.empty()) {
            r.state = "refused";
        } else if (r.outOfDate > 0) {
            r.state = r.refused.empty() ? "out of date" : "refused";
        } else {
            // Put right some other way.
            r.state = "in step";
            r.refused.clear();
            if (!r.warning.empty()) WarningHolder::RemoveWarning(r.warning);
            r.warning.clear();
        }
        return;
    }
    std::string problem = r.error;
    if (problem.empty() && !r.refused.empty()) {
        problem = "refused " + r.refused.front().file + ": " + r.refused.front().error;
        if (r.refused.size() > 1) problem += " (and " + std::to_string(r.refused.size() - 1) + " more)";
    }
    r.pending = false;
    r.failures = 0;
    double seconds = (nowMs - r.passStartMs) / 1000.0;
    r.lastPass = Json::Value(Json::objectValue);
    r.lastPass["sent"] = r.passSent;
    r.lastPass["bytes"] = (Json::Int64)r.passBytes;
    r.lastPass["seconds"] = seconds;
    r.lastPass["finished"] = (Json::Int64)(GetWallTime() / 1000000);
    r.state = problem.empty() ? "in step" : "refused";
    if (!r.warning.empty()) WarningHolder::RemoveWarning(r.warning);
    r.warning.clear();
    char sent[96];
    snprintf(sent, sizeof(sent), "%d sent (%s in %.1f s)", r.passSent, SizeText(r.passBytes).c_str(), seconds);
    if (problem.empty()) {
        LogInfo(VB_SYNC, "Files for remote %s: %s, in step\n", who.c_str(), sent);
        return;
    }
    r.warning = "Files for remote " + who + " not in step: it " + problem;
    WarningHolder::AddWarning(r.warning);
    LogWarn(VB_SYNC, "Files for remote %s: %s; not in step: it %s\n", who.c_str(), sent, problem.c_str());
}

void SyncFiles::AddStatus(Json::Value& doc) {
    if (!m_active) return;
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto& s : doc["systems"]) {
        auto it = m_remotes.find(s["address"].asString());
        if (s["local"].asBool() || it == m_remotes.end()) continue;
        const Remote& r = it->second;
        Json::Value f(Json::objectValue);
        f["state"] = r.state;
        if (!r.error.empty()) f["error"] = r.error;
        for (auto& x : r.refused) {
            Json::Value v;
            v["file"] = x.file;
            v["error"] = x.error;
            f["refused"].append(v);
        }
        if (!r.sending.empty()) {
            f["sending"] = r.sending;
            f["sendingBytes"] = (Json::Int64)r.sendingDone;
            f["sendingSize"] = (Json::Int64)r.sendingSize;
        }
        if (r.pending && r.failures) {
            f["retryInSeconds"] = (Json::Int64)std::max(0LL, (r.nextTryMs - GetTimeMS() + 999) / 1000);
        }
        if (!r.lastPass.isNull()) f["lastPass"] = r.lastPass;
        s["files"] = f;
        Json::Value h = r.health.isObject() ? r.health : Json::Value(Json::objectValue);
        if (r.outOfDate >= 0) h["outOfDate"] = r.outOfDate;
        if (r.checkedWall) h["checked"] = (Json::Int64)r.checkedWall;
        s["health"] = h;
    }
    Json::Value all;
    all["running"] = m_running;
    for (Kind k : ChosenKinds()) all["kinds"].append(KindName(k));
    all["maxKBps"] = (Json::Int64)(MaxBytesPerSecond() / 1000);
    all["afterUpload"] = getSettingInt("SyncFilesAfterUpload", 0) != 0;
    all["waiting"] = Json::Value(Json::arrayValue);
    for (auto& r : m_remotes) {
        if (r.second.pending) all["waiting"].append(r.first);
    }
    doc["fileSync"] = all;
}

Json::Value SyncFiles::Describe(const std::vector<Kind>& kinds, const std::string& requestor) {
    Json::Value doc = ToJson(ListLocal(kinds));
    doc["writable"] = HttpServer::INSTANCE.AccessRules().ChangesAllowedFrom(requestor);
    Json::Value h;
    Json::Value systems = MultiSync::INSTANCE.GetSystems(false, false);
    if (systems["systems"].size()) h["hostname"] = systems["systems"][0]["hostname"];
    h["version"] = getKIVVersion();
    h["mode"] = systems["sync"].isObject() ? systems["sync"]["role"].asString() : getKIVmodeStr(getKIVmode());
    h["warnings"] = Json::Value(Json::arrayValue);
    for (auto& w : WarningHolder::GetWarnings()) h["warnings"].append(w);
    struct statvfs fs;
    if (statvfs(getKIVMediaDir().c_str(), &fs) == 0) h["freeBytes"] = (Json::UInt64)fs.f_bavail * fs.f_frsize;
    std::string master = systems["sync"]["master"].asString();
    if (!master.empty()) {
        h["master"] = master;
        for (auto& s : systems["systems"]) {
            if (s["address"].asString() == master && s.isMember("offsetMs")) h["masterOffsetMs"] = s["offsetMs"];
        }
    }
    doc["health"] = h;
    return doc;
}
