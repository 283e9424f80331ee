// Row kernels of the PNG writer: the five PNG filters on 4-byte pixels and
// the score stb_image_write ranks them by. One set per instruction set; all
// give the same results.
//
// Every kernel takes `row` and `prev`, the current and the previous raw row
// of n bytes (n a multiple of 4); for the first row `prev` is all zero,
// which makes the standard filters exactly what stb does there. Filters are
// numbered as in the PNG filter byte: 0 none, 1 sub, 2 up, 3 average,
// 4 Paeth.
#ifndef VELMORA_PNG_FILTERS_H
#define VELMORA_PNG_FILTERS_H

#include <cstddef>
#include <cstdint>

#include "cpu_features.h"

// sums[f] = the sum over the row of abs((signed char)byte) of filter f's
// output, for f = 0..4.
typedef void png_score_fn(const unsigned char *row, const unsigned char *prev, size_t n, uint64_t sums[5]);

// Writes filter `filter`'s n output bytes to out.
typedef void png_apply_fn(int filter, const unsigned char *row, const unsigned char *prev, size_t n,
                          unsigned char *out);

void png_score_portable(const unsigned char *row, const unsigned char *prev, size_t n, uint64_t sums[5]);
void png_apply_portable(int filter, const unsigned char *row, const unsigned char *prev, size_t n,
                        unsigned char *out);

#if defined(__x86_64__) || defined(_M_X64)
#define VELMORA_PNG_X86_KERNELS 1
void png_score_sse2(const unsigned char *row, const unsigned char *prev, size_t n, uint64_t sums[5]);
void png_apply_sse2(int filter, const unsigned char *row, const unsigned char *prev, size_t n, unsigned char *out);
// Only on CPUs with AVX2.
void png_score_avx2(const unsigned char *row, const unsigned char *prev, size_t n, uint64_t sums[5]);
void png_apply_avx2(int filter, const unsigned char *row, const unsigned char *prev, size_t n, unsigned char *out);
#endif

// A score kernel and the apply kernel of the same instruction set.
struct png_row_kernels {
    png_score_fn *score;
    png_apply_fn *apply;
};

// The kernels for `path` as usable_simd_path settles it.
png_row_kernels png_row_kernels_for(simd_path path);

// stb's choice of filter from the five sums a score kernel gives: stb adds
// each row's scores into an int, which wraps on rows of more than 2^24
// bytes (each byte scores at most 128), and takes the first lowest.
int png_pick_filter(const uint64_t sums[5]);

// One filtered byte of filter f, from the byte x, its left neighbour a, the
// byte above b and the byte above-left c. Shared by every kernel set for the
// row starts and tails.
inline unsigned char png_filter_byte(int f, unsigned char x, unsigned char a, unsigned char b, unsigned char c) {
    switch (f) {
    case 1: return static_cast<unsigned char>(x - a);
    case 2: return static_cast<unsigned char>(x - b);
    case 3: return static_cast<unsigned char>(x - ((a + b) >> 1));
    case 4: {
        const int p = a + b - c;
        const int pa = p > a ? p - a : a - p, pb = p > b ? p - b : b - p, pc = p > c ? p - c : c - p;
        const unsigned char pred = (pa <= pb && pa <= pc) ? a : pb <= pc ? b : c;
        return static_cast<unsigned char>(x - pred);
    }
    default: return x;
    }
}

// abs((signed char)v).
inline unsigned png_score_byte(unsigned char v) { return v < 128 ? v : 256u - v; }

// Scores bytes [from, to) of a row one at a time (row starts and tails).
inline void png_score_span(const unsigned char *row, const unsigned char *prev, size_t from, size_t to,
                           uint64_t sums[5]) {
    for (size_t k = from; k < to; ++k) {
        const unsigned char x = row[k], b = prev[k];
        const unsigned char a = k >= 4 ? row[k - 4] : 0, c = k >= 4 ? prev[k - 4] : 0;
        for (int f = 0; f < 5; ++f) sums[f] += png_score_byte(png_filter_byte(f, x, a, b, c));
    }
}

// Filters bytes [from, to) of a row one at a time.
inline void png_apply_span(int filter, const unsigned char *row, const unsigned char *prev, size_t from, size_t to,
                           unsigned char *out) {
    for (size_t k = from; k < to; ++k) {
        const unsigned char a = k >= 4 ? row[k - 4] : 0, c = k >= 4 ? prev[k - 4] : 0;
        out[k] = png_filter_byte(filter, row[k], a, prev[k], c);
    }
}

#endif
