// The JPEG decoder's AVX2 kernels: two blocks' inverse DCT at once (one per
// 128-bit half), sixteen pixels' colour conversion, sixteen samples of
// upsampling. Same bytes as the portable kernels. Built with -mavx2.
#include "jpeg_decode_kernels.h"

#if defined(__x86_64__) || defined(_M_X64)

#include <immintrin.h>

#include <cstring>

#define JPEG_IDCT_NAMESPACE idct_avx2
#define JPEG_IDCT_VEC __m256i
#define JPEG_OP(name) _mm256_##name
#define JPEG_SET1_EPI32 _mm256_set1_epi32
#define JPEG_SETZERO _mm256_setzero_si256
#include "jpeg_idct_simd.h"

namespace {

inline __m128i load(const int16_t *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }
inline __m128i load8(const uint8_t *p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)); }
inline __m128i load16(const uint8_t *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }
inline void store8(uint8_t *p, __m128i v) { _mm_storel_epi64(reinterpret_cast<__m128i *>(p), v); }

inline bool dc_only(const int16_t *block) {
    __m256i any = _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(block)),
                                   _mm256_setr_epi16(0, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1));
    for (int i = 1; i < 4; ++i) any = _mm256_or_si256(any, _mm256_loadu_si256(reinterpret_cast<const __m256i *>(block + 16 * i)));
    return _mm256_testz_si256(any, any) != 0;
}

inline void fill(uint8_t *out, size_t stride, uint8_t v) {
    for (int i = 0; i < 8; ++i) std::memset(out + i * stride, v, 8);
}

// Blocks a and b into the 8 x 8 pixels at out_a and out_b.
inline void idct_pair(const int16_t *a, const int16_t *b, uint8_t *out_a, uint8_t *out_b, size_t stride) {
    __m256i r[8];
    for (int i = 0; i < 8; ++i) r[i] = _mm256_inserti128_si256(_mm256_castsi128_si256(load(a + i * 8)), load(b + i * 8), 1);
    __m256i p[4];
    idct_avx2::idct(r, p);
    const __m256i *order[4] = {&p[0], &p[2], &p[1], &p[3]};
    for (int i = 0; i < 4; ++i) {
        const __m128i lo = _mm256_castsi256_si128(*order[i]), hi = _mm256_extracti128_si256(*order[i], 1);
        store8(out_a + (2 * i) * stride, lo);
        store8(out_a + (2 * i + 1) * stride, _mm_unpackhi_epi64(lo, lo));
        if (out_b) {
            store8(out_b + (2 * i) * stride, hi);
            store8(out_b + (2 * i + 1) * stride, _mm_unpackhi_epi64(hi, hi));
        }
    }
}

inline void idct_one(const int16_t *block, uint8_t *out, size_t stride) {
    if (dc_only(block))
        fill(out, stride, jpeg_idct::dc_only_pixel(block[0]));
    else
        idct_pair(block, block, out, nullptr, stride);
}

}  // namespace

void jpeg_idct_row_avx2(const int16_t *blocks, int count, uint8_t *out, size_t stride) {
    int b = 0;
    for (; b + 1 < count; b += 2, blocks += 128, out += 16) {
        const bool first_flat = dc_only(blocks), second_flat = dc_only(blocks + 64);
        if (first_flat && second_flat) {
            fill(out, stride, jpeg_idct::dc_only_pixel(blocks[0]));
            fill(out + 8, stride, jpeg_idct::dc_only_pixel(blocks[64]));
        } else if (first_flat || second_flat) {
            idct_one(blocks, out, stride);
            idct_one(blocks + 64, out + 8, stride);
        } else {
            idct_pair(blocks, blocks + 64, out, out + 8, stride);
        }
    }
    if (b < count) idct_one(blocks, out, stride);
}

void jpeg_ycbcr_row_avx2(uint8_t *out, const uint8_t *y, const uint8_t *cb, const uint8_t *cr, int count) {
    using namespace jpeg_ycbcr;
    const __m256i cr_r = _mm256_set1_epi16(static_cast<short>(kCrToR)), cr_g = _mm256_set1_epi16(static_cast<short>(kCrToG));
    const __m256i cb_g = _mm256_set1_epi16(static_cast<short>(kCbToG)), cb_b = _mm256_set1_epi16(static_cast<short>(kCbToB));
    const __m256i chroma_bias = _mm256_set1_epi16(128), luma_bias = _mm256_set1_epi16(8);
    const __m256i alpha = _mm256_set1_epi16(255);
    int i = 0;
    // Sixteen pixels at a time; the tail of eight uses the same lanes.
    auto convert = [&](const __m256i yv, const __m256i cbv, const __m256i crv, __m256i &lo, __m256i &hi) {
        const __m256i ys = _mm256_add_epi16(_mm256_slli_epi16(yv, 4), luma_bias);
        const __m256i crw = _mm256_slli_epi16(_mm256_sub_epi16(crv, chroma_bias), 8);
        const __m256i cbw = _mm256_slli_epi16(_mm256_sub_epi16(cbv, chroma_bias), 8);
        const __m256i r = _mm256_srai_epi16(_mm256_add_epi16(_mm256_mulhi_epi16(cr_r, crw), ys), 4);
        const __m256i g = _mm256_srai_epi16(
            _mm256_add_epi16(_mm256_add_epi16(_mm256_mulhi_epi16(cb_g, cbw), ys), _mm256_mulhi_epi16(crw, cr_g)), 4);
        const __m256i b = _mm256_srai_epi16(_mm256_add_epi16(ys, _mm256_mulhi_epi16(cbw, cb_b)), 4);
        const __m256i rb = _mm256_packus_epi16(r, b), ga = _mm256_packus_epi16(g, alpha);
        const __m256i t0 = _mm256_unpacklo_epi8(rb, ga), t1 = _mm256_unpackhi_epi8(rb, ga);
        const __m256i o0 = _mm256_unpacklo_epi16(t0, t1), o1 = _mm256_unpackhi_epi16(t0, t1);
        lo = _mm256_permute2x128_si256(o0, o1, 0x20);
        hi = _mm256_permute2x128_si256(o0, o1, 0x31);
    };
    for (; i + 15 < count; i += 16) {
        __m256i lo, hi;
        convert(_mm256_cvtepu8_epi16(load16(y + i)), _mm256_cvtepu8_epi16(load16(cb + i)),
                _mm256_cvtepu8_epi16(load16(cr + i)), lo, hi);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + i * 4), lo);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + i * 4 + 32), hi);
    }
    if (i + 7 < count) {
        __m256i lo, hi;
        convert(_mm256_cvtepu8_epi16(load8(y + i)), _mm256_cvtepu8_epi16(load8(cb + i)),
                _mm256_cvtepu8_epi16(load8(cr + i)), lo, hi);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + i * 4), lo);
        i += 8;
    }
    for (; i < count; ++i) scalar_pixel(out + i * 4, y[i], cb[i], cr[i]);
}

namespace {

inline __m256i widen16(const uint8_t *p) { return _mm256_cvtepu8_epi16(load16(p)); }

inline __m256i vertical(const uint8_t *near, const uint8_t *far) {
    const __m256i n = widen16(near), f = widen16(far);
    return _mm256_add_epi16(_mm256_add_epi16(n, n), _mm256_add_epi16(n, f));
}

// Sixteen even and sixteen odd outputs interleaved into 32 bytes.
inline void store_pairs(uint8_t *out, __m256i even, __m256i odd) {
    const __m256i e = _mm256_packus_epi16(even, even), o = _mm256_packus_epi16(odd, odd);
    // Lane halves: e = (e0..7 e0..7 | e8..15 e8..15); interleave within each half.
    const __m256i pairs = _mm256_unpacklo_epi8(e, o);  // (e0 o0 .. e7 o7 | e8 o8 .. e15 o15)
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out), pairs);
}

}  // namespace

void jpeg_upsample_hv2_avx2(uint8_t *out, const uint8_t *near, const uint8_t *far, int w) {
    if (w < 18) {
        jpeg_upsample_hv2_portable(out, near, far, w);
        return;
    }
    const __m256i bias = _mm256_set1_epi16(8);
    int i = 1;
    for (; i + 16 <= w - 1; i += 16) {
        const __m256i c = vertical(near + i, far + i);
        const __m256i p = vertical(near + i - 1, far + i - 1);
        const __m256i n = vertical(near + i + 1, far + i + 1);
        const __m256i c3 = _mm256_add_epi16(_mm256_add_epi16(c, c), _mm256_add_epi16(c, bias));
        store_pairs(out + 2 * i, _mm256_srli_epi16(_mm256_add_epi16(c3, p), 4),
                    _mm256_srli_epi16(_mm256_add_epi16(c3, n), 4));
    }
    jpeg_upsample_hv2_rest(out, near, far, i, w);
}

void jpeg_upsample_h2_avx2(uint8_t *out, const uint8_t *in, int w) {
    if (w < 18) {
        jpeg_upsample_h2_portable(out, in, w);
        return;
    }
    const __m256i bias = _mm256_set1_epi16(2);
    int i = 1;
    for (; i + 16 <= w - 1; i += 16) {
        const __m256i c = widen16(in + i), p = widen16(in + i - 1), n = widen16(in + i + 1);
        const __m256i c3 = _mm256_add_epi16(_mm256_add_epi16(c, c), _mm256_add_epi16(c, bias));
        store_pairs(out + 2 * i, _mm256_srli_epi16(_mm256_add_epi16(c3, p), 2),
                    _mm256_srli_epi16(_mm256_add_epi16(c3, n), 2));
    }
    for (; i < w - 1; ++i) {
        const int n = 3 * in[i] + 2;
        out[2 * i] = static_cast<uint8_t>((n + in[i - 1]) >> 2);
        out[2 * i + 1] = static_cast<uint8_t>((n + in[i + 1]) >> 2);
    }
    out[0] = in[0];
    out[1] = static_cast<uint8_t>((in[0] * 3 + in[1] + 2) >> 2);
    out[2 * w - 2] = static_cast<uint8_t>((in[w - 2] * 3 + in[w - 1] + 2) >> 2);
    out[2 * w - 1] = in[w - 1];
}

#endif
