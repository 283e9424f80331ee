#include "composite.h"

#include <algorithm>

int edge_margin(int size, int wm_size) {
    int pad = size >= 100 ? 20 : std::max(4, size / 10);
    if (static_cast<long long>(size) < 2LL * pad + wm_size) {
        return size > wm_size ? (size - wm_size) / 2 : 0;
    }
    return pad;
}

namespace {

void blend_pixel(unsigned char *d, const unsigned char *s, float opacity) {
    float sa = (s[3] / 255.0f) * opacity;
    if (sa <= kZeroThreshold) return;
    float da = d[3] / 255.0f;
    float inv = 1.0f - sa;
    float oa = da * inv + sa;
    float divisor;
    if (oa > 1.0f) {
        d[3] = 255;
        divisor = 1.0f;
    } else if (oa > kZeroThreshold) {
        d[3] = round_to_byte(oa * 255.0f);
        divisor = oa;
    } else {
        return;
    }
    for (int c = 0; c < 3; ++c) {
        float value = (d[c] * da * inv + s[c] * sa) / divisor;
        d[c] = round_to_byte(value);
    }
}

// Distance between tile origins on one axis: the watermark plus a gap of 20,
// or of half the watermark when that is wider than 40.
long long tile_step(int wm_size) {
    long long gap = wm_size <= 40 ? 20 : wm_size / 2;
    long long step = static_cast<long long>(wm_size) + gap;
    return step <= 0 ? 1 : step;
}

}  // namespace

void stamp_one(rgba_image *image, const rgba_image *watermark, int x0, int y0, float opacity) {
    // Only the rows and columns that land inside the image are visited.
    long long j_begin = std::max(0LL, -static_cast<long long>(y0));
    long long j_end = std::min<long long>(watermark->h, static_cast<long long>(image->h) - y0);
    long long i_begin = std::max(0LL, -static_cast<long long>(x0));
    long long i_end = std::min<long long>(watermark->w, static_cast<long long>(image->w) - x0);
    for (long long j = j_begin; j < j_end; ++j) {
        const unsigned char *src = watermark->pixels + (static_cast<size_t>(j) * watermark->w + i_begin) * 4;
        unsigned char *dst = image->pixels +
                             ((static_cast<size_t>(y0 + j) * image->w) + static_cast<size_t>(x0 + i_begin)) * 4;
        for (long long i = i_begin; i < i_end; ++i, src += 4, dst += 4) blend_pixel(dst, src, opacity);
    }
}

void apply_watermark(rgba_image *image, const rgba_image *watermark, int position, float opacity) {
    if (opacity < 0.0f) return;
    if (opacity > 1.0f) opacity = 1.0f;
    if (!(opacity > 0.0f)) return;  // also refuses NaN

    const int W = image->w, H = image->h, ww = watermark->w, wh = watermark->h;
    const int mx = edge_margin(W, ww);
    const int my = edge_margin(H, wh);

    switch (static_cast<unsigned>(position)) {
    case IMGWATERMARK_POS_TOP_LEFT:
        stamp_one(image, watermark, mx, my, opacity);
        break;
    case IMGWATERMARK_POS_TOP_RIGHT:
        stamp_one(image, watermark, W - ww - mx, my, opacity);
        break;
    case IMGWATERMARK_POS_BOTTOM_LEFT:
        stamp_one(image, watermark, mx, H - wh - my, opacity);
        break;
    case IMGWATERMARK_POS_BOTTOM_RIGHT:
        stamp_one(image, watermark, W - ww - mx, H - wh - my, opacity);
        break;
    case IMGWATERMARK_POS_TILE: {
        const long long step_x = tile_step(ww), step_y = tile_step(wh);
        for (long long y = my; y < H; y += step_y)
            for (long long x = mx; x < W; x += step_x)
                stamp_one(image, watermark, static_cast<int>(x), static_cast<int>(y), opacity);
        break;
    }
    default:
        stamp_one(image, watermark, (W - ww) / 2, (H - wh) / 2, opacity);
        break;
    }
}
