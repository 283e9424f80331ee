// The pixel half of the JPEG writer, one version per instruction set:
// colour conversion, forward DCT and quantization of a run of 8 x 8 blocks.
// Every version does the same float operations in the same order as the
// portable one, lane by lane, so all give the same coefficients.
#ifndef VELMORA_JPEG_KERNELS_H
#define VELMORA_JPEG_KERNELS_H

#include <cstdint>

#include "cpu_features.h"

// One row of blocks: eight pixel rows (RGBA, alpha ignored) and the picture
// width. Rows past the bottom of the picture point at its last row.
struct jpeg_band {
    const unsigned char *rows[8];
    int width;
};

// Reciprocal quantizer steps folded with the DCT's scale factors, in natural
// (row-major) order: luma and chroma.
struct jpeg_quant {
    float luma[64];
    float chroma[64];
};

// Turns blocks first .. first + count - 1 of `band` into quantized
// coefficients. For block i of the run and component c (Y, Cb, Cr), the 64
// coefficients go to coeffs[(i * 3 + c) * 64 ...] in natural order and a mask
// with bit k set where coefficient k is nonzero goes to masks[i * 3 + c].
// Columns past the right edge repeat the last pixel of the row.
typedef void jpeg_blocks_fn(const jpeg_band &band, int first, int count, const jpeg_quant &q, int16_t *coeffs,
                            uint64_t *masks);

jpeg_blocks_fn jpeg_blocks_portable;
#if defined(__x86_64__) || defined(_M_X64)
jpeg_blocks_fn jpeg_blocks_sse2;
jpeg_blocks_fn jpeg_blocks_avx2;
#endif

// The kernel for `path` as usable_simd_path settles it.
jpeg_blocks_fn *jpeg_blocks_for(simd_path path);

// Points rows[0..7] at the 8 x 8 pixels of the block whose left column is x:
// straight into the band where the block lies inside the picture, else into
// `staging` (eight rows of 32 bytes), columns past the right edge repeating
// the row's last pixel.
void jpeg_block_rows(const jpeg_band &band, int x, unsigned char staging[8 * 32], const unsigned char *rows[8]);

#endif
