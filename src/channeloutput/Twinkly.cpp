#include "channeloutput/Twinkly.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>

#include "ByteOrder.h"
#include "common.h"
#include "log.h"
#include "services/CurlManager.h"
#include "services/Timers.h"
#include "settings.h"

// Real-time datagram: 0 version 3 | 1 token (8) | 9 zero | 10 zero | 11 packet index | 12 up to 900 channels
static constexpr uint8_t TWINKLY_RT_VERSION = 3;
static constexpr int TOKEN_AT = 1;
static constexpr int INDEX_AT = 11;
static constexpr int TOKEN_OK_CODE = 1000;

// The controller signs whatever challenge it gets; the answer is not checked.
static const unsigned char LOGIN_CHALLENGE[32] = {'K', 'I', 'V', ' ', 's', 'h', 'o', 'w', ' ', 'c', 'o',
                                                  'n', 't', 'r', 'o', 'l', 'l', 'e', 'r', ' ', 'T', 'w',
                                                  'i', 'n', 'k', 'l', 'y', ' ', 'l', 'o', 'g', '!'};

TwinklyOutputData::TwinklyOutputData(const Json::Value& config) : UDPOutputData(config) {
    ResolveDestination(m_to, TWINKLY_PORT);
    if (!CheckChannelSpan(startChannel, channelCount)) return;
    int count = (channelCount + TWINKLY_MAX_DATA - 1) / TWINKLY_MAX_DATA;
    for (int i = 0; i < count; ++i) {
        int offset = i * TWINKLY_MAX_DATA;
        Packet& p = AddPacket(TWINKLY_HEADER_LEN, offset, std::min(TWINKLY_MAX_DATA, channelCount - offset));
        p.header[0] = TWINKLY_RT_VERSION;
        p.header[9] = 0;
        p.header[10] = 0;
        p.header[INDEX_AT] = (uint8_t)i;
    }
    FinishPackets();
}

TwinklyOutputData::~TwinklyOutputData() {
    // The timer's callback points at this destination.
    Timers::INSTANCE.stopPeriodicTimer(TimerName());
}

std::string TwinklyOutputData::Token() {
    std::lock_guard<std::mutex> lock(m_tokenLock);
    return m_token;
}

Json::Value TwinklyOutputData::callRestAPI(bool post, const std::string& path, const std::string& body) {
    std::string url = "http://" + address + "/" + path;
    CURL* curl = curl_easy_init();
    if (!curl) return Json::Value();
    std::string response;
    std::string agent = std::string("KIV/") + getKIVVersionTriplet();
    struct curl_slist* headers = nullptr;
    if (!body.empty() && body.front() == '{' && body.back() == '}') {
        headers = curl_slist_append(headers, "Accept: application/json");
        headers = curl_slist_append(headers, "Content-Type: application/json");
    }
    std::string token = Token();
    if (!token.empty()) headers = curl_slist_append(headers, ("X-Auth-Token: " + token).c_str());
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_USERAGENT, agent.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, 2000L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 5000L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, urlWriteData);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response);
    if (headers) curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    if (post) {
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, (long)body.size());
    }
    CURLcode res = curl_easy_perform(curl);
    if (headers) curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    if (res != CURLE_OK) {
        LogErr(VB_CHANNELOUT, "curl_easy_perform() failed: %s\n", curl_easy_strerror(res));
        return Json::Value();
    }
    LogDebug(VB_CHANNELOUT, "%s %s resp: %s\n", post ? "POST" : "GET", url.c_str(), response.c_str());
    Json::Value v;
    if (!LoadJsonFromString(response, v)) return Json::Value();
    return v;
}

void TwinklyOutputData::authenticate() {
    std::lock_guard<std::mutex> auth(m_authLock);
    try {
        Json::Value challenge(Json::objectValue);
        challenge["challenge"] = base64Encode(LOGIN_CHALLENGE, sizeof(LOGIN_CHALLENGE));
        Json::Value resp = callRestAPI(true, "xled/v1/login", SaveJsonToString(challenge));
        if (!resp.isObject() || !resp["authentication_token"].isString() ||
            resp["authentication_token"].asString().empty()) {
            LogWarn(VB_CHANNELOUT, "Twinkly %s: login answered without a token\n", address.c_str());
            return;
        }
        std::string token = resp["authentication_token"].asString();
        std::vector<unsigned char> decoded = base64Decode(token);
        if (decoded.size() > TWINKLY_TOKEN_BYTES) decoded.resize(TWINKLY_TOKEN_BYTES);
        {
            std::lock_guard<std::mutex> lock(m_tokenLock);
            m_token = token;
            m_pendingToken.assign(decoded.begin(), decoded.end());
            m_tokenChanged = true;
        }
        m_frameCounter = 0;
        callRestAPI(true, "xled/v1/verify", "");
        callRestAPI(true, "xled/v1/led/mode", "{\"mode\": \"rt\"}");
    } catch (const std::exception& e) {
        LogDebug(VB_CHANNELOUT, "Twinkly %s: login response not understood: %s\n", address.c_str(), e.what());
    }
}

void TwinklyOutputData::verifyToken() {
    std::weak_ptr<int> alive = m_alive;
    std::list<std::string> headers = {"X-Auth-Token: " + Token()};
    CurlManager::INSTANCE.add("http://" + address + "/xled/v1/verify", "GET", "", headers,
                              [this, alive](int code, const std::string& response) {
                                  if (alive.expired() || code != 200) return;
                                  try {
                                      Json::Value v;
                                      if (!LoadJsonFromString(response, v) || !v.isObject()) return;
                                      if (JsonInt(v, "code", 0) != TOKEN_OK_CODE) {
                                          LogInfo(VB_CHANNELOUT, "Twinkly %s rejected the token, logging in again\n",
                                                  address.c_str());
                                          authenticate();
                                      }
                                  } catch (const std::exception&) {
                                  }
                              });
}

void TwinklyOutputData::StartingOutput() {
    authenticate();
    Timers::INSTANCE.addPeriodicTimer(TimerName(), TWINKLY_VERIFY_PERIOD_MS, [this]() { verifyToken(); });
}

void TwinklyOutputData::StoppingOutput() {
    callRestAPI(true, "xled/v1/led/mode", "{\"mode\": \"off\"}");
    {
        std::lock_guard<std::mutex> lock(m_tokenLock);
        m_token.clear();
    }
    Timers::INSTANCE.stopPeriodicTimer(TimerName());
}

void TwinklyOutputData::PrepareData(unsigned char* channelData, UDPOutputMessages& msgs) {
    if (!valid || !active) return;
    if (++m_frameCounter > TWINKLY_RELOGIN_FRAMES) {
        StartingOutput();
        // Also after a failed login: retrying on every frame would stall the
        // show for the HTTP time-out each frame.
        m_frameCounter = 0;
    }
    {
        std::lock_guard<std::mutex> lock(m_tokenLock);
        if (m_tokenChanged) {
            size_t n = std::min(m_pendingToken.size(), (size_t)TWINKLY_TOKEN_BYTES);
            memcpy(m_tokenBytes, m_pendingToken.data(), n);
            for (auto& p : m_packets) memcpy(p.header.data() + TOKEN_AT, m_pendingToken.data(), n);
            m_tokenChanged = false;
        }
    }
    QueueChangedPackets(channelData, msgs, m_to.sin_addr.s_addr, m_to);
}

void TwinklyOutputData::DumpConfig() {
    LogDebug(VB_CHANNELOUT, "Twinkly: %s   %d:%d:%d:%d  %s\n", description.c_str(), (int)active, startChannel,
             channelCount, type, address.c_str());
}
