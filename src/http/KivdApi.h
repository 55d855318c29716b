#pragma once
// The daemon's HTTP API below /kivd: the status documents (daemon,
// playlist, schedule, scheduler, warnings, command list), each the answer of
// the matching command, and POST /kivd/command, which runs a command from a
// JSON body as the command socket does. APIServer mounts it on the daemon's
// server; the paths and answers are in docs/http-api.md.

#include <string>

#include <json/json.h>

class HttpServer;

namespace KivdApi {

// The largest command document accepted, as on the command socket.
constexpr unsigned MAX_COMMAND_BYTES = 65536;

// The body of POST /kivd/command read into `doc`; false with the status
// (400 or 413) and the error text to answer when it is not a command
// document.
bool ParseCommandDocument(const std::string& body, Json::Value& doc, int& status, std::string& error);

void Register(HttpServer& server);
void Unregister(HttpServer& server);

}  // namespace KivdApi
