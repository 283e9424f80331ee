#include "image_metadata.h"

#include <cstring>
#include <memory>

#include "byte_order.h"
#include "image_formats.h"
#include "jpeg_segments.h"
#include "stb_image.h"

namespace {


bool starts_with(const unsigned char *p, size_t size, const char *prefix, size_t prefix_size) {
    return size >= prefix_size && std::memcmp(p, prefix, prefix_size) == 0;
}

// ---------------------------------------------------------------------------
// JPEG

// The profile split over APP2 segments, each "ICC_PROFILE\0", its sequence
// number (from 1) and the segment count, then its share of the profile.
struct icc_segments {
    const unsigned char *part[256] = {};
    size_t part_size[256] = {};
    unsigned count = 0;
    bool malformed = false;

    void add(const unsigned char *payload, size_t size) {
        const unsigned sequence = payload[12], total = payload[13];
        if (count == 0) count = total;
        if (total == 0 || total != count || sequence == 0 || sequence > total || part[sequence]) {
            malformed = true;
            return;
        }
        part[sequence] = payload + 14;
        part_size[sequence] = size - 14;
    }

    std::vector<unsigned char> joined() const {
        std::vector<unsigned char> profile;
        if (malformed || count == 0) return profile;
        for (unsigned s = 1; s <= count; ++s) {
            if (!part[s]) return {};
            profile.insert(profile.end(), part[s], part[s] + part_size[s]);
        }
        return profile;
    }
};

void read_jpeg(const unsigned char *b, size_t size, bool want_profile, image_metadata *out) {
    const long long n = static_cast<long long>(size);
    bool have_exif = false;
    icc_segments icc;
    walk_jpeg_segments(b, n, [&](const jpeg_segment &segment) {
        if (segment.marker == 0xDA) return false;  // image data follows: no more header segments
        if (segment.length < 2 || segment.payload >= n) return true;
        const unsigned char *payload = b + segment.payload;
        const size_t declared = static_cast<size_t>(segment.length - 2);
        const size_t present = static_cast<size_t>(n - segment.payload) < declared ? static_cast<size_t>(n - segment.payload)
                                                                                  : declared;
        if (segment.marker == 0xE1 && !have_exif && starts_with(payload, present, "Exif\0\0", 6)) {
            have_exif = true;
            out->orientation = exif_orientation(payload + 6, present - 6);
        } else if (segment.marker == 0xE2 && want_profile && starts_with(payload, present, "ICC_PROFILE\0", 12)) {
            // A segment cut off by the end of the file holds only part of its share.
            if (present < 14 || present < declared)
                icc.malformed = true;
            else
                icc.add(payload, present);
        }
        return true;
    });
    if (want_profile) out->icc_profile = icc.joined();
}

// ---------------------------------------------------------------------------
// PNG

// An iCCP chunk: a name of 1 to 79 bytes ended by a zero, compression method
// 0, then a zlib stream of the profile. The stream is inflated into a buffer
// no larger than a profile may be, so a small chunk cannot expand into a huge
// one.
std::vector<unsigned char> iccp_profile(const unsigned char *chunk, size_t size) {
    const void *end_of_name = std::memchr(chunk, 0, size < 80 ? size : 80);
    if (!end_of_name) return {};
    const size_t name_size = static_cast<size_t>(static_cast<const unsigned char *>(end_of_name) - chunk);
    if (name_size == 0 || name_size + 2 > size || chunk[name_size + 1] != 0) return {};
    const unsigned char *stream = chunk + name_size + 2;
    const size_t stream_size = size - name_size - 2;
    // Deflate expands at most 1,032 times.
    const size_t limit = stream_size < kMaxIccProfileBytes / 1032 ? stream_size * 1032 + 64 : kMaxIccProfileBytes;
    std::vector<unsigned char> profile(limit);
    const int got = stbi_zlib_decode_buffer(reinterpret_cast<char *>(profile.data()), static_cast<int>(limit),
                                            reinterpret_cast<const char *>(stream), static_cast<int>(stream_size));
    if (got <= 0) return {};
    profile.resize(static_cast<size_t>(got));
    return profile;
}

void read_png(const unsigned char *b, size_t size, bool want_profile, image_metadata *out) {
    bool have_exif = false;
    int profiles = 0;
    std::vector<unsigned char> profile;
    for (size_t at = 8; at + 12 <= size;) {
        const unsigned long length = load_be32(b + at);
        const unsigned char *type = b + at + 4, *data = b + at + 8;
        if (length > size - at - 12) break;  // cut short: nothing more to read
        if (std::memcmp(type, "IEND", 4) == 0) break;
        if (std::memcmp(type, "eXIf", 4) == 0 && !have_exif) {
            have_exif = true;
            out->orientation = exif_orientation(data, length);
        } else if (std::memcmp(type, "iCCP", 4) == 0 && want_profile && ++profiles == 1) {
            profile = iccp_profile(data, length);
        }
        at += 12 + length;
    }
    if (profiles == 1) out->icc_profile = std::move(profile);
}

}  // namespace

int exif_orientation(const unsigned char *tiff, size_t size) {
    if (size < 8) return 1;
    const bool little = tiff[0] == 'I' && tiff[1] == 'I';
    if (!little && !(tiff[0] == 'M' && tiff[1] == 'M')) return 1;
    auto u16 = [&](size_t at) -> unsigned { return little ? (tiff[at] | tiff[at + 1] << 8) : load_be16(tiff + at); };
    auto u32 = [&](size_t at) -> unsigned long {
        return little ? (u16(at) | static_cast<unsigned long>(u16(at + 2)) << 16) : load_be32(tiff + at);
    };
    if (u16(2) != 42) return 1;
    const unsigned long ifd = u32(4);
    if (ifd > size - 2) return 1;
    const unsigned entries = u16(ifd);
    if (12UL * entries > size - ifd - 2) return 1;  // the entry table does not fit: unreadable
    for (unsigned k = 0; k < entries; ++k) {
        const unsigned long entry = ifd + 2 + 12UL * k;
        if (u16(entry) != 0x0112) continue;
        const unsigned type = u16(entry + 2);
        const unsigned long count = u32(entry + 4);
        if (type != 3 || count < 1) return 1;  // a SHORT
        const unsigned value = u16(entry + 8);
        return value >= 1 && value <= 8 ? static_cast<int>(value) : 1;
    }
    return 1;
}

bool usable_icc_profile(const unsigned char *p, size_t size) {
    if (size < 132 || size > kMaxIccProfileBytes) return false;
    if (load_be32(p) != size) return false;
    if (std::memcmp(p + 36, "acsp", 4) != 0 || std::memcmp(p + 16, "RGB ", 4) != 0) return false;
    return load_be32(p + 128) <= (size - 132) / 12;
}

image_metadata read_image_metadata(const unsigned char *data, size_t size, bool want_profile) {
    image_metadata m;
    if (has_signature(FORMAT_PNG, data, size))
        read_png(data, size, want_profile, &m);
    else
        read_jpeg(data, size, want_profile, &m);
    if (!m.icc_profile.empty() && !usable_icc_profile(m.icc_profile.data(), m.icc_profile.size()))
        m.icc_profile.clear();
    return m;
}
