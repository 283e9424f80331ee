#include "heap_counter.h"

#include <atomic>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VELMORA_HEAP_COUNTER_OFF 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define VELMORA_HEAP_COUNTER_OFF 1
#endif
#endif
#if !defined(__GLIBC__) && !defined(__linux__)
#define VELMORA_HEAP_COUNTER_OFF 1
#endif

namespace {
std::atomic<size_t> s_live{0};
std::atomic<size_t> s_peak{0};

#if !defined(VELMORA_HEAP_COUNTER_OFF)
void note_allocated(size_t n) {
    const size_t live = s_live.fetch_add(n, std::memory_order_relaxed) + n;
    size_t peak = s_peak.load(std::memory_order_relaxed);
    while (live > peak && !s_peak.compare_exchange_weak(peak, live, std::memory_order_relaxed)) {
    }
}
void note_freed(size_t n) { s_live.fetch_sub(n, std::memory_order_relaxed); }
#endif
}  // namespace

#if !defined(VELMORA_HEAP_COUNTER_OFF)
#include <malloc.h>

extern "C" {
// glibc's own entry points, which the replacements forward to.
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);

void *malloc(size_t n) {
    void *p = __libc_malloc(n);
    if (p) note_allocated(malloc_usable_size(p));
    return p;
}

void *calloc(size_t count, size_t n) {
    void *p = __libc_calloc(count, n);
    if (p) note_allocated(malloc_usable_size(p));
    return p;
}

void *realloc(void *old, size_t n) {
    const size_t old_size = old ? malloc_usable_size(old) : 0;
    void *p = __libc_realloc(old, n);
    if (p) {
        note_freed(old_size);
        note_allocated(malloc_usable_size(p));
    } else if (n == 0 && old) {
        note_freed(old_size);
    }
    return p;
}

void free(void *p) {
    if (!p) return;
    note_freed(malloc_usable_size(p));
    __libc_free(p);
}
}  // extern "C"

bool heap_counter_available() { return true; }
#else
bool heap_counter_available() { return false; }
#endif

size_t heap_live_bytes() { return s_live.load(std::memory_order_relaxed); }

size_t heap_peak_bytes() { return s_peak.load(std::memory_order_relaxed); }

void heap_peak_reset() { s_peak.store(s_live.load(std::memory_order_relaxed), std::memory_order_relaxed); }
