// Shared pixel record, format codes and the small numeric helpers every
// folder uses. Internal to the library.
#ifndef VELMORA_RGBA_IMAGE_H
#define VELMORA_RGBA_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>

// An image in memory: w x h pixels, rows top first with no gaps, each pixel
// R, G, B, A (straight alpha). `pixels` is released with free().
struct rgba_image {
    int w;
    int h;
    unsigned char *pixels;
};

enum { FORMAT_JPEG = 1, FORMAT_PNG = 2, FORMAT_BMP = 3 };

// Alpha, angle and scale values at or below this count as zero.
constexpr float kZeroThreshold = 0.0001f;

// Owns one rgba_image's pixel block and frees it when it goes out of scope.
struct image_owner {
    rgba_image img{0, 0, nullptr};

    image_owner() = default;
    explicit image_owner(rgba_image i) : img(i) {}
    image_owner(const image_owner &) = delete;
    image_owner &operator=(const image_owner &) = delete;
    ~image_owner() { std::free(img.pixels); }

    // Frees the current block and takes ownership of `i`.
    void reset(rgba_image i = {0, 0, nullptr}) {
        std::free(img.pixels);
        img = i;
    }
    explicit operator bool() const { return img.pixels != nullptr; }
};

// Byte count of a w x h RGBA block in *bytes; false when w or h is not
// positive or the count does not fit size_t.
inline bool rgba_byte_count(long long w, long long h, size_t *bytes) {
    if (w <= 0 || h <= 0 || w > INT32_MAX || h > INT32_MAX) return false;
    size_t n;
    if (__builtin_mul_overflow(static_cast<size_t>(w), static_cast<size_t>(h), &n)) return false;
    if (__builtin_mul_overflow(n, static_cast<size_t>(4), &n)) return false;
    *bytes = n;
    return true;
}

// A zeroed (fully transparent) w x h image, or pixels == nullptr when the size
// cannot be represented or allocated.
inline rgba_image alloc_rgba(long long w, long long h) {
    size_t bytes;
    if (!rgba_byte_count(w, h, &bytes)) return {0, 0, nullptr};
    auto *p = static_cast<unsigned char *>(std::calloc(bytes, 1));
    if (!p) return {0, 0, nullptr};
    return {static_cast<int>(w), static_cast<int>(h), p};
}

// A float result as a byte: add 0.5, truncate toward zero, limit to 0..255.
// NaN gives 0.
inline unsigned char round_to_byte(float v) {
    float x = v + 0.5f;
    if (!(x > 0.0f)) return 0;
    if (x >= 255.0f) return 255;
    return static_cast<unsigned char>(static_cast<int>(x));
}

// Mixes four source pixels with bilinear weights w, weighting each colour by
// its alpha so that transparent pixels lend no colour; writes straight RGBA
// to out, or (0, 0, 0, 0) where the mixed alpha counts as zero.
inline void alpha_weighted_mix(const unsigned char *const p[4], const float w[4], unsigned char *out) {
    float a[4];
    float alpha = 0.0f;
    for (int k = 0; k < 4; ++k) {
        a[k] = p[k][3] / 255.0f;
        alpha += w[k] * a[k];
    }
    if (alpha <= kZeroThreshold) {
        out[0] = out[1] = out[2] = out[3] = 0;
        return;
    }
    for (int ch = 0; ch < 3; ++ch) {
        float sum = 0.0f;
        for (int k = 0; k < 4; ++k) sum += p[k][ch] * w[k] * a[k];
        out[ch] = round_to_byte(sum / alpha);
    }
    out[3] = round_to_byte(alpha * 255.0f);
}

// Converts a float to int when it is finite and inside the int range.
inline bool float_to_int_checked(float v, int *out) {
    // +-2^31 are exact floats; everything in [-2^31, 2^31) truncates into int.
    if (!(v >= -2147483648.0f && v < 2147483648.0f)) return false;
    *out = static_cast<int>(v);
    return true;
}

#endif
