// Reading and writing big-endian integers, the byte order of JPEG and PNG
// headers and of ICC profiles.
#ifndef VELMORA_BYTE_ORDER_H
#define VELMORA_BYTE_ORDER_H

#include <cstdint>

inline uint32_t load_be16(const unsigned char *p) { return static_cast<uint32_t>(p[0]) << 8 | p[1]; }

inline uint32_t load_be32(const unsigned char *p) { return load_be16(p) << 16 | load_be16(p + 2); }

inline void store_be32(unsigned char *p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

// Header parsers that may run past a file's end read zeros there, as
// stb_image's readers do: the byte at offset k of a size-byte block, or 0
// outside it, and the big-endian pair starting there.
inline uint32_t byte_or_zero(const unsigned char *b, long long size, long long k) {
    return k >= 0 && k < size ? b[k] : 0u;
}

inline uint32_t be16_or_zero(const unsigned char *b, long long size, long long k) {
    return byte_or_zero(b, size, k) << 8 | byte_or_zero(b, size, k + 1);
}

#endif
