// bench: per-stage timings of a watermarking call on real files: decoding,
// marking (a 48-pixel corner text) and encoding, with this library's encoder
// on every vector path the CPU offers next to stb_image_write's own writer
// (the reference its output must equal byte for byte). For a JPEG or a PNG,
// the library's decoder on every path next to stb_image's
// stbi_load_from_memory (whose pixels it must give) from the same bytes in
// memory, and on Linux the peak memory each decode adds.
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

#if defined(__linux__)
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "composite.h"
#include "cpu_features.h"
#include "image_io.h"
#include "imgwatermark.h"
#include "jpeg_decoder.h"
#include "jpeg_writer.h"
#include "png_decoder.h"
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

// The memory a call adds at its peak, in MB: run in a child process whose
// peak resident size is compared with its size before the call (large blocks
// mapped afresh and free ones given back first, so that none reuses pages
// already resident). -1 where this cannot be measured.
template <class F>
double peak_mb(F work) {
#if defined(__linux__)
    int fds[2];
    if (pipe(fds) != 0) return -1;
    const pid_t child = fork();
    if (child == 0) {
#if defined(__GLIBC__)
        mallopt(M_MMAP_THRESHOLD, 64 << 10);
        malloc_trim(0);  // free blocks kept from earlier runs stop being resident
#endif
        long pages = 0, resident = 0;
        if (FILE *statm = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
            std::fclose(statm);
        }
        work();
        struct rusage usage;
        getrusage(RUSAGE_SELF, &usage);
        const double mb = (usage.ru_maxrss * 1024.0 - resident * static_cast<double>(sysconf(_SC_PAGESIZE))) / 1e6;
        if (write(fds[1], &mb, sizeof mb) != sizeof mb) _exit(1);
        _exit(0);
    }
    close(fds[1]);
    double mb = -1;
    if (child < 0 || read(fds[0], &mb, sizeof mb) != sizeof mb) mb = -1;
    close(fds[0]);
    if (child > 0) waitpid(child, nullptr, 0);
    return mb;
#else
    (void)work;
    return -1;
#endif
}

std::vector<unsigned char> file_bytes(const char *path) {
    std::vector<unsigned char> data;
    if (FILE *f = std::fopen(path, "rb")) {
        unsigned char chunk[1 << 16];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) data.insert(data.end(), chunk, chunk + n);
        std::fclose(f);
    }
    return data;
}

// The JPEG decoder on every path against stb_image, from memory.
void bench_jpeg_decode(const char *path, int runs) {
    const std::vector<unsigned char> data = file_bytes(path);
    const int size = static_cast<int>(data.size());
    int w = 0, h = 0, n = 0;
    unsigned char *reference = stbi_load_from_memory(data.data(), size, &w, &h, &n, 4);
    if (!reference) return;
    const double stb_ms = median_ms(runs, [&] {
        int x, y, c;
        stbi_image_free(stbi_load_from_memory(data.data(), size, &x, &y, &c, 4));
    });
    row("decode: stbi_load_from_memory", stb_ms);
    for (simd_path p : {simd_path::portable, simd_path::sse2, simd_path::avx2}) {
        if (!simd_path_available(p)) continue;
        rgba_image img{0, 0, nullptr};
        const bool taken = decode_jpeg(data.data(), data.size(), &img, p);
        const bool same = taken && img.w == w && img.h == h &&
                          std::memcmp(img.pixels, reference, static_cast<size_t>(w) * h * 4) == 0;
        std::free(img.pixels);
        const double ms = median_ms(runs, [&] {
            rgba_image out;
            if (decode_jpeg(data.data(), data.size(), &out, p)) std::free(out.pixels);
        });
        const std::string name = std::string("decode: ours, ") + simd_path_name(p) +
                                 (!taken ? " (REFUSED: stb decodes it)" : same ? "" : " (DIFFERS FROM STB)");
        row(name.c_str(), ms, stb_ms);
    }
    stbi_image_free(reference);
    const double picture_mb = static_cast<double>(w) * h * 4 / 1e6;
    const double stb_peak = peak_mb([&] {
        int x, y, c;
        stbi_image_free(stbi_load_from_memory(data.data(), size, &x, &y, &c, 4));
    });
    const double our_peak = peak_mb([&] {
        rgba_image out;
        if (decode_jpeg(data.data(), data.size(), &out)) std::free(out.pixels);
    });
    if (stb_peak >= 0 && our_peak >= 0)
        std::printf("  peak memory added: stb %.1f MB, ours %.1f MB (the picture is %.1f MB)\n", stb_peak, our_peak,
                    picture_mb);
}

// The PNG decoder on every path against stb_image, from memory. The
// decoders take turns within each run, so that a busy machine slows them
// alike.
void bench_png_decode(const char *path, int runs) {
    const std::vector<unsigned char> data = file_bytes(path);
    const int size = static_cast<int>(data.size());
    int w = 0, h = 0, n = 0;
    unsigned char *reference = stbi_load_from_memory(data.data(), size, &w, &h, &n, 4);
    if (!reference) return;
    auto stb_decode = [&] {
        int x, y, c;
        stbi_image_free(stbi_load_from_memory(data.data(), size, &x, &y, &c, 4));
    };
    auto our_decode = [&](simd_path p) {
        rgba_image out;
        if (decode_png(data.data(), data.size(), &out, p)) std::free(out.pixels);
    };
    std::vector<simd_path> paths;
    for (simd_path p : {simd_path::portable, simd_path::sse2, simd_path::avx2})
        if (simd_path_available(p)) paths.push_back(p);
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
    row("decode: stbi_load_from_memory", stb_ms);
    for (size_t i = 0; i < paths.size(); ++i) {
        rgba_image img{0, 0, nullptr};
        const bool taken = decode_png(data.data(), data.size(), &img, paths[i]);
        const bool same = taken && img.w == w && img.h == h &&
                          std::memcmp(img.pixels, reference, static_cast<size_t>(w) * h * 4) == 0;
        std::free(img.pixels);
        const std::string name = std::string("decode: ours, ") + simd_path_name(paths[i]) +
                                 (!taken ? " (REFUSED: stb decodes it)" : same ? "" : " (DIFFERS FROM STB)");
        row(name.c_str(), median(ms[i + 1]), stb_ms);
    }
    stbi_image_free(reference);
    const double stb_peak = peak_mb(stb_decode);
    const double our_peak = peak_mb([&] { our_decode(best_simd_path()); });
    if (stb_peak >= 0 && our_peak >= 0)
        std::printf("  peak memory added: stb %.1f MB, ours %.1f MB (the picture is %.1f MB)\n", stb_peak, our_peak,
                    static_cast<double>(w) * h * 4 / 1e6);
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
    if (format == FORMAT_JPEG) bench_jpeg_decode(path, runs);
    if (format == FORMAT_PNG) bench_png_decode(path, runs);

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
