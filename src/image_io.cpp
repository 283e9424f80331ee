#include "image_io.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "decoder_guards.h"
#include "image_metadata.h"
#include "jpeg_writer.h"
#include "orientation.h"
#include "png_decoder.h"
#include "png_writer.h"
#include "safe_file.h"
#include "stb_image.h"
#include "stb_image_write.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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
    if (str_ends_with_nocase(path, ".jpg")) return FORMAT_JPEG;
    if (str_ends_with_nocase(path, ".jpeg")) return FORMAT_JPEG;
    if (str_ends_with_nocase(path, ".png")) return FORMAT_PNG;
    if (str_ends_with_nocase(path, ".bmp")) return FORMAT_BMP;
    return fallback;
}

// Defined next to the decoder (stb_impl.cpp), whose failure reason is private to it.
void reset_decoder_failure_reason();

namespace {

struct file_closer {
    void operator()(FILE *f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

struct free_deleter {
    void operator()(void *p) const { std::free(p); }
};
using byte_buffer = std::unique_ptr<unsigned char, free_deleter>;

// Opens a regular file for reading. Directories, pipes and devices are
// refused up front: they either cannot be read whole or would block.
FILE *open_regular_for_read(const char *path) {
#if defined(_WIN32)
    DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return nullptr;
    return std::fopen(path, "rb");
#else
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return nullptr;
    }
    FILE *f = fdopen(fd, "rb");
    if (!f) close(fd);
    return f;
#endif
}

// Reads the whole file into one malloc block of exactly its size. The size
// must be positive and fit a signed 32-bit value (the decoder takes an int).
bool read_whole_file(const char *path, byte_buffer *data, int *size) {
    file_ptr f(open_regular_for_read(path));
    if (!f) return false;
    if (std::fseek(f.get(), 0, SEEK_END) != 0) return false;
    long end = std::ftell(f.get());
    if (end <= 0 || end > INT_MAX) return false;
    std::rewind(f.get());
    byte_buffer buffer(static_cast<unsigned char *>(std::malloc(static_cast<size_t>(end))));
    if (!buffer) return false;
    size_t got = std::fread(buffer.get(), 1, static_cast<size_t>(end), f.get());
    if (got < static_cast<size_t>(end)) return false;
    *data = std::move(buffer);
    *size = static_cast<int>(end);
    return true;
}

int sniff_format(const unsigned char *b, int size, const char *path) {
    if (size >= 2 && b[0] == 0xFF && b[1] == 0xD8) return FORMAT_JPEG;
    if (size >= 8 && b[0] == 0x89 && b[1] == 'P' && b[2] == 'N' && b[3] == 'G') return FORMAT_PNG;
    if (size >= 2 && b[0] == 'B' && b[1] == 'M') return FORMAT_BMP;
    return format_from_path(path, FORMAT_PNG);
}

}  // namespace

int load_image(const char *path, rgba_image *out, int *format, std::vector<unsigned char> *icc_profile) {
    byte_buffer data;
    int size = 0;
    if (!read_whole_file(path, &data, &size)) {
        set_err("cannot read file: %s", path);
        return 0;
    }
    int sniffed = sniff_format(data.get(), size, path);
    if (jpeg_has_oversized_huffman_table(data.get(), size)) {
        set_err("cannot decode image %s (%s)", path, "bad DHT header");
        return 0;
    }
    if (pnm_header_is_unsafe(data.get(), size)) {
        set_err("cannot decode image %s (%s)", path, "unsupported PNM");
        return 0;
    }
    if (picture_larger_than_data(data.get(), size)) {
        set_err("cannot decode image %s (%s)", path, "picture larger than its data");
        return 0;
    }
    int w = 0, h = 0, channels_in_file = 0;
    reset_decoder_failure_reason();
    image_owner decoded;
    static const unsigned char png_signature[8] = {137, 80, 78, 71, 13, 10, 26, 10};
    if (size >= 8 && std::memcmp(data.get(), png_signature, 8) == 0 &&
        decode_png(data.get(), static_cast<size_t>(size), &decoded.img)) {
        w = decoded.img.w;
        h = decoded.img.h;
    } else {
        decoded.reset({0, 0, stbi_load_from_memory(data.get(), size, &w, &h, &channels_in_file, 4)});
    }
    if (!decoded) {
        const char *reason = stbi_failure_reason();
        set_err("cannot decode image %s (%s)", path, reason && reason[0] ? reason : "unknown error");
        return 0;
    }
    size_t bytes;
    if (!rgba_byte_count(w, h, &bytes)) {
        // Never expected from the decoder; refuse rather than trust the size.
        set_err("cannot decode image %s (%s)", path, "bad dimensions");
        return 0;
    }
    decoded.img.w = w;
    decoded.img.h = h;
    image_metadata metadata = read_image_metadata(data.get(), static_cast<size_t>(size), icc_profile != nullptr);
    data.reset();
    if (!apply_orientation(&decoded.img, metadata.orientation)) {
        set_err("cannot decode image %s (%s)", path, "outofmem");
        return 0;
    }
    *out = decoded.img;
    decoded.img.pixels = nullptr;
    *format = sniffed;
    if (icc_profile) *icc_profile = std::move(metadata.icc_profile);
    clear_err();
    return 1;
}

// ---------------------------------------------------------------------------
// Saving

namespace {

// The encoders size their buffers with int arithmetic: the PNG filter buffer
// is (w*4+1)*h bytes and its deflate output can grow to 9/8 of that; BMP and
// JPEG index rows with w*h*4. Anything larger is refused before encoding.
constexpr long long kMaxEncodedBytes = (INT_MAX / 9LL) * 8LL - 4096;

bool fits_encoders(int w, int h) {
    if (w <= 0 || h <= 0) return false;
    long long row = static_cast<long long>(w) * 4 + 1;
    return row <= kMaxEncodedBytes / h;
}

// BMP has no room for a colour profile; the profile is dropped there.
int encode(byte_write_fn *write, void *sink, int w, int h, const unsigned char *pixels, int format,
           const std::vector<unsigned char> &icc_profile) {
    switch (format) {
    case FORMAT_JPEG:
        return write_jpeg(write, sink, w, h, pixels, icc_profile.data(), icc_profile.size());
    case FORMAT_BMP:
        return stbi_write_bmp_to_func(write, sink, w, h, 4, pixels);
    default:
        return write_png(write, sink, w, h, pixels, icc_profile.data(), icc_profile.size());
    }
}

}  // namespace

int save_image(const char *path, int w, int h, const unsigned char *pixels, int format,
               const std::vector<unsigned char> *icc_profile) {
    const std::vector<unsigned char> no_profile;
    const std::vector<unsigned char> &profile = icc_profile ? *icc_profile : no_profile;
    bool ok = pixels && fits_encoders(w, h) &&
              replace_file(path, [&](byte_write_fn *write, void *sink) {
                  return encode(write, sink, w, h, pixels, format, profile) != 0;
              });
    if (!ok) {
        set_err("failed to write image to %s", path);
        return 0;
    }
    return 1;
}
