#include "http/APIServer.h"

#include "Warnings.h"
#include "http/BoardApi.h"
#include "http/HttpServer.h"
#include "http/KivdApi.h"
#include "http/Metrics.h"
#include "http/SetupApi.h"
#include "log.h"
#include "services/Timers.h"
#include "settings.h"

namespace {
const char* const REFUSALS_TIMER = "HTTP refusals";
constexpr int REFUSALS_REPORT_MS = 60000;
}  // namespace

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
    Metrics::Register(HttpServer::INSTANCE);
    SetupApi::Register(HttpServer::INSTANCE);
    BoardApi::Register(HttpServer::INSTANCE);
    HttpServer::INSTANCE.AddStaticDirectory("/", getKIVDDir("/www"));
    if (!HttpServer::INSTANCE.Start(o)) {
        m_warning = "HTTP interface cannot listen on " + o.address + " port " + std::to_string(o.port) + ": " +
                    HttpServer::INSTANCE.LastError();
        WarningHolder::AddWarning(m_warning);
        return false;
    }
    m_started = true;
    // Refused requests come in floods: the log sums them up once a minute.
    Timers::INSTANCE.addPeriodicTimer(REFUSALS_TIMER, REFUSALS_REPORT_MS,
                                      [] { HttpServer::INSTANCE.ReportRefusals(); });
    if (o.accessToken.empty() && !HttpAccessRules::IsLoopbackPeer(o.address) && o.address != "localhost") {
        // The access rules let other machines only read then.
        LogWarn(VB_HTTP, "HTTP interface open to the network on %s port %d without an access token: other "
                         "machines may only read, not run commands or change anything. %s (see docs/security.md)\n",
                o.address.c_str(), HttpServer::INSTANCE.Port(), HttpAccessRules::REMOTE_CHANGES_REFUSED);
    }
    return true;
}

APIServer::~APIServer() {
    if (m_started) {
        Timers::INSTANCE.stopPeriodicTimer(REFUSALS_TIMER);
        HttpServer::INSTANCE.Stop();
    }
    HttpServer::INSTANCE.RemoveStaticDirectory("/");
    KivdApi::Unregister(HttpServer::INSTANCE);
    Metrics::Unregister(HttpServer::INSTANCE);
    SetupApi::Unregister(HttpServer::INSTANCE);
    BoardApi::Unregister(HttpServer::INSTANCE);
    if (!m_warning.empty()) WarningHolder::RemoveWarning(m_warning);
}
