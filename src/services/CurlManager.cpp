#include "services/CurlManager.h"

#include <curl/curl.h>

#include <vector>

#include "common.h"
#include "log.h"
#include "settings.h"

CurlManager CurlManager::INSTANCE;

struct CurlManager::Request {
    ::CURL* easy = nullptr;
    struct curl_slist* headers = nullptr;
    std::string body;
    std::string response;
    Callback callback;
};

CurlManager::~CurlManager() { cleanup(); }

void CurlManager::add(const std::string& url, const std::string& method, const std::string& body,
                      const std::list<std::string>& headers, Callback callback, long timeoutMs) {
    Request* r = new Request();
    r->body = body;
    r->callback = callback;
    r->easy = curl_easy_init();
    if (!r->easy) {
        LogErr(VB_GENERAL, "Unable to create curl instance for %s\n", url.c_str());
        delete r;
        if (callback) callback(0, "");
        return;
    }
    curl_easy_setopt(r->easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(r->easy, CURLOPT_WRITEFUNCTION, urlWriteData);
    curl_easy_setopt(r->easy, CURLOPT_WRITEDATA, &r->response);
    curl_easy_setopt(r->easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(r->easy, CURLOPT_CONNECTTIMEOUT_MS, std::min(timeoutMs, 2000L));
    curl_easy_setopt(r->easy, CURLOPT_TIMEOUT_MS, timeoutMs);
    std::string agent = std::string("kivd/") + getKIVVersionTriplet();
    curl_easy_setopt(r->easy, CURLOPT_USERAGENT, agent.c_str());
    for (auto& h : headers) {
        r->headers = curl_slist_append(r->headers, h.c_str());
    }
    if (r->headers) curl_easy_setopt(r->easy, CURLOPT_HTTPHEADER, r->headers);
    if (method == "POST" || method == "PUT") {
        curl_easy_setopt(r->easy, CURLOPT_POSTFIELDS, r->body.c_str());
        curl_easy_setopt(r->easy, CURLOPT_POSTFIELDSIZE, (long)r->body.size());
    }
    if (method == "HEAD") {
        curl_easy_setopt(r->easy, CURLOPT_NOBODY, 1L);
    } else if (method != "GET" && method != "POST") {
        curl_easy_setopt(r->easy, CURLOPT_CUSTOMREQUEST, method.c_str());
    }
    LogDebug(VB_GENERAL, "CurlManager: queued %s %s\n", method.c_str(), url.c_str());
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_multi) m_multi = curl_multi_init();
    curl_multi_add_handle((CURLM*)m_multi, r->easy);
    m_requests[r->easy] = r;
}

bool CurlManager::hasPending() {
    std::lock_guard<std::mutex> lock(m_lock);
    return !m_requests.empty();
}

void CurlManager::doProcessCurls() {
    std::vector<std::pair<Request*, int>> done;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (!m_multi || m_requests.empty()) return;
        int running = 0;
        curl_multi_perform((CURLM*)m_multi, &running);
        int left = 0;
        while (CURLMsg* msg = curl_multi_info_read((CURLM*)m_multi, &left)) {
            if (msg->msg != CURLMSG_DONE) continue;
            auto it = m_requests.find(msg->easy_handle);
            if (it == m_requests.end()) continue;
            long code = 0;
            if (msg->data.result == CURLE_OK) {
                curl_easy_getinfo(msg->easy_handle, CURLINFO_RESPONSE_CODE, &code);
            } else {
                LogDebug(VB_GENERAL, "CurlManager: transfer failed: %s\n", curl_easy_strerror(msg->data.result));
            }
            curl_multi_remove_handle((CURLM*)m_multi, msg->easy_handle);
            done.push_back({it->second, (int)code});
            m_requests.erase(it);
        }
    }
    // Callbacks run unlocked: they may queue further requests.
    for (auto& d : done) {
        if (d.first->callback) d.first->callback(d.second, d.first->response);
        curl_easy_cleanup(d.first->easy);
        if (d.first->headers) curl_slist_free_all(d.first->headers);
        delete d.first;
    }
}

void CurlManager::processAll(long timeoutMs) {
    long long end = GetTimeMS() + timeoutMs;
    while (hasPending() && GetTimeMS() < end) {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            int numfds = 0;
            if (m_multi) curl_multi_poll((CURLM*)m_multi, nullptr, 0, 50, &numfds);
        }
        doProcessCurls();
    }
}

void CurlManager::cleanup() {
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto& r : m_requests) {
        curl_multi_remove_handle((CURLM*)m_multi, r.first);
        curl_easy_cleanup(r.second->easy);
        if (r.second->headers) curl_slist_free_all(r.second->headers);
        delete r.second;
    }
    m_requests.clear();
    if (m_multi) {
        curl_multi_cleanup((CURLM*)m_multi);
        m_multi = nullptr;
    }
}
