#pragma once
// Little-endian integer helpers for the sequence file units (every integer
// in a .hseq file is little-endian). Used by src/hseq/*.cpp and the tests
// that build files by hand; never cast pointers into file buffers.

#include <cstdint>

inline uint16_t ReadLE16(const uint8_t* p) { return (uint16_t)(p[0] | (p[1] << 8)); }
inline uint32_t ReadLE24(const uint8_t* p) { return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16); }
inline uint32_t ReadLE32(const uint8_t* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
inline uint64_t ReadLE64(const uint8_t* p) { return (uint64_t)ReadLE32(p) | ((uint64_t)ReadLE32(p + 4) << 32); }

inline void WriteLE16(uint8_t* p, uint16_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}
inline void WriteLE24(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
}
inline void WriteLE32(uint8_t* p, uint32_t v) {
    WriteLE16(p, (uint16_t)v);
    WriteLE16(p + 2, (uint16_t)(v >> 16));
}
inline void WriteLE64(uint8_t* p, uint64_t v) {
    WriteLE32(p, (uint32_t)v);
    WriteLE32(p + 4, (uint32_t)(v >> 32));
}
