// bench: per-stage timings of a watermarking call on real files: decoding,
// marking (a 48-pixel corner text) and encoding, with this library's encoder
// on every vector path the CPU offers next to stb_image_write's own writer
// (the reference its output must equal byte for byte).
//   imgwatermark_bench [--runs N] FILE...     (JPEG or PNG files; N default 5)
// Prints medians in milliseconds. Encoders write into memory, so the disk
// does not count.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "stb_image_write.h"

#include "composite.h"
#include "cpu_features.h"
#include "image_io.h"
#include "imgwatermark.h"
#include "jpeg_writer.h"
#include "png_writer.h"
#include "text_render.h"

namespace {

using clock_type = std::chrono::steady_clock;

template <class F>
double median_ms(int runs, F work) {
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        const auto start = clock_type::now();
        work();
        ms.push_back(std::chrono::duration<double, std::milli>(clock_type::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

struct memory_sink {
    std::vector<unsigned char> bytes;
    static void append(void *context, void *data, int size) {
        auto *sink = static_cast<memory_sink *>(context);
        const auto *p = static_cast<const unsigned char *>(data);
        sink->bytes.insert(sink->bytes.end(), p, p + size);
    }
};

void row(const char *stage, double ms, double reference_ms = 0) {
    if (reference_ms > 0)
        std::printf("  %-26s %9.1f ms   %5.2fx stb\n", stage, ms, reference_ms / ms);
    else
        std::printf("  %-26s %9.1f ms\n", stage, ms);
}

// Times one file's stages; false when it cannot be read.
bool bench_file(const char *path, int runs) {
    rgba_image img;
    int format = FORMAT_PNG;
    const double decode = median_ms(runs, [&] {
        if (load_image(path, &img, &format)) std::free(img.pixels);
    });
    if (!load_image(path, &img, &format)) {
        std::fprintf(stderr, "bench: %s: %s\n", path, imgwatermark_last_error());
        return false;
    }
    image_owner photo(img);
    const int w = img.w, h = img.h;
    std::printf("%s: %d x %d %s\n", path, w, h, format == FORMAT_JPEG ? "JPEG" : "PNG");
    row("decode (stb_image)", decode);

    row("mark: 48 px corner text", median_ms(runs, [&] {
            image_owner text(render_text("(c) 2026 Velmora", 48, 255, 255, 255));
            apply_watermark(&photo.img, &text.img, IMGWATERMARK_POS_BOTTOM_RIGHT, 0.8f);
        }));

    memory_sink reference, ours;
    const bool jpeg = format == FORMAT_JPEG;
    const double stb_ms = median_ms(runs, [&] {
        reference.bytes.clear();
        if (jpeg)
            stbi_write_jpg_to_func(memory_sink::append, &reference, w, h, 4, photo.img.pixels, 92);
        else
            stbi_write_png_to_func(memory_sink::append, &reference, w, h, 4, photo.img.pixels, w * 4);
    });
    row(jpeg ? "encode: stbi_write_jpg" : "encode: stbi_write_png", stb_ms);
    for (simd_path p : {simd_path::portable, simd_path::sse2, simd_path::avx2}) {
        if (!simd_path_available(p)) continue;
        const double ms = median_ms(runs, [&] {
            ours.bytes.clear();
            if (jpeg)
                write_jpeg(memory_sink::append, &ours, w, h, photo.img.pixels, nullptr, 0, p);
            else
                write_png(memory_sink::append, &ours, w, h, photo.img.pixels, nullptr, 0, p);
        });
        const std::string name = std::string("encode: ours, ") + simd_path_name(p) +
                                 (ours.bytes == reference.bytes ? "" : " (DIFFERS FROM STB)");
        row(name.c_str(), ms, stb_ms);
    }
    std::printf("  output %.2f MB\n", reference.bytes.size() / 1e6);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    int runs = 5, first = 1;
    if (argc > 2 && std::strcmp(argv[1], "--runs") == 0) {
        runs = std::atoi(argv[2]);
        first = 3;
    }
    if (runs <= 0 || first >= argc || !imgwatermark_init()) {
        std::fprintf(stderr, "usage: imgwatermark_bench [--runs N] FILE...\n");
        return 2;
    }
    std::printf("per-stage medians of %d runs\n", runs);
    int status = 0;
    for (int i = first; i < argc; ++i)
        if (!bench_file(argv[i], runs)) status = 1;
    return status;
}
