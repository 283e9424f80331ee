// The PNG decoder's RGB to RGBA spread with the byte shuffle AVX2 CPUs have:
// four pixels per step. Built for AVX2 only; chosen at run time.
#include "png_unfilter.h"

#if defined(VELMORA_PNG_UNFILTER_X86)
#include <immintrin.h>

void png_rgb_to_rgba_avx2(const unsigned char *rgb, size_t pixels, unsigned char *rgba) {
    const __m128i spread = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    const __m128i alpha = _mm_set1_epi32(static_cast<int>(0xFF000000u));
    size_t i = 0;
    // 16 bytes are read for 12: stop while the read stays inside the row.
    for (; i + 6 <= pixels; i += 4) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(rgb + 3 * i));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(rgba + 4 * i), _mm_or_si128(_mm_shuffle_epi8(v, spread), alpha));
    }
    png_rgb_to_rgba_sse2(rgb + 3 * i, pixels - i, rgba + 4 * i);
}

#endif
