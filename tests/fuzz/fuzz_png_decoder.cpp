// The PNG decoder against stb_image on the same bytes: wherever the decoder
// takes a file (on any kernel path this machine runs), stb must decode it
// too and give the very same pixels; anything else aborts. Files the
// decoder leaves to stb need no check here.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "cpu_features.h"
#include "png_decoder.h"
#include "stb_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > INT32_MAX) return 0;
    unsigned char *reference = nullptr;
    bool stb_tried = false;
    int w = 0, h = 0;
    for (simd_path path : {simd_path::portable, simd_path::sse2, simd_path::avx2}) {
        if (!simd_path_available(path)) continue;
        rgba_image img{0, 0, nullptr};
        if (!decode_png(data, size, &img, path)) continue;
        if (!stb_tried) {
            int n = 0;
            reference = stbi_load_from_memory(data, static_cast<int>(size), &w, &h, &n, 4);
            stb_tried = true;
        }
        if (!reference || img.w != w || img.h != h ||
            std::memcmp(img.pixels, reference, static_cast<size_t>(w) * static_cast<size_t>(h) * 4) != 0)
            std::abort();
        std::free(img.pixels);
    }
    stbi_image_free(reference);
    return 0;
}
