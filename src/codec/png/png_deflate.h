// The zlib stream, Adler-32 and CRC-32 of the PNG writer: the compressor
// makes the very bytes stb_image_write 1.16's stbi_zlib_compress makes at
// its default level 8, with faster machinery around the same decisions.
#ifndef VELMORA_PNG_DEFLATE_H
#define VELMORA_PNG_DEFLATE_H

#include <cstddef>
#include <cstdint>
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

// A byte stream the compressor reads front to back, which can start over.
class deflate_source {
public:
    virtual ~deflate_source() = default;
    // Copies the next bytes, at most max, to dst; returns their count, 0
    // only at the end.
    virtual size_t read(unsigned char *dst, size_t max) = 0;
    // Starts again from the first byte.
    virtual void rewind() = 0;
};

// Appends to *out the zlib stream stbi_zlib_compress(data, len, &n, 8)
// returns, byte for byte: fixed-Huffman deflate with stb's hash, candidate
// lists, lazy step and stored-block fallback, then the Adler-32. `len` must
// not exceed INT_MAX (stb's int sizes). Returns false when memory runs out
// (out keeps its earlier bytes, possibly with a partial tail).
bool stb_zlib_compress(const unsigned char *data, size_t len, byte_buffer_out *out);

// The same for the `len` bytes `src` gives, read through a 96 KB window (and
// read a second time when stb would store them uncompressed); false also
// when the source ends early.
bool stb_zlib_compress(deflate_source *src, size_t len, byte_buffer_out *out);

// Adler-32 of n bytes, as zlib defines it (starting value 1).
uint32_t adler32(const unsigned char *data, size_t n);
// The Adler-32 `adler` continued over n more bytes.
uint32_t adler32_update(uint32_t adler, const unsigned char *data, size_t n);

// CRC-32 (the PNG and zlib polynomial) of n bytes, continuing from `crc`
// (0 for a fresh start).
uint32_t crc32_update(uint32_t crc, const unsigned char *data, size_t n);

#endif
