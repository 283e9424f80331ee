#include "encoder_fixtures.h"

#include <cmath>

uint32_t next_random(uint32_t *state) {
    uint32_t x = *state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    *state = x;
    return x;
}

namespace {

unsigned char clamp_byte(int v) { return static_cast<unsigned char>(v < 0 ? 0 : v > 255 ? 255 : v); }

}  // namespace

const char *content_name(content c) {
    switch (c) {
    case content::noise: return "noise";
    case content::gradient: return "gradient";
    case content::solid: return "solid";
    case content::alpha_ramp: return "alpha_ramp";
    case content::photo: return "photo";
    }
    return "?";
}

const std::vector<content> &all_contents() {
    static const std::vector<content> all = {content::noise, content::gradient, content::solid, content::alpha_ramp,
                                             content::photo};
    return all;
}

picture make_content(content c, int w, int h, uint32_t seed) {
    picture p(w, h);
    uint32_t state = seed * 2654435761u + 1;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            unsigned char *q = p.at(x, y);
            switch (c) {
            case content::noise: {
                const uint32_t r = next_random(&state);
                q[0] = static_cast<unsigned char>(r);
                q[1] = static_cast<unsigned char>(r >> 8);
                q[2] = static_cast<unsigned char>(r >> 16);
                q[3] = static_cast<unsigned char>(r >> 24);
                break;
            }
            case content::gradient:
                q[0] = static_cast<unsigned char>(w > 1 ? x * 255 / (w - 1) : 0);
                q[1] = static_cast<unsigned char>(h > 1 ? y * 255 / (h - 1) : 0);
                q[2] = static_cast<unsigned char>((x + y) / 2);
                q[3] = 255;
                break;
            case content::solid:
                q[0] = 200, q[1] = 30, q[2] = 90, q[3] = 255;
                break;
            case content::alpha_ramp:
                q[0] = 20, q[1] = 140, q[2] = 250;
                q[3] = static_cast<unsigned char>(w > 1 ? x * 255 / (w - 1) : 128);
                break;
            case content::photo: {
                // Sky gradient, a sun disc with a hard rim, textured ground
                // below a wavy horizon, and a little sensor noise.
                const double fx = static_cast<double>(x) / (w > 1 ? w - 1 : 1);
                const double fy = static_cast<double>(y) / (h > 1 ? h - 1 : 1);
                int r = static_cast<int>(60 + 120 * fy), g = static_cast<int>(110 + 90 * fy),
                    b = static_cast<int>(220 - 70 * fy);
                const double dx = fx - 0.7, dy = fy - 0.25;
                if (dx * dx + dy * dy < 0.01) r = 250, g = 205, b = 70;
                if (fy > 0.6 + 0.05 * std::sin(fx * 25.0)) {
                    r = 50 + (x * 7 + y * 3) % 40;
                    g = 110 + (x ^ y) % 60;
                    b = 40 + (y % 23);
                }
                const int n = static_cast<int>(next_random(&state) % 9) - 4;
                q[0] = clamp_byte(r + n), q[1] = clamp_byte(g + n), q[2] = clamp_byte(b - n), q[3] = 255;
                break;
            }
            }
        }
    }
    return p;
}

const std::vector<test_size> &small_sizes() {
    static const std::vector<test_size> sizes = {
        {1, 1},  {1, 17}, {17, 1}, {2, 2},   {7, 9},   {8, 8},   {9, 7},  {15, 17},
        {16, 16}, {17, 15}, {31, 33}, {33, 8}, {8, 33}, {63, 5}, {101, 37},
    };
    return sizes;
}

void collected::append(void *context, void *data, int size) {
    auto *c = static_cast<collected *>(context);
    const auto *b = static_cast<const unsigned char *>(data);
    c->data.insert(c->data.end(), b, b + size);
}
