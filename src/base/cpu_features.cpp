#include "cpu_features.h"

bool simd_path_available(simd_path path) {
    switch (path) {
    case simd_path::portable:
        return true;
#if defined(__x86_64__) || defined(_M_X64)
    case simd_path::sse2:
        return true;
    case simd_path::avx2:
        // Also checks that the operating system saves the AVX registers.
        return __builtin_cpu_supports("avx2") != 0;
#endif
    default:
        return false;
    }
}

simd_path best_simd_path() {
    static const simd_path best = simd_path_available(simd_path::avx2)   ? simd_path::avx2
                                  : simd_path_available(simd_path::sse2) ? simd_path::sse2
                                                                         : simd_path::portable;
    return best;
}

simd_path usable_simd_path(simd_path wanted) {
    if (wanted == simd_path::avx2 && !simd_path_available(simd_path::avx2)) wanted = simd_path::sse2;
    if (wanted == simd_path::sse2 && !simd_path_available(simd_path::sse2)) wanted = simd_path::portable;
    return wanted;
}

const char *simd_path_name(simd_path path) {
    switch (path) {
    case simd_path::portable:
        return "portable";
    case simd_path::sse2:
        return "sse2";
    case simd_path::avx2:
        return "avx2";
    }
    return "?";
}
