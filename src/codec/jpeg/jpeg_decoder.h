// A JPEG decoder that gives exactly stb_image's pixels for the files people
// have (baseline and progressive Huffman, 8-bit, grey or YCbCr, any sampling
// layout, restart intervals), faster and with less memory: baseline files go
// one row of MCUs at a time straight into the RGBA picture. It takes nothing
// it is not sure of; the caller hands every file it refuses to stb_image.
#ifndef VELMORA_JPEG_DECODER_H
#define VELMORA_JPEG_DECODER_H

#include <cstddef>

#include "cpu_features.h"
#include "rgba_image.h"

// Decodes a JPEG in memory to RGBA exactly as stb_image's stbi_load_from_memory(..., 4) would.
// Returns true with *out set (pixels from malloc, caller frees) when the file is one this decoder
// takes and decodes cleanly; false (nothing allocated, *out untouched) for any file it does not
// take or finds irregular: the caller then decodes the same bytes with stb_image.
bool decode_jpeg(const unsigned char *data, size_t size, rgba_image *out, simd_path path = best_simd_path());

#endif
