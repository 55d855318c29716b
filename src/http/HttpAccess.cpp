#include "http/HttpAccess.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <strings.h>

#include <algorithm>

#include "Events.h"
#include "common.h"
#include "http/httpserver.h"
#include "settings.h"

using httpserver::http_request;

namespace {

// Constant time, so the token cannot be guessed byte by byte from timings.
bool sameSecret(const std::string& a, const std::string& b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (size_t i = 0; i < a.size(); ++i) {
        diff |= (unsigned char)(a[i] ^ (i < b.size() ? b[i] : 0));
    }
    return diff == 0;
}

// Header text as it may go into a message: short and printable.
std::string shown(const std::string& s) {
    std::string out;
    for (char c : s.substr(0, 100)) out += (c >= 0x20 && c < 0x7f) ? c : '?';
    return out;
}

// A POST always counts: a form of another site posts without asking first,
// an empty one too. Other verbs carry a body only when they announce one.
bool sendsBody(const http_request& request) {
    if (request.get_method() == "POST" || !request.get_header("Transfer-Encoding").empty()) return true;
    std::string length = request.get_header("Content-Length");
    return !length.empty() && length.find_first_not_of('0') != std::string::npos;
}

bool jsonContentType(const std::string& value) {
    std::string type = toLowerCopy(value.substr(0, value.find(';')));
    TrimWhiteSpace(type);
    return type == "application/json";
}

}  // namespace

const char* const HttpAccessRules::REMOTE_CHANGES_REFUSED = "Set HTTPAccessToken to use this from another machine";

HttpAccessRules::HttpAccessRules(const std::string& token, const std::vector<std::string>& allowedHosts)
    : m_token(token) {
    for (auto& h : allowedHosts) {
        if (h == "*") {
            m_anyHost = true;
            continue;
        }
        std::string host = HostOf(h);
        if (!host.empty()) m_allowedHosts.push_back(host);
    }
    // The board's own name, as the local network (and mDNS) knows it.
    std::string own = HostOf(GetStatusHostName());
    if (!own.empty()) {
        m_allowedHosts.push_back(own);
        m_allowedHosts.push_back(own + ".local");
    }
}

std::vector<std::string> HttpAccessRules::AllowedHostsSetting() {
    std::string list = getSetting("HTTPAllowedHosts", "");
    std::replace(list.begin(), list.end(), ',', ' ');
    std::vector<std::string> hosts;
    for (auto& h : split(list, ' ')) {
        if (!h.empty()) hosts.push_back(h);
    }
    return hosts;
}

HttpAccessRules HttpAccessRules::FromSettings() {
    return HttpAccessRules(getSetting("HTTPAccessToken", ""), AllowedHostsSetting());
}

std::string HttpAccessRules::HostOf(const std::string& hostOrUrl) {
    std::string s = hostOrUrl;
    size_t scheme = s.find("://");
    if (scheme != std::string::npos) s = s.substr(scheme + 3);
    s = s.substr(0, s.find_first_of("/?#"));
    size_t at = s.rfind('@');
    if (at != std::string::npos) s = s.substr(at + 1);
    std::string host;
    if (!s.empty() && s[0] == '[') {
        size_t close = s.find(']');
        if (close == std::string::npos) return "";
        std::string rest = s.substr(close + 1);
        if (!rest.empty() && rest[0] != ':') return "";
        host = s.substr(1, close - 1);
    } else {
        size_t colon = s.find(':');
        // More than one colon without brackets: a bare IPv6 address.
        host = colon != std::string::npos && s.find(':', colon + 1) == std::string::npos ? s.substr(0, colon) : s;
    }
    if (!host.empty() && host.back() == '.') host.pop_back();
    for (char c : host) {
        if ((unsigned char)c <= 0x20 || c == 0x7f) return "";
    }
    return toLowerCopy(host);
}

bool HttpAccessRules::IsIpLiteral(const std::string& host) {
    unsigned char buf[16];
    return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

bool HttpAccessRules::IsLoopbackPeer(const std::string& address) {
    return startsWith(address, "127.") || address == "::1" || startsWith(address, "::ffff:127.");
}

std::string HttpAccessRules::PeerAddress(const struct sockaddr* address) {
    if (!address) return "";
    char host[NI_MAXHOST] = "";
    socklen_t len = address->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (getnameinfo(address, len, host, sizeof(host), nullptr, 0, NI_NUMERICHOST) != 0) return "";
    return host;
}

bool HttpAccessRules::HostAllowed(const std::string& hostHeader) const {
    // Clients other than browsers may leave it out (HTTP/1.0); a page of
    // another site always sends its own name.
    if (hostHeader.empty()) return true;
    std::string host = HostOf(hostHeader);
    if (host.empty()) return false;
    if (m_anyHost || IsIpLiteral(host) || host == "localhost") return true;
    return std::find(m_allowedHosts.begin(), m_allowedHosts.end(), host) != m_allowedHosts.end();
}

bool HttpAccessRules::CrossSite(const http_request& request) const {
    if (toLowerCopy(request.get_header("Sec-Fetch-Site")) == "cross-site") return true;
    std::string from = request.get_header("Origin");
    if (from.empty()) from = request.get_header("Referer");
    if (from.empty()) return false;  // not a browser, or one that tells nothing
    if (from == "null") return true;  // sandboxed or opaque: never the board's own page
    std::string host = HostOf(from);
    if (host.empty()) return true;
    // Another port of the same host is the same board (the page on the web
    // server reads the stream on the display's port).
    if (host == HostOf(request.get_header("Host"))) return false;
    return std::find(m_allowedHosts.begin(), m_allowedHosts.end(), host) == m_allowedHosts.end();
}

bool HttpAccessRules::CarriesToken(const http_request& request) const {
    if (m_token.empty()) return false;
    std::string auth = request.get_header("Authorization");
    static const std::string bearer = "Bearer ";
    if (auth.size() > bearer.size() && strncasecmp(auth.c_str(), bearer.c_str(), bearer.size()) == 0) {
        return sameSecret(auth.substr(bearer.size()), m_token);
    }
    return false;
}

HttpAccessRules::Verdict HttpAccessRules::Check(const http_request& request, const HttpAccess& access) const {
    std::string hostHeader = request.get_header("Host");
    if (!HostAllowed(hostHeader)) {
        return {403, "Host '" + shown(hostHeader) + "' is not a name of this board (see HTTPAllowedHosts)"};
    }
    if (access.kind == HttpAccess::Kind::Change) {
        if (CrossSite(request)) return {403, "Cross-site request refused"};
        // Each of these makes a browser ask first before a page of another
        // site may send it, and this server never says yes.
        if (sendsBody(request) && !jsonContentType(request.get_header("Content-Type")) &&
            request.get_header("X-Requested-With").empty() && request.get_header("Authorization").empty()) {
            return {415, "A request that changes something must send Content-Type: application/json "
                         "(or an X-Requested-With header)"};
        }
    }
    bool tokenNeeded = access.token == HttpAccess::Token::IfSet;
    if (access.kind == HttpAccess::Kind::Change && !IsLoopbackPeer(request.get_requestor())) {
        // Other machines may only read unless a token tells who they are.
        if (!HasToken()) return {403, REMOTE_CHANGES_REFUSED};
        tokenNeeded = true;
    }
    if (tokenNeeded && HasToken() && !CarriesToken(request)) return {401, "Missing or wrong access token"};
    return {};
}
