// Hostile inputs through the exported functions: broken and oversized image
// files, absurd numbers, directories and overlong paths where files belong.
// Every case states its result, its message and what may happen to the
// output file; successful cases are checked pixel by pixel.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "imgwatermark.h"
#include "test_support.h"

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

// ---------------------------------------------------------------------------
// Hostile files, built in memory from valid ones.

bytes encoded(void (*save)(const std::string &, const picture &), const picture &p) {
    scratch_dir d;
    save(d.file("x"), p);
    return read_bytes(d.file("x"));
}
void save_jpg95(const std::string &path, const picture &p) { save_jpg(path, p, 95); }

const picture &input_picture() {
    static const picture p = patterned(64, 48);
    return p;
}
bytes good_png() { return encoded(save_png, input_picture()); }
bytes good_jpg() { return encoded(save_jpg95, input_picture()); }
bytes good_bmp() { return encoded(save_bmp, input_picture()); }

bytes first(const bytes &b, size_t n) { return bytes(b.begin(), b.begin() + static_cast<long>(std::min(n, b.size()))); }

// A valid PNG whose IHDR (with a correct CRC) declares w x h.
bytes png_declaring(uint32_t w, uint32_t h) {
    bytes b = good_png();
    put_be32(b, 16, w);
    put_be32(b, 20, h);
    put_be32(b, 29, crc32_of(&b[12], 17));
    return b;
}

// A PNG whose image data after the zlib header is overwritten with noise.
bytes png_corrupt_data() {
    bytes b = good_png();
    for (size_t i = 0; i + 8 < b.size(); ++i) {
        if (std::memcmp(&b[i + 4], "IDAT", 4) != 0) continue;
        for (size_t k = i + 10; k < b.size() - 12; ++k) b[k] = static_cast<unsigned char>(k * 37 + 11);
        break;
    }
    return b;
}

// A 24-bit BMP header declaring w x h with no pixel data behind it.
bytes bmp_declaring(uint32_t w, uint32_t h) {
    bytes b(54, 0);
    b[0] = 'B';
    b[1] = 'M';
    put_le32(b, 2, 54);
    put_le32(b, 10, 54);
    put_le32(b, 14, 40);
    put_le32(b, 18, w);
    put_le32(b, 22, h);
    put_le16(b, 26, 1);
    put_le16(b, 28, 24);
    return b;
}

bytes bmp_bad_depth() {
    bytes b = good_bmp();
    put_le16(b, 28, 7);
    return b;
}

// The test's JPEG with its frame header claiming 65535 x 65535.
bytes jpg_declaring_huge() {
    bytes b = good_jpg();
    for (size_t i = 2; i + 9 < b.size(); ++i) {
        if (b[i] == 0xFF && b[i + 1] == 0xC0) {
            b[i + 5] = b[i + 6] = b[i + 7] = b[i + 8] = 0xFF;
            break;
        }
    }
    return b;
}

// The JPEG with everything after its start marker replaced by noise.
bytes jpg_noise() {
    bytes b = good_jpg();
    for (size_t k = 2; k < b.size(); ++k) b[k] = static_cast<unsigned char>(k * 53 + 7);
    return b;
}

// A binary PNM: header text followed by `samples` bytes of mid grey.
bytes pnm(const std::string &header, size_t samples) {
    bytes b(header.begin(), header.end());
    b.insert(b.end(), samples, 0x80);
    return b;
}

// The JPEG with its first Huffman table declaring 512 codes (at most 256
// exist); the decoder would write past its tables.
bytes jpg_oversized_huffman_table() {
    bytes b = good_jpg();
    for (size_t i = 2; i + 21 < b.size(); ++i) {
        if (b[i] == 0xFF && b[i + 1] == 0xC4) {
            for (size_t k = 0; k < 16; ++k) b[i + 5 + k] = 0x20;
            break;
        }
    }
    return b;
}

bytes gif_declaring_huge() {
    bytes b = gif_2x2();
    put_le16(b, 6, 65535);
    put_le16(b, 8, 65535);
    put_le16(b, 30, 65535);
    put_le16(b, 32, 65535);
    return b;
}

bytes gif_bad_lzw() {
    bytes b = gif_2x2();
    b[35] = 13;  // LZW minimum code size beyond 12
    return b;
}

bytes text_bytes(const char *s) { return bytes(s, s + std::strlen(s)); }

// Named file contents the cases refer to.
const std::map<std::string, std::function<bytes()>> &contents() {
    static const std::map<std::string, std::function<bytes()>> table = {
        {"png", good_png},
        {"jpg", good_jpg},
        {"bmp", good_bmp},
        {"gif", gif_2x2},
        {"empty", [] { return bytes(); }},
        {"one byte", [] { return bytes{0x89}; }},
        {"one byte jpeg", [] { return bytes{0xFF}; }},
        {"one byte bmp", [] { return bytes{'B'}; }},
        {"one byte gif", [] { return bytes{'G'}; }},
        {"png signature", [] { return first(good_png(), 8); }},
        {"png cut in IHDR", [] { return first(good_png(), 20); }},
        {"png cut in IDAT", [] { return first(good_png(), good_png().size() / 2); }},
        {"png without IEND", [] { return first(good_png(), good_png().size() - 12); }},
        {"png corrupt data", png_corrupt_data},
        {"png 1000000 x 1000000", [] { return png_declaring(1000000, 1000000); }},
        {"png 0 x 10", [] { return png_declaring(0, 10); }},
        {"png 2^31 x 1", [] { return png_declaring(0x80000000u, 1); }},
        {"jpg soi only", [] { return bytes{0xFF, 0xD8}; }},
        {"jpg cut in headers", [] { return first(good_jpg(), 100); }},
        {"jpg noise", jpg_noise},
        {"jpg 65535 x 65535", jpg_declaring_huge},
        {"jpg oversized huffman table", jpg_oversized_huffman_table},
        {"pgm 8 bit", [] { return pnm("P5 64 32 255\n", 64 * 32); }},
        {"pgm 16 bit", [] { return pnm("P5 4 2 65535\n", 4 * 2 * 2); }},
        {"pgm 16 bit truncated", [] { return bytes{'P', '5', ' ', '3', ' ', '1', ' ', '2', '5', '6', '\n', 1, 0x80, 0xFF}; }},
        {"ppm number overflow", [] { return pnm("P6 # big\n99999999999 1 255\n", 30); }},
        {"bmp header only", [] { return first(good_bmp(), 14); }},
        {"bmp cut in pixels", [] { return first(good_bmp(), 200); }},
        {"bmp bad depth", bmp_bad_depth},
        {"bmp 50000 x 50000", [] { return bmp_declaring(50000, 50000); }},
        {"bmp 0 x 0", [] { return bmp_declaring(0, 0); }},
        {"gif cut", [] { return first(gif_2x2(), 10); }},
        {"gif bad lzw", gif_bad_lzw},
        {"gif 65535 x 65535", gif_declaring_huge},
        {"text", [] { return text_bytes("this is not an image, just words\n"); }},
        {"zeros", [] { return bytes(4096, 0); }},
    };
    return table;
}

// ---------------------------------------------------------------------------
// The table.

enum class op { text, image };

// What the call may do to the output path, which holds sentinel bytes before
// the call (or is a directory, or does not exist, per the case).
enum class outcome {
    untouched,     // failure: the sentinel stays byte for byte, no stray files
    same_pixels,   // success: output pixels equal the input's
    changed,       // success: same size as the input, some pixels differ
    same_as_ref,   // success: output bytes equal those of the reference call
};

struct params {
    const char *text = "Hostile";
    int font_size = 12;
    float opacity = 0.8f;
    float angle = 0.0f;
    int position = 0;
    float scale = 1.0f;
    int red = 200, green = 10, blue = 30;
};

struct hostile_case {
    const char *name;
    op kind;
    const char *input;      // key into contents(), "<dir>", "<2 GiB>", "<missing>" or "<null>"
    const char *input_ext;  // file name extension of the input
    const char *watermark;  // image op: same keys as input
    params p;
    int result;
    const char *message;  // {in}, {out}, {wm} stand for the paths
    bool message_is_prefix;
    outcome out;
    params ref{};  // the reference call's parameters for same_as_ref
    const char *output = "out.png";  // "<dir>", "<long>", "<null>" or a name
};

params with(std::function<void(params &)> f) {
    params p;
    f(p);
    return p;
}

const char *const kDecode = "cannot decode image {in} (";
const char *const kDecodeWm = "cannot decode image {wm} (";

// Fills the rows of the table; kept in a function so that the lambdas above
// are ready when it runs.
std::vector<hostile_case> cases() {
    const params defaults;
    return {
        // Files that are empty, tiny, truncated or corrupt.
        {"empty_png", op::text, "empty", ".png", nullptr, defaults, 0, "cannot read file: {in}", false, outcome::untouched},
        {"empty_jpg", op::text, "empty", ".jpg", nullptr, defaults, 0, "cannot read file: {in}", false, outcome::untouched},
        {"empty_bmp", op::text, "empty", ".bmp", nullptr, defaults, 0, "cannot read file: {in}", false, outcome::untouched},
        {"empty_gif", op::text, "empty", ".gif", nullptr, defaults, 0, "cannot read file: {in}", false, outcome::untouched},
        {"one_byte_png", op::text, "one byte", ".png", nullptr, defaults, 0, "cannot decode image {in} (unknown image type)", false, outcome::untouched},
        {"one_byte_jpg", op::text, "one byte jpeg", ".jpg", nullptr, defaults, 0, "cannot decode image {in} (unknown image type)", false, outcome::untouched},
        {"one_byte_bmp", op::text, "one byte bmp", ".bmp", nullptr, defaults, 0, "cannot decode image {in} (unknown image type)", false, outcome::untouched},
        {"one_byte_gif", op::text, "one byte gif", ".gif", nullptr, defaults, 0, "cannot decode image {in} (unknown image type)", false, outcome::untouched},
        {"png_signature_only", op::text, "png signature", ".png", nullptr, defaults, 0, kDecode, true, outcome::untouched},
        {"png_cut_in_ihdr", op::text, "png cut in IHDR", ".png", nullptr, defaults, 0, kDecode, true, outcome::untouched},
        {"png_cut_in_idat", op::text, "png cut in IDAT", ".png", nullptr, defaults, 0, kDecode, true, outcome::untouched},
        {"png_corrupt_data", op::text, "png corrupt data", ".png", nullptr, defaults, 0, kDecode, true, outcome::untouched},
        {"png_1000000_square", op::text, "png 1000000 x 1000000", ".png", nullptr, defaults, 0, kDecode, true, outcome::untouched},
        {"png_zero_width", op::text, "png 0 x 10", ".png", nullptr, defaults, 0, kDecode, true, outcome::untouched},
        {"png_width_2_pow_31", op::text, "png 2^31 x 1", ".png", nullptr, defaults, 0, kDecode, true, outcome::untouched},
        {"jpg_soi_only", op::text, "jpg soi only", ".jpg", nullptr, defaults, 0, kDecode, true, outcome::untouched},
        {"jpg_cut_in_headers", op::text, "jpg cut in headers", ".jpg", nullptr, defaults, 0, kDecode, true, outcome::untouched},
        {"jpg_noise", op::text, "jpg noise", ".jpg", nullptr, defaults, 0, kDecode, true, outcome::untouched},
        {"jpg_65535_square", op::text, "jpg 65535 x 65535", ".jpg", nullptr, defaults, 0, kDecode, true, outcome::untouched},
        // Found by fuzzing: refused before the decoder can overrun its tables.
        {"jpg_oversized_huffman_table", op::text, "jpg oversized huffman table", ".jpg", nullptr, defaults, 0, "cannot decode image {in} (bad DHT header)", false, outcome::untouched},
        {"jpg_valid_still_decodes", op::text, "jpg", ".jpg", nullptr, defaults, 1, "", false, outcome::changed},
        // Found by fuzzing: 16-bit PNM samples would be read past their block,
        // and long header numbers overflow the reader's int.
        {"pgm_16_bit_refused", op::text, "pgm 16 bit", ".pgm", nullptr, defaults, 0, "cannot decode image {in} (unsupported PNM)", false, outcome::untouched},
        {"pgm_16_bit_truncated_refused", op::text, "pgm 16 bit truncated", ".pgm", nullptr, defaults, 0, "cannot decode image {in} (unsupported PNM)", false, outcome::untouched},
        {"ppm_number_overflow_refused", op::image, "png", ".png", "ppm number overflow", defaults, 0, "cannot decode image {wm} (unsupported PNM)", false, outcome::untouched},
        {"pgm_8_bit_still_decodes", op::text, "pgm 8 bit", ".png", nullptr, defaults, 1, "", false, outcome::changed},
        {"image_watermark_oversized_huffman_table", op::image, "png", ".png", "jpg oversized huffman table", defaults, 0, "cannot decode image {wm} (bad DHT header)", false, outcome::untouched},
        {"bmp_header_only", op::text, "bmp header only", ".bmp", nullptr, defaults, 0, kDecode, true, outcome::untouched},
        // The BMP decoder would fill the missing pixel rows; the file is refused before it does.
        {"bmp_cut_in_pixels", op::text, "bmp cut in pixels", ".bmp", nullptr, defaults, 0, "cannot decode image {in} (picture larger than its data)", false, outcome::untouched},
        {"bmp_bad_depth", op::text, "bmp bad depth", ".bmp", nullptr, defaults, 0, kDecode, true, outcome::untouched},
        {"bmp_50000_square", op::text, "bmp 50000 x 50000", ".bmp", nullptr, defaults, 0, kDecode, true, outcome::untouched},
        {"bmp_zero_size", op::text, "bmp 0 x 0", ".bmp", nullptr, defaults, 0, kDecode, true, outcome::untouched},
        {"gif_cut", op::text, "gif cut", ".gif", nullptr, defaults, 0, kDecode, true, outcome::untouched},
        // The GIF decoder gives no reason for this one.
        {"gif_bad_lzw", op::text, "gif bad lzw", ".gif", nullptr, defaults, 0, "cannot decode image {in} (unknown error)", false, outcome::untouched},
        {"gif_65535_square", op::text, "gif 65535 x 65535", ".gif", nullptr, defaults, 0, kDecode, true, outcome::untouched},
        {"text_file", op::text, "text", ".png", nullptr, defaults, 0, "cannot decode image {in} (unknown image type)", false, outcome::untouched},
        {"zero_bytes", op::text, "zeros", ".jpg", nullptr, defaults, 0, "cannot decode image {in} (unknown image type)", false, outcome::untouched},
        {"file_of_2_gib", op::text, "<2 GiB>", ".png", nullptr, defaults, 0, "cannot read file: {in}", false, outcome::untouched},
        {"missing_file", op::text, "<missing>", ".png", nullptr, defaults, 0, "cannot read file: {in}", false, outcome::untouched},
        {"input_is_directory", op::text, "<dir>", ".png", nullptr, defaults, 0, "cannot read file: {in}", false, outcome::untouched},
        {"output_is_directory", op::text, "png", ".png", nullptr, defaults, 0, "failed to write image to {out}", false, outcome::untouched, {}, "<dir>"},
        {"input_path_5000_bytes", op::text, "<missing>", "<long>", nullptr, defaults, 0, "cannot read file: {in}", false, outcome::untouched},
        {"output_path_5000_bytes", op::text, "png", ".png", nullptr, defaults, 0, "failed to write image to {out}", false, outcome::untouched, {}, "<long>"},
        {"null_input", op::text, "<null>", ".png", nullptr, defaults, 0, "invalid arguments (NULL pointer)", false, outcome::untouched},
        {"null_output", op::text, "png", ".png", nullptr, defaults, 0, "invalid arguments (NULL pointer)", false, outcome::untouched, {}, "<null>"},
        {"null_text", op::text, "png", ".png", nullptr, with([](params &p) { p.text = nullptr; }), 0, "invalid arguments (NULL pointer)", false, outcome::untouched},
        {"empty_text", op::text, "png", ".png", nullptr, with([](params &p) { p.text = ""; }), 0, "empty text string", false, outcome::untouched},
        {"empty_text_unreadable_input", op::text, "empty", ".png", nullptr, with([](params &p) { p.text = ""; }), 0, "cannot read file: {in}", false, outcome::untouched},

        // Text sizes and lengths.
        {"font_size_0", op::text, "png", ".png", nullptr, with([](params &p) { p.font_size = 0; }), 1, "", false, outcome::changed},
        {"font_size_minus_1_is_default", op::text, "png", ".png", nullptr, with([](params &p) { p.font_size = -1; }), 1, "", false, outcome::same_as_ref, with([](params &p) { p.font_size = 0; })},
        {"font_size_int_min_is_default", op::text, "png", ".png", nullptr, with([](params &p) { p.font_size = INT_MIN; }), 1, "", false, outcome::same_as_ref, with([](params &p) { p.font_size = 32; })},
        {"font_size_1000000", op::text, "png", ".png", nullptr, with([](params &p) { p.font_size = 1000000; }), 0, "out of memory creating text buffer", false, outcome::untouched},
        {"font_size_int_max", op::text, "png", ".png", nullptr, with([](params &p) { p.font_size = INT_MAX; }), 0, "out of memory creating text buffer", false, outcome::untouched},
        {"text_100000_characters", op::text, "png", ".png", nullptr, with([](params &p) { p.text = "<long>"; }), 1, "", false, outcome::changed},
        {"text_100000_characters_turned", op::text, "png", ".png", nullptr, with([](params &p) { p.text = "<long>"; p.angle = 45.0f; }), 0, "failed to rotate watermark text", false, outcome::untouched},
        {"text_only_newlines", op::text, "png", ".png", nullptr, with([](params &p) { p.text = "\n\n\n"; }), 1, "", false, outcome::same_pixels},
        // Bytes 0x80-0xFF map to glyph 0, which has no outline in this font.
        {"text_high_bytes_draw_nothing", op::text, "png", ".png", nullptr, with([](params &p) { p.text = "\x80\xff\xfe"; }), 1, "", false, outcome::same_pixels},
        {"colour_out_of_range_is_clamped", op::text, "png", ".png", nullptr, with([](params &p) { p.red = INT_MAX; p.green = INT_MIN; p.blue = 1000; }), 1, "", false, outcome::same_as_ref, with([](params &p) { p.red = 255; p.green = 0; p.blue = 255; })},

        // Angles.
        {"angle_nan_is_no_turn", op::text, "png", ".png", nullptr, with([](params &p) { p.angle = kNaN; }), 1, "", false, outcome::same_as_ref},
        {"angle_plus_inf_is_no_turn", op::text, "png", ".png", nullptr, with([](params &p) { p.angle = kInf; }), 1, "", false, outcome::same_as_ref},
        {"angle_minus_inf_is_no_turn", op::text, "png", ".png", nullptr, with([](params &p) { p.angle = -kInf; }), 1, "", false, outcome::same_as_ref},
        // 1e30 as a float is 1000000015047466219876688855040, which is 120
        // modulo 360 (and -1e30 is 240): the remainder is exact, so the turn
        // must be that small angle's, byte for byte.
        {"angle_1e30", op::text, "png", ".png", nullptr, with([](params &p) { p.angle = 1e30f; }), 1, "", false, outcome::same_as_ref, with([](params &p) { p.angle = 120.0f; })},
        {"angle_minus_1e30", op::text, "png", ".png", nullptr, with([](params &p) { p.angle = -1e30f; }), 1, "", false, outcome::same_as_ref, with([](params &p) { p.angle = 240.0f; })},
        {"angle_720_is_no_turn", op::text, "png", ".png", nullptr, with([](params &p) { p.angle = 720.0f; }), 1, "", false, outcome::same_as_ref},

        // Opacities.
        {"opacity_nan_draws_nothing", op::text, "png", ".png", nullptr, with([](params &p) { p.opacity = kNaN; }), 1, "", false, outcome::same_pixels},
        {"opacity_minus_inf_draws_nothing", op::text, "png", ".png", nullptr, with([](params &p) { p.opacity = -kInf; }), 1, "", false, outcome::same_pixels},
        {"opacity_plus_inf_is_full", op::text, "png", ".png", nullptr, with([](params &p) { p.opacity = kInf; }), 1, "", false, outcome::same_as_ref, with([](params &p) { p.opacity = 1.0f; })},

        // Positions.
        {"position_int_min_centres", op::text, "png", ".png", nullptr, with([](params &p) { p.position = INT_MIN; }), 1, "", false, outcome::same_as_ref},
        {"position_int_max_centres", op::text, "png", ".png", nullptr, with([](params &p) { p.position = INT_MAX; }), 1, "", false, outcome::same_as_ref},
        {"position_tile_font_6", op::text, "png", ".png", nullptr, with([](params &p) { p.position = 5; p.font_size = 6; }), 1, "", false, outcome::changed},

        // The picture watermark.
        {"image_watermark_empty", op::image, "png", ".png", "empty", defaults, 0, "cannot read file: {wm}", false, outcome::untouched},
        {"image_watermark_text_file", op::image, "png", ".png", "text", defaults, 0, "cannot decode image {wm} (unknown image type)", false, outcome::untouched},
        {"image_watermark_png_huge", op::image, "png", ".png", "png 1000000 x 1000000", defaults, 0, kDecodeWm, true, outcome::untouched},
        {"image_watermark_bmp_huge", op::image, "png", ".png", "bmp 50000 x 50000", defaults, 0, kDecodeWm, true, outcome::untouched},
        {"image_watermark_directory", op::image, "png", ".png", "<dir>", defaults, 0, "cannot read file: {wm}", false, outcome::untouched},
        {"image_input_corrupt", op::image, "png corrupt data", ".png", "gif", defaults, 0, kDecode, true, outcome::untouched},
        {"image_null_watermark", op::image, "png", ".png", "<null>", defaults, 0, "invalid arguments (NULL pointer)", false, outcome::untouched},
        {"scale_nan_is_own_size", op::image, "png", ".png", "gif", with([](params &p) { p.scale = kNaN; }), 1, "", false, outcome::same_as_ref},
        {"scale_inf_is_one_pixel", op::image, "png", ".png", "gif", with([](params &p) { p.scale = kInf; }), 1, "", false, outcome::same_as_ref, with([](params &p) { p.scale = 0.1f; })},
        // 2 x 1e9 still fits an int, so a 2e9 x 2e9 copy is asked for and refused.
        {"scale_1e9_cannot_be_allocated", op::image, "png", ".png", "gif", with([](params &p) { p.scale = 1e9f; }), 0, "failed to resize watermark image", false, outcome::untouched},
        // 2 x 3e9 leaves the int range, which counts as a size of 1.
        {"scale_3e9_is_one_pixel", op::image, "png", ".png", "gif", with([](params &p) { p.scale = 3e9f; }), 1, "", false, outcome::same_as_ref, with([](params &p) { p.scale = 0.1f; })},
        {"scale_1e_minus_9_is_one_pixel", op::image, "png", ".png", "gif", with([](params &p) { p.scale = 1e-9f; }), 1, "", false, outcome::same_as_ref, with([](params &p) { p.scale = 0.1f; })},
#if !defined(_WIN32)  // Wine zero-fills a reservation this large instead of refusing it
        {"scale_too_large_to_allocate", op::image, "png", ".png", "png", with([](params &p) { p.scale = 100000.0f; }), 0, "failed to resize watermark image", false, outcome::untouched},
#endif
        {"scale_minus_inf_is_own_size", op::image, "png", ".png", "gif", with([](params &p) { p.scale = -kInf; }), 1, "", false, outcome::same_as_ref},
        {"image_opacity_nan_draws_nothing", op::image, "png", ".png", "gif", with([](params &p) { p.opacity = kNaN; }), 1, "", false, outcome::same_pixels},
        {"image_position_int_min_centres", op::image, "png", ".png", "gif", with([](params &p) { p.position = INT_MIN; }), 1, "", false, outcome::same_as_ref},
        {"image_watermark_larger_than_input", op::image, "gif", ".gif", "png", defaults, 1, "", false, outcome::changed},
    };
}

std::string replace_all(std::string s, const std::string &from, const std::string &to) {
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) s.replace(at, from.size(), to);
    return s;
}

// A path of `length` bytes inside dir, made of existing directory levels so
// that only its total length is wrong.
std::string long_path(const scratch_dir &d, size_t length, const std::string &ext) {
    std::string p = d.path.string();
    std::string level(200, 'd');
    while (p.size() + level.size() + 1 + 40 < length) {
        p += "/" + level;
        std::error_code ec;
        fs::create_directory(p, ec);  // fails past PATH_MAX; the name stays long
    }
    p += "/";
    p += std::string(length - p.size() - ext.size(), 'f');
    return p + ext;
}

const bytes kSentinel = {'s', 'e', 'n', 't', 'i', 'n', 'e', 'l'};

std::vector<std::string> stray_files(const std::string &dir) {
    std::vector<std::string> found;
    for (const auto &e : fs::directory_iterator(dir))
        if (e.path().filename().string().rfind(".imgwatermark-", 0) == 0) found.push_back(e.path().string());
    return found;
}

struct run_paths {
    std::string in, out, wm;
    const char *in_arg = nullptr, *out_arg = nullptr, *wm_arg = nullptr;
};

// Creates what `key` names at `name`; *arg is what the call receives.
void materialise(const char *key, const std::string &name, const char **arg, std::string *path) {
    const std::string k = key;
    if (k == "<null>") {
        *arg = nullptr;
        return;
    }
    *path = name;
    if (k == "<dir>") {
        fs::create_directory(*path);
    } else if (k == "<2 GiB>") {
        // A sparse PNG-headed file of exactly 2^31 bytes: one more than a
        // size the loader accepts.
        write_bytes(*path, first(good_png(), 64));
        fs::resize_file(*path, 1ull << 31);
    } else if (k != "<missing>") {
        write_bytes(*path, contents().at(k)());
    }
    *arg = path->c_str();
}

int call(const hostile_case &c, const params &p, const run_paths &r, const std::string &long_text) {
    const char *text = p.text && std::strcmp(p.text, "<long>") == 0 ? long_text.c_str() : p.text;
    if (c.kind == op::text)
        return imgwatermark_text(r.in_arg, r.out_arg, text, p.font_size, p.opacity, p.angle, p.position, p.red,
                                 p.green, p.blue);
    return imgwatermark_image(r.in_arg, r.out_arg, r.wm_arg, p.opacity, p.position, p.scale);
}

void PrintTo(const hostile_case &c, std::ostream *os) { *os << c.name; }

class hostile : public ::testing::TestWithParam<hostile_case> {};

TEST_P(hostile, behaves_as_stated) {
    const hostile_case &c = GetParam();
    scratch_dir d;
    std::string long_text(100000, 'W');
    for (size_t i = 0; i < long_text.size(); i += 7) long_text[i] = "AVTo.\x7f\xc3"[i % 7];

    run_paths r;
    const std::string in_name = std::strcmp(c.input_ext, "<long>") == 0 ? long_path(d, 5000, ".png")
                                                                         : d.file(std::string("in") + c.input_ext);
    materialise(c.input, in_name, &r.in_arg, &r.in);
    if (c.watermark) materialise(c.watermark, d.file("wm.img"), &r.wm_arg, &r.wm);

    const std::string out_key = c.output;
    bool out_is_dir = false;
    if (out_key == "<null>") {
        r.out_arg = nullptr;
    } else {
        if (out_key == "<dir>") {
            r.out = d.file("outdir.png");
            fs::create_directory(r.out);
            out_is_dir = true;
        } else if (out_key == "<long>") {
            r.out = long_path(d, 5000, ".png");
        } else {
            r.out = d.file(out_key);
            write_bytes(r.out, kSentinel);
        }
        r.out_arg = r.out.c_str();
    }

    imgwatermark_cleanup();
    const int result = call(c, c.p, r, long_text);
    const std::string message = imgwatermark_last_error();
    EXPECT_EQ(result, c.result);

    std::string expected = replace_all(replace_all(replace_all(c.message, "{in}", r.in), "{out}", r.out), "{wm}", r.wm);
    if (expected.size() > 511) expected.resize(511);  // the error buffer keeps 511 characters
    if (c.message_is_prefix) {
        EXPECT_EQ(message.substr(0, expected.size()), expected) << message;
        EXPECT_GT(message.size(), expected.size() + 1) << "the decoder's reason is missing: " << message;
        EXPECT_EQ(message.back(), ')') << message;
    } else {
        EXPECT_EQ(message, expected);
    }
    EXPECT_TRUE(stray_files(d.path.string()).empty());

    const picture input = r.in_arg && result ? decode(r.in) : picture();
    switch (c.out) {
    case outcome::untouched:
        if (out_is_dir) {
            EXPECT_TRUE(fs::is_directory(r.out));
        } else if (r.out_arg && out_key != "<long>") {
            EXPECT_EQ(read_bytes(r.out), kSentinel) << "the existing output was changed";
        }
        break;
    case outcome::same_pixels: {
        const picture out = decode(r.out);
        ASSERT_GT(out.w, 0) << "the output does not decode";
        EXPECT_TRUE(out == input) << "the output's pixels differ from the input's";
        break;
    }
    case outcome::changed: {
        const picture out = decode(r.out);
        ASSERT_EQ(out.w, input.w);
        ASSERT_EQ(out.h, input.h);
        EXPECT_FALSE(out == input) << "no watermark reached the output";
        break;
    }
    case outcome::same_as_ref: {
        run_paths ref = r;
        ref.out = d.file("reference.png");
        ref.out_arg = ref.out.c_str();
        ASSERT_EQ(call(c, c.ref, ref, long_text), 1) << imgwatermark_last_error();
        EXPECT_EQ(read_bytes(r.out), read_bytes(ref.out)) << "output differs from the reference call's";
        EXPECT_FALSE(decode(r.out) == input) << "the reference itself drew nothing";
        break;
    }
    }
}

INSTANTIATE_TEST_SUITE_P(table, hostile, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<hostile_case> &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Batches over hostile directories.

TEST(hostile_batch, counts_only_the_good_files_among_hundreds) {
    scratch_dir in, out;
    const char *bad[] = {"empty", "one byte", "png cut in IDAT", "png corrupt data", "png 1000000 x 1000000",
                         "jpg soi only", "jpg 65535 x 65535", "bmp 50000 x 50000", "bmp header only", "text"};
    const char *good_ext[] = {".png", ".jpg", ".bmp"};
    const bytes good[] = {good_png(), good_jpg(), good_bmp()};
    int expected_ok = 0;
    std::vector<std::string> good_names, bad_names;
    for (int i = 0; i < 300; ++i) {
        char name[32];
        if (i % 7 == 3) {
            std::snprintf(name, sizeof name, "f%03d%s", i, good_ext[i % 3]);
            write_bytes(in.file(name), contents().at(bad[i % 10])());
            bad_names.push_back(name);
        } else {
            std::snprintf(name, sizeof name, "f%03d%s", i, good_ext[i % 3]);
            write_bytes(in.file(name), good[i % 3]);
            good_names.push_back(name);
            ++expected_ok;
        }
    }
    write_text(in.file("notes.txt"), "skipped");
    fs::create_directory(in.file("sub.png"));

    const int n = imgwatermark_batch(in.path.string().c_str(), out.path.string().c_str(), "Batch", 10, 0.7f, 5);
    EXPECT_EQ(n, expected_ok);
    EXPECT_STREQ(imgwatermark_last_error(), "");
    for (const auto &name : good_names) {
        const picture p = decode(out.file(name));
        EXPECT_EQ(p.w, 64) << name;
        EXPECT_EQ(p.h, 48) << name;
    }
    for (const auto &name : bad_names) EXPECT_FALSE(fs::exists(out.file(name))) << name;
    EXPECT_FALSE(fs::exists(out.file("notes.txt")));
    EXPECT_TRUE(stray_files(out.path.string()).empty());
}

// The separator the batch joins directory and file names with.
#if defined(_WIN32)
const char *const kSeparator = "\\";
#else
const char *const kSeparator = "/";
#endif

struct batch_case {
    const char *name;
    const char *input;  // "<file>", "<missing>", "<null>", "<bad only>", "<long>"
    const char *text;
    int result;
    const char *message;  // {in} is the input directory
};

void PrintTo(const batch_case &c, std::ostream *os) { *os << c.name; }

class hostile_batch_table : public ::testing::TestWithParam<batch_case> {};

TEST_P(hostile_batch_table, fails_as_stated) {
    const batch_case &c = GetParam();
    scratch_dir d;
    std::string dir = d.file("input");
    const std::string key = c.input;
    if (key == "<file>") {
        write_bytes(dir, good_png());
    } else if (key == "<bad only>") {
        fs::create_directory(dir);
        write_bytes(dir + "/a.png", contents().at("png corrupt data")());
        write_bytes(dir + "/b.bmp", contents().at("empty")());
    } else if (key == "<long>") {
        dir = long_path(d, 5000, "");
    }
    const std::string out = d.file("output");
    imgwatermark_cleanup();
    const int n = imgwatermark_batch(key == "<null>" ? nullptr : dir.c_str(), out.c_str(), c.text, 12, 0.5f, 0);
    EXPECT_EQ(n, c.result);
    std::string expected = replace_all(replace_all(c.message, "{in}", dir), "{sep}", kSeparator);
    if (expected.size() > 511) expected.resize(511);
    EXPECT_EQ(std::string(imgwatermark_last_error()), expected);
}

const batch_case kBatchCases[] = {
    {"null_input", "<null>", "x", 0, "batch: invalid arguments (NULL pointer)"},
    {"null_text", "<bad only>", nullptr, 0, "batch: invalid arguments (NULL pointer)"},
    {"input_is_a_file", "<file>", "x", 0, "batch: cannot open input directory: {in}"},
    {"input_missing", "<missing>", "x", 0, "batch: cannot open input directory: {in}"},
    {"input_path_5000_bytes", "<long>", "x", 0, "batch: cannot open input directory: {in}"},
    // Sorted by name, b.bmp is the last file tried; its message stays.
    {"every_file_bad", "<bad only>", "x", 0, "cannot read file: {in}{sep}b.bmp"},
};

INSTANTIATE_TEST_SUITE_P(table, hostile_batch_table, ::testing::ValuesIn(kBatchCases),
                         [](const ::testing::TestParamInfo<batch_case> &info) { return std::string(info.param.name); });

}  // namespace
