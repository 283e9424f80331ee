#include "image_formats.h"

#include <climits>
#include <cstring>

#include "jpeg_writer.h"

namespace {

// In the order sniffing and extension matching try them.
constexpr image_format_info kFormats[] = {
    {FORMAT_JPEG, {".jpg", ".jpeg", nullptr}, {0xFF, 0xD8}, 2, 2, 2, kJpegMaxSide},
    {FORMAT_PNG, {".png", nullptr, nullptr}, {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}, 8, 4, 8, INT_MAX},
    {FORMAT_BMP, {".bmp", nullptr, nullptr}, {'B', 'M'}, 2, 2, 2, INT_MAX},
};

bool starts_with(const image_format_info &f, const unsigned char *data, size_t size, size_t n) {
    return size >= n && std::memcmp(data, f.signature, n) == 0;
}

}  // namespace

const image_format_info &image_format(int code) {
    for (const image_format_info &f : kFormats)
        if (f.code == code) return f;
    return kFormats[1];
}

int str_ends_with_nocase(const char *text, const char *suffix) {
    size_t text_len = std::strlen(text);
    size_t suffix_len = std::strlen(suffix);
    if (text_len < suffix_len) return 0;
    const char *tail = text + (text_len - suffix_len);
    for (size_t i = 0; i < suffix_len; ++i) {
        if ((tail[i] | 0x20) != (suffix[i] | 0x20)) return 0;
    }
    return 1;
}

int format_from_path(const char *path, int fallback) {
    if (!path) return fallback;
    for (const image_format_info &f : kFormats)
        for (const char *const *ext = f.extensions; *ext; ++ext)
            if (str_ends_with_nocase(path, *ext)) return f.code;
    return fallback;
}

bool has_image_extension(const char *name) { return format_from_path(name, 0) != 0; }

int sniff_format(const unsigned char *data, size_t size, const char *path) {
    for (const image_format_info &f : kFormats)
        if (size >= f.sniff_min_size && starts_with(f, data, size, f.sniffed_bytes)) return f.code;
    return format_from_path(path, FORMAT_PNG);
}

bool has_signature(int code, const unsigned char *data, size_t size) {
    const image_format_info &f = image_format(code);
    return f.code == code && starts_with(f, data, size, f.signature_size);
}
