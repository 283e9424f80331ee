#include "text_render.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "font_face.h"

namespace {

// Calls visit(start, length, ended_at_newline) for every line of `text`: the
// bytes before each '\n' (possibly none), then any bytes after the last one.
// A trailing '\n' ends the scan without an extra empty line.
template <class Visit>
void for_each_line(const char *text, Visit visit) {
    const char *p = text;
    for (;;) {
        const char *newline = std::strchr(p, '\n');
        if (!newline) {
            if (*p != '\0') visit(p, std::strlen(p), false);
            return;
        }
        visit(p, static_cast<size_t>(newline - p), true);
        p = newline + 1;
        if (*p == '\0') return;
    }
}

// Text bytes reach the font as signed values, so 0x80-0xFF become negative
// codes that no character map covers (glyph 0).
int codepoint(char c) { return static_cast<int>(static_cast<signed char>(c)); }

int advance_of(int cp) {
    int advance = 0, left_side_bearing = 0;
    stbtt_GetCodepointHMetrics(&s_font, cp, &advance, &left_side_bearing);
    return advance;
}

int kern_of(int cp, int next) { return stbtt_GetCodepointKernAdvance(&s_font, cp, next); }

int clamp_channel(int v) { return std::min(255, std::max(0, v)); }

// Glyph coordinates at this scale stay far inside the rasterizer's int range.
bool glyph_scale_is_safe(int cp, float scale) {
    int x0, y0, x1, y1;
    if (!stbtt_GetCodepointBox(&s_font, cp, &x0, &y0, &x1, &y1)) return true;  // no outline
    const float limit = 268435456.0f;  // 2^28
    int extent = std::max(std::max(std::abs(x0), std::abs(x1)), std::max(std::abs(y0), std::abs(y1)));
    return static_cast<float>(extent + 1) * scale < limit;
}

// Rasterizes one glyph and copies its non-zero coverage into the canvas at
// (gx, gy) offsets; the alpha is replaced, so a later glyph wins where they
// overlap.
void draw_glyph(rgba_image *canvas, int cp, float scale, long long pen_x, long long baseline,
                const unsigned char colour[3]) {
    if (!glyph_scale_is_safe(cp, scale)) return;
    int x0, y0, x1, y1;
    stbtt_GetCodepointBitmapBox(&s_font, cp, scale, scale, &x0, &y0, &x1, &y1);
    const int gw = x1 - x0, gh = y1 - y0;
    if (gw <= 0 || gh <= 0) return;
    size_t bytes;
    if (__builtin_mul_overflow(static_cast<size_t>(gw), static_cast<size_t>(gh), &bytes)) return;
    auto *bitmap = static_cast<unsigned char *>(std::calloc(bytes, 1));
    if (!bitmap) return;
    stbtt_MakeCodepointBitmap(&s_font, bitmap, gw, gh, gw, scale, scale, cp);

    const long long gx = x0 + pen_x, gy = y0 + baseline;
    const long long r_begin = std::max(0LL, -gy), r_end = std::min<long long>(gh, canvas->h - gy);
    const long long q_begin = std::max(0LL, -gx), q_end = std::min<long long>(gw, canvas->w - gx);
    for (long long r = r_begin; r < r_end; ++r) {
        const unsigned char *row = bitmap + static_cast<size_t>(r) * gw;
        unsigned char *dst = canvas->pixels + (static_cast<size_t>(gy + r) * canvas->w) * 4;
        for (long long q = q_begin; q < q_end; ++q) {
            unsigned char v = row[q];
            if (v == 0) continue;
            unsigned char *px = dst + static_cast<size_t>(gx + q) * 4;
            px[0] = colour[0];
            px[1] = colour[1];
            px[2] = colour[2];
            px[3] = v;
        }
    }
    std::free(bitmap);
}

}  // namespace

int measure_line(const char *start, size_t length, float scale) {
    float pen = 0.0f;
    for (size_t k = 0; k < length; ++k) {
        const int cp = codepoint(start[k]);
        float w = pen + advance_of(cp) * scale;
        if (k + 1 == length) {
            int width;
            return float_to_int_checked(std::ceil(w), &width) ? width : -1;
        }
        pen = w + kern_of(cp, codepoint(start[k + 1])) * scale;
    }
    return 0;
}

rgba_image render_text(const char *text, int font_size, int red, int green, int blue) {
    const rgba_image failed{0, 0, nullptr};
    const int size = font_size > 0 ? font_size : 32;
    const float scale = stbtt_ScaleForPixelHeight(&s_font, static_cast<float>(size));
    int ascent = 0, descent = 0, line_gap = 0;
    stbtt_GetFontVMetrics(&s_font, &ascent, &descent, &line_gap);

    int line_height;
    if (!float_to_int_checked(std::ceil((ascent - descent + line_gap) * scale), &line_height)) return failed;
    if (line_height <= 0) line_height = size;

    size_t line_count = 1;
    for (const char *p = text; *p; ++p) line_count += (*p == '\n');

    bool measurable = true;
    long long max_w = 0;
    for_each_line(text, [&](const char *start, size_t length, bool) {
        if (length == 0 || !measurable) return;
        int width = measure_line(start, length, scale);
        if (width < 0) measurable = false;
        max_w = std::max<long long>(max_w, width);
    });
    if (!measurable) return failed;

    long long canvas_w = max_w + 8;
    if (canvas_w <= 0) canvas_w = 1;
    long long lines_height;
    if (__builtin_mul_overflow(static_cast<long long>(line_count), static_cast<long long>(line_height),
                               &lines_height) ||
        lines_height > INT32_MAX)
        return failed;
    rgba_image canvas = alloc_rgba(canvas_w, lines_height + 8);
    if (!canvas.pixels) return failed;

    int ascent_px;
    if (!float_to_int_checked(std::ceil(ascent * scale), &ascent_px)) {
        std::free(canvas.pixels);
        return failed;
    }
    long long baseline = static_cast<long long>(ascent_px) + 4;
    const unsigned char colour[3] = {static_cast<unsigned char>(clamp_channel(red)),
                                     static_cast<unsigned char>(clamp_channel(green)),
                                     static_cast<unsigned char>(clamp_channel(blue))};

    for_each_line(text, [&](const char *start, size_t length, bool ended_at_newline) {
        float pen = 4.0f;
        for (size_t k = 0; k < length; ++k) {
            const int cp = codepoint(start[k]);
            int pen_x;
            // The pen never passes the measured width, which fits the canvas.
            if (float_to_int_checked(pen, &pen_x)) draw_glyph(&canvas, cp, scale, pen_x, baseline, colour);
            pen += advance_of(cp) * scale;
            if (k + 1 < length) pen += kern_of(cp, codepoint(start[k + 1])) * scale;
        }
        if (ended_at_newline) baseline += line_height;
    });
    return canvas;
}

// ---------------------------------------------------------------------------
// Rotation

namespace {

rgba_image copy_of(const rgba_image *src) {
    rgba_image copy = alloc_rgba(src->w, src->h);
    if (copy.pixels) std::memcpy(copy.pixels, src->pixels, static_cast<size_t>(src->w) * src->h * 4);
    return copy;
}

// Snaps values that are zero in exact arithmetic (cos 90 degrees, say) to 0.
double snap15(double v) { return std::round(v * 1e15) / 1e15; }

// Bounding box size of the W x H canvas turned by the snapped cos/sin, each
// side at least 1. With |c|, |s| <= 1 a side is below 3.1e9, so it always fits
// a long long; a side beyond int is left for alloc_rgba to refuse.
void turned_size(int W, int H, double c, double s, long long *out_w, long long *out_h) {
    const double corners[4][2] = {{0, 0}, {static_cast<double>(W), 0}, {static_cast<double>(W), static_cast<double>(H)},
                                  {0, static_cast<double>(H)}};
    double min_x = 1e30, max_x = -1e30, min_y = 1e30, max_y = -1e30;
    for (const auto &corner : corners) {
        double dx = corner[0] - W / 2.0, dy = corner[1] - H / 2.0;
        double rx = c * dx - s * dy, ry = s * dx + c * dy;
        min_x = std::min(min_x, rx);
        max_x = std::max(max_x, rx);
        min_y = std::min(min_y, ry);
        max_y = std::max(max_y, ry);
    }
    *out_w = std::max(1LL, static_cast<long long>(std::ceil(max_x - min_x)));
    *out_h = std::max(1LL, static_cast<long long>(std::ceil(max_y - min_y)));
}

// Alpha-weighted bilinear sample of src around (u, v), pixel-centre
// coordinates known to lie inside the canvas.
void sample_bilinear(const rgba_image *src, double u, double v, unsigned char *out) {
    const int W = src->w, H = src->h;
    int x0 = static_cast<int>(std::floor(u)), y0 = static_cast<int>(std::floor(v));
    if (x0 < 0) x0 = 0;
    if (x0 >= W - 1) x0 = W - 2;
    if (y0 < 0) y0 = 0;
    if (y0 >= H - 1) y0 = H - 2;
    // Canvases one pixel wide or high have no second column or row.
    x0 = std::max(x0, 0);
    y0 = std::max(y0, 0);
    const int x1 = std::min(x0 + 1, W - 1), y1 = std::min(y0 + 1, H - 1);

    const float fx = static_cast<float>(u - x0), fy = static_cast<float>(v - y0);
    const float ax = fx < 0.0f ? 0.0f : std::min(fx, 1.0f);
    const float ay = fy < 0.0f ? 0.0f : std::min(fy, 1.0f);
    const float w[4] = {(1.0f - ax) * (1.0f - ay), ax * (1.0f - ay), (1.0f - ax) * ay, ax * ay};
    const unsigned char *p[4] = {src->pixels + (static_cast<size_t>(y0) * W + x0) * 4,
                                 src->pixels + (static_cast<size_t>(y0) * W + x1) * 4,
                                 src->pixels + (static_cast<size_t>(y1) * W + x0) * 4,
                                 src->pixels + (static_cast<size_t>(y1) * W + x1) * 4};
    alpha_weighted_mix(p, w, out);
}

}  // namespace

rgba_image rotate_rgba(const rgba_image *canvas, float angle_degrees) {
    if (!std::isfinite(angle_degrees)) return copy_of(canvas);
    double a = std::fmod(static_cast<double>(angle_degrees), 360.0);
    if (a < 0) a += 360.0;
    if (std::fabs(a) < 0.0001 || std::fabs(a - 360.0) < 0.0001) return copy_of(canvas);

    const double theta = (a * (-3.141592653589793)) / 180.0;
    const double c = std::cos(theta);
    const double s_box = std::sin(theta);
    long long ow, oh;
    turned_size(canvas->w, canvas->h, snap15(c), snap15(s_box), &ow, &oh);
    rgba_image out = alloc_rgba(ow, oh);
    if (!out.pixels) return out;

    const int W = canvas->w, H = canvas->h;
    const double s = std::sin(-theta);
    const double half_ow = out.w / 2.0, half_oh = out.h / 2.0, half_w = W / 2.0, half_h = H / 2.0;
    unsigned char *dst = out.pixels;
    for (int j = 0; j < out.h; ++j) {
        const double fy = j + 0.5 - half_oh;
        const double s_fy = s * fy, c_fy = c * fy;
        for (int i = 0; i < out.w; ++i, dst += 4) {
            const double fx = i + 0.5 - half_ow;
            const double u = c * fx - s_fy + half_w - 0.5;
            const double v = s * fx + c_fy + half_h - 0.5;
            if (u < -0.5 || u > W - 0.5 || v < -0.5 || v > H - 0.5) continue;  // stays transparent
            sample_bilinear(canvas, u, v, dst);
        }
    }
    return out;
}
