#pragma once
// Identifies a lighting controller from the start page it serves over HTTP
// (and, for some families, from a follow-up request to its interface), and
// describes it: vendor, model, firmware version, host name, channel ranges,
// operating mode. Called by the "Detect Controller" command with a page it
// fetched; detection runs on the caller's thread and blocks it while a
// follow-up request runs.

#include <string>

#include <json/json.h>

class RegExCache;

class NetworkController {
public:
    explicit NetworkController(const std::string& ip);

    // A new record for the first family that recognises the page, owned by
    // the caller; null when none does. Families are tried in a fixed order.
    static NetworkController* DetectControllerViaHTML(const std::string& ip, const std::string& html);

    bool DetectKIV(const std::string& ip, const std::string& html);
    bool DetectSorvexController(const std::string& ip, const std::string& html);
    bool DetectSanDevicesController(const std::string& ip, const std::string& html);
    bool DetectESPixelStickController(const std::string& ip, const std::string& html);
    bool DetectAlphaPixController(const std::string& ip, const std::string& html);
    bool DetectHinksPixController(const std::string& ip, const std::string& html);
    bool DetectDIYLEDExpressController(const std::string& ip, const std::string& html);
    bool DetectWLEDController(const std::string& ip, const std::string& html);

    // Logs the record (Sync facility, debug level).
    void DumpControllerInfo();
    // The record as the detection command reports it.
    Json::Value toJSON() const;

    // Bounds of the follow-up requests to a device.
    static constexpr long REQUEST_TIMEOUT_MS = 4000;
    static constexpr size_t MAX_ANSWER_BYTES = 256 * 1024;

    std::string ip;
    std::string hostname;
    std::string vendor = "Unknown";
    std::string vendorURL = "Unknown";
    int typeId = 0;
    std::string typeStr = "Unknown";
    std::string ranges = "0-0";
    std::string version = "Unknown";
    std::string uuid = "Unknown";
    int majorVersion = 0;
    int minorVersion = 0;
    int systemMode = 2;  // 1 bridge, 2 player, 8 remote
    bool multisync = false;

    // Type ids of the families that have no model table of their own.
    static constexpr int TYPE_ESPIXELSTICK = 194;
    static constexpr int TYPE_WLED = 251;
    static constexpr int TYPE_DIYLEDEXPRESS = 252;
    static constexpr int TYPE_HINKSPIX = 253;
    static constexpr int TYPE_ALPHAPIX = 254;
    static constexpr int TYPE_SANDEVICES = 255;

private:
    // GET of path at the device's address within the bounds above.
    static bool httpGet(const std::string& ip, const std::string& path, std::string& body);
    void setVersionNumbers(const std::string& text);
    // Version (and its numbers) from the first group of the expression in
    // the page; false when it does not match.
    bool takeVersion(const RegExCache& expression, const std::string& html);
};
