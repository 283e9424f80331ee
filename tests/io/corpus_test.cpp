// The PngSuite corpus through the text operation at opacity 0: every valid
// image must come back with exactly the pixels of the corpus's reference
// decode, and every deliberately corrupt x* image must be refused with the
// decode message or decode, never crash.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "imgwatermark.h"
#include "test_support.h"

namespace {

const fs::path kSuite = fs::path(IMGWATERMARK_CORPUS_DIR) / "pngsuite";

std::vector<fs::path> suite_files(bool corrupt) {
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(kSuite / "png", ec)) {
        const std::string name = e.path().filename().string();
        if (e.path().extension() != ".png") continue;
        if ((name[0] == 'x') == corrupt) files.push_back(e.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

using bytes16 = std::vector<int>;

// A reference decode: a JSON array of sample values.
bool read_reference(const fs::path &json, bytes16 *out) {
    std::ifstream in(json, std::ios::binary);
    if (!in) return false;
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    out->clear();
    int value = -1;
    for (char ch : text) {
        if (std::isdigit(static_cast<unsigned char>(ch))) {
            value = (value < 0 ? 0 : value * 10) + (ch - '0');
            if (value > 65535) return false;
        } else if (value >= 0) {
            out->push_back(value);
            value = -1;
        }
    }
    return true;
}

// The reference holds 16-bit samples for 16-bit files (values above 255).
bool is_16_bit(const bytes16 &values) {
    return std::any_of(values.begin(), values.end(), [](int v) { return v > 255; });
}

TEST(pngsuite, valid_images_keep_their_pixels) {
    const auto files = suite_files(false);
    if (files.empty()) GTEST_SKIP() << "no PngSuite corpus under " << kSuite;
    scratch_dir d;
    int checked = 0;
    for (const auto &png : files) {
        const std::string stem = png.stem().string();
        SCOPED_TRACE(stem);
        bytes16 reference;
        if (!read_reference(kSuite / "json" / (stem + ".json"), &reference)) {
            ADD_FAILURE() << "no reference decode";
            continue;
        }
        const std::string out = d.file(stem + ".png");
        if (imgwatermark_text(png.string().c_str(), out.c_str(), "PngSuite", 0, 0.0f, 0.0f, 0, 255, 255, 255) != 1) {
            ADD_FAILURE() << imgwatermark_last_error();
            continue;
        }
        EXPECT_STREQ(imgwatermark_last_error(), "");
        const picture p = decode(out);
        if (p.px.size() != reference.size()) {
            ADD_FAILURE() << "size " << p.w << " x " << p.h << " does not match the reference";
            continue;
        }
        if (!is_16_bit(reference)) {
            EXPECT_TRUE(std::equal(p.px.begin(), p.px.end(), reference.begin())) << "pixels differ";
        } else {
            // The decoder reduces 16-bit samples to their high byte: exact
            // against the 16-bit reference. The corpus's own 8-bit reduction
            // rounds differently, so against it one step is allowed.
            size_t high_byte_mismatches = 0;
            for (size_t i = 0; i < p.px.size(); ++i) high_byte_mismatches += p.px[i] != (reference[i] >> 8);
            EXPECT_EQ(high_byte_mismatches, 0u);
            bytes16 to8;
            if (read_reference(kSuite / "json" / (stem + "_to8.json"), &to8)) {
                ASSERT_EQ(to8.size(), p.px.size());
                int worst = 0;
                for (size_t i = 0; i < p.px.size(); ++i) worst = std::max(worst, std::abs(p.px[i] - to8[i]));
                EXPECT_LE(worst, 1);
            }
        }
        ++checked;
    }
    EXPECT_GE(checked, 150);
}

TEST(pngsuite, corrupt_images_are_refused_or_decoded) {
    const auto files = suite_files(true);
    if (files.empty()) GTEST_SKIP() << "no PngSuite corpus under " << kSuite;
    scratch_dir d;
    int refused = 0;
    for (const auto &png : files) {
        const std::string path = png.string();
        SCOPED_TRACE(path);
        const std::string out = d.file(png.filename().string());
        write_text(out, "keep");
        const int result = imgwatermark_text(path.c_str(), out.c_str(), "PngSuite", 0, 0.5f, 30.0f, 5, 255, 0, 0);
        const std::string message = imgwatermark_last_error();
        if (result == 0) {
            const std::string prefix = "cannot decode image " + path + " (";
            EXPECT_EQ(message.substr(0, prefix.size()), prefix);
            EXPECT_GT(message.size(), prefix.size() + 1);
            EXPECT_EQ(message.back(), ')');
            EXPECT_EQ(read_bytes(out), bytes({'k', 'e', 'e', 'p'}));
            ++refused;
        } else {
            EXPECT_EQ(result, 1);
            EXPECT_EQ(message, "");
            EXPECT_GT(decode(out).w, 0);
        }
    }
    EXPECT_GT(refused, 0);
}

}  // namespace
