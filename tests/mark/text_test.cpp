// Text rasterization, rotation, and the text watermark operation end to end.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "composite.h"
#include "font_data.h"
#include "imgwatermark.h"
#include "stb_truetype.h"
#include "test_support.h"
#include "text_render.h"

namespace {

picture to_picture(rgba_image img) {
    picture p;
    if (!img.pixels) return p;
    p.w = img.w;
    p.h = img.h;
    p.px.assign(img.pixels, img.pixels + static_cast<size_t>(img.w) * img.h * 4);
    std::free(img.pixels);
    return p;
}

picture render(const std::string &text, int size = 32, int r = 255, int g = 255, int b = 255) {
    EXPECT_EQ(imgwatermark_init(), 1);
    return to_picture(render_text(text.c_str(), size, r, g, b));
}

picture rotate(const picture &p, float angle) {
    picture copy = p;
    rgba_image view{copy.w, copy.h, copy.px.data()};
    return to_picture(rotate_rgba(&view, angle));
}

bool fully_transparent(const picture &p) { return alpha_box(p).x0 < 0; }

// Mean position of the visible pixels, weighted by alpha.
std::pair<double, double> centroid(const picture &p) {
    double sx = 0, sy = 0, total = 0;
    for (int y = 0; y < p.h; ++y)
        for (int x = 0; x < p.w; ++x) {
            const double a = p.at(x, y)[3];
            sx += a * x;
            sy += a * y;
            total += a;
        }
    return {sx / total, sy / total};
}

// A canvas-like picture with a solid block at its left end, to tell turns apart.
picture flag(int w, int h) {
    picture p(w, h, 0);
    p.fill_rect(1, 1, w / 4, h - 2, 0xFF0000FF);
    p.fill_rect(w / 4 + 1, h / 2, w - w / 4 - 2, 1, 0x0000FFFF);
    return p;
}

// The font file the build embeds, opened by the test itself with
// stb_truetype, so that glyph metrics, kerning and glyph bitmaps come from
// the font and not from the renderer under test. Null when it cannot be read.
const stbtt_fontinfo *font_file() {
    static const bytes data = read_bytes(IMGWATERMARK_FONT_PATH);
    static stbtt_fontinfo info;
    static const bool ok = !data.empty() && stbtt_InitFont(&info, data.data(), 0) != 0;
    return ok ? &info : nullptr;
}

int advance_in(const stbtt_fontinfo *font, int cp) {
    int advance = 0, bearing = 0;
    stbtt_GetCodepointHMetrics(font, cp, &advance, &bearing);
    return advance;
}

// Draws glyph `cp` in white with its pen at column pen_x on `baseline`:
// where the glyph's bitmap has coverage, the coverage becomes the alpha and
// replaces what was there.
void draw_glyph_by_hand(picture &canvas, const stbtt_fontinfo *font, int cp, float scale, int pen_x,
                        int baseline) {
    int x0, y0, x1, y1;
    stbtt_GetCodepointBitmapBox(font, cp, scale, scale, &x0, &y0, &x1, &y1);
    const int gw = x1 - x0, gh = y1 - y0;
    if (gw <= 0 || gh <= 0) return;
    std::vector<unsigned char> bitmap(static_cast<size_t>(gw) * gh);
    stbtt_MakeCodepointBitmap(font, bitmap.data(), gw, gh, gw, scale, scale, cp);
    for (int r = 0; r < gh; ++r)
        for (int q = 0; q < gw; ++q) {
            const unsigned char v = bitmap[static_cast<size_t>(r) * gw + q];
            const int x = pen_x + x0 + q, y = baseline + y0 + r;
            if (v != 0 && x >= 0 && y >= 0 && x < canvas.w && y < canvas.h) canvas.set(x, y, 0xFFFFFF00u | v);
        }
}

// The column where the pen stands for the second glyph of a pair: the first
// pen at 4, plus the first glyph's advance, plus the pair's kerning, each
// scaled and added in float as the renderer adds them, then truncated.
int second_pen(const stbtt_fontinfo *font, int first, int kerning, float scale) {
    float pen = 4.0f;
    pen += advance_in(font, first) * scale;
    pen += kerning * scale;
    return static_cast<int>(pen);
}

// The exact value of `angle` modulo 360, in [0, 360), for a float that is a
// whole number (every float of magnitude 2^23 or more is): its integer
// mantissa times 2^exponent, reduced by integer arithmetic.
int whole_degrees_mod_360(float angle) {
    int exponent = 0;
    const float fraction = std::frexp(angle, &exponent);  // angle = fraction * 2^exponent
    long long value = static_cast<long long>(std::ldexp(fraction, 24));
    exponent -= 24;
    long long rest = value % 360;
    for (int k = 0; k < exponent; ++k) rest = rest * 2 % 360;
    return static_cast<int>(rest < 0 ? rest + 360 : rest);
}

}  // namespace

TEST(Rasterize, CanvasHeightFollowsTheFloatLineHeight) {
    // ceilf(1172 * size / 1172) in floats is one more than size for some sizes.
    const struct {
        int size, height;
    } rows[] = {{7, 8 + 8},   {13, 14 + 8}, {14, 15 + 8}, {26, 27 + 8}, {29, 30 + 8},  {30, 30 + 8},
                {32, 32 + 8}, {48, 48 + 8}, {52, 53 + 8}, {54, 55 + 8}, {100, 100 + 8}};
    for (const auto &r : rows) EXPECT_EQ(render("H", r.size).h, r.height) << "size " << r.size;
}

TEST(Rasterize, LinesAndBreaks) {
    const int lh = 32;
    EXPECT_EQ(render("abc").h, lh + 8);
    EXPECT_EQ(render("abc\n").h, 2 * lh + 8);
    EXPECT_EQ(render("abc\n").w, render("abc").w);
    EXPECT_EQ(render("a\nbcdef").w, render("bcdef").w);  // widest line decides
    EXPECT_EQ(render("a\n\nb").h, 3 * lh + 8);

    const picture only_break = render("\n");
    EXPECT_EQ(only_break.w, 8);
    EXPECT_EQ(only_break.h, 2 * lh + 8);
    EXPECT_TRUE(fully_transparent(only_break));

    // Baselines at 30, 62, 94: glyphs without descenders end on the row above.
    const picture a = render("H"), ab = render("H\n\nH");
    EXPECT_EQ(alpha_box(a).y1, 30);
    EXPECT_EQ(alpha_box(ab).y1, 94);
    for (int y = 0; y < 40; ++y)  // the first line is drawn exactly as alone
        for (int x = 0; x < a.w; ++x) ASSERT_EQ(ab.get(x, y), a.get(x, y));
    for (int y = 40; y < 62; ++y)  // the empty middle line stays empty
        for (int x = 0; x < ab.w; ++x) ASSERT_EQ(ab.at(x, y)[3], 0);
}

TEST(Rasterize, SizeAtOrBelowZeroMeans32) {
    const picture at32 = render("Zq", 32);
    EXPECT_EQ(render("Zq", 0), at32);
    EXPECT_EQ(render("Zq", -7), at32);
    EXPECT_EQ(at32.h, 40);
}

TEST(Rasterize, ColourIsClampedAndCoverageIsAlpha) {
    const picture p = render("Wm", 40, 300, -5, 128);
    int visible = 0, partial = 0;
    for (int y = 0; y < p.h; ++y)
        for (int x = 0; x < p.w; ++x) {
            const unsigned char *q = p.at(x, y);
            if (q[3] == 0) {
                ASSERT_EQ(p.get(x, y), 0u);  // untouched pixels stay (0, 0, 0, 0)
                continue;
            }
            ++visible;
            partial += q[3] < 255;
            ASSERT_EQ(q[0], 255);
            ASSERT_EQ(q[1], 0);
            ASSERT_EQ(q[2], 128);
        }
    EXPECT_GT(visible, 100);
    EXPECT_GT(partial, 10);  // anti-aliased edges
    const box b = alpha_box(p);
    EXPECT_GE(b.x0, 4);  // the 4-pixel border
    EXPECT_GE(b.y0, 4);
}

TEST(Rasterize, BytesWithoutGlyphsTakeSpaceButDrawNothing) {
    // Glyph 0 advances 220 units: 220 * 32 / 1172 = 6.007 pixels.
    const picture plain = render("ab"), with_cr = render("ab\r");
    EXPECT_GE(with_cr.w - plain.w, 6);
    EXPECT_LE(with_cr.w - plain.w, 7);
    for (int y = 0; y < plain.h; ++y)
        for (int x = 0; x < with_cr.w; ++x)
            ASSERT_EQ(with_cr.get(x, y), x < plain.w ? plain.get(x, y) : 0u);

    const picture accented = render("\xC3\xA9");  // two bytes >= 0x80
    EXPECT_EQ(accented.w, 8 + 13);                // ceil(2 * 6.007)
    EXPECT_TRUE(fully_transparent(accented));
}

TEST(Rasterize, KerningMovesTheSecondCharacter) {
    ASSERT_EQ(imgwatermark_init(), 1);
    // At size 117.2 the scale is 0.1: "To" kerns by -81 units = -8.1 pixels.
    const float scale = 117.2f / 1172.0f;
    const int together = measure_line("To", 2, scale);
    const int apart = measure_line("T", 1, scale) + measure_line("o", 1, scale);
    EXPECT_GE(apart - together, 7);
    EXPECT_LE(apart - together, 10);
    EXPECT_EQ(measure_line("To", 2, scale), measure_line("To!", 2, scale));

    // The o drawn after T sits further left than a glyph with no pair
    // adjustment would: compare the right edge of "To" with "T" + "o" widths.
    const picture to = render("To", 117), t = render("T", 117), o = render("o", 117);
    const int right_to = alpha_box(to).x1, right_o_alone = alpha_box(o).x1 - 4;
    EXPECT_LT(right_to, (t.w - 8) + 4 + right_o_alone);
}

// Each pair is drawn as the font places it: the first glyph at pen 4, the
// second after the first's advance and the kerning of (first, second). The
// expected canvas is put together from the font file's own metrics and glyph
// bitmaps; in every pair the kerning differs from that of the reversed pair
// by at least a pixel, so kerning looked up the wrong way round moves the
// second glyph off its column.
TEST(Rasterize, KernedPairsPutTheSecondGlyphWhereTheFontSays) {
    ASSERT_EQ(imgwatermark_init(), 1);
    const stbtt_fontinfo *font = font_file();
    ASSERT_NE(font, nullptr) << IMGWATERMARK_FONT_PATH;
    // In this font, at 1000 units per em: "To" -81, "oT" 0, "AV" -59, "VA" -84.
    ASSERT_EQ(stbtt_GetCodepointKernAdvance(font, 'T', 'o'), -81);
    ASSERT_EQ(stbtt_GetCodepointKernAdvance(font, 'A', 'V'), -59);
    ASSERT_EQ(stbtt_GetCodepointKernAdvance(font, 'V', 'A'), -84);

    const int size = 120;
    const float scale = stbtt_ScaleForPixelHeight(font, static_cast<float>(size));
    int ascent = 0, descent = 0, line_gap = 0;
    stbtt_GetFontVMetrics(font, &ascent, &descent, &line_gap);
    const int height = static_cast<int>(std::ceil((ascent - descent + line_gap) * scale)) + 8;
    const int baseline = static_cast<int>(std::ceil(ascent * scale)) + 4;

    for (const char *pair : {"To", "oT", "AV", "VA", "LT", "TL", "Yo"}) {
        const int first = pair[0], second = pair[1];
        const int kerning = stbtt_GetCodepointKernAdvance(font, first, second);
        const int reversed = stbtt_GetCodepointKernAdvance(font, second, first);
        const int pen = second_pen(font, first, kerning, scale);
        ASSERT_NE(pen, second_pen(font, first, reversed, scale)) << pair << ": this pair cannot show the order";

        // The width is the pen's end rounded up, plus 4 on each side.
        float end = advance_in(font, first) * scale;
        end = end + kerning * scale;
        end = end + advance_in(font, second) * scale;
        picture expected(static_cast<int>(std::ceil(end)) + 8, height, 0);
        draw_glyph_by_hand(expected, font, first, scale, 4, baseline);
        draw_glyph_by_hand(expected, font, second, scale, pen, baseline);

        const picture drawn = render(pair, size);
        ASSERT_EQ(drawn.w, expected.w) << pair;
        ASSERT_EQ(drawn.h, expected.h) << pair;
        EXPECT_EQ(drawn, expected) << pair << ": second glyph expected with its pen at column " << pen << " (kerning "
                                   << kerning << " units)";
    }
}

TEST(Rasterize, ImpossibleCanvasFailsCleanly) {
    ASSERT_EQ(imgwatermark_init(), 1);
    for (int size : {INT_MAX, 2000000000}) {
        rgba_image c = render_text("W", size, 0, 0, 0);
        EXPECT_EQ(c.pixels, nullptr) << size;
    }
}

TEST(Rotate, QuarterAndHalfTurns) {
    const picture f = flag(40, 12);
    const struct {
        float angle;
        int w, h;
        const char *red_block_at;  // where the left end of the text goes
    } rows[] = {{90, 12, 40, "bottom"}, {-90, 12, 40, "top"}, {270, 12, 40, "top"}, {180, 40, 12, "right"}};
    for (const auto &r : rows) {
        const picture turned = rotate(f, r.angle);
        ASSERT_EQ(turned.w, r.w) << r.angle;
        ASSERT_EQ(turned.h, r.h) << r.angle;
        picture red_only = turned;
        for (int y = 0; y < turned.h; ++y)
            for (int x = 0; x < turned.w; ++x)
                if (turned.at(x, y)[0] < 128 || turned.at(x, y)[2] > 0) red_only.set(x, y, 0);
        const auto [rx, ry] = centroid(red_only);
        const std::string where = r.red_block_at;
        const double along = where == "right" ? rx / turned.w : ry / turned.h;
        if (where == "top") {
            EXPECT_LT(along, 0.3) << r.angle;
        } else {
            EXPECT_GT(along, 0.7) << r.angle;
        }
        // Quarter turns move whole pixels: the opaque pixel count is kept.
        int opaque_in = 0, opaque_out = 0;
        for (size_t i = 3; i < f.px.size(); i += 4) opaque_in += f.px[i] == 255;
        for (size_t i = 3; i < turned.px.size(); i += 4) opaque_out += turned.px[i] == 255;
        EXPECT_EQ(opaque_out, opaque_in) << r.angle;
    }
    const picture half = rotate(f, 180);
    for (int y = 0; y < f.h; ++y)
        for (int x = 0; x < f.w; ++x) ASSERT_EQ(half.get(x, y), f.get(f.w - 1 - x, f.h - 1 - y));
}

TEST(Rotate, WholeTurnsAndNonFiniteAnglesCopy) {
    const picture f = flag(30, 10);
    for (float angle : {360.0f, 720.0f, -360.0f, 0.00005f, NAN, INFINITY, -INFINITY}) {
        EXPECT_EQ(rotate(f, angle), f) << angle;
    }
}

TEST(Rotate, BoundingBoxOfObliqueTurns) {
    const picture canvas(108, 40, 0xFFFFFFFF);
    const struct {
        float angle;
        int w, h;
    } rows[] = {{45, 105, 105}, {30, 114, 89}, {-30, 114, 89}, {135, 105, 105},
                // 1e30 as a float is 120 modulo 360: ceil(108 cos 60 + 40 sin 60) = 89
                // wide, ceil(108 sin 60 + 40 cos 60) = 114 high.
                {1e30f, 89, 114}};
    for (const auto &r : rows) {
        const picture turned = rotate(canvas, r.angle);
        EXPECT_EQ(turned.w, r.w) << r.angle;
        EXPECT_EQ(turned.h, r.h) << r.angle;
        for (auto [x, y] : {std::pair{0, 0}, {turned.w - 1, 0}, {0, turned.h - 1}, {turned.w - 1, turned.h - 1}})
            EXPECT_EQ(turned.get(x, y), 0u) << r.angle << " corner " << x << "," << y;
        EXPECT_EQ(turned.get(turned.w / 2, turned.h / 2), 0xFFFFFFFFu);
    }
}

// A huge angle turns by its exact remainder modulo 360: the same pixels as
// the small angle, the turned box of that angle.
TEST(Rotate, HugeAnglesTurnByTheirExactRemainder) {
    const picture f = flag(60, 18);
    const struct {
        float angle;
        int degrees;  // the remainder, worked out by hand
    } rows[] = {{1e30f, 120}, {-1e30f, 240}, {1e20f, 272}, {3.0e38f, 152}, {16777216.0f, 136},
                {std::ldexp(360.0f, 40), 0}};  // a whole number of turns: a copy
    for (const auto &r : rows) {
        ASSERT_EQ(whole_degrees_mod_360(r.angle), r.degrees) << r.angle;
        const picture turned = rotate(f, r.angle);
        const picture small = rotate(f, static_cast<float>(r.degrees));
        EXPECT_EQ(turned, small) << r.angle << " against " << r.degrees;
        const double rad = r.degrees * 3.141592653589793 / 180.0;
        const double c = std::fabs(std::cos(rad)), s = std::fabs(std::sin(rad));
        EXPECT_EQ(turned.w, static_cast<int>(std::ceil(f.w * c + f.h * s - 1e-9))) << r.angle;
        EXPECT_EQ(turned.h, static_cast<int>(std::ceil(f.w * s + f.h * c - 1e-9))) << r.angle;
    }
}

// A canvas whose turned bounding box has a side beyond int is refused before
// any pixel is read (the block here is one pixel, so a read would be far out
// of bounds).
TEST(Rotate, TurnedBoxBeyondIntFails) {
    unsigned char pixel[4] = {255, 255, 255, 255};
    const rgba_image huge{2000000000, 2000000000, pixel};
    const rgba_image turned = rotate_rgba(&huge, 45.0f);
    EXPECT_EQ(turned.pixels, nullptr);
    std::free(turned.pixels);
}

TEST(Rotate, NoDarkFringeAtGlyphEdges) {
    const picture text = render("Kiwi", 40, 255, 255, 255);
    for (float angle : {30.0f, 45.0f, 17.5f, -100.0f}) {
        const picture turned = rotate(text, angle);
        int partial = 0;
        for (int y = 0; y < turned.h; ++y)
            for (int x = 0; x < turned.w; ++x) {
                const unsigned char *q = turned.at(x, y);
                // Samples whose alpha rounds to 0 may keep their colour; what
                // matters is that no visible pixel turns grey.
                if (q[3] == 0) continue;
                partial += q[3] < 255;
                ASSERT_EQ(q[0], 255) << angle;
                ASSERT_EQ(q[1], 255) << angle;
                ASSERT_EQ(q[2], 255) << angle;
            }
        EXPECT_GT(partial, 20);
    }
}

// ---------------------------------------------------------------------------
// The operation through its export

class TextOperation : public ::testing::Test {
protected:
    scratch_dir dir;
    std::string in_png = dir.file("in.png");
    picture input = patterned(640, 480);
    void SetUp() override { save_png(in_png, input); }

    // The canvas the operation lays down: the rendered text, turned. A
    // quarter turn moves whole pixels, so it is done here by hand (text
    // reading upward: the canvas's left end goes to the bottom); other
    // angles use the rotation the Rotate tests check.
    picture mark_canvas(const std::string &text, int size, float angle, int r, int g, int b) {
        const picture canvas = render(text, size, r, g, b);
        if (!std::isfinite(angle) || std::fabs(angle) <= 0.0001f) return canvas;
        if (angle != 90.0f) return rotate(canvas, angle);
        picture turned(canvas.h, canvas.w, 0);
        for (int y = 0; y < turned.h; ++y)
            for (int x = 0; x < turned.w; ++x) turned.set(x, y, canvas.get(canvas.w - 1 - y, x));
        EXPECT_EQ(rotate(canvas, angle), turned) << "a quarter turn should move whole pixels";
        return turned;
    }

    // Where the copies' top-left corners go on this 640 x 480 input, by the
    // stated rules: margins of 20 (both sides are over 100 and the marks are
    // small), the centre rounded down, tiles stepping by the mark plus a gap
    // of 20, or of half the mark when that is wider than 40.
    std::vector<std::pair<int, int>> origins(int ww, int wh, int position) const {
        const int W = input.w, H = input.h;
        EXPECT_LE(40 + ww, W);
        EXPECT_LE(40 + wh, H);
        switch (position) {
        case 1: return {{20, 20}};
        case 2: return {{W - 20 - ww, 20}};
        case 3: return {{20, H - 20 - wh}};
        case 4: return {{W - 20 - ww, H - 20 - wh}};
        case 5: {
            std::vector<std::pair<int, int>> grid;
            const int step_x = ww + (ww <= 40 ? 20 : ww / 2), step_y = wh + (wh <= 40 ? 20 : wh / 2);
            for (int y = 20; y < H; y += step_y)
                for (int x = 20; x < W; x += step_x) grid.push_back({x, y});
            return grid;
        }
        default: return {{(W - ww) / 2, (H - wh) / 2}};
        }
    }

    // Checks `result` against the input with the text's canvas laid at the
    // rules' places in the text colour, its coverage as alpha scaled by
    // `opacity`, "over" the opaque input. Worked out here, not with the
    // library's blending: where no copy covers a pixel, or its coverage is 0,
    // the input's pixel stays; full coverage gives the colour itself at
    // opacity 1 and the mean of colour and input rounded half up at 0.5;
    // partial coverage gives, per channel, input + (colour - input) *
    // coverage * opacity rounded to the nearest step. The image stays opaque.
    // Returns the number of fully covered pixels checked.
    int expect_marked(const picture &result, const std::string &text, int size, float opacity, float angle,
                      int position, int r, int g, int b) {
        const picture canvas = mark_canvas(text, size, angle, r, g, b);
        EXPECT_EQ(result.w, input.w);
        EXPECT_EQ(result.h, input.h);
        if (result.w != input.w || result.h != input.h || canvas.w == 0) return 0;
        std::vector<int> coverage(static_cast<size_t>(input.w) * input.h, -1);  // -1: no copy here
        for (auto [x0, y0] : origins(canvas.w, canvas.h, position))
            for (int y = 0; y < canvas.h; ++y)
                for (int x = 0; x < canvas.w; ++x)
                    if (x0 + x < input.w && y0 + y < input.h)
                        coverage[static_cast<size_t>(y0 + y) * input.w + x0 + x] = canvas.at(x, y)[3];
        const int colour[3] = {r, g, b};
        int full = 0, wrong = 0;
        for (int y = 0; y < input.h && wrong < 5; ++y)
            for (int x = 0; x < input.w && wrong < 5; ++x) {
                const int a = coverage[static_cast<size_t>(y) * input.w + x];
                const unsigned char *d = input.at(x, y), *o = result.at(x, y);
                bool ok = o[3] == 255;
                if (a <= 0) {
                    ok = result.get(x, y) == input.get(x, y);
                } else {
                    full += a == 255;
                    for (int c = 0; c < 3; ++c) {
                        // Rounded to nearest; within float error of a half
                        // step either neighbour will do.
                        const double exact = d[c] + (colour[c] - d[c]) * (a / 255.0) * opacity;
                        const double lowest = std::floor(exact + 0.5 - 1e-3), highest = std::floor(exact + 0.5 + 1e-3);
                        ok = ok && o[c] >= std::min<int>(d[c], colour[c]) && o[c] <= std::max<int>(d[c], colour[c]) &&
                             o[c] >= lowest && o[c] <= highest;
                        if (a == 255 && opacity == 1.0f) ok = ok && o[c] == colour[c];
                        if (a == 255 && opacity == 0.5f) ok = ok && o[c] == (d[c] + colour[c] + 1) / 2;
                    }
                }
                if (!ok) {
                    ++wrong;
                    ADD_FAILURE() << "pixel " << x << "," << y << " coverage " << a << ": input " << std::hex
                                  << input.get(x, y) << ", result " << result.get(x, y) << std::dec;
                }
            }
        return full;
    }
};

TEST_F(TextOperation, BottomRightCornerSitsTwentyPixelsFromTheEdges) {
    const std::string out = dir.file("out.png");
    ASSERT_EQ(imgwatermark_text(in_png.c_str(), out.c_str(), "Velmora", 48, 0.5f, 0, 4, 255, 255, 255), 1)
        << imgwatermark_last_error();
    EXPECT_STREQ(imgwatermark_last_error(), "");
    EXPECT_EQ(format_of_bytes(read_bytes(out)), "png");
    const picture result = decode(out);
    const picture canvas = render("Velmora", 48);
    const box changed = diff_box(input, result);
    EXPECT_GE(changed.x0, 620 - canvas.w + 4);
    EXPECT_GE(changed.y0, 460 - canvas.h + 4);
    EXPECT_LE(changed.x1, 620 - 4 + 2);  // glyph overhang may pass the advance
    EXPECT_LE(changed.y1, 460 - 4);
    EXPECT_GT(expect_marked(result, "Velmora", 48, 0.5f, 0, 4, 255, 255, 255), 100);
    // Half-strength white over the photo: every changed pixel got lighter.
    for (int y = changed.y0; y < changed.y1; ++y)
        for (int x = changed.x0; x < changed.x1; ++x)
            for (int c = 0; c < 3; ++c) ASSERT_GE(result.at(x, y)[c], input.at(x, y)[c]);
}

TEST_F(TextOperation, TurnedTextAtTheTopLeftMargins) {
    const std::string out = dir.file("out.png");
    ASSERT_EQ(imgwatermark_text(in_png.c_str(), out.c_str(), "Up", 40, 1.0f, 90, 1, 0, 0, 0), 1);
    const picture canvas = render("Up", 40);
    const box changed = diff_box(input, decode(out));
    // The turned canvas is canvas.h wide and canvas.w high, its corner at (20, 20).
    EXPECT_GE(changed.x0, 20);
    EXPECT_GE(changed.y0, 20);
    EXPECT_LE(changed.x1, 20 + canvas.h);
    EXPECT_LE(changed.y1, 20 + canvas.w);
    EXPECT_GT(changed.y1 - changed.y0, changed.x1 - changed.x0);  // reads upward: taller than wide
    EXPECT_GT(expect_marked(decode(out), "Up", 40, 1.0f, 90, 1, 0, 0, 0), 50);
}

TEST_F(TextOperation, RotatedTiledMultiLineMatchesItsParts) {
    const std::string out = dir.file("out.bmp");
    ASSERT_EQ(imgwatermark_text(in_png.c_str(), out.c_str(), "two\nlines", 0, 0.5f, 30, 5, 255, 0, 0), 1);
    EXPECT_EQ(format_of_bytes(read_bytes(out)), "bmp");
    expect_marked(decode(out), "two\nlines", 32, 0.5f, 30, 5, 255, 0, 0);
}

TEST_F(TextOperation, ZeroOpacityAndNonFiniteValuesLeaveTheImage) {
    const std::string out = dir.file("out.png");
    for (float opacity : {0.0f, -1.0f, NAN}) {
        ASSERT_EQ(imgwatermark_text(in_png.c_str(), out.c_str(), "gone", 30, opacity, 0, 0, 9, 9, 9), 1);
        EXPECT_EQ(decode(out), input) << opacity;
    }
    for (float angle : {NAN, INFINITY, -INFINITY}) {
        ASSERT_EQ(imgwatermark_text(in_png.c_str(), out.c_str(), "flat", 30, 1, angle, 0, 9, 9, 9), 1);
        EXPECT_GT(expect_marked(decode(out), "flat", 30, 1, angle, 0, 9, 9, 9), 50) << angle;
    }
}

TEST_F(TextOperation, OutputMayBeTheInput) {
    ASSERT_EQ(imgwatermark_text(in_png.c_str(), in_png.c_str(), "same", 30, 1, 0, 3, 0, 255, 0), 1);
    EXPECT_GT(expect_marked(decode(in_png), "same", 30, 1, 0, 3, 0, 255, 0), 50);
}

TEST_F(TextOperation, OutputFormatFollowsNameThenInput) {
    save_jpg(dir.file("photo.jpg"), input);
    write_bytes(dir.file("anim.gif"), gif_2x2());
    const struct {
        std::string in, out, kind;
    } rows[] = {
        {in_png, dir.file("b.jpg"), "jpg"},           {in_png, dir.file("b.BMP"), "bmp"},
        {dir.file("photo.jpg"), dir.file("b.out"), "jpg"}, {dir.file("photo.jpg"), dir.file("c.png"), "png"},
        {dir.file("anim.gif"), dir.file("b.gif"), "png"},  {in_png, dir.file("noext"), "png"},
    };
    for (const auto &r : rows) {
        ASSERT_EQ(imgwatermark_text(r.in.c_str(), r.out.c_str(), "x", 0, 0, 0, 0, 0, 0, 0), 1) << r.out;
        EXPECT_EQ(format_of_bytes(read_bytes(r.out)), r.kind) << r.out;
    }
    const picture from_jpeg = decode(dir.file("c.png"));
    for (size_t i = 3; i < from_jpeg.px.size(); i += 4) ASSERT_EQ(from_jpeg.px[i], 255);
    EXPECT_EQ(decode(dir.file("b.gif")).w, 2);
}

TEST_F(TextOperation, FailuresReportTheirStepAndWriteNothing) {
    const std::string out = dir.file("out.png");
    const std::string missing = dir.file("missing.png");
    const struct {
        std::string in, out, text;
        int size;
        float angle;
        std::string message;
    } rows[] = {
        {missing, out, "", 0, 0, "cannot read file: " + missing},  // input read before the text is examined
        {in_png, out, "", 0, 0, "empty text string"},
        {in_png, out, "W", INT_MAX, 0, "out of memory creating text buffer"},
        {in_png, dir.file("nodir/out.png"), "W", 0, 0, "failed to write image to " + dir.file("nodir/out.png")},
    };
    for (const auto &r : rows) {
        imgwatermark_cleanup();
        EXPECT_EQ(imgwatermark_text(r.in.c_str(), r.out.c_str(), r.text.c_str(), r.size, 1, r.angle, 0, 0, 0, 0), 0);
        EXPECT_EQ(std::string(imgwatermark_last_error()), r.message);
        EXPECT_FALSE(fs::exists(r.out));
    }
}

TEST_F(TextOperation, TurnedCanvasTooLargeToAllocate) {
    // A 20,000-character line fits as a canvas, but its 45-degree bounding box
    // needs about 180 GB.
    const std::string text(20000, 'W');
    const std::string out = dir.file("out.png");
    EXPECT_EQ(imgwatermark_text(in_png.c_str(), out.c_str(), text.c_str(), 32, 1, 45, 0, 0, 0, 0), 0);
    EXPECT_STREQ(imgwatermark_last_error(), "failed to rotate watermark text");
    EXPECT_FALSE(fs::exists(out));
}
