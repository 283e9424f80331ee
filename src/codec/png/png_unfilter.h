// Row kernels of the PNG decoder: undoing the five row filters, and spreading
// RGB pixels to RGBA. One set per instruction set; all give the same bytes.
#ifndef VELMORA_PNG_UNFILTER_H
#define VELMORA_PNG_UNFILTER_H

#include <cstddef>

// Undoes filter `filter` (0 none, 1 sub, 2 up, 3 average, 4 Paeth; the caller
// has refused others) on the n filtered bytes `raw`, writing the row to
// `out`. `prev` is the row above, already unfiltered (all zeros for a pass's
// first row, which makes the filters what stb uses there); `bpp` is the
// filter's byte step (1 to 8). `out` may be neither `raw` nor `prev`.
typedef void png_unfilter_fn(int filter, const unsigned char *raw, const unsigned char *prev, unsigned char *out,
                             size_t n, unsigned bpp);

// Writes `pixels` RGB pixels as RGBA with alpha 255.
typedef void png_rgb_to_rgba_fn(const unsigned char *rgb, size_t pixels, unsigned char *rgba);

void png_unfilter_portable(int filter, const unsigned char *raw, const unsigned char *prev, unsigned char *out,
                           size_t n, unsigned bpp);
void png_rgb_to_rgba_portable(const unsigned char *rgb, size_t pixels, unsigned char *rgba);

#if defined(__x86_64__) || defined(_M_X64)
#define VELMORA_PNG_UNFILTER_X86 1
void png_unfilter_sse2(int filter, const unsigned char *raw, const unsigned char *prev, unsigned char *out,
                       size_t n, unsigned bpp);
void png_rgb_to_rgba_sse2(const unsigned char *rgb, size_t pixels, unsigned char *rgba);
// Only on CPUs with AVX2.
void png_rgb_to_rgba_avx2(const unsigned char *rgb, size_t pixels, unsigned char *rgba);
#endif

// The Paeth predictor of the left byte a, the one above b and above-left c.
inline unsigned char png_paeth(unsigned char a, unsigned char b, unsigned char c) {
    const int p = a + b - c;
    const int pa = p > a ? p - a : a - p, pb = p > b ? p - b : b - p, pc = p > c ? p - c : c - p;
    return (pa <= pb && pa <= pc) ? a : pb <= pc ? b : c;
}

// Undoes filter `filter` on bytes [from, n) one at a time; bytes before
// `from` of `out` are already done. Shared by every kernel set.
inline void png_unfilter_span(int filter, const unsigned char *raw, const unsigned char *prev, unsigned char *out,
                              size_t from, size_t n, unsigned bpp) {
    for (size_t k = from; k < n; ++k) {
        const unsigned char a = k >= bpp ? out[k - bpp] : 0, b = prev[k], c = k >= bpp ? prev[k - bpp] : 0;
        unsigned char pred;
        switch (filter) {
        case 1: pred = a; break;
        case 2: pred = b; break;
        case 3: pred = static_cast<unsigned char>((a + b) >> 1); break;
        case 4: pred = png_paeth(a, b, c); break;
        default: pred = 0; break;
        }
        out[k] = static_cast<unsigned char>(raw[k] + pred);
    }
}

#endif
