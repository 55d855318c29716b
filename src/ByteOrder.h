#pragma once
// The one place multi-byte integers meet byte buffers: little-endian for
// sequence files, big-endian where a network protocol says so. Every field
// goes through these so the byte order is stated at the field, never by
// casting pointers into buffers of unknown alignment.

#include <cstdint>

inline uint16_t GetBE16(const uint8_t* p) { return (uint16_t)((p[0] << 8) | p[1]); }
inline uint32_t GetBE32(const uint8_t* p) {
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}
inline uint64_t GetBE64(const uint8_t* p) { return ((uint64_t)GetBE32(p) << 32) | GetBE32(p + 4); }
inline void PutBE16(uint8_t* p, uint16_t v) {
    p[0] = (uint8_t)(v >> 8);
    p[1] = (uint8_t)v;
}
inline void PutBE32(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}
inline void PutBE64(uint8_t* p, uint64_t v) {
    PutBE32(p, (uint32_t)(v >> 32));
    PutBE32(p + 4, (uint32_t)v);
}

inline uint16_t GetLE16(const uint8_t* p) { return (uint16_t)(p[0] | (p[1] << 8)); }
inline uint32_t GetLE24(const uint8_t* p) { return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16); }
inline uint32_t GetLE32(const uint8_t* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
inline uint64_t GetLE64(const uint8_t* p) { return (uint64_t)GetLE32(p) | ((uint64_t)GetLE32(p + 4) << 32); }
inline void PutLE16(uint8_t* p, uint16_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}
inline void PutLE24(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
}
inline void PutLE32(uint8_t* p, uint32_t v) {
    PutLE16(p, (uint16_t)v);
    PutLE16(p + 2, (uint16_t)(v >> 16));
}
inline void PutLE64(uint8_t* p, uint64_t v) {
    PutLE32(p, (uint32_t)v);
    PutLE32(p + 4, (uint32_t)(v >> 32));
}
