#include "http/BoardApi.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <map>
#include <memory>
#include <vector>

#include "common.h"
#include "http/HttpServer.h"
#include "log.h"

using httpserver::error_response;
using httpserver::file_response;
using httpserver::http_request;
using httpserver::http_resource;
using httpserver::http_response;
using httpserver::string_response;

namespace {

std::shared_ptr<http_response> json(const Json::Value& v) {
    return std::make_shared<string_response>(SaveJsonToString(v) + "\n", 200, "application/json");
}

std::shared_ptr<http_response> notAllowed(const http_request& req) {
    auto r = error_response(405, "Method " + req.get_method() + " is not allowed on " + req.get_path());
    r->with_header("Allow", "GET, HEAD");
    return r;
}

const char* const LEVELS[] = {"error", "warn", "info", "debug", "excess"};

// /kivd/log?level=warn&facility=HTTP&lines=200&after=N: the newest lines
// of at most that level, oldest first; /kivd/log/file: the log file.
class LogResource : public http_resource {
public:
    std::shared_ptr<http_response> render_GET(const http_request& req) override {
        if (req.get_path() == "/kivd/log/file") return File();
        if (req.get_path() != "/kivd/log") return error_response(404, "Not found: " + req.get_path());
        LogLevel level = LOG_EXCESS;
        std::string word = req.get_arg("level");
        if (!word.empty()) {
            auto at = std::find(std::begin(LEVELS), std::end(LEVELS), word);
            if (at == std::end(LEVELS)) return error_response(400, "level must be error, warn, info, debug or excess");
            level = (LogLevel)(at - std::begin(LEVELS) + 1);
        }
        std::string facility = req.get_arg("facility");
        auto names = KIVLogger::INSTANCE.FacilityNames();
        if (!facility.empty() && std::find(names.begin(), names.end(), facility) == names.end()) {
            return error_response(400, "No log facility '" + facility + "'");
        }
        int lines = req.get_arg("lines").empty() ? 200 : atoi(req.get_arg("lines").c_str());
        lines = std::max(1, std::min(lines, BoardApi::MAX_LOG_LINES));
        unsigned long long after = strtoull(req.get_arg("after").c_str(), nullptr, 10);
        Json::Value v;
        v["lines"] = Json::Value(Json::arrayValue);
        for (auto& l : RecentLogLines(level, facility, after, lines)) {
            Json::Value e;
            e["seq"] = (Json::UInt64)l.seq;
            e["level"] = LogLevelToString(l.level);
            e["facility"] = l.facility;
            std::string text = l.text;
            while (!text.empty() && text.back() == '\n') text.pop_back();
            e["text"] = text;
            v["lines"].append(e);
        }
        for (auto& n : names) v["facilities"].append(n);
        for (auto* w : LEVELS) v["levels"].append(w);
        v["levelsInForce"] = KIVLogger::INSTANCE.GetLogLevelString();
        v["file"] = loggingToFile();
        return json(v);
    }
    std::shared_ptr<http_response> render(const http_request& req) override { return notAllowed(req); }

private:
    static std::shared_ptr<http_response> File() {
        if (!loggingToFile()) return error_response(404, "kivd logs to " + GetLogFile() + ", not to a file");
        auto r = std::make_shared<file_response>(GetLogFile(), 200, "text/plain; charset=utf-8");
        r->with_header("Content-Disposition", "attachment; filename=\"kivd.log\"");
        return r;
    }
};

// /kivd/interfaces: [{"name", "up", "loopback", "addresses": [...]}], by name.
class InterfacesResource : public http_resource {
public:
    std::shared_ptr<http_response> render_GET(const http_request&) override {
        std::map<std::string, Json::Value> found;
        struct ifaddrs* list = nullptr;
        if (getifaddrs(&list) != 0) return error_response(500, std::string("Cannot list interfaces: ") + strerror(errno));
        for (struct ifaddrs* a = list; a; a = a->ifa_next) {
            Json::Value& i = found[a->ifa_name];
            i["name"] = a->ifa_name;
            i["up"] = (a->ifa_flags & IFF_UP) != 0;
            i["loopback"] = (a->ifa_flags & IFF_LOOPBACK) != 0;
            if (!i.isMember("addresses")) i["addresses"] = Json::Value(Json::arrayValue);
            if (!a->ifa_addr || (a->ifa_addr->sa_family != AF_INET && a->ifa_addr->sa_family != AF_INET6)) continue;
            char host[NI_MAXHOST];
            socklen_t len = a->ifa_addr->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
            if (getnameinfo(a->ifa_addr, len, host, sizeof(host), nullptr, 0, NI_NUMERICHOST) == 0) {
                i["addresses"].append(host);
            }
        }
        freeifaddrs(list);
        Json::Value v(Json::arrayValue);
        for (auto& f : found) v.append(f.second);
        return json(v);
    }
    std::shared_ptr<http_response> render(const http_request& req) override { return notAllowed(req); }
};

struct Mount {
    const char* path;
    bool family;
};
const Mount MOUNTS[] = {{"/kivd/log", true}, {"/kivd/interfaces", false}};

std::vector<std::unique_ptr<http_resource>> resources;  // owned here, created by Register on the main thread

}  // namespace

void BoardApi::Register(HttpServer& server) {
    if (!resources.empty()) return;
    resources.push_back(std::make_unique<LogResource>());
    resources.push_back(std::make_unique<InterfacesResource>());
    for (size_t i = 0; i < resources.size(); ++i) server.RegisterResource(MOUNTS[i].path, resources[i].get(), MOUNTS[i].family);
}

void BoardApi::Unregister(HttpServer& server) {
    if (resources.empty()) return;
    for (auto& m : MOUNTS) server.UnregisterResource(m.path);
    resources.clear();
}
