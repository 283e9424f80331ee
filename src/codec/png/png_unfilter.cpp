// The portable row kernels of the PNG decoder.
#include "png_unfilter.h"

#include <cstring>

void png_unfilter_portable(int filter, const unsigned char *raw, const unsigned char *prev, unsigned char *out,
                           size_t n, unsigned bpp) {
    switch (filter) {
    case 0:
        std::memcpy(out, raw, n);
        return;
    case 2:
        for (size_t k = 0; k < n; ++k) out[k] = static_cast<unsigned char>(raw[k] + prev[k]);
        return;
    default:
        png_unfilter_span(filter, raw, prev, out, 0, n, bpp);
        return;
    }
}

void png_rgb_to_rgba_portable(const unsigned char *rgb, size_t pixels, unsigned char *rgba) {
    for (size_t i = 0; i < pixels; ++i, rgb += 3, rgba += 4) {
        rgba[0] = rgb[0];
        rgba[1] = rgb[1];
        rgba[2] = rgb[2];
        rgba[3] = 255;
    }
}
