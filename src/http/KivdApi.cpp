#include "http/KivdApi.h"

#include <memory>
#include <string>
#include <vector>

#include "commands/Commands.h"
#include "common.h"
#include "http/HttpServer.h"
#include "log.h"

using httpserver::error_response;
using httpserver::http_request;
using httpserver::http_resource;
using httpserver::http_response;
using httpserver::string_response;

namespace {

std::shared_ptr<http_response> notAllowed(const http_request& req, const std::string& allow) {
    auto r = error_response(405, "Method " + req.get_method() + " is not allowed on " + req.get_path());
    r->with_header("Allow", allow);
    return r;
}

// The command's own answer: its text and content type, or its error as a
// JSON error with `errorCode`.
std::shared_ptr<http_response> commandAnswer(Command::Result& result, int errorCode) {
    if (result.isError()) return error_response(errorCode, result.get());
    return std::make_shared<string_response>(result.get(), 200, result.contentType());
}

// A read-only document: the answer of a command that takes no arguments.
class DocumentResource : public http_resource {
public:
    explicit DocumentResource(const std::string& command) : m_command(command) {}
    std::shared_ptr<http_response> render_GET(const http_request&) override {
        if (!CommandManager::INSTANCE.getCommand(m_command)) {
            return error_response(503, "\"" + m_command + "\" is not available in this daemon");
        }
        auto result = CommandManager::INSTANCE.run(m_command, {});
        return commandAnswer(*result, 500);
    }
    std::shared_ptr<http_response> render(const http_request& req) override { return notAllowed(req, "GET, HEAD"); }

private:
    std::string m_command;
};

// POST {"command": name, "args": [...]}: what the command socket runs.
class CommandResource : public http_resource {
public:
    std::shared_ptr<http_response> render_POST(const http_request& req) override {
        Json::Value doc;
        int status = 0;
        std::string error;
        if (!KivdApi::ParseCommandDocument(req.get_content(), doc, status, error)) {
            return error_response(status, error);
        }
        std::string name = doc["command"].asString();
        if (!CommandManager::INSTANCE.getCommand(name)) {
            return error_response(404, "Unknown command: \"" + name + "\"");
        }
        LogDebug(VB_HTTP, "Command from %s: %s\n", req.get_requestor().c_str(), SaveJsonToString(doc).c_str());
        auto result = CommandManager::INSTANCE.run(doc);
        return commandAnswer(*result, 422);
    }
    std::shared_ptr<http_response> render(const http_request& req) override { return notAllowed(req, "POST"); }
};

struct Mount {
    const char* path;
    const char* command;  // nullptr: the command runner
};

const Mount MOUNTS[] = {
    {"/kivd/status", "Get Status"},      {"/kivd/playlist", "Get Playlist Status"},
    {"/kivd/schedule", "Get Schedule"},  {"/kivd/scheduler", "Get Scheduler Info"},
    {"/kivd/warnings", "Get Warnings"},  {"/kivd/commands", "List Commands"},
    {"/kivd/inputs", "Get Inputs"},
    {"/kivd/plugins", "Get Plugins"},
    {"/kivd/systems", "Get Systems"},
    {"/kivd/effects", "Get Running Effects"},
    {"/kivd/effects/files", "Get Effects"},
    {"/kivd/overlays", "Get Overlay Models"},
    {"/kivd/fonts", "Get Fonts"},
    {"/kivd/command", nullptr},
};

std::vector<std::unique_ptr<http_resource>> resources;  // owned here, created by Register on the main thread

}  // namespace

bool KivdApi::ParseCommandDocument(const std::string& body, Json::Value& doc, int& status, std::string& error) {
    status = 400;
    if (body.size() > MAX_COMMAND_BYTES) {
        status = 413;
        error = "Command document larger than " + std::to_string(MAX_COMMAND_BYTES) + " bytes";
        return false;
    }
    // The client is told; the log is not, so garbage sent in a loop cannot
    // fill the card.
    if (!ParseJson(body, doc)) {
        error = "Request body is not valid JSON";
        return false;
    }
    if (!doc.isObject() || !doc["command"].isString()) {
        error = "Invalid command document: \"command\" must be a string";
        return false;
    }
    if (!doc["args"].isNull() && !doc["args"].isArray()) {
        error = "Invalid command document: \"args\" must be an array";
        return false;
    }
    return true;
}

void KivdApi::Register(HttpServer& server) {
    if (!resources.empty()) return;
    for (auto& m : MOUNTS) {
        std::unique_ptr<http_resource> r;
        if (m.command) {
            r = std::make_unique<DocumentResource>(m.command);
        } else {
            r = std::make_unique<CommandResource>();
        }
        server.RegisterResource(m.path, r.get());
        resources.push_back(std::move(r));
    }
}

void KivdApi::Unregister(HttpServer& server) {
    if (resources.empty()) return;
    for (auto& m : MOUNTS) server.UnregisterResource(m.path);
    resources.clear();
}
