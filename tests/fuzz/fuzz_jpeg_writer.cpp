// The JPEG writer against stb_image_write on pictures drawn from the input:
// a size (up to 64 x 64, or now and then a long row of up to 9,000 pixels),
// the pixels (the rest of the input, repeated), and sometimes a colour
// profile. Every kernel this machine runs must give stb's bytes, with the
// profile's APP2 segments inserted after the JFIF segment; anything else
// aborts.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "jpeg_writer.h"
#include "stb_image_write.h"

namespace {

using bytes = std::vector<unsigned char>;

void append(void *context, void *data, int size) {
    auto *b = static_cast<bytes *>(context);
    const auto *p = static_cast<const unsigned char *>(data);
    b->insert(b->end(), p, p + size);
}

// The reference file with the profile's segments put in by hand.
bytes with_profile(const bytes &plain, const bytes &icc) {
    bytes out(plain.begin(), plain.begin() + 20);
    const size_t part = 65519, count = (icc.size() + part - 1) / part;
    for (size_t k = 0; k < count; ++k) {
        const size_t n = k + 1 < count ? part : icc.size() - k * part;
        const unsigned char head[] = {0xFF, 0xE2, static_cast<unsigned char>((n + 16) >> 8),
                                      static_cast<unsigned char>(n + 16), 'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I',
                                      'L', 'E', 0, static_cast<unsigned char>(k + 1), static_cast<unsigned char>(count)};
        out.insert(out.end(), head, head + sizeof head);
        out.insert(out.end(), icc.begin() + static_cast<long>(k * part), icc.begin() + static_cast<long>(k * part + n));
    }
    out.insert(out.end(), plain.begin() + 20, plain.end());
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    const uint8_t mode = data[0];
    int w, h;
    if ((mode & 0x0F) == 0x0F) {  // a long thin row
        w = 1 + (data[1] | data[2] << 8) % 9000;
        h = 1 + mode % 3;
    } else {
        w = 1 + data[1] % 64;
        h = 1 + data[2] % 64;
    }
    const uint8_t *px = data + 3;
    const size_t px_size = size - 3;
    bytes rgba(static_cast<size_t>(w) * h * 4);
    for (size_t i = 0; i < rgba.size(); ++i) rgba[i] = px_size ? px[i % px_size] : 0;

    bytes icc;
    if (mode & 0x10) icc.assign(data, data + size);
    if ((mode & 0x30) == 0x30) icc.resize(65519 + size);  // two segments

    bytes plain;
    if (!stbi_write_jpg_to_func(append, &plain, w, h, 4, rgba.data(), 92)) std::abort();
    const bytes expected = icc.empty() ? plain : with_profile(plain, icc);

    for (const simd_path path : {simd_path::portable, simd_path::sse2, simd_path::avx2}) {
        if (!simd_path_available(path)) continue;
        bytes out;
        if (write_jpeg(append, &out, w, h, rgba.data(), icc.data(), icc.size(), path) != 1) std::abort();
        if (out != expected) {
            std::fprintf(stderr, "%s path differs from stb for %d x %d (profile %zu bytes)\n", simd_path_name(path), w,
                         h, icc.size());
            std::abort();
        }
    }
    return 0;
}
