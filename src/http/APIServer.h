#pragma once
// The daemon's HTTP interface: reads the HTTP settings ("HTTPPort",
// "HTTPBindAddress", "HTTPAccessToken", "HTTPAllowedHosts"), mounts the API below /kivd
// (src/http/KivdApi) and /metrics (src/http/Metrics), serves the pages of <installation>/www at "/" and
// starts HttpServer::INSTANCE. The main loop
// creates it before it runs and deletes it after, which stops the server.
// Other units mount their resources on HttpServer::INSTANCE themselves.

#include <string>

class APIServer {
public:
    // The port used when "HTTPPort" is not set.
    static constexpr int DEFAULT_PORT = 32320;

    APIServer();
    ~APIServer();

    // False when the server is turned off ("HTTPPort" 0) or cannot listen
    // (logged, and a warning names the address).
    bool Init();

private:
    bool m_started = false;
    std::string m_warning;
};
