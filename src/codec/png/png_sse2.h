// SSE2 pieces the PNG filter and unfilter kernels share. Included only by
// the files built for SSE2.
#ifndef VELMORA_PNG_SSE2_H
#define VELMORA_PNG_SSE2_H

#include <emmintrin.h>

inline __m128i abs16(__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(_mm_setzero_si128(), v)); }

// The Paeth predictor on 16-bit lanes holding bytes.
inline __m128i paeth16(__m128i a, __m128i b, __m128i c) {
    const __m128i db = _mm_sub_epi16(b, c), da = _mm_sub_epi16(a, c);
    const __m128i pa = abs16(db), pb = abs16(da), pc = abs16(_mm_add_epi16(db, da));
    const __m128i not_a = _mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc));
    const __m128i not_b = _mm_cmpgt_epi16(pb, pc);
    const __m128i b_or_c = _mm_or_si128(_mm_and_si128(not_b, c), _mm_andnot_si128(not_b, b));
    return _mm_or_si128(_mm_and_si128(not_a, b_or_c), _mm_andnot_si128(not_a, a));
}

#endif
