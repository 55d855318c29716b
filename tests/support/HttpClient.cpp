#include "HttpClient.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

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
