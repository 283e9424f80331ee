// Where watermarks land and how one copy is blended in.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <set>
#include <utility>

#include "composite.h"
#include "test_support.h"

namespace {

rgba_image view(picture &p) { return {p.w, p.h, p.px.data()}; }

// Applies `wm` to a copy of `base` and returns the result.
picture applied(const picture &base, picture wm, int position, float opacity) {
    picture out = base;
    rgba_image image = view(out), mark = view(wm);
    apply_watermark(&image, &mark, position, opacity);
    return out;
}

// Top-left corners of all copies of a watermark whose only visible pixel is
// its top-left one.
std::set<std::pair<int, int>> stamp_origins(int W, int H, int ww, int wh, int position) {
    picture marker(ww, wh, 0);
    marker.set(0, 0, 0xFF0000FF);
    const picture base(W, H, 0x000000FF);
    const picture out = applied(base, marker, position, 1.0f);
    std::set<std::pair<int, int>> origins;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x)
            if (out.get(x, y) != base.get(x, y)) origins.insert({x, y});
    return origins;
}

}  // namespace

TEST(EdgeMargin, DependsOnImageSizeAndFit) {
    const struct {
        int size, wm, expected;
    } rows[] = {
        {99, 10, 9},   {100, 10, 20}, {30, 5, 4},    {200, 180, 10}, {100, 20, 20},
        {100, 60, 20}, {100, 61, 19}, {50, 60, 0},   {50, 50, 0},    {1, 1, 0},
        {8, 2, 3},     {INT_MAX, INT_MAX - 10, 5},
    };
    for (const auto &r : rows) EXPECT_EQ(edge_margin(r.size, r.wm), r.expected) << r.size << " " << r.wm;
}

TEST(Placement, AnchorsPutTheCornerWhereExpected) {
    const struct {
        int W, H, ww, wh, position, x, y;
    } rows[] = {
        {200, 200, 50, 20, IMGWATERMARK_POS_BOTTOM_RIGHT, 130, 160}, {200, 200, 50, 20, IMGWATERMARK_POS_TOP_LEFT, 20, 20},
        {200, 200, 50, 20, IMGWATERMARK_POS_TOP_RIGHT, 130, 20},     {200, 200, 50, 20, IMGWATERMARK_POS_BOTTOM_LEFT, 20, 160},
        {200, 200, 50, 20, IMGWATERMARK_POS_CENTER, 75, 90},         {200, 100, 180, 20, IMGWATERMARK_POS_TOP_LEFT, 10, 20},
        {200, 200, 50, 20, 6, 75, 90},                  {200, 200, 50, 20, 99, 75, 90},
        {200, 200, 50, 20, -1, 75, 90},                 {200, 200, 50, 20, INT_MIN, 75, 90},
        {200, 200, 50, 20, INT_MAX, 75, 90},            {30, 30, 5, 5, IMGWATERMARK_POS_TOP_RIGHT, 21, 4},
    };
    for (const auto &r : rows) {
        const auto origins = stamp_origins(r.W, r.H, r.ww, r.wh, r.position);
        EXPECT_EQ(origins, (std::set<std::pair<int, int>>{{r.x, r.y}})) << "position " << r.position;
    }
}

namespace {

// The placement rules as the header states them, written out here so that the
// table below does not lean on the code it checks: a margin of 20 on an axis
// of 100 pixels or more, else max(4, size / 10); where the watermark does not
// fit between two margins it is centred on that axis, or put at 0 when it is
// at least as large as the image.
int documented_margin(int size, int wm) {
    const int pad = size >= 100 ? 20 : (size / 10 > 4 ? size / 10 : 4);
    if (size >= 2 * pad + wm) return pad;
    return size > wm ? (size - wm) / 2 : 0;
}

std::pair<int, int> documented_origin(int W, int H, int ww, int wh, int position) {
    const int mx = documented_margin(W, ww), my = documented_margin(H, wh);
    const int left = mx, right = W - ww - mx, top = my, bottom = H - wh - my;
    switch (position) {
    case IMGWATERMARK_POS_TOP_LEFT: return {left, top};
    case IMGWATERMARK_POS_TOP_RIGHT: return {right, top};
    case IMGWATERMARK_POS_BOTTOM_LEFT: return {left, bottom};
    case IMGWATERMARK_POS_BOTTOM_RIGHT: return {right, bottom};
    default: return {(W - ww) / 2, (H - wh) / 2};
    }
}

}  // namespace

// On a square image both margins are equal, so a corner that took the wrong
// axis's margin would still land right. Here the two margins differ (20 on
// the long side, 9 on the 90-pixel side; on a short side the watermark may
// also be centred), and every anchor is checked on both orientations.
TEST(Placement, AnchorsOnImagesWhoseTwoMarginsDiffer) {
    const struct {
        int W, H, ww, wh;
        int mx, my;  // the margins the rules give, spelled out
    } images[] = {
        {300, 90, 40, 20, 20, 9},  // wide: 20 across, 9 down
        {90, 300, 20, 40, 9, 20},  // tall: 9 across, 20 down
        {90, 300, 40, 20, 9, 20},
        {300, 90, 60, 80, 20, 5},  // 80 does not fit between two 9s: centred, (90 - 80) / 2
        {90, 300, 75, 30, 7, 20},  // 75 does not fit between two 9s: (90 - 75) / 2
    };
    const int positions[] = {IMGWATERMARK_POS_TOP_LEFT, IMGWATERMARK_POS_TOP_RIGHT, IMGWATERMARK_POS_BOTTOM_LEFT,
                             IMGWATERMARK_POS_BOTTOM_RIGHT, IMGWATERMARK_POS_CENTER};
    for (const auto &im : images) {
        ASSERT_EQ(documented_margin(im.W, im.ww), im.mx) << im.W << " x " << im.H;
        ASSERT_EQ(documented_margin(im.H, im.wh), im.my) << im.W << " x " << im.H;
        for (int position : positions) {
            const auto origins = stamp_origins(im.W, im.H, im.ww, im.wh, position);
            EXPECT_EQ(origins, (std::set<std::pair<int, int>>{documented_origin(im.W, im.H, im.ww, im.wh, position)}))
                << im.W << " x " << im.H << ", watermark " << im.ww << " x " << im.wh << ", position " << position;
        }
    }
    // Two corners written out: bottom left of the wide image is 20 from the
    // left and 9 from the bottom; of the tall one, 9 from the left and 20 up.
    EXPECT_EQ(stamp_origins(300, 90, 40, 20, IMGWATERMARK_POS_BOTTOM_LEFT), (std::set<std::pair<int, int>>{{20, 61}}));
    EXPECT_EQ(stamp_origins(90, 300, 20, 40, IMGWATERMARK_POS_BOTTOM_LEFT), (std::set<std::pair<int, int>>{{9, 240}}));
    EXPECT_EQ(stamp_origins(90, 300, 20, 40, IMGWATERMARK_POS_TOP_RIGHT), (std::set<std::pair<int, int>>{{61, 20}}));
}

TEST(Placement, LargerWatermarkIsClippedOnAllSides) {
    const picture base(50, 40, 0x000000FF);
    const picture wm = patterned(70, 61);
    // Centre: (50-70)/2 = -10 and (40-61)/2 = -10 (truncating toward zero).
    // Bottom right: margins 0, corner (-20, -21).
    const struct {
        int position, x0, y0;
    } rows[] = {{IMGWATERMARK_POS_CENTER, -10, -10}, {IMGWATERMARK_POS_BOTTOM_RIGHT, -20, -21}, {IMGWATERMARK_POS_TOP_LEFT, 0, 0}};
    for (const auto &r : rows) {
        const picture out = applied(base, wm, r.position, 1.0f);
        for (int y = 0; y < base.h; ++y)
            for (int x = 0; x < base.w; ++x)
                ASSERT_EQ(out.get(x, y), wm.get(x - r.x0, y - r.y0)) << r.position << " at " << x << "," << y;
    }
}

TEST(Placement, TilesStepByWatermarkPlusGapFromTheMargins) {
    // 30 x 10: gaps of 20, steps 50 and 30, margins 20 on both axes.
    std::set<std::pair<int, int>> expected;
    for (int y = 20; y < 100; y += 30)
        for (int x = 20; x < 200; x += 50) expected.insert({x, y});
    EXPECT_EQ(stamp_origins(200, 100, 30, 10, IMGWATERMARK_POS_TILE), expected);

    // 100 x 60: gaps of half the size, steps 150 and 90; margins 20.
    expected.clear();
    for (int y = 20; y < 400; y += 90)
        for (int x = 20; x < 400; x += 150) expected.insert({x, y});
    EXPECT_EQ(stamp_origins(400, 400, 100, 60, IMGWATERMARK_POS_TILE), expected);

    // A watermark that does not fit: margins centre it, one copy per row
    // and column inside the image.
    EXPECT_EQ(stamp_origins(50, 50, 45, 45, IMGWATERMARK_POS_TILE), (std::set<std::pair<int, int>>{{2, 2}}));
}

TEST(Placement, TiledCopiesAreWholeAndCutAtTheEdges) {
    const picture base(120, 75, 0x000000FF);
    const picture wm = patterned(30, 10);
    const picture out = applied(base, wm, IMGWATERMARK_POS_TILE, 1.0f);
    // Margins 20 and 7 (75 / 10); origins x = 20, 70 (the next, 120, is
    // outside), y = 7, 37, 67 (the last row is cut at 75).
    for (int y = 0; y < base.h; ++y)
        for (int x = 0; x < base.w; ++x) {
            const int tx = (x - 20) % 50, ty = (y - 7) % 30;
            const bool inside = x >= 20 && y >= 7 && tx < 30 && ty < 10;
            ASSERT_EQ(out.get(x, y), inside ? wm.get(tx, ty) : base.get(x, y)) << x << "," << y;
        }
}

TEST(Opacity, NothingChangesAtOrBelowZeroAndAboveOneActsAsOne) {
    const picture base = patterned(40, 30);
    const picture wm(10, 10, 0xFF00FF80);
    for (float opacity : {0.0f, -0.5f, -INFINITY, NAN}) EXPECT_EQ(applied(base, wm, IMGWATERMARK_POS_CENTER, opacity), base);
    const picture full = applied(base, wm, IMGWATERMARK_POS_CENTER, 1.0f);
    EXPECT_NE(full, base);
    EXPECT_EQ(applied(base, wm, IMGWATERMARK_POS_CENTER, 3.0f), full);
    EXPECT_EQ(applied(base, wm, IMGWATERMARK_POS_CENTER, INFINITY), full);
}

TEST(Blend, OverOperatorOnStraightAlpha) {
    const struct {
        uint32_t src, dst;
        float opacity;
        uint32_t expected;
    } rows[] = {
        {0xFF0000FF, 0xFFFFFFFF, 0.5f, 0xFF8080FF},   // 127.5 rounds to 128
        {0x12345678 | 0xFF, 0x9ABCDEF0, 1.0f, 0x123456FF},  // opaque source wins
        {0x0000FFFF, 0xFFFFFFFF, 0.25f, 0xBFBFFFFF},  // 191.25 -> 191
        {0x000000FF, 0x783C0633, 0.5f, 0x140A0199},   // over 20% alpha: colours / 6, alpha 153
        {0x11223380, 0x00000000, 1.0f, 0x11223380},   // over transparent: source colour, scaled alpha
        {0x112233FF, 0xAABBCC00, 0.6f, 0x11223399},   // alpha round(0.6 * 255) = 153
        {0xFFFFFF00, 0x10203040, 1.0f, 0x10203040},   // transparent source: untouched
        {0xFFFFFF01, 0x10203040, 0.02f, 0x10203040},  // scaled alpha <= 0.0001: untouched
    };
    for (const auto &r : rows) {
        picture image(1, 1, r.dst), wm(1, 1, r.src);
        rgba_image i = view(image), w = view(wm);
        stamp_one(&i, &w, 0, 0, r.opacity);
        EXPECT_EQ(image.get(0, 0), r.expected) << std::hex << r.src << " over " << r.dst;
    }
}

TEST(Blend, OffsetsAnywhereAreClipped) {
    const picture base = patterned(20, 10);
    const picture wm(8, 8, 0xFFFFFFFF);
    const int outside[][2] = {{-8, 0}, {20, 0}, {0, -8}, {0, 10}, {INT_MIN, INT_MIN}, {INT_MAX, INT_MAX},
                              {INT_MAX, 0}, {0, INT_MIN}};
    for (const auto &o : outside) {
        picture out = base, mark = wm;
        rgba_image i = view(out), w = view(mark);
        stamp_one(&i, &w, o[0], o[1], 1.0f);
        EXPECT_EQ(out, base) << o[0] << "," << o[1];
    }
    picture out = base, mark = patterned(8, 8);
    rgba_image i = view(out), w = view(mark);
    stamp_one(&i, &w, -3, 7, 1.0f);
    EXPECT_EQ(diff_box(base, out), (box{0, 7, 5, 10}));
    EXPECT_EQ(out.get(0, 7), mark.get(3, 0));
    EXPECT_EQ(out.get(4, 9), mark.get(7, 2));
}
