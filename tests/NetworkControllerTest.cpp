#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <map>
#include <memory>

#include "HttpTestServer.h"
#include "NetworkController.h"
#include "TestSupport.h"
#include "log.h"

namespace {

using kivtest::HttpRequest;
using kivtest::HttpResponse;

// A device on loopback: its start page is handed to detection directly,
// follow-up paths are answered from a table (404 for anything else).
class FakeDevice {
public:
    explicit FakeDevice(std::map<std::string, HttpResponse> paths)
        : m_server("127.0.0.1", 0, [paths](const HttpRequest& r) {
              auto it = paths.find(r.url);
              return it == paths.end() ? HttpResponse{404, "not here", "text/plain"} : it->second;
          }) {}
    std::string address() const { return "127.0.0.1:" + std::to_string(m_server.port()); }
    std::unique_ptr<NetworkController> detect(const std::string& page) {
        return std::unique_ptr<NetworkController>(NetworkController::DetectControllerViaHTML(address(), page));
    }
    std::vector<std::string> paths() {
        std::vector<std::string> out;
        for (auto& r : m_server.requests()) out.push_back(r.url);
        return out;
    }
    kivtest::HttpTestServer& server() { return m_server; }

private:
    kivtest::HttpTestServer m_server;
};

HttpResponse json(const std::string& body) { return HttpResponse{200, body, "application/json"}; }
HttpResponse xml(const std::string& body) { return HttpResponse{200, body, "text/xml"}; }

const char* KIV_PAGE = "<html><head><title>Sorvex Player - KIV</title></head><body>...</body></html>";
const char* WLED_PAGE = "<!DOCTYPE html><html><head><title>WLED</title></head><body>WLED UI</body></html>";

TEST(NetworkControllerDetection, KivSystemIsDescribedFromItsInfoAnswer) {
    FakeDevice dev({{"/api/system/info",
                     json(R"({"HostName": "stage-left", "channelRanges": "0-1023,2048-4095", "uuid": "U-77",
                              "Version": "5.3-4-gabc", "Variant": "Pi 4 Model B", "Mode": "remote",
                              "majorVersion": 5, "minorVersion": 3})")}});
    auto nc = dev.detect(KIV_PAGE);
    ASSERT_TRUE(nc);
    EXPECT_EQ(nc->vendor, "KIV");
    EXPECT_NE(nc->vendorURL, "Unknown");
    EXPECT_EQ(nc->hostname, "stage-left");
    EXPECT_EQ(nc->ranges, "0-1023,2048-4095");
    EXPECT_EQ(nc->uuid, "U-77");
    EXPECT_EQ(nc->version, "5.3-4-gabc");
    // "Pi 4 Model B" is not a model name; "Raspberry Pi 4 Model B" is.
    EXPECT_EQ(nc->typeStr, "Raspberry Pi 4 Model B");
    EXPECT_EQ(nc->typeId, 0x0C);
    EXPECT_EQ(nc->systemMode, 8);
    EXPECT_FALSE(nc->multisync);
    EXPECT_EQ(nc->majorVersion, 5);
    EXPECT_EQ(nc->minorVersion, 3);
    auto reqs = dev.server().requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].url, "/api/system/info");
    EXPECT_EQ(reqs[0].query["simple"], "1");
}

TEST(NetworkControllerDetection, KivModesAndMultisyncFlag) {
    struct Case {
        const char* info;
        int mode;
        bool multisync;
        const char* typeStr;
    } cases[] = {
        {R"({"Mode": "master", "Variant": "Raspberry Pi 3 Model B+ Rev 1.3"})", 2, true, "Raspberry Pi 3 Model B+ Rev 1.3"},
        {R"({"Mode": "master", "multisync": false})", 2, false, "Unknown"},
        {R"({"Mode": "player", "multisync": true})", 2, true, "Unknown"},
        {R"({"Mode": "bridge", "Variant": "Toaster"})", 1, false, "Toaster"},
    };
    for (const auto& c : cases) {
        FakeDevice dev({{"/api/system/info", json(c.info)}});
        auto nc = dev.detect(KIV_PAGE);
        ASSERT_TRUE(nc) << c.info;
        EXPECT_EQ(nc->systemMode, c.mode) << c.info;
        EXPECT_EQ(nc->multisync, c.multisync) << c.info;
        EXPECT_EQ(nc->typeStr, c.typeStr) << c.info;
    }
    FakeDevice toaster({{"/api/system/info", json(R"({"Variant": "Toaster"})")}});
    EXPECT_EQ(toaster.detect(KIV_PAGE)->typeId, 1);  // an unknown model
}

TEST(NetworkControllerDetection, SorvexControllerModelComesFromItsStatusDocument) {
    FakeDevice s16({{"/status.xml", xml("<response><p>1</p><np>16</np><v>3.12</v></response>")}});
    auto nc = s16.detect("<html><link rel=\"stylesheet\" href=\"css/sorvex.css\"></html>");
    ASSERT_TRUE(nc);
    EXPECT_EQ(nc->vendor, "Sorvex");
    EXPECT_EQ(nc->typeId, 0x82);
    EXPECT_EQ(nc->typeStr, "Sorvex S16");
    EXPECT_EQ(nc->version, "3.12");
    EXPECT_EQ(nc->majorVersion, 3);
    EXPECT_EQ(nc->minorVersion, 12);
    EXPECT_EQ(nc->hostname, s16.address());

    FakeDevice mini({{"/status.xml", xml("<response><p>2</p><v>1.0</v></response>")}});
    nc = mini.detect("<script src=\"/tb9q4.js\"></script>");
    ASSERT_TRUE(nc);
    EXPECT_EQ(nc->typeStr, "Sorvex Mini");

    // The Bridge shows its name and version on its start page.
    FakeDevice bridge({{"/status.xml", xml("<response><p>3</p></response>")}});
    nc = bridge.detect("<script src=\"js/cntrlr_12.js\"></script><table><tr><td>Name:</td><td> garage </td></tr>"
                       "<tr><td>SW Version:</td><td>1.7</td></tr></table>");
    ASSERT_TRUE(nc);
    EXPECT_EQ(nc->typeStr, "Sorvex Bridge");
    EXPECT_EQ(nc->hostname, "garage");
    EXPECT_EQ(nc->version, "1.7");
    EXPECT_EQ(nc->minorVersion, 7);

    // A product the table does not know is still one of the family's.
    FakeDevice other({{"/status.xml", xml("<response><p>99</p>")}});
    nc = other.detect("\"css/sorvex.css\"");
    ASSERT_TRUE(nc);
    EXPECT_EQ(nc->typeId, 0x80);
    EXPECT_EQ(nc->version, "Unknown");
}

TEST(NetworkControllerDetection, SorvexMarkerNeedsItsQuotesAndAStatusDocument) {
    FakeDevice dev({{"/status.xml", xml("<response><p>1</p></response>")}});
    EXPECT_FALSE(dev.detect("href=css/sorvex.css"));
    EXPECT_FALSE(dev.detect("\"js/cntrlr_.js\""));
    EXPECT_TRUE(dev.paths().empty());
    FakeDevice noStatus({});
    EXPECT_FALSE(noStatus.detect("\"css/sorvex.css\""));
    FakeDevice notStatus({{"/status.xml", xml("<html>no paragraph</html>")}});
    EXPECT_FALSE(notStatus.detect("\"css/sorvex.css\""));
}

TEST(NetworkControllerDetection, SanDevicesModelAndBothFirmwareCells) {
    FakeDevice dev({});
    auto nc = dev.detect("<h2>Controller Model E682</h2><tr><th>Firmware Version:</th></td><td></td><td>5.046</td>");
    ASSERT_TRUE(nc);
    EXPECT_EQ(nc->vendor, "SanDevices");
    EXPECT_EQ(nc->typeId, 255);
    EXPECT_EQ(nc->typeStr, "E682");
    EXPECT_EQ(nc->version, "5.046");
    EXPECT_EQ(nc->majorVersion, 5);
    EXPECT_EQ(nc->minorVersion, 46);
    nc = dev.detect("Controller Model E6804 Firmware Version:</th></td><td> 4.2-W12</td>");
    ASSERT_TRUE(nc);
    EXPECT_EQ(nc->version, "4.2");  // the "-W" suffix is not part of it
    nc = dev.detect("Controller Model E1");
    ASSERT_TRUE(nc);
    EXPECT_EQ(nc->version, "Unknown");
    EXPECT_TRUE(dev.paths().empty());  // no follow-up request for this family
}

TEST(NetworkControllerDetection, ESPixelStickTakesItsHostNameFromConf) {
    const char* page = "<script src=\"esps.js\"></script>";
    FakeDevice dev({{"/conf", json(R"({"network": {"hostname": "esps-porch"}})")}});
    auto nc = dev.detect(page);
    ASSERT_TRUE(nc);
    EXPECT_EQ(nc->vendor, "ESPixelStick");
    EXPECT_EQ(nc->typeId, 194);
    EXPECT_EQ(nc->typeStr, "ESPixelStick");
    EXPECT_EQ(nc->hostname, "esps-porch");
    // Without /conf the device is still recognised and keeps its address as name.
    FakeDevice silent({});
    nc = silent.detect(page);
    ASSERT_TRUE(nc);
    EXPECT_EQ(nc->hostname, silent.address());
}

TEST(NetworkControllerDetection, AlphaPixByNameOrByPortCount) {
    FakeDevice dev({});
    auto nc = dev.detect("<h1>AlphaPix Flex</h1> Currently Installed Firmware Version:  3.15 ");
    ASSERT_TRUE(nc);
    EXPECT_EQ(nc->vendor, "HolidayCoro");
    EXPECT_EQ(nc->typeId, 254);
    EXPECT_EQ(nc->typeStr, "Flex");
    EXPECT_EQ(nc->version, "3.15");
    EXPECT_EQ(nc->majorVersion, 3);
    EXPECT_EQ(nc->minorVersion, 15);
    nc = dev.detect("<h1>16 Port Ethernet to SPI Controller</h1>");
    ASSERT_TRUE(nc);
    EXPECT_EQ(nc->typeStr, "16");
    EXPECT_EQ(nc->version, "Unknown");
}

TEST(NetworkControllerDetection, HinksPixAndDIYLEDExpress) {
    FakeDevice dev({});
    auto nc = dev.detect("<title>HinksPix Config</title>");
    ASSERT_TRUE(nc);
    EXPECT_EQ(nc->vendor, "HolidayCoro");
    EXPECT_EQ(nc->typeId, 253);
    EXPECT_EQ(nc->typeStr, "HinksPix");
    nc = dev.detect("<h1>DIYLEDExpress E1.31 Bridge Configuration Page</h1>Firmware Rev: 4.07");
    ASSERT_TRUE(nc);
    EXPECT_EQ(nc->vendor, "DIYLEDExpress");
    EXPECT_EQ(nc->typeId, 252);
    EXPECT_EQ(nc->typeStr, "E1.31 Bridge");
    EXPECT_EQ(nc->version, "4.07");
    EXPECT_EQ(nc->majorVersion, 4);
    EXPECT_EQ(nc->minorVersion, 7);
}

TEST(NetworkControllerDetection, WLEDIsDescribedFromJsonInfo) {
    FakeDevice dev({{"/json/info", json(R"({"ver": "0.14.0", "arch": "esp32", "name": "WLED"})")}});
    auto nc = dev.detect(WLED_PAGE);
    ASSERT_TRUE(nc);
    EXPECT_EQ(nc->vendor, "WLED");
    EXPECT_EQ(nc->typeId, 251);
    EXPECT_EQ(nc->version, "0.14.0");
    EXPECT_EQ(nc->typeStr, "esp32");
    EXPECT_EQ(dev.paths(), std::vector<std::string>{"/json/info"});
}

TEST(NetworkControllerDetection, EarlierFamilyWinsWhenAPageMatchesTwo) {
    FakeDevice dev({{"/json/info", json(R"({"ver": "0.14.0", "arch": "esp32"})")}});
    auto nc = dev.detect("<title>HinksPix Config</title> WLED UI");
    ASSERT_TRUE(nc);
    EXPECT_EQ(nc->typeStr, "HinksPix");
    EXPECT_TRUE(dev.paths().empty());  // WLED was never asked
}

TEST(NetworkControllerDetection, FailingFollowUpMeansNotRecognised) {
    FakeDevice broken({{"/json/info", HttpResponse{500, "oops", "text/plain"}}});
    EXPECT_FALSE(broken.detect(WLED_PAGE));
    FakeDevice missing({});
    EXPECT_FALSE(missing.detect(KIV_PAGE));
    EXPECT_FALSE(missing.detect(WLED_PAGE));
    // A failed KIV check goes on to the later families.
    auto nc = missing.detect(std::string(KIV_PAGE) + "HinksPix Config");
    ASSERT_TRUE(nc);
    EXPECT_EQ(nc->typeStr, "HinksPix");
    // Nothing answers at all.
    std::unique_ptr<NetworkController> gone(NetworkController::DetectControllerViaHTML(
        "127.0.0.1:" + std::to_string(kivtest::closedLoopbackPort()), WLED_PAGE));
    EXPECT_FALSE(gone);
}

TEST(NetworkControllerDetection, InvalidOrMistypedAnswersKeepTheDefaults) {
    kivtest::LogCapture log;
    FakeDevice garbage({{"/json/info", json("{\"ver\": \"0.1")}});
    auto nc = garbage.detect(WLED_PAGE);
    ASSERT_TRUE(nc);
    EXPECT_EQ(nc->vendor, "WLED");
    EXPECT_EQ(nc->version, "Unknown");

    FakeDevice deep({{"/json/info", json(std::string(200000, '['))}});
    nc = deep.detect(WLED_PAGE);
    ASSERT_TRUE(nc);
    EXPECT_EQ(nc->version, "Unknown");

    FakeDevice mistyped({{"/json/info", json(R"({"ver": {"a": 1}, "arch": [1, 2]})")}});
    nc = mistyped.detect(WLED_PAGE);
    ASSERT_TRUE(nc);
    EXPECT_EQ(nc->version, "Unknown");
    EXPECT_EQ(nc->typeStr, "Unknown");

    FakeDevice kiv({{"/api/system/info",
                     json(R"({"HostName": [], "Mode": {}, "majorVersion": "7", "multisync": "yes", "Variant": null})")}});
    nc = kiv.detect(KIV_PAGE);
    ASSERT_TRUE(nc);
    EXPECT_EQ(nc->hostname, kiv.address());
    EXPECT_EQ(nc->systemMode, 2);
    EXPECT_EQ(nc->majorVersion, 0);
    EXPECT_FALSE(nc->multisync);

    FakeDevice array({{"/conf", json("[1, 2, 3]")}});
    nc = array.detect("\"esps.js\"");
    ASSERT_TRUE(nc);
    EXPECT_EQ(nc->hostname, array.address());

    FakeDevice badXml({{"/status.xml", xml("<p><np>4</p></np><v>")}});
    nc = badXml.detect("\"css/sorvex.css\"");
    ASSERT_TRUE(nc);
    EXPECT_EQ(nc->typeId, 0x80);
    EXPECT_EQ(nc->version, "Unknown");

    // The log keeps the start of a large unparsable answer only.
    FakeDevice big({{"/json/info", json(std::string(200000, 'x'))}});
    EXPECT_TRUE(big.detect(WLED_PAGE));
    EXPECT_LT(log.text().size(), 50000u);
}

TEST(NetworkControllerDetection, LongTextsFromADeviceAreCut) {
    FakeDevice dev({{"/json/info", json("{\"ver\": \"" + std::string(100000, '9') + "\"}")}});
    auto nc = dev.detect(WLED_PAGE);
    ASSERT_TRUE(nc);
    EXPECT_EQ(nc->version.size(), 256u);
}

TEST(NetworkControllerDetection, PagesBuiltToMakeExpressionsBacktrackEndQuickly) {
    std::string digits(1500000, '1');
    std::vector<std::string> pages = {
        "Controller Model E1 Firmware Version:</th></td><td>" + digits + "x",
        "Controller Model E" + digits + " Firmware Version:</th></td><td></td><td>" + digits,
        "AlphaPix " + digits + " Currently Installed Firmware Version:  " + digits + "." + digits + "x",
        digits + " Port Ethernet to SPI Controlle",
        "DIYLEDExpress E1.31 Bridge Configuration Page Firmware Rev: " + digits,
        "\"js/cntrlr_" + digits + ".j",
        std::string(2000000, '\0'),
    };
    for (const auto& page : pages) {
        auto start = std::chrono::steady_clock::now();
        std::unique_ptr<NetworkController> nc(NetworkController::DetectControllerViaHTML("127.0.0.1:1", page));
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_LT(seconds, 20.0) << page.substr(0, 40);
    }
    std::unique_ptr<NetworkController> nc(NetworkController::DetectControllerViaHTML("127.0.0.1:1", pages[0]));
    ASSERT_TRUE(nc);
    EXPECT_EQ(nc->version, "Unknown");
    nc.reset(NetworkController::DetectControllerViaHTML("127.0.0.1:1", pages[2]));
    ASSERT_TRUE(nc);
    EXPECT_EQ(nc->typeStr.size(), 256u);  // the digits, cut
    EXPECT_EQ(nc->majorVersion, INT_MAX);  // too large to hold: the largest value
}

TEST(NetworkControllerDetection, SummaryIsLoggedAtDebugOnlyForARecognisedDevice) {
    kivtest::LogCapture log;
    KIVLogger::INSTANCE.Sync.level = LOG_DEBUG;
    FakeDevice dev({});
    std::unique_ptr<NetworkController> none(NetworkController::DetectControllerViaHTML(dev.address(), "<html/>"));
    EXPECT_FALSE(none);
    EXPECT_EQ(log.text(), "");
    auto nc = dev.detect("HinksPix Config");
    ASSERT_TRUE(nc);
    EXPECT_TRUE(log.contains("Network Controller Info:\nIP              : " + dev.address() +
                             "\nUUID            : Unknown\nHostname        : " + dev.address() +
                             "\nVendor          : HolidayCoro\n"))
        << log.text();
    EXPECT_TRUE(log.contains("TypeID          : 253\nTypeStr         : HinksPix\nChannel Ranges  : 0-0\n"
                             "Firmware Version: Unknown\nFirmware MajorV : 0\nFirmware MinorV : 0\n"
                             "System Mode     : player\n"));
    EXPECT_FALSE(log.contains("Checking if"));

    KIVLogger::INSTANCE.Sync.level = LOG_EXCESS;
    dev.detect("HinksPix Config");
    for (const char* line : {"Checking if %s is a Sorvex controller", "Checking if %s is a SanDevices controller",
                             "Checking if %s is running ESPixelStick firmware", "Checking if %s is a AlphaPix controller",
                             "Checking if %s is a HinksPix controller",
                             "%s is potentially a HinksPix controller, checking further"}) {
        std::string expected = line;
        expected.replace(expected.find("%s"), 2, dev.address());
        EXPECT_TRUE(log.contains(expected)) << expected;
    }
    EXPECT_FALSE(log.contains("is a DIYLEDExpress controller"));  // the order stopped before it
}

TEST(NetworkControllerDetection, RecordAsJson) {
    NetworkController nc("10.0.0.9");
    nc.vendor = "WLED";
    nc.typeStr = "esp32";
    nc.typeId = 251;
    nc.systemMode = 8;
    Json::Value v = nc.toJSON();
    EXPECT_EQ(v["address"].asString(), "10.0.0.9");
    EXPECT_EQ(v["hostname"].asString(), "10.0.0.9");
    EXPECT_EQ(v["vendor"].asString(), "WLED");
    EXPECT_EQ(v["model"].asString(), "esp32");
    EXPECT_EQ(v["typeId"].asInt(), 251);
    EXPECT_EQ(v["version"].asString(), "Unknown");
    EXPECT_EQ(v["ranges"].asString(), "0-0");
    EXPECT_EQ(v["mode"].asString(), "remote");
    EXPECT_FALSE(v["multisync"].asBool());
}

}  // namespace
