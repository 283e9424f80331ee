// Counts the heap a test program uses: malloc, calloc, realloc and free (and
// with them operator new and delete) are replaced in the program that links
// heap_counter.cpp, so the live bytes and their high-water mark can be read
// around a call. Only where the C library is glibc and no sanitizer owns
// the allocator; heap_counter_available() says whether it counts.
#ifndef VELMORA_HEAP_COUNTER_H
#define VELMORA_HEAP_COUNTER_H

#include <cstddef>

bool heap_counter_available();

// Bytes allocated and not yet freed (as malloc_usable_size counts them).
size_t heap_live_bytes();

// The largest heap_live_bytes() since the last heap_peak_reset().
size_t heap_peak_bytes();

// Starts a new high-water mark at the bytes live now.
void heap_peak_reset();

#endif
