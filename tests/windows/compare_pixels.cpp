// compare_pixels A B: decodes two image files to RGBA and prints
//   <width> <height> <differing pixels> <largest channel difference>
// Exit status 0 when both decode with the same size (whatever the
// differences; the caller judges them), 2 otherwise.
#define STB_IMAGE_IMPLEMENTATION
#include "stb_image.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fputs("usage: compare_pixels A B\n", stderr);
        return 2;
    }
    int wa, ha, wb, hb, n;
    unsigned char *a = stbi_load(argv[1], &wa, &ha, &n, 4);
    unsigned char *b = stbi_load(argv[2], &wb, &hb, &n, 4);
    if (!a || !b) {
        std::fprintf(stderr, "compare_pixels: cannot decode %s\n", !a ? argv[1] : argv[2]);
        return 2;
    }
    if (wa != wb || ha != hb) {
        std::fprintf(stderr, "compare_pixels: sizes differ: %dx%d and %dx%d\n", wa, ha, wb, hb);
        return 2;
    }
    long differing = 0;
    int largest = 0;
    for (long i = 0; i < static_cast<long>(wa) * ha; ++i) {
        int pixel_max = 0;
        for (int c = 0; c < 4; ++c) {
            int d = std::abs(a[i * 4 + c] - b[i * 4 + c]);
            if (d > pixel_max) pixel_max = d;
        }
        if (pixel_max > 0) ++differing;
        if (pixel_max > largest) largest = pixel_max;
    }
    std::printf("%d %d %ld %d\n", wa, ha, differing, largest);
    stbi_image_free(a);
    stbi_image_free(b);
    return 0;
}
