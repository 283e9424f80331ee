// The JPEG writer's block kernels one by one: every SIMD kernel gives the
// portable kernel's coefficients and nonzero masks, on bands of many widths
// and contents, for whole rows of blocks and for runs starting inside one.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "encoder_fixtures.h"
#include "jpeg_kernels.h"

namespace {

std::string path_name(const ::testing::TestParamInfo<simd_path> &info) { return simd_path_name(info.param); }

// A picture of 8 rows and its band (the rows past `rows` repeat the last,
// as the writer points them at the picture's bottom row).
struct band_picture {
    picture p;
    jpeg_band band;
    band_picture(picture pic, int rows) : p(std::move(pic)) {
        band.width = p.w;
        for (int r = 0; r < 8; ++r) band.rows[r] = p.at(0, r < rows ? r : rows - 1);
    }
};

// Multipliers of the writer's shape, 1 / (step * scale[row] * scale[col]),
// from a step table; `steps` 0 gives all ones (the largest coefficients).
jpeg_quant make_quant(uint32_t steps) {
    static const float kScale[8] = {1.0f * 2.828427125f,         1.387039845f * 2.828427125f,
                                    1.306562965f * 2.828427125f, 1.175875602f * 2.828427125f,
                                    1.0f * 2.828427125f,         0.785694958f * 2.828427125f,
                                    0.541196100f * 2.828427125f, 0.275899379f * 2.828427125f};
    jpeg_quant q;
    uint32_t state = steps;
    for (int row = 0, k = 0; row < 8; ++row)
        for (int col = 0; col < 8; ++col, ++k) {
            const float luma = steps ? static_cast<float>(1 + next_random(&state) % 255) : 1.0f;
            const float chroma = steps ? static_cast<float>(1 + next_random(&state) % 255) : 1.0f;
            q.luma[k] = 1 / (luma * kScale[row] * kScale[col]);
            q.chroma[k] = 1 / (chroma * kScale[row] * kScale[col]);
        }
    return q;
}

// Black and white blocks and checkerboards: the largest coefficients of
// every sign.
picture extremes(int w, int h) {
    picture p(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int block = (x / 8 + y / 8) % 4;
            const bool on = block == 0 || (block == 2 && (x + y) % 2) || (block == 3 && x % 8 < 4);
            p.set(x, y, on ? 0xFFFFFFFFu : 0x000000FFu);
        }
    return p;
}

struct kernel_run {
    std::vector<int16_t> coeffs;
    std::vector<uint64_t> masks;
};

kernel_run run_kernel(jpeg_blocks_fn *kernel, const jpeg_band &band, int first, int count, const jpeg_quant &q) {
    kernel_run r{std::vector<int16_t>(static_cast<size_t>(count) * 3 * 64, 0x5A5A),
                 std::vector<uint64_t>(static_cast<size_t>(count) * 3, 0x5A5A5A5A5A5A5A5Aull)};
    kernel(band, first, count, q, r.coeffs.data(), r.masks.data());
    return r;
}

class jpeg_block_kernels : public ::testing::TestWithParam<simd_path> {};

TEST_P(jpeg_block_kernels, path_has_its_own_kernel) {
    const simd_path path = GetParam();
    if (!simd_path_available(path)) GTEST_SKIP() << simd_path_name(path) << " is not available on this CPU";
    EXPECT_NE(jpeg_blocks_for(path), &jpeg_blocks_portable);
    if (simd_path_available(simd_path::avx2)) {
        EXPECT_NE(jpeg_blocks_for(simd_path::sse2), jpeg_blocks_for(simd_path::avx2));
    }
}

TEST_P(jpeg_block_kernels, coefficients_and_masks_match_portable) {
    const simd_path path = GetParam();
    if (!simd_path_available(path)) GTEST_SKIP() << simd_path_name(path) << " is not available on this CPU";
    jpeg_blocks_fn *const kernel = jpeg_blocks_for(path);
    const int widths[] = {1, 2, 3, 7, 8, 9, 15, 16, 17, 23, 24, 25, 31, 33, 64, 65, 127, 1029};
    const uint32_t quants[] = {0, 1, 2, 3};
    uint32_t seed = 9;
    for (int w : widths)
        for (const content c : all_contents())
            for (int rows : {1, 5, 8})
                for (uint32_t qs : quants) {
                    band_picture bp(make_content(c, w, 8, ++seed), rows);
                    const jpeg_quant q = make_quant(qs);
                    const int blocks = (w + 7) / 8;
                    SCOPED_TRACE(std::string(content_name(c)) + ", width " + std::to_string(w) + ", " +
                                 std::to_string(rows) + " rows, steps " + std::to_string(qs));
                    // The whole band, then a run starting at its second block.
                    struct run {
                        int first, count;
                    };
                    for (const run r : {run{0, blocks}, run{1, blocks - 1}}) {
                        if (r.count <= 0) continue;
                        const kernel_run want = run_kernel(jpeg_blocks_portable, bp.band, r.first, r.count, q);
                        const kernel_run got = run_kernel(kernel, bp.band, r.first, r.count, q);
                        ASSERT_TRUE(got.coeffs == want.coeffs) << "coefficients, run from block " << r.first;
                        ASSERT_TRUE(got.masks == want.masks) << "masks, run from block " << r.first;
                        // Each mask is its block's nonzero coefficients.
                        for (size_t b = 0; b < want.masks.size(); ++b) {
                            uint64_t m = 0;
                            for (int k = 0; k < 64; ++k)
                                if (want.coeffs[b * 64 + static_cast<size_t>(k)] != 0) m |= uint64_t{1} << k;
                            ASSERT_EQ(want.masks[b], m) << "block component " << b;
                        }
                    }
                }
}

TEST_P(jpeg_block_kernels, extreme_blocks_match_portable) {
    const simd_path path = GetParam();
    if (!simd_path_available(path)) GTEST_SKIP() << simd_path_name(path) << " is not available on this CPU";
    for (int w : {8, 13, 40})
        for (uint32_t qs : {0u, 5u}) {
            band_picture bp(extremes(w, 8), 8);
            const jpeg_quant q = make_quant(qs);
            const int blocks = (w + 7) / 8;
            const kernel_run want = run_kernel(jpeg_blocks_portable, bp.band, 0, blocks, q);
            const kernel_run got = run_kernel(jpeg_blocks_for(path), bp.band, 0, blocks, q);
            EXPECT_TRUE(got.coeffs == want.coeffs) << "width " << w << ", steps " << qs;
            EXPECT_TRUE(got.masks == want.masks) << "width " << w << ", steps " << qs;
        }
}

INSTANTIATE_TEST_SUITE_P(paths, jpeg_block_kernels, ::testing::Values(simd_path::sse2, simd_path::avx2), path_name);

}  // namespace
