#pragma once
// What the pages show of the board itself: the last lines of the log,
// filtered by level and facility, and the whole log file to download;
// and the board's network interfaces, which outputs and sync pick from.
// APIServer mounts it; docs/http-api.md lists the paths.

class HttpServer;

namespace BoardApi {

// The most lines GET /kivd/log answers with.
constexpr int MAX_LOG_LINES = 1000;

void Register(HttpServer& server);
void Unregister(HttpServer& server);

}  // namespace BoardApi
