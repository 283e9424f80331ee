// The JPEG decoder against stb_image itself: on a table of files made by
// libjpeg-turbo's cjpeg (every sampling layout, progressive, restart
// intervals, optimized tables, grey, RGB, quality 20 and 100, awkward sizes)
// and by the library's own writer, through every kernel this machine runs,
// the pixels must be stb_image's exactly. Cut-short and corrupted files must
// be refused or give stb's pixels, and load_image must end with stb's pixels
// or stb's failure. The kernels are also checked one by one against stb's own
// SSE2 kernels, on inputs no real file holds.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "decoder_guards.h"
#include "encoder_fixtures.h"
#include "image_io.h"
#include "image_metadata.h"
#include "imgwatermark.h"
#include "jpeg_decode_kernels.h"
#include "jpeg_decoder.h"
#include "jpeg_writer.h"
#include "orientation.h"
#include "stb_image_write.h"

// A private copy of stb_image, so that the test reaches its kernels.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#endif
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#include "stb_image.h"
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

namespace {

const simd_path kPaths[] = {simd_path::portable, simd_path::sse2, simd_path::avx2};

#define SKIP_UNLESS_AVAILABLE(path) \
    if (!simd_path_available(path)) GTEST_SKIP() << "the " << simd_path_name(path) << " path is not available here"

std::string path_name(const ::testing::TestParamInfo<simd_path> &info) { return simd_path_name(info.param); }

// stb_image's decode of the bytes: its pixels, or its failure reason.
struct stb_result {
    bool ok = false;
    int w = 0, h = 0;
    bytes px;
    std::string reason;
};

stb_result stb_decode(const bytes &data) {
    stb_result r;
    stbi__g_failure_reason = nullptr;
    int n = 0;
    unsigned char *p = stbi_load_from_memory(data.data(), static_cast<int>(data.size()), &r.w, &r.h, &n, 4);
    if (p) {
        r.ok = true;
        r.px.assign(p, p + static_cast<size_t>(r.w) * r.h * 4);
        stbi_image_free(p);
    } else {
        r.reason = stbi__g_failure_reason ? stbi__g_failure_reason : "";
    }
    return r;
}

// Our decode: accepted (with its pixels) or refused.
struct our_result {
    bool ok = false;
    int w = 0, h = 0;
    bytes px;
};

our_result our_decode(const bytes &data, simd_path path) {
    our_result r;
    rgba_image img{-1, -1, nullptr};
    r.ok = decode_jpeg(data.data(), data.size(), &img, path);
    if (r.ok) {
        r.w = img.w;
        r.h = img.h;
        r.px.assign(img.pixels, img.pixels + static_cast<size_t>(img.w) * img.h * 4);
        std::free(img.pixels);
    } else {
        EXPECT_EQ(img.w, -1);  // untouched
        EXPECT_EQ(img.pixels, nullptr);
    }
    return r;
}

size_t first_difference(const bytes &a, const bytes &b) {
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
    return i;
}

// Where accepted, the pixels must be stb's.
void expect_stb_pixels_where_accepted(const bytes &data, simd_path path, const std::string &what) {
    const our_result ours = our_decode(data, path);
    if (!ours.ok) return;
    const stb_result ref = stb_decode(data);
    ASSERT_TRUE(ref.ok) << what << ": accepted a file stb fails on (" << ref.reason << ")";
    ASSERT_EQ(ours.w, ref.w) << what;
    ASSERT_EQ(ours.h, ref.h) << what;
    ASSERT_TRUE(ours.px == ref.px) << what << ": first difference at byte " << first_difference(ours.px, ref.px);
}

// ---------------------------------------------------------------------------
// Files made by cjpeg at build time (tests/fixtures/make_jpeg_fixtures.py)

const std::string kFixtureDir = IMGWATERMARK_JPEG_FIXTURES;

std::vector<std::string> fixture_names() {
    std::vector<std::string> names;
    std::ifstream list(kFixtureDir + "/list.txt");
    std::string line;
    while (std::getline(list, line))
        if (!line.empty()) names.push_back(line);
    return names;
}

#define SKIP_WITHOUT_FIXTURES(names) \
    if ((names).empty()) GTEST_SKIP() << "no JPEG fixtures in " << kFixtureDir << " (cjpeg from libjpeg-turbo-progs makes them)"

bool refused_kind(const std::string &name) { return name.rfind("refused_", 0) == 0; }

class jpeg_decoder_identity : public ::testing::TestWithParam<simd_path> {};

TEST_P(jpeg_decoder_identity, cjpeg_files_give_stb_pixels) {
    const simd_path path = GetParam();
    SKIP_UNLESS_AVAILABLE(path);
    const std::vector<std::string> names = fixture_names();
    SKIP_WITHOUT_FIXTURES(names);
    ASSERT_GE(names.size(), 100u);
    for (const std::string &name : names) {
        const bytes data = read_bytes(kFixtureDir + "/" + name);
        ASSERT_FALSE(data.empty()) << name;
        const our_result ours = our_decode(data, path);
        if (refused_kind(name)) {
            EXPECT_FALSE(ours.ok) << name << " is a kind left to stb";
            continue;
        }
        ASSERT_TRUE(ours.ok) << name << " was refused";
        const stb_result ref = stb_decode(data);
        ASSERT_TRUE(ref.ok) << name << ": " << ref.reason;
        ASSERT_EQ(ours.w, ref.w) << name;
        ASSERT_EQ(ours.h, ref.h) << name;
        ASSERT_TRUE(ours.px == ref.px) << name << ": first difference at byte " << first_difference(ours.px, ref.px);
    }
}

struct collected_bytes {
    bytes data;
    static void append(void *context, void *data, int size) {
        auto *c = static_cast<collected_bytes *>(context);
        const auto *p = static_cast<const unsigned char *>(data);
        c->data.insert(c->data.end(), p, p + size);
    }
};

// The library's own writer (stb's encoder: baseline, 4:4:4 at quality 92,
// one interleaved scan) on every content and awkward size, and stb's writer
// at a quality that subsamples the chroma.
TEST_P(jpeg_decoder_identity, library_and_stb_writer_files_give_stb_pixels) {
    const simd_path path = GetParam();
    SKIP_UNLESS_AVAILABLE(path);
    for (const content c : all_contents())
        for (const test_size s : small_sizes()) {
            const picture p = make_content(c, s.w, s.h, static_cast<uint32_t>(s.w * 977 + s.h));
            collected_bytes ours, subsampled;
            ASSERT_EQ(write_jpeg(collected_bytes::append, &ours, p.w, p.h, p.px.data(), nullptr, 0, path), 1);
            ASSERT_EQ(stbi_write_jpg_to_func(collected_bytes::append, &subsampled, p.w, p.h, 4, p.px.data(), 60), 1);
            for (const bytes *file : {&ours.data, &subsampled.data}) {
                const std::string what = std::string(content_name(c)) + " " + std::to_string(s.w) + "x" +
                                         std::to_string(s.h) + (file == &ours.data ? " q92" : " q60");
                ASSERT_TRUE(our_decode(*file, path).ok) << what << " was refused";
                expect_stb_pixels_where_accepted(*file, path, what);
            }
        }
}


// ---------------------------------------------------------------------------
// Irregular files

// What load_image gives for the bytes: its pixels, or its message.
struct load_result {
    bool ok = false;
    int w = 0, h = 0;
    bytes px;
    std::string message;
};

load_result load_through_library(const std::string &file) {
    load_result r;
    rgba_image img{0, 0, nullptr};
    int format = 0;
    r.ok = load_image(file.c_str(), &img, &format) == 1;
    if (r.ok) {
        r.w = img.w;
        r.h = img.h;
        r.px.assign(img.pixels, img.pixels + static_cast<size_t>(img.w) * img.h * 4);
        std::free(img.pixels);
    } else {
        r.message = imgwatermark_last_error();
    }
    return r;
}

// What load_image gave before this decoder existed: its guards, then stb.
load_result load_through_stb(const std::string &file, const bytes &data) {
    load_result r;
    const int size = static_cast<int>(data.size());
    auto fail = [&](const std::string &reason) {
        r.message = "cannot decode image " + file + " (" + reason + ")";
        return r;
    };
    if (jpeg_has_oversized_huffman_table(data.data(), size)) return fail("bad DHT header");
    if (pnm_header_is_unsafe(data.data(), size)) return fail("unsupported PNM");
    if (picture_larger_than_data(data.data(), size)) return fail("picture larger than its data");
    const stb_result ref = stb_decode(data);
    if (!ref.ok) return fail(ref.reason.empty() ? "unknown error" : ref.reason);
    rgba_image img{ref.w, ref.h, static_cast<unsigned char *>(std::malloc(ref.px.size()))};
    std::memcpy(img.pixels, ref.px.data(), ref.px.size());
    const image_metadata metadata = read_image_metadata(data.data(), data.size(), false);
    EXPECT_TRUE(apply_orientation(&img, metadata.orientation));
    r.ok = true;
    r.w = img.w;
    r.h = img.h;
    r.px.assign(img.pixels, img.pixels + static_cast<size_t>(img.w) * img.h * 4);
    std::free(img.pixels);
    return r;
}

// The outcome, message and size always agree. Pixels are compared where this
// decoder takes the file: stb leaves memory uninitialized for some broken
// files (a scan that stops early), so its own pixels for those vary by run.
void expect_same_load(const scratch_dir &dir, const bytes &data, const std::string &what) {
    const std::string file = dir.file("case.jpg");
    write_bytes(file, data);
    const load_result got = load_through_library(file), want = load_through_stb(file, data);
    ASSERT_EQ(got.ok, want.ok) << what << ": " << got.message << " / " << want.message;
    EXPECT_EQ(got.message, want.message) << what;
    EXPECT_EQ(got.w, want.w) << what;
    EXPECT_EQ(got.h, want.h) << what;
    rgba_image img{0, 0, nullptr};
    if (decode_jpeg(data.data(), data.size(), &img)) {
        std::free(img.pixels);
        EXPECT_TRUE(got.px == want.px) << what;
    }
}

// Files the irregular cases are made from: baseline with and without
// restarts, subsampled, progressive, grey, one scan per component.
const char *const kDamagedSources[] = {"420_base_33x17.jpg",      "444_rst1_33x17.jpg",
                                       "422_prog_33x17.jpg",      "420_prog_rst3_33x17.jpg",
                                       "grey_base_17x9.jpg",      "2x2_1x2_opt_33x17.jpg",
                                       "scans_one_each_420_rst1_33x17.jpg"};

TEST(jpeg_decoder_irregular, cut_short_files_are_refused_and_load_as_stb_loads_them) {
    const std::vector<std::string> names = fixture_names();
    SKIP_WITHOUT_FIXTURES(names);
    scratch_dir dir;
    for (const char *name : kDamagedSources) {
        const bytes whole = read_bytes(kFixtureDir + "/" + name);
        ASSERT_GT(whole.size(), 100u) << name;
        for (size_t cut = 1; cut < whole.size(); ++cut) {
            const bytes part(whole.begin(), whole.begin() + static_cast<long>(cut));
            for (const simd_path path : kPaths) {
                if (!simd_path_available(path)) continue;
                rgba_image img{0, 0, nullptr};
                ASSERT_FALSE(decode_jpeg(part.data(), part.size(), &img, path)) << name << " cut at " << cut;
            }
            if (cut % 41 == 0 || cut + 3 > whole.size())
                expect_same_load(dir, part, std::string(name) + " cut at " + std::to_string(cut));
        }
    }
}

TEST(jpeg_decoder_irregular, corrupted_bytes_give_stb_pixels_or_are_refused) {
    const std::vector<std::string> names = fixture_names();
    SKIP_WITHOUT_FIXTURES(names);
    scratch_dir dir;
    int accepted = 0, refused = 0;
    for (const char *name : kDamagedSources) {
        const bytes whole = read_bytes(kFixtureDir + "/" + name);
        // Every third byte, a different one for each bit pattern.
        for (size_t at = 2; at < whole.size(); ++at)
            for (const unsigned char flip : {0x01, 0x10, 0xFF}) {
                if ((at + flip) % 3 != 0) continue;
                bytes damaged = whole;
                damaged[at] ^= flip;
                const std::string what = std::string(name) + " byte " + std::to_string(at) + " ^ " + std::to_string(flip);
                for (const simd_path path : kPaths) {
                    if (!simd_path_available(path)) continue;
                    expect_stb_pixels_where_accepted(damaged, path, what);
                    if (HasFatalFailure()) return;
                }
                rgba_image img{0, 0, nullptr};
                if (decode_jpeg(damaged.data(), damaged.size(), &img)) {
                    std::free(img.pixels);
                    ++accepted;
                } else {
                    ++refused;
                }
                if (at % 23 == 0) expect_same_load(dir, damaged, what);
            }
    }
    // Damage in the entropy-coded data mostly still decodes; damage to the
    // structure is refused.
    EXPECT_GT(accepted, 500);
    EXPECT_GT(refused, 500);
}

// The reference reads three components as RGB when their ids are 'R', 'G',
// 'B' or when an Adobe segment says "no transform" and no JFIF segment says
// otherwise; both rules, and a transform flag JFIF overrides, are followed.
TEST_P(jpeg_decoder_identity, colour_space_markers_are_read_as_stb_reads_them) {
    const simd_path path = GetParam();
    SKIP_UNLESS_AVAILABLE(path);
    const std::vector<std::string> names = fixture_names();
    SKIP_WITHOUT_FIXTURES(names);
    const bytes base = read_bytes(kFixtureDir + "/420_base_33x17.jpg");
    ASSERT_EQ(base[2], 0xFF);
    ASSERT_EQ(base[3], 0xE0);  // cjpeg writes JFIF first
    const size_t jfif_end = 4 + (static_cast<size_t>(base[4]) << 8 | base[5]);
    const bytes adobe = {0xFF, 0xEE, 0x00, 0x0E, 'A', 'd', 'o', 'b', 'e', 0x00, 0x64, 0x00, 0x00, 0x00, 0x00, 0x00};
    auto with_transform = [&](bool keep_jfif, unsigned char transform) {
        bytes b(base.begin(), base.begin() + 2);
        bytes segment = adobe;
        segment.back() = transform;
        b.insert(b.end(), segment.begin(), segment.end());
        b.insert(b.end(), base.begin() + static_cast<long>(keep_jfif ? 2 : jfif_end), base.end());
        return b;
    };
    // Component ids 1, 2, 3 become 'R', 'G', 'B' in the frame and the scan.
    bytes rgb_ids = base;
    for (size_t i = 0; i + 1 < rgb_ids.size(); ++i) {
        if (rgb_ids[i] != 0xFF || (rgb_ids[i + 1] != 0xC0 && rgb_ids[i + 1] != 0xDA)) continue;
        const bool frame = rgb_ids[i + 1] == 0xC0;
        const size_t first = frame ? i + 10 : i + 5, stride = frame ? 3 : 2;
        for (int c = 0; c < 3; ++c) rgb_ids[first + c * stride] = static_cast<unsigned char>("RGB"[c]);
        if (!frame) break;
    }
    const struct {
        const char *what;
        bytes file;
    } cases[] = {{"Adobe transform 0 without JFIF", with_transform(false, 0)},
                 {"Adobe transform 0 with JFIF", with_transform(true, 0)},
                 {"Adobe transform 1 without JFIF", with_transform(false, 1)},
                 {"component ids R, G, B", rgb_ids}};
    const bytes plain = our_decode(base, path).px;
    for (const auto &c : cases) {
        const our_result ours = our_decode(c.file, path);
        ASSERT_TRUE(ours.ok) << c.what;
        expect_stb_pixels_where_accepted(c.file, path, c.what);
        const bool read_as_rgb = std::string(c.what).find("with JFIF") == std::string::npos &&
                                 std::string(c.what).find("transform 1") == std::string::npos;
        EXPECT_EQ(ours.px != plain, read_as_rgb) << c.what;
    }
}

INSTANTIATE_TEST_SUITE_P(paths, jpeg_decoder_identity, ::testing::ValuesIn(kPaths), path_name);

// Hand-made oddities, each refused here and handed to stb by load_image.
TEST(jpeg_decoder_irregular, oddities_are_left_to_stb) {
    const std::vector<std::string> names = fixture_names();
    SKIP_WITHOUT_FIXTURES(names);
    const bytes base = read_bytes(kFixtureDir + "/444_rst7_33x17.jpg");
    // Finds the first marker `m` in the file.
    auto find_marker = [&](const bytes &b, unsigned char m) {
        for (size_t i = 0; i + 1 < b.size(); ++i)
            if (b[i] == 0xFF && b[i + 1] == m) return i;
        return b.size();
    };
    const size_t eoi = base.size() - 2, rst = find_marker(base, 0xD0), sof = find_marker(base, 0xC0);
    ASSERT_EQ(base[eoi + 1], 0xD9);
    ASSERT_LT(rst, base.size());
    ASSERT_LT(sof, base.size());
    std::vector<std::pair<std::string, bytes>> cases;
    {
        bytes b = base;
        b.erase(b.begin() + static_cast<long>(eoi), b.end());
        cases.push_back({"no EOI", b});
    }
    {
        bytes b = base;
        b.erase(b.begin() + static_cast<long>(rst), b.begin() + static_cast<long>(rst) + 2);
        cases.push_back({"a restart marker missing", b});
    }
    {
        bytes b = base;
        b.insert(b.begin() + static_cast<long>(eoi), {0xFF, 0xD0});
        cases.push_back({"a restart marker after the last MCU", b});
    }
    {
        bytes b = base;
        b.insert(b.begin() + static_cast<long>(eoi), {0xFF, 0xDC, 0x00, 0x04, 0x00, 0x11});
        cases.push_back({"DNL", b});
    }
    {
        bytes b = base;
        b.insert(b.begin() + static_cast<long>(sof), {0xFF});
        cases.push_back({"a fill byte before SOF", b});
    }
    {
        bytes b = base;
        b.insert(b.begin() + static_cast<long>(eoi), {0x00, 0x00});
        cases.push_back({"zeros after the scan", b});
    }
    {
        bytes b = base;
        b[sof + 1] = 0xC3;
        cases.push_back({"lossless frame", b});
    }
    {
        bytes b = base;
        b.insert(b.begin() + static_cast<long>(rst), {0xFF, 0xD1});
        cases.push_back({"two restart markers", b});
    }
    scratch_dir dir;
    for (const auto &c : cases) {
        for (const simd_path path : kPaths) {
            if (!simd_path_available(path)) continue;
            rgba_image img{0, 0, nullptr};
            EXPECT_FALSE(decode_jpeg(c.second.data(), c.second.size(), &img, path)) << c.first;
            std::free(img.pixels);
        }
        expect_same_load(dir, c.second, c.first);
    }
}

// ---------------------------------------------------------------------------
// Kernels against stb's own SSE2 kernels (x86-64, where stb uses them)

#if defined(STBI_SSE2)

uint32_t kernel_seed = 2463534242u;

TEST(jpeg_decode_kernels, idct_gives_stb_sse2_bytes_on_any_coefficients) {
    alignas(16) short block[64];
    for (int trial = 0; trial < 20000; ++trial) {
        const int kind = trial % 4;
        for (short &c : block) {
            const uint32_t r = next_random(&kernel_seed);
            // Extremes, small values, DC only, sparse.
            c = kind == 0 ? static_cast<short>(r) : kind == 1 ? static_cast<short>(static_cast<int>(r % 61) - 30) : 0;
            if (kind == 3 && r % 7 == 0) c = static_cast<short>(r >> 16);
        }
        if (kind == 2) block[0] = static_cast<short>(next_random(&kernel_seed));
        alignas(16) unsigned char want[64];
        stbi__idct_simd(want, 8, block);
        int16_t copy[64 * 3];
        for (int b = 0; b < 3; ++b) std::memcpy(copy + 64 * b, block, sizeof block);
        for (const simd_path path : kPaths) {
            if (!simd_path_available(path)) continue;
            unsigned char got[8 * 24];
            jpeg_decode_kernels_for(path).idct_row(copy, 3, got, 24);
            for (int b = 0; b < 3; ++b)
                for (int y = 0; y < 8; ++y)
                    ASSERT_EQ(std::memcmp(got + y * 24 + b * 8, want + y * 8, 8), 0)
                        << simd_path_name(path) << " trial " << trial << " block " << b << " row " << y;
        }
    }
}

TEST(jpeg_decode_kernels, colour_conversion_gives_stb_sse2_bytes) {
    for (int count = 1; count <= 70; ++count) {
        std::vector<unsigned char> y(static_cast<size_t>(count)), cb(y.size()), cr(y.size());
        for (int trial = 0; trial < 40; ++trial) {
            for (int i = 0; i < count; ++i) {
                y[i] = static_cast<unsigned char>(next_random(&kernel_seed));
                cb[i] = static_cast<unsigned char>(next_random(&kernel_seed));
                cr[i] = static_cast<unsigned char>(trial < 2 ? trial * 255 : static_cast<int>(next_random(&kernel_seed)));
            }
            std::vector<unsigned char> want(static_cast<size_t>(count) * 4);
            stbi__YCbCr_to_RGB_simd(want.data(), y.data(), cb.data(), cr.data(), count, 4);
            for (const simd_path path : kPaths) {
                if (!simd_path_available(path)) continue;
                std::vector<unsigned char> got(want.size());
                jpeg_decode_kernels_for(path).ycbcr_row(got.data(), y.data(), cb.data(), cr.data(), count);
                ASSERT_TRUE(got == want) << simd_path_name(path) << " count " << count << " trial " << trial;
            }
        }
    }
}

TEST(jpeg_decode_kernels, upsamplers_give_stb_bytes) {
    for (int w = 1; w <= 80; ++w) {
        std::vector<unsigned char> near(static_cast<size_t>(w)), far(near.size());
        for (int trial = 0; trial < 20; ++trial) {
            for (int i = 0; i < w; ++i) {
                near[i] = static_cast<unsigned char>(trial == 0 ? 255 : next_random(&kernel_seed));
                far[i] = static_cast<unsigned char>(trial == 0 ? 255 : next_random(&kernel_seed));
            }
            std::vector<unsigned char> want_hv(static_cast<size_t>(w) * 2 + 8), want_h(want_hv.size());
            stbi__resample_row_hv_2_simd(want_hv.data(), near.data(), far.data(), w, 2);
            stbi__resample_row_h_2(want_h.data(), near.data(), far.data(), w, 2);
            for (const simd_path path : kPaths) {
                if (!simd_path_available(path)) continue;
                std::vector<unsigned char> hv(want_hv.size()), h(want_h.size());
                jpeg_decode_kernels_for(path).upsample_hv2(hv.data(), near.data(), far.data(), w);
                jpeg_decode_kernels_for(path).upsample_h2(h.data(), near.data(), w);
                ASSERT_TRUE(std::equal(hv.begin(), hv.begin() + 2 * w, want_hv.begin())) << simd_path_name(path) << " w " << w;
                ASSERT_TRUE(std::equal(h.begin(), h.begin() + 2 * w, want_h.begin())) << simd_path_name(path) << " w " << w;
            }
        }
    }
}

#endif

}  // namespace
