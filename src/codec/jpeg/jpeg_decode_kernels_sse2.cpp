// The JPEG decoder's SSE2 kernels: one block's inverse DCT at a time (eight
// columns in the lanes), eight pixels' colour conversion, eight samples of
// upsampling. Same bytes as the portable kernels.
#include "jpeg_decode_kernels.h"

#if defined(__x86_64__) || defined(_M_X64)

#include <emmintrin.h>

#include <cstring>

#define JPEG_IDCT_NAMESPACE idct_sse2
#define JPEG_IDCT_VEC __m128i
#define JPEG_OP(name) _mm_##name
#define JPEG_SET1_EPI32 _mm_set1_epi32
#define JPEG_SETZERO _mm_setzero_si128
#include "jpeg_idct_simd.h"

namespace {

inline __m128i load(const int16_t *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }
inline __m128i load8(const uint8_t *p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)); }
inline void store8(uint8_t *p, __m128i v) { _mm_storel_epi64(reinterpret_cast<__m128i *>(p), v); }

// True when every coefficient but the DC is zero.
inline bool dc_only(const __m128i r[8]) {
    __m128i any = _mm_and_si128(r[0], _mm_setr_epi16(0, -1, -1, -1, -1, -1, -1, -1));
    for (int i = 1; i < 8; ++i) any = _mm_or_si128(any, r[i]);
    return _mm_movemask_epi8(_mm_cmpeq_epi8(any, _mm_setzero_si128())) == 0xFFFF;
}

}  // namespace

void jpeg_idct_row_sse2(const int16_t *blocks, int count, uint8_t *out, size_t stride) {
    for (int b = 0; b < count; ++b, blocks += 64, out += 8) {
        __m128i r[8];
        for (int i = 0; i < 8; ++i) r[i] = load(blocks + i * 8);
        if (dc_only(r)) {
            const uint8_t v = jpeg_idct::dc_only_pixel(blocks[0]);
            for (int i = 0; i < 8; ++i) std::memset(out + i * stride, v, 8);
            continue;
        }
        __m128i p[4];
        idct_sse2::idct(r, p);
        const __m128i *order[4] = {&p[0], &p[2], &p[1], &p[3]};
        for (int i = 0; i < 4; ++i) {
            store8(out + (2 * i) * stride, *order[i]);
            store8(out + (2 * i + 1) * stride, _mm_unpackhi_epi64(*order[i], *order[i]));
        }
    }
}

void jpeg_ycbcr_row_sse2(uint8_t *out, const uint8_t *y, const uint8_t *cb, const uint8_t *cr, int count) {
    using namespace jpeg_ycbcr;
    const __m128i signflip = _mm_set1_epi8(-0x80);
    const __m128i cr_r = _mm_set1_epi16(static_cast<short>(kCrToR)), cr_g = _mm_set1_epi16(static_cast<short>(kCrToG));
    const __m128i cb_g = _mm_set1_epi16(static_cast<short>(kCbToG)), cb_b = _mm_set1_epi16(static_cast<short>(kCbToB));
    const __m128i y_bias = _mm_set1_epi8(static_cast<char>(128));
    const __m128i alpha = _mm_set1_epi16(255);
    const __m128i zero = _mm_setzero_si128();
    int i = 0;
    for (; i + 7 < count; i += 8) {
        const __m128i yw = _mm_unpacklo_epi8(y_bias, load8(y + i));
        const __m128i crw = _mm_unpacklo_epi8(zero, _mm_xor_si128(load8(cr + i), signflip));
        const __m128i cbw = _mm_unpacklo_epi8(zero, _mm_xor_si128(load8(cb + i), signflip));
        const __m128i ys = _mm_srli_epi16(yw, 4);
        const __m128i r = _mm_srai_epi16(_mm_add_epi16(_mm_mulhi_epi16(cr_r, crw), ys), 4);
        const __m128i g = _mm_srai_epi16(
            _mm_add_epi16(_mm_add_epi16(_mm_mulhi_epi16(cb_g, cbw), ys), _mm_mulhi_epi16(crw, cr_g)), 4);
        const __m128i b = _mm_srai_epi16(_mm_add_epi16(ys, _mm_mulhi_epi16(cbw, cb_b)), 4);
        const __m128i rb = _mm_packus_epi16(r, b), ga = _mm_packus_epi16(g, alpha);
        const __m128i t0 = _mm_unpacklo_epi8(rb, ga), t1 = _mm_unpackhi_epi8(rb, ga);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i * 4), _mm_unpacklo_epi16(t0, t1));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i * 4 + 16), _mm_unpackhi_epi16(t0, t1));
    }
    for (; i < count; ++i) scalar_pixel(out + i * 4, y[i], cb[i], cr[i]);
}

namespace {

// 3 * near + far for eight samples, as 16-bit lanes.
inline __m128i vertical(const uint8_t *near, const uint8_t *far) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i n = _mm_unpacklo_epi8(load8(near), zero), f = _mm_unpacklo_epi8(load8(far), zero);
    return _mm_add_epi16(_mm_add_epi16(n, n), _mm_add_epi16(n, f));
}

// Even and odd outputs (16-bit lanes, already scaled) interleaved into 16 bytes.
inline void store_pairs(uint8_t *out, __m128i even, __m128i odd) {
    const __m128i e = _mm_packus_epi16(even, even), o = _mm_packus_epi16(odd, odd);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm_unpacklo_epi8(e, o));
}

}  // namespace

void jpeg_upsample_hv2_sse2(uint8_t *out, const uint8_t *near, const uint8_t *far, int w) {
    if (w < 10) {
        jpeg_upsample_hv2_portable(out, near, far, w);
        return;
    }
    const __m128i bias = _mm_set1_epi16(8);
    int i = 1;
    // Samples 1 .. w - 2 have both neighbours.
    for (; i + 8 <= w - 1; i += 8) {
        const __m128i c = vertical(near + i, far + i);
        const __m128i p = vertical(near + i - 1, far + i - 1);
        const __m128i n = vertical(near + i + 1, far + i + 1);
        const __m128i c3 = _mm_add_epi16(_mm_add_epi16(c, c), _mm_add_epi16(c, bias));
        store_pairs(out + 2 * i, _mm_srli_epi16(_mm_add_epi16(c3, p), 4), _mm_srli_epi16(_mm_add_epi16(c3, n), 4));
    }
    jpeg_upsample_hv2_rest(out, near, far, i, w);
}

void jpeg_upsample_h2_sse2(uint8_t *out, const uint8_t *in, int w) {
    if (w < 10) {
        jpeg_upsample_h2_portable(out, in, w);
        return;
    }
    const __m128i zero = _mm_setzero_si128(), bias = _mm_set1_epi16(2);
    int i = 1;
    for (; i + 8 <= w - 1; i += 8) {
        const __m128i c = _mm_unpacklo_epi8(load8(in + i), zero);
        const __m128i p = _mm_unpacklo_epi8(load8(in + i - 1), zero);
        const __m128i n = _mm_unpacklo_epi8(load8(in + i + 1), zero);
        const __m128i c3 = _mm_add_epi16(_mm_add_epi16(c, c), _mm_add_epi16(c, bias));
        store_pairs(out + 2 * i, _mm_srli_epi16(_mm_add_epi16(c3, p), 2), _mm_srli_epi16(_mm_add_epi16(c3, n), 2));
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
