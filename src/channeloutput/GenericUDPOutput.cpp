#include "channeloutput/GenericUDPOutput.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Warnings.h"
#include "common.h"
#include "log.h"

GenericUDPOutputData::GenericUDPOutputData(const Json::Value& config) : UDPOutputData(config) {
    m_tokens = config.isMember("tokens") && config["tokens"].isString() ? config["tokens"].asString() : "";
    int port = JsonInt(config, "port", 0);
    memset(&m_to, 0, sizeof(m_to));
    m_to.sin_family = AF_INET;
    m_to.sin_port = htons((uint16_t)port);
    bool ok = true;
    m_to.sin_addr.s_addr = toInetAddr(address, ok);
    if (!ok && active) {
        WarningHolder::AddWarning("Could not resolve host name " + address + " - disabling output");
        active = false;
    }
    m_broadcast = ok && (ntohl(m_to.sin_addr.s_addr) & 0xFF) == 0xFF;
    if (port < 1 || port > 65535) {
        LogErr(VB_CHANNELOUT, "GenericUDP output %s: port %d is not 1-65535, disabling output\n", address.c_str(),
               port);
        active = false;
    }
    CheckChannelSpan(startChannel, channelCount);
    ParseTokens();
}

GenericUDPOutputData::~GenericUDPOutputData() {}

void GenericUDPOutputData::AddBytes(const uint8_t* b, size_t n) {
    if (!m_segmentOpen) {
        m_segments.emplace_back();
        m_layout.push_back((int)m_segments.size() - 1);
        m_segmentOpen = true;
    }
    m_segments.back().insert(m_segments.back().end(), b, b + n);
}

static bool parseHexByte(const std::string& digits, uint8_t& out) {
    if (digits.empty()) return false;
    char* end = nullptr;
    unsigned long v = strtoul(digits.c_str(), &end, 16);
    if (*end != 0) return false;
    out = (uint8_t)(v & 0xFF);
    return true;
}

void GenericUDPOutputData::ParseTokens() {
    int pixels = channelCount / 3;
    for (const std::string& tok : split(m_tokens, ' ')) {
        if (tok.empty()) continue;
        uint8_t b[2];
        if (tok.size() <= 2) {
            AddBytes((const uint8_t*)tok.data(), tok.size());
        } else if (tok == "{data}") {
            m_layout.push_back(-1);
            m_segmentOpen = false;
        } else if (tok == "{P}" || tok == "{p}" || tok == "{P1}" || tok == "{p1}") {
            b[0] = (uint8_t)(pixels & 0xFF);
            AddBytes(b, 1);
        } else if (tok == "{S}" || tok == "{s}" || tok == "{S1}" || tok == "{s1}") {
            b[0] = (uint8_t)(channelCount & 0xFF);
            AddBytes(b, 1);
        } else if (tok == "{P2}") {
            b[0] = (uint8_t)(pixels & 0xFF);
            b[1] = (uint8_t)((pixels >> 8) & 0xFF);
            AddBytes(b, 2);
        } else if (tok == "{p2}") {
            b[0] = (uint8_t)((pixels >> 8) & 0xFF);
            b[1] = (uint8_t)(pixels & 0xFF);
            AddBytes(b, 2);
        } else if (tok == "{S2}") {
            b[0] = (uint8_t)(channelCount & 0xFF);
            b[1] = (uint8_t)((channelCount >> 8) & 0xFF);
            AddBytes(b, 2);
        } else if (tok == "{s2}") {
            b[0] = (uint8_t)((channelCount >> 8) & 0xFF);
            b[1] = (uint8_t)(channelCount & 0xFF);
            AddBytes(b, 2);
        } else if ((startsWith(tok, "0x") && parseHexByte(tok.substr(2), b[0])) ||
                   (tok[0] == '#' && parseHexByte(tok.substr(1), b[0]))) {
            AddBytes(b, 1);
        } else if (tok[0] == '{') {
            printf("Unknown token -%s-\n", tok.c_str());
            AddBytes((const uint8_t*)tok.data(), tok.size());
        }
        // any other token of 3 or more characters adds nothing
    }
    m_segmentOpen = false;

    m_dgIov.clear();
    m_dataSlots.clear();
    m_totalLength = 0;
    for (int piece : m_layout) {
        iovec v;
        if (piece < 0) {
            v.iov_base = nullptr;
            v.iov_len = channelCount > 0 ? channelCount : 0;
            m_dataSlots.push_back(m_dgIov.size());
        } else {
            v.iov_base = m_segments[piece].data();
            v.iov_len = m_segments[piece].size();
        }
        m_totalLength += v.iov_len;
        m_dgIov.push_back(v);
    }
}

std::vector<uint8_t> GenericUDPOutputData::BuildDatagram(const uint8_t* data) const {
    std::vector<uint8_t> out;
    for (int piece : m_layout) {
        if (piece < 0) out.insert(out.end(), data, data + channelCount);
        else out.insert(out.end(), m_segments[piece].begin(), m_segments[piece].end());
    }
    return out;
}

void GenericUDPOutputData::PrepareData(unsigned char* channelData, UDPOutputMessages& msgs) {
    if (!valid || !active || m_dgIov.empty()) return;
    if (!NeedToOutputFrame(channelData, startChannel - 1, 0, channelCount)) {
        NoteSkipped();
        return;
    }
    for (size_t slot : m_dataSlots) m_dgIov[slot].iov_base = channelData + startChannel - 1;
    struct mmsghdr m;
    memset(&m, 0, sizeof(m));
    m.msg_hdr.msg_name = &m_to;
    m.msg_hdr.msg_namelen = sizeof(m_to);
    m.msg_hdr.msg_iov = m_dgIov.data();
    m.msg_hdr.msg_iovlen = m_dgIov.size();
    m.msg_len = m_totalLength;
    uint32_t key = m_broadcast ? UDPOutputMessages::BROADCAST_KEY : m_to.sin_addr.s_addr;
    msgs.GetMessages(key).push_back(m);
    NoteQueued(0, key);
    ++m_datagrams;
    SaveFrame(channelData + startChannel - 1, channelCount);
}

// ------------------------------------------------------------------ output

GenericUDPOutput::GenericUDPOutput(unsigned int startChannel, unsigned int channelCount)
    : ChannelOutput(startChannel, channelCount) {}

GenericUDPOutput::~GenericUDPOutput() {}

int GenericUDPOutput::Init(Json::Value config) {
    if (UDPOutput::INSTANCE) {
        Json::Value dest = config;
        dest.removeMember("type");
        UDPOutput::INSTANCE->addOutput(new GenericUDPOutputData(dest));
    } else {
        LogErr(VB_CHANNELOUT, "GenericUDPOutput Requires the UDP outputs to be enabled\n");
    }
    return ChannelOutput::Init(config);
}

int GenericUDPOutput::Close() { return ChannelOutput::Close(); }

int GenericUDPOutput::SendData(unsigned char* channelData) { return m_channelCount; }

void GenericUDPOutput::GetRequiredChannelRanges(const std::function<void(int, int)>& add) {
    add(m_startChannel, m_startChannel + m_channelCount - 1);
}

ChannelOutput* GenericUDPPlugin::createChannelOutput(unsigned int startChannel, unsigned int channelCount) {
    return new GenericUDPOutput(startChannel, channelCount);
}

extern "C" {
KIVPlugins::Plugin* createPlugin() { return new GenericUDPPlugin(); }
}
