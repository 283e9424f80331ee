// The compressor's match search, one version per instruction set: at one
// position, the best of the earlier positions a hash bucket holds, chosen by
// stb_image_write's rule. All versions give the same result; the word
// compares below are shared by every version and by the compressor's lazy
// step.
#ifndef VELMORA_PNG_DEFLATE_KERNELS_H
#define VELMORA_PNG_DEFLATE_KERNELS_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "cpu_features.h"

// The most candidates a bucket holds (stb's 2 * quality at level 8).
constexpr unsigned kDeflateBucketMax = 16;
// Distances from this far back are outside the window.
constexpr size_t kDeflateWindow = 32768;

// The best of the n (<= kDeflateBucketMax) candidates `list` holds for the
// match at position i, whose bytes are at cur (limit >= 16 of them may
// match): the longest of at least 3 bytes starting less than kDeflateWindow
// bytes back, the newest (highest index) of equally long ones, as stb's
// search with its `>=` picks it. Only candidates in that window are read, at
// cur minus their distance, up to limit bytes. Returns length << 4 | index,
// or 0 for none.
typedef unsigned deflate_match_fn(const unsigned char *cur, size_t i, const uint32_t *list, unsigned n,
                                  unsigned limit);

deflate_match_fn deflate_match_portable;
#if defined(__x86_64__) || defined(_M_X64)
deflate_match_fn deflate_match_sse2;
#endif

// The version for `path` as usable_simd_path settles it (SSE2 for AVX2).
deflate_match_fn *deflate_match_for(simd_path path);

inline uint64_t load64(const unsigned char *p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// The index of the first differing byte of two 8-byte words given their
// XOR x (non-zero), in memory order.
inline unsigned first_difference(uint64_t x) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return static_cast<unsigned>(__builtin_clzll(x)) / 8;
#else
    return static_cast<unsigned>(__builtin_ctzll(x)) / 8;
#endif
}

// The mask of the first k (1..8) bytes in memory order of a loaded word.
inline uint64_t prefix_mask(unsigned k) {
    const uint64_t ones = k >= 8 ? ~0ull : (1ull << (8 * k)) - 1;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return k >= 8 ? ones : ones << (8 * (8 - k));
#else
    return ones;
#endif
}

// Length of the common prefix of a and b, at most `limit` bytes; reads no
// byte at or past a + limit or b + limit.
inline unsigned common_prefix(const unsigned char *a, const unsigned char *b, unsigned limit) {
    unsigned k = 0;
    while (k + 8 <= limit) {
        const uint64_t x = load64(a + k) ^ load64(b + k);
        if (x) return k + first_difference(x);
        k += 8;
    }
    while (k < limit && a[k] == b[k]) ++k;
    return k;
}

// Where a candidate starts, and whether it is inside the window: the bytes
// `back` before cur, or cur itself (readable) for one outside.
inline const unsigned char *candidate_bytes(const unsigned char *cur, size_t i, uint32_t pos, bool *in_window) {
    const size_t back = i - pos;
    *in_window = back < kDeflateWindow;
    return *in_window ? cur - back : cur;
}

#endif
