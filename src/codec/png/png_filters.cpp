// The portable filter kernels, built on every platform, the choice of
// kernels and stb's choice of filter.
#include "png_filters.h"

#include <climits>

void png_score_portable(const unsigned char *row, const unsigned char *prev, size_t n, uint64_t sums[5]) {
    for (int f = 0; f < 5; ++f) sums[f] = 0;
    png_score_span(row, prev, 0, n < 4 ? n : 4, sums);
    // Past the first pixel every neighbour exists: one loop per filter, which
    // compilers vectorize on their own.
    uint64_t s0 = 0, s1 = 0, s2 = 0, s3 = 0, s4 = 0;
    for (size_t k = 4; k < n; ++k) {
        const unsigned char x = row[k], a = row[k - 4], b = prev[k], c = prev[k - 4];
        s0 += png_score_byte(x);
        s1 += png_score_byte(png_filter_byte(1, x, a, b, c));
        s2 += png_score_byte(png_filter_byte(2, x, a, b, c));
        s3 += png_score_byte(png_filter_byte(3, x, a, b, c));
        s4 += png_score_byte(png_filter_byte(4, x, a, b, c));
    }
    sums[0] += s0, sums[1] += s1, sums[2] += s2, sums[3] += s3, sums[4] += s4;
}

void png_apply_portable(int filter, const unsigned char *row, const unsigned char *prev, size_t n,
                        unsigned char *out) {
    png_apply_span(filter, row, prev, 0, n, out);
}

png_row_kernels png_row_kernels_for(simd_path path) {
    switch (usable_simd_path(path)) {
#if defined(VELMORA_PNG_X86_KERNELS)
    case simd_path::avx2:
        return {png_score_avx2, png_apply_avx2};
    case simd_path::sse2:
        return {png_score_sse2, png_apply_sse2};
#endif
    default:
        return {png_score_portable, png_apply_portable};
    }
}

int png_pick_filter(const uint64_t sums[5]) {
    int best = 0, best_score = INT_MAX;
    for (int f = 0; f < 5; ++f) {
        // The int stb's sum ends as: the low 32 bits, as two's complement.
        const int s = static_cast<int>(static_cast<uint32_t>(sums[f]));
        if (s < best_score) {
            best_score = s;
            best = f;
        }
    }
    return best;
}
