#include "http/httpserver.h"

#include "common.h"

namespace httpserver {

std::vector<std::string> http_request::get_path_pieces() const {
    std::vector<std::string> pieces;
    for (auto& p : split(m_path, '/')) {
        if (!p.empty()) pieces.push_back(p);
    }
    return pieces;
}

std::string http_request::get_path_piece(int index) const {
    auto pieces = get_path_pieces();
    if (index < 0 || (size_t)index >= pieces.size()) return "";
    return pieces[index];
}

std::string http_request::get_header(const std::string& name) const {
    auto it = m_headers.find(toLowerCopy(name));
    return it == m_headers.end() ? "" : it->second;
}

void http_request::set_header(const std::string& name, const std::string& value) { m_headers[toLowerCopy(name)] = value; }

std::string http_request::get_arg(const std::string& name) const {
    auto it = m_args.find(name);
    return it == m_args.end() ? "" : it->second;
}

std::string http_response::get_header(const std::string& name) const {
    for (auto& h : m_headers) {
        if (toLowerCopy(h.first) == toLowerCopy(name)) return h.second;
    }
    return "";
}

const std::string& http_response::get_body() const {
    static const std::string empty;
    return empty;
}

const std::string& http_response::get_file() const {
    static const std::string empty;
    return empty;
}

std::shared_ptr<http_response> error_response(int code, const std::string& message) {
    Json::Value v;
    v["error"] = message;
    return std::make_shared<string_response>(SaveJsonToString(v) + "\n", code, "application/json");
}

std::shared_ptr<http_response> http_resource::render(const http_request& req) {
    return error_response(405, "Method " + req.get_method() + " is not allowed on " + req.get_path());
}

std::shared_ptr<http_response> http_resource::render_method(const http_request& req) {
    const std::string& m = req.get_method();
    if (m == "GET") return render_GET(req);
    if (m == "HEAD") return render_HEAD(req);
    if (m == "POST") return render_POST(req);
    if (m == "PUT") return render_PUT(req);
    if (m == "DELETE") return render_DELETE(req);
    if (m == "PATCH") return render_PATCH(req);
    if (m == "OPTIONS") return render_OPTIONS(req);
    return render(req);
}

HttpAccess http_resource::access(const http_request& req) {
    const std::string& m = req.get_method();
    if (m == "GET" || m == "HEAD" || m == "OPTIONS") return HttpAccess::Read();
    return HttpAccess::Change();
}

}  // namespace httpserver
