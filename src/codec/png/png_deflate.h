// The zlib stream of the PNG writer: the compressor makes the very bytes
// stb_image_write 1.16's stbi_zlib_compress makes at its default level 8,
// with faster machinery around the same decisions. The buffer it appends
// to and the checksums come with this header.
#ifndef VELMORA_PNG_DEFLATE_H
#define VELMORA_PNG_DEFLATE_H

#include <cstddef>

#include "byte_buffer_out.h"
#include "checksums.h"
#include "cpu_features.h"

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
// not exceed INT_MAX (stb's int sizes). `path` picks the match search
// (usable_simd_path's rule); every path gives the same bytes. Returns false
// when memory runs out (out keeps its earlier bytes, possibly with a partial
// tail).
bool stb_zlib_compress(const unsigned char *data, size_t len, byte_buffer_out *out,
                       simd_path path = best_simd_path());

// The same for the `len` bytes `src` gives, read through a 96 KB window (and
// read a second time when stb would store them uncompressed); false also
// when the source ends early.
bool stb_zlib_compress(deflate_source *src, size_t len, byte_buffer_out *out, simd_path path = best_simd_path());

#endif
