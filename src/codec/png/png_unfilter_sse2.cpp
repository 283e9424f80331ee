// The PNG decoder's row kernels with SSE2 (every x86-64 CPU): one pixel of
// 3 or 4 bytes per step for the filters that depend on the left pixel, 16
// bytes per step for "up". Other pixel sizes take the portable loop.
#include "png_unfilter.h"

#if defined(VELMORA_PNG_UNFILTER_X86)
#include <emmintrin.h>

#include "png_sse2.h"

#include <cstdint>
#include <cstring>

namespace {

inline __m128i load4(const unsigned char *p) {
    int32_t v;
    std::memcpy(&v, p, 4);
    return _mm_cvtsi32_si128(v);
}

inline void store4(unsigned char *p, __m128i v) {
    const int32_t x = _mm_cvtsi128_si32(v);
    std::memcpy(p, &x, 4);
}

// x + floor((a + b) / 2) per byte. The rounded-up mean goes to x before
// the rounding is taken back, which keeps the chain through a three steps
// long (a is the pixel just made).
inline __m128i add_average(__m128i x, __m128i a, __m128i b) {
    return _mm_sub_epi8(_mm_add_epi8(x, _mm_avg_epu8(a, b)), _mm_and_si128(_mm_xor_si128(a, b), _mm_set1_epi8(1)));
}

// Pixels of 3 or 4 bytes, each written as 4 bytes (a 3-byte pixel's fourth
// byte is rewritten by the next one), while 4 bytes remain; returns where
// the byte-wise tail starts.
size_t unfilter_pixels(int filter, const unsigned char *raw, const unsigned char *prev, unsigned char *out, size_t n,
                       unsigned bpp) {
    const __m128i zero = _mm_setzero_si128();
    __m128i a = zero, c = zero;  // left pixel, and the one above it (16-bit lanes for Paeth)
    size_t k = 0;
    switch (filter) {
    case 1:
        for (; k + 4 <= n; k += bpp) {
            a = _mm_add_epi8(load4(raw + k), a);
            store4(out + k, a);
        }
        break;
    case 3:
        for (; k + 4 <= n; k += bpp) {
            a = add_average(load4(raw + k), a, load4(prev + k));
            store4(out + k, a);
        }
        break;
    case 4:
        for (; k + 4 <= n; k += bpp) {
            const __m128i b = _mm_unpacklo_epi8(load4(prev + k), zero);
            const __m128i x = _mm_add_epi8(load4(raw + k), _mm_packus_epi16(paeth16(a, b, c), zero));
            store4(out + k, x);
            a = _mm_unpacklo_epi8(x, zero);
            c = b;
        }
        break;
    default:
        break;
    }
    return k;
}

}  // namespace

void png_unfilter_sse2(int filter, const unsigned char *raw, const unsigned char *prev, unsigned char *out, size_t n,
                       unsigned bpp) {
    if (filter == 0) {
        std::memcpy(out, raw, n);
        return;
    }
    if (filter == 2) {
        size_t k = 0;
        for (; k + 16 <= n; k += 16) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(raw + k));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(prev + k));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + k), _mm_add_epi8(x, b));
        }
        for (; k < n; ++k) out[k] = static_cast<unsigned char>(raw[k] + prev[k]);
        return;
    }
    const size_t done = bpp == 3 || bpp == 4 ? unfilter_pixels(filter, raw, prev, out, n, bpp) : 0;
    png_unfilter_span(filter, raw, prev, out, done, n, bpp);
}

// Four bytes a pixel read and written, the fourth replaced by 255; the last
// pixel byte by byte so that nothing past the row is read.
void png_rgb_to_rgba_sse2(const unsigned char *rgb, size_t pixels, unsigned char *rgba) {
    size_t i = 0;
    for (; i + 1 < pixels; ++i) {
        uint32_t v;
        std::memcpy(&v, rgb + 3 * i, 4);
        v |= 0xFF000000u;  // little-endian: the fourth byte
        std::memcpy(rgba + 4 * i, &v, 4);
    }
    png_rgb_to_rgba_portable(rgb + 3 * i, pixels - i, rgba + 4 * i);
}

#endif
