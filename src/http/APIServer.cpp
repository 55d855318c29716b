#include "http/APIServer.h"

#include "Warnings.h"
#include "http/HttpServer.h"
#include "http/KivdApi.h"
#include "log.h"
#include "settings.h"

APIServer::APIServer() {}

bool APIServer::Init() {
    LogDebug(VB_HTTP, "APIServer::Init()\n");
    HttpServer::Options o;
    o.port = getSettingInt("HTTPPort", DEFAULT_PORT);
    o.address = getSetting("HTTPBindAddress", "127.0.0.1");
    o.accessToken = getSetting("HTTPAccessToken", "");
    o.allowedHosts = HttpAccessRules::AllowedHostsSetting();
    o.maxBodyBytes = KivdApi::MAX_COMMAND_BYTES;
    o.threads = 4;
    if (o.port == 0) {
        LogInfo(VB_HTTP, "HTTP interface turned off (HTTPPort is 0)\n");
        return false;
    }
    KivdApi::Register(HttpServer::INSTANCE);
    HttpServer::INSTANCE.AddStaticDirectory("/", getKIVDDir("/www"));
    if (!HttpServer::INSTANCE.Start(o)) {
        m_warning = "HTTP interface cannot listen on " + o.address + " port " + std::to_string(o.port) + ": " +
                    HttpServer::INSTANCE.LastError();
        WarningHolder::AddWarning(m_warning);
        return false;
    }
    m_started = true;
    if (o.accessToken.empty() && !HttpAccessRules::IsLoopbackPeer(o.address) && o.address != "localhost") {
        LogWarn(VB_HTTP, "HTTP interface open to the network without an access token: anyone who can reach "
                         "%s port %d can run commands (set HTTPAccessToken, see docs/security.md)\n",
                o.address.c_str(), HttpServer::INSTANCE.Port());
    }
    return true;
}

APIServer::~APIServer() {
    if (m_started) HttpServer::INSTANCE.Stop();
    HttpServer::INSTANCE.RemoveStaticDirectory("/");
    KivdApi::Unregister(HttpServer::INSTANCE);
    if (!m_warning.empty()) WarningHolder::RemoveWarning(m_warning);
}
