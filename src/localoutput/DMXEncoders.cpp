#include "localoutput/DMXEncoders.h"

#include <algorithm>
#include <cstring>

namespace {
// Sizes out to a message of len payload bytes (zeroed) with its start,
// label, length and end; returns where the payload goes.
uint8_t* usbProMessage(uint8_t label, size_t len, std::vector<uint8_t>& out) {
    out.assign(len + 5, 0);
    out[0] = USBPRO_MESSAGE_START;
    out[1] = label;
    out[2] = (uint8_t)(len & 0xFF);
    out[3] = (uint8_t)(len >> 8);
    out[len + 4] = USBPRO_MESSAGE_END;
    return out.data() + 4;
}
}  // namespace

void EncodeUsbProMessage(uint8_t label, const uint8_t* payload, size_t len, std::vector<uint8_t>& out) {
    uint8_t* p = usbProMessage(label, len, out);
    if (len) memcpy(p, payload, len);
}

void EncodeUsbProDmx(const uint8_t* channels, size_t count, std::vector<uint8_t>& out) {
    count = std::min(count, DMX_MAX_CHANNELS);
    uint8_t* p = usbProMessage(USBPRO_LABEL_SEND_DMX, std::max(count, USBPRO_MIN_DMX_CHANNELS) + 1, out);
    p[0] = DMX_START_CODE;
    if (count) memcpy(p + 1, channels, count);
}

void EncodeDmxPacket(const uint8_t* channels, size_t count, std::vector<uint8_t>& out) {
    count = std::min(count, DMX_MAX_CHANNELS);
    out.resize(count + 1);
    out[0] = DMX_START_CODE;
    if (count) memcpy(out.data() + 1, channels, count);
}

int DmxPacketMicros(size_t count) {
    count = std::min(count, DMX_MAX_CHANNELS);
    int us = DMX_BREAK_US + DMX_MARK_AFTER_BREAK_US + (int)(count + 1) * DMX_SLOT_US;
    return std::max(us, DMX_MIN_PACKET_US);
}
