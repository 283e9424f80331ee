// The library's exported functions, its error buffer and the three
// watermarking operations.
#include "imgwatermark.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "composite.h"
#include "font_data.h"
#include "image_io.h"
#include "resample.h"
#include "rgba_image.h"
#include "text_render.h"

#if defined(_WIN32)
#include <direct.h>
#include <windows.h>
#else
#include <dirent.h>
#include <sys/stat.h>
#endif

// ---------------------------------------------------------------------------
// Error buffer: one process-wide message, "" when none is recorded.

namespace {
char s_err[512];
}

const char *set_err(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(s_err, sizeof s_err, format, args);
    va_end(args);
    return s_err;
}

void clear_err() { s_err[0] = '\0'; }

// No C++ exception may reach the caller; the only ones the internals can
// raise are allocation failures inside std::string and std::vector.
template <class Body>
int guarded(Body body) {
    try {
        return body();
    } catch (...) {
        set_err("out of memory");
        return 0;
    }
}

// ---------------------------------------------------------------------------
// Operations

namespace {

int text_operation(const char *input_path, const char *output_path, const char *text, int font_size,
                   float opacity, float angle, int position, int red, int green, int blue) {
    if (!input_path || !output_path || !text) {
        set_err("invalid arguments (NULL pointer)");
        return 0;
    }
    if (!font_ready() && !ensure_font_ready()) return 0;

    image_owner image;
    int format = FORMAT_PNG;
    std::vector<unsigned char> icc_profile;
    if (!load_image(input_path, &image.img, &format, &icc_profile)) return 0;
    if (text[0] == '\0') {
        set_err("empty text string");
        return 0;
    }
    image_owner watermark(render_text(text, font_size, red, green, blue));
    if (!watermark) {
        set_err("out of memory creating text buffer");
        return 0;
    }
    // A non-finite angle means no turn.
    if (std::isfinite(angle) && std::fabs(angle) > kZeroThreshold) {
        rgba_image turned = rotate_rgba(&watermark.img, angle);
        if (!turned.pixels) {
            set_err("failed to rotate watermark text");
            return 0;
        }
        watermark.reset(turned);
    }
    apply_watermark(&image.img, &watermark.img, position, opacity);
    watermark.reset();
    const int out_format = format_from_path(output_path, format);
    return save_image(output_path, image.img.w, image.img.h, image.img.pixels, out_format, &icc_profile) ? 1 : 0;
}

int image_operation(const char *input_path, const char *output_path, const char *watermark_path,
                    float opacity, int position, float scale) {
    if (!input_path || !output_path || !watermark_path) {
        set_err("invalid arguments (NULL pointer)");
        return 0;
    }
    image_owner image;
    int format = FORMAT_PNG;
    std::vector<unsigned char> icc_profile;
    if (!load_image(input_path, &image.img, &format, &icc_profile)) return 0;
    image_owner watermark;
    int watermark_format = FORMAT_PNG;
    if (!load_image(watermark_path, &watermark.img, &watermark_format)) return 0;

    if (scale > 0.0f && std::fabs(scale - 1.0f) > kZeroThreshold) {
        rgba_image scaled = resize_rgba(&watermark.img, scale);
        if (!scaled.pixels) {
            set_err("failed to resize watermark image");
            return 0;
        }
        watermark.reset(scaled);
    }
    apply_watermark(&image.img, &watermark.img, position, opacity);
    watermark.reset();
    const int out_format = format_from_path(output_path, format);
    return save_image(output_path, image.img.w, image.img.h, image.img.pixels, out_format, &icc_profile) ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Batch

struct dir_entry {
    std::string name;
    bool is_directory;
};

#if defined(_WIN32)
const char kPathSeparator = '\\';

void make_directory(const char *path) { (void)_mkdir(path); }

// Every entry of `dir`, in the order the system lists them; false when the
// listing cannot start.
bool list_directory(const char *dir, std::vector<dir_entry> *entries) {
    const std::string pattern = std::string(dir) + "\\*.*";
    WIN32_FIND_DATAA found;
    HANDLE listing = FindFirstFileA(pattern.c_str(), &found);
    if (listing == INVALID_HANDLE_VALUE) return false;
    do {
        entries->push_back({found.cFileName, (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
    } while (FindNextFileA(listing, &found));
    FindClose(listing);
    return true;
}
#else
const char kPathSeparator = '/';

void make_directory(const char *path) { (void)mkdir(path, 0777); }

// Every entry of `dir`, sorted by name so that runs are repeatable; false when
// the listing cannot start. Whether an entry is a directory follows links.
bool list_directory(const char *dir, std::vector<dir_entry> *entries) {
    DIR *listing = opendir(dir);
    if (!listing) return false;
    while (const struct dirent *entry = readdir(listing)) {
        const std::string name = entry->d_name;
        bool is_directory = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
            struct stat st;
            const std::string path = std::string(dir) + kPathSeparator + name;
            is_directory = stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        }
        entries->push_back({name, is_directory});
    }
    closedir(listing);
    std::sort(entries->begin(), entries->end(),
              [](const dir_entry &a, const dir_entry &b) { return a.name < b.name; });
    return true;
}
#endif

bool has_image_extension(const char *name) {
    return str_ends_with_nocase(name, ".jpg") || str_ends_with_nocase(name, ".jpeg") ||
           str_ends_with_nocase(name, ".png") || str_ends_with_nocase(name, ".bmp");
}

int batch_operation(const char *input_dir, const char *output_dir, const char *text, int font_size,
                    float opacity, int position) {
    if (!input_dir || !output_dir || !text) {
        set_err("batch: invalid arguments (NULL pointer)");
        return 0;
    }
    make_directory(output_dir);
    // The whole listing is taken first, so files this batch writes into the
    // same directory are never picked up.
    std::vector<dir_entry> entries;
    if (!list_directory(input_dir, &entries)) {
        set_err("batch: cannot open input directory: %s", input_dir);
        return 0;
    }
    int ok = 0, failed = 0;
    for (const dir_entry &entry : entries) {
        const char *name = entry.name.c_str();
        if (entry.name == "." || entry.name == "..") continue;
        if (entry.is_directory || !has_image_extension(name)) continue;
        const std::string in = std::string(input_dir) + kPathSeparator + entry.name;
        const std::string out = std::string(output_dir) + kPathSeparator + entry.name;
        if (text_operation(in.c_str(), out.c_str(), text, font_size, opacity, 0.0f, position, 255, 255, 255))
            ++ok;
        else
            ++failed;
    }
    if (ok == 0 && failed == 0) {
        set_err("batch: no supported images found in %s", input_dir);
        return 0;
    }
    if (ok == 0) return 0;  // the last file's message stays
    clear_err();
    return ok;
}

}  // namespace

// ---------------------------------------------------------------------------
// Exports

extern "C" {

IMGWATERMARK_API const char *imgwatermark_last_error(void) { return s_err; }

IMGWATERMARK_API int imgwatermark_init(void) {
    clear_err();
    if (font_ready()) return 1;
    return guarded([] { return ensure_font_ready(); });
}

IMGWATERMARK_API void imgwatermark_cleanup(void) { clear_err(); }

IMGWATERMARK_API int imgwatermark_text(const char *input_path, const char *output_path, const char *text,
                                       int font_size, float opacity, float angle, int position, int red,
                                       int green, int blue) {
    return guarded([&] {
        return text_operation(input_path, output_path, text, font_size, opacity, angle, position, red, green,
                              blue);
    });
}

IMGWATERMARK_API int imgwatermark_image(const char *input_path, const char *output_path,
                                        const char *watermark_path, float opacity, int position, float scale) {
    return guarded(
        [&] { return image_operation(input_path, output_path, watermark_path, opacity, position, scale); });
}

IMGWATERMARK_API int imgwatermark_batch(const char *input_dir, const char *output_dir, const char *text,
                                        int font_size, float opacity, int position) {
    return guarded([&] { return batch_operation(input_dir, output_dir, text, font_size, opacity, position); });
}

}  // extern "C"
