// The match search with SSE2 (every x86-64 CPU): one 16-byte compare per
// candidate, and all sixteen candidates' keys reduced at once.
#include "png_deflate_kernels.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <emmintrin.h>

namespace {

inline __m128i load16(const unsigned char *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }

// The common prefix length (0..16) of the 16 bytes `head` holds and those
// at q.
inline unsigned common16(__m128i head, const unsigned char *q) {
    const __m128i eq = _mm_cmpeq_epi8(head, load16(q));
    // Bit 16 stops the count when all sixteen are equal.
    return static_cast<unsigned>(__builtin_ctz(~static_cast<unsigned>(_mm_movemask_epi8(eq))));
}

// The largest of the sixteen keys length << 4 | index with length at least 3
// (keys stay below 2^15), or 0.
inline unsigned largest_key(const uint16_t length[16]) {
    const __m128i lo = _mm_load_si128(reinterpret_cast<const __m128i *>(length));
    const __m128i hi = _mm_load_si128(reinterpret_cast<const __m128i *>(length + 8));
    const __m128i two = _mm_set1_epi16(2);
    const __m128i key_lo = _mm_and_si128(_mm_cmpgt_epi16(lo, two),
                                         _mm_or_si128(_mm_slli_epi16(lo, 4), _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7)));
    const __m128i key_hi = _mm_and_si128(
        _mm_cmpgt_epi16(hi, two), _mm_or_si128(_mm_slli_epi16(hi, 4), _mm_setr_epi16(8, 9, 10, 11, 12, 13, 14, 15)));
    __m128i m = _mm_max_epi16(key_lo, key_hi);
    m = _mm_max_epi16(m, _mm_shuffle_epi32(m, _MM_SHUFFLE(1, 0, 3, 2)));
    m = _mm_max_epi16(m, _mm_shuffle_epi32(m, _MM_SHUFFLE(2, 3, 0, 1)));
    m = _mm_max_epi16(m, _mm_srli_epi32(m, 16));
    return static_cast<unsigned>(_mm_cvtsi128_si32(m)) & 0xFFFF;
}

}  // namespace

unsigned deflate_match_sse2(const unsigned char *cur, size_t i, const uint32_t *list, unsigned n, unsigned limit) {
    const __m128i head = load16(cur);
    alignas(16) uint16_t length[kDeflateBucketMax] = {};
    for (unsigned j = 0; j < n; ++j) {
        bool in_window;
        const unsigned char *q = candidate_bytes(cur, i, list[j], &in_window);
        unsigned d = common16(head, q);
        if (d == 16 && in_window) d += common_prefix(q + 16, cur + 16, limit - 16);
        length[j] = static_cast<uint16_t>(in_window ? d : 0);
    }
    return largest_key(length);
}

#endif
