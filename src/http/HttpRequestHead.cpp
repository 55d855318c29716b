#include "http/HttpRequestHead.h"

#include <cstring>

#include "common.h"
#include "http/httpserver.h"

namespace {

// RFC 9110 token characters (method and field names).
bool tokenChar(unsigned char c) {
    if (c >= '0' && c <= '9') return true;
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') return true;
    return c && strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool token(const std::string& s) {
    if (s.empty()) return false;
    for (unsigned char c : s) {
        if (!tokenChar(c)) return false;
    }
    return true;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = (char)(c | 0x20);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

void trim(std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    size_t e = s.find_last_not_of(" \t");
    s = b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

}  // namespace

bool PercentDecode(const std::string& in, std::string& out, bool plusIsSpace) {
    out.clear();
    for (size_t i = 0; i < in.size(); ++i) {
        char c = in[i];
        if (c == '%') {
            if (i + 2 >= in.size()) return false;
            int hi = hexValue(in[i + 1]), lo = hexValue(in[i + 2]);
            if (hi < 0 || lo < 0) return false;
            c = (char)(hi * 16 + lo);
            i += 2;
        } else if (c == '+' && plusIsSpace) {
            c = ' ';
        }
        if (c == '\0') return false;
        out += c;
    }
    return true;
}

HttpRequestHead::Status ParseHttpRequestHead(const char* data, size_t size, HttpRequestHead& head, size_t maxBytes) {
    using Status = HttpRequestHead::Status;
    size_t scan = std::min(size, maxBytes);
    size_t end = std::string::npos;
    for (size_t i = 0; i + 3 < scan; ++i) {
        if (data[i] == '\r' && data[i + 1] == '\n' && data[i + 2] == '\r' && data[i + 3] == '\n') {
            end = i;
            break;
        }
    }
    if (end == std::string::npos) return size >= maxBytes ? Status::TooLarge : Status::Incomplete;

    head = HttpRequestHead();
    head.length = end + 4;
    std::string text(data, end);
    std::vector<std::string> lines;
    size_t start = 0;
    while (true) {
        size_t crlf = text.find("\r\n", start);
        lines.push_back(text.substr(start, crlf == std::string::npos ? std::string::npos : crlf - start));
        if (crlf == std::string::npos) break;
        start = crlf + 2;
    }

    // METHOD SP target SP HTTP/1.x, nothing else.
    const std::string& line = lines[0];
    size_t sp1 = line.find(' ');
    size_t sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp2 == std::string::npos || line.find(' ', sp2 + 1) != std::string::npos) return Status::Malformed;
    head.method = line.substr(0, sp1);
    head.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    head.version = line.substr(sp2 + 1);
    if (!token(head.method) || head.target.empty() || head.target[0] != '/') return Status::Malformed;
    for (unsigned char c : head.target) {
        if (c <= 0x20 || c >= 0x7f) return Status::Malformed;
    }
    if (head.version != "HTTP/1.1" && head.version != "HTTP/1.0") return Status::Malformed;

    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string& l = lines[i];
        size_t colon = l.find(':');
        // No folded lines (a leading blank), no blank before the colon.
        if (colon == std::string::npos) return Status::Malformed;
        std::string name = l.substr(0, colon);
        std::string value = l.substr(colon + 1);
        if (!token(name)) return Status::Malformed;
        for (unsigned char c : value) {
            if ((c < 0x20 && c != '\t') || c == 0x7f) return Status::Malformed;
        }
        trim(value);
        if (head.headers.size() >= MAX_REQUEST_HEADER_FIELDS) return Status::TooLarge;
        head.headers.emplace_back(name, value);
    }
    return Status::Complete;
}

bool ToHttpRequest(const HttpRequestHead& head, const std::string& peer, httpserver::http_request& request) {
    size_t q = head.target.find('?');
    std::string path;
    if (!PercentDecode(head.target.substr(0, q), path, false)) return false;
    request.set_method(head.method);
    request.set_path(path);
    if (q != std::string::npos) {
        for (auto& pair : split(head.target.substr(q + 1), '&')) {
            if (pair.empty()) continue;
            size_t eq = pair.find('=');
            std::string name, value;
            if (!PercentDecode(pair.substr(0, eq), name, true)) return false;
            if (eq != std::string::npos && !PercentDecode(pair.substr(eq + 1), value, true)) return false;
            request.set_arg(name, value);
        }
    }
    // A repeated field keeps its first value, so a second Host or Origin
    // cannot override what was checked.
    for (auto& h : head.headers) {
        if (request.get_header(h.first).empty()) request.set_header(h.first, h.second);
    }
    request.set_requestor(peer);
    return true;
}
