#pragma once
// Fuzz inputs for what the daemon takes from the network and that no
// other target covers, shared by the libFuzzer targets (fuzz/*_fuzz.cpp)
// and the test that replays their seeds (tests/http/NetworkFuzzCorpusTest):
//
//  - RunCommandRequest: an HTTP request to the command path, through the
//    access rules and the command parser to a command that checks what it
//    gets. Byte 0 picks the head: bits 0-1 the content type (JSON, JSON
//    with a charset, text/plain, none), bits 2-3 the Origin (none, the
//    board's, another site's, "null"), bits 4-5 the token (none, right,
//    wrong, another scheme); the rest is the body.
//  - RunStreamRequest: bytes arriving on the virtual display's port, read
//    as a request head in two pieces (byte 0 is where the first ends), and
//    tried on the access rules as the stream does.
//  - RunMqttMessage: a message from the broker. Byte 0 bit 0 is its
//    retain flag; the topic runs to the first new line (or NUL), the
//    payload is the rest. Routed to the daemon's own subscriptions and
//    parsed as a system request and as a request of Home Assistant.
// Each aborts on a result that breaks what the code promises.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <cstdlib>
#include <memory>
#include <string>

#include "commands/Commands.h"
#include "common.h"
#include "http/HttpAccess.h"
#include "http/HttpRequestHead.h"
#include "http/HttpServer.h"
#include "http/KivdApi.h"
#include "http/httpserver.h"
#include "services/HomeAssistant.h"
#include "services/MqttMessages.h"

namespace netfuzz {

inline void check(bool ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "fuzz finding: %s\n", what);
        abort();
    }
}

const char* const TOKEN = "fuzz-token";

// Takes any arguments; counts its runs.
class FuzzEchoCommand : public Command {
public:
    FuzzEchoCommand() : Command("Fuzz Echo") {}
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override {
        ++runs;
        return std::make_unique<Result>(std::to_string(args.size()));
    }
    static inline long runs = 0;
};

// The daemon's server with the API mounted and a token set (it listens on
// a free loopback port; requests are handed to it directly).
inline HttpServer& CommandServer() {
    static HttpServer* server = [] {
        auto* s = new HttpServer();
        CommandManager::INSTANCE.Init();
        CommandManager::INSTANCE.addCommand(new FuzzEchoCommand());
        HttpServer::Options o;
        o.accessToken = TOKEN;
        o.maxBodyBytes = KivdApi::MAX_COMMAND_BYTES;
        check(s->Start(o), "server starts");
        KivdApi::Register(*s);
        return s;
    }();
    return *server;
}

inline void RunCommandRequest(const uint8_t* data, size_t size) {
    if (size < 1) return;
    uint8_t c = data[0];
    httpserver::http_request r("POST", "/kivd/command");
    r.set_requestor("192.168.1.20");
    r.set_header("Host", "192.168.1.5:32320");
    const char* types[] = {"application/json", "Application/JSON; charset=utf-8", "text/plain", nullptr};
    if (types[c & 3]) r.set_header("Content-Type", types[c & 3]);
    const char* origins[] = {nullptr, "http://192.168.1.5:32320", "http://evil.example", "null"};
    if (origins[(c >> 2) & 3]) r.set_header("Origin", origins[(c >> 2) & 3]);
    const char* auths[] = {nullptr, "Bearer fuzz-token", "Bearer fuzz-tokem", "Basic fuzz-token"};
    if (auths[(c >> 4) & 3]) r.set_header("Authorization", auths[(c >> 4) & 3]);
    r.set_content(std::string((const char*)data + 1, size - 1));

    long before = FuzzEchoCommand::runs;
    auto answer = CommandServer().Handle(r);
    check(answer != nullptr, "an answer");
    int status = answer->get_response_code();
    bool allowed = ((c >> 4) & 3) == 1 && ((c >> 2) & 3) < 2;
    if (!allowed) check(status == 401 || status == 403 || status == 415, "refused without the token or from another site");
    check(status == 200 || status == 400 || status == 401 || status == 403 || status == 404 || status == 413 ||
              status == 415 || status == 422,
          "a documented status");
    check(FuzzEchoCommand::runs == before || (allowed && status == 200), "a command ran only when allowed");
    if (status != 200) {
        Json::Value doc;
        check(ParseJson(answer->get_body(), doc) && doc["error"].isString(), "errors are JSON");
    }
}

inline void RunStreamRequest(const uint8_t* data, size_t size) {
    if (size < 1) return;
    const char* bytes = (const char*)data + 1;
    size_t n = size - 1;
    size_t first = std::min<size_t>(data[0], n);
    HttpRequestHead head, part;
    auto status = ParseHttpRequestHead(bytes, n, head);
    auto partStatus = ParseHttpRequestHead(bytes, first, part);
    if (status == HttpRequestHead::Status::Complete) {
        check(head.length <= n && head.length <= HttpLimits::MAX_REQUEST_HEAD_BYTES, "head within the bytes");
        // What came first decides, whatever comes later.
        if (first >= head.length) {
            check(partStatus == status && part.target == head.target, "same head from a longer read");
        } else {
            check(partStatus != HttpRequestHead::Status::Complete, "no head before its blank line");
        }
        httpserver::http_request r;
        if (!ToHttpRequest(head, "10.0.0.9", r)) return;
        check(r.get_path().find('\0') == std::string::npos, "no NUL in a decoded path");
        static const HttpAccessRules rules(TOKEN, {"kiv.example.home"});
        auto verdict = rules.Check(r, HttpAccess::Read());
        check(verdict.allowed() || verdict.status == 401 || verdict.status == 403, "read verdicts");
        check(!verdict.allowed() || rules.CarriesToken(r), "no stream without the token");
    }
}

inline void RunMqttMessage(const uint8_t* data, size_t size) {
    if (size < 1) return;
    static const std::string base = "home/kivd/board1";
    static const std::map<std::string, std::string> subscriptions = {
        {base + "/system/kivd/#", "/system/kivd/#"},
        {base + "/system/shutdown", "/system/shutdown"},
        {base + "/system/restart", "/system/restart"},
        {base + "/ha/+/set", "/ha/+/set"}};
    std::string rest((const char*)data + 1, size - 1);
    size_t end = rest.find_first_of(std::string("\n\0", 2));
    std::string topic = rest.substr(0, end);
    bool retained = data[0] & 1;
    for (auto& d : RouteMqttMessage(base, subscriptions, topic, retained)) {
        check(!retained, "retained messages go nowhere");
        check(base + d.topic == topic, "delivered below the daemon's base");
        SystemRequest request = ParseSystemRequest(d.topic);
        if (request == SystemRequest::StopDaemon) check(d.topic == "/system/kivd/stop", "stop only on its topic");
        if (request == SystemRequest::RebootBoard) check(d.topic == "/system/restart", "reboot only on its topic");
        // Home Assistant's commands: the payload follows the topic's end.
        std::string payload = end == std::string::npos ? "" : rest.substr(end + 1);
        static const std::vector<std::string> playlists = {"evening"}, effects = {"wash.hseq"};
        HomeAssistantRequest ha = HomeAssistant::ParseRequest(d.topic, payload, playlists, effects);
        check(!ha.valid || startsWith(d.topic, "/ha/"), "Home Assistant commands only below ha/");
        check(ha.valid || !ha.reason.empty(), "a refusal says why");
        if (ha.valid && ha.command["command"].asString() == "Start Playlist") {
            check(ha.command["args"][0].asString() == "evening", "only an offered playlist starts");
        }
    }
}

}  // namespace netfuzz
