// Differential target: the PNG writer on every kernel path this CPU offers
// against stb_image_write on the same pixels, and the compressor alone on
// every path against stbi_zlib_compress on raw bytes. The forced portable
// path runs the portable filter kernels and the portable match search. Any
// difference aborts.
//
// Input: a mode byte, two size bytes, then the pixel (or raw) bytes, which
// are repeated to fill the picture. Modes: 0 raw bytes; 1 a long row of up
// to 9,000 pixels; 2 as 3 with a colour profile made of the input; others a
// picture of up to 64 x 64. The mode's high bits narrow the bytes to a small
// alphabet, so that long and many matches come up as well as noise.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "png_deflate.h"
#include "png_writer.h"
#include "stb_image_write.h"

extern "C" unsigned char *stbi_zlib_compress(unsigned char *data, int data_len, int *out_len, int quality);

namespace {

using bytes = std::vector<unsigned char>;

void append(void *context, void *data, int size) {
    auto *b = static_cast<bytes *>(context);
    const auto *p = static_cast<const unsigned char *>(data);
    b->insert(b->end(), p, p + size);
}

[[noreturn]] void differ(const char *what, int w, int h, const char *path) {
    std::fprintf(stderr, "%s differs from stb (%d x %d, %s)\n", what, w, h, path);
    std::abort();
}

bytes stb_zlib(bytes data) {
    int n = 0;
    unsigned char *z = stbi_zlib_compress(data.data(), static_cast<int>(data.size()), &n, 8);
    if (!z) std::abort();
    bytes out(z, z + n);
    std::free(z);
    return out;
}

const simd_path kPaths[] = {simd_path::portable, simd_path::sse2, simd_path::avx2};

// The compressor alone, its match search forced to each path in turn.
void check_zlib(const bytes &data) {
    const bytes expected = stb_zlib(data);
    for (simd_path path : kPaths) {
        if (!simd_path_available(path)) continue;
        byte_buffer_out out;
        if (!stb_zlib_compress(data.data(), data.size(), &out, path)) std::abort();
        if (out.size() != expected.size() || std::memcmp(out.data(), expected.data(), expected.size()) != 0)
            differ("zlib stream", static_cast<int>(data.size()), 1, simd_path_name(path));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    const unsigned mode = data[0] & 7;
    // 0: every byte; otherwise only the low 1..5 bits.
    const unsigned narrow = data[0] >> 5;
    const unsigned char mask = narrow ? static_cast<unsigned char>((1u << (narrow < 6 ? narrow : 5)) - 1) : 0xFF;
    bytes source(data + 3, data + size);
    for (auto &v : source) v &= mask;

    if (mode == 0) {
        check_zlib(source);
        return 0;
    }
    int w, h;
    if (mode == 1) {
        w = 1 + (data[1] | data[2] << 8) % 9000;
        h = 1 + data[2] % 3;
    } else {
        w = 1 + data[1] % 64;
        h = 1 + data[2] % 64;
    }
    bytes px(static_cast<size_t>(w) * static_cast<size_t>(h) * 4);
    for (size_t k = 0; k < px.size(); ++k) px[k] = source.empty() ? 0 : source[k % source.size()];
    bytes icc;
    if (mode == 2) icc.assign(data + 3, data + size);

    bytes expected;
    if (!stbi_write_png_to_func(append, &expected, w, h, 4, px.data(), w * 4)) std::abort();
    if (!icc.empty()) {
        // stb writes no profile: splice in the chunk the writer must add
        // after IHDR (8-byte signature, 25-byte IHDR chunk).
        bytes body = {'i', 'C', 'C', 'P', 'I', 'C', 'C', ' ', 'p', 'r', 'o', 'f', 'i', 'l', 'e', 0, 0};
        const bytes z = stb_zlib(icc);
        body.insert(body.end(), z.begin(), z.end());
        const uint32_t length = static_cast<uint32_t>(body.size() - 4);
        const uint32_t crc = crc32_update(0, body.data(), body.size());
        bytes chunk = {static_cast<unsigned char>(length >> 24), static_cast<unsigned char>(length >> 16),
                       static_cast<unsigned char>(length >> 8), static_cast<unsigned char>(length)};
        chunk.insert(chunk.end(), body.begin(), body.end());
        for (int s = 24; s >= 0; s -= 8) chunk.push_back(static_cast<unsigned char>(crc >> s));
        expected.insert(expected.begin() + 33, chunk.begin(), chunk.end());
    }
    // Each path forces the filter kernels and the deflate match search alike.
    for (simd_path path : kPaths) {
        if (!simd_path_available(path)) continue;
        bytes got;
        if (!write_png(append, &got, w, h, px.data(), icc.data(), icc.size(), path)) std::abort();
        if (got != expected) differ("PNG file", w, h, simd_path_name(path));
    }
    return 0;
}
