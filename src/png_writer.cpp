#include "png_writer.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "png_deflate.h"
#include "png_filters.h"

namespace {

struct free_deleter {
    void operator()(void *p) const { std::free(p); }
};
using malloc_bytes = std::unique_ptr<unsigned char, free_deleter>;

struct row_kernels {
    png_score_fn *score;
    png_apply_fn *apply;
};

// The kernels of `path`; the portable ones where this CPU or build lacks it.
row_kernels kernels_for(simd_path path) {
    if (!simd_path_available(path)) path = simd_path::portable;
#if defined(VELMORA_PNG_X86_KERNELS)
    if (path == simd_path::avx2) return {png_score_avx2, png_apply_avx2};
    if (path == simd_path::sse2) return {png_score_sse2, png_apply_sse2};
#endif
    return {png_score_portable, png_apply_portable};
}

void put_be32(unsigned char *p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

// Appends a chunk's length and type; its data follows, then end_chunk.
bool begin_chunk(byte_buffer_out *out, const char *type, size_t length) {
    unsigned char head[8];
    put_be32(head, static_cast<uint32_t>(length));
    std::memcpy(head + 4, type, 4);
    return out->append(head, 8);
}

// Appends the CRC of the chunk that begins (length field first) at `at`.
bool end_chunk(byte_buffer_out *out, size_t at) {
    unsigned char crc[4];
    put_be32(crc, crc32_update(0, out->data() + at + 4, out->size() - at - 4));
    return out->append(crc, 4);
}

// stb's filter choice for each row, the filter byte and the filtered row
// written to `filtered` ((n + 1) * h bytes).
bool filter_rows(const unsigned char *rgba, size_t n, int h, row_kernels k, unsigned char *filtered) {
    malloc_bytes zero_row(static_cast<unsigned char *>(std::calloc(n, 1)));
    if (!zero_row) return false;
    for (int y = 0; y < h; ++y) {
        const unsigned char *row = rgba + n * static_cast<size_t>(y);
        const unsigned char *prev = y ? row - n : zero_row.get();
        uint64_t sums[5];
        k.score(row, prev, n, sums);
        // stb sums into an int, which wraps on rows of millions of pixels;
        // the first lowest score wins.
        int best = 0, best_score = INT_MAX;
        for (int f = 0; f < 5; ++f) {
            const int s = static_cast<int>(static_cast<uint32_t>(sums[f]));
            if (s < best_score) {
                best_score = s;
                best = f;
            }
        }
        unsigned char *dst = filtered + (n + 1) * static_cast<size_t>(y);
        dst[0] = static_cast<unsigned char>(best);
        k.apply(best, row, prev, n, dst + 1);
    }
    return true;
}

}  // namespace

int write_png(byte_write_fn *write, void *context, int w, int h, const unsigned char *rgba,
              const unsigned char *icc, size_t icc_size, simd_path path) {
    if (!write || !rgba || w <= 0 || h <= 0 || (icc_size && !icc)) return 0;
    // stb keeps (w * 4 + 1) * h in an int.
    const size_t n = static_cast<size_t>(w) * 4;
    if (n + 1 > static_cast<size_t>(INT_MAX) / static_cast<size_t>(h)) return 0;
    const size_t filtered_size = (n + 1) * static_cast<size_t>(h);
    if (icc_size > static_cast<size_t>(INT_MAX)) return 0;

    byte_buffer_out out;
    static const unsigned char kSignature[8] = {137, 80, 78, 71, 13, 10, 26, 10};
    if (!out.append(kSignature, 8)) return 0;

    size_t at = out.size();
    unsigned char ihdr[13];
    put_be32(ihdr, static_cast<uint32_t>(w));
    put_be32(ihdr + 4, static_cast<uint32_t>(h));
    ihdr[8] = 8;   // bits per channel
    ihdr[9] = 6;   // RGBA
    ihdr[10] = 0;  // deflate
    ihdr[11] = 0;  // adaptive filtering
    ihdr[12] = 0;  // not interlaced
    if (!begin_chunk(&out, "IHDR", 13) || !out.append(ihdr, 13) || !end_chunk(&out, at)) return 0;

    if (icc_size) {
        at = out.size();
        static const char kName[] = "ICC profile";  // with its terminating zero
        if (!begin_chunk(&out, "iCCP", 0) || !out.append(kName, sizeof kName)) return 0;
        const unsigned char method = 0;
        if (!out.append(&method, 1) || !stb_zlib_compress(icc, icc_size, &out)) return 0;
        const size_t length = out.size() - at - 8;
        if (length > 0x7FFFFFFFu) return 0;
        put_be32(out.data() + at, static_cast<uint32_t>(length));
        if (!end_chunk(&out, at)) return 0;
    }

    at = out.size();
    if (!begin_chunk(&out, "IDAT", 0)) return 0;
    {
        // The filtered picture exists only while it is compressed.
        malloc_bytes filtered(static_cast<unsigned char *>(std::malloc(filtered_size)));
        if (!filtered || !filter_rows(rgba, n, h, kernels_for(path), filtered.get())) return 0;
        if (!stb_zlib_compress(filtered.get(), filtered_size, &out)) return 0;
    }
    const size_t idat_length = out.size() - at - 8;
    if (idat_length > 0x7FFFFFFFu) return 0;
    put_be32(out.data() + at, static_cast<uint32_t>(idat_length));
    if (!end_chunk(&out, at)) return 0;

    at = out.size();
    if (!begin_chunk(&out, "IEND", 0) || !end_chunk(&out, at)) return 0;

    // One call, as stb makes, for files up to a gigabyte.
    const size_t kMaxCall = static_cast<size_t>(1) << 30;
    for (size_t done = 0; done < out.size();) {
        const size_t part = out.size() - done > kMaxCall ? kMaxCall : out.size() - done;
        write(context, out.data() + done, static_cast<int>(part));
        done += part;
    }
    return 1;
}
