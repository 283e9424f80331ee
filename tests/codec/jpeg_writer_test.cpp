// The JPEG writer against stb_image_write itself: every size and content,
// through every kernel this machine runs, must give stb's bytes exactly;
// colour profiles add APP2 segments and change nothing else.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "encoder_fixtures.h"
#include "image_io.h"
#include "image_metadata.h"
#include "jpeg_writer.h"
#include "metadata_fixtures.h"
#include "stb_image.h"
#include "stb_image_write.h"

namespace {

const simd_path kPaths[] = {simd_path::portable, simd_path::sse2, simd_path::avx2};

#define SKIP_UNLESS_AVAILABLE(path) \
    if (!simd_path_available(path)) GTEST_SKIP() << "the " << simd_path_name(path) << " path is not available here"

bytes stb_jpeg(const picture &p) {
    collected c;
    EXPECT_EQ(stbi_write_jpg_to_func(collected::append, &c, p.w, p.h, 4, p.px.data(), 92), 1);
    return c.data;
}

// The writer's output, and the sizes of the pieces it was handed over in.
struct written {
    bytes data;
    std::vector<int> chunks;
    static void append(void *context, void *data, int size) {
        auto *w = static_cast<written *>(context);
        const auto *b = static_cast<const unsigned char *>(data);
        w->data.insert(w->data.end(), b, b + size);
        w->chunks.push_back(size);
    }
};

written our_jpeg(const picture &p, simd_path path, const bytes &icc = bytes()) {
    written w;
    EXPECT_EQ(write_jpeg(written::append, &w, p.w, p.h, p.px.data(), icc.empty() ? nullptr : icc.data(), icc.size(),
                         path),
              1);
    return w;
}

// Index of the first differing byte, for failure messages.
size_t first_difference(const bytes &a, const bytes &b) {
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
    return i;
}

std::string path_name(const ::testing::TestParamInfo<simd_path> &info) { return simd_path_name(info.param); }

class jpeg_identity : public ::testing::TestWithParam<simd_path> {};

TEST_P(jpeg_identity, small_sizes_every_content) {
    const simd_path path = GetParam();
    SKIP_UNLESS_AVAILABLE(path);
    for (const content c : all_contents())
        for (const test_size s : small_sizes()) {
            const picture p = make_content(c, s.w, s.h, static_cast<uint32_t>(s.w * 131 + s.h));
            const bytes expected = stb_jpeg(p);
            const bytes actual = our_jpeg(p, path).data;
            ASSERT_EQ(actual.size(), expected.size()) << content_name(c) << " " << s.w << "x" << s.h;
            ASSERT_TRUE(actual == expected) << content_name(c) << " " << s.w << "x" << s.h << ": first difference at byte "
                                            << first_difference(actual, expected);
        }
}

// Rows wider than 8,192 pixels (1,024 blocks and more, several kernel runs
// per row of blocks), with and without a partial last block.
TEST_P(jpeg_identity, wide_rows) {
    const simd_path path = GetParam();
    SKIP_UNLESS_AVAILABLE(path);
    const test_size sizes[] = {{8200, 1}, {8193, 9}, {9000, 16}};
    for (const content c : {content::noise, content::photo, content::gradient})
        for (const test_size s : sizes) {
            const picture p = make_content(c, s.w, s.h);
            const bytes expected = stb_jpeg(p);
            const bytes actual = our_jpeg(p, path).data;
            ASSERT_TRUE(actual == expected) << content_name(c) << " " << s.w << "x" << s.h << ": first difference at byte "
                                            << first_difference(actual, expected) << " of " << expected.size();
        }
}

// Colours chosen to reach the extremes of every channel, including pure
// black and white blocks beside each other (largest DC steps).
TEST_P(jpeg_identity, extreme_colours) {
    const simd_path path = GetParam();
    SKIP_UNLESS_AVAILABLE(path);
    picture p(64, 24);
    const uint32_t colours[] = {0x000000FF, 0xFFFFFFFF, 0xFF0000FF, 0x00FF00FF, 0x0000FFFF, 0xFFFF00FF, 0x00FFFF00};
    for (int y = 0; y < p.h; ++y)
        for (int x = 0; x < p.w; ++x) {
            const int block = (x / 8 + y / 8 * 3) % 7;
            // Half the blocks are a checkerboard of the colour and its inverse.
            const uint32_t c = colours[block];
            p.set(x, y, (block % 2 && (x + y) % 2) ? (~c | 0xFF) : c);
        }
    EXPECT_TRUE(our_jpeg(p, path).data == stb_jpeg(p));
}

INSTANTIATE_TEST_SUITE_P(paths, jpeg_identity, ::testing::ValuesIn(kPaths), path_name);

// One 12-megapixel photo-like picture, made and encoded by stb once and
// written through every available path in turn (in one test, so that the
// picture and the reference are made once).
TEST(jpeg_large, photo_4000x3000_every_path_in_large_chunks) {
    const picture photo = make_content(content::photo, 4000, 3000);
    const bytes reference = stb_jpeg(photo);
    for (const simd_path path : kPaths) {
        if (!simd_path_available(path)) {
            std::printf("the %s path is not available here: not checked\n", simd_path_name(path));
            continue;
        }
        const written w = our_jpeg(photo, path);
        ASSERT_EQ(w.data.size(), reference.size()) << simd_path_name(path);
        ASSERT_TRUE(w.data == reference) << simd_path_name(path) << ": first difference at byte "
                                         << first_difference(w.data, reference);
        // Every piece but the last is at least 64 KiB.
        ASSERT_GT(w.chunks.size(), 1u);
        for (size_t i = 0; i + 1 < w.chunks.size(); ++i)
            EXPECT_GE(w.chunks[i], 65536) << simd_path_name(path) << " piece " << i;
    }
}

// ---------------------------------------------------------------------------
// Colour profiles

picture profile_picture() { return make_content(content::photo, 37, 29); }

TEST(jpeg_profile, small_profile_is_one_segment_after_jfif) {
    const picture p = profile_picture();
    const bytes plain = stb_jpeg(p);
    const bytes profile = rgb_profile(3000);
    const bytes out = our_jpeg(p, best_simd_path(), profile).data;
    EXPECT_TRUE(out == with_jpeg_segments(plain, icc_segments(profile)));
    // By hand: the segment starts right after the 20-byte SOI + APP0.
    ASSERT_GT(out.size(), 40u);
    const unsigned char head[] = {0xFF, 0xE2, 0x0B, 0xC8, 'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0, 1, 1};
    EXPECT_TRUE(std::equal(head, head + sizeof head, out.begin() + 20));
    EXPECT_EQ(read_image_metadata(out.data(), out.size(), true).icc_profile, profile);
}

TEST(jpeg_profile, large_profile_is_split_into_numbered_segments) {
    const picture p = profile_picture();
    const bytes plain = stb_jpeg(p);
    const bytes profile = rgb_profile(2 * 65519 + 1000);
    const bytes out = our_jpeg(p, best_simd_path(), profile).data;
    ASSERT_TRUE(out == with_jpeg_segments(plain, icc_segments(profile)));
    // Walk the segments: three, numbered 1..3 of 3, full ones first.
    size_t at = 20;
    const size_t parts[] = {65519, 65519, 1000};
    for (unsigned k = 0; k < 3; ++k) {
        ASSERT_EQ(out[at], 0xFF);
        ASSERT_EQ(out[at + 1], 0xE2);
        const size_t length = static_cast<size_t>(out[at + 2]) << 8 | out[at + 3];
        EXPECT_EQ(length, 16 + parts[k]);
        EXPECT_EQ(out[at + 16], k + 1);
        EXPECT_EQ(out[at + 17], 3);
        at += 2 + length;
    }
    EXPECT_TRUE(std::equal(plain.begin() + 20, plain.end(), out.begin() + static_cast<long>(at)));
    EXPECT_EQ(read_image_metadata(out.data(), out.size(), true).icc_profile, profile);
    // A decoder skips the segments: the same pixels as the plain file.
    int w1, h1, n1, w2, h2, n2;
    unsigned char *a = stbi_load_from_memory(out.data(), static_cast<int>(out.size()), &w1, &h1, &n1, 4);
    unsigned char *b = stbi_load_from_memory(plain.data(), static_cast<int>(plain.size()), &w2, &h2, &n2, 4);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(w1, p.w);
    EXPECT_EQ(h1, p.h);
    EXPECT_TRUE(std::equal(a, a + p.w * p.h * 4, b));
    stbi_image_free(a);
    stbi_image_free(b);
}

TEST(jpeg_profile, at_most_255_segments) {
    const picture p = make_content(content::gradient, 9, 9);
    const bytes plain = stb_jpeg(p);
    // The largest profile that fits: exactly 255 full segments.
    bytes largest(255 * 65519);
    for (size_t i = 0; i < largest.size(); ++i) largest[i] = static_cast<unsigned char>(i * 7 + (i >> 16));
    const bytes fits = our_jpeg(p, best_simd_path(), largest).data;
    ASSERT_EQ(fits.size(), plain.size() + 255 * (2 + 2 + 14) + largest.size());
    EXPECT_TRUE(fits == with_jpeg_segments(plain, icc_segments(largest)));
    const size_t last = 20 + 254 * (2 + 2 + 14 + 65519);  // where the 255th segment starts
    EXPECT_EQ(fits[last + 1], 0xE2);
    EXPECT_EQ(fits[last + 16], 255);
    EXPECT_EQ(fits[last + 17], 255);
    // One byte more would need a 256th segment: the profile is left out.
    largest.push_back(1);
    EXPECT_TRUE(our_jpeg(p, best_simd_path(), largest).data == plain);
}

TEST(jpeg_profile, empty_or_missing_profile_writes_nothing) {
    const picture p = profile_picture();
    const bytes plain = stb_jpeg(p);
    const unsigned char one = 0;
    written w;
    ASSERT_EQ(write_jpeg(written::append, &w, p.w, p.h, p.px.data(), &one, 0), 1);
    EXPECT_TRUE(w.data == plain);
    written w2;
    ASSERT_EQ(write_jpeg(written::append, &w2, p.w, p.h, p.px.data(), nullptr, 0), 1);
    EXPECT_TRUE(w2.data == plain);
}

// Through the library's save and load: the profile comes back, the pixels
// are stb's.
TEST(jpeg_profile, save_image_embeds_and_load_image_reads_back) {
    scratch_dir d;
    const picture p = profile_picture();
    const bytes profile = rgb_profile(70000);
    const std::string path = d.file("out.jpg");
    ASSERT_NE(save_image(path.c_str(), p.w, p.h, p.px.data(), FORMAT_JPEG, &profile), 0);
    EXPECT_TRUE(read_bytes(path) == with_jpeg_segments(stb_jpeg(p), icc_segments(profile)));
    rgba_image img{0, 0, nullptr};
    int format = 0;
    std::vector<unsigned char> back;
    ASSERT_EQ(load_image(path.c_str(), &img, &format, &back), 1);
    image_owner owner(img);
    EXPECT_EQ(format, FORMAT_JPEG);
    EXPECT_EQ(back, profile);
}

// ---------------------------------------------------------------------------
// Decoding and arguments

TEST(jpeg_writer, decodes_as_the_reference_decodes) {
    for (const content c : all_contents()) {
        const picture p = make_content(c, 45, 23);
        const bytes ours = our_jpeg(p, best_simd_path()).data, ref = stb_jpeg(p);
        int w1, h1, n1, w2, h2, n2;
        unsigned char *a = stbi_load_from_memory(ours.data(), static_cast<int>(ours.size()), &w1, &h1, &n1, 4);
        unsigned char *b = stbi_load_from_memory(ref.data(), static_cast<int>(ref.size()), &w2, &h2, &n2, 4);
        ASSERT_TRUE(a && b) << content_name(c);
        EXPECT_EQ(w1, 45);
        EXPECT_EQ(h1, 23);
        EXPECT_EQ(n1, 3);
        EXPECT_TRUE(std::equal(a, a + 45 * 23 * 4, b)) << content_name(c);
        // Quality 92 stays close to the input on smooth content.
        if (c == content::gradient || c == content::solid) {
            int worst = 0;
            for (int i = 0; i < 45 * 23 * 4; i += 4)
                for (int k = 0; k < 3; ++k) worst = std::max(worst, std::abs(a[i + k] - p.px[i + k]));
            EXPECT_LE(worst, 12) << content_name(c);
        }
        stbi_image_free(a);
        stbi_image_free(b);
    }
}

TEST(jpeg_writer, refuses_bad_arguments_without_writing) {
    const picture p(4, 4, 0x80808080);
    struct bad {
        const char *name;
        int w, h;
        bool pixels, callback;
    };
    const bad cases[] = {
        {"zero_width", 0, 4, true, true},   {"zero_height", 4, 0, true, true}, {"negative_width", -4, 4, true, true},
        {"negative_height", 4, -1, true, true}, {"no_pixels", 4, 4, false, true}, {"no_callback", 4, 4, true, false},
    };
    for (const bad &b : cases)
        for (const simd_path path : kPaths) {
            written w;
            EXPECT_EQ(write_jpeg(b.callback ? written::append : nullptr, &w, b.w, b.h, b.pixels ? p.px.data() : nullptr,
                                 nullptr, 0, path),
                      0)
                << b.name;
            EXPECT_TRUE(w.data.empty()) << b.name;
        }
}

// Alpha never reaches the file: the same colours with any alpha give the
// same bytes.
TEST(jpeg_writer, ignores_alpha) {
    picture a = make_content(content::photo, 19, 13), b = a;
    for (size_t i = 3; i < b.px.size(); i += 4) b.px[i] = static_cast<unsigned char>(i * 13);
    for (const simd_path path : kPaths) {
        if (!simd_path_available(path)) continue;
        EXPECT_TRUE(our_jpeg(a, path).data == our_jpeg(b, path).data) << simd_path_name(path);
    }
}

}  // namespace
