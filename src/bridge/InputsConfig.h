#pragma once
// The inputs file, <media>/config/inputs.json: which E1.31 and Art-Net
// universes and which DDP byte ranges the bridge takes in, and where in the
// channel space each lands. Read once by Bridge_Initialize; the format is in
// docs/inputs.md.

#include <cstdint>
#include <string>
#include <vector>

#include <json/json.h>

enum class InputProtocol { E131, ArtNet, DDP };

const char* InputProtocolName(InputProtocol p);

struct InputConfig {
    int index = 0;  // position in the file's "inputs" array
    std::string description;
    InputProtocol protocol = InputProtocol::E131;
    // E1.31 and Art-Net: universes universe .. universe + universeCount - 1,
    // each carrying channelsPerUniverse channels.
    int universe = 0;
    int universeCount = 1;
    int channelsPerUniverse = 512;
    bool multicast = true;  // E1.31: join the universes' multicast groups
    // DDP: the byte offset in the sender's data where this range starts.
    uint32_t ddpOffset = 0;
    // Where the bytes land: first channel (from 0) and count.
    uint32_t startChannel = 0;
    uint32_t channelCount = 0;
    // How long the data stays live after the last packet.
    int timeoutMs = 1000;

    std::string Name() const;  // description, or protocol and universes
};

struct InputsConfig {
    std::string interface;  // multicast groups are joined here ("" = the routing table's choice)
    std::string address;    // listen address ("" = every address)
    std::string name;       // short name announced to Art-Net consoles
    std::vector<InputConfig> inputs;
    // One line per input or key that was refused (the rest is used).
    std::vector<std::string> errors;
};

static constexpr int INPUT_DEFAULT_TIMEOUT_MS = 1000;
static constexpr int INPUT_MAX_TIMEOUT_MS = 3600000;

// Parses an inputs document. Inputs with errors are left out and named in
// `errors`; "enabled": 0 inputs are left out silently.
InputsConfig ParseInputsConfig(const Json::Value& doc);
// Reads <path>; a missing file gives no inputs and no errors.
InputsConfig LoadInputsConfig(const std::string& path);
