// Camera-style metadata put into test files: EXIF orientation blocks and
// ICC colour profiles, in JPEG segments and PNG chunks, written by the test's
// own code so that the library's reader is checked against an independent
// writer.
#ifndef VELMORA_METADATA_FIXTURES_H
#define VELMORA_METADATA_FIXTURES_H

#include <cstdint>
#include <vector>

#include "test_support.h"

// A TIFF structure (the body of an EXIF block) whose first IFD holds a few
// unrelated tags and the orientation tag (type SHORT) with `orientation`.
bytes exif_tiff(unsigned orientation, bool big_endian = false);

// A JPEG APP1 segment "Exif\0\0" + tiff, marker included.
bytes exif_segment(const bytes &tiff);

// JPEG APP2 "ICC_PROFILE" segments carrying `profile` in parts of at most
// `part_size` bytes, numbered from 1.
bytes icc_segments(const bytes &profile, size_t part_size = 65519);

// One APP2 "ICC_PROFILE" segment with the given sequence number and count.
bytes icc_segment(unsigned sequence, unsigned count, const bytes &part);

// `jpeg` with `segments` inserted after its SOI and, when present, its JFIF
// APP0 segment.
bytes with_jpeg_segments(const bytes &jpeg, const bytes &segments);

// A PNG chunk: length, type, data and CRC.
bytes png_chunk(const char type[4], const bytes &data);

// `png` with `chunks` inserted right after its IHDR chunk.
bytes with_png_chunks(const bytes &png, const bytes &chunks);

// A PNG iCCP chunk body: name, zero, method 0, then zlib data of `profile`.
bytes iccp_body(const bytes &profile, const char *name = "Display P3");

// A well-formed RGB display profile of exactly `size` bytes (at least 132):
// a valid header, no tags, and patterned filler.
bytes rgb_profile(size_t size, uint32_t seed = 7);

// Displayed pixel position of stored pixel (x, y) of a w x h picture under
// EXIF orientation 1..8, from the standard's description of where the stored
// first row and first column end up.
struct position {
    int x, y;
};
position displayed_position(int orientation, int x, int y, int w, int h);

// The picture as a viewer shows `stored` under `orientation`.
picture as_displayed(const picture &stored, int orientation);

#endif
