// Every number of the text and image operations drawn from the input, over a
// small fixed image: font size, opacity, angle, position, scale, colours and
// the text bytes, with NaN, infinities and the int extremes well represented.
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "fuzz_common.h"

namespace {

struct reader {
    const uint8_t *p;
    size_t left;
    uint32_t u32() {
        uint32_t v = 0;
        for (int k = 0; k < 4; ++k) {
            v = (v << 8) | (left ? (--left, *p++) : 0u);
        }
        return v;
    }
    uint8_t u8() { return left ? (--left, *p++) : 0; }
};

float special_float(uint8_t pick, uint32_t bits) {
    switch (pick % 12) {
    case 0: return std::numeric_limits<float>::quiet_NaN();
    case 1: return std::numeric_limits<float>::infinity();
    case 2: return -std::numeric_limits<float>::infinity();
    case 3: return 1e30f;
    case 4: return -1e30f;
    case 5: return 1e-30f;
    case 6: return 0.0f;
    case 7: return -0.0f;
    case 8: return std::numeric_limits<float>::denorm_min();
    default: {
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }
    }
}

int special_int(uint8_t pick, uint32_t bits) {
    switch (pick % 8) {
    case 0: return INT_MIN;
    case 1: return INT_MAX;
    case 2: return -1;
    case 3: return 0;
    default: return static_cast<int>(bits);
    }
}

// Font sizes the library must either draw quickly or refuse quickly: up to a
// few hundred pixels, and the absurd sizes whose canvas cannot be allocated.
// Sizes in between are legitimate requests for gigabyte canvases, which the
// library honours; they would only measure the machine's memory.
int font_size_of(uint8_t pick, uint32_t bits) {
    switch (pick % 8) {
    case 0: return INT_MAX;
    case 1: return INT_MIN;
    case 2: return 1000000;
    case 3: return 0;
    case 4: return -static_cast<int>(bits & 0x7FFFFFF);
    default: return static_cast<int>(bits % 200);
    }
}

// Scales likewise: finite ones kept to a watermark of at most a few thousand
// pixels a side, plus values that overflow or vanish.
float scale_of(uint8_t pick, uint32_t bits) {
    const float s = special_float(pick, bits);
    if (std::isfinite(s) && std::fabs(s) > 200.0f && std::fabs(s) < 1e6f) return std::fmod(s, 200.0f);
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::make_fixtures(40, 30, 9, 7);
    reader in{data, size};
    const uint8_t picks[8] = {in.u8(), in.u8(), in.u8(), in.u8(), in.u8(), in.u8(), in.u8(), in.u8()};
    const int font_size = font_size_of(picks[0], in.u32());
    const float opacity = special_float(picks[1], in.u32());
    const float angle = special_float(picks[2], in.u32());
    const int position = special_int(picks[3], in.u32());
    const float scale = scale_of(picks[4], in.u32());
    const int red = special_int(picks[5], in.u32());
    const int green = special_int(picks[6], in.u32());
    const int blue = special_int(picks[7], in.u32());
    // The rest is the text, cut at its first NUL as a C caller would pass it.
    std::string text(reinterpret_cast<const char *>(in.p), in.left);
    text = text.c_str();
    if (text.size() > 32) text.resize(32);

    const std::string image = fuzz::path("image.png"), logo = fuzz::path("logo.png");
    const std::string out = fuzz::path(picks[0] & 1 ? "out.png" : "out.bmp");
    int r = imgwatermark_text(image.c_str(), out.c_str(), text.c_str(), font_size, opacity, angle, position, red,
                              green, blue);
    fuzz::check_outcome(r, "text");
    r = imgwatermark_image(image.c_str(), out.c_str(), logo.c_str(), opacity, position, scale);
    fuzz::check_outcome(r, "image");
    return 0;
}
