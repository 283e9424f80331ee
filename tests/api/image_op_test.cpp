// Scaling watermark pictures, and the picture watermark operation end to end.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "composite.h"
#include "imgwatermark.h"
#include "resample.h"
#include "test_support.h"

namespace {

picture scaled(const picture &p, float scale) {
    picture copy = p;
    rgba_image view{copy.w, copy.h, copy.px.data()};
    rgba_image out = resize_rgba(&view, scale);
    picture r;
    if (!out.pixels) return r;
    r.w = out.w;
    r.h = out.h;
    r.px.assign(out.pixels, out.pixels + static_cast<size_t>(out.w) * out.h * 4);
    std::free(out.pixels);
    return r;
}

}  // namespace

TEST(Resize, OutputSizes) {
    const struct {
        int w, h;
        float scale;
        int nw, nh;
    } rows[] = {{100, 50, 0.5f, 50, 25}, {100, 50, 2.0f, 200, 100}, {3, 3, 0.5f, 2, 2},   {1, 1, 0.4f, 1, 1},
                {10, 1, 0.01f, 1, 1},     {5, 4, 1.5f, 8, 6},        {100, 100, 1e9f, 1, 1}, {7, 7, INFINITY, 1, 1}};
    for (const auto &r : rows) {
        const picture out = scaled(picture(r.w, r.h, 0x808080FF), r.scale);
        EXPECT_EQ(out.w, r.nw) << r.w << " x " << r.scale;
        EXPECT_EQ(out.h, r.nh) << r.h << " x " << r.scale;
    }
}

TEST(Resize, BilinearAtPixelCentresClampedAtEdges) {
    picture ramp(2, 1);
    ramp.set(0, 0, 0x000000FF);
    ramp.set(1, 0, 0xFFFFFFFF);
    const picture out = scaled(ramp, 2.0f);
    ASSERT_EQ(out.w, 4);
    const unsigned char expected[4] = {0, 64, 191, 255};  // samples at -0.25, 0.25, 0.75, 1.25
    for (int x = 0; x < 4; ++x) {
        EXPECT_EQ(out.at(x, 0)[0], expected[x]) << x;
        EXPECT_EQ(out.at(x, 0)[3], 255);
    }
    const picture uniform = scaled(picture(5, 3, 0x336699CC), 3.3f);
    for (size_t i = 0; i < uniform.px.size(); i += 4) ASSERT_EQ(uniform.get((i / 4) % uniform.w, (i / 4) / uniform.w), 0x336699CCu);
}

TEST(Resize, TransparentPixelsLendNoColour) {
    picture half(4, 2, 0x00FF0000);  // transparent, but green underneath
    half.fill_rect(0, 0, 2, 2, 0xFF0000FF);
    const picture out = scaled(half, 4.0f);
    ASSERT_EQ(out.w, 16);
    int partial = 0;
    for (int y = 0; y < out.h; ++y) {
        int previous_alpha = 256;
        for (int x = 0; x < out.w; ++x) {
            const unsigned char *p = out.at(x, y);
            EXPECT_LE(p[3], previous_alpha);  // fades out to the right
            previous_alpha = p[3];
            if (p[3] == 0) continue;
            partial += p[3] < 255;
            ASSERT_EQ(p[0], 255) << x;
            ASSERT_EQ(p[1], 0) << x;
            ASSERT_EQ(p[2], 0) << x;
        }
    }
    EXPECT_GT(partial, 0);
    const picture clear = scaled(picture(6, 6, 0xFFFFFF00), 2.5f);
    for (size_t i = 0; i < clear.px.size(); ++i) ASSERT_EQ(clear.px[i], 0);
}

TEST(Resize, ImpossibleSizeFailsCleanly) {
    picture logo(100, 100, 0xFFFFFFFF);
    rgba_image view{logo.w, logo.h, logo.px.data()};
    rgba_image out = resize_rgba(&view, 1e6f);  // 1e8 x 1e8 pixels
    EXPECT_EQ(out.pixels, nullptr);
}

class ImageOperation : public ::testing::Test {
protected:
    scratch_dir dir;
    std::string in_png = dir.file("in.png"), logo_png = dir.file("logo.png"), out_png = dir.file("out.png");
    picture input = patterned(300, 200);
    picture logo = patterned(40, 30, 255);
    void SetUp() override {
        save_png(in_png, input);
        save_png(logo_png, logo);
    }
    int run(float opacity, int position, float scale, const std::string &mark = "") {
        return imgwatermark_image(in_png.c_str(), out_png.c_str(), (mark.empty() ? logo_png : mark).c_str(), opacity,
                                  position, scale);
    }
};

TEST_F(ImageOperation, OpaqueLogoLandsAtTheCornerUnchanged) {
    ASSERT_EQ(run(1.0f, IMGWATERMARK_POS_BOTTOM_RIGHT, 1.0f), 1) << imgwatermark_last_error();
    EXPECT_STREQ(imgwatermark_last_error(), "");
    const picture out = decode(out_png);
    EXPECT_EQ(diff_box(input, out), (box{240, 150, 280, 180}));
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x) ASSERT_EQ(out.get(240 + x, 150 + y), logo.get(x, y));
}

TEST_F(ImageOperation, ScaleIsAppliedOnlyWhenItMatters) {
    const struct {
        float scale;
        int w, h;
    } rows[] = {{0.0f, 40, 30}, {-1.0f, 40, 30}, {1.00005f, 40, 30}, {NAN, 40, 30}, {0.5f, 20, 15}, {2.0f, 80, 60}};
    for (const auto &r : rows) {
        ASSERT_EQ(run(1.0f, IMGWATERMARK_POS_TOP_LEFT, r.scale), 1) << r.scale;
        EXPECT_EQ(diff_box(input, decode(out_png)), (box{20, 20, 20 + r.w, 20 + r.h})) << r.scale;
    }
    // The scaled logo is exactly the resampled picture.
    ASSERT_EQ(run(1.0f, IMGWATERMARK_POS_TOP_LEFT, 2.0f), 1);
    const picture big = scaled(logo, 2.0f), out = decode(out_png);
    for (int y = 0; y < big.h; ++y)
        for (int x = 0; x < big.w; ++x) ASSERT_EQ(out.get(20 + x, 20 + y), big.get(x, y));
}

TEST_F(ImageOperation, LargerLogoIsCentredAndCut) {
    const picture wide = patterned(340, 230);
    save_png(dir.file("wide.png"), wide);
    ASSERT_EQ(run(1.0f, IMGWATERMARK_POS_CENTER, 1.0f, dir.file("wide.png")), 1);
    const picture out = decode(out_png);
    for (int y = 0; y < out.h; ++y)
        for (int x = 0; x < out.w; ++x) ASSERT_EQ(out.get(x, y), wide.get(x + 20, y + 15));
}

TEST_F(ImageOperation, JpegLogoAtLowOpacityIsAUniformlyFadedRectangle) {
    save_png(in_png, picture(300, 200, 0x000000FF));
    save_jpg(dir.file("logo.jpg"), picture(50, 40, 0xFFFFFFFF), 100);
    ASSERT_EQ(run(0.3f, IMGWATERMARK_POS_CENTER, 1.0f, dir.file("logo.jpg")), 1);
    const picture out = decode(out_png);
    EXPECT_EQ(diff_box(picture(300, 200, 0x000000FF), out), (box{125, 80, 175, 120}));
    const uint32_t faded = out.get(125, 80);
    EXPECT_EQ(faded, 0x4D4D4DFFu);  // 255 * 0.3 = 76.5 -> 77
    for (int y = 80; y < 120; ++y)
        for (int x = 125; x < 175; ++x) ASSERT_EQ(out.get(x, y), faded);
}

TEST_F(ImageOperation, FailuresNameTheFailingPathAndWriteNothing) {
    const std::string missing = dir.file("missing.png");
    write_text(dir.file("junk.png"), "junk");
    const struct {
        std::string in, mark, out;
        float scale;
        std::string message;
    } rows[] = {
        {missing, logo_png, out_png, 1, "cannot read file: " + missing},
        {in_png, missing, out_png, 1, "cannot read file: " + missing},
        {in_png, dir.file("junk.png"), out_png, 1, "cannot decode image " + dir.file("junk.png") + " (unknown image type)"},
        {in_png, logo_png, out_png, 1e6f, "failed to resize watermark image"},
        {in_png, logo_png, dir.file("x/out.png"), 1, "failed to write image to " + dir.file("x/out.png")},
    };
    for (const auto &r : rows) {
        imgwatermark_cleanup();
        EXPECT_EQ(imgwatermark_image(r.in.c_str(), r.out.c_str(), r.mark.c_str(), 1, 0, r.scale), 0);
        EXPECT_EQ(std::string(imgwatermark_last_error()), r.message);
        EXPECT_FALSE(fs::exists(r.out));
    }
}

TEST_F(ImageOperation, WorksWithoutInitAndOutputMayBeTheInput) {
    ASSERT_EQ(imgwatermark_image(in_png.c_str(), in_png.c_str(), logo_png.c_str(), 1, IMGWATERMARK_POS_TOP_RIGHT, 1), 1);
    const picture out = decode(in_png);
    EXPECT_EQ(diff_box(input, out), (box{240, 20, 280, 50}));
}
