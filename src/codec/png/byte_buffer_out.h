// The growable output block the PNG writer assembles its file in.
#ifndef VELMORA_BYTE_BUFFER_OUT_H
#define VELMORA_BYTE_BUFFER_OUT_H

#include <cstddef>
#include <cstdlib>

// A growable malloc block that never throws: every growth reports failure
// instead. Owns its memory.
class byte_buffer_out {
public:
    byte_buffer_out() = default;
    ~byte_buffer_out() { std::free(data_); }
    byte_buffer_out(const byte_buffer_out &) = delete;
    byte_buffer_out &operator=(const byte_buffer_out &) = delete;

    unsigned char *data() { return data_; }
    const unsigned char *data() const { return data_; }
    size_t size() const { return size_; }
    size_t capacity() const { return capacity_; }

    // Makes room for at least `extra` more bytes past size(); false when the
    // total would overflow or memory runs out (the contents stay).
    bool reserve_more(size_t extra);
    // Sets the size to n, which must not exceed capacity().
    void set_size(size_t n) { size_ = n; }
    // Appends n bytes (reserving as needed); false when memory runs out.
    bool append(const void *bytes, size_t n);

private:
    unsigned char *data_ = nullptr;
    size_t size_ = 0, capacity_ = 0;
};

#endif
