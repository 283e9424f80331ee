// Arbitrary bytes as an image file: as the image to mark with text, as the
// image to mark with a picture, and as the picture watermark itself. Files
// declaring a picture too large to run quickly are skipped (see
// fuzz::declares_slow_picture).
#include <cstddef>
#include <cstdint>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (fuzz::declares_slow_picture(data, size)) return 0;
    fuzz::make_fixtures(24, 16, 8, 6);
    const std::string input = fuzz::path("input.bin");
    const std::string output = fuzz::path("output.png");
    const std::string output_bmp = fuzz::path("output.bmp");
    const std::string image = fuzz::path("image.png"), logo = fuzz::path("logo.png");
    fuzz::write_file(input, data, size);

    int r = imgwatermark_text(input.c_str(), output.c_str(), "Fuzz\nAV", 10, 0.6f, 20.0f, 5, 255, 0, 0);
    fuzz::check_outcome(r, "text over the bytes");
    r = imgwatermark_image(input.c_str(), output_bmp.c_str(), logo.c_str(), 0.5f, 4, 1.5f);
    fuzz::check_outcome(r, "logo over the bytes");
    r = imgwatermark_image(image.c_str(), output.c_str(), input.c_str(), 0.8f, 5, 0.7f);
    fuzz::check_outcome(r, "the bytes as the watermark");
    return 0;
}
