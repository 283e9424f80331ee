// The two pieces of a file's metadata that change how its picture must be
// shown: the EXIF orientation and the embedded ICC colour profile. Everything
// else (camera data, GPS position, thumbnails) is never read.
#ifndef VELMORA_IMAGE_METADATA_H
#define VELMORA_IMAGE_METADATA_H

#include <cstddef>
#include <vector>

struct image_metadata {
    int orientation = 1;                     // EXIF orientation, 1 to 8
    std::vector<unsigned char> icc_profile;  // empty when there is none to keep
};

// Reads a JPEG's APP1 "Exif" and APP2 "ICC_PROFILE" segments, or a PNG's
// eXIf and iCCP chunks; other files have neither. A missing, unreadable or
// out-of-range orientation reads as 1. The profile is read only when
// `want_profile`; a profile that is malformed (missing, repeated or
// miscounted JPEG segments, a bad iCCP stream, a second iCCP chunk), is no
// RGB profile (see usable_icc_profile) or is larger than a JPEG can carry is
// left out. Never fails.
image_metadata read_image_metadata(const unsigned char *data, size_t size, bool want_profile);

// The orientation in a TIFF structure (an EXIF block): tag 0x0112 (a SHORT)
// of the first IFD; 1 when absent, outside 1..8, or when the header or the
// IFD's entry table does not fit the block. Later IFDs are never followed.
int exif_orientation(const unsigned char *tiff, size_t size);

// True for a well-formed ICC profile of RGB data, the only kind the library's
// RGB outputs can carry: at least a header and a tag count (132 bytes), the
// length its header declares, the "acsp" signature, colour space "RGB ", and
// a tag table that fits.
bool usable_icc_profile(const unsigned char *profile, size_t size);

#endif
