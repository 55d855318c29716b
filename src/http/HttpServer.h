#pragma once
// The daemon's web server on libmicrohttpd: a table of resources mounted by
// path (http_resource, src/http/httpserver.h) and folders of static pages,
// served on a small pool of "KIV-HTTP" threads. HttpServer::INSTANCE is the
// daemon's server: APIServer (src/http/APIServer) starts and stops it from
// the main loop; any unit (or output plug-in) mounts its resources on it at
// any time with RegisterResource, before or after the start.

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "http/httpserver.h"

class HttpServer {
public:
    static HttpServer INSTANCE;

    struct Options {
        std::string address = "127.0.0.1";  // numeric IPv4 or IPv6; "0.0.0.0" / "::" for every interface
        int port = 0;                       // 0: any free port (see Port())
        std::string accessToken;            // empty: no token asked for
        size_t maxBodyBytes = 65536;        // larger request bodies get 413
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
    // wins over a family, a longer family over a shorter one. With
    // `needsToken` a request must carry the access token when one is set.
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

    // Answers one request: what the libmicrohttpd callback calls.
    std::shared_ptr<httpserver::http_response> Handle(const httpserver::http_request& request);

    // Content type of a static page file by its extension, empty when such
    // files are not served.
    static std::string StaticContentType(const std::string& path);

    // Used by the libmicrohttpd callbacks.
    size_t MaxBodyBytes() const { return m_options.maxBodyBytes; }
    void RequestStarted();
    void RequestFinished();

private:
    struct Mount {
        httpserver::http_resource* resource = nullptr;
        bool family = false;
        bool needsToken = true;
        int inFlight = 0;  // guarded by m_lock
    };

    std::shared_ptr<Mount> FindMount(const std::string& path);
    std::shared_ptr<httpserver::http_response> ServeStatic(const httpserver::http_request& request);
    bool TokenMatches(const httpserver::http_request& request);
    static std::string NormalisePath(const std::string& path);

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
    std::string m_lastError;

    // Requests between their first callback and their completion.
    std::mutex m_requestsLock;  // guards m_requests
    std::condition_variable m_requestsDone;
    int m_requests = 0;
};
