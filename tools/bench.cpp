// bench: times each stage of a watermarking call on a generated photo-sized
// image, to show where the time goes (the codecs should dominate).
//   bench [width height [repeats]]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "composite.h"
#include "font_data.h"
#include "image_io.h"
#include "imgwatermark.h"
#include "resample.h"
#include "text_render.h"

namespace {

using clock_type = std::chrono::steady_clock;

template <class F>
double best_ms(int repeats, F work) {
    double best = 1e300;
    for (int i = 0; i < repeats; ++i) {
        const auto start = clock_type::now();
        work();
        const double ms = std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
        if (ms < best) best = ms;
    }
    return best;
}

rgba_image make_photo(int w, int h) {
    rgba_image img = alloc_rgba(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            unsigned char *p = img.pixels + (static_cast<size_t>(y) * w + x) * 4;
            p[0] = static_cast<unsigned char>(x ^ y);
            p[1] = static_cast<unsigned char>(x * 3 + y);
            p[2] = static_cast<unsigned char>(y * 5);
            p[3] = 255;
        }
    return img;
}

}  // namespace

int main(int argc, char **argv) {
    const int w = argc > 2 ? std::atoi(argv[1]) : 3000;
    const int h = argc > 2 ? std::atoi(argv[2]) : 2000;
    const int repeats = argc > 3 ? std::atoi(argv[3]) : 3;
    if (w <= 0 || h <= 0 || repeats <= 0 || !imgwatermark_init()) {
        std::fprintf(stderr, "usage: bench [width height [repeats]]\n");
        return 1;
    }
    const std::string dir = "bench-out";
    std::string mkdir = "mkdir -p " + dir;
    if (std::system(mkdir.c_str()) != 0) return 1;

    image_owner photo(make_photo(w, h));
    const std::string png = dir + "/photo.png", jpg = dir + "/photo.jpg";
    std::printf("image %d x %d, best of %d\n", w, h, repeats);
    std::printf("%-28s %9.2f ms\n", "save png", best_ms(repeats, [&] { save_image(png.c_str(), w, h, photo.img.pixels, FORMAT_PNG); }));
    std::printf("%-28s %9.2f ms\n", "save jpeg q92", best_ms(repeats, [&] { save_image(jpg.c_str(), w, h, photo.img.pixels, FORMAT_JPEG); }));
    for (const std::string &path : {png, jpg}) {
        std::printf("%-28s %9.2f ms\n", ("load " + path.substr(path.size() - 3)).c_str(), best_ms(repeats, [&] {
                        rgba_image img;
                        int format;
                        if (load_image(path.c_str(), &img, &format)) std::free(img.pixels);
                    }));
    }
    image_owner canvas;
    std::printf("%-28s %9.2f ms\n", "render 2 lines, size 96", best_ms(repeats, [&] {
                    canvas.reset(render_text("Velmora proof\n(c) 2026", 96, 255, 255, 255));
                }));
    image_owner turned;
    std::printf("%-28s %9.2f ms\n", "rotate 30 degrees", best_ms(repeats, [&] { turned.reset(rotate_rgba(&canvas.img, 30)); }));
    image_owner bigger;
    std::printf("%-28s %9.2f ms\n", "resize x1.7", best_ms(repeats, [&] { bigger.reset(resize_rgba(&turned.img, 1.7f)); }));
    std::printf("%-28s %9.2f ms\n", "apply tiled, opacity 0.4", best_ms(repeats, [&] {
                    apply_watermark(&photo.img, &turned.img, POS_TILE, 0.4f);
                }));
    std::printf("%-28s %9.2f ms\n", "whole text call png->png", best_ms(repeats, [&] {
                    imgwatermark_text(png.c_str(), (dir + "/out.png").c_str(), "Velmora proof", 96, 0.4f, 30, 5, 255, 255, 255);
                }));
    return 0;
}
