#include "png_writer.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "byte_order.h"
#include "malloc_ptr.h"
#include "png_deflate.h"
#include "png_filters.h"

namespace {

using malloc_bytes = malloc_ptr<unsigned char>;

// Appends a chunk's length and type; its data follows, then end_chunk.
bool begin_chunk(byte_buffer_out *out, const char *type, size_t length) {
    unsigned char head[8];
    store_be32(head, static_cast<uint32_t>(length));
    std::memcpy(head + 4, type, 4);
    return out->append(head, 8);
}

// Appends the CRC of the chunk that begins (length field first) at `at`.
bool end_chunk(byte_buffer_out *out, size_t at) {
    unsigned char crc[4];
    store_be32(crc, crc32_update(0, out->data() + at + 4, out->size() - at - 4));
    return out->append(crc, 4);
}

// The filtered picture stb compresses, made row by row as the compressor
// reads it: each row's filter byte (stb's choice) and its filtered bytes.
class filtered_rows : public deflate_source {
public:
    // `zero_row` holds n zero bytes and `row_buffer` n + 1 bytes of room.
    filtered_rows(const unsigned char *rgba, size_t n, int h, png_row_kernels k, const unsigned char *zero_row,
                  unsigned char *row_buffer)
        : rgba_(rgba), n_(n), h_(h), k_(k), zero_(zero_row), row_(row_buffer) {}

    size_t read(unsigned char *dst, size_t max) override {
        size_t done = 0;
        while (done < max && y_ < h_) {
            if (offset_ == 0 && max - done >= n_ + 1) {
                filter_row(dst + done);  // a whole row fits: straight in
                done += n_ + 1;
                ++y_;
                continue;
            }
            if (offset_ == 0) filter_row(row_);
            const size_t part = n_ + 1 - offset_ < max - done ? n_ + 1 - offset_ : max - done;
            std::memcpy(dst + done, row_ + offset_, part);
            done += part;
            offset_ += part;
            if (offset_ == n_ + 1) {
                offset_ = 0;
                ++y_;
            }
        }
        return done;
    }
    void rewind() override { y_ = 0, offset_ = 0; }

private:
    // Row y_'s filter byte and filtered bytes, n + 1 in all, to out.
    void filter_row(unsigned char *out) const {
        const unsigned char *row = rgba_ + n_ * static_cast<size_t>(y_);
        const unsigned char *prev = y_ ? row - n_ : zero_;
        uint64_t sums[5];
        k_.score(row, prev, n_, sums);
        const int best = png_pick_filter(sums);
        out[0] = static_cast<unsigned char>(best);
        k_.apply(best, row, prev, n_, out + 1);
    }

    const unsigned char *rgba_;
    size_t n_;
    int h_;
    png_row_kernels k_;
    const unsigned char *zero_;
    unsigned char *row_;
    int y_ = 0;
    size_t offset_ = 0;  // bytes of row y_ already given
};

// The signature and the IHDR chunk of a w x h RGBA picture.
bool put_signature_and_header(byte_buffer_out *out, int w, int h) {
    static const unsigned char kSignature[8] = {137, 80, 78, 71, 13, 10, 26, 10};
    if (!out->append(kSignature, 8)) return false;
    const size_t at = out->size();
    unsigned char ihdr[13];
    store_be32(ihdr, static_cast<uint32_t>(w));
    store_be32(ihdr + 4, static_cast<uint32_t>(h));
    ihdr[8] = 8;   // bits per channel
    ihdr[9] = 6;   // RGBA
    ihdr[10] = 0;  // deflate
    ihdr[11] = 0;  // adaptive filtering
    ihdr[12] = 0;  // not interlaced
    return begin_chunk(out, "IHDR", 13) && out->append(ihdr, 13) && end_chunk(out, at);
}

// Stores the length of the chunk begun at `at`, now that its data is
// written, and ends it.
bool close_chunk(byte_buffer_out *out, size_t at) {
    const size_t length = out->size() - at - 8;
    if (length > 0x7FFFFFFFu) return false;
    store_be32(out->data() + at, static_cast<uint32_t>(length));
    return end_chunk(out, at);
}

// The iCCP chunk: the profile's name, compression method 0 and the
// compressed profile.
bool put_profile(byte_buffer_out *out, const unsigned char *icc, size_t icc_size, simd_path path) {
    const size_t at = out->size();
    static const char kName[] = "ICC profile";  // with its terminating zero
    const unsigned char method = 0;
    return begin_chunk(out, "iCCP", 0) && out->append(kName, sizeof kName) && out->append(&method, 1) &&
           stb_zlib_compress(icc, icc_size, out, path) && close_chunk(out, at);
}

// The IDAT chunk: the filtered rows (n bytes each), compressed.
bool put_pixels(byte_buffer_out *out, const unsigned char *rgba, size_t n, int h, simd_path path) {
    const size_t at = out->size();
    if (!begin_chunk(out, "IDAT", 0)) return false;
    {
        // A zero row above the first, then room for one filtered row.
        malloc_bytes rows(static_cast<unsigned char *>(std::calloc(2 * n + 1, 1)));
        if (!rows) return false;
        filtered_rows src(rgba, n, h, png_row_kernels_for(path), rows.get(), rows.get() + n);
        if (!stb_zlib_compress(&src, (n + 1) * static_cast<size_t>(h), out, path)) return false;
    }
    return close_chunk(out, at);
}

// Reserves room for the whole file once, so that the buffer never moves: a
// grown buffer copies the stream it holds, and with glibc the blocks left
// behind tend to stay resident (about 30 MB more at 12 megapixels). The
// compressed stream stays under 9/8 of its input (fixed codes, every byte a
// literal of at most 9 bits; stored blocks add 5 bytes in 65,535). Pages
// never written are never backed by memory. Without the room the buffer
// simply grows.
void reserve_whole_file(byte_buffer_out *out, size_t filtered, size_t icc_size) {
    const size_t kHeaders = 1024;
    const size_t stream = filtered + filtered / 8 + kHeaders;
    const size_t profile = icc_size + icc_size / 8 + kHeaders;
    if (stream < filtered || profile < icc_size || stream > SIZE_MAX - profile) return;
    (void)out->reserve_more(stream + profile);
}

// Hands the file to the callback in one call, as stb makes, for files up to
// a gigabyte.
void hand_over(byte_write_fn *write, void *context, byte_buffer_out &out) {
    const size_t kMaxCall = static_cast<size_t>(1) << 30;
    for (size_t done = 0; done < out.size();) {
        const size_t part = out.size() - done > kMaxCall ? kMaxCall : out.size() - done;
        write(context, out.data() + done, static_cast<int>(part));
        done += part;
    }
}

}  // namespace

int write_png(byte_write_fn *write, void *context, int w, int h, const unsigned char *rgba,
              const unsigned char *icc, size_t icc_size, simd_path path) {
    if (!write || !rgba || w <= 0 || h <= 0 || (icc_size && !icc)) return 0;
    // stb keeps (w * 4 + 1) * h in an int.
    const size_t n = static_cast<size_t>(w) * 4;
    if (n + 1 > static_cast<size_t>(INT_MAX) / static_cast<size_t>(h)) return 0;
    if (icc_size > static_cast<size_t>(INT_MAX)) return 0;

    byte_buffer_out out;
    reserve_whole_file(&out, (n + 1) * static_cast<size_t>(h), icc_size);
    if (!put_signature_and_header(&out, w, h)) return 0;
    if (icc_size && !put_profile(&out, icc, icc_size, path)) return 0;
    if (!put_pixels(&out, rgba, n, h, path)) return 0;
    const size_t at = out.size();
    if (!begin_chunk(&out, "IEND", 0) || !end_chunk(&out, at)) return 0;
    hand_over(write, context, out);
    return 1;
}
