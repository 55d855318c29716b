#pragma once
// A libcurl client for tests of the daemon's web server: one request, the
// status, the headers and the body of the answer.

#include <map>
#include <string>
#include <vector>

namespace kivtest {

struct HttpResult {
    long status = 0;  // 0: no answer (connection refused, time-out)
    std::string body;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string error;                           // libcurl's text when status is 0
    std::string header(const std::string& lowerName) const {
        auto it = headers.find(lowerName);
        return it == headers.end() ? "" : it->second;
    }
};

// What a state-changing request must carry: the daemon takes a body only
// as JSON (or with a header a page of another site cannot send).
const char* const JSON_TYPE = "Content-Type: application/json";

// headers: full lines ("Authorization: Bearer x"). A body is sent for any
// method when not empty (and always for POST).
HttpResult httpRequest(const std::string& method, const std::string& url, const std::string& body = "",
                       const std::vector<std::string>& headers = {}, long timeoutMs = 10000);
inline HttpResult httpGet(const std::string& url, const std::vector<std::string>& headers = {}) {
    return httpRequest("GET", url, "", headers);
}

// Sends `bytes` as they are to a loopback address:port and reads the answer
// until the server closes or timeoutMs passes: for requests no client
// library sends. The body is everything after the first blank line.
HttpResult rawRequest(const std::string& address, int port, const std::string& bytes, long timeoutMs = 5000);

// A plain TCP connection to address:port from the loopback address
// `source` (any of 127.0.0.0/8), blocking; the socket, or -1.
int connectFrom(const std::string& source, const std::string& address, int port);
// The server closed the connection (without waiting); what it sent before
// is read and dropped.
bool closedByPeer(int fd);

}  // namespace kivtest
