// The PNG decoder: stb_image's pixels for the PNG files it takes, faster and
// without holding the inflated stream. It takes only files it decodes
// exactly as stb_image 2.27 does and leaves every other one (damaged,
// unusual or simply not worth the risk) to stb_image.
#ifndef VELMORA_PNG_DECODER_H
#define VELMORA_PNG_DECODER_H

#include <cstddef>

#include "cpu_features.h"
#include "rgba_image.h"

// Decodes a PNG in memory to RGBA exactly as stb_image's stbi_load_from_memory(..., 4) would.
// Returns true with *out set (pixels from malloc, caller frees) when the file is one this decoder
// takes and decodes cleanly; false (nothing allocated, *out untouched) for any file it does not
// take or finds irregular: the caller then decodes the same bytes with stb_image.
bool decode_png(const unsigned char *data, size_t size, rgba_image *out, simd_path path = best_simd_path());

#endif
