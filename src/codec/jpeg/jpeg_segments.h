// Walking the marker segments of a JPEG file the way stb_image's reader
// walks them, for the checks and the metadata that need to see the segments
// the reader sees.
#ifndef VELMORA_JPEG_SEGMENTS_H
#define VELMORA_JPEG_SEGMENTS_H

#include <cstddef>

#include "byte_order.h"

// A colour profile travels in APP2 segments of at most 65,519 bytes each
// (65,535 less the length field and the 14-byte "ICC_PROFILE\0", sequence
// number and count header), numbered 1 to at most 255.
constexpr size_t kIccSegmentBytes = 65519;
constexpr size_t kIccMaxSegments = 255;
// The largest profile a JPEG carries.
constexpr size_t kMaxIccProfileBytes = kIccMaxSegments * kIccSegmentBytes;

// One marker segment: its marker byte (0xC4 for DHT, 0xE1 for APP1, ...),
// where its payload starts (just past the two length bytes) and the length
// the file declares for it (counting those two bytes). The payload may reach
// past the end of the file; read it with byte_or_zero.
struct jpeg_segment {
    unsigned marker;
    long long payload;
    long long length;
};

// Calls visit(segment) for every segment in file order until visit returns
// false, the end of the image (EOI) or the end of the data. Fill bytes before
// the start of image and before markers are skipped, so are bytes between
// segments (entropy-coded data) and markers without a length (RSTn, TEM,
// SOI). A segment whose length is below 2 is visited and ends the walk, as it
// ends the reader. Does nothing for data that does not start like a JPEG.
template <class Visit>
void walk_jpeg_segments(const unsigned char *b, long long size, Visit visit) {
    long long i = 0;
    while (i < size && b[i] == 0xFF) ++i;
    if (i == 0 || i >= size || b[i] != 0xD8) return;
    ++i;
    while (i + 1 < size) {
        if (b[i] != 0xFF) {
            ++i;
            continue;
        }
        const unsigned marker = b[i + 1];
        if (marker == 0xFF) {
            ++i;
            continue;
        }
        if (marker == 0x00 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) {
            i += 2;
            continue;
        }
        if (marker == 0xD9) return;
        const long long length = be16_or_zero(b, size, i + 2);
        if (!visit(jpeg_segment{marker, i + 4, length}) || length < 2) return;
        i += 2 + length < size - i ? 2 + length : size - i;
    }
}

#endif
