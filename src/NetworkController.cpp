#include "NetworkController.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "RegExCache.h"
#include "common.h"
#include "log.h"
#include "sync/MultiSync.h"
#include "settings.h"

namespace {

// Where users find more about each family.
const char* KIV_VENDOR_URL = "https://sorvex.example/forum";
const char* SORVEX_VENDOR_URL = "https://sorvex.example/controllers";
const char* SANDEVICES_VENDOR_URL = "https://www.sandevices.com";
const char* ESPIXELSTICK_VENDOR_URL = "https://github.com/forkineye/ESPixelStick";
const char* HOLIDAYCORO_VENDOR_URL = "https://www.holidaycoro.com";
const char* DIYLEDEXPRESS_VENDOR_URL = "http://www.diyledexpress.com";
const char* WLED_VENDOR_URL = "https://kno.wled.ge";

// Texts taken from a device are cut to this length: a record stays small
// whatever the device answers.
constexpr size_t MAX_FIELD_CHARS = 256;

std::string clip(std::string text) {
    if (text.size() > MAX_FIELD_CHARS) text.resize(MAX_FIELD_CHARS);
    return text;
}

// Members of a device's JSON answer, read only when they have the expected
// type: a device may answer anything.
bool jsonText(const Json::Value& doc, const char* key, std::string& out) {
    if (!doc.isObject() || !doc.isMember(key)) return false;
    const Json::Value& v = doc[key];
    if (v.isString()) {
        out = clip(v.asString());
        return true;
    }
    if (v.isNumeric() || v.isBool()) {
        out = clip(v.asString());
        return true;
    }
    return false;
}

bool jsonInt(const Json::Value& doc, const char* key, int& out) {
    if (!doc.isObject() || !doc.isMember(key)) return false;
    const Json::Value& v = doc[key];
    if (v.isInt()) {
        out = v.asInt();
        return true;
    }
    return false;
}

Json::Value parseAnswer(const std::string& body) {
    Json::Value doc;
    LoadJsonFromString(body, doc);
    return doc;
}

int parseDecimal(const char* text) {
    errno = 0;
    long v = strtol(text, nullptr, 10);
    if (errno == ERANGE || v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return (int)v;
}

// Sorvex controllers describe themselves in /status.xml:
//   <p>  product code (its presence marks the status document)
//   <np> pixel port count (S series)
//   <v>  firmware version (not on the Bridge, whose start page shows its
//        host name and version instead)
constexpr int SORVEX_PRODUCT_S_SERIES = 1;
constexpr int SORVEX_PRODUCT_MINI = 2;
constexpr int SORVEX_PRODUCT_BRIDGE = 3;
constexpr int SORVEX_TYPE_GENERIC = 0x80;

struct SorvexModel {
    int productCode;
    int pixelPorts;  // 0: any
    int typeId;
};
const SorvexModel SORVEX_MODELS[] = {
    {SORVEX_PRODUCT_S_SERIES, 4, 0x81},
    {SORVEX_PRODUCT_S_SERIES, 16, 0x82},
    {SORVEX_PRODUCT_S_SERIES, 32, 0x83},
    {SORVEX_PRODUCT_MINI, 0, 0x84},
    {SORVEX_PRODUCT_BRIDGE, 0, 0x85},
};

int sorvexTypeId(int productCode, int pixelPorts) {
    for (const auto& m : SORVEX_MODELS) {
        if (m.productCode == productCode && (m.pixelPorts == 0 || m.pixelPorts == pixelPorts)) {
            return m.typeId;
        }
    }
    return SORVEX_TYPE_GENERIC;
}

}  // namespace

NetworkController::NetworkController(const std::string& i) : ip(i), hostname(i) {}

NetworkController* NetworkController::DetectControllerViaHTML(const std::string& ip, const std::string& html) {
    NetworkController* nc = new NetworkController(ip);
    if (nc->DetectKIV(ip, html) || nc->DetectSorvexController(ip, html) || nc->DetectSanDevicesController(ip, html) ||
        nc->DetectESPixelStickController(ip, html) || nc->DetectAlphaPixController(ip, html) ||
        nc->DetectHinksPixController(ip, html) || nc->DetectDIYLEDExpressController(ip, html) ||
        nc->DetectWLEDController(ip, html)) {
        nc->DumpControllerInfo();
        return nc;
    }
    delete nc;
    return nullptr;
}

bool NetworkController::httpGet(const std::string& ip, const std::string& path, std::string& body) {
    std::string error;
    if (!urlGetBounded("http://" + ip + path, body, REQUEST_TIMEOUT_MS, MAX_ANSWER_BYTES, &error)) {
        LogDebug(VB_SYNC, "%s%s did not answer: %s\n", ip.c_str(), path.c_str(), error.c_str());
        return false;
    }
    return true;
}

void NetworkController::setVersionNumbers(const std::string& text) {
    majorVersion = parseDecimal(text.c_str());
    size_t dot = text.find('.');
    minorVersion = dot == std::string::npos ? 0 : parseDecimal(text.c_str() + dot + 1);
}

bool NetworkController::takeVersion(const RegExCache& expression, const std::string& html) {
    std::vector<RegExCache::Group> g;
    if (!expression.search(html, &g) || g.empty() || !g[0].matched) return false;
    version = clip(g[0].text);
    setVersionNumbers(version);
    return true;
}

bool NetworkController::DetectKIV(const std::string& ip, const std::string& html) {
    if (!contains(html, "Sorvex Player - KIV")) return false;
    std::string body;
    if (!httpGet(ip, "/api/system/info?simple=1", body)) return false;
    Json::Value doc = parseAnswer(body);
    jsonText(doc, "HostName", hostname);
    vendor = "KIV";
    vendorURL = KIV_VENDOR_URL;
    jsonText(doc, "channelRanges", ranges);
    jsonText(doc, "uuid", uuid);
    jsonText(doc, "Version", version);
    if (jsonText(doc, "Variant", typeStr)) {
        typeId = MultiSync::ModelStringToType(typeStr);
        if (typeId == MultiSync::TYPE_UNDETERMINED) {
            // Boards report "Pi 4 Model B" where the table says "Raspberry Pi 4 Model B".
            std::string longer = "Raspberry " + typeStr;
            int t = MultiSync::ModelStringToType(longer);
            if (t != MultiSync::TYPE_UNDETERMINED) {
                typeId = t;
                typeStr = longer;
            }
        }
    }
    std::string mode;
    if (jsonText(doc, "Mode", mode)) {
        if (mode == "bridge") {
            systemMode = MODE_BRIDGE;
        } else if (mode == "player") {
            systemMode = MODE_PLAYER;
        } else if (mode == "remote") {
            systemMode = MODE_REMOTE;
        } else if (mode == "master") {
            systemMode = MODE_PLAYER;
            multisync = true;
        }
    }
    if (doc.isObject() && doc["multisync"].isBool()) {
        multisync = doc["multisync"].asBool();
    }
    jsonInt(doc, "majorVersion", majorVersion);
    jsonInt(doc, "minorVersion", minorVersion);
    return true;
}

bool NetworkController::DetectSorvexController(const std::string& ip, const std::string& html) {
    static const RegExCache marker("\"css/sorvex\\.css\"|\"/tb9q4\\.js\"|\"js/cntrlr_([0-9]+)\\.js\"");
    LogExcess(VB_SYNC, "Checking if %s is a Sorvex controller\n", ip.c_str());
    if (!marker.search(html)) return false;
    LogExcess(VB_SYNC, "%s is potentially a Sorvex controller, checking further\n", ip.c_str());
    std::string status;
    if (!httpGet(ip, "/status.xml", status) || !contains(status, "<p>")) return false;
    vendor = "Sorvex";
    vendorURL = SORVEX_VENDOR_URL;

    std::string product = getSimpleXMLTag(status, "p");
    TrimWhiteSpace(product);
    std::string ports = getSimpleXMLTag(status, "np");
    int productCode = parseDecimal(product.c_str());
    typeId = sorvexTypeId(productCode, parseDecimal(ports.c_str()));
    typeStr = MultiSync::GetTypeString(typeId, false);

    std::string v = getSimpleXMLTag(status, "v");
    if (productCode == SORVEX_PRODUCT_BRIDGE) {
        std::string name = getSimpleHTMLTTag(html, "Name:</td>", "<td>", "</td>");
        TrimWhiteSpace(name);
        if (!name.empty()) hostname = clip(name);
        v = getSimpleHTMLTTag(html, "SW Version:</td>", "<td>", "</td>");
    }
    TrimWhiteSpace(v);
    if (!v.empty()) {
        version = clip(v);
        setVersionNumbers(version);
    }
    return true;
}

bool NetworkController::DetectSanDevicesController(const std::string& ip, const std::string& html) {
    static const RegExCache model("Controller Model (E[0-9]+)");
    static const RegExCache firmware("Firmware Version:</th></td><td></td><td>([0-9]+.[0-9]+)</td>");
    static const RegExCache firmwareW("Firmware Version:</th></td><td>\\s?([0-9]+.[0-9]+)(-W\\d+)?</td>");
    LogExcess(VB_SYNC, "Checking if %s is a SanDevices controller\n", ip.c_str());
    std::vector<RegExCache::Group> g;
    if (!model.search(html, &g)) return false;
    LogExcess(VB_SYNC, "%s is potentially a SanDevices controller, checking further\n", ip.c_str());
    vendor = "SanDevices";
    vendorURL = SANDEVICES_VENDOR_URL;
    typeId = TYPE_SANDEVICES;
    if (g[0].matched) typeStr = clip(g[0].text);
    takeVersion(firmware, html) || takeVersion(firmwareW, html);
    return true;
}

bool NetworkController::DetectESPixelStickController(const std::string& ip, const std::string& html) {
    LogExcess(VB_SYNC, "Checking if %s is running ESPixelStick firmware\n", ip.c_str());
    if (!contains(html, "\"esps.js\"")) return false;
    LogExcess(VB_SYNC, "%s is potentially an ESPixelStick, checking further\n", ip.c_str());
    vendor = "ESPixelStick";
    vendorURL = ESPIXELSTICK_VENDOR_URL;
    typeId = TYPE_ESPIXELSTICK;
    typeStr = "ESPixelStick";
    std::string body;
    if (httpGet(ip, "/conf", body)) {
        Json::Value doc = parseAnswer(body);
        if (doc.isObject() && doc["network"].isObject()) {
            jsonText(doc["network"], "hostname", hostname);
        }
    }
    return true;
}

bool NetworkController::DetectAlphaPixController(const std::string& ip, const std::string& html) {
    static const RegExCache name("AlphaPix (\\d+|Flex|Evolution)");
    static const RegExCache ports("(\\d+) Port Ethernet to SPI Controller");
    static const RegExCache firmware("Currently Installed Firmware Version:  ([0-9]+.[0-9]+)");
    LogExcess(VB_SYNC, "Checking if %s is a AlphaPix controller\n", ip.c_str());
    std::vector<RegExCache::Group> g;
    if (!name.search(html, &g) && !ports.search(html, &g)) return false;
    LogExcess(VB_SYNC, "%s is potentially a AlphaPix controller, checking further\n", ip.c_str());
    vendor = "HolidayCoro";
    vendorURL = HOLIDAYCORO_VENDOR_URL;
    typeId = TYPE_ALPHAPIX;
    if (g[0].matched) typeStr = clip(g[0].text);
    takeVersion(firmware, html);
    return true;
}

bool NetworkController::DetectHinksPixController(const std::string& ip, const std::string& html) {
    LogExcess(VB_SYNC, "Checking if %s is a HinksPix controller\n", ip.c_str());
    if (!contains(html, "HinksPix Config")) return false;
    LogExcess(VB_SYNC, "%s is potentially a HinksPix controller, checking further\n", ip.c_str());
    vendor = "HolidayCoro";
    vendorURL = HOLIDAYCORO_VENDOR_URL;
    typeId = TYPE_HINKSPIX;
    typeStr = "HinksPix";
    return true;
}

bool NetworkController::DetectDIYLEDExpressController(const std::string& ip, const std::string& html) {
    static const RegExCache page("DIYLEDExpress E1.31 Bridge Configuration Page");
    static const RegExCache firmware("Firmware Rev: ([0-9]+.[0-9]+)");
    LogExcess(VB_SYNC, "Checking if %s is a DIYLEDExpress controller\n", ip.c_str());
    if (!page.search(html)) return false;
    LogExcess(VB_SYNC, "%s is potentially a DIYLEDExpress controller, checking further\n", ip.c_str());
    vendor = "DIYLEDExpress";
    vendorURL = DIYLEDEXPRESS_VENDOR_URL;
    typeId = TYPE_DIYLEDEXPRESS;
    typeStr = "E1.31 Bridge";
    takeVersion(firmware, html);
    return true;
}

bool NetworkController::DetectWLEDController(const std::string& ip, const std::string& html) {
    if (!contains(html, "WLED UI")) return false;
    std::string body;
    if (!httpGet(ip, "/json/info", body)) return false;
    vendor = "WLED";
    vendorURL = WLED_VENDOR_URL;
    typeId = TYPE_WLED;
    Json::Value doc = parseAnswer(body);
    jsonText(doc, "ver", version);
    jsonText(doc, "arch", typeStr);
    return true;
}

void NetworkController::DumpControllerInfo() {
    LogDebug(VB_SYNC,
             "Network Controller Info:\n"
             "IP              : %s\n"
             "UUID            : %s\n"
             "Hostname        : %s\n"
             "Vendor          : %s\n"
             "Vendor URL      : %s\n"
             "TypeID          : %d\n"
             "TypeStr         : %s\n"
             "Channel Ranges  : %s\n"
             "Firmware Version: %s\n"
             "Firmware MajorV : %u\n"
             "Firmware MinorV : %u\n"
             "System Mode     : %s\n",
             ip.c_str(), uuid.c_str(), hostname.c_str(), vendor.c_str(), vendorURL.c_str(), typeId, typeStr.c_str(),
             ranges.c_str(), version.c_str(), (unsigned)majorVersion, (unsigned)minorVersion,
             getKIVmodeStr(systemMode).c_str());
}

Json::Value NetworkController::toJSON() const {
    Json::Value v;
    v["address"] = ip;
    v["hostname"] = hostname;
    v["vendor"] = vendor;
    v["vendorURL"] = vendorURL;
    v["model"] = typeStr;
    v["typeId"] = typeId;
    v["version"] = version;
    v["majorVersion"] = majorVersion;
    v["minorVersion"] = minorVersion;
    v["uuid"] = uuid;
    v["ranges"] = ranges;
    v["mode"] = getKIVmodeStr(systemMode);
    v["multisync"] = multisync;
    return v;
}
