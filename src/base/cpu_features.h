// Which vector instruction sets the fast paths may use on this CPU. Every
// path gives the same bytes; they differ only in speed.
#ifndef VELMORA_CPU_FEATURES_H
#define VELMORA_CPU_FEATURES_H

enum class simd_path {
    portable,  // plain C++, any CPU
    sse2,      // every x86-64 CPU
    avx2,      // x86-64 with AVX2, chosen at run time
};

// True when this CPU (and this build) can run `path`.
bool simd_path_available(simd_path path);

// The fastest available path.
simd_path best_simd_path();

// The one rule every kernel choice follows: `wanted` when this CPU can run
// it, else the fastest available path below it (AVX2 -> SSE2 -> portable).
simd_path usable_simd_path(simd_path wanted);

// "portable", "sse2" or "avx2", for test names and benchmark tables.
const char *simd_path_name(simd_path path);

#endif
