// The inverse DCT's vector passes, written once for 128-bit lanes and used
// by the SSE2 kernels (one block) and the AVX2 kernels (two blocks, one per
// 128-bit half: every instruction here works within the halves). The
// dataflow is the reference's SSE2 one, so the results are its bytes.
// Included by the kernel files only, after <immintrin.h> / <emmintrin.h>.
#ifndef VELMORA_JPEG_IDCT_SIMD_H
#define VELMORA_JPEG_IDCT_SIMD_H

#include "jpeg_decode_kernels.h"

namespace JPEG_IDCT_NAMESPACE {

using vec = JPEG_IDCT_VEC;

struct wide {
    vec l, h;
};

inline vec pair_const(int a, int b) {
    return JPEG_SET1_EPI32(static_cast<int>((static_cast<uint32_t>(static_cast<uint16_t>(b)) << 16) |
                                            static_cast<uint16_t>(a)));
}

inline void rotate(vec x, vec y, vec c0, vec c1, wide &o0, wide &o1) {
    const vec lo = JPEG_OP(unpacklo_epi16)(x, y), hi = JPEG_OP(unpackhi_epi16)(x, y);
    o0 = {JPEG_OP(madd_epi16)(lo, c0), JPEG_OP(madd_epi16)(hi, c0)};
    o1 = {JPEG_OP(madd_epi16)(lo, c1), JPEG_OP(madd_epi16)(hi, c1)};
}

inline wide widen(vec in) {
    const vec zero = JPEG_SETZERO();
    return {JPEG_OP(srai_epi32)(JPEG_OP(unpacklo_epi16)(zero, in), 4),
            JPEG_OP(srai_epi32)(JPEG_OP(unpackhi_epi16)(zero, in), 4)};
}
inline wide add(wide a, wide b) { return {JPEG_OP(add_epi32)(a.l, b.l), JPEG_OP(add_epi32)(a.h, b.h)}; }
inline wide sub(wide a, wide b) { return {JPEG_OP(sub_epi32)(a.l, b.l), JPEG_OP(sub_epi32)(a.h, b.h)}; }

template <int Shift>
inline void butterfly(vec &o0, vec &o1, wide a, wide b, vec bias) {
    const wide biased = {JPEG_OP(add_epi32)(a.l, bias), JPEG_OP(add_epi32)(a.h, bias)};
    const wide s = add(biased, b), d = sub(biased, b);
    o0 = JPEG_OP(packs_epi32)(JPEG_OP(srai_epi32)(s.l, Shift), JPEG_OP(srai_epi32)(s.h, Shift));
    o1 = JPEG_OP(packs_epi32)(JPEG_OP(srai_epi32)(d.l, Shift), JPEG_OP(srai_epi32)(d.h, Shift));
}

template <int Shift>
inline void pass(vec r[8], vec bias) {
    using namespace jpeg_idct;
    wide t2e, t3e, y0o, y2o, y1o, y3o, y4o, y5o;
    rotate(r[2], r[6], pair_const(kRot0a, kRot0b), pair_const(kRot0c, kRot0d), t2e, t3e);
    const wide t0e = widen(JPEG_OP(add_epi16)(r[0], r[4]));
    const wide t1e = widen(JPEG_OP(sub_epi16)(r[0], r[4]));
    const wide x0 = add(t0e, t3e), x3 = sub(t0e, t3e), x1 = add(t1e, t2e), x2 = sub(t1e, t2e);
    rotate(r[7], r[3], pair_const(kRot2a, kRot2b), pair_const(kRot2c, kRot2d), y0o, y2o);
    rotate(r[5], r[1], pair_const(kRot3a, kRot3b), pair_const(kRot3c, kRot3d), y1o, y3o);
    const vec sum17 = JPEG_OP(add_epi16)(r[1], r[7]), sum35 = JPEG_OP(add_epi16)(r[3], r[5]);
    rotate(sum17, sum35, pair_const(kRot1a, kRot1b), pair_const(kRot1c, kRot1d), y4o, y5o);
    const wide x4 = add(y0o, y4o), x5 = add(y1o, y5o), x6 = add(y2o, y5o), x7 = add(y3o, y4o);
    butterfly<Shift>(r[0], r[7], x0, x7, bias);
    butterfly<Shift>(r[1], r[6], x1, x6, bias);
    butterfly<Shift>(r[2], r[5], x2, x5, bias);
    butterfly<Shift>(r[3], r[4], x3, x4, bias);
}

inline void interleave16(vec &a, vec &b) {
    const vec t = a;
    a = JPEG_OP(unpacklo_epi16)(a, b);
    b = JPEG_OP(unpackhi_epi16)(t, b);
}
inline void interleave8(vec &a, vec &b) {
    const vec t = a;
    a = JPEG_OP(unpacklo_epi8)(a, b);
    b = JPEG_OP(unpackhi_epi8)(t, b);
}

// Rows of coefficients in, p[0..3] out: pixel rows (0,1), (4,5)... as the
// reference's final transpose leaves them: p[0] rows 0 and 1, p[2] rows 2
// and 3, p[1] rows 4 and 5, p[3] rows 6 and 7 (eight bytes each).
inline void idct(vec r[8], vec p[4]) {
    pass<jpeg_idct::kColumnShift>(r, JPEG_SET1_EPI32(jpeg_idct::kColumnBias));
    interleave16(r[0], r[4]);
    interleave16(r[1], r[5]);
    interleave16(r[2], r[6]);
    interleave16(r[3], r[7]);
    interleave16(r[0], r[2]);
    interleave16(r[1], r[3]);
    interleave16(r[4], r[6]);
    interleave16(r[5], r[7]);
    interleave16(r[0], r[1]);
    interleave16(r[2], r[3]);
    interleave16(r[4], r[5]);
    interleave16(r[6], r[7]);
    pass<jpeg_idct::kRowShift>(r, JPEG_SET1_EPI32(jpeg_idct::kRowBias));
    p[0] = JPEG_OP(packus_epi16)(r[0], r[1]);
    p[1] = JPEG_OP(packus_epi16)(r[2], r[3]);
    p[2] = JPEG_OP(packus_epi16)(r[4], r[5]);
    p[3] = JPEG_OP(packus_epi16)(r[6], r[7]);
    interleave8(p[0], p[2]);
    interleave8(p[1], p[3]);
    interleave8(p[0], p[1]);
    interleave8(p[2], p[3]);
    interleave8(p[0], p[2]);
    interleave8(p[1], p[3]);
}

}  // namespace JPEG_IDCT_NAMESPACE

#endif
