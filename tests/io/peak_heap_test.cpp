// The heap a 12-megapixel load takes, read through the counting allocator:
// the file's bytes and the picture (4 bytes a pixel), which every operation
// needs, plus a bounded extra for the decoder's own state.
#include <gtest/gtest.h>

#include <string>

#include "encoder_fixtures.h"
#include "heap_counter.h"
#include "image_io.h"
#include "test_support.h"

namespace {

constexpr int kWidth = 4000, kHeight = 3000;
constexpr size_t kPicture = size_t{kWidth} * kHeight * 4;

// The high-water mark of one load_image of `path`, less what was live before.
size_t peak_of_load(const std::string &path, rgba_image *out) {
    const size_t before = heap_live_bytes();
    heap_peak_reset();
    int format = 0;
    EXPECT_EQ(load_image(path.c_str(), out, &format), 1) << path;
    return heap_peak_bytes() - before;
}

struct heap_case {
    const char *name;
    int format;    // the file is written as the library writes this format
    size_t extra;  // what the decoder may hold beside the file and the picture
};

class PeakHeap : public ::testing::TestWithParam<heap_case> {};

TEST_P(PeakHeap, TwelveMegapixelLoadIsFileAndPicturePlusBoundedExtra) {
    if (!heap_counter_available()) GTEST_SKIP() << "the allocator is not counted in this build";
    scratch_dir dir;
    const std::string path = dir.file(std::string("photo.") + GetParam().name);
    {
        const picture photo = make_content(content::photo, kWidth, kHeight);
        ASSERT_NE(save_image(path.c_str(), photo.w, photo.h, photo.px.data(), GetParam().format), 0);
    }
    const size_t file = read_bytes(path).size();
    rgba_image image{0, 0, nullptr};
    const size_t peak = peak_of_load(path, &image);
    ASSERT_EQ(image.w, kWidth);
    std::free(image.pixels);
    EXPECT_LE(peak, file + kPicture + GetParam().extra)
        << "peak " << peak << " bytes, file " << file << ", picture " << kPicture;
}

INSTANTIATE_TEST_SUITE_P(Decoders, PeakHeap,
                         ::testing::Values(heap_case{"jpg", FORMAT_JPEG, 4u << 20},
                                           heap_case{"png", FORMAT_PNG, 4u << 20}),
                         [](const ::testing::TestParamInfo<heap_case> &info) { return info.param.name; });

}  // namespace
