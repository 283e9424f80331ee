#include "checksums.h"

namespace {

// Slice-by-8 tables: t[0] is the byte-at-a-time table, t[s] advances a byte
// that is s more bytes ahead.
struct crc_tables {
    uint32_t t[8][256];
};

constexpr crc_tables make_crc_tables() {
    crc_tables c{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t v = n;
        for (int k = 0; k < 8; ++k) v = (v & 1) ? 0xEDB88320u ^ (v >> 1) : v >> 1;
        c.t[0][n] = v;
    }
    for (uint32_t n = 0; n < 256; ++n)
        for (int s = 1; s < 8; ++s) c.t[s][n] = (c.t[s - 1][n] >> 8) ^ c.t[0][c.t[s - 1][n] & 0xFF];
    return c;
}

constexpr crc_tables kCrc = make_crc_tables();

inline uint32_t load32_le(const unsigned char *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

uint32_t crc32_update(uint32_t crc, const unsigned char *p, size_t n) {
    uint32_t c = ~crc;
    // Slice-by-8: eight table look-ups per eight bytes.
    while (n >= 8) {
        const uint32_t lo = load32_le(p) ^ c, hi = load32_le(p + 4);
        c = kCrc.t[7][lo & 0xFF] ^ kCrc.t[6][(lo >> 8) & 0xFF] ^ kCrc.t[5][(lo >> 16) & 0xFF] ^ kCrc.t[4][lo >> 24] ^
            kCrc.t[3][hi & 0xFF] ^ kCrc.t[2][(hi >> 8) & 0xFF] ^ kCrc.t[1][(hi >> 16) & 0xFF] ^ kCrc.t[0][hi >> 24];
        p += 8;
        n -= 8;
    }
    while (n--) c = (c >> 8) ^ kCrc.t[0][(c ^ *p++) & 0xFF];
    return ~c;
}

uint32_t adler32(const unsigned char *p, size_t n) { return adler32_update(1, p, n); }

uint32_t adler32_update(uint32_t adler, const unsigned char *p, size_t n) {
    // 5552 is the most bytes whose sums cannot overflow 32 bits before the
    // modulo.
    uint32_t s1 = adler & 0xFFFF, s2 = adler >> 16;
    while (n) {
        size_t block = n < 5552 ? n : 5552;
        n -= block;
        while (block >= 8) {
            s1 += p[0]; s2 += s1;
            s1 += p[1]; s2 += s1;
            s1 += p[2]; s2 += s1;
            s1 += p[3]; s2 += s1;
            s1 += p[4]; s2 += s1;
            s1 += p[5]; s2 += s1;
            s1 += p[6]; s2 += s1;
            s1 += p[7]; s2 += s1;
            p += 8;
            block -= 8;
        }
        while (block--) {
            s1 += *p++;
            s2 += s1;
        }
        s1 %= 65521;
        s2 %= 65521;
    }
    return s2 << 16 | s1;
}
