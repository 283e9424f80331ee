// Shared pieces of the fuzz targets: a private scratch directory and the
// checks every call must pass whatever its input.
#ifndef VELMORA_FUZZ_COMMON_H
#define VELMORA_FUZZ_COMMON_H

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "imgwatermark.h"
#include "reference_decoder.h"
#include "stb_image_write.h"

namespace fuzz {

// A directory of this process's own, made once and reused for every input.
inline const std::string &work_dir() {
    static const std::string dir = [] {
        char pattern[] = "/tmp/imgwm-fuzz-XXXXXX";
        const char *made = mkdtemp(pattern);
        if (!made) std::abort();
        return std::string(made);
    }();
    return dir;
}

inline std::string path(const char *name) { return work_dir() + "/" + name; }

inline void write_file(const std::string &p, const unsigned char *data, size_t size) {
    FILE *f = std::fopen(p.c_str(), "wb");
    if (!f) std::abort();
    if (size && std::fwrite(data, 1, size, f) != size) std::abort();
    if (std::fclose(f) != 0) std::abort();
}

inline bool starts_with(const char *s, const char *prefix) { return std::strncmp(s, prefix, std::strlen(prefix)) == 0; }

// Writes image.png (w x h) and logo.png (logo_w x logo_h) once per process:
// the valid picture and watermark that the hostile values are combined with.
// Both come from one patterned block of mixed colours and alphas, at most
// 40 x 30.
inline void make_fixtures(int w, int h, int logo_w, int logo_h) {
    static bool made = false;
    if (made) return;
    made = true;
    if (w * h > 40 * 30 || logo_w * logo_h > 40 * 30) std::abort();
    unsigned char px[40 * 30 * 4];
    for (int i = 0; i < 40 * 30; ++i) {
        px[i * 4 + 0] = static_cast<unsigned char>(i * 7);
        px[i * 4 + 1] = static_cast<unsigned char>(i * 3 + 40);
        px[i * 4 + 2] = static_cast<unsigned char>(i * 13);
        px[i * 4 + 3] = static_cast<unsigned char>(i * 5 + 100);
    }
    if (!stbi_write_png(path("image.png").c_str(), w, h, 4, px, w * 4)) std::abort();
    if (!stbi_write_png(path("logo.png").c_str(), logo_w, logo_h, 4, px, logo_w * 4)) std::abort();
}

// The most pixels an input file may declare and still be run: a picture of
// 2^19 pixels (724 x 724) takes about half a second under ASan to decode,
// mark and re-encode three times, and the time grows with the picture.
constexpr long long kMaxDecodedPixels = 1LL << 19;

// The allocation cap of this run (ASAN_OPTIONS max_allocation_size_mb), in
// bytes, or -1 when there is none.
inline long long allocation_cap() {
    const char *options = std::getenv("ASAN_OPTIONS");
    const char *key = options ? std::strstr(options, "max_allocation_size_mb=") : nullptr;
    if (!key) return -1;
    const long long mb = std::atoll(key + std::strlen("max_allocation_size_mb="));
    return mb > 0 ? mb << 20 : -1;
}

// True for a file to skip: it declares a picture of more than
// kMaxDecodedPixels whose RGBA buffer still fits under the allocation cap, so
// it would be decoded in full. Such files are valid (a GIF's screen may be
// far larger than its frames, and a few bytes can declare it) and the
// library handles them, but a few seconds each under the sanitizers they
// would only slow the run and end as timeouts. Larger ones are kept: the cap
// refuses their picture at once and they exercise the out-of-memory paths.
inline bool declares_slow_picture(const uint8_t *data, size_t size) {
    if (size > static_cast<size_t>(INT_MAX)) return false;
    const decoder_header header = read_decoder_header(data, static_cast<int>(size));
    const long long pixels = static_cast<long long>(header.w) * header.h;
    if (pixels <= kMaxDecodedPixels) return false;
    const long long cap = allocation_cap();
    return cap < 0 || pixels <= cap / 4;
}

// Result and message must agree: success leaves the message empty, failure
// leaves one of the library's own messages.
inline void check_outcome(int result, const char *what) {
    const char *message = imgwatermark_last_error();
    bool ok;
    if (result == 1) {
        ok = message[0] == '\0';
    } else {
        ok = result == 0 &&
             (starts_with(message, "cannot read file: ") || starts_with(message, "cannot decode image ") ||
              starts_with(message, "failed to write image to ") ||
              std::strcmp(message, "out of memory creating text buffer") == 0 ||
              std::strcmp(message, "failed to rotate watermark text") == 0 ||
              std::strcmp(message, "failed to resize watermark image") == 0 ||
              std::strcmp(message, "empty text string") == 0);
    }
    if (!ok) {
        std::fprintf(stderr, "%s: result %d with message \"%s\"\n", what, result, message);
        std::abort();
    }
}

}  // namespace fuzz

#endif
