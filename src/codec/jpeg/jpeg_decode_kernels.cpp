// The JPEG decoder's portable kernels and the choice of kernels per path.
// The inverse DCT follows the reference's SSE2 dataflow lane by lane:
// 16-bit sums where it adds 16-bit lanes, 32-bit products and sums, and
// saturation to 16 bits between the passes, so that even coefficients no
// real encoder writes give its bytes.
#include "jpeg_decode_kernels.h"

#include <cstring>

using namespace jpeg_idct;

namespace {

inline int wrap16(int v) { return static_cast<int16_t>(static_cast<uint16_t>(v)); }

// One pass over eight rows of eight 16-bit lanes (each lane one 1-D inverse
// DCT), giving eight rows of saturated 16-bit lanes. Written lane-wise so that
// compilers can keep the lanes in vector registers.
void idct_pass(const int in[8][8], int out[8][8], int bias, int shift) {
    for (int l = 0; l < 8; ++l) {
        // even part
        const int t2e = in[2][l] * kRot0a + in[6][l] * kRot0b;
        const int t3e = in[2][l] * kRot0c + in[6][l] * kRot0d;
        const int t0e = wrap16(in[0][l] + in[4][l]) * 4096;
        const int t1e = wrap16(in[0][l] - in[4][l]) * 4096;
        const int x0 = t0e + t3e, x3 = t0e - t3e, x1 = t1e + t2e, x2 = t1e - t2e;
        // odd part
        const int y0o = in[7][l] * kRot2a + in[3][l] * kRot2b;
        const int y2o = in[7][l] * kRot2c + in[3][l] * kRot2d;
        const int y1o = in[5][l] * kRot3a + in[1][l] * kRot3b;
        const int y3o = in[5][l] * kRot3c + in[1][l] * kRot3d;
        const int sum17 = wrap16(in[1][l] + in[7][l]), sum35 = wrap16(in[3][l] + in[5][l]);
        const int y4o = sum17 * kRot1a + sum35 * kRot1b;
        const int y5o = sum17 * kRot1c + sum35 * kRot1d;
        const int x4 = y0o + y4o, x5 = y1o + y5o, x6 = y2o + y5o, x7 = y3o + y4o;
        out[0][l] = saturate16((x0 + bias + x7) >> shift);
        out[7][l] = saturate16((x0 + bias - x7) >> shift);
        out[1][l] = saturate16((x1 + bias + x6) >> shift);
        out[6][l] = saturate16((x1 + bias - x6) >> shift);
        out[2][l] = saturate16((x2 + bias + x5) >> shift);
        out[5][l] = saturate16((x2 + bias - x5) >> shift);
        out[3][l] = saturate16((x3 + bias + x4) >> shift);
        out[4][l] = saturate16((x3 + bias - x4) >> shift);
    }
}

void idct_block(const int16_t *d, uint8_t *out, size_t stride) {
    bool dc_only = true;
    for (int i = 1; i < 64 && dc_only; ++i) dc_only = d[i] == 0;
    if (dc_only) {
        const uint8_t v = dc_only_pixel(d[0]);
        for (int r = 0; r < 8; ++r) std::memset(out + r * stride, v, 8);
        return;
    }
    // Columns in the lanes, then (transposed) rows in the lanes.
    int in[8][8], columns[8][8], rows[8][8], pixels[8][8];
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c) in[r][c] = d[r * 8 + c];
    idct_pass(in, columns, kColumnBias, kColumnShift);
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c) rows[c][r] = columns[r][c];
    idct_pass(rows, pixels, kRowBias, kRowShift);
    // pixels[i][r]: column i of pixel row r.
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c) {
            const int v = pixels[c][r];
            out[r * stride + c] = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
        }
}

const jpeg_decode_kernels kPortable = {jpeg_idct_row_portable, jpeg_ycbcr_row_portable, jpeg_upsample_hv2_portable,
                                       jpeg_upsample_h2_portable};
#if defined(__x86_64__) || defined(_M_X64)
const jpeg_decode_kernels kSse2 = {jpeg_idct_row_sse2, jpeg_ycbcr_row_sse2, jpeg_upsample_hv2_sse2,
                                   jpeg_upsample_h2_sse2};
const jpeg_decode_kernels kAvx2 = {jpeg_idct_row_avx2, jpeg_ycbcr_row_avx2, jpeg_upsample_hv2_avx2,
                                   jpeg_upsample_h2_avx2};
#endif

}  // namespace

void jpeg_idct_row_portable(const int16_t *blocks, int count, uint8_t *out, size_t stride) {
    for (int i = 0; i < count; ++i) idct_block(blocks + i * 64, out + i * 8, stride);
}

void jpeg_ycbcr_row_portable(uint8_t *out, const uint8_t *y, const uint8_t *cb, const uint8_t *cr, int count) {
    const int vector_part = count & ~7;
    int i = 0;
    for (; i < vector_part; ++i) jpeg_ycbcr::vector_pixel(out + i * 4, y[i], cb[i], cr[i]);
    for (; i < count; ++i) jpeg_ycbcr::scalar_pixel(out + i * 4, y[i], cb[i], cr[i]);
}

void jpeg_upsample_hv2_portable(uint8_t *out, const uint8_t *near, const uint8_t *far, int w) {
    if (w == 1) {
        out[0] = out[1] = static_cast<uint8_t>((3 * near[0] + far[0] + 2) >> 2);
        return;
    }
    int t1 = 3 * near[0] + far[0];
    out[0] = static_cast<uint8_t>((t1 + 2) >> 2);
    for (int i = 1; i < w; ++i) {
        const int t0 = t1;
        t1 = 3 * near[i] + far[i];
        out[i * 2 - 1] = static_cast<uint8_t>((3 * t0 + t1 + 8) >> 4);
        out[i * 2] = static_cast<uint8_t>((3 * t1 + t0 + 8) >> 4);
    }
    out[w * 2 - 1] = static_cast<uint8_t>((t1 + 2) >> 2);
}

void jpeg_upsample_h2_portable(uint8_t *out, const uint8_t *in, int w) {
    if (w == 1) {
        out[0] = out[1] = in[0];
        return;
    }
    out[0] = in[0];
    out[1] = static_cast<uint8_t>((in[0] * 3 + in[1] + 2) >> 2);
    int i = 1;
    for (; i < w - 1; ++i) {
        const int n = 3 * in[i] + 2;
        out[i * 2] = static_cast<uint8_t>((n + in[i - 1]) >> 2);
        out[i * 2 + 1] = static_cast<uint8_t>((n + in[i + 1]) >> 2);
    }
    // The reference weights the last pair from its left neighbour.
    out[i * 2] = static_cast<uint8_t>((in[w - 2] * 3 + in[w - 1] + 2) >> 2);
    out[i * 2 + 1] = in[w - 1];
}

const jpeg_decode_kernels &jpeg_decode_kernels_for(simd_path path) {
    switch (usable_simd_path(path)) {
#if defined(__x86_64__) || defined(_M_X64)
    case simd_path::sse2:
        return kSse2;
    case simd_path::avx2:
        return kAvx2;
#endif
    default:
        return kPortable;
    }
}
