// The JPEG writer's block kernel with SSE2, four lanes: each block's pixels
// are transposed once as integers so that lanes hold rows, which gives the
// row DCTs directly; one float transpose then gives the column DCTs.
#include "jpeg_kernels.h"

#if defined(__x86_64__) || defined(_M_X64)

#include <emmintrin.h>

namespace {

inline __m128 vadd(__m128 a, __m128 b) { return _mm_add_ps(a, b); }
inline __m128 vsub(__m128 a, __m128 b) { return _mm_sub_ps(a, b); }
inline __m128 vmul(__m128 a, float b) { return _mm_mul_ps(a, _mm_set1_ps(b)); }

}  // namespace

#include "jpeg_dct.h"

namespace {

inline void transpose4(__m128i &a, __m128i &b, __m128i &c, __m128i &d) {
    const __m128i t0 = _mm_unpacklo_epi32(a, b), t1 = _mm_unpacklo_epi32(c, d);
    const __m128i t2 = _mm_unpackhi_epi32(a, b), t3 = _mm_unpackhi_epi32(c, d);
    a = _mm_unpacklo_epi64(t0, t1);
    b = _mm_unpackhi_epi64(t0, t1);
    c = _mm_unpacklo_epi64(t2, t3);
    d = _mm_unpackhi_epi64(t2, t3);
}

inline void transpose4(__m128 &a, __m128 &b, __m128 &c, __m128 &d) {
    const __m128 t0 = _mm_unpacklo_ps(a, b), t1 = _mm_unpacklo_ps(c, d);
    const __m128 t2 = _mm_unpackhi_ps(a, b), t3 = _mm_unpackhi_ps(c, d);
    a = _mm_movelh_ps(t0, t1);
    b = _mm_movehl_ps(t1, t0);
    c = _mm_movelh_ps(t2, t3);
    d = _mm_movehl_ps(t3, t2);
}

// A component of one block, lanes holding four rows: part[g][x] is column x
// of rows 4g .. 4g + 3 before the row DCT, frequency x after it.
struct component {
    __m128 part[2][8];
};

// Row DCTs, the transpose, column DCTs and quantization of one component:
// 64 coefficients in natural order to `out`; returns the nonzero mask.
uint64_t finish_component(component &c, const float *multipliers, int16_t *out) {
    for (int g = 0; g < 2; ++g) {
        __m128 *d = c.part[g];
        jpeg_dct8(d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7]);
    }
    // cols[h][r]: row r, frequencies 4h .. 4h + 3.
    __m128 cols[2][8];
    for (int g = 0; g < 2; ++g)
        for (int h = 0; h < 2; ++h) {
            __m128 a = c.part[g][4 * h], b = c.part[g][4 * h + 1], e = c.part[g][4 * h + 2], f = c.part[g][4 * h + 3];
            transpose4(a, b, e, f);
            cols[h][4 * g] = a, cols[h][4 * g + 1] = b, cols[h][4 * g + 2] = e, cols[h][4 * g + 3] = f;
        }
    for (int h = 0; h < 2; ++h) {
        __m128 *d = cols[h];
        jpeg_dct8(d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7]);
    }
    // (int)(v < 0 ? v - 0.5f : v + 0.5f): adding 0.5 with v's sign is the same
    // sum, and the conversion truncates.
    const __m128 half = _mm_set1_ps(0.5f), sign = _mm_set1_ps(-0.0f);
    __m128i rows[8];
    for (int v = 0; v < 8; ++v) {
        __m128i q[2];
        for (int h = 0; h < 2; ++h) {
            const __m128 x = _mm_mul_ps(cols[h][v], _mm_loadu_ps(multipliers + v * 8 + 4 * h));
            q[h] = _mm_cvttps_epi32(_mm_add_ps(x, _mm_or_ps(half, _mm_and_ps(x, sign))));
        }
        rows[v] = _mm_packs_epi32(q[0], q[1]);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + v * 8), rows[v]);
    }
    uint64_t mask = 0;
    const __m128i zero = _mm_setzero_si128();
    for (int i = 0; i < 4; ++i) {
        const __m128i bytes = _mm_packs_epi16(rows[2 * i], rows[2 * i + 1]);
        const unsigned zeros = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, zero)));
        mask |= static_cast<uint64_t>(~zeros & 0xFFFFu) << (16 * i);
    }
    return mask;
}

}  // namespace

void jpeg_blocks_sse2(const jpeg_band &band, int first, int count, const jpeg_quant &q, int16_t *coeffs,
                      uint64_t *masks) {
    alignas(16) unsigned char staging[8 * 32];
    const __m128i byte = _mm_set1_epi32(0xFF);
    const __m128 ry = _mm_set1_ps(0.29900f), gy = _mm_set1_ps(0.58700f), by = _mm_set1_ps(0.11400f);
    const __m128 ru = _mm_set1_ps(-0.16874f), gu = _mm_set1_ps(0.33126f), bu = _mm_set1_ps(0.50000f);
    const __m128 rv = _mm_set1_ps(0.50000f), gv = _mm_set1_ps(0.41869f), bv = _mm_set1_ps(0.08131f);
    const __m128 offset = _mm_set1_ps(128.0f);
    for (int i = 0; i < count; ++i) {
        const int x = (first + i) * 8;
        const unsigned char *rows[8];
        jpeg_block_rows(band, x, staging, rows);
        component Y, U, V;
        for (int g = 0; g < 2; ++g)
            for (int h = 0; h < 2; ++h) {
                __m128i p[4];
                for (int k = 0; k < 4; ++k)
                    p[k] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(rows[4 * g + k] + 16 * h));
                transpose4(p[0], p[1], p[2], p[3]);
                for (int k = 0; k < 4; ++k) {
                    const __m128 r = _mm_cvtepi32_ps(_mm_and_si128(p[k], byte));
                    const __m128 gr = _mm_cvtepi32_ps(_mm_and_si128(_mm_srli_epi32(p[k], 8), byte));
                    const __m128 b = _mm_cvtepi32_ps(_mm_and_si128(_mm_srli_epi32(p[k], 16), byte));
                    const int col = 4 * h + k;
                    Y.part[g][col] = _mm_sub_ps(
                        _mm_add_ps(_mm_add_ps(_mm_mul_ps(ry, r), _mm_mul_ps(gy, gr)), _mm_mul_ps(by, b)), offset);
                    U.part[g][col] =
                        _mm_add_ps(_mm_sub_ps(_mm_mul_ps(ru, r), _mm_mul_ps(gu, gr)), _mm_mul_ps(bu, b));
                    V.part[g][col] =
                        _mm_sub_ps(_mm_sub_ps(_mm_mul_ps(rv, r), _mm_mul_ps(gv, gr)), _mm_mul_ps(bv, b));
                }
            }
        masks[i * 3 + 0] = finish_component(Y, q.luma, coeffs + (i * 3 + 0) * 64);
        masks[i * 3 + 1] = finish_component(U, q.chroma, coeffs + (i * 3 + 1) * 64);
        masks[i * 3 + 2] = finish_component(V, q.chroma, coeffs + (i * 3 + 2) * 64);
    }
}

#endif
