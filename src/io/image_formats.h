// The three formats the library writes, in one table: the names their files
// go by, the bytes they start with, and the largest side they can state.
// Every choice of format (sniffing a loaded file, the output's extension,
// the batch's filter, the metadata reader, the encoder limits) reads it here.
#ifndef VELMORA_IMAGE_FORMATS_H
#define VELMORA_IMAGE_FORMATS_H

#include <cstddef>

#include "rgba_image.h"

struct image_format_info {
    int code;                       // FORMAT_JPEG, FORMAT_PNG or FORMAT_BMP
    const char *extensions[3];      // lower case, tried in order; null-terminated
    unsigned char signature[8];     // the bytes its files start with
    size_t signature_size;          // how many of them make the full signature
    size_t sniffed_bytes;           // how many of them sniffing compares
    size_t sniff_min_size;          // the smallest file sniffing recognises
    long long max_side;             // the largest width or height the format can state
};

// The entry of a format code; PNG's for any code that is not one of the three.
const image_format_info &image_format(int code);

// 1 when `text` ends with `suffix` under an ASCII case fold (each byte OR
// 0x20), else 0; 0 when text is shorter than suffix.
int str_ends_with_nocase(const char *text, const char *suffix);

// The format a path's extension names: .jpg/.jpeg -> FORMAT_JPEG, .png ->
// FORMAT_PNG, .bmp -> FORMAT_BMP (any letter case); otherwise, or for a null
// path, `fallback`.
int format_from_path(const char *path, int fallback);

// True when a file name carries one of the three formats' extensions (the
// batch marks only such files).
bool has_image_extension(const char *name);

// The format a file's first bytes show (a JPEG's 0xFF 0xD8, the first four
// bytes of the PNG signature in a file of at least 8 bytes, a BMP's "BM"),
// else the one its path's extension names, else PNG. Only picks the code
// reported for the file; it never limits which decoder reads it.
int sniff_format(const unsigned char *data, size_t size, const char *path);

// True when data starts with the whole signature of format `code` (for PNG
// all eight bytes, which is what the PNG readers require).
bool has_signature(int code, const unsigned char *data, size_t size);

#endif
