#pragma once
// "Detect Controller": tells a user what kind of lighting controller
// answers at each address they name. Fetches each start page with bounded
// size and time, hands it to NetworkController and answers a JSON array
// with one record per address. Registered by kivd's start-up; only the
// addresses given are ever contacted.

#include <string>
#include <vector>

#include <json/json.h>

void RegisterControllerCommands();

// Limits of one detection run.
constexpr size_t DETECT_MAX_ADDRESSES = 64;
constexpr int DETECT_PARALLEL = 16;
constexpr size_t DETECT_MAX_PAGE_BYTES = 2 * 1024 * 1024;

// "host", "host:port", "[v6]" or "[v6]:port" (a bare IPv6 address too) as
// the host part of an http URL; false for anything else.
bool ControllerAddressToURLHost(const std::string& address, std::string& urlHost);

// Detects the controller at each address, several at a time; the records
// come back in the order given. A record holds "address" and either the
// controller's description or "error".
Json::Value DetectControllers(const std::vector<std::string>& addresses);
