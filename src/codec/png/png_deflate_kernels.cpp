// The portable match search, built on every platform, and the choice of
// version.
#include "png_deflate_kernels.h"

namespace {

// The first 16 bytes at a position compared with another position's:
// the common prefix length, 0..16.
struct prefix16 {
    uint64_t lo, hi;
    explicit prefix16(const unsigned char *p) : lo(load64(p)), hi(load64(p + 8)) {}
    unsigned common(const unsigned char *q) const {
        const uint64_t x = load64(q) ^ lo;
        if (x) return first_difference(x);
        const uint64_t y = load64(q + 8) ^ hi;
        return y ? 8 + first_difference(y) : 16;
    }
};

}  // namespace

unsigned deflate_match_portable(const unsigned char *cur, size_t i, const uint32_t *list, unsigned n,
                                unsigned limit) {
    const prefix16 head(cur);
    unsigned key = 0;
    for (unsigned j = 0; j < n; ++j) {
        bool in_window;
        const unsigned char *q = candidate_bytes(cur, i, list[j], &in_window);
        if (!in_window) continue;
        unsigned d = head.common(q);
        if (d == 16) d += common_prefix(q + 16, cur + 16, limit - 16);
        // Later candidates win ties: their index makes the key larger.
        const unsigned k = d << 4 | j;
        key = d >= 3 && k > key ? k : key;
    }
    return key;
}

deflate_match_fn *deflate_match_for(simd_path path) {
    switch (usable_simd_path(path)) {
#if defined(__x86_64__) || defined(_M_X64)
    case simd_path::sse2:
    case simd_path::avx2:
        return deflate_match_sse2;
#endif
    default:
        return deflate_match_portable;
    }
}
