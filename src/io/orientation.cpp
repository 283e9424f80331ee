#include "orientation.h"

#include <cstring>
#include <utility>

namespace {

// Pixels are moved whole, four bytes at a time, through memcpy (which the
// compiler turns into one load and one store).
unsigned char *pixel_at(const rgba_image &img, long long x, long long y) {
    return img.pixels + (y * img.w + x) * 4;
}

void swap_pixels(unsigned char *a, unsigned char *b) {
    unsigned char t[4];
    std::memcpy(t, a, 4);
    std::memcpy(a, b, 4);
    std::memcpy(b, t, 4);
}

void mirror_rows(rgba_image *img) {
    for (long long y = 0; y < img->h; ++y)
        for (long long a = 0, b = img->w - 1; a < b; ++a, --b) swap_pixels(pixel_at(*img, a, y), pixel_at(*img, b, y));
}

void mirror_columns(rgba_image *img) {
    for (long long a = 0, b = img->h - 1; a < b; ++a, --b)
        for (long long x = 0; x < img->w; ++x) swap_pixels(pixel_at(*img, x, a), pixel_at(*img, x, b));
}

// The displayed picture (h x w) whose pixel (x, y) is the stored pixel
// from(x, y). Walked in tiles so that both pictures are read and written a
// cache line at a time.
template <class From>
rgba_image transposed(const rgba_image &stored, From from) {
    rgba_image shown = alloc_rgba(stored.h, stored.w);
    if (!shown.pixels) return shown;
    constexpr long long kTile = 64;
    for (long long ty = 0; ty < shown.h; ty += kTile) {
        const long long y_end = ty + kTile < shown.h ? ty + kTile : shown.h;
        for (long long tx = 0; tx < shown.w; tx += kTile) {
            const long long x_end = tx + kTile < shown.w ? tx + kTile : shown.w;
            for (long long y = ty; y < y_end; ++y) {
                for (long long x = tx; x < x_end; ++x) {
                    const std::pair<long long, long long> s = from(x, y);
                    std::memcpy(pixel_at(shown, x, y), pixel_at(stored, s.first, s.second), 4);
                }
            }
        }
    }
    return shown;
}

}  // namespace

bool apply_orientation(rgba_image *img, int orientation) {
    const long long w = img->w, h = img->h;
    rgba_image shown{0, 0, nullptr};
    switch (orientation) {
    case 2: mirror_rows(img); return true;
    case 3: mirror_rows(img); mirror_columns(img); return true;
    case 4: mirror_columns(img); return true;
    // Stored coordinates (in a w x h picture) of displayed pixel (x, y).
    case 5: shown = transposed(*img, [](long long x, long long y) { return std::make_pair(y, x); }); break;
    case 6: shown = transposed(*img, [h](long long x, long long y) { return std::make_pair(y, h - 1 - x); }); break;
    case 7: shown = transposed(*img, [w, h](long long x, long long y) { return std::make_pair(w - 1 - y, h - 1 - x); }); break;
    case 8: shown = transposed(*img, [w](long long x, long long y) { return std::make_pair(w - 1 - y, x); }); break;
    default: return true;
    }
    if (!shown.pixels) return false;
    std::free(img->pixels);
    *img = shown;
    return true;
}
