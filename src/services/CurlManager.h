#pragma once
// Asynchronous HTTP requests on the libcurl multi interface. Requests are
// queued from any thread and completed by doProcessCurls() on the main
// loop, which calls each request's callback with the HTTP status (0 when
// the transfer failed) and the response body.

#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <string>


class CurlManager {
public:
    static CurlManager INSTANCE;

    typedef std::function<void(int httpCode, const std::string& response)> Callback;

    void add(const std::string& url, const std::string& method, const std::string& body,
             const std::list<std::string>& headers, Callback callback, long timeoutMs = 5000);
    bool hasPending();
    // Drives the transfers without blocking; call once per main-loop pass.
    void doProcessCurls();
    // Runs until every pending request completed or timeoutMs passed.
    void processAll(long timeoutMs);
    void cleanup();

    ~CurlManager();

private:
    struct Request;
    std::mutex m_lock;  // guards m_multi and m_requests
    void* m_multi = nullptr;
    std::map<void*, Request*> m_requests;
};
