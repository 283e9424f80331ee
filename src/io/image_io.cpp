#include "image_io.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "decoder_guards.h"
#include "error_text.h"
#include "image_metadata.h"
#include "jpeg_decoder.h"
#include "jpeg_writer.h"
#include "malloc_ptr.h"
#include "orientation.h"
#include "png_decoder.h"
#include "png_writer.h"
#include "safe_file.h"
#include "reference_decoder.h"
#include "stb_image_write.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

struct file_closer {
    void operator()(FILE *f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

using byte_buffer = malloc_ptr<unsigned char>;

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

// Decodes a whole file to RGBA: JPEG and PNG files by the library's own
// decoders, which take only files they decode exactly as stb_image does; any
// other file, and every JPEG or PNG they leave, by stb_image from the same
// bytes, so its pixels and its failure reason stand. Pixels are null on
// failure.
rgba_image decode_picture(const unsigned char *data, int size) {
    const size_t n = static_cast<size_t>(size);
    rgba_image picture{0, 0, nullptr};
    if (has_signature(FORMAT_JPEG, data, n) && decode_jpeg(data, n, &picture)) return picture;
    if (has_signature(FORMAT_PNG, data, n) && decode_png(data, n, &picture)) return picture;
    picture.pixels = stb_decode_rgba(data, size, &picture.w, &picture.h);
    return picture;
}

}  // namespace

int load_image(const char *path, rgba_image *out, int *format, std::vector<unsigned char> *icc_profile) {
    byte_buffer data;
    int size = 0;
    if (!read_whole_file(path, &data, &size)) {
        set_err("cannot read file: %s", path);
        return 0;
    }
    const int sniffed = sniff_format(data.get(), static_cast<size_t>(size), path);
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
    image_owner decoded(decode_picture(data.get(), size));
    if (!decoded) {
        set_err("cannot decode image %s (%s)", path, stb_failure_reason());
        return 0;
    }
    size_t bytes;
    if (!rgba_byte_count(decoded.img.w, decoded.img.h, &bytes)) {
        // Never expected from the decoder; refuse rather than trust the size.
        set_err("cannot decode image %s (%s)", path, "bad dimensions");
        return 0;
    }
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

// Sizes the writers share: the PNG writer keeps stb's deflate decisions,
// whose sizes are ints, over (w*4+1)*h filtered bytes in one IDAT chunk, and
// fixed-Huffman output can grow to 9/8 of its input; stb's BMP writer
// indexes rows with int w*h*4. A larger picture is refused before encoding,
// and so is a side the chosen format cannot state (JPEG's 65,535).
constexpr long long kMaxEncodedBytes = (INT_MAX / 9LL) * 8LL - 4096;

bool fits_encoder(int w, int h, int format) {
    if (w <= 0 || h <= 0) return false;
    const long long max_side = image_format(format).max_side;
    if (w > max_side || h > max_side) return false;
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
    bool ok = pixels && fits_encoder(w, h, format) &&
              replace_file(path, [&](byte_write_fn *write, void *sink) {
                  return encode(write, sink, w, h, pixels, format, profile) != 0;
              });
    if (!ok) {
        set_err("failed to write image to %s", path);
        return 0;
    }
    return 1;
}
