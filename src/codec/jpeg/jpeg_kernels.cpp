// The portable block kernel, the reference's arithmetic written out
// plainly and built on every platform; the choice of kernel; the block
// rows every kernel reads.
#include "jpeg_kernels.h"

#include <cstring>

#include "jpeg_dct.h"

namespace {

// DCT (rows, then columns), quantization and the nonzero mask of one block.
uint64_t transform_block(float *block, const float *multipliers, int16_t *out) {
    for (int r = 0; r < 8; ++r) {
        float *p = block + r * 8;
        jpeg_dct8(p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7]);
    }
    for (int c = 0; c < 8; ++c) {
        float *p = block + c;
        jpeg_dct8(p[0], p[8], p[16], p[24], p[32], p[40], p[48], p[56]);
    }
    uint64_t mask = 0;
    for (int k = 0; k < 64; ++k) {
        const float v = block[k] * multipliers[k];
        const int q = static_cast<int>(v < 0 ? v - 0.5f : v + 0.5f);
        out[k] = static_cast<int16_t>(q);
        if (q != 0) mask |= uint64_t{1} << k;
    }
    return mask;
}

}  // namespace

jpeg_blocks_fn *jpeg_blocks_for(simd_path path) {
    switch (usable_simd_path(path)) {
#if defined(__x86_64__) || defined(_M_X64)
    case simd_path::sse2:
        return jpeg_blocks_sse2;
    case simd_path::avx2:
        return jpeg_blocks_avx2;
#endif
    default:
        return jpeg_blocks_portable;
    }
}

void jpeg_block_rows(const jpeg_band &band, int x, unsigned char staging[8 * 32], const unsigned char *rows[8]) {
    if (x + 8 <= band.width) {
        for (int r = 0; r < 8; ++r) rows[r] = band.rows[r] + static_cast<size_t>(x) * 4;
        return;
    }
    for (int r = 0; r < 8; ++r) {
        for (int c = 0; c < 8; ++c) {
            const int col = x + c < band.width ? x + c : band.width - 1;
            std::memcpy(staging + r * 32 + c * 4, band.rows[r] + static_cast<size_t>(col) * 4, 4);
        }
        rows[r] = staging + r * 32;
    }
}

void jpeg_blocks_portable(const jpeg_band &band, int first, int count, const jpeg_quant &q, int16_t *coeffs,
                          uint64_t *masks) {
    unsigned char staging[8 * 32];
    for (int i = 0; i < count; ++i) {
        const int x = (first + i) * 8;
        const unsigned char *rows[8];
        jpeg_block_rows(band, x, staging, rows);
        float Y[64], U[64], V[64];
        for (int r = 0, pos = 0; r < 8; ++r)
            for (int c = 0; c < 8; ++c, ++pos) {
                const unsigned char *p = rows[r] + c * 4;
                const float red = p[0], green = p[1], blue = p[2];
                Y[pos] = +0.29900f * red + 0.58700f * green + 0.11400f * blue - 128;
                U[pos] = -0.16874f * red - 0.33126f * green + 0.50000f * blue;
                V[pos] = +0.50000f * red - 0.41869f * green - 0.08131f * blue;
            }
        masks[i * 3 + 0] = transform_block(Y, q.luma, coeffs + (i * 3 + 0) * 64);
        masks[i * 3 + 1] = transform_block(U, q.chroma, coeffs + (i * 3 + 1) * 64);
        masks[i * 3 + 2] = transform_block(V, q.chroma, coeffs + (i * 3 + 2) * 64);
    }
}
