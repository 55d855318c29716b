#include "HttpClient.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "common.h"

namespace kivtest {

namespace {
size_t writeBody(char* data, size_t size, size_t n, void* user) {
    ((std::string*)user)->append(data, size * n);
    return size * n;
}

size_t writeHeader(char* data, size_t size, size_t n, void* user) {
    std::string line(data, size * n);
    size_t colon = line.find(':');
    if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(), ::tolower);
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        while (!value.empty() && (value.back() == '\r' || value.back() == '\n')) value.pop_back();
        (*(std::map<std::string, std::string>*)user)[name] = value;
    }
    return size * n;
}
}  // namespace

HttpResult httpRequest(const std::string& method, const std::string& url, const std::string& body,
                       const std::vector<std::string>& headers, long timeoutMs) {
    HttpResult r;
    CURL* c = curl_easy_init();
    if (!c) {
        r.error = "curl_easy_init failed";
        return r;
    }
    struct curl_slist* list = nullptr;
    for (auto& h : headers) list = curl_slist_append(list, h.c_str());
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, timeoutMs);
    curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
    // Paths are sent as written, "/../" included, so tests can send bad ones.
    curl_easy_setopt(c, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, writeBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &r.body);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, writeHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &r.headers);
    if (method == "HEAD") {
        curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
    } else if (method != "GET") {
        curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, method.c_str());
    }
    if (method == "POST" || !body.empty()) {
        curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, (curl_off_t)body.size());
        if (method != "POST") curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, method.c_str());
    }
    if (list) curl_easy_setopt(c, CURLOPT_HTTPHEADER, list);
    CURLcode rc = curl_easy_perform(c);
    if (rc == CURLE_OK) {
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &r.status);
    } else {
        r.error = curl_easy_strerror(rc);
    }
    curl_slist_free_all(list);
    curl_easy_cleanup(c);
    return r;
}

HttpResult rawRequest(const std::string& address, int port, const std::string& bytes, long timeoutMs) {
    HttpResult r;
    int fd = connectFrom("127.0.0.1", address, port);
    // A server may answer and close before all is sent: what it sent counts.
    for (size_t done = 0; fd >= 0 && done < bytes.size();) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) break;
        done += (size_t)n;
    }
    std::string got;
    char buf[4096];
    pollfd p = {fd, POLLIN, 0};
    for (long long end = GetMonotonicMS() + timeoutMs; fd >= 0 && poll(&p, 1, (int)(end - GetMonotonicMS())) > 0;) {
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) break;
        got.append(buf, (size_t)n);
    }
    if (fd >= 0) close(fd);
    size_t headEnd = got.find("\r\n\r\n");
    if (got.compare(0, 5, "HTTP/") != 0 || headEnd == std::string::npos) {
        r.error = fd < 0 ? "cannot connect" : got.empty() ? "no answer" : "not an HTTP answer";
        return r;
    }
    r.status = atol(got.c_str() + got.find(' ') + 1);
    for (size_t at = got.find("\r\n") + 2; at < headEnd; at = got.find("\r\n", at) + 2) {
        writeHeader(&got[at], 1, got.find("\r\n", at) - at, &r.headers);
    }
    r.body = got.substr(headEnd + 4);
    return r;
}

int connectFrom(const std::string& source, const std::string& address, int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from = {}, to = {};
    from.sin_family = to.sin_family = AF_INET;
    to.sin_port = htons((uint16_t)port);
    if (fd < 0 || inet_pton(AF_INET, source.c_str(), &from.sin_addr) != 1 ||
        inet_pton(AF_INET, address.c_str(), &to.sin_addr) != 1 || bind(fd, (sockaddr*)&from, sizeof(from)) != 0 ||
        connect(fd, (sockaddr*)&to, sizeof(to)) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    return fd;
}

bool closedByPeer(int fd) {
    char buf[4096];
    while (true) {
        ssize_t n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
        if (n > 0) continue;  // an answer before the close
        return n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
    }
}

}  // namespace kivtest
