// The access rules on request heads alone: which host names a request may
// be addressed to, when a request comes from another site, what a request
// that changes state must carry, and the token rules; and the request-head
// parser of the listeners without a web server.

#include "http/HttpAccess.h"

#include <gtest/gtest.h>

#include "http/HttpRequestHead.h"
#include "http/httpserver.h"

using httpserver::http_request;

namespace {

http_request head(const std::string& method, const std::vector<std::pair<std::string, std::string>>& headers,
                  const std::string& peer = "127.0.0.1") {
    http_request r(method, "/kivd/command");
    for (auto& h : headers) r.set_header(h.first, h.second);
    r.set_requestor(peer);
    return r;
}

}  // namespace

TEST(HttpAccess, RequestsAreTriedOnHostOriginContentTypeAndToken) {
    HttpAccessRules open("", {"kiv.example.home"});
    HttpAccessRules locked("s3cret", {});
    const auto read = HttpAccess::Read();
    const auto change = HttpAccess::Change();
    const std::string other = "192.168.1.20";
    const std::pair<std::string, std::string> json = {"Content-Type", "application/json; charset=utf-8"};
    struct Case {
        const char* name;
        const HttpAccessRules& rules;
        HttpAccess access;
        http_request request;
        int status;
    } cases[] = {
        {"no Host (HTTP/1.0 script)", open, read, head("GET", {}), 0},
        {"IPv4 address", open, read, head("GET", {{"Host", "192.168.1.5:32320"}}), 0},
        {"IPv6 address", open, read, head("GET", {{"Host", "[fe80::1]:32320"}}), 0},
        {"localhost", open, read, head("GET", {{"Host", "localhost:32320"}}), 0},
        {"listed name, any case, trailing dot", open, read, head("GET", {{"Host", "KIV.example.home.:443"}}), 0},
        {"rebinding name", open, read, head("GET", {{"Host", "evil.example:32320"}}), 403},
        {"broken bracket", open, read, head("GET", {{"Host", "[::1"}}), 403},
        {"a read ignores Origin", open, read, head("GET", {{"Host", "10.0.0.2"}, {"Origin", "http://evil.example"}}), 0},
        {"own page, other port", open, change,
         head("POST", {{"Host", "10.0.0.2:32328"}, {"Origin", "http://10.0.0.2:32320"}, json}), 0},
        {"listed proxy name as origin", open, change,
         head("POST", {{"Host", "10.0.0.2"}, {"Origin", "https://kiv.example.home"}, json}), 0},
        {"foreign Origin", open, change, head("POST", {{"Host", "10.0.0.2"}, {"Origin", "http://evil.example"}, json}),
         403},
        {"null Origin", open, change, head("POST", {{"Host", "10.0.0.2"}, {"Origin", "null"}, json}), 403},
        {"foreign Referer", open, change,
         head("GET", {{"Host", "10.0.0.2"}, {"Referer", "http://evil.example/page.html"}}), 403},
        {"Origin wins over Referer", open, change,
         head("POST", {{"Host", "10.0.0.2"}, {"Origin", "http://10.0.0.2"}, {"Referer", "http://x.example/"}, json}),
         0},
        {"Sec-Fetch-Site cross-site", open, change,
         head("POST", {{"Host", "10.0.0.2"}, {"Sec-Fetch-Site", "cross-site"}, json}), 403},
        {"Sec-Fetch-Site same-origin", open, change,
         head("POST", {{"Host", "10.0.0.2"}, {"Sec-Fetch-Site", "same-origin"}, json}), 0},
        {"text/plain body", open, change, head("POST", {{"Host", "10.0.0.2"}, {"Content-Type", "text/plain"}}), 415},
        {"form body", open, change,
         head("POST", {{"Content-Type", "application/x-www-form-urlencoded"}}), 415},
        {"custom header instead", open, change, head("POST", {{"X-Requested-With", "curl"}}), 0},
        {"empty form POST", open, change, head("POST", {{"Content-Length", "0"}}), 415},
        {"DELETE without a body", open, change, head("DELETE", {}), 0},
        {"DELETE with an empty body", open, change, head("DELETE", {{"Content-Length", "0"}}), 0},
        {"DELETE with a plain-text body", open, change,
         head("DELETE", {{"Content-Length", "2"}, {"Content-Type", "text/plain"}}), 415},
        {"PUT of a chunked body", open, change, head("PUT", {{"Transfer-Encoding", "chunked"}}), 415},
        {"a GET that changes needs no body type", open, change, head("GET", {{"Host", "10.0.0.2"}}), 0},
        {"token missing", locked, read, head("GET", {}), 401},
        {"token wrong", locked, read, head("GET", {{"Authorization", "Bearer s3cre"}}), 401},
        {"token right, no body type needed", locked, change, head("POST", {{"Authorization", "bearer s3cret"}}), 0},
        {"token waived", locked, HttpAccess::Read(HttpAccess::Token::None), head("GET", {}), 0},
        {"another machine reads without a token", open, read, head("GET", {}, other), 0},
        {"another machine changes nothing without a token", open, change, head("POST", {json}, other), 403},
        {"nor with a GET that changes", open, change, head("GET", {}, other), 403},
        {"loopback changes without a token", open, change, head("POST", {json}), 0},
        {"mapped loopback", open, change, head("POST", {json}, "::ffff:127.0.0.1"), 0},
        {"another machine with the token", locked, change,
         head("POST", {{"Authorization", "Bearer s3cret"}}, other), 0},
        {"another machine without it", locked, change, head("POST", {json}, other), 401},
        {"even where a read waives it", locked, HttpAccess::Change(0, HttpAccess::Token::None),
         head("POST", {json}, other), 401},
        {"loopback still needs a set token", locked, change, head("POST", {json}, "::1"), 401},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.rules.Check(c.request, c.access).status, c.status);
    }
    EXPECT_EQ(open.Check(head("PUT", {json}, other), change).message,
              std::string("Set HTTPAccessToken to use this from another machine"));
    EXPECT_FALSE(open.ChangesAllowedFrom(other));
    EXPECT_TRUE(open.ChangesAllowedFrom("127.0.0.1"));
    EXPECT_TRUE(locked.ChangesAllowedFrom(other));
    HttpAccessRules any("", {"*"});
    EXPECT_TRUE(any.HostAllowed("whatever.example"));
    EXPECT_EQ(HttpAccessRules::HostOf("http://user@[::1]:80/path?q#f"), "::1");
    EXPECT_EQ(HttpAccessRules::HostOf("fe80::1"), "fe80::1");
}

TEST(HttpRequestHead, ParsesWhatArrivedAndRefusesWhatIsNotARequest) {
    struct Case {
        const char* name;
        std::string bytes;
        HttpRequestHead::Status status;
    } cases[] = {
        {"partial line", "GET / HT", HttpRequestHead::Status::Incomplete},
        {"no blank line yet", "GET / HTTP/1.1\r\nHost: a\r\n", HttpRequestHead::Status::Incomplete},
        {"bare request", "GET / HTTP/1.0\r\n\r\n", HttpRequestHead::Status::Complete},
        {"three words", "GET /  HTTP/1.1\r\n\r\n", HttpRequestHead::Status::Malformed},
        {"not a path", "GET http://x/ HTTP/1.1\r\n\r\n", HttpRequestHead::Status::Malformed},
        {"version", "GET / HTTP/2.0\r\n\r\n", HttpRequestHead::Status::Malformed},
        {"folded header", "GET / HTTP/1.1\r\nA: b\r\n c\r\n\r\n", HttpRequestHead::Status::Malformed},
        {"blank in name", "GET / HTTP/1.1\r\nHost : a\r\n\r\n", HttpRequestHead::Status::Malformed},
        {"control character", std::string("GET / HTTP/1.1\r\nA: b\x01\r\n\r\n"), HttpRequestHead::Status::Malformed},
        {"endless", "GET / HTTP/1.1\r\nA: " + std::string(9000, 'x'), HttpRequestHead::Status::TooLarge},
        {"too many fields", "GET / HTTP/1.1\r\n" + [] {
             std::string s;
             for (int i = 0; i < 101; ++i) s += "A" + std::to_string(i) + ": 1\r\n";
             return s;
         }() + "\r\n",
         HttpRequestHead::Status::TooLarge},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        HttpRequestHead h;
        EXPECT_EQ(ParseHttpRequestHead(c.bytes.data(), c.bytes.size(), h), c.status);
    }

    std::string bytes = "GET /a%20b?token=t%2Bk+x&n HTTP/1.1\r\nHost:  10.0.0.2:32328 \r\nOrigin: o\r\n"
                        "Origin: second\r\n\r\nnext";
    HttpRequestHead h;
    ASSERT_EQ(ParseHttpRequestHead(bytes.data(), bytes.size(), h), HttpRequestHead::Status::Complete);
    EXPECT_EQ(h.length, bytes.size() - 4);
    http_request r;
    ASSERT_TRUE(ToHttpRequest(h, "10.0.0.9", r));
    EXPECT_EQ(r.get_path(), "/a b");
    EXPECT_EQ(r.get_arg("token"), "t+k x");
    EXPECT_EQ(r.get_header("host"), "10.0.0.2:32328");
    EXPECT_EQ(r.get_header("Origin"), "o") << "a repeated field cannot replace the one checked";
    EXPECT_EQ(r.get_requestor(), "10.0.0.9");
    h.target = "/%zz";
    EXPECT_FALSE(ToHttpRequest(h, "", r));
}
