// The PNG writer: stb_image_write's PNG bytes, made faster.
#ifndef VELMORA_PNG_WRITER_H
#define VELMORA_PNG_WRITER_H

#include <cstddef>

#include "byte_writer.h"
#include "cpu_features.h"

// Writes w x h RGBA pixels (rows top to bottom) as the PNG that stb_image_write 1.16's
// stbi_write_png_to_func(write, context, w, h, 4, rgba, w * 4) writes with default
// settings, byte for byte. A non-empty `icc` (icc_size bytes) goes in an iCCP chunk
// right after IHDR (profile name "ICC profile", compression method 0, the profile
// compressed by the same deflate); nothing else differs. `path` picks the kernels;
// every path gives the same bytes. Returns 1, or 0 for bad arguments or when memory
// runs out.
int write_png(byte_write_fn *write, void *context, int w, int h, const unsigned char *rgba,
              const unsigned char *icc, size_t icc_size, simd_path path = best_simd_path());

#endif
