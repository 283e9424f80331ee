// Ownership of blocks from malloc: the library's pixel blocks and file
// buffers are malloc'd (hosts and stb free them with free), so their owners
// release them with free too.
#ifndef VELMORA_MALLOC_PTR_H
#define VELMORA_MALLOC_PTR_H

#include <cstdlib>
#include <memory>

struct free_deleter {
    void operator()(void *p) const { std::free(p); }
};

// A malloc'd block of T that is freed when its owner goes.
template <class T>
using malloc_ptr = std::unique_ptr<T, free_deleter>;

#endif
