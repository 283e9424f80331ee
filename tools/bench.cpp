// bench: per-stage timings of a watermarking call on real files: decoding,
// marking (a 48-pixel corner text) and encoding, with this library's encoder
// on every vector path the CPU offers next to stb_image_write's own writer
// (the reference its output must equal byte for byte), and for PNG files
// the library's own decoder on every path next to stb_image's, with the
// peak heap each decode takes beyond its input.
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

#include "stb_image.h"
#include "stb_image_write.h"

#include "composite.h"
#include "cpu_features.h"
#include "image_io.h"
#include "imgwatermark.h"
#include "jpeg_writer.h"
#include "png_decoder.h"
#include "png_writer.h"
#include "text_render.h"

#if defined(__GLIBC__)
#include <malloc.h>

// Heap use, counted by replacing malloc and friends in this program (glibc
// keeps its own under __libc_*): the bytes in use now and the most since the
// last reset.
extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
extern "C" void __libc_free(void *);

namespace heap {
long long in_use = 0, peak = 0;
void add(void *p) {
    if (!p) return;
    in_use += static_cast<long long>(malloc_usable_size(p));
    if (in_use > peak) peak = in_use;
}
void remove(void *p) {
    if (p) in_use -= static_cast<long long>(malloc_usable_size(p));
}
}  // namespace heap

extern "C" void *malloc(size_t n) {
    void *p = __libc_malloc(n);
    heap::add(p);
    return p;
}
extern "C" void *calloc(size_t n, size_t size) {
    void *p = __libc_calloc(n, size);
    heap::add(p);
    return p;
}
extern "C" void *realloc(void *old, size_t n) {
    const long long before = old ? static_cast<long long>(malloc_usable_size(old)) : 0;
    void *p = __libc_realloc(old, n);
    if (p || n == 0) {
        heap::in_use -= before;
        heap::add(p);
    }
    return p;
}
extern "C" void free(void *p) {
    heap::remove(p);
    __libc_free(p);
}

// Peak heap of work() beyond what was in use before it, in bytes.
template <class F>
long long peak_heap(F work) {
    heap::peak = heap::in_use;
    const long long before = heap::in_use;
    work();
    return heap::peak - before;
}
#else
template <class F>
long long peak_heap(F work) {
    work();
    return -1;
}
#endif

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

void heap_row(const char *stage, long long bytes, long long picture) {
    if (bytes < 0) return;
    std::printf("  %-26s %9.1f MB peak heap (picture %.1f MB + %.2f MB)\n", stage, bytes / 1e6, picture / 1e6,
                (bytes - picture) / 1e6);
}

// The PNG decoders from memory: stb_image's, then ours on every path (which
// must take the file and give stb's pixels). The decoders take turns within
// each run, so that a busy machine slows them alike.
void bench_png_decoders(const char *path, int runs) {
    FILE *f = std::fopen(path, "rb");
    if (!f) return;
    std::vector<unsigned char> file;
    unsigned char chunk[65536];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) file.insert(file.end(), chunk, chunk + n);
    std::fclose(f);
    int w = 0, h = 0, n = 0;
    unsigned char *reference = stbi_load_from_memory(file.data(), static_cast<int>(file.size()), &w, &h, &n, 4);
    if (!reference) return;
    const long long picture = static_cast<long long>(w) * h * 4;
    auto stb_decode = [&] {
        stbi_image_free(stbi_load_from_memory(file.data(), static_cast<int>(file.size()), &w, &h, &n, 4));
    };
    std::vector<simd_path> paths;
    for (simd_path p : {simd_path::portable, simd_path::sse2, simd_path::avx2})
        if (simd_path_available(p)) paths.push_back(p);
    auto our_decode = [&](simd_path p) {
        rgba_image img{0, 0, nullptr};
        if (decode_png(file.data(), file.size(), &img, p)) std::free(img.pixels);
    };
    std::vector<std::vector<double>> ms(paths.size() + 1);
    for (int r = 0; r < runs; ++r) {
        ms[0].push_back(median_ms(1, stb_decode));
        for (size_t i = 0; i < paths.size(); ++i) ms[i + 1].push_back(median_ms(1, [&] { our_decode(paths[i]); }));
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    const double stb_ms = median(ms[0]);
    row("decode: stbi_load", stb_ms);
    heap_row("decode: stbi_load", peak_heap(stb_decode), picture);
    for (size_t i = 0; i < paths.size(); ++i) {
        rgba_image img{0, 0, nullptr};
        const bool taken = decode_png(file.data(), file.size(), &img, paths[i]);
        const bool same = taken && std::memcmp(img.pixels, reference, static_cast<size_t>(picture)) == 0;
        std::free(img.pixels);
        const std::string name = std::string("decode: ours, ") + simd_path_name(paths[i]) +
                                 (!taken ? " (LEFT TO STB)" : same ? "" : " (DIFFERS FROM STB)");
        row(name.c_str(), median(ms[i + 1]), stb_ms);
        heap_row(name.c_str(), peak_heap([&] { our_decode(paths[i]); }), picture);
    }
    stbi_image_free(reference);
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
    row("decode: load_image", decode);
    if (format == FORMAT_PNG) bench_png_decoders(path, runs);

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
