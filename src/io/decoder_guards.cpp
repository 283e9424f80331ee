#include "decoder_guards.h"

#include <climits>

#include "jpeg_segments.h"
#include "reference_decoder.h"

bool jpeg_has_oversized_huffman_table(const unsigned char *b, int size) {
    bool oversized = false;
    walk_jpeg_segments(b, size, [&](const jpeg_segment &segment) {
        if (segment.marker != 0xC4) return true;
        long long left = segment.length - 2, k = segment.payload;
        while (left > 0 && !oversized) {
            long long codes = 0;
            for (int n = 0; n < 16; ++n) codes += byte_or_zero(b, size, k + 1 + n);
            oversized = codes > 256;
            k += 17 + codes;
            left -= 17 + codes;
        }
        return !oversized;
    });
    return oversized;
}

// The reader runs 16-bit samples through its 8-bit channel converter and then
// reads past the converted block, and overflows int on long numbers. Reads
// the header exactly the way the reader does.
bool pnm_header_is_unsafe(const unsigned char *b, int size) {
    if (size < 2 || b[0] != 'P' || (b[1] != '5' && b[1] != '6')) return false;
    int pos = 2;
    auto at_eof = [&] { return pos >= size; };
    auto get8 = [&]() -> char { return pos < size ? static_cast<char>(b[pos++]) : '\0'; };
    auto is_space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; };
    auto skip_whitespace = [&](char *c) {
        for (;;) {
            while (!at_eof() && is_space(*c)) *c = get8();
            if (at_eof() || *c != '#') break;
            while (!at_eof() && *c != '\n' && *c != '\r') *c = get8();
        }
    };
    bool overflow = false;
    auto get_integer = [&](char *c) {
        long long value = 0;
        while (!at_eof() && *c >= '0' && *c <= '9') {
            value = value * 10 + (*c - '0');
            if (value > INT_MAX) {
                overflow = true;
                value = INT_MAX;
            }
            *c = get8();
        }
        return value;
    };
    char c = get8();
    skip_whitespace(&c);
    get_integer(&c);  // width
    skip_whitespace(&c);
    get_integer(&c);  // height
    skip_whitespace(&c);
    const long long max_value = get_integer(&c);
    return overflow || max_value > 255;
}

// ---------------------------------------------------------------------------
// Declared picture against the data

namespace {

using u64 = unsigned long long;
constexpr u64 kHuge = 1ULL << 62;  // larger than any file: the product saturates here

u64 mul(u64 a, u64 b) {
    if (a == 0 || b == 0) return 0;
    return a > kHuge / b ? kHuge : a * b;
}
u64 add(u64 a, u64 b) { return a + b > kHuge ? kHuge : a + b; }
u64 ceil_div(u64 a, u64 b) { return a / b + (a % b != 0); }

// Header fields, reading zeros past the end as the decoder does.
struct header_bytes {
    const unsigned char *b;
    long long size;
    unsigned u8(long long k) const { return byte_or_zero(b, size, k); }
    unsigned le16(long long k) const { return u8(k) | u8(k + 1) << 8; }
    unsigned be16(long long k) const { return be16_or_zero(b, size, k); }
    u64 le32(long long k) const { return le16(k) | static_cast<u64>(le16(k + 2)) << 16; }
    u64 be32(long long k) const { return static_cast<u64>(be16(k)) << 16 | be16(k + 2); }
};

// Deflate codes at best a 258-byte match in two bits, 1,032 bytes a byte.
u64 png_min_bytes(const header_bytes &f, u64 pixels) {
    const unsigned depth = f.u8(24), colour = f.u8(25);
    unsigned channels;
    switch (colour) {
    case 0: case 3: channels = 1; break;
    case 2: channels = 3; break;
    case 4: channels = 2; break;
    case 6: channels = 4; break;
    default: return 0;
    }
    const u64 filtered = ceil_div(mul(pixels, channels * depth), 8);
    return ceil_div(filtered, 1032);
}

// Rows of raw pixels, without their padding to four bytes.
u64 bmp_min_bytes(const header_bytes &f, u64 w, u64 h) {
    const u64 header_size = f.le32(14);
    const unsigned bpp = f.le16(header_size == 12 ? 24 : 28);
    u64 row;
    switch (bpp) {
    case 1: row = ceil_div(w, 8); break;
    case 4: row = ceil_div(w, 2); break;
    case 8: case 16: case 24: case 32: row = mul(w, bpp / 8); break;
    default: return 0;
    }
    return add(14 + header_size, mul(h, row));
}

// Raw planes, or PackBits runs of at most 128 pixels in two bytes after a
// table of two-byte row lengths per row and channel.
u64 psd_min_bytes(const header_bytes &f, u64 w, u64 h) {
    const unsigned channels = f.be16(12), depth = f.be16(22);
    u64 pos = 26;
    for (int section = 0; section < 3; ++section) pos = add(pos + 4, f.be32(static_cast<long long>(pos)));
    const unsigned compression = pos < kHuge ? f.be16(static_cast<long long>(pos)) : 0;
    pos = add(pos, 2);
    const unsigned decoded = channels < 1 ? 1 : channels > 4 ? 4 : channels;  // the reader reads at most four
    const u64 pixels = mul(w, h);
    if (compression == 0) return add(pos, mul(mul(pixels, decoded), depth == 16 ? 2 : 1));
    if (compression == 1) return add(add(pos, mul(mul(h, channels), 2)), mul(decoded, mul(ceil_div(pixels, 128), 2)));
    return 0;
}

// Per row, each packet of the chain: raw values, pure runs of up to 255
// pixels, or mixed runs whose long form covers up to 65,535 pixels.
u64 pic_min_bytes(const header_bytes &f, u64 w, u64 h) {
    u64 pos = 104, per_row = 0;
    for (int packets = 0; packets < 10; ++packets) {
        const unsigned chained = f.u8(static_cast<long long>(pos)), type = f.u8(static_cast<long long>(pos + 2));
        // The reader takes one byte for each of the channel mask's top four bits.
        const unsigned values = static_cast<unsigned>(__builtin_popcount(f.u8(static_cast<long long>(pos + 3)) & 0xF0));
        pos += 4;
        if (type == 0) per_row = add(per_row, mul(w, values));
        else if (type == 1) per_row = add(per_row, mul(ceil_div(w, 255), 1 + values));
        else if (type == 2) per_row = add(per_row, mul(ceil_div(w, 65535), 3 + values));
        if (!chained) break;
    }
    return add(pos, mul(h, per_row));
}

// Run-length scanlines (possible for widths 8 to 32,767) hold at best runs of
// 127 pixels in two bytes per channel after a four-byte scanline header;
// other files store four bytes a pixel.
u64 hdr_min_bytes(long long data_start, u64 w, u64 h) {
    const u64 per_row = (w >= 8 && w < 32768) ? 4 + 4 * 2 * ceil_div(w, 128) : mul(w, 4);
    return add(static_cast<u64>(data_start), mul(h, per_row));
}

// The reader spins for ever when a run-length scanline ends with the data:
// past the end it reads zero counts, which make no progress. Walks the
// scanlines as the reader does and tells whether the data runs out first.
bool hdr_runs_out(const header_bytes &f, long long pos, long long w, long long h) {
    if (w < 8 || w >= 32768) return false;
    for (long long y = 0; y < h; ++y) {
        const unsigned c1 = f.u8(pos), c2 = f.u8(pos + 1), len_high = f.u8(pos + 2);
        if (c1 != 2 || c2 != 2 || (len_high & 0x80)) return false;  // flat pixels from here: no runs
        if (static_cast<long long>(len_high << 8 | f.u8(pos + 3)) != w) return false;  // refused by the reader
        pos += 4;
        for (int channel = 0; channel < 4; ++channel) {
            for (long long x = 0; x < w;) {
                if (pos >= f.size) return true;
                unsigned count = f.u8(pos++);
                const bool run = count > 128;
                if (run) count -= 128;
                if (count > w - x) return false;  // refused by the reader
                x += count;
                pos += run ? 1 : count;
            }
        }
    }
    return false;
}

// Raw pixels, or run-length packets of at most 128 pixels, each a count byte
// and one pixel; after the header, the image id and the palette.
u64 tga_min_bytes(const header_bytes &f, u64 w, u64 h) {
    const unsigned id_length = f.u8(0), colour_mapped = f.u8(1), type = f.u8(2);
    const unsigned palette_length = f.le16(5), palette_bits = f.u8(7), pixel_bits = f.u8(16);
    const u64 palette = colour_mapped ? mul(palette_length, (palette_bits + 7) / 8) : 0;
    const u64 pixel_bytes = (pixel_bits + 7) / 8;
    const u64 start = 18 + id_length + palette, pixels = mul(w, h);
    if (type >= 8) return add(start, mul(ceil_div(pixels, 128), 1 + pixel_bytes));
    return add(start, mul(pixels, pixel_bytes));
}

}  // namespace

bool picture_larger_than_data(const unsigned char *b, int size) {
    const decoder_header header = read_decoder_header(b, size);
    const long long w = header.w, h = header.format == decoder_format::bmp && header.h < 0 ? -1LL * header.h : header.h;
    if (w <= 0 || h <= 0) return false;  // the decoder refuses these itself
    const header_bytes f{b, size};
    const u64 uw = static_cast<u64>(w), uh = static_cast<u64>(h);
    u64 needed = 0;
    switch (header.format) {
    case decoder_format::png: needed = png_min_bytes(f, mul(uw, uh)); break;
    case decoder_format::bmp: needed = bmp_min_bytes(f, uw, uh); break;
    case decoder_format::psd: needed = psd_min_bytes(f, uw, uh); break;
    case decoder_format::pic: needed = pic_min_bytes(f, uw, uh); break;
    case decoder_format::jpeg: needed = ceil_div(static_cast<u64>(header.jpeg_blocks), 8); break;  // a bit a block
    case decoder_format::pnm: needed = add(static_cast<u64>(header.header_end), mul(mul(uw, uh), b[1] == '6' ? 3 : 1)); break;
    case decoder_format::hdr:
        if (hdr_runs_out(f, header.header_end, w, h)) return true;
        needed = hdr_min_bytes(header.header_end, uw, uh);
        break;
    case decoder_format::tga: needed = tga_min_bytes(f, uw, uh); break;
    case decoder_format::gif:
    case decoder_format::none: break;  // a GIF screen may be far larger than its frames
    }
    return needed > static_cast<u64>(size);
}
