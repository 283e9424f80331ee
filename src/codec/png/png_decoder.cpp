#include "png_decoder.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "byte_order.h"
#include "inflate.h"
#include "malloc_ptr.h"
#include "png_unfilter.h"

namespace {

constexpr uint32_t chunk_type(char a, char b, char c, char d) {
    return static_cast<uint32_t>(static_cast<unsigned char>(a)) << 24 |
           static_cast<uint32_t>(static_cast<unsigned char>(b)) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(c)) << 8 | static_cast<unsigned char>(d);
}

// What the chunks say about the picture.
struct png_info {
    uint32_t w = 0, h = 0;
    int depth = 0, colour = 0, channels = 0;  // channels: samples per pixel in the file
    bool interlaced = false;
    unsigned char palette[256][4] = {};       // RGBA; alpha 255 unless tRNS says otherwise
    unsigned palette_size = 0;
    bool has_key = false;                     // grey or RGB with a tRNS colour key
    unsigned char key8[3] = {0, 0, 0};        // the key as stb compares it for depths up to 8
    unsigned key16[3] = {0, 0, 0};            // and for depth 16
    size_t first_chunk = 0;                   // where the chunks after IHDR start
    size_t idat_bytes = 0;                    // all IDAT data
};

// The scale stb multiplies low-depth grey samples by.
unsigned grey_scale(int depth) { return depth == 1 ? 0xFF : depth == 2 ? 0x55 : depth == 4 ? 0x11 : 1; }

// IHDR, with stb's checks and the sizes it would refuse to allocate.
bool read_header(const unsigned char *p, png_info *info) {
    info->w = load_be32(p);
    info->h = load_be32(p + 4);
    info->depth = p[8];
    info->colour = p[9];
    if (p[10] != 0 || p[11] != 0 || p[12] > 1) return false;
    info->interlaced = p[12] == 1;
    if (info->w == 0 || info->h == 0 || info->w > (1u << 24) || info->h > (1u << 24)) return false;
    const int d = info->depth;
    switch (info->colour) {
    case 0: info->channels = 1; if (d != 1 && d != 2 && d != 4 && d != 8 && d != 16) return false; break;
    case 3: info->channels = 1; if (d != 1 && d != 2 && d != 4 && d != 8) return false; break;
    // stb also takes 1, 2 and 4 bits for these; no encoder writes them.
    case 2: info->channels = 3; if (d != 8 && d != 16) return false; break;
    case 4: info->channels = 2; if (d != 8 && d != 16) return false; break;
    case 6: info->channels = 4; if (d != 8 && d != 16) return false; break;
    default: return false;
    }
    const uint32_t n = info->colour == 3 ? 4 : static_cast<uint32_t>(info->channels);
    if ((1u << 30) / info->w / n < info->h) return false;
    // stb's buffers of up to 8 bytes a pixel must fit an int.
    return static_cast<uint64_t>(info->w) * info->h <= INT_MAX / 8;
}

// Walks the chunks as stb does and collects what decoding needs. False for
// anything stb refuses, reads in its own way (CgBI, chunks cut short, data
// after a missing IEND), or that no encoder writes and stb handles oddly
// (repeated PLTE or tRNS, PLTE after tRNS or IDAT).
bool read_chunks(const unsigned char *data, size_t size, png_info *info) {
    static const unsigned char signature[8] = {137, 80, 78, 71, 13, 10, 26, 10};
    if (size < 8 || std::memcmp(data, signature, 8) != 0) return false;
    bool seen_header = false, seen_palette = false, seen_key = false, seen_data = false;
    for (size_t pos = 8;;) {
        if (size - pos < 8) return false;
        const uint32_t length = load_be32(data + pos), type = load_be32(data + pos + 4);
        if (type == chunk_type('I', 'E', 'N', 'D')) break;
        if (size - pos - 8 < 4 || length > size - pos - 12) return false;
        const unsigned char *body = data + pos + 8;
        if (!seen_header && type != chunk_type('I', 'H', 'D', 'R')) return false;
        switch (type) {
        case chunk_type('I', 'H', 'D', 'R'):
            if (seen_header || length != 13 || !read_header(body, info)) return false;
            seen_header = true;
            info->first_chunk = pos + 25;
            break;
        case chunk_type('P', 'L', 'T', 'E'):
            if (seen_palette || seen_key || seen_data || length > 768 || length % 3 != 0) return false;
            seen_palette = true;
            info->palette_size = length / 3;
            for (unsigned i = 0; i < info->palette_size; ++i) {
                std::memcpy(info->palette[i], body + 3 * i, 3);
                info->palette[i][3] = 255;
            }
            break;
        case chunk_type('t', 'R', 'N', 'S'):
            if (seen_key || seen_data) return false;
            seen_key = true;
            if (info->colour == 3) {
                if (info->palette_size == 0 || length > info->palette_size) return false;
                for (unsigned i = 0; i < length; ++i) info->palette[i][3] = body[i];
            } else {
                if (!(info->channels & 1) || length != static_cast<uint32_t>(info->channels) * 2) return false;
                info->has_key = true;
                for (int k = 0; k < info->channels; ++k) {
                    info->key16[k] = load_be16(body + 2 * k);
                    info->key8[k] = static_cast<unsigned char>((info->key16[k] & 255) * grey_scale(info->depth));
                }
            }
            break;
        case chunk_type('I', 'D', 'A', 'T'):
            if (info->colour == 3 && info->palette_size == 0) return false;
            seen_data = true;
            info->idat_bytes += length;
            break;
        default:
            // CgBI (Apple's byte-swapped, headerless variant) and every
            // unknown critical chunk go to stb.
            if (!(type & (1u << 29)) || type == chunk_type('C', 'g', 'B', 'I')) return false;
            break;
        }
        pos += 12 + static_cast<size_t>(length);
    }
    return seen_header && info->idat_bytes > 0;
}

// Gives the IDAT chunks' data in file order, walking the chunks read_chunks
// has checked.
struct idat_walker {
    const unsigned char *data;
    size_t size, pos;

    static bool next(void *context, byte_span *out) {
        auto *w = static_cast<idat_walker *>(context);
        while (w->size - w->pos >= 12) {
            const uint32_t length = load_be32(w->data + w->pos), type = load_be32(w->data + w->pos + 4);
            if (type == chunk_type('I', 'E', 'N', 'D') || length > w->size - w->pos - 12) return false;
            const unsigned char *body = w->data + w->pos + 8;
            w->pos += 12 + static_cast<size_t>(length);
            if (type == chunk_type('I', 'D', 'A', 'T')) {
                *out = {body, length};
                return true;
            }
        }
        return false;
    }
};

struct kernels {
    png_unfilter_fn *unfilter;
    png_rgb_to_rgba_fn *rgb_to_rgba;
};

kernels pick_kernels(simd_path path) {
    switch (usable_simd_path(path)) {
#if defined(VELMORA_PNG_UNFILTER_X86)
    case simd_path::avx2: return {png_unfilter_sse2, png_rgb_to_rgba_avx2};
    case simd_path::sse2: return {png_unfilter_sse2, png_rgb_to_rgba_sse2};
#endif
    default: return {png_unfilter_portable, png_rgb_to_rgba_portable};
    }
}

// Where one Adam7 pass (or the whole picture) puts its pixels.
struct pass_layout {
    uint32_t w, h, x0, y0, dx, dy;
};

size_t row_bytes(const png_info &info, uint32_t w) {
    return (static_cast<size_t>(info.channels) * w * static_cast<size_t>(info.depth) + 7) / 8;
}

std::vector<pass_layout> passes_of(const png_info &info) {
    if (!info.interlaced) return {{info.w, info.h, 0, 0, 1, 1}};
    static const uint32_t x0[7] = {0, 4, 0, 2, 0, 1, 0}, y0[7] = {0, 0, 4, 0, 2, 0, 1};
    static const uint32_t dx[7] = {8, 8, 4, 4, 2, 2, 1}, dy[7] = {8, 8, 8, 4, 4, 2, 2};
    std::vector<pass_layout> passes;
    for (int p = 0; p < 7; ++p) {
        const uint32_t w = (info.w - x0[p] + dx[p] - 1) / dx[p], h = (info.h - y0[p] + dy[p] - 1) / dy[p];
        if (info.w > x0[p] && info.h > y0[p] && w && h) passes.push_back({w, h, x0[p], y0[p], dx[p], dy[p]});
    }
    return passes;
}

// The row conversions to RGBA, as stb's conversions give them.

// One sample of a low-depth row.
inline unsigned low_depth_sample(const unsigned char *row, uint32_t i, int depth) {
    const uint32_t bit = i * static_cast<uint32_t>(depth);
    return (row[bit >> 3] >> (8 - depth - (bit & 7))) & ((1u << depth) - 1);
}

// False when a palette index is past the palette (stb reads undefined
// memory there).
bool convert_row(const png_info &info, const kernels &k, const unsigned char *row, uint32_t w, unsigned char *rgba) {
    const int depth = info.depth;
    if (info.colour == 3) {
        unsigned highest = 0;
        for (uint32_t i = 0; i < w; ++i, rgba += 4) {
            const unsigned index = depth == 8 ? row[i] : low_depth_sample(row, i, depth);
            highest = index > highest ? index : highest;
            std::memcpy(rgba, info.palette[index], 4);
        }
        return highest < info.palette_size;
    }
    if (depth == 16) {
        const int n = info.channels;
        for (uint32_t i = 0; i < w; ++i, rgba += 4, row += 2 * n) {
            if (n <= 2) {
                rgba[0] = rgba[1] = rgba[2] = row[0];
                rgba[3] = n == 2 ? row[2] : info.has_key && load_be16(row) == info.key16[0] ? 0 : 255;
            } else {
                rgba[0] = row[0];
                rgba[1] = row[2];
                rgba[2] = row[4];
                rgba[3] = n == 4 ? row[6]
                          : info.has_key && load_be16(row) == info.key16[0] && load_be16(row + 2) == info.key16[1] &&
                                    load_be16(row + 4) == info.key16[2]
                              ? 0
                              : 255;
            }
        }
        return true;
    }
    if (depth < 8) {
        const unsigned scale = grey_scale(depth);
        for (uint32_t i = 0; i < w; ++i, rgba += 4) {
            const unsigned char g = static_cast<unsigned char>(low_depth_sample(row, i, depth) * scale);
            rgba[0] = rgba[1] = rgba[2] = g;
            rgba[3] = info.has_key && g == info.key8[0] ? 0 : 255;
        }
        return true;
    }
    switch (info.colour) {
    case 0:
        for (uint32_t i = 0; i < w; ++i, rgba += 4) {
            rgba[0] = rgba[1] = rgba[2] = row[i];
            rgba[3] = info.has_key && row[i] == info.key8[0] ? 0 : 255;
        }
        return true;
    case 4:
        for (uint32_t i = 0; i < w; ++i, rgba += 4, row += 2) {
            rgba[0] = rgba[1] = rgba[2] = row[0];
            rgba[3] = row[1];
        }
        return true;
    case 2:
        k.rgb_to_rgba(row, w, rgba);
        if (info.has_key) {
            for (uint32_t i = 0; i < w; ++i, rgba += 4)
                if (rgba[0] == info.key8[0] && rgba[1] == info.key8[1] && rgba[2] == info.key8[2]) rgba[3] = 0;
        }
        return true;
    default:
        std::memcpy(rgba, row, static_cast<size_t>(w) * 4);
        return true;
    }
}

using block = malloc_ptr<unsigned char>;

unsigned char *alloc_bytes(size_t n) { return static_cast<unsigned char *>(std::malloc(n ? n : 1)); }

// Takes the inflated stream a few bytes at a time and turns each complete
// row into RGBA in the picture: unfilter against the row above, convert,
// place (every pixel, or an Adam7 pass's pixels).
class row_decoder {
public:
    row_decoder(const png_info &info, const kernels &k, unsigned char *picture)
        : info_(info), k_(k), picture_(picture), passes_(passes_of(info)) {}

    // The rows' buffers; false when memory runs out.
    bool prepare() {
        size_t widest = 0;
        for (const pass_layout &p : passes_) widest = row_bytes(info_, p.w) > widest ? row_bytes(info_, p.w) : widest;
        const size_t row_room = widest + 16;
        staging_.reset(alloc_bytes(row_room + 1));
        rows_.reset(alloc_bytes(3 * row_room));  // zeros, and two rows in turn
        pixels_.reset(alloc_bytes(static_cast<size_t>(info_.w) * 4 + 16));
        if (!staging_ || !rows_ || !pixels_) return false;
        std::memset(rows_.get(), 0, 3 * row_room);
        zero_ = rows_.get();
        prev_ = zero_;
        row_a_ = cur_ = rows_.get() + row_room;
        row_b_ = rows_.get() + 2 * row_room;
        start_pass();
        return true;
    }

    // The inflated bytes the rows need in all.
    size_t needed() const {
        size_t total = 0;
        for (const pass_layout &p : passes_) total += (row_bytes(info_, p.w) + 1) * p.h;
        return total;
    }

    bool done() const { return pass_ >= passes_.size(); }

    static bool take(void *context, const unsigned char *bytes, size_t n) {
        return static_cast<row_decoder *>(context)->take(bytes, n);
    }

private:
    bool take(const unsigned char *bytes, size_t n) {
        while (n) {
            if (done()) return false;  // more data than rows: left to stb
            const size_t need = 1 + row_length_;
            if (filled_ == 0 && n >= need) {
                if (!decode_row(bytes)) return false;
                bytes += need;
                n -= need;
                continue;
            }
            const size_t step = need - filled_ < n ? need - filled_ : n;
            std::memcpy(staging_.get() + filled_, bytes, step);
            filled_ += step;
            bytes += step;
            n -= step;
            if (filled_ == need) {
                filled_ = 0;
                if (!decode_row(staging_.get())) return false;
            }
        }
        return true;
    }

    void start_pass() {
        while (pass_ < passes_.size() && passes_[pass_].h == 0) ++pass_;
        if (done()) return;
        row_length_ = row_bytes(info_, passes_[pass_].w);
        y_ = 0;
        prev_ = zero_;
    }

    // Straight into the picture: 8-bit RGBA rows need no conversion.
    bool direct() const { return !info_.interlaced && info_.colour == 6 && info_.depth == 8; }

    bool decode_row(const unsigned char *raw) {
        const int filter = raw[0];
        if (filter > 4) return false;
        const pass_layout &p = passes_[pass_];
        const unsigned bpp = info_.depth < 8 ? 1u : static_cast<unsigned>(info_.channels * info_.depth / 8);
        const size_t stride = static_cast<size_t>(info_.w) * 4;
        if (direct()) {
            unsigned char *row = picture_ + stride * y_;
            k_.unfilter(filter, raw + 1, prev_, row, row_length_, bpp);
            prev_ = row;
        } else {
            k_.unfilter(filter, raw + 1, prev_, cur_, row_length_, bpp);
            const uint32_t y = p.y0 + y_ * p.dy;
            if (p.dx == 1) {
                if (!convert_row(info_, k_, cur_, p.w, picture_ + stride * y)) return false;
            } else {
                if (!convert_row(info_, k_, cur_, p.w, pixels_.get())) return false;
                unsigned char *to = picture_ + stride * y + static_cast<size_t>(p.x0) * 4;
                const unsigned char *from = pixels_.get();
                for (uint32_t i = 0; i < p.w; ++i, to += 4 * p.dx, from += 4) std::memcpy(to, from, 4);
            }
            prev_ = cur_;
            cur_ = cur_ == row_a_ ? row_b_ : row_a_;
        }
        if (++y_ == p.h) {
            ++pass_;
            start_pass();
        }
        return true;
    }

    const png_info &info_;
    kernels k_;
    unsigned char *picture_;
    std::vector<pass_layout> passes_;
    size_t pass_ = 0;
    uint32_t y_ = 0;
    size_t row_length_ = 0;  // filtered bytes of a row in this pass
    size_t filled_ = 0;      // bytes of a row collected in staging_
    block staging_, rows_, pixels_;
    unsigned char *zero_ = nullptr, *row_a_ = nullptr, *row_b_ = nullptr, *prev_ = nullptr, *cur_ = nullptr;
};

bool decode(const unsigned char *data, size_t size, rgba_image *out, simd_path path) {
    png_info info;
    if (!read_chunks(data, size, &info)) return false;
    const kernels k = pick_kernels(path);
    size_t bytes;
    if (!rgba_byte_count(info.w, info.h, &bytes)) return false;
    block picture(static_cast<unsigned char *>(std::malloc(bytes)));
    if (!picture) return false;
    row_decoder rows(info, k, picture.get());
    if (!rows.prepare()) return false;
    const size_t needed = rows.needed();
    idat_walker chunks{data, size, info.first_chunk};
    const inflate_result r = inflate_zlib(idat_walker::next, &chunks, needed, row_decoder::take, &rows);
    // stb reads on past the deflate data as if zeros followed; with the
    // four Adler-32 bytes present it never gets there.
    if (!r.ok || r.output_size != needed || !rows.done() || info.idat_bytes - r.stream_end < 4) return false;
    out->w = static_cast<int>(info.w);
    out->h = static_cast<int>(info.h);
    out->pixels = picture.release();
    return true;
}

}  // namespace

bool decode_png(const unsigned char *data, size_t size, rgba_image *out, simd_path path) {
    try {
        return data && out && decode(data, size, out, path);
    } catch (...) {  // a vector that could not grow: left to stb
        return false;
    }
}
