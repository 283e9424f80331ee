// The JPEG decoder against stb_image on the same bytes, through every kernel
// this machine runs: where the decoder takes a file its pixels must be stb's
// exactly (and stb must take it too); where it refuses, the library hands
// the bytes to stb, so there is nothing to compare. Anything else aborts.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "jpeg_decoder.h"
#include "stb_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > (1u << 20)) return 0;
    unsigned char *reference = nullptr;
    int w = 0, h = 0;
    bool decoded_reference = false;
    for (const simd_path path : {simd_path::portable, simd_path::sse2, simd_path::avx2}) {
        if (!simd_path_available(path)) continue;
        rgba_image ours{0, 0, nullptr};
        if (!decode_jpeg(data, size, &ours, path)) continue;
        if (!decoded_reference) {
            int n = 0;
            reference = stbi_load_from_memory(data, static_cast<int>(size), &w, &h, &n, 4);
            decoded_reference = true;
        }
        if (!reference) {
            std::fprintf(stderr, "%s path took a file stb refuses: %s\n", simd_path_name(path), stbi_failure_reason());
            std::abort();
        }
        if (ours.w != w || ours.h != h ||
            std::memcmp(ours.pixels, reference, static_cast<size_t>(w) * h * 4) != 0) {
            std::fprintf(stderr, "%s path differs from stb (%d x %d against %d x %d)\n", simd_path_name(path), ours.w,
                         ours.h, w, h);
            std::abort();
        }
        std::free(ours.pixels);
    }
    stbi_image_free(reference);
    return 0;
}
