// The PNG filter kernels with AVX2, 32 bytes at a time. Compiled with
// -mavx2 on x86-64 only, and called only where the CPU has AVX2.
#include "png_filters.h"

#if defined(VELMORA_PNG_X86_KERNELS) && defined(__AVX2__)
#include <immintrin.h>

namespace {

inline __m256i load(const unsigned char *p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)); }

inline __m256i average_floor(__m256i a, __m256i b) {
    return _mm256_sub_epi8(_mm256_avg_epu8(a, b), _mm256_and_si256(_mm256_xor_si256(a, b), _mm256_set1_epi8(1)));
}

// The Paeth predictor on 16-bit lanes holding bytes.
inline __m256i paeth16(__m256i a, __m256i b, __m256i c) {
    const __m256i db = _mm256_sub_epi16(b, c), da = _mm256_sub_epi16(a, c);
    const __m256i pa = _mm256_abs_epi16(db), pb = _mm256_abs_epi16(da), pc = _mm256_abs_epi16(_mm256_add_epi16(db, da));
    const __m256i not_a = _mm256_or_si256(_mm256_cmpgt_epi16(pa, pb), _mm256_cmpgt_epi16(pa, pc));
    const __m256i not_b = _mm256_cmpgt_epi16(pb, pc);
    return _mm256_blendv_epi8(a, _mm256_blendv_epi8(b, c, not_b), not_a);
}

inline __m128i paeth_half(const unsigned char *row, const unsigned char *prev) {
    const __m128i *r = reinterpret_cast<const __m128i *>(row - 4), *p = reinterpret_cast<const __m128i *>(prev);
    const __m256i a = _mm256_cvtepu8_epi16(_mm_loadu_si128(r));
    const __m256i b = _mm256_cvtepu8_epi16(_mm_loadu_si128(p));
    const __m256i c = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(prev - 4)));
    const __m256i pred = paeth16(a, b, c);
    return _mm_packus_epi16(_mm256_castsi256_si128(pred), _mm256_extracti128_si256(pred, 1));
}

// The Paeth predictions for the 32 bytes at row + k.
inline __m256i paeth_predict(const unsigned char *row, const unsigned char *prev) {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(paeth_half(row, prev)), paeth_half(row + 16, prev + 16), 1);
}

// Sum of abs((signed char)) of the 32 bytes, in four 64-bit lanes.
inline __m256i score(__m256i v) { return _mm256_sad_epu8(_mm256_abs_epi8(v), _mm256_setzero_si256()); }

inline uint64_t lanes_sum(__m256i v) {
    const __m128i s = _mm_add_epi64(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    return static_cast<uint64_t>(_mm_cvtsi128_si64(s)) + static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(s, s)));
}

}  // namespace

void png_score_avx2(const unsigned char *row, const unsigned char *prev, size_t n, uint64_t sums[5]) {
    for (int f = 0; f < 5; ++f) sums[f] = 0;
    png_score_span(row, prev, 0, n < 4 ? n : 4, sums);
    __m256i s0 = _mm256_setzero_si256(), s1 = s0, s2 = s0, s3 = s0, s4 = s0;
    size_t k = 4;
    for (; k + 32 <= n; k += 32) {
        const __m256i x = load(row + k), a = load(row + k - 4), b = load(prev + k);
        s0 = _mm256_add_epi64(s0, score(x));
        s1 = _mm256_add_epi64(s1, score(_mm256_sub_epi8(x, a)));
        s2 = _mm256_add_epi64(s2, score(_mm256_sub_epi8(x, b)));
        s3 = _mm256_add_epi64(s3, score(_mm256_sub_epi8(x, average_floor(a, b))));
        s4 = _mm256_add_epi64(s4, score(_mm256_sub_epi8(x, paeth_predict(row + k, prev + k))));
    }
    sums[0] += lanes_sum(s0), sums[1] += lanes_sum(s1), sums[2] += lanes_sum(s2), sums[3] += lanes_sum(s3),
        sums[4] += lanes_sum(s4);
    if (k < n) png_score_span(row, prev, k, n, sums);
}

void png_apply_avx2(int filter, const unsigned char *row, const unsigned char *prev, size_t n, unsigned char *out) {
    png_apply_span(filter, row, prev, 0, n < 4 ? n : 4, out);
    size_t k = 4;
    for (; k + 32 <= n; k += 32) {
        const __m256i x = load(row + k);
        __m256i f;
        switch (filter) {
        case 1: f = _mm256_sub_epi8(x, load(row + k - 4)); break;
        case 2: f = _mm256_sub_epi8(x, load(prev + k)); break;
        case 3: f = _mm256_sub_epi8(x, average_floor(load(row + k - 4), load(prev + k))); break;
        case 4: f = _mm256_sub_epi8(x, paeth_predict(row + k, prev + k)); break;
        default: f = x; break;
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + k), f);
    }
    if (k < n) png_apply_span(filter, row, prev, k, n, out);
}

#endif
