// The JPEG writer's block kernel with AVX2, eight lanes: one block's pixel
// rows are transposed once as integers so that lanes hold rows, which gives
// the eight row DCTs at once; one float transpose then gives the columns.
// Built with -mavx2 (and no FMA: every product is rounded before its sum).
#include "jpeg_kernels.h"

#if defined(__x86_64__) || defined(_M_X64)

#include <immintrin.h>

namespace {

inline __m256 vadd(__m256 a, __m256 b) { return _mm256_add_ps(a, b); }
inline __m256 vsub(__m256 a, __m256 b) { return _mm256_sub_ps(a, b); }
inline __m256 vmul(__m256 a, float b) { return _mm256_mul_ps(a, _mm256_set1_ps(b)); }

}  // namespace

#include "jpeg_dct.h"

namespace {

// 8 x 8 transpose of 32-bit elements.
inline void transpose8(__m256i v[8]) {
    __m256i t[8], u[8];
    for (int i = 0; i < 4; ++i) {
        t[2 * i] = _mm256_unpacklo_epi32(v[2 * i], v[2 * i + 1]);
        t[2 * i + 1] = _mm256_unpackhi_epi32(v[2 * i], v[2 * i + 1]);
    }
    for (int i = 0; i < 2; ++i) {
        u[4 * i + 0] = _mm256_unpacklo_epi64(t[4 * i], t[4 * i + 2]);
        u[4 * i + 1] = _mm256_unpackhi_epi64(t[4 * i], t[4 * i + 2]);
        u[4 * i + 2] = _mm256_unpacklo_epi64(t[4 * i + 1], t[4 * i + 3]);
        u[4 * i + 3] = _mm256_unpackhi_epi64(t[4 * i + 1], t[4 * i + 3]);
    }
    for (int i = 0; i < 4; ++i) {
        v[i] = _mm256_permute2x128_si256(u[i], u[i + 4], 0x20);
        v[i + 4] = _mm256_permute2x128_si256(u[i], u[i + 4], 0x31);
    }
}

inline void transpose8(__m256 v[8]) {
    __m256 t[8], u[8];
    for (int i = 0; i < 4; ++i) {
        t[2 * i] = _mm256_unpacklo_ps(v[2 * i], v[2 * i + 1]);
        t[2 * i + 1] = _mm256_unpackhi_ps(v[2 * i], v[2 * i + 1]);
    }
    for (int i = 0; i < 2; ++i) {
        u[4 * i + 0] = _mm256_shuffle_ps(t[4 * i], t[4 * i + 2], 0x44);
        u[4 * i + 1] = _mm256_shuffle_ps(t[4 * i], t[4 * i + 2], 0xEE);
        u[4 * i + 2] = _mm256_shuffle_ps(t[4 * i + 1], t[4 * i + 3], 0x44);
        u[4 * i + 3] = _mm256_shuffle_ps(t[4 * i + 1], t[4 * i + 3], 0xEE);
    }
    for (int i = 0; i < 4; ++i) {
        v[i] = _mm256_permute2f128_ps(u[i], u[i + 4], 0x20);
        v[i + 4] = _mm256_permute2f128_ps(u[i], u[i + 4], 0x31);
    }
}

// Row DCTs (d[x] holds column x of all eight rows), the transpose, column
// DCTs and quantization of one component: 64 coefficients in natural order
// to `out`; returns the nonzero mask.
uint64_t finish_component(__m256 d[8], const float *multipliers, int16_t *out) {
    jpeg_dct8(d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7]);
    transpose8(d);
    jpeg_dct8(d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7]);
    // (int)(v < 0 ? v - 0.5f : v + 0.5f): adding 0.5 with v's sign is the same
    // sum, and the conversion truncates.
    const __m256 half = _mm256_set1_ps(0.5f), sign = _mm256_set1_ps(-0.0f);
    __m256i q[8];
    for (int v = 0; v < 8; ++v) {
        const __m256 x = _mm256_mul_ps(d[v], _mm256_loadu_ps(multipliers + v * 8));
        q[v] = _mm256_cvttps_epi32(_mm256_add_ps(x, _mm256_or_ps(half, _mm256_and_ps(x, sign))));
    }
    __m256i pairs[4];
    for (int i = 0; i < 4; ++i) {
        // packs works within 128-bit halves: put rows 2i and 2i+1 back in order.
        pairs[i] = _mm256_permute4x64_epi64(_mm256_packs_epi32(q[2 * i], q[2 * i + 1]), 0xD8);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + 16 * i), pairs[i]);
    }
    uint64_t mask = 0;
    const __m256i zero = _mm256_setzero_si256();
    for (int i = 0; i < 2; ++i) {
        const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packs_epi16(pairs[2 * i], pairs[2 * i + 1]), 0xD8);
        const uint32_t zeros = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(bytes, zero)));
        mask |= static_cast<uint64_t>(~zeros) << (32 * i);
    }
    return mask;
}

}  // namespace

void jpeg_blocks_avx2(const jpeg_band &band, int first, int count, const jpeg_quant &q, int16_t *coeffs,
                      uint64_t *masks) {
    alignas(32) unsigned char staging[8 * 32];
    const __m256i byte = _mm256_set1_epi32(0xFF);
    const __m256 ry = _mm256_set1_ps(0.29900f), gy = _mm256_set1_ps(0.58700f), by = _mm256_set1_ps(0.11400f);
    const __m256 ru = _mm256_set1_ps(-0.16874f), gu = _mm256_set1_ps(0.33126f), bu = _mm256_set1_ps(0.50000f);
    const __m256 rv = _mm256_set1_ps(0.50000f), gv = _mm256_set1_ps(0.41869f), bv = _mm256_set1_ps(0.08131f);
    const __m256 offset = _mm256_set1_ps(128.0f);
    for (int i = 0; i < count; ++i) {
        const int x = (first + i) * 8;
        const unsigned char *rows[8];
        jpeg_block_rows(band, x, staging, rows);
        __m256i p[8];
        for (int r = 0; r < 8; ++r) p[r] = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(rows[r]));
        transpose8(p);
        __m256 Y[8], U[8], V[8];
        for (int c = 0; c < 8; ++c) {
            const __m256 r = _mm256_cvtepi32_ps(_mm256_and_si256(p[c], byte));
            const __m256 g = _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srli_epi32(p[c], 8), byte));
            const __m256 b = _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srli_epi32(p[c], 16), byte));
            Y[c] = _mm256_sub_ps(
                _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(ry, r), _mm256_mul_ps(gy, g)), _mm256_mul_ps(by, b)),
                offset);
            U[c] = _mm256_add_ps(_mm256_sub_ps(_mm256_mul_ps(ru, r), _mm256_mul_ps(gu, g)), _mm256_mul_ps(bu, b));
            V[c] = _mm256_sub_ps(_mm256_sub_ps(_mm256_mul_ps(rv, r), _mm256_mul_ps(gv, g)), _mm256_mul_ps(bv, b));
        }
        masks[i * 3 + 0] = finish_component(Y, q.luma, coeffs + (i * 3 + 0) * 64);
        masks[i * 3 + 1] = finish_component(U, q.chroma, coeffs + (i * 3 + 1) * 64);
        masks[i * 3 + 2] = finish_component(V, q.chroma, coeffs + (i * 3 + 2) * 64);
    }
}

#endif
