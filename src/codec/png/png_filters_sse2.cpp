// The PNG filter kernels with SSE2, 16 bytes at a time (every x86-64 CPU).
#include "png_filters.h"

#if defined(VELMORA_PNG_X86_KERNELS)
#include <emmintrin.h>

#include "png_sse2.h"

namespace {

inline __m128i load(const unsigned char *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }

// floor((a + b) / 2) per byte.
inline __m128i average_floor(__m128i a, __m128i b) {
    return _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), _mm_set1_epi8(1)));
}

inline __m128i paeth_predict(__m128i a, __m128i b, __m128i c) {
    const __m128i z = _mm_setzero_si128();
    const __m128i lo = paeth16(_mm_unpacklo_epi8(a, z), _mm_unpacklo_epi8(b, z), _mm_unpacklo_epi8(c, z));
    const __m128i hi = paeth16(_mm_unpackhi_epi8(a, z), _mm_unpackhi_epi8(b, z), _mm_unpackhi_epi8(c, z));
    return _mm_packus_epi16(lo, hi);
}

// Sum of abs((signed char)) of the 16 bytes, in two 64-bit lanes.
inline __m128i score(__m128i v) {
    const __m128i magnitude = _mm_min_epu8(v, _mm_sub_epi8(_mm_setzero_si128(), v));
    return _mm_sad_epu8(magnitude, _mm_setzero_si128());
}

inline uint64_t lanes_sum(__m128i v) {
    return static_cast<uint64_t>(_mm_cvtsi128_si64(v)) + static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(v, v)));
}

inline __m128i filtered(int filter, __m128i x, __m128i a, __m128i b, __m128i c) {
    switch (filter) {
    case 1: return _mm_sub_epi8(x, a);
    case 2: return _mm_sub_epi8(x, b);
    case 3: return _mm_sub_epi8(x, average_floor(a, b));
    case 4: return _mm_sub_epi8(x, paeth_predict(a, b, c));
    default: return x;
    }
}

}  // namespace

void png_score_sse2(const unsigned char *row, const unsigned char *prev, size_t n, uint64_t sums[5]) {
    for (int f = 0; f < 5; ++f) sums[f] = 0;
    png_score_span(row, prev, 0, n < 4 ? n : 4, sums);
    __m128i s0 = _mm_setzero_si128(), s1 = s0, s2 = s0, s3 = s0, s4 = s0;
    size_t k = 4;
    for (; k + 16 <= n; k += 16) {
        const __m128i x = load(row + k), a = load(row + k - 4), b = load(prev + k), c = load(prev + k - 4);
        s0 = _mm_add_epi64(s0, score(x));
        s1 = _mm_add_epi64(s1, score(_mm_sub_epi8(x, a)));
        s2 = _mm_add_epi64(s2, score(_mm_sub_epi8(x, b)));
        s3 = _mm_add_epi64(s3, score(_mm_sub_epi8(x, average_floor(a, b))));
        s4 = _mm_add_epi64(s4, score(_mm_sub_epi8(x, paeth_predict(a, b, c))));
    }
    sums[0] += lanes_sum(s0), sums[1] += lanes_sum(s1), sums[2] += lanes_sum(s2), sums[3] += lanes_sum(s3),
        sums[4] += lanes_sum(s4);
    if (k < n) png_score_span(row, prev, k, n, sums);
}

void png_apply_sse2(int filter, const unsigned char *row, const unsigned char *prev, size_t n, unsigned char *out) {
    png_apply_span(filter, row, prev, 0, n < 4 ? n : 4, out);
    size_t k = 4;
    for (; k + 16 <= n; k += 16) {
        const __m128i x = load(row + k), a = load(row + k - 4), b = load(prev + k), c = load(prev + k - 4);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + k), filtered(filter, x, a, b, c));
    }
    if (k < n) png_apply_span(filter, row, prev, k, n, out);
}

#endif
