#pragma once
// Who may use what over HTTP: the one set of rules every request to the
// daemon's web server and to the virtual display's stream goes through
// before anything is read from its body or done for it.
//
//  - Every request: its Host header must be a name of this board (an IP
//    address, "localhost", the board's host name, or a name listed in
//    "HTTPAllowedHosts"), so a page of another site that re-points its own
//    name at the board (DNS rebinding) cannot read anything.
//  - A request that changes state must also come from the board's own
//    pages: refused when Sec-Fetch-Site says "cross-site" or when Origin
//    (or, without it, Referer) names another host; and one with a body
//    needs "Content-Type: application/json", an X-Requested-With header
//    or the token, none of which a page of another site can send without
//    the browser asking first (a question this server never answers yes).
//  - The access token ("HTTPAccessToken"), when set, as the resource asks.
//  - Without a token, other machines may only read: a request that changes
//    state (a command included) from a peer other than loopback needs the
//    token set and carried.
//
// A resource states what it needs with HttpAccess (http_resource::access);
// HttpServer and HTTPVirtualDisplayOutput call HttpAccessRules::Check.

#include <cstddef>
#include <string>
#include <vector>

struct sockaddr;

namespace httpserver {
class http_request;
}

// What one request to a resource asks of the rules.
struct HttpAccess {
    enum class Kind {
        Read,    // looks only: the Host check (and the token)
        Change,  // changes state: also proof that it comes from the board's own pages
    };
    enum class Token {
        IfSet,  // the token when one is set
        None,   // never asked for a read (pages, and what a page needs before it knows the token)
    };
    Kind kind = Kind::Read;
    Token token = Token::IfSet;
    size_t maxBodyBytes = 0;  // 0: the server's limit (65536)

    static HttpAccess Read(Token t = Token::IfSet) { return {Kind::Read, t, 0}; }
    static HttpAccess Change(size_t maxBody = 0, Token t = Token::IfSet) { return {Kind::Change, t, maxBody}; }
};

// Limits shared by every HTTP listener of the daemon.
namespace HttpLimits {
constexpr unsigned CONNECTIONS = 64;
// One address holding connections open (idle or slow) leaves the rest for
// everybody else: a browser needs six, a few of them with pages open fit.
constexpr unsigned CONNECTIONS_PER_ADDRESS = 16;
// A request whose head has not arrived in full by then is dropped, however
// slowly it keeps trickling in.
constexpr int REQUEST_HEAD_SECONDS = 10;
// Connections still waiting for their request may hold at most this many
// of the places; beyond, the oldest of them is dropped for a new one if it
// waited UNFINISHED_GRACE_MS (a client merely not served yet has sent its
// request long before), else the new one.
constexpr unsigned UNFINISHED_REQUESTS = CONNECTIONS / 2;
constexpr int UNFINISHED_GRACE_MS = 1000;
constexpr size_t MAX_REQUEST_HEAD_BYTES = 8192;
}  // namespace HttpLimits

class HttpAccessRules {
public:
    // Why a request is refused: status 0 when it is not.
    struct Verdict {
        int status = 0;
        std::string message;
        bool allowed() const { return status == 0; }
    };

    HttpAccessRules() {}
    // allowedHosts: extra host names the board answers to; "*" for any.
    HttpAccessRules(const std::string& token, const std::vector<std::string>& allowedHosts);
    // From "HTTPAccessToken" and "HTTPAllowedHosts".
    static HttpAccessRules FromSettings();
    // The names of "HTTPAllowedHosts" (separated by commas or blanks).
    static std::vector<std::string> AllowedHostsSetting();

    // The request's method, path, headers and peer decide; its body is not
    // looked at (it has not been read yet).
    Verdict Check(const httpserver::http_request& request, const HttpAccess& access) const;

    // The Host header (with or without port) names this board.
    bool HostAllowed(const std::string& hostHeader) const;
    // Origin, Referer or Sec-Fetch-Site say the request comes from a page
    // of another site.
    bool CrossSite(const httpserver::http_request& request) const;
    // "Authorization: Bearer <token>" carries the token (false when none is set).
    bool CarriesToken(const httpserver::http_request& request) const;
    bool HasToken() const { return !m_token.empty(); }
    // Whether requests from `peer` may change anything: from another
    // machine only with a token set. REMOTE_CHANGES_REFUSED says why not.
    bool ChangesAllowedFrom(const std::string& peer) const { return HasToken() || IsLoopbackPeer(peer); }
    static const char* const REMOTE_CHANGES_REFUSED;

    // The host of a Host header, an origin or a URL, lower case, without
    // port, brackets or trailing dot; empty when it cannot be read.
    static std::string HostOf(const std::string& hostOrUrl);
    static bool IsIpLiteral(const std::string& host);
    static bool IsLoopbackPeer(const std::string& address);
    // A peer's socket address as requests carry it ("192.168.1.20", "::1").
    static std::string PeerAddress(const struct sockaddr* address);

private:
    std::string m_token;
    std::vector<std::string> m_allowedHosts;  // lower case
    bool m_anyHost = false;
};
