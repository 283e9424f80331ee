// The PNG writer against stb_image_write itself: every picture, on every
// kernel path this CPU offers, must give stb's bytes exactly; the compressor
// alone must give stbi_zlib_compress's bytes on every path; a colour profile
// adds one valid iCCP chunk and changes nothing else.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "encoder_fixtures.h"
#include "png_deflate.h"
#include "png_writer.h"
#include "stb_image.h"
#include "stb_image_write.h"

// Defined (with C linkage) in the library's stb translation unit; stb's
// header declares it only in its implementation part.
extern "C" unsigned char *stbi_zlib_compress(unsigned char *data, int data_len, int *out_len, int quality);

namespace {

const simd_path kPaths[] = {simd_path::portable, simd_path::sse2, simd_path::avx2};


bytes stb_png(const picture &p) {
    collected out;
    EXPECT_EQ(stbi_write_png_to_func(collected::append, &out, p.w, p.h, 4, p.px.data(), p.w * 4), 1);
    return out.data;
}

bytes our_png(const picture &p, simd_path path, const bytes &icc = {}) {
    collected out;
    EXPECT_EQ(write_png(collected::append, &out, p.w, p.h, p.px.data(), icc.data(), icc.size(), path), 1);
    return out.data;
}

uint32_t be32(const bytes &b, size_t at) {
    return static_cast<uint32_t>(b[at]) << 24 | static_cast<uint32_t>(b[at + 1]) << 16 |
           static_cast<uint32_t>(b[at + 2]) << 8 | b[at + 3];
}

struct chunk {
    std::string type;
    size_t at;      // offset of its length field
    size_t length;  // of its data
};

// The chunks after the signature; empty when the layout is broken.
std::vector<chunk> chunks_of(const bytes &png) {
    std::vector<chunk> out;
    size_t at = 8;
    while (at + 12 <= png.size()) {
        const size_t length = be32(png, at);
        if (length > png.size() - at - 12) return {};
        out.push_back({std::string(png.begin() + at + 4, png.begin() + at + 8), at, length});
        at += 12 + length;
    }
    if (at != png.size()) return {};
    return out;
}

// ---------------------------------------------------------------------------
// Pictures beyond the shared contents

// Rows drawn from two noise rows, A B A B ...: long matches one and two rows
// back, right up to the window's edge for rows of about 16 KB.
picture alternating_rows(int w, int h) {
    picture p(w, h);
    uint32_t state = 99;
    bytes rows[2] = {bytes(static_cast<size_t>(w) * 4), bytes(static_cast<size_t>(w) * 4)};
    for (auto &r : rows)
        for (auto &v : r) v = static_cast<unsigned char>(next_random(&state) % 7);
    for (int y = 0; y < h; ++y) std::memcpy(p.at(0, y), rows[y % 2].data(), rows[y % 2].size());
    return p;
}

// Flat areas with a few specks: runs far longer than 258 bytes, broken at
// irregular places.
picture long_runs(int w, int h) {
    picture p(w, h, 0x405060FFu);
    uint32_t state = 7;
    for (int k = 0; k < w * h / 97; ++k) {
        const uint32_t r = next_random(&state);
        p.set(static_cast<int>(r % static_cast<uint32_t>(w)), static_cast<int>((r >> 16) % static_cast<uint32_t>(h)),
              0xFF000000u | (r & 0x00FFFF00u) | 0xFFu);
    }
    return p;
}

// A 16-pixel noise tile repeated across and down, shifted by a pixel per
// row: every hash bucket in use overflows its sixteen entries many times.
picture tiled(int w, int h) {
    picture p(w, h);
    uint32_t state = 3;
    unsigned char tile[64];
    for (auto &v : tile) v = static_cast<unsigned char>(next_random(&state) & 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) std::memcpy(p.at(x, y), tile + ((x + y) % 16) * 4, 4);
    return p;
}

struct picture_case {
    std::string name;
    picture (*make)(int w, int h);  // null: the shared content below
    content c;
    int w, h;
};

void PrintTo(const picture_case &pc, std::ostream *os) { *os << pc.name; }

picture make_picture(const picture_case &pc) { return pc.make ? pc.make(pc.w, pc.h) : make_content(pc.c, pc.w, pc.h, 5); }

std::vector<picture_case> picture_cases() {
    std::vector<picture_case> cases;
    for (const test_size &s : small_sizes())
        for (content c : all_contents())
            cases.push_back({std::string(content_name(c)) + "_" + std::to_string(s.w) + "x" + std::to_string(s.h),
                             nullptr, c, s.w, s.h});
    // A row wider than 8,192 pixels, and pictures much longer than the
    // 32 KB window.
    for (content c : {content::photo, content::gradient, content::noise})
        cases.push_back({std::string("wide_") + content_name(c), nullptr, c, 8200, 3});
    cases.push_back({"noise_300x200", nullptr, content::noise, 300, 200});
    cases.push_back({"photo_640x480", nullptr, content::photo, 640, 480});
    cases.push_back({"alternating_rows_4095", alternating_rows, content::noise, 4095, 6});
    cases.push_back({"alternating_rows_4096", alternating_rows, content::noise, 4096, 6});
    cases.push_back({"alternating_rows_2731", alternating_rows, content::noise, 2731, 9});
    cases.push_back({"long_runs", long_runs, content::solid, 700, 300});
    cases.push_back({"tiled", tiled, content::noise, 333, 111});
    return cases;
}

class png_identity : public ::testing::TestWithParam<std::tuple<picture_case, simd_path>> {};

TEST_P(png_identity, writes_stbs_bytes) {
    const picture_case &pc = std::get<0>(GetParam());
    const simd_path path = std::get<1>(GetParam());
    if (!simd_path_available(path)) GTEST_SKIP() << simd_path_name(path) << " is not available on this CPU";
    const picture p = make_picture(pc);
    const bytes expected = stb_png(p);
    const bytes got = our_png(p, path);
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << "first difference at byte "
                                 << (std::mismatch(got.begin(), got.end(), expected.begin()).first - got.begin());
}

std::string identity_name(const ::testing::TestParamInfo<png_identity::ParamType> &info) {
    return std::get<0>(info.param).name + "_" + simd_path_name(std::get<1>(info.param));
}

INSTANTIATE_TEST_SUITE_P(table, png_identity,
                         ::testing::Combine(::testing::ValuesIn(picture_cases()), ::testing::ValuesIn(kPaths)),
                         identity_name);

// The cases above reach the parts of the format they are meant for.
TEST(png_writer, noise_is_stored_and_photos_are_compressed) {
    struct expectation {
        picture p;
        int btype;  // of the first deflate block
    };
    const expectation cases[] = {{make_content(content::noise, 300, 200, 5), 0},
                                 {make_content(content::photo, 640, 480, 5), 1},
                                 {long_runs(700, 300), 1}};
    for (const expectation &e : cases) {
        const bytes png = our_png(e.p, best_simd_path());
        const std::vector<chunk> cs = chunks_of(png);
        ASSERT_EQ(cs.size(), 3u);
        ASSERT_EQ(cs[1].type, "IDAT");
        const size_t zlib = cs[1].at + 8;
        EXPECT_EQ(png[zlib], 0x78);
        EXPECT_EQ(png[zlib + 1], 0x5e);
        EXPECT_EQ((png[zlib + 2] >> 1) & 3, e.btype);
        const size_t raw = (static_cast<size_t>(e.p.w) * 4 + 1) * static_cast<size_t>(e.p.h);
        if (e.btype == 0)
            EXPECT_EQ(cs[1].length, 2 + raw + (raw + 32766) / 32767 * 5 + 4);
        else
            EXPECT_LT(cs[1].length, raw / 2);
    }
}

// One big photo on the fastest path, so that the sizes a camera makes go
// through the same code (the table above covers every path).
TEST(png_writer, twelve_megapixel_photo) {
    const picture p = make_content(content::photo, 4000, 3000, 1);
    const bytes expected = stb_png(p);
    const bytes got = our_png(p, best_simd_path());
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
}

TEST(png_writer, decodes_to_the_pixels) {
    const picture p = make_content(content::photo, 123, 45, 2);
    const bytes png = our_png(p, best_simd_path());
    int w = 0, h = 0, n = 0;
    unsigned char *px = stbi_load_from_memory(png.data(), static_cast<int>(png.size()), &w, &h, &n, 4);
    ASSERT_NE(px, nullptr);
    EXPECT_EQ(w, 123);
    EXPECT_EQ(h, 45);
    EXPECT_EQ(0, std::memcmp(px, p.px.data(), p.px.size()));
    stbi_image_free(px);
}

TEST(png_writer, refuses_bad_arguments_without_writing) {
    const picture p = make_content(content::gradient, 4, 4);
    const unsigned char icc[1] = {0};
    struct bad {
        const char *name;
        byte_write_fn *write;
        int w, h;
        const unsigned char *rgba, *icc;
        size_t icc_size;
    };
    const bad cases[] = {
        {"no_writer", nullptr, 4, 4, p.px.data(), nullptr, 0},
        {"no_pixels", collected::append, 4, 4, nullptr, nullptr, 0},
        {"zero_width", collected::append, 0, 4, p.px.data(), nullptr, 0},
        {"zero_height", collected::append, 4, 0, p.px.data(), nullptr, 0},
        {"negative_width", collected::append, -4, 4, p.px.data(), nullptr, 0},
        {"profile_size_without_bytes", collected::append, 4, 4, p.px.data(), nullptr, 10},
        // (w * 4 + 1) * h beyond an int, as stb counts it.
        {"too_big_for_int", collected::append, 65536, 8192, p.px.data(), icc, 1},
        {"row_beyond_int", collected::append, INT_MAX, 1, p.px.data(), nullptr, 0},
    };
    for (const bad &b : cases) {
        collected out;
        EXPECT_EQ(write_png(b.write, &out, b.w, b.h, b.rgba, b.icc, b.icc_size), 0) << b.name;
        EXPECT_TRUE(out.data.empty()) << b.name;
    }
}

// ---------------------------------------------------------------------------
// The compressor alone

struct byte_case {
    const char *name;
    bytes data;
};

bytes repeat_block(size_t block, size_t total, uint32_t seed) {
    bytes b(block), out;
    for (auto &v : b) v = static_cast<unsigned char>(next_random(&seed));
    while (out.size() < total) out.insert(out.end(), b.begin(), b.end());
    out.resize(total);
    return out;
}

std::vector<byte_case> byte_cases() {
    std::vector<byte_case> cases = {
        {"empty", {}},
        {"one", {42}},
        {"two", {200, 7}},
        {"three", {1, 2, 3}},
        {"four_equal", {9, 9, 9, 9}},
        {"all_equal_1000", bytes(1000, 0x55)},
        {"all_equal_100000", bytes(100000, 0)},
        {"run_258", bytes(259, 1)},
        {"run_259", bytes(260, 1)},
        {"run_260", bytes(261, 1)},
    };
    bytes period3;
    for (int k = 0; k < 5000; ++k) period3.push_back(static_cast<unsigned char>("abc"[k % 3]));
    cases.push_back({"period_3", period3});
    bytes period3_broken = period3;
    for (size_t k = 17; k < period3_broken.size(); k += 263) period3_broken[k] = 'x';
    cases.push_back({"period_3_broken", period3_broken});
    // The same noise block again at exactly the window's edge and just past it.
    for (size_t d : {32766u, 32767u, 32768u, 32769u})
        cases.push_back({d == 32766u   ? "distance_32766"
                         : d == 32767u ? "distance_32767"
                         : d == 32768u ? "distance_32768"
                                       : "distance_32769",
                         repeat_block(d, d * 2 + 300, static_cast<uint32_t>(d))});
    bytes random(70000);
    uint32_t state = 11;
    for (auto &v : random) v = static_cast<unsigned char>(next_random(&state));
    cases.push_back({"random_70000", random});
    bytes small_alphabet(200000);
    for (auto &v : small_alphabet) v = static_cast<unsigned char>(next_random(&state) % 4);
    cases.push_back({"small_alphabet_200000", small_alphabet});
    bytes tail_match = repeat_block(20, 1000, 5);
    cases.push_back({"match_running_to_the_end", tail_match});
    // Noise with one long repeat: stored blocks until the very end would win.
    bytes mostly_random(random.begin(), random.begin() + 40000);
    mostly_random.insert(mostly_random.end(), 30000, 0);
    cases.push_back({"mostly_random", mostly_random});
    return cases;
}

void PrintTo(const byte_case &c, std::ostream *os) { *os << c.name; }

class zlib_identity : public ::testing::TestWithParam<byte_case> {};

TEST_P(zlib_identity, gives_stbi_zlib_compress_bytes) {
    bytes data = GetParam().data;
    int n = 0;
    unsigned char *ref = stbi_zlib_compress(data.data(), static_cast<int>(data.size()), &n, 8);
    ASSERT_NE(ref, nullptr);
    const bytes expected(ref, ref + n);
    std::free(ref);

    for (simd_path path : kPaths) {
        if (!simd_path_available(path)) continue;
        SCOPED_TRACE(simd_path_name(path));
        byte_buffer_out out;
        const unsigned char prefix[3] = {1, 2, 3};  // appends after what is there
        ASSERT_TRUE(out.append(prefix, 3));
        ASSERT_TRUE(stb_zlib_compress(data.data(), data.size(), &out, path));
        ASSERT_EQ(out.size(), expected.size() + 3);
        EXPECT_EQ(0, std::memcmp(out.data(), prefix, 3));
        EXPECT_TRUE(bytes(out.data() + 3, out.data() + out.size()) == expected);
    }
}

INSTANTIATE_TEST_SUITE_P(table, zlib_identity, ::testing::ValuesIn(byte_cases()),
                         [](const ::testing::TestParamInfo<byte_case> &info) { return std::string(info.param.name); });

// A source that hands out at most `piece` bytes a read, and only the first
// `available` bytes of `data`.
class piecewise_source : public deflate_source {
public:
    piecewise_source(const bytes &data, size_t piece, size_t available)
        : data_(data), piece_(piece), available_(available) {}
    size_t read(unsigned char *dst, size_t max) override {
        size_t n = available_ - done_;
        n = n < max ? n : max;
        n = n < piece_ ? n : piece_;
        std::memcpy(dst, data_.data() + done_, n);
        done_ += n;
        return n;
    }
    void rewind() override {
        done_ = 0;
        ++rewinds;
    }
    int rewinds = 0;

private:
    const bytes &data_;
    size_t piece_, available_, done_ = 0;
};

// Reads of any size give the same stream; stored data is read a second time;
// a source that ends early is a failure.
TEST(zlib_source, any_read_sizes_give_the_same_stream) {
    uint32_t state = 17;
    bytes random(100000), narrow(150000);
    for (auto &v : random) v = static_cast<unsigned char>(next_random(&state));
    for (auto &v : narrow) v = static_cast<unsigned char>(next_random(&state) % 5);
    struct source_case {
        const bytes *data;
        bool stored;
    };
    for (const source_case &c : {source_case{&random, true}, source_case{&narrow, false}}) {
        byte_buffer_out whole;
        ASSERT_TRUE(stb_zlib_compress(c.data->data(), c.data->size(), &whole));
        for (size_t piece : {1u, 7u, 4096u, 1000000u}) {
            piecewise_source src(*c.data, piece, c.data->size());
            byte_buffer_out out;
            ASSERT_TRUE(stb_zlib_compress(&src, c.data->size(), &out)) << piece;
            ASSERT_EQ(out.size(), whole.size()) << piece;
            EXPECT_EQ(0, std::memcmp(out.data(), whole.data(), whole.size())) << piece;
            EXPECT_EQ(src.rewinds, c.stored ? 1 : 0) << piece;
        }
        for (size_t available : {size_t{0}, size_t{1000}, c.data->size() - 1}) {
            piecewise_source src(*c.data, 4096, available);
            byte_buffer_out out;
            EXPECT_FALSE(stb_zlib_compress(&src, c.data->size(), &out)) << available;
        }
    }
}

TEST(checksums, match_bit_by_bit_references) {
    bytes data(100003);
    uint32_t state = 1;
    for (auto &v : data) v = static_cast<unsigned char>(next_random(&state));
    for (size_t n : {0u, 1u, 7u, 8u, 9u, 5551u, 5552u, 5553u, 100003u}) {
        EXPECT_EQ(crc32_update(0, data.data(), n), crc32_of(data.data(), n)) << n;
        uint32_t s1 = 1, s2 = 0;
        for (size_t k = 0; k < n; ++k) {
            s1 = (s1 + data[k]) % 65521;
            s2 = (s2 + s1) % 65521;
        }
        EXPECT_EQ(adler32(data.data(), n), s2 << 16 | s1) << n;
    }
    // Continuing a CRC over a split gives the CRC of the whole.
    EXPECT_EQ(crc32_update(crc32_update(0, data.data(), 1001), data.data() + 1001, 5000),
              crc32_update(0, data.data(), 6001));
}

// ---------------------------------------------------------------------------
// Colour profiles

class png_profile : public ::testing::TestWithParam<size_t> {};

TEST_P(png_profile, goes_in_an_iccp_chunk_after_ihdr) {
    const picture p = make_content(content::photo, 37, 21, 4);
    bytes icc(GetParam());
    uint32_t state = 21;
    for (size_t k = 0; k < icc.size(); ++k)  // header-like text, then noise
        icc[k] = k < 128 ? static_cast<unsigned char>("profile-header"[k % 14]) : static_cast<unsigned char>(next_random(&state));

    for (simd_path path : kPaths) {
        if (!simd_path_available(path)) continue;
        SCOPED_TRACE(simd_path_name(path));
        const bytes plain = our_png(p, path);
        const bytes with = our_png(p, path, icc);
        const std::vector<chunk> cs = chunks_of(with);
        ASSERT_EQ(cs.size(), 4u);
        EXPECT_EQ(cs[0].type, "IHDR");
        ASSERT_EQ(cs[1].type, "iCCP");
        EXPECT_EQ(cs[2].type, "IDAT");
        EXPECT_EQ(cs[3].type, "IEND");

        const chunk &c = cs[1];
        const unsigned char *body = with.data() + c.at + 8;
        EXPECT_EQ(be32(with, c.at + 8 + c.length), crc32_of(with.data() + c.at + 4, c.length + 4)) << "bad CRC";
        const char name[] = "ICC profile";
        ASSERT_GT(c.length, sizeof name + 1);
        EXPECT_EQ(0, std::memcmp(body, name, sizeof name));  // the name and its zero
        EXPECT_EQ(body[sizeof name], 0) << "compression method";

        const char *z = reinterpret_cast<const char *>(body + sizeof name + 1);
        const int zlen = static_cast<int>(c.length - sizeof name - 1);
        bytes back(icc.size() + 16);
        const int got = stbi_zlib_decode_buffer(reinterpret_cast<char *>(back.data()), static_cast<int>(back.size()), z, zlen);
        ASSERT_EQ(got, static_cast<int>(icc.size()));
        back.resize(static_cast<size_t>(got));
        EXPECT_TRUE(back == icc) << "the profile does not inflate back";

        // The stream is what the compressor makes of the profile.
        int n = 0;
        unsigned char *ref = stbi_zlib_compress(icc.data(), static_cast<int>(icc.size()), &n, 8);
        ASSERT_NE(ref, nullptr);
        EXPECT_EQ(n, zlen);
        EXPECT_EQ(0, std::memcmp(ref, z, static_cast<size_t>(n < zlen ? n : zlen)));
        std::free(ref);

        // Without the chunk, the file is the one written without a profile.
        bytes rest(with.begin(), with.begin() + static_cast<long>(c.at));
        rest.insert(rest.end(), with.begin() + static_cast<long>(c.at + 12 + c.length), with.end());
        EXPECT_TRUE(rest == plain);
    }
}

INSTANTIATE_TEST_SUITE_P(sizes, png_profile, ::testing::Values(1u, 3u, 560u, 3144u, 70000u));

}  // namespace
