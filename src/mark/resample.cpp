#include "resample.h"

#include <cmath>

namespace {

int scaled_size(int size, float scale) {
    int n;
    if (!float_to_int_checked(std::round(scale * static_cast<float>(size)), &n) || n <= 0) return 1;
    return n;
}

// Source index below the sample position and the fraction toward the next one,
// clamped at the first pixel; `next` is clamped at the last.
void source_span(float pos, int size, int *first, int *next, float *frac) {
    const int i0 = static_cast<int>(std::floor(pos));
    if (i0 < 0) {
        *first = 0;
        *frac = 0.0f;
    } else {
        *first = i0 < size ? i0 : size - 1;
        *frac = pos - i0;
    }
    *next = i0 + 1 >= size ? size - 1 : i0 + 1;
}

}  // namespace

rgba_image resize_rgba(const rgba_image *watermark, float scale) {
    const int ww = watermark->w, wh = watermark->h;
    rgba_image out = alloc_rgba(scaled_size(ww, scale), scaled_size(wh, scale));
    if (!out.pixels) return out;
    const int nw = out.w, nh = out.h;
    const float x_ratio = static_cast<float>(ww) / static_cast<float>(nw);
    const float y_ratio = static_cast<float>(wh) / static_cast<float>(nh);

    unsigned char *dst = out.pixels;
    for (int j = 0; j < nh; ++j) {
        int upper, lower;
        float fy;
        source_span((j + 0.5f) * y_ratio - 0.5f, wh, &upper, &lower, &fy);
        for (int i = 0; i < nw; ++i, dst += 4) {
            int left, right;
            float fx;
            source_span((i + 0.5f) * x_ratio - 0.5f, ww, &left, &right, &fx);
            const float w[4] = {(1.0f - fy) * (1.0f - fx), fx * (1.0f - fy), (1.0f - fx) * fy, fx * fy};
            const unsigned char *p[4] = {watermark->pixels + (static_cast<size_t>(upper) * ww + left) * 4,
                                         watermark->pixels + (static_cast<size_t>(upper) * ww + right) * 4,
                                         watermark->pixels + (static_cast<size_t>(lower) * ww + left) * 4,
                                         watermark->pixels + (static_cast<size_t>(lower) * ww + right) * 4};
            alpha_weighted_mix(p, w, dst);
        }
    }
    return out;
}
