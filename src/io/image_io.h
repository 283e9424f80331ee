// Reading image files into RGBA pixels and writing them back.
#ifndef VELMORA_IMAGE_IO_H
#define VELMORA_IMAGE_IO_H

#include <vector>

#include "image_formats.h"
#include "rgba_image.h"

// Reads the whole file at `path` and decodes it to 8-bit RGBA (any format the
// decoder knows), turned as its EXIF orientation says (JPEG, PNG), so that the
// picture is the one a viewer shows. On success fills *out (caller frees
// pixels), *format (sniffed from the first bytes, else from the extension,
// else PNG) and, when icc_profile is given, the file's usable colour profile
// (empty when it has none), empties the error buffer and returns 1. On
// failure sets "cannot read file: %s" or "cannot decode image %s (%s)"
// (among the reasons "picture larger than its data" for a file declaring
// more pixels than its bytes could hold), leaves the outputs untouched and
// returns 0.
int load_image(const char *path, rgba_image *out, int *format, std::vector<unsigned char> *icc_profile = nullptr);

// Encodes w x h RGBA pixels as JPEG (quality 92), BMP, or PNG for any other
// format code, and writes them to `path`. A non-empty icc_profile is embedded
// in JPEG and PNG output (BMP output cannot carry one). The file at `path`
// (or, where `path` is a symbolic link, the file it points to) is replaced
// only by a complete new one; on failure it is left as it was and "failed to
// write image to %s" is set. Returns non-zero on success, 0 on failure.
int save_image(const char *path, int w, int h, const unsigned char *pixels, int format,
               const std::vector<unsigned char> *icc_profile = nullptr);

#endif
