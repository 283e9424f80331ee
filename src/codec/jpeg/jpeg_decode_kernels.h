// The pixel half of the JPEG decoder, one version per instruction set: the
// inverse DCT of a run of blocks, YCbCr to RGBA conversion of a row and the
// two smoothing upsamplers. Every version gives the same bytes as the
// portable one, and those are the bytes stb_image's x86-64 kernels give.
#ifndef VELMORA_JPEG_DECODE_KERNELS_H
#define VELMORA_JPEG_DECODE_KERNELS_H

#include <cstddef>
#include <cstdint>

#include "cpu_features.h"

// Inverse DCT of `count` blocks of 64 dequantized coefficients (natural
// order, one block after the other) into horizontally adjacent 8 x 8 pixel
// blocks starting at `out`, rows `stride` bytes apart.
typedef void jpeg_idct_row_fn(const int16_t *blocks, int count, uint8_t *out, size_t stride);

// Converts `count` pixels of Y, Cb, Cr samples to RGBA (alpha 255).
typedef void jpeg_ycbcr_row_fn(uint8_t *out, const uint8_t *y, const uint8_t *cb, const uint8_t *cr, int count);

// Doubles a row of `w` samples in both directions: `near` is the nearer
// source row, `far` the one on the other side; writes 2 * w samples.
typedef void jpeg_upsample_hv2_fn(uint8_t *out, const uint8_t *near, const uint8_t *far, int w);

// Doubles a row of `w` samples horizontally; writes 2 * w samples.
typedef void jpeg_upsample_h2_fn(uint8_t *out, const uint8_t *in, int w);

struct jpeg_decode_kernels {
    jpeg_idct_row_fn *idct_row;
    jpeg_ycbcr_row_fn *ycbcr_row;
    jpeg_upsample_hv2_fn *upsample_hv2;
    jpeg_upsample_h2_fn *upsample_h2;
};

// The kernels of usable_simd_path(path).
const jpeg_decode_kernels &jpeg_decode_kernels_for(simd_path path);

// The portable kernels, also the tails of the vector ones.
jpeg_idct_row_fn jpeg_idct_row_portable;
jpeg_ycbcr_row_fn jpeg_ycbcr_row_portable;
jpeg_upsample_hv2_fn jpeg_upsample_hv2_portable;
jpeg_upsample_h2_fn jpeg_upsample_h2_portable;
#if defined(__x86_64__) || defined(_M_X64)
jpeg_idct_row_fn jpeg_idct_row_sse2;
jpeg_ycbcr_row_fn jpeg_ycbcr_row_sse2;
jpeg_upsample_hv2_fn jpeg_upsample_hv2_sse2;
jpeg_upsample_h2_fn jpeg_upsample_h2_sse2;
jpeg_idct_row_fn jpeg_idct_row_avx2;
jpeg_ycbcr_row_fn jpeg_ycbcr_row_avx2;
jpeg_upsample_hv2_fn jpeg_upsample_hv2_avx2;
jpeg_upsample_h2_fn jpeg_upsample_h2_avx2;
#endif

// The colour conversion's fixed-point factors, scaled by 4096: the vector
// form (used on all whole groups of eight pixels of a row) and the exact
// scalar form (used on the last count % 8 pixels).
namespace jpeg_ycbcr {
constexpr int kCrToR = static_cast<int>(1.40200f * 4096.0f + 0.5f);
constexpr int kCrToG = -static_cast<int>(0.71414f * 4096.0f + 0.5f);
constexpr int kCbToG = -static_cast<int>(0.34414f * 4096.0f + 0.5f);
constexpr int kCbToB = static_cast<int>(1.77200f * 4096.0f + 0.5f);

inline uint8_t clamp_byte(int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

// One pixel as the eight-lane vector code computes it: 16-bit lanes, the
// products' high halves (floor division by 65536) of 8.8-scaled chroma.
inline void vector_pixel(uint8_t *out, int y, int cb, int cr) {
    const int ys = y * 16 + 8;
    const int crw = (cr - 128) * 256, cbw = (cb - 128) * 256;
    const int r = ys + ((kCrToR * crw) >> 16);
    const int g = ys + ((kCbToG * cbw) >> 16) + ((kCrToG * crw) >> 16);
    const int b = ys + ((kCbToB * cbw) >> 16);
    out[0] = clamp_byte(r >> 4);
    out[1] = clamp_byte(g >> 4);
    out[2] = clamp_byte(b >> 4);
    out[3] = 255;
}

// One pixel as the scalar tail computes it: 32-bit fixed point.
inline void scalar_pixel(uint8_t *out, int y, int cb, int cr) {
    const int y_fixed = (y << 20) + (1 << 19);
    const int crs = cr - 128, cbs = cb - 128;
    const int r = y_fixed + crs * (kCrToR << 8);
    const int g = y_fixed + crs * (kCrToG * 256) + static_cast<int>(static_cast<unsigned>(cbs * (kCbToG * 256)) & 0xffff0000u);
    const int b = y_fixed + cbs * (kCbToB << 8);
    out[0] = clamp_byte(r >> 20);
    out[1] = clamp_byte(g >> 20);
    out[2] = clamp_byte(b >> 20);
    out[3] = 255;
}
}  // namespace jpeg_ycbcr

// The inverse DCT's constants (scaled by 4096, rounded as the reference
// rounds them) paired the way the vector passes multiply them.
namespace jpeg_idct {
constexpr int f2f(double x) { return static_cast<int>(x * 4096 + 0.5); }
constexpr int kRot0a = f2f(0.5411961f), kRot0b = f2f(0.5411961f) + f2f(-1.847759065f);
constexpr int kRot0c = f2f(0.5411961f) + f2f(0.765366865f), kRot0d = f2f(0.5411961f);
constexpr int kRot1a = f2f(1.175875602f) + f2f(-0.899976223f), kRot1b = f2f(1.175875602f);
constexpr int kRot1c = f2f(1.175875602f), kRot1d = f2f(1.175875602f) + f2f(-2.562915447f);
constexpr int kRot2a = f2f(-1.961570560f) + f2f(0.298631336f), kRot2b = f2f(-1.961570560f);
constexpr int kRot2c = f2f(-1.961570560f), kRot2d = f2f(-1.961570560f) + f2f(3.072711026f);
constexpr int kRot3a = f2f(-0.390180644f) + f2f(2.053119869f), kRot3b = f2f(-0.390180644f);
constexpr int kRot3c = f2f(-0.390180644f), kRot3d = f2f(-0.390180644f) + f2f(1.501321110f);
constexpr int kColumnBias = 512, kColumnShift = 10;
constexpr int kRowBias = 65536 + (128 << 17), kRowShift = 17;

inline int16_t saturate16(int v) { return static_cast<int16_t>(v < -32768 ? -32768 : v > 32767 ? 32767 : v); }

// The one pixel value of a block whose only nonzero coefficient is the DC.
inline uint8_t dc_only_pixel(int16_t dc) {
    const int column = saturate16(((dc * 4096) + kColumnBias) >> kColumnShift);
    const int row = saturate16(((column * 4096) + kRowBias) >> kRowShift);
    return static_cast<uint8_t>(row < 0 ? 0 : row > 255 ? 255 : row);
}
}  // namespace jpeg_idct

// The scalar part of the hv2 upsampler the vector kernels share: output
// pixel pairs for input columns from .. w - 2 and the two edge columns, as
// stb computes them (w >= 2).
inline void jpeg_upsample_hv2_rest(uint8_t *out, const uint8_t *near, const uint8_t *far, int from, int w) {
    for (int i = from; i < w - 1; ++i) {
        const int c = 3 * near[i] + far[i];
        out[2 * i] = static_cast<uint8_t>((3 * c + 3 * near[i - 1] + far[i - 1] + 8) >> 4);
        out[2 * i + 1] = static_cast<uint8_t>((3 * c + 3 * near[i + 1] + far[i + 1] + 8) >> 4);
    }
    const int first = 3 * near[0] + far[0], last = 3 * near[w - 1] + far[w - 1];
    out[0] = static_cast<uint8_t>((first + 2) >> 2);
    out[1] = static_cast<uint8_t>((3 * first + 3 * near[1] + far[1] + 8) >> 4);
    out[2 * w - 2] = static_cast<uint8_t>((3 * last + 3 * near[w - 2] + far[w - 2] + 8) >> 4);
    out[2 * w - 1] = static_cast<uint8_t>((last + 2) >> 2);
}

#endif
