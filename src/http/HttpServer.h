#pragma once
// The daemon's web server on libmicrohttpd: a table of resources mounted by
// path (http_resource, src/http/httpserver.h) and folders of static pages,
// served on a small pool of "KIV-HTTP" threads. HttpServer::INSTANCE is the
// daemon's server: APIServer (src/http/APIServer) starts and stops it from
// the main loop; any unit (or output plug-in) mounts its resources on it at
// any time with RegisterResource, before or after the start. Every request
// passes the access rules (src/http/HttpAccess.h) on its head, before its
// body is read.

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "http/HttpAccess.h"
#include "http/httpserver.h"

class HttpServer {
public:
    static HttpServer INSTANCE;

    struct Options {
        std::string address = "127.0.0.1";  // numeric IPv4 or IPv6; "0.0.0.0" / "::" for every interface
        int port = 0;                       // 0: any free port (see Port())
        std::string accessToken;            // empty: no token asked for
        // Host names besides IP addresses, "localhost" and the board's own
        // name that requests may be addressed to ("HTTPAllowedHosts").
        std::vector<std::string> allowedHosts;
        size_t maxBodyBytes = 65536;        // larger request bodies get 413, unless the resource says otherwise
        int threads = 2;
    };

    HttpServer();
    ~HttpServer();

    // Binds and starts serving. On failure logs the reason, keeps it for
    // LastError() and returns false.
    bool Start(const Options& options);
    // Lets the requests being answered finish (at most 2 s), then stops.
    void Stop();
    bool IsRunning() const { return m_daemon != nullptr; }
    int Port() const { return m_port; }
    const std::string& Address() const { return m_options.address; }
    const std::string& LastError() const { return m_lastError; }

    // Mounts `resource` (not owned) at `path` ("/kivd/ports"). With `family`
    // it also answers every path below (/kivd/ports/list). An exact mount
    // wins over a family, a longer family over a shorter one. What each
    // request must show is the resource's access(); `needsToken` false
    // waives the token for every request to it but a change from another
    // machine, which always needs one.
    // False when the path is malformed or already taken.
    bool RegisterResource(const std::string& path, httpserver::http_resource* resource, bool family = false,
                          bool needsToken = true);
    // Takes the mount down and returns once no request is inside the
    // resource any more (so it may be deleted). Never call it from the
    // resource's own render methods.
    void UnregisterResource(const std::string& path);

    // Serves the files of `dir` below `urlPrefix` ("/" or "/vd"), GET and
    // HEAD only, no token asked: page files only (.html, .htm, .js, .css,
    // .svg, .png, .jpg, .jpeg, .gif, .ico, .txt), no names starting with a
    // dot, no "..". A folder answers with its index.html.
    bool AddStaticDirectory(const std::string& urlPrefix, const std::string& dir);
    void RemoveStaticDirectory(const std::string& urlPrefix);

    // Decides from a request's head whether it is served: a refusal to send
    // back, or null and the largest body the resource takes.
    std::shared_ptr<httpserver::http_response> Admit(const httpserver::http_request& head, size_t& maxBodyBytes);
    // The sink the request's resource streams its body into, or null.
    std::shared_ptr<httpserver::body_sink> BodySink(const httpserver::http_request& head);
    // Answers an admitted request.
    std::shared_ptr<httpserver::http_response> Serve(const httpserver::http_request& request);
    // Admit and Serve in one, for a request already read in full.
    std::shared_ptr<httpserver::http_response> Handle(const httpserver::http_request& request);
    // The paths mounted now.
    std::vector<std::string> MountedPaths();
    const HttpAccessRules& AccessRules() const { return m_rules; }

    // What was refused without being served: counted, never logged one by
    // one, so that a flood of bad requests cannot flood the log.
    struct Refusals {
        std::map<int, long> byLibrary;  // answers libmicrohttpd made itself, by status
        long atLimit = 0;               // connections closed at once: every place was taken
        long tooSlow = 0;               // connections dropped: their requests came too slowly
        long otherMessages = 0;         // libmicrohttpd's other complaints (a peer gone mid-request...)
        std::string lastMessage;        // the latest of those
        bool empty() const { return byLibrary.empty() && !atLimit && !tooSlow && !otherMessages; }
    };
    // Since the start.
    Refusals Refused();
    // Logs what was refused since the last call in one line, or nothing
    // when nothing was: APIServer calls it once a minute, Stop once more.
    void ReportRefusals();

    // Content type of a static page file by its extension, empty when such
    // files are not served.
    static std::string StaticContentType(const std::string& path);

    // Used by the libmicrohttpd callbacks.
    void RequestStarted();
    void RequestFinished();
    // A connection's life as the slow-request guard sees it: from its start
    // (or the end of its last request) until its request is answered it is
    // unfinished, and until the request's head is in, it has a deadline.
    enum class Stage { Head, Body, Answered };
    void ConnectionStarted(void** context, int fd);
    void ConnectionStage(void* context, Stage stage);
    void ConnectionClosed(void** context);
    // The request target (path and query) as sent, handed over before
    // libmicrohttpd decodes it in place.
    void TargetSent(void* context, const char* target);
    // The target as sent of the request whose decoded path is at `url` and
    // version at `version`: false when a NUL byte in it hid the rest.
    bool SentTarget(void* context, const char* url, const char* version, std::string& target);
    // A message of libmicrohttpd's: about the options while it starts,
    // else about a connection or request it refused.
    void LibraryMessage(const std::string& text);

private:
    struct Mount {
        httpserver::http_resource* resource = nullptr;
        bool family = false;
        bool needsToken = true;
        int inFlight = 0;  // guarded by m_lock
    };

    struct Connection {
        int fd = -1;  // a duplicate of the server's, so that it stays this socket until closed here
        long long since = 0;  // ms, monotonic: start of the current stage
        Stage stage = Stage::Head;
        int answered = 0;  // requests answered on it
        bool dropped = false;
        // The current request's target as sent and where libmicrohttpd
        // keeps it; only the connection's own server thread touches them.
        std::string target;
        const char* targetAt = nullptr;
    };

    std::shared_ptr<Mount> FindMount(const std::string& path);
    std::shared_ptr<httpserver::http_response> ServeStatic(const httpserver::http_request& request);
    static std::string NormalisePath(const std::string& path);
    // Drops requests whose head is late, and while too many are unfinished
    // the oldest of them that waited out the grace, those of connections
    // never answered first (a page's kept-alive connection waiting for its
    // next poll is spared), else the newest; m_connectionsLock held.
    void DropSlowRequests();

    // Guards m_mounts, m_static and every Mount's inFlight; m_released is
    // signalled when a request leaves a resource.
    std::mutex m_lock;
    std::condition_variable m_released;
    std::map<std::string, std::shared_ptr<Mount>> m_mounts;
    std::map<std::string, std::string> m_static;  // url prefix -> folder

    // Written by Start/Stop only (the main thread), read by the workers
    // while the server runs.
    void* m_daemon = nullptr;
    int m_listenFd = -1;
    int m_port = 0;
    Options m_options;
    HttpAccessRules m_rules;
    std::string m_lastError;

    std::mutex m_connectionsLock;  // guards m_connections and the Connection objects
    std::set<Connection*> m_connections;

    // Requests between their first callback and their completion.
    std::mutex m_requestsLock;  // guards m_requests
    std::condition_variable m_requestsDone;
    int m_requests = 0;

    std::atomic<bool> m_serving{false};  // libmicrohttpd has started (its messages concern requests)
    std::mutex m_refusalsLock;  // guards m_refused and m_unreported
    Refusals m_refused;
    Refusals m_unreported;  // since the last ReportRefusals
};
