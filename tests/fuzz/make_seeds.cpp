// Writes the fuzzers' seed corpus into the directories named on the command
// line: tiny PNG, JPEG, BMP and TGA files from the encoders, and hand-made
// GIF, PSD, PNM, HDR and PIC headers, so that every decoder is reached from
// the first run.  usage: make_fuzz_seeds IMAGE_DIR PARAMS_DIR
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "metadata_fixtures.h"
#include "stb_image_write.h"

namespace {

void sink(void *context, void *data, int size) {
    auto *out = static_cast<bytes *>(context);
    out->insert(out->end(), static_cast<unsigned char *>(data), static_cast<unsigned char *>(data) + size);
}

void save(const std::string &dir, const char *name, const bytes &b) {
    const std::string path = dir + "/" + name;
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(b.data(), 1, b.size(), f) != b.size() || std::fclose(f) != 0) {
        std::perror(path.c_str());
        std::exit(1);
    }
}

bytes text(const char *s) { return bytes(s, s + std::char_traits<char>::length(s)); }

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s IMAGE_DIR PARAMS_DIR\n", argv[0]);
        return 2;
    }
    const std::string images = argv[1], params = argv[2];

    unsigned char px[5 * 4 * 4];
    for (int i = 0; i < 5 * 4; ++i) {
        px[i * 4 + 0] = static_cast<unsigned char>(i * 40);
        px[i * 4 + 1] = static_cast<unsigned char>(255 - i * 12);
        px[i * 4 + 2] = static_cast<unsigned char>(i * 90);
        px[i * 4 + 3] = static_cast<unsigned char>(i * 13);
    }
    for (int channels : {1, 2, 3, 4}) {
        bytes png, jpg, bmp, tga, tga_raw;
        stbi_write_png_to_func(sink, &png, 5, 4, channels, px, 5 * channels);
        stbi_write_jpg_to_func(sink, &jpg, 5, 4, channels, px, 50);
        stbi_write_bmp_to_func(sink, &bmp, 5, 4, channels, px);
        stbi_write_tga_to_func(sink, &tga, 5, 4, channels, px);
        const std::string n = std::to_string(channels);
        save(images, ("tiny" + n + ".png").c_str(), png);
        save(images, ("tiny" + n + ".jpg").c_str(), jpg);
        save(images, ("tiny" + n + ".bmp").c_str(), bmp);
        save(images, ("tiny" + n + ".tga").c_str(), tga);
    }
    // Camera-style metadata: an EXIF orientation and a colour profile, in a
    // JPEG's segments and a PNG's chunks.
    {
        bytes jpg, png;
        stbi_write_jpg_to_func(sink, &jpg, 5, 4, 3, px, 90);
        stbi_write_png_to_func(sink, &png, 5, 4, 4, px, 5 * 4);
        const bytes profile = rgb_profile(200);
        save(images, "exif6-icc.jpg", with_jpeg_segments(jpg, concat({exif_segment(exif_tiff(6)), icc_segments(profile, 90)})));
        save(images, "exif5-icc.png",
             with_png_chunks(png, concat({png_chunk("eXIf", exif_tiff(5, true)), png_chunk("iCCP", iccp_body(profile))})));
    }
    // Run-length TGA (grey) and HDR (width 8) files at their densest.
    save(images, "rle.tga", {0, 0, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 128, 0, 2, 0, 8, 0x20, 0xFF, 0x40, 0xFF, 0x90});
    bytes rle_hdr = text("#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 2 +X 8\n");
    for (int row = 0; row < 2; ++row)
        rle_hdr.insert(rle_hdr.end(), {2, 2, 0, 8, 136, 100, 136, 50, 4, 1, 2, 3, 4, 132, 5, 136, 128});
    save(images, "rle.hdr", rle_hdr);
    // GIF89a 2 x 2 with a 4-colour table and one LZW frame.
    save(images, "tiny.gif",
         {'G', 'I', 'F', '8', '9', 'a', 2, 0, 2, 0, 0x81, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255,
          0x2C, 0, 0, 0, 0, 2, 0, 2, 0, 0, 2, 3, 0x44, 0x34, 0x05, 0, 0x3B});
    // PSD: 3 channels, 2 x 2, 8 bits, RGB, raw image data.
    bytes psd = {'8', 'B', 'P', 'S', 0, 1, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 2, 0, 0, 0, 2, 0, 8, 0, 3,
                 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    for (int i = 0; i < 12; ++i) psd.push_back(static_cast<unsigned char>(i * 20));
    save(images, "tiny.psd", psd);
    bytes ppm = text("P6\n2 2\n255\n");
    for (int i = 0; i < 12; ++i) ppm.push_back(static_cast<unsigned char>(i * 20));
    save(images, "tiny.ppm", ppm);
    save(images, "tiny.pgm", text("P5 3 1 255\n\x01\x80\xff"));
    bytes hdr = text("#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 1 +X 2\n");
    for (unsigned char b : {128, 64, 32, 129, 10, 20, 30, 128}) hdr.push_back(b);
    save(images, "tiny.hdr", hdr);
    // Softimage PIC: magic, 2 x 1, one uncompressed RGBA packet.
    bytes pic = {0x53, 0x80, 0xF6, 0x34};
    pic.resize(88, 0);
    pic.insert(pic.end(), {'P', 'I', 'C', 'T', 0, 2, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0xF0,
                           1, 2, 3, 4, 5, 6, 7, 8});
    save(images, "tiny.pic", pic);

    // Parameter seeds: eight selector bytes, seven 32-bit values, then text.
    const char *texts[] = {"A", "AV To", "two\nlines", "\xff\x80", "\n"};
    for (int i = 0; i < 24; ++i) {
        bytes b;
        for (int k = 0; k < 8; ++k) b.push_back(static_cast<unsigned char>(i * 5 + k * 3));
        for (int k = 0; k < 7 * 4; ++k) b.push_back(static_cast<unsigned char>(i * 31 + k * 17));
        const bytes t = text(texts[i % 5]);
        b.insert(b.end(), t.begin(), t.end());
        save(params, ("params" + std::to_string(i)).c_str(), b);
    }
    return 0;
}
