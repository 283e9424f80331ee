// Files whose header declares more picture than their bytes could hold are
// refused before decoding; files at the densest encoding their format allows
// still decode. For each format, one file just inside its bound and the same
// data declaring a little more.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "decoder_guards.h"
#include "reference_decoder.h"
#include "imgwatermark.h"
#include "test_support.h"

namespace {

bytes repeated(const bytes &unit, size_t times) {
    bytes all;
    for (size_t i = 0; i < times; ++i) all.insert(all.end(), unit.begin(), unit.end());
    return all;
}

bytes text_bytes(const std::string &s) { return bytes(s.begin(), s.end()); }

// TGA: 18-byte header; run-length types carry packets of a count byte and
// one pixel covering up to 128 pixels.
bytes tga_header(int type, int w, int h, int pixel_bits, int palette_entries = 0, int palette_bits = 0) {
    bytes b(18, 0);
    b[1] = palette_entries ? 1 : 0;
    b[2] = static_cast<unsigned char>(type);
    put_le16(b, 5, static_cast<uint32_t>(palette_entries));
    b[7] = static_cast<unsigned char>(palette_bits);
    put_le16(b, 12, static_cast<uint32_t>(w));
    put_le16(b, 14, static_cast<uint32_t>(h));
    b[16] = static_cast<unsigned char>(pixel_bits);
    b[17] = 0x20;  // top-left origin
    return b;
}

// The 439-byte grey run-length TGA declaring 49,407 x 4,352 pixels.
bytes tga_bomb() {
    bytes b = concat({tga_header(11, 49407, 4352, 8), repeated({0xFF, 0x80}, 210)});
    b.push_back(0);
    return b;
}

// BMP: a 40-byte info header, 24-bit rows; width 4 gives rows of 12 bytes
// with no padding.
bytes bmp_24(int w, int h, size_t data_bytes) {
    bytes b(54, 0);
    b[0] = 'B';
    b[1] = 'M';
    put_le32(b, 2, static_cast<uint32_t>(54 + data_bytes));
    put_le32(b, 10, 54);
    put_le32(b, 14, 40);
    put_le32(b, 18, static_cast<uint32_t>(w));
    put_le32(b, 22, static_cast<uint32_t>(h));
    put_le16(b, 26, 1);
    put_le16(b, 28, 24);
    return concat({b, bytes(data_bytes, 0x50)});
}

// PSD: RGB, 8 bits, 3 channels, empty mode data, resources and layers.
bytes psd_header(int w, int h, int compression) {
    bytes b(26 + 12 + 2, 0);
    std::memcpy(b.data(), "8BPS", 4);
    put_be16(b, 4, 1);
    put_be16(b, 12, 3);
    put_be32(b, 14, static_cast<uint32_t>(h));
    put_be32(b, 18, static_cast<uint32_t>(w));
    put_be16(b, 22, 8);
    put_be16(b, 24, 3);
    put_be16(b, 38, static_cast<uint32_t>(compression));
    return b;
}

// PackBits: a run of 128 copies of one byte.
bytes psd_rle(int w, int h, size_t runs_per_channel) {
    bytes counts(static_cast<size_t>(h) * 3 * 2, 0);
    return concat({psd_header(w, h, 1), counts, repeated({0x81, 0x60}, runs_per_channel * 3)});
}

// Softimage PIC: one mixed run-length packet for R, G and B; each row one
// long run (marker 128, a 16-bit count, the three values).
bytes pic_mixed(int w, int h, int rows_of_data) {
    bytes b(104, 0);
    const unsigned char magic[4] = {0x53, 0x80, 0xF6, 0x34};
    std::memcpy(b.data(), magic, 4);
    std::memcpy(b.data() + 88, "PICT", 4);
    put_be16(b, 92, static_cast<uint32_t>(w));
    put_be16(b, 94, static_cast<uint32_t>(h));
    const bytes packet = {0, 8, 2, 0xE0};
    bytes run = {128, 0, 0, 200, 100, 50};
    put_be16(run, 1, static_cast<uint32_t>(w));
    return concat({b, packet, repeated(run, static_cast<size_t>(rows_of_data))});
}

// Radiance HDR: run-length scanlines of width 8..127, each channel one run.
bytes hdr_rle(int w, int h, int rows_of_data) {
    const bytes header = text_bytes("#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y " + std::to_string(h) + " +X " +
                                    std::to_string(w) + "\n");
    bytes row = {2, 2, static_cast<unsigned char>(w >> 8), static_cast<unsigned char>(w & 255)};
    for (int channel = 0; channel < 4; ++channel) {
        row.push_back(static_cast<unsigned char>(128 + w));
        row.push_back(channel == 3 ? 128 : 100);
    }
    return concat({header, repeated(row, static_cast<size_t>(rows_of_data))});
}

bytes pnm(char kind, int w, int h, size_t data_bytes) {
    return concat({text_bytes(std::string("P") + kind + "\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n"),
                   bytes(data_bytes, 0x7F)});
}

// A real JPEG and PNG from the test encoder with their headers rewritten to
// declare w x h (the bound looks at the declaration, not the data).
bytes small_jpeg() {
    scratch_dir d;
    save_jpg(d.file("a.jpg"), picture(16, 16, 0x808080FF), 95);  // no chroma subsampling
    return read_bytes(d.file("a.jpg"));
}
bytes jpeg_declaring(int w, int h) {
    bytes b = small_jpeg();
    for (size_t i = 2; i + 9 < b.size(); ++i) {
        if (b[i] == 0xFF && b[i + 1] == 0xC0) {
            put_be16(b, i + 5, static_cast<uint32_t>(h));
            put_be16(b, i + 7, static_cast<uint32_t>(w));
            break;
        }
    }
    return b;
}
bytes png_declaring(uint32_t w, uint32_t h) {
    scratch_dir d;
    save_png(d.file("a.png"), picture(4, 4, 0x336699FF));
    bytes b = read_bytes(d.file("a.png"));
    put_be32(b, 16, w);
    put_be32(b, 20, h);
    put_be32(b, 29, crc32_of(&b[12], 17));
    return b;
}

struct bound_case {
    const char *name;
    bytes file;
    bool refused;
    decoder_format format;  // the reader that must take the file
};

std::vector<bound_case> bound_cases() {
    // Three full-size components: a row of 8 blocks across 64 pixels costs at
    // least 3 x 8 bits, three bytes.
    const int jpeg_rows = static_cast<int>(small_jpeg().size() / 3);
    // Four bytes of RGBA a pixel at 1,032 to one: the PNG's own size decides.
    const uint32_t png_size = static_cast<uint32_t>(png_declaring(1, 1).size());
    const uint32_t png_rows = png_size * 1032 / 4 / 64;
    return {
        {"tga_rle_grey_inside", concat({tga_header(11, 128, 4, 8), repeated({0xFF, 0x80}, 4)}), false, decoder_format::tga},
        {"tga_rle_grey_beyond", concat({tga_header(11, 128, 5, 8), repeated({0xFF, 0x80}, 4)}), true, decoder_format::tga},
        {"tga_rle_rgb_inside", concat({tga_header(10, 256, 1, 24), repeated({0xFF, 1, 2, 3}, 2)}), false, decoder_format::tga},
        {"tga_rle_rgb_beyond", concat({tga_header(10, 257, 1, 24), repeated({0xFF, 1, 2, 3}, 2)}), true, decoder_format::tga},
        {"tga_raw_inside", concat({tga_header(2, 5, 3, 24), bytes(45, 9)}), false, decoder_format::tga},
        {"tga_raw_beyond", concat({tga_header(2, 5, 3, 24), bytes(44, 9)}), true, decoder_format::tga},
        // The palette's bytes come before the pixels and count too.
        {"tga_mapped_rle_inside", concat({tga_header(9, 128, 2, 8, 2, 24), bytes(6, 40), repeated({0xFF, 1}, 2)}), false, decoder_format::tga},
        {"tga_mapped_rle_beyond", concat({tga_header(9, 128, 2, 8, 2, 24), bytes(5, 40), repeated({0xFF, 1}, 2)}), true, decoder_format::tga},
        {"tga_of_439_bytes", tga_bomb(), true, decoder_format::tga},
        {"bmp_inside", bmp_24(4, 6, 72), false, decoder_format::bmp},
        {"bmp_beyond", bmp_24(4, 6, 71), true, decoder_format::bmp},
        {"pnm_p6_inside", pnm('6', 4, 3, 36), false, decoder_format::pnm},
        {"pnm_p6_beyond", pnm('6', 4, 3, 35), true, decoder_format::pnm},
        {"pnm_p5_inside", pnm('5', 7, 2, 14), false, decoder_format::pnm},
        {"pnm_p5_beyond", pnm('5', 7, 2, 13), true, decoder_format::pnm},
        {"psd_raw_inside", concat({psd_header(5, 2, 0), bytes(30, 1)}), false, decoder_format::psd},
        {"psd_raw_beyond", concat({psd_header(5, 2, 0), bytes(29, 1)}), true, decoder_format::psd},
        {"psd_rle_inside", psd_rle(128, 2, 2), false, decoder_format::psd},
        {"psd_rle_beyond", psd_rle(128, 3, 2), true, decoder_format::psd},
        {"pic_long_runs_inside", pic_mixed(65535, 3, 3), false, decoder_format::pic},
        {"pic_long_runs_beyond", pic_mixed(65535, 4, 3), true, decoder_format::pic},
        {"hdr_rle_inside", hdr_rle(100, 3, 3), false, decoder_format::hdr},
        {"hdr_rle_beyond", hdr_rle(100, 4, 3), true, decoder_format::hdr},
        {"jpeg_one_bit_a_block_inside", jpeg_declaring(64, 8 * jpeg_rows), false, decoder_format::jpeg},
        {"jpeg_one_bit_a_block_beyond", jpeg_declaring(64, 8 * (jpeg_rows + 1)), true, decoder_format::jpeg},
        {"png_1032_to_1_inside", png_declaring(64, png_rows), false, decoder_format::png},
        {"png_1032_to_1_beyond", png_declaring(64, png_rows + 1), true, decoder_format::png},
        // A GIF screen may be far larger than its frames: no bound.
        {"gif_huge_screen", [] {
             bytes g = gif_2x2();
             put_le16(g, 6, 60000);
             put_le16(g, 8, 60000);
             return g;
         }(), false, decoder_format::gif},
    };
}

class declared_size : public ::testing::TestWithParam<bound_case> {};

TEST_P(declared_size, refused_exactly_beyond_the_bound) {
    const bound_case &c = GetParam();
    EXPECT_EQ(read_decoder_header(c.file.data(), static_cast<int>(c.file.size())).format, c.format);
    EXPECT_EQ(picture_larger_than_data(c.file.data(), static_cast<int>(c.file.size())), c.refused);
}

INSTANTIATE_TEST_SUITE_P(table, declared_size, ::testing::ValuesIn(bound_cases()),
                         [](const auto &info) { return std::string(info.param.name); });

// The refusal through the library: its message, and no output.
TEST(DeclaredSize, TheTgaOf439BytesIsRefusedWithItsMessage) {
    scratch_dir dir;
    const std::string in = dir.file("bomb.tga"), out = dir.file("out.png");
    const bytes bomb = tga_bomb();
    ASSERT_EQ(bomb.size(), 439u);
    write_bytes(in, bomb);
    EXPECT_EQ(imgwatermark_text(in.c_str(), out.c_str(), "x", 0, 1.0f, 0.0f, 0, 255, 255, 255), 0);
    EXPECT_EQ(std::string(imgwatermark_last_error()), "cannot decode image " + in + " (picture larger than its data)");
    EXPECT_FALSE(fs::exists(out));
}

// Files at their format's densest encoding decode to the pixels they hold.
TEST(DeclaredSize, FilesAtTheBoundDecodeToTheirPixels) {
    const struct {
        const char *name;
        bytes file;
        int w, h;
        uint32_t pixel;
    } rows[] = {
        {"tga", concat({tga_header(11, 128, 4, 8), repeated({0xFF, 0x80}, 4)}), 128, 4, 0x808080FF},
        {"psd", psd_rle(128, 2, 2), 128, 2, 0x606060FF},
        {"pic", pic_mixed(300, 3, 3), 300, 3, 0xC86432FF},
        {"pnm", pnm('6', 4, 3, 36), 4, 3, 0x7F7F7FFF},
    };
    scratch_dir dir;
    for (const auto &r : rows) {
        const std::string in = dir.file(std::string("in.") + r.name), out = dir.file(std::string(r.name) + ".png");
        write_bytes(in, r.file);
        ASSERT_EQ(imgwatermark_text(in.c_str(), out.c_str(), "x", 0, 0.0f, 0.0f, 0, 0, 0, 0), 1)
            << r.name << ": " << imgwatermark_last_error();
        const picture p = decode(out);
        ASSERT_EQ(p.w, r.w) << r.name;
        ASSERT_EQ(p.h, r.h) << r.name;
        for (int y = 0; y < p.h; ++y)
            for (int x = 0; x < p.w; ++x) ASSERT_EQ(p.get(x, y), r.pixel) << r.name << " at " << x << "," << y;
    }
}

// The reader would spin for ever on a run-length scanline that ends with the
// file: past the end it reads zero counts, which make no progress.
TEST(DeclaredSize, HdrScanlineEndingWithTheFileIsRefused) {
    const bytes whole = hdr_rle(100, 3, 3);
    bytes cut(whole.begin(), whole.end() - 3);
    bytes zero_counts = concat({hdr_rle(8, 1, 0), bytes{2, 2, 0, 8}, bytes(40, 0)});
    EXPECT_FALSE(picture_larger_than_data(whole.data(), static_cast<int>(whole.size())));
    EXPECT_TRUE(picture_larger_than_data(cut.data(), static_cast<int>(cut.size())));
    EXPECT_TRUE(picture_larger_than_data(zero_counts.data(), static_cast<int>(zero_counts.size())));

    scratch_dir dir;
    const std::string in = dir.file("stall.hdr"), out = dir.file("out.png");
    write_bytes(in, zero_counts);
    EXPECT_EQ(imgwatermark_text(in.c_str(), out.c_str(), "x", 0, 1.0f, 0.0f, 0, 255, 255, 255), 0);
    EXPECT_EQ(std::string(imgwatermark_last_error()), "cannot decode image " + in + " (picture larger than its data)");
}

}  // namespace
