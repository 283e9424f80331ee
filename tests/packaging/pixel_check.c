/* pixel_check BEFORE AFTER X0 Y0 X1 Y1: decodes two pictures of one size and
 * checks that AFTER differs from BEFORE inside the box [X0,X1) x [Y0,Y1) (at
 * least one pixel) and nowhere outside it. Prints the counts; exit status 0
 * when both hold, 1 when not, 2 when a file does not decode or sizes differ. */
#define STB_IMAGE_IMPLEMENTATION
#include "stb_image.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv) {
    if (argc != 7) {
        fputs("usage: pixel_check BEFORE AFTER X0 Y0 X1 Y1\n", stderr);
        return 2;
    }
    int wa, ha, wb, hb, n;
    unsigned char *a = stbi_load(argv[1], &wa, &ha, &n, 4);
    unsigned char *b = stbi_load(argv[2], &wb, &hb, &n, 4);
    if (!a || !b) {
        fprintf(stderr, "pixel_check: cannot decode %s\n", !a ? argv[1] : argv[2]);
        return 2;
    }
    if (wa != wb || ha != hb) {
        fprintf(stderr, "pixel_check: sizes differ: %dx%d and %dx%d\n", wa, ha, wb, hb);
        return 2;
    }
    const long x0 = atol(argv[3]), y0 = atol(argv[4]), x1 = atol(argv[5]), y1 = atol(argv[6]);
    long inside = 0, outside = 0;
    for (long y = 0; y < ha; ++y) {
        for (long x = 0; x < wa; ++x) {
            const size_t at = ((size_t)y * (size_t)wa + (size_t)x) * 4;
            if (memcmp(a + at, b + at, 4) == 0) continue;
            if (x >= x0 && x < x1 && y >= y0 && y < y1) ++inside;
            else ++outside;
        }
    }
    printf("%dx%d: %ld pixels differ inside the box, %ld outside\n", wa, ha, inside, outside);
    stbi_image_free(a);
    stbi_image_free(b);
    return inside > 0 && outside == 0 ? 0 : 1;
}
