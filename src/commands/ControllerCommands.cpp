#include "commands/ControllerCommands.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <memory>
#include <thread>

#include "NetworkController.h"
#include "commands/Commands.h"
#include "common.h"
#include "log.h"

namespace {

bool allDigits(const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char c) { return isdigit(c); });
}

bool validPort(const std::string& s) {
    return allDigits(s) && s.size() <= 5 && std::stoi(s) >= 1 && std::stoi(s) <= 65535;
}

bool validIPv6(const std::string& s) {
    return !s.empty() && s.size() <= 45 && s.find(':') != std::string::npos &&
           std::all_of(s.begin(), s.end(), [](unsigned char c) { return isxdigit(c) || c == ':' || c == '.'; });
}

bool validHostName(const std::string& s) {
    if (s.empty() || s.size() > 253 || s[0] == '-' || s[0] == '.') return false;
    return std::all_of(s.begin(), s.end(), [](unsigned char c) { return isalnum(c) || c == '-' || c == '.'; });
}

Json::Value detectOne(const std::string& address) {
    Json::Value rec;
    rec["address"] = address;
    std::string host;
    if (!ControllerAddressToURLHost(address, host)) {
        rec["error"] = "Not a valid address";
        return rec;
    }
    std::string page, error;
    if (!urlGetBounded("http://" + host + "/", page, NetworkController::REQUEST_TIMEOUT_MS, DETECT_MAX_PAGE_BYTES,
                       &error)) {
        rec["error"] = "No answer: " + error;
        return rec;
    }
    std::unique_ptr<NetworkController> nc(NetworkController::DetectControllerViaHTML(host, page));
    if (!nc) {
        rec["error"] = "Not a known controller";
        return rec;
    }
    rec = nc->toJSON();
    rec["address"] = address;
    return rec;
}

class DetectControllerCommand : public Command {
public:
    DetectControllerCommand()
        : Command("Detect Controller", "Tells what kind of lighting controller answers at each address") {
        args.emplace_back("Addresses", "string",
                          "Address of the controller (host, host:port or [IPv6]:port); several separated by commas");
    }
    bool runsLong() const override { return true; }
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        std::vector<std::string> addresses;
        for (const auto& arg : a) {
            for (std::string part : split(arg, ',')) {
                TrimWhiteSpace(part);
                if (!part.empty()) addresses.push_back(part);
            }
        }
        if (addresses.empty()) {
            return std::make_unique<ErrorResult>("Detect Controller needs at least one address");
        }
        if (addresses.size() > DETECT_MAX_ADDRESSES) {
            return std::make_unique<ErrorResult>("Detect Controller takes at most " +
                                                 std::to_string(DETECT_MAX_ADDRESSES) + " addresses at a time");
        }
        return std::make_unique<Result>(SaveJsonToString(DetectControllers(addresses), "  "), "application/json");
    }
};

}  // namespace

bool ControllerAddressToURLHost(const std::string& address, std::string& urlHost) {
    std::string host = address, port;
    if (!address.empty() && address[0] == '[') {
        size_t close = address.find(']');
        if (close == std::string::npos) return false;
        host = address.substr(1, close - 1);
        std::string rest = address.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':') return false;
            port = rest.substr(1);
            if (!validPort(port)) return false;
        }
        if (!validIPv6(host)) return false;
        urlHost = "[" + host + "]" + (port.empty() ? "" : ":" + port);
        return true;
    }
    size_t colons = std::count(address.begin(), address.end(), ':');
    if (colons > 1) {
        if (!validIPv6(address)) return false;
        urlHost = "[" + address + "]";
        return true;
    }
    if (colons == 1) {
        size_t c = address.find(':');
        host = address.substr(0, c);
        port = address.substr(c + 1);
        if (!validPort(port)) return false;
    }
    if (!validHostName(host)) return false;
    urlHost = host + (port.empty() ? "" : ":" + port);
    return true;
}

Json::Value DetectControllers(const std::vector<std::string>& addresses) {
    std::vector<Json::Value> records(addresses.size());
    std::atomic<size_t> next{0};
    auto worker = [&](bool ownThread) {
        if (ownThread) SetThreadName("KIV-Detect");
        for (size_t i = next++; i < addresses.size(); i = next++) {
            records[i] = detectOne(addresses[i]);
        }
    };
    size_t count = std::min(addresses.size(), (size_t)DETECT_PARALLEL);
    std::vector<std::thread> workers;
    for (size_t i = 1; i < count; ++i) workers.emplace_back(worker, true);
    worker(false);  // the caller's thread takes its share
    for (auto& t : workers) t.join();
    Json::Value out(Json::arrayValue);
    for (auto& r : records) out.append(r);
    return out;
}

void RegisterControllerCommands() { CommandManager::INSTANCE.addCommand(new DetectControllerCommand()); }
