#pragma once
// Twinkly destinations (type 8) of the UDP output engine. The controller is
// logged in to over HTTP and put in real-time mode when output starts;
// frames then go to UDP port 7777 in packets of up to 900 channels, each
// carrying the first 8 bytes of the login token. A periodic timer checks the
// token and logs in again when the controller rejects it.

#include <memory>
#include <mutex>

#include "channeloutput/UDPOutput.h"

static constexpr uint16_t TWINKLY_PORT = 7777;
static constexpr int TWINKLY_HEADER_LEN = 12;
static constexpr int TWINKLY_MAX_DATA = 900;
static constexpr int TWINKLY_TOKEN_BYTES = 8;
static constexpr int TWINKLY_VERIFY_PERIOD_MS = 120000;
// Frames between logins (about 8 hours at 20 frames per second).
static constexpr uint32_t TWINKLY_RELOGIN_FRAMES = 576000;

class TwinklyOutputData : public UDPOutputData {
public:
    explicit TwinklyOutputData(const Json::Value& config);
    virtual ~TwinklyOutputData();

    virtual bool IsPingable() override { return true; }
    virtual void PrepareData(unsigned char* channelData, UDPOutputMessages& msgs) override;
    virtual void DumpConfig() override;
    virtual void StartingOutput() override;
    virtual void StoppingOutput() override;
    virtual std::string GetOutputTypeString() const override { return "Twinkly"; }

    void authenticate();
    void verifyToken();
    Json::Value callRestAPI(bool post, const std::string& path, const std::string& body);

    std::string TimerName() const { return "Twinkly" + address; }
    std::string Token();
    uint32_t FrameCounter() const { return m_frameCounter; }
    int PacketCount() const { return (int)m_packets.size(); }

private:
    sockaddr_in m_to;
    std::atomic<uint32_t> m_frameCounter{0};

    std::mutex m_authLock;   // serialises logins (output thread, HTTP callbacks)
    std::mutex m_tokenLock;  // guards m_token, m_pendingToken, m_tokenChanged
    std::string m_token;
    // A login on another thread leaves the new token bytes here; the output
    // thread copies them into the headers before it prepares a frame, so no
    // header changes while its datagrams are queued or being sent.
    std::vector<uint8_t> m_pendingToken;
    bool m_tokenChanged = false;
    uint8_t m_tokenBytes[TWINKLY_TOKEN_BYTES] = {0};

    // Lets queued HTTP callbacks notice that the destination is gone.
    std::shared_ptr<int> m_alive = std::make_shared<int>(0);
};
