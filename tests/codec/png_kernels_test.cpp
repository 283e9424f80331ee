// The PNG writer's kernels one by one: every filter score and apply kernel
// and every deflate match search against its portable twin, on every path
// this CPU runs; the match search also against stb's loop written out here;
// and stb's filter choice on rows long enough for its int score to wrap.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "encoder_fixtures.h"
#include "png_deflate_kernels.h"
#include "png_filters.h"
#include "png_writer.h"
#include "stb_image_write.h"

// Defined (with C linkage) in the library's stb translation unit; stb's
// header declares it only in its implementation part.
extern "C" unsigned char *stbi_zlib_compress(unsigned char *data, int data_len, int *out_len, int quality);

namespace {

const simd_path kFastPaths[] = {simd_path::sse2, simd_path::avx2};

std::string path_name(const ::testing::TestParamInfo<simd_path> &info) { return simd_path_name(info.param); }

// ---------------------------------------------------------------------------
// Filter kernels

// Row contents that reach different parts of the kernels: the Paeth ties,
// the largest scores, the wrap of byte differences.
enum class row_content { noise, max_score, near_128, gradient, zero, stripes, small_alphabet };

const row_content kRowContents[] = {row_content::noise,    row_content::max_score, row_content::near_128,
                                    row_content::gradient, row_content::zero,      row_content::stripes,
                                    row_content::small_alphabet};

const char *row_content_name(row_content c) {
    switch (c) {
    case row_content::noise: return "noise";
    case row_content::max_score: return "max_score";
    case row_content::near_128: return "near_128";
    case row_content::gradient: return "gradient";
    case row_content::zero: return "zero";
    case row_content::stripes: return "stripes";
    case row_content::small_alphabet: return "small_alphabet";
    }
    return "?";
}

void fill_row(row_content c, unsigned char *row, size_t n, uint32_t seed) {
    uint32_t state = seed;
    for (size_t k = 0; k < n; ++k) {
        const uint32_t r = next_random(&state);
        unsigned char v = 0;
        switch (c) {
        case row_content::noise: v = static_cast<unsigned char>(r); break;
        case row_content::max_score: v = 0x80; break;
        case row_content::near_128: v = static_cast<unsigned char>(0x7E + r % 5); break;
        case row_content::gradient: v = static_cast<unsigned char>(k * (seed % 7 + 1) / 3); break;
        case row_content::zero: v = 0; break;
        case row_content::stripes: v = (k / 4) % 2 ? 0xFF : 0x00; break;
        case row_content::small_alphabet: v = static_cast<unsigned char>((r & 3) * 85); break;
        }
        row[k] = v;
    }
}

// Row lengths in bytes: every one up to past two AVX2 steps, then lengths
// around larger vector multiples.
std::vector<size_t> row_lengths() {
    std::vector<size_t> n;
    for (size_t k = 4; k <= 100; k += 4) n.push_back(k);
    for (size_t k : {124u, 128u, 132u, 256u, 260u, 1020u, 1024u, 1028u, 4096u + 36u, 32800u}) n.push_back(k);
    return n;
}

class png_filter_kernels : public ::testing::TestWithParam<simd_path> {};

// Each path's own kernels, not the portable ones under another name.
TEST_P(png_filter_kernels, path_has_its_own_kernels) {
    const simd_path path = GetParam();
    if (!simd_path_available(path)) GTEST_SKIP() << simd_path_name(path) << " is not available on this CPU";
    const png_row_kernels k = png_row_kernels_for(path);
    EXPECT_NE(k.score, &png_score_portable);
    EXPECT_NE(k.apply, &png_apply_portable);
    if (simd_path_available(simd_path::avx2)) {
        EXPECT_NE(png_row_kernels_for(simd_path::sse2).score, png_row_kernels_for(simd_path::avx2).score)
            << "sse2 and avx2 give the same kernel";
    }
}

TEST_P(png_filter_kernels, score_and_apply_match_portable) {
    const simd_path path = GetParam();
    if (!simd_path_available(path)) GTEST_SKIP() << simd_path_name(path) << " is not available on this CPU";
    const png_row_kernels k = png_row_kernels_for(path);
    uint32_t seed = 1;
    for (size_t n : row_lengths())
        for (row_content rc : kRowContents)
            for (row_content pc : {row_content::zero, row_content::noise, row_content::near_128, rc}) {
                ++seed;
                // Odd offsets, so that no load is aligned by luck; guard
                // bytes after each output.
                bytes row(n + 3), prev(n + 5), out(n + 1 + 16), want(n + 16);
                unsigned char *r = row.data() + 3, *p = prev.data() + 5, *o = out.data() + 1;
                fill_row(rc, r, n, seed);
                fill_row(pc, p, n, seed * 7 + 1);
                SCOPED_TRACE(std::string(row_content_name(rc)) + " over " + row_content_name(pc) + ", " +
                             std::to_string(n) + " bytes");
                uint64_t sums[5], expected[5];
                k.score(r, p, n, sums);
                png_score_portable(r, p, n, expected);
                for (int f = 0; f < 5; ++f) EXPECT_EQ(sums[f], expected[f]) << "score of filter " << f;
                for (int f = 0; f < 5; ++f) {
                    std::memset(out.data(), 0xA5, out.size());
                    std::memset(want.data(), 0xA5, want.size());
                    k.apply(f, r, p, n, o);
                    png_apply_portable(f, r, p, n, want.data());
                    ASSERT_EQ(0, std::memcmp(o, want.data(), n + 16)) << "filter " << f;
                    ASSERT_EQ(out[0], 0xA5) << "filter " << f << " wrote before its row";
                }
            }
}

INSTANTIATE_TEST_SUITE_P(paths, png_filter_kernels, ::testing::ValuesIn(kFastPaths), path_name);

// ---------------------------------------------------------------------------
// stb's filter choice where its int score wraps

// stb's rule, written out apart from the library: each filter's score summed
// into a 32-bit int that wraps, the first lowest taken, starting from
// INT_MAX with filter 0.
int stb_rule(const int64_t sums[5]) {
    int best = 0;
    int64_t best_value = INT_MAX;
    for (int f = 0; f < 5; ++f) {
        // The two's complement value of the sum's low 32 bits.
        const int64_t wrapped = ((sums[f] + (int64_t{1} << 31)) % (int64_t{1} << 32)) - (int64_t{1} << 31);
        if (wrapped < best_value) {
            best_value = wrapped;
            best = f;
        }
    }
    return best;
}

// The first lowest of the true sums: what the choice would be if nothing
// wrapped.
int exact_rule(const int64_t sums[5]) {
    int best = 0;
    for (int f = 1; f < 5; ++f)
        if (sums[f] < sums[best]) best = f;
    return best;
}

TEST(png_filter_choice, follows_stbs_wrapping_int) {
    const int64_t k31 = int64_t{1} << 31, k32 = int64_t{1} << 32;
    struct sums_case {
        const char *name;
        int64_t sums[5];
        bool wrap_matters;  // the exact sums would choose another filter
    };
    const sums_case cases[] = {
        {"all_zero", {0, 0, 0, 0, 0}, false},
        {"first_lowest_wins_ties", {9, 4, 4, 7, 4}, false},
        {"paeth_lowest", {9, 8, 7, 6, 5}, false},
        {"all_int_max_keeps_filter_0", {INT_MAX, INT_MAX, INT_MAX, INT_MAX, INT_MAX}, false},
        {"just_below_int_max", {INT_MAX, INT_MAX, INT_MAX - 1, INT_MAX, INT_MAX}, false},
        {"none_wraps_to_int_min", {k31, 512, k31, 5000, 512}, true},
        {"sub_wraps_just_past", {k31 - 1, k31 + 1536, k31 - 1, k31 - 2, k31 + 1536}, true},
        {"paeth_wraps_to_small", {100, 200, 300, 400, k32 + 5}, true},
        {"wraps_twice", {3 * k31 + 7, 2 * k32 + 9, 2 * k32 + 9, k32 - 1, k31 - 1}, true},
        {"exactly_2_to_32_is_zero", {1, 2, 3, k32, 4}, true},
    };
    for (const sums_case &c : cases) {
        uint64_t sums[5];
        for (int f = 0; f < 5; ++f) sums[f] = static_cast<uint64_t>(c.sums[f]);
        EXPECT_EQ(png_pick_filter(sums), stb_rule(c.sums)) << c.name;
        EXPECT_EQ(stb_rule(c.sums) != exact_rule(c.sums), c.wrap_matters) << c.name << ": the case is not what it claims";
    }
}

// stb's five filters of a first row (the byte above is zero; stb's own
// first-row variants of average and Paeth), byte k of n, pixels of 4 bytes.
unsigned char stb_first_row_filter(int f, const unsigned char *row, size_t k) {
    const unsigned char x = row[k], a = k >= 4 ? row[k - 4] : 0;
    switch (f) {
    case 1: return static_cast<unsigned char>(x - a);
    case 2: return x;                                       // x - 0
    case 3: return static_cast<unsigned char>(x - (a >> 1));  // x - ((a + 0) >> 1)
    case 4: return static_cast<unsigned char>(x - a);       // paeth(a, 0, 0) is a
    default: return x;
    }
}

// The exact sums of abs((signed char)byte) of each filter on a first row.
void stb_first_row_sums(const bytes &row, int64_t sums[5]) {
    for (int f = 0; f < 5; ++f) {
        int64_t s = 0;
        for (size_t k = 0; k < row.size(); ++k) s += std::abs(static_cast<signed char>(stb_first_row_filter(f, row.data(), k)));
        sums[f] = s;
    }
}

// The shortest first rows on which the wrap decides: each byte scores at most
// 128, so a sum passes INT_MAX only past 2^24 bytes (4,194,304 pixels).
struct wrap_row {
    const char *name;
    bytes row;
};

const int kWrapRows = 2;

wrap_row make_wrap_row(int which) {
    const size_t smallest = size_t{1} << 24;
    if (which == 0) {
        // Every byte 0x80: none and up score exactly 2^31, which wraps to
        // INT_MIN and beats sub's 512.
        return {"all_0x80", bytes(smallest, 0x80)};
    }
    // Pixels alternating 00000000 and 80808080, 16 bytes more: sub and Paeth
    // pass 2^31 and wrap, beating none's 2^30.
    bytes alternating(smallest + 16);
    for (size_t k = 0; k < alternating.size(); ++k) alternating[k] = (k / 4) % 2 ? 0x80 : 0x00;
    return {"alternating_0x00_0x80", alternating};
}

TEST(png_filter_choice, every_path_wraps_as_stb_on_the_shortest_rows) {
    for (int which = 0; which < kWrapRows; ++which) {
        const wrap_row w = make_wrap_row(which);
        int64_t exact[5];
        stb_first_row_sums(w.row, exact);
        const int expected = stb_rule(exact);
        ASSERT_NE(expected, exact_rule(exact)) << w.name << ": the wrap does not decide on this row";
        const bytes zero(w.row.size(), 0);
        for (simd_path path : {simd_path::portable, simd_path::sse2, simd_path::avx2}) {
            if (!simd_path_available(path)) continue;
            uint64_t sums[5];
            png_row_kernels_for(path).score(w.row.data(), zero.data(), w.row.size(), sums);
            for (int f = 0; f < 5; ++f)
                EXPECT_EQ(sums[f], static_cast<uint64_t>(exact[f])) << w.name << " " << simd_path_name(path) << " filter " << f;
            EXPECT_EQ(png_pick_filter(sums), expected) << w.name << " " << simd_path_name(path);
        }
    }
}

// stb's own writer overflows its signed int on these rows, which UBSan
// stops; under it the file is checked against stb's rule applied here only.
#if defined(IMGWATERMARK_UBSAN)
constexpr bool kStbWriterRuns = false;
#else
constexpr bool kStbWriterRuns = true;
#endif

// The whole writer on the shortest such picture, 4,194,304 x 1: its IDAT is
// stb's compressor on the row filtered as stb's wrapping rule says, and the
// file is stb's file, on every path.
TEST(png_filter_choice, writer_on_a_wrapping_row_gives_stbs_file) {
    const wrap_row w = make_wrap_row(0);
    int64_t exact[5];
    stb_first_row_sums(w.row, exact);
    const int filter = stb_rule(exact);
    bytes filtered(1 + w.row.size());
    filtered[0] = static_cast<unsigned char>(filter);
    for (size_t k = 0; k < w.row.size(); ++k) filtered[1 + k] = stb_first_row_filter(filter, w.row.data(), k);
    int zlen = 0;
    unsigned char *z = stbi_zlib_compress(filtered.data(), static_cast<int>(filtered.size()), &zlen, 8);
    ASSERT_NE(z, nullptr);
    const bytes idat(z, z + zlen);
    std::free(z);

    const int width = static_cast<int>(w.row.size() / 4);
    collected reference;
    if (kStbWriterRuns) {
        ASSERT_EQ(stbi_write_png_to_func(collected::append, &reference, width, 1, 4, w.row.data(), width * 4), 1);
    }
    for (simd_path path : {simd_path::portable, simd_path::sse2, simd_path::avx2}) {
        if (!simd_path_available(path)) continue;
        SCOPED_TRACE(simd_path_name(path));
        collected ours;
        ASSERT_EQ(write_png(collected::append, &ours, width, 1, w.row.data(), nullptr, 0, path), 1);
        // The IDAT right after the signature and IHDR, then IEND.
        const size_t at = 8 + 25;
        ASSERT_EQ(ours.data.size(), at + 12 + idat.size() + 12);
        ASSERT_EQ(0, std::memcmp(ours.data.data() + at + 4, "IDAT", 4));
        EXPECT_EQ(0, std::memcmp(ours.data.data() + at + 8, idat.data(), idat.size()));
        if (kStbWriterRuns) {
            EXPECT_TRUE(ours.data == reference.data);
        }
    }
}

// ---------------------------------------------------------------------------
// Deflate match search

// stb's search loop as stb_image_write writes it: candidates within the
// window, byte by byte, `>=` so that the newest of equal lengths wins.
unsigned stb_search(const unsigned char *cur, size_t i, const uint32_t *list, unsigned n, unsigned limit) {
    unsigned best = 3, key = 0;
    for (unsigned j = 0; j < n; ++j) {
        const size_t back = i - list[j];
        if (back >= 32768) continue;
        unsigned d = 0;
        while (d < limit && cur[static_cast<ptrdiff_t>(d) - static_cast<ptrdiff_t>(back)] == cur[d]) ++d;
        if (d >= best) {
            best = d;
            key = d << 4 | j;
        }
    }
    return key;
}

// A stretch of input with the position under search at i: everything from
// 40,000 bytes back and 300 ahead.
struct search_input {
    static constexpr size_t kBehind = 40000, kAhead = 300;
    bytes data;
    size_t i;
    explicit search_input(uint32_t seed) : data(kBehind + kAhead), i(kBehind) {
        for (auto &v : data) v = static_cast<unsigned char>(next_random(&seed));
    }
    const unsigned char *cur() const { return data.data() + i; }
    // Makes the bytes `back` before i start a match of exactly `length`
    // bytes with those at i (length up to kAhead - 1).
    void plant(size_t back, unsigned length) {
        const size_t from = i - back;
        for (unsigned d = 0; d < length; ++d) data[from + d] = data[i + d];
        data[from + length] = static_cast<unsigned char>(data[i + length] ^ 0x5A);
    }
};

struct planted {
    size_t back;
    unsigned length;
};

struct search_case {
    const char *name;
    std::vector<planted> candidates;  // in list order, oldest first
    unsigned limit;
};

std::vector<search_case> search_cases() {
    return {
        {"no_candidates", {}, 258},
        {"only_short", {{100, 0}, {90, 1}, {80, 2}}, 258},
        {"three_is_enough", {{100, 2}, {90, 3}, {80, 2}}, 258},
        {"newest_of_equal_wins", {{500, 7}, {400, 7}, {300, 5}, {200, 7}, {100, 6}}, 258},
        {"oldest_longest", {{900, 40}, {800, 39}, {700, 20}}, 258},
        {"around_16", {{60, 15}, {50, 16}, {40, 17}, {30, 16}}, 258},
        {"around_24_and_32", {{60, 23}, {50, 24}, {40, 31}, {30, 32}, {20, 33}}, 258},
        {"capped_by_limit", {{300, 200}, {200, 250}, {100, 299}}, 258},
        {"limit_16", {{300, 16}, {200, 20}, {100, 3}}, 16},
        {"limit_17", {{300, 16}, {200, 20}, {100, 17}}, 17},
        {"limit_100_ties_at_limit", {{300, 150}, {200, 100}, {100, 99}}, 100},
        {"window_edge", {{32769, 50}, {32768, 60}, {32767, 10}, {32766, 9}}, 258},
        {"only_outside_window", {{39999, 80}, {32768, 80}}, 258},
        {"overlapping_distance_1", {{1, 299}, {2, 40}}, 258},
        {"full_bucket",
         {{16000, 3}, {15000, 4}, {14000, 5}, {13000, 6}, {12000, 7}, {11000, 8}, {10000, 9}, {9000, 10},
          {8000, 11}, {7000, 12}, {6000, 13}, {5000, 14}, {4000, 15}, {3000, 16}, {2000, 17}, {1000, 18}},
         258},
        {"full_bucket_all_equal",
         {{16000, 20}, {15000, 20}, {14000, 20}, {13000, 20}, {12000, 20}, {11000, 20}, {10000, 20}, {9000, 20},
          {8000, 20}, {7000, 20}, {6000, 20}, {5000, 20}, {4000, 20}, {3000, 20}, {2000, 20}, {1000, 20}},
         258},
        {"full_bucket_with_stale",
         {{39000, 258}, {38000, 258}, {33000, 258}, {32768, 258}, {32000, 4}, {31000, 5}, {30000, 4}, {29000, 3},
          {28000, 2}, {27000, 1}, {26000, 0}, {25000, 5}, {24000, 3}, {23000, 3}, {22000, 2}, {21000, 1}},
         258},
    };
}

class deflate_match_kernels : public ::testing::TestWithParam<simd_path> {};

TEST_P(deflate_match_kernels, path_has_its_own_kernel) {
    const simd_path path = GetParam();
    if (!simd_path_available(path)) GTEST_SKIP() << simd_path_name(path) << " is not available on this CPU";
    EXPECT_NE(deflate_match_for(path), &deflate_match_portable);
    EXPECT_EQ(deflate_match_for(simd_path::portable), &deflate_match_portable);
}

TEST_P(deflate_match_kernels, crafted_lists_match_portable_and_stb) {
    const simd_path path = GetParam();
    if (!simd_path_available(path)) GTEST_SKIP() << simd_path_name(path) << " is not available on this CPU";
    deflate_match_fn *const search = deflate_match_for(path);
    uint32_t seed = 5;
    for (const search_case &c : search_cases()) {
        search_input in(++seed);
        std::vector<uint32_t> list;
        for (const planted &p : c.candidates) {
            in.plant(p.back, p.length);
            list.push_back(static_cast<uint32_t>(in.i - p.back));
        }
        const unsigned n = static_cast<unsigned>(list.size());
        const unsigned expected = stb_search(in.cur(), in.i, list.data(), n, c.limit);
        EXPECT_EQ(deflate_match_portable(in.cur(), in.i, list.data(), n, c.limit), expected) << c.name << " portable";
        EXPECT_EQ(search(in.cur(), in.i, list.data(), n, c.limit), expected) << c.name;
    }
}

// Random lists over inputs of two to four symbols (long and many matches),
// every bucket size and limits from 16 to 258.
TEST_P(deflate_match_kernels, random_lists_match_portable_and_stb) {
    const simd_path path = GetParam();
    if (!simd_path_available(path)) GTEST_SKIP() << simd_path_name(path) << " is not available on this CPU";
    deflate_match_fn *const search = deflate_match_for(path);
    uint32_t state = 77;
    std::vector<search_input> inputs;
    for (uint32_t k = 0; k < 30; ++k) {
        inputs.emplace_back(k + 1);
        for (auto &v : inputs.back().data) v = static_cast<unsigned char>(v % (2 + k % 3));
    }
    for (int round = 0; round < 3000; ++round) {
        const search_input &in = inputs[static_cast<size_t>(round) % inputs.size()];
        const unsigned n = static_cast<unsigned>(next_random(&state) % (kDeflateBucketMax + 1));
        const unsigned limit = 16 + next_random(&state) % (258 - 16 + 1);
        uint32_t list[kDeflateBucketMax];
        for (unsigned j = 0; j < n; ++j) {
            // Mostly near, some at the window's edge, some outside it.
            const uint32_t r = next_random(&state);
            const size_t back = r % 4 == 0 ? 32766 + r % 5 : 1 + r % (round % 2 ? 64 : search_input::kBehind - 1);
            list[j] = static_cast<uint32_t>(in.i - back);
        }
        const unsigned expected = stb_search(in.cur(), in.i, list, n, limit);
        ASSERT_EQ(deflate_match_portable(in.cur(), in.i, list, n, limit), expected) << "round " << round << " portable";
        ASSERT_EQ(search(in.cur(), in.i, list, n, limit), expected) << "round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(paths, deflate_match_kernels, ::testing::ValuesIn(kFastPaths), path_name);

}  // namespace
