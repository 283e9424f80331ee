// Photos as cameras deliver them: an EXIF orientation turns the picture
// before anything else happens to it, and an embedded colour profile is read
// and kept; malformed blocks are ignored safely.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "stb_image.h"

#include "encoder_fixtures.h"
#include "image_metadata.h"
#include "jpeg_segments.h"
#include "imgwatermark.h"
#include "metadata_fixtures.h"
#include "test_support.h"

namespace {

bytes jpeg_bytes(const picture &p) {
    scratch_dir d;
    save_jpg(d.file("a.jpg"), p, 95);
    return read_bytes(d.file("a.jpg"));
}

bytes png_bytes(const picture &p) {
    scratch_dir d;
    save_png(d.file("a.png"), p);
    return read_bytes(d.file("a.png"));
}

// Decodes bytes with the test's decoder.
picture decoded(const bytes &file) {
    scratch_dir d;
    write_bytes(d.file("f"), file);
    return decode(d.file("f"));
}

// The library's text watermark over `input` (bytes), written as PNG.
picture marked(const bytes &input, int position, float opacity, float angle = 0.0f) {
    scratch_dir d;
    const std::string in = d.file("in"), out = d.file("out.png");
    write_bytes(in, input);
    EXPECT_EQ(imgwatermark_text(in.c_str(), out.c_str(), "Velmora\nAV", 22, opacity, angle, position, 255, 255, 255), 1)
        << imgwatermark_last_error();
    return decode(out);
}

class orientation : public ::testing::TestWithParam<int> {};

// Every orientation: the result is the turned picture, and a mark lands
// where it lands on a picture stored already turned, at any position.
TEST_P(orientation, jpeg_is_shown_and_marked_as_a_viewer_shows_it) {
    const int n = GetParam();
    const picture stored = make_content(content::photo, 240, 150);
    const bytes plain = jpeg_bytes(stored);
    const bytes tagged = with_jpeg_segments(plain, exif_segment(exif_tiff(static_cast<unsigned>(n), n % 2 == 0)));
    const picture shown = as_displayed(decoded(plain), n);

    EXPECT_EQ(marked(tagged, 0, 0.0f), shown);  // opacity 0: the picture alone
    const bytes shown_png = png_bytes(shown);
    for (int position : {1, 4, 5}) {
        const picture got = marked(tagged, position, 1.0f, position == 5 ? 30.0f : 0.0f);
        EXPECT_EQ(got, marked(shown_png, position, 1.0f, position == 5 ? 30.0f : 0.0f)) << "position " << position;
        if (position == 1) {
            const box mark = diff_box(got, shown);
            EXPECT_GE(mark.x0, 20);
            EXPECT_GE(mark.y0, 20);
            EXPECT_LE(mark.x1, got.w / 2 + 40) << "mark not in the top-left corner as seen";
            EXPECT_LE(mark.y1, got.h / 2) << "mark not in the top-left corner as seen";
        }
    }
}

TEST_P(orientation, png_exif_chunk_is_honoured) {
    const int n = GetParam();
    const picture stored = make_content(content::noise, 13, 7);
    const bytes tagged = with_png_chunks(png_bytes(stored), png_chunk("eXIf", exif_tiff(static_cast<unsigned>(n))));
    EXPECT_EQ(marked(tagged, 0, 0.0f), as_displayed(stored, n));
}

INSTANTIATE_TEST_SUITE_P(exif, orientation, ::testing::Range(1, 9),
                         [](const auto &info) { return "orientation_" + std::to_string(info.param); });

// A picture watermark is turned by its own orientation before it is scaled
// and placed.
TEST(Orientation, WatermarkPictureIsTurnedToo) {
    scratch_dir d;
    const picture photo = make_content(content::gradient, 120, 90);
    const picture logo = make_content(content::noise, 21, 11);
    const std::string in = d.file("photo.png"), tagged = d.file("logo-tagged.png"), turned = d.file("logo-turned.png");
    save_png(in, photo);
    write_bytes(tagged, with_png_chunks(png_bytes(logo), png_chunk("eXIf", exif_tiff(8))));
    save_png(turned, as_displayed(logo, 8));
    const std::string a = d.file("a.png"), b = d.file("b.png");
    ASSERT_EQ(imgwatermark_image(in.c_str(), a.c_str(), tagged.c_str(), 0.8f, 2, 1.5f), 1) << imgwatermark_last_error();
    ASSERT_EQ(imgwatermark_image(in.c_str(), b.c_str(), turned.c_str(), 0.8f, 2, 1.5f), 1) << imgwatermark_last_error();
    EXPECT_EQ(decode(a), decode(b));
    EXPECT_NE(decode(a), photo);
}

// Blocks that cannot be read leave the picture as stored, never crash and
// never read past the block.
TEST(Orientation, MalformedExifReadsAsUpright) {
    const bytes good = exif_tiff(6);
    auto edited = [&](size_t at, std::vector<unsigned char> values) {
        bytes t = good;
        for (size_t k = 0; k < values.size(); ++k) t[at + k] = values[k];
        return t;
    };
    bytes loop = exif_tiff(1);
    put_le16(loop, 10 + 12 + 0, 0x0131);  // no orientation tag left
    put_le32(loop, 10 + 36, 8);            // the next IFD is IFD0 itself
    const struct {
        const char *name;
        bytes tiff;
        int expected;
    } rows[] = {
        {"valid", good, 6},
        {"valid_big_endian", exif_tiff(6, true), 6},
        {"cut_in_the_header", bytes(good.begin(), good.begin() + 6), 1},
        {"cut_in_the_entries", bytes(good.begin(), good.begin() + 30), 1},
        {"ifd_offset_past_the_end", edited(4, {0xF0, 0xFF, 0, 0}), 1},
        {"ifd_offset_huge", edited(4, {0xFF, 0xFF, 0xFF, 0xFF}), 1},
        {"more_entries_than_bytes", edited(8, {0xE8, 0x03}), 1},
        {"ifd_loop_without_the_tag", loop, 1},
        {"type_long", edited(10 + 12 + 2, {4, 0}), 1},
        {"count_zero", edited(10 + 12 + 4, {0, 0, 0, 0}), 1},
        {"value_zero", edited(10 + 12 + 8, {0, 0}), 1},
        {"value_nine", edited(10 + 12 + 8, {9, 0}), 1},
        {"byte_order_unknown", edited(0, {'I', 'M'}), 1},
        {"magic_not_42", edited(2, {43, 0}), 1},
        {"empty", bytes(), 1},
    };
    for (const auto &r : rows) EXPECT_EQ(exif_orientation(r.tiff.data(), r.tiff.size()), r.expected) << r.name;

    // Through the library: a JPEG whose EXIF segment claims more bytes than the
    // file has, and one whose block is cut short.
    const picture stored = make_content(content::photo, 40, 24);
    const bytes plain = jpeg_bytes(stored);
    bytes overlong = exif_segment(good);
    put_be16(overlong, 2, 0xFFF0);
    const bytes files[] = {
        with_jpeg_segments(plain, exif_segment(bytes(good.begin(), good.begin() + 30))),
        with_jpeg_segments(plain, exif_segment(rows[6].tiff)),
        concat({bytes(plain.begin(), plain.begin() + 20), overlong}),
    };
    EXPECT_EQ(marked(files[0], 0, 0.0f), decoded(plain));
    EXPECT_EQ(marked(files[1], 0, 0.0f), decoded(plain));
    // The segment swallows the rest of the file: nothing decodes, nothing crashes.
    scratch_dir d;
    write_bytes(d.file("cut.jpg"), files[2]);
    EXPECT_EQ(imgwatermark_text(d.file("cut.jpg").c_str(), d.file("o.png").c_str(), "x", 0, 1, 0, 0, 0, 0, 0), 0);
}

// ---------------------------------------------------------------------------
// Colour profiles, as read

bytes profile_of_jpeg(const bytes &segments) {
    const bytes file = with_jpeg_segments(jpeg_bytes(picture(8, 8, 0x405060FF)), segments);
    return read_image_metadata(file.data(), file.size(), true).icc_profile;
}

bytes profile_of_png(const bytes &chunks) {
    const bytes file = with_png_chunks(png_bytes(picture(3, 3, 0x405060FF)), chunks);
    return read_image_metadata(file.data(), file.size(), true).icc_profile;
}

TEST(ColourProfile, JpegSegmentsAreJoinedInSequenceOrder) {
    for (size_t size : {size_t{132}, size_t{3000}, size_t{65519}, size_t{65520}, size_t{200000}}) {
        const bytes profile = rgb_profile(size);
        EXPECT_EQ(profile_of_jpeg(icc_segments(profile)), profile) << size;
    }
    // Stored out of order, in parts of 1,000 bytes.
    const bytes profile = rgb_profile(2500);
    auto part = [&](size_t k) {
        return bytes(profile.begin() + static_cast<long>(k * 1000),
                     profile.begin() + static_cast<long>(std::min(profile.size(), (k + 1) * 1000)));
    };
    const bytes shuffled = concat({icc_segment(3, 3, part(2)), icc_segment(1, 3, part(0)), icc_segment(2, 3, part(1))});
    EXPECT_EQ(profile_of_jpeg(shuffled), profile);
    // Not asked for, not read.
    const bytes file = with_jpeg_segments(jpeg_bytes(picture(8, 8)), icc_segments(profile));
    EXPECT_TRUE(read_image_metadata(file.data(), file.size(), false).icc_profile.empty());
}

TEST(ColourProfile, PngIccpChunkIsInflated) {
    for (size_t size : {size_t{132}, size_t{5000}, size_t{300000}}) {
        const bytes profile = rgb_profile(size);
        EXPECT_EQ(profile_of_png(png_chunk("iCCP", iccp_body(profile))), profile) << size;
    }
}

TEST(ColourProfile, MalformedProfilesAreLeftOut) {
    const bytes profile = rgb_profile(3000);
    const bytes a(profile.begin(), profile.begin() + 1500), b(profile.begin() + 1500, profile.end());
    bytes grey = profile;
    std::memcpy(&grey[16], "GRAY", 4);
    bytes wrong_length = profile;
    put_be32(wrong_length, 0, 2999);
    bytes no_signature = profile;
    no_signature[36] = 'x';
    bytes too_many_tags = profile;
    put_be32(too_many_tags, 128, 1000);
    bytes bad_stream = iccp_body(profile);
    bad_stream[12] = 0xFF;  // the first stored block's header
    bytes method_one = iccp_body(profile);
    method_one[11] = 1;
    const struct {
        const char *name;
        bool png;
        bytes blocks;
    } rows[] = {
        {"jpeg_missing_part", false, icc_segment(1, 2, a)},
        {"jpeg_repeated_part", false, concat({icc_segment(1, 2, a), icc_segment(1, 2, a), icc_segment(2, 2, b)})},
        {"jpeg_counts_disagree", false, concat({icc_segment(1, 2, a), icc_segment(2, 3, b)})},
        {"jpeg_count_zero", false, icc_segment(0, 0, profile)},
        {"jpeg_sequence_zero", false, icc_segment(0, 1, profile)},
        {"jpeg_sequence_past_count", false, concat({icc_segment(1, 1, a), icc_segment(2, 1, b)})},
        {"jpeg_grey_profile", false, icc_segments(grey)},
        {"jpeg_length_mismatch", false, icc_segments(wrong_length)},
        {"jpeg_no_acsp", false, icc_segments(no_signature)},
        {"jpeg_tag_table_past_the_end", false, icc_segments(too_many_tags)},
        {"jpeg_too_short", false, icc_segments(bytes(profile.begin(), profile.begin() + 100))},
        {"png_bad_stream", true, png_chunk("iCCP", bad_stream)},
        {"png_method_one", true, png_chunk("iCCP", method_one)},
        {"png_no_name", true, png_chunk("iCCP", iccp_body(profile, ""))},
        {"png_name_unterminated", true, png_chunk("iCCP", bytes(90, 'n'))},
        {"png_two_iccp", true, concat({png_chunk("iCCP", iccp_body(profile)), png_chunk("iCCP", iccp_body(profile))})},
        {"png_grey_profile", true, png_chunk("iCCP", iccp_body(grey))},
    };
    for (const auto &r : rows) {
        const bytes got = r.png ? profile_of_png(r.blocks) : profile_of_jpeg(r.blocks);
        EXPECT_TRUE(got.empty()) << r.name;
    }

    // A segment cut off by the end of the file.
    const bytes jpeg = with_jpeg_segments(jpeg_bytes(picture(8, 8)), icc_segments(profile));
    const bytes cut(jpeg.begin(), jpeg.begin() + 600);
    EXPECT_TRUE(read_image_metadata(cut.data(), cut.size(), true).icc_profile.empty());
}

// A small iCCP chunk that inflates past the largest profile a JPEG can
// carry is refused without inflating it all.
TEST(ColourProfile, OversizedProfileIsLeftOut) {
    const bytes huge = rgb_profile(kMaxIccProfileBytes + 1);
    EXPECT_TRUE(profile_of_png(png_chunk("iCCP", iccp_body(huge))).empty());
    EXPECT_FALSE(usable_icc_profile(huge.data(), huge.size()));
    const bytes largest = rgb_profile(kMaxIccProfileBytes);
    EXPECT_TRUE(usable_icc_profile(largest.data(), largest.size()));
}

}  // namespace

// ---------------------------------------------------------------------------
// Profiles in the outputs, read back by the test's own parsers.

namespace {

// An output split into the colour profile it carries and everything else.
struct split_file {
    bytes profile;               // the parts joined; empty when there is none
    std::vector<size_t> parts;   // part sizes in file order (JPEG)
    bytes rest;                  // the file without the profile's segments or chunk
    bool well_placed = true;     // right after the JFIF APP0 segment / the IHDR chunk
};

split_file split_jpeg(const bytes &f) {
    split_file out;
    out.rest.assign(f.begin(), f.begin() + 2);
    std::vector<bool> is_icc;
    size_t at = 2;
    while (at + 4 <= f.size() && f[at] == 0xFF && f[at + 1] != 0xDA) {
        const size_t end = at + 2 + ((f[at + 2] << 8) | f[at + 3]);
        if (end > f.size()) break;
        const bool icc = f[at + 1] == 0xE2 && end - at >= 18 && std::memcmp(&f[at + 4], "ICC_PROFILE", 12) == 0;
        is_icc.push_back(icc);
        bytes &to = icc ? out.profile : out.rest;
        to.insert(to.end(), f.begin() + static_cast<long>(at + (icc ? 18 : 0)), f.begin() + static_cast<long>(end));
        if (icc) {
            out.parts.push_back(end - at - 18);
            EXPECT_EQ(f[at + 16], out.parts.size()) << "sequence number";
            EXPECT_GT(f[at + 17], 0) << "count";
        }
        at = end;
    }
    out.rest.insert(out.rest.end(), f.begin() + static_cast<long>(at), f.end());
    for (size_t i = 0; i < is_icc.size(); ++i)
        if (is_icc[i] != (i >= 1 && i <= out.parts.size())) out.well_placed = false;
    if (!out.parts.empty() && (f[3] != 0xE0 || out.parts.size() > 255)) out.well_placed = false;
    return out;
}

split_file split_png(const bytes &f) {
    split_file out;
    out.rest.assign(f.begin(), f.begin() + 8);
    size_t at = 8;
    int index = 0;
    while (at + 12 <= f.size()) {
        const size_t length = (size_t{f[at]} << 24) | (f[at + 1] << 16) | (f[at + 2] << 8) | f[at + 3];
        const size_t end = at + 12 + length;
        if (end > f.size()) break;
        if (std::memcmp(&f[at + 4], "iCCP", 4) == 0) {
            if (index != 1 || !out.profile.empty()) out.well_placed = false;
            const uint32_t crc = (uint32_t{f[end - 4]} << 24) | (f[end - 3] << 16) | (f[end - 2] << 8) | f[end - 1];
            EXPECT_EQ(crc, crc32_of(&f[at + 4], length + 4)) << "iCCP CRC";
            const char *body = reinterpret_cast<const char *>(&f[at + 8]);
            const std::string name(body, strnlen(body, length));
            EXPECT_EQ(name, "ICC profile");
            EXPECT_EQ(body[name.size() + 1], 0) << "compression method";
            const int start = static_cast<int>(name.size() + 2);
            int inflated = 0;
            char *p = stbi_zlib_decode_malloc(body + start, static_cast<int>(length) - start, &inflated);
            EXPECT_NE(p, nullptr) << "iCCP stream";
            if (p) out.profile.assign(p, p + inflated);
            stbi_image_free(p);
        } else {
            out.rest.insert(out.rest.end(), f.begin() + static_cast<long>(at), f.begin() + static_cast<long>(end));
        }
        at = end;
        ++index;
    }
    out.rest.insert(out.rest.end(), f.begin() + static_cast<long>(at), f.end());
    return out;
}

bytes with_profile(const bytes &file, bool png, const bytes &profile) {
    return png ? with_png_chunks(file, png_chunk("iCCP", iccp_body(profile, "ICC profile")))
               : with_jpeg_segments(file, icc_segments(profile));
}

// The output bytes of a text mark over `input`, written under `out_name`.
bytes text_output(const bytes &input, const char *out_name) {
    scratch_dir d;
    const std::string in = d.file("in"), out = d.file(out_name);
    write_bytes(in, input);
    EXPECT_EQ(imgwatermark_text(in.c_str(), out.c_str(), "Velmora", 20, 0.7f, 0.0f, 4 /* bottom right */, 250, 200, 40), 1)
        << imgwatermark_last_error();
    return read_bytes(out);
}

}  // namespace

// JPEG and PNG outputs carry the input's profile byte for byte, in the
// right place; apart from it they are byte-identical to the output made
// from the same picture without a profile.
TEST(ColourProfileOutput, ProfileTravelsIntoJpegAndPngOutputs) {
    const picture photo = make_content(content::photo, 37, 29);
    for (bool png_in : {false, true}) {
        const bytes plain = png_in ? png_bytes(photo) : jpeg_bytes(photo);
        for (size_t size : {size_t{3000}, size_t{65519}, size_t{70000}, size_t{200000}}) {
            const bytes profile = rgb_profile(size, static_cast<uint32_t>(size));
            const bytes tagged = with_profile(plain, png_in, profile);
            const split_file input = png_in ? split_png(tagged) : split_jpeg(tagged);  // the parsers themselves
            ASSERT_EQ(input.profile, profile);
            ASSERT_EQ(input.rest, plain);
            for (const char *out_name : {"out.jpg", "out.png"}) {
                SCOPED_TRACE(std::string(png_in ? "png" : "jpeg") + " input, profile " + std::to_string(size) + ", " + out_name);
                const bool png_out = std::strcmp(out_name, "out.png") == 0;
                const bytes reference = text_output(plain, out_name);
                const split_file got = png_out ? split_png(text_output(tagged, out_name)) : split_jpeg(text_output(tagged, out_name));
                EXPECT_EQ(got.profile, profile);
                EXPECT_TRUE(got.well_placed);
                EXPECT_EQ(got.rest, reference);
                if (!png_out) {
                    EXPECT_EQ(got.parts.size(), (size + 65518) / 65519);
                }
                const split_file untouched = png_out ? split_png(reference) : split_jpeg(reference);
                EXPECT_TRUE(untouched.profile.empty());
            }
        }
    }
}

// BMP cannot carry a profile: the output is what it is without one.
TEST(ColourProfileOutput, BmpOutputIsTheSameWithOrWithoutProfile) {
    const bytes plain = png_bytes(make_content(content::gradient, 20, 11));
    EXPECT_EQ(text_output(with_profile(plain, true, rgb_profile(4000)), "out.bmp"), text_output(plain, "out.bmp"));
}

// A picture watermark keeps the image's profile, never the logo's.
TEST(ColourProfileOutput, ImageOperationKeepsTheImagesProfileOnly) {
    scratch_dir d;
    const bytes image_profile = rgb_profile(5000, 1), logo_profile = rgb_profile(6000, 2);
    write_bytes(d.file("in.jpg"), with_profile(jpeg_bytes(make_content(content::photo, 40, 30)), false, image_profile));
    write_bytes(d.file("logo.png"), with_profile(png_bytes(make_content(content::alpha_ramp, 9, 7)), true, logo_profile));
    write_bytes(d.file("bare.jpg"), jpeg_bytes(make_content(content::photo, 40, 30)));
    write_bytes(d.file("bare_in_logo.png"), with_profile(png_bytes(make_content(content::alpha_ramp, 9, 7)), true, logo_profile));
    for (const char *out : {"o.jpg", "o.png"}) {
        ASSERT_EQ(imgwatermark_image(d.file("in.jpg").c_str(), d.file(out).c_str(), d.file("logo.png").c_str(), 0.9f, 2, 1.5f), 1);
        const bool png_out = out[2] == 'p';
        EXPECT_EQ((png_out ? split_png(read_bytes(d.file(out))) : split_jpeg(read_bytes(d.file(out)))).profile, image_profile) << out;
    }
    ASSERT_EQ(imgwatermark_image(d.file("bare.jpg").c_str(), d.file("b.jpg").c_str(), d.file("bare_in_logo.png").c_str(), 0.9f, 2, 1.5f), 1);
    EXPECT_TRUE(split_jpeg(read_bytes(d.file("b.jpg"))).profile.empty());
}

// Nothing else of the input's metadata is carried: an EXIF block (where a
// camera keeps GPS position and serial numbers) leaves no trace.
TEST(ColourProfileOutput, ExifIsNotCarried) {
    const bytes plain = jpeg_bytes(make_content(content::photo, 24, 16));
    const bytes with_exif = with_jpeg_segments(plain, exif_segment(exif_tiff(1)));
    for (const char *out_name : {"out.jpg", "out.png"}) {
        const bytes out = text_output(with_exif, out_name);
        EXPECT_EQ(out, text_output(plain, out_name)) << out_name;
        const std::string text(out.begin(), out.end());
        EXPECT_EQ(text.find("Exif"), std::string::npos);
        EXPECT_EQ(text.find("eXIf"), std::string::npos);
    }
}
