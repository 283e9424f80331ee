#include "image_io.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "stb_image.h"
#include "stb_image_write.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
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

// stb_image's JPEG reader (Debian's 2022 snapshot) writes past its Huffman
// tables when a DHT table declares more than 256 codes. Walks the marker
// segments the way the reader does and finds such a table, so that the file
// is refused before the decoder sees it.
bool jpeg_has_oversized_huffman_table(const unsigned char *b, int size) {
    int i = 0;
    while (i < size && b[i] == 0xFF) ++i;  // the reader skips fill bytes before SOI
    if (i == 0 || i >= size || b[i] != 0xD8) return false;
    ++i;
    auto at = [&](long long k) -> unsigned { return k < size ? b[k] : 0u; };  // zeros past the end, as the reader
    while (i + 1 < size) {
        if (b[i] != 0xFF) {  // entropy-coded data or junk between segments
            ++i;
            continue;
        }
        const unsigned m = b[i + 1];
        if (m == 0xFF) {
            ++i;
            continue;
        }
        if (m == 0x00 || m == 0x01 || (m >= 0xD0 && m <= 0xD8)) {  // stuffing and markers without a length
            i += 2;
            continue;
        }
        if (m == 0xD9) return false;  // end of image
        const long long length = (at(i + 2LL) << 8) | at(i + 3LL);
        if (m == 0xC4) {
            long long left = length - 2, k = i + 4LL;
            while (left > 0) {
                long long codes = 0;
                for (int n = 0; n < 16; ++n) codes += at(k + 1 + n);
                if (codes > 256) return true;
                k += 17 + codes;
                left -= 17 + codes;
            }
        }
        if (length < 2) return false;  // the reader stops here too
        i += static_cast<int>(std::min<long long>(2 + length, size - i));
    }
    return false;
}

// stb_image (Debian's 2022 snapshot) runs 16-bit PNM samples through its
// 8-bit channel converter and then reads past the converted block, and its
// header reader overflows int on long numbers. Reads the header the way the
// reader does and reports such files, so that they are refused up front.
bool pnm_header_is_unsafe(const unsigned char *b, int size) {
    if (size < 2 || b[0] != 'P' || (b[1] != '5' && b[1] != '6')) return false;
    int pos = 2;
    auto at_eof = [&] { return pos >= size; };
    auto get8 = [&]() -> char { return pos < size ? static_cast<char>(b[pos++]) : '\0'; };
    auto is_space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; };
    auto skip_whitespace = [&](char *c) {
        for (;;) {
            while (!at_eof() && is_space(*c)) *c = get8();
            if (at_eof() || *c != '#') break;
            while (!at_eof() && *c != '\n' && *c != '\r') *c = get8();
        }
    };
    bool overflow = false;
    auto get_integer = [&](char *c) {
        long long value = 0;
        while (!at_eof() && *c >= '0' && *c <= '9') {
            value = value * 10 + (*c - '0');
            if (value > INT_MAX) {
                overflow = true;
                value = INT_MAX;
            }
            *c = get8();
        }
        return value;
    };
    char c = get8();
    skip_whitespace(&c);
    get_integer(&c);  // width
    skip_whitespace(&c);
    get_integer(&c);  // height
    skip_whitespace(&c);
    const long long max_value = get_integer(&c);
    return overflow || max_value > 255;
}

}  // namespace

int load_image(const char *path, rgba_image *out, int *format) {
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
    int w = 0, h = 0, channels_in_file = 0;
    reset_decoder_failure_reason();
    unsigned char *pixels = stbi_load_from_memory(data.get(), size, &w, &h, &channels_in_file, 4);
    data.reset();
    size_t bytes;
    if (pixels && !rgba_byte_count(w, h, &bytes)) {
        // Never expected from the decoder; refuse rather than trust the size.
        stbi_image_free(pixels);
        set_err("cannot decode image %s (%s)", path, "bad dimensions");
        return 0;
    }
    if (!pixels) {
        const char *reason = stbi_failure_reason();
        set_err("cannot decode image %s (%s)", path, reason && reason[0] ? reason : "unknown error");
        return 0;
    }
    out->w = w;
    out->h = h;
    out->pixels = pixels;
    *format = sniffed;
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

// Receives the encoder's bytes and records the first failed write.
struct file_sink {
    FILE *f;
    bool failed;
};

void sink_write(void *context, void *data, int size) {
    auto *sink = static_cast<file_sink *>(context);
    if (sink->failed || size <= 0) return;
    if (std::fwrite(data, 1, static_cast<size_t>(size), sink->f) != static_cast<size_t>(size))
        sink->failed = true;
}

int encode(file_sink *sink, int w, int h, const unsigned char *pixels, int format) {
    switch (format) {
    case FORMAT_JPEG:
        return stbi_write_jpg_to_func(sink_write, sink, w, h, 4, pixels, 92);
    case FORMAT_BMP:
        return stbi_write_bmp_to_func(sink_write, sink, w, h, 4, pixels);
    default:
        return stbi_write_png_to_func(sink_write, sink, w, h, 4, pixels, w * 4);
    }
}

bool is_separator(char c) {
#if defined(_WIN32)
    return c == '/' || c == '\\' || c == ':';
#else
    return c == '/';
#endif
}

// The directory part of a path including its trailing separator, or "" for a
// bare file name.
std::string directory_part(const std::string &path) {
    for (size_t i = path.size(); i > 0; --i) {
        if (is_separator(path[i - 1])) return path.substr(0, i);
    }
    return std::string();
}

std::string temporary_name(const std::string &target) {
    static std::atomic<unsigned> counter{0};
#if defined(_WIN32)
    long pid = static_cast<long>(_getpid());
#else
    long pid = static_cast<long>(getpid());
#endif
    return directory_part(target) + ".imgwatermark-" + std::to_string(pid) + "-" +
           std::to_string(counter.fetch_add(1)) + ".tmp";
}

// Where the bytes finally go and how: through a temporary file renamed over
// the target (regular files and new files), or straight into the target for
// devices and other special files, which cannot be replaced.
struct output_plan {
    std::string target;
    bool direct = false;
    bool keep_mode = false;
    unsigned mode = 0;
};

#if defined(_WIN32)

bool plan_output(const char *path, output_plan *plan) {
    plan->target = path;
    DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
    return true;
}

FILE *create_temporary(const output_plan &, const std::string &name) {
    int fd = _open(name.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0) return nullptr;
    FILE *f = _fdopen(fd, "wb");
    if (!f) _close(fd);
    return f;
}

FILE *open_direct(const std::string &target) { return std::fopen(target.c_str(), "wb"); }

bool flush_to_disk(FILE *f) { return std::fflush(f) == 0 && _commit(_fileno(f)) == 0; }

bool replace_target(const std::string &temp, const std::string &target) {
    return MoveFileExA(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

#else

// Follows symbolic links from `path` to the file they finally name, so that
// the file is replaced and the links stay. A dangling link names the file to
// create. Gives up after 40 links, leaving the path to fail as fopen would.
std::string resolve_links(const std::string &path) {
    std::string current = path;
    for (int depth = 0; depth < 40; ++depth) {
        struct stat st;
        if (lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
        std::string link(4096, '\0');
        ssize_t n;
        while ((n = readlink(current.c_str(), &link[0], link.size())) >= 0 &&
               static_cast<size_t>(n) == link.size()) {
            link.resize(link.size() * 2);
        }
        if (n <= 0) return current;
        link.resize(static_cast<size_t>(n));
        current = (link[0] == '/') ? link : directory_part(current) + link;
    }
    return current;
}

bool plan_output(const char *path, output_plan *plan) {
    plan->target = resolve_links(path);
    struct stat st;
    if (stat(plan->target.c_str(), &st) != 0) return true;  // a new file
    if (S_ISDIR(st.st_mode)) return false;
    if (!S_ISREG(st.st_mode)) {
        plan->direct = true;
        return true;
    }
    plan->keep_mode = true;
    plan->mode = static_cast<unsigned>(st.st_mode & 07777);
    return true;
}

FILE *create_temporary(const output_plan &plan, const std::string &name) {
    // 0666 less the umask, as fopen gives a new file; a replaced file keeps its bits.
    int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    if (plan.keep_mode) (void)fchmod(fd, static_cast<mode_t>(plan.mode));
    FILE *f = fdopen(fd, "wb");
    if (!f) close(fd);
    return f;
}

FILE *open_direct(const std::string &target) {
    // Non-blocking so that a pipe without a reader fails instead of hanging.
    int fd = open(target.c_str(), O_WRONLY | O_TRUNC | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    FILE *f = fdopen(fd, "wb");
    if (!f) close(fd);
    return f;
}

bool flush_to_disk(FILE *f) {
    if (std::fflush(f) != 0) return false;
    // Devices such as /dev/null cannot be synced; only regular files must be.
    return fsync(fileno(f)) == 0 || errno == EINVAL || errno == EROFS;
}

bool replace_target(const std::string &temp, const std::string &target) {
    return std::rename(temp.c_str(), target.c_str()) == 0;
}

#endif

// Encodes into an open file and closes it; true only when every write, the
// flush and the close succeeded.
bool encode_and_close(FILE *f, int w, int h, const unsigned char *pixels, int format) {
    file_sink sink{f, false};
    bool ok = encode(&sink, w, h, pixels, format) != 0 && !sink.failed;
    ok = ok && flush_to_disk(f);
    bool closed = std::fclose(f) == 0;
    return ok && closed;
}

bool write_direct(const output_plan &plan, int w, int h, const unsigned char *pixels, int format) {
    FILE *f = open_direct(plan.target);
    return f && encode_and_close(f, w, h, pixels, format);
}

bool write_replacing(const output_plan &plan, int w, int h, const unsigned char *pixels, int format) {
    std::string temp;
    FILE *f = nullptr;
    for (int attempt = 0; attempt < 100 && !f; ++attempt) {
        temp = temporary_name(plan.target);
        f = create_temporary(plan, temp);
        if (!f && errno != EEXIST) break;
    }
    if (!f) return false;
    if (encode_and_close(f, w, h, pixels, format) && replace_target(temp, plan.target)) return true;
    std::remove(temp.c_str());
    return false;
}

}  // namespace

int save_image(const char *path, int w, int h, const unsigned char *pixels, int format) {
    output_plan plan;
    bool ok = pixels && fits_encoders(w, h) && plan_output(path, &plan);
    if (ok) {
        ok = plan.direct ? write_direct(plan, w, h, pixels, format)
                         : write_replacing(plan, w, h, pixels, format);
    }
    if (!ok) {
        set_err("failed to write image to %s", path);
        return 0;
    }
    return 1;
}
