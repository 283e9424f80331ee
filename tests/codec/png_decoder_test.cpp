// The PNG decoder against stb_image itself. Every regular file of the table
// (each colour type and depth, palettes and colour keys, Adam7, each
// compression level and strategy, data split into tiny IDAT chunks, awkward
// sizes) must be taken, on every kernel path, and give stb's pixels exactly;
// damaged files must reach the caller exactly as stb decodes or refuses
// them; the inflater alone must give the stream's bytes and refuse bad ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#if defined(IMGWATERMARK_TEST_ZLIB)
#include <zlib.h>
#endif

#include "cpu_features.h"
#include "decoder_guards.h"
#include "image_io.h"
#include "imgwatermark.h"
#include "inflate.h"
#include "png_decoder.h"
#include "png_deflate.h"
#include "reference_decoder.h"
#include "test_support.h"

namespace {

uint32_t next_random(uint32_t *state) {
    uint32_t x = *state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return *state = x;
}

std::vector<simd_path> available_paths() {
    std::vector<simd_path> paths;
    for (simd_path p : {simd_path::portable, simd_path::sse2, simd_path::avx2})
        if (simd_path_available(p)) paths.push_back(p);
    return paths;
}

// ---------------------------------------------------------------------------
// Decoding with stb and with ours

struct decoded {
    bool ok = false;
    int w = 0, h = 0;
    bytes px;
    std::string reason;  // stb's failure reason
    bool operator==(const decoded &o) const { return ok == o.ok && w == o.w && h == o.h && px == o.px && reason == o.reason; }
};

// stb as the loader calls it.
decoded stb_decode(const bytes &file) {
    decoded d;
    unsigned char *px = stb_decode_rgba(file.data(), static_cast<int>(file.size()), &d.w, &d.h);
    if (!px) {
        d.reason = stb_failure_reason();
        d.w = d.h = 0;
        return d;
    }
    d.ok = true;
    d.px.assign(px, px + static_cast<size_t>(d.w) * d.h * 4);
    std::free(px);
    return d;
}

decoded our_decode(const bytes &file, simd_path path) {
    decoded d;
    rgba_image img{-1, -1, nullptr};
    d.ok = decode_png(file.data(), file.size(), &img, path);
    if (!d.ok) {
        EXPECT_EQ(img.pixels, nullptr);
        EXPECT_EQ(img.w, -1);
        return d;
    }
    d.w = img.w;
    d.h = img.h;
    d.px.assign(img.pixels, img.pixels + static_cast<size_t>(img.w) * img.h * 4);
    std::free(img.pixels);
    return d;
}

// ---------------------------------------------------------------------------
// Building PNG files

void put_chunk(bytes &png, const char *type, const bytes &body) {
    const size_t at = png.size();
    png.resize(at + 8);
    put_be32(png, at, static_cast<uint32_t>(body.size()));
    std::memcpy(&png[at + 4], type, 4);
    png.insert(png.end(), body.begin(), body.end());
    const uint32_t crc = crc32_update(0, &png[at + 4], body.size() + 4);
    png.resize(png.size() + 4);
    put_be32(png, png.size() - 4, crc);
}

struct layout {
    int w, h, depth, colour;
    bool interlaced;
    int channels() const { return colour == 0 || colour == 3 ? 1 : colour == 2 ? 3 : colour == 4 ? 2 : 4; }
    size_t row_bytes(int width) const { return (static_cast<size_t>(width) * channels() * depth + 7) / 8; }
};

// Adam7's passes as (width, height), empty ones left out.
std::vector<std::pair<int, int>> passes(const layout &l) {
    if (!l.interlaced) return {{l.w, l.h}};
    static const int x0[7] = {0, 4, 0, 2, 0, 1, 0}, y0[7] = {0, 0, 4, 0, 2, 0, 1};
    static const int dx[7] = {8, 8, 4, 4, 2, 2, 1}, dy[7] = {8, 8, 8, 4, 4, 2, 2};
    std::vector<std::pair<int, int>> out;
    for (int p = 0; p < 7; ++p) {
        const int w = l.w > x0[p] ? (l.w - x0[p] + dx[p] - 1) / dx[p] : 0;
        const int h = l.h > y0[p] ? (l.h - y0[p] + dy[p] - 1) / dy[p] : 0;
        if (w && h) out.push_back({w, h});
    }
    return out;
}

unsigned char paeth(int a, int b, int c) {
    const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return static_cast<unsigned char>(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

// Filters one row with filter f (the encoder's side).
bytes filter_row(int f, const bytes &row, const bytes &prev, size_t bpp) {
    bytes out(row.size() + 1);
    out[0] = static_cast<unsigned char>(f);
    for (size_t k = 0; k < row.size(); ++k) {
        const int a = k >= bpp ? row[k - bpp] : 0, b = prev[k], c = k >= bpp ? prev[k - bpp] : 0;
        const int pred = f == 1 ? a : f == 2 ? b : f == 3 ? (a + b) / 2 : f == 4 ? paeth(a, b, c) : 0;
        out[k + 1] = static_cast<unsigned char>(row[k] - pred);
    }
    return out;
}

enum class content { smooth, noise };

// The filtered scanlines of every pass: samples below `limit` (palette
// indices), smooth ramps or noise, the filter cycling through all five.
bytes scanlines(const layout &l, content c, unsigned limit, uint32_t seed) {
    bytes out;
    const size_t bpp = l.depth < 8 ? 1 : static_cast<size_t>(l.channels()) * l.depth / 8;
    const unsigned max_sample = (l.depth == 16 ? 65536u : 1u << l.depth);
    const unsigned top = limit && limit < max_sample ? limit : max_sample;
    int row_number = 0;
    for (const auto &pass : passes(l)) {
        bytes prev(l.row_bytes(pass.first), 0);
        for (int y = 0; y < pass.second; ++y, ++row_number) {
            bytes row(prev.size(), 0);
            for (int x = 0; x < pass.first; ++x) {
                for (int ch = 0; ch < l.channels(); ++ch) {
                    unsigned v = c == content::noise ? next_random(&seed)
                                                     : static_cast<unsigned>(x * 37 + y * 11 + ch * 4000 + (x / 7) * 900);
                    if (c == content::smooth && l.depth == 8) v = (x + y * 2 + ch * 60) & 255;
                    v %= top;
                    const size_t sample = static_cast<size_t>(x) * l.channels() + ch;
                    if (l.depth == 16) {
                        row[sample * 2] = static_cast<unsigned char>(v >> 8);
                        row[sample * 2 + 1] = static_cast<unsigned char>(v);
                    } else if (l.depth == 8) {
                        row[sample] = static_cast<unsigned char>(v);
                    } else {
                        const size_t bit = sample * l.depth;
                        row[bit / 8] |= static_cast<unsigned char>(v << (8 - l.depth - bit % 8));
                    }
                }
            }
            const bytes filtered = filter_row((row_number + static_cast<int>(seed % 5)) % 5, row, prev, bpp);
            out.insert(out.end(), filtered.begin(), filtered.end());
            prev = row;
        }
    }
    return out;
}

// zlib streams made without zlib: stored blocks, or the project's own
// stb-equivalent compressor (fixed Huffman codes).
bytes stored_stream(const bytes &raw) {
    bytes z = {0x78, 0x01};
    size_t at = 0;
    do {
        const size_t n = std::min<size_t>(raw.size() - at, 65535);
        const bool last = at + n == raw.size();
        z.push_back(last ? 1 : 0);
        z.push_back(static_cast<unsigned char>(n));
        z.push_back(static_cast<unsigned char>(n >> 8));
        z.push_back(static_cast<unsigned char>(~n));
        z.push_back(static_cast<unsigned char>(~n >> 8));
        z.insert(z.end(), raw.begin() + static_cast<long>(at), raw.begin() + static_cast<long>(at + n));
        at += n;
    } while (at < raw.size());
    const uint32_t adler = adler32(raw.data(), raw.size());
    z.resize(z.size() + 4);
    put_be32(z, z.size() - 4, adler);
    return z;
}

bytes stb_stream(const bytes &raw) {
    byte_buffer_out out;
    EXPECT_TRUE(stb_zlib_compress(raw.data(), raw.size(), &out));
    return bytes(out.data(), out.data() + out.size());
}

#if defined(IMGWATERMARK_TEST_ZLIB)
bytes zlib_stream(const bytes &raw, int level, int strategy) {
    z_stream s{};
    EXPECT_EQ(deflateInit2(&s, level, Z_DEFLATED, 15, 8, strategy), Z_OK);
    bytes out(deflateBound(&s, static_cast<uLong>(raw.size())));
    s.next_in = const_cast<unsigned char *>(raw.data());
    s.avail_in = static_cast<uInt>(raw.size());
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
    out.resize(s.total_out);
    deflateEnd(&s);
    return out;
}
#endif

enum class key { none, palette_alpha, colour_key, colour_key_high_byte };

struct png_case {
    const char *name;
    layout l;
    content c;
    key k;
    int compression;  // -1 stored, -2 the project's stb compressor, 0..9 zlib level
    int strategy;     // zlib strategy
    size_t piece;     // IDAT chunk size (0: one chunk)
    unsigned palette_size;
};

bytes make_png(const png_case &c, uint32_t seed = 7) {
    const layout &l = c.l;
    const bytes raw = scanlines(l, c.c, c.l.colour == 3 ? c.palette_size : 0, seed);
    bytes z;
    if (c.compression == -1) z = stored_stream(raw);
    else if (c.compression == -2) z = stb_stream(raw);
#if defined(IMGWATERMARK_TEST_ZLIB)
    else z = zlib_stream(raw, c.compression, c.strategy);
#endif
    bytes png = {137, 80, 78, 71, 13, 10, 26, 10};
    bytes ihdr(13, 0);
    put_be32(ihdr, 0, static_cast<uint32_t>(l.w));
    put_be32(ihdr, 4, static_cast<uint32_t>(l.h));
    ihdr[8] = static_cast<unsigned char>(l.depth);
    ihdr[9] = static_cast<unsigned char>(l.colour);
    ihdr[12] = l.interlaced ? 1 : 0;
    put_chunk(png, "IHDR", ihdr);
    put_chunk(png, "gAMA", {0, 0, 0xB1, 0x8F});
    if (l.colour == 3) {
        bytes plte(c.palette_size * 3);
        for (size_t i = 0; i < plte.size(); ++i) plte[i] = static_cast<unsigned char>(i * 29 + 3);
        put_chunk(png, "PLTE", plte);
        if (c.k == key::palette_alpha) {
            bytes alpha(c.palette_size > 3 ? c.palette_size - 3 : c.palette_size);
            for (size_t i = 0; i < alpha.size(); ++i) alpha[i] = static_cast<unsigned char>(i * 53);
            put_chunk(png, "tRNS", alpha);
        }
    } else if (c.k == key::colour_key || c.k == key::colour_key_high_byte) {
        // The colour of the smooth content's first pixel. stb compares only
        // the low byte of a key for depths up to 8, so a high byte set there
        // must change nothing.
        bytes trns(static_cast<size_t>(l.channels()) * 2, 0);
        for (int ch = 0; ch < l.channels(); ++ch) {
            const unsigned v = l.depth == 8 ? ch * 60u : l.depth == 16 ? ch * 4000u : 0u;
            put_be16(trns, static_cast<size_t>(ch) * 2, v | (c.k == key::colour_key_high_byte ? 0x100u : 0u));
        }
        put_chunk(png, "tRNS", trns);
    }
    const size_t piece = c.piece ? c.piece : z.size();
    for (size_t at = 0; at < z.size(); at += piece)
        put_chunk(png, "IDAT", bytes(z.begin() + static_cast<long>(at),
                                     z.begin() + static_cast<long>(std::min(z.size(), at + piece))));
    put_chunk(png, "IEND", {});
    return png;
}

const std::vector<png_case> &identity_cases() {
    static const std::vector<png_case> cases = [] {
        std::vector<png_case> v;
        // Every colour type and depth, smooth and noisy, plain and Adam7.
        const struct { int colour, depth; } formats[] = {{0, 1}, {0, 2}, {0, 4}, {0, 8}, {0, 16}, {2, 8}, {2, 16},
                                                         {3, 1}, {3, 2}, {3, 4}, {3, 8}, {4, 8}, {4, 16}, {6, 8},
                                                         {6, 16}};
        static std::vector<std::string> names;
        names.reserve(400);
        for (const auto &f : formats) {
            for (bool interlaced : {false, true}) {
                for (content c : {content::smooth, content::noise}) {
                    names.push_back("c" + std::to_string(f.colour) + "_d" + std::to_string(f.depth) +
                                    (interlaced ? "_adam7" : "") + (c == content::noise ? "_noise" : "_smooth"));
                    const unsigned pal = f.colour == 3 ? (1u << f.depth) - (f.depth > 1 ? 1 : 0) : 0;
                    v.push_back({names.back().c_str(), {37, 29, f.depth, f.colour, interlaced}, c, key::none, -2, 0, 0,
                                 pal});
                }
            }
            const key k = f.colour == 3 ? key::palette_alpha : (f.colour == 0 || f.colour == 2) ? key::colour_key : key::none;
            if (k != key::none) {
                names.push_back("c" + std::to_string(f.colour) + "_d" + std::to_string(f.depth) + "_trns");
                v.push_back({names.back().c_str(), {33, 17, f.depth, f.colour, f.depth == 8}, content::smooth, k, -1, 0,
                             0, f.colour == 3 ? (1u << f.depth) : 0});
            }
            if (k == key::colour_key && f.depth < 16) {
                names.push_back("c" + std::to_string(f.colour) + "_d" + std::to_string(f.depth) + "_trns_high_byte");
                v.push_back({names.back().c_str(), {33, 17, f.depth, f.colour, false}, content::smooth,
                             key::colour_key_high_byte, -2, 0, 0, 0});
            }
        }
        // Sizes: 1 x 1, single rows and columns, odd widths, under 8 x 8 with Adam7.
        const int sizes[][2] = {{1, 1}, {1, 9}, {9, 1}, {2, 2}, {3, 5}, {5, 3}, {7, 7}, {8, 8}, {13, 2}, {255, 3}};
        for (const auto &s : sizes) {
            for (bool interlaced : {false, true}) {
                for (int colour : {2, 6, 3}) {
                    names.push_back(std::to_string(s[0]) + "x" + std::to_string(s[1]) + "_c" + std::to_string(colour) +
                                    (interlaced ? "_adam7" : ""));
                    v.push_back({names.back().c_str(), {s[0], s[1], 8, colour, interlaced}, content::noise, key::none, -2,
                                 0, 0, colour == 3 ? 200u : 0u});
                }
            }
        }
        // Stored blocks, and IDAT split into 1-byte and 7-byte chunks.
        v.push_back({"stored_rgba", {300, 250, 8, 6, false}, content::smooth, key::none, -1, 0, 0, 0});
        v.push_back({"one_byte_chunks", {41, 23, 8, 2, false}, content::smooth, key::none, -2, 0, 1, 0});
        v.push_back({"seven_byte_chunks_stored", {41, 23, 8, 6, true}, content::noise, key::none, -1, 0, 7, 0});
#if defined(IMGWATERMARK_TEST_ZLIB)
        // Every zlib level, Huffman-only, run-length and filtered strategies.
        for (int level = 0; level <= 9; ++level) {
            names.push_back("zlib_level_" + std::to_string(level));
            v.push_back({names.back().c_str(), {211, 97, 8, 2, false}, content::smooth, key::none, level,
                         Z_DEFAULT_STRATEGY, 0, 0});
        }
        v.push_back({"zlib_huffman_only", {211, 97, 8, 6, false}, content::smooth, key::none, 6, Z_HUFFMAN_ONLY, 0, 0});
        v.push_back({"zlib_rle", {211, 97, 8, 6, false}, content::smooth, key::none, 6, Z_RLE, 0, 0});
        v.push_back({"zlib_filtered", {211, 97, 8, 2, true}, content::noise, key::none, 6, Z_FILTERED, 0, 0});
        v.push_back({"zlib_fixed", {211, 97, 8, 2, false}, content::smooth, key::none, 6, Z_FIXED, 0, 0});
        v.push_back({"zlib_one_byte_chunks", {64, 40, 16, 6, true}, content::smooth, key::none, 9, Z_DEFAULT_STRATEGY,
                     1, 0});
        v.push_back({"zlib_palette_noise", {300, 200, 8, 3, false}, content::noise, key::palette_alpha, 9,
                     Z_DEFAULT_STRATEGY, 0, 256});
#endif
        return v;
    }();
    return cases;
}

void PrintTo(const png_case &c, std::ostream *os) { *os << c.name; }

class png_identity : public ::testing::TestWithParam<png_case> {};

TEST_P(png_identity, gives_stbs_pixels_on_every_path) {
    const bytes png = make_png(GetParam());
    const decoded expected = stb_decode(png);
    ASSERT_TRUE(expected.ok) << expected.reason;
    for (simd_path p : available_paths()) {
        const decoded ours = our_decode(png, p);
        ASSERT_TRUE(ours.ok) << simd_path_name(p) << ": a regular file was left to stb";
        EXPECT_EQ(ours.w, expected.w);
        EXPECT_EQ(ours.h, expected.h);
        EXPECT_TRUE(ours.px == expected.px) << simd_path_name(p);
    }
}

INSTANTIATE_TEST_SUITE_P(table, png_identity, ::testing::ValuesIn(identity_cases()),
                         [](const ::testing::TestParamInfo<png_case> &info) { return std::string(info.param.name); });

// A colour key that some pixels match: the keyed pixels turn transparent.
TEST(png_identity_keys, matching_colour_key_clears_alpha) {
    for (const auto &f : {std::make_pair(0, 1), std::make_pair(0, 2), std::make_pair(0, 4), std::make_pair(0, 8),
                          std::make_pair(0, 16), std::make_pair(2, 8), std::make_pair(2, 16)}) {
        const int depth = f.second;
        png_case c{"key", {19, 11, depth, f.first, false}, content::smooth, key::colour_key, -1, 0, 0, 0};
        const bytes png = make_png(c);
        const decoded expected = stb_decode(png);
        ASSERT_TRUE(expected.ok);
        size_t transparent = 0;  // the first pixel at least
        for (size_t i = 3; i < expected.px.size(); i += 4) transparent += expected.px[i] == 0;
        EXPECT_GT(transparent, 0u) << depth;
        for (simd_path p : available_paths()) EXPECT_TRUE(our_decode(png, p) == expected) << depth;
    }
}

// One big photo-like case.
TEST(png_identity_large, twelve_megapixels) {
    const int w = 4000, h = 3000;
    picture photo(w, h);
    uint32_t seed = 99;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            unsigned char *px = photo.at(x, y);
            const uint32_t r = next_random(&seed);
            px[0] = static_cast<unsigned char>((x / 8 + y / 13) + (r & 7));
            px[1] = static_cast<unsigned char>((x * y) / 4096 + ((r >> 3) & 3));
            px[2] = static_cast<unsigned char>(((x - 2000) * (x - 2000) + (y - 1500) * (y - 1500)) >> 14);
            px[3] = 255;
        }
    const bytes png = [&] {
        scratch_dir dir;
        const std::string path = (dir.path / "big.png").string();
        save_png(path, photo);
        return read_bytes(path);
    }();
    const decoded expected = stb_decode(png);
    ASSERT_TRUE(expected.ok);
    for (simd_path p : available_paths()) {
        const decoded ours = our_decode(png, p);
        ASSERT_TRUE(ours.ok) << simd_path_name(p);
        EXPECT_TRUE(ours.px == expected.px) << simd_path_name(p);
    }
}

// ---------------------------------------------------------------------------
// Files left to stb

// What load_image gives for a file: pixels, or the failure message.
struct loaded {
    bool ok = false;
    int w = 0, h = 0;
    bytes px;
    std::string message;
    bool operator==(const loaded &o) const { return ok == o.ok && w == o.w && h == o.h && px == o.px && message == o.message; }
};

loaded load_through_library(const std::string &path) {
    loaded l;
    rgba_image img{0, 0, nullptr};
    int format = 0;
    l.ok = load_image(path.c_str(), &img, &format) != 0;
    if (!l.ok) {
        l.message = imgwatermark_last_error();
        return l;
    }
    l.w = img.w;
    l.h = img.h;
    l.px.assign(img.pixels, img.pixels + static_cast<size_t>(img.w) * img.h * 4);
    std::free(img.pixels);
    return l;
}

// What load_image gave before the decoder existed: the guards, then stb.
loaded load_through_stb(const std::string &path, const bytes &file) {
    loaded l;
    if (picture_larger_than_data(file.data(), static_cast<int>(file.size()))) {
        l.message = "cannot decode image " + path + " (picture larger than its data)";
        return l;
    }
    const decoded d = stb_decode(file);
    l.ok = d.ok;
    l.w = d.w;
    l.h = d.h;
    l.px = d.px;
    if (!d.ok) l.message = "cannot decode image " + path + " (" + d.reason + ")";
    return l;
}

// The inflater, alone, on the IDAT data of a file whose chunks are whole.
bool collect(void *context, const unsigned char *data, size_t n);

// True when the file's zlib stream uses distance symbol 30 or 31, for which
// stb copies memory it never wrote: its result then varies from run to run.
bool stb_result_undefined(const bytes &file) {
    std::vector<byte_span> idat;
    for (size_t pos = 8; pos + 12 <= file.size();) {
        const uint32_t length = static_cast<uint32_t>(file[pos] << 24 | file[pos + 1] << 16 | file[pos + 2] << 8 | file[pos + 3]);
        if (length > file.size() - pos - 12) break;
        if (std::memcmp(&file[pos + 4], "IDAT", 4) == 0) idat.push_back({&file[pos + 8], length});
        pos += 12 + static_cast<size_t>(length);
    }
    bytes out;
    inflate_pieces pieces{idat.data(), idat.size()};
    return inflate_zlib(inflate_array_source, &pieces, 1u << 24, collect, &out).undefined_distance;
}

// Checks one damaged file; `checked` counts the files whose stb result is
// defined and repeatable.
void expect_stb_result(const scratch_dir &dir, const bytes &file, const std::string &what, int *checked) {
    const std::string path = (dir.path / "damaged.png").string();
    write_bytes(path, file);
    if (stb_result_undefined(file)) return;
    const loaded expected = load_through_stb(path, file);
    if (!(load_through_stb(path, file) == expected)) return;
    ++*checked;
    const loaded got = load_through_library(path);
    EXPECT_TRUE(got == expected) << what << ": got " << (got.ok ? "pixels" : got.message) << ", stb gives "
                                 << (expected.ok ? "pixels" : expected.message);
    for (simd_path p : available_paths()) {
        const decoded ours = our_decode(file, p);
        if (ours.ok) {
            const decoded reference = stb_decode(file);
            EXPECT_TRUE(reference.ok && ours.px == reference.px) << what << " on " << simd_path_name(p);
        }
    }
}

bytes damaged_source() {
    return make_png({"source", {23, 19, 8, 6, false}, content::smooth, key::none, -2, 0, 40, 0});
}

TEST(png_fallback, truncated_files_give_stbs_result) {
    scratch_dir dir;
    const bytes png = damaged_source();
    int checked = 0;
    for (size_t cut = 1; cut < png.size(); ++cut)
        expect_stb_result(dir, bytes(png.begin(), png.begin() + static_cast<long>(cut)), "cut at " + std::to_string(cut),
                          &checked);
    EXPECT_GT(checked, static_cast<int>(png.size()) / 2);
}

TEST(png_fallback, flipped_bytes_give_stbs_result) {
    scratch_dir dir;
    const bytes png = damaged_source();
    int checked = 0;
    for (size_t at = 8; at < png.size(); ++at) {
        for (unsigned char mask : {0x01, 0x10, 0x80, 0xFF}) {
            bytes bad = png;
            bad[at] ^= mask;
            expect_stb_result(dir, bad, "byte " + std::to_string(at) + " ^ " + std::to_string(mask), &checked);
        }
    }
    EXPECT_GT(checked, static_cast<int>(png.size()));
}

// Irregular files the decoder must leave to stb (stb decodes some of them,
// refuses others, and reads undefined memory for indices past the palette).
TEST(png_fallback, irregular_files_are_left_to_stb) {
    // Signature and IHDR (33 bytes), gAMA (16), PLTE of 16 entries (60), then IDAT.
    const bytes good = make_png({"base", {16, 8, 8, 3, false}, content::noise, key::none, -1, 0, 0, 16});
    const size_t plte = 49, idat = 109;
    ASSERT_EQ(std::string(good.begin() + plte + 4, good.begin() + plte + 8), "PLTE");
    ASSERT_EQ(std::string(good.begin() + idat + 4, good.begin() + idat + 8), "IDAT");
    for (simd_path p : available_paths()) ASSERT_TRUE(our_decode(good, p).ok);

    auto with_chunk_at = [&](size_t at, const char *type, const bytes &body) {
        bytes f(good.begin(), good.begin() + static_cast<long>(at));
        put_chunk(f, type, body);
        f.insert(f.end(), good.begin() + static_cast<long>(at), good.end());
        return f;
    };
    struct variant {
        const char *name;
        bytes file;
        bool stb_repeatable;
    };
    std::vector<variant> variants;
    variants.push_back({"cgbi", with_chunk_at(33, "CgBI", {0x50, 0x00, 0x20, 0x06}), true});
    variants.push_back({"unknown_critical", with_chunk_at(33, "ABCD", {1, 2, 3}), true});
    variants.push_back({"second_plte", with_chunk_at(33, "PLTE", bytes(48, 7)), true});
    variants.push_back({"plte_after_idat", with_chunk_at(good.size() - 12, "PLTE", bytes(48, 9)), true});
    variants.push_back({"trns_after_idat", with_chunk_at(good.size() - 12, "tRNS", bytes(4, 9)), true});
    variants.push_back({"second_ihdr", with_chunk_at(33, "IHDR", bytes(good.begin() + 16, good.begin() + 29)), true});
    variants.push_back({"missing_iend", bytes(good.begin(), good.end() - 12), true});
    {
        // The zlib stream without its Adler-32 (stb decodes it).
        bytes f = good;
        const uint32_t len = static_cast<uint32_t>(f[idat] << 24 | f[idat + 1] << 16 | f[idat + 2] << 8 | f[idat + 3]);
        f.erase(f.begin() + static_cast<long>(idat + 8 + len - 4), f.begin() + static_cast<long>(idat + 8 + len));
        put_be32(f, idat, len - 4);
        variants.push_back({"missing_adler", f, true});
    }
    {
        // 15 palette entries for indices up to 15.
        bytes f = good;
        put_be32(f, plte, 45);
        f.erase(f.begin() + static_cast<long>(plte + 8 + 45), f.begin() + static_cast<long>(plte + 8 + 48));
        variants.push_back({"index_past_palette", f, false});
    }
    {
        // Inflated data longer than the rows need.
        png_case c{"long", {16, 8, 8, 3, false}, content::noise, key::none, -1, 0, 0, 16};
        bytes raw = scanlines(c.l, c.c, 16, 7);
        raw.insert(raw.end(), 20, 0);
        bytes f(good.begin(), good.begin() + static_cast<long>(idat));
        put_chunk(f, "IDAT", stored_stream(raw));
        put_chunk(f, "IEND", {});
        variants.push_back({"extra_data", f, true});
    }
    scratch_dir dir;
    for (const variant &v : variants) {
        for (simd_path p : available_paths()) EXPECT_FALSE(our_decode(v.file, p).ok) << v.name;
        if (!v.stb_repeatable) continue;
        int checked = 0;
        expect_stb_result(dir, v.file, v.name, &checked);
        EXPECT_EQ(checked, 1) << v.name;
    }
}

// ---------------------------------------------------------------------------
// PngSuite through load_image: exactly stb's result, valid or corrupt.

TEST(png_pngsuite, every_file_gives_stbs_result) {
    const fs::path suite = fs::path(IMGWATERMARK_CORPUS_DIR) / "pngsuite" / "png";
    std::error_code ec;
    if (!fs::is_directory(suite, ec)) GTEST_SKIP() << "no PngSuite at " << suite;
    std::vector<fs::path> files;
    for (const auto &e : fs::directory_iterator(suite, ec))
        if (e.path().extension() == ".png") files.push_back(e.path());
    std::sort(files.begin(), files.end());
    ASSERT_FALSE(files.empty());
    int taken = 0;
    for (const fs::path &f : files) {
        const bytes file = read_bytes(f.string());
        const loaded expected = load_through_stb(f.string(), file);
        EXPECT_TRUE(load_through_library(f.string()) == expected) << f.filename();
        for (simd_path p : available_paths()) {
            const decoded ours = our_decode(file, p);
            if (!ours.ok) continue;
            taken += p == simd_path::portable;
            const decoded reference = stb_decode(file);
            EXPECT_TRUE(reference.ok && ours.px == reference.px) << f.filename() << " " << simd_path_name(p);
        }
    }
    // Most of the suite is regular: the decoder must take it, not leave it all to stb.
    EXPECT_GT(taken, static_cast<int>(files.size()) / 2);
}

// ---------------------------------------------------------------------------
// The inflater alone

bool collect(void *context, const unsigned char *data, size_t n) {
    auto *out = static_cast<bytes *>(context);
    out->insert(out->end(), data, data + n);
    return true;
}

// Inflates a zlib stream given in pieces of `piece` bytes.
inflate_result inflate_bytes(const bytes &z, bytes *out, size_t piece = 0, size_t max_output = 1u << 30) {
    std::vector<byte_span> pieces;
    const size_t step = piece ? piece : std::max<size_t>(z.size(), 1);
    for (size_t at = 0; at < z.size(); at += step) pieces.push_back({z.data() + at, std::min(step, z.size() - at)});
    out->clear();
    inflate_pieces source{pieces.data(), pieces.size()};
    return inflate_zlib(inflate_array_source, &source, max_output, collect, out);
}

// A bit writer for hand-made deflate streams.
struct bit_writer {
    bytes out;
    uint64_t acc = 0;
    int n = 0;
    bit_writer() {
        out.push_back(0x78);  // the zlib header
        out.push_back(0x01);
    }
    void bits(uint32_t v, int count) {
        acc |= static_cast<uint64_t>(v) << n;
        n += count;
        while (n >= 8) {
            out.push_back(static_cast<unsigned char>(acc));
            acc >>= 8;
            n -= 8;
        }
    }
    // A Huffman code, most significant bit first.
    void code(uint32_t c, int len) {
        for (int i = len - 1; i >= 0; --i) bits((c >> i) & 1, 1);
    }
    void literal(unsigned v) {
        if (v < 144) code(0x30 + v, 8);
        else if (v < 256) code(0x190 + v - 144, 9);
        else if (v < 280) code(v - 256, 7);
        else code(0xC0 + v - 280, 8);
    }
    void match(unsigned length, unsigned distance) {
        static const unsigned lbase[29] = {3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27, 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
        static const unsigned lextra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
        static const unsigned dbase[30] = {1, 2, 3, 4, 5, 7, 9, 13, 17, 25, 33, 49, 65, 97, 129, 193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
        static const unsigned dextra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
        int l = 28;
        while (lbase[l] > length) --l;
        literal(257 + l);
        bits(length - lbase[l], static_cast<int>(lextra[l]));
        int d = 29;
        while (dbase[d] > distance) --d;
        code(static_cast<uint32_t>(d), 5);
        bits(distance - dbase[d], static_cast<int>(dextra[d]));
    }
    // A stored block: the header bits, then from the next byte boundary
    // LEN, NLEN and the bytes.
    void stored(const bytes &data, bool last) {
        bits(last ? 1 : 0, 1);
        bits(0, 2);
        if (n) bits(0, 8 - n);
        const unsigned len = static_cast<unsigned>(data.size());
        bits(len & 0xFFFF, 16);
        bits(~len & 0xFFFF, 16);
        for (unsigned char b : data) bits(b, 8);
    }
    bytes finish(const bytes &expected_output) {
        if (n) bits(0, 8 - n);
        const uint32_t adler = adler32(expected_output.data(), expected_output.size());
        out.resize(out.size() + 4);
        put_be32(out, out.size() - 4, adler);
        return out;
    }
};

TEST(inflate, stored_fixed_and_stb_blocks) {
    uint32_t seed = 5;
    bytes data(200000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i % 251 < 120 ? next_random(&seed) : i / 300);
    for (const bytes &z : {stored_stream(data), stb_stream(data)}) {
        for (size_t piece : {size_t(0), size_t(1), size_t(13), size_t(4096)}) {
            bytes out;
            const inflate_result r = inflate_bytes(z, &out, piece);
            EXPECT_TRUE(r.ok) << piece;
            EXPECT_EQ(r.stream_end + 4, z.size());
            EXPECT_TRUE(out == data) << piece;
        }
    }
}

#if defined(IMGWATERMARK_TEST_ZLIB)
TEST(inflate, zlib_levels_and_strategies) {
    uint32_t seed = 9;
    bytes data(150000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<unsigned char>((i / 1000) % 3 == 0 ? next_random(&seed) & 15 : (i * i) >> 9);
    for (int strategy : {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED}) {
        for (int level = 0; level <= 9; ++level) {
            const bytes z = zlib_stream(data, level, strategy);
            bytes out;
            EXPECT_TRUE(inflate_bytes(z, &out).ok) << level << "/" << strategy;
            EXPECT_TRUE(out == data) << level << "/" << strategy;
        }
    }
}
#endif

// Matches at every distance from 1 to 32768, long and short, overlapping
// their own output.
TEST(inflate, matches_at_every_distance) {
    uint32_t seed = 3;
    bit_writer w;
    w.bits(1, 1);  // final
    w.bits(1, 2);  // fixed codes
    bytes expected;
    for (int i = 0; i < 32768; ++i) {
        const unsigned v = next_random(&seed) & 255;
        w.literal(v);
        expected.push_back(static_cast<unsigned char>(v));
    }
    for (unsigned distance = 1; distance <= 32768; distance = distance < 40 ? distance + 1 : distance * 3 / 2 + 1) {
        for (unsigned length : {3u, 7u, 258u, 100u}) {
            w.match(length, distance);
            for (unsigned k = 0; k < length; ++k) expected.push_back(expected[expected.size() - distance]);
        }
    }
    w.match(258, 32768);
    for (unsigned k = 0; k < 258; ++k) expected.push_back(expected[expected.size() - 32768]);
    w.literal(256);
    const bytes z = w.finish(expected);
    for (size_t piece : {size_t(0), size_t(3)}) {
        bytes out;
        EXPECT_TRUE(inflate_bytes(z, &out, piece).ok);
        EXPECT_TRUE(out == expected);
    }
}

// Stored blocks of 0, 1 and 2 bytes between Huffman blocks: what follows a
// short stored block starts in bytes the reader has already fetched.
TEST(inflate, short_stored_blocks_between_huffman_blocks) {
    bit_writer w;
    auto fixed_block = [&](const char *text) {
        w.bits(0, 1);
        w.bits(1, 2);
        for (const char *c = text; *c; ++c) w.literal(static_cast<unsigned char>(*c));
        w.literal(256);
    };
    fixed_block("ab");
    w.stored({}, false);
    fixed_block("cd");
    w.stored({'x'}, false);
    fixed_block("e");
    w.stored({'y', 'z'}, false);
    w.stored({}, false);
    fixed_block("fgh");
    w.stored({'!'}, true);
    const bytes expected = {'a', 'b', 'c', 'd', 'x', 'e', 'y', 'z', 'f', 'g', 'h', '!'};
    const bytes z = w.finish(expected);
    for (size_t piece : {size_t(0), size_t(1), size_t(2), size_t(5)}) {
        bytes out;
        EXPECT_TRUE(inflate_bytes(z, &out, piece).ok) << piece;
        EXPECT_TRUE(out == expected) << piece;
    }
}

TEST(inflate, refuses_bad_streams) {
    struct bad {
        const char *name;
        bytes z;
    };
    std::vector<bad> cases;
    const bytes one = {'a'};
    {
        bit_writer w;
        w.bits(1, 1);
        w.bits(3, 2);  // reserved block type
        cases.push_back({"reserved_type", w.finish(one)});
    }
    {
        bit_writer w;
        w.bits(1, 1);
        w.bits(1, 2);
        w.literal('a');
        w.match(3, 2);  // farther back than the output
        w.literal(256);
        cases.push_back({"too_far_back", w.finish(one)});
    }
    {
        bit_writer w;
        w.bits(1, 1);
        w.bits(1, 2);
        w.literal('a');
        w.literal(286);  // no such length
        w.code(0, 5);
        w.literal(256);
        cases.push_back({"length_286", w.finish(one)});
    }
    {
        bit_writer w;
        w.bits(1, 1);
        w.bits(1, 2);
        w.literal('a');
        w.literal(257);
        w.code(30, 5);  // no such distance
        w.literal(256);
        cases.push_back({"distance_30", w.finish(one)});
    }
    {
        bytes z = stored_stream(one);
        z[4] ^= 1;  // NLEN no longer LEN's complement
        cases.push_back({"stored_nlen", z});
    }
    {
        bit_writer w;  // dynamic block whose code-length code is over-subscribed
        w.bits(1, 1);
        w.bits(2, 2);
        w.bits(0, 5);
        w.bits(0, 5);
        w.bits(15, 4);  // 19 code-length lengths
        for (int i = 0; i < 19; ++i) w.bits(1, 3);
        cases.push_back({"oversubscribed", w.finish(one)});
    }
    {
        bit_writer w;  // dynamic block starting with a repeat of nothing
        w.bits(1, 1);
        w.bits(2, 2);
        w.bits(0, 5);
        w.bits(0, 5);
        w.bits(0, 4);  // four lengths: symbols 16, 17, 18, 0 get 2 bits each
        for (int i = 0; i < 4; ++i) w.bits(2, 3);
        w.code(0, 2);  // symbol 16 first
        w.bits(0, 2);
        cases.push_back({"repeat_first", w.finish(one)});
    }
    {
        bit_writer w;  // incomplete literal code, then a pattern it does not use
        w.bits(1, 1);
        w.bits(2, 2);
        w.bits(0, 5);  // 257 literal/length codes
        w.bits(0, 5);  // 1 distance code
        w.bits(14, 4);  // 18 code-length lengths: order 16,17,18,0,8,7,9,6,10,5,11,4,12,3,13,2,14,1
        const int lengths[18] = {0, 0, 2, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
        for (int l : lengths) w.bits(static_cast<uint32_t>(l), 3);
        // Code-length code: 0 -> 00, 1 -> 01, 18 -> 10. Literal 'a' (97) and 256 get length 1.
        w.code(2, 2); w.bits(97 - 11, 7);       // 97 zeros
        w.code(1, 2);                           // 'a': 1
        w.code(2, 2); w.bits(138 - 11, 7);      // 138 zeros
        w.code(2, 2); w.bits(20 - 11, 7);       // 20 zeros (up to 255)
        w.code(1, 2);                           // 256: 1
        w.code(0, 2);                           // the distance code: 0
        w.code(0, 1);                           // 'a'
        w.code(1, 1);                           // end
        const bytes good_stream = w.finish(one);
        bytes out;
        EXPECT_TRUE(inflate_bytes(good_stream, &out).ok);
        EXPECT_TRUE(out == one);
    }
    {
        const bytes z = stb_stream(bytes(5000, 'x'));
        cases.push_back({"truncated", bytes(z.begin(), z.end() - 6)});
        bytes header = z;
        header[1] ^= 1;  // header check fails
        cases.push_back({"header_check", header});
        bytes dictionary = z;
        dictionary[1] = 0xBB;  // 0x78 0xBB: preset dictionary
        cases.push_back({"preset_dictionary", dictionary});
    }
    for (const bad &c : cases) {
        bytes out;
        const inflate_result r = inflate_bytes(c.z, &out);
        EXPECT_FALSE(r.ok) << c.name;
        EXPECT_EQ(r.undefined_distance, std::string(c.name) == "distance_30") << c.name;
    }
    // Output beyond the limit is refused.
    const bytes big = stored_stream(bytes(1000, 'y'));
    bytes out;
    EXPECT_TRUE(inflate_bytes(big, &out, 0, 1000).ok);
    EXPECT_FALSE(inflate_bytes(big, &out, 0, 999).ok);
}

}  // namespace
