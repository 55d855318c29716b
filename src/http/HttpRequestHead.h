#pragma once
// The head of one HTTP/1.x request (request line and header fields) read
// off a plain socket, for the listeners that have no web server in front
// of them (the virtual display's stream). A plain function from bytes, so
// the listener, its tests and the fuzz target all call the same code.
// HttpServer fills one from what libmicrohttpd parsed, so that both decode
// a request target with ToHttpRequest.

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "http/HttpAccess.h"

namespace httpserver {
class http_request;
}

struct HttpRequestHead {
    enum class Status {
        Incomplete,  // no blank line yet: read more
        Complete,
        Malformed,
        TooLarge,  // no end of the head within the limit
    };
    std::string method;
    std::string target;   // as sent: path and query
    std::string version;  // "HTTP/1.0" or "HTTP/1.1"
    std::vector<std::pair<std::string, std::string>> headers;  // in order, values trimmed
    size_t length = 0;  // bytes of the head, blank line included (when Complete)
};

constexpr size_t MAX_REQUEST_HEADER_FIELDS = 100;

// Parses what has arrived so far.
HttpRequestHead::Status ParseHttpRequestHead(const char* data, size_t size, HttpRequestHead& head,
                                             size_t maxBytes = HttpLimits::MAX_REQUEST_HEAD_BYTES);

// The request as resources and the access rules see it: method, path
// (percent-decoded, without the query), query arguments, headers, and the
// peer's address. False when the path cannot be decoded.
bool ToHttpRequest(const HttpRequestHead& head, const std::string& peer, httpserver::http_request& request);

// "%41b+c" -> "Ab c"; false on a broken escape or a NUL.
bool PercentDecode(const std::string& in, std::string& out, bool plusIsSpace);
