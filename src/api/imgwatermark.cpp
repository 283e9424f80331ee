// The library's exported functions, its error buffer and the three
// watermarking operations.
#include "imgwatermark.h"

#include <cmath>
#include <string>
#include <vector>

#include "composite.h"
#include "dir_listing.h"
#include "error_text.h"
#include "font_data.h"
#include "image_io.h"
#include "resample.h"
#include "rgba_image.h"
#include "text_render.h"

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
        const std::string in = join_path(input_dir, entry.name);
        const std::string out = join_path(output_dir, entry.name);
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

IMGWATERMARK_API const char *imgwatermark_last_error(void) { return error_text(); }

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
