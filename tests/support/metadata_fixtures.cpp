#include "metadata_fixtures.h"

#include <cstring>

namespace {

void append(bytes *to, const bytes &more) { to->insert(to->end(), more.begin(), more.end()); }

void append_be16(bytes *to, uint32_t v) {
    to->push_back(static_cast<unsigned char>(v >> 8));
    to->push_back(static_cast<unsigned char>(v));
}

void append_be32(bytes *to, uint32_t v) {
    append_be16(to, v >> 16);
    append_be16(to, v & 0xFFFF);
}

// A zlib stream of stored (uncompressed) deflate blocks.
bytes zlib_stored(const bytes &data) {
    bytes z = {0x78, 0x01};
    size_t at = 0;
    do {
        const size_t n = std::min<size_t>(65535, data.size() - at);
        z.push_back(at + n == data.size() ? 1 : 0);
        z.push_back(static_cast<unsigned char>(n));
        z.push_back(static_cast<unsigned char>(n >> 8));
        z.push_back(static_cast<unsigned char>(~n));
        z.push_back(static_cast<unsigned char>(~n >> 8));
        z.insert(z.end(), data.begin() + static_cast<long>(at), data.begin() + static_cast<long>(at + n));
        at += n;
    } while (at < data.size());
    uint32_t a = 1, b = 0;
    for (unsigned char c : data) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    append_be32(&z, b << 16 | a);
    return z;
}

}  // namespace

bytes exif_tiff(unsigned orientation, bool big_endian) {
    const unsigned short tags[3][2] = {{0x010F, 0}, {0x0112, 0}, {0x0131, 0}};  // make, orientation, software
    bytes t(8 + 2 + 3 * 12 + 4, 0);
    auto u16 = [&](size_t at, uint32_t v) { big_endian ? put_be16(t, at, v) : put_le16(t, at, v); };
    auto u32 = [&](size_t at, uint32_t v) { big_endian ? put_be32(t, at, v) : put_le32(t, at, v); };
    t[0] = t[1] = big_endian ? 'M' : 'I';
    u16(2, 42);
    u32(4, 8);
    u16(8, 3);
    for (int k = 0; k < 3; ++k) {
        const size_t e = 10 + 12 * static_cast<size_t>(k);
        u16(e, tags[k][0]);
        if (tags[k][0] == 0x0112) {
            u16(e + 2, 3);  // SHORT
            u32(e + 4, 1);
            u16(e + 8, orientation);
        } else {
            u16(e + 2, 2);  // ASCII, four bytes held in place
            u32(e + 4, 4);
            std::memcpy(&t[e + 8], "Cam", 4);
        }
    }
    return t;  // no next IFD
}

bytes exif_segment(const bytes &tiff) {
    bytes s = {0xFF, 0xE1};
    append_be16(&s, static_cast<uint32_t>(2 + 6 + tiff.size()));
    const char id[6] = {'E', 'x', 'i', 'f', 0, 0};
    s.insert(s.end(), id, id + 6);
    append(&s, tiff);
    return s;
}

bytes icc_segment(unsigned sequence, unsigned count, const bytes &part) {
    bytes s = {0xFF, 0xE2};
    append_be16(&s, static_cast<uint32_t>(2 + 14 + part.size()));
    const char id[12] = {'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0};
    s.insert(s.end(), id, id + 12);
    s.push_back(static_cast<unsigned char>(sequence));
    s.push_back(static_cast<unsigned char>(count));
    append(&s, part);
    return s;
}

bytes icc_segments(const bytes &profile, size_t part_size) {
    const size_t count = (profile.size() + part_size - 1) / part_size;
    bytes all;
    for (size_t k = 0; k < count; ++k) {
        const size_t from = k * part_size, to = std::min(profile.size(), from + part_size);
        append(&all, icc_segment(static_cast<unsigned>(k + 1), static_cast<unsigned>(count),
                                 bytes(profile.begin() + static_cast<long>(from), profile.begin() + static_cast<long>(to))));
    }
    return all;
}

bytes with_jpeg_segments(const bytes &jpeg, const bytes &segments) {
    size_t at = 2;
    if (jpeg.size() > 4 && jpeg[2] == 0xFF && jpeg[3] == 0xE0) at = 4 + (static_cast<size_t>(jpeg[4]) << 8 | jpeg[5]);
    bytes out(jpeg.begin(), jpeg.begin() + static_cast<long>(at));
    append(&out, segments);
    out.insert(out.end(), jpeg.begin() + static_cast<long>(at), jpeg.end());
    return out;
}

bytes png_chunk(const char type[4], const bytes &data) {
    bytes c;
    append_be32(&c, static_cast<uint32_t>(data.size()));
    c.insert(c.end(), type, type + 4);
    append(&c, data);
    append_be32(&c, crc32_of(&c[4], data.size() + 4));
    return c;
}

bytes with_png_chunks(const bytes &png, const bytes &chunks) {
    const size_t after_ihdr = 8 + 25;
    bytes out(png.begin(), png.begin() + after_ihdr);
    append(&out, chunks);
    out.insert(out.end(), png.begin() + after_ihdr, png.end());
    return out;
}

bytes iccp_body(const bytes &profile, const char *name) {
    bytes b(name, name + std::strlen(name));
    b.push_back(0);
    b.push_back(0);
    append(&b, zlib_stored(profile));
    return b;
}

bytes rgb_profile(size_t size, uint32_t seed) {
    bytes p(size, 0);
    for (size_t i = 132; i < size; ++i) p[i] = static_cast<unsigned char>((i * 131 + seed * 17) >> 3);
    put_be32(p, 0, static_cast<uint32_t>(size));
    std::memcpy(&p[4], "lcms", 4);
    put_be32(p, 8, 0x04300000);  // version 4.3
    std::memcpy(&p[12], "mntr", 4);
    std::memcpy(&p[16], "RGB ", 4);
    std::memcpy(&p[20], "XYZ ", 4);
    std::memcpy(&p[36], "acsp", 4);
    put_be32(p, 128, 0);  // no tags
    return p;
}

position displayed_position(int orientation, int x, int y, int w, int h) {
    // Where the stored first row and first column are shown.
    switch (orientation) {
    case 2: return {w - 1 - x, y};          // row 0 at the top, column 0 on the right
    case 3: return {w - 1 - x, h - 1 - y};  // row 0 at the bottom, column 0 on the right
    case 4: return {x, h - 1 - y};          // row 0 at the bottom, column 0 on the left
    case 5: return {y, x};                  // row 0 on the left, column 0 at the top
    case 6: return {h - 1 - y, x};          // row 0 on the right, column 0 at the top
    case 7: return {h - 1 - y, w - 1 - x};  // row 0 on the right, column 0 at the bottom
    case 8: return {y, w - 1 - x};          // row 0 on the left, column 0 at the bottom
    default: return {x, y};
    }
}

picture as_displayed(const picture &stored, int orientation) {
    const bool swaps = orientation >= 5 && orientation <= 8;
    picture shown(swaps ? stored.h : stored.w, swaps ? stored.w : stored.h);
    for (int y = 0; y < stored.h; ++y)
        for (int x = 0; x < stored.w; ++x) {
            const position p = displayed_position(orientation, x, y, stored.w, stored.h);
            shown.set(p.x, p.y, stored.get(x, y));
        }
    return shown;
}
