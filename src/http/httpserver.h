#pragma once
// The request, response and resource types of the daemon's web server, in
// the shape of libhttpserver's (http_resource with one render method per
// verb, http_request, string_response), so a unit that serves a page only
// derives from http_resource and mounts it with HttpServer::RegisterResource.
// HttpServer (src/http/HttpServer) turns libmicrohttpd requests into these.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "http/HttpAccess.h"

namespace httpserver {

class http_response;

// Where a request body goes instead of memory (a resource that takes large
// uploads gives one from body_sink_for): each piece is handed over as it
// arrives. The request's render method then finishes what the sink wrote;
// a request cut off before its end only destroys the sink.
class body_sink {
public:
    virtual ~body_sink() {}
    // False: the rest of the body is read and dropped; the render method
    // still runs and reports the failure.
    virtual bool write(const char* data, size_t len) = 0;
    // An answer known from the head alone (the body would not fit where
    // it goes): sent at once, and the body is not read.
    virtual std::shared_ptr<http_response> refusal() const { return nullptr; }
};

class http_request {
public:
    http_request() {}
    http_request(const std::string& method, const std::string& path) : m_method(method), m_path(path) {}

    // The path without the query, percent-decoded ("/kivd/ports/list").
    const std::string& get_path() const { return m_path; }
    // The path split at "/", empty pieces left out: {"kivd", "ports", "list"}.
    std::vector<std::string> get_path_pieces() const;
    // One piece of get_path_pieces(), empty when there is none.
    std::string get_path_piece(int index) const;
    const std::string& get_method() const { return m_method; }
    // Header names compare without regard to case.
    std::string get_header(const std::string& name) const;
    const std::map<std::string, std::string>& get_headers() const { return m_headers; }
    // A query argument ("?name=value"), empty when absent.
    std::string get_arg(const std::string& name) const;
    const std::map<std::string, std::string>& get_args() const { return m_args; }
    // The request body.
    const std::string& get_content() const { return m_content; }
    // The peer's address as text.
    const std::string& get_requestor() const { return m_requestor; }
    // The sink that took the body (get_content() is then empty), or null.
    body_sink* get_body_sink() const { return m_sink.get(); }

    // Filled by the server.
    void set_method(const std::string& m) { m_method = m; }
    void set_path(const std::string& p) { m_path = p; }
    void set_header(const std::string& name, const std::string& value);
    void set_arg(const std::string& name, const std::string& value) { m_args[name] = value; }
    void set_content(const std::string& c) { m_content = c; }
    std::string& content() { return m_content; }
    void set_requestor(const std::string& r) { m_requestor = r; }
    void set_body_sink(std::shared_ptr<body_sink> sink) { m_sink = std::move(sink); }

private:
    std::string m_method;
    std::string m_path;
    std::map<std::string, std::string> m_headers;  // names in lower case
    std::map<std::string, std::string> m_args;
    std::string m_content;
    std::string m_requestor;
    std::shared_ptr<body_sink> m_sink;
};

class http_response {
public:
    http_response(int code = 200, const std::string& contentType = "text/plain")
        : m_code(code), m_contentType(contentType) {}
    virtual ~http_response() {}

    int get_response_code() const { return m_code; }
    const std::string& get_content_type() const { return m_contentType; }
    const std::map<std::string, std::string>& get_headers() const { return m_headers; }
    std::string get_header(const std::string& name) const;
    http_response& with_header(const std::string& name, const std::string& value) {
        m_headers[name] = value;
        return *this;
    }
    // The body held in memory; a file_response streams its file instead.
    virtual const std::string& get_body() const;
    // The file to send, empty for responses held in memory.
    virtual const std::string& get_file() const;

protected:
    int m_code;
    std::string m_contentType;
    std::map<std::string, std::string> m_headers;
};

class string_response : public http_response {
public:
    string_response(const std::string& body = "", int code = 200, const std::string& contentType = "text/plain")
        : http_response(code, contentType), m_body(body) {}
    const std::string& get_body() const override { return m_body; }

private:
    std::string m_body;
};

// Sends a file's contents; the server opens it when it answers (a file
// that cannot be opened then gives 404).
class file_response : public http_response {
public:
    file_response(const std::string& path, int code = 200, const std::string& contentType = "text/plain")
        : http_response(code, contentType), m_path(path) {}
    const std::string& get_file() const override { return m_path; }

private:
    std::string m_path;
};

// A JSON error answer: {"error": message} with the status code.
std::shared_ptr<http_response> error_response(int code, const std::string& message);

// A resource mounted at a path. Each verb has its render method; by default
// they all call render(), which answers 405 Method Not Allowed, and HEAD
// answers as GET does. Render methods run on the server's worker threads,
// several at once, and must not block for long.
class http_resource {
public:
    virtual ~http_resource() {}

    virtual std::shared_ptr<http_response> render(const http_request& req);
    virtual std::shared_ptr<http_response> render_GET(const http_request& req) { return render(req); }
    virtual std::shared_ptr<http_response> render_HEAD(const http_request& req) { return render_GET(req); }
    virtual std::shared_ptr<http_response> render_POST(const http_request& req) { return render(req); }
    virtual std::shared_ptr<http_response> render_PUT(const http_request& req) { return render(req); }
    virtual std::shared_ptr<http_response> render_DELETE(const http_request& req) { return render(req); }
    virtual std::shared_ptr<http_response> render_PATCH(const http_request& req) { return render(req); }
    virtual std::shared_ptr<http_response> render_OPTIONS(const http_request& req) { return render(req); }

    // Picks the render method for the request's verb.
    std::shared_ptr<http_response> render_method(const http_request& req);

    // What a request must show before it is served (src/http/HttpAccess.h),
    // decided from its head alone: the body has not been read yet. By
    // default GET, HEAD and OPTIONS read and every other verb changes
    // state; a resource whose GET changes something, or that takes larger
    // bodies or needs the token from other machines, says so here.
    virtual HttpAccess access(const http_request& req);
    // Called on an admitted request's head: a sink to stream its body into,
    // or null to collect it in memory (the default).
    virtual std::shared_ptr<body_sink> body_sink_for(const http_request& head) { return nullptr; }
};

}  // namespace httpserver
