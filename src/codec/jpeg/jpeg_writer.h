// A baseline JPEG writer whose output is, byte for byte, what
// stb_image_write 1.16 writes at quality 92, only faster: the same tables,
// the same float colour conversion and DCT (lane for lane in the vector
// paths), the same rounding and Huffman codes. It streams by rows of blocks
// and never holds more than a small slice of coefficients.
#ifndef VELMORA_JPEG_WRITER_H
#define VELMORA_JPEG_WRITER_H

#include <cstddef>

#include "byte_writer.h"
#include "cpu_features.h"

// The frame header states width and height in 16 bits: no JPEG is wider or
// taller. (stb's writer truncates larger sides and writes a file no decoder
// reads.)
constexpr int kJpegMaxSide = 65535;

// Writes w x h RGBA pixels (rows top to bottom, alpha ignored) as the JPEG that
// stb_image_write 1.16's stbi_write_jpg_to_func(write, context, w, h, 4, rgba, 92)
// writes, byte for byte. A non-empty `icc` (icc_size bytes) goes in APP2 "ICC_PROFILE"
// segments right after the JFIF APP0 segment; nothing else differs. `path` picks the
// kernels; every path gives the same bytes. Returns 1, or 0 for bad arguments, for a
// side longer than kJpegMaxSide, or when memory runs out (nothing sensible has been
// written then).
int write_jpeg(byte_write_fn *write, void *context, int w, int h, const unsigned char *rgba,
               const unsigned char *icc, size_t icc_size, simd_path path = best_simd_path());

#endif
