#include "byte_buffer_out.h"

#include <cstdint>
#include <cstring>

bool byte_buffer_out::reserve_more(size_t extra) {
    if (extra <= capacity_ - size_) return true;
    if (extra > SIZE_MAX - size_) return false;
    const size_t need = size_ + extra;
    size_t grown = capacity_ + capacity_ / 2;
    if (grown < capacity_ || grown < need) grown = need;
    if (grown < 256) grown = 256;
    void *p = std::realloc(data_, grown);
    if (!p) {
        // The exact need may still fit where the generous growth did not.
        if (grown == need) return false;
        p = std::realloc(data_, need);
        if (!p) return false;
        grown = need;
    }
    data_ = static_cast<unsigned char *>(p);
    capacity_ = grown;
    return true;
}

bool byte_buffer_out::append(const void *bytes, size_t n) {
    if (!reserve_more(n)) return false;
    if (n) std::memcpy(data_ + size_, bytes, n);
    size_ += n;
    return true;
}
